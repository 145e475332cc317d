// The status row: loading, saving, and its survival across connections.
#include <gtest/gtest.h>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "firebird/SiteDatabase.h"
#include "support/FixtureDatabase.h"
#include "support/SiteTestCollector.h"

namespace {

// A recent day with a time of day: inside the three-year history limit.
TDateTime DaysAgo(int days, int hour = 0, int minute = 0, int second = 0, int ms = 0) {
  return DateOf(DateTimeNow()) - days + (((hour * 60 + minute) * 60 + second) * 1000 + ms) / 86400000.0;
}

class StatusTest : public testing::TestWithParam<TConnectionMode> {
 protected:
  void SetUp() override {
    if (GetParam() == TConnectionMode::Server && FirebirdServer().empty()) {
      GTEST_SKIP() << "DC_FIREBIRD_SERVER is not set: the client/server path is not tested";
    }
    fixture_ = std::make_unique<TFixtureDatabase>(TSiteFixtureOptions{}, GetParam());
    Reconnect();
    collector_.VerifyDBStructures(false);
    collector_.TakeLines();
    collector_.StartTransaction();
  }

  void Reconnect() {
    collector_.CloseDatabase();
    fixture_->Connect(collector_.Database());
  }

  void Exec(const std::string& sql) {
    TSiteQuery query(collector_.Database(), sql);
    query.ExecSQL();
  }

  int64_t Rows() {
    TSiteQuery query(collector_.Database(), "select count(*) cnt from DC_STATUS");
    query.Open();
    return query.AsInteger("cnt");
  }

  std::unique_ptr<TFixtureDatabase> fixture_;
  TSiteTestCollector collector_;
};

TEST_P(StatusTest, EmptyTableStartsAtTodaysMidnight) {
  const TDateTime before = DateOf(DateTimeNow());
  const auto status = collector_.LoadStatus();
  const TDateTime after = DateOf(DateTimeNow());
  TDataCollectorStatusObj expected;
  expected.LastCycleEnd = status->LastCycleEnd;
  EXPECT_EQ(*status, expected);  // every other field 0
  EXPECT_TRUE(status->LastCycleEnd == before || status->LastCycleEnd == after);
  EXPECT_EQ(status->LastCycleEnd, DateOf(status->LastCycleEnd));
  EXPECT_EQ(collector_.TakeLines(), std::vector<std::string>{});
}

TEST_P(StatusTest, SavedRowSurvivesReconnectToTheMillisecond) {
  TDataCollectorStatusObj saved;
  saved.ActiveHistoryStart = DaysAgo(40);
  saved.ActiveHistoryEnd = DaysAgo(31, 23, 59, 59, 999);
  saved.ActiveHistoryFactID = 54711;
  saved.LastSent = DaysAgo(0, 14, 5, 9, 123);
  saved.LastCycleEnd = DaysAgo(0, 14, 5, 9, 1);
  // The windows of the cycle are not stored.
  saved.CurrentCycleStart = DaysAgo(1);
  saved.CurrentHistoryEnd = DaysAgo(2);
  saved.SkipHistory = true;
  collector_.SaveStatus(&saved);
  collector_.CommitTransaction();
  Reconnect();
  collector_.StartTransaction();

  const auto loaded = collector_.LoadStatus();
  TDataCollectorStatusObj expected;
  expected.ActiveHistoryStart = saved.ActiveHistoryStart;
  expected.ActiveHistoryEnd = saved.ActiveHistoryEnd;
  expected.ActiveHistoryFactID = saved.ActiveHistoryFactID;
  expected.LastSent = saved.LastSent;
  expected.LastCycleEnd = saved.LastCycleEnd;
  EXPECT_EQ(*loaded, expected);
  for (auto field : {&TDataCollectorStatusObj::ActiveHistoryStart, &TDataCollectorStatusObj::ActiveHistoryEnd,
                     &TDataCollectorStatusObj::LastSent, &TDataCollectorStatusObj::LastCycleEnd}) {
    EXPECT_EQ(DateTimeToMilliseconds((*loaded).*field), DateTimeToMilliseconds(saved.*field));
  }
}

TEST_P(StatusTest, ZeroTimesAreStoredAsTheEpochAndReadBackAsZero) {
  TDataCollectorStatusObj saved;
  saved.LastCycleEnd = DaysAgo(0, 8);
  collector_.SaveStatus(&saved);
  TSiteQuery row(collector_.Database(), "select count(*) cnt from DC_STATUS where "
                                        "ActiveHistoryStart = '1899-12-30 00:00:00' and "
                                        "LastSent = '1899-12-30' and ActiveHistoryFact = 0");
  row.Open();
  EXPECT_EQ(row.AsInteger("cnt"), 1);
  row.Close();
  EXPECT_EQ(*collector_.LoadStatus(), saved);
}

TEST_P(StatusTest, RowOfAnOlderVersionHasNoFact) {
  Exec("insert into DC_STATUS (ActiveHistoryStart, ActiveHistoryEnd, LastSent, LastCycleEnd) "
       "values (null, null, null, '2024-03-01 09:55:00.5')");
  const auto status = collector_.LoadStatus();
  EXPECT_EQ(status->ActiveHistoryFactID, 0);
  EXPECT_EQ(status->ActiveHistoryStart, 0.0);
  EXPECT_EQ(status->LastSent, 0.0);
  EXPECT_EQ(status->LastCycleEnd, EncodeDateTime(2024, 3, 1, 9, 55, 0, 500));
}

TEST_P(StatusTest, FirstOfTwoRowsIsUsedAndASaveLeavesOne) {
  Exec("insert into DC_STATUS (ActiveHistoryFact, LastCycleEnd) values (7, '2024-03-01')");
  Exec("insert into DC_STATUS (ActiveHistoryFact, LastCycleEnd) values (8, '2024-03-02')");
  const auto status = collector_.LoadStatus();
  EXPECT_EQ(status->ActiveHistoryFactID, 7);
  collector_.SaveStatus(status.get());
  EXPECT_EQ(Rows(), 1);
}

TEST_P(StatusTest, SavingNothingDeletesNothing) {
  Exec("insert into DC_STATUS (LastCycleEnd) values ('2024-03-01')");
  collector_.SaveStatus(nullptr);
  EXPECT_EQ(Rows(), 1);
}

TEST_P(StatusTest, HistoryOlderThanThreeYearsIsNeitherWrittenNorRead) {
  TDataCollectorStatusObj saved;
  saved.ActiveHistoryStart = DaysAgo(3 * 366 + 10);
  saved.ActiveHistoryEnd = DaysAgo(20);
  saved.ActiveHistoryFactID = 3;
  saved.LastCycleEnd = DaysAgo(0, 6);
  collector_.SaveStatus(&saved);
  EXPECT_EQ(collector_.TakeLines(),
            std::vector<std::string>{"History sending stopped. Detected date older than 3 years ago"});
  TDataCollectorStatusObj expected;
  expected.LastCycleEnd = saved.LastCycleEnd;
  EXPECT_EQ(*collector_.LoadStatus(), expected);

  // A row written by someone else with an old date is cleared when read.
  Exec("update DC_STATUS set ActiveHistoryEnd = '2001-01-01', ActiveHistoryFact = 9");
  EXPECT_EQ(*collector_.LoadStatus(), expected);
  EXPECT_EQ(collector_.TakeLines(),
            std::vector<std::string>{"History sending stopped. Detected date older than 3 years ago"});
}

TEST_P(StatusTest, RollbackKeepsTheEarlierRow) {
  TDataCollectorStatusObj first;
  first.LastCycleEnd = DaysAgo(1, 10);
  collector_.SaveStatus(&first);
  collector_.CommitTransaction();
  collector_.StartTransaction();
  TDataCollectorStatusObj second;
  second.LastCycleEnd = DaysAgo(0, 10);
  collector_.SaveStatus(&second);
  collector_.RollbackTransaction();
  collector_.StartTransaction();
  EXPECT_EQ(collector_.LoadStatus()->LastCycleEnd, first.LastCycleEnd);
}

TEST_P(StatusTest, MissingTableRaises) {
  collector_.CommitTransaction();
  collector_.VerifyDBStructures(true);
  collector_.StartTransaction();
  EXPECT_THROW(collector_.LoadStatus(), EDatabaseError);
  TDataCollectorStatusObj status;
  EXPECT_THROW(collector_.SaveStatus(&status), EDatabaseError);
}

INSTANTIATE_TEST_SUITE_P(Modes, StatusTest,
                         testing::Values(TConnectionMode::Embedded, TConnectionMode::Server),
                         [](const testing::TestParamInfo<TConnectionMode>& info) {
                           return ConnectionModeName(info.param);
                         });

}  // namespace
