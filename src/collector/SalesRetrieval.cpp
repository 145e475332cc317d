// The sales phases: the current window and the history window, the read they
// share, and the pass sums.
#include <algorithm>
#include <climits>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "collector/Retrieval.h"
#include "firebird/SiteDatabase.h"
#include "model/CollectedData.h"

namespace {

const char* const kSalesSelect =
    "SELECT s.*, sf.*,  CASE WHEN s.actualsaleid IS NOT NULL and s2.objid IS NULL       "
    "THEN s.actualsaleid        ELSE NULL  END AS actualdeletedsale  FROM Sale s  "
    "LEFT JOIN SaleFacts sf    ON s.site = sf.site AND s.objid = sf.saleid  "
    "LEFT JOIN Sale s2    ON s2.site = s.site AND s2.objid = s.actualsaleid  ";

const char* const kCurrentSalesWhere =
    "WHERE s.site = :Site and s.Modified >= :StartTS and s.Modified < :EndTS  "
    "and s.CREATED >= :MinHistory";

const char* const kHistoricalSalesWhere =
    "WHERE (s.site = :Site) and ((s.LogDate between :StartDate and :EndDate) "
    "and s.CREATED >= :MinHistory) ";

constexpr int kCarPassStatus = 0;
constexpr int kLastCountedPassStatus = 40;

}  // namespace

void TDataCollector::TRetrieval::RetrieveCurrentSales(const TDataCollectorStatusObj& status,
                                          TState& state) {
  LCurCycleStats.GetCurSalesStart = DateTimeNow();
  int64_t rows = 0;
  const int sales = ReadSales(
      WindowSelection(kCurrentSalesWhere, status.CurrentCycleStart, status.CurrentCycleEnd, state),
      kSalesOrder, state, rows);
  Log("Sales / Facts: " + std::to_string(sales) + " / " + std::to_string(rows));
  RetrieveLateSales(status, state);
  LCurCycleStats.GetCurSalesEnd = DateTimeNow();
}

TDataCollector::TRetrieval::TSalesSelection TDataCollector::TRetrieval::WindowSelection(const std::string& where,
                                                               TDateTime start, TDateTime end,
                                                               const TState& state) const {
  return {where, [site = LCfg->DBSite(), start, end, minHistory = state.MinHistory](TSiteQuery& query) {
            query.SetInteger("Site", site);
            query.SetTimestamp("StartTS", start);
            query.SetTimestamp("EndTS", end);
            query.SetTimestamp("MinHistory", minHistory);
          }};
}

// The pass sums are read first, so that each sale finds its sums as it is
// started; the selection is kept for the sale employees. With a fact filter
// (after the condition) only some of the selected sales are read, each
// finding its own sums among those of all of them.
int TDataCollector::TRetrieval::ReadSales(const TSalesSelection& selection, const std::string& filterAndOrder,
                              TState& state, int64_t& rows) {
  state.Selections.push_back(selection);
  ReadPassSums(selection.Where, selection.Bind, state);
  TSiteQuery query(*LDB, std::string(kSalesSelect) + selection.Where + filterAndOrder);
  selection.Bind(query);
  query.Open();
  return AddSalesFromQuery(query, state, rows);
}

std::string TDataCollector::TRetrieval::PassSumColumns() {
  return "sum(iif(SAP.Status = " + std::to_string(kCarPassStatus) +
         ", 1, 0)) RivoCarCount, sum(SAP.Amount) RivoSalesAmount, sum(SAP.Upsell) "
         "RivoAdditionalAmount";
}

std::string TDataCollector::TRetrieval::CountedPassCondition() {
  return "SAP.Status <= " + std::to_string(kLastCountedPassStatus);
}

// The sums the SalePasses query gives for one sale, for every sale that a
// sales condition selects, in one statement grouped by sale. A sale without
// counted passes has no row. Read only when the SalePasses query could be
// prepared for this connection: its sums then replace the Rivo facts of
// SaleFacts.
void TDataCollector::TRetrieval::ReadPassSums(const std::string& salesWhere,
                                  const std::function<void(TSiteQuery&)>& bind,
                                  TState& state) {
  state.PassSums.clear();
  if (!LSalePassesQry) return;
  TSiteQuery query(*LDB, "select SAP.SaleID, " + PassSumColumns() +
                             " from SalePasses SAP join Sale s on s.site = SAP.Site and s.objid "
                             "= SAP.SaleID " + salesWhere + " and " + CountedPassCondition() +
                             " group by SAP.SaleID");
  bind(query);
  for (query.Open(); !query.Eof(); query.Next()) {
    // Nulls read as 0, as from the query for one sale.
    state.PassSums[static_cast<int32_t>(query.AsInteger("SaleID"))] =
        TPassSums{static_cast<double>(query.AsInteger("RivoCarCount")),
                  query.AsFloat("RivoSalesAmount"), query.AsFloat("RivoAdditionalAmount")};
  }
}

void TDataCollector::TRetrieval::RetrieveHistoricalSales(const TDataCollectorStatusObj& status,
                                             TState& state) {
  LCurCycleStats.GetHistSalesStart = DateTimeNow();
  std::string factFilter;
  std::string suffix;
  if (status.ActiveHistoryFactID != 0) {
    factFilter = "AND (sf.fact = " + std::to_string(status.ActiveHistoryFactID) + ") ";
    suffix = ", single fact = " + std::to_string(status.ActiveHistoryFactID);
  }
  TSalesSelection slice{
      kHistoricalSalesWhere,
      [site = LCfg->DBSite(), start = status.CurrentHistoryStart, end = status.CurrentHistoryEnd,
       minHistory = state.MinHistory](TSiteQuery& query) {
        query.SetInteger("Site", site);
        query.SetDate("StartDate", start);
        query.SetDate("EndDate", end);
        query.SetDate("MinHistory", minHistory);
      }};
  int64_t rows = 0;
  const int sales = ReadSales(slice, factFilter + " ORDER BY s.site, s.objid ", state, rows);
  if (rows == 0) {
    Log("Historical Sale / Facts: 0 / 0" + suffix);
  } else {
    Log("Historical Sales / Facts: " + std::to_string(sales) + " / " + std::to_string(rows) +
        suffix);
  }
  LCurCycleStats.GetHistSalesEnd = DateTimeNow();
}

int TDataCollector::TRetrieval::AddSalesFromQuery(TSiteQuery& query, TState& state, int64_t& rows) {
  TRecordList<TSaleRecord>& sales = state.Data.SalesData();
  std::vector<int32_t>& deleted = state.Data.DeletedSales();
  std::unique_ptr<TSaleRecord> sale;
  int started = 0;

  auto finish = [&sales, &sale] {
    if (sale && sale->SaleID != 0) sales.push_back(std::move(sale));
    sale.reset();
  };

  for (; !query.Eof(); query.Next()) {
    ++rows;
    // A sale without facts has a NULL SaleID (0), so it never continues a record.
    if (sale && query.AsInteger("SaleID") != sale->SaleID) finish();
    if (!sale) {
      ++started;
      sale = std::make_unique<TSaleRecord>();
      sale->UpdateHeaderFromQuery(query);
      state.SaleVersions.push_back(
          TSaleVersion{DateTimeToMilliseconds(query.AsDateTime("Modified")), sale->SaleID});

      if (!query.IsNull("ActualDeletedSale")) {
        // Listed once, at the place where it was last seen.
        const auto id = static_cast<int32_t>(query.AsInteger("ActualDeletedSale"));
        deleted.erase(std::remove(deleted.begin(), deleted.end(), id), deleted.end());
        deleted.push_back(id);
      }
      if (sale->Terminal != 0) state.Terminals.Add(sale->Terminal);

      if (LSalePassesQry) {
        TPassSums sums;
        if (sale->Status != -9) {
          const auto found = state.PassSums.find(sale->SaleID);
          if (found != state.PassSums.end()) sums = found->second;
        }
        sale->AddFact(0, TSaleRecord::kRivoCarCountFactID, sums.Cars);
        sale->AddFact(0, TSaleRecord::kRivoSalesAmountFactID, sums.Amount);
        sale->AddFact(0, TSaleRecord::kRivoAdditionalAmountFactID, sums.Upsell);
      }
    }

    const auto fact = static_cast<int32_t>(query.AsInteger("Fact"));
    const bool passSum = fact == TSaleRecord::kRivoSalesAmountFactID ||
                         fact == TSaleRecord::kRivoCarCountFactID ||
                         fact == TSaleRecord::kRivoAdditionalAmountFactID;
    if (!(LSalePassesQry && passSum)) sale->AddRowFromSaleFactsQuery(query);
    if (fact == TSaleRecord::kServiceHistoryFactID) {
      TSaleServiceHistory history;
      history.ProfitCenter = static_cast<int32_t>(query.AsInteger("ProfitCenter"));
      history.HistoryBits = TSaleServiceHistory::BitsFromAmount(query.AsFloat("Data"));
      state.ServiceHistories.push_back(history);
    }
  }
  finish();
  return started;
}
