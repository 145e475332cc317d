#include "platform/ServiceReporter.h"

namespace platform {

std::string ReportOneLine(const std::string& text) {
  std::string line = text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

const char* ReportSeverityWord(ReportSeverity severity) {
  switch (severity) {
    case ReportSeverity::Error:
      return "error";
    case ReportSeverity::Warning:
      return "warning";
    case ReportSeverity::Information:
      break;
  }
  return "info";
}

}  // namespace platform
