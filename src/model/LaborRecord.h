#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DateTime.h"
#include "model/JSONConventions.h"

class TBase64Encoder;
class TDataRow;

// One punch interval as the site database stores it; the collector copies the
// values without interpreting them. Packed: the in-memory record is its
// 40-byte image (see TLaborRecord::PunchImage for the byte order on the wire).
#pragma pack(push, 1)
struct TPunchRecord {
  TDateTime PunchDate = 0;    // "PunchDate"
  int32_t Role = 0;           // "Department"
  int16_t InTime = 0;         // "InTime"
  int32_t ActualInTime = 0;   // "ActualIn"
  int16_t OutTime = 0;        // "OutTime"
  int32_t ActualOutTime = 0;  // "ActualOut"
  double Rate = 0;            // "Rate"
  double Multiplier = 0;      // "Multiplier"
};
#pragma pack(pop)
static_assert(sizeof(TPunchRecord) == 40, "TPunchRecord must be packed to 40 bytes");

// The timeclock punches of one employee over a range of days. Not thread-safe.
class TLaborRecord {
 public:
  static constexpr size_t kPunchImageSize = 40;

  int32_t Employee = 0;  // 0 until the first row is read
  TDateTime StartDay = 0;
  TDateTime EndDay = 0;
  std::vector<TPunchRecord> Punches;  // in row order

  // Consumes one row of a timeclock query. On the first row (Employee 0) it
  // takes "Employee" and the days: "StartDay" and "EndDay" when the row has a
  // "StartDay" column, otherwise the row's "PunchDate" for both. A row whose
  // "Department" is NULL carries no punch; any other row appends one, read
  // from "PunchDate", "Department", "InTime", "ActualIn", "OutTime",
  // "ActualOut", "Rate", "Multiplier". Raises ERangeError ("Range check
  // error") for an InTime or OutTime outside the signed 16-bit range (the
  // punch is then appended half filled) or another integer outside 32 bits;
  // raises what the row raises for a missing column.
  void AddRowFromLaborQuery(const TDataRow& query);

  // The 40-byte little-endian image of a punch, fields in declaration order.
  static std::array<uint8_t, kPunchImageSize> PunchImage(const TPunchRecord& punch);

  // The record as a JSON object, members in this order: "Employee"
  // (IntAsJSON), "WeekStart" and "WeekEnd" (the whole-day part of StartDay and
  // EndDay, truncated towards zero, in the general float format), and, only
  // when there are punches, "Punches": one Base64 string per punch image.
  TJSONValue AsJSON(const TBase64Encoder& encoder) const;
  // The compact text (JSONWrite) of AsJSON.
  std::string JSONEncoded() const;
};
