#include "platform/ServiceControl.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "platform/AsciiText.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/posix/FileDescriptor.h"
#include "platform/posix/RegistryFile.h"

extern char** environ;

namespace platform {

namespace {

namespace fs = std::filesystem;

const char kDefaultUnitFolder[] = "/etc/systemd/system";
const char kSystemdRunning[] = "/run/systemd/system";
const char kRuntimeFolderName[] = "datacollector";
const char kServiceExists[] = "The specified service already exists.";
const char kNoSuchService[] = "The specified service does not exist as an installed service.";
constexpr std::uint32_t kStopWaitHintMs = 100;

std::string SystemMessage(int error) { return std::strerror(error); }

bool IsThisComputer(const std::string& computerName) {
  std::string name = LowerAscii(TrimText(computerName));
  if (name.rfind("\\\\", 0) == 0) name.erase(0, 2);
  if (name.empty() || name == "localhost" || name == ".") return true;
  char host[256] = {0};
  if (::gethostname(host, sizeof host - 1) != 0) return false;
  return name == LowerAscii(host);
}

// The unit folder, and whether it is systemd's own.
std::pair<std::string, bool> UnitFolder() {
  const char* folder = std::getenv("DC_SYSTEMD_DIR");
  if (folder != nullptr && *folder != '\0') return {folder, false};
  return {kDefaultUnitFolder, true};
}

std::string UnitFile(const std::string& name) {
  return (fs::path(UnitFolder().first) / (name + ".service")).string();
}

bool SystemdManagesUnits() { return UnitFolder().second && fs::exists(kSystemdRunning); }

// One word of a unit file's command line (or, without commandLine, of a path
// list): quoted, with the characters that systemd would expand or unescape
// written literally. Only command lines expand "$".
std::string UnitWord(const std::string& text, bool commandLine = true) {
  std::string word = "\"";
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) {
      throw ServiceControlError("The path cannot be written to a unit file: " + text);
    }
    if (c == '\\' || c == '"') word += '\\';
    if (c == '%') word += '%';
    if (c == '$' && commandLine) word += '$';
    word += c;
  }
  return word + '"';
}

// The folders the sandboxed service may write to: its program's folder, the
// hive's folder and the definition's own, each once. Only the program's
// folder must exist ("-" lets systemd skip a missing one).
std::string ReadWritePaths(const ServiceDefinition& service) {
  std::vector<std::string> folders{fs::path(service.imagePath).parent_path().string(),
                                   fs::path(LocalMachineHiveFile()).parent_path().string()};
  folders.insert(folders.end(), service.writableFolders.begin(), service.writableFolders.end());
  std::vector<std::string> seen;
  std::string line;
  for (std::string folder : folders) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.empty() || folder.front() != '/') continue;
    folder = fs::path(folder).lexically_normal().string();
    if (std::find(seen.begin(), seen.end(), folder) != seen.end()) continue;
    seen.push_back(folder);
    line += (line.empty() ? "" : " ") + std::string(seen.size() == 1 ? "" : "-") + UnitWord(folder, false);
  }
  return line;
}

// The unit's environment line for a hive that is not the default one: the
// service must read the file that /INSTALL was given.
std::string EnvironmentLine() {
  const char* configured = std::getenv("DC_REGISTRY");
  if (configured == nullptr || *configured == '\0') return "";
  const std::string hive = fs::absolute(configured).lexically_normal().string();
  if (hive == kDefaultLocalMachineHiveFile) return "";
  return "Environment=" + UnitWord("DC_REGISTRY=" + hive, false) + "\n";
}

std::string UnitText(const ServiceDefinition& service) {
  std::string description;
  for (const char c : service.displayName) {
    if (static_cast<unsigned char>(c) < 0x20) continue;
    description += c;
    if (c == '%') description += '%';
  }
  return "# Written by " + description + " when it installed the service \"" + service.name +
         "\".\n"
         "[Unit]\n"
         "Description=" + description + "\n"
         "Wants=network-online.target\n"
         "After=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + UnitWord(service.imagePath) + "\n" + EnvironmentLine() +
         // The run mark's folder, so that the program's own may be read-only.
         "RuntimeDirectory=" + kRuntimeFolderName + "\n"
         "Restart=on-failure\n"
         "KillSignal=SIGTERM\n"
         // The updater and the uninstaller that the service starts must not
         // be killed with it when they stop the service.
         "KillMode=process\n"
         "TimeoutStopSec=" + std::to_string(kServiceStopTimeout.count()) + "\n"
         // The sandbox: the service runs as root, so what it may touch is
         // kept to what it needs. An updater or an uninstaller it starts
         // leaves the sandbox as a transient unit of its own (systemd-run).
         "UMask=0077\n"
         "PrivateTmp=yes\n"
         "NoNewPrivileges=yes\n"
         "ProtectSystem=full\n"
         "ProtectHome=yes\n"
         "ReadWritePaths=" + ReadWritePaths(service) + "\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      const int error = errno;
      std::error_code ignored;
      fs::remove(temp, ignored);
      throw ServiceControlError("Cannot write " + path + ": " + SystemMessage(error));
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw ServiceControlError("Cannot write " + path + ": " + SystemMessage(error));
  }
}

// Runs systemctl with the arguments and waits; its exit status, or -1 when it
// could not be run.
int RunSystemctl(const std::vector<std::string>& args) {
  std::vector<std::string> words{"systemctl"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RunMarkFile(const std::string& folder, const std::string& name) {
  return (fs::path(folder) / (name + ".pid")).string();
}

// The runtime folder of the unit: the first of RUNTIME_DIRECTORY's folders
// when systemd started this process, else the one systemd creates.
std::string RuntimeFolder() {
  const char* given = std::getenv("RUNTIME_DIRECTORY");
  if (given != nullptr && *given != '\0') {
    const std::string folders = given;
    return folders.substr(0, folders.find(':'));
  }
  return std::string("/run/") + kRuntimeFolderName;
}

// Where a run mark may lie, the runtime folder first.
std::vector<std::string> RunMarkCandidates(const std::string& programFolder, const std::string& name) {
  return {RunMarkFile(RuntimeFolder(), name), RunMarkFile(programFolder, name)};
}

// Whether a process holds the lock of the run mark.
bool MarkLocked(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid()) return false;
  return ::flock(fd.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

std::optional<pid_t> MarkedProcess(const std::string& path) {
  std::ifstream in(path);
  long pid = 0;
  if (in >> pid && pid > 0) return static_cast<pid_t>(pid);
  return std::nullopt;
}

// Whether process pid runs the program file programPath. A program file
// replaced since the process started (by an update) reads as its old path
// with " (deleted)" added.
bool RunsProgram(pid_t pid, const std::string& programPath) {
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  struct stat running {};
  struct stat program {};
  if (::stat(exe.c_str(), &running) == 0 && ::stat(programPath.c_str(), &program) == 0 &&
      running.st_dev == program.st_dev && running.st_ino == program.st_ino)
    return true;
  std::error_code error;
  std::string target = fs::read_symlink(exe, error).string();
  if (error) return false;
  const std::string deleted = " (deleted)";
  if (target.size() > deleted.size() && target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
    target.erase(target.size() - deleted.size());
  const fs::path expected = fs::weakly_canonical(programPath, error);
  return fs::path(target) == fs::path(programPath).lexically_normal() || (!error && fs::path(target) == expected);
}

class PosixServiceControl : public ServiceControl {
 public:
  PosixServiceControl() : FHive(OpenRegistryHive(RegistryRoot::LocalMachine)) {}

  ServiceInstallReport InstallService(const ServiceDefinition& service) override {
    const std::string key = ServiceRecordKey(service.name);
    if (ServiceExists(service.name)) throw ServiceControlError(kServiceExists);
    ServiceInstallReport report;
    report.unitFile = UnitFile(service.name);
    try {
      FHive->CreateKey(key);
      FHive->WriteValue(key, "Type", RegistryValue::DWord(kServiceWin32OwnProcess));
      FHive->WriteValue(key, "Start", RegistryValue::DWord(kServiceAutoStart));
      FHive->WriteValue(key, "ErrorControl", RegistryValue::DWord(kServiceErrorNormal));
      FHive->WriteValue(key, "DisplayName", RegistryValue::Text(service.displayName));
      FHive->WriteValue(key, "ObjectName", RegistryValue::Text(kLocalSystemAccount));
      WriteFileAtomically(report.unitFile, UnitText(service));
      // Written last: until it is there, the service does not exist.
      FHive->WriteValue(key, "ImagePath",
                        RegistryValue::Text(service.imagePath, RegistryValueType::ExpandString));
    } catch (const std::exception& e) {
      Undo(key, report.unitFile);
      throw ServiceControlError(e.what());
    }
    const std::string enable = "systemctl enable --now " + service.name;
    if (!SystemdManagesUnits()) {
      if (UnitFolder().second) {
        report.note = "systemd is not running";
        report.nextStep = "run " + enable + " once systemd runs, or run " + service.imagePath + " in the foreground";
      } else {
        report.note = "the unit folder is not systemd's own (DC_SYSTEMD_DIR)";
        report.nextStep = "copy " + report.unitFile + " to " + kDefaultUnitFolder + ", then run systemctl daemon-reload and " +
                          enable;
      }
      return report;
    }
    RunSystemctl({"daemon-reload"});
    const int status = RunSystemctl({"enable", service.name + ".service"});
    report.unitEnabled = status == 0;
    if (!report.unitEnabled) {
      report.note = status < 0 ? "systemctl could not be run"
                               : "systemctl enable ended with status " + std::to_string(status);
      report.nextStep = "run " + enable + " and see what it reports";
    } else {
      report.nextStep = "systemctl start " + service.name;
    }
    return report;
  }

  void RemoveService(const std::string& name) override {
    if (!ServiceExists(name)) throw ServiceControlError(kNoSuchService);
    const bool systemd = SystemdManagesUnits();
    if (systemd) RunSystemctl({"disable", name + ".service"});
    try {
      FHive->DeleteKey(ServiceRecordKey(name));
    } catch (const std::exception& e) {
      throw ServiceControlError(e.what());
    }
    std::error_code ignored;
    fs::remove(UnitFile(name), ignored);
    if (systemd) RunSystemctl({"daemon-reload"});
    FStopCheckPoints.erase(LowerAscii(name));
  }

  bool ServiceExists(const std::string& name) override {
    try {
      return FHive->ReadValue(ServiceRecordKey(name), "ImagePath").has_value();
    } catch (const std::exception& e) {
      throw ServiceControlError(e.what());
    }
  }

  void SetSecurityDescriptor(const std::string& name, const std::string& sddl) override {
    if (!ServiceExists(name)) throw ServiceControlError(kNoSuchService);
    try {
      FHive->WriteValue(ServiceRecordKey(name), "SecurityDescriptor", RegistryValue::Text(sddl));
    } catch (const std::exception& e) {
      throw ServiceControlError(e.what());
    }
  }

  std::string SecurityDescriptor(const std::string& name) override {
    try {
      const auto value = FHive->ReadValue(ServiceRecordKey(name), "SecurityDescriptor");
      return value ? value->AsText() : std::string();
    } catch (const std::exception& e) {
      throw ServiceControlError(e.what());
    }
  }

  ServiceStatus QueryStatus(const std::string& name) override {
    ServiceStatus status;
    if (!MarkLocked(MarkFileOf(name))) {
      FStopCheckPoints.erase(LowerAscii(name));
      return status;
    }
    const auto stopping = FStopCheckPoints.find(LowerAscii(name));
    if (stopping == FStopCheckPoints.end()) {
      status.state = ServiceState::Running;
      status.waitHintMs = kStopWaitHintMs;
      return status;
    }
    status.state = ServiceState::StopPending;
    status.checkPoint = ++stopping->second;
    status.waitHintMs = kStopWaitHintMs;
    return status;
  }

  ServiceStatus SendStop(const std::string& name) override {
    const std::string mark = MarkFileOf(name);
    // The service writes its process id just after taking the lock.
    for (int attempt = 0; attempt < 20 && MarkLocked(mark); ++attempt) {
      if (const auto pid = MarkedProcess(mark)) {
        // The number in the mark may by now belong to an unrelated process.
        const std::string program = ImagePathOf(name);
        if (!RunsProgram(*pid, program)) {
          throw ServiceControlError("Cannot stop the service \"" + name + "\": its run mark " + mark +
                                    " names process " + std::to_string(*pid) + ", which does not run " + program +
                                    "; no signal was sent");
        }
        if (::kill(*pid, SIGTERM) != 0 && errno != ESRCH) {
          throw ServiceControlError("Cannot stop the service \"" + name + "\": " + SystemMessage(errno));
        }
        FStopCheckPoints[LowerAscii(name)] = 0;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return QueryStatus(name);
  }

 private:
  std::string ImagePathOf(const std::string& name) {
    std::optional<RegistryValue> image;
    try {
      image = FHive->ReadValue(ServiceRecordKey(name), "ImagePath");
    } catch (const std::exception& e) {
      throw ServiceControlError(e.what());
    }
    if (!image) throw ServiceControlError(kNoSuchService);
    return image->AsText();
  }
  // The mark a running service holds, else the last place one may lie.
  std::string MarkFileOf(const std::string& name) {
    const auto candidates = RunMarkCandidates(fs::path(ImagePathOf(name)).parent_path().string(), name);
    for (const std::string& candidate : candidates) {
      if (MarkLocked(candidate)) return candidate;
    }
    return candidates.back();
  }

  void Undo(const std::string& key, const std::string& unitFile) noexcept {
    try {
      FHive->DeleteKey(key);
    } catch (...) {
    }
    std::error_code ignored;
    fs::remove(unitFile, ignored);
  }

  std::unique_ptr<RegistryHive> FHive;
  // Services this connection has sent the stop control to, with the check
  // point last reported for each.
  std::map<std::string, std::uint32_t> FStopCheckPoints;
};

class PosixServiceRunMark : public ServiceRunMark {
 public:
  PosixServiceRunMark(std::string path, FileDescriptor fd) : FPath(std::move(path)), FFd(std::move(fd)) {}
  ~PosixServiceRunMark() override {
    // Removed while still locked, so a prober never reads a stale process id.
    ::unlink(FPath.c_str());
  }
  const std::string& path() const override { return FPath; }

 private:
  std::string FPath;
  FileDescriptor FFd;
};

}  // namespace

std::unique_ptr<ServiceControl> OpenServiceControl(const std::string& computerName) {
  if (!IsThisComputer(computerName)) {
    throw ServiceControlError("The service control manager of \"" + TrimText(computerName) +
                              "\" cannot be reached: only this computer's services can be managed.");
  }
  return std::make_unique<PosixServiceControl>();
}

namespace {

// Removes an existing run mark that no running copy of this program holds:
// only a live service's lock keeps a mark, whatever process number it names
// or whoever else holds a lock on it. Raises when the service runs.
void RemoveStaleMark(const std::string& path, const std::string& name, const ServiceNotice& notice) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid() && errno == ENOENT) return;
  std::string reason;
  if (!fd.valid()) {
    reason = "it cannot be opened (" + SystemMessage(errno) + ")";
  } else if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
    reason = "no process holds it";
  } else {
    // Held. The service writes its number just after taking the lock, so a
    // fresh mark may still be empty for a moment.
    std::optional<pid_t> pid;
    for (int attempt = 0; attempt < 20 && !(pid = MarkedProcess(path)); ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string self;
    try {
      self = ExecutablePath();
    } catch (const std::exception&) {
    }
    if (pid && RunsProgram(*pid, self)) {
      throw ServiceControlError("The service \"" + name + "\" is already running (process " + std::to_string(*pid) +
                                ")");
    }
    reason = "it is held by a process that is not this program";
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    throw ServiceControlError("Cannot remove the stale run mark " + path + ": " + SystemMessage(errno));
  if (notice) notice("Removed the stale run mark " + path + ": " + reason);
}

}  // namespace

std::unique_ptr<ServiceRunMark> MarkServiceRunning(const std::string& name, const std::string& programFolder,
                                                   const ServiceNotice& notice) {
  std::string folder = programFolder;
  const char* given = std::getenv("RUNTIME_DIRECTORY");
  // A program folder that does not exist is an error below, as ever.
  const bool readOnly = ::access(programFolder.c_str(), W_OK) != 0 && (errno == EROFS || errno == EACCES);
  if ((given != nullptr && *given != '\0') || readOnly) {
    folder = RuntimeFolder();
    // Outside systemd nobody has created it; a folder that exists is kept as it is.
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
      throw ServiceControlError("Cannot create the run mark's folder " + folder + ": " + SystemMessage(errno));
  }
  const std::string path = RunMarkFile(folder, name);
  // A copy running from the other place (started by systemd, or from a shell)
  // is running all the same.
  for (const std::string& other : RunMarkCandidates(programFolder, name)) {
    if (other == path || !MarkLocked(other)) continue;
    std::string self;
    try {
      self = ExecutablePath();
    } catch (const std::exception&) {
    }
    const auto pid = MarkedProcess(other);
    if (pid && RunsProgram(*pid, self))
      throw ServiceControlError("The service \"" + name + "\" is already running (process " + std::to_string(*pid) +
                                ")");
  }
  RemoveStaleMark(path, name, notice);
  // A new file of our own: no link is followed and no other user can open it
  // to hold its lock. Close-on-exec: the programs the service starts must not
  // inherit the lock.
  FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    if (errno == EEXIST) {
      const auto pid = MarkedProcess(path);
      throw ServiceControlError("The service \"" + name + "\" is already running" +
                                (pid ? " (process " + std::to_string(*pid) + ")" : std::string()));
    }
    throw ServiceControlError("Cannot write the run mark " + path + ": " + SystemMessage(errno));
  }
  // Another starting copy may hold a shared lock for a moment while it looks at this mark.
  int result = -1;
  for (int attempt = 0; attempt < 40 && (result = ::flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EWOULDBLOCK;
       ++attempt)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  if (result != 0) {
    const int error = errno;
    ::unlink(path.c_str());
    throw ServiceControlError("Cannot lock the run mark " + path + ": " + SystemMessage(error));
  }
  const std::string text = std::to_string(::getpid()) + "\n";
  if (::pwrite(fd.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    const int error = errno;
    ::unlink(path.c_str());
    throw ServiceControlError("Cannot write the run mark " + path + ": " + SystemMessage(error));
  }
  return std::make_unique<PosixServiceRunMark>(path, std::move(fd));
}

ServiceUsageNotes SystemServiceUsage() {
  return {"as systemd runs it, until SIGTERM or Ctrl-C",
          "its record in the registry hive and a systemd unit",
          "  DC_REGISTRY     the registry hive file (default /etc/datacollector/registry.reg)\n"
          "  DC_SYSTEMD_DIR  the folder /INSTALL writes the systemd unit to (default /etc/systemd/system)\n"
          "  TZ, TZDIR       the time zone reported to the server, and its zone files\n"};
}

}  // namespace platform
