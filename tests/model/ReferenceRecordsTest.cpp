#include "model/ReferenceRecords.h"

#include <functional>
#include <limits>

#include <gtest/gtest.h>

#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

TEmployeeRecord SampleEmployee() {
  TEmployeeRecord e;
  e.ObjId = 17;
  e.Name = "Doe, Jane";
  e.FirstName = "Jane";
  e.LastName = "Doe";
  e.Initials = "JD";
  e.MainPhone = "555-0100";
  e.AltPhone = "";
  e.Category = 3;
  e.HomeSite = -1;
  e.Enabled = true;
  return e;
}

TEST(ReferenceRecordsTest, ToJsonNamesMembersAfterTheFields) {
  TEmpRoleRecord role;
  role.ObjId = 1, role.Name = "Cashier", role.PC = 5, role.Typ = 2;
  TEmpCategory category;
  category.ObjId = 2, category.Name = "Full \"time\"";
  TTerminalRecord terminal;
  terminal.ObjId = 3, terminal.Name = "Lane 1", terminal.TerminalType = 7;
  TServiceRecord service;
  service.ObjId = 4, service.Name = "Wax", service.Bit = 12, service.PC = 20;
  TPlanTypeObject plan;
  plan.ObjID = 5, plan.Name = "Monthly", plan.PlanType = 1, plan.Fact = 54711, plan.ExpAge = 30,
  plan.Enabled = 1;
  TEmployeeRecord disabled = SampleEmployee();
  disabled.Enabled = false;

  struct Case {
    TJSONValue json;
    const char* text;
  };
  const Case cases[] = {
      {SampleEmployee().ToJson(),
       R"({"ObjId":17,"Name":"Doe, Jane","FirstName":"Jane","LastName":"Doe","Initials":"JD",)"
       R"("MainPhone":"555-0100","AltPhone":"","Category":3,"HomeSite":-1,"Enabled":true})"},
      {disabled.ToJson(),
       R"({"ObjId":17,"Name":"Doe, Jane","FirstName":"Jane","LastName":"Doe","Initials":"JD",)"
       R"("MainPhone":"555-0100","AltPhone":"","Category":3,"HomeSite":-1,"Enabled":false})"},
      {role.ToJson(), R"({"ObjId":1,"Name":"Cashier","PC":5,"Typ":2})"},
      {category.ToJson(), R"({"ObjId":2,"Name":"Full \"time\""})"},
      {terminal.ToJson(), R"({"ObjId":3,"Name":"Lane 1","TerminalType":7})"},
      {service.ToJson(), R"({"ObjId":4,"Name":"Wax","Bit":12,"PC":20})"},
      {plan.ToJson(),
       R"({"ObjID":5,"Name":"Monthly","PlanType":1,"Fact":54711,"ExpAge":30,"Enabled":1})"},
  };
  for (const Case& c : cases) EXPECT_EQ(JSONWrite(c.json), c.text);
}

TEST(EmployeeRecordTest, DifferentComparesEveryField) {
  const TEmployeeRecord base = SampleEmployee();
  EXPECT_FALSE(base.Different(&base));
  EXPECT_TRUE(base.Different(nullptr));

  const std::function<void(TEmployeeRecord&)> changes[] = {
      [](TEmployeeRecord& e) { e.ObjId = 18; },
      [](TEmployeeRecord& e) { e.Name = "doe, jane"; },  // case alone
      [](TEmployeeRecord& e) { e.FirstName = "Jane "; },
      [](TEmployeeRecord& e) { e.LastName = "Roe"; },
      [](TEmployeeRecord& e) { e.Initials = "JR"; },
      [](TEmployeeRecord& e) { e.MainPhone = ""; },
      [](TEmployeeRecord& e) { e.AltPhone = "x"; },
      [](TEmployeeRecord& e) { e.Category = 0; },
      [](TEmployeeRecord& e) { e.HomeSite = 1; },
      [](TEmployeeRecord& e) { e.Enabled = false; },
  };
  for (size_t i = 0; i < std::size(changes); ++i) {
    TEmployeeRecord changed = base;
    changes[i](changed);
    EXPECT_TRUE(base.Different(&changed)) << "change " << i;
    EXPECT_TRUE(changed.Different(&base)) << "change " << i;

    TEmployeeRecord copy;
    copy.Assign(changed);
    EXPECT_FALSE(copy.Different(&changed)) << "change " << i;
    EXPECT_EQ(copy.ToJson(), changed.ToJson());
  }
}

TEST(SaleServiceHistoryTest, BitsAreTheAmountTruncated) {
  EXPECT_EQ(TSaleServiceHistory::BitsFromAmount(0.0), 0);
  EXPECT_EQ(TSaleServiceHistory::BitsFromAmount(6.9), 6);
  EXPECT_EQ(TSaleServiceHistory::BitsFromAmount(-1.5), -1);
  EXPECT_EQ(TSaleServiceHistory::BitsFromAmount(281474976710654.0), 281474976710654);  // bits 1..47
  EXPECT_THROW(TSaleServiceHistory::BitsFromAmount(1e19), ERangeError);
  EXPECT_THROW(TSaleServiceHistory::BitsFromAmount(std::numeric_limits<double>::quiet_NaN()),
               ERangeError);
}

}  // namespace
