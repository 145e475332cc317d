#pragma once

#include <string>
#include <vector>

#include "sitedb-fixture/SiteFixture.h"
#include "support/TempDir.h"

class TSiteDatabase;

// How a test reaches a fixture database: the embedded engine in the test
// process, or the Firebird server named by DC_FIREBIRD_SERVER over TCP.
enum class TConnectionMode { Embedded, Server };

// "Embedded" or "Server", for test names.
std::string ConnectionModeName(TConnectionMode mode);

// The modes to run a database suite in: Embedded always, Server when
// DC_FIREBIRD_SERVER is set.
std::vector<TConnectionMode> AvailableConnectionModes();

// The value of DC_FIREBIRD_SERVER ("127.0.0.1/3050"), empty when unset.
std::string FirebirdServer();

// A site database made by the fixture in a folder of its own, removed with the
// object. The file is created with the embedded engine and nothing stays
// connected to it.
class TFixtureDatabase {
 public:
  explicit TFixtureDatabase(const TSiteFixtureOptions& options = {},
                            TConnectionMode mode = TConnectionMode::Embedded);

  const std::string& Path() const { return FPath; }
  // The name to connect with in this mode: the path, or "server:path".
  std::string Name() const;
  TConnectionMode Mode() const { return FMode; }
  const TSiteLoadSummary& Summary() const { return FSummary; }

  // Connects database with the collector's login.
  void Connect(TSiteDatabase& database) const;

 private:
  TempDir FDir;
  std::string FPath;
  TConnectionMode FMode;
  TSiteLoadSummary FSummary;
};
