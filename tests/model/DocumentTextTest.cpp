// The document text written straight from the records against the tree
// writer (JSONWrite of JSONEncoded with the header members put onto it), byte
// for byte, over generated cycles.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "model/CollectedData.h"

namespace {

template <class T>
T& Add(TRecordList<T>& list) {
  list.push_back(std::make_unique<T>());
  return *list.back();
}

// Texts as a site stores them: accented names, a euro sign, quotes, a
// backslash, a line break, a tab, a NUL, empty.
const std::vector<std::string> kTexts = {
    "Jos\xC3\xA9 M\xC3\xBCller",
    "Fran\xC3\xA7ois \"Frankie\" L\xC3\xA9vesque",
    "Wash \xE2\x82\xAC" "5 \\ Premium",
    "Line one\nLine two\tTabbed",
    std::string("before\0after", 12),
    "",
    "Zo\xC3\xAB's Caf\xC3\xA9 / lane",
};

const std::vector<int32_t> kIntegers = {0, 1, -1, 300, std::numeric_limits<int32_t>::max(),
                                        std::numeric_limits<int32_t>::min()};

// Days whose whole part exercises the general float format: plain digits,
// negatives, zero, more than 15 integer digits (scientific), NaN and infinity.
const std::vector<double> kDays = {45000.75, 0.0,    -0.5,  -45000.25,         1e20,
                                   123456789012345678.0, 1e15, 999999999999999.9, std::nan(""),
                                   std::numeric_limits<double>::infinity()};

const std::vector<double> kAmounts = {0.0, -1.5, 12.5, 1e-300, std::numeric_limits<double>::quiet_NaN(),
                                      -std::numeric_limits<double>::infinity(), 1.0 / 3.0};

struct TGenerator {
  std::mt19937 random;

  template <class T>
  const T& Pick(const std::vector<T>& values) {
    return values[std::uniform_int_distribution<size_t>(0, values.size() - 1)(random)];
  }
  int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

  void Fill(TCollectedData& data, int sales, bool withReferences) {
    data.SetNewEmployees(Below(2) == 0);
    if (withReferences) {
      for (int i = Below(4); i < 6; ++i) {
        auto& e = Add(data.Employees());
        e.ObjId = Pick(kIntegers);
        e.Name = Pick(kTexts);
        e.FirstName = Pick(kTexts);
        e.LastName = Pick(kTexts);
        e.Initials = Pick(kTexts);
        e.MainPhone = "555-0" + std::to_string(i);
        e.AltPhone = Pick(kTexts);
        e.Category = Pick(kIntegers);
        e.HomeSite = Pick(kIntegers);
        e.Enabled = Below(2) == 0;
      }
      for (int i = 0; i < 3; ++i) {
        auto& r = Add(data.Roles());
        r.ObjId = Pick(kIntegers);
        r.Name = Pick(kTexts);
        r.PC = Pick(kIntegers);
        r.Typ = Pick(kIntegers);
        auto& t = Add(data.Terminals());
        t.ObjId = Pick(kIntegers);
        t.Name = Pick(kTexts);
        t.TerminalType = Pick(kIntegers);
        auto& s = Add(data.Services());
        s.ObjId = Pick(kIntegers);
        s.Name = Pick(kTexts);
        s.Bit = Pick(kIntegers);
        s.PC = Pick(kIntegers);
        auto& p = Add(data.PlanTypes());
        p.ObjID = Pick(kIntegers);
        p.Name = Pick(kTexts);
        p.PlanType = Pick(kIntegers);
        p.Fact = Pick(kIntegers);
        p.ExpAge = Pick(kIntegers);
        p.Enabled = Pick(kIntegers);
        auto& c = Add(data.EmpCategories());
        c.ObjId = Pick(kIntegers);
        c.Name = Pick(kTexts);
      }
      for (int i = 0; i < 4; ++i) data.DeletedSales().push_back(Pick(kIntegers));
    }
    for (int i = 0; i < sales; ++i) {
      auto& sale = Add(data.SalesData());
      sale.SaleID = 100000 + i;
      sale.PaidTime = 45000.0 + i / 1000.0;
      sale.CreatedTime = Pick(kDays);
      sale.Shift = static_cast<uint8_t>(Below(256));
      sale.Terminal = Pick(kIntegers);
      sale.Status = static_cast<int16_t>(Below(65536) - 32768);
      for (int f = Below(13); f > 0; --f) {
        sale.AddFact(TSaleRecord::TrackedProfitCenters[Below(7)], TSaleRecord::TrackedFactIDs[Below(12)],
                     Pick(kAmounts));
      }
      for (int e = Below(4); e > 0; --e) {
        sale.AddSaleEmployee(TSaleRecord::TrackedProfitCenters[Below(7)], Pick(kIntegers));
      }
    }
    for (int i = 0; i < sales / 3; ++i) {
      auto& labor = Add(data.LaborData());
      labor.Employee = Pick(kIntegers);
      labor.StartDay = Pick(kDays);
      labor.EndDay = Pick(kDays);
      // A third of the records carry no punches: an employee day without any.
      for (int p = Below(3) == 0 ? 0 : 1 + Below(5); p > 0; --p) {
        TPunchRecord punch;
        punch.PunchDate = Pick(kDays);
        punch.Role = Pick(kIntegers);
        punch.InTime = static_cast<int16_t>(Below(65536) - 32768);
        punch.ActualInTime = Pick(kIntegers);
        punch.OutTime = static_cast<int16_t>(Below(1440));
        punch.ActualOutTime = Pick(kIntegers);
        punch.Rate = Pick(kAmounts);
        punch.Multiplier = Pick(kAmounts);
        labor.Punches.push_back(punch);
      }
    }
  }
};

// Members a post adds after the data: strings, a float, nested objects.
TJSONValue PostMembers() {
  TJSONValue members = TJSONValue::object();
  JSONPut(members, "Command", StrAsJSON("Post"));
  JSONPut(members, "Header.LocCode", StrAsJSON("Caf\xC3\xA9 \"Nord\""));
  JSONPut(members, "Header.SalesThreshold", FloatAsJSON(1.0 / 3.0));
  JSONPut(members, "Contents.SentDate", FloatAsJSON(45000.123456789));
  JSONPut(members, "Statistics.SendSize", 12345.5);
  JSONPut(members, "Statistics.Count", -7);
  return members;
}

// The tree writer's text of the same document: the data's object with each
// member put onto it.
std::string TreeText(const TCollectedData& data, const TJSONValue& tail) {
  TJSONValue doc = data.JSONEncoded();
  if (tail.is_object()) {
    for (const auto& [name, value] : tail.items()) JSONPut(doc, name, value);
  }
  return JSONWrite(doc);
}

TEST(DocumentTextTest, StreamedTextIsTheTreeWritersTextByteForByte) {
  struct Case {
    const char* name;
    unsigned seed;
    int sales;
    bool withReferences;
  };
  const Case cases[] = {
      {"empty", 1, 0, false},
      {"references only", 2, 0, true},
      {"one sale", 3, 1, false},
      {"sales and labor", 4, 300, false},
      {"everything", 5, 500, true},
      {"everything again", 6, 2000, true},
  };
  for (const Case& c : cases) {
    TCollectedData data;
    TGenerator{std::mt19937(c.seed)}.Fill(data, c.sales, c.withReferences);
    for (const TJSONValue& tail : {TJSONValue::object(), TJSONValue(), PostMembers()}) {
      const std::string expected = TreeText(data, tail);
      const std::string text = data.JSONText(tail);
      EXPECT_EQ(text, expected) << c.name;
      EXPECT_EQ(data.JSONTextSize(tail), expected.size()) << c.name;
    }
  }
}

TEST(DocumentTextTest, EachListAloneMatches) {
  // A single non-empty list at a time: the commas and the "ReferenceData"
  // object around it must come out as the tree writer places them.
  for (int list = 0; list < 9; ++list) {
    TCollectedData data;
    switch (list) {
      case 0: Add(data.Employees()).Name = "\xC3\x89mile"; break;
      case 1: Add(data.Roles()).Name = "Cashier"; break;
      case 2: Add(data.Terminals()).ObjId = 4; break;
      case 3: Add(data.Services()).Bit = 48; break;
      case 4: Add(data.PlanTypes()).Enabled = 1; break;
      case 5: data.DeletedSales().push_back(1234); break;
      case 6: Add(data.SalesData()).SaleID = 1; break;
      case 7: Add(data.LaborData()).Employee = 12; break;
      case 8: Add(data.EmpCategories()).Name = "Z\xC3\xBCrich"; break;
    }
    EXPECT_EQ(data.JSONText(), TreeText(data, TJSONValue::object())) << "list " << list;
    EXPECT_EQ(data.JSONText(PostMembers()), TreeText(data, PostMembers())) << "list " << list;
  }
}

TEST(DocumentTextTest, AppendsWithoutDisturbingWhatIsThere) {
  TCollectedData data;
  TGenerator{std::mt19937(7)}.Fill(data, 50, true);
  std::string out = "Sending: ";
  out.reserve(out.size() + data.JSONTextSize());
  const size_t capacity = out.capacity();
  data.WriteJSONText(out);
  EXPECT_EQ(out, "Sending: " + TreeText(data, TJSONValue::object()));
  EXPECT_EQ(out.capacity(), capacity);
}

TEST(DocumentTextTest, MembersThatWouldMergeWithTheDataAreRefused) {
  TCollectedData data;
  Add(data.SalesData()).SaleID = 1;
  for (const char* name : {"FullEmployees", "ReferenceData", "DeletedSales", "SalesDataJSON", "LaborData",
                           "EmployeeCategories"}) {
    TJSONValue tail = TJSONValue::object();
    JSONPut(tail, name, 1);
    EXPECT_THROW(data.JSONText(tail), EConvertError) << name;
  }
  EXPECT_THROW(data.JSONText(TJSONValue::array()), EConvertError);
}

}  // namespace
