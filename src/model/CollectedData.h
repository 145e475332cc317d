#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "model/JSONConventions.h"
#include "model/LaborRecord.h"
#include "model/ReferenceRecords.h"
#include "model/SaleRecord.h"

// A list that owns the records it holds.
template <class T>
using TRecordList = std::vector<std::unique_ptr<T>>;

// The data of one cycle: sales, labor records, deleted sale numbers and the
// reference records they point to. The object owns every list and every
// record in them. It lives for one cycle, or until a repeated post has gone
// through; encoding does not change it. Not thread-safe.
class TCollectedData {
 public:
  TCollectedData() = default;
  TCollectedData(const TCollectedData&) = delete;
  TCollectedData& operator=(const TCollectedData&) = delete;

  TRecordList<TTerminalRecord>& Terminals() { return FTerminals; }
  TRecordList<TEmployeeRecord>& Employees() { return FEmployees; }
  TRecordList<TServiceRecord>& Services() { return FServices; }
  TRecordList<TEmpRoleRecord>& Roles() { return FRoles; }
  TRecordList<TSaleRecord>& SalesData() { return FSalesData; }
  TRecordList<TLaborRecord>& LaborData() { return FLaborData; }
  TRecordList<TEmpCategory>& EmpCategories() { return FEmpCategories; }
  TRecordList<TPlanTypeObject>& PlanTypes() { return FPlanTypes; }
  std::vector<int32_t>& DeletedSales() { return FDeletedSales; }
  const TRecordList<TTerminalRecord>& Terminals() const { return FTerminals; }
  const TRecordList<TEmployeeRecord>& Employees() const { return FEmployees; }
  const TRecordList<TServiceRecord>& Services() const { return FServices; }
  const TRecordList<TEmpRoleRecord>& Roles() const { return FRoles; }
  const TRecordList<TSaleRecord>& SalesData() const { return FSalesData; }
  const TRecordList<TLaborRecord>& LaborData() const { return FLaborData; }
  const TRecordList<TEmpCategory>& EmpCategories() const { return FEmpCategories; }
  const TRecordList<TPlanTypeObject>& PlanTypes() const { return FPlanTypes; }
  const std::vector<int32_t>& DeletedSales() const { return FDeletedSales; }

  // Set when the employee list of this document is the full set.
  bool NewEmployees() const { return FNewEmployees; }
  void SetNewEmployees(bool value) { FNewEmployees = value; }

  // A new JSON object holding the data, members in this order and each only
  // when it has content:
  //   "FullEmployees": 1                      when NewEmployees
  //   "ReferenceData": {"Employees":[...], "Roles":[...], "Terminals":[...],
  //                     "Services":[...], "Plans":[...]}   ToJson of each
  //   "DeletedSales": ["1234", ...]           decimal strings
  //   "SalesDataJSON": [{"SalesData":"<Base64>"}, ...]
  //   "LaborData": [TLaborRecord::AsJSON, ...]
  //   "EmployeeCategories": [ToJson, ...]
  // An empty container gives an empty object. The caller adds its own
  // members and writes the object.
  TJSONValue JSONEncoded() const;

  // The compact text (JSONWrite) of JSONEncoded() with the members of tail
  // after the data's, as JSONPut of each of them onto that object would place
  // them, written straight from the records without building the tree. tail
  // is an object (or null for none) whose names are none of the data's
  // members above; otherwise EConvertError is raised before anything is
  // written. JSONText allocates its result once, at its exact size.
  std::string JSONText(const TJSONValue& tail = TJSONValue::object()) const;
  // The number of bytes of JSONText(tail).
  size_t JSONTextSize(const TJSONValue& tail = TJSONValue::object()) const;
  // Appends JSONText(tail) to out. Reserves nothing: a caller that reserves
  // out.size() + JSONTextSize(tail) first has the text written without a
  // reallocation.
  void WriteJSONText(std::string& out, const TJSONValue& tail = TJSONValue::object()) const;

 private:
  TRecordList<TTerminalRecord> FTerminals;
  TRecordList<TEmployeeRecord> FEmployees;
  TRecordList<TServiceRecord> FServices;
  TRecordList<TEmpRoleRecord> FRoles;
  TRecordList<TSaleRecord> FSalesData;
  TRecordList<TLaborRecord> FLaborData;
  TRecordList<TEmpCategory> FEmpCategories;
  TRecordList<TPlanTypeObject> FPlanTypes;
  std::vector<int32_t> FDeletedSales;
  bool FNewEmployees = false;
};
