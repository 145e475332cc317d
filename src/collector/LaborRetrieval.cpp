// The labor phases: the pending employee days, today's punched employees and
// the history window's punches.
#include <memory>
#include <string>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "collector/Retrieval.h"
#include "firebird/SiteDatabase.h"
#include "model/CollectedData.h"

namespace {

const char* const kPendingDaysQuery =
    "select ped.Employee, ped.PunchDate, pi.* From (Select P1.Employee, P1.PunchDate From "
    "DC_pendingempdays_V111 p1 Where p1.Modified >= :Modified Group By P1.Employee, "
    "P1.PunchDate) ped Left join punchinterval pi on  pi.employee = ped.employee and "
    "pi.punchdate = ped.punchdate and pi.site = :Site order by ped.employee, ped.punchdate";

// Earlier than any stamp the trigger writes.
constexpr TDateTime kAnyPendingStamp = 0;

const char* const kPunchedTodayQuery =
    "SELECT max(P.Employee) FROM PunchInterval P WHERE P.Punchdate >= :pDate AND "
    "P.Site = :pSite AND P.PiType in ('R','O') GROUP BY P.Employee";

const char* const kHistoricalPunchesQuery =
    "SELECT * FROM punchinterval where (site = :Site) and (punchdate between :StartDate and "
    ":EndDate )and PiType in ('R','O') order by Employee, PunchDate";

// Every pending row, with its key in a form that compares exactly: the
// timestamp as text keeps its full precision, which a date-time value would
// round to milliseconds.
const char* const kPendingRowsQuery =
    "SELECT Employee, PunchDate, CAST(Modified AS VARCHAR(32)) AS ModifiedText "
    "FROM DC_PENDINGEMPDAYS_V111";

}  // namespace

void TDataCollector::TRetrieval::RetrievePendingLabor(const TDataCollectorStatusObj& /*status*/,
                                          TState& state) {
  LCurCycleStats.GetCurLaborStart = DateTimeNow();
  {
    TSiteQuery query(*LDB, kPendingDaysQuery);
    query.SetInteger("Site", LCfg->DBSite());
    // Every pending row is read, however old its stamp: the accepted post
    // deletes every row this transaction sees (ReadPendingEmpDays), so a day
    // left out here would be deleted unsent. Rows stamped before the current
    // window are normal after an outage, or when a change made before
    // midnight commits after it.
    query.SetTimestamp("Modified", kAnyPendingStamp);
    query.Open();
    if (!query.Eof()) {
      const int64_t rows = AddLaborFromQuery(query, state);
      Log("Timeclock Data: " + std::to_string(rows));
    }
    query.Close();

    if (state.Data.NewEmployees()) {
      query.SetSQL(kPunchedTodayQuery);
      query.SetDate("pDate", DateOf(DateTimeNow()));
      query.SetInteger("pSite", LCfg->DBSite());
      query.Open();
      int added = 0;
      for (; !query.Eof(); query.Next()) {
        if (state.Employees.Add(static_cast<int32_t>(query.AsInteger(query.FieldName(0))))) ++added;
      }
      Log(std::to_string(added) + " additional punched employees for current day");
      query.Close();
    }
  }
  LCurCycleStats.GetCurLaborEnd = DateTimeNow();
}

void TDataCollector::TRetrieval::RetrieveHistoricalLabor(const TDataCollectorStatusObj& status,
                                             TState& state) {
  LCurCycleStats.GetHistLaborStart = DateTimeNow();
  {
    TSiteQuery query(*LDB, kHistoricalPunchesQuery);
    query.SetInteger("Site", LCfg->DBSite());
    query.SetDate("StartDate", status.CurrentHistoryStart);
    query.SetDate("EndDate", status.CurrentHistoryEnd);
    query.Open();
    if (!query.Eof()) {
      // The rows are counted while they are read: the cursor runs forward only.
      const int64_t rows = AddLaborFromQuery(query, state);
      Log("Historical Timeclock Data: " + std::to_string(rows));
    }
  }
  LCurCycleStats.GetHistLaborEnd = DateTimeNow();
}

int64_t TDataCollector::TRetrieval::AddLaborFromQuery(TSiteQuery& query, TState& state) {
  TRecordList<TLaborRecord>& labor = state.Data.LaborData();
  std::unique_ptr<TLaborRecord> record;
  int64_t rows = 0;

  auto finish = [&labor, &record] {
    if (record && record->Employee != 0) labor.push_back(std::move(record));
    record.reset();
  };

  for (; !query.Eof(); query.Next()) {
    ++rows;
    const auto employee = static_cast<int32_t>(query.AsInteger("Employee"));
    if (record && (employee != record->Employee || query.AsDateTime("PunchDate") > record->EndDay)) {
      finish();
    }
    if (!record) record = std::make_unique<TLaborRecord>();
    record->AddRowFromLaborQuery(query);
    state.Employees.Add(employee);
    if (!query.IsNull("Department")) {
      state.Roles.Add(static_cast<int32_t>(query.AsInteger("Department")));
    }
  }
  finish();
  return rows;
}

// The pending rows are only noted here; CommitAcceptedData deletes them once
// the server has accepted the data built from them. Deleting them with the
// retrieval would lose the punch changes when the post then fails and the
// service stops before a resend succeeds.
void TDataCollector::TRetrieval::ReadPendingEmpDays(TState& state) {
  LCurCycleStats.ClearLaborStart = DateTimeNow();
  {
    TSiteQuery query(*LDB, kPendingRowsQuery);
    query.Open();
    for (; !query.Eof(); query.Next()) {
      TPendingEmpDay day;
      day.Employee = static_cast<int32_t>(query.AsInteger("Employee"));
      day.PunchDate = query.AsDateTime("PunchDate");
      day.Modified = query.AsString("ModifiedText");
      state.PendingEmpDays.push_back(std::move(day));
    }
  }
  LCurCycleStats.ClearLaborEnd = DateTimeNow();
}

