#pragma once

#include <cstdint>

#include "Shared/Orvel_Shared/DateTime.h"

// What the collector has delivered (the stored fields, one row of DC_STATUS)
// plus the windows of the cycle in progress. Time fields are local date-times,
// 0 when not set.
struct TDataCollectorStatusObj {
  // Stored.
  TDateTime ActiveHistoryStart = 0;
  TDateTime ActiveHistoryEnd = 0;
  int32_t ActiveHistoryFactID = 0;
  TDateTime LastSent = 0;
  TDateTime LastCycleEnd = 0;
  // This cycle only.
  TDateTime CurrentCycleStart = 0;
  TDateTime CurrentCycleEnd = 0;  // exclusive
  TDateTime CurrentHistoryStart = 0;
  TDateTime CurrentHistoryEnd = 0;  // 0: no history this cycle
  bool SkipHistory = false;
  bool DBClear = false;  // never read or written by the collector

  bool operator==(const TDataCollectorStatusObj&) const = default;
};
