// The site prerequisite checks of the collector: a supported server
// installation, the Transaction Manager process, the pending recharge
// conversion and the age of the history window.
#include <system_error>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "platform/Registry.h"
#include "Shared/Orvel_Shared/OrvelClasses.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "collector/DataCollector.h"
#include "collector/SiteProduct.h"
#include "platform/Processes.h"

namespace {

const char kRivoConversionVersion[] = "23.1";
const char kUpdateStatusKey[] = "\\Software\\Orvel\\UpdateStatus\\";
const char kSiteStatusKey[] = "\\Software\\Orvel\\SiteStatus\\";
constexpr int kHistoryYears = 3;

// 00:00 of the same calendar day kHistoryYears years before today (28
// February for a 29 February).
TDateTime HistoryLimit() {
  TDateTimeFields today = DecodeDateTime(DateOf(DateTimeNow()));
  today.year -= kHistoryYears;
  if (today.month == 2 && today.day == 29) today.day = 28;
  return EncodeDateTime(today.year, today.month, today.day);
}

}  // namespace

bool TDataCollector::BasicSystemChecksOK() {
  const TDataCollectorConfiguration& cfg = *LCfg;
  std::string failure;
  if (!cfg.IsInstalled()) {
    // Name the hive: an empty or missing one reads as "not installed" too.
    failure = "ERROR: Corvane is not installed (no installation in the registry " +
              platform::RegistryHiveLocation(platform::RegistryRoot::LocalMachine) + ")";
  } else if (cfg.InstallType() != TCorvaneInstallType::Server) {
    failure = "ERROR: Corvane installation is not a server installation";
  } else if (cfg.SWPath().empty()) {
    failure = "ERROR: No Corvane installation path found";
  } else if (cfg.DBPath().empty()) {
    failure = "ERROR: No database path found";
  } else if (IsVersionOlder(cfg.InstalledVersion(), kOldestSupportedVersion)) {
    failure = "ERROR: Corvane Version " + cfg.InstalledVersion() +
              " is not supported (19.2.x, or 18.9.x or higher required)";
  } else if (cfg.ClientToken().empty()) {
    failure = "ERROR: Client token not found. Please re-install the Data Collector service";
  }
  if (failure.empty()) return true;
  LogProblem(TProblemSubject::SiteChecks, failure);
  return false;
}

bool TDataCollector::TransactionManagerRunning() {
  return FindProcessID(kTransactionManagerImage, 0) != 0;
}

uint32_t TDataCollector::FindProcessID(const std::string& imageName, uint32_t excludeId) {
  const std::string wanted = platform::ImageFileName(imageName);
  std::vector<platform::ProcessEntry> processes;
  try {
    processes = platform::ListProcesses();
  } catch (const std::system_error&) {
    return 0;
  }
  for (const platform::ProcessEntry& process : processes) {
    if (process.pid != excludeId && SameTextAscii(process.imageName, wanted)) return process.pid;
  }
  return 0;
}

bool TDataCollector::RivoConversionPending() {
  const std::string version =
      TOrvelRegistry::GetString(kLocalMachine, kUpdateStatusKey, "Version", "");
  if (CompareVersions(version, kRivoConversionVersion, 3) < 0) return false;
  return TOrvelRegistry::GetString(kLocalMachine, kSiteStatusKey, "SPIP-RivoConversionCompleted",
                                   "")
      .empty();
}

void TDataCollector::CheckHistoryAge(TDataCollectorStatusObj& Status) {
  const TDateTime limit = HistoryLimit();
  const bool tooOld = (Status.ActiveHistoryStart > 0 && Status.ActiveHistoryStart < limit) ||
                      (Status.ActiveHistoryEnd > 0 && Status.ActiveHistoryEnd < limit);
  if (!tooOld) return;
  Status.ActiveHistoryStart = 0;
  Status.ActiveHistoryEnd = 0;
  Status.CurrentHistoryStart = 0;
  Status.CurrentHistoryEnd = 0;
  Status.ActiveHistoryFactID = 0;
  Log("History sending stopped. Detected date older than 3 years ago");
}
