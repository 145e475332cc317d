// The Windows registry hive: HKEY_LOCAL_MACHINE in the 32-bit view, in a key
// of its own for each test.
#include "platform/Registry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

class RegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    key_ = "Software\\DataCollectorTests\\" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name());
    hive_ = platform::OpenRegistryHive(platform::RegistryRoot::LocalMachine);
    hive_->DeleteKey(key_);
  }
  void TearDown() override { hive_->DeleteKey("Software\\DataCollectorTests"); }

  std::string key_;
  std::unique_ptr<platform::RegistryHive> hive_;
};

TEST_F(RegistryTest, ValuesOfEveryTypeRoundTrip) {
  hive_->CreateKey(key_ + "\\Inner");
  ASSERT_TRUE(hive_->KeyExists("\\" + key_ + "\\"));
  struct Case {
    const char* name;
    platform::RegistryValue value;
  };
  const Case cases[] = {
      {"Text", platform::RegistryValue::Text("Müller Straße")},
      {"Expand", platform::RegistryValue::Text("%SystemRoot%\\x", platform::RegistryValueType::ExpandString)},
      {"Multi", platform::RegistryValue::MultiText({"a", "Zoë", "c"})},
      {"DWord", platform::RegistryValue::DWord(0xDEADBEEF)},
      {"QWord", platform::RegistryValue::QWord(0x0123456789ABCDEFULL)},
      {"Binary", platform::RegistryValue::Binary({0, 1, 2, 255})},
      {"", platform::RegistryValue::Text("default")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hive_->WriteValue(key_, c.name, c.value);
    EXPECT_EQ(hive_->ReadValue(key_, c.name), c.value);
  }
  EXPECT_EQ(hive_->ReadValue(key_, "text")->AsText(), "Müller Straße");  // names ignore case
  EXPECT_EQ(hive_->ReadValue(key_, "Multi")->AsTexts(), (std::vector<std::string>{"a", "Zoë", "c"}));
  EXPECT_EQ(hive_->ValueNames(key_).size(), std::size(cases));
  EXPECT_EQ(hive_->SubKeyNames(key_), std::vector<std::string>{"Inner"});
}

TEST_F(RegistryTest, MissingKeysAndValuesAreNothingAndWritingToThemFails) {
  EXPECT_FALSE(hive_->KeyExists(key_));
  EXPECT_EQ(hive_->ReadValue(key_, "A"), std::nullopt);
  EXPECT_FALSE(hive_->DeleteValue(key_, "A"));
  EXPECT_FALSE(hive_->DeleteKey(key_));
  EXPECT_TRUE(hive_->SubKeyNames(key_).empty());
  EXPECT_TRUE(hive_->ValueNames(key_).empty());
  EXPECT_THROW(hive_->WriteValue(key_, "A", platform::RegistryValue::DWord(1)), platform::RegistryError);
  EXPECT_THROW(hive_->DeleteKey("\\"), platform::RegistryError);
  hive_->CreateKey(key_);
  EXPECT_EQ(hive_->ReadValue(key_, "A"), std::nullopt);
  hive_->WriteValue(key_, "A", platform::RegistryValue::DWord(1));
  EXPECT_TRUE(hive_->DeleteValue(key_, "A"));
  EXPECT_FALSE(hive_->DeleteValue(key_, "A"));
}

TEST_F(RegistryTest, DeletingAKeyTakesItsSubtreeAndSubkeysAreSortedWithoutCase) {
  for (const char* name : {"beta", "Alpha", "gamma\\deep"}) hive_->CreateKey(key_ + "\\" + name);
  hive_->WriteValue(key_ + "\\gamma\\deep", "V", platform::RegistryValue::Text("x"));
  EXPECT_EQ(hive_->SubKeyNames(key_), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  EXPECT_TRUE(hive_->DeleteKey(key_));
  EXPECT_FALSE(hive_->KeyExists(key_ + "\\gamma\\deep"));
  EXPECT_FALSE(hive_->KeyExists(key_));
}

// A 64-bit program sees the keys of the 32-bit programs of the same
// installation: they lie under WOW6432Node in the 64-bit view.
TEST_F(RegistryTest, KeysLieInThe32BitView) {
  hive_->CreateKey(key_);
  hive_->WriteValue(key_, "Where", platform::RegistryValue::Text("32"));
  const std::wstring native = L"Software\\WOW6432Node\\DataCollectorTests";
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, native.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\DataCollectorTests", 0, KEY_READ | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(platform::RegistryHiveLocation(platform::RegistryRoot::LocalMachine), "HKEY_LOCAL_MACHINE (32-bit view)");
}

}  // namespace
