#include "platform/Processes.h"

#include "platform/win32/Win32Text.h"

#include <tlhelp32.h>

namespace platform {
namespace {

using win32::Handle;
using win32::Narrow;
using win32::SystemError;
using win32::Widen;

// The environment block CreateProcessW takes: "NAME=value" entries, each
// ended by a NUL, and one more NUL.
std::wstring EnvironmentBlock(const std::vector<std::string>& environment) {
  std::wstring block;
  for (const std::string& entry : environment) {
    block += Widen(entry);
    block += L'\0';
  }
  if (block.empty()) block += L'\0';
  block += L'\0';
  return block;
}

}  // namespace

std::vector<ProcessEntry> ListProcesses() {
  Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.Valid()) throw SystemError(GetLastError(), "Cannot read the process table");
  std::vector<ProcessEntry> processes;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  if (!Process32FirstW(snapshot.Get(), &entry)) {
    const DWORD error = GetLastError();
    if (error == ERROR_NO_MORE_FILES) return processes;
    throw SystemError(error, "Cannot read the process table");
  }
  do {
    processes.push_back(ProcessEntry{entry.th32ProcessID, ImageFileName(Narrow(entry.szExeFile))});
    entry.dwSize = sizeof entry;
  } while (Process32NextW(snapshot.Get(), &entry));
  return processes;
}

std::optional<ProcessId> StartDetachedProcess(const std::string& commandLine, std::uint16_t showWindow,
                                              const std::vector<std::string>* environment) {
  if (SplitCommandLine(commandLine).empty()) return std::nullopt;
  std::wstring command = Widen(commandLine);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = showWindow;
  PROCESS_INFORMATION process{};
  std::wstring block;
  DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
  if (environment != nullptr) {
    block = EnvironmentBlock(*environment);
    flags |= CREATE_UNICODE_ENVIRONMENT;
  }
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, flags,
                      environment != nullptr ? block.data() : nullptr, nullptr, &startup, &process)) {
    const DWORD error = GetLastError();
    switch (error) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_ACCESS_DENIED:
      case ERROR_BAD_EXE_FORMAT:
      case ERROR_INVALID_NAME:
      case ERROR_DIRECTORY:
        return std::nullopt;
      default:
        throw SystemError(error, "Cannot start a process");
    }
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return process.dwProcessId;
}

std::vector<std::string> ProgramArguments(int, char**) {
  return SplitCommandLine(win32::Narrow(GetCommandLineW()));
}

void UseUtf8Console() {
  SetConsoleOutputCP(CP_UTF8);
}

bool RunsAsSystemdService() { return false; }

std::vector<std::string> TransientUnitCommand(const std::vector<std::string>& arguments, const std::string&) {
  // Windows has no units: a process the service starts already outlives it.
  return arguments;
}

bool StartTransientUnit(const std::string& commandLine) {
  return StartDetachedProcess(commandLine, SW_HIDE, nullptr).has_value();
}

}  // namespace platform
