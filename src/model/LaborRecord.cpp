#include "model/LaborRecord.h"

#include <cmath>

#include "model/Base64Encoder.h"
#include "model/BinaryImageWriter.h"
#include "model/DataRow.h"
#include "model/RangeCheck.h"

void TLaborRecord::AddRowFromLaborQuery(const TDataRow& query) {
  if (Employee == 0) {
    Employee = RangeChecked<int32_t>(query.AsInteger("Employee"));
    if (query.HasField("StartDay")) {
      StartDay = query.AsDateTime("StartDay");
      EndDay = query.AsDateTime("EndDay");
    } else {
      StartDay = query.AsDateTime("PunchDate");
      EndDay = StartDay;
    }
  }
  if (query.IsNull("Department")) return;

  // The punch is appended before it is filled: a range error leaves it half
  // filled in the record, and the cycle that sees the error sends nothing.
  Punches.emplace_back();
  TPunchRecord& punch = Punches.back();
  punch.PunchDate = query.AsDateTime("PunchDate");
  punch.Role = RangeChecked<int32_t>(query.AsInteger("Department"));
  punch.InTime = RangeChecked<int16_t>(query.AsInteger("InTime"));
  punch.ActualInTime = RangeChecked<int32_t>(query.AsInteger("ActualIn"));
  punch.OutTime = RangeChecked<int16_t>(query.AsInteger("OutTime"));
  punch.ActualOutTime = RangeChecked<int32_t>(query.AsInteger("ActualOut"));
  punch.Rate = query.AsFloat("Rate");
  punch.Multiplier = query.AsFloat("Multiplier");
}

std::array<uint8_t, TLaborRecord::kPunchImageSize> TLaborRecord::PunchImage(
    const TPunchRecord& punch) {
  std::array<uint8_t, kPunchImageSize> image;
  TBinaryImageWriter out(image.data());
  out.Put(punch.PunchDate);
  out.Put(punch.Role);
  out.Put(punch.InTime);
  out.Put(punch.ActualInTime);
  out.Put(punch.OutTime);
  out.Put(punch.ActualOutTime);
  out.Put(punch.Rate);
  out.Put(punch.Multiplier);
  return image;
}

TJSONValue TLaborRecord::AsJSON(const TBase64Encoder& encoder) const {
  TJSONValue object = TJSONValue::object();
  JSONPut(object, "Employee", IntAsJSON(Employee));
  JSONPut(object, "WeekStart", FloatAsJSON(std::trunc(StartDay)));
  JSONPut(object, "WeekEnd", FloatAsJSON(std::trunc(EndDay)));
  // The member appears with the first punch; its array is sized once.
  if (!Punches.empty()) {
    TJSONValue punches = TJSONValue::array();
    auto& elements = punches.get_ref<TJSONValue::array_t&>();
    elements.reserve(Punches.size());
    for (const TPunchRecord& punch : Punches) elements.emplace_back(encoder.Encode(PunchImage(punch)));
    JSONPut(object, "Punches", std::move(punches));
  }
  return object;
}

std::string TLaborRecord::JSONEncoded() const { return JSONWrite(AsJSON(TBase64Encoder())); }
