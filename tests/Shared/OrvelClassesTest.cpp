#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Shared/Orvel_Shared/OrvelClasses.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "support/HiveText.h"
#include "support/ScopedRegistry.h"

namespace {

using platform::RegistryValue;
using platform::RegistryValueType;

// A registry holding one value of each type under \Software\Orvel\Test.
const std::string kTyped =
    HiveText()
        .Key("Software\\Orvel\\Test")
        .String("Text", "hello")
        .String("EmptyText", "")
        .Value("Expand", RegistryValue::Text("%TMP%", RegistryValueType::ExpandString))
        .DWord("Dword", 42)
        .DWord("Negative", 0xffffffff)
        .Value("Multi", RegistryValue::MultiText({"a", "bc"}))
        // A text whose data go on after its NUL.
        .Value("EmbeddedNul", RegistryValue{RegistryValueType::String, {'a', 0, 0, 0, 'b', 0, 0, 0}})
        .Value("Float", RegistryValue::Binary({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf8, 0x3f}))  // 1.5
        .Value("Short", RegistryValue::Binary({0x01, 0x02}))
        .Value("Qword", RegistryValue::QWord(0x8000000000000001ull));

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const ERegistryException& error) {
    return error.what();
  }
  return "<no error>";
}

TEST(OrvelRegistryTest, GetStringTurnsEveryAbsenceIntoTheDefault) {
  ScopedRegistry registry(kTyped);
  struct Case {
    const char* key;
    const char* name;
    std::string expected;
  };
  const Case cases[] = {
      {"\\Software\\Orvel\\Missing", "Text", "default"},
      {"\\Software\\Orvel\\Test", "Missing", "default"},
      {"\\Software\\Orvel\\Test", "Dword", "default"},
      {"\\Software\\Orvel\\Test", "Float", "default"},
      {"\\Software\\Orvel\\Test", "EmptyText", "default"},
      {"\\Software\\Orvel\\Test", "Text", "hello"},
      {"\\software\\ORVEL\\test", "TEXT", "hello"},
      {"\\Software\\Orvel\\Test", "Expand", "%TMP%"},
      {"\\Software\\Orvel\\Test", "Multi", std::string("a\0bc", 4)},
      {"\\Software\\Orvel\\Test", "EmbeddedNul", "a"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TOrvelRegistry::GetString(kLocalMachine, c.key, c.name, "default"), c.expected)
        << c.key << " " << c.name;
  // An absent hive file is an empty registry.
  ScopedRegistry empty;
  EXPECT_EQ(TOrvelRegistry::GetString(kLocalMachine, "\\Software\\Orvel", "X", "d"), "d");
}

TEST(OrvelRegistryTest, TypedGetsReadTheirTypeAndDefaultOtherwise) {
  ScopedRegistry registry(kTyped);
  const std::string key = "\\Software\\Orvel\\Test";
  EXPECT_EQ(TOrvelRegistry::GetInteger(kLocalMachine, key, "Dword", 7), 42);
  EXPECT_EQ(TOrvelRegistry::GetInteger(kLocalMachine, key, "Negative", 7), -1);
  EXPECT_EQ(TOrvelRegistry::GetInteger(kLocalMachine, key, "Text", 7), 7);
  EXPECT_EQ(TOrvelRegistry::GetInteger(kLocalMachine, key, "Missing", 7), 7);
  EXPECT_EQ(TOrvelRegistry::GetInteger(kLocalMachine, "\\Nowhere", "Dword", 7), 7);
  EXPECT_TRUE(TOrvelRegistry::GetBoolean(kLocalMachine, key, "Dword", false));
  EXPECT_TRUE(TOrvelRegistry::GetBoolean(kLocalMachine, key, "Text", true));
  EXPECT_DOUBLE_EQ(TOrvelRegistry::GetFloat(kLocalMachine, key, "Float", 0), 1.5);
  EXPECT_DOUBLE_EQ(TOrvelRegistry::GetFloat(kLocalMachine, key, "Short", 9.25), 9.25);
  EXPECT_DOUBLE_EQ(TOrvelRegistry::GetFloat(kLocalMachine, key, "Dword", 9.25), 9.25);
  EXPECT_DOUBLE_EQ(TOrvelRegistry::GetDateTime(kLocalMachine, key, "Float", 0), 1.5);
}

TEST(OrvelRegistryTest, TypedSetsRoundTripAndCreateTheKey) {
  ScopedRegistry registry;
  const std::string key = "\\Software\\Orvel\\New\\Deep";
  EXPECT_TRUE(TOrvelRegistry::SetInteger(kLocalMachine, key, "Int", -123456));
  EXPECT_TRUE(TOrvelRegistry::SetBoolean(kLocalMachine, key, "Yes", true));
  EXPECT_TRUE(TOrvelRegistry::SetBoolean(kLocalMachine, key, "No", false));
  EXPECT_TRUE(TOrvelRegistry::SetFloat(kLocalMachine, key, "Float", 3.25));
  EXPECT_TRUE(TOrvelRegistry::SetDateTime(kLocalMachine, key, "When", 45000.75));
  EXPECT_TRUE(TOrvelRegistry::SetString(kLocalMachine, key, "Text", "Zürich"));
  EXPECT_EQ(TOrvelRegistry::GetInteger(kLocalMachine, key, "Int", 0), -123456);
  EXPECT_TRUE(TOrvelRegistry::GetBoolean(kLocalMachine, key, "Yes", false));
  EXPECT_FALSE(TOrvelRegistry::GetBoolean(kLocalMachine, key, "No", true));
  EXPECT_DOUBLE_EQ(TOrvelRegistry::GetFloat(kLocalMachine, key, "Float", 0), 3.25);
  EXPECT_DOUBLE_EQ(TOrvelRegistry::GetDateTime(kLocalMachine, key, "When", 0), 45000.75);
  EXPECT_EQ(TOrvelRegistry::GetString(kLocalMachine, key, "Text", ""), "Zürich");
  // The stored file uses the types an export would show.
  const std::string text = registry.Read();
  EXPECT_NE(text.find("\"Int\"=dword:fffe1dc0"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Yes\"=dword:00000001"), std::string::npos);
  EXPECT_NE(text.find("\"Float\"=hex:00,00,00,00,00,00,0a,40"), std::string::npos);
}

TEST(OrvelRegistryTest, SetStringWithEmptyValueClearsIt) {
  ScopedRegistry registry(kTyped);
  EXPECT_TRUE(TOrvelRegistry::SetString(kLocalMachine, "\\Software\\Orvel\\Test", "Text", ""));
  EXPECT_EQ(TOrvelRegistry::GetString(kLocalMachine, "\\Software\\Orvel\\Test", "Text", "gone"), "gone");
  EXPECT_TRUE(TOrvelRegistry::SetString(kLocalMachine, "\\Software\\Orvel\\NoSuchKey", "Text", ""));
  EXPECT_FALSE(TOrvelRegistry::DoesKeyExist(kLocalMachine, "\\Software\\Orvel\\NoSuchKey"));
}

TEST(OrvelRegistryTest, ClearKeyAndClearValue) {
  ScopedRegistry registry(kTyped);
  EXPECT_TRUE(TOrvelRegistry::ClearKey(kLocalMachine, "\\Software\\Orvel\\Missing"));
  EXPECT_TRUE(TOrvelRegistry::ClearValue(kLocalMachine, "\\Software\\Orvel\\Missing", "X"));
  EXPECT_TRUE(TOrvelRegistry::ClearValue(kLocalMachine, "\\Software\\Orvel\\Test", "Missing"));
  EXPECT_TRUE(TOrvelRegistry::ClearValue(kLocalMachine, "\\Software\\Orvel\\Test", "dword"));
  EXPECT_EQ(TOrvelRegistry::GetInteger(kLocalMachine, "\\Software\\Orvel\\Test", "Dword", 5), 5);
  EXPECT_TRUE(TOrvelRegistry::DoesKeyExist(kLocalMachine, "\\Software\\Orvel\\Test"));
  EXPECT_TRUE(TOrvelRegistry::ClearKey(kLocalMachine, "\\Software\\Orvel"));
  EXPECT_FALSE(TOrvelRegistry::DoesKeyExist(kLocalMachine, "\\Software\\Orvel\\Test"));
  EXPECT_FALSE(TOrvelRegistry::DoesKeyExist(kLocalMachine, "\\Software\\Orvel"));
  EXPECT_TRUE(TOrvelRegistry::DoesKeyExist(kLocalMachine, "\\Software"));
}

TEST(OrvelRegistryTest, AccessorErrorsCarryTheValueName) {
  ScopedRegistry registry(kTyped);
  TRegistry reg(kKeyAllAccess);
  ASSERT_TRUE(reg.OpenKey("\\Software\\Orvel\\Test", false));
  EXPECT_EQ(reg.ReadString("Missing"), "");
  EXPECT_EQ(reg.ReadString("EmptyText"), "");
  EXPECT_EQ(reg.ReadString("Expand"), "%TMP%");
  EXPECT_EQ(ErrorOf([&] { reg.ReadString("Dword"); }), "Invalid data type for 'Dword'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadString("Multi"); }), "Invalid data type for 'Multi'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Missing"); }), "Failed to get data for 'Missing'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Short"); }), "Invalid data type for 'Short'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Text"); }), "Failed to get data for 'Text'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadFloat("Short"); }), "Invalid data type for 'Short'");
  EXPECT_EQ(ErrorOf([&] { reg.ReadFloat("Missing"); }), "Failed to get data for 'Missing'");

  TRegistry readOnly(kKeyRead);
  ASSERT_TRUE(readOnly.OpenKeyReadOnly("\\Software\\Orvel\\Test"));
  EXPECT_EQ(ErrorOf([&] { readOnly.WriteString("Text", "x"); }), "Failed to set data for 'Text'");
  EXPECT_EQ(ErrorOf([&] { readOnly.WriteInteger("Dword", 1); }), "Failed to set data for 'Dword'");
  TRegistry noKey;
  EXPECT_EQ(ErrorOf([&] { noKey.WriteString("Text", "x"); }), "Failed to set data for 'Text'");
  EXPECT_EQ(TOrvelRegistry::GetString(kLocalMachine, "\\Software\\Orvel\\Test", "Text", ""), "hello");
}

TEST(OrvelRegistryTest, OpenKeyResolvesRelativeNamesAndKeepsTheKeyOnFailure) {
  ScopedRegistry registry(kTyped);
  TRegistry reg(kKeyRead);
  ASSERT_TRUE(reg.OpenKey("\\Software\\Orvel", false));
  ASSERT_TRUE(reg.OpenKey("Test", false));
  EXPECT_EQ(reg.CurrentPath(), "Software\\Orvel\\Test");
  EXPECT_FALSE(reg.OpenKey("Missing", false));
  EXPECT_FALSE(reg.OpenKey("Missing", true));  // the mask does not allow creating
  EXPECT_EQ(reg.CurrentPath(), "Software\\Orvel\\Test");
  EXPECT_EQ(reg.ReadInteger("Dword"), 42);
  ASSERT_TRUE(reg.OpenKey("\\Software", false));
  EXPECT_EQ(reg.GetKeyNames(), std::vector<std::string>{"Orvel"});
  reg.CloseKey();
  EXPECT_FALSE(reg.HasCurrentKey());
  EXPECT_FALSE(reg.ValueExists("Dword"));

  TRegistry full;
  ASSERT_TRUE(full.OpenKey("\\Software\\Orvel\\Test\\Sub", true));
  EXPECT_TRUE(full.KeyExists("\\Software\\Orvel\\Test\\Sub"));
  TRegDataInfo info;
  ASSERT_TRUE(full.OpenKey("\\Software\\Orvel\\Test", false));
  ASSERT_TRUE(full.GetDataInfo("Float", info));
  EXPECT_EQ(info.RegData, TRegDataType::rdBinary);
  EXPECT_EQ(info.DataSize, 8);
  EXPECT_EQ(full.GetDataSize("Missing"), -1);
  EXPECT_EQ(full.GetDataType("Expand"), TRegDataType::rdExpandString);
}

TEST(OrvelRegistryTest, MultiStringAndQWordOnTheOpenKey) {
  ScopedRegistry registry(kTyped);
  TOrvelRegistry reg(kLocalMachine, kKeyReadWrite);
  ASSERT_TRUE(reg.OpenKey("\\Software\\Orvel\\Test", false));
  EXPECT_EQ(reg.ReadMultiStr("Multi", "d"), std::string("a\0bc", 4));
  EXPECT_EQ(reg.ReadMultiStr("Text", "d"), "hello");
  EXPECT_EQ(reg.ReadMultiStr("Dword", "d"), "d");
  EXPECT_EQ(reg.ReadString("Multi", "d"), std::string("a\0bc", 4));
  std::vector<std::string> lines;
  EXPECT_TRUE(reg.ReadMultiStr("Multi", lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "bc"}));
  reg.WriteMultiStr("Written", {"x", "y z"});
  EXPECT_TRUE(reg.ReadMultiStr("Written", lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"x", "y z"}));
  EXPECT_FALSE(reg.ReadMultiStr("Dword", lines));

  EXPECT_EQ(reg.ReadQWord("Qword", 0), 0x8000000000000001ull);
  EXPECT_EQ(reg.ReadQWord("Missing", 9), 9u);
  EXPECT_EQ(ErrorOf([&] { reg.ReadQWord("Dword", 0); }), "Failed to get data for 'Dword'");
  reg.WriteQWord("Q2", 0xFFFFFFFFFFull);
  EXPECT_EQ(reg.ReadQWord("Q2", 0), 0xFFFFFFFFFFull);
}

TEST(OrvelRegistryTest, MalformedHiveIsAnErrorNotAnEmptyRegistry) {
  ScopedRegistry registry(HiveText().Key("Software").Line("\"A\"=dword:xyz"));
  std::string message = ErrorOf([] { TOrvelRegistry::GetString(kLocalMachine, "\\Software", "A", "d"); });
  EXPECT_NE(message.find(registry.path()), std::string::npos) << message;
  EXPECT_NE(message.find("line 4"), std::string::npos) << message;
  EXPECT_THROW(TOrvelRegistry::SetString(kLocalMachine, "\\Software", "B", "x"), ERegistryException);
  EXPECT_THROW(TOrvelRegistry::GetInteger(kLocalMachine, "\\Software", "A", 0), ERegistryException);
}

// ---------------------------------------------------------------------------
// Owning lists. Each Tracked object counts itself in a counter owned by the
// test, so a test sees exactly which objects were freed.

struct Tracked {
  Tracked(int& alive, int id = 0) : alive(alive), id(id) { ++alive; }
  ~Tracked() { --alive; }
  int& alive;
  int id;
};

TEST(ClearingStringListTest, ClearAndDestructionFreeTheObjects) {
  int alive = 0;
  {
    TClearingStringList<Tracked> list;
    list.Add("a", std::make_unique<Tracked>(alive));
    list.Add("b");
    list.Add("c", std::make_unique<Tracked>(alive));
    EXPECT_EQ(alive, 2);
    list.Clear();
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(list.Count(), 0);
    list.Add("d", std::make_unique<Tracked>(alive));
  }
  EXPECT_EQ(alive, 0);
}

TEST(ClearingStringListTest, DeleteAndFreeByIndexTextAndObject) {
  int alive = 0;
  TClearingStringList<Tracked> list;
  list.Add("one", std::make_unique<Tracked>(alive, 1));
  list.Add("two", std::make_unique<Tracked>(alive, 2));
  list.Add("three", std::make_unique<Tracked>(alive, 3));

  for (int outside : {5, 3, -1}) EXPECT_EQ(list.DeleteAndFree(outside), -1);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(alive, 3);

  EXPECT_EQ(list.DeleteAndFree("TWO"), 1);
  EXPECT_EQ(alive, 2);
  EXPECT_EQ(list.DeleteAndFree("missing"), -1);
  EXPECT_EQ(list.DeleteAndFree(list.Objects(1)), 1);
  EXPECT_EQ(alive, 1);
  EXPECT_EQ(list.DeleteAndFree(0), 0);
  EXPECT_EQ(alive, 0);
  EXPECT_EQ(list.Count(), 0);
}

TEST(ClearingStringListTest, DeleteAndRemoveObjectHandTheObjectBack) {
  int alive = 0;
  TClearingStringList<Tracked> list;
  list.Add("one", std::make_unique<Tracked>(alive, 1));
  list.Add("two", std::make_unique<Tracked>(alive, 2));
  list.Add("three", std::make_unique<Tracked>(alive, 3));

  std::unique_ptr<Tracked> first = list.Delete(0);
  EXPECT_EQ(first->id, 1);
  EXPECT_EQ(alive, 3);
  Tracked* third = list.Objects(1);
  int formerIndex = -2;
  std::unique_ptr<Tracked> removed = list.RemoveObject(third, &formerIndex);
  EXPECT_EQ(removed.get(), third);
  EXPECT_EQ(formerIndex, 1);
  EXPECT_EQ(alive, 3);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.RemoveObject(third, &formerIndex), nullptr);
  EXPECT_EQ(formerIndex, -1);
}

TEST(ClearingStringListTest, SortedListKeepsOrderAndHandlesDuplicates) {
  int alive = 0;
  TClearingStringList<Tracked> list;
  for (const char* text : {"30", "4", "100", "b", "A"}) list.Add(text, std::make_unique<Tracked>(alive));
  list.SetSorted(true);
  std::vector<std::string> order;
  for (int i = 0; i < list.Count(); ++i) order.push_back(list.Strings(i));
  EXPECT_EQ(order, (std::vector<std::string>{"100", "30", "4", "A", "b"}));
  EXPECT_EQ(list.Add("25"), 1);
  int index = -1;
  EXPECT_TRUE(list.Find("B", index));
  EXPECT_EQ(index, 5);
  EXPECT_FALSE(list.Find("0", index));
  EXPECT_EQ(index, 0);
  EXPECT_EQ(list.IndexOf("a"), 4);

  // dupIgnore keeps the old entry and frees the new object.
  EXPECT_EQ(list.Add("30", std::make_unique<Tracked>(alive)), 2);
  EXPECT_EQ(list.Count(), 6);
  EXPECT_EQ(alive, 5);
  list.SetDuplicates(TDuplicates::dupError);
  EXPECT_THROW(list.Add("30"), std::invalid_argument);
  list.SetDuplicates(TDuplicates::dupAccept);
  list.Add("30", std::make_unique<Tracked>(alive));
  EXPECT_EQ(list.Count(), 7);
  EXPECT_THROW(list.Insert(0, "x"), std::logic_error);
}

TEST(ClearingListTest, OwnsItsItems) {
  int alive = 0;
  {
    TObjectList<Tracked> list;
    TClearingList<Tracked>& base = list;
    EXPECT_EQ(base.Add(std::make_unique<Tracked>(alive, 1)), 0);
    EXPECT_EQ(base.Add(std::make_unique<Tracked>(alive, 2)), 1);
    EXPECT_EQ(base.Add(std::make_unique<Tracked>(alive, 3)), 2);
    EXPECT_EQ(base.Add(nullptr), 3);
    EXPECT_EQ(alive, 3);

    EXPECT_EQ(list.DeleteAndFree(7), -1);
    EXPECT_EQ(list.DeleteAndFree(list.Items(1)), 1);
    EXPECT_EQ(alive, 2);
    EXPECT_EQ(list.Items(1)->id, 3);
    Tracked outside(alive);
    EXPECT_EQ(list.DeleteAndFree(&outside), -1);

    std::unique_ptr<Tracked> kept = list.Delete(0);
    EXPECT_EQ(kept->id, 1);
    std::unique_ptr<Tracked> removed = list.Remove(list.Items(0));
    EXPECT_EQ(removed->id, 3);
    EXPECT_EQ(list.Remove(&outside), nullptr);
    EXPECT_EQ(alive, 3);  // kept, removed and outside
    EXPECT_EQ(list.Count(), 1);

    list.Add(std::make_unique<Tracked>(alive));
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(alive, 3);
    list.Add(std::make_unique<Tracked>(alive));
  }
  EXPECT_EQ(alive, 0);
}

}  // namespace
