#include <algorithm>
#include <climits>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "collector/DataCollector.h"
#include "collector/SiteDatabase.h"
#include "model/CollectedData.h"

namespace {

// No sale created more than 26304 hours (1096 days) before now is read.
constexpr double kMinHistoryDays = 26304.0 / 24.0;

const char* const kSalesSelect =
    "SELECT s.*, sf.*,  CASE WHEN s.actualsaleid IS NOT NULL and s2.objid IS NULL       "
    "THEN s.actualsaleid        ELSE NULL  END AS actualdeletedsale  FROM Sale s  "
    "LEFT JOIN SaleFacts sf    ON s.site = sf.site AND s.objid = sf.saleid  "
    "LEFT JOIN Sale s2    ON s2.site = s.site AND s2.objid = s.actualsaleid  ";

const char* const kCurrentSalesWhere =
    "WHERE s.site = :Site and s.Modified >= :StartTS and s.Modified < :EndTS  "
    "and s.CREATED >= :MinHistory";

const char* const kSalesOrder = "  ORDER BY s.site, s.objid";

const char* const kHistoricalSalesWhere =
    "WHERE (s.site = :Site) and ((s.LogDate between :StartDate and :EndDate) "
    "and s.CREATED >= :MinHistory) ";

constexpr int kCarPassStatus = 0;
constexpr int kLastCountedPassStatus = 40;

// The sale versions stamped in the span just before the current window.
const char* const kLateSalesProbe =
    "SELECT s.ObjID, s.Modified FROM Sale s WHERE s.site = :Site and s.Modified >= :StartTS "
    "and s.Modified < :EndTS and s.CREATED >= :MinHistory";

const char* const kLateSalesWhere =
    "WHERE s.site = :Site and s.Modified >= :StartTS and s.Modified < :EndTS  "
    "and s.CREATED >= :MinHistory";

// Gives the rest of the time slice to the site product between phases.
void YieldSlice() { std::this_thread::yield(); }

}  // namespace

bool TDataCollector::TIdSet::Add(int32_t id) {
  if (!Members.insert(id).second) return false;
  Ids.push_back(id);
  return true;
}

bool TDataCollector::TIdSet::Remove(int32_t id) {
  if (Members.erase(id) == 0) return false;
  Ids.erase(std::find(Ids.begin(), Ids.end(), id));
  return true;
}

void TDataCollector::TIdSet::Clear() {
  Ids.clear();
  Members.clear();
}

std::vector<std::string> TDataCollector::IdLists(const TIdSet& Set, size_t MaxPerList) {
  std::vector<std::string> lists;
  const size_t step = std::max<size_t>(MaxPerList, 1);
  for (size_t first = 0; first < Set.Ids.size(); first += step) {
    const size_t last = std::min(first + step, Set.Ids.size());
    std::string list = "(";
    for (size_t i = first; i < last; ++i) {
      if (i != first) list += ',';
      list += std::to_string(Set.Ids[i]);
    }
    lists.push_back(list + ")");
  }
  return lists;
}

std::unique_ptr<TCollectedData> TDataCollector::RetrieveData(const TDataCollectorStatusObj& Status) {
  LPendingEmpDays.clear();
  LSaleVersionsRead.clear();
  LPendingEmpDaysData = nullptr;
  auto data = std::make_unique<TCollectedData>();
  try {
    TRetrievalState state(*data);
    state.MinHistory = DateOf(DateTimeNow() - kMinHistoryDays);
    data->SetNewEmployees(LCfg->SiteEmployees().Empty());
    const bool historyRuns = !Status.SkipHistory && Status.CurrentHistoryEnd != 0;

    RetrieveCurrentSales(Status, state);
    YieldSlice();
    if (historyRuns) RetrieveHistoricalSales(Status, state);
    YieldSlice();
    RetrievePendingLabor(Status, state);
    YieldSlice();
    if (historyRuns && Status.ActiveHistoryFactID == 0) RetrieveHistoricalLabor(Status, state);
    YieldSlice();
    RetrieveSaleEmployees(Status, state);
    YieldSlice();
    ReadPendingEmpDays(state);
    LogReferenceSummary(state);
    RetrieveTerminals(state);
    YieldSlice();
    RetrieveEmployees(state);
    YieldSlice();
    RetrieveRoles(state);
    YieldSlice();
    RetrieveServices(state);
    YieldSlice();

    LPendingEmpDays = std::move(state.PendingEmpDays);
    LSaleVersionsRead = std::move(state.SaleVersions);
    LPendingEmpDaysData = data.get();
  } catch (...) {
    data.reset();
    FInitialized = false;
    Log("Exception Error - reinitializing");
    throw;
  }
  return data;
}

void TDataCollector::RetrieveCurrentSales(const TDataCollectorStatusObj& Status,
                                          TRetrievalState& State) {
  LCurCycleStats.GetCurSalesStart = DateTimeNow();
  int64_t rows = 0;
  const int sales = ReadSales(
      WindowSelection(kCurrentSalesWhere, Status.CurrentCycleStart, Status.CurrentCycleEnd, State),
      kSalesOrder, State, rows);
  Log("Sales / Facts: " + std::to_string(sales) + " / " + std::to_string(rows));
  RetrieveLateSales(Status, State);
  LCurCycleStats.GetCurSalesEnd = DateTimeNow();
}

TDataCollector::TSalesSelection TDataCollector::WindowSelection(const std::string& Where,
                                                               TDateTime Start, TDateTime End,
                                                               const TRetrievalState& State) const {
  return {Where, [site = LCfg->DBSite(), Start, End, minHistory = State.MinHistory](TSiteQuery& query) {
            query.SetInteger("Site", site);
            query.SetTimestamp("StartTS", Start);
            query.SetTimestamp("EndTS", End);
            query.SetTimestamp("MinHistory", minHistory);
          }};
}

// The pass sums are read first, so that each sale finds its sums as it is
// started; the selection is kept for the sale employees. With a fact filter
// (after the condition) only some of the selected sales are read, each
// finding its own sums among those of all of them.
int TDataCollector::ReadSales(const TSalesSelection& Selection, const std::string& FilterAndOrder,
                              TRetrievalState& State, int64_t& Rows) {
  State.Selections.push_back(Selection);
  ReadPassSums(Selection.Where, Selection.Bind, State);
  TSiteQuery query(*LDB, std::string(kSalesSelect) + Selection.Where + FilterAndOrder);
  Selection.Bind(query);
  query.Open();
  return AddSalesFromQuery(query, State, Rows);
}

std::string TDataCollector::PassSumColumns() {
  return "sum(iif(SAP.Status = " + std::to_string(kCarPassStatus) +
         ", 1, 0)) RivoCarCount, sum(SAP.Amount) RivoSalesAmount, sum(SAP.Upsell) "
         "RivoAdditionalAmount";
}

std::string TDataCollector::CountedPassCondition() {
  return "SAP.Status <= " + std::to_string(kLastCountedPassStatus);
}

// The sums the SalePasses query gives for one sale, for every sale that a
// sales condition selects, in one statement grouped by sale. A sale without
// counted passes has no row. Read only when the SalePasses query could be
// prepared for this connection: its sums then replace the Rivo facts of
// SaleFacts.
void TDataCollector::ReadPassSums(const std::string& SalesWhere,
                                  const std::function<void(TSiteQuery&)>& Bind,
                                  TRetrievalState& State) {
  State.PassSums.clear();
  if (!LSalePassesQry) return;
  TSiteQuery query(*LDB, "select SAP.SaleID, " + PassSumColumns() +
                             " from SalePasses SAP join Sale s on s.site = SAP.Site and s.objid "
                             "= SAP.SaleID " + SalesWhere + " and " + CountedPassCondition() +
                             " group by SAP.SaleID");
  Bind(query);
  for (query.Open(); !query.Eof(); query.Next()) {
    // Nulls read as 0, as from the query for one sale.
    State.PassSums[static_cast<int32_t>(query.AsInteger("SaleID"))] =
        TPassSums{static_cast<double>(query.AsInteger("RivoCarCount")),
                  query.AsFloat("RivoSalesAmount"), query.AsFloat("RivoAdditionalAmount")};
  }
}

// A sale's Modified stamp is set when its writer's statement runs, but the
// version becomes visible only when that transaction commits. A version
// committed after the snapshot of the cycle whose window held its stamp lies
// before every later window: without this look back it would never be sent.
// The look back reads the ids and stamps of the span before the window, and
// reads in full only the versions no accepted post of this process carried.
// After a restart nothing is remembered, so the span is sent once again; the
// server takes a sale sent twice as it takes one in both the current and the
// history window.
void TDataCollector::RetrieveLateSales(const TDataCollectorStatusObj& Status,
                                       TRetrievalState& State) {
  const int64_t overlapMs = int64_t{LCfg->LateSalesOverlap()} * 60000;
  if (overlapMs <= 0 || Status.CurrentCycleStart == 0) return;
  const int64_t windowStartMs = DateTimeToMilliseconds(Status.CurrentCycleStart);
  const TDateTime lateStart = MillisecondsToDateTime(windowStartMs - overlapMs);
  // Versions stamped before the span are never looked for again.
  LSentSaleVersions.erase(LSentSaleVersions.begin(),
                          LSentSaleVersions.lower_bound(
                              TSaleVersion{DateTimeToMilliseconds(lateStart), INT32_MIN}));

  TIdSet late;
  size_t probed = 0;
  if (!LLateSalesProbe) LLateSalesProbe = std::make_unique<TSiteQuery>(*LDB, kLateSalesProbe);
  TSiteQuery& probe = *LLateSalesProbe;
  probe.SetInteger("Site", LCfg->DBSite());
  probe.SetTimestamp("StartTS", lateStart);
  probe.SetTimestamp("EndTS", Status.CurrentCycleStart);
  probe.SetTimestamp("MinHistory", State.MinHistory);
  probe.Open();
  try {
    for (; !probe.Eof(); probe.Next()) {
      ++probed;
      const TSaleVersion version{DateTimeToMilliseconds(probe.AsDateTime("Modified")),
                                 static_cast<int32_t>(probe.AsInteger("ObjID"))};
      if (LSentSaleVersions.count(version) == 0) late.Add(version.SaleID);
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
    sales += ReadSales(WindowSelection(where, lateStart, Status.CurrentCycleStart, State),
                       kSalesOrder, State, rows);
  }
  Log("Late sales: " + std::to_string(sales));
}

void TDataCollector::RetrieveHistoricalSales(const TDataCollectorStatusObj& Status,
                                             TRetrievalState& State) {
  LCurCycleStats.GetHistSalesStart = DateTimeNow();
  std::string factFilter;
  std::string suffix;
  if (Status.ActiveHistoryFactID != 0) {
    factFilter = "AND (sf.fact = " + std::to_string(Status.ActiveHistoryFactID) + ") ";
    suffix = ", single fact = " + std::to_string(Status.ActiveHistoryFactID);
  }
  TSalesSelection slice{
      kHistoricalSalesWhere,
      [site = LCfg->DBSite(), start = Status.CurrentHistoryStart, end = Status.CurrentHistoryEnd,
       minHistory = State.MinHistory](TSiteQuery& query) {
        query.SetInteger("Site", site);
        query.SetDate("StartDate", start);
        query.SetDate("EndDate", end);
        query.SetDate("MinHistory", minHistory);
      }};
  int64_t rows = 0;
  const int sales = ReadSales(slice, factFilter + " ORDER BY s.site, s.objid ", State, rows);
  if (rows == 0) {
    Log("Historical Sale / Facts: 0 / 0" + suffix);
  } else {
    Log("Historical Sales / Facts: " + std::to_string(sales) + " / " + std::to_string(rows) +
        suffix);
  }
  LCurCycleStats.GetHistSalesEnd = DateTimeNow();
}

int TDataCollector::AddSalesFromQuery(TSiteQuery& Query, TRetrievalState& State, int64_t& Rows) {
  TRecordList<TSaleRecord>& sales = State.Data.SalesData();
  std::vector<int32_t>& deleted = State.Data.DeletedSales();
  std::unique_ptr<TSaleRecord> sale;
  int started = 0;

  auto finish = [&sales, &sale] {
    if (sale && sale->SaleID != 0) sales.push_back(std::move(sale));
    sale.reset();
  };

  for (; !Query.Eof(); Query.Next()) {
    ++Rows;
    // A sale without facts has a NULL SaleID (0), so it never continues a record.
    if (sale && Query.AsInteger("SaleID") != sale->SaleID) finish();
    if (!sale) {
      ++started;
      sale = std::make_unique<TSaleRecord>();
      sale->UpdateHeaderFromQuery(Query);
      State.SaleVersions.push_back(
          TSaleVersion{DateTimeToMilliseconds(Query.AsDateTime("Modified")), sale->SaleID});

      if (!Query.IsNull("ActualDeletedSale")) {
        // Listed once, at the place where it was last seen.
        const auto id = static_cast<int32_t>(Query.AsInteger("ActualDeletedSale"));
        deleted.erase(std::remove(deleted.begin(), deleted.end(), id), deleted.end());
        deleted.push_back(id);
      }
      if (sale->Terminal != 0) State.Terminals.Add(sale->Terminal);

      if (LSalePassesQry) {
        TPassSums sums;
        if (sale->Status != -9) {
          const auto found = State.PassSums.find(sale->SaleID);
          if (found != State.PassSums.end()) sums = found->second;
        }
        sale->AddFact(0, TSaleRecord::kRivoCarCountFactID, sums.Cars);
        sale->AddFact(0, TSaleRecord::kRivoSalesAmountFactID, sums.Amount);
        sale->AddFact(0, TSaleRecord::kRivoAdditionalAmountFactID, sums.Upsell);
      }
    }

    const auto fact = static_cast<int32_t>(Query.AsInteger("Fact"));
    const bool passSum = fact == TSaleRecord::kRivoSalesAmountFactID ||
                         fact == TSaleRecord::kRivoCarCountFactID ||
                         fact == TSaleRecord::kRivoAdditionalAmountFactID;
    if (!(LSalePassesQry && passSum)) sale->AddRowFromSaleFactsQuery(Query);
    if (fact == TSaleRecord::kServiceHistoryFactID) {
      TSaleServiceHistory history;
      history.ProfitCenter = static_cast<int32_t>(Query.AsInteger("ProfitCenter"));
      history.HistoryBits = TSaleServiceHistory::BitsFromAmount(Query.AsFloat("Data"));
      State.ServiceHistories.push_back(history);
    }
  }
  finish();
  return started;
}
