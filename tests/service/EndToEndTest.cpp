// The DataCollector program as a service runs it (foreground, with fast
// ticks), against a fixture site database on the embedded engine and the test
// statistics server, through several cycles, an outage with a restart, a
// reinitialisation and a history window the server moves.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "firebird/SiteDatabase.h"
#include "support/FixtureDatabase.h"
#include "support/HiveText.h"
#include "support/StatsServer.h"
#include "support/TempDir.h"
#include "service/ChildProcess.h"
#include "service/NotifySocket.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

constexpr const char* kLocation = "E2E001";
// Accepts a post and, as the real server does, makes its window end the next
// window's start; authorises an Authorize with a cycle of 10 ticks.
constexpr const char* kAccept = R"({"Authenticated":true,"CycleTime":10,"HistoryStep":1})";

std::string ProgramPath() {
  const char* dir = std::getenv("DC_TEST_BINARY_DIR");
  if (dir == nullptr) throw std::runtime_error("DC_TEST_BINARY_DIR is not set");
  return (fs::path(dir) / "src" / "service" / "DataCollector").string();
}

std::string SleepProgram() {
  for (const char* candidate : {"/bin/sleep", "/usr/bin/sleep"}) {
    if (fs::exists(candidate)) return candidate;
  }
  throw std::runtime_error("no sleep program");
}

StatsServer::Answer Accepting(const std::string& body = kAccept) {
  StatsServer::Answer answer;
  answer.body = body;
  answer.echoCycleEnd = true;
  return answer;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

double Today() { return DateOf(DateTimeNow()); }

// One site: its fixture database, registry hive, program folder with a copy
// of the program, a stand-in Transaction Manager, and the statistics server.
class Site {
 public:
  Site() : FDatabase(Options()) {
    fs::create_directories(FRun.path() / "program");
    fs::create_directories(Units());
    FProgram = FRun.path() / "program" / "DataCollector";
    fs::copy_file(ProgramPath(), FProgram);
    const fs::path omnid = FRun.path() / "program" / "Omnid.exe";
    fs::create_symlink(SleepProgram(), omnid);
    FTransactionManager = std::make_unique<ChildProcess>(omnid.string(), std::vector<std::string>{omnid.string(), "600"},
                                                         FRun.path().string(), std::map<std::string, std::string>{});
    std::ofstream(FRun.file("registry.reg")) << HiveText()
                                                    .Key("Software\\Orvel")
                                                    .String("OrvelLocationCode", kLocation)
                                                    .Key("Software\\Orvel\\Install")
                                                    .String("InstallType", "Server")
                                                    .String("PATH", FRun.path().string() + "/")
                                                    .Key("Software\\Orvel\\Corvane")
                                                    .String("Stage", "19.2.0.0")
                                                    .Key("Software\\Orvel\\Omnid\\Login")
                                                    .String("Database", FDatabase.Path())
                                                    .Key("Software\\Orvel\\DataCollector")
                                                    .String("ClientToken", "e2e-token")
                                                    .String("LocCode", kLocation)
                                                    .String("LogComm", "1")
                                                    .Text();
    FServer.setDefault(Accepting());
  }

  ~Site() { Stop(); }

  StatsServer& Server() { return FServer; }

  // Starts the service; with a notify socket as its service manager's, and
  // its standard error into errorFile, when given.
  void Start(const std::string& notifySocket = {}, const std::string& errorFile = {}) {
    std::map<std::string, std::string> environment = Environment();
    if (!notifySocket.empty()) environment["NOTIFY_SOCKET"] = notifySocket;
    FCollector = std::make_unique<ChildProcess>(FProgram.string(), std::vector<std::string>{FProgram.string()},
                                                FProgram.parent_path().string(), environment, errorFile);
  }
  std::string RunFile(const std::string& name) const { return FRun.file(name); }

  // In a sanitizer build the leak check at the program's exit can crash in
  // its own tracer while the engine's threads end (a fault of the checker,
  // not of the program), which would turn the exit status of a clean stop
  // into a failure. These tests judge the program's work; the service tests
  // check its exit with leak detection on.
  std::map<std::string, std::string> Environment() const {
    return {{"ASAN_OPTIONS", "detect_leaks=0"},
            {"DC_REGISTRY", FRun.file("registry.reg")},
            {"DC_SYSTEMD_DIR", Units().string()},
            {"DC_TICK_MS", "20"},
            {"DC_SERVER_HOST", "127.0.0.1"},
            {"DC_SERVER_PORT", std::to_string(FServer.port())}};
  }

  // Runs the program to its end with the given switches, as an administrator
  // installs it; its exit code.
  int RunSwitches(const std::vector<std::string>& switches) {
    std::vector<std::string> args{FProgram.string()};
    args.insert(args.end(), switches.begin(), switches.end());
    ChildProcess program(FProgram.string(), args, FProgram.parent_path().string(), Environment());
    return program.Wait(60s).value_or(-1);
  }

  // Waits for the service process to end by itself; its exit code.
  int WaitForEnd() {
    if (!FCollector) return 0;
    const std::optional<int> code = FCollector->Wait(30s);
    FCollector.reset();
    return code.value_or(-1);
  }

  fs::path Units() const { return FRun.path() / "units"; }
  std::string Hive() const {
    std::ifstream in(FRun.file("registry.reg"));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  int64_t Count(const std::string& sql) {
    int64_t value = -1;
    Write([&](TSiteDatabase& db) {
      TSiteQuery query(db, sql);
      query.Open();
      value = query.AsInteger("cnt");
      query.Close();
    });
    return value;
  }

  // Ends the program at once, as a power cut or the OOM killer would.
  void Kill() {
    if (!FCollector) return;
    FCollector->Signal(SIGKILL);
    FCollector->Wait(30s);
    FCollector.reset();
  }

  // The site database's file, to move it away and back.
  const std::string& DatabaseFile() const { return FDatabase.Path(); }

  // Stops the program with SIGTERM, as the service manager does; its exit code.
  int Stop() {
    if (!FCollector) return 0;
    FCollector->Signal(SIGTERM);
    const std::optional<int> code = FCollector->Wait(30s);
    FCollector.reset();
    return code.value_or(-1);
  }

  // The posted documents received so far, with their images decoded.
  std::vector<json> Posts() const {
    std::vector<json> posts;
    const auto requests = FServer.requests();
    for (size_t i = 0; i < requests.size(); ++i) {
      if (requests[i].body.find("\"Command\":\"Post\"") == std::string::npos) continue;
      const std::string decoded = FServer.decoded(i);
      if (!decoded.empty()) posts.push_back(json::parse(decoded));
    }
    return posts;
  }

  size_t RequestCount() const { return FServer.requests().size(); }

  bool WaitForPosts(size_t count) {
    return WaitUntil([&] { return Posts().size() >= count; });
  }

  // Adds a sale of today with one fact, as the site product does, in a
  // connection of its own; retries while the program holds the file.
  void AddSale(int32_t id) {
    Write([&](TSiteDatabase& db) {
      TSiteQuery sale(db,
                      "INSERT INTO Sale (Site, ObjID, Terminal, Shift, Status, LogDate, LogTime, Created, "
                      "Modified) VALUES (1, :ID, 101, 1, 0, CURRENT_DATE, 600, CURRENT_TIMESTAMP, "
                      "CURRENT_TIMESTAMP)");
      sale.SetInteger("ID", id);
      sale.ExecSQL();
      TSiteQuery fact(db, "INSERT INTO SaleFacts (Site, SaleID, Fact, ProfitCenter, Data) VALUES (1, :ID, 54181, 1, 9.5)");
      fact.SetInteger("ID", id);
      fact.ExecSQL();
    });
  }

  void AddPunch(int32_t id, int32_t employee) {
    Write([&](TSiteDatabase& db) {
      TSiteQuery punch(db,
                       "INSERT INTO PunchInterval (ObjID, Site, Employee, PunchDate, PiType, Department, "
                       "InTime, OutTime, ActualIn, ActualOut, Rate, Multiplier) VALUES (:ID, 1, :Employee, "
                       "CURRENT_DATE, 'R', 1, 480, 960, 480, 960, 12, 1)");
      punch.SetInteger("ID", id);
      punch.SetInteger("Employee", employee);
      punch.ExecSQL();
    });
  }

 private:
  static TSiteFixtureOptions Options() {
    TSiteFixtureOptions options;
    options.LocationCode = kLocation;
    options.Sales = 300;
    options.Days = 3;
    options.Seed = 11;
    return options;
  }

  void Write(const std::function<void(TSiteDatabase&)>& work) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
      TSiteDatabase db;
      try {
        FDatabase.Connect(db);
        db.StartTransaction();
        work(db);
        db.Commit();
        return;
      } catch (const EDatabaseError&) {
        if (std::chrono::steady_clock::now() > deadline) throw;
      }
      std::this_thread::sleep_for(50ms);
    }
  }

  TempDir FRun{"dc-e2e"};
  TFixtureDatabase FDatabase;
  StatsServer FServer;
  fs::path FProgram;
  std::unique_ptr<ChildProcess> FTransactionManager;
  std::unique_ptr<ChildProcess> FCollector;
};

// A number of a posted document: the collector writes most numbers as text.
double Number(const json& value) {
  return value.is_string() ? std::stod(value.get<std::string>()) : value.get<double>();
}

std::set<int64_t> SaleIds(const json& post) {
  std::set<int64_t> ids;
  for (const json& sale : post.value("SalesDataJSON", json::array())) ids.insert(sale.at("SalesData").at("SaleID").get<int64_t>());
  return ids;
}

std::set<int64_t> PunchedEmployees(const json& post) {
  std::set<int64_t> ids;
  for (const json& labor : post.value("LaborData", json::array())) {
    if (labor.contains("Punches")) ids.insert(static_cast<int64_t>(Number(labor.at("Employee"))));
  }
  return ids;
}

double Member(const json& post, const char* section, const char* name) {
  return Number(post.at(section).at(name));
}

// Which posts hold the sale, by index.
std::vector<size_t> PostsWithSale(const std::vector<json>& posts, int64_t id) {
  std::vector<size_t> found;
  for (size_t i = 0; i < posts.size(); ++i) {
    if (SaleIds(posts[i]).count(id) != 0) found.push_back(i);
  }
  return found;
}

}  // namespace

TEST(EndToEnd, CyclesSendEachChangeOnceInContiguousWindowsStartingToday) {
  Site site;
  site.Start();
  ASSERT_TRUE(site.WaitForPosts(1));
  EXPECT_DOUBLE_EQ(Member(site.Posts()[0], "Contents", "ContentsStart"), Today());

  site.AddSale(900001);
  site.AddPunch(900001, 1003);
  ASSERT_TRUE(WaitUntil([&] { return !PostsWithSale(site.Posts(), 900001).empty(); }));
  site.AddSale(900002);
  ASSERT_TRUE(WaitUntil([&] { return !PostsWithSale(site.Posts(), 900002).empty(); }));
  const size_t seen = site.Posts().size();
  ASSERT_TRUE(site.WaitForPosts(seen + 1));
  EXPECT_EQ(site.Stop(), 0);

  const std::vector<json> posts = site.Posts();
  EXPECT_EQ(PostsWithSale(posts, 900001).size(), 1u);
  EXPECT_EQ(PostsWithSale(posts, 900002).size(), 1u);
  // The punch travels once, after the first post; it may go before the sale,
  // whose time may fall just after the end of the window being cut.
  size_t punchPosts = 0;
  for (size_t i = 1; i < posts.size(); ++i) {
    punchPosts += PunchedEmployees(posts[i]).count(1003);
  }
  EXPECT_EQ(punchPosts, 1u);
  for (size_t i = 1; i < posts.size(); ++i) {
    SCOPED_TRACE("post " + std::to_string(i));
    EXPECT_DOUBLE_EQ(Member(posts[i], "Contents", "ContentsStart"),
                     Member(posts[i - 1], "Contents", "ContentsEnd"));
  }
}

TEST(EndToEnd, AnOutageWithARestartLosesNothing) {
  Site site;
  site.Start();
  ASSERT_TRUE(site.WaitForPosts(1));

  StatsServer::Answer down;
  down.reset = true;
  site.Server().setDefault(down);
  const size_t before = site.RequestCount();
  site.AddSale(900101);
  const double added = DateTimeNow();
  // Two refused requests: the post fails and so does at least one more try.
  ASSERT_TRUE(WaitUntil([&] { return site.RequestCount() >= before + 2; }));
  EXPECT_EQ(site.Stop(), 0);
  const size_t postsBeforeRestart = site.Posts().size();

  site.Server().setDefault(Accepting());
  site.Start();
  ASSERT_TRUE(WaitUntil([&] {
    const auto posts = site.Posts();
    const auto with = PostsWithSale(posts, 900101);
    return !with.empty() && with.back() >= postsBeforeRestart;
  }));
  EXPECT_EQ(site.Stop(), 0);

  // The restarted program takes up at the end of an accepted window from
  // before the outage, before the sale was made, and the sale travels.
  const std::vector<json> posts = site.Posts();
  const double resumedAt = Member(posts[postsBeforeRestart], "Contents", "ContentsStart");
  EXPECT_LE(resumedAt, added);
  bool contiguous = false;
  for (size_t i = 0; i < postsBeforeRestart; ++i) {
    if (Member(posts[i], "Contents", "ContentsEnd") == resumedAt) contiguous = true;
  }
  EXPECT_TRUE(contiguous);
}

TEST(EndToEnd, AReinitialisationMakesTheNextDocumentCarryAllEmployees) {
  Site site;
  site.Server().enqueue(Accepting());  // Authorize
  site.Server().enqueue(Accepting());  // first post
  site.Server().enqueue(R"({"Reinitialize":1})");
  site.Start();
  ASSERT_TRUE(site.WaitForPosts(3));
  EXPECT_EQ(site.Stop(), 0);

  const std::vector<json> posts = site.Posts();
  EXPECT_EQ(posts[0].value("FullEmployees", 0), 1);
  EXPECT_FALSE(posts[1].contains("FullEmployees"));
  EXPECT_EQ(posts[2].value("FullEmployees", 0), 1);
  EXPECT_FALSE(posts[2].at("ReferenceData").at("Employees").empty());
  // Nothing of the refused post was saved: its window is sent again.
  EXPECT_DOUBLE_EQ(Member(posts[2], "Contents", "ContentsStart"), Member(posts[1], "Contents", "ContentsStart"));
}

TEST(EndToEnd, TheServerMovesTheHistoryWindow) {
  Site site;
  const double yesterday = Today() - 1;
  site.Server().enqueue(Accepting());  // Authorize
  site.Server().enqueue(Accepting(R"({"Header":{"ActiveHistoryStart":)" + std::to_string(Today() - 2) +
                                  R"(,"ActiveHistoryEnd":)" + std::to_string(yesterday) + "}}"));
  site.Start();
  ASSERT_TRUE(site.WaitForPosts(2));
  EXPECT_EQ(site.Stop(), 0);

  const std::vector<json> posts = site.Posts();
  EXPECT_DOUBLE_EQ(Member(posts[0], "Contents", "HistoryEnd"), 0);
  const json& second = posts[1];
  EXPECT_DOUBLE_EQ(Member(second, "Header", "ActiveHistoryEnd"), yesterday);
  EXPECT_DOUBLE_EQ(Member(second, "Contents", "HistoryStart"), yesterday);
  EXPECT_DOUBLE_EQ(Member(second, "Contents", "HistoryEnd"), yesterday);
  // The fixture has sales yesterday; the history slice carries them.
  size_t fromYesterday = 0;
  for (const json& sale : second.value("SalesDataJSON", json::array())) {
    if (DateOf(sale.at("SalesData").at("CreatedTime").get<double>()) == yesterday) ++fromYesterday;
  }
  EXPECT_GT(fromYesterday, 0u);
}

TEST(EndToEnd, InstalledServiceCollectsUntilUninstallRemovesItAndItsTables) {
  Site site;
  ASSERT_EQ(site.RunSwitches({"/INSTALL", "/SILENT"}), 0);
  const std::string serviceKey = "\\Services\\DataCollectorSvc]";
  EXPECT_NE(site.Hive().find(serviceKey), std::string::npos) << site.Hive();
  EXPECT_TRUE(fs::exists(site.Units() / "DataCollectorSvc.service"));

  site.Start();
  ASSERT_TRUE(site.WaitForPosts(2));
  EXPECT_EQ(site.Count("SELECT count(*) cnt FROM DC_STATUS"), 1);

  ASSERT_EQ(site.RunSwitches({"/UNINSTALL", "/SILENT"}), 0);
  EXPECT_EQ(site.WaitForEnd(), 0) << "the uninstall stops the running service";
  EXPECT_FALSE(fs::exists(site.Units() / "DataCollectorSvc.service"));
  EXPECT_EQ(site.Hive().find(serviceKey), std::string::npos) << site.Hive();
  // The collector's status table is gone, its pending days cleared and its
  // trigger no longer fires.
  EXPECT_EQ(site.Count("SELECT count(*) cnt FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'DC_STATUS'"), 0);
  EXPECT_EQ(site.Count("SELECT count(*) cnt FROM DC_PENDINGEMPDAYS_V111"), 0);
  site.AddPunch(900301, 1004);
  EXPECT_EQ(site.Count("SELECT count(*) cnt FROM DC_PENDINGEMPDAYS_V111"), 0);
}

TEST(EndToEnd, APageInsteadOfAnAnswerLosesNoPunch) {
  Site site;
  site.Start();
  ASSERT_TRUE(site.WaitForPosts(1));

  // A proxy answers 200 with a web page: the posts are taken, not delivered.
  StatsServer::Answer page;
  page.body = "<html>\r\n<body>Service temporarily unavailable</body>\r\n</html>\r\n";
  page.contentType = "text/html";
  site.Server().setDefault(page);
  const size_t pagesFrom = site.Posts().size();
  site.AddPunch(900401, 1003);
  ASSERT_TRUE(WaitUntil([&] {
    const auto posts = site.Posts();
    size_t carrying = 0;
    for (size_t i = pagesFrom + 1; i < posts.size(); ++i) carrying += PunchedEmployees(posts[i]).count(1003);
    return carrying >= 2;
  }));

  site.Server().setDefault(Accepting());
  const size_t acceptedFrom = site.Posts().size();
  ASSERT_TRUE(WaitUntil([&] {
    const auto posts = site.Posts();
    for (size_t i = acceptedFrom; i < posts.size(); ++i) {
      if (PunchedEmployees(posts[i]).count(1003) != 0) return true;
    }
    return false;
  }));
  ASSERT_TRUE(site.WaitForPosts(site.Posts().size() + 1));
  EXPECT_EQ(site.Stop(), 0);
  EXPECT_EQ(site.Count("SELECT count(*) cnt FROM DC_PENDINGEMPDAYS_V111"), 0);
}

TEST(EndToEnd, ACycleTimeBelowOneSecondKeepsTheDefault) {
  Site site;
  for (const char* cycleTime : {"0", "null"}) {
    SCOPED_TRACE(cycleTime);
    site.Server().enqueue(Accepting(std::string(R"({"Authenticated":true,"CycleTime":)") + cycleTime + "}"));
    site.Start();
    ASSERT_TRUE(site.WaitForPosts(site.Posts().size() + 1));
    const size_t first = site.Posts().size();
    // 600 ticks of 20 ms: with 300 seconds between cycles, at most two more.
    std::this_thread::sleep_for(12s);
    EXPECT_LT(site.Posts().size() - first, 3u);
    EXPECT_EQ(site.Stop(), 0);
  }
}

TEST(EndToEnd, ADatabaseMovedAwayIsTakenUpAgainWhenItReturns) {
  Site site;
  site.Start();
  ASSERT_TRUE(site.WaitForPosts(1));

  const std::string moved = site.DatabaseFile() + ".moved";
  fs::rename(site.DatabaseFile(), moved);
  const size_t requests = site.RequestCount();
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(site.RequestCount(), requests) << "no post without the database";
  fs::rename(moved, site.DatabaseFile());

  site.AddSale(900501);
  ASSERT_TRUE(WaitUntil([&] { return !PostsWithSale(site.Posts(), 900501).empty(); }));
  EXPECT_EQ(site.Stop(), 0);
}

TEST(EndToEnd, AKillInTheMiddleOfTheWorkLosesNothing) {
  Site site;
  site.Start();
  ASSERT_TRUE(site.WaitForPosts(1));
  site.AddSale(900601);
  site.AddPunch(900601, 1004);
  // Killed while cycles run, whatever step the current one is at.
  std::this_thread::sleep_for(300ms);
  site.Kill();

  // Whatever the killed cycle had done, the restarted program sends the sale
  // and the punch, and no pending day is left behind.
  site.Start();
  ASSERT_TRUE(WaitUntil([&] {
    const auto posts = site.Posts();
    bool sale = false;
    bool punch = false;
    for (const json& post : posts) {
      sale = sale || SaleIds(post).count(900601) != 0;
      punch = punch || PunchedEmployees(post).count(1004) != 0;
    }
    return sale && punch;
  }));
  ASSERT_TRUE(site.WaitForPosts(site.Posts().size() + 1));
  EXPECT_EQ(site.Stop(), 0);
  EXPECT_EQ(site.Count("SELECT count(*) cnt FROM DC_PENDINGEMPDAYS_V111"), 0);
}

// In the foreground, each cycle leaves one summary on standard error and as
// the service manager's status: accepted posts with their time and sales,
// then the outage of the server.
TEST(EndToEnd, EachCycleIsSummarisedOnStandardErrorAndAsTheStatus) {
  Site site;
  NotifySocket manager(site.RunFile("notify.sock"));
  const std::string errors = site.RunFile("stderr.txt");
  site.Start(manager.path(), errors);
  ASSERT_TRUE(site.WaitForPosts(2));
  ASSERT_TRUE(WaitUntil([&] { return manager.HasMessage("STATUS=Last post accepted "); }));

  StatsServer::Answer down;
  down.reset = true;
  site.Server().setDefault(down);
  ASSERT_TRUE(WaitUntil([&] { return manager.HasMessage("STATUS=Post at ") || manager.HasMessage("STATUS=Cycle failed"); }))
      << ::testing::PrintToString(manager.Received());
  EXPECT_EQ(site.Stop(), 0);

  std::ifstream in(errors);
  std::vector<std::string> accepted;
  std::vector<std::string> failures;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("DataCollectorSvc: info: Last post accepted ", 0) == 0) accepted.push_back(line);
    if (line.rfind("DataCollectorSvc: warning: Post at ", 0) == 0 || line.rfind("DataCollectorSvc: error: ", 0) == 0)
      failures.push_back(line);
  }
  ASSERT_GE(accepted.size(), 2u);
  const std::regex summary(R"(DataCollectorSvc: info: Last post accepted \d\d:\d\d:\d\d, \d+ sales?; next cycle in \d+ s)");
  for (const std::string& line : accepted) EXPECT_TRUE(std::regex_match(line, summary)) << line;
  EXPECT_FALSE(failures.empty());
  const std::vector<std::string> received = manager.Received();
  EXPECT_EQ(received.front(), "READY=1");
  EXPECT_EQ(received.back(), "STATUS=Stopping");
}

