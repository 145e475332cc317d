#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "collector/DataCollector.h"
#include "firebird/SiteDatabase.h"
#include "model/CollectedData.h"
#include "support/FixtureDatabase.h"
#include "support/ScopedRegistry.h"

// A small fixture site database for the retrieval tests: the fixture's tables
// and reference rows, the collector's schema as the collector creates it, a
// private registry describing a server installation that uses the database,
// and a connection of its own ("the site product") to add rows, each committed
// at once. Uses the environment (ScopedRegistry): one site per test.
class TRetrievalSite {
 public:
  explicit TRetrievalSite(const TSiteFixtureOptions& options = {},
                          TConnectionMode mode = TConnectionMode::Embedded);
  ~TRetrievalSite();

  const TFixtureDatabase& Database() const { return FDatabase; }
  TSiteDatabase& Writer() { return FWriter; }

  struct TSale {
    int32_t Id = 0;
    TDateTime Modified = 0;
    TDateTime Created = 0;  // 0: Modified
    TDateTime LogDate = 0;  // 0: the day of Created
    int32_t Terminal = 101;
    int32_t Status = 0;
    int32_t Shift = 1;
    std::optional<int32_t> ActualSaleId = std::nullopt;
  };
  void AddSale(const TSale& sale);
  void AddFact(int32_t saleId, int32_t fact, int32_t profitCenter, double data);
  void AddPass(int32_t saleId, int32_t status, double amount, double upsell);
  void AddSaleEmployee(int32_t saleId, int32_t employee, int32_t role, int32_t profitCenter);

  struct TEmployee {
    int32_t Id = 0;
    std::string Name = {};
    int32_t HomeSite = 1;
    int32_t Enabled = 1;
    int32_t Code = 100;
    int32_t ActiveAt = -2147483647;
    TDateTime TermDate = 0;  // 0: NULL
    int32_t Category = 1;
  };
  void AddEmployee(const TEmployee& employee);

  // Inserts a punch (the trigger notes the employee day) and returns its id.
  int32_t AddPunch(int32_t employee, TDateTime date, const std::string& type = "R",
                   std::optional<int32_t> department = 1, int32_t inTime = 480,
                   int32_t outTime = 960);

  // Runs one statement in a transaction of its own.
  void Exec(const std::string& sql);
  // The first column of the first row of a query, as an integer.
  int64_t Scalar(const std::string& sql);

 private:
  TFixtureDatabase FDatabase;
  ScopedRegistry FRegistry;
  TSiteDatabase FWriter;
  int32_t FNextPunch = 1;
};

// A collector whose retrieval steps a test can reach. Attach opens the site's
// database as a cycle does (configuration from the registry, OpenDatabase,
// VerifyDBStructures); Begin starts the cycle's transaction. The Transaction
// Manager of the site product counts as running.
class TRetrievalCollector : public TDataCollector {
 public:
  explicit TRetrievalCollector(std::vector<std::string>& log);

  using TDataCollector::CommitAcceptedData;
  using TDataCollector::RetrieveData;

  void Attach();
  // Connects to the statistics server named by DC_SERVER_HOST and
  // DC_SERVER_PORT and marks the collector initialised, as Initialize does
  // after an accepted Authorize.
  void ConnectServer();
  void Begin() { LDB->StartTransaction(); }
  void Commit() { LDB->Commit(); }
  void Rollback() { LDB->Rollback(); }
  void MarkInitialized() { FInitialized = true; }
  bool HasSalePasses() const { return LSalePassesQry != nullptr; }
  const TCycleStatistics& Stats() const { return LCurCycleStats; }
  bool HoldsResend() const { return LResendData != nullptr; }

  // One retrieval in a transaction of its own, committed or rolled back.
  std::unique_ptr<TCollectedData> RetrieveAndEnd(const TDataCollectorStatusObj& status,
                                                 bool commit = true);

 protected:
  bool TransactionManagerRunning() override { return true; }
};

// A status whose current window is [start, end) and, when historyEnd is not 0,
// whose history slice is [historyStart, historyEnd].
TDataCollectorStatusObj RetrievalStatus(TDateTime start, TDateTime end, TDateTime historyStart = 0,
                                        TDateTime historyEnd = 0, int32_t factId = 0);
