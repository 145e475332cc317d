// RetrieveData against small fixture databases in embedded mode: the sales,
// timeclock and reference phases, the log lines, the statistics stamps and
// the failure rule.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "collector/Retrieval.h"
#include "model/CollectedData.h"
#include "support/RetrievalSite.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

constexpr double kHour = 1.0 / 24.0;
constexpr int32_t kRivoAmount = 54741;
constexpr int32_t kRivoCars = 54742;
constexpr int32_t kRivoUpsell = 54743;
constexpr int32_t kServiceHistory = 54711;

// The value of a tracked fact of a sale, empty when the sale has none.
std::optional<double> FactOf(const TSaleRecord& sale, int32_t profitCenter, int32_t fact) {
  const int k = TSaleRecord::PCOffset(profitCenter);
  const int j = TSaleRecord::FactOffset(fact);
  if (k < 0 || j < 0 || static_cast<size_t>(k) >= sale.ProfitCenters.size()) return std::nullopt;
  const TSalePCFacts& facts = sale.ProfitCenters[static_cast<size_t>(k)];
  if ((facts.FactMap & (1 << j)) == 0) return std::nullopt;
  return facts.Facts[static_cast<size_t>(j)];
}

std::vector<int32_t> SaleIds(const TCollectedData& data) {
  std::vector<int32_t> ids;
  for (const auto& sale : data.SalesData()) ids.push_back(sale->SaleID);
  return ids;
}

const TSaleRecord* FindSale(const TCollectedData& data, int32_t id) {
  for (const auto& sale : data.SalesData()) {
    if (sale->SaleID == id) return sale.get();
  }
  return nullptr;
}

class RetrievalTest : public ::testing::Test {
 protected:
  explicit RetrievalTest(const TSiteFixtureOptions& options = {}) : site(options) {
    collector = std::make_unique<TRetrievalCollector>(log);
    collector->Attach();
  }

  bool Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  bool LoggedStarting(const std::string& prefix) const {
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }

  // A cache that is not empty, so that NewEmployees is false.
  void SeedEmployeeCache() {
    auto cached = std::make_unique<TEmployeeRecord>();
    cached->ObjId = 9999;
    collector->Cfg().SiteEmployees().Add("9999", std::move(cached));
  }

  const TDateTime today = DateOf(DateTimeNow());
  const TDateTime yesterday = today - 1;
  TRetrievalSite site;
  std::vector<std::string> log;
  std::unique_ptr<TRetrievalCollector> collector;
};

// ---------------------------------------------------------------- sales

TEST_F(RetrievalTest, NoSalesLogsZeroAndSendsNothing) {
  auto data = collector->RetrieveAndEnd(RetrievalStatus(yesterday, yesterday + 0.5));
  EXPECT_TRUE(Logged("Sales / Facts: 0 / 0"));
  EXPECT_THAT(data->SalesData(), IsEmpty());
  EXPECT_THAT(data->DeletedSales(), IsEmpty());
  EXPECT_FALSE(LoggedStarting("Referenced Terminals"));
  EXPECT_FALSE(LoggedStarting("Deleted Sales"));
}

// The window is half open, MinHistory bounds the creation date, and a sale
// without facts makes a record of its own.
TEST_F(RetrievalTest, CurrentSalesWindowAndMinHistory) {
  const TDateTime start = yesterday + 8 * kHour;
  const TDateTime end = yesterday + 9 * kHour;
  site.AddSale({.Id = 1, .Modified = start});
  site.AddFact(1, 54181, 0, 12.5);
  site.AddFact(1, 54200, 5, 3.0);
  site.AddFact(1, 12345, 0, 7.0);  // not tracked: read, not stored
  site.AddSale({.Id = 2, .Modified = start + kHour / 2});  // no facts
  site.AddSale({.Id = 3, .Modified = end});                // at the end: next cycle
  // Before the window: the look back for late commits reads what no post of
  // this process carried within the ten minutes before the window, after the
  // sales of the window.
  site.AddSale({.Id = 4, .Modified = start - 1.0 / 86400});
  site.AddSale({.Id = 7, .Modified = start - 11 * kHour / 60});
  site.AddSale({.Id = 5, .Modified = start + kHour / 4, .Created = today - 1097});
  site.AddSale({.Id = 6, .Modified = start + kHour / 4, .Created = today - 1095});
  site.AddFact(6, 54181, 1, 1.0);

  auto data = collector->RetrieveAndEnd(RetrievalStatus(start, end));

  EXPECT_THAT(SaleIds(*data), ElementsAre(1, 2, 6, 4));
  EXPECT_TRUE(Logged("Sales / Facts: 3 / 5")) << testing::PrintToString(log);
  EXPECT_TRUE(Logged("Late sales: 1")) << testing::PrintToString(log);
  const TSaleRecord& first = *FindSale(*data, 1);
  EXPECT_EQ(FactOf(first, 0, 54181), 12.5);
  EXPECT_EQ(FactOf(first, 5, 54200), 3.0);
  EXPECT_EQ(first.Terminal, 101);
  // The pass sums stand in for the three Rivo facts of every sale.
  EXPECT_EQ(FactOf(*FindSale(*data, 2), 0, kRivoCars), 0.0);
  EXPECT_EQ(FactOf(*FindSale(*data, 2), 0, 54181), std::nullopt);
}

TEST_F(RetrievalTest, PassSumsReplaceTheRivoFactsExceptForStatusMinus9) {
  const TDateTime at = yesterday + 10 * kHour;
  site.AddSale({.Id = 1, .Modified = at});
  site.AddFact(1, kRivoAmount, 0, 999.0);  // replaced by the pass sums
  site.AddFact(1, kRivoCars, 0, 9.0);
  site.AddPass(1, 0, 10.0, 2.0);
  site.AddPass(1, 10, 5.0, 1.0);     // counted in the sums, not as a car
  site.AddPass(1, 50, 100.0, 100.0);  // above 40: ignored
  site.AddSale({.Id = 2, .Modified = at, .Status = -9});
  site.AddPass(2, 0, 10.0, 2.0);
  site.AddSale({.Id = 3, .Modified = at});  // no passes

  auto data = collector->RetrieveAndEnd(RetrievalStatus(yesterday, today));

  struct Expected {
    int32_t sale;
    double cars, amount, upsell;
  };
  for (const Expected& e : {Expected{1, 1, 15, 3}, Expected{2, 0, 0, 0}, Expected{3, 0, 0, 0}}) {
    SCOPED_TRACE(e.sale);
    const TSaleRecord& sale = *FindSale(*data, e.sale);
    EXPECT_EQ(FactOf(sale, 0, kRivoCars), e.cars);
    EXPECT_EQ(FactOf(sale, 0, kRivoAmount), e.amount);
    EXPECT_EQ(FactOf(sale, 0, kRivoUpsell), e.upsell);
  }
}

class RetrievalWithoutPassesTest : public RetrievalTest {
 protected:
  RetrievalWithoutPassesTest() : RetrievalTest(Options()) {}
  static TSiteFixtureOptions Options() {
    TSiteFixtureOptions options;
    options.WithSalePasses = false;
    return options;
  }
};

TEST_F(RetrievalWithoutPassesTest, SaleFactsKeepTheRivoValues) {
  ASSERT_FALSE(collector->HasSalePasses());
  site.AddSale({.Id = 1, .Modified = yesterday + 10 * kHour});
  site.AddFact(1, kRivoAmount, 0, 999.0);
  site.AddSale({.Id = 2, .Modified = yesterday + 10 * kHour});

  auto data = collector->RetrieveAndEnd(RetrievalStatus(yesterday, today));

  EXPECT_EQ(FactOf(*FindSale(*data, 1), 0, kRivoAmount), 999.0);
  EXPECT_EQ(FactOf(*FindSale(*data, 1), 0, kRivoCars), std::nullopt);
  EXPECT_EQ(FactOf(*FindSale(*data, 2), 0, kRivoAmount), std::nullopt);
}

TEST_F(RetrievalTest, VanishedSalesAreListedOnceWhereLastSeen) {
  const TDateTime at = yesterday + 10 * kHour;
  site.AddSale({.Id = 1, .Modified = at, .ActualSaleId = 900});
  site.AddSale({.Id = 2, .Modified = at, .ActualSaleId = 901});
  site.AddSale({.Id = 3, .Modified = at, .ActualSaleId = 900});
  site.AddSale({.Id = 4, .Modified = at, .ActualSaleId = 1});  // still there: not deleted

  auto data = collector->RetrieveAndEnd(RetrievalStatus(yesterday, today));

  EXPECT_THAT(data->DeletedSales(), ElementsAre(901, 900));
  EXPECT_TRUE(Logged("Deleted Sales: 2"));
}

// A sale in both the current window and the history slice goes out twice;
// history reads punches of types R and O by date.
TEST_F(RetrievalTest, HistorySliceReadsSalesByLogDateAndPunchesByDate) {
  SeedEmployeeCache();
  const TDateTime sliceEnd = today - 2;
  site.AddSale({.Id = 1, .Modified = yesterday + 10 * kHour, .LogDate = sliceEnd});
  site.AddFact(1, 54181, 0, 4.0);
  site.AddSale({.Id = 2, .Modified = sliceEnd + 10 * kHour});
  site.AddSale({.Id = 3, .Modified = sliceEnd - 5});  // outside the slice
  site.AddPunch(3001, sliceEnd, "R");
  site.AddPunch(3001, sliceEnd, "O");
  site.AddPunch(3001, sliceEnd, "B");  // not read by date
  site.AddPunch(3002, sliceEnd - 3, "R");  // outside the slice
  site.Exec("DELETE FROM DC_PENDINGEMPDAYS_V111");

  auto data = collector->RetrieveAndEnd(
      RetrievalStatus(yesterday, today, sliceEnd - 1, sliceEnd));

  EXPECT_THAT(SaleIds(*data), ElementsAre(1, 1, 2));
  EXPECT_TRUE(Logged("Historical Sales / Facts: 2 / 2"));
  EXPECT_TRUE(Logged("Historical Timeclock Data: 2"));
  ASSERT_EQ(data->LaborData().size(), 1u);
  EXPECT_EQ(data->LaborData()[0]->Employee, 3001);
  EXPECT_EQ(data->LaborData()[0]->Punches.size(), 2u);
}

TEST_F(RetrievalTest, SingleHistoryFactReadsOnlyThatFactAndNoPunches) {
  SeedEmployeeCache();
  const TDateTime sliceEnd = today - 2;
  site.AddSale({.Id = 1, .Modified = sliceEnd + 10 * kHour});
  site.AddFact(1, kServiceHistory, 1, 4.0);
  site.AddFact(1, 54181, 0, 4.0);
  site.AddPass(1, 0, 10.0, 1.0);
  site.AddSale({.Id = 2, .Modified = sliceEnd + 11 * kHour});
  site.AddFact(2, 54181, 0, 4.0);
  site.AddPunch(3001, sliceEnd, "R");

  auto data = collector->RetrieveAndEnd(
      RetrievalStatus(yesterday, today, sliceEnd, sliceEnd, kServiceHistory));

  EXPECT_TRUE(Logged("Historical Sales / Facts: 1 / 1, single fact = 54711"));
  EXPECT_THAT(SaleIds(*data), ElementsAre(1));
  const TSaleRecord& sale = *data->SalesData()[0];
  EXPECT_EQ(FactOf(sale, 1, kServiceHistory), 4.0);
  EXPECT_EQ(FactOf(sale, 0, 54181), std::nullopt);
  EXPECT_EQ(FactOf(sale, 0, kRivoCars), 1.0);
  EXPECT_EQ(collector->Stats().GetHistLaborStart, 0);
  EXPECT_FALSE(LoggedStarting("Historical Timeclock Data"));
  // The single fact of an empty slice still names itself.
  log.clear();
  collector->RetrieveAndEnd(RetrievalStatus(yesterday, today, today - 30, today - 30, 54181));
  EXPECT_TRUE(Logged("Historical Sale / Facts: 0 / 0, single fact = 54181"));
}

TEST_F(RetrievalTest, SkippedHistoryReadsNothingByDate) {
  const TDateTime sliceEnd = today - 2;
  site.AddSale({.Id = 1, .Modified = sliceEnd + 10 * kHour});
  TDataCollectorStatusObj status = RetrievalStatus(yesterday, today, sliceEnd, sliceEnd);
  status.SkipHistory = true;

  auto data = collector->RetrieveAndEnd(status);

  EXPECT_THAT(data->SalesData(), IsEmpty());
  EXPECT_EQ(collector->Stats().GetHistSalesStart, 0);
  EXPECT_EQ(collector->Stats().GetHistLaborStart, 0);
}

// ------------------------------------------------------------ timeclock

TEST_F(RetrievalTest, PendingEmployeeDaysBecomeOneLaborRecordPerDay) {
  SeedEmployeeCache();
  site.AddPunch(4001, yesterday, "R", 2);
  site.AddPunch(4001, yesterday, "B", 3);  // a second change to the same day
  site.AddPunch(4001, today, "R", 2);
  const int32_t gone = site.AddPunch(4002, yesterday, "R", 4);
  site.Exec("DELETE FROM PunchInterval WHERE ObjID = " + std::to_string(gone));
  // A change noted days before the window start (an outage, a late commit) is
  // read like any other: the accepted post removes every pending row.
  site.Exec("INSERT INTO DC_PENDINGEMPDAYS_V111 (Employee, PunchDate, Modified) "
            "VALUES (4003, CURRENT_DATE - 9, CURRENT_DATE - 5)");

  auto data = collector->RetrieveAndEnd(RetrievalStatus(today + kHour / 60, DateTimeNow()));

  EXPECT_TRUE(Logged("Timeclock Data: 5")) << testing::PrintToString(log);
  ASSERT_EQ(data->LaborData().size(), 4u);
  struct Expected {
    int32_t employee;
    TDateTime day;
    size_t punches;
  };
  const Expected expected[] = {
      {4001, yesterday, 2}, {4001, today, 1}, {4002, yesterday, 0}, {4003, today - 9, 0}};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const TLaborRecord& record = *data->LaborData()[i];
    EXPECT_EQ(record.Employee, expected[i].employee);
    EXPECT_EQ(record.StartDay, expected[i].day);
    EXPECT_EQ(record.EndDay, expected[i].day);
    EXPECT_EQ(record.Punches.size(), expected[i].punches);
  }
  // Employees and roles of the punches are referenced; the days without
  // punches add their employee but no role.
  EXPECT_TRUE(Logged("Referenced Terminals / Services / Roles / Employees / Plans: 0 / 0 / 2 / 3 / 0"))
      << testing::PrintToString(log);
}

TEST_F(RetrievalTest, NewEmployeesAddThoseWhoPunchedToday) {
  site.AddPunch(4001, today, "R");
  site.AddPunch(4004, today, "O");
  site.AddPunch(4005, today, "B");        // other types do not count
  site.AddPunch(4006, yesterday, "R");    // nor other days
  site.Exec("DELETE FROM DC_PENDINGEMPDAYS_V111 WHERE Employee <> 4001");

  auto data = collector->RetrieveAndEnd(RetrievalStatus(today, DateTimeNow()));
  EXPECT_TRUE(data->NewEmployees());
  EXPECT_TRUE(Logged("1 additional punched employees for current day"));

  log.clear();
  SeedEmployeeCache();
  data = collector->RetrieveAndEnd(RetrievalStatus(today, DateTimeNow()));
  EXPECT_FALSE(data->NewEmployees());
  EXPECT_FALSE(LoggedStarting("0 additional") || LoggedStarting("1 additional"));
}

// ------------------------------------------------------------ reference

TEST(RetrievalIdSet, KeepsFirstSeenOrderWithoutDuplicates) {
  TIdSet set;
  EXPECT_TRUE(set.Add(3));
  EXPECT_TRUE(set.Add(-1));
  EXPECT_FALSE(set.Add(3));
  EXPECT_TRUE(set.Add(2147483647));
  EXPECT_THAT(IdLists(set), ElementsAre("(3,-1,2147483647)"));
  EXPECT_TRUE(set.Remove(-1));
  EXPECT_FALSE(set.Remove(-1));
  EXPECT_TRUE(set.Add(-1));  // appended again, at the end
  EXPECT_THAT(IdLists(set), ElementsAre("(3,2147483647,-1)"));

  // Split in set order into lists the engine accepts.
  struct Case {
    size_t ids;
    size_t perList;
    std::vector<std::string> lists;
  };
  const Case cases[] = {
      {0, 2, {}},
      {1, 2, {"(1)"}},
      {4, 2, {"(1,2)", "(3,4)"}},
      {5, 2, {"(1,2)", "(3,4)", "(5)"}},
      {3, 0, {"(1)", "(2)", "(3)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ids << " ids, " << c.perList << " per list");
    TIdSet ids;
    for (size_t i = 1; i <= c.ids; ++i) ids.Add(static_cast<int32_t>(i));
    EXPECT_EQ(IdLists(ids, c.perList), c.lists);
  }
  TIdSet many;
  for (int32_t i = 0; i < 2500; ++i) many.Add(i);
  EXPECT_EQ(IdLists(many).size(), 3u);
}

TEST_F(RetrievalTest, ActiveEmployeesAreSentOnceAndChangesAfterwards) {
  struct Case {
    TRetrievalSite::TEmployee employee;
    bool active;
  };
  const Case cases[] = {
      {{.Id = 2001}, true},                                 // active at all sites
      {{.Id = 2002, .ActiveAt = 1}, true},                  // at this site
      {{.Id = 2003, .ActiveAt = -5}, true},                 // in a group holding this site
      {{.Id = 2004, .ActiveAt = 2}, false},                 // at another site
      {{.Id = 2005, .Enabled = 0}, false},
      {{.Id = 2006, .Code = 0}, false},
      {{.Id = 2007, .HomeSite = 2}, false},
      {{.Id = 2008, .TermDate = yesterday}, false},
      {{.Id = 2009, .TermDate = today}, false},
      {{.Id = 2010, .TermDate = today + 1}, true},
  };
  std::vector<int32_t> active;
  for (const Case& c : cases) {
    site.AddEmployee(c.employee);
    if (c.active) active.push_back(c.employee.Id);
  }

  auto first = collector->RetrieveAndEnd(RetrievalStatus(yesterday, today));
  std::vector<int32_t> sent;
  for (const auto& e : first->Employees()) {
    sent.push_back(e->ObjId);
    EXPECT_TRUE(e->Enabled);
    EXPECT_EQ(e->MainPhone, "555-0100");  // trimmed
  }
  EXPECT_EQ(sent, active);
  EXPECT_TRUE(first->NewEmployees());
  EXPECT_TRUE(Logged("Total employees: 4, sent: 4")) << testing::PrintToString(log);
  EXPECT_EQ(first->EmpCategories().size(), 4u);

  collector->Begin();
  collector->CommitAcceptedData(first.get());
  collector->Commit();
  log.clear();
  auto second = collector->RetrieveAndEnd(RetrievalStatus(yesterday, today));
  EXPECT_FALSE(second->NewEmployees());
  EXPECT_THAT(second->Employees(), IsEmpty());
  EXPECT_THAT(second->EmpCategories(), IsEmpty());
  EXPECT_FALSE(LoggedStarting("Total employees: "));

  // TermDate becomes today: looked up by id and sent once as not enabled; a
  // renamed category is sent once.
  site.Exec("UPDATE Employee SET TermDate = CURRENT_DATE WHERE ObjID = 2010");
  site.Exec("UPDATE EmpCategory SET Name = 'Lead Cashier' WHERE ObjID = 2");
  log.clear();
  auto third = collector->RetrieveAndEnd(RetrievalStatus(yesterday, today));
  ASSERT_EQ(third->Employees().size(), 1u);
  EXPECT_EQ(third->Employees()[0]->ObjId, 2010);
  EXPECT_FALSE(third->Employees()[0]->Enabled);
  EXPECT_TRUE(Logged("Non Active Referenced Employees: 1"));
  EXPECT_TRUE(Logged("Total employees: 4, sent: 1"));
  ASSERT_EQ(third->EmpCategories().size(), 1u);
  EXPECT_EQ(third->EmpCategories()[0]->Name, "Lead Cashier");

  collector->Begin();
  collector->CommitAcceptedData(third.get());
  collector->Commit();
  auto fourth = collector->RetrieveAndEnd(RetrievalStatus(yesterday, today));
  EXPECT_THAT(fourth->Employees(), IsEmpty());
  EXPECT_THAT(fourth->EmpCategories(), IsEmpty());
}

TEST_F(RetrievalTest, ReferencedEmployeeOfAnotherSiteIsSentAsNotEnabled) {
  SeedEmployeeCache();
  site.AddEmployee({.Id = 2007, .HomeSite = 2});
  site.AddEmployee({.Id = 2011});
  site.AddSale({.Id = 1, .Modified = yesterday + 10 * kHour});
  site.AddSaleEmployee(1, 2007, 1, 1);  // role 1 has Typ 30
  site.AddSaleEmployee(1, 2011, 2, 2);  // role 2 does not: not read

  auto data = collector->RetrieveAndEnd(RetrievalStatus(yesterday, today));

  std::vector<std::pair<int32_t, bool>> sent;
  for (const auto& e : data->Employees()) sent.emplace_back(e->ObjId, e->Enabled);
  EXPECT_THAT(sent, UnorderedElementsAre(std::pair{2007, false}, std::pair{2011, true}));
  const TSaleRecord& sale = *data->SalesData()[0];
  EXPECT_EQ(sale.ActiveRolesMap, 1 << TSaleRecord::PCOffset(1));
  ASSERT_EQ(data->Roles().size(), 1u);
  EXPECT_EQ(data->Roles()[0]->ObjId, 1);
  EXPECT_EQ(data->Roles()[0]->Typ, 30);
}

TEST_F(RetrievalTest, CachedEmployeeDeletedFromTheSiteIsLookedUpAndNeverSent) {
  auto cached = std::make_unique<TEmployeeRecord>();
  cached->ObjId = 2020;
  cached->Enabled = true;
  collector->Cfg().SiteEmployees().Add("2020", std::move(cached));
  for (int cycle = 0; cycle < 2; ++cycle) {
    log.clear();
    auto data = collector->RetrieveAndEnd(RetrievalStatus(yesterday, today));
    EXPECT_TRUE(Logged("Non Active Referenced Employees: 1"));
    EXPECT_THAT(data->Employees(), IsEmpty());
  }
}

TEST_F(RetrievalTest, PriorSaleEmployeesOfTheDayOnTheFirstCycle) {
  site.AddEmployee({.Id = 2030, .HomeSite = 2});
  site.AddSale({.Id = 1, .Modified = today + 1 * kHour});  // before the window
  site.AddSaleEmployee(1, 2030, 3, 1);
  site.AddSale({.Id = 2, .Modified = yesterday + 1 * kHour});  // another day
  site.AddSaleEmployee(2, 2031, 3, 1);

  auto data = collector->RetrieveAndEnd(RetrievalStatus(today + 2 * kHour, DateTimeNow()));

  EXPECT_TRUE(Logged("Getting Sales employees for current day"));
  EXPECT_TRUE(Logged("1 sale employees added for prior sales for current day"));
  ASSERT_EQ(data->Employees().size(), 1u);
  EXPECT_EQ(data->Employees()[0]->ObjId, 2030);
  EXPECT_THAT(data->SalesData(), IsEmpty());  // prior sales are not sent

  log.clear();
  collector->RetrieveAndEnd(RetrievalStatus(today, DateTimeNow()));
  EXPECT_TRUE(Logged("No prior sale employees for current day"));
}

TEST_F(RetrievalTest, TerminalsOfTheSiteAndServicesLookedUpOncePerKey) {
  SeedEmployeeCache();
  const TDateTime at = yesterday + 10 * kHour;
  site.AddSale({.Id = 1, .Modified = at, .Terminal = 101});
  site.AddFact(1, kServiceHistory, 2, 11.0);  // bits 0, 1, 3: bit 0 is never looked at
  site.AddSale({.Id = 2, .Modified = at, .Terminal = 201});  // a terminal of another site
  site.AddFact(2, kServiceHistory, 2, 10.0);  // the same keys again
  site.AddSale({.Id = 3, .Modified = at, .Terminal = 101});
  site.AddFact(3, kServiceHistory, 1, 4096.0);  // bit 12 of PC 1: a disabled service

  auto data = collector->RetrieveAndEnd(RetrievalStatus(yesterday, today));

  ASSERT_EQ(data->Terminals().size(), 1u);
  EXPECT_EQ(data->Terminals()[0]->ObjId, 101);
  EXPECT_EQ(data->Terminals()[0]->Name, "Pay Station 1");
  std::vector<std::string> services;
  for (const auto& s : data->Services()) {
    services.push_back(std::to_string(s->PC) + ":" + std::to_string(s->Bit) + "=" +
                       std::to_string(s->ObjId));
  }
  EXPECT_THAT(services, ElementsAre("2:1=201", "2:3=203"));
  EXPECT_TRUE(Logged("Referenced Services Sent: 3"));
  EXPECT_TRUE(Logged("Referenced Terminals / Services / Roles / Employees / Plans: 2 / 3 / 0 / 0 / 0"))
      << testing::PrintToString(log);
  EXPECT_THAT(data->PlanTypes(), IsEmpty());
}

// ------------------------------------------------- stamps and failures

TEST_F(RetrievalTest, PhasesStampTheStatisticsInOrder) {
  SeedEmployeeCache();
  const TDateTime before = DateTimeNow();
  collector->RetrieveAndEnd(RetrievalStatus(yesterday, today, today - 3, today - 2));
  const TCycleStatistics& s = collector->Stats();
  const TDateTime stamps[] = {
      s.GetCurSalesStart, s.GetCurSalesEnd, s.GetHistSalesStart, s.GetHistSalesEnd,
      s.GetCurLaborStart, s.GetCurLaborEnd, s.GetHistLaborStart, s.GetHistLaborEnd,
      s.GetSaleEmpStart,  s.GetSaleEmpEnd,  s.ClearLaborStart,   s.ClearLaborEnd,
      s.GetRefTermStart,  s.GetRefTermEnd,  s.GetRefEmpStart,    s.GetRefEmpEnd,
      s.GetRefRoleStart,  s.GetRefRoleEnd,  s.GetRefSvcStart,    s.GetRefSvcEnd};
  TDateTime previous = before;
  for (size_t i = 0; i < std::size(stamps); ++i) {
    SCOPED_TRACE(i);
    EXPECT_GE(stamps[i], previous);
    previous = stamps[i];
  }
  EXPECT_LE(previous, DateTimeNow());
}

TEST_F(RetrievalTest, AFailureFreesTheDataClearsInitializedAndPassesTheErrorOn) {
  SeedEmployeeCache();
  site.AddSale({.Id = 1, .Modified = yesterday + 10 * kHour, .Shift = 300});
  collector->MarkInitialized();

  EXPECT_THROW(collector->RetrieveAndEnd(RetrievalStatus(yesterday, today)), ERangeError);

  EXPECT_FALSE(collector->Initialized());
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "Exception Error - reinitializing");
}

}  // namespace
