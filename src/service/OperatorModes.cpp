#include "service/OperatorModes.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Shared/Orvel_Shared/AnsiText.h"
#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "Shared/Orvel_Shared/SSLDeployment.h"
#include "collector/CollectorSchema.h"
#include "collector/DataCollector.h"
#include "collector/SiteProduct.h"
#include "collector/SiteDatabase.h"
#include "model/CollectedData.h"
#include "model/JSONConventions.h"
#include "platform/TextEncoding.h"
#include "server/QuorixURI.h"
#include "server/ServerDocuments.h"
#include "service/DataCollectorSvcMain.h"

namespace {


std::string WindowText(TDateTime start, TDateTime end) {
  return DateTimeToText(start) + " through " + DateTimeToText(end);
}

std::string Plural(size_t n, const std::string& word, const std::string& plural = {}) {
  return std::to_string(n) + " " + (n == 1 ? word : plural.empty() ? word + "s" : plural);
}

// The characters of a document that the post, written in Windows-1252,
// carries as "?": how many there are, and each of them once in order of first
// use (a malformed byte shows as U+FFFD).
struct TReplacedCharacters {
  size_t Count = 0;
  std::string Distinct;
};

TReplacedCharacters ReplacedInPost(const std::string& document) {
  TReplacedCharacters replaced;
  std::vector<char32_t> seen;
  for (size_t i = 0; i < document.size();) {
    bool valid = true;
    const char32_t code = platform::NextCodePoint(document, i, &valid);
    if (valid && AnsiHolds(code)) continue;
    ++replaced.Count;
    if (std::find(seen.begin(), seen.end(), code) == seen.end()) {
      seen.push_back(code);
      if (!replaced.Distinct.empty()) replaced.Distinct += ' ';
      platform::AppendUtf8(replaced.Distinct, code);
    }
  }
  return replaced;
}

// What one document holds, in the words of the summary lines.
std::string ContentsText(const TCollectedData* data) {
  if (data == nullptr) return "no data (an empty document)";
  size_t punches = 0;
  for (const auto& labor : data->LaborData()) punches += labor->Punches.size();
  return Plural(data->SalesData().size(), "sale") + ", " +
         Plural(data->LaborData().size(), "labor record") + " with " + Plural(punches, "punch", "punches") +
         ", " + Plural(data->Employees().size(), "employee") + ", " +
         Plural(data->Terminals().size(), "terminal") + ", " + Plural(data->Roles().size(), "role") +
         ", " + Plural(data->Services().size(), "service") + ", " +
         Plural(data->EmpCategories().size(), "employee category", "employee categories") + ", " +
         Plural(data->DeletedSales().size(), "deleted sale");
}

// The collector the modes drive: its messages are kept as well as passed on,
// the result of its post is noted, and in report-only mode the server's update
// and uninstall orders are noted instead of carried out.
class TOperatorCollector : public TDataCollector {
 public:
  explicit TOperatorCollector(TDataCollectorOnLog log)
      : TDataCollector([this](const std::string& msg, bool) { Note(msg); }), FForward(std::move(log)) {}

  bool ReportOnly = false;
  std::string OrderedUpdateURL;
  bool OrderedUninstall = false;
  bool Updating = false;

  // Whether Post was called, and whether it then raised instead of giving PostResult.
  bool Posted = false;
  bool PostRaised = false;
  TPostResult PostResult = TPostResult::Accepted;
  std::string PostWindow;
  std::string PostContents;

  std::string LastProblem() const { return Problems().empty() ? std::string() : Problems().back().Text; }
  bool HasProblem(TProblemSubject subject) const {
    return std::any_of(Problems().begin(), Problems().end(),
                       [subject](const TCollectorProblem& p) { return p.Subject == subject; });
  }
  using TDataCollector::AddProblem;

  // --- ONCE --------------------------------------------------------------
  void RunOneCycle() {
    SetOnUpdating([this](bool) { Updating = true; });
    Initialize();
    if (Initialized() && !Updating) RunCycle();
  }

  // --- TEST --------------------------------------------------------------
  // The document one cycle would post, or "" with reason set.
  std::string Preview(std::string& reason, std::string& summary) {
    LoadConfiguration();
    if (!BasicSystemChecksOK()) {
      reason = LastProblem();
      return {};
    }
    if (!TransactionManagerRunning()) {
      LogProblem(TProblemSubject::TransactionManager,
                 "Note: the Transaction Manager (Omnid.exe) is not running; a service cycle would not run now", false,
                 TProblemSeverity::Note);
    }
    std::string document;
    try {
      document = PreviewFromDatabase(reason, summary);
    } catch (...) {
      reason = CurrentExceptionMessage();
      CloseQuietly();
      throw;
    }
    CloseQuietly();
    return document;
  }

  // --- CHECK -------------------------------------------------------------
  using TDataCollector::BasicSystemChecksOK;
  using TDataCollector::ComputeWindows;
  using TDataCollector::FindProcessID;
  using TDataCollector::LoadConfiguration;
  using TDataCollector::LoadStatus;
  using TDataCollector::OpenDatabase;
  using TDataCollector::RivoConversionPending;

  TSiteDatabase& Database() { return *LDB; }
  bool HasSalePassesQuery() const { return LSalePassesQry != nullptr; }
  void Begin() { StartTransaction(); }
  void CloseQuietly() {
    try {
      RollbackTransaction();
    } catch (...) {
    }
    try {
      CloseDatabase();
    } catch (...) {
    }
  }
  std::string URL() const { return FURI ? FURI->URL() : std::string(); }
  void Connect() { CreateServerConnection(); }
  bool TLSReady() { return PrepareTLS(); }
  int AuthorizeOnly() { return Authorize(); }

 protected:
  TPostResult Post(TCollectedData* Data, TDataCollectorStatusObj& Status) override {
    PostWindow = WindowText(Status.CurrentCycleStart, Status.CurrentCycleEnd);
    PostContents = ContentsText(Data);
    Posted = true;
    PostRaised = true;
    PostResult = TDataCollector::Post(Data, Status);
    PostRaised = false;
    return PostResult;
  }

  void DownloadUpdater(const std::string& URL) override {
    if (ReportOnly) {
      OrderedUpdateURL = URL;
      return;
    }
    TDataCollector::DownloadUpdater(URL);
  }

  void StartRemoteUninstall() override {
    if (ReportOnly) {
      OrderedUninstall = true;
      return;
    }
    TDataCollector::StartRemoteUninstall();
  }

 private:
  void Note(const std::string& msg) {
    if (FForward) {
      try {
        FForward(msg, false);
      } catch (...) {
      }
    }
  }

  std::string PreviewFromDatabase(std::string& reason, std::string& summary);

  TDataCollectorOnLog FForward;
};

std::string JoinProblems(const std::vector<std::string>& problems) {
  std::string text;
  for (const std::string& p : problems) text += (text.empty() ? "" : "; ") + p;
  return text;
}

std::string TOperatorCollector::PreviewFromDatabase(std::string& reason, std::string& summary) {
  if (!OpenDatabase()) {
    reason = LastProblem().empty() ? "Could not open and verify database " + LCfg->DBPath() : LastProblem();
    return {};
  }
  StartTransaction();
  const std::vector<std::string> missing = InspectCollectorSchema(*LDB).Problems();
  if (!missing.empty()) {
    reason = "the collector's objects in the site database are not in place (" + JoinProblems(missing) +
             "); TEST changes nothing, so let the service or /ONCE create them first";
    return {};
  }
  std::unique_ptr<TDataCollectorStatusObj> status = LoadStatus();
  ComputeWindows(*status, DateTimeNow());
  std::unique_ptr<TCollectedData> data;
  if (status->CurrentCycleStart != 0 || status->CurrentHistoryEnd != 0) data = RetrieveData(*status);

  const TDateTime now = DateTimeNow();
  std::string mac;
  try {
    mac = GetMACAddress();
  } catch (const ENetworkError&) {
  }
  TJSONValue doc = data ? data->JSONEncoded() : TJSONValue::object();
  PutPostMembers(doc, *LCfg, GetCollectorVersion(), mac, now, status.get(), nullptr);
  status->LastSent = now;
  summary = "Current window " + WindowText(status->CurrentCycleStart, status->CurrentCycleEnd);
  if (status->CurrentHistoryEnd != 0 && status->CurrentHistoryStart <= status->CurrentHistoryEnd) {
    summary += ", history window " + WindowText(status->CurrentHistoryStart, status->CurrentHistoryEnd);
  }
  summary += ": " + ContentsText(data.get());
  // Nothing of the retrieval may stay: the transaction is undone and the
  // accepted-data step, which alone removes pending days and fills the
  // caches, is never called.
  RollbackTransaction();
  return JSONWrite(doc);
}

// The lines of a CHECK run.
class TCheckReport {
 public:
  explicit TCheckReport(std::ostream& out) : FOut(out) {}
  void Line(bool ok, const std::string& what, const std::string& detail) {
    FOut << (ok ? "OK      " : "FAILED  ") << what << (detail.empty() ? "" : ": " + detail) << "\n";
    if (!ok) ++FFailures;
  }
  int Failures() const { return FFailures; }

 private:
  std::ostream& FOut;
  int FFailures = 0;
};

std::string OrDefault(const std::string& text, const std::string& fallback) {
  return text.empty() ? fallback : text;
}

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

TOperatorModes::TOperatorModes(TDataCollectorOnLog log, std::ostream& out, std::ostream& err)
    : FLog(std::move(log)), FOut(out), FErr(err) {}

std::string TOperatorModes::SelectedMode(const std::vector<std::string>& args) {
  for (const char* mode : {"ONCE", "TEST", "CHECK"}) {
    if (FindCmdLineSwitch(args, mode)) return mode;
  }
  return {};
}

int TOperatorModes::Run(const std::string& mode) {
  if (mode == "ONCE") return RunOnce();
  if (mode == "TEST") return RunTest();
  if (mode == "CHECK") return RunCheck();
  FErr << "DataCollector: unknown mode " << mode << "\n";
  return 2;
}

int TOperatorModes::RunOnce() {
  if (FLog) FLog("Operator mode ONCE: one cycle in the foreground", false);
  TOperatorCollector collector(FLog);
  try {
    collector.RunOneCycle();
  } catch (...) {
    FErr << "DataCollector /ONCE: " << CurrentExceptionMessage() << "\n";
    collector.Shutdown();
    return 1;
  }
  const bool initialized = collector.Initialized();
  collector.Shutdown();

  if (collector.Updating) {
    FErr << "DataCollector /ONCE: the server ordered an update or an uninstall, which has been "
            "started; no cycle was run\n";
    return 1;
  }
  using TPostResult = TDataCollector::TPostResult;
  const bool accepted = collector.Posted && !collector.PostRaised && collector.PostResult == TPostResult::Accepted;
  if (accepted && initialized) {
    FOut << "Post accepted: " << collector.PostWindow << ": " << collector.PostContents << "\n";
    return 0;
  }
  std::string reason;
  if (!collector.Posted) {
    reason = initialized ? "the cycle did not reach the post" : "the collector could not be initialised";
  } else if (collector.PostRaised) {
    reason = "the post failed; nothing was saved";
  } else {
    switch (collector.PostResult) {
      case TPostResult::Accepted:
        reason = "the post was accepted but the status could not be saved";
        break;
      case TPostResult::Reinitialize:
        reason = "the server asked the collector to reinitialise; nothing was saved";
        break;
      case TPostResult::AnswerUnreadable:
        reason = "the server's answer was not a JSON object; the status was saved but the data's "
                 "pending changes are kept to be sent again";
        break;
      case TPostResult::Resend:
        reason = "the server asked for the data again in " + std::to_string(collector.ResendDelay()) +
                 " minutes; nothing was saved";
        break;
    }
  }
  FErr << "DataCollector /ONCE failed: " << reason << "\n";
  for (const TCollectorProblem& problem : collector.Problems()) FErr << "  " << problem.Text << "\n";
  return 1;
}

int TOperatorModes::RunTest() {
  if (FLog) FLog("Operator mode TEST: retrieval only, rolled back, nothing posted", false);
  TOperatorCollector collector(FLog);
  std::string reason;
  std::string summary;
  std::string document;
  try {
    document = collector.Preview(reason, summary);
  } catch (...) {
    reason = CurrentExceptionMessage();
  }
  collector.Shutdown();
  if (document.empty()) {
    FErr << "DataCollector /TEST failed: " << OrDefault(reason, "no document was built") << "\n";
    return 1;
  }
  // The document as the server will read it: the post is Windows-1252, so
  // what it cannot hold is shown as the "?" the server gets.
  FOut << AnsiToUtf8(Utf8ToAnsi(document)) << "\n";
  for (const TCollectorProblem& problem : collector.Problems()) {
    if (problem.Severity == TProblemSeverity::Note) FErr << problem.Text << "\n";
  }
  const TReplacedCharacters replaced = ReplacedInPost(document);
  if (replaced.Count != 0) {
    FErr << "Note: the post carries " << Plural(replaced.Count, "character")
         << " as \"?\", since Windows-1252 cannot hold them: " << replaced.Distinct << "\n";
  }
  FErr << "Not posted (TEST). " << summary << "\n";
  return 0;
}

int TOperatorModes::RunCheck() {
  if (FLog) FLog("Operator mode CHECK: report only, nothing changed", false);
  TCheckReport report(FOut);
  TOperatorCollector collector(FLog);
  collector.ReportOnly = true;
  TDataCollectorConfiguration& cfg = collector.Cfg();

  // Registry values.
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
      const int result = collector.AuthorizeOnly();
      if (collector.OrderedUninstall) {
        report.Line(false, "Server " + url,
                    "answers and orders this collector to uninstall itself (not carried out)");
      } else if (!collector.OrderedUpdateURL.empty()) {
        report.Line(true, "Server " + url,
                    "answers and offers an update from " + collector.OrderedUpdateURL + " (not downloaded)");
      } else if (result == 1) {
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

  FOut << (report.Failures() == 0 ? "All checks passed.\n"
                                  : std::to_string(report.Failures()) + " check(s) failed.\n");
  return report.Failures() == 0 ? 0 : 1;
}
