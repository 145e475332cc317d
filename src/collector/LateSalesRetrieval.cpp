// The late-sales look back of the current sales phase.
#include <climits>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "collector/Retrieval.h"
#include "firebird/SiteDatabase.h"

namespace {

// The sale versions stamped in the span just before the current window.
const char* const kLateSalesProbe =
    "SELECT s.ObjID, s.Modified FROM Sale s WHERE s.site = :Site and s.Modified >= :StartTS "
    "and s.Modified < :EndTS and s.CREATED >= :MinHistory";

const char* const kLateSalesWhere =
    "WHERE s.site = :Site and s.Modified >= :StartTS and s.Modified < :EndTS  "
    "and s.CREATED >= :MinHistory";

}  // namespace

// A sale's Modified stamp is set when its writer's statement runs, but the
// version becomes visible only when that transaction commits. A version
// committed after the snapshot of the cycle whose window held its stamp lies
// before every later window: without this look back it would never be sent.
// The look back reads the ids and stamps of the span before the window, and
// reads in full only the versions no accepted post of this process carried.
// After a restart nothing is remembered, so the span is sent once again; the
// server takes a sale sent twice as it takes one in both the current and the
// history window.
void TDataCollector::TRetrieval::RetrieveLateSales(const TDataCollectorStatusObj& status,
                                       TState& state) {
  const int64_t overlapMs = int64_t{LCfg->LateSalesOverlap()} * 60000;
  if (overlapMs <= 0 || status.CurrentCycleStart == 0) return;
  const int64_t windowStartMs = DateTimeToMilliseconds(status.CurrentCycleStart);
  const TDateTime lateStart = MillisecondsToDateTime(windowStartMs - overlapMs);
  // Versions stamped before the span are never looked for again.
  memory.SentSaleVersions.erase(memory.SentSaleVersions.begin(),
                          memory.SentSaleVersions.lower_bound(
                              TSaleVersion{DateTimeToMilliseconds(lateStart), INT32_MIN}));

  TIdSet late;
  size_t probed = 0;
  if (!memory.LateSalesProbe) memory.LateSalesProbe = std::make_unique<TSiteQuery>(*LDB, kLateSalesProbe);
  TSiteQuery& probe = *memory.LateSalesProbe;
  probe.SetInteger("Site", LCfg->DBSite());
  probe.SetTimestamp("StartTS", lateStart);
  probe.SetTimestamp("EndTS", status.CurrentCycleStart);
  probe.SetTimestamp("MinHistory", state.MinHistory);
  probe.Open();
  try {
    for (; !probe.Eof(); probe.Next()) {
      ++probed;
      const TSaleVersion version{DateTimeToMilliseconds(probe.AsDateTime("Modified")),
                                 static_cast<int32_t>(probe.AsInteger("ObjID"))};
      if (memory.SentSaleVersions.count(version) == 0) late.Add(version.SaleID);
    }
  } catch (...) {
    probe.Close();
    throw;
  }
  probe.Close();
  if (late.Ids.empty()) return;

  int sales = 0;
  int64_t rows = 0;
  // The same span again, in the same snapshot: each sale comes in the version
  // the probe saw, never in a later one that the current window holds. When
  // every version of the span is late (after a restart) the span is read
  // whole: long id lists cost Firebird more than the span itself.
  std::vector<std::string> conditions;
  if (late.Ids.size() == probed) {
    conditions.emplace_back(kLateSalesWhere);
  } else {
    for (const std::string& list : IdLists(late)) {
      conditions.push_back(kLateSalesWhere + (" and s.objid in " + list));
    }
  }
  for (const std::string& where : conditions) {
    sales += ReadSales(WindowSelection(where, lateStart, status.CurrentCycleStart, state),
                       kSalesOrder, state, rows);
  }
  Log("Late sales: " + std::to_string(sales));
}

