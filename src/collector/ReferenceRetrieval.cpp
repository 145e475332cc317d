// The reference phases: the sale employees of the sales read, and the
// terminals, employees, roles and services they name.
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "collector/Retrieval.h"
#include "firebird/SiteDatabase.h"
#include "model/CollectedData.h"

namespace {

// The employees in roles of type 30 of the sales a condition on Sale s
// selects; the condition follows.
const char* const kSaleEmployeesOfSales =
    "SELECT se.SaleID, se.Employee, se.EmpRole, se.ProfitCenter FROM Sale s JOIN SaleEmployees se "
    "ON se.Site = s.Site and se.SaleID = s.ObjID LEFT JOIN EmpRole er on er.objid = se.emprole ";

// The sales of the current day before the current window.
const char* const kPriorSalesWhere =
    "WHERE S.Site = :Site and s.Modified >= :StartTS and s.Modified < :EndTS";


const char* const kEmployeeColumns =
    "SELECT E.ObjID, E.Name, E.FirstName, E.LastName, E.Initials, E.MainPhone, E.AltPhone, "
    "E.Category, E.HomeSite FROM Employee E WHERE ";

// ActiveAt of an employee who works at every site.
constexpr int32_t kActiveAtAllSites = -2147483647;

int32_t AsInt32(const TDataRow& row, std::string_view name) {
  return static_cast<int32_t>(row.AsInteger(name));
}

}  // namespace

// The sale-employee rows of the sales a selection reads, in one statement per
// selection instead of one per sale (joined on the sales condition: a list of
// thousands of sale ids costs Firebird far more than the join). The rows of
// each sale come in the order a lookup of that sale alone gives them (the
// order they are stored in), which decides the employee kept when two rows
// name one profit center.
std::unordered_map<int32_t, std::vector<TDataCollector::TRetrieval::TSaleEmployeeRow>>
TDataCollector::TRetrieval::ReadSaleEmployees(const std::vector<TSalesSelection>& selections) {
  std::unordered_map<int32_t, std::vector<TSaleEmployeeRow>> rows;
  for (const TSalesSelection& selection : selections) {
    std::unordered_map<int32_t, std::vector<TSaleEmployeeRow>> read;
    TSiteQuery query(*LDB, std::string(kSaleEmployeesOfSales) + selection.Where +
                               " and er.Typ = 30 ORDER BY se.SaleID, se.RDB$DB_KEY");
    selection.Bind(query);
    for (query.Open(); !query.Eof(); query.Next()) {
      read[AsInt32(query, "SaleID")].push_back(
          TSaleEmployeeRow{query.AsInteger("Employee"), query.AsInteger("EmpRole"),
                           query.AsInteger("ProfitCenter")});
    }
    rows.merge(read);  // keeps the rows already there
  }
  return rows;
}

void TDataCollector::TRetrieval::RetrieveSaleEmployees(const TDataCollectorStatusObj& status,
                                           TState& state) {
  LCurCycleStats.GetSaleEmpStart = DateTimeNow();
  TCollectedData& data = state.Data;
  if (!data.SalesData().empty() || data.NewEmployees()) {
    const auto rows = ReadSaleEmployees(state.Selections);
    for (const auto& sale : data.SalesData()) {
      const auto found = rows.find(sale->SaleID);
      if (found == rows.end()) continue;
      for (const TSaleEmployeeRow& row : found->second) {
        sale->AddSaleEmployee(row.ProfitCenter, row.Employee);
        state.Employees.Add(static_cast<int32_t>(row.Employee));
        state.Roles.Add(static_cast<int32_t>(row.Role));
      }
    }

    if (data.NewEmployees()) {
      Log("Getting Sales employees for current day");
      const TSalesSelection priorSales{
          kPriorSalesWhere, [site = LCfg->DBSite(), start = DateOf(status.CurrentCycleStart),
                             end = status.CurrentCycleStart](TSiteQuery& query) {
            query.SetInteger("Site", site);
            query.SetTimestamp("StartTS", start);
            query.SetTimestamp("EndTS", end);
          }};
      TIdSet prior;
      {
        TSiteQuery query(*LDB, std::string("SELECT s.ObjID  FROM Sale s  ") + kPriorSalesWhere +
                                   "  ORDER BY s.site, s.objid");
        priorSales.Bind(query);
        for (query.Open(); !query.Eof(); query.Next()) prior.Add(AsInt32(query, "ObjID"));
      }
      if (prior.Ids.empty()) {
        Log("No prior sale employees for current day");
      } else {
        const auto priorRows = ReadSaleEmployees({priorSales});
        int added = 0;
        for (const int32_t sale : prior.Ids) {
          const auto found = priorRows.find(sale);
          if (found == priorRows.end()) continue;
          for (const TSaleEmployeeRow& row : found->second) {
            if (state.Employees.Add(static_cast<int32_t>(row.Employee))) ++added;
            state.Roles.Add(static_cast<int32_t>(row.Role));
          }
        }
        Log(std::to_string(added) + " sale employees added for prior sales for current day");
      }
    }
  }
  LCurCycleStats.GetSaleEmpEnd = DateTimeNow();
}

void TDataCollector::TRetrieval::LogReferenceSummary(TState& state) {
  if (!state.Terminals.Ids.empty() || !state.ServiceHistories.empty() ||
      !state.Roles.Ids.empty() || !state.Employees.Ids.empty() || !state.Plans.Ids.empty()) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "Referenced Terminals / Services / Roles / Employees / Plans: %d / %d / %d / %d / %d",
                  static_cast<int>(state.Terminals.Ids.size()),
                  static_cast<int>(state.ServiceHistories.size()),
                  static_cast<int>(state.Roles.Ids.size()),
                  static_cast<int>(state.Employees.Ids.size()),
                  static_cast<int>(state.Plans.Ids.size()));
    Log(line);
  }
  if (!state.Data.DeletedSales().empty()) {
    Log("Deleted Sales: " + std::to_string(state.Data.DeletedSales().size()));
  }
}

void TDataCollector::TRetrieval::RetrieveTerminals(TState& state) {
  LCurCycleStats.GetRefTermStart = DateTimeNow();
  if (!state.Terminals.Ids.empty()) {
    const std::vector<std::string> lists = IdLists(state.Terminals);
    state.Terminals.Clear();
    for (const std::string& list : lists) {
      TSiteQuery query(*LDB, "SELECT Objid, Name, TerminalType from Terminal where objid in " +
                                 list + " and site = " + std::to_string(LCfg->DBSite()));
      query.Open();
      for (; !query.Eof(); query.Next()) {
        auto terminal = std::make_unique<TTerminalRecord>();
        terminal->ObjId = AsInt32(query, "ObjId");
        terminal->Name = TrimText(query.AsString("Name"));
        terminal->TerminalType = AsInt32(query, "TerminalType");
        state.Data.Terminals().push_back(std::move(terminal));
      }
    }
  }
  if (!state.Plans.Ids.empty()) {
    const std::vector<std::string> lists = IdLists(state.Plans);
    state.Plans.Clear();
    for (const std::string& list : lists) {
      TSiteQuery query(*LDB,
                       "SELECT Objid, Name, Typ, Fact, ExpirationAge, Enabled from PlanType Where "
                       "ObjID in " + list);
      query.Open();
      for (; !query.Eof(); query.Next()) {
        auto plan = std::make_unique<TPlanTypeObject>();
        plan->ObjID = AsInt32(query, "ObjID");
        plan->Name = TrimText(query.AsString("Name"));
        plan->PlanType = AsInt32(query, "Typ");
        plan->Fact = AsInt32(query, "Fact");
        plan->ExpAge = AsInt32(query, "ExpirationAge");
        plan->Enabled = AsInt32(query, "Enabled");
        state.Data.PlanTypes().push_back(std::move(plan));
      }
    }
  }
  LCurCycleStats.GetRefTermEnd = DateTimeNow();
}

void TDataCollector::TRetrieval::RetrieveEmployees(TState& state) {
  LCurCycleStats.GetRefEmpStart = DateTimeNow();
  TCollectedData& data = state.Data;
  const TKeyedObjectCache& cache = LCfg->SiteEmployees();
  // Employees sent that the cache does not hold yet, for the cache size the
  // log reports: the size the cache has once this data is accepted.
  int uncached = 0;
  auto send = [&](std::unique_ptr<TEmployeeRecord> employee) {
    if (!employee) return;
    if (cache.Find<TEmployeeRecord>(std::to_string(employee->ObjId)) == nullptr) ++uncached;
    data.Employees().push_back(std::move(employee));
  };
  {
    TSiteQuery query(
        *LDB, std::string(kEmployeeColumns) +
                  "(E.HomeSite = :Site) AND (E.Enabled = 1) AND (E.Code > 0) AND ((E.TermDate is "
                  "NULL) or (E.TermDate > :TermDate)) AND ( (E.ActiveAt = " +
                  std::to_string(kActiveAtAllSites) + ") OR (E.ActiveAt = :Site) " +
                  "OR ((E.ActiveAt < 0) AND " + "(Exists (Select * from SiteGroupSites SG " +
                  "where (SG.SiteGroup = -E.ActiveAt) AND (SG.Site = :Site)))))");
    query.SetDate("TermDate", DateOf(DateTimeNow()));
    query.SetInteger("Site", LCfg->DBSite());
    query.Open();
    for (; !query.Eof(); query.Next()) {
      const int32_t id = AsInt32(query, "ObjID");
      state.Active.Add(id);
      state.Employees.Remove(id);
      send(ChangedEmployee(query, true));
    }
    query.Close();

    cache.ForEach<TEmployeeRecord>([&state](const std::string&, const TEmployeeRecord& cached) {
      if (cached.Enabled && !state.Active.Contains(cached.ObjId)) state.Employees.Add(cached.ObjId);
    });

    if (!state.Employees.Ids.empty()) {
      Log("Non Active Referenced Employees: " + std::to_string(state.Employees.Ids.size()));
      const std::vector<std::string> lists = IdLists(state.Employees);
      state.Employees.Clear();
      for (const std::string& list : lists) {
        query.SetSQL(std::string(kEmployeeColumns) + "ObjID in " + list);
        query.Open();
        for (; !query.Eof(); query.Next()) send(ChangedEmployee(query, false));
        query.Close();
      }
    }

    if (!data.Employees().empty()) {
      Log("Total employees: " + std::to_string(cache.Count() + uncached) +
          ", sent: " + std::to_string(data.Employees().size()));
    }

    query.SetSQL("SELECT ObjID, Name FROM EmpCategory ORDER BY 1");
    query.Open();
    for (; !query.Eof(); query.Next()) {
      if (auto category = ChangedCategory(query)) data.EmpCategories().push_back(std::move(category));
    }
  }
  LCurCycleStats.GetRefEmpEnd = DateTimeNow();
}

std::unique_ptr<TEmployeeRecord> TDataCollector::TRetrieval::ChangedEmployee(const TDataRow& row, bool enabled) {
  auto employee = std::make_unique<TEmployeeRecord>();
  employee->ObjId = AsInt32(row, "ObjId");
  employee->Category = AsInt32(row, "Category");
  employee->HomeSite = AsInt32(row, "HomeSite");
  employee->Name = TrimText(row.AsString("Name"));
  employee->FirstName = TrimText(row.AsString("FirstName"));
  employee->LastName = TrimText(row.AsString("LastName"));
  employee->Initials = TrimText(row.AsString("Initials"));
  employee->MainPhone = TrimText(row.AsString("MainPhone"));
  employee->AltPhone = TrimText(row.AsString("AltPhone"));
  employee->Enabled = enabled;

  const TEmployeeRecord* cached =
      LCfg->SiteEmployees().Find<TEmployeeRecord>(std::to_string(employee->ObjId));
  if (cached != nullptr && !cached->Different(employee.get())) return nullptr;
  return employee;
}

std::unique_ptr<TEmpCategory> TDataCollector::TRetrieval::ChangedCategory(const TDataRow& row) {
  auto category = std::make_unique<TEmpCategory>();
  category->ObjId = AsInt32(row, "ObjID");
  category->Name = TrimText(row.AsString("Name"));

  const TOwningObjectList& cache = LCfg->EmpCategories();
  for (int i = 0; i < cache.Count(); ++i) {
    const TEmpCategory* cached = cache.Item<TEmpCategory>(i);
    if (cached != nullptr && cached->ObjId == category->ObjId) {
      return cached->Name == category->Name ? nullptr : std::move(category);
    }
  }
  return category;
}

void TDataCollector::TRetrieval::RetrieveRoles(TState& state) {
  LCurCycleStats.GetRefRoleStart = DateTimeNow();
  if (!state.Roles.Ids.empty()) {
    for (const std::string& list : IdLists(state.Roles)) {
      TSiteQuery query(*LDB, "SELECT Objid, Name, ProfitCenter, Typ from EmpRole where objid in " +
                                 list);
      query.Open();
      for (; !query.Eof(); query.Next()) {
        auto role = std::make_unique<TEmpRoleRecord>();
        role->ObjId = AsInt32(query, "ObjId");
        role->Name = TrimText(query.AsString("Name"));
        role->PC = AsInt32(query, "ProfitCenter");
        role->Typ = AsInt32(query, "Typ");
        state.Data.Roles().push_back(std::move(role));
      }
    }
    state.Roles.Clear();
  }
  LCurCycleStats.GetRefRoleEnd = DateTimeNow();
}

void TDataCollector::TRetrieval::RetrieveServices(TState& state) {
  LCurCycleStats.GetRefSvcStart = DateTimeNow();
  if (!state.ServiceHistories.empty()) {
    {
      TSiteQuery query(*LDB,
                       "SELECT Objid, Name from Service where ProfitCenter = :PC and HistoryBit = "
                       ":Bit and Enabled = 1");
      // The keys already looked up, as profit center * 64 + bit, so that the
      // many repeats of a large cycle cost no text.
      std::unordered_set<int64_t> looked;
      for (const TSaleServiceHistory& history : state.ServiceHistories) {
        query.SetInteger("PC", history.ProfitCenter);
        for (int bit = 1; bit <= 48; ++bit) {
          if ((history.HistoryBits & (int64_t{1} << bit)) == 0) continue;
          if (!looked.insert(int64_t{history.ProfitCenter} * 64 + bit).second) continue;
          state.ServiceKeys.push_back(std::to_string(history.ProfitCenter) + ":" + std::to_string(bit));
          query.SetInteger("Bit", bit);
          query.Open();
          if (!query.Eof()) {
            auto service = std::make_unique<TServiceRecord>();
            service->PC = history.ProfitCenter;
            service->Bit = bit;
            service->ObjId = AsInt32(query, query.FieldName(0));
            service->Name = TrimText(query.AsString(query.FieldName(1)));
            state.Data.Services().push_back(std::move(service));
          }
          query.Close();
        }
      }
    }
    state.ServiceHistories.clear();
  }
  if (!state.ServiceKeys.empty()) {
    Log("Referenced Services Sent: " + std::to_string(state.ServiceKeys.size()));
    state.ServiceKeys.clear();
  }
  LCurCycleStats.GetRefSvcEnd = DateTimeNow();
}
