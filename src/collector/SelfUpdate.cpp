// Self-update and remote uninstall, as the server orders them in its answer
// to Authorize.

#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "collector/DataCollector.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/ServiceControl.h"
#include "platform/VersionInfo.h"
#include "server/UpdaterDownload.h"

namespace {

const char kServiceName[] = "DataCollectorSvc";
constexpr std::uint32_t kShowNormal = 5;

// A program path as the first word of a command line, blanks and all.
std::string CommandWord(const std::string& path) { return "\"" + path + "\""; }

// Starts a program that replaces or removes this one. A systemd service runs
// sandboxed (the program folder is the only part of the system it may
// change), so there the program is started as a transient unit of its own,
// outside the sandbox, where it may rewrite the unit and stop the service.
bool StartSystemProgram(const std::string& commandLine) {
  if (platform::RunsAsSystemdService()) return platform::StartTransientUnit(commandLine);
  return RunProcess(commandLine, kShowNormal) != 0;
}

}  // namespace

std::string TDataCollector::ProgramFile() const { return platform::ExecutablePath(); }

// Only an authenticated native program is started: the transport does not
// verify the server's certificate, so without a pinned server key or a
// trusted signing key anyone on the network path could name the updater.
// A configured signing key is required even over a pinned exchange, so that
// the server alone cannot make the collector run a program.
void TDataCollector::DownloadUpdater(const std::string& URL) {
  Log("Downloading Updater from \"" + URL + "\"...");
  // Failed or started, the collector is not initialised after this.
  FInitialized = false;
  const std::string keyPin = LCfg ? LCfg->ServerKeyPin() : std::string();
  const std::string publicKeys = TrustedUpdaterKeys(LCfg ? LCfg->UpdatePublicKey() : std::string());
  if (keyPin.empty() && publicKeys.empty()) {
    throw EUpdaterRefused(TUpdaterRefusal::NoTrust,
                          "Update refused: no trust is configured for updaters; set \"UpdatePublicKey\" "
                          "(updaters signed by that key) or \"ServerKeyPin\" (updaters from the pinned "
                          "server) under the DataCollector registry key");
  }
  TUpdaterDownload download(&LStop, keyPin);
  const std::string folder = std::filesystem::path(ProgramFile()).parent_path().string();
  const std::unique_ptr<TDownloadedUpdater> file = download.FetchToFolder(URL, folder);
  if (file->Status() != 200 || file->Size() < kMinimumUpdaterSize) {
    throw EOrvelError("Failure to dowload update. Code = " + std::to_string(file->Status()) +
                      ", Size = " + std::to_string(file->Size()));
  }
  Log("Update file size: " + std::to_string(file->Size()));
  if (!platform::IsNativeProgram(file->Path())) {
    throw EUpdaterRefused(TUpdaterRefusal::NotNativeProgram,
                          "Update refused: the updater is not a program of this computer "
                          "(an ELF executable for its architecture; scripts are not run)");
  }
  const std::string version = GetFileVersion(file->Path(), 3);
  if (version.empty()) throw EVersionException("Failure to dowload update. File version check failed!");
  if (!publicKeys.empty()) {
    const std::string signature = download.FetchSignature(URL);
    if (!UpdaterSignatureValid(file->Path(), signature, publicKeys)) {
      throw EUpdaterRefused(TUpdaterRefusal::BadSignature,
                            "Update refused: the signature at " + URL + kUpdaterSignatureSuffix +
                                " is not one of a trusted key (UpdatePublicKey) over this updater");
    }
    Log("Updater signature verified");
  } else {
    Log("Updater authenticated by the pinned server key (ServerKeyPin)");
  }
  const std::string fileName = UpdaterFileName(folder);
  Log("Saving Updater as " + fileName + "...");
  file->CommitAs(fileName);
  Log("Update file version: " + version);
  Log("Launching Updater...");
  // An updater that never ran must not leave the collector idle for good:
  // the failure makes the next initialisation ask the server again.
  if (!StartSystemProgram(CommandWord(fileName) + " /AUTOUPDATE")) {
    throw EOrvelError("Failure to start the updater " + fileName);
  }
  if (FOnUpdating) FOnUpdating(false);
}

void TDataCollector::StartRemoteUninstall() {
  // The service is removed even when the database cannot be cleaned.
  try {
    Uninstall();
  } catch (const std::exception& e) {
    LogProblem(TProblemSubject::Uninstall, std::string("ERROR: Failed to remove the database structures: ") + e.what());
  }
  if (platform::ServiceExists("", kServiceName)) {
    Log("Starting uninstall of service");
    const std::string command = CommandWord(ProgramFile()) + " /UNINSTALL /SILENT";
    if (!StartSystemProgram(command)) {
      LogProblem(TProblemSubject::Uninstall, "ERROR: The uninstall could not be started: " + command);
    }
  }
  if (FOnUpdating) FOnUpdating(true);
}
