#include "model/CollectedData.h"

#include <string>

#include "model/Base64Encoder.h"

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

}  // namespace

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
