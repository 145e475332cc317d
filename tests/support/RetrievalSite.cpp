#include "support/RetrievalSite.h"

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "support/HiveText.h"

namespace {

// Runs a prepared statement in a transaction of its own.
void ExecCommitted(TSiteDatabase& database, TSiteQuery& query) {
  database.StartTransaction();
  try {
    query.ExecSQL();
    database.Commit();
  } catch (...) {
    database.Rollback();
    throw;
  }
}

// A server installation of the site product whose database is database.
std::string InstallationRegistry(const TFixtureDatabase& database,
                                 const TSiteFixtureOptions& options) {
  return HiveText()
      .Key("Software\\Orvel\\Install")
      .String("InstallType", "A")
      .String("PATH", "/opt/corvane")
      .Key("Software\\Orvel\\Corvane")
      .String("Stage", options.SWFileVersion)
      .Key("Software\\Orvel\\Omnid\\Login")
      .String("Database", database.Name())
      .Key("Software\\Orvel\\DataCollector")
      .String("ClientToken", "retrieval-test")
      .String("LocCode", options.LocationCode);
}

}  // namespace

TRetrievalSite::TRetrievalSite(const TSiteFixtureOptions& options, TConnectionMode mode)
    : FDatabase(options, mode), FRegistry(InstallationRegistry(FDatabase, options)) {
  std::vector<std::string> log;
  TRetrievalCollector installer(log);
  installer.Attach();
  FDatabase.Connect(FWriter);
}

TRetrievalSite::~TRetrievalSite() { FWriter.Disconnect(); }

void TRetrievalSite::Exec(const std::string& sql) {
  TSiteQuery query(FWriter, sql);
  ExecCommitted(FWriter, query);
}

int64_t TRetrievalSite::Scalar(const std::string& sql) {
  FWriter.StartTransaction();
  TSiteQuery query(FWriter, sql);
  query.Open();
  const int64_t value = query.Eof() ? 0 : query.AsInteger(query.FieldName(0));
  query.Close();
  FWriter.Commit();
  return value;
}

void TRetrievalSite::AddSale(const TSale& sale) {
  TSiteQuery query(FWriter,
                   "INSERT INTO Sale (Site, ObjID, Terminal, ActualSaleID, Shift, Status, LogDate, "
                   "LogTime, Created, Modified) VALUES (1, :ObjID, :Terminal, :Actual, :Shift, "
                   ":Status, :LogDate, 600, :Created, :Modified)");
  const TDateTime created = sale.Created != 0 ? sale.Created : sale.Modified;
  query.SetInteger("ObjID", sale.Id);
  query.SetInteger("Terminal", sale.Terminal);
  if (sale.ActualSaleId) {
    query.SetInteger("Actual", *sale.ActualSaleId);
  } else {
    query.SetNull("Actual");
  }
  query.SetInteger("Shift", sale.Shift);
  query.SetInteger("Status", sale.Status);
  query.SetDate("LogDate", sale.LogDate != 0 ? sale.LogDate : DateOf(created));
  query.SetTimestamp("Created", created);
  query.SetTimestamp("Modified", sale.Modified);
  ExecCommitted(FWriter, query);
}

void TRetrievalSite::AddFact(int32_t saleId, int32_t fact, int32_t profitCenter, double data) {
  TSiteQuery query(FWriter, "INSERT INTO SaleFacts (Site, SaleID, Fact, ProfitCenter, Data) "
                            "VALUES (1, :SaleID, :Fact, :PC, :Data)");
  query.SetInteger("SaleID", saleId);
  query.SetInteger("Fact", fact);
  query.SetInteger("PC", profitCenter);
  query.SetDouble("Data", data);
  ExecCommitted(FWriter, query);
}

void TRetrievalSite::AddPass(int32_t saleId, int32_t status, double amount, double upsell) {
  TSiteQuery query(FWriter, "INSERT INTO SalePasses (Site, SaleID, Status, Amount, Upsell) "
                            "VALUES (1, :SaleID, :Status, :Amount, :Upsell)");
  query.SetInteger("SaleID", saleId);
  query.SetInteger("Status", status);
  query.SetDouble("Amount", amount);
  query.SetDouble("Upsell", upsell);
  ExecCommitted(FWriter, query);
}

void TRetrievalSite::AddSaleEmployee(int32_t saleId, int32_t employee, int32_t role,
                                     int32_t profitCenter) {
  TSiteQuery query(FWriter, "INSERT INTO SaleEmployees (Site, SaleID, Employee, EmpRole, "
                            "ProfitCenter) VALUES (1, :SaleID, :Employee, :Role, :PC)");
  query.SetInteger("SaleID", saleId);
  query.SetInteger("Employee", employee);
  query.SetInteger("Role", role);
  query.SetInteger("PC", profitCenter);
  ExecCommitted(FWriter, query);
}

void TRetrievalSite::AddEmployee(const TEmployee& employee) {
  TSiteQuery query(FWriter,
                   "INSERT INTO Employee (ObjID, Category, HomeSite, Enabled, Code, ActiveAt, "
                   "TermDate, Name, FirstName, LastName, Initials, MainPhone, AltPhone) VALUES "
                   "(:ID, :Category, :HomeSite, :Enabled, :Code, :ActiveAt, :TermDate, :Name, "
                   "'First', 'Last', 'FL', ' 555-0100 ', '')");
  query.SetInteger("ID", employee.Id);
  query.SetInteger("Category", employee.Category);
  query.SetInteger("HomeSite", employee.HomeSite);
  query.SetInteger("Enabled", employee.Enabled);
  query.SetInteger("Code", employee.Code);
  query.SetInteger("ActiveAt", employee.ActiveAt);
  if (employee.TermDate != 0) {
    query.SetDate("TermDate", employee.TermDate);
  } else {
    query.SetNull("TermDate");
  }
  query.SetText("Name", employee.Name.empty() ? "Employee " + std::to_string(employee.Id)
                                              : employee.Name);
  ExecCommitted(FWriter, query);
}

int32_t TRetrievalSite::AddPunch(int32_t employee, TDateTime date, const std::string& type,
                                 std::optional<int32_t> department, int32_t inTime,
                                 int32_t outTime) {
  TSiteQuery query(FWriter,
                   "INSERT INTO PunchInterval (ObjID, Site, Employee, PunchDate, PiType, "
                   "Department, InTime, OutTime, ActualIn, ActualOut, Rate, Multiplier) VALUES "
                   "(:ObjID, 1, :Employee, :PunchDate, :PiType, :Department, :InTime, :OutTime, "
                   "0, 0, 12.5, 1.0)");
  const int32_t id = FNextPunch++;
  query.SetInteger("ObjID", id);
  query.SetInteger("Employee", employee);
  query.SetDate("PunchDate", date);
  query.SetText("PiType", type);
  if (department) {
    query.SetInteger("Department", *department);
  } else {
    query.SetNull("Department");
  }
  query.SetInteger("InTime", inTime);
  query.SetInteger("OutTime", outTime);
  ExecCommitted(FWriter, query);
  return id;
}

TRetrievalCollector::TRetrievalCollector(std::vector<std::string>& log)
    : TDataCollector([&log](const std::string& msg, bool) { log.push_back(msg); }) {}

void TRetrievalCollector::Attach() {
  LoadConfiguration();
  if (!OpenDatabase()) throw EOrvelError("the fixture database did not open: " + LCfg->DBPath());
  VerifyDBStructures(false);
}

void TRetrievalCollector::ConnectServer() {
  LoadConfiguration();
  CreateServerConnection();
  if (!PrepareTLS()) throw EOrvelError("TLS could not be prepared");
  FInitialized = true;
}

std::unique_ptr<TCollectedData> TRetrievalCollector::RetrieveAndEnd(
    const TDataCollectorStatusObj& status, bool commit) {
  Begin();
  std::unique_ptr<TCollectedData> data;
  try {
    data = RetrieveData(status);
  } catch (...) {
    Rollback();
    throw;
  }
  if (commit) {
    Commit();
  } else {
    Rollback();
  }
  return data;
}

TDataCollectorStatusObj RetrievalStatus(TDateTime start, TDateTime end, TDateTime historyStart,
                                        TDateTime historyEnd, int32_t factId) {
  TDataCollectorStatusObj status;
  status.CurrentCycleStart = start;
  status.CurrentCycleEnd = end;
  status.CurrentHistoryStart = historyStart;
  status.CurrentHistoryEnd = historyEnd;
  status.ActiveHistoryFactID = factId;
  return status;
}
