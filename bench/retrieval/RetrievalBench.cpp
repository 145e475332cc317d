// retrieval_bench <sales> <embedded|server> <data folder>: one cycle's
// retrieval (RetrieveData) of a site database holding that many generated
// sales, all of today, beside two floors measured in the same process with the
// same client library:
//   - statements: the statements RetrieveData runs, with the same parameters,
//     executed and fetched without building any record;
//   - plain_fetch: one execution of the sales-and-facts query, every row fetched.
// The database is generated once per size and day into the data folder and
// reached by the embedded engine or, in server mode, through the Firebird
// server named by DC_FIREBIRD_SERVER. The collector reads its configuration
// from the registry hive named by DC_REGISTRY, which this program writes.
//
// Prints one "name: value unit" line per figure. Peak memory is the rise of
// the process's peak resident size during the first retrieval.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "collector/DataCollector.h"
#include "firebird/SiteDatabase.h"
#include "model/CollectedData.h"
#include "sitedb-fixture/SiteFixture.h"

namespace {

const char kSalesQuery[] =
    "SELECT s.*, sf.*,  CASE WHEN s.actualsaleid IS NOT NULL and s2.objid IS NULL       "
    "THEN s.actualsaleid        ELSE NULL  END AS actualdeletedsale  FROM Sale s  "
    "LEFT JOIN SaleFacts sf    ON s.site = sf.site AND s.objid = sf.saleid  "
    "LEFT JOIN Sale s2    ON s2.site = s.site AND s2.objid = s.actualsaleid  "
    "WHERE s.site = :Site and s.Modified >= :StartTS and s.Modified < :EndTS  "
    "and s.CREATED >= :MinHistory  ORDER BY s.site, s.objid";

long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

// Wall-clock and processor time of one piece of work. The processor time
// includes the embedded engine, which runs in this process; it is the steadier
// figure on a loaded machine.
struct TTimes {
  double Wall = 1e300;
  double Cpu = 1e300;
  void KeepBest(const TTimes& other) {
    Wall = std::min(Wall, other.Wall);
    Cpu = std::min(Cpu, other.Cpu);
  }
};

TTimes Measure(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  work();
  TTimes times;
  times.Cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  times.Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return times;
}

// The collector with its retrieval reachable; the site product's Transaction
// Manager does not matter to a retrieval.
class TBenchCollector : public TDataCollector {
 public:
  TBenchCollector() : TDataCollector([](const std::string&, bool) {}) {}

  void Open() {
    LoadConfiguration();
    if (!OpenDatabase()) throw EOrvelError("the benchmark database did not open");
    VerifyDBStructures(false);
  }
  TSiteDatabase& Database() { return *LDB; }
  int32_t Site() const { return LCfg->DBSite(); }

  // One retrieval in its own transaction, rolled back; the caches stay empty,
  // so every run is a first cycle.
  std::unique_ptr<TCollectedData> Retrieve(const TDataCollectorStatusObj& status) {
    StartTransaction();
    auto data = RetrieveData(status);
    RollbackTransaction();
    return data;
  }

  // As after an accepted post of data, with the database left as it was.
  void Accept(const TCollectedData& data) {
    StartTransaction();
    CommitAcceptedData(&data);
    RollbackTransaction();
  }

  void SetLateSalesOverlap(int32_t minutes) { LCfg->SetLateSalesOverlap(minutes); }
};

// The statements of one retrieval of a first cycle without history, run and
// fetched with only the ids that drive the following statements kept (id lists
// up to 1,000 ids; the loads measured keep the lists below that).
void RunStatements(TSiteDatabase& db, int32_t site, const TDataCollectorStatusObj& status) {
  const TDateTime now = DateTimeNow();
  const TDateTime minHistory = DateOf(now - 26304.0 / 24.0);
  std::vector<int64_t> sales;
  std::set<std::pair<int64_t, int>> serviceKeys;
  std::set<int64_t> terminals, roles, employees;

  {
    TSiteQuery passes(db, "select SAP.SaleID, sum(iif(SAP.Status = 0, 1, 0)) RivoCarCount, "
                          "sum(SAP.Amount) RivoSalesAmount, sum(SAP.Upsell) RivoAdditionalAmount "
                          "from SalePasses SAP join Sale s on s.site = SAP.Site and s.objid = "
                          "SAP.SaleID WHERE s.site = :Site and s.Modified >= :StartTS and "
                          "s.Modified < :EndTS  and s.CREATED >= :MinHistory and SAP.Status <= 40 "
                          "group by SAP.SaleID");
    passes.SetInteger("Site", site);
    passes.SetTimestamp("StartTS", status.CurrentCycleStart);
    passes.SetTimestamp("EndTS", status.CurrentCycleEnd);
    passes.SetTimestamp("MinHistory", minHistory);
    for (passes.Open(); !passes.Eof(); passes.Next()) {
    }
  }
  {
    TSiteQuery query(db, kSalesQuery);
    query.SetInteger("Site", site);
    query.SetTimestamp("StartTS", status.CurrentCycleStart);
    query.SetTimestamp("EndTS", status.CurrentCycleEnd);
    query.SetTimestamp("MinHistory", minHistory);
    for (query.Open(); !query.Eof(); query.Next()) {
      const int64_t sale = query.AsInteger("ObjID");
      if (sales.empty() || sales.back() != sale) {
        sales.push_back(sale);
        terminals.insert(query.AsInteger("Terminal"));
      }
      if (query.AsInteger("Fact") == 54711) {
        const auto bits = static_cast<int64_t>(query.AsFloat("Data"));
        for (int bit = 1; bit <= 48; ++bit) {
          if ((bits >> bit) & 1) serviceKeys.emplace(query.AsInteger("ProfitCenter"), bit);
        }
      }
    }
  }
  {
    TSiteQuery probe(db, "SELECT s.ObjID, s.Modified FROM Sale s WHERE s.site = :Site and "
                         "s.Modified >= :StartTS and s.Modified < :EndTS and s.CREATED >= :MinHistory");
    probe.SetInteger("Site", site);
    probe.SetTimestamp("StartTS", status.CurrentCycleStart - 10.0 / 1440);
    probe.SetTimestamp("EndTS", status.CurrentCycleStart);
    probe.SetTimestamp("MinHistory", minHistory);
    for (probe.Open(); !probe.Eof(); probe.Next()) {
    }
  }
  {
    TSiteQuery query(db, "select ped.Employee, ped.PunchDate, pi.* From (Select P1.Employee, "
                         "P1.PunchDate From DC_pendingempdays_V111 p1 Where p1.Modified >= "
                         ":Modified Group By P1.Employee, P1.PunchDate) ped Left join "
                         "punchinterval pi on  pi.employee = ped.employee and pi.punchdate = "
                         "ped.punchdate and pi.site = :Site order by ped.employee, ped.punchdate");
    query.SetInteger("Site", site);
    query.SetTimestamp("Modified", 0);  // every pending row
    for (query.Open(); !query.Eof(); query.Next()) employees.insert(query.AsInteger("Employee"));
    query.Close();
    query.SetSQL("SELECT max(P.Employee) FROM PunchInterval P WHERE P.Punchdate >= :pDate AND "
                 "P.Site = :pSite AND P.PiType in ('R','O') GROUP BY P.Employee");
    query.SetDate("pDate", DateOf(now));
    query.SetInteger("pSite", site);
    for (query.Open(); !query.Eof(); query.Next()) employees.insert(query.AsInteger(query.FieldName(0)));
  }
  {
    TSiteQuery query(db, "SELECT se.SaleID, se.Employee, se.EmpRole, se.ProfitCenter FROM Sale s "
                         "JOIN SaleEmployees se ON se.Site = s.Site and se.SaleID = s.ObjID LEFT "
                         "JOIN EmpRole er on er.objid = se.emprole WHERE s.site = :Site and "
                         "s.Modified >= :StartTS and s.Modified < :EndTS  and s.CREATED >= "
                         ":MinHistory and er.Typ = 30 ORDER BY se.SaleID, se.RDB$DB_KEY");
    query.SetInteger("Site", site);
    query.SetTimestamp("StartTS", status.CurrentCycleStart);
    query.SetTimestamp("EndTS", status.CurrentCycleEnd);
    query.SetTimestamp("MinHistory", minHistory);
    for (query.Open(); !query.Eof(); query.Next()) {
      employees.insert(query.AsInteger("Employee"));
      roles.insert(query.AsInteger("EmpRole"));
    }
    TSiteQuery prior(db, "SELECT s.ObjID  FROM Sale s  WHERE S.Site = :Site and s.Modified >= "
                         ":StartTS and s.Modified < :EndTS  ORDER BY s.site, s.objid");
    prior.SetInteger("Site", site);
    prior.SetTimestamp("StartTS", DateOf(status.CurrentCycleStart));
    prior.SetTimestamp("EndTS", status.CurrentCycleStart);
    for (prior.Open(); !prior.Eof(); prior.Next()) {
    }
  }
  auto idList = [](const std::set<int64_t>& ids) {
    std::string list = "(";
    for (int64_t id : ids) {
      if (list.size() > 1) list += ',';
      list += std::to_string(id);
    }
    return list + ")";
  };
  auto fetchAll = [&db](const std::string& sql) {
    TSiteQuery query(db, sql);
    for (query.Open(); !query.Eof(); query.Next()) {
    }
  };
  fetchAll("SELECT Employee, PunchDate, CAST(Modified AS VARCHAR(32)) AS ModifiedText "
           "FROM DC_PENDINGEMPDAYS_V111");
  if (!terminals.empty()) {
    fetchAll("SELECT Objid, Name, TerminalType from Terminal where objid in " + idList(terminals) +
             " and site = " + std::to_string(site));
  }
  {
    TSiteQuery query(
        db, "SELECT E.ObjID, E.Name, E.FirstName, E.LastName, E.Initials, E.MainPhone, "
            "E.AltPhone, E.Category, E.HomeSite FROM Employee E WHERE (E.HomeSite = :Site) AND "
            "(E.Enabled = 1) AND (E.Code > 0) AND ((E.TermDate is NULL) or (E.TermDate > "
            ":TermDate)) AND ( (E.ActiveAt = -2147483647) OR (E.ActiveAt = :Site) OR "
            "((E.ActiveAt < 0) AND (Exists (Select * from SiteGroupSites SG where (SG.SiteGroup "
            "= -E.ActiveAt) AND (SG.Site = :Site)))))");
    query.SetDate("TermDate", DateOf(now));
    query.SetInteger("Site", site);
    for (query.Open(); !query.Eof(); query.Next()) employees.erase(query.AsInteger("ObjID"));
  }
  if (!employees.empty()) {
    fetchAll("SELECT E.ObjID, E.Name, E.FirstName, E.LastName, E.Initials, E.MainPhone, "
             "E.AltPhone, E.Category, E.HomeSite FROM Employee E WHERE ObjID in " +
             idList(employees));
  }
  fetchAll("SELECT ObjID, Name FROM EmpCategory ORDER BY 1");
  if (!roles.empty()) {
    fetchAll("SELECT Objid, Name, ProfitCenter, Typ from EmpRole where objid in " + idList(roles));
  }
  TSiteQuery services(db, "SELECT Objid, Name from Service where ProfitCenter = :PC and "
                          "HistoryBit = :Bit and Enabled = 1");
  for (const auto& [pc, bit] : serviceKeys) {
    services.SetInteger("PC", pc);
    services.SetInteger("Bit", bit);
    services.Open();
    services.Close();
  }
}

// Every row of the sales-and-facts query, fetched; returns the row count.
int64_t PlainFetch(TSiteDatabase& db, int32_t site, const TDataCollectorStatusObj& status) {
  TSiteQuery query(db, kSalesQuery);
  query.SetInteger("Site", site);
  query.SetTimestamp("StartTS", status.CurrentCycleStart);
  query.SetTimestamp("EndTS", status.CurrentCycleEnd);
  query.SetTimestamp("MinHistory", DateOf(DateTimeNow() - 26304.0 / 24.0));
  int64_t rows = 0;
  for (query.Open(); !query.Eof(); query.Next()) ++rows;
  return rows;
}

void WriteRegistry(const std::string& hive, const std::string& database,
                   const TSiteFixtureOptions& options) {
  std::ofstream out(hive, std::ios::trunc);
  out << "Windows Registry Editor Version 5.00\n\n"
      << "[HKEY_LOCAL_MACHINE\\Software\\Orvel\\Install]\n\"InstallType\"=\"A\"\n\n"
      << "[HKEY_LOCAL_MACHINE\\Software\\Orvel\\Corvane]\n\"Stage\"=\"" << options.SWFileVersion
      << "\"\n\n[HKEY_LOCAL_MACHINE\\Software\\Orvel\\Omnid\\Login]\n\"Database\"=\"" << database
      << "\"\n\n[HKEY_LOCAL_MACHINE\\Software\\Orvel\\DataCollector]\n\"LocCode\"=\""
      << options.LocationCode << "\"\n";
  if (!out) throw EOrvelError("cannot write " + hive);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (std::string(argv[2]) != "embedded" && std::string(argv[2]) != "server")) {
    std::fprintf(stderr, "usage: retrieval_bench <sales> <embedded|server> <data folder>\n");
    return 2;
  }
  const int sales = std::atoi(argv[1]);
  const bool server = std::string(argv[2]) == "server";
  const std::filesystem::path folder = std::filesystem::absolute(argv[3]);
  const char* hive = std::getenv("DC_REGISTRY");
  const char* serverName = std::getenv("DC_FIREBIRD_SERVER");
  if (hive == nullptr || (server && serverName == nullptr)) {
    std::fprintf(stderr, "retrieval_bench: DC_REGISTRY%s must be set\n",
                 server ? " and DC_FIREBIRD_SERVER" : "");
    return 2;
  }
  try {
    const TDateTime today = DateOf(DateTimeNow());
    TSiteFixtureOptions options;
    options.Sales = sales;
    options.Days = 1;
    options.LastDay = today;
    std::filesystem::create_directories(folder);
    const std::string path =
        (folder / ("sales-" + std::to_string(sales) + "-" + DateToYYYYMMDD(today) + ".fdb")).string();
    if (!std::filesystem::exists(path)) CreateSiteDatabase(path, options);
    WriteRegistry(hive, server ? std::string(serverName) + ":" + path : path, options);

    TBenchCollector collector;
    collector.Open();
    TSiteDatabase& db = collector.Database();
    TDataCollectorStatusObj status;
    status.CurrentCycleStart = today;
    status.CurrentCycleEnd = today + 1;

    auto inTransaction = [&db](const std::function<void()>& work) {
      db.StartTransaction();
      const TTimes times = Measure(work);
      db.Rollback();
      return times;
    };
    int64_t rows = 0;
    inTransaction([&] { rows = PlainFetch(db, collector.Site(), status); });  // warms the cache

    const int repeats = sales <= 10000 ? 3 : 1;
    TTimes retrieval, statements, plain;
    long peakRise = 0;
    size_t salesSent = 0;
    for (int i = 0; i < repeats; ++i) {
      statements.KeepBest(inTransaction([&] { RunStatements(db, collector.Site(), status); }));
      plain.KeepBest(inTransaction([&] { PlainFetch(db, collector.Site(), status); }));
      const long before = PeakResidentKiB();
      std::unique_ptr<TCollectedData> data;
      retrieval.KeepBest(Measure([&] { data = collector.Retrieve(status); }));
      if (i == 0) peakRise = PeakResidentKiB() - before;
      salesSent = data->SalesData().size();
    }
    if (salesSent != static_cast<size_t>(sales)) {
      std::fprintf(stderr, "retrieval_bench: %zu of %d sales retrieved\n", salesSent, sales);
      return 1;
    }

    const std::string name = std::string("retrieval.") + argv[2] + "." + std::to_string(sales);
    std::printf("%s.rows: %lld rows\n", name.c_str(), static_cast<long long>(rows));
    auto print = [&name](const char* figure, double value, const char* unit) {
      std::printf("%s.%s: %.2f %s\n", name.c_str(), figure, value, unit);
    };
    print("retrieve_time", retrieval.Wall * 1e3, "ms");
    print("retrieve_cpu_time", retrieval.Cpu * 1e3, "ms");
    print("retrieve_rate", rows / retrieval.Wall, "rows/s");
    print("retrieve_peak_memory", peakRise / 1024.0, "MB");
    print("floor_statements_time", statements.Wall * 1e3, "ms");
    print("floor_statements_cpu_time", statements.Cpu * 1e3, "ms");
    print("floor_plain_fetch_time", plain.Wall * 1e3, "ms");
    print("floor_plain_fetch_cpu_time", plain.Cpu * 1e3, "ms");
    print("retrieve_vs_statements", retrieval.Wall / statements.Wall, "x");
    print("retrieve_vs_statements_cpu", retrieval.Cpu / statements.Cpu, "x");
    print("retrieve_vs_plain_fetch", retrieval.Wall / plain.Wall, "x");

    // A busy site's steady cycle: a one-minute window at midday, the span
    // before it already sent, with and without the look back for sales
    // committed late (which then finds nothing to send).
    TDataCollectorStatusObj sent;
    sent.CurrentCycleStart = today + 0.5 - 10.0 / 1440;
    sent.CurrentCycleEnd = today + 0.5;
    TDataCollectorStatusObj minute;
    minute.CurrentCycleStart = today + 0.5;
    minute.CurrentCycleEnd = today + 0.5 + 1.0 / 1440;
    collector.Accept(*collector.Retrieve(sent));
    TTimes withLook, withoutLook;
    for (int i = 0; i < 7; ++i) {
      collector.SetLateSalesOverlap(0);
      withoutLook.KeepBest(Measure([&] { collector.Retrieve(minute); }));
      collector.SetLateSalesOverlap(TDataCollectorConfiguration::kDefaultLateSalesOverlap);
      withLook.KeepBest(Measure([&] { collector.Retrieve(minute); }));
    }
    print("minute_cycle_time", withoutLook.Wall * 1e3, "ms");
    print("minute_cycle_late_look_time", withLook.Wall * 1e3, "ms");
    print("late_look_cost", (withLook.Wall / withoutLook.Wall - 1) * 100, "%");
    print("late_look_cost_cpu", (withLook.Cpu / withoutLook.Cpu - 1) * 100, "%");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "retrieval_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
