// The collector's own objects in the site database: the status table, the
// pending employee-days table with the punch trigger that fills it, their
// grants, the upgrade of older versions' objects, and their removal.
#include <functional>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "collector/CollectorSchema.h"
#include "collector/DataCollector.h"
#include "firebird/SiteDatabase.h"

namespace {

const char kStatusColumns[] =
    "(ActiveHistoryFact int, ActiveHistoryStart timestamp, ActiveHistoryEnd timestamp, "
    "LastSent timestamp, LastCycleEnd timestamp)";

const char kPendingEmpDaysColumns[] =
    "(Employee int, PunchDate date, Modified TIMESTAMP DEFAULT CURRENT_TIMESTAMP NOT NULL, "
    "primary key (Employee, PunchDate, Modified))";

// One line, its runs of blanks included: the text is part of the database's
// metadata and compared by eye across sites. An insert or update notes the
// new employee day; an update that moves a punch to another employee or day,
// and a delete, note the old day too, so that the day the server already
// holds is sent again without the punch. A punch without an employee or a day
// belongs to no employee day and notes nothing.
const char kPendingEmpDaysTriggerBody[] =
    "FOR PUNCHINTERVAL ACTIVE AFTER INSERT OR UPDATE OR DELETE POSITION 200 AS begin   "
    "if (not DELETING and new.Employee is not null and new.PunchDate is not null)   then begin     "
    "delete from DC_PENDINGEMPDAYS_V111     where Employee = new.Employee and PunchDate = "
    "new.PunchDate and Modified = CURRENT_TIMESTAMP;     insert into DC_PENDINGEMPDAYS_V111 "
    "(Employee, PunchDate, Modified)     values (new.Employee, new.PunchDate, CURRENT_TIMESTAMP);   "
    "end   if (not INSERTING and old.Employee is not null and old.PunchDate is not null and "
    "(DELETING or new.Employee is distinct from old.Employee or new.PunchDate is distinct from "
    "old.PunchDate))   then begin     delete from DC_PENDINGEMPDAYS_V111     where Employee = "
    "old.Employee and PunchDate = old.PunchDate and Modified = CURRENT_TIMESTAMP;     insert "
    "into DC_PENDINGEMPDAYS_V111 (Employee, PunchDate, Modified)     values (old.Employee, "
    "old.PunchDate, CURRENT_TIMESTAMP);   end end ";

// The database keeps a trigger's source from its "AS" on.
std::string StoredTriggerSource(const std::string& body) {
  const size_t as = body.find(" AS ");
  return as == std::string::npos ? body : body.substr(as + 1);
}

const char* const kGrantees[] = {"ORVEL_ADMIN", "ORVEL_LOGON", "REPLICATE"};

enum class TTriggerMode { Keep = 0, Remove = 1, Disable = 2 };

// The read-only queries of InspectCollectorSchema, all on one query object.
class TSchemaReader {
 public:
  explicit TSchemaReader(TSiteDatabase& site) : query(site) {}

  bool Exists(const std::string& sql, const char* param, const std::string& name) {
    query.SetSQL(sql);
    query.SetText(param, name);
    query.Open();
    const bool exists = !query.Eof() && query.AsInteger("cnt") != 0;
    query.Close();
    return exists;
  }

  bool TableExists(const std::string& name) {
    return Exists("SELECT count(*) cnt FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = :TableName",
                  "TableName", name);
  }

  bool TriggerExists(const std::string& name) {
    return Exists("SELECT count(*) cnt FROM RDB$TRIGGERS WHERE RDB$TRIGGER_NAME = :TriggerName",
                  "TriggerName", name);
  }

  bool TriggerActive(const std::string& name) {
    query.SetSQL("SELECT RDB$TRIGGER_INACTIVE FROM RDB$TRIGGERS WHERE RDB$TRIGGER_NAME = :TriggerName");
    query.SetText("TriggerName", name);
    query.Open();
    const bool active = !query.Eof() && query.AsInteger("RDB$TRIGGER_INACTIVE") == 0;
    query.Close();
    return active;
  }

  // The trigger's source as the database holds it, blanks trimmed at both ends.
  std::string TriggerSource(const std::string& name) {
    query.SetSQL("SELECT CAST(RDB$TRIGGER_SOURCE AS VARCHAR(8000)) AS Source FROM RDB$TRIGGERS "
                  "WHERE RDB$TRIGGER_NAME = :TriggerName");
    query.SetText("TriggerName", name);
    query.Open();
    std::string source = query.Eof() ? std::string() : query.AsString("Source");
    query.Close();
    return TrimText(source);
  }

  // Read from the system tables rather than from a select on the table, which
  // would keep the table in use for a later drop in the same transaction.
  bool ColumnExists(const std::string& table, const std::string& column) {
    query.SetSQL("SELECT count(*) cnt FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = :TableName "
                  "AND RDB$FIELD_NAME = :ColumnName");
    query.SetText("TableName", table);
    query.SetText("ColumnName", column);
    query.Open();
    const bool exists = !query.Eof() && query.AsInteger("cnt") != 0;
    query.Close();
    return exists;
  }

 protected:
  TSiteQuery query;
};

// The steps of one VerifyDBStructures call, all on the reader's query object.
class TSchemaSteps : public TSchemaReader {
 public:
  TSchemaSteps(TSiteDatabase& site, const std::function<void(const std::string&)>& logLine)
      : TSchemaReader(site), database(site), log(logLine) {}

  int64_t Exec(const std::string& sql) {
    query.SetSQL(sql);
    return query.ExecSQL();
  }

  void CommitWork() { Exec("COMMIT"); }

  void GrantTableAccess(const std::string& table) {
    for (const char* grantee : kGrantees) {
      Exec("GRANT ALL PRIVILEGES ON " + table + " to " + grantee);
    }
  }

  bool EnsureTable(const std::string& name, const std::string& columns, bool exists, bool dropping) {
    const std::string table = "DC_" + name;
    if (!exists && !dropping) {
      log("Creating the DC_" + name + " table");
      Exec("create table DC_" + name + columns);
      GrantTableAccess(table);
      CommitWork();
      return true;
    }
    if (exists && dropping) {
      log("Dropping the DC_" + name + " table");
      Exec("drop table DC_" + name);
      CommitWork();
      return true;
    }
    return false;
  }

  // found: what the inspection found of the trigger.
  struct TTriggerFound {
    bool Exists = false;
    bool Active = false;
    bool Current = false;  // its source is body
  };

  bool EnsureTrigger(const std::string& name, const std::string& body, TTriggerMode mode, TTriggerFound found) {
    const std::string trigger = "DC_" + name;
    if (!found.Exists) {
      if (mode != TTriggerMode::Keep) return false;
      log("Creating the " + trigger + " trigger");
      Exec("CREATE OR ALTER TRIGGER " + trigger + " " + body);
      CommitWork();
      return true;
    }
    if (mode == TTriggerMode::Keep && !body.empty() && !found.Current) return ReplaceTrigger(trigger, body);
    const bool active = found.Active;
    if (mode == TTriggerMode::Keep) {
      if (!active) {
        Exec("alter trigger " + trigger + " active");
        CommitWork();
      }
      return false;
    }
    if (active) {
      log("Disabling the " + trigger + " trigger");
      Exec("alter trigger " + trigger + " inactive");
      CommitWork();
      return true;
    }
    if (mode == TTriggerMode::Remove) DropTrigger(trigger);
    return true;
  }

 private:
  // Brings a trigger of an older body to the current one. The pending rows it
  // noted stay. When the database refuses (the site product holds the table
  // in a way that blocks the change), the older trigger keeps noting the days
  // it noted before, and the next call tries again.
  bool ReplaceTrigger(const std::string& trigger, const std::string& body) {
    log("Updating the " + trigger + " trigger");
    CommitWork();
    try {
      Exec("CREATE OR ALTER TRIGGER " + trigger + " " + body);
      CommitWork();
      return true;
    } catch (const EDatabaseError& error) {
      log("Unable to update trigger " + trigger + " " + error.what());
      RestartTransaction();
    }
    if (!TriggerActive(trigger)) {
      Exec("alter trigger " + trigger + " active");
      CommitWork();
    }
    return false;
  }

  void RestartTransaction() {
    query.Close();
    if (database.InTransaction()) database.Rollback();
    database.StartTransaction();
  }

  // Firebird applies a drop when the transaction commits, so a trigger whose
  // table another connection holds in use fails at the commit as often as at
  // the statement. Either way the drop alone is undone and the trigger stays
  // inactive for the next call to try again; the work before it is committed
  // first so that undoing the drop cannot take it along.
  void DropTrigger(const std::string& trigger) {
    log("Dropping the " + trigger + " trigger");
    CommitWork();
    try {
      Exec("drop trigger " + trigger);
      CommitWork();
    } catch (const EDatabaseError& error) {
      log("Unable to drop trigger " + trigger + " " + error.what());
      RestartTransaction();
    }
  }

  TSiteDatabase& database;
  const std::function<void(const std::string&)>& log;
};

}  // namespace

TCollectorSchema InspectCollectorSchema(TSiteDatabase& database) {
  TSchemaReader reader(database);
  TCollectorSchema found;
  found.StatusTable = reader.TableExists("DC_STATUS");
  found.StatusHasHistoryFact =
      found.StatusTable && reader.ColumnExists("DC_STATUS", "ACTIVEHISTORYFACT");
  found.PendingTable = reader.TableExists("DC_PENDINGEMPDAYS_V111");
  found.PendingTrigger = reader.TriggerExists("DC_PENDINGEMPDAYS_V111_TRG");
  if (found.PendingTrigger) {
    found.PendingTriggerActive = reader.TriggerActive("DC_PENDINGEMPDAYS_V111_TRG");
    found.PendingTriggerCurrent = reader.TriggerSource("DC_PENDINGEMPDAYS_V111_TRG") ==
                                  TrimText(StoredTriggerSource(kPendingEmpDaysTriggerBody));
  }
  found.OldTrigger = reader.TriggerExists("DC_PENDINGEMPDAYS_TRG");
  if (found.OldTrigger) found.OldTriggerActive = reader.TriggerActive("DC_PENDINGEMPDAYS_TRG");
  found.OldTable = reader.TableExists("DC_PENDINGEMPDAYS");
  return found;
}

std::vector<std::string> TCollectorSchema::Problems() const {
  std::vector<std::string> problems;
  if (!StatusTable) {
    problems.push_back("table DC_STATUS is missing");
  } else if (!StatusHasHistoryFact) {
    problems.push_back("DC_STATUS lacks the ActiveHistoryFact column");
  }
  if (!PendingTable) problems.push_back("table DC_PENDINGEMPDAYS_V111 is missing");
  if (!PendingTrigger) {
    problems.push_back("trigger DC_PENDINGEMPDAYS_V111_TRG is missing");
  } else if (!PendingTriggerActive) {
    problems.push_back("trigger DC_PENDINGEMPDAYS_V111_TRG is inactive");
  }
  if (OldTrigger) problems.push_back("the old trigger DC_PENDINGEMPDAYS_TRG is still there");
  return problems;
}

void TDataCollector::VerifyDBStructures(bool Remove) {
  const std::function<void(const std::string&)> log = [this](const std::string& msg) { Log(msg); };
  bool changed = false;

  StartTransaction();
  // Each object is read before any is changed: no step changes an object that
  // a later step reads.
  const TCollectorSchema found = InspectCollectorSchema(*LDB);
  TSchemaSteps steps(*LDB, log);
  if (!Remove && found.StatusTable && !found.StatusHasHistoryFact) {
    Log("Adding ActiveHistoryFact field to DC_STATUS table");
    steps.Exec("ALTER TABLE DC_STATUS ADD ActiveHistoryFact int");
    changed = true;
  }
  if (steps.EnsureTable("STATUS", kStatusColumns, found.StatusTable, Remove)) changed = true;
  if (!Remove && steps.EnsureTable("PENDINGEMPDAYS_V111", kPendingEmpDaysColumns, found.PendingTable, false)) {
    changed = true;
  }
  if (Remove && found.PendingTable) {
    if (steps.Exec("DELETE FROM DC_PENDINGEMPDAYS_V111") > 0) {
      changed = true;
      Log("Cleared pending employee punches");
    }
  }
  if (steps.EnsureTrigger("PENDINGEMPDAYS_V111_TRG", kPendingEmpDaysTriggerBody,
                          Remove ? TTriggerMode::Disable : TTriggerMode::Keep,
                          {found.PendingTrigger, found.PendingTriggerActive, found.PendingTriggerCurrent})) {
    changed = true;
  }
  if (steps.EnsureTrigger("PENDINGEMPDAYS_TRG", "", TTriggerMode::Remove,
                          {found.OldTrigger, found.OldTriggerActive, true})) {
    changed = true;
  }
  if (found.OldTable) {
    if (steps.Exec("DELETE FROM DC_PENDINGEMPDAYS") > 0) {
      changed = true;
      Log("Cleared old table pending employee punches");
    }
  }
  if (changed) {
    Log("Committing new table structures");
    steps.Exec("commit");
  }
  CommitTransaction();
}

void TDataCollector::Uninstall() {
  if (!FInitialized) LoadConfiguration();
  if (!BasicSystemChecksOK()) return;
  try {
    // A failed open may leave the connection attached; it is closed below
    // like every other outcome.
    if (OpenDatabase()) {
      try {
        VerifyDBStructures(true);
      } catch (const std::exception& error) {
        RollbackTransaction();
        Log(std::string("Error while uninstalling database structures: ") + error.what());
        Log("Next Zentrim should remove Quorix database structures");
      }
    }
  } catch (...) {
    CloseDatabase();
    throw;
  }
  CloseDatabase();
}
