#include "model/CollectedData.h"

#include <gtest/gtest.h>

#include "model/Base64Encoder.h"

namespace {

template <class T>
T& Add(TRecordList<T>& list) {
  list.push_back(std::make_unique<T>());
  return *list.back();
}

TEST(CollectedDataTest, EmptyContainerGivesAnEmptyObject) {
  TCollectedData data;
  EXPECT_EQ(JSONWrite(data.JSONEncoded()), "{}");
  data.SetNewEmployees(true);
  EXPECT_EQ(JSONWrite(data.JSONEncoded()), R"({"FullEmployees":1})");
}

TEST(CollectedDataTest, DeletedSalesAreDecimalStrings) {
  TCollectedData data;
  data.DeletedSales() = {1234, -5};
  EXPECT_EQ(JSONWrite(data.JSONEncoded()), R"({"DeletedSales":["1234","-5"]})");
}

TEST(CollectedDataTest, MembersInTheirOrderAndPlaces) {
  TCollectedData data;
  data.SetNewEmployees(true);
  // Lists are filled out of document order on purpose.
  Add(data.EmpCategories()).Name = "C";
  auto& labor = Add(data.LaborData());
  labor.Employee = 9;
  labor.StartDay = 45000.75;
  labor.EndDay = 45006.0;
  auto& sale = Add(data.SalesData());
  sale.SaleID = 1001;
  sale.AddFact(0, 54181, 12.5);
  data.DeletedSales().push_back(77);
  Add(data.PlanTypes()).ObjID = 6;
  Add(data.Services()).ObjId = 5;
  Add(data.Terminals()).ObjId = 4;
  Add(data.Roles()).ObjId = 3;
  auto& first = Add(data.Employees());
  first.ObjId = 1;
  first.Enabled = true;
  Add(data.Employees()).ObjId = 2;

  const TBase64Encoder encoder;
  const std::string saleText = sale.Base64Encoded(encoder);
  EXPECT_EQ(JSONWrite(data.JSONEncoded()),
            R"({"FullEmployees":1,"ReferenceData":{"Employees":[)"
            R"({"ObjId":1,"Name":"","FirstName":"","LastName":"","Initials":"","MainPhone":"",)"
            R"("AltPhone":"","Category":0,"HomeSite":0,"Enabled":true},)"
            R"({"ObjId":2,"Name":"","FirstName":"","LastName":"","Initials":"","MainPhone":"",)"
            R"("AltPhone":"","Category":0,"HomeSite":0,"Enabled":false}],)"
            R"("Roles":[{"ObjId":3,"Name":"","PC":0,"Typ":0}],)"
            R"("Terminals":[{"ObjId":4,"Name":"","TerminalType":0}],)"
            R"("Services":[{"ObjId":5,"Name":"","Bit":0,"PC":0}],)"
            R"("Plans":[{"ObjID":6,"Name":"","PlanType":0,"Fact":0,"ExpAge":0,"Enabled":0}]},)"
            R"("DeletedSales":["77"],)"
            R"("SalesDataJSON":[{"SalesData":")" + saleText + R"("}],)"
            R"("LaborData":[{"Employee":"9","WeekStart":"45000","WeekEnd":"45006"}],)"
            R"("EmployeeCategories":[{"ObjId":0,"Name":"C"}]})");
}

TEST(CollectedDataTest, OnlyListsWithContentAppear) {
  TCollectedData data;
  Add(data.Services()).ObjId = 5;
  Add(data.EmpCategories()).ObjId = 8;
  const TJSONValue doc = data.JSONEncoded();
  EXPECT_EQ(JSONWrite(doc),
            R"({"ReferenceData":{"Services":[{"ObjId":5,"Name":"","Bit":0,"PC":0}]},)"
            R"("EmployeeCategories":[{"ObjId":8,"Name":""}]})");
}

TEST(CollectedDataTest, LaborEntriesAreTheRecordsOwnText) {
  TCollectedData data;
  for (int i = 1; i <= 2; ++i) {
    auto& record = Add(data.LaborData());
    record.Employee = i;
    record.StartDay = record.EndDay = 45000 + i;
    record.Punches.resize(i);
    record.Punches.back().Rate = 12.5 * i;
  }
  const TJSONValue doc = data.JSONEncoded();
  const TJSONValue& labor = *JSONGet(doc, "LaborData");
  ASSERT_EQ(labor.size(), 2u);
  for (size_t i = 0; i < 2; ++i) EXPECT_EQ(labor[i], JSONParse(data.LaborData()[i]->JSONEncoded()));
}

TEST(CollectedDataTest, EncodingIsRepeatableAndReadsBack) {
  TCollectedData data;
  data.SetNewEmployees(true);
  auto& employee = Add(data.Employees());
  employee.ObjId = 1;
  employee.Name = "O'Brien \"Ace\"\nline \\ two";
  auto& sale = Add(data.SalesData());
  sale.SaleID = 1;
  sale.AddFact(20, 54739, -1.5);
  Add(data.LaborData()).Punches.resize(3);

  const TJSONValue first = data.JSONEncoded();
  const TJSONValue second = data.JSONEncoded();
  EXPECT_EQ(first, second);
  const std::string text = JSONWrite(first);
  EXPECT_EQ(JSONWrite(second), text);
  EXPECT_EQ(JSONParse(text), first);
}

}  // namespace
