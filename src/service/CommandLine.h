#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

// The command line as the program entry sees it before any service object
// exists: requests for the usage text or the version are answered, and an
// unknown switch is refused, without touching the log, the registry, the
// database, the server or the service. A switch is an argument that starts
// with "/" or "-"; names compare without regard to case. Arguments that are
// not switches are ignored, as the service framework ignores them.
//
// Thread-safe; never raises except through the streams.

enum class TCommandLineRequest {
  Run,            // no request of this unit: the service module takes over
  Usage,          // --help, -h, /?: the usage text on standard output, exit 0
  Version,        // --version: the program's version on standard output, exit 0
  UnknownSwitch,  // a switch the program does not know: the usage on standard error, exit 2
};

struct TCommandLineCheck {
  TCommandLineRequest Request = TCommandLineRequest::Run;
  std::string Switch;  // the first unknown switch, as given
};

// The switch names the service module and the operator modes act on
// (without the leading "/" or "-").
const std::vector<std::string>& KnownSwitchNames();

// Classifies args (program first). An unknown switch wins over a request for
// the usage or the version, so that a mistyped command never runs anything.
TCommandLineCheck CheckCommandLine(const std::vector<std::string>& args);

// The usage text: every switch with one line, the environment variables the
// program reads, where the log goes (programFolder with trailing separator)
// and the exit codes.
std::string UsageText(const std::string& programFolder);

// Answers the request of args on out or err and returns the exit code;
// nothing when the program is to run the service module.
std::optional<int> AnswerCommandLine(const std::vector<std::string>& args, std::ostream& out,
                                     std::ostream& err);
