// Installing and removing the service: the framework's part (the service
// record, the messages to the user) and the module's four hooks.

#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/OrvelClasses.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "collector/DataCollector.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "service/DataCollectorSvcMain.h"

namespace {

const char kDescription[] = "Collects data for the Corvane Quorix Service.";
const char kEventSourceKey[] = "\\SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\";
// Full control for the local system and the administrators; query, start and
// stop for authenticated users; read-only for interactive and service users;
// every failed access audited.
const char kSecurityDescriptor[] =
    "D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;LCRPWP;;;AU)"
    "(A;;CCLCSWLOCRRC;;;IU)(A;;CCLCSWLOCRRC;;;SU)S:(AU;FA;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;WD)";

// The folders the service writes to besides its program's and the registry's:
// the log folder (and the system one it may fall back to) and the folder of a
// site database on this computer ("host:path" names one on a server).
std::vector<std::string> WritableFolders() {
  std::vector<std::string> folders{GetLogFolder(), platform::SystemLogFolderPath()};
  try {
    TDataCollectorConfiguration cfg;
    cfg.LoadRegistryConfiguration();
    const std::string database = cfg.DBPath();
    if (!database.empty() && database.front() == '/') {
      folders.push_back(std::filesystem::path(database).parent_path().string());
    }
  } catch (const std::exception&) {
    // Without the database's folder the service still runs; collecting then
    // fails where the database must be written, which the log tells.
  }
  return folders;
}

std::string Versioned(const std::string& text) {
  return text + TDataCollectorSvc::kName + " (" + GetCollectorVersion() + ")";
}

}  // namespace

int TDataCollectorSvc::RegisterService(bool Install, bool Silent) {
  LServiceControl = platform::OpenServiceControl("");
  struct TRelease {
    std::unique_ptr<platform::ServiceControl>& control;
    ~TRelease() { control.reset(); }
  } release{LServiceControl};

  platform::ServiceInstallReport report;
  // Without Silent, an uninstall lists on out what it removes as it goes.
  LUninstallEcho = Install || Silent ? nullptr : &std::cout;
  struct TEndEcho {
    std::ostream*& echo;
    ~TEndEcho() { echo = nullptr; }
  } endEcho{LUninstallEcho};
  try {
    if (Install) {
      ServiceBeforeInstall();
      report = LServiceControl->InstallService({kName, kDisplayName, platform::ExecutablePath(), WritableFolders()});
      if (!report.unitEnabled) {
        AddLog("The systemd unit " + report.unitFile + " was written but not enabled: " + report.note);
      }
      try {
        ServiceAfterInstall();
      } catch (...) {
        try {
          LServiceControl->RemoveService(kName);
        } catch (...) {
        }
        throw;
      }
    } else {
      if (LUninstallEcho) *LUninstallEcho << "Removing the service " << kName << ":" << std::endl;
      ServiceBeforeUninstall();
      if (LUninstallEcho) {
        *LUninstallEcho << "  its record " << platform::ServiceRecordKey(kName) << " in "
                        << platform::RegistryHiveLocation(platform::RegistryRoot::LocalMachine)
                        << ", and its unit with the service manager" << std::endl;
      }
      LServiceControl->RemoveService(kName);
      ServiceAfterUninstall();
    }
  } catch (const std::exception& e) {
    const std::string message = std::string("Service \"") + kDisplayName + "\" failed to " +
                                (Install ? "install" : "uninstall") + " with error: \"" + e.what() + "\"";
    // A silent uninstall started by the service itself has no one to read
    // standard error: the log keeps the message too.
    AddLog(message, false);
    std::cerr << message << std::endl;
    return 1;
  }
  if (Silent) return 0;
  if (!Install) {
    std::cout << "Service uninstalled successfully" << std::endl;
  } else if (report.unitEnabled) {
    std::cout << "Service installed successfully\nNext step: " << report.nextStep << std::endl;
  } else {
    // The record is there, but nothing starts the service yet.
    std::cout << "Service installed, but its unit " << report.unitFile << " was not enabled (" << report.note
              << ")\nNext step: " << report.nextStep << std::endl;
  }
  return 0;
}

void TDataCollectorSvc::ServiceBeforeInstall() { AddLog(Versioned("Preparing to install "), false); }

void TDataCollectorSvc::ServiceAfterInstall() {
  AddLog(Versioned("Installing "), false);
  TRegistry reg(kLocalMachine, kKeyReadWrite);
  if (reg.OpenKey(platform::ServiceRecordKey(kName), true)) {
    reg.WriteString("Description", kDescription);
    reg.CloseKey();
  }
  if (reg.OpenKey(kEventSourceKey + std::string(kName), true)) {
    reg.WriteString("EventMessageFile", platform::ExecutablePath());
    reg.WriteInteger("TypesSupported", 7);
    reg.CloseKey();
  }
  // Without the descriptor the service keeps the manager's default security:
  // that does not undo the installation.
  try {
    LServiceControl->SetSecurityDescriptor(kName, kSecurityDescriptor);
  } catch (const std::exception& e) {
    AddLog(std::string("The security descriptor of the service could not be applied: ") + e.what(), false);
  }
  AddLog("Install completed", false);
}

void TDataCollectorSvc::ServiceBeforeUninstall() {
  AddLog(Versioned("Preparing to uninstall "), false);
  if (!platform::ServiceExists("", kName) || !platform::StopService("", kName)) {
    if (LUninstallEcho) {
      *LUninstallEcho << "  (the service could not be stopped: the collector's tables stay in the site database)"
                      << std::endl;
    }
    return;
  }
  AddLog("Stopped the running service during uninstall", false);
  if (LUninstallEcho) {
    *LUninstallEcho << "  the running service, now stopped\n"
                    << "  the collector's tables and trigger in the site database (the collector's steps follow)"
                    << std::endl;
  }
  CreateCollector();
  // A database that cannot be cleaned must not keep the service installed.
  try {
    LDataCollector->Uninstall();
  } catch (const std::exception& e) {
    AddLog(std::string("ERROR: Failed to remove the database structures: ") + e.what(), false);
  }
  try {
    LDataCollector->Shutdown();
  } catch (const std::exception& e) {
    AddLog(std::string("ERROR: ") + e.what(), false);
  }
}

void TDataCollectorSvc::ServiceAfterUninstall() {
  AddLog(Versioned("Uninstalling "), true);
  TRegistry reg(kLocalMachine, kKeyAllAccess);
  const std::string eventSource = kEventSourceKey + std::string(kName);
  if (reg.KeyExists(eventSource)) {
    if (LUninstallEcho) *LUninstallEcho << "  its event source " << eventSource.substr(1) << std::endl;
    reg.DeleteKey(eventSource);
  }
  AddLog("Uninstall complete", false);
}
