#include <algorithm>
#include <exception>
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
    "and s.CREATED >= :MinHistory  ORDER BY s.site, s.objid";

const char* const kHistoricalSalesWhere =
    "WHERE (s.site = :Site) and ((s.LogDate between :StartDate and :EndDate) "
    "and s.CREATED >= :MinHistory) ";

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

std::string TDataCollector::IdList(const TIdSet& Set) {
  std::string list = "(";
  for (size_t i = 0; i < Set.Ids.size(); ++i) {
    if (i != 0) list += ',';
    list += std::to_string(Set.Ids[i]);
  }
  return list + ")";
}

std::unique_ptr<TCollectedData> TDataCollector::RetrieveData(const TDataCollectorStatusObj& Status) {
  LPendingEmpDays.clear();
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
  {
    TSiteQuery query(*LDB, std::string(kSalesSelect) + kCurrentSalesWhere);
    query.SetInteger("Site", LCfg->DBSite());
    query.SetTimestamp("StartTS", Status.CurrentCycleStart);
    query.SetTimestamp("EndTS", Status.CurrentCycleEnd);
    query.SetTimestamp("MinHistory", State.MinHistory);
    query.Open();
    if (query.Eof()) {
      Log("Sales / Facts: 0 / 0");
    } else {
      int64_t rows = 0;
      const int sales = AddSalesFromQuery(query, State, rows);
      Log("Sales / Facts: " + std::to_string(sales) + " / " + std::to_string(rows));
    }
  }
  LCurCycleStats.GetCurSalesEnd = DateTimeNow();
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
  {
    TSiteQuery query(*LDB, std::string(kSalesSelect) + kHistoricalSalesWhere + factFilter +
                               " ORDER BY s.site, s.objid ");
    query.SetInteger("Site", LCfg->DBSite());
    query.SetDate("StartDate", Status.CurrentHistoryStart);
    query.SetDate("EndDate", Status.CurrentHistoryEnd);
    query.SetDate("MinHistory", State.MinHistory);
    query.Open();
    if (query.Eof()) {
      Log("Historical Sale / Facts: 0 / 0" + suffix);
    } else {
      int64_t rows = 0;
      const int sales = AddSalesFromQuery(query, State, rows);
      Log("Historical Sales / Facts: " + std::to_string(sales) + " / " + std::to_string(rows) +
          suffix);
    }
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

      if (!Query.IsNull("ActualDeletedSale")) {
        // Listed once, at the place where it was last seen.
        const auto id = static_cast<int32_t>(Query.AsInteger("ActualDeletedSale"));
        deleted.erase(std::remove(deleted.begin(), deleted.end(), id), deleted.end());
        deleted.push_back(id);
      }
      if (sale->Terminal != 0) State.Terminals.Add(sale->Terminal);

      if (LSalePassesQry) {
        LSalePassesQry->SetInteger("SaleID", sale->SaleID);
        LSalePassesQry->Open();
        double cars = 0;
        double amount = 0;
        double upsell = 0;
        if (sale->Status != -9 && !LSalePassesQry->Eof()) {
          cars = static_cast<double>(LSalePassesQry->AsInteger("RivoCarCount"));
          amount = LSalePassesQry->AsFloat("RivoSalesAmount");
          upsell = LSalePassesQry->AsFloat("RivoAdditionalAmount");
        }
        LSalePassesQry->Close();
        sale->AddFact(0, TSaleRecord::kRivoCarCountFactID, cars);
        sale->AddFact(0, TSaleRecord::kRivoSalesAmountFactID, amount);
        sale->AddFact(0, TSaleRecord::kRivoAdditionalAmountFactID, upsell);
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
