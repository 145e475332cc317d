// The program entry: answers the usage and version switches and refuses an
// unknown switch; otherwise installs the crash reporter, creates the service
// host and the service module, and runs the module.

#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/CrashReport.h"
#include "platform/EventLog.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/ServiceHost.h"
#include "service/CommandLine.h"
#include "service/DataCollectorSvcMain.h"

namespace {

// The program's file name without its extension: the event source of errors
// that escape the service module.
std::string ProgramName() {
  std::string name = platform::ImageFileName(platform::ExecutablePath());
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name.empty() ? "DataCollector" : name;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  platform::UseUtf8Console();
  try {
    if (const std::optional<int> answered = AnswerCommandLine(args, std::cout, std::cerr)) return *answered;
    std::unique_ptr<platform::CrashReporter> reporter = platform::InstallCrashReporter();
    std::unique_ptr<platform::ServiceHost> host = platform::CreateServiceHost();
    std::unique_ptr<platform::EventLog> programEvents = platform::OpenEventLog(ProgramName());
    host->SetExceptionHandler([&](const std::string& message) {
      programEvents->ReportError(message);
      reporter->ReportException(message);
    });
    TDataCollectorSvc service(*host, reporter.get());
    return service.Run(args);
  } catch (const std::exception& e) {
    std::cerr << "DataCollector: " << e.what() << "\n";
    return 1;
  }
}
