#include "model/CollectedData.h"

#include <array>
#include <cmath>
#include <string>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "model/Base64Encoder.h"
#include "model/JSONTextSink.h"

namespace {

// Appends ToJson of every record to the array at path; an empty list adds
// nothing, so its array (and an emptied parent) stays absent.
template <class T>
void AppendReferences(TJSONValue& document, std::string_view path, const TRecordList<T>& records) {
  for (const auto& record : records) JSONPut(document, path, record->ToJson());
}

// The array member name of document, created empty with room for count
// elements. Only called for a non-empty list.
TJSONValue::array_t& ReservedArray(TJSONValue& document, std::string_view name, size_t count) {
  JSONPut(document, name, TJSONValue::array());
  auto& elements = document[std::string(name)].get_ref<TJSONValue::array_t&>();
  elements.reserve(count);
  return elements;
}

// --- Text written straight from the records --------------------------------
//
// Each writer runs with TJSONSizeSink to size the buffer and with
// TJSONTextSink to fill it; the text is exactly JSONWrite of JSONEncoded(), so
// member names and orders here follow the tree builders (AsJSON, ToJson).

// Top-level members the data itself may have.
constexpr std::array<std::string_view, 6> kDataMembers{"FullEmployees", "ReferenceData", "DeletedSales",
                                                       "SalesDataJSON", "LaborData", "EmployeeCategories"};

template <class Sink>
void WriteField(int32_t n, Sink& sink) {
  sink.Integer(n);
}
template <class Sink>
void WriteField(bool b, Sink& sink) {
  sink.Boolean(b);
}
template <class Sink>
void WriteField(const std::string& text, Sink& sink) {
  sink.String(text);
}

template <class T, class Sink>
void WriteReference(const T& record, Sink& sink) {
  sink.Raw('{');
  bool first = true;
  record.ForEachMember([&](const char* name, const auto& value) {
    if (!first) sink.Raw(',');
    first = false;
    sink.String(name);
    sink.Raw(':');
    WriteField(value, sink);
  });
  sink.Raw('}');
}

template <class Sink>
void WriteSale(const TSaleRecord& sale, const TBase64Encoder& encoder, Sink& sink) {
  sink.Raw(R"({"SalesData":)");
  if constexpr (Sink::kCounts) {
    // The size comes from the maps; the image is made only when written.
    sink.Base64StringOfSize(sale.ImageSize());
  } else {
    sink.Raw('"');
    sale.AppendBase64(encoder, sink.Out());
    sink.Raw('"');
  }
  sink.Raw('}');
}

template <class Sink>
void WriteLabor(const TLaborRecord& record, Sink& sink) {
  sink.Raw(R"({"Employee":)");
  sink.String(std::to_string(record.Employee));
  sink.Raw(R"(,"WeekStart":)");
  sink.String(FloatToGeneralText(std::trunc(record.StartDay)));
  sink.Raw(R"(,"WeekEnd":)");
  sink.String(FloatToGeneralText(std::trunc(record.EndDay)));
  if (!record.Punches.empty()) {
    sink.Raw(R"(,"Punches":[)");
    bool first = true;
    for (const TPunchRecord& punch : record.Punches) {
      if (!first) sink.Raw(',');
      first = false;
      sink.Base64String(TLaborRecord::PunchImage(punch));
    }
    sink.Raw(']');
  }
  sink.Raw('}');
}

// Writes "[" element, ... "]" of a non-empty list.
template <class List, class F, class Sink>
void WriteArray(const List& items, Sink& sink, F&& writeItem) {
  sink.Raw('[');
  bool first = true;
  for (const auto& item : items) {
    if (!first) sink.Raw(',');
    first = false;
    writeItem(item);
  }
  sink.Raw(']');
}

template <class Sink>
void WriteDocument(const TCollectedData& data, const TJSONValue& tail, Sink& sink) {
  const TBase64Encoder encoder;
  bool first = true;
  const auto member = [&](std::string_view name) {
    if (!first) sink.Raw(',');
    first = false;
    sink.String(name);
    sink.Raw(':');
  };
  const auto references = [&sink](const auto& list) {
    WriteArray(list, sink, [&sink](const auto& record) { WriteReference(*record, sink); });
  };

  sink.Raw('{');
  if (data.NewEmployees()) {
    member("FullEmployees");
    sink.Integer(1);
  }
  if (!data.Employees().empty() || !data.Roles().empty() || !data.Terminals().empty() ||
      !data.Services().empty() || !data.PlanTypes().empty()) {
    member("ReferenceData");
    sink.Raw('{');
    bool firstList = true;
    const auto list = [&](std::string_view name, const auto& records) {
      if (records.empty()) return;
      if (!firstList) sink.Raw(',');
      firstList = false;
      sink.String(name);
      sink.Raw(':');
      references(records);
    };
    list("Employees", data.Employees());
    list("Roles", data.Roles());
    list("Terminals", data.Terminals());
    list("Services", data.Services());
    list("Plans", data.PlanTypes());
    sink.Raw('}');
  }
  if (!data.DeletedSales().empty()) {
    member("DeletedSales");
    WriteArray(data.DeletedSales(), sink, [&sink](int32_t sale) { sink.String(std::to_string(sale)); });
  }
  if (!data.SalesData().empty()) {
    member("SalesDataJSON");
    WriteArray(data.SalesData(), sink, [&](const auto& sale) { WriteSale(*sale, encoder, sink); });
  }
  if (!data.LaborData().empty()) {
    member("LaborData");
    WriteArray(data.LaborData(), sink, [&sink](const auto& record) { WriteLabor(*record, sink); });
  }
  if (!data.EmpCategories().empty()) {
    member("EmployeeCategories");
    references(data.EmpCategories());
  }
  if (tail.is_object()) {
    for (const auto& [name, value] : tail.items()) {
      member(name);
      sink.Value(value);
    }
  }
  sink.Raw('}');
}

void CheckTail(const TJSONValue& tail) {
  if (tail.is_null()) return;
  if (!tail.is_object()) throw EConvertError("The members to add to a document must be an object");
  for (const auto& [name, value] : tail.items()) {
    for (const std::string_view dataMember : kDataMembers) {
      if (name == dataMember) throw EConvertError("JSON member \"" + name + "\" belongs to the collected data");
    }
  }
}

}  // namespace

std::string TCollectedData::JSONText(const TJSONValue& tail) const {
  std::string text;
  text.reserve(JSONTextSize(tail));
  WriteJSONText(text, tail);
  return text;
}

size_t TCollectedData::JSONTextSize(const TJSONValue& tail) const {
  CheckTail(tail);
  TJSONSizeSink sink;
  WriteDocument(*this, tail, sink);
  return sink.Size();
}

void TCollectedData::WriteJSONText(std::string& out, const TJSONValue& tail) const {
  CheckTail(tail);
  TJSONTextSink sink(out);
  WriteDocument(*this, tail, sink);
}

TJSONValue TCollectedData::JSONEncoded() const {
  const TBase64Encoder encoder;
  TJSONValue document = TJSONValue::object();

  if (FNewEmployees) JSONPut(document, "FullEmployees", 1);
  AppendReferences(document, "ReferenceData.Employees[]", FEmployees);
  AppendReferences(document, "ReferenceData.Roles[]", FRoles);
  AppendReferences(document, "ReferenceData.Terminals[]", FTerminals);
  AppendReferences(document, "ReferenceData.Services[]", FServices);
  AppendReferences(document, "ReferenceData.Plans[]", FPlanTypes);
  for (const int32_t sale : FDeletedSales) JSONPut(document, "DeletedSales[]", IntAsJSON(sale));

  // The bulk of a document: its arrays are sized once instead of growing,
  // which keeps the peak memory of a large cycle down.
  if (!FSalesData.empty()) {
    auto& sales = ReservedArray(document, "SalesDataJSON", FSalesData.size());
    for (const auto& sale : FSalesData) sales.push_back(sale->AsJSON(encoder));
  }
  if (!FLaborData.empty()) {
    auto& labor = ReservedArray(document, "LaborData", FLaborData.size());
    for (const auto& record : FLaborData) labor.push_back(record->AsJSON(encoder));
  }

  AppendReferences(document, "EmployeeCategories[]", FEmpCategories);
  return document;
}
