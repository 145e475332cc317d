#include <memory>
#include <string>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "collector/DataCollector.h"
#include "collector/SiteDatabase.h"
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

const char* const kDeletePendingRow =
    "DELETE FROM DC_PENDINGEMPDAYS_V111 WHERE Employee = :Employee AND PunchDate = :PunchDate "
    "AND Modified = CAST(:Modified AS TIMESTAMP)";

}  // namespace

void TDataCollector::RetrievePendingLabor(const TDataCollectorStatusObj& /*Status*/,
                                          TRetrievalState& State) {
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
      const int64_t rows = AddLaborFromQuery(query, State);
      Log("Timeclock Data: " + std::to_string(rows));
    }
    query.Close();

    if (State.Data.NewEmployees()) {
      query.SetSQL(kPunchedTodayQuery);
      query.SetDate("pDate", DateOf(DateTimeNow()));
      query.SetInteger("pSite", LCfg->DBSite());
      query.Open();
      int added = 0;
      for (; !query.Eof(); query.Next()) {
        if (State.Employees.Add(static_cast<int32_t>(query.AsInteger(query.FieldName(0))))) ++added;
      }
      Log(std::to_string(added) + " additional punched employees for current day");
      query.Close();
    }
  }
  LCurCycleStats.GetCurLaborEnd = DateTimeNow();
}

void TDataCollector::RetrieveHistoricalLabor(const TDataCollectorStatusObj& Status,
                                             TRetrievalState& State) {
  LCurCycleStats.GetHistLaborStart = DateTimeNow();
  {
    TSiteQuery query(*LDB, kHistoricalPunchesQuery);
    query.SetInteger("Site", LCfg->DBSite());
    query.SetDate("StartDate", Status.CurrentHistoryStart);
    query.SetDate("EndDate", Status.CurrentHistoryEnd);
    query.Open();
    if (!query.Eof()) {
      // The rows are counted while they are read: the cursor runs forward only.
      const int64_t rows = AddLaborFromQuery(query, State);
      Log("Historical Timeclock Data: " + std::to_string(rows));
    }
  }
  LCurCycleStats.GetHistLaborEnd = DateTimeNow();
}

int64_t TDataCollector::AddLaborFromQuery(TSiteQuery& Query, TRetrievalState& State) {
  TRecordList<TLaborRecord>& labor = State.Data.LaborData();
  std::unique_ptr<TLaborRecord> record;
  int64_t rows = 0;

  auto finish = [&labor, &record] {
    if (record && record->Employee != 0) labor.push_back(std::move(record));
    record.reset();
  };

  for (; !Query.Eof(); Query.Next()) {
    ++rows;
    const auto employee = static_cast<int32_t>(Query.AsInteger("Employee"));
    if (record && (employee != record->Employee || Query.AsDateTime("PunchDate") > record->EndDay)) {
      finish();
    }
    if (!record) record = std::make_unique<TLaborRecord>();
    record->AddRowFromLaborQuery(Query);
    State.Employees.Add(employee);
    if (!Query.IsNull("Department")) {
      State.Roles.Add(static_cast<int32_t>(Query.AsInteger("Department")));
    }
  }
  finish();
  return rows;
}

// The pending rows are only noted here; CommitAcceptedData deletes them once
// the server has accepted the data built from them. Deleting them with the
// retrieval would lose the punch changes when the post then fails and the
// service stops before a resend succeeds.
void TDataCollector::ReadPendingEmpDays(TRetrievalState& State) {
  LCurCycleStats.ClearLaborStart = DateTimeNow();
  {
    TSiteQuery query(*LDB, kPendingRowsQuery);
    query.Open();
    for (; !query.Eof(); query.Next()) {
      TPendingEmpDay day;
      day.Employee = static_cast<int32_t>(query.AsInteger("Employee"));
      day.PunchDate = query.AsDateTime("PunchDate");
      day.Modified = query.AsString("ModifiedText");
      State.PendingEmpDays.push_back(std::move(day));
    }
  }
  LCurCycleStats.ClearLaborEnd = DateTimeNow();
}

void TDataCollector::CommitAcceptedData(const TCollectedData* Data) {
  if (Data == nullptr) return;
  if (Data == LPendingEmpDaysData) {
    if (!LPendingEmpDays.empty()) {
      TSiteQuery query(*LDB, kDeletePendingRow);
      for (const TPendingEmpDay& day : LPendingEmpDays) {
        query.SetInteger("Employee", day.Employee);
        query.SetDate("PunchDate", day.PunchDate);
        query.SetText("Modified", day.Modified);
        query.ExecSQL();
      }
    }
    LSentSaleVersions.insert(LSaleVersionsRead.begin(), LSaleVersionsRead.end());
    LPendingEmpDays.clear();
    LSaleVersionsRead.clear();
    LPendingEmpDaysData = nullptr;
  }

  TKeyedObjectCache& employees = LCfg->SiteEmployees();
  for (const auto& sent : Data->Employees()) {
    const std::string key = std::to_string(sent->ObjId);
    if (TEmployeeRecord* cached = employees.Find<TEmployeeRecord>(key)) {
      cached->Assign(*sent);
    } else {
      auto copy = std::make_unique<TEmployeeRecord>();
      copy->Assign(*sent);
      employees.Add(key, std::move(copy));
    }
  }

  TOwningObjectList& categories = LCfg->EmpCategories();
  for (const auto& sent : Data->EmpCategories()) {
    TEmpCategory* cached = nullptr;
    for (int i = 0; i < categories.Count() && cached == nullptr; ++i) {
      TEmpCategory* entry = categories.Item<TEmpCategory>(i);
      if (entry != nullptr && entry->ObjId == sent->ObjId) cached = entry;
    }
    if (cached != nullptr) {
      cached->Name = sent->Name;
    } else {
      categories.Add(std::make_unique<TEmpCategory>(*sent));
    }
  }
}
