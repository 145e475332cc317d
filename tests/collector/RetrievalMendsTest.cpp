// No punch change or employee change is lost when a post is not accepted:
// whole cycles (RunCycle) against a fixture database in embedded mode and the
// test statistics server, through failed posts, server errors and a restart.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Shared/Orvel_Shared/AnsiText.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "support/RetrievalSite.h"
#include "support/ScopedEnv.h"
#include "support/StatsServer.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using json = nlohmann::json;

class RetrievalMendsTest : public ::testing::Test {
 protected:
  RetrievalMendsTest()
      : host("DC_SERVER_HOST", "127.0.0.1"),
        port("DC_SERVER_PORT", std::to_string(server.port()).c_str()) {
    Restart();
  }

  // A new collector object on the same database, as after a service restart.
  void Restart() {
    collector.reset();
    collector = std::make_unique<TRetrievalCollector>(log);
    collector->ConnectServer();
  }

  // One cycle whose post gets answer; the collector is initialised again
  // first when an earlier answer cleared it, as the service's next tick does.
  json Cycle(const StatsServer::Answer& answer) {
    if (!collector->Initialized()) collector->ConnectServer();
    server.enqueue(answer);
    const size_t before = server.requests().size();
    collector->RunCycle();
    const auto requests = server.requests();
    EXPECT_EQ(requests.size(), before + 1);
    // The post is Windows-1252; the fixture's names are not all ASCII.
    return requests.size() > before ? json::parse(AnsiToUtf8(requests.back().body)) : json();
  }
  json Cycle(const std::string& body) {
    StatsServer::Answer answer;
    answer.body = body;
    return Cycle(answer);
  }
  static StatsServer::Answer TransferFailure() {
    StatsServer::Answer answer;
    answer.reset = true;
    return answer;
  }

  int64_t PendingRows() { return site.Scalar("SELECT COUNT(*) FROM DC_PENDINGEMPDAYS_V111"); }

  static std::vector<std::string> LaborEmployees(const json& document) {
    std::vector<std::string> employees;
    for (const json& record : document.value("LaborData", json::array())) {
      employees.push_back(record.at("Employee").get<std::string>());
    }
    return employees;
  }
  static std::vector<std::pair<int, std::string>> Employees(const json& document) {
    std::vector<std::pair<int, std::string>> employees;
    if (!document.contains("ReferenceData")) return employees;
    for (const json& e : document["ReferenceData"].value("Employees", json::array())) {
      employees.emplace_back(e.at("ObjId").get<int>(), e.at("Name").get<std::string>());
    }
    return employees;
  }

  const TDateTime today = DateOf(DateTimeNow());
  StatsServer server;
  ScopedEnv host;
  ScopedEnv port;
  TRetrievalSite site;
  std::vector<std::string> log;
  std::unique_ptr<TRetrievalCollector> collector;
};

TEST_F(RetrievalMendsTest, PendingDaysSurviveAFailedPostAndARestart) {
  site.AddPunch(4001, today);
  Cycle(TransferFailure());
  EXPECT_TRUE(collector->HoldsResend());
  EXPECT_EQ(PendingRows(), 1);  // the cycle committed, but the post was not accepted

  Restart();  // the resend data is lost with the process; the pending day is not
  const json document = Cycle("{}");
  EXPECT_THAT(LaborEmployees(document), ElementsAre("4001"));
  EXPECT_EQ(document.value("FullEmployees", 0), 1);
  EXPECT_EQ(PendingRows(), 0);
}

TEST_F(RetrievalMendsTest, AnAcceptedResendRemovesOnlyTheDaysItCarries) {
  site.AddPunch(4001, today);
  const json failed = Cycle(TransferFailure());
  site.AddPunch(4002, today);  // changed while the resend waits

  const json resent = Cycle("{}");
  EXPECT_EQ(resent.value("LaborData", json()), failed.value("LaborData", json()));
  EXPECT_THAT(LaborEmployees(resent), ElementsAre("4001"));
  EXPECT_EQ(site.Scalar("SELECT COUNT(*) FROM DC_PENDINGEMPDAYS_V111 WHERE Employee = 4002"), 1);
  EXPECT_EQ(PendingRows(), 1);

  EXPECT_THAT(LaborEmployees(Cycle("{}")), ElementsAre("4002"));
  EXPECT_EQ(PendingRows(), 0);
}

TEST_F(RetrievalMendsTest, ServerErrorsKeepThePendingDays) {
  site.AddPunch(4001, today);
  for (const char* answer : {R"({"Error":"busy"})", R"({"Resend":)", R"({"Reinitialize":1})"}) {
    SCOPED_TRACE(answer);
    EXPECT_THAT(LaborEmployees(Cycle(answer)), ElementsAre("4001"));
    EXPECT_EQ(PendingRows(), 1);
  }
  Cycle("{}");
  EXPECT_EQ(PendingRows(), 0);
}

// A change committed by the site while the cycle runs is outside the cycle's
// snapshot: it is neither sent nor removed by that cycle.
TEST_F(RetrievalMendsTest, ChangesDuringTheCycleWaitForTheNextOne) {
  site.AddPunch(4001, today);
  collector->Attach();
  collector->Begin();
  auto data = collector->RetrieveData(RetrievalStatus(today, DateTimeNow()));
  site.AddPunch(4002, today);
  collector->CommitAcceptedData(data.get());
  collector->Commit();

  ASSERT_EQ(data->LaborData().size(), 1u);
  EXPECT_EQ(data->LaborData()[0]->Employee, 4001);
  EXPECT_EQ(site.Scalar("SELECT COUNT(*) FROM DC_PENDINGEMPDAYS_V111 WHERE Employee = 4002"), 1);
  EXPECT_EQ(PendingRows(), 1);

  // Data that did not come from the last retrieval removes nothing.
  TCollectedData other;
  collector->Begin();
  collector->CommitAcceptedData(&other);
  collector->Commit();
  EXPECT_EQ(PendingRows(), 1);
}

TEST_F(RetrievalMendsTest, EmployeeChangesAreSentUntilAPostCarryingThemIsAccepted) {
  site.AddEmployee({.Id = 2001, .Name = "Anna Alvarez"});

  // The first document is dropped by the server: the next is still a full set.
  json document = Cycle(R"({"Error":"busy"})");
  EXPECT_THAT(Employees(document), ElementsAre(std::pair{2001, std::string("Anna Alvarez")}));
  document = Cycle("{}");
  EXPECT_EQ(document.value("FullEmployees", 0), 1);
  EXPECT_THAT(Employees(document), ElementsAre(std::pair{2001, std::string("Anna Alvarez")}));
  EXPECT_EQ(document.value("EmployeeCategories", json::array()).size(), 4u);

  document = Cycle("{}");
  EXPECT_THAT(Employees(document), IsEmpty());
  EXPECT_FALSE(document.contains("EmployeeCategories"));

  // A change, then a failed transfer and a server error before it is accepted.
  site.Exec("UPDATE Employee SET Name = 'Anna Brooks' WHERE ObjID = 2001");
  site.Exec("UPDATE EmpCategory SET Name = 'Lead Cashier' WHERE ObjID = 2");
  Cycle(TransferFailure());
  document = Cycle(R"({"Error":"busy"})");  // the resend
  EXPECT_THAT(Employees(document), ElementsAre(std::pair{2001, std::string("Anna Brooks")}));
  document = Cycle("{}");
  EXPECT_THAT(Employees(document), ElementsAre(std::pair{2001, std::string("Anna Brooks")}));
  EXPECT_EQ(document.value("EmployeeCategories", json::array()).size(), 1u);
  EXPECT_THAT(Employees(Cycle("{}")), IsEmpty());

  // "Reinitialize" empties the employee cache: the next document is a full set.
  Cycle(R"({"Reinitialize":1})");
  document = Cycle("{}");
  EXPECT_EQ(document.value("FullEmployees", 0), 1);
  EXPECT_THAT(Employees(document), ElementsAre(std::pair{2001, std::string("Anna Brooks")}));
}

// A 200 answer that is not a JSON object (a proxy's page, an empty body)
// saves the status, but nothing shows that the data arrived: its punch days
// and employee changes travel again until a post carrying them is accepted.
TEST_F(RetrievalMendsTest, AnAnswerThatIsNotAJsonObjectDeliversNothing) {
  site.AddEmployee({.Id = 2001, .Name = "Anna Alvarez"});
  Cycle("{}");  // the full employee set is accepted

  StatsServer::Answer page;
  page.body = "<html>\r\n<body>Gateway Timeout</body>\r\n</html>\r\n";
  page.contentType = "text/html";
  StatsServer::Answer empty;
  empty.body = "";
  int punches = 0;
  for (const StatsServer::Answer& answer : {page, empty}) {
    SCOPED_TRACE(answer.body.empty() ? "empty body" : "web page");
    site.AddPunch(4001 + punches++, today);
    site.Exec("UPDATE Employee SET Name = 'Anna Brooks " + std::to_string(punches) + "' WHERE ObjID = 2001");
    log.clear();
    const json document = Cycle(answer);
    EXPECT_EQ(LaborEmployees(document).size(), static_cast<size_t>(punches));
    EXPECT_THAT(Employees(document),
                ElementsAre(std::pair{2001, "Anna Brooks " + std::to_string(punches)}));
    EXPECT_EQ(PendingRows(), punches);
    EXPECT_TRUE(collector->Initialized());
    EXPECT_FALSE(collector->HoldsResend());
    bool warned = false;
    for (const std::string& line : log) {
      warned = warned || line.rfind("WARNING: The server's answer is not a JSON object;", 0) == 0;
    }
    EXPECT_TRUE(warned);
  }

  const json accepted = Cycle("{}");
  EXPECT_THAT(LaborEmployees(accepted), UnorderedElementsAre("4001", "4002"));
  EXPECT_THAT(Employees(accepted), ElementsAre(std::pair{2001, std::string("Anna Brooks 2")}));
  EXPECT_EQ(PendingRows(), 0);
  const json after = Cycle("{}");
  EXPECT_THAT(LaborEmployees(after), IsEmpty());
  EXPECT_THAT(Employees(after), IsEmpty());
}

}  // namespace
