#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The machine's processes: listing them and starting new ones. Thread-safe.

namespace platform {

using ProcessId = std::uint32_t;

struct ProcessEntry {
  ProcessId pid = 0;
  // The file name of the executable, without its folder (the part after the
  // last "/", "\" or ":").
  std::string imageName;
};

// A snapshot of the running processes. Raises std::system_error when the
// process table cannot be read.
std::vector<ProcessEntry> ListProcesses();

// The file name part of `path`: what follows the last "/", "\" or ":".
std::string ImageFileName(const std::string& path);

// Splits a command line into arguments the way Windows programs split theirs:
// blanks and tabs separate arguments; a double quote starts or ends a quoted
// part in which blanks are kept; inside quotes "" stands for one quote; 2n
// backslashes before a quote give n backslashes (the quote then delimits),
// 2n+1 give n backslashes and a literal quote; other backslashes are literal.
// The first argument (the program) ends at the next blank outside quotes and
// knows no backslash escapes.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Starts `commandLine` (split as above; the program is looked up along PATH
// when its name holds no "/") without a shell, in a new session, without
// waiting for it and without it becoming a child that must be waited for.
// `showWindow` is how a windowing system would show its first window; it has
// no effect on POSIX. `environment` ("NAME=value" entries) replaces the
// caller's environment when given. Returns the new process's id, or nothing
// when it could not be started (empty command line, program not found or not
// executable); raises std::system_error only when the system cannot create a
// process at all.
std::optional<ProcessId> StartDetachedProcess(const std::string& commandLine,
                                              std::uint16_t showWindow,
                                              const std::vector<std::string>* environment);

// The arguments this program was started with, in UTF-8, the program first.
// Windows hands main() its arguments in the ANSI code page, which may lack
// some of their characters, so there they are read again from the process's
// own command line; elsewhere they are argv as given. Never raises.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Makes a console that shows this program's standard output and error read
// them as UTF-8, the text the program writes (a Windows console otherwise
// reads them in its OEM code page). Nothing to do elsewhere. Never raises.
void UseUtf8Console();

// Whether this process runs as a service of systemd (on POSIX: systemd runs
// and gave this process an INVOCATION_ID). Never raises.
bool RunsAsSystemdService();

// The command that starts the program of `arguments` (already split, the
// program first) as the transient systemd unit `unitName`: outside the
// caller's sandbox and control group, so that it can replace the caller's
// program, rewrite its unit and stop it without being stopped with it.
std::vector<std::string> TransientUnitCommand(const std::vector<std::string>& arguments, const std::string& unitName);

// Starts `commandLine` (split as StartDetachedProcess does) as a transient
// unit through systemd-run (TransientUnitCommand) without waiting for the
// program; true when systemd accepted it. For a program that changes the
// system from within a sandboxed service. Raises std::system_error only when
// the system cannot create a process at all.
bool StartTransientUnit(const std::string& commandLine);

}  // namespace platform
