#include "model/SaleRecord.h"

#include <algorithm>
#include <bit>

#include "model/Base64Encoder.h"
#include "model/BinaryImageWriter.h"
#include "model/DataRow.h"
#include "model/RangeCheck.h"

namespace {

// Every bit of both 16-bit maps and of 32-bit fact maps: the image of any
// record, even one whose public fields break the invariants, fits.
constexpr size_t kMaxImageSize = TSaleRecord::kHeaderImageSize + 16 * 4 + 16 * (4 + 32 * 8);

// Writes the image of sale into buffer and returns its size. A set bit whose
// array entry is missing is written as 0, so the image always agrees with its
// maps.
size_t WriteImage(const TSaleRecord& sale, uint8_t* buffer) {
  TBinaryImageWriter out(buffer);
  out.Put(sale.ActiveRolesMap);
  out.Put(sale.ActivePCMap);
  out.Put(sale.SaleID);
  out.Put(sale.PaidTime);
  out.Put(sale.CreatedTime);
  out.Put(sale.Shift);
  out.Put(sale.Terminal);
  out.Put(sale.Status);
  for (size_t k = 0; k < 16; ++k) {
    if ((sale.ActiveRolesMap >> k & 1) == 0) continue;
    out.Put(k < sale.SalesRoles.size() ? sale.SalesRoles[k] : int32_t{0});
  }
  for (size_t k = 0; k < 16; ++k) {
    if ((sale.ActivePCMap >> k & 1) == 0) continue;
    if (k >= sale.ProfitCenters.size()) {
      out.Put(int32_t{0});
      continue;
    }
    const TSalePCFacts& pc = sale.ProfitCenters[k];
    out.Put(pc.FactMap);
    const auto factMap = static_cast<uint32_t>(pc.FactMap);
    for (size_t j = 0; j < 32; ++j) {
      if ((factMap >> j & 1) == 0) continue;
      out.Put(j < pc.Facts.size() ? pc.Facts[j] : 0.0);
    }
  }
  return out.Size();
}

}  // namespace

int TSaleRecord::PCOffset(int32_t profitCenter) {
  const auto it = std::find(TrackedProfitCenters.begin(), TrackedProfitCenters.end(), profitCenter);
  return it == TrackedProfitCenters.end() ? -1 : static_cast<int>(it - TrackedProfitCenters.begin());
}

int TSaleRecord::FactOffset(int32_t factId) {
  const auto it = std::find(TrackedFactIDs.begin(), TrackedFactIDs.end(), factId);
  return it == TrackedFactIDs.end() ? -1 : static_cast<int>(it - TrackedFactIDs.begin());
}

void TSaleRecord::UpdateHeaderFromQuery(const TDataRow& query) {
  if (SaleID != 0) return;
  SaleID = RangeChecked<int32_t>(query.AsInteger("ObjId"));
  const int64_t logTime = query.AsInteger("LogTime");
  PaidTime = query.AsDateTime("LogDate") + static_cast<double>(logTime) / 14400.0;
  CreatedTime = query.AsDateTime("Created");
  Shift = RangeChecked<uint8_t>(query.AsInteger("Shift"));
  Terminal = RangeChecked<int32_t>(query.AsInteger("Terminal"));
  Status = RangeChecked<int16_t>(query.AsInteger("Status"));
}

void TSaleRecord::AddRowFromSaleFactsQuery(const TDataRow& query) {
  const double data = query.AsFloat("Data");
  const int64_t fact = query.AsInteger("Fact");
  const int64_t profitCenter = query.AsInteger("ProfitCenter");
  AddFact(RangeChecked<int32_t>(profitCenter), RangeChecked<int32_t>(fact), data);
}

void TSaleRecord::AddFact(int32_t pcId, int32_t factId, double factAmount) {
  const int k = PCOffset(pcId);
  if (k < 0) return;
  const int j = FactOffset(factId);
  if (j < 0) return;
  if (ProfitCenters.size() < static_cast<size_t>(k) + 1) ProfitCenters.resize(k + 1);
  TSalePCFacts& pc = ProfitCenters[k];
  if (pc.Facts.size() < static_cast<size_t>(j) + 1) pc.Facts.resize(j + 1, 0.0);
  ActivePCMap |= static_cast<uint16_t>(1u << k);
  pc.FactMap |= static_cast<int32_t>(1u << j);
  pc.Facts[j] = factAmount;
}

void TSaleRecord::AddRowFromSaleEmployeesQuery(const TDataRow& query) {
  AddSaleEmployee(query.AsInteger("ProfitCenter"), query.AsInteger("Employee"));
}

void TSaleRecord::AddSaleEmployee(int64_t profitCenter, int64_t employee) {
  const int k = PCOffset(RangeChecked<int32_t>(profitCenter));
  if (k < 0) return;
  if (SalesRoles.size() < static_cast<size_t>(k) + 1) SalesRoles.resize(k + 1, 0);
  ActiveRolesMap |= static_cast<uint16_t>(1u << k);
  SalesRoles[k] = RangeChecked<int32_t>(employee);
}

std::vector<uint8_t> TSaleRecord::BinaryImage() const {
  uint8_t buffer[kMaxImageSize];
  const size_t size = WriteImage(*this, buffer);
  return std::vector<uint8_t>(buffer, buffer + size);
}

size_t TSaleRecord::ImageSize() const {
  size_t size = kHeaderImageSize + 4 * static_cast<size_t>(std::popcount(ActiveRolesMap));
  for (size_t k = 0; k < 16; ++k) {
    if ((ActivePCMap >> k & 1) == 0) continue;
    size += 4;
    if (k < ProfitCenters.size()) {
      size += 8 * static_cast<size_t>(std::popcount(static_cast<uint32_t>(ProfitCenters[k].FactMap)));
    }
  }
  return size;
}

void TSaleRecord::AppendBase64(const TBase64Encoder& encoder, std::string& out) const {
  uint8_t buffer[kMaxImageSize];
  const size_t size = WriteImage(*this, buffer);
  encoder.EncodeTo(std::span<const uint8_t>(buffer, size), out);
}

std::string TSaleRecord::Base64Encoded(const TBase64Encoder& encoder) const {
  uint8_t buffer[kMaxImageSize];
  const size_t size = WriteImage(*this, buffer);
  return encoder.Encode(std::span<const uint8_t>(buffer, size));
}

TJSONValue TSaleRecord::AsJSON(const TBase64Encoder& encoder) const {
  TJSONValue object = TJSONValue::object();
  object.get_ref<TJSONValue::object_t&>().emplace_back("SalesData", Base64Encoded(encoder));
  return object;
}
