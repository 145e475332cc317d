#pragma once

#include <string>

// A problem the collector met, kept beside its log line so that a report can
// sort problems by what they are about instead of by the words of the line.

enum class TProblemSeverity {
  Error,  // the step failed
  Note,   // worth telling the operator, nothing failed
};

enum class TProblemSubject {
  SiteChecks,          // the site's installation in the registry
  TransactionManager,  // the site product's Transaction Manager process
  DatabaseConnection,  // connecting to or opening the site database
  SiteRow,             // the SiteList row of the current site
  Versions,            // installed against database version
  LocationCode,        // registry against database location code
  Schema,              // the collector's own objects in the site database
  Server,              // authorising with or posting to the statistics server
  Update,              // the updater the server offered
  Uninstall,           // the removal the server ordered
  Cycle,               // the cycle as a whole (status, transaction, closing)
};

struct TCollectorProblem {
  TProblemSeverity Severity = TProblemSeverity::Error;
  TProblemSubject Subject = TProblemSubject::Cycle;
  std::string Text;  // the log line, as written
};
