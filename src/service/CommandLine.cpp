#include "service/CommandLine.h"

#include <algorithm>
#include <ostream>

#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "platform/Files.h"
#include "platform/ServiceControl.h"
#include "server/ServerBuildConfig.h"

namespace {

bool IsSwitch(const std::string& arg) { return !arg.empty() && (arg[0] == '/' || arg[0] == '-'); }

bool NameIsOneOf(const std::string& name, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(), [&](const char* known) { return SameTextAscii(name, known); });
}

// "--help" and "--version" are the usual POSIX spellings: after the switch
// character their names still begin with "-".
bool AsksForUsage(const std::string& name) { return NameIsOneOf(name, {"?", "h", "help", "-help"}); }
bool AsksForVersion(const std::string& name) { return NameIsOneOf(name, {"version", "-version"}); }

}  // namespace

const std::vector<std::string>& KnownSwitchNames() {
  static const std::vector<std::string> names = {"INSTALL", "UNINSTALL", "SILENT", "UPGRADE",
                                                 "ONCE",    "TEST",      "CHECK"};
  return names;
}

TCommandLineCheck CheckCommandLine(const std::vector<std::string>& args) {
  TCommandLineCheck check;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!IsSwitch(arg)) continue;
    const std::string name = arg.substr(1);
    if (AsksForUsage(name)) {
      if (check.Request == TCommandLineRequest::Run) check.Request = TCommandLineRequest::Usage;
    } else if (AsksForVersion(name)) {
      if (check.Request == TCommandLineRequest::Run) check.Request = TCommandLineRequest::Version;
    } else if (std::none_of(KnownSwitchNames().begin(), KnownSwitchNames().end(),
                            [&](const std::string& known) { return SameTextAscii(name, known); })) {
      return {TCommandLineRequest::UnknownSwitch, arg};
    }
  }
  return check;
}

std::string UsageText(const std::string& programFolder) {
  const platform::ServiceUsageNotes system = platform::SystemServiceUsage();
  const std::string logFolder = std::string("LOG") + platform::PathSeparator();
  return "Usage: DataCollector [switch]\n"
         "\n"
         "Without a switch the program runs the Data Collector service in the foreground,\n" +
         system.foreground +
         ". Switches start with \"/\" or \"-\", in any case.\n"
         "\n"
         "  /INSTALL     install the service: " +
         system.installs +
         "\n"
         "  /UNINSTALL   stop and remove the service, and the collector's tables in the site database\n"
         "  /SILENT      with /INSTALL or /UNINSTALL: no success message\n"
         "  /CHECK       check the configuration, the site database and the server, one line each\n"
         "  /TEST        print the document the next cycle would post; sends and saves nothing\n"
         "  /ONCE        run one cycle in the foreground and exit (stop the service first)\n"
         "  /UPGRADE     only write the upgrade line to the log\n"
         "  --help, -h, /?  print this text\n"
         "  --version    print the program's version\n"
         "\n"
         "Environment:\n"
         "  DC_SERVER_HOST  the statistics server's host (default " DC_DEFAULT_SERVER_HOST ")\n"
         "  DC_SERVER_PORT  the statistics server's port (default 9000)\n"
         "  DC_TICK_MS      the length of the timer tick in milliseconds (default 1000)\n" +
         system.environment +
         "\n"
         "Log: one file a day, <location code>_DataCollector_<YYYYMMDD>.LOG, in " +
         programFolder + logFolder +
         "\n"
         "(when that cannot be written: " +
         logFolder + " in the site product's folder, else " + platform::SystemLogFolderPath() +
         ", else a folder of the program's own in the temporary folder);\n"
         "crash reports go beside it as .elf files.\n"
         "\n"
         "Exit codes: 0 done, 1 failed, 2 unknown switch.\n";
}

std::optional<int> AnswerCommandLine(const std::vector<std::string>& args, std::ostream& out,
                                     std::ostream& err) {
  const TCommandLineCheck check = CheckCommandLine(args);
  switch (check.Request) {
    case TCommandLineRequest::Run:
      return std::nullopt;
    case TCommandLineRequest::Usage:
      out << UsageText(GetApplicationFolder());
      return 0;
    case TCommandLineRequest::Version: {
      const std::string version = GetCollectorVersion();
      out << "Data Collector " << (version.empty() ? "(the program carries no version)" : version) << "\n";
      return 0;
    }
    case TCommandLineRequest::UnknownSwitch:
      err << "DataCollector: unknown switch \"" << check.Switch << "\"\n\n" << UsageText(GetApplicationFolder());
      return 2;
  }
  return std::nullopt;
}
