#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/CollectorCallbacks.h"
#include "Shared/Orvel_Shared/MachineIdentity.h"
#include "Shared/Orvel_Shared/StopSignal.h"
#include "collector/CollectorProblem.h"
#include "model/CycleStatistics.h"
#include "model/DataCollectorStatusObj.h"
#include "model/PostResult.h"
#include "model/ReferenceRecords.h"

class TSiteDatabase;
class TSiteQuery;
class TCollectedData;
class TDataRow;
class TDataCollectorConfiguration;
class TQuorixURI;
class THttpClient;

// The collector engine: one object per service run. Initialize prepares what a
// cycle needs and authorises with the server; RunCycle computes the windows,
// retrieves the site's changes, posts them and saves the new status.
//
// Threading: Initialize, RunCycle and every step run on one thread (the
// service's timer thread). RequestStop may be called from any thread; it makes
// waits in the transport and database layers end early. Shutdown and the
// destructor must not run while another thread is inside Initialize or RunCycle.
//
// The steps of the cycle are virtual so that a test can drive the cycle with a
// derived collector whose steps are scripted.
class TDataCollector {
 public:
  // What a post came to; RunCycle acts on it.
  using TPostResult = ::TPostResult;

  // What an Authorize came to.
  enum class TAuthorizeResult {
    // No access: the server refused, its answer could not be read, or the
    // exchange failed before access was granted.
    Refused,
    // Access granted (LAuthorizeFailed tells whether its values could be applied).
    Granted,
    // The server offered an update, whose download was started.
    UpdateOrdered,
    // The server ordered the collector's removal, which was started.
    UninstallOrdered,
  };

  explicit TDataCollector(TDataCollectorOnLog aOnLog);
  virtual ~TDataCollector();
  TDataCollector(const TDataCollector&) = delete;
  TDataCollector& operator=(const TDataCollector&) = delete;

  void Initialize();
  void RunCycle();
  void Shutdown();
  // Removes the collector's structures from the site database as far as the
  // database allows; logs its own failures.
  void Uninstall();

  // Asks running and future waits on the network or the database to end now.
  void RequestStop();

  const TDataCollectorOnLog& OnLog() const { return FOnLog; }
  const TDataCollectorOnUpdating& OnUpdating() const { return FOnUpdating; }
  void SetOnUpdating(TDataCollectorOnUpdating handler) { FOnUpdating = std::move(handler); }
  bool Active() const { return FActive; }
  bool Initialized() const { return FInitialized; }
  int32_t ResendDelay() const { return FResendDelay; }
  // True when the last RunCycle ended on a failure (the database could not be
  // opened or checked, or the cycle body failed); the host backs off on it.
  bool LastCycleFailed() const { return FLastCycleFailed; }
  // Seconds between cycles; 300 when there is no configuration.
  int32_t CycleTime() const;

  TDataCollectorConfiguration& Cfg() { return *LCfg; }
  const TCycleStatistics& CurrentCycleStats() const { return LCurCycleStats; }
  const TCycleStatistics& LastCycleStats() const { return LLastCycleStats; }

  // The problems met since the last ForgetProblems, oldest first; the oldest
  // are dropped beyond kMaxProblems so that a long-running service keeps a
  // bounded list.
  static constexpr size_t kMaxProblems = 100;
  const std::deque<TCollectorProblem>& Problems() const { return LProblems; }
  void ForgetProblems() { LProblems.clear(); }

  // The steps that only read the site, also run on their own by the operator
  // modes. LoadConfiguration reads the registry into Cfg().
  virtual void LoadConfiguration();
  // The site checks; BasicSystemChecksOK logs the first that fails.
  virtual bool BasicSystemChecksOK();
  virtual bool TransactionManagerRunning();
  // The id of the first listed process other than excludeId whose image name
  // (the file name of its program) equals the file name of imageName without
  // regard to ASCII case; 0 when none matches or the list cannot be read.
  uint32_t FindProcessID(const std::string& imageName, uint32_t excludeId);
  virtual bool RivoConversionPending();
  // The window rules of a freshly loaded status, given the current time.
  void ComputeWindows(TDataCollectorStatusObj& Status, TDateTime Now);

 protected:
  void Log(const std::string& Msg, bool ToSysLog = false);
  // Logs Msg as Log does and keeps it as a problem of Subject.
  void LogProblem(TProblemSubject Subject, const std::string& Msg, bool ToSysLog = false,
                  TProblemSeverity Severity = TProblemSeverity::Error);
  void AddProblem(TProblemSeverity Severity, TProblemSubject Subject, const std::string& Text);

  // Transaction helpers on the default transaction of LDB.
  virtual void StartTransaction();
  virtual void CommitTransaction();
  virtual void RollbackTransaction();
  // Closes the database connection; nothing happens when it is not open.
  virtual void CloseDatabase();

  // Stops the history windows of Status when they reach back further than
  // the history limit; logs when it does.
  virtual void CheckHistoryAge(TDataCollectorStatusObj& Status);

  // Database session, schema and status.
  virtual bool OpenDatabase();
  virtual void VerifyDBStructures(bool Remove);
  virtual std::unique_ptr<TDataCollectorStatusObj> LoadStatus();
  virtual void SaveStatus(const TDataCollectorStatusObj* Status);

  // Retrieval of one cycle's data.
  virtual std::unique_ptr<TCollectedData> RetrieveData(const TDataCollectorStatusObj& Status);
  // Called after the server accepted a post of Data (nullptr: an empty
  // document), in the cycle's transaction before the commit. Deletes the
  // pending employee days that RetrieveData read for Data (none when Data did
  // not come from the last RetrieveData), remembers the sale versions it
  // carried for the late-sales look back, and stores Data's employees and
  // categories in the configuration's caches. RetrieveData only compares with
  // the caches, so changes of a post that was not accepted are sent again.
  // Raises EDatabaseError.
  virtual void CommitAcceptedData(const TCollectedData* Data);

  // The phases of RetrieveData (collector/Retrieval.h), and what a retrieval
  // leaves for CommitAcceptedData and the cycles after it.
  class TRetrieval;
  struct TRetrievalMemory;
  std::unique_ptr<TRetrievalMemory> LRetrievalMemory;

  // Server exchanges.
  // Replaces FURI (from the configuration's RegURL) and LHTTPConnection, whose
  // waits end when LStop is requested; logs "Using URL: ".
  virtual void CreateServerConnection();
  // When FURI uses https: deploys the TLS libraries and gives LHTTPConnection
  // its TLS 1.2 handler. True when not https or when ready; false when the
  // libraries cannot be written (Initialize then raises).
  virtual bool PrepareTLS();
  virtual TAuthorizeResult Authorize();
  virtual TPostResult Post(TCollectedData* Data, TDataCollectorStatusObj& Status);
  // Posts a document text and acts on the answer: accepted, accepted with an
  // answer that is not a JSON object, reinitialise, or resend after
  // FResendDelay minutes. Raises ETransferError ("Unable to post data to web
  // server") when the transfer fails, other errors for an unreadable answer, an
  // answer whose dates cannot be taken, or a server error. Status may be null.
  // The text's buffer is logged and then becomes the request body, so a large
  // document is held once; Post gives it room for the log line's prefix.
  virtual TPostResult SendToServer(std::string Text, TDataCollectorStatusObj* Status);
  // Downloads and starts the updater the server named; raises when that fails.
  virtual void DownloadUpdater(const std::string& URL);
  // The running program's file as it was started; the updater is saved in its
  // folder and the remote uninstall starts it.
  virtual std::string ProgramFile() const;
  // The removal the server ordered: the collector's database structures, the
  // service, and OnUpdating(true).
  virtual void StartRemoteUninstall();
  // The MAC address reported to the server ("" when unknown); raises
  // ENetworkError when the host-name lookup fails.
  std::string GetMACAddress();
  virtual bool SetSiteStatus(const std::string& Name, const std::string& Value);

  // Initialize's database step: opens the database, checks the collector's
  // structures and closes it again on every path; false (logged) on failure.
  bool CheckDatabase();
  // RunCycle from the checks to the commit; RunCycle closes the database.
  void RunCycleBody();

  std::unique_ptr<TSiteDatabase> LDB;
  std::unique_ptr<TCollectedData> LResendData;
  std::unique_ptr<TDataCollectorStatusObj> LResendStatus;
  std::unique_ptr<TSiteQuery> LSalePassesQry;
  std::unique_ptr<THttpClient> LHTTPConnection;
  std::unique_ptr<TDataCollectorConfiguration> LCfg;
  bool FInitialized = false;
  int32_t FResendDelay = 0;
  bool FActive = true;
  bool FLastCycleFailed = false;
  // Set when the last Authorize failed after it had granted access (its
  // answer could not be applied); Initialize then does not count it a success.
  bool LAuthorizeFailed = false;
  std::unique_ptr<TQuorixURI> FURI;
  TCycleStatistics LCurCycleStats;
  TCycleStatistics LLastCycleStats;
  TDataCollectorOnLog FOnLog;
  TDataCollectorOnUpdating FOnUpdating;
  TStopSignal LStop;
  // Source of the MAC address, created on first use; keeps the address found.
  std::unique_ptr<TMachineIdentity> LMachineIdentity;
  std::deque<TCollectorProblem> LProblems;
};
