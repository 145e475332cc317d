#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Shared/Orvel_Shared/CollectorCallbacks.h"
#include "Shared/Orvel_Shared/MachineIdentity.h"
#include "Shared/Orvel_Shared/StopSignal.h"
#include "collector/CollectorProblem.h"
#include "model/CycleStatistics.h"
#include "model/DataCollectorStatusObj.h"
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
  enum class TPostResult {
    Accepted,
    // The server asked for a new initialisation: nothing is saved.
    Reinitialize,
    // The server asked for the same data again after FResendDelay minutes, or
    // the transfer failed: the data and its status are kept for the next cycle.
    Resend,
    // The server took the post (HTTP 2xx) but its answer is not a JSON object
    // (a proxy's page, an empty body): the status is saved as for an accepted
    // post, but nothing shows that the data arrived, so the data's pending
    // rows and cache changes are kept to travel again.
    AnswerUnreadable,
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

  // Site checks.
  virtual bool BasicSystemChecksOK();
  virtual bool TransactionManagerRunning();
  // The id of the first listed process other than ExcludeID whose image name
  // (the file name of its program) equals the file name of ImageName without
  // regard to ASCII case; 0 when none matches or the list cannot be read.
  uint32_t FindProcessID(const std::string& ImageName, uint32_t ExcludeID);
  virtual bool RivoConversionPending();
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

  // Working state of one RetrieveData call. An id set keeps its ids in the
  // order first seen, without duplicates.
  struct TIdSet {
    std::vector<int32_t> Ids;
    std::unordered_set<int32_t> Members;
    bool Add(int32_t id);  // true when id was new
    bool Remove(int32_t id);
    bool Contains(int32_t id) const { return Members.count(id) != 0; }
    void Clear();
  };
  struct TPendingEmpDay {  // one row of DC_PENDINGEMPDAYS_V111
    int32_t Employee = 0;
    TDateTime PunchDate = 0;
    std::string Modified;  // the timestamp as the database writes it as text
  };
  // One version of a sale: its Modified stamp to the millisecond and its id,
  // ordered by stamp so that the old ones can be forgotten together.
  struct TSaleVersion {
    int64_t ModifiedMs = 0;
    int32_t SaleID = 0;
    auto operator<=>(const TSaleVersion&) const = default;
  };
  // The select list of the pass sums: the cars (passes of status 0) and the
  // sums of Amount and Upsell as RivoCarCount, RivoSalesAmount and
  // RivoAdditionalAmount, over passes of SalePasses SAP; and the condition on
  // the statuses counted (none above 40).
  static std::string PassSumColumns();
  static std::string CountedPassCondition();
  // The pass sums of one sale (the SalePasses query's three columns).
  struct TPassSums {
    double Cars = 0;
    double Amount = 0;
    double Upsell = 0;
  };
  // The condition of one sales read (a WHERE clause on Sale s) and the
  // setting of its parameters, kept so that later phases can read what
  // belongs to the same sales in one statement.
  struct TSalesSelection {
    std::string Where;
    std::function<void(TSiteQuery&)> Bind;
  };
  struct TRetrievalState {
    explicit TRetrievalState(TCollectedData& data) : Data(data) {}
    TCollectedData& Data;
    TDateTime MinHistory = 0;
    TIdSet Terminals, Roles, Employees, Active, Plans;
    std::vector<TSaleServiceHistory> ServiceHistories;
    std::vector<std::string> ServiceKeys;
    std::vector<TPendingEmpDay> PendingEmpDays;
    std::vector<TSaleVersion> SaleVersions;  // of every sale record started
    std::unordered_map<int32_t, TPassSums> PassSums;  // of the sales phase running
    std::vector<TSalesSelection> Selections;           // of every sales read so far
  };
  // The ids of the set in set order, split into lists of at most MaxPerList
  // ids, each "(" + its ids comma-separated without blanks + ")"; none for an
  // empty set. Firebird refuses an IN list of more than 1500 values, so every
  // lookup by id list runs once per list.
  static constexpr size_t kMaxIdsPerList = 1000;
  static std::vector<std::string> IdLists(const TIdSet& Set, size_t MaxPerList = kMaxIdsPerList);
  // Sales phases: AddSalesFromQuery returns the sales it started and adds the
  // rows it read to Rows.
  void RetrieveCurrentSales(const TDataCollectorStatusObj& Status, TRetrievalState& State);
  // The versions stamped within the configured overlap before the current
  // window that no accepted post of this process carried; logs "Late sales: ".
  void RetrieveLateSales(const TDataCollectorStatusObj& Status, TRetrievalState& State);
  void RetrieveHistoricalSales(const TDataCollectorStatusObj& Status, TRetrievalState& State);
  int AddSalesFromQuery(TSiteQuery& Query, TRetrievalState& State, int64_t& Rows);
  // A selection of the sales whose Modified lies in [Start, End) under Where
  // (its parameters Site, StartTS, EndTS and MinHistory).
  TSalesSelection WindowSelection(const std::string& Where, TDateTime Start, TDateTime End,
                                  const TRetrievalState& State) const;
  // Reads the sales of a selection (its condition, then FilterAndOrder) with
  // their pass sums into State; returns the sales started and adds the rows
  // read to Rows.
  int ReadSales(const TSalesSelection& Selection, const std::string& FilterAndOrder,
                TRetrievalState& State, int64_t& Rows);
  // Fills State.PassSums with the sums of every sale that SalesWhere (a WHERE
  // clause on Sale s, its parameters set by Bind) selects; leaves it empty
  // when the site has no usable SalePasses table.
  void ReadPassSums(const std::string& SalesWhere, const std::function<void(TSiteQuery&)>& Bind,
                    TRetrievalState& State);
  // Timeclock phases: AddLaborFromQuery returns the rows it read.
  void RetrievePendingLabor(const TDataCollectorStatusObj& Status, TRetrievalState& State);
  void RetrieveHistoricalLabor(const TDataCollectorStatusObj& Status, TRetrievalState& State);
  int64_t AddLaborFromQuery(TSiteQuery& Query, TRetrievalState& State);
  void ReadPendingEmpDays(TRetrievalState& State);
  // Reference phases.
  struct TSaleEmployeeRow {
    int64_t Employee = 0;
    int64_t Role = 0;
    int64_t ProfitCenter = 0;
  };
  // The sale-employee rows of the sales each selection reads; a sale that
  // several selections read keeps the rows of the first.
  std::unordered_map<int32_t, std::vector<TSaleEmployeeRow>> ReadSaleEmployees(
      const std::vector<TSalesSelection>& Selections);
  void RetrieveSaleEmployees(const TDataCollectorStatusObj& Status, TRetrievalState& State);
  void LogReferenceSummary(TRetrievalState& State);
  void RetrieveTerminals(TRetrievalState& State);
  void RetrieveEmployees(TRetrievalState& State);
  void RetrieveRoles(TRetrievalState& State);
  void RetrieveServices(TRetrievalState& State);
  // A new record to send when the row's employee is new to the employee cache
  // or differs from the cached copy; nullptr otherwise. The cache is not changed.
  std::unique_ptr<TEmployeeRecord> ChangedEmployee(const TDataRow& Row, bool Enabled);
  // The same for a category and the category cache.
  std::unique_ptr<TEmpCategory> ChangedCategory(const TDataRow& Row);
  // The pending employee days and the sale versions read by the last
  // RetrieveData, and its result: only compared, never followed, to tell
  // whether accepted data is the data those rows were read for (a resend of
  // it included).
  std::vector<TPendingEmpDay> LPendingEmpDays;
  std::vector<TSaleVersion> LSaleVersionsRead;
  const TCollectedData* LPendingEmpDaysData = nullptr;
  // The sale versions that accepted posts carried, back to the start of the
  // last overlap read.
  std::set<TSaleVersion> LSentSaleVersions;
  // The look back's first statement, run every cycle: prepared once per
  // connection. Released before LDB.
  std::unique_ptr<TSiteQuery> LLateSalesProbe;

  // Server exchanges.
  virtual void LoadConfiguration();
  // Replaces FURI (from the configuration's RegURL) and LHTTPConnection, whose
  // waits end when LStop is requested; logs "Using URL: ".
  virtual void CreateServerConnection();
  // When FURI uses https: deploys the TLS libraries and gives LHTTPConnection
  // its TLS 1.2 handler. True when not https or when ready; false when the
  // libraries cannot be written (Initialize then raises).
  virtual bool PrepareTLS();
  virtual int Authorize();
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

  // The window rules of a freshly loaded status, given the current time.
  void ComputeWindows(TDataCollectorStatusObj& Status, TDateTime Now);

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
