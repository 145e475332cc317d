#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DateTime.h"
#include "model/JSONConventions.h"

class TBase64Encoder;
class TDataRow;

// The tracked fact values of one profit-center slot.
struct TSalePCFacts {
  int32_t FactMap = 0;        // bit j set: fact slot j holds a value
  std::vector<double> Facts;  // indexed by fact slot; gap entries hold 0.0

  bool operator==(const TSalePCFacts&) const = default;
};

// One sale as the collector sends it: a fixed header, the employee of each
// tracked profit center, and the tracked facts per profit center. It travels
// as the Base64 text of a compact binary image (BinaryImage).
//
// Invariants: bit k of ActivePCMap / ActiveRolesMap is set only when
// ProfitCenters / SalesRoles has an entry k; bit j of a FactMap only when that
// entry's Facts has an entry j. Entries created to fill a gap hold 0 and have
// their bit clear. Not thread-safe.
class TSaleRecord {
 public:
  // Profit-center numbers by slot, and fact numbers by slot. The slot, not the
  // number, is what the bits of the maps mean.
  static constexpr std::array<int32_t, 7> TrackedProfitCenters{0, 1, 2, 5, 6, 10, 20};
  static constexpr std::array<int32_t, 12> TrackedFactIDs{54181, 54200, 54728, 54187,
                                                          54184, 54201, 54711, 54715,
                                                          54741, 54743, 54742, 54739};
  // Fact numbers that retrieval treats specially.
  static constexpr int32_t kServiceHistoryFactID = 54711;
  static constexpr int32_t kRivoSalesAmountFactID = 54741;
  static constexpr int32_t kRivoAdditionalAmountFactID = 54743;
  static constexpr int32_t kRivoCarCountFactID = 54742;

  // Size of the image of a sale without employees and facts.
  static constexpr size_t kHeaderImageSize = 31;

  uint16_t ActivePCMap = 0;
  uint16_t ActiveRolesMap = 0;
  int32_t SaleID = 0;  // 0 while the header is not filled
  int16_t Status = 0;
  TDateTime PaidTime = 0;
  TDateTime CreatedTime = 0;
  uint8_t Shift = 0;
  int32_t Terminal = 0;
  std::vector<int32_t> SalesRoles;          // employee number by profit-center slot
  std::vector<TSalePCFacts> ProfitCenters;  // by profit-center slot

  // Fills the header from the row once: does nothing when SaleID is already
  // non-zero. Reads "ObjId", "LogTime" (tenths of a minute since midnight),
  // "LogDate", "Created", "Shift", "Terminal", "Status"; PaidTime is
  // LogDate + LogTime / 14400. Raises ERangeError ("Range check error") for a
  // Shift outside 0..255, a Status outside the signed 16-bit range or another
  // value outside 32 bits, leaving the header half filled; raises what the row
  // raises for a missing column.
  void UpdateHeaderFromQuery(const TDataRow& query);

  // AddFact of the row's "ProfitCenter", "Fact" and "Data" (float).
  void AddRowFromSaleFactsQuery(const TDataRow& query);

  // Stores one fact value; a profit center or fact that is not tracked is
  // ignored. A later value for the same profit center and fact replaces the
  // earlier one; 0.0 is a value like any other.
  void AddFact(int32_t pcId, int32_t factId, double factAmount);

  // Records the row's "Employee" for the slot of its "ProfitCenter"; an
  // untracked profit center is ignored, a later row for the slot replaces the
  // earlier employee.
  void AddRowFromSaleEmployeesQuery(const TDataRow& query);
  // The same for values already read. Raises ERangeError for a value outside
  // 32 bits.
  void AddSaleEmployee(int64_t profitCenter, int64_t employee);

  // The slot (0..6) of a profit-center number, -1 when it is not tracked.
  static int PCOffset(int32_t profitCenter);
  // The slot (0..11) of a fact number, -1 when it is not tracked.
  static int FactOffset(int32_t factId);

  // The binary image, little-endian, no padding:
  //   0 ActiveRolesMap u16 | 2 ActivePCMap u16 | 4 SaleID i32 | 8 PaidTime f64
  //   16 CreatedTime f64 | 24 Shift u8 | 25 Terminal i32 | 29 Status i16
  //   31: SalesRoles[k] (i32) for each set bit k of ActiveRolesMap, ascending;
  //   then for each set bit k of ActivePCMap, ascending: FactMap of slot k
  //   (i32) followed by Facts[j] (f64) for each set bit j of that FactMap.
  std::vector<uint8_t> BinaryImage() const;
  // The number of bytes of BinaryImage, told from the maps alone.
  size_t ImageSize() const;
  // The Base64 text of BinaryImage.
  std::string Base64Encoded(const TBase64Encoder& encoder) const;
  // As Base64Encoded, appending to out.
  void AppendBase64(const TBase64Encoder& encoder, std::string& out) const;
  // {"SalesData": Base64Encoded(encoder)}.
  TJSONValue AsJSON(const TBase64Encoder& encoder) const;
};
