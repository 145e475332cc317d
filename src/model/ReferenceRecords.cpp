#include "model/ReferenceRecords.h"

#include <cmath>

#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

// Members are added straight to a fresh object: the names are fixed and
// distinct, so the path rules of JSONPut have nothing to do.
template <class T>
TJSONValue MembersAsJson(const T& record) {
  TJSONValue object = TJSONValue::object();
  auto& members = object.get_ref<TJSONValue::object_t&>();
  record.ForEachMember([&members](const char* name, const auto& value) { members.emplace_back(name, value); });
  return object;
}

}  // namespace

TJSONValue TEmployeeRecord::ToJson() const { return MembersAsJson(*this); }

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

TJSONValue TEmpRoleRecord::ToJson() const { return MembersAsJson(*this); }

TJSONValue TEmpCategory::ToJson() const { return MembersAsJson(*this); }

TJSONValue TTerminalRecord::ToJson() const { return MembersAsJson(*this); }

TJSONValue TServiceRecord::ToJson() const { return MembersAsJson(*this); }

TJSONValue TPlanTypeObject::ToJson() const { return MembersAsJson(*this); }

int64_t TSaleServiceHistory::BitsFromAmount(double amount) {
  const double whole = std::trunc(amount);
  if (!(whole >= -9223372036854775808.0 && whole < 9223372036854775808.0)) throw ERangeError();
  return static_cast<int64_t>(whole);
}
