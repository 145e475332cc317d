// Whole cycles of the collector (RunCycle with its real session, schema,
// status, retrieval and post) against a fixture site database with a
// generated load and the test statistics server: what the server receives,
// decoded, is what the database holds; later cycles send only what changed; a
// failed post is resent unchanged.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Shared/Orvel_Shared/DateTime.h"
#include "support/RetrievalSite.h"
#include "support/ScopedEnv.h"
#include "support/StatsServer.h"

namespace {

using ::testing::UnorderedElementsAreArray;
using json = nlohmann::json;

constexpr int32_t kRivoAmount = 54741;
constexpr int32_t kRivoCars = 54742;
constexpr int32_t kRivoUpsell = 54743;

TSiteFixtureOptions GeneratedLoad() {
  TSiteFixtureOptions options;
  options.Sales = 60;
  options.Days = 1;
  options.LastDay = DateOf(DateTimeNow()) - 1;
  options.Seed = 7;
  return options;
}

class EndToEndRetrievalTest : public ::testing::Test {
 protected:
  explicit EndToEndRetrievalTest(const TSiteFixtureOptions& options = GeneratedLoad())
      : host("DC_SERVER_HOST", "127.0.0.1"),
        port("DC_SERVER_PORT", std::to_string(server.port()).c_str()),
        site(options) {
    // The load was made before the collector's trigger existed: touch every
    // punch so that its day is pending, and start the windows yesterday.
    site.Exec("UPDATE PunchInterval SET Rate = Rate");
    TSiteQuery status(site.Writer(), "INSERT INTO DC_STATUS (LastCycleEnd) VALUES (:LastCycleEnd)");
    status.SetTimestamp("LastCycleEnd", yesterday);
    site.Writer().StartTransaction();
    status.ExecSQL();
    site.Writer().Commit();
    collector = std::make_unique<TRetrievalCollector>(log);
    collector->ConnectServer();
  }

  // One cycle; its posted document with the images decoded. Windows end on a
  // whole second: the cycle waits for the next one, so that what changed
  // just before lies inside its window.
  json Cycle(bool transferFails = false) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    if (!collector->Initialized()) collector->ConnectServer();
    StatsServer::Answer answer;
    answer.echoCycleEnd = true;
    answer.reset = transferFails;
    server.enqueue(answer);
    const size_t before = server.requests().size();
    collector->RunCycle();
    EXPECT_EQ(server.requests().size(), before + 1);
    const std::string decoded = server.decoded(server.requests().size() - 1);
    return decoded.empty() ? json() : json::parse(decoded);
  }

  // The text of each row of a two-column query (an id, a text), as the
  // database holds it.
  std::map<int64_t, std::string> Texts(const std::string& sql) {
    std::map<int64_t, std::string> texts;
    site.Writer().StartTransaction();
    TSiteQuery query(site.Writer(), sql);
    for (query.Open(); !query.Eof(); query.Next()) {
      texts[query.AsInteger(query.FieldName(0))] = query.AsString(query.FieldName(1));
    }
    query.Close();
    site.Writer().Commit();
    return texts;
  }

  std::vector<int64_t> Column(const std::string& sql) {
    std::vector<int64_t> values;
    site.Writer().StartTransaction();
    TSiteQuery query(site.Writer(), sql);
    for (query.Open(); !query.Eof(); query.Next()) values.push_back(query.AsInteger(query.FieldName(0)));
    query.Close();
    site.Writer().Commit();
    return values;
  }

  static std::vector<int64_t> SentSaleIds(const json& document) {
    std::vector<int64_t> ids;
    for (const json& sale : document.value("SalesDataJSON", json::array())) {
      ids.push_back(sale.at("SalesData").at("SaleID").get<int64_t>());
    }
    return ids;
  }

  // Checks one decoded sale against the rows the database holds for it.
  void ExpectSaleAsStored(const json& sale) {
    const int64_t id = sale.at("SaleID").get<int64_t>();
    SCOPED_TRACE("sale " + std::to_string(id));
    site.Writer().StartTransaction();
    TSiteQuery header(site.Writer(), "SELECT Terminal, Status, Shift, LogDate, LogTime, Created "
                                     "FROM Sale WHERE Site = 1 AND ObjID = :ID");
    header.SetInteger("ID", id);
    header.Open();
    ASSERT_FALSE(header.Eof());
    EXPECT_EQ(sale.at("Terminal").get<int64_t>(), header.AsInteger("Terminal"));
    EXPECT_EQ(sale.at("Status").get<int64_t>(), header.AsInteger("Status"));
    EXPECT_EQ(sale.at("Shift").get<int64_t>(), header.AsInteger("Shift"));
    EXPECT_NEAR(sale.at("PaidTime").get<double>(),
                header.AsDateTime("LogDate") + header.AsInteger("LogTime") / 14400.0, 1e-9);
    EXPECT_NEAR(sale.at("CreatedTime").get<double>(), header.AsDateTime("Created"), 1e-8);
    const bool voided = header.AsInteger("Status") == -9;
    header.Close();

    // Tracked facts other than the three Rivo facts, as SaleFacts holds them;
    // a fact stored twice for one profit center may travel with either value.
    std::map<std::string, std::set<double>> stored;
    TSiteQuery facts(site.Writer(), "SELECT Fact, ProfitCenter, Data FROM SaleFacts "
                                    "WHERE Site = 1 AND SaleID = :ID");
    facts.SetInteger("ID", id);
    for (facts.Open(); !facts.Eof(); facts.Next()) {
      const int32_t fact = static_cast<int32_t>(facts.AsInteger("Fact"));
      const int32_t pc = static_cast<int32_t>(facts.AsInteger("ProfitCenter"));
      if (TSaleRecord::FactOffset(fact) < 0 || TSaleRecord::PCOffset(pc) < 0) continue;
      if (fact == kRivoAmount || fact == kRivoCars || fact == kRivoUpsell) continue;
      stored[std::to_string(pc) + "/" + std::to_string(fact)].insert(facts.AsFloat("Data"));
    }
    facts.Close();
    TSiteQuery passes(site.Writer(),
                      "SELECT COUNT(*) AS Cars FROM SalePasses WHERE Site = 1 AND SaleID = :ID "
                      "AND Status = 0");
    passes.SetInteger("ID", id);
    passes.Open();
    const double cars = voided ? 0 : static_cast<double>(passes.AsInteger("Cars"));
    passes.Close();
    passes.SetSQL("SELECT SUM(Amount) AS Amount, SUM(Upsell) AS Upsell FROM SalePasses "
                  "WHERE Site = 1 AND SaleID = :ID AND Status <= 40");
    passes.SetInteger("ID", id);
    passes.Open();
    const double amount = voided ? 0 : passes.AsFloat("Amount");
    const double upsell = voided ? 0 : passes.AsFloat("Upsell");
    passes.Close();

    std::map<std::string, double> sent;
    for (const auto& [pc, block] : sale.at("ProfitCenters").items()) {
      for (const auto& [fact, value] : block.at("Facts").items()) sent[pc + "/" + fact] = value.get<double>();
    }
    EXPECT_EQ(sent["0/54742"], cars);
    EXPECT_NEAR(sent["0/54741"], amount, 1e-9);
    EXPECT_NEAR(sent["0/54743"], upsell, 1e-9);
    sent.erase("0/54741");
    sent.erase("0/54742");
    sent.erase("0/54743");
    EXPECT_EQ(sent.size(), stored.size());
    for (const auto& [key, value] : sent) {
      EXPECT_TRUE(stored.count(key) != 0 && stored[key].count(value) != 0) << key << " = " << value;
    }

    // The employee of each tracked profit center, from roles of type 30.
    std::map<std::string, std::set<int64_t>> workers;
    TSiteQuery employees(site.Writer(),
                         "SELECT se.Employee, se.ProfitCenter FROM SaleEmployees se JOIN EmpRole er "
                         "ON er.ObjID = se.EmpRole WHERE se.Site = 1 AND se.SaleID = :ID AND "
                         "er.Typ = 30");
    employees.SetInteger("ID", id);
    for (employees.Open(); !employees.Eof(); employees.Next()) {
      const auto pc = static_cast<int32_t>(employees.AsInteger("ProfitCenter"));
      if (TSaleRecord::PCOffset(pc) >= 0) workers[std::to_string(pc)].insert(employees.AsInteger("Employee"));
    }
    employees.Close();
    site.Writer().Commit();
    EXPECT_EQ(sale.at("Employees").size(), workers.size());
    for (const auto& [pc, employee] : sale.at("Employees").items()) {
      EXPECT_TRUE(workers[pc].count(employee.get<int64_t>()) != 0) << pc;
    }
  }

  const TDateTime yesterday = DateOf(DateTimeNow()) - 1;
  StatsServer server;
  ScopedEnv host;
  ScopedEnv port;
  TRetrievalSite site;
  std::vector<std::string> log;
  std::unique_ptr<TRetrievalCollector> collector;
};

TEST_F(EndToEndRetrievalTest, TheServerReceivesWhatTheDatabaseHolds) {
  const json document = Cycle();

  EXPECT_THAT(SentSaleIds(document), UnorderedElementsAreArray(Column("SELECT ObjID FROM Sale")));
  for (const json& sale : document.at("SalesDataJSON")) ExpectSaleAsStored(sale.at("SalesData"));

  std::vector<int64_t> deleted;
  for (const json& id : document.value("DeletedSales", json::array())) {
    deleted.push_back(std::stoll(id.get<std::string>()));
  }
  EXPECT_THAT(deleted, UnorderedElementsAreArray(Column(
                           "SELECT DISTINCT s.ActualSaleID FROM Sale s WHERE s.ActualSaleID IS NOT "
                           "NULL AND NOT EXISTS (SELECT 1 FROM Sale s2 WHERE s2.ObjID = "
                           "s.ActualSaleID)")));

  // One labor record per punched employee day, with every punch of the day.
  std::vector<int64_t> laborEmployees;
  for (const json& labor : document.at("LaborData")) {
    const int64_t employee = std::stoll(labor.at("Employee").get<std::string>());
    laborEmployees.push_back(employee);
    EXPECT_EQ(labor.at("WeekStart").get<std::string>(),
              std::to_string(static_cast<int64_t>(yesterday)));
    const std::vector<int64_t> punches =
        Column("SELECT COUNT(*) FROM PunchInterval WHERE Department IS NOT NULL AND Employee = " +
               std::to_string(employee));
    EXPECT_EQ(labor.value("Punches", json::array()).size(), static_cast<size_t>(punches[0]));
  }
  EXPECT_THAT(laborEmployees,
              UnorderedElementsAreArray(Column("SELECT DISTINCT Employee FROM PunchInterval")));

  std::vector<int64_t> terminals;
  for (const json& t : document.at("ReferenceData").at("Terminals")) terminals.push_back(t.at("ObjId"));
  EXPECT_THAT(terminals, UnorderedElementsAreArray(Column("SELECT DISTINCT Terminal FROM Sale")));
  for (const json& service : document.at("ReferenceData").at("Services")) {
    EXPECT_EQ(Column("SELECT ObjID FROM Service WHERE ProfitCenter = " +
                     std::to_string(service.at("PC").get<int>()) +
                     " AND HistoryBit = " + std::to_string(service.at("Bit").get<int>())),
              std::vector<int64_t>{service.at("ObjId").get<int64_t>()});
  }
  EXPECT_EQ(document.value("FullEmployees", 0), 1);
  EXPECT_EQ(document.value("EmployeeCategories", json::array()).size(), 4u);
  EXPECT_EQ(Column("SELECT COUNT(*) FROM DC_PENDINGEMPDAYS_V111")[0], 0);
}

TEST_F(EndToEndRetrievalTest, LaterCyclesSendOnlyWhatChangedAndAFailedPostIsResentUnchanged) {
  Cycle();

  site.Exec("UPDATE Sale SET Modified = CURRENT_TIMESTAMP WHERE ObjID = 5");
  site.Exec("UPDATE PunchInterval SET Rate = Rate + 1 WHERE ObjID = 1");
  const int64_t punched = Column("SELECT Employee FROM PunchInterval WHERE ObjID = 1")[0];
  json document = Cycle();
  EXPECT_THAT(SentSaleIds(document), testing::ElementsAre(5));
  ASSERT_EQ(document.value("LaborData", json::array()).size(), 1u);
  EXPECT_EQ(document["LaborData"][0]["Employee"], std::to_string(punched));
  EXPECT_FALSE(document.contains("FullEmployees"));
  EXPECT_FALSE(document.contains("EmployeeCategories"));

  site.Exec("UPDATE Sale SET Modified = CURRENT_TIMESTAMP WHERE ObjID IN (7, 8)");
  site.Exec("UPDATE PunchInterval SET Rate = Rate + 1 WHERE ObjID = 2");
  const json failed = Cycle(/*transferFails=*/true);
  EXPECT_THAT(SentSaleIds(failed), testing::ElementsAre(7, 8));
  site.Exec("UPDATE Sale SET Modified = CURRENT_TIMESTAMP WHERE ObjID = 9");  // waits its turn
  const json resent = Cycle();
  for (const char* member : {"SalesDataJSON", "LaborData", "DeletedSales", "ReferenceData"}) {
    EXPECT_EQ(resent.value(member, json()), failed.value(member, json())) << member;
  }
  EXPECT_EQ(resent["Contents"]["ContentsStart"], failed["Contents"]["ContentsStart"]);
  EXPECT_EQ(resent["Contents"]["ContentsEnd"], failed["Contents"]["ContentsEnd"]);
  EXPECT_THAT(SentSaleIds(Cycle()), testing::ElementsAre(9));
  EXPECT_EQ(Column("SELECT COUNT(*) FROM DC_PENDINGEMPDAYS_V111")[0], 0);
}

// A site whose text is kept in one character set, with money in NUMERIC
// columns or not: the decoded post holds the database's characters and
// amounts exactly.
struct TSiteKind {
  const char* name;
  const char* charset;
  bool numericMoney;
  int64_t zoeBytes;  // octet_length('Zoë Zimmer') in that set
};

TSiteFixtureOptions KindLoad(const TSiteKind& kind) {
  TSiteFixtureOptions options = GeneratedLoad();
  options.Charset = kind.charset;
  options.NumericMoney = kind.numericMoney;
  options.LocationCode = "AUDÉ1";
  return options;
}

class SiteTextEndToEndTest : public EndToEndRetrievalTest, public testing::WithParamInterface<TSiteKind> {
 protected:
  SiteTextEndToEndTest() : EndToEndRetrievalTest(KindLoad(GetParam())) {}

  static int64_t Id(const json& value) {
    return value.is_string() ? std::stoll(value.get<std::string>()) : value.get<int64_t>();
  }

  // Each record of a list carries the Name the database holds for its id.
  void ExpectNamesAsStored(const json& records, const std::string& sql,
                           const std::vector<std::string>& mustHold) {
    SCOPED_TRACE(sql);
    const std::map<int64_t, std::string> stored = Texts(sql);
    std::set<std::string> sent;
    for (const json& record : records) {
      const auto it = stored.find(Id(record.at("ObjId")));
      ASSERT_NE(it, stored.end()) << record.dump();
      EXPECT_EQ(record.at("Name").get<std::string>(), it->second);
      sent.insert(record.at("Name").get<std::string>());
    }
    for (const std::string& name : mustHold) EXPECT_EQ(sent.count(name), 1u) << name;
  }
};

TEST_P(SiteTextEndToEndTest, TheDecodedPostHoldsTheSitesTextAndAmounts) {
  EXPECT_EQ(Column("SELECT octet_length(Name) FROM Employee WHERE ObjID = 1001"),
            std::vector<int64_t>{GetParam().zoeBytes});
  const json document = Cycle();
  ASSERT_TRUE(document.is_object());
  EXPECT_EQ(document.at("Header").at("LocCode"), "AUDÉ1");

  const json& references = document.at("ReferenceData");
  ExpectNamesAsStored(references.at("Employees"), "SELECT ObjID, TRIM(Name) FROM Employee",
                      {"Zoë Zimmer", "Marta Garçía"});
  for (const json& employee : references.at("Employees")) {
    if (Id(employee.at("ObjId")) == 1002) {
      EXPECT_EQ(employee.at("LastName"), "Garçía");
    }
  }
  ExpectNamesAsStored(document.at("EmployeeCategories"), "SELECT ObjID, TRIM(Name) FROM EmpCategory",
                      {"Café staff"});
  ExpectNamesAsStored(references.at("Roles"), "SELECT ObjID, TRIM(Name) FROM EmpRole", {});
  ExpectNamesAsStored(references.at("Terminals"), "SELECT ObjID, TRIM(Name) FROM Terminal", {});
  ExpectNamesAsStored(references.at("Services"), "SELECT ObjID, TRIM(Name) FROM Service",
                      {"Crème Wax", "Rain Guard™"});
  for (const json& sale : document.at("SalesDataJSON")) ExpectSaleAsStored(sale.at("SalesData"));
}

INSTANTIATE_TEST_SUITE_P(Sites, SiteTextEndToEndTest,
                         testing::Values(TSiteKind{"Win1252", "WIN1252", false, 10},
                                         TSiteKind{"Utf8NumericMoney", "UTF8", true, 11},
                                         TSiteKind{"NoneNumericMoney", "NONE", true, 10}),
                         [](const testing::TestParamInfo<TSiteKind>& info) { return info.param.name; });

}  // namespace
