#include "platform/Processes.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

#include <linux/close_range.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/FileDescriptor.h"

extern char** environ;

namespace platform {
namespace {

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool IsExecutableFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The file to execute for `program`: as given when it names a folder,
// otherwise the first executable of that name along PATH.
std::string ResolveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* pathVariable = std::getenv("PATH");
  std::string searchPath = pathVariable != nullptr ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= searchPath.size()) {
    std::size_t end = searchPath.find(':', start);
    if (end == std::string::npos) end = searchPath.size();
    std::string folder = searchPath.substr(start, end - start);
    if (folder.empty()) folder = ".";
    std::string candidate = folder + "/" + program;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return "";
}

// What the intermediate child reports through the pipe.
struct Report {
  int kind;  // kStarted: value is the pid; kExecFailed / kForkFailed: value is errno
  int value;
};
constexpr int kStarted = 1;
constexpr int kExecFailed = 2;
constexpr int kForkFailed = 3;

void WriteReport(int fd, int kind, int value) {
  Report report{kind, value};
  ssize_t ignored = ::write(fd, &report, sizeof report);
  (void)ignored;
}

bool ReadReport(int fd, Report& report) {
  std::size_t done = 0;
  auto* bytes = reinterpret_cast<char*>(&report);
  while (done < sizeof report) {
    ssize_t count = ::read(fd, bytes + done, sizeof report - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace

std::vector<ProcessEntry> ListProcesses() {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
  if (!proc) throw std::system_error(errno, std::generic_category(), "Cannot read the process table");
  std::vector<ProcessEntry> processes;
  while (dirent* entry = ::readdir(proc.get())) {
    char* end = nullptr;
    unsigned long pid = std::strtoul(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    std::string base = std::string("/proc/") + entry->d_name;
    std::string commandLine = ReadSmallFile(base + "/cmdline");
    std::string program = commandLine.substr(0, commandLine.find('\0'));
    if (program.empty()) {
      // Kernel threads and exiting processes have no command line.
      program = ReadSmallFile(base + "/comm");
      while (!program.empty() && program.back() == '\n') program.pop_back();
      if (program.empty()) continue;
    }
    processes.push_back(ProcessEntry{static_cast<ProcessId>(pid), ImageFileName(program)});
  }
  return processes;
}

std::optional<ProcessId> StartDetachedProcess(const std::string& commandLine, std::uint16_t /*showWindow*/,
                                              const std::vector<std::string>* environment) {
  std::vector<std::string> arguments = SplitCommandLine(commandLine);
  if (arguments.empty() || arguments[0].empty()) return std::nullopt;
  std::string program = ResolveProgram(arguments[0]);
  if (program.empty() || !IsExecutableFile(program)) return std::nullopt;

  // Everything the children use is prepared here: between fork and exec only
  // async-signal-safe calls are allowed.
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentCopy;
  std::vector<char*> envp;
  if (environment != nullptr) {
    environmentCopy = *environment;
    for (std::string& entry : environmentCopy) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }
  char** childEnvironment = environment != nullptr ? envp.data() : environ;

  const int maxDescriptors = static_cast<int>(std::min<long>(::sysconf(_SC_OPEN_MAX), 65536));
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "Cannot start a process");
  FileDescriptor readEnd(pipeEnds[0]);
  FileDescriptor writeEnd(pipeEnds[1]);

  // Two forks: the intermediate child starts a new session, forks the program
  // and exits at once, so the program is adopted by init and never left as a
  // zombie of ours.
  pid_t child = ::fork();
  if (child < 0) {
    int error = errno;
    throw std::system_error(error, std::generic_category(), "Cannot start a process");
  }
  if (child == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild < 0) {
      WriteReport(pipeEnds[1], kForkFailed, errno);
      ::_exit(1);
    }
    if (grandchild == 0) {
      // The program inherits no descriptor beyond the standard three.
      if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        for (int fd = 3; fd < maxDescriptors; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int signal = 1; signal < NSIG; ++signal) std::signal(signal, SIG_DFL);
      ::execve(program.c_str(), argv.data(), childEnvironment);
      WriteReport(pipeEnds[1], kExecFailed, errno);
      ::_exit(127);
    }
    WriteReport(pipeEnds[1], kStarted, static_cast<int>(grandchild));
    ::_exit(0);
  }

  writeEnd.Reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  Report report{};
  std::optional<ProcessId> started;
  if (ReadReport(readEnd.get(), report) && report.kind == kStarted) {
    started = static_cast<ProcessId>(report.value);
    // The pipe closes without a further report once the program is running.
    Report failure{};
    if (ReadReport(readEnd.get(), failure)) started.reset();
  } else if (report.kind == kForkFailed) {
    throw std::system_error(report.value, std::generic_category(), "Cannot start a process");
  }
  return started;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) { return {argv, argv + argc}; }

void UseUtf8Console() {}

bool RunsAsSystemdService() {
  const char* invocation = std::getenv("INVOCATION_ID");
  struct stat status {};
  return invocation != nullptr && *invocation != '\0' && ::stat("/run/systemd/system", &status) == 0;
}

std::vector<std::string> TransientUnitCommand(const std::vector<std::string>& arguments, const std::string& unitName) {
  std::vector<std::string> command{"systemd-run", "--unit=" + unitName, "--collect", "--no-block", "--quiet",
                                   // It stops the service that started it: it must not end with it.
                                   "--property=KillMode=process", "--"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

bool StartTransientUnit(const std::string& commandLine) {
  std::vector<std::string> arguments = SplitCommandLine(commandLine);
  if (arguments.empty() || arguments[0].empty()) return false;
  arguments[0] = ResolveProgram(arguments[0]);
  if (arguments[0].empty() || !IsExecutableFile(arguments[0])) return false;
  const std::string unitName = "datacollector-" + ImageFileName(arguments[0]) + "-" + std::to_string(::getpid()) +
                               "-" + std::to_string(::time(nullptr));
  std::vector<std::string> command = TransientUnitCommand(arguments, unitName);
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (const int error = ::posix_spawnp(&pid, "systemd-run", nullptr, nullptr, argv.data(), environ); error != 0) {
    if (error == ENOENT) return false;
    throw std::system_error(error, std::generic_category(), "Cannot start a process");
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace platform
