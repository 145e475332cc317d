// Self-update and remote uninstall, as the server orders them in its answer
// to Authorize.

#include <exception>
#include <filesystem>
#include <string>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "collector/DataCollector.h"
#include "platform/Files.h"
#include "platform/ServiceControl.h"
#include "server/UpdaterDownload.h"

namespace {

const char kServiceName[] = "DataCollectorSvc";
constexpr std::uint32_t kShowNormal = 5;

// A program path as the first word of a command line, blanks and all.
std::string CommandWord(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

std::string TDataCollector::ProgramFile() const { return platform::ExecutablePath(); }

void TDataCollector::DownloadUpdater(const std::string& URL) {
  Log("Downloading Updater from \"" + URL + "\"...");
  TUpdaterDownload download(&LStop, LCfg ? LCfg->ServerKeyPin() : std::string());
  const THttpResponse response = download.Fetch(URL);
  const size_t size = response.Body.size();
  if (response.Status != 200 || size < kMinimumUpdaterSize) {
    FInitialized = false;
    throw EOrvelError("Failure to dowload update. Code = " + std::to_string(response.Status) +
                      ", Size = " + std::to_string(size));
  }
  Log("Update file size: " + std::to_string(size));
  const std::string fileName = UpdaterFileName(std::filesystem::path(ProgramFile()).parent_path().string());
  Log("Saving Updater as " + fileName + "...");
  SaveUpdaterFile(fileName, response.Body);
  const std::string version = GetFileVersion(fileName, 3);
  if (version.empty()) {
    DeleteUpdaterFile(fileName);
    FInitialized = false;
    throw EVersionException("Failure to dowload update. File version check failed!");
  }
  Log("Update file version: " + version);
  Log("Launching Updater...");
  // An updater that never ran must not leave the collector idle for good:
  // the failure makes the next initialisation ask the server again.
  if (RunProcess(CommandWord(fileName) + " /AUTOUPDATE", kShowNormal) == 0) {
    FInitialized = false;
    throw EOrvelError("Failure to start the updater " + fileName);
  }
  if (FOnUpdating) FOnUpdating(false);
}

void TDataCollector::StartRemoteUninstall() {
  // The service is removed even when the database cannot be cleaned.
  try {
    Uninstall();
  } catch (const std::exception& e) {
    Log(std::string("ERROR: Failed to remove the database structures: ") + e.what());
  }
  if (platform::ServiceExists("", kServiceName)) {
    Log("Starting uninstall of service");
    const std::string command = CommandWord(ProgramFile()) + " /UNINSTALL /SILENT";
    if (RunProcess(command, kShowNormal) == 0) Log("ERROR: The uninstall could not be started: " + command);
  }
  if (FOnUpdating) FOnUpdating(true);
}
