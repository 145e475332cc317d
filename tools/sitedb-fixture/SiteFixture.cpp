#include "sitedb-fixture/SiteFixture.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "Shared/Orvel_Shared/DBCredentials.h"
#include "firebird/SiteDatabase.h"

namespace {

using namespace SiteFixtureIds;

// The site product's tables as far as the collector reads them, with the
// types the collector reads them as. The product's own keys and indexes are
// added where the collector's queries walk them.
const char* const kTables[] = {
    "CREATE TABLE SiteSpecific (CurrentSite INTEGER)",
    "CREATE TABLE SiteList (ID INTEGER NOT NULL PRIMARY KEY, Name VARCHAR(40), "
    "SWFileVersion VARCHAR(20), LocationCode VARCHAR(20))",
    "CREATE TABLE System (Site INTEGER NOT NULL PRIMARY KEY, WorkWeekStartDay INTEGER, "
    "WashCountThreshold INTEGER, SiteOpen VARCHAR(200), SiteSalesThreshold DOUBLE PRECISION)",
    "CREATE TABLE Terminal (ObjID INTEGER NOT NULL PRIMARY KEY, Site INTEGER, "
    "TerminalType INTEGER, Name VARCHAR(40))",
    "CREATE TABLE Sale (Site INTEGER NOT NULL, ObjID INTEGER NOT NULL, Terminal INTEGER, "
    "ActualSaleID INTEGER, Shift SMALLINT, Status SMALLINT, LogDate DATE, LogTime INTEGER, "
    "Created TIMESTAMP, Modified TIMESTAMP, PRIMARY KEY (Site, ObjID))",
    "CREATE INDEX Sale_Modified ON Sale (Modified)",
    "CREATE INDEX Sale_LogDate ON Sale (LogDate)",
    "CREATE TABLE SaleFacts (Site INTEGER NOT NULL, SaleID INTEGER NOT NULL, "
    "Fact INTEGER NOT NULL, ProfitCenter INTEGER, Data $FACT)",
    "CREATE INDEX SaleFacts_Sale ON SaleFacts (Site, SaleID)",
    "CREATE TABLE SaleEmployees (Site INTEGER NOT NULL, SaleID INTEGER NOT NULL, "
    "Employee INTEGER, EmpRole INTEGER, ProfitCenter INTEGER)",
    "CREATE INDEX SaleEmployees_Sale ON SaleEmployees (Site, SaleID)",
    "CREATE TABLE EmpRole (ObjID INTEGER NOT NULL PRIMARY KEY, ProfitCenter INTEGER, "
    "Typ INTEGER, Name VARCHAR(40))",
    "CREATE TABLE PunchInterval (ObjID INTEGER NOT NULL PRIMARY KEY, Site INTEGER, "
    "Employee INTEGER, PunchDate DATE, PiType CHAR(1), Department INTEGER, InTime SMALLINT, "
    "OutTime SMALLINT, ActualIn INTEGER, ActualOut INTEGER, Rate DOUBLE PRECISION, "
    "Multiplier DOUBLE PRECISION)",
    "CREATE INDEX PunchInterval_Day ON PunchInterval (Employee, PunchDate)",
    "CREATE INDEX PunchInterval_Date ON PunchInterval (PunchDate)",
    "CREATE TABLE Employee (ObjID INTEGER NOT NULL PRIMARY KEY, Category INTEGER, "
    "HomeSite INTEGER, Enabled INTEGER, Code INTEGER, ActiveAt INTEGER, TermDate DATE, "
    "Name VARCHAR(60), FirstName VARCHAR(30), LastName VARCHAR(30), Initials VARCHAR(5), "
    "MainPhone VARCHAR(20), AltPhone VARCHAR(20))",
    "CREATE TABLE SiteGroupSites (SiteGroup INTEGER NOT NULL, Site INTEGER NOT NULL)",
    "CREATE TABLE EmpCategory (ObjID INTEGER NOT NULL PRIMARY KEY, Name VARCHAR(40))",
    "CREATE TABLE Service (ObjID INTEGER NOT NULL PRIMARY KEY, ProfitCenter INTEGER, "
    "HistoryBit INTEGER, Enabled INTEGER, Name VARCHAR(40))",
    "CREATE TABLE PlanType (ObjID INTEGER NOT NULL PRIMARY KEY, Typ INTEGER, Fact INTEGER, "
    "ExpirationAge INTEGER, Enabled INTEGER, Name VARCHAR(40))",
};

const char* const kSalePassesTable[] = {
    "CREATE TABLE SalePasses (Site INTEGER NOT NULL, SaleID INTEGER NOT NULL, Status INTEGER, "
    "Amount $PASS, Upsell $PASS)",
    "CREATE INDEX SalePasses_Sale ON SalePasses (Site, SaleID)",
};

const char* const kRoles[] = {"ORVEL_ADMIN", "ORVEL_LOGON", "REPLICATE"};

// The table text with the money types of the options in place of $FACT and
// $PASS.
std::string TableSQL(const char* sql, const TSiteFixtureOptions& options) {
  std::string text = sql;
  const std::pair<const char*, const char*> types[] = {
      {"$FACT", options.NumericMoney ? "NUMERIC(18,2)" : "DOUBLE PRECISION"},
      {"$PASS", options.NumericMoney ? "NUMERIC(15,4)" : "DOUBLE PRECISION"}};
  for (const auto& [marker, type] : types) {
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
      text.replace(at, std::strlen(marker), type);
    }
  }
  return text;
}

constexpr int kProfitCenters = 3;
constexpr int kHistoryBitsPerCenter = 12;
constexpr int kSiteTerminals = 6;
constexpr int kRoleCount = 8;
constexpr int kCategoryCount = 4;
constexpr int32_t kAllSites = -2147483647;

// A small deterministic generator (SplitMix64): the same seed gives the same
// load on every platform and library version.
class TRandom {
 public:
  explicit TRandom(uint64_t seed) : FState(seed) {}
  uint64_t Next() {
    uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // An integer in [low, high].
  int32_t Range(int32_t low, int32_t high) {
    return low + static_cast<int32_t>(Next() % static_cast<uint64_t>(high - low + 1));
  }
  // A number in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
  bool Chance(double probability) { return Unit() < probability; }
  // An amount in cents, as a double with two decimals.
  double Money(int32_t lowCents, int32_t highCents) { return Range(lowCents, highCents) / 100.0; }

 private:
  uint64_t FState;
};

void Exec(TSiteDatabase& database, const std::string& sql) {
  TSiteQuery query(database, sql);
  query.ExecSQL();
}

void CommitAndContinue(TSiteDatabase& database) {
  database.Commit();
  database.StartTransaction();
}

void InsertReferences(TSiteDatabase& database, const TSiteFixtureOptions& options,
                      TSiteLoadSummary& summary) {
  Exec(database, "INSERT INTO SiteSpecific (CurrentSite) VALUES (" + std::to_string(options.Site) + ")");

  TSiteQuery site(database,
                  "INSERT INTO SiteList (ID, Name, SWFileVersion, LocationCode) "
                  "VALUES (:ID, :Name, :Version, :Loc)");
  site.SetInteger("ID", options.Site);
  site.SetText("Name", "Main Street Wash");
  site.SetText("Version", options.SWFileVersion);
  site.SetText("Loc", options.LocationCode);
  site.ExecSQL();
  site.SetInteger("ID", kOtherSite);
  site.SetText("Name", "Harbor Road Wash");
  site.SetText("Loc", "TST002");
  site.ExecSQL();

  TSiteQuery system(database,
                    "INSERT INTO System (Site, WorkWeekStartDay, WashCountThreshold, SiteOpen, "
                    "SiteSalesThreshold) VALUES (:Site, 2, 25, :Open, 1500.5)");
  system.SetInteger("Site", options.Site);
  system.SetText("Open", "07:00-20:00,07:00-20:00,07:00-20:00,07:00-20:00,07:00-21:00,"
                         "08:00-21:00,08:00-18:00");
  system.ExecSQL();

  TSiteQuery group(database, "INSERT INTO SiteGroupSites (SiteGroup, Site) VALUES (:G, :S)");
  for (int32_t member : {options.Site, kOtherSite}) {
    group.SetInteger("G", kSiteGroup);
    group.SetInteger("S", member);
    group.ExecSQL();
  }

  TSiteQuery terminal(database, "INSERT INTO Terminal (ObjID, Site, TerminalType, Name) "
                                "VALUES (:ID, :Site, :Type, :Name)");
  auto addTerminal = [&](int32_t id, int32_t siteId, int32_t type, const std::string& name) {
    terminal.SetInteger("ID", id);
    terminal.SetInteger("Site", siteId);
    terminal.SetInteger("Type", type);
    terminal.SetText("Name", name);
    terminal.ExecSQL();
    ++summary.Terminals;
  };
  static const char* const kTerminalNames[] = {"Pay Station 1", "Pay Station 2", "Tunnel Entry",
                                               "Office POS",    "Détail Café",   "Vacuum Île"};
  static const int32_t kTerminalTypes[] = {1, 1, 3, 2, 2, 4};
  for (int i = 0; i < kSiteTerminals; ++i) {
    addTerminal(kFirstTerminal + i, options.Site, kTerminalTypes[i], kTerminalNames[i]);
  }
  if (options.WithRivoTerminal) addTerminal(kRivoTerminal, options.Site, 9, "Rivo Recharge");
  addTerminal(kOtherSiteTerminal, kOtherSite, 1, "Harbor Pay Station");

  TSiteQuery category(database, "INSERT INTO EmpCategory (ObjID, Name) VALUES (:ID, :Name)");
  static const char* const kCategoryNames[] = {"Manager", "Cashier", "Attendant", "Café staff"};
  for (int i = 0; i < kCategoryCount; ++i) {
    category.SetInteger("ID", kFirstCategory + i);
    category.SetText("Name", kCategoryNames[i]);
    category.ExecSQL();
    ++summary.Categories;
  }

  TSiteQuery role(database, "INSERT INTO EmpRole (ObjID, ProfitCenter, Typ, Name) "
                            "VALUES (:ID, :PC, :Typ, :Name)");
  static const char* const kRoleNames[] = {"Greeter",  "Shift Lead", "Préposé", "Dryer",
                                           "Detailer", "Caissière",  "Closer",  "Trainee"};
  for (int i = 0; i < kRoleCount; ++i) {
    role.SetInteger("ID", kFirstRole + i);
    role.SetInteger("PC", 1 + i % kProfitCenters);
    role.SetInteger("Typ", (kFirstRole + i) % 2 == 1 ? 30 : 10);
    role.SetText("Name", kRoleNames[i]);
    role.ExecSQL();
    ++summary.Roles;
  }

  TSiteQuery service(database, "INSERT INTO Service (ObjID, ProfitCenter, HistoryBit, Enabled, "
                               "Name) VALUES (:ID, :PC, :Bit, :Enabled, :Name)");
  static const char* const kServiceNames[] = {"Basic Wash", "Deluxe Wash", "Ultimate Wash",
                                              "Tire Shine", "Undercarriage", "Crème Wax",
                                              "Rain Guard™", "Triple Foam", "Wheel Clean",
                                              "Interior",   "Air Fraîcheur", "Mat Clean"};
  for (int pc = 1; pc <= kProfitCenters; ++pc) {
    for (int bit = 1; bit <= kHistoryBitsPerCenter; ++bit) {
      service.SetInteger("ID", pc * 100 + bit);
      service.SetInteger("PC", pc);
      service.SetInteger("Bit", bit);
      service.SetInteger("Enabled", bit == kHistoryBitsPerCenter ? 0 : 1);
      service.SetText("Name", std::string(kServiceNames[bit - 1]) + (pc == 1 ? "" : " PC" + std::to_string(pc)));
      service.ExecSQL();
      ++summary.Services;
    }
  }

  Exec(database,
       "INSERT INTO PlanType (ObjID, Typ, Fact, ExpirationAge, Enabled, Name) "
       "VALUES (1, 1, 54741, 30, 1, 'Unlimited Basic')");
  Exec(database,
       "INSERT INTO PlanType (ObjID, Typ, Fact, ExpirationAge, Enabled, Name) "
       "VALUES (2, 2, 54741, 30, 1, 'Unlimited Ultimate')");
}

// The first character of a UTF-8 name.
std::string Initial(const std::string& name) {
  size_t end = 1;
  while (end < name.size() && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) ++end;
  return name.substr(0, end);
}

struct TEmployeeInfo {
  int32_t Id;
  bool Works;  // punches and sells at the site
};

std::vector<TEmployeeInfo> InsertEmployees(TSiteDatabase& database,
                                           const TSiteFixtureOptions& options, TRandom& random,
                                           TDateTime firstDay, TSiteLoadSummary& summary) {
  // A few names carry accented letters; the first two employees always have
  // the same two such names and work at the site, so that every load and
  // every first document holds them.
  static const char* const kFirst[] = {"Anna", "Ben",  "Carla", "Dmitri", "Renée",
                                       "José", "Kai",  "Lena",  "Marcus", "Nia",
                                       "Omar", "Paula", "Quinn", "Rosa",  "Sam"};
  static const char* const kLast[] = {"Alvarez",  "Brooks", "Chen",   "Dubois", "Eriksen",
                                      "Fischer",  "García", "Hughes", "Ito",    "Jensen",
                                      "Kowalski", "Larsen", "Müller", "Novak",  "O'Brien"};
  static const std::pair<const char*, const char*> kFixedNames[] = {{"Zoë", "Zimmer"},
                                                                    {"Marta", "Garçía"}};
  const int count = std::min(200, 10 + options.Sales / 500);
  std::vector<TEmployeeInfo> employees;
  TSiteQuery insert(database,
                    "INSERT INTO Employee (ObjID, Category, HomeSite, Enabled, Code, ActiveAt, "
                    "TermDate, Name, FirstName, LastName, Initials, MainPhone, AltPhone) VALUES "
                    "(:ID, :Category, :HomeSite, :Enabled, :Code, :ActiveAt, :TermDate, :Name, "
                    ":FirstName, :LastName, :Initials, :MainPhone, :AltPhone)");
  for (int i = 0; i < count; ++i) {
    const int32_t id = kFirstEmployee + i;
    std::string first = kFirst[random.Range(0, std::size(kFirst) - 1)];
    std::string last = kLast[random.Range(0, std::size(kLast) - 1)];
    bool homeHere = random.Chance(0.9);
    bool enabled = random.Chance(0.95);
    bool terminated = random.Chance(0.08);
    const double activeRoll = random.Unit();
    int32_t activeAt = activeRoll < 0.6    ? kAllSites
                       : activeRoll < 0.85 ? options.Site
                       : activeRoll < 0.95 ? -kSiteGroup
                                           : kOtherSite;
    if (i < static_cast<int>(std::size(kFixedNames))) {  // they work at the site
      std::tie(first, last) = kFixedNames[i];
      homeHere = enabled = true;
      terminated = false;
      activeAt = kAllSites;
    }
    insert.SetInteger("ID", id);
    insert.SetInteger("Category", kFirstCategory + random.Range(0, kCategoryCount - 1));
    insert.SetInteger("HomeSite", homeHere ? options.Site : kOtherSite);
    insert.SetInteger("Enabled", enabled ? 1 : 0);
    insert.SetInteger("Code", random.Chance(0.97) ? 100 + i : 0);
    insert.SetInteger("ActiveAt", activeAt);
    if (terminated) {
      insert.SetDate("TermDate", firstDay - random.Range(1, 400));
    } else {
      insert.SetNull("TermDate");
    }
    insert.SetText("Name", first + " " + last);
    insert.SetText("FirstName", first);
    insert.SetText("LastName", last);
    insert.SetText("Initials", Initial(first) + Initial(last));
    insert.SetText("MainPhone", "555-01" + std::to_string(10 + i % 90));
    if (random.Chance(0.3)) {
      insert.SetText("AltPhone", "555-02" + std::to_string(10 + i % 90));
    } else {
      insert.SetText("AltPhone", "");
    }
    insert.ExecSQL();
    ++summary.Employees;
    employees.push_back({id, homeHere && enabled && !terminated});
  }
  // A site needs people on the floor whatever the draw.
  if (std::none_of(employees.begin(), employees.end(), [](const TEmployeeInfo& e) { return e.Works; })) {
    employees.front().Works = true;
    Exec(database, "UPDATE Employee SET HomeSite = " + std::to_string(options.Site) +
                       ", Enabled = 1, TermDate = NULL WHERE ObjID = " +
                       std::to_string(employees.front().Id));
  }
  return employees;
}

}  // namespace

TSiteLoadSummary CreateSiteDatabase(const std::string& databaseName,
                                    const TSiteFixtureOptions& options) {
  TSiteDatabase database;
  TSiteDatabase::TCreateOptions create;
  create.ForcedWrites = false;  // fixture data is disposable; bulk loads go much faster
  create.DefaultCharset = options.Charset;
  database.Create(databaseName, options.User.empty() ? DBUserName() : options.User,
                  options.Password, create);
  const TSiteLoadSummary summary = BuildSiteDatabase(database, options);
  database.Disconnect();
  return summary;
}

TSiteLoadSummary BuildSiteDatabase(TSiteDatabase& database, const TSiteFixtureOptions& options) {
  TSiteLoadSummary summary;
  database.StartTransaction();
  for (const char* role : kRoles) Exec(database, std::string("CREATE ROLE ") + role);
  for (const char* sql : kTables) Exec(database, TableSQL(sql, options));
  if (options.WithSalePasses) {
    for (const char* sql : kSalePassesTable) Exec(database, TableSQL(sql, options));
  }
  CommitAndContinue(database);
  InsertReferences(database, options, summary);
  database.Commit();
  if (options.Sales > 0) {
    const TSiteLoadSummary load = GenerateSiteLoad(database, options);
    summary.Sales = load.Sales;
    summary.SaleFacts = load.SaleFacts;
    summary.SalePasses = load.SalePasses;
    summary.SaleEmployees = load.SaleEmployees;
    summary.Punches = load.Punches;
    summary.Employees = load.Employees;
  }
  return summary;
}

TSiteLoadSummary GenerateSiteLoad(TSiteDatabase& database, const TSiteFixtureOptions& options) {
  TSiteLoadSummary summary;
  TRandom random(options.Seed);
  const int32_t days = std::max(1, options.Days);
  const TDateTime lastDay = options.LastDay != 0 ? DateOf(options.LastDay) : DateOf(DateTimeNow());
  const TDateTime firstDay = lastDay - (days - 1);

  database.StartTransaction();
  const std::vector<TEmployeeInfo> employees =
      InsertEmployees(database, options, random, firstDay, summary);
  std::vector<int32_t> workers;
  for (const TEmployeeInfo& e : employees) {
    if (e.Works) workers.push_back(e.Id);
  }

  TSiteQuery sale(database,
                  "INSERT INTO Sale (Site, ObjID, Terminal, ActualSaleID, Shift, Status, LogDate, "
                  "LogTime, Created, Modified) VALUES (:Site, :ObjID, :Terminal, :ActualSaleID, "
                  ":Shift, :Status, :LogDate, :LogTime, :Created, :Modified)");
  TSiteQuery fact(database, "INSERT INTO SaleFacts (Site, SaleID, Fact, ProfitCenter, Data) "
                            "VALUES (:Site, :SaleID, :Fact, :PC, :Data)");
  TSiteQuery employee(database,
                      "INSERT INTO SaleEmployees (Site, SaleID, Employee, EmpRole, ProfitCenter) "
                      "VALUES (:Site, :SaleID, :Employee, :Role, :PC)");
  std::unique_ptr<TSiteQuery> pass;
  if (options.WithSalePasses) {
    pass = std::make_unique<TSiteQuery>(
        database, "INSERT INTO SalePasses (Site, SaleID, Status, Amount, Upsell) "
                  "VALUES (:Site, :SaleID, :Status, :Amount, :Upsell)");
    pass->SetInteger("Site", options.Site);
  }
  sale.SetInteger("Site", options.Site);
  fact.SetInteger("Site", options.Site);
  employee.SetInteger("Site", options.Site);

  auto addFact = [&](int32_t saleId, int32_t factId, int32_t profitCenter, double data) {
    fact.SetInteger("SaleID", saleId);
    fact.SetInteger("Fact", factId);
    fact.SetInteger("PC", profitCenter);
    fact.SetDouble("Data", data);
    fact.ExecSQL();
    ++summary.SaleFacts;
  };

  constexpr double kOpen = 7.0 / 24.0;
  constexpr double kClose = 20.0 / 24.0;
  constexpr int32_t kCommitEvery = 5000;
  int32_t saleId = 0;
  for (int32_t day = 0; day < days; ++day) {
    const TDateTime date = firstDay + day;
    const int32_t todays = static_cast<int32_t>(
        static_cast<int64_t>(options.Sales) * (day + 1) / days -
        static_cast<int64_t>(options.Sales) * day / days);
    for (int32_t n = 0; n < todays; ++n) {
      ++saleId;
      // Sales run through the opening hours in order, whole seconds.
      const double slot = kOpen + (n + random.Unit()) * (kClose - kOpen) / todays;
      const int32_t logTime = static_cast<int32_t>(slot * 86400.0);
      const TDateTime created = date + logTime / 86400.0;
      const TDateTime modified =
          random.Chance(0.05) ? created + random.Range(60, 3600) / 86400.0 : created;
      const double statusRoll = random.Unit();
      const int32_t status = statusRoll < 0.9 ? 0 : statusRoll < 0.95 ? 1 : statusRoll < 0.98 ? -9 : 2;
      const bool rivo = options.WithRivoTerminal && random.Chance(0.03);

      sale.SetInteger("ObjID", saleId);
      sale.SetInteger("Terminal", rivo ? kRivoTerminal : kFirstTerminal + random.Range(0, kSiteTerminals - 1));
      const double refRoll = random.Unit();
      if (refRoll < 0.02 && saleId > 1) {
        sale.SetInteger("ActualSaleID", random.Range(std::max(1, saleId - 50), saleId - 1));
      } else if (refRoll < 0.025) {
        sale.SetInteger("ActualSaleID", 900000000 + saleId);  // a sale since deleted
      } else {
        sale.SetNull("ActualSaleID");
      }
      sale.SetInteger("Shift", logTime < 13 * 3600 ? 1 : logTime < 17 * 3600 ? 2 : 3);
      sale.SetInteger("Status", status);
      sale.SetDate("LogDate", date);
      sale.SetInteger("LogTime", logTime);
      sale.SetTimestamp("Created", created);
      sale.SetTimestamp("Modified", modified);
      sale.ExecSQL();
      ++summary.Sales;

      const double total = random.Money(500, 4500);
      addFact(saleId, 1, 0, total);
      const int services = random.Range(1, 3);
      for (int s = 0; s < services; ++s) {
        const int32_t pc = 1 + (s + random.Range(0, 2)) % kProfitCenters;
        addFact(saleId, 100 + pc, pc, 1.0);
        int64_t bits = 0;
        const int bitCount = random.Range(1, 4);
        for (int b = 0; b < bitCount; ++b) bits |= int64_t{1} << random.Range(1, kHistoryBitsPerCenter);
        addFact(saleId, 54711, pc, static_cast<double>(bits));
      }
      if (random.Chance(0.3)) addFact(saleId, 2, 0, random.Money(0, 500));  // tip
      if (rivo || random.Chance(0.1)) {
        addFact(saleId, 54741, 0, random.Money(1000, 4000));
        addFact(saleId, 54742, 0, 1.0);
        addFact(saleId, 54743, 0, random.Money(0, 800));
      }

      if (pass && (rivo || random.Chance(0.15))) {
        const int passes = random.Range(1, 2);
        for (int p = 0; p < passes; ++p) {
          const double passRoll = random.Unit();
          pass->SetInteger("SaleID", saleId);
          pass->SetInteger("Status", passRoll < 0.7 ? 0 : passRoll < 0.9 ? 10 : 50);
          pass->SetDouble("Amount", random.Money(1000, 3500));
          pass->SetDouble("Upsell", random.Money(0, 600));
          pass->ExecSQL();
          ++summary.SalePasses;
        }
      }

      const int sellers = workers.empty() ? 0 : random.Range(1, 2);
      for (int e = 0; e < sellers; ++e) {
        employee.SetInteger("SaleID", saleId);
        employee.SetInteger("Employee", workers[random.Range(0, static_cast<int32_t>(workers.size()) - 1)]);
        employee.SetInteger("Role", kFirstRole + random.Range(0, kRoleCount - 1));
        employee.SetInteger("PC", 1 + random.Range(0, kProfitCenters - 1));
        employee.ExecSQL();
        ++summary.SaleEmployees;
      }

      if (saleId % kCommitEvery == 0) CommitAndContinue(database);
    }
  }

  TSiteQuery punch(database,
                   "INSERT INTO PunchInterval (ObjID, Site, Employee, PunchDate, PiType, "
                   "Department, InTime, OutTime, ActualIn, ActualOut, Rate, Multiplier) VALUES "
                   "(:ObjID, :Site, :Employee, :PunchDate, :PiType, :Department, :InTime, "
                   ":OutTime, :ActualIn, :ActualOut, :Rate, :Multiplier)");
  punch.SetInteger("Site", options.Site);
  int32_t punchId = 0;
  auto addPunch = [&](int32_t who, TDateTime date, const char* type, int32_t in, int32_t out,
                      double rate, double multiplier) {
    punch.SetInteger("ObjID", ++punchId);
    punch.SetInteger("Employee", who);
    punch.SetDate("PunchDate", date);
    punch.SetText("PiType", type);
    if (random.Chance(0.2)) {
      punch.SetNull("Department");
    } else {
      punch.SetInteger("Department", random.Range(1, 3));
    }
    punch.SetInteger("InTime", in);
    punch.SetInteger("OutTime", out);
    punch.SetInteger("ActualIn", in * 60 + random.Range(-300, 300));
    punch.SetInteger("ActualOut", out * 60 + random.Range(-300, 300));
    punch.SetDouble("Rate", rate);
    punch.SetDouble("Multiplier", multiplier);
    punch.ExecSQL();
    ++summary.Punches;
  };
  for (int32_t day = 0; day < days; ++day) {
    const TDateTime date = firstDay + day;
    for (int32_t who : workers) {
      if (!random.Chance(0.7)) continue;
      const double rate = random.Range(1200, 2200) / 100.0;
      const int32_t in = random.Range(6 * 60, 11 * 60);  // minutes after midnight
      const int32_t out = in + random.Range(4 * 60, 9 * 60);
      addPunch(who, date, "R", in, out, rate, 1.0);
      if (random.Chance(0.3)) addPunch(who, date, "B", in + 180, in + 210, 0.0, 0.0);
      if (random.Chance(0.1)) addPunch(who, date, "O", out, std::min(out + 90, 1439), rate, 1.5);
    }
    CommitAndContinue(database);
  }
  database.Commit();
  return summary;
}
