#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// The service control manager: the records of the installed services, their
// security descriptors, and stopping a running service.
//
// POSIX backend: a service record is the key
// "SYSTEM\CurrentControlSet\Services\<name>" of the local-machine registry
// hive (platform/Registry.h) with the values the Windows manager keeps there
// ("Type", "Start", "ErrorControl", "ImagePath", "DisplayName", "ObjectName")
// plus the security descriptor in SDDL form ("SecurityDescriptor"). Beside the
// record it writes a systemd unit "<name>.service" into the folder named by
// the environment variable DC_SYSTEMD_DIR, else "/etc/systemd/system". The
// unit runs the program in the foreground as a notify service (the program
// tells systemd when it has started and what it does), restarts it on
// failure, stops it with SIGTERM and kills it kServiceStopTimeout later. When
// the hive is not the default one (DC_REGISTRY names another file), the unit
// passes that file's absolute path on in DC_REGISTRY. It runs the service in a sandbox: files it creates are private
// (UMask=0077), its /tmp is its own, it gains no privileges, /usr, /boot and
// /etc are read-only and home folders hidden, except for the writable folders
// of its definition, its program's folder and the hive's folder. Programs the
// service starts to change the system (an updater, the uninstaller) leave the
// sandbox through StartSystemProcess (platform/Processes.h). Only when systemd runs (/run/systemd/system exists) and the
// unit lies in systemd's own folder is it enabled with systemctl; no other
// program is ever started.
//
// A running service is known by its run mark: the file "<name>.pid", holding
// the process id and locked by the running process for its whole life
// (MarkServiceRunning). It lies in the runtime folder systemd creates for the
// unit (RuntimeDirectory=, "/run/datacollector", named to the service in
// RUNTIME_DIRECTORY); a service started otherwise keeps it in its program's
// folder, or in the runtime folder when the program's folder is read-only.
// Stopping looks in both, sends SIGTERM to the process holding the mark, once
// /proc/<pid>/exe shows that it runs the record's program, and waits for the
// lock to be released.
//
// Thread-safe: nothing is kept between calls except by the caller's objects.

namespace platform {

// How long a service may take to stop before its manager gives up on it: the
// unit's TimeoutStopSec and StopService's default wait.
constexpr std::chrono::seconds kServiceStopTimeout{200};

// Values of a service record, numbered as the Windows manager numbers them.
constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceAutoStart = 2;
constexpr std::uint32_t kServiceErrorNormal = 1;
constexpr const char* kLocalSystemAccount = "LocalSystem";

// The registry key of a service's record, relative to the local-machine root.
std::string ServiceRecordKey(const std::string& name);

// A failure of the service control manager: a computer that cannot be
// reached, a service that exists already or does not exist, a record or unit
// that cannot be written. The message is the text to show the user.
class ServiceControlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What to install: an own-process service that starts automatically, with
// normal error control, under the local system account.
struct ServiceDefinition {
  std::string name;
  std::string displayName;
  std::string imagePath;  // the program's full file name, run without arguments
  // Folders the service writes to besides its program's folder and the
  // registry hive's (its log folder, its database's folder). On POSIX the
  // unit's sandbox leaves only these writable; a folder missing when the
  // service starts is skipped.
  std::vector<std::string> writableFolders;
};

// What InstallService did beside the record.
struct ServiceInstallReport {
  std::string unitFile;      // the systemd unit written
  bool unitEnabled = false;  // whether systemctl enabled it
  std::string note;          // why it was not enabled; "" when it was
  std::string nextStep;      // what the operator does next: start the service, or enable it
};

enum class ServiceState { Stopped, StartPending, StopPending, Running };

// The status of a service as the manager reports it while it changes state:
// the check point grows while a state change makes progress, and the wait
// hint is how long to wait before asking again.
struct ServiceStatus {
  ServiceState state = ServiceState::Stopped;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHintMs = 0;
};

// A connection to the service control manager of one computer.
class ServiceControl {
 public:
  ServiceControl(const ServiceControl&) = delete;
  ServiceControl& operator=(const ServiceControl&) = delete;
  virtual ~ServiceControl() = default;

  // Creates the record and the unit. Raises ServiceControlError "The specified
  // service already exists." when the record exists, and when the record or
  // the unit cannot be written (nothing is left behind then).
  virtual ServiceInstallReport InstallService(const ServiceDefinition& service) = 0;
  // Deletes the record with everything under its key, and the unit (disabled
  // first when systemd runs). Raises ServiceControlError "The specified
  // service does not exist as an installed service." when there is no record.
  virtual void RemoveService(const std::string& name) = 0;
  // Whether a record of that name exists. Raises ServiceControlError when the
  // records cannot be read.
  virtual bool ServiceExists(const std::string& name) = 0;
  // Stores the descriptor (SDDL text) with the record. Raises
  // ServiceControlError when there is no record or it cannot be written.
  virtual void SetSecurityDescriptor(const std::string& name, const std::string& sddl) = 0;
  // The stored descriptor; "" when none. Raises as ServiceExists.
  virtual std::string SecurityDescriptor(const std::string& name) = 0;
  // The service's current status. Raises ServiceControlError when there is no record.
  virtual ServiceStatus QueryStatus(const std::string& name) = 0;
  // Sends the stop control and returns the status right after it. Raises
  // ServiceControlError when there is no record.
  virtual ServiceStatus SendStop(const std::string& name) = 0;

 protected:
  ServiceControl() = default;
};

// Connects to the manager of `computerName` (blank: this computer, as are
// "localhost" and this computer's own host name). Raises ServiceControlError
// for any other computer: the POSIX backend has no remote managers.
std::unique_ptr<ServiceControl> OpenServiceControl(const std::string& computerName);

// True when the manager of the computer can be reached and has a service of
// that name. Never raises.
bool ServiceExists(const std::string& computerName, const std::string& name);

// Stops the service and waits: while the reported state is not "stopped",
// remembers the check point, sleeps for the wait hint and asks again; gives up
// when asking fails, when the check point falls below the remembered one, or
// once `limit` has passed. True when the last reported state is "stopped",
// and when no such service exists; false when the manager cannot be reached
// or the service does not stop. Never raises.
bool StopService(const std::string& computerName, const std::string& name,
                 std::chrono::milliseconds limit = kServiceStopTimeout);

// The run mark of a running service: created and locked by the service
// process when it starts, removed and released when the object is destroyed
// (the system releases the lock of a process that dies).
class ServiceRunMark {
 public:
  ServiceRunMark(const ServiceRunMark&) = delete;
  ServiceRunMark& operator=(const ServiceRunMark&) = delete;
  virtual ~ServiceRunMark() = default;

  virtual const std::string& path() const = 0;

 protected:
  ServiceRunMark() = default;
};

// Receives what MarkServiceRunning has to report (a stale mark removed).
using ServiceNotice = std::function<void(const std::string& message)>;

// Marks the calling process as the running service `name` whose program lies
// in `programFolder` (the mark's folder: see above). Liveness comes only from the lock: an existing mark that
// no running copy of this program holds locked (left by a killed process, or
// locked by some other process) is stale, and is removed with a notice; the
// new mark is a file of this process's user alone. Raises ServiceControlError
// when another process of this program runs as the service already or the
// mark cannot be written.
std::unique_ptr<ServiceRunMark> MarkServiceRunning(const std::string& name, const std::string& programFolder,
                                                   const ServiceNotice& notice = nullptr);

// What the program's usage text says of this system's service manager: how
// the program runs without a switch ("as systemd runs it, until SIGTERM or
// Ctrl-C"), what /INSTALL creates, and the environment variables only this
// backend reads, as lines of the usage text ("  NAME  what it sets\n").
struct ServiceUsageNotes {
  std::string foreground;
  std::string installs;
  std::string environment;
};
ServiceUsageNotes SystemServiceUsage();

}  // namespace platform
