#pragma once

#include <string>
#include <vector>

#include "collector/DataCollector.h"
#include "firebird/SiteDatabase.h"
#include "support/HiveText.h"
#include "support/ScopedRegistry.h"

// The registry of a site as the collector's configuration reads it.
struct TSiteRegistry {
  bool Installed = true;  // false: no \Software\Orvel key at all
  std::string InstallType = "Server";
  std::string Path = "/opt/corvane/";
  std::string Stage = "19.2.5.1";
  std::string Database;
  std::string ClientToken = "token-1";
  std::string LocCode = "TST001";

  // The hive, to add to, and its text in the registry-export format.
  HiveText Hive() const;
  std::string Text() const;
};

// A collector for the tests of the site-side steps: its protected steps are
// reachable, its log lines are kept, and its configuration comes from a
// private registry (set with Configure, which also loads it).
class TSiteTestCollector : public TDataCollector {
 public:
  TSiteTestCollector();

  void Configure(const TSiteRegistry& registry);

  using TDataCollector::BasicSystemChecksOK;
  using TDataCollector::CheckHistoryAge;
  using TDataCollector::CloseDatabase;
  using TDataCollector::CommitTransaction;
  using TDataCollector::FindProcessID;
  using TDataCollector::LoadStatus;
  using TDataCollector::OpenDatabase;
  using TDataCollector::RivoConversionPending;
  using TDataCollector::RollbackTransaction;
  using TDataCollector::SaveStatus;
  using TDataCollector::StartTransaction;
  using TDataCollector::TransactionManagerRunning;
  using TDataCollector::VerifyDBStructures;

  TSiteDatabase& Database() { return *LDB; }
  TSiteQuery* SalePassesQuery() { return LSalePassesQry.get(); }
  ScopedRegistry& Registry() { return FRegistry; }

  std::vector<std::string> Lines;  // every message logged, in order
  // The messages logged since the last call, and forgets them.
  std::vector<std::string> TakeLines();

 private:
  ScopedRegistry FRegistry;
};
