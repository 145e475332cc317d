// The site-database session of the collector: connecting, reading the site
// row into the configuration, preparing the SalePasses query, the version and
// location checks, and the helpers of the connection's default transaction.
#include <string>

#include "Shared/Orvel_Shared/DBCredentials.h"
#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "collector/DataCollector.h"
#include "collector/Retrieval.h"
#include "firebird/SiteDatabase.h"

namespace {

const char kSiteQuery[] =
    "SELECT SL.ID, SL.SWFileVersion, SL.LocationCode, S.WorkWeekStartDay, S.SiteOpen, "
    "S.SiteSalesThreshold, S.WashCountThreshold, T.ObjID RivoTermID FROM SiteList SL "
    "LEFT JOIN System S on S.Site = SL.ID LEFT JOIN Terminal T on T.Site = SL.ID and "
    "T.TerminalType = 9 WHERE SL.ID = (SELECT CurrentSite FROM SiteSpecific)";

}  // namespace

void TDataCollector::StartTransaction() {
  if (!LDB->InTransaction()) LDB->StartTransaction();
}

void TDataCollector::CommitTransaction() {
  if (LDB->InTransaction()) LDB->Commit();
}

void TDataCollector::RollbackTransaction() {
  if (LDB->InTransaction()) LDB->Rollback();
}

void TDataCollector::CloseDatabase() { LDB->Disconnect(); }

bool TDataCollector::OpenDatabase() {
  TDataCollectorConfiguration& cfg = *LCfg;
  const std::string dbPath = cfg.DBPath();
  Log("Connecting to " + dbPath);
  try {
    LDB->Connect(dbPath, DBUserName(), DBPassword());
  } catch (const EDatabaseError& error) {
    LogProblem(TProblemSubject::DatabaseConnection, "ERROR: Failed to connect to " + dbPath + ": " + error.what());
    LDB->Disconnect();
    return false;
  }

  StartTransaction();
  bool siteFound = false;
  try {
    TSiteQuery site(*LDB, kSiteQuery);
    site.Open();
    if (site.Eof()) {
      LogProblem(TProblemSubject::SiteRow, "ERROR: Failed to verify database version");
    } else {
      siteFound = true;
      cfg.SetDBSite(static_cast<int32_t>(site.AsInteger("ID")));
      cfg.SetDBFileVersion(TrimText(site.AsString("SWFileVersion")));
      cfg.SetLocCode(TrimText(site.AsString("LocationCode")));
      cfg.SetWorkWeekStartDay(static_cast<int32_t>(site.AsInteger("WorkWeekStartDay")));
      cfg.SetDayOpenTimes(TrimText(site.AsString("SiteOpen")));
      cfg.SetSalesThreshold(site.AsFloat("SiteSalesThreshold"));
      cfg.SetWashCountThreshold(static_cast<int32_t>(site.AsInteger("WashCountThreshold")));
      cfg.SetRivoRechargeTerminal(static_cast<int32_t>(site.AsInteger("RivoTermID")));
      site.Close();

      // Without a SalePasses query the sales are sent without pass sums; a
      // site without the table is not an error.
      LSalePassesQry.reset();
      try {
        auto passes = std::make_unique<TSiteQuery>(
            *LDB, "select " + TRetrieval::PassSumColumns() +
                      " from SalePasses SAP where Site = :Site and SaleID = :SaleID and " +
                      TRetrieval::CountedPassCondition());
        passes->Prepare();
        passes->SetInteger("Site", cfg.DBSite());
        LSalePassesQry = std::move(passes);
      } catch (const EDatabaseError&) {
        LSalePassesQry.reset();
      }
    }
  } catch (...) {
    try {
      CommitTransaction();
    } catch (const EDatabaseError&) {
      // The error that brought us here is the one to report.
    }
    throw;
  }
  CommitTransaction();
  if (!siteFound) return false;

  if (CompareVersions(cfg.InstalledVersion(), cfg.DBFileVersion(), 2) != 0) {
    LogProblem(TProblemSubject::Versions, "ERROR: Installed version (" + cfg.InstalledVersion() + ") " +
        "does not match database version (" + cfg.DBFileVersion() + ")");
    return false;
  }
  if (cfg.RegLocCode() != cfg.LocCode()) {
    LogProblem(TProblemSubject::LocationCode, "ERROR: Installed location code (" + cfg.RegLocCode() +
        ") does not match database location code (" + cfg.LocCode() + ")");
    return false;
  }
  return true;
}
