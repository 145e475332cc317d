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

// Database session, schema and status.
void TDataCollector::StartTransaction() { NotAvailable("StartTransaction"); }
void TDataCollector::CommitTransaction() { NotAvailable("CommitTransaction"); }
void TDataCollector::RollbackTransaction() { NotAvailable("RollbackTransaction"); }
void TDataCollector::CloseDatabase() { NotAvailable("CloseDatabase"); }
bool TDataCollector::BasicSystemChecksOK() { NotAvailable("BasicSystemChecksOK"); }
bool TDataCollector::TransactionManagerRunning() { NotAvailable("TransactionManagerRunning"); }
bool TDataCollector::RivoConversionPending() { NotAvailable("RivoConversionPending"); }
void TDataCollector::CheckHistoryAge(TDataCollectorStatusObj&) { NotAvailable("CheckHistoryAge"); }
bool TDataCollector::OpenDatabase() { NotAvailable("OpenDatabase"); }
void TDataCollector::VerifyDBStructures(bool) { NotAvailable("VerifyDBStructures"); }
std::unique_ptr<TDataCollectorStatusObj> TDataCollector::LoadStatus() { NotAvailable("LoadStatus"); }
void TDataCollector::SaveStatus(const TDataCollectorStatusObj*) { NotAvailable("SaveStatus"); }
void TDataCollector::Uninstall() { NotAvailable("Uninstall"); }

// Retrieval.
std::unique_ptr<TCollectedData> TDataCollector::RetrieveData(const TDataCollectorStatusObj&) {
  NotAvailable("RetrieveData");
}

// Server exchanges.
void TDataCollector::DownloadUpdater(const std::string&) { NotAvailable("DownloadUpdater"); }
void TDataCollector::StartRemoteUninstall() { NotAvailable("The remote uninstall"); }
