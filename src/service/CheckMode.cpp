// /CHECK: one line per check, nothing changed.
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "Shared/Orvel_Shared/SSLDeployment.h"
#include "collector/CollectorSchema.h"
#include "collector/SiteProduct.h"
#include "firebird/SiteDatabase.h"
#include "platform/Registry.h"
#include "service/OperatorCollector.h"
#include "service/OperatorModes.h"
#include "service/OperatorReport.h"

using namespace OperatorReport;

namespace {

// The lines of a CHECK run.
class TCheckReport {
 public:
  explicit TCheckReport(std::ostream& stream) : out(stream) {}
  void Line(bool ok, const std::string& what, const std::string& detail) {
    out << (ok ? "OK      " : "FAILED  ") << what << (detail.empty() ? "" : ": " + detail) << "\n";
    if (!ok) ++failures;
  }
  int Failures() const { return failures; }

 private:
  std::ostream& out;
  int failures = 0;
};

std::string InstallTypeText(TCorvaneInstallType type) {
  switch (type) {
    case TCorvaneInstallType::Server:
      return "Server";
    case TCorvaneInstallType::Hub:
      return "Hub";
    case TCorvaneInstallType::Workstation:
      return "Workstation";
    case TCorvaneInstallType::HQOffline:
      return "HQ Workstation";
  }
  return "unknown";
}

}  // namespace

int TOperatorModes::RunCheck() {
  if (log) log("Operator mode CHECK: report only, nothing changed", false);
  TCheckReport report(out);
  TOperatorCollector collector(log);
  collector.reportOnly = true;
  TDataCollectorConfiguration& cfg = collector.Cfg();

  // Registry values.
  report.Line(true, "Registry hive", platform::RegistryHiveLocation(platform::RegistryRoot::LocalMachine));
  try {
    collector.LoadConfiguration();
  } catch (...) {
    report.Line(false, "Registry", CurrentExceptionMessage());
    collector.Shutdown();
    return 1;
  }
  report.Line(cfg.IsInstalled(), "Registry \\Software\\Orvel (Install, Corvane keys)",
              cfg.IsInstalled() ? "present" : "missing: the site product is not installed");
  // Without the install key the type reads as its default, which says nothing.
  const bool serverInstall = cfg.IsInstalled() && cfg.InstallType() == TCorvaneInstallType::Server;
  report.Line(serverInstall, "InstallType",
              !cfg.IsInstalled() ? "not known"
                                 : InstallTypeText(cfg.InstallType()) +
                                       (serverInstall ? "" : " (a Server installation is needed)"));
  report.Line(!cfg.SWPath().empty(), "Install folder (PATH)", OrDefault(cfg.SWPath(), "not set"));
  bool versionSupported = false;
  if (!cfg.InstalledVersion().empty()) {
    versionSupported = !IsVersionOlder(cfg.InstalledVersion(), kOldestSupportedVersion);
  }
  report.Line(versionSupported, "Site product version (Stage)",
              cfg.InstalledVersion().empty()
                  ? "not set"
                  : cfg.InstalledVersion() + (versionSupported ? "" : " (18.9 or higher needed)"));
  report.Line(!cfg.DBPath().empty(), "Database (Omnid\\Login Database)", OrDefault(cfg.DBPath(), "not set"));
  report.Line(!cfg.ClientToken().empty(), "Client token (ClientToken)",
              cfg.ClientToken().empty() ? "not set: re-install the collector" : "set");
  report.Line(!cfg.RegLocCode().empty(), "Location code (LocCode)", OrDefault(cfg.RegLocCode(), "not set"));
  report.Line(true, "Communication log (LogComm)", cfg.LogCommunications() ? "on" : "off");

  // Site checks.
  collector.ForgetProblems();
  const bool siteOK = collector.BasicSystemChecksOK();
  report.Line(siteOK, "Site checks", siteOK ? "passed" : collector.LastProblem());
  const uint32_t tm = collector.FindProcessID(kTransactionManagerImage, 0);
  report.Line(tm != 0, "Transaction Manager (Omnid.exe)",
              tm != 0 ? "running, process " + std::to_string(tm) : "not running: no cycle runs without it");
  report.Line(true, "Recharge conversion",
              collector.RivoConversionPending() ? "pending: the server's history windows are not taken"
                                                : "not pending");

  // Database.
  if (cfg.DBPath().empty()) {
    report.Line(false, "Database connection", "no database path in the registry");
  } else {
    collector.ForgetProblems();
    try {
      // Its one result is told apart below: connection, site row, versions,
      // location code.
      static_cast<void>(collector.OpenDatabase());
    } catch (...) {
      collector.AddProblem(TProblemSeverity::Error, TProblemSubject::DatabaseConnection, CurrentExceptionMessage());
    }
    const bool connected = collector.Database().Connected();
    report.Line(connected, "Database connection",
                connected ? cfg.DBPath() : OrDefault(collector.LastProblem(), "cannot connect to " + cfg.DBPath()));
    if (connected) {
      const bool siteRow = !collector.HasProblem(TProblemSubject::SiteRow);
      report.Line(siteRow, "Site row",
                  siteRow ? "site " + std::to_string(cfg.DBSite()) + ", location code " + cfg.LocCode()
                          : "no SiteList row for the current site (SiteSpecific.CurrentSite)");
      if (siteRow) {
        int versions = 1;
        try {
          versions = CompareVersions(cfg.InstalledVersion(), cfg.DBFileVersion(), 2);
        } catch (const EVersionException&) {
        }
        report.Line(versions == 0, "Versions",
                    "installed " + OrDefault(cfg.InstalledVersion(), "(none)") + ", database " +
                        OrDefault(cfg.DBFileVersion(), "(none)") +
                        (versions == 0 ? "" : ": the first two parts must match"));
        const bool sameLoc = cfg.RegLocCode() == cfg.LocCode();
        report.Line(sameLoc, "Location code",
                    "registry " + OrDefault(cfg.RegLocCode(), "(none)") + ", database " +
                        OrDefault(cfg.LocCode(), "(none)"));
        report.Line(true, "SalePasses",
                    collector.HasSalePassesQuery() ? "sales carry their pass sums"
                                                   : "no SalePasses table: sales are sent without pass sums");
      }
      try {
        collector.Begin();
        const std::vector<std::string> missing = InspectCollectorSchema(collector.Database()).Problems();
        report.Line(missing.empty(), "Collector schema",
                    missing.empty() ? "DC_STATUS, DC_PENDINGEMPDAYS_V111 and its trigger in place"
                                    : JoinProblems(missing) +
                                          " (the service's next initialisation creates them)");
        if (missing.empty()) {
          TSiteQuery pending(collector.Database(), "SELECT count(*) cnt FROM DC_PENDINGEMPDAYS_V111");
          pending.Open();
          const int64_t days = pending.AsInteger("cnt");
          pending.Close();
          std::unique_ptr<TDataCollectorStatusObj> status = collector.LoadStatus();
          TSiteQuery rows(collector.Database(), "SELECT count(*) cnt FROM DC_STATUS");
          rows.Open();
          const bool hasRow = rows.AsInteger("cnt") != 0;
          rows.Close();
          std::string text = hasRow ? "last accepted cycle ended " + DateTimeToText(status->LastCycleEnd) +
                                          ", last sent " + DateTimeToText(status->LastSent)
                                    : "no row yet: the first cycle sends from today 00:00";
          if (status->ActiveHistoryEnd != 0) {
            text += ", active history " + WindowText(status->ActiveHistoryStart, status->ActiveHistoryEnd);
            if (status->ActiveHistoryFactID != 0) text += " (fact " + std::to_string(status->ActiveHistoryFactID) + ")";
          }
          text += ", " + Plural(static_cast<size_t>(days), "pending employee day");
          report.Line(true, "Status row", text);
          collector.ComputeWindows(*status, DateTimeNow());
          std::string windows = "current " + WindowText(status->CurrentCycleStart, status->CurrentCycleEnd);
          if (status->SkipHistory) {
            windows += ", history skipped (window too large)";
          } else if (status->CurrentHistoryEnd != 0) {
            windows += ", history " + WindowText(status->CurrentHistoryStart, status->CurrentHistoryEnd);
          } else {
            windows += ", no history";
          }
          report.Line(true, "Next windows", windows);
        }
      } catch (...) {
        report.Line(false, "Collector schema", CurrentExceptionMessage());
      }
    }
    collector.CloseQuietly();
  }

  // TLS and the server.
  const bool tls = CreateSSLDLLs();
  report.Line(tls, "TLS layer", tls ? "TLS 1.2 client ready" : "the TLS library cannot make a TLS 1.2 client");
  collector.ForgetProblems();
  try {
    collector.Connect();
    const std::string url = collector.URL();
    if (!collector.TLSReady()) {
      report.Line(false, "Server " + url, "TLS is not ready");
    } else {
      const TDataCollector::TAuthorizeResult result = collector.AuthorizeOnly();
      if (collector.orderedUninstall) {
        report.Line(false, "Server " + url,
                    "answers and orders this collector to uninstall itself (not carried out)");
      } else if (!collector.orderedUpdateUrl.empty()) {
        report.Line(true, "Server " + url,
                    "answers and offers an update from " + collector.orderedUpdateUrl + " (not downloaded)");
      } else if (result == TDataCollector::TAuthorizeResult::Granted) {
        report.Line(true, "Server " + url,
                    "authorised; cycle time " + std::to_string(cfg.CycleTime()) + " s, history step " +
                        std::to_string(cfg.HistoryStep()) + " days, statistics " +
                        (cfg.SendStatistics() ? "on" : "off") +
                        (cfg.DataURL().empty() ? "" : ", posts to " + cfg.DataURL()));
      } else {
        report.Line(false, "Server " + url, OrDefault(collector.LastProblem(), "not authorised"));
      }
    }
  } catch (...) {
    report.Line(false, "Server", CurrentExceptionMessage());
  }
  collector.Shutdown();

  out << (report.Failures() == 0 ? "All checks passed.\n"
                                  : std::to_string(report.Failures()) + " check(s) failed.\n");
  return report.Failures() == 0 ? 0 : 1;
}
