// TRANSITIONAL, removed before release: operations of the collector whose real
// implementation is still being written. Each one raises, so nothing pretends
// to work. Whoever implements an operation deletes its definition here.
#include "collector/DataCollector.h"

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "model/DataCollectorStatusObj.h"

namespace {
[[noreturn]] void NotAvailable(const char* operation) {
  throw EOrvelError(std::string(operation) + " is not available in this build");
}
}  // namespace

// Server exchanges.
void TDataCollector::DownloadUpdater(const std::string&) { NotAvailable("DownloadUpdater"); }
void TDataCollector::StartRemoteUninstall() { NotAvailable("The remote uninstall"); }
