// The cycle driver of TDataCollector, with every step that reaches the site,
// the database or the server scripted by a derived collector.

#include "collector/DataCollector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "model/CollectedData.h"

namespace {

using TPostResult = TDataCollector::TPostResult;
using TAuthorizeResult = TDataCollector::TAuthorizeResult;

using ::testing::ElementsAre;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

class TScriptedCollector : public TDataCollector {
 public:
  explicit TScriptedCollector(std::vector<std::string>& log)
      : TDataCollector([&log](const std::string& msg, bool toSysLog) {
          log.push_back(toSysLog ? "SYS " + msg : msg);
        }) {}

  using TDataCollector::ComputeWindows;

  // Script: what each step answers. A non-empty error text makes the step raise it.
  bool checksOK = true;
  bool tmRunning = true;
  bool openOK = true;
  bool tlsOK = true;
  TAuthorizeResult authorizeResult = TAuthorizeResult::Granted;
  std::string openError;
  std::string startError;
  bool authorizeRaisesAfterGrant = false;
  std::string verifyError;
  std::string saveError;
  std::string siteStatusError;
  std::string commitError;
  std::string rollbackError;
  std::string closeError;
  TDataCollectorStatusObj storedStatus;
  std::function<TPostResult(TScriptedCollector&, TCollectedData*, TDataCollectorStatusObj&)> onPost =
      [](TScriptedCollector&, TCollectedData*, TDataCollectorStatusObj&) { return TPostResult::Accepted; };

  // What happened.
  std::vector<std::string> calls;
  std::vector<TCollectedData*> retrieved;
  std::vector<TCollectedData*> posted;
  std::vector<TDataCollectorStatusObj> postedStatus;
  std::vector<TDataCollectorStatusObj> saved;

  void SetConfiguredHistoryStep(int days) { LCfg->SetHistoryStep(days); }
  void SetConfiguredLocCode(const std::string& code) { LCfg->SetLocCode(code); }
  void SetResendDelay(int minutes) { FResendDelay = minutes; }
  void ClearInitialized() { FInitialized = false; }
  bool HoldsResend() const { return LResendStatus != nullptr; }
  TCycleStatistics& Current() { return LCurCycleStats; }
  bool StopRequested() const { return LStop.Requested(); }

  int Count(const std::string& call) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }

 protected:
  void StartTransaction() override {
    calls.push_back("StartTransaction");
    if (!startError.empty()) throw EDatabaseError(startError);
  }
  void CommitTransaction() override {
    calls.push_back("CommitTransaction");
    if (!commitError.empty()) throw EDatabaseError(commitError);
  }
  void RollbackTransaction() override {
    calls.push_back("RollbackTransaction");
    if (!rollbackError.empty()) throw EDatabaseError(rollbackError);
  }
  void CloseDatabase() override {
    calls.push_back("CloseDatabase");
    if (!closeError.empty()) throw EDatabaseError(closeError);
  }
  bool BasicSystemChecksOK() override {
    calls.push_back("BasicSystemChecksOK");
    return checksOK;
  }
  bool TransactionManagerRunning() override {
    calls.push_back("TransactionManagerRunning");
    return tmRunning;
  }
  bool OpenDatabase() override {
    calls.push_back("OpenDatabase");
    if (!openError.empty()) throw EDatabaseError(openError);
    return openOK;
  }
  void VerifyDBStructures(bool remove) override {
    calls.push_back(remove ? "VerifyDBStructures(true)" : "VerifyDBStructures");
    if (!verifyError.empty()) throw EDatabaseError(verifyError);
  }
  std::unique_ptr<TDataCollectorStatusObj> LoadStatus() override {
    calls.push_back("LoadStatus");
    return std::make_unique<TDataCollectorStatusObj>(storedStatus);
  }
  void SaveStatus(const TDataCollectorStatusObj* status) override {
    calls.push_back("SaveStatus");
    if (!saveError.empty()) throw EDatabaseError(saveError);
    saved.push_back(*status);
  }
  std::unique_ptr<TCollectedData> RetrieveData(const TDataCollectorStatusObj&) override {
    calls.push_back("RetrieveData");
    auto data = std::make_unique<TCollectedData>();
    retrieved.push_back(data.get());
    return data;
  }
  void CommitAcceptedData(const TCollectedData*) override { calls.push_back("CommitAcceptedData"); }
  void LoadConfiguration() override { calls.push_back("LoadConfiguration"); }
  void CreateServerConnection() override { calls.push_back("CreateServerConnection"); }
  bool PrepareTLS() override {
    calls.push_back("PrepareTLS");
    return tlsOK;
  }
  TAuthorizeResult Authorize() override {
    calls.push_back("Authorize");
    LCfg->SetCycleTime(300);
    // As Authorize does when the answer of a granted access cannot be applied.
    LAuthorizeFailed = authorizeRaisesAfterGrant;
    return authorizeResult;
  }
  TPostResult Post(TCollectedData* data, TDataCollectorStatusObj& status) override {
    calls.push_back("Post");
    posted.push_back(data);
    postedStatus.push_back(status);
    return onPost(*this, data, status);
  }
  bool SetSiteStatus(const std::string& name, const std::string&) override {
    calls.push_back("SetSiteStatus " + name);
    if (!siteStatusError.empty()) throw ERegistryException(siteStatusError);
    return true;
  }
};

class CycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A status row saved at today's midnight: a short window without history.
    collector.storedStatus.LastCycleEnd = DateOf(DateTimeNow());
  }

  void InitializeOK() {
    collector.Initialize();
    ASSERT_TRUE(collector.Initialized());
    log.clear();
    collector.calls.clear();
  }

  bool Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }

  std::vector<std::string> log;
  TScriptedCollector collector{log};
};

// ---------------------------------------------------------------------------
// Window rules.

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return EncodeDateTime(y, mo, d, h, mi, s, ms);
}

TEST(WindowRules, TableOfCases) {
  const TDateTime now = At(2024, 3, 7, 14, 5, 9, 400);
  const TDateTime end = At(2024, 3, 7, 14, 5, 9);
  struct Case {
    const char* name;
    TDataCollectorStatusObj in;
    int historyStep;
    TDataCollectorStatusObj expected;
    std::vector<std::string> lines;
  };
  auto status = [](TDateTime lastCycleEnd, TDateTime activeHistoryEnd = 0, int factId = 0) {
    TDataCollectorStatusObj s;
    s.LastCycleEnd = lastCycleEnd;
    s.ActiveHistoryEnd = activeHistoryEnd;
    s.ActiveHistoryFactID = factId;
    return s;
  };
  auto with = [](TDataCollectorStatusObj s, auto change) {
    change(s);
    return s;
  };

  const Case cases[] = {
      {"worked example: six days are cut to the last two plus today",
       status(At(2024, 3, 1)), 1,
       with(status(At(2024, 3, 1)),
            [&](TDataCollectorStatusObj& s) {
              s.CurrentCycleStart = At(2024, 3, 5);
              s.CurrentCycleEnd = end;
              s.ActiveHistoryStart = At(2024, 3, 1);
              s.ActiveHistoryEnd = At(2024, 3, 4);
              s.CurrentHistoryStart = At(2024, 3, 5);
              s.CurrentHistoryEnd = At(2024, 3, 4);
              s.SkipHistory = true;
            }),
       {"Too many current days to process, limiting to 2 days",
        "Too Large Data Window: 3/1/2024 through 3/7/2024 2:05:09 PM",
        "Forced History Window: 3/1/2024 through 3/4/2024",
        "Skipping history processing this cycle"}},
      {"worked example: two days are sent whole",
       status(At(2024, 3, 5, 10)), 1,
       with(status(At(2024, 3, 5, 10)),
            [&](TDataCollectorStatusObj& s) {
              s.CurrentCycleStart = At(2024, 3, 5, 10);
              s.CurrentCycleEnd = end;
            }),
       {}},
      {"no last cycle end starts at yesterday's midnight",
       status(0), 1,
       with(status(0),
            [&](TDataCollectorStatusObj& s) {
              s.CurrentCycleStart = At(2024, 3, 6);
              s.CurrentCycleEnd = end;
            }),
       {}},
      {"a last cycle end later than now starts at today's midnight",
       status(At(2024, 3, 8)), 1,
       with(status(At(2024, 3, 8)),
            [&](TDataCollectorStatusObj& s) {
              s.CurrentCycleStart = At(2024, 3, 7);
              s.CurrentCycleEnd = end;
            }),
       {"WARNING: The last cycle end 3/8/2024 is later than now; the window starts at today's "
        "midnight"}},
      {"a last cycle end of the year 9999 starts at today's midnight",
       status(2958465), 1,
       with(status(2958465),
            [&](TDataCollectorStatusObj& s) {
              s.CurrentCycleStart = At(2024, 3, 7);
              s.CurrentCycleEnd = end;
            }),
       {"WARNING: The last cycle end 12/31/9999 is later than now; the window starts at today's "
        "midnight"}},
      {"a last cycle end a second after now starts at today's midnight",
       status(end + kOneSecond), 1,
       with(status(end + kOneSecond),
            [&](TDataCollectorStatusObj& s) {
              s.CurrentCycleStart = At(2024, 3, 7);
              s.CurrentCycleEnd = end;
            }),
       {"WARNING: The last cycle end 3/7/2024 2:05:10 PM is later than now; the window starts at "
        "today's midnight"}},
      {"two days and 23 hours are processed whole",
       status(At(2024, 3, 4, 15, 5, 9)), 1,
       with(status(At(2024, 3, 4, 15, 5, 9)),
            [&](TDataCollectorStatusObj& s) {
              s.CurrentCycleStart = At(2024, 3, 4, 15, 5, 9);
              s.CurrentCycleEnd = end;
            }),
       {}},
      {"exactly three days are cut, replacing the history window",
       status(At(2024, 3, 4, 14, 5, 9), At(2024, 1, 10), 77), 1,
       with(status(At(2024, 3, 4, 14, 5, 9)),
            [&](TDataCollectorStatusObj& s) {
              s.CurrentCycleStart = At(2024, 3, 5);
              s.CurrentCycleEnd = end;
              s.ActiveHistoryStart = At(2024, 3, 4);
              s.ActiveHistoryEnd = At(2024, 3, 4);
              s.ActiveHistoryFactID = 0;
              s.CurrentHistoryStart = At(2024, 3, 5);
              s.CurrentHistoryEnd = At(2024, 3, 4);
              s.SkipHistory = true;
            }),
       {"Too many current days to process, limiting to 2 days",
        "Too Large Data Window: 3/4/2024 2:05:09 PM through 3/7/2024 2:05:09 PM",
        "Forced History Window: 3/4/2024 through 3/4/2024",
        "Skipping history processing this cycle"}},
      {"a history step of 7 days ends at the active history end",
       status(At(2024, 3, 7), At(2024, 2, 20)), 7,
       with(status(At(2024, 3, 7), At(2024, 2, 20)),
            [&](TDataCollectorStatusObj& s) {
              s.CurrentCycleStart = At(2024, 3, 7);
              s.CurrentCycleEnd = end;
              s.CurrentHistoryStart = At(2024, 2, 14);
              s.CurrentHistoryEnd = At(2024, 2, 20);
            }),
       {"Historical Data Window: 2/14/2024 through 2/20/2024"}},
      {"a single history fact is named",
       status(At(2024, 3, 7), At(2024, 2, 20), 42), 1,
       with(status(At(2024, 3, 7), At(2024, 2, 20), 42),
            [&](TDataCollectorStatusObj& s) {
              s.CurrentCycleStart = At(2024, 3, 7);
              s.CurrentCycleEnd = end;
              s.CurrentHistoryStart = At(2024, 2, 20);
              s.CurrentHistoryEnd = At(2024, 2, 20);
            }),
       {"Historical Data Window: 2/20/2024 through 2/20/2024",
        "Retrieving single history fact: 42"}},
  };

  for (const Case& c : cases) {
    std::vector<std::string> log;
    TScriptedCollector collector(log);
    collector.SetConfiguredHistoryStep(c.historyStep);
    TDataCollectorStatusObj s = c.in;
    collector.ComputeWindows(s, now);
    EXPECT_EQ(DateTimeToText(s.CurrentCycleStart), DateTimeToText(c.expected.CurrentCycleStart))
        << c.name;
    EXPECT_EQ(DateTimeToText(s.CurrentCycleEnd), DateTimeToText(c.expected.CurrentCycleEnd))
        << c.name;
    EXPECT_EQ(DateTimeToMilliseconds(s.CurrentCycleEnd), DateTimeToMilliseconds(end)) << c.name;
    EXPECT_EQ(s.ActiveHistoryStart, c.expected.ActiveHistoryStart) << c.name;
    EXPECT_EQ(s.ActiveHistoryEnd, c.expected.ActiveHistoryEnd) << c.name;
    EXPECT_EQ(s.ActiveHistoryFactID, c.expected.ActiveHistoryFactID) << c.name;
    EXPECT_EQ(s.CurrentHistoryStart, c.expected.CurrentHistoryStart) << c.name;
    EXPECT_EQ(s.CurrentHistoryEnd, c.expected.CurrentHistoryEnd) << c.name;
    EXPECT_EQ(s.SkipHistory, c.expected.SkipHistory) << c.name;
    EXPECT_EQ(s.LastCycleEnd, c.in.LastCycleEnd) << c.name << ": LastCycleEnd is not advanced";
    EXPECT_EQ(log, c.lines) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Initialize.

TEST_F(CycleTest, InitializeRunsEveryStepInOrderAndAuthorizes) {
  collector.SetResendDelay(10);
  collector.Initialize();
  EXPECT_TRUE(collector.Initialized());
  EXPECT_EQ(collector.ResendDelay(), 0);
  EXPECT_THAT(collector.calls,
              ElementsAre("LoadConfiguration", "CreateServerConnection", "BasicSystemChecksOK",
                          "TransactionManagerRunning", "OpenDatabase", "StartTransaction",
                          "VerifyDBStructures", "CloseDatabase", "PrepareTLS", "Authorize"));
  EXPECT_THAT(log, ElementsAre("Data Collector Initializing", "Loading Configuration",
                               "Data Collector initialized successfully"));

  // Once initialised, nothing happens.
  collector.calls.clear();
  collector.Initialize();
  EXPECT_TRUE(collector.calls.empty());
}

TEST_F(CycleTest, InitializeStopsAtTheFirstFailingStep) {
  struct Case {
    const char* name;
    std::function<void(TScriptedCollector&)> script;
    std::vector<std::string> lastCalls;
    std::string lastLine;
  };
  const Case cases[] = {
      {"site checks", [](TScriptedCollector& c) { c.checksOK = false; },
       {"CreateServerConnection", "BasicSystemChecksOK"}, "Loading Configuration"},
      {"transaction manager", [](TScriptedCollector& c) { c.tmRunning = false; },
       {"BasicSystemChecksOK", "TransactionManagerRunning"},
       "ERROR: Cannot initialize Data Collector because the Transaction Manager is not running"},
      {"open", [](TScriptedCollector& c) { c.openOK = false; },
       {"OpenDatabase", "CloseDatabase"}, "ERROR: Could not open and verify database "},
      {"schema", [](TScriptedCollector& c) { c.verifyError = "table locked"; },
       {"StartTransaction", "VerifyDBStructures", "RollbackTransaction", "CloseDatabase"},
       "ERROR: An exception occured verifying DB structures. (table locked) No status updates were "
       "saved."},
      {"authorize", [](TScriptedCollector& c) { c.authorizeResult = TAuthorizeResult::Refused; },
       {"PrepareTLS", "Authorize"}, "Loading Configuration"},
      {"authorize answer not applied", [](TScriptedCollector& c) { c.authorizeRaisesAfterGrant = true; },
       {"PrepareTLS", "Authorize"},
       "Data Collector not initialized: the server's authorization answer could not be applied"},
      {"open raises", [](TScriptedCollector& c) { c.openError = "unknown version 19.x"; },
       {"OpenDatabase", "CloseDatabase"},
       "ERROR: Could not open and verify database  (unknown version 19.x)"},
      {"transaction start raises", [](TScriptedCollector& c) { c.startError = "lock time-out"; },
       {"OpenDatabase", "StartTransaction", "CloseDatabase"},
       "ERROR: Could not open and verify database  (lock time-out)"},
      {"schema and rollback raise",
       [](TScriptedCollector& c) {
         c.verifyError = "table locked";
         c.rollbackError = "connection lost";
       },
       {"StartTransaction", "VerifyDBStructures", "RollbackTransaction", "CloseDatabase"},
       "ERROR: Could not open and verify database  (connection lost)"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> log;
    TScriptedCollector collector(log);
    c.script(collector);
    EXPECT_NO_THROW(collector.Initialize()) << c.name;
    EXPECT_FALSE(collector.Initialized()) << c.name;
    EXPECT_THAT(log, Not(Contains("Data Collector initialized successfully"))) << c.name;
    ASSERT_GE(collector.calls.size(), c.lastCalls.size()) << c.name;
    const std::vector<std::string> tail(collector.calls.end() - c.lastCalls.size(),
                                        collector.calls.end());
    EXPECT_EQ(tail, c.lastCalls) << c.name;
    EXPECT_EQ(log.back(), c.lastLine) << c.name;
  }
}

TEST_F(CycleTest, InitializeRaisesWhenTheTLSLibrariesCannotBeWritten) {
  collector.tlsOK = false;
  try {
    collector.Initialize();
    FAIL() << "Initialize must raise";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Unable to create SSL DLLs from resources. Contact Vesmar Systems, Inc.");
  }
  EXPECT_FALSE(collector.Initialized());
  EXPECT_EQ(collector.Count("Authorize"), 0);
}

// ---------------------------------------------------------------------------
// RunCycle.

TEST_F(CycleTest, AcceptedCycleRunsEveryStepSavesAndRotatesStatistics) {
  InitializeOK();
  collector.SetConfiguredLocCode("  4711 ");
  collector.onPost = [](TScriptedCollector& c, TCollectedData*, TDataCollectorStatusObj&) {
    c.Current().SendSize = 1234;
    return TPostResult::Accepted;
  };
  collector.RunCycle();

  EXPECT_THAT(collector.calls,
              ElementsAre("TransactionManagerRunning", "OpenDatabase", "VerifyDBStructures",
                          "StartTransaction", "LoadStatus", "RetrieveData", "Post", "SaveStatus",
                          "CommitAcceptedData", "SetSiteStatus QuorixConnectDateTime",
                          "CommitTransaction",
                          "CloseDatabase"));
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0], "--------------");
  EXPECT_EQ(log[1], "Starting Cycle   4711");
  EXPECT_THAT(log[2], HasSubstr("Current Data Window: "));
  EXPECT_EQ(log.back(), "Cycle Complete");
  EXPECT_TRUE(collector.Initialized());
  ASSERT_EQ(collector.saved.size(), 1u);
  EXPECT_EQ(collector.saved[0], collector.postedStatus[0]);
  EXPECT_EQ(collector.posted[0], collector.retrieved[0]);

  const TCycleStatistics& last = collector.LastCycleStats();
  const TDateTime stamps[] = {last.InitializeStart, last.InitializeEnd, last.LoadStart,
                              last.LoadEnd,         last.RetrieveStart, last.RetrieveEnd,
                              last.SendStart,       last.SendEnd,       last.SaveStart,
                              last.SaveEnd};
  for (size_t i = 0; i < std::size(stamps); ++i) {
    EXPECT_GT(stamps[i], 0) << "stamp " << i;
    if (i > 0) {
      EXPECT_GE(stamps[i], stamps[i - 1]) << "stamp " << i;
    }
  }
  EXPECT_EQ(last.SendSize, 1234);
  EXPECT_EQ(collector.CurrentCycleStats(), TCycleStatistics{});
}

TEST_F(CycleTest, EmptyLocCodeLogsNoTrailingBlank) {
  InitializeOK();
  collector.RunCycle();
  EXPECT_EQ(log[1], "Starting Cycle");
}

TEST_F(CycleTest, CycleEndsEarlyAtEachPrecondition) {
  struct Case {
    const char* name;
    bool initialize;
    std::function<void(TScriptedCollector&)> script;
    std::vector<std::string> calls;
    std::string error;
    bool staysInitialized;
  };
  const Case cases[] = {
      {"not initialised", false, [](TScriptedCollector&) {}, {"CloseDatabase"},
       "ERROR: Cannot run a cycle - Data Collector is not initialized", false},
      {"transaction manager", true, [](TScriptedCollector& c) { c.tmRunning = false; },
       {"TransactionManagerRunning", "CloseDatabase"},
       "ERROR: Cannot run the Data Collector because the Transaction Manager is not running", true},
      {"open", true, [](TScriptedCollector& c) { c.openOK = false; },
       {"TransactionManagerRunning", "OpenDatabase", "CloseDatabase"},
       "ERROR: Cycle failed to open or verify ", true},
      {"schema", true, [](TScriptedCollector& c) { c.verifyError = "no grant"; },
       {"TransactionManagerRunning", "OpenDatabase", "VerifyDBStructures", "RollbackTransaction",
        "CloseDatabase"},
       "ERROR: An exception occured verifying DB structures. (no grant) No status updates were "
       "saved.",
       true},
      {"open raises", true, [](TScriptedCollector& c) { c.openError = "unknown version 19.x"; },
       {"TransactionManagerRunning", "OpenDatabase", "CloseDatabase"},
       "ERROR: Cycle failed: unknown version 19.x No status updates were saved.", true},
      {"schema and rollback raise", true,
       [](TScriptedCollector& c) {
         c.verifyError = "no grant";
         c.rollbackError = "connection lost";
       },
       {"TransactionManagerRunning", "OpenDatabase", "VerifyDBStructures", "RollbackTransaction",
        "CloseDatabase"},
       "ERROR: Cycle failed: connection lost No status updates were saved.", true},
      {"transaction start raises", true, [](TScriptedCollector& c) { c.startError = "lock time-out"; },
       {"TransactionManagerRunning", "OpenDatabase", "VerifyDBStructures", "StartTransaction",
        "CloseDatabase"},
       "ERROR: Cycle failed: lock time-out No status updates were saved.", true},
  };
  for (const Case& c : cases) {
    std::vector<std::string> log;
    TScriptedCollector collector(log);
    if (c.initialize) collector.Initialize();
    collector.calls.clear();
    log.clear();
    c.script(collector);
    EXPECT_NO_THROW(collector.RunCycle()) << c.name;
    EXPECT_EQ(collector.calls, c.calls) << c.name;
    ASSERT_EQ(log.size(), 4u) << c.name;
    EXPECT_EQ(log[2], c.error) << c.name;
    EXPECT_EQ(log[3], "Cycle Complete") << c.name;
    EXPECT_EQ(collector.Initialized(), c.staysInitialized) << c.name;
    EXPECT_EQ(collector.LastCycleStats(), TCycleStatistics{}) << c.name;
    // Failures of the site database make the host back off; a collector that
    // is not ready yet or a stopped transaction manager are no failure.
    EXPECT_EQ(collector.LastCycleFailed(), c.calls.size() > 2) << c.name;
  }
}

TEST_F(CycleTest, EachLoggedProblemIsKeptWithItsSubjectAndTheListStaysBounded) {
  struct Case {
    const char* name;
    std::function<void(TScriptedCollector&)> arrange;
    TProblemSubject subject;
  };
  const Case cases[] = {
      {"transaction manager stopped", [](TScriptedCollector& c) { c.tmRunning = false; },
       TProblemSubject::TransactionManager},
      {"database not opened", [](TScriptedCollector& c) { c.openOK = false; }, TProblemSubject::DatabaseConnection},
      {"schema check fails", [](TScriptedCollector& c) { c.verifyError = "object in use"; },
       TProblemSubject::Schema},
      {"close fails", [](TScriptedCollector& c) { c.closeError = "network gone"; },
       TProblemSubject::DatabaseConnection},
      {"save fails", [](TScriptedCollector& c) { c.saveError = "disk full"; }, TProblemSubject::Cycle},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> caseLog;
    TScriptedCollector scripted(caseLog);
    scripted.Initialize();
    ASSERT_TRUE(scripted.Initialized());
    scripted.ForgetProblems();
    c.arrange(scripted);
    scripted.RunCycle();
    ASSERT_FALSE(scripted.Problems().empty());
    const TCollectorProblem& last = scripted.Problems().back();
    EXPECT_EQ(last.Subject, c.subject);
    EXPECT_EQ(last.Severity, TProblemSeverity::Error);
    // The problem is the log line itself, word for word.
    EXPECT_NE(std::find(caseLog.begin(), caseLog.end(), last.Text), caseLog.end()) << last.Text;
  }

  // An accepted cycle adds none; a service failing every cycle keeps the newest.
  InitializeOK();
  collector.ForgetProblems();
  collector.RunCycle();
  EXPECT_TRUE(collector.Problems().empty());
  collector.tmRunning = false;
  for (size_t i = 0; i < TDataCollector::kMaxProblems + 20; ++i) collector.RunCycle();
  EXPECT_EQ(collector.Problems().size(), TDataCollector::kMaxProblems);
  EXPECT_EQ(collector.Problems().back().Subject, TProblemSubject::TransactionManager);
}

TEST_F(CycleTest, AFailingCloseStillEndsTheCycle) {
  InitializeOK();
  collector.closeError = "network gone";
  EXPECT_NO_THROW(collector.RunCycle());
  EXPECT_TRUE(Logged("ERROR: An exception occured closing the database. (network gone)"));
  EXPECT_EQ(log.back(), "Cycle Complete");
  EXPECT_TRUE(collector.LastCycleFailed());
  // The status was saved and committed before the close.
  EXPECT_EQ(collector.Count("CommitTransaction"), 1);
}

TEST_F(CycleTest, AnswerThatIsNotAJsonObjectSavesTheStatusButKeepsThePendingChanges) {
  InitializeOK();
  collector.onPost = [](TScriptedCollector&, TCollectedData*, TDataCollectorStatusObj&) {
    return TPostResult::AnswerUnreadable;
  };
  collector.RunCycle();
  EXPECT_THAT(collector.calls,
              ElementsAre("TransactionManagerRunning", "OpenDatabase", "VerifyDBStructures",
                          "StartTransaction", "LoadStatus", "RetrieveData", "Post", "SaveStatus",
                          "SetSiteStatus QuorixConnectDateTime", "CommitTransaction",
                          "CloseDatabase"));
  EXPECT_TRUE(collector.Initialized());
  EXPECT_FALSE(collector.LastCycleFailed());
  EXPECT_FALSE(collector.HoldsResend());
  EXPECT_GT(collector.LastCycleStats().SaveEnd, 0);

  // The next accepted post commits what it carries.
  collector.onPost = [](TScriptedCollector&, TCollectedData*, TDataCollectorStatusObj&) { return TPostResult::Accepted; };
  collector.RunCycle();
  EXPECT_EQ(collector.Count("CommitAcceptedData"), 1);
}

TEST_F(CycleTest, OnlyATransferErrorIsTakenAsAFailedTransfer) {
  InitializeOK();
  // A failure whose text reads like a transfer failure is not one.
  collector.onPost = [](TScriptedCollector&, TCollectedData*, TDataCollectorStatusObj&) -> TPostResult {
    throw EOrvelError("Unable to post data to web server");
  };
  collector.RunCycle();
  EXPECT_FALSE(collector.HoldsResend());
  EXPECT_FALSE(collector.Initialized());
  EXPECT_TRUE(Logged("No status updates were saved."));
}

TEST_F(CycleTest, FailedTransferKeepsDataAndStatusForTheNextCycle) {
  InitializeOK();
  int posts = 0;
  collector.onPost = [&](TScriptedCollector&, TCollectedData*, TDataCollectorStatusObj& s) {
    ++posts;
    if (posts == 1) {
      s.LastSent = 99;  // what the post changes travels with the kept status
      throw ETransferError("Unable to post data to web server");
    }
    return TPostResult::Accepted;
  };
  collector.RunCycle();
  EXPECT_TRUE(collector.HoldsResend());
  EXPECT_EQ(collector.Count("SaveStatus"), 0);
  EXPECT_EQ(collector.Count("CommitTransaction"), 1);
  EXPECT_TRUE(collector.Initialized());
  EXPECT_GT(collector.LastCycleStats().SendEnd, 0);
  EXPECT_EQ(collector.LastCycleStats().SaveStart, 0);

  // The next cycle posts the same data with the same windows, without reading
  // the status row or the site data again.
  collector.storedStatus.LastCycleEnd = DateOf(DateTimeNow()) - 0.5;
  log.clear();
  collector.RunCycle();
  EXPECT_TRUE(Logged("Resending last retrieved data"));
  EXPECT_EQ(collector.Count("LoadStatus"), 1);
  EXPECT_EQ(collector.Count("RetrieveData"), 1);
  ASSERT_EQ(collector.posted.size(), 2u);
  EXPECT_EQ(collector.posted[1], collector.posted[0]);
  TDataCollectorStatusObj expected = collector.postedStatus[0];
  expected.LastSent = 99;
  EXPECT_EQ(collector.postedStatus[1], expected);
  ASSERT_EQ(collector.saved.size(), 1u);
  EXPECT_EQ(collector.saved[0], expected);
  EXPECT_FALSE(collector.HoldsResend());

  // With nothing kept, the status row is read again.
  collector.RunCycle();
  EXPECT_EQ(collector.Count("LoadStatus"), 2);
  EXPECT_EQ(collector.Count("RetrieveData"), 2);
}

TEST_F(CycleTest, ServerResendRequestKeepsDataAndDelay) {
  InitializeOK();
  collector.onPost = [](TScriptedCollector& c, TCollectedData*, TDataCollectorStatusObj&) {
    c.SetResendDelay(10);
    return TPostResult::Resend;
  };
  collector.RunCycle();
  EXPECT_TRUE(collector.HoldsResend());
  EXPECT_EQ(collector.ResendDelay(), 10);
  EXPECT_EQ(collector.Count("SaveStatus"), 0);

  // Resend data survives reinitialisation, which clears the delay.
  collector.ClearInitialized();
  collector.Initialize();
  EXPECT_EQ(collector.ResendDelay(), 0);
  EXPECT_TRUE(collector.HoldsResend());
}

TEST_F(CycleTest, ReinitializeAnswerSavesNothing) {
  InitializeOK();
  collector.onPost = [](TScriptedCollector& c, TCollectedData*, TDataCollectorStatusObj&) {
    c.ClearInitialized();
    return TPostResult::Reinitialize;
  };
  collector.RunCycle();
  EXPECT_EQ(collector.Count("SaveStatus"), 0);
  EXPECT_FALSE(collector.HoldsResend());
  EXPECT_EQ(collector.Count("CommitTransaction"), 1);
  EXPECT_FALSE(collector.Initialized());
  EXPECT_NE(collector.LastCycleStats(), TCycleStatistics{});
}

TEST_F(CycleTest, FailureAfterAnAcceptedPostRollsBackAndReinitializes) {
  struct Case {
    const char* name;
    std::function<void(TScriptedCollector&)> script;
    std::string error;
    bool statisticsRotated;  // the commit comes after the rotation
  };
  const Case cases[] = {
      {"status save", [](TScriptedCollector& c) { c.saveError = "lock conflict"; },
       "ERROR: lock conflict", false},
      {"commit",
       [](TScriptedCollector& c) {
         c.commitError = "connection lost";
         c.onPost = [](TScriptedCollector& self, TCollectedData*, TDataCollectorStatusObj&) {
           self.Current().SendSize = 77;
           return TPostResult::Accepted;
         };
       },
       "ERROR: connection lost", true},
      {"server error answer",
       [](TScriptedCollector& c) {
         c.onPost = [](TScriptedCollector& self, TCollectedData*, TDataCollectorStatusObj&) -> TPostResult {
           self.ClearInitialized();
           throw EOrvelError("Server failed to post update with error message (reinitializing): x");
         };
       },
       "ERROR: Server failed to post update with error message (reinitializing): x", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> log;
    TScriptedCollector collector(log);
    collector.storedStatus.LastCycleEnd = DateOf(DateTimeNow());
    collector.Initialize();
    // A first good cycle gives the statistics something to keep.
    collector.RunCycle();
    const TCycleStatistics before = collector.LastCycleStats();
    ASSERT_NE(before, TCycleStatistics{});

    c.script(collector);
    collector.calls.clear();
    log.clear();
    collector.RunCycle();
    EXPECT_THAT(collector.calls, Contains("RollbackTransaction")) << c.name;
    EXPECT_EQ(collector.calls.back(), "CloseDatabase") << c.name;
    EXPECT_FALSE(collector.Initialized()) << c.name;
    EXPECT_FALSE(collector.HoldsResend()) << c.name;
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], c.error) << c.name;
    EXPECT_EQ(log[log.size() - 2], "No status updates were saved.") << c.name;
    EXPECT_EQ(log.back(), "Cycle Complete") << c.name;
    if (c.statisticsRotated) {
      EXPECT_EQ(collector.LastCycleStats().SendSize, 77) << c.name;
      EXPECT_EQ(collector.CurrentCycleStats(), TCycleStatistics{}) << c.name;
    } else {
      // Neither rotated nor cleared.
      EXPECT_EQ(collector.LastCycleStats(), before) << c.name;
      EXPECT_GT(collector.CurrentCycleStats().InitializeStart, 0) << c.name;
    }

    // The next due tick initialises again before it runs a cycle.
    collector.saveError.clear();
    collector.commitError.clear();
    collector.onPost = [](TScriptedCollector&, TCollectedData*, TDataCollectorStatusObj&) { return TPostResult::Accepted; };
    collector.calls.clear();
    collector.Initialize();
    EXPECT_EQ(collector.calls.front(), "LoadConfiguration") << c.name;
    EXPECT_TRUE(collector.Initialized()) << c.name;
  }
}

TEST_F(CycleTest, FailingRollbackStillEndsTheCycleAsFailed) {
  InitializeOK();
  collector.saveError = "disk full";
  collector.rollbackError = "connection lost";
  EXPECT_NO_THROW(collector.RunCycle());
  EXPECT_FALSE(collector.Initialized());
  EXPECT_TRUE(Logged("ERROR: connection lost"));
  EXPECT_TRUE(Logged("No status updates were saved."));
  EXPECT_EQ(log.back(), "Cycle Complete");
}

TEST_F(CycleTest, ConnectTimeFailureIsLoggedAndTheCycleGoesOn) {
  InitializeOK();
  collector.siteStatusError = "Failed to set data for 'QuorixConnectDateTime'";
  collector.RunCycle();
  EXPECT_TRUE(Logged("ERROR: An exception occured while writing connect time to registry. (Failed "
                     "to set data for 'QuorixConnectDateTime') Network Status Viewer might be "
                     "incorrect."));
  EXPECT_TRUE(collector.Initialized());
  EXPECT_EQ(collector.Count("CommitTransaction"), 1);
  EXPECT_GT(collector.LastCycleStats().SaveEnd, 0);
}

TEST_F(CycleTest, ShutdownEndsActivityAndLaterCyclesOnlyComplete) {
  InitializeOK();
  collector.closeError = "network gone";
  collector.Shutdown();
  EXPECT_FALSE(collector.Active());
  EXPECT_THAT(log, ElementsAre("Data Collector Shutting Down",
                               "ERROR: An exception occured during shutdown. (network gone)",
                               "Data Collector shutdown successfully"));
  log.clear();
  collector.calls.clear();
  collector.RunCycle();
  EXPECT_THAT(log, ElementsAre("Cycle Complete"));
  EXPECT_TRUE(collector.calls.empty());
}

TEST_F(CycleTest, CycleTimeComesFromTheConfiguration) {
  EXPECT_EQ(collector.CycleTime(), 0);
  collector.Cfg().SetCycleTime(120);
  EXPECT_EQ(collector.CycleTime(), 120);
}

TEST_F(CycleTest, RequestStopRaisesTheStopSignal) {
  EXPECT_FALSE(collector.StopRequested());
  collector.RequestStop();
  EXPECT_TRUE(collector.StopRequested());
}

TEST_F(CycleTest, ALogHandlerThatRaisesIsIgnored) {
  TDataCollector raising([](const std::string&, bool) { throw std::runtime_error("disk"); });
  EXPECT_NO_THROW(raising.Shutdown());
  EXPECT_FALSE(raising.Active());
}

}  // namespace
