#pragma once

#include <string>
#include <vector>

class TSiteDatabase;

// The collector's own objects in the site database as they were found.
struct TCollectorSchema {
  bool StatusTable = false;           // DC_STATUS
  bool StatusHasHistoryFact = false;  // its ActiveHistoryFact column
  bool PendingTable = false;          // DC_PENDINGEMPDAYS_V111
  bool PendingTrigger = false;        // DC_PENDINGEMPDAYS_V111_TRG
  bool PendingTriggerActive = false;
  bool PendingTriggerCurrent = false;  // its source is the current body
  bool OldTrigger = false;             // DC_PENDINGEMPDAYS_TRG of older versions
  bool OldTriggerActive = false;
  bool OldTable = false;  // DC_PENDINGEMPDAYS of older versions

  // Empty when every object the collector needs is in place; otherwise what
  // is missing or wrong, one phrase each ("table DC_STATUS is missing").
  std::vector<std::string> Problems() const;
};

// Reads the collector's objects in the site database without changing
// anything, in the database's current transaction. Raises EDatabaseError.
TCollectorSchema InspectCollectorSchema(TSiteDatabase& database);
