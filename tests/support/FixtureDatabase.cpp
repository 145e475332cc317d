#include "support/FixtureDatabase.h"

#include <cstdlib>
#include <stdexcept>

#include "Shared/Orvel_Shared/DBCredentials.h"
#include "firebird/SiteDatabase.h"

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

// The embedded Firebird engine allocates process-wide state once (character
// set converters, the SRP big-number context, ICU tables) and never frees it.
// The leak checker of sanitizer builds is told so here, in the file every
// database test links, so that it still reports leaks of our own.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libEngine12.so\n"
         "leak:libfbclient.so\n"
         "leak:libtommath.so\n"
         "leak:libicuuc.so\n"
         "leak:libicui18n.so\n"
         "leak:libfbintl.so\n"
         "leak:libSrp.so\n";
}
