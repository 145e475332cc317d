#pragma once

#include <cstdint>
#include <string>

#include "model/JSONConventions.h"

// The reference records that sales and punches point to. Every field is
// public; ToJson gives one member per field, named exactly as the field, in
// field order: integers as JSON numbers, texts as JSON strings, Booleans as
// true or false. Texts are UTF-8.
//
// ForEachMember(f) calls f(name, field) for every field in that order; ToJson
// and the streamed document text are both made from it.

class TEmployeeRecord {
 public:
  int32_t ObjId = 0;
  std::string Name;
  std::string FirstName;
  std::string LastName;
  std::string Initials;
  std::string MainPhone;
  std::string AltPhone;
  int32_t Category = 0;
  int32_t HomeSite = 0;
  bool Enabled = false;

  template <class F>
  void ForEachMember(F&& f) const {
    f("ObjId", ObjId);
    f("Name", Name);
    f("FirstName", FirstName);
    f("LastName", LastName);
    f("Initials", Initials);
    f("MainPhone", MainPhone);
    f("AltPhone", AltPhone);
    f("Category", Category);
    f("HomeSite", HomeSite);
    f("Enabled", Enabled);
  }
  TJSONValue ToJson() const;
  // Copies all ten fields of value.
  void Assign(const TEmployeeRecord& value);
  // True when value is absent (nullptr) or any of the ten fields differs;
  // texts compare exactly, case included.
  bool Different(const TEmployeeRecord* value) const;
};

class TEmpRoleRecord {
 public:
  int32_t ObjId = 0;
  std::string Name;
  int32_t PC = 0;   // profit center
  int32_t Typ = 0;  // role type

  template <class F>
  void ForEachMember(F&& f) const {
    f("ObjId", ObjId);
    f("Name", Name);
    f("PC", PC);
    f("Typ", Typ);
  }
  TJSONValue ToJson() const;
};

class TEmpCategory {
 public:
  int32_t ObjId = 0;
  std::string Name;

  template <class F>
  void ForEachMember(F&& f) const {
    f("ObjId", ObjId);
    f("Name", Name);
  }
  TJSONValue ToJson() const;
};

class TTerminalRecord {
 public:
  int32_t ObjId = 0;
  std::string Name;
  int32_t TerminalType = 0;

  template <class F>
  void ForEachMember(F&& f) const {
    f("ObjId", ObjId);
    f("Name", Name);
    f("TerminalType", TerminalType);
  }
  TJSONValue ToJson() const;
};

class TServiceRecord {
 public:
  int32_t ObjId = 0;
  std::string Name;
  int32_t Bit = 0;  // service-history bit number
  int32_t PC = 0;   // profit center

  template <class F>
  void ForEachMember(F&& f) const {
    f("ObjId", ObjId);
    f("Name", Name);
    f("Bit", Bit);
    f("PC", PC);
  }
  TJSONValue ToJson() const;
};

// Note the member name "ObjID" of this class, "ObjId" in the others.
class TPlanTypeObject {
 public:
  int32_t ObjID = 0;
  std::string Name;
  int32_t PlanType = 0;
  int32_t Fact = 0;
  int32_t ExpAge = 0;
  int32_t Enabled = 0;

  template <class F>
  void ForEachMember(F&& f) const {
    f("ObjID", ObjID);
    f("Name", Name);
    f("PlanType", PlanType);
    f("Fact", Fact);
    f("ExpAge", ExpAge);
    f("Enabled", Enabled);
  }
  TJSONValue ToJson() const;
};

// The service-history bits of one profit center of a sale: bit n (1..48) set
// means the service with history bit n was sold. Not sent as such.
struct TSaleServiceHistory {
  int32_t ProfitCenter = 0;
  int64_t HistoryBits = 0;

  // HistoryBits from a fact amount: the amount truncated towards zero. Raises
  // ERangeError for an amount outside the signed 64-bit range or NaN.
  static int64_t BitsFromAmount(double amount);
};
