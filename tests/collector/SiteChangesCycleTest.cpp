// Whole cycles (RunCycle with its session, schema, retrieval and post) against
// a fixture site database and the test statistics server, for the changes a
// real site makes that a clean fixture never shows: punch changes stamped
// before the window (outages, commits across midnight), punches moved between
// employees and days or deleted, thousands of referenced employees, and sales
// whose writing transaction commits after the cycle that covered their stamp.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Shared/Orvel_Shared/DateTime.h"
#include "support/RetrievalSite.h"
#include "support/ScopedEnv.h"
#include "support/StatsServer.h"

namespace {

using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;
using json = nlohmann::json;

constexpr double kMinute = 1.0 / 1440.0;
constexpr int32_t kVersionFact = 54181;  // a tracked fact that carries a version number

class SiteChangesCycleTest : public ::testing::Test {
 protected:
  SiteChangesCycleTest()
      : host("DC_SERVER_HOST", "127.0.0.1"),
        port("DC_SERVER_PORT", std::to_string(server.port()).c_str()) {
    Restart();
  }

  void Restart() {
    collector.reset();
    collector = std::make_unique<TRetrievalCollector>(log);
    collector->ConnectServer();
  }

  // One cycle whose post the server accepts as a real server does (its
  // LastCycleEnd is the posted window's end); the posted document decoded.
  json Cycle() {
    if (!collector->Initialized()) collector->ConnectServer();
    StatsServer::Answer answer;
    answer.echoCycleEnd = true;
    server.enqueue(answer);
    const size_t before = server.requests().size();
    collector->RunCycle();
    const size_t after = server.requests().size();
    EXPECT_EQ(after, before + 1) << testing::PrintToString(log);
    if (after == before) return json();
    const std::string decoded = server.decoded(after - 1);
    return decoded.empty() ? json() : json::parse(decoded);
  }

  // Replaces the stored status row: the end of the last accepted window.
  void SetLastCycleEnd(TDateTime value) {
    site.Exec("DELETE FROM DC_STATUS");
    TSiteQuery status(site.Writer(), "INSERT INTO DC_STATUS (LastCycleEnd) VALUES (:LastCycleEnd)");
    status.SetTimestamp("LastCycleEnd", value);
    site.Writer().StartTransaction();
    status.ExecSQL();
    site.Writer().Commit();
  }

  int64_t PendingRows() { return site.Scalar("SELECT COUNT(*) FROM DC_PENDINGEMPDAYS_V111"); }

  // Employee and day of each labor record, with its number of punches (-1
  // when the record has no Punches member).
  struct TDay {
    int64_t employee;
    int64_t day;
    int punches;
    bool operator==(const TDay&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const TDay& d) {
      return out << "{" << d.employee << ", " << d.day << ", " << d.punches << "}";
    }
  };
  // A number of the document, written as a JSON number or as text.
  static double Number(const json& value) {
    return value.is_string() ? std::stod(value.get<std::string>()) : value.get<double>();
  }
  static std::vector<TDay> LaborDays(const json& document) {
    std::vector<TDay> days;
    for (const json& record : document.value("LaborData", json::array())) {
      const int punches =
          record.contains("Punches") ? static_cast<int>(record["Punches"].size()) : -1;
      days.push_back({static_cast<int64_t>(Number(record.at("Employee"))),
                      static_cast<int64_t>(Number(record.at("WeekStart"))), punches});
    }
    return days;
  }

  static std::vector<int64_t> SaleIds(const json& document) {
    std::vector<int64_t> ids;
    for (const json& sale : document.value("SalesDataJSON", json::array())) {
      ids.push_back(sale.at("SalesData").at("SaleID").get<int64_t>());
    }
    return ids;
  }

  // (sale id, version) of each sale sent, the version being its fact value.
  static std::vector<std::pair<int64_t, int64_t>> SaleVersions(const json& document) {
    std::vector<std::pair<int64_t, int64_t>> versions;
    for (const json& sale : document.value("SalesDataJSON", json::array())) {
      const json& record = sale.at("SalesData");
      const json& facts = record.at("ProfitCenters").at("0").at("Facts");
      versions.emplace_back(record.at("SaleID").get<int64_t>(),
                            static_cast<int64_t>(facts.at(std::to_string(kVersionFact)).get<double>()));
    }
    return versions;
  }

  bool Logged(const std::string& line) const {
    for (const std::string& entry : log) {
      if (entry == line) return true;
    }
    return false;
  }

  // Sleeps past the next whole second, so that a change made before lies
  // inside the window of the cycle that follows (windows end on a second).
  static void NextSecond() { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); }

  const TDateTime today = DateOf(DateTimeNow());
  StatsServer server;
  ScopedEnv host;
  ScopedEnv port;
  TRetrievalSite site;
  std::vector<std::string> log;
  std::unique_ptr<TRetrievalCollector> collector;
};

// A punch change is stamped when its statement runs. After an outage the
// window is cut to two days; a change made before midnight may commit after
// it; the window end stored may be later than the stamp. None of these days
// may be removed from the pending table without being sent.
TEST_F(SiteChangesCycleTest, PendingDaysStampedBeforeTheWindowAreSentBeforeTheyAreRemoved) {
  const TDateTime now = DateTimeNow();
  struct Case {
    const char* name;
    TDateTime lastCycleEnd;
    TDateTime stamp;
  };
  const Case cases[] = {
      {"an outage of four days, changes three days back", now - 4, now - 3},
      {"a change at 23:50 yesterday, the window end stored today", today + kMinute,
       today - 10 * kMinute},
      {"a change two days old, the window a minute old", now - kMinute, now - 2},
  };
  int32_t employee = 4100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ++employee;
    SetLastCycleEnd(c.lastCycleEnd);
    site.AddPunch(employee, today - 5);
    TSiteQuery restamp(site.Writer(),
                       "UPDATE DC_PENDINGEMPDAYS_V111 SET Modified = :Stamp WHERE Employee = :E");
    restamp.SetTimestamp("Stamp", c.stamp);
    restamp.SetInteger("E", employee);
    site.Writer().StartTransaction();
    restamp.ExecSQL();
    site.Writer().Commit();

    const json document = Cycle();
    EXPECT_THAT(LaborDays(document),
                Contains(TDay{employee, static_cast<int64_t>(today - 5), 1}));
    EXPECT_EQ(PendingRows(), 0);
  }
}

// The server holds each employee day as last sent: a day a punch leaves (by
// a move to another employee or day, or by a delete) is sent again, with the
// punches it has left or with no Punches member when none are left.
TEST_F(SiteChangesCycleTest, MovedAndDeletedPunchesSendTheDayTheyLeft) {
  const auto d1 = static_cast<int64_t>(today - 3);
  const auto d2 = static_cast<int64_t>(today - 2);
  const int32_t moved = site.AddPunch(4001, today - 3);
  const int32_t kept = site.AddPunch(4001, today - 3, "O", 1, 1000, 1100);
  EXPECT_THAT(LaborDays(Cycle()), UnorderedElementsAre(TDay{4001, d1, 2}));

  site.Exec("UPDATE PunchInterval SET Employee = 4002 WHERE ObjID = " + std::to_string(moved));
  EXPECT_THAT(LaborDays(Cycle()), UnorderedElementsAre(TDay{4001, d1, 1}, TDay{4002, d1, 1}));

  site.Exec("UPDATE PunchInterval SET PunchDate = PunchDate + 1 WHERE ObjID = " +
            std::to_string(moved));
  EXPECT_THAT(LaborDays(Cycle()), UnorderedElementsAre(TDay{4002, d1, -1}, TDay{4002, d2, 1}));

  site.Exec("DELETE FROM PunchInterval WHERE ObjID IN (" + std::to_string(moved) + ", " +
            std::to_string(kept) + ")");
  EXPECT_THAT(LaborDays(Cycle()), UnorderedElementsAre(TDay{4001, d1, -1}, TDay{4002, d2, -1}));
  EXPECT_THAT(LaborDays(Cycle()), IsEmpty());
  EXPECT_EQ(PendingRows(), 0);
}

// Firebird refuses an IN list of more than 1500 values; a cycle referencing
// thousands of employees and roles still completes and sends them all.
TEST_F(SiteChangesCycleTest, ACycleReferencingFiveThousandEmployeesCompletes) {
  constexpr int kEmployees = 5000;
  // Employees of another site, referenced by today's punches: each is looked
  // up by id and sent as not enabled here.
  site.Exec("EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < " +
            std::to_string(kEmployees) +
            ") DO BEGIN "
            "INSERT INTO Employee (ObjID, Category, HomeSite, Enabled, Code, ActiveAt, Name) "
            "VALUES (100000 + :i, 1, 2, 1, 100, 2, 'Empleado ' || :i); "
            "INSERT INTO EmpRole (ObjID, ProfitCenter, Typ, Name) VALUES (50000 + :i, 0, 30, 'Rol ' || :i); "
            "INSERT INTO PunchInterval (ObjID, Site, Employee, PunchDate, PiType, Department, "
            "InTime, OutTime) VALUES (200000 + :i, 1, 100000 + :i, CURRENT_DATE, 'R', 50000 + :i, "
            "480, 960); i = i + 1; END END");

  const json document = Cycle();
  EXPECT_EQ(LaborDays(document).size(), static_cast<size_t>(kEmployees));
  ASSERT_TRUE(document.contains("ReferenceData")) << testing::PrintToString(log);
  const json& reference = document["ReferenceData"];
  size_t notEnabled = 0;
  for (const json& e : reference.value("Employees", json::array())) {
    if (Number(e.at("ObjId")) >= 100000) ++notEnabled;
  }
  EXPECT_EQ(notEnabled, static_cast<size_t>(kEmployees));
  size_t roles = 0;
  for (const json& r : reference.value("Roles", json::array())) {
    if (Number(r.at("ObjId")) >= 50000) ++roles;
  }
  EXPECT_EQ(roles, static_cast<size_t>(kEmployees));
  EXPECT_EQ(PendingRows(), 0);
}

// A sale version whose transaction commits after the cycle that covered its
// stamp reaches the next cycle's post as a late sale, once; after a restart
// the span before the window is sent once more.
TEST_F(SiteChangesCycleTest, SalesCommittedAfterTheirCycleAreSentOnceAsLateSales) {
  SetLastCycleEnd(TruncToSeconds(DateTimeNow()));
  TSiteDatabase writer;  // a second connection of the site product
  site.Database().Connect(writer);
  auto openSale = [&](int32_t id) {
    TSiteQuery sale(writer,
                    "INSERT INTO Sale (Site, ObjID, Terminal, Shift, Status, LogDate, LogTime, "
                    "Created, Modified) VALUES (1, :ID, 101, 1, 0, CURRENT_DATE, 600, "
                    "CURRENT_TIMESTAMP, CURRENT_TIMESTAMP)");
    sale.SetInteger("ID", id);
    sale.ExecSQL();
    TSiteQuery fact(writer, "INSERT INTO SaleFacts (Site, SaleID, Fact, ProfitCenter, Data) "
                            "VALUES (1, :ID, :Fact, 0, 1)");
    fact.SetInteger("ID", id);
    fact.SetInteger("Fact", kVersionFact);
    fact.ExecSQL();
  };

  writer.StartTransaction();
  openSale(900);
  NextSecond();
  EXPECT_THAT(SaleIds(Cycle()), Not(Contains(900)));  // not committed yet
  writer.Commit();

  writer.StartTransaction();
  openSale(901);  // held open across two cycles
  NextSecond();
  log.clear();
  EXPECT_THAT(SaleIds(Cycle()), UnorderedElementsAre(900));
  EXPECT_TRUE(Logged("Late sales: 1")) << testing::PrintToString(log);
  NextSecond();
  EXPECT_THAT(SaleIds(Cycle()), IsEmpty());
  writer.Commit();
  NextSecond();
  EXPECT_THAT(SaleIds(Cycle()), UnorderedElementsAre(901));
  NextSecond();
  log.clear();
  EXPECT_THAT(SaleIds(Cycle()), IsEmpty());
  EXPECT_FALSE(Logged("Late sales: 0")) << testing::PrintToString(log);

  // A new process remembers nothing: the overlap is sent once more.
  Restart();
  NextSecond();
  EXPECT_THAT(SaleIds(Cycle()), UnorderedElementsAre(900, 901));
  NextSecond();
  EXPECT_THAT(SaleIds(Cycle()), IsEmpty());
  writer.Disconnect();
}

// The site writes a new sale and changes an older one in every transaction
// and holds the transaction open for a while before it commits, while cycles
// run back to back. Every version committed reaches exactly one accepted post.
TEST_F(SiteChangesCycleTest, EverySaleVersionOfLongTransactionsIsSentExactlyOnce) {
  for (const int holdMs : {500, 2000}) {
    SCOPED_TRACE(std::to_string(holdMs) + " ms open");
    const size_t firstRequest = server.requests().size();
    SetLastCycleEnd(TruncToSeconds(DateTimeNow()));
    const int32_t base = holdMs * 10;
    std::atomic<bool> writing{true};
    std::map<int32_t, int64_t> committed;  // sale id -> last version committed

    std::thread site_product([&] {
      TSiteDatabase writer;
      site.Database().Connect(writer);
      TSiteQuery insertSale(writer,
                            "INSERT INTO Sale (Site, ObjID, Terminal, Shift, Status, LogDate, "
                            "LogTime, Created, Modified) VALUES (1, :ID, 101, 1, 0, CURRENT_DATE, "
                            "600, CURRENT_TIMESTAMP, CURRENT_TIMESTAMP)");
      TSiteQuery insertFact(writer, "INSERT INTO SaleFacts (Site, SaleID, Fact, ProfitCenter, Data) "
                                    "VALUES (1, :ID, :Fact, 0, 1)");
      TSiteQuery touchSale(writer, "UPDATE Sale SET Modified = CURRENT_TIMESTAMP WHERE Site = 1 "
                                   "AND ObjID = :ID");
      TSiteQuery setVersion(writer, "UPDATE SaleFacts SET Data = :Version WHERE Site = 1 AND "
                                    "SaleID = :ID AND Fact = :Fact");
      for (int32_t i = 0; i < 6; ++i) {
        const int32_t id = base + i;
        writer.StartTransaction();
        insertSale.SetInteger("ID", id);
        insertSale.ExecSQL();
        insertFact.SetInteger("ID", id);
        insertFact.SetInteger("Fact", kVersionFact);
        insertFact.ExecSQL();
        const int32_t older = id - 3;
        if (i >= 3) {
          touchSale.SetInteger("ID", older);
          touchSale.ExecSQL();
          setVersion.SetInteger("ID", older);
          setVersion.SetInteger("Version", 2);
          setVersion.SetInteger("Fact", kVersionFact);
          setVersion.ExecSQL();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
        writer.Commit();
        committed[id] = 1;
        if (i >= 3) committed[older] = 2;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      }
      writer.Disconnect();
      writing = false;
    });
    while (writing) {
      Cycle();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    site_product.join();
    NextSecond();
    Cycle();
    NextSecond();
    Cycle();

    std::map<std::pair<int64_t, int64_t>, int> sent;
    const size_t requests = server.requests().size();
    for (size_t i = firstRequest; i < requests; ++i) {
      const std::string decoded = server.decoded(i);
      if (decoded.empty()) continue;
      for (const auto& version : SaleVersions(json::parse(decoded))) ++sent[version];
    }
    for (const auto& [id, last] : committed) {
      for (int64_t version = 1; version <= last; ++version) {
        // A first version replaced before any cycle saw it is never visible;
        // the versions of this load are seconds apart, so each one is.
        EXPECT_EQ(sent[std::make_pair(int64_t{id}, version)], 1) << "sale " << id << " version " << version;
      }
    }
  }
}

}  // namespace
