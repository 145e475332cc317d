// The operator modes ONCE, TEST and CHECK on a fixture site database
// (embedded engine) with the test statistics server.

#include "service/OperatorModes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "firebird/SiteDatabase.h"
#include "platform/TextEncoding.h"
#include "service/ChildProcess.h"
#include "support/FixtureDatabase.h"
#include "support/HiveText.h"
#include "support/ScopedEnv.h"
#include "support/OtherUser.h"
#include "support/ScopedRegistry.h"
#include "support/StatsServer.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kAuthorized = R"({"Authenticated":true,"CycleTime":300,"HistoryStep":1})";

TSiteFixtureOptions SmallSite() {
  TSiteFixtureOptions options;
  options.LocationCode = "OPS001";
  options.Sales = 40;
  options.Days = 2;
  return options;
}

std::string Hive(const std::string& database) {
  return HiveText()
      .Key("Software\\Orvel\\Install")
      .String("InstallType", "Server")
      .String("PATH", "/opt/corvane/")
      .Key("Software\\Orvel\\Corvane")
      .String("Stage", "19.2.0.0")
      .Key("Software\\Orvel\\Omnid\\Login")
      .String("Database", database)
      .Key("Software\\Orvel\\DataCollector")
      .String("ClientToken", "ops-token")
      .String("LocCode", "OPS001");
}

class OperatorModesTest : public ::testing::Test {
 protected:
  explicit OperatorModesTest(const TSiteFixtureOptions& site = SmallSite())
      : FDatabase(site),
        FRegistry(Hive(FDatabase.Path())),
        FHost("DC_SERVER_HOST", "127.0.0.1"),
        FPort("DC_SERVER_PORT", std::to_string(FServer.port()).c_str()) {
    FServer.setDefault(Answer(kAuthorized));
  }

  static StatsServer::Answer Answer(const std::string& body) {
    StatsServer::Answer answer;
    answer.body = body;
    return answer;
  }

  // Starts the stand-in Transaction Manager, a process named Omnid.exe.
  void StartTransactionManager() {
    const fs::path omnid = FFolder.path() / "Omnid.exe";
    if (!fs::exists(omnid)) fs::create_symlink(fs::exists("/bin/sleep") ? "/bin/sleep" : "/usr/bin/sleep", omnid);
    FTransactionManager = std::make_unique<ChildProcess>(
        omnid.string(), std::vector<std::string>{omnid.string(), "300"}, FFolder.path().string(),
        std::map<std::string, std::string>{});
  }

  int Run(const std::string& mode) {
    FOut.str("");
    FErr.str("");
    FLog.clear();
    TOperatorModes modes([this](const std::string& msg, bool) { FLog.push_back(msg); }, FOut, FErr);
    return modes.Run(mode);
  }

  int64_t Scalar(const std::string& sql) {
    TSiteDatabase db;
    FDatabase.Connect(db);
    db.StartTransaction();
    TSiteQuery query(db, sql);
    query.Open();
    const int64_t value = query.Eof() ? -1 : query.AsInteger("v");
    query.Close();
    db.Commit();
    return value;
  }

  void Exec(const std::string& sql) {
    TSiteDatabase db;
    FDatabase.Connect(db);
    db.StartTransaction();
    TSiteQuery query(db, sql);
    query.ExecSQL();
    db.Commit();
  }

  size_t Posts() const {
    size_t n = 0;
    for (const auto& request : FServer.requests()) {
      if (request.body.find("\"Command\":\"Post\"") != std::string::npos) ++n;
    }
    return n;
  }

  bool HasTable(const std::string& name) {
    return Scalar("SELECT count(*) v FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = '" + name + "'") == 1;
  }

  TempDir FFolder{"dc-operator"};
  TFixtureDatabase FDatabase;
  ScopedRegistry FRegistry;
  StatsServer FServer;
  ScopedEnv FHost;
  ScopedEnv FPort;
  std::unique_ptr<ChildProcess> FTransactionManager;
  std::ostringstream FOut;
  std::ostringstream FErr;
  std::vector<std::string> FLog;
};

// The same site with its text in UTF-8, which holds characters that the post's
// Windows-1252 cannot.
class OperatorModesUtf8Test : public OperatorModesTest {
 protected:
  static TSiteFixtureOptions Utf8Site() {
    TSiteFixtureOptions options = SmallSite();
    options.Charset = "UTF8";
    return options;
  }
  OperatorModesUtf8Test() : OperatorModesTest(Utf8Site()) {}
};

}  // namespace

TEST(OperatorModeSwitches, SelectedMode) {
  struct Case {
    std::vector<std::string> args;
    std::string mode;
  };
  const Case cases[] = {
      {{"DataCollector", "/ONCE"}, "ONCE"},
      {{"DataCollector", "-test"}, "TEST"},
      {{"DataCollector", "/Check"}, "CHECK"},
      {{"DataCollector", "/CHECK", "-once"}, "ONCE"},
      {{"DataCollector", "ONCE"}, ""},
      {{"DataCollector", "/ONCEMORE"}, ""},
      {{"/ONCE"}, ""},
      {{"DataCollector"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(TOperatorModes::SelectedMode(c.args), c.mode);
  }
}

TEST_F(OperatorModesTest, TestRefusesASiteWithoutTheCollectorsTablesAndCreatesNothing) {
  StartTransactionManager();
  EXPECT_EQ(Run("TEST"), 1);
  EXPECT_NE(FErr.str().find("DC_STATUS is missing"), std::string::npos) << FErr.str();
  EXPECT_TRUE(FOut.str().empty());
  EXPECT_FALSE(HasTable("DC_STATUS"));
  EXPECT_TRUE(FServer.requests().empty());
}

TEST_F(OperatorModesTest, OncePostsOneCycleAndTestThenChangesNothing) {
  StartTransactionManager();
  ASSERT_EQ(Run("ONCE"), 0) << FErr.str();
  EXPECT_EQ(FOut.str().rfind("Post accepted: ", 0), 0u) << FOut.str();
  EXPECT_EQ(Posts(), 1u);
  const int64_t lastSent = Scalar("SELECT DATEDIFF(MILLISECOND FROM TIMESTAMP '2000-01-01' TO LastSent) v FROM DC_STATUS");
  ASSERT_GT(lastSent, 0);

  // A punch after the post leaves a pending employee day for the next cycle.
  Exec("INSERT INTO PunchInterval (ObjID, Site, Employee, PunchDate, PiType, Department, InTime, OutTime, "
       "ActualIn, ActualOut, Rate, Multiplier) VALUES (990001, 1, 1002, CURRENT_DATE, 'R', 1, 480, 960, 480, "
       "960, 12, 1)");
  const int64_t pending = Scalar("SELECT count(*) v FROM DC_PENDINGEMPDAYS_V111");
  ASSERT_GT(pending, 0);
  const size_t requests = FServer.requests().size();

  ASSERT_EQ(Run("TEST"), 0) << FErr.str();
  const std::string document = FOut.str();
  EXPECT_NE(document.find("\"Command\":\"Post\""), std::string::npos);
  EXPECT_NE(document.find("\"LaborData\""), std::string::npos) << "the pending day's punch is retrieved";
  EXPECT_NE(FErr.str().find("Not posted (TEST)"), std::string::npos);
  EXPECT_EQ(FServer.requests().size(), requests);
  EXPECT_EQ(Scalar("SELECT count(*) v FROM DC_PENDINGEMPDAYS_V111"), pending);
  EXPECT_EQ(Scalar("SELECT DATEDIFF(MILLISECOND FROM TIMESTAMP '2000-01-01' TO LastSent) v FROM DC_STATUS"),
            lastSent);
}

TEST_F(OperatorModesTest, OnceFailsWithTheReasonOnStandardError) {
  struct Case {
    const char* name;
    std::vector<std::string> answers;  // Authorize first
    std::string reason;
  };
  const Case cases[] = {
      {"refused Authorize", {R"({"Authenticated":false})"}, "Failed Authentication Response"},
      {"resend", {kAuthorized, R"({"Resend":5})"}, "again in 5 minutes"},
      {"reinitialise", {kAuthorized, R"({"Reinitialize":1})"}, "reinitialise"},
      {"server error", {kAuthorized, R"({"Error":"disk full"})"}, "disk full"},
  };
  StartTransactionManager();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& answer : c.answers) FServer.enqueue(answer);
    EXPECT_EQ(Run("ONCE"), 1);
    EXPECT_TRUE(FOut.str().empty()) << FOut.str();
    EXPECT_NE(FErr.str().find(c.reason), std::string::npos) << FErr.str();
    EXPECT_EQ(Scalar("SELECT count(*) v FROM DC_STATUS"), 0) << "nothing saved";
  }
}

TEST_F(OperatorModesTest, CheckReportsEveryCheckAndCarriesOutNoServerOrder) {
  StartTransactionManager();
  ASSERT_EQ(Run("ONCE"), 0) << FErr.str();

  ASSERT_EQ(Run("CHECK"), 0) << FOut.str();
  const std::string report = FOut.str();
  for (const char* line : {"OK      Site checks", "OK      Transaction Manager (Omnid.exe): running",
                           "OK      Database connection", "OK      Site row: site 1, location code OPS001",
                           "OK      Versions", "OK      Location code", "OK      Collector schema",
                           "OK      Status row: last accepted cycle ended", "OK      Next windows: current",
                           "OK      TLS layer", "OK      Server https://127.0.0.1:", "All checks passed."}) {
    EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
  }
  EXPECT_EQ(report.find("FAILED"), std::string::npos) << report;
  EXPECT_EQ(report.rfind("OK      Registry hive: " + FRegistry.path() + "\n", 0), 0u) << report;

  // The server orders an uninstall: reported, not carried out.
  FServer.enqueue(R"({"Uninstall":true})");
  EXPECT_EQ(Run("CHECK"), 1);
  EXPECT_NE(FOut.str().find("uninstall itself (not carried out)"), std::string::npos) << FOut.str();
  EXPECT_NE(FOut.str().find("1 check(s) failed."), std::string::npos) << FOut.str();
  EXPECT_TRUE(HasTable("DC_STATUS"));
  EXPECT_TRUE(HasTable("DC_PENDINGEMPDAYS_V111"));
  EXPECT_EQ(Posts(), 1u);
}

// TEST prints valid UTF-8 holding what the post carries, "?" where Windows-1252
// has no character, and says so once on standard error.
TEST_F(OperatorModesUtf8Test, TestPrintsWhatThePostCarriesAndNamesWhatItReplaces) {
  StartTransactionManager();
  ASSERT_EQ(Run("ONCE"), 0) << FErr.str();
  TSiteDatabase db;
  FDatabase.Connect(db);
  db.StartTransaction();
  TSiteQuery rename(db, "UPDATE Employee SET Name = :Name WHERE ObjID = 1002");
  rename.SetText("Name", "Zoë Łukasz 日本");
  rename.ExecSQL();
  db.Commit();
  db.Disconnect();
  Exec("INSERT INTO PunchInterval (ObjID, Site, Employee, PunchDate, PiType, Department, InTime, OutTime, "
       "ActualIn, ActualOut, Rate, Multiplier) VALUES (990001, 1, 1002, CURRENT_DATE, 'R', 1, 480, 960, 480, "
       "960, 12, 1)");

  ASSERT_EQ(Run("TEST"), 0) << FErr.str();
  const std::string printed = FOut.str();
  EXPECT_TRUE(platform::IsValidUtf8(printed));
  EXPECT_NE(printed.find("\"Zoë ?ukasz ??\""), std::string::npos) << printed;
  const std::string note = "Note: the post carries 3 characters as \"?\", since Windows-1252 cannot hold them: Ł 日 本\n";
  EXPECT_NE(FErr.str().find(note), std::string::npos) << FErr.str();

  ASSERT_EQ(Run("ONCE"), 0) << FErr.str();
  const std::string posted = FServer.requests().back().body;
  EXPECT_NE(posted.find("\"Zo\xEB ?ukasz ??\""), std::string::npos) << "the post is unchanged";
}

TEST_F(OperatorModesTest, CheckFailsWithinFifteenSecondsWhenAnotherProcessHoldsTheHive) {
  StartTransactionManager();
  ForeignLock lock(FRegistry.path(), true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(Run("CHECK"), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  const std::string output = FOut.str() + FErr.str();
  EXPECT_NE(output.find("Cannot lock registry file " + FRegistry.path() + ": locked by another process"),
            std::string::npos)
      << output;
}
