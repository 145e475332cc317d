// The collector's exchanges with the statistics server, through the real
// transport against the test statistics server on loopback.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Shared/Orvel_Shared/AnsiText.h"
#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/MachineIdentity.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "collector/DataCollector.h"
#include "model/CollectedData.h"
#include "server/HttpClient.h"
#include "support/FakeNetworkIdentity.h"
#include "support/HiveText.h"
#include "support/ScopedEnv.h"
#include "support/ScopedRegistry.h"
#include "support/StatsServer.h"

namespace {

using TPostResult = TDataCollector::TPostResult;
using TAuthorizeResult = TDataCollector::TAuthorizeResult;

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::ordered_json;

// The real exchanges; the later steps they hand over to (the updater download,
// the remote uninstall) and the site checks are scripted.
class TExchangeCollector : public TDataCollector {
 public:
  explicit TExchangeCollector(std::vector<std::string>& log)
      : TDataCollector([&log](const std::string& msg, bool toSysLog) {
          log.push_back(toSysLog ? "SYS " + msg : msg);
        }) {}

  using TDataCollector::Authorize;
  using TDataCollector::CreateServerConnection;
  using TDataCollector::LoadConfiguration;
  using TDataCollector::Post;
  using TDataCollector::PrepareTLS;
  using TDataCollector::SendToServer;

  // Script.
  bool rivoPending = false;
  std::string downloadError;
  std::string uninstallError;
  // What happened.
  std::vector<std::string> downloads;
  int uninstalls = 0;
  int historyChecks = 0;

  void SetInitialized(bool value) { FInitialized = value; }
  void SetResendDelay(int32_t value) { FResendDelay = value; }
  void UseMACAddress(bool known) {
    auto network = FakeNetworkIdentity::WiredMachine();
    // A host name that resolves to no IPv4 address.
    if (!known) network->addresses.clear();
    LMachineIdentity = std::make_unique<TMachineIdentity>(std::move(network));
  }
  int ReadTimeout() const { return LHTTPConnection->ReadTimeout(); }
  TCycleStatistics& LastCycle() { return LLastCycleStats; }

 protected:
  bool RivoConversionPending() override { return rivoPending; }
  void CheckHistoryAge(TDataCollectorStatusObj&) override { ++historyChecks; }
  void DownloadUpdater(const std::string& url) override {
    downloads.push_back(url);
    if (!downloadError.empty()) throw EOrvelError(downloadError);
  }
  void StartRemoteUninstall() override {
    ++uninstalls;
    if (!uninstallError.empty()) throw EOrvelError(uninstallError);
  }
};

class ServerExchangeTest : public ::testing::Test {
 protected:
  ServerExchangeTest()
      : host("DC_SERVER_HOST", "127.0.0.1"),
        port("DC_SERVER_PORT", std::to_string(server.port()).c_str()),
        zone("TZ", "America/New_York") {}

  void SetUp() override {
    collector = std::make_unique<TExchangeCollector>(log);
    collector->LoadConfiguration();
    collector->Cfg().SetLocCode("CW001");
    collector->UseMACAddress(true);
    collector->CreateServerConnection();
    ASSERT_TRUE(collector->PrepareTLS());
    collector->SetInitialized(true);
    log.clear();
  }

  static StatsServer::Answer Answer(const std::string& body, int status = 200) {
    StatsServer::Answer a;
    a.body = body;
    a.status = status;
    return a;
  }

  // The body of the last request as JSON.
  json LastDocument() {
    const auto requests = server.requests();
    EXPECT_FALSE(requests.empty());
    return requests.empty() ? json() : json::parse(requests.back().body);
  }

  bool Logged(const std::string& line) const { return std::find(log.begin(), log.end(), line) != log.end(); }

  StatsServer server;
  ScopedRegistry registry;
  ScopedEnv host;
  ScopedEnv port;
  ScopedEnv zone;
  std::vector<std::string> log;
  std::unique_ptr<TExchangeCollector> collector;
};

// --- Connection ------------------------------------------------------------

TEST_F(ServerExchangeTest, ConnectionUsesTheDefaultUrlWithTheClientSettings) {
  std::vector<std::string> lines;
  TExchangeCollector fresh(lines);
  fresh.CreateServerConnection();
  EXPECT_THAT(lines, Contains("Using URL: https://127.0.0.1:" + std::to_string(server.port()) +
                              "/datacollector.php"));
  EXPECT_EQ(fresh.ReadTimeout(), 30000);
  EXPECT_TRUE(fresh.PrepareTLS());
}

// --- Authorize ---------------------------------------------------------------

TEST_F(ServerExchangeTest, AuthorizeActsOnEveryKindOfAnswer) {
  const std::string configLine = "Loaded configuration - CycleTime: ";
  struct Case {
    const char* name;
    StatsServer::Answer answer;
    std::string downloadError;
    std::string uninstallError;
    TAuthorizeResult result;
    int32_t cycleTime;
    int32_t historyStep;
    bool sendStatistics;
    bool initialized;
    std::vector<std::string> logged;
    int downloads;
    int uninstalls;
  };
  StatsServer::Answer plainText = Answer("Access denied\r\n");
  plainText.contentType = "text/html";
  const Case cases[] = {
      {"only Authenticated", Answer(R"({"Authenticated":true})"), "", "", TAuthorizeResult::Granted, 300, 1, false, true,
       {configLine + "300 HistoryStep: 1 SendStats: 0"}, 0, 0},
      {"operating values", Answer(R"({"Authenticated":true,"CycleTime":120,"SendStatistics":true})"), "", "", TAuthorizeResult::Granted,
       120, 1, true, true, {configLine + "120 HistoryStep: 1 SendStats: -1"}, 0, 0},
      {"values as strings", Answer(R"({"Authenticated":"false","CycleTime":"600","HistoryStep":3.5})"), "", "",
       TAuthorizeResult::Granted, 600, 4, false, true, {configLine + "600 HistoryStep: 4 SendStats: 0"}, 0, 0},
      {"Uninstall false", Answer(R"({"Uninstall":false,"Authenticated":true})"), "", "", TAuthorizeResult::Granted, 300, 1, false, true,
       {configLine + "300 HistoryStep: 1 SendStats: 0"}, 0, 0},
      {"Uninstall true", Answer(R"({"Uninstall":true,"Authenticated":true,"CycleTime":120})"), "", "", TAuthorizeResult::UninstallOrdered, 300, 1,
       false, false, {"SYS Uninstall requested from server..."}, 0, 1},
      {"uninstall fails", Answer(R"({"Uninstall":1})"), "", "no database", TAuthorizeResult::UninstallOrdered, 300, 1, false, false,
       {"SYS Uninstall requested from server...",
        "ERROR: Failed to authorize with the Quorix Server (reinitializing): no database"},
       0, 1},
      {"UpdateURL empty", Answer(R"({"UpdateURL":"","Authenticated":true})"), "", "", TAuthorizeResult::Granted, 300, 1, false, true,
       {configLine + "300 HistoryStep: 1 SendStats: 0"}, 0, 0},
      {"update", Answer(R"({"UpdateURL":"https://u.test/DCSetup.exe","Authenticated":true,"CycleTime":9})"), "",
       "", TAuthorizeResult::UpdateOrdered, 300, 1, false, true, {"SYS New Update available from https://u.test/DCSetup.exe"}, 1, 0},
      {"update fails", Answer(R"({"UpdateURL":"https://u.test/DCSetup.exe"})"), "Code = 404", "", TAuthorizeResult::UpdateOrdered, 300, 1,
       false, false,
       {"SYS New Update available from https://u.test/DCSetup.exe",
        "ERROR: Failed to download update (reinitializing): Code = 404"},
       1, 0},
      {"CycleTime beyond 32 bits", Answer(R"({"Authenticated":true,"CycleTime":4294967296})"), "", "", TAuthorizeResult::Granted, 300, 1,
       false, false, {"ERROR: Failed to authorize with the Quorix Server (reinitializing): Range check error"}, 0,
       0},
      {"refused", Answer(R"({"Authenticated":false,"CycleTime":120})"), "", "", TAuthorizeResult::Refused, 300, 1, false, true,
       {R"(Failed Authentication Response: {"Authenticated":false,"CycleTime":120})"}, 0, 0},
      {"plain text", plainText, "", "", TAuthorizeResult::Refused, 300, 1, false, true,
       {"Failed Authentication Response: Access denied\\r\\n"}, 0, 0},
      {"CycleTime 0", Answer(R"({"Authenticated":true,"CycleTime":0})"), "", "", TAuthorizeResult::Granted, 300, 1, false, true,
       {"Ignoring CycleTime 0 from the server: keeping 300 seconds", configLine + "300 HistoryStep: 1 SendStats: 0"},
       0, 0},
      {"CycleTime -1", Answer(R"({"Authenticated":true,"CycleTime":-1})"), "", "", TAuthorizeResult::Granted, 300, 1, false, true,
       {"Ignoring CycleTime -1 from the server: keeping 300 seconds", configLine + "300 HistoryStep: 1 SendStats: 0"},
       0, 0},
      {"CycleTime null", Answer(R"({"Authenticated":true,"CycleTime":null})"), "", "", TAuthorizeResult::Granted, 300, 1, false, true,
       {"Ignoring CycleTime null from the server: keeping 300 seconds",
        configLine + "300 HistoryStep: 1 SendStats: 0"},
       0, 0},
      {"CycleTime not a number", Answer(R"({"Authenticated":true,"CycleTime":"abc"})"), "", "", TAuthorizeResult::Granted, 300, 1, false,
       true,
       {R"(Ignoring CycleTime "abc" from the server: keeping 300 seconds)",
        configLine + "300 HistoryStep: 1 SendStats: 0"},
       0, 0},
      {"CycleTime 1", Answer(R"({"Authenticated":true,"CycleTime":1})"), "", "", TAuthorizeResult::Granted, 1, 1, false, true,
       {configLine + "1 HistoryStep: 1 SendStats: 0"}, 0, 0},
      {"HistoryStep below 1", Answer(R"({"Authenticated":true,"HistoryStep":-3})"), "", "", TAuthorizeResult::Granted, 300, 1, false, true,
       {"HistoryStep -3 from the server is out of range; using 1", configLine + "300 HistoryStep: 1 SendStats: 0"},
       0, 0},
      {"HistoryStep above 1096", Answer(R"({"Authenticated":true,"HistoryStep":2000000})"), "", "", TAuthorizeResult::Granted, 300, 1096,
       false, true,
       {"HistoryStep 2000000 from the server is out of range; using 1096",
        configLine + "300 HistoryStep: 1096 SendStats: 0"},
       0, 0},
      {"HistoryStep 1096", Answer(R"({"Authenticated":true,"HistoryStep":1096})"), "", "", TAuthorizeResult::Granted, 300, 1096, false,
       true, {configLine + "300 HistoryStep: 1096 SendStats: 0"}, 0, 0},
      {"Uninstall as the string false", Answer(R"({"Uninstall":"false","Authenticated":true})"), "", "", TAuthorizeResult::Granted, 300, 1,
       false, true,
       {R"(Ignoring Uninstall "false" from the server: only true, a non-zero number, "true" or "1" order an )"
        "uninstall",
        configLine + "300 HistoryStep: 1 SendStats: 0"},
       0, 0},
      {"Uninstall as an object", Answer(R"({"Uninstall":{},"Authenticated":true})"), "", "", TAuthorizeResult::Granted, 300, 1, false, true,
       {R"(Ignoring Uninstall {} from the server: only true, a non-zero number, "true" or "1" order an )"
        "uninstall",
        configLine + "300 HistoryStep: 1 SendStats: 0"},
       0, 0},
      {"Uninstall 0 says no", Answer(R"({"Uninstall":0,"Authenticated":true})"), "", "", TAuthorizeResult::Granted, 300, 1, false,
       true, {configLine + "300 HistoryStep: 1 SendStats: 0"}, 0, 0},
      {"Uninstall as the string true", Answer(R"({"Uninstall":"true"})"), "", "", TAuthorizeResult::UninstallOrdered, 300, 1, false, false,
       {"SYS Uninstall requested from server..."}, 0, 1},
      {"Uninstall as the string 1", Answer(R"({"Uninstall":"1"})"), "", "", TAuthorizeResult::UninstallOrdered, 300, 1, false, false,
       {"SYS Uninstall requested from server..."}, 0, 1},
      {"Uninstall 2.5", Answer(R"({"Uninstall":2.5})"), "", "", TAuthorizeResult::UninstallOrdered, 300, 1, false, false,
       {"SYS Uninstall requested from server..."}, 0, 1},
      {"empty body", Answer(""), "", "", TAuthorizeResult::Refused, 300, 1, false, true, {"Failed Authentication Response: "}, 0, 0},
      {"broken JSON", Answer(R"({"Authenticated":tru)"), "", "", TAuthorizeResult::Refused, 300, 1, false, true, {}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    collector->Cfg().SetCycleTime(77);
    collector->Cfg().SetHistoryStep(77);
    collector->Cfg().SetSendStatistics(true);
    collector->SetInitialized(true);
    collector->downloadError = c.downloadError;
    collector->uninstallError = c.uninstallError;
    collector->downloads.clear();
    collector->uninstalls = 0;
    log.clear();
    server.enqueue(c.answer);

    EXPECT_EQ(collector->Authorize(), c.result);
    EXPECT_EQ(collector->Cfg().CycleTime(), c.cycleTime);
    EXPECT_EQ(collector->Cfg().HistoryStep(), c.historyStep);
    EXPECT_EQ(collector->Cfg().SendStatistics(), c.sendStatistics);
    EXPECT_EQ(collector->Initialized(), c.initialized);
    EXPECT_EQ(static_cast<int>(collector->downloads.size()), c.downloads);
    EXPECT_EQ(collector->uninstalls, c.uninstalls);
    EXPECT_TRUE(Logged("Sending Authorize"));
    for (const auto& line : c.logged) EXPECT_THAT(log, Contains(line));
    // Every line the exchange wrote: "Sending Authorize" and the expected ones.
    EXPECT_EQ(log.size(), 1 + c.logged.size()) << ::testing::PrintToString(log);
  }
}

TEST_F(ServerExchangeTest, AuthorizeSendsTheSiteVersionsMacAddressAndTimeZone) {
  collector->Cfg().SetDataURL(server.url("/elsewhere.php"));
  server.enqueue(R"({"Authenticated":true})");
  ASSERT_EQ(collector->Authorize(), TAuthorizeResult::Granted);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/datacollector.php");  // never DataURL
  EXPECT_EQ(requests[0].header("Content-Type"), "text/json; charset=ISO-8859-1");

  const json doc = json::parse(requests[0].body);
  EXPECT_EQ(doc["Command"], "Authorize");
  EXPECT_EQ(doc["LocCode"], "CW001");
  EXPECT_TRUE(doc["Token"].is_string());
  EXPECT_TRUE(doc["SWVersion"].is_string());
  EXPECT_TRUE(doc["DCVersion"].is_string());
  EXPECT_EQ(doc["Header"]["MACAddress"], "00-1A-2B-3C-4D-5E");
  const json& tz = doc["Header"]["Timezone"];
  EXPECT_TRUE(tz["Mode"] == "1" || tz["Mode"] == "2") << tz;
  EXPECT_EQ(tz["Bias"], "300");
  EXPECT_EQ(tz["StandardName"], "EST");
  EXPECT_EQ(tz["StandardBias"], "0");
  EXPECT_EQ(tz["DaylightName"], "EDT");
  EXPECT_EQ(tz["DaylightBias"], "-60");
  EXPECT_EQ(tz["StandardDate"], json::parse(R"({"Year":0,"Month":11,"DayOfWeek":0,"Day":1,"Hour":2,
                                               "Minute":0,"Second":0,"Milliseconds":0})"));
  EXPECT_EQ(tz["DaylightDate"], json::parse(R"({"Year":0,"Month":3,"DayOfWeek":0,"Day":2,"Hour":2,
                                               "Minute":0,"Second":0,"Milliseconds":0})"));
}

TEST_F(ServerExchangeTest, AuthorizeWithoutMacAddressOrTimeZoneSendsNoHeader) {
  ScopedEnv noZone("TZ", ":No/Such_Zone");
  collector->UseMACAddress(false);
  server.enqueue(R"({"Authenticated":true})");
  ASSERT_EQ(collector->Authorize(), TAuthorizeResult::Granted);
  const json doc = LastDocument();
  EXPECT_FALSE(doc.contains("Header")) << doc;
  EXPECT_EQ(doc.size(), 5u);
}

TEST_F(ServerExchangeTest, DataUrlIsKeptUntilAnAnswerNamesAnother) {
  const std::string url = server.url("/data.php");
  const std::string answers[] = {
      R"({"Authenticated":true,"DataURL":")" + url + R"("})",
      R"({"Authenticated":true})",
      R"({"Authenticated":false})",
  };
  for (const auto& answer : answers) {
    server.enqueue(answer);
    collector->Authorize();
    EXPECT_EQ(collector->Cfg().DataURL(), url) << answer;
  }
  server.enqueue(R"({"Authenticated":true,"DataURL":""})");
  collector->Authorize();
  EXPECT_EQ(collector->Cfg().DataURL(), "");
}

TEST_F(ServerExchangeTest, CommunicationsAreLoggedWhenTheSiteAsksForIt) {
  registry.Write(HiveText()
                     .Key("Software\\Orvel\\DataCollector")
                     .String("LogComm", "1")
                     .String("ClientToken", "Tk9Q-secret-part-7781"));
  collector->LoadConfiguration();
  ASSERT_TRUE(collector->Cfg().LogCommunications());
  server.enqueue(R"({"Authenticated":true})");
  collector->Authorize();
  // The token goes to the server whole, to the log as its start and length.
  std::string masked = server.requests().back().body;
  ASSERT_NE(masked.find("\"Tk9Q-secret-part-7781\""), std::string::npos);
  masked.replace(masked.find("Tk9Q-secret-part-7781"), 21, "Tk9Q...(21 characters)");
  EXPECT_THAT(log, Contains("Sending: " + masked));
  EXPECT_THAT(log, Not(Contains(HasSubstr("secret-part"))));
  EXPECT_THAT(log, Contains(R"(Server Response: {"Authenticated":true})"));

  log.clear();
  TDataCollectorStatusObj status;
  server.enqueue("{}");
  collector->SendToServer("{\"A\":1}", &status);
  EXPECT_EQ(log.front(), "Sending: {\"A\":1}");
  EXPECT_EQ(log.back(), "Server Response: {}");
}

// --- Transfer failures -------------------------------------------------------

TEST_F(ServerExchangeTest, FailedTransfersClearTheInitialisedFlag) {
  int gonePort = 0;
  {
    StatsServer gone;
    gonePort = gone.port();
  }
  StatsServer::Options tls13;
  tls13.tls13Only = true;
  StatsServer tls13Server(tls13);
  struct Case {
    const char* name;
    std::string url;
    StatsServer::Answer answer;
    const char* message;
  };
  const Case cases[] = {
      {"error status", server.url("/data.php"), Answer("{}", 500), "HTTP/1.1 500"},
      {"refused", "https://127.0.0.1:" + std::to_string(gonePort) + "/data.php", Answer("{}"), "Connection refused"},
      {"TLS 1.3 only", tls13Server.url("/data.php"), Answer("{}"), "TLS failure"},
      {"reset", server.url("/data.php"), [] {
         StatsServer::Answer a;
         a.reset = true;
         return a;
       }(),
       "Connection broken"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.url.rfind(server.url(""), 0) == 0) server.enqueue(c.answer);
    collector->Cfg().SetDataURL(c.url);
    collector->SetInitialized(true);
    log.clear();
    TDataCollectorStatusObj status;
    try {
      collector->SendToServer("{}", &status);
      ADD_FAILURE() << "no error raised";
    } catch (const ETransferError& e) {
      EXPECT_STREQ(e.what(), "Unable to post data to web server");
    }
    EXPECT_FALSE(collector->Initialized());
    ASSERT_EQ(log.size(), 2u);
    EXPECT_THAT(log[1], HasSubstr("Error while posting to the server (reinitializing) ("));
    EXPECT_THAT(log[1], HasSubstr(c.message));
    EXPECT_EQ(log[1].back(), ' ');
  }
  // Authorize reports the same failures in its own words and authorises nothing.
  server.enqueue(Answer("{}", 500));
  collector->SetInitialized(true);
  log.clear();
  EXPECT_EQ(collector->Authorize(), TAuthorizeResult::Refused);
  EXPECT_FALSE(collector->Initialized());
  EXPECT_THAT(log.back(), HasSubstr("ERROR: Failed to authorize with the Quorix Server (reinitializing): "));
  EXPECT_THAT(log.back(), HasSubstr("500"));
}

// --- SendToServer ------------------------------------------------------------

TEST_F(ServerExchangeTest, SendToServerActsOnEveryKindOfAnswer) {
  struct Case {
    const char* name;
    std::string body;
    std::optional<TPostResult> result;  // none: raises
    const char* raised;   // the message when it raises
    int32_t resendDelay;
    bool initialized;
  };
  const Case cases[] = {
      {"accepted", "{}", TPostResult::Accepted, "", 0, true},
      {"taken, plain text", "OK", TPostResult::AnswerUnreadable, "", 0, true},
      {"taken, a number", "42", TPostResult::AnswerUnreadable, "", 0, true},
      {"taken, an empty body", "", TPostResult::AnswerUnreadable, "", 0, true},
      {"taken, a web page", "<html>\r\n<body>Proxy</body></html>", TPostResult::AnswerUnreadable, "", 0, true},
      {"resend after 5", R"({"Resend":5})", TPostResult::Resend, "", 5, true},
      {"resend as string", R"({"Resend":"30"})", TPostResult::Resend, "", 30, true},
      {"resend 360", R"({"Resend":360})", TPostResult::Resend, "", 360, true},
      {"resend 400", R"({"Resend":400})", TPostResult::Resend, "", 0, true},
      {"resend -1", R"({"Resend":-1})", TPostResult::Resend, "", 0, true},
      {"resend and error", R"({"Error":"disk full","Resend":5})", TPostResult::Resend, "", 5, true},
      {"reinitialize", R"({"Reinitialize":false})", TPostResult::Reinitialize, "", 7, false},
      {"error", R"({"Error":"disk full"})", std::nullopt,
       "Server failed to post update with error message (reinitializing): disk full", 7, false},
      {"broken JSON", R"({"Resend":)", std::nullopt, R"(Invalid response received from server (reinitializing): {"Resend":)", 7,
       false},
      {"resend beyond 32 bits", R"({"Resend":4294967296})", std::nullopt, "Range check error", 7, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    collector->SetInitialized(true);
    collector->SetResendDelay(7);
    server.enqueue(c.body);
    TDataCollectorStatusObj status;
    if (c.result) {
      EXPECT_EQ(collector->SendToServer("{}", &status), *c.result);
    } else {
      try {
        collector->SendToServer("{}", &status);
        ADD_FAILURE() << "no error raised";
      } catch (const EOrvelError& e) {
        EXPECT_STREQ(e.what(), c.raised);
      }
    }
    EXPECT_EQ(collector->ResendDelay(), c.resendDelay);
    EXPECT_EQ(collector->Initialized(), c.initialized);
  }
}

TEST_F(ServerExchangeTest, ReinitializeEmptiesTheEmployeeAndPlanCachesOnly) {
  collector->Cfg().SiteEmployees().Add("5", std::make_unique<TEmployeeRecord>());
  collector->Cfg().SitePlanTypes().Add(std::make_unique<TPlanTypeObject>());
  collector->Cfg().EmpCategories().Add(std::make_unique<TEmpCategory>());
  server.enqueue(R"({"Reinitialize":1})");
  TDataCollectorStatusObj status;
  EXPECT_EQ(collector->SendToServer("{}", &status), TPostResult::Reinitialize);
  EXPECT_TRUE(Logged("Reinitialize requested from server."));
  EXPECT_TRUE(collector->Cfg().SiteEmployees().Empty());
  EXPECT_TRUE(collector->Cfg().SitePlanTypes().Empty());
  EXPECT_EQ(collector->Cfg().EmpCategories().Count(), 1);
}

TEST_F(ServerExchangeTest, HistoryWindowFromTheServerIsTakenUnlessRivoConversionIsPending) {
  const std::string answer =
      R"({"Header":{"ActiveHistoryStart":45000,"ActiveHistoryEnd":"45010.5","ActiveHistorySingleFact":54181,)"
      R"("LastCycleEnd":46000.25},"Resend":1})";
  for (const bool pending : {false, true}) {
    SCOPED_TRACE(pending ? "pending" : "not pending");
    collector->rivoPending = pending;
    collector->historyChecks = 0;
    TDataCollectorStatusObj status;
    status.ActiveHistoryStart = 1;
    status.ActiveHistoryEnd = 2;
    status.ActiveHistoryFactID = 3;
    status.LastCycleEnd = 4;
    status.CurrentCycleEnd = 46000;
    server.enqueue(answer);
    EXPECT_EQ(collector->SendToServer("{}", &status), TPostResult::Resend);
    EXPECT_EQ(status.ActiveHistoryStart, pending ? 1 : 45000);
    EXPECT_EQ(status.ActiveHistoryEnd, pending ? 2 : 45010.5);
    EXPECT_EQ(status.ActiveHistoryFactID, pending ? 3 : 54181);
    EXPECT_EQ(status.LastCycleEnd, pending ? 4 : 46000.25);
    EXPECT_EQ(collector->historyChecks, pending ? 0 : 1);
  }
  collector->rivoPending = false;
  server.enqueue(R"({"Header":{"ActiveHistorySingleFact":4294967296}})");
  TDataCollectorStatusObj status;
  EXPECT_THROW(collector->SendToServer("{}", &status), ERangeError);
}

TEST_F(ServerExchangeTest, AnsweredDatesOutOfRangeOrAfterThePostedWindowAreNotTaken) {
  // The posted window ends 3/7/2024 2:05:09 PM.
  const TDateTime windowEnd = 45358.58691;
  struct Case {
    const char* name;
    std::string header;
    std::string raised;  // empty: taken
  };
  const std::string invalid = "Invalid response received from server (reinitializing): ";
  const Case cases[] = {
      {"LastCycleEnd at the window end", R"("LastCycleEnd":45358.58691)", ""},
      {"LastCycleEnd within a day of clock skew", R"("LastCycleEnd":45359.5)", ""},
      {"LastCycleEnd 1e308", R"("LastCycleEnd":1e308)", invalid + "Header.LastCycleEnd 1E308 is not a date"},
      {"LastCycleEnd -1e300", R"("LastCycleEnd":-1e300)", invalid + "Header.LastCycleEnd -1E300 is not a date"},
      {"LastCycleEnd as a huge string", R"("LastCycleEnd":"1e300")",
       invalid + R"(Header.LastCycleEnd "1e300" is not a date)"},
      {"LastCycleEnd in the year 9999", R"("LastCycleEnd":2958465)",
       invalid + "Header.LastCycleEnd 12/31/9999 is later than the posted window's end 3/7/2024 2:05:09 PM"},
      {"LastCycleEnd two days late", R"("LastCycleEnd":45360.6)",
       invalid + "Header.LastCycleEnd 3/9/2024 2:24:00 PM is later than the posted window's end 3/7/2024 "
                 "2:05:09 PM"},
      {"ActiveHistoryStart 1e300", R"("ActiveHistoryStart":1e300,"LastCycleEnd":45358)",
       invalid + "Header.ActiveHistoryStart 1E300 is not a date"},
      {"ActiveHistoryEnd beyond the year 9999", R"("ActiveHistoryEnd":2958466,"LastCycleEnd":45358)",
       invalid + "Header.ActiveHistoryEnd 2958466 is not a date"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    collector->SetInitialized(true);
    TDataCollectorStatusObj status;
    status.CurrentCycleEnd = windowEnd;
    status.LastCycleEnd = 45357;
    status.ActiveHistoryStart = 45000;
    status.ActiveHistoryEnd = 45001;
    const TDataCollectorStatusObj before = status;
    server.enqueue("{\"Header\":{" + c.header + "}}");
    if (c.raised.empty()) {
      EXPECT_EQ(collector->SendToServer("{}", &status), TPostResult::Accepted);
      EXPECT_NE(status.LastCycleEnd, before.LastCycleEnd);
      EXPECT_TRUE(collector->Initialized());
      continue;
    }
    try {
      collector->SendToServer("{}", &status);
      ADD_FAILURE() << "no error raised";
    } catch (const ETransferError&) {
      ADD_FAILURE() << "an unusable answer is no transfer failure";
    } catch (const EOrvelError& e) {
      EXPECT_EQ(e.what(), c.raised);
    }
    // Nothing of the answer is taken, and the cycle starts over.
    EXPECT_EQ(status, before);
    EXPECT_FALSE(collector->Initialized());
  }
}

TEST_F(ServerExchangeTest, AnswersAreLoggedCutAndOnOneLine) {
  registry.Write(HiveText().Key("Software\\Orvel\\DataCollector").String("LogComm", "1"));
  collector->LoadConfiguration();
  // A plain-text answer whose line break would forge a posted document.
  const std::string forged = "OK\r\n03/07/2024 14:05:09.000  Sending: {\"Command\":\"Post\"}";
  std::string large(200 * 1024, 'x');
  large += "\nSending: {}";
  struct Case {
    const char* name;
    std::string answer;
    std::string response;  // the "Server Response: " line expected
  };
  const Case cases[] = {
      {"a JSON answer is logged as it is", R"({"Resend":"a\\b"})", R"(Server Response: {"Resend":"a\\b"})"},
      {"line breaks are escaped", forged,
       "Server Response: OK\\r\\n03/07/2024 14:05:09.000  Sending: {\"Command\":\"Post\"}"},
      {"a large answer is cut to 4 KiB", large,
       "Server Response: " + std::string(4096, 'x') + "... (" + std::to_string(large.size()) + " bytes in all)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    server.enqueue(c.answer);
    TDataCollectorStatusObj status;
    try {
      collector->SendToServer("{}", &status);
    } catch (const EOrvelError&) {
    }
    EXPECT_THAT(log, Contains(c.response));
    for (const auto& line : log) {
      EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line.substr(0, 80);
      EXPECT_LE(line.size(), 4096u + 200u) << line.substr(0, 80);
    }
  }
  // The warning of an answer that is not a JSON object names its first bytes.
  EXPECT_THAT(log, Contains("WARNING: The server's answer is not a JSON object; the status is saved but the "
                            "data's pending changes are kept to be sent again. Answer: " +
                            std::string(4096, 'x') + "... (" + std::to_string(large.size()) + " bytes in all)"));
}

TEST_F(ServerExchangeTest, SendToServerLogsTheUrlAndSizeAndSetsTheReadTimeOut) {
  struct Case {
    const char* name;
    bool skipHistory;
    TDateTime historyEnd;
    int readTimeout;
  };
  const Case cases[] = {
      {"current data only", false, 0, 30000},
      {"a history chunk", false, 45000, 90000},
      {"history skipped", true, 0, 90000},
  };
  const std::string text = "{\"Name\":\"Caf\xC3\xA9\"}";  // 15 bytes in Windows-1252
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    TDataCollectorStatusObj status;
    status.SkipHistory = c.skipHistory;
    status.CurrentHistoryEnd = c.historyEnd;
    server.enqueue("{}");
    EXPECT_EQ(collector->SendToServer(text, &status), TPostResult::Accepted);
    EXPECT_EQ(collector->ReadTimeout(), c.readTimeout);
    EXPECT_THAT(log, Contains("Sending to Server https://127.0.0.1:" + std::to_string(server.port()) +
                              "/datacollector.php  Bytes:15"));
    EXPECT_EQ(collector->CurrentCycleStats().SendSize, 15);
    EXPECT_EQ(server.requests().back().body, "{\"Name\":\"Caf\xE9\"}");
  }
  // A large post gets one more second for every 256 KiB sent.
  const std::string large = "{\"Blob\":\"" + std::string(600 * 1024, 'z') + "\"}";
  for (const bool history : {false, true}) {
    SCOPED_TRACE(history ? "with history" : "current data only");
    TDataCollectorStatusObj status;
    status.SkipHistory = history;
    server.enqueue("{}");
    EXPECT_EQ(collector->SendToServer(large, &status), TPostResult::Accepted);
    EXPECT_EQ(collector->ReadTimeout(), (history ? 90000 : 30000) + 2000);
  }

  collector->Cfg().SetDataURL(server.url("/data.php"));
  server.enqueue("{}");
  TDataCollectorStatusObj status;
  collector->SendToServer("{}", &status);
  EXPECT_EQ(server.requests().back().path, "/data.php");
}

// --- Post --------------------------------------------------------------------

std::unique_ptr<TCollectedData> SampleData() {
  auto data = std::make_unique<TCollectedData>();
  auto sale = std::make_unique<TSaleRecord>();
  sale->SaleID = 1001;
  sale->PaidTime = 45000.5;
  sale->CreatedTime = 45000.25;
  sale->Shift = 2;
  sale->Terminal = 3;
  sale->Status = 1;
  sale->AddFact(0, 54181, 12.5);
  sale->AddFact(5, 54200, 3.0);
  sale->SalesRoles = {0, 55};
  sale->ActiveRolesMap = 2;
  data->SalesData().push_back(std::move(sale));
  auto labor = std::make_unique<TLaborRecord>();
  labor->Employee = 55;
  labor->StartDay = 45000;
  labor->EndDay = 45000;
  TPunchRecord punch;
  punch.PunchDate = 45000;
  punch.Role = 4;
  punch.InTime = 480;
  punch.ActualInTime = 28800;
  punch.OutTime = 1020;
  punch.ActualOutTime = 61200;
  punch.Rate = 12.5;
  punch.Multiplier = 1;
  labor->Punches.push_back(punch);
  data->LaborData().push_back(std::move(labor));
  data->DeletedSales().push_back(1234);
  return data;
}

TEST_F(ServerExchangeTest, PostedDocumentCarriesEveryHeaderAndContentsMemberAsText) {
  TDataCollectorConfiguration& cfg = collector->Cfg();
  cfg.SetWorkWeekStartDay(2);
  cfg.SetSalesThreshold(1500.75);
  cfg.SetDayOpenTimes("Caf\xC3\xA9 06:00");
  cfg.SetWashCountThreshold(40);
  cfg.SetDBFileVersion("23.1.4");
  cfg.SetSendStatistics(true);
  TCycleStatistics& last = collector->LastCycle();
  last.SendStart = 45000.5;
  last.InitializeStart = 45000.5;
  last.InitializeEnd = 45000.5 + 2.0 / 86400;
  last.SendSize = 2048;

  TDataCollectorStatusObj status;
  status.ActiveHistoryStart = 44900;
  status.ActiveHistoryEnd = 44910;
  status.ActiveHistoryFactID = 54181;
  status.LastSent = 44999.5;
  status.CurrentCycleStart = 44999;
  status.CurrentCycleEnd = 45000.75;
  status.CurrentHistoryStart = 44910;
  status.CurrentHistoryEnd = 44910;
  status.SkipHistory = false;
  server.enqueue("{}");
  auto data = SampleData();
  ASSERT_EQ(collector->Post(data.get(), status), TPostResult::Accepted);

  const auto request = server.requests().back();
  EXPECT_NE(request.body.find("Caf\xE9 06:00"), std::string::npos);
  const json doc = json::parse(server.decoded(server.requests().size() - 1));
  EXPECT_EQ(doc["Command"], "Post");
  const std::map<std::string, std::string> header = {
      {"LocCode", "CW001"},          {"WorkWeekStartDay", "2"},      {"SalesThreshold", "1500.75"},
      {"DayOpenTimes", "Caf\xC3\xA9 06:00"}, {"WashCountThreshold", "40"}, {"DBVersion", "23.1.4"},
      {"MACAddress", "00-1A-2B-3C-4D-5E"},  {"ActiveHistoryStart", "44900"}, {"ActiveHistoryEnd", "44910"},
      {"ActiveHistorySingleFact", "54181"}, {"LastSent", "44999.5"}};
  for (const auto& [name, value] : header) EXPECT_EQ(doc["Header"][name], value) << name;
  EXPECT_TRUE(doc["Header"]["SWVersion"].is_string());
  EXPECT_TRUE(doc["Header"]["DCVersion"].is_string());
  const std::map<std::string, std::string> contents = {{"ContentsStart", "44999"}, {"ContentsEnd", "45000.75"},
                                                       {"HistoryStart", "44910"},  {"HistoryEnd", "44910"},
                                                       {"SkipHistory", "0"}};
  for (const auto& [name, value] : contents) EXPECT_EQ(doc["Contents"][name], value) << name;
  ASSERT_TRUE(doc["Contents"]["SentDate"].is_string());
  EXPECT_NEAR(std::stod(doc["Contents"]["SentDate"].get<std::string>()), status.LastSent, 1e-9);
  EXPECT_GT(status.LastSent, 44999.5);

  const json& stats = doc["Statistics"];
  EXPECT_EQ(stats.size(), 17u);
  for (const auto& [name, value] : stats.items()) EXPECT_TRUE(value.is_string()) << name;
  EXPECT_EQ(stats["RetrieveTime"], "45000.5");
  EXPECT_NEAR(std::stod(stats["Initialize"].get<std::string>()), 2.0, 1e-3);
  EXPECT_EQ(stats["Load"], "0");
  EXPECT_EQ(stats["SendSize"], "2048");

  // The data members, with their images decoded by the test server.
  EXPECT_EQ(doc["DeletedSales"], json::parse(R"(["1234"])"));
  const json& sale = doc["SalesDataJSON"][0]["SalesData"];
  EXPECT_EQ(sale["SaleID"], 1001);
  EXPECT_EQ(sale["PaidTime"], 45000.5);
  EXPECT_EQ(sale["Terminal"], 3);
  EXPECT_EQ(sale["ProfitCenters"]["5"]["Facts"]["54200"], 3.0);
  EXPECT_EQ(sale["Employees"]["1"], 55);
  EXPECT_EQ(sale["Size"], 59);
  const json& labor = doc["LaborData"][0];
  EXPECT_EQ(labor["Employee"], "55");
  EXPECT_EQ(labor["WeekStart"], "45000");
  EXPECT_EQ(labor["Punches"][0]["ActualOutTime"], 61200);
  EXPECT_EQ(labor["Punches"][0]["Rate"], 12.5);
}

TEST_F(ServerExchangeTest, PostWithoutDataOrEarlierCycleSendsHeaderAndContentsOnly) {
  collector->Cfg().SetSendStatistics(true);  // the last cycle's SendSize is still 0
  collector->UseMACAddress(false);
  TDataCollectorStatusObj status;
  status.SkipHistory = true;
  server.enqueue("{}");
  ASSERT_EQ(collector->Post(nullptr, status), TPostResult::Accepted);
  const json doc = LastDocument();
  std::vector<std::string> members;
  for (const auto& [name, value] : doc.items()) members.push_back(name);
  EXPECT_EQ(members, (std::vector<std::string>{"Command", "Header", "Contents"}));
  EXPECT_FALSE(doc["Header"].contains("MACAddress"));
  EXPECT_EQ(doc["Contents"]["SkipHistory"], "1");
}

TEST_F(ServerExchangeTest, PostedBodyAndLogLineAreTheTreeWritersTextByteForByte) {
  registry.Write(HiveText().Key("Software\\Orvel\\DataCollector").String("LogComm", "1"));
  collector->LoadConfiguration();
  collector->Cfg().SetLocCode("CW001");
  collector->Cfg().SetDayOpenTimes("Caf\xC3\xA9 06:00 \xE2\x82\xAC");
  auto data = SampleData();
  data->SetNewEmployees(true);
  for (int i = 0; i < 3; ++i) {
    auto employee = std::make_unique<TEmployeeRecord>();
    employee->ObjId = 55 + i;
    employee->Name = "Jos\xC3\xA9 \"Pep\xC3\xA9\" M\xC3\xBCller \xE4\xB8\xAD\\";
    employee->Enabled = i % 2 == 0;
    data->Employees().push_back(std::move(employee));
    auto category = std::make_unique<TEmpCategory>();
    category->Name = "Cat\xC3\xA9gorie " + std::to_string(i);
    data->EmpCategories().push_back(std::move(category));
  }
  for (int i = 0; i < 500; ++i) {
    auto sale = std::make_unique<TSaleRecord>();
    sale->SaleID = 2000 + i;
    sale->PaidTime = 45000.5 + i / 1000.0;
    sale->AddFact(TSaleRecord::TrackedProfitCenters[i % 7], TSaleRecord::TrackedFactIDs[i % 12], i * 0.25);
    data->SalesData().push_back(std::move(sale));
  }
  TDataCollectorStatusObj status;
  status.CurrentCycleStart = 44999;
  status.CurrentCycleEnd = 45000.75;
  server.enqueue("{}");
  ASSERT_EQ(collector->Post(data.get(), status), TPostResult::Accepted);

  // The tree writer's document: the data's object with the post's own members
  // (as they arrived) put onto it.
  const std::string body = server.requests().back().body;
  const auto sent = JSONParse(AnsiToUtf8(body));
  ASSERT_TRUE(sent && sent->is_object());
  TJSONValue expected = data->JSONEncoded();
  for (const char* name : {"Command", "Header", "Contents"}) JSONPut(expected, name, *JSONGet(*sent, name));
  const std::string expectedText = JSONWrite(expected);
  EXPECT_TRUE(body == Utf8ToAnsi(expectedText)) << "the body differs from the tree writer's";
  EXPECT_NE(body.find("Jos\xE9 \\\"Pep\xE9\\\" M\xFCller ?\\\\"), std::string::npos);
  EXPECT_TRUE(log.front() == "Sending: " + expectedText) << "the logged text differs from the tree writer's";
}

TEST_F(ServerExchangeTest, StopEndsAPostWaitingOnASlowServer) {
  StatsServer::Answer slow = Answer("{}");
  slow.delaySeconds = 30;
  server.enqueue(slow);
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    collector->RequestStop();
  });
  TDataCollectorStatusObj status;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(collector->Post(nullptr, status), ETransferError);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_LT(elapsed, std::chrono::seconds(3));
  EXPECT_THAT(log, Contains(HasSubstr("Transfer stopped")));
}

}  // namespace
