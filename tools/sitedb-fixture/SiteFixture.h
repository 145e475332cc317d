#pragma once

#include <cstdint>
#include <string>

#include "Shared/Orvel_Shared/DateTime.h"

class TSiteDatabase;

// Builds site databases for tests, benchmarks and demonstrations: the site
// product's tables that the collector reads, the roles its grants name, one
// site, and on request a generated load of sales, punches and reference data.
// Names carry accented letters as a real site's do ("Zoë Zimmer", "Café staff").
// The same options and seed always give the same rows.

struct TSiteFixtureOptions {
  // The site row.
  int32_t Site = 1;
  std::string LocationCode = "TST001";
  std::string SWFileVersion = "19.2.0.0";
  bool WithRivoTerminal = true;  // a terminal of type 9 at the site
  bool WithSalePasses = true;    // create the SalePasses table

  // The database's default character set, which its text columns take:
  // "WIN1252" as the site product creates it, or "NONE", "UTF8" and the like.
  // Text goes in through the collector's own binding, so each set holds the
  // same characters.
  std::string Charset = "WIN1252";
  // Money as the site product's later versions keep it: SaleFacts.Data as
  // NUMERIC(18,2), SalePasses.Amount and Upsell as NUMERIC(15,4). Otherwise
  // DOUBLE PRECISION.
  bool NumericMoney = false;

  // The generated load: Sales sales spread over Days days ending with LastDay
  // (0: today), with their facts, passes and employees, punches for every day,
  // and the reference rows they point to.
  int32_t Sales = 0;
  int32_t Days = 7;
  uint64_t Seed = 1;
  TDateTime LastDay = 0;

  // Owner of a new database; empty: the collector's own user.
  std::string User;
  std::string Password;
};

// Row counts of a generated load.
struct TSiteLoadSummary {
  int64_t Sales = 0;
  int64_t SaleFacts = 0;
  int64_t SalePasses = 0;
  int64_t SaleEmployees = 0;
  int64_t Punches = 0;
  int64_t Employees = 0;
  int64_t Terminals = 0;
  int64_t Roles = 0;
  int64_t Services = 0;
  int64_t Categories = 0;
};

// Object ids of the fixed reference rows every site database holds.
namespace SiteFixtureIds {
constexpr int32_t kOtherSite = 2;          // a second site in SiteList, no System row
constexpr int32_t kSiteGroup = 5;          // a site group holding both sites
constexpr int32_t kRivoTerminal = 109;     // TerminalType 9 at the site
constexpr int32_t kOtherSiteTerminal = 201;  // a terminal of the other site
constexpr int32_t kFirstTerminal = 101;    // terminals of the site: 101..106 (and 109)
constexpr int32_t kFirstRole = 1;          // roles 1..8; odd ids have Typ 30
constexpr int32_t kFirstCategory = 1;      // categories 1..4
constexpr int32_t kFirstEmployee = 1001;   // employees from 1001 on
}  // namespace SiteFixtureIds

// Creates the database file databaseName (which must not exist) with the
// tables, roles and site, then, when options.Sales > 0, the generated load.
// Leaves nothing connected. Raises EDatabaseError on failure.
TSiteLoadSummary CreateSiteDatabase(const std::string& databaseName,
                                    const TSiteFixtureOptions& options);

// The same on a connection to an empty database, which stays connected; no
// transaction is left active.
TSiteLoadSummary BuildSiteDatabase(TSiteDatabase& database, const TSiteFixtureOptions& options);

// Adds the generated load of options (Sales, Days, Seed, LastDay) to a database
// that holds the tables and reference rows. Commits as it goes.
TSiteLoadSummary GenerateSiteLoad(TSiteDatabase& database, const TSiteFixtureOptions& options);
