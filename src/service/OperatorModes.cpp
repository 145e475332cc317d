#include "service/OperatorModes.h"

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "service/DataCollectorSvcMain.h"

TOperatorModes::TOperatorModes(TDataCollectorOnLog logHandler, std::ostream& outStream, std::ostream& errStream)
    : log(std::move(logHandler)), out(outStream), err(errStream) {}

std::string TOperatorModes::SelectedMode(const std::vector<std::string>& args) {
  for (const char* mode : {"ONCE", "TEST", "CHECK"}) {
    if (FindCmdLineSwitch(args, mode)) return mode;
  }
  return {};
}

int TOperatorModes::Run(const std::string& mode) {
  if (mode == "ONCE") return RunOnce();
  if (mode == "TEST") return RunTest();
  if (mode == "CHECK") return RunCheck();
  err << "DataCollector: unknown mode " << mode << "\n";
  return 2;
}
