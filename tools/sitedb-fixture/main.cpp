// sitedb_fixture: creates a site database for tests, benchmarks and demonstrations.
//
//   sitedb_fixture DATABASE [--sales N] [--days D] [--seed S] [--last-day YYYY-MM-DD]
//                  [--site ID] [--loc CODE] [--version X.Y.Z.W]
//                  [--no-salepasses] [--no-rivo-terminal] [--charset SET] [--numeric-money]
//
// --charset gives the database's character set (WIN1252 by default, as the
// site product creates it; NONE and UTF8 are the others a site may have).
// --numeric-money keeps the sale facts and pass amounts as NUMERIC instead of
// DOUBLE PRECISION.
//
// DATABASE is a file path (embedded engine) or host[/port]:path (a server).
// The file must not exist yet. Without --sales only the tables, roles, the
// site and its reference rows are created.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "sitedb-fixture/SiteFixture.h"

namespace {

int Usage() {
  std::cerr << "usage: sitedb_fixture DATABASE [--sales N] [--days D] [--seed S]"
               " [--last-day YYYY-MM-DD] [--site ID] [--loc CODE] [--version X.Y.Z.W]"
               " [--no-salepasses] [--no-rivo-terminal] [--charset SET] [--numeric-money]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string database;
  TSiteFixtureOptions options;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw EConvertError("missing value after " + arg);
        return argv[++i];
      };
      if (arg == "--sales") {
        options.Sales = std::stoi(value());
      } else if (arg == "--days") {
        options.Days = std::stoi(value());
      } else if (arg == "--seed") {
        options.Seed = std::stoull(value());
      } else if (arg == "--last-day") {
        int y = 0, m = 0, d = 0;
        const std::string text = value();
        if (std::sscanf(text.c_str(), "%d-%d-%d", &y, &m, &d) != 3) return Usage();
        options.LastDay = EncodeDateTime(y, m, d);
      } else if (arg == "--site") {
        options.Site = std::stoi(value());
      } else if (arg == "--loc") {
        options.LocationCode = value();
      } else if (arg == "--version") {
        options.SWFileVersion = value();
      } else if (arg == "--no-salepasses") {
        options.WithSalePasses = false;
      } else if (arg == "--no-rivo-terminal") {
        options.WithRivoTerminal = false;
      } else if (arg == "--charset") {
        options.Charset = value();
      } else if (arg == "--numeric-money") {
        options.NumericMoney = true;
      } else if (!arg.empty() && arg[0] != '-' && database.empty()) {
        database = arg;
      } else {
        return Usage();
      }
    }
    if (database.empty()) return Usage();
    const TSiteLoadSummary s = CreateSiteDatabase(database, options);
    std::cout << database << ": " << s.Sales << " sales, " << s.SaleFacts << " sale facts, "
              << s.SalePasses << " passes, " << s.SaleEmployees << " sale employees, "
              << s.Punches << " punches, " << s.Employees << " employees, " << s.Terminals
              << " terminals, " << s.Roles << " roles, " << s.Services << " services, "
              << s.Categories << " categories\n";
  } catch (const std::exception& error) {
    std::cerr << "sitedb_fixture: " << error.what() << '\n';
    return 1;
  }
  return 0;
}
