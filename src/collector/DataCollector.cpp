#include "collector/DataCollector.h"

#include <exception>
#include <string>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "collector/Retrieval.h"
#include "firebird/SiteDatabase.h"
#include "model/CollectedData.h"
#include "server/HttpClient.h"
#include "server/QuorixURI.h"

namespace {

constexpr int32_t kDefaultCycleTime = 300;
constexpr int64_t kMsPerDay = 86400000;

std::string VerifyFailedMessage(const std::string& reason) {
  return "ERROR: An exception occured verifying DB structures. (" + reason +
         ") No status updates were saved.";
}

}  // namespace

TDataCollector::TDataCollector(TDataCollectorOnLog aOnLog)
    : LRetrievalMemory(std::make_unique<TRetrievalMemory>()),
      LDB(std::make_unique<TSiteDatabase>()),
      LCfg(std::make_unique<TDataCollectorConfiguration>()),
      FOnLog(std::move(aOnLog)) {}

TDataCollector::~TDataCollector() {
  LSalePassesQry.reset();
  LRetrievalMemory.reset();
  LDB.reset();
  LResendData.reset();
  LResendStatus.reset();
  LHTTPConnection.reset();
  FURI.reset();
  LCfg.reset();
}

void TDataCollector::RequestStop() {
  LStop.Request();
  // LDB lives as long as the collector; CancelOperation may be called from any thread.
  if (LDB) LDB->CancelOperation();
}

int32_t TDataCollector::CycleTime() const { return LCfg ? LCfg->CycleTime() : kDefaultCycleTime; }

void TDataCollector::Log(const std::string& Msg, bool ToSysLog) {
  if (!FOnLog) return;
  try {
    FOnLog(Msg, ToSysLog);
  } catch (...) {
  }
}

void TDataCollector::LogProblem(TProblemSubject Subject, const std::string& Msg, bool ToSysLog,
                                TProblemSeverity Severity) {
  AddProblem(Severity, Subject, Msg);
  Log(Msg, ToSysLog);
}

void TDataCollector::AddProblem(TProblemSeverity Severity, TProblemSubject Subject, const std::string& Text) {
  LProblems.push_back(TCollectorProblem{Severity, Subject, Text});
  while (LProblems.size() > kMaxProblems) LProblems.pop_front();
}

void TDataCollector::LoadConfiguration() { LCfg->LoadRegistryConfiguration(); }

bool TDataCollector::SetSiteStatus(const std::string& Name, const std::string& Value) {
  return ::SetSiteStatus(Name, Value);
}

void TDataCollector::Initialize() {
  if (FInitialized) return;
  Log("Data Collector Initializing");
  Log("Loading Configuration");
  LoadConfiguration();
  FResendDelay = 0;
  CreateServerConnection();

  if (!BasicSystemChecksOK()) return;
  if (!TransactionManagerRunning()) {
    LogProblem(TProblemSubject::TransactionManager,
               "ERROR: Cannot initialize Data Collector because the Transaction Manager is not running");
    return;
  }
  if (!CheckDatabase()) return;

  if (!PrepareTLS()) {
    throw EOrvelError("Unable to create SSL DLLs from resources. Contact Vesmar Systems, Inc.");
  }
  if (Authorize() != TAuthorizeResult::Granted) return;
  if (LAuthorizeFailed) {
    // Access was granted but the answer could not be applied; Authorize has
    // logged why and the next initialisation asks again.
    Log("Data Collector not initialized: the server's authorization answer could not be applied");
    return;
  }
  Log("Data Collector initialized successfully");
  FInitialized = true;
}

bool TDataCollector::CheckDatabase() {
  // The database is closed on every path: a connection left open would keep
  // the site's embedded database locked until the next attempt.
  auto close = [this] {
    try {
      CloseDatabase();
    } catch (...) {
      LogProblem(TProblemSubject::DatabaseConnection,
                 "ERROR: An exception occured closing the database. (" + CurrentExceptionMessage() + ")");
    }
  };
  try {
    if (!OpenDatabase()) {
      LogProblem(TProblemSubject::DatabaseConnection, "ERROR: Could not open and verify database " + LCfg->DBPath());
      close();
      return false;
    }
    StartTransaction();
    try {
      VerifyDBStructures(false);
    } catch (const std::exception& e) {
      RollbackTransaction();
      LogProblem(TProblemSubject::Schema, VerifyFailedMessage(e.what()));
      close();
      return false;
    }
  } catch (...) {
    LogProblem(TProblemSubject::DatabaseConnection,
               "ERROR: Could not open and verify database " + LCfg->DBPath() + " (" + CurrentExceptionMessage() + ")");
    close();
    return false;
  }
  CloseDatabase();
  return true;
}

void TDataCollector::ComputeWindows(TDataCollectorStatusObj& Status, TDateTime Now) {
  Status.CurrentCycleStart = Status.LastCycleEnd;
  Status.CurrentCycleEnd = TruncToSeconds(Now);
  if (Status.CurrentCycleStart > Status.CurrentCycleEnd) {
    // The clock was wrong when the end was stored, or is wrong now. Starting
    // at now would skip every change since the real end for good; today's
    // midnight, as on a first cycle, resends today instead.
    Log("WARNING: The last cycle end " + DateTimeToText(Status.CurrentCycleStart) +
        " is later than now; the window starts at today's midnight");
    Status.CurrentCycleStart = DateOf(Status.CurrentCycleEnd);
  }
  if (Status.CurrentCycleStart == 0) Status.CurrentCycleStart = DateOf(Status.CurrentCycleEnd) - 1;

  // Whole days counted on exact milliseconds: a difference of doubles can fall
  // a hair short of a whole day and shift the limit by one.
  const int64_t span = (DateTimeToMilliseconds(Status.CurrentCycleEnd) -
                        DateTimeToMilliseconds(Status.CurrentCycleStart)) /
                       kMsPerDay;
  if (span <= 2) {
    Status.CurrentHistoryEnd = Status.ActiveHistoryEnd;
    if (Status.CurrentHistoryEnd == 0) {
      Status.CurrentHistoryStart = 0;
      return;
    }
    Status.CurrentHistoryStart = Status.CurrentHistoryEnd - LCfg->HistoryStep() + 1;
    Log("Historical Data Window: " + DateTimeToText(Status.CurrentHistoryStart) + " through " +
        DateTimeToText(Status.CurrentHistoryEnd));
    if (Status.ActiveHistoryFactID != 0) {
      Log("Retrieving single history fact: " + std::to_string(Status.ActiveHistoryFactID));
    }
    return;
  }

  Log("Too many current days to process, limiting to 2 days");
  Log("Too Large Data Window: " + DateTimeToText(Status.CurrentCycleStart) + " through " +
      DateTimeToText(Status.CurrentCycleEnd));
  Status.ActiveHistoryStart = DateOf(Status.CurrentCycleStart);
  Status.CurrentCycleStart = DateOf(Status.CurrentCycleEnd - 2);
  Status.ActiveHistoryEnd = Status.CurrentCycleStart - 1;
  Status.ActiveHistoryFactID = 0;
  Status.CurrentHistoryEnd = Status.ActiveHistoryEnd;
  Status.CurrentHistoryStart = Status.ActiveHistoryEnd + 1;
  Status.SkipHistory = true;
  Log("Forced History Window: " + DateTimeToText(Status.ActiveHistoryStart) + " through " +
      DateTimeToText(Status.ActiveHistoryEnd));
  Log("Skipping history processing this cycle");
}

void TDataCollector::RunCycle() {
  if (!FActive) {
    Log("Cycle Complete");
    return;
  }
  FLastCycleFailed = false;
  LCurCycleStats.InitializeStart = DateTimeNow();
  Log("--------------");
  Log(TrimText("Starting Cycle " + LCfg->LocCode()));

  // Runs the body; every path ends at the close below.
  try {
    RunCycleBody();
  } catch (...) {
    // A failure outside the body's own handler (opening the database, the
    // schema check's rollback): the cycle ends as a failed one, the database
    // is closed below, and the host backs off instead of retrying at once.
    FLastCycleFailed = true;
    LogProblem(TProblemSubject::Cycle, "ERROR: Cycle failed: " + CurrentExceptionMessage() + " No status updates were saved.");
  }

  try {
    CloseDatabase();
  } catch (...) {
    FLastCycleFailed = true;
    LogProblem(TProblemSubject::DatabaseConnection,
               "ERROR: An exception occured closing the database. (" + CurrentExceptionMessage() + ")");
  }
  Log("Cycle Complete");
}

void TDataCollector::RunCycleBody() {
  if (!FInitialized) {
    LogProblem(TProblemSubject::Cycle, "ERROR: Cannot run a cycle - Data Collector is not initialized");
    return;
  }
  if (!TransactionManagerRunning()) {
    LogProblem(TProblemSubject::TransactionManager,
               "ERROR: Cannot run the Data Collector because the Transaction Manager is not running");
    return;
  }
  if (!OpenDatabase()) {
    FLastCycleFailed = true;
    LogProblem(TProblemSubject::DatabaseConnection, "ERROR: Cycle failed to open or verify " + LCfg->DBPath());
    return;
  }
  try {
    VerifyDBStructures(false);
  } catch (const std::exception& e) {
    FLastCycleFailed = true;
    RollbackTransaction();
    LogProblem(TProblemSubject::Schema, VerifyFailedMessage(e.what()));
    return;
  }
  LCurCycleStats.InitializeEnd = DateTimeNow();
  LCurCycleStats.LoadStart = DateTimeNow();
  StartTransaction();

  std::unique_ptr<TDataCollectorStatusObj> status;
  std::unique_ptr<TCollectedData> data;
  try {
    if (LResendStatus) {
      status = std::move(LResendStatus);
      Log("Resending last retrieved data");
    } else {
      status = LoadStatus();
      ComputeWindows(*status, DateTimeNow());
    }
    Log("Current Data Window: " + DateTimeToText(status->CurrentCycleStart) + " through " +
        DateTimeToText(status->CurrentCycleEnd));
    LCurCycleStats.LoadEnd = DateTimeNow();
    LCurCycleStats.RetrieveStart = DateTimeNow();

    if (LResendData) {
      data = std::move(LResendData);
    } else if (status->CurrentCycleStart != 0 || status->CurrentHistoryEnd != 0) {
      data = RetrieveData(*status);
    } else {
      Log("No Data to send");
    }
    LCurCycleStats.RetrieveEnd = DateTimeNow();

    LCurCycleStats.SendStart = DateTimeNow();
    TPostResult result = TPostResult::Accepted;
    try {
      result = Post(data.get(), *status);
      LCurCycleStats.SendEnd = DateTimeNow();
    } catch (const ETransferError&) {
      LCurCycleStats.SendEnd = DateTimeNow();
      result = TPostResult::Resend;
    }
    LCurCycleStats.PostResult = result;
    LCurCycleStats.SalesSent = data ? static_cast<int32_t>(data->SalesData().size()) : 0;

    if (result == TPostResult::Accepted || result == TPostResult::AnswerUnreadable) {
      LCurCycleStats.SaveStart = DateTimeNow();
      SaveStatus(status.get());
      if (result == TPostResult::Accepted) CommitAcceptedData(data.get());
      try {
        SetSiteStatus("QuorixConnectDateTime", DateTimeToText(DateTimeNow()));
      } catch (const std::exception& e) {
        LogProblem(TProblemSubject::Cycle,
                   std::string("ERROR: An exception occured while writing connect time to registry. (") + e.what() +
                       ") Network Status Viewer might be incorrect.");
      }
      LCurCycleStats.SaveEnd = DateTimeNow();
    } else if (result == TPostResult::Resend) {
      LResendData = std::move(data);
      LResendStatus = std::move(status);
    }

    LLastCycleStats = LCurCycleStats;
    LCurCycleStats = TCycleStatistics{};
    CommitTransaction();
  } catch (...) {
    FLastCycleFailed = true;
    const std::string reason = CurrentExceptionMessage();
    // A rollback that fails as well (the connection is gone) must not keep
    // the collector marked initialised, or the next tick would retry at once.
    try {
      RollbackTransaction();
    } catch (...) {
      LogProblem(TProblemSubject::Cycle, "ERROR: " + CurrentExceptionMessage());
    }
    LogProblem(TProblemSubject::Cycle, "ERROR: " + reason);
    Log("No status updates were saved.");
    FInitialized = false;
  }
}

void TDataCollector::Shutdown() {
  Log("Data Collector Shutting Down");
  try {
    CloseDatabase();
  } catch (const std::exception& e) {
    LogProblem(TProblemSubject::DatabaseConnection,
               std::string("ERROR: An exception occured during shutdown. (") + e.what() + ")");
  }
  FActive = false;
  Log("Data Collector shutdown successfully");
}
