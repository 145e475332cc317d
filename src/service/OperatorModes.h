#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/CollectorCallbacks.h"

// The operator modes of the program, for scripts and support engineers. Each
// runs in the foreground on a collector of its own and returns the process's
// exit code:
//
//   ONCE   initialises (the server included) and runs exactly one cycle. 0 when
//          the server accepted the post; 1 otherwise, with the reason on err.
//          Changes what a service cycle changes: the post, the status row, the
//          pending employee days, the connect time in the registry.
//   TEST   loads the configuration, runs the site checks, opens the database
//          and runs one cycle's retrieval in a transaction that is rolled
//          back, then writes the document a cycle would post to out. Never
//          contacts the server and changes nothing: no post, no status, no
//          pending employee day removed, no cache kept, no schema created (a
//          site whose collector tables are missing is refused). 0 when the
//          document was built.
//   CHECK  writes one line per check to out, "OK" or "FAILED" and what was
//          found: the registry values, the site checks, the database
//          connection, site row, versions and location code, the collector's
//          schema, the status row and the next windows, the TLS layer, and an
//          Authorize with the server whose update and uninstall orders are
//          reported, never carried out. Reads the database without changing
//          it. 0 when every check passed.
//
// Every message of the collector also goes to log (the service's daily log),
// never as an event-log error. Not thread-safe; one mode per object.
class TOperatorModes {
 public:
  TOperatorModes(TDataCollectorOnLog logHandler, std::ostream& outStream, std::ostream& errStream);
  TOperatorModes(const TOperatorModes&) = delete;
  TOperatorModes& operator=(const TOperatorModes&) = delete;

  // The mode the command line (program first) asks for: "ONCE", "TEST" or
  // "CHECK" given as a switch ("/" or "-", any case); empty when none. The
  // first of them in that order wins.
  static std::string SelectedMode(const std::vector<std::string>& args);

  // Runs the named mode; 2 for an unknown name. Each mode has its own file
  // (OnceMode.cpp, TestMode.cpp, CheckMode.cpp).
  int Run(const std::string& mode);
  int RunOnce();
  int RunTest();
  int RunCheck();

 private:
  TDataCollectorOnLog log;
  std::ostream& out;
  std::ostream& err;
};
