#include "model/ReferenceRecords.h"

#include <cmath>

#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

// Members are added straight to a fresh object: the names are fixed and
// distinct, so the path rules of JSONPut have nothing to do.
void Add(TJSONValue& object, const char* name, TJSONValue value) {
  object.get_ref<TJSONValue::object_t&>().emplace_back(name, std::move(value));
}

}  // namespace

TJSONValue TEmployeeRecord::ToJson() const {
  TJSONValue object = TJSONValue::object();
  Add(object, "ObjId", ObjId);
  Add(object, "Name", Name);
  Add(object, "FirstName", FirstName);
  Add(object, "LastName", LastName);
  Add(object, "Initials", Initials);
  Add(object, "MainPhone", MainPhone);
  Add(object, "AltPhone", AltPhone);
  Add(object, "Category", Category);
  Add(object, "HomeSite", HomeSite);
  Add(object, "Enabled", Enabled);
  return object;
}

void TEmployeeRecord::Assign(const TEmployeeRecord& value) {
  ObjId = value.ObjId;
  Name = value.Name;
  FirstName = value.FirstName;
  LastName = value.LastName;
  Initials = value.Initials;
  MainPhone = value.MainPhone;
  AltPhone = value.AltPhone;
  Category = value.Category;
  HomeSite = value.HomeSite;
  Enabled = value.Enabled;
}

bool TEmployeeRecord::Different(const TEmployeeRecord* value) const {
  if (value == nullptr) return true;
  return ObjId != value->ObjId || Name != value->Name || FirstName != value->FirstName ||
         LastName != value->LastName || Initials != value->Initials ||
         MainPhone != value->MainPhone || AltPhone != value->AltPhone ||
         Category != value->Category || HomeSite != value->HomeSite || Enabled != value->Enabled;
}

TJSONValue TEmpRoleRecord::ToJson() const {
  TJSONValue object = TJSONValue::object();
  Add(object, "ObjId", ObjId);
  Add(object, "Name", Name);
  Add(object, "PC", PC);
  Add(object, "Typ", Typ);
  return object;
}

TJSONValue TEmpCategory::ToJson() const {
  TJSONValue object = TJSONValue::object();
  Add(object, "ObjId", ObjId);
  Add(object, "Name", Name);
  return object;
}

TJSONValue TTerminalRecord::ToJson() const {
  TJSONValue object = TJSONValue::object();
  Add(object, "ObjId", ObjId);
  Add(object, "Name", Name);
  Add(object, "TerminalType", TerminalType);
  return object;
}

TJSONValue TServiceRecord::ToJson() const {
  TJSONValue object = TJSONValue::object();
  Add(object, "ObjId", ObjId);
  Add(object, "Name", Name);
  Add(object, "Bit", Bit);
  Add(object, "PC", PC);
  return object;
}

TJSONValue TPlanTypeObject::ToJson() const {
  TJSONValue object = TJSONValue::object();
  Add(object, "ObjID", ObjID);
  Add(object, "Name", Name);
  Add(object, "PlanType", PlanType);
  Add(object, "Fact", Fact);
  Add(object, "ExpAge", ExpAge);
  Add(object, "Enabled", Enabled);
  return object;
}

int64_t TSaleServiceHistory::BitsFromAmount(double amount) {
  const double whole = std::trunc(amount);
  if (!(whole >= -9223372036854775808.0 && whole < 9223372036854775808.0)) throw ERangeError();
  return static_cast<int64_t>(whole);
}
