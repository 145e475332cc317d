#pragma once

// The retrieval of one cycle's data: the phases RetrieveData runs, the working
// state they share, and what a retrieval leaves for CommitAcceptedData and the
// cycles after it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Shared/Orvel_Shared/DateTime.h"
#include "collector/DataCollector.h"
#include "model/ReferenceRecords.h"

class TCollectedData;
class TDataCollectorConfiguration;
class TDataRow;
class TSiteDatabase;
class TSiteQuery;

// A set of ids that keeps them in the order first seen, without duplicates.
struct TIdSet {
  std::vector<int32_t> Ids;
  std::unordered_set<int32_t> Members;
  bool Add(int32_t id);  // true when id was new
  bool Remove(int32_t id);
  bool Contains(int32_t id) const { return Members.count(id) != 0; }
  void Clear();
};

// Firebird refuses an IN list of more than 1500 values, so every lookup by id
// list runs once per list.
constexpr size_t kMaxIdsPerList = 1000;

// The ids of the set in set order, split into lists of at most maxPerList ids,
// each "(" + its ids comma-separated without blanks + ")"; none for an empty set.
std::vector<std::string> IdLists(const TIdSet& set, size_t maxPerList = kMaxIdsPerList);

// The phases of one RetrieveData call. They read the collector's database
// connection, configuration and caches, and note their timings in its cycle
// statistics; only CommitAcceptedData changes the caches.
class TDataCollector::TRetrieval {
 public:
  struct TPendingEmpDay {  // one row of DC_PENDINGEMPDAYS_V111
    int32_t Employee = 0;
    TDateTime PunchDate = 0;
    std::string Modified;  // the timestamp as the database writes it as text
  };
  // One version of a sale: its Modified stamp to the millisecond and its id,
  // ordered by stamp so that the old ones can be forgotten together.
  struct TSaleVersion {
    int64_t ModifiedMs = 0;
    int32_t SaleID = 0;
    auto operator<=>(const TSaleVersion&) const = default;
  };
  // The pass sums of one sale (the SalePasses query's three columns).
  struct TPassSums {
    double Cars = 0;
    double Amount = 0;
    double Upsell = 0;
  };
  // The condition of one sales read (a WHERE clause on Sale s) and the
  // setting of its parameters, kept so that later phases can read what
  // belongs to the same sales in one statement.
  struct TSalesSelection {
    std::string Where;
    std::function<void(TSiteQuery&)> Bind;
  };
  struct TSaleEmployeeRow {
    int64_t Employee = 0;
    int64_t Role = 0;
    int64_t ProfitCenter = 0;
  };
  // The working state of one RetrieveData call.
  struct TState {
    explicit TState(TCollectedData& data) : Data(data) {}
    TCollectedData& Data;
    TDateTime MinHistory = 0;
    TIdSet Terminals, Roles, Employees, Active, Plans;
    std::vector<TSaleServiceHistory> ServiceHistories;
    std::vector<std::string> ServiceKeys;
    std::vector<TPendingEmpDay> PendingEmpDays;
    std::vector<TSaleVersion> SaleVersions;           // of every sale record started
    std::unordered_map<int32_t, TPassSums> PassSums;  // of the sales phase running
    std::vector<TSalesSelection> Selections;          // of every sales read so far
  };

  explicit TRetrieval(TDataCollector& owner);

  // The select list of the pass sums: the cars (passes of status 0) and the
  // sums of Amount and Upsell as RivoCarCount, RivoSalesAmount and
  // RivoAdditionalAmount, over passes of SalePasses SAP; and the condition on
  // the statuses counted (none above 40).
  static std::string PassSumColumns();
  static std::string CountedPassCondition();

  // Sales phases (SalesRetrieval.cpp, LateSalesRetrieval.cpp).
  void RetrieveCurrentSales(const TDataCollectorStatusObj& status, TState& state);
  // The versions stamped within the configured overlap before the current
  // window that no accepted post of this process carried; logs "Late sales: ".
  void RetrieveLateSales(const TDataCollectorStatusObj& status, TState& state);
  void RetrieveHistoricalSales(const TDataCollectorStatusObj& status, TState& state);

  // Labor phases (LaborRetrieval.cpp).
  void RetrievePendingLabor(const TDataCollectorStatusObj& status, TState& state);
  void RetrieveHistoricalLabor(const TDataCollectorStatusObj& status, TState& state);
  void ReadPendingEmpDays(TState& state);

  // Reference phases (ReferenceRetrieval.cpp).
  void RetrieveSaleEmployees(const TDataCollectorStatusObj& status, TState& state);
  void LogReferenceSummary(TState& state);
  void RetrieveTerminals(TState& state);
  void RetrieveEmployees(TState& state);
  void RetrieveRoles(TState& state);
  void RetrieveServices(TState& state);
  // A new record to send when the row's employee is new to the employee cache
  // or differs from the cached copy; nullptr otherwise. The cache is not changed.
  std::unique_ptr<TEmployeeRecord> ChangedEmployee(const TDataRow& row, bool enabled);
  // The same for a category and the category cache.
  std::unique_ptr<TEmpCategory> ChangedCategory(const TDataRow& row);

 private:
  // The order of every sales read: a sale's fact rows come together.
  static constexpr char kSalesOrder[] = "  ORDER BY s.site, s.objid";

  // AddSalesFromQuery returns the sales it started and adds the rows it read to rows.
  int AddSalesFromQuery(TSiteQuery& query, TState& state, int64_t& rows);
  // A selection of the sales whose Modified lies in [start, end) under where
  // (its parameters Site, StartTS, EndTS and MinHistory).
  TSalesSelection WindowSelection(const std::string& where, TDateTime start, TDateTime end,
                                  const TState& state) const;
  // Reads the sales of a selection (its condition, then filterAndOrder) with
  // their pass sums into State; returns the sales started and adds the rows
  // read to rows.
  int ReadSales(const TSalesSelection& selection, const std::string& filterAndOrder, TState& state,
                int64_t& rows);
  // Fills state.PassSums with the sums of every sale that salesWhere (a WHERE
  // clause on Sale s, its parameters set by bind) selects; leaves it empty
  // when the site has no usable SalePasses table.
  void ReadPassSums(const std::string& salesWhere, const std::function<void(TSiteQuery&)>& bind,
                    TState& state);
  // Returns the rows it read.
  int64_t AddLaborFromQuery(TSiteQuery& query, TState& state);
  // The sale-employee rows of the sales each selection reads; a sale that
  // several selections read keeps the rows of the first.
  std::unordered_map<int32_t, std::vector<TSaleEmployeeRow>> ReadSaleEmployees(
      const std::vector<TSalesSelection>& selections);

  void Log(const std::string& Msg) { collector.Log(Msg); }

  TDataCollector& collector;
  // The collector's members the phases work with.
  std::unique_ptr<TSiteDatabase>& LDB;
  std::unique_ptr<TDataCollectorConfiguration>& LCfg;
  std::unique_ptr<TSiteQuery>& LSalePassesQry;
  TCycleStatistics& LCurCycleStats;
  TRetrievalMemory& memory;
};

// What a retrieval leaves for CommitAcceptedData and the cycles after it.
struct TDataCollector::TRetrievalMemory {
  // The pending employee days and the sale versions read by the last
  // RetrieveData, and its result: only compared, never followed, to tell
  // whether accepted data is the data those rows were read for (a resend of
  // it included).
  std::vector<TRetrieval::TPendingEmpDay> PendingEmpDays;
  std::vector<TRetrieval::TSaleVersion> SaleVersionsRead;
  const TCollectedData* PendingEmpDaysData = nullptr;
  // The sale versions that accepted posts carried, back to the start of the
  // last overlap read.
  std::set<TRetrieval::TSaleVersion> SentSaleVersions;
  // The look back's first statement, run every cycle: prepared once per
  // connection. Released before the collector's database.
  std::unique_ptr<TSiteQuery> LateSalesProbe;
};
