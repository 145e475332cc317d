// The status row of the collector (DC_STATUS): what the server has accepted,
// kept across restarts.
#include "collector/DataCollector.h"
#include "firebird/SiteDatabase.h"

std::unique_ptr<TDataCollectorStatusObj> TDataCollector::LoadStatus() {
  auto status = std::make_unique<TDataCollectorStatusObj>();
  TSiteQuery query(*LDB, "SELECT * FROM DC_STATUS");
  query.Open();
  if (query.Eof()) {
    status->LastCycleEnd = DateOf(DateTimeNow());
    return status;
  }
  status->ActiveHistoryStart = query.AsDateTime("ActiveHistoryStart");
  status->ActiveHistoryEnd = query.AsDateTime("ActiveHistoryEnd");
  status->LastSent = query.AsDateTime("LastSent");
  status->LastCycleEnd = query.AsDateTime("LastCycleEnd");
  status->ActiveHistoryFactID = static_cast<int32_t>(query.AsInteger("ActiveHistoryFact"));
  CheckHistoryAge(*status);
  query.Close();
  return status;
}

void TDataCollector::SaveStatus(const TDataCollectorStatusObj* Status) {
  if (Status == nullptr) return;
  TSiteQuery query(*LDB, "DELETE FROM DC_STATUS");
  query.ExecSQL();
  query.SetSQL(
      "INSERT INTO DC_STATUS(ActiveHistoryStart, ActiveHistoryEnd, LastSent, LastCycleEnd, "
      "ActiveHistoryFact) values(:ActiveHistoryStart, :ActiveHistoryEnd, :LastSent, "
      ":LastCycleEnd, :ActiveHistoryFact)");
  query.Prepare();
  // What is written must have passed the history-age rule; the caller's
  // object is left as it is.
  TDataCollectorStatusObj checked = *Status;
  CheckHistoryAge(checked);
  query.SetTimestamp("ActiveHistoryStart", checked.ActiveHistoryStart);
  query.SetTimestamp("ActiveHistoryEnd", checked.ActiveHistoryEnd);
  query.SetTimestamp("LastSent", checked.LastSent);
  query.SetTimestamp("LastCycleEnd", checked.LastCycleEnd);
  query.SetInteger("ActiveHistoryFact", checked.ActiveHistoryFactID);
  query.ExecSQL();
}
