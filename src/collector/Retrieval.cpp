// RetrieveData, which runs the retrieval's phases in order, and
// CommitAcceptedData, which keeps what an accepted post carried.
#include "collector/Retrieval.h"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "firebird/SiteDatabase.h"
#include "model/CollectedData.h"

namespace {

// No sale created more than 26304 hours (1096 days) before now is read.
constexpr double kMinHistoryDays = 26304.0 / 24.0;

const char* const kDeletePendingRow =
    "DELETE FROM DC_PENDINGEMPDAYS_V111 WHERE Employee = :Employee AND PunchDate = :PunchDate "
    "AND Modified = CAST(:Modified AS TIMESTAMP)";

// Gives the rest of the time slice to the site product between phases.
void YieldSlice() { std::this_thread::yield(); }

}  // namespace

bool TIdSet::Add(int32_t id) {
  if (!Members.insert(id).second) return false;
  Ids.push_back(id);
  return true;
}

bool TIdSet::Remove(int32_t id) {
  if (Members.erase(id) == 0) return false;
  Ids.erase(std::find(Ids.begin(), Ids.end(), id));
  return true;
}

void TIdSet::Clear() {
  Ids.clear();
  Members.clear();
}

std::vector<std::string> IdLists(const TIdSet& set, size_t maxPerList) {
  std::vector<std::string> lists;
  const size_t step = std::max<size_t>(maxPerList, 1);
  for (size_t first = 0; first < set.Ids.size(); first += step) {
    const size_t last = std::min(first + step, set.Ids.size());
    std::string list = "(";
    for (size_t i = first; i < last; ++i) {
      if (i != first) list += ',';
      list += std::to_string(set.Ids[i]);
    }
    lists.push_back(list + ")");
  }
  return lists;
}

TDataCollector::TRetrieval::TRetrieval(TDataCollector& owner)
    : collector(owner),
      LDB(owner.LDB),
      LCfg(owner.LCfg),
      LSalePassesQry(owner.LSalePassesQry),
      LCurCycleStats(owner.LCurCycleStats),
      memory(*owner.LRetrievalMemory) {}

std::unique_ptr<TCollectedData> TDataCollector::RetrieveData(const TDataCollectorStatusObj& Status) {
  TRetrievalMemory& memory = *LRetrievalMemory;
  memory.PendingEmpDays.clear();
  memory.SaleVersionsRead.clear();
  memory.PendingEmpDaysData = nullptr;
  auto data = std::make_unique<TCollectedData>();
  try {
    TRetrieval retrieval(*this);
    TRetrieval::TState state(*data);
    state.MinHistory = DateOf(DateTimeNow() - kMinHistoryDays);
    data->SetNewEmployees(LCfg->SiteEmployees().Empty());
    const bool historyRuns = !Status.SkipHistory && Status.CurrentHistoryEnd != 0;

    retrieval.RetrieveCurrentSales(Status, state);
    YieldSlice();
    if (historyRuns) retrieval.RetrieveHistoricalSales(Status, state);
    YieldSlice();
    retrieval.RetrievePendingLabor(Status, state);
    YieldSlice();
    if (historyRuns && Status.ActiveHistoryFactID == 0) retrieval.RetrieveHistoricalLabor(Status, state);
    YieldSlice();
    retrieval.RetrieveSaleEmployees(Status, state);
    YieldSlice();
    retrieval.ReadPendingEmpDays(state);
    retrieval.LogReferenceSummary(state);
    retrieval.RetrieveTerminals(state);
    YieldSlice();
    retrieval.RetrieveEmployees(state);
    YieldSlice();
    retrieval.RetrieveRoles(state);
    YieldSlice();
    retrieval.RetrieveServices(state);
    YieldSlice();

    memory.PendingEmpDays = std::move(state.PendingEmpDays);
    memory.SaleVersionsRead = std::move(state.SaleVersions);
    memory.PendingEmpDaysData = data.get();
  } catch (...) {
    data.reset();
    FInitialized = false;
    Log("Exception Error - reinitializing");
    throw;
  }
  return data;
}

void TDataCollector::CommitAcceptedData(const TCollectedData* Data) {
  if (Data == nullptr) return;
  TRetrievalMemory& memory = *LRetrievalMemory;
  if (Data == memory.PendingEmpDaysData) {
    if (!memory.PendingEmpDays.empty()) {
      TSiteQuery query(*LDB, kDeletePendingRow);
      for (const TRetrieval::TPendingEmpDay& day : memory.PendingEmpDays) {
        query.SetInteger("Employee", day.Employee);
        query.SetDate("PunchDate", day.PunchDate);
        query.SetText("Modified", day.Modified);
        query.ExecSQL();
      }
    }
    memory.SentSaleVersions.insert(memory.SaleVersionsRead.begin(), memory.SaleVersionsRead.end());
    memory.PendingEmpDays.clear();
    memory.SaleVersionsRead.clear();
    memory.PendingEmpDaysData = nullptr;
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
