#include "model/SaleRecord.h"

#include <gtest/gtest.h>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "model/Base64Encoder.h"
#include "model/Bytes.h"
#include "support/MemoryRow.h"

namespace {

TMemoryRow HeaderRow(int64_t objId) {
  return TMemoryRow{{"ObjId", objId},          {"LogDate", 45000.0}, {"LogTime", int64_t{7200}},
                    {"Created", 45000.25},     {"Shift", int64_t{2}}, {"Terminal", int64_t{3}},
                    {"Status", int64_t{1}}};
}

TMemoryRow FactRow(int64_t profitCenter, int64_t fact, double data) {
  return TMemoryRow{{"Data", data}, {"Fact", fact}, {"ProfitCenter", profitCenter}};
}

TMemoryRow EmployeeRow(int64_t profitCenter, int64_t employee) {
  return TMemoryRow{{"ProfitCenter", profitCenter}, {"Employee", employee}};
}

TEST(SaleRecordTest, WorkedExampleGivesTheExactImage) {
  TSaleRecord sale;
  sale.UpdateHeaderFromQuery(HeaderRow(1001));
  sale.AddRowFromSaleFactsQuery(FactRow(0, 54181, 12.5));
  sale.AddRowFromSaleFactsQuery(FactRow(5, 54200, 3.0));
  sale.AddRowFromSaleEmployeesQuery(EmployeeRow(1, 55));

  EXPECT_EQ(sale.SaleID, 1001);
  EXPECT_EQ(sale.PaidTime, 45000.5);
  EXPECT_EQ(sale.ActiveRolesMap, 2);
  EXPECT_EQ(sale.ActivePCMap, 9);
  const auto image = sale.BinaryImage();
  EXPECT_EQ(image.size(), 59u);
  EXPECT_EQ(HexBytes(image),
            "02 00 09 00 e9 03 00 00 "
            "00 00 00 00 10 f9 e5 40 "
            "00 00 00 00 08 f9 e5 40 "
            "02 03 00 00 00 01 00 "
            "37 00 00 00 "
            "01 00 00 00 00 00 00 00 00 00 29 40 "
            "02 00 00 00 00 00 00 00 00 00 08 40");

  const TBase64Encoder encoder;
  const std::string text = sale.Base64Encoded(encoder);
  EXPECT_EQ(encoder.Decode(text), image);
  EXPECT_EQ(JSONWrite(sale.AsJSON(encoder)), "{\"SalesData\":\"" + text + "\"}");
}

TEST(SaleRecordTest, EmptySaleIsTheHeaderAlone) {
  TSaleRecord sale;
  sale.SaleID = -2;
  sale.Terminal = -1;
  sale.Status = -2;
  sale.Shift = 255;
  const auto image = sale.BinaryImage();
  ASSERT_EQ(image.size(), 31u);
  EXPECT_EQ(HexBytes(image),
            "00 00 00 00 fe ff ff ff 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
            "ff ff ff ff ff fe ff");
  const std::string text = sale.Base64Encoded(TBase64Encoder());
  EXPECT_EQ(text.size(), 44u);
  EXPECT_TRUE(text.ends_with("=="));
}

TEST(SaleRecordTest, UntrackedProfitCentersAndFactsChangeNothing) {
  struct Case {
    int32_t pc;
    int32_t fact;
  };
  const Case cases[] = {{3, 54181}, {0, 12345}, {-1, 54181}, {21, 54200}, {20, 0}};
  for (const Case& c : cases) {
    TSaleRecord sale;
    sale.AddFact(c.pc, c.fact, 1.0);
    EXPECT_EQ(sale.ActivePCMap, 0) << c.pc << "/" << c.fact;
    EXPECT_TRUE(sale.ProfitCenters.empty());
    EXPECT_EQ(sale.BinaryImage().size(), 31u);
  }
  TSaleRecord sale;
  sale.AddRowFromSaleEmployeesQuery(EmployeeRow(3, 77));
  EXPECT_EQ(sale.ActiveRolesMap, 0);
  EXPECT_TRUE(sale.SalesRoles.empty());
}

TEST(SaleRecordTest, LaterValuesReplaceEarlierOnes) {
  TSaleRecord sale;
  sale.AddFact(6, 54728, 1.25);
  sale.AddFact(6, 54728, 7.0);
  sale.AddRowFromSaleEmployeesQuery(EmployeeRow(2, 10));
  sale.AddRowFromSaleEmployeesQuery(EmployeeRow(2, 11));
  const auto image = sale.BinaryImage();
  ASSERT_EQ(image.size(), 31u + 4 + 4 + 8);
  // Employee 11 in slot 2; slot 4 (profit center 6): fact map bit 2, then 7.0.
  EXPECT_EQ(HexBytes(std::span(image).subspan(31)),
            "0b 00 00 00 04 00 00 00 00 00 00 00 00 00 1c 40");
}

TEST(SaleRecordTest, GapEntriesAreFilledButNotEncoded) {
  TSaleRecord sale;
  sale.AddFact(20, 54739, 2.5);           // last fact slot of the last profit-center slot
  sale.AddRowFromSaleEmployeesQuery(EmployeeRow(10, 42));
  ASSERT_EQ(sale.ProfitCenters.size(), 7u);
  EXPECT_EQ(sale.ProfitCenters[6].Facts.size(), 12u);
  EXPECT_EQ(sale.ProfitCenters[6].FactMap, 2048);
  EXPECT_EQ(sale.ProfitCenters[0], TSalePCFacts{});
  EXPECT_EQ(sale.SalesRoles, (std::vector<int32_t>{0, 0, 0, 0, 0, 42}));
  EXPECT_EQ(sale.ActivePCMap, 64);
  EXPECT_EQ(sale.ActiveRolesMap, 32);
  const auto image = sale.BinaryImage();
  EXPECT_EQ(HexBytes(std::span(image).first(4)), "20 00 40 00");
  EXPECT_EQ(HexBytes(std::span(image).subspan(31)),
            "2a 00 00 00 00 08 00 00 00 00 00 00 00 00 04 40");
}

TEST(SaleRecordTest, ZeroAmountIsStillAValue) {
  TSaleRecord sale;
  sale.AddFact(0, 54200, 0.0);
  const auto image = sale.BinaryImage();
  EXPECT_EQ(HexBytes(std::span(image).subspan(31)),
            "02 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(SaleRecordTest, HeaderIsFilledOnlyOnce) {
  TSaleRecord sale;
  sale.UpdateHeaderFromQuery(HeaderRow(1001));
  TMemoryRow second = HeaderRow(2002);
  second.Set("Shift", int64_t{9}).Set("LogTime", int64_t{0});
  sale.UpdateHeaderFromQuery(second);
  EXPECT_EQ(sale.SaleID, 1001);
  EXPECT_EQ(sale.Shift, 2);
  EXPECT_EQ(sale.PaidTime, 45000.5);
  EXPECT_EQ(sale.CreatedTime, 45000.25);
  EXPECT_EQ(sale.Terminal, 3);
  EXPECT_EQ(sale.Status, 1);
}

TEST(SaleRecordTest, NullColumnsReadAsZero) {
  TSaleRecord sale;
  TMemoryRow row = HeaderRow(5);
  for (const char* name : {"LogDate", "LogTime", "Created", "Shift", "Terminal", "Status"}) {
    row.Set(name, TMemoryRow::Null{});
  }
  sale.UpdateHeaderFromQuery(row);
  EXPECT_EQ(sale.SaleID, 5);
  EXPECT_EQ(sale.PaidTime, 0.0);
  EXPECT_EQ(sale.Shift, 0);
  sale.AddRowFromSaleFactsQuery(FactRow(0, 54181, 0).Set("Data", TMemoryRow::Null{}));
  EXPECT_EQ(sale.ActivePCMap, 1);
}

TEST(SaleRecordTest, OutOfRangeHeaderValuesRaise) {
  struct Case {
    const char* column;
    int64_t value;
    bool raises;
  };
  const Case cases[] = {
      {"Shift", 255, false},       {"Shift", 256, true},      {"Shift", -1, true},
      {"Status", -32768, false},   {"Status", 32767, false},  {"Status", 32768, true},
      {"Status", -32769, true},    {"Terminal", 4294967296, true},
      {"ObjId", -4294967296, true},
  };
  for (const Case& c : cases) {
    TSaleRecord sale;
    TMemoryRow row = HeaderRow(1001);
    row.Set(c.column, c.value);
    if (!c.raises) {
      EXPECT_NO_THROW(sale.UpdateHeaderFromQuery(row)) << c.column << " " << c.value;
      continue;
    }
    try {
      sale.UpdateHeaderFromQuery(row);
      ADD_FAILURE() << c.column << " " << c.value << " did not raise";
    } catch (const ERangeError& e) {
      EXPECT_STREQ(e.what(), "Range check error");
    }
  }
}

TEST(SaleRecordTest, MissingColumnsPropagateTheRowsError) {
  TSaleRecord sale;
  EXPECT_THROW(sale.UpdateHeaderFromQuery(HeaderRow(1).Remove("Created")), EDatabaseError);
  EXPECT_THROW(sale.AddRowFromSaleFactsQuery(FactRow(0, 54181, 1).Remove("Data")), EDatabaseError);
  EXPECT_THROW(sale.AddRowFromSaleEmployeesQuery(EmployeeRow(0, 1).Remove("Employee")),
               EDatabaseError);
}

TEST(SaleRecordTest, SlotsOfTrackedNumbers) {
  const int32_t profitCenters[] = {0, 1, 2, 5, 6, 10, 20};
  for (int k = 0; k < 7; ++k) EXPECT_EQ(TSaleRecord::PCOffset(profitCenters[k]), k);
  for (const int32_t untracked : {3, 4, 7, 19, 21, -1}) EXPECT_EQ(TSaleRecord::PCOffset(untracked), -1);
  EXPECT_EQ(TSaleRecord::FactOffset(54181), 0);
  EXPECT_EQ(TSaleRecord::FactOffset(54742), 10);
  EXPECT_EQ(TSaleRecord::FactOffset(54739), 11);
  EXPECT_EQ(TSaleRecord::FactOffset(54180), -1);
}

TEST(SaleRecordTest, ImageAgreesWithItsMapsEvenWhenFieldsDisagree) {
  // Fields set by hand past the invariants: a bit whose entry is missing
  // encodes as 0 so that the receiver can still walk the image.
  TSaleRecord sale;
  sale.ActiveRolesMap = 0x8000;
  sale.ActivePCMap = 0x0003;
  sale.ProfitCenters.resize(1);
  sale.ProfitCenters[0].FactMap = 0x1;
  const auto image = sale.BinaryImage();
  EXPECT_EQ(HexBytes(std::span(image).subspan(31)),
            "00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
}

}  // namespace
