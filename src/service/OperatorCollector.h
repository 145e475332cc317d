#pragma once

#include <string>

#include "Shared/Orvel_Shared/CollectorCallbacks.h"
#include "collector/DataCollector.h"

class TSiteDatabase;

// The collector the operator modes drive: its messages are passed on as
// ordinary log lines, the result of its post is noted, and in report-only mode
// the server's update and uninstall orders are noted instead of carried out.
// Adds to the collector's public surface only what the modes need of its
// protected steps.
class TOperatorCollector : public TDataCollector {
 public:
  explicit TOperatorCollector(TDataCollectorOnLog log);

  bool reportOnly = false;
  std::string orderedUpdateUrl;
  bool orderedUninstall = false;
  bool updating = false;

  // Whether Post was called, and whether it then raised instead of giving postResult.
  bool posted = false;
  bool postRaised = false;
  TPostResult postResult = TPostResult::Accepted;
  std::string postWindow;
  std::string postContents;

  std::string LastProblem() const;
  bool HasProblem(TProblemSubject subject) const;
  using TDataCollector::AddProblem;

  // ONCE: initialises and, unless the server ordered an update, runs one cycle.
  void RunOneCycle();

  // TEST: the document one cycle would post, or "" with reason set
  // (TestMode.cpp).
  std::string Preview(std::string& reason, std::string& summary);

  // CHECK: the protected steps it runs one by one.
  using TDataCollector::LoadStatus;
  using TDataCollector::OpenDatabase;
  TSiteDatabase& Database() { return *LDB; }
  bool HasSalePassesQuery() const { return LSalePassesQry != nullptr; }
  void Begin() { StartTransaction(); }
  // Rolls back and closes the database, ignoring failures.
  void CloseQuietly();
  std::string URL() const;
  void Connect() { CreateServerConnection(); }
  bool TLSReady() { return PrepareTLS(); }
  TAuthorizeResult AuthorizeOnly() { return Authorize(); }

 protected:
  TPostResult Post(TCollectedData* Data, TDataCollectorStatusObj& Status) override;
  void DownloadUpdater(const std::string& URL) override;
  void StartRemoteUninstall() override;

 private:
  std::string PreviewFromDatabase(std::string& reason, std::string& summary);
};
