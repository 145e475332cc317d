#include "support/FixtureDatabase.h"

#include <cstdlib>
#include <stdexcept>

#include "Shared/Orvel_Shared/DBCredentials.h"
#include "collector/SiteDatabase.h"

std::string ConnectionModeName(TConnectionMode mode) {
  return mode == TConnectionMode::Embedded ? "Embedded" : "Server";
}

std::vector<TConnectionMode> AvailableConnectionModes() {
  std::vector<TConnectionMode> modes{TConnectionMode::Embedded};
  if (!FirebirdServer().empty()) modes.push_back(TConnectionMode::Server);
  return modes;
}

std::string FirebirdServer() {
  const char* server = std::getenv("DC_FIREBIRD_SERVER");
  return server != nullptr ? server : "";
}

TFixtureDatabase::TFixtureDatabase(const TSiteFixtureOptions& options, TConnectionMode mode)
    : FDir("dc-sitedb"), FPath(FDir.file("site.fdb")), FMode(mode) {
  if (mode == TConnectionMode::Server && FirebirdServer().empty()) {
    throw std::runtime_error("DC_FIREBIRD_SERVER is not set");
  }
  FSummary = CreateSiteDatabase(FPath, options);
}

std::string TFixtureDatabase::Name() const {
  return FMode == TConnectionMode::Embedded ? FPath : FirebirdServer() + ":" + FPath;
}

void TFixtureDatabase::Connect(TSiteDatabase& database) const {
  database.Connect(Name(), DBUserName(), DBPassword());
}
