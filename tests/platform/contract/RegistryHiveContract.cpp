#include "platform/contract/RegistryHiveContract.h"

#include <cstdint>
#include <cstdio>
#include <thread>

namespace contract {

using platform::RegistryError;
using platform::RegistryHive;
using platform::RegistryValue;
using platform::RegistryValueType;
using Names = std::vector<std::string>;

std::string RegistryHiveImplementationName(const ::testing::TestParamInfo<RegistryHiveImplementation>& info) {
  return info.param.name;
}

const char kEveryKindKey[] = "Software\\Orvel\\Install";

std::vector<std::pair<std::string, RegistryValue>> EveryKindOfValue() {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 100; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 7));
  RegistryValue odd;
  odd.type = static_cast<RegistryValueType>(0x20);
  odd.data = {1, 2, 3};
  RegistryValue shortDword;
  shortDword.type = RegistryValueType::DWord;
  shortDword.data = {1, 2};
  return {
      {"PATH", RegistryValue::Text("C:\\Corvane\\")},
      {"Quoted \"name\" \\ here", RegistryValue::Text("say \"hi\" \\ bye")},
      {"Unicode", RegistryValue::Text("Zürich 東京 \xF0\x9F\x9A\x97")},
      {"Empty", RegistryValue::Text("")},
      {"", RegistryValue::Text("default value")},
      {"Expand", RegistryValue::Text("%SystemRoot%\\system32", RegistryValueType::ExpandString)},
      {"Count", RegistryValue::DWord(0xDEADBEEF)},
      {"Big", RegistryValue::QWord(0x0123456789ABCDEFull)},
      {"Blob", RegistryValue::Binary(bytes)},
      {"NoBytes", RegistryValue::Binary({})},
      {"Lines", RegistryValue::MultiText({"first", "second line", "Zürich"})},
      {"TwoLines", RegistryValue::Text("a\r\nb")},
      {"OddType", odd},
      {"ShortDword", shortDword},
  };
}

void FillWithEveryKind(RegistryHive& hive) {
  hive.CreateKey(kEveryKindKey);
  hive.CreateKey("Software\\Orvel\\Empty Key");
  hive.CreateKey("SYSTEM\\CurrentControlSet\\Services\\DataCollectorSvc");
  for (const auto& [name, value] : EveryKindOfValue()) hive.WriteValue(kEveryKindKey, name, value);
}

namespace {

void DumpKey(RegistryHive& hive, const std::string& key, std::vector<std::string>& out) {
  out.push_back("[" + key + "]");
  for (const std::string& name : hive.ValueNames(key)) {
    RegistryValue value = *hive.ReadValue(key, name);
    std::string hex;
    char digits[4];
    for (std::uint8_t byte : value.data) {
      std::snprintf(digits, sizeof digits, "%02x", byte);
      hex += digits;
    }
    out.push_back(key + "|" + name + "|" + std::to_string(static_cast<unsigned>(value.type)) + "|" + hex);
  }
  for (const std::string& sub : hive.SubKeyNames(key)) DumpKey(hive, key.empty() ? sub : key + "\\" + sub, out);
}

}  // namespace

std::vector<std::string> Dump(RegistryHive& hive) {
  std::vector<std::string> out;
  DumpKey(hive, "", out);
  return out;
}

namespace {

TEST_P(RegistryHiveContract, ANewHiveIsEmpty) {
  EXPECT_TRUE(Hive().KeyExists(""));
  EXPECT_FALSE(Hive().KeyExists("Software"));
  EXPECT_FALSE(Hive().ReadValue("Software", "x").has_value());
  EXPECT_FALSE(Hive().ReadValue("", "x").has_value());
  EXPECT_TRUE(Hive().SubKeyNames("").empty());
  EXPECT_TRUE(Hive().ValueNames("").empty());
  EXPECT_TRUE(Hive().SubKeyNames("Software").empty());
  EXPECT_FALSE(Hive().DeleteValue("Software", "x"));
  EXPECT_FALSE(Hive().DeleteKey("Software"));
  EXPECT_FALSE(Hive().DeleteKey("Software\\Orvel"));
}

TEST_P(RegistryHiveContract, EveryKindOfValueReadsBackAsWritten) {
  FillWithEveryKind(Hive());
  Names written;
  for (const auto& [name, value] : EveryKindOfValue()) {
    SCOPED_TRACE(name);
    written.push_back(name);
    EXPECT_EQ(Hive().ReadValue(kEveryKindKey, name), value);
  }
  EXPECT_EQ(Hive().ValueNames(kEveryKindKey), written);
  EXPECT_EQ(Hive().SubKeyNames("Software\\Orvel"), (Names{"Empty Key", "Install"}));
  EXPECT_TRUE(Hive().ValueNames("Software\\Orvel\\Empty Key").empty());
  EXPECT_TRUE(Hive().KeyExists("SYSTEM\\CurrentControlSet\\Services\\DataCollectorSvc"));
  // Another handle sees the same hive.
  EXPECT_EQ(Dump(*OpenAgain()), Dump(Hive()));
}

TEST_P(RegistryHiveContract, KeyPathsIgnoreSurplusSeparatorsAndTheEmptyPathIsTheRoot) {
  Hive().CreateKey("\\Software\\Orvel\\");
  for (const char* path : {"Software\\Orvel", "\\Software\\Orvel", "Software\\Orvel\\", "\\\\Software\\\\Orvel\\\\"}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(Hive().KeyExists(path));
  }
  EXPECT_EQ(Hive().SubKeyNames(""), Names{"Software"});
  EXPECT_EQ(Hive().SubKeyNames("\\"), Names{"Software"});
  Hive().WriteValue("Software\\\\Orvel", "Code", RegistryValue::Text("A"));
  EXPECT_EQ(Hive().ReadValue("\\Software\\Orvel\\", "Code"), RegistryValue::Text("A"));
  // Values of the root.
  Hive().WriteValue("", "AtRoot", RegistryValue::DWord(1));
  EXPECT_EQ(Hive().ReadValue("\\", "AtRoot"), RegistryValue::DWord(1));
  EXPECT_EQ(Hive().ValueNames(""), Names{"AtRoot"});
  EXPECT_TRUE(Hive().DeleteValue("\\", "atroot"));
  EXPECT_TRUE(Hive().ValueNames("").empty());
}

TEST_P(RegistryHiveContract, NamesCompareWithoutCaseAndKeepTheirCase) {
  RegistryHive& hive = Hive();
  hive.CreateKey("\\Software\\Orvel\\");
  hive.WriteValue("Software\\Orvel", "OrvelLocationCode", RegistryValue::Text("A"));
  EXPECT_TRUE(hive.KeyExists("SOFTWARE\\orvel"));
  EXPECT_EQ(hive.ReadValue("software\\ORVEL", "orvellocationcode")->AsText(), "A");
  hive.WriteValue("SOFTWARE\\ORVEL", "ORVELLOCATIONCODE", RegistryValue::Text("B"));
  hive.CreateKey("software\\ORVEL\\Install");
  EXPECT_EQ(hive.ValueNames("Software\\Orvel"), std::vector<std::string>{"OrvelLocationCode"});
  EXPECT_EQ(hive.ReadValue("Software\\Orvel", "OrvelLocationCode")->AsText(), "B");
  EXPECT_EQ(hive.SubKeyNames(""), std::vector<std::string>{"Software"});
  EXPECT_EQ(hive.SubKeyNames("Software"), std::vector<std::string>{"Orvel"});
  EXPECT_EQ(hive.SubKeyNames("SOFTWARE\\ORVEL"), std::vector<std::string>{"Install"});
}

TEST_P(RegistryHiveContract, SubkeysAreSortedWithoutCaseAndValuesKeepTheOrderFirstWritten) {
  RegistryHive& hive = Hive();
  for (const char* name : {"beta", "Alpha", "gamma", "ALPHA2", "Beta1", "10", "2"})
    hive.CreateKey(std::string("Software\\") + name);
  EXPECT_EQ(hive.SubKeyNames("Software"), (Names{"10", "2", "Alpha", "ALPHA2", "beta", "Beta1", "gamma"}));

  hive.CreateKey("Software\\Orvel");
  const std::string key = "Software\\Orvel";
  for (const char* name : {"Zeta", "alpha", "Mid", ""}) hive.WriteValue(key, name, RegistryValue::DWord(1));
  // Rewriting keeps a value's place and first spelling.
  hive.WriteValue(key, "ALPHA", RegistryValue::DWord(2));
  EXPECT_EQ(hive.ValueNames(key), (Names{"Zeta", "alpha", "Mid", ""}));
  EXPECT_EQ(hive.ReadValue(key, "alpha"), RegistryValue::DWord(2));
  // Deleted and written again, it is the newest.
  EXPECT_TRUE(hive.DeleteValue(key, "zeta"));
  hive.WriteValue(key, "ZETA", RegistryValue::DWord(3));
  EXPECT_EQ(hive.ValueNames(key), (Names{"alpha", "Mid", "", "ZETA"}));
}

TEST_P(RegistryHiveContract, TheDefaultValueIsTheOneNamedEmpty) {
  RegistryHive& hive = Hive();
  hive.CreateKey("Software\\Orvel");
  EXPECT_FALSE(hive.ReadValue("Software\\Orvel", "").has_value());
  hive.WriteValue("Software\\Orvel", "", RegistryValue::Text("default"));
  hive.WriteValue("Software\\Orvel", "Named", RegistryValue::Text("named"));
  EXPECT_EQ(hive.ReadValue("Software\\Orvel", ""), RegistryValue::Text("default"));
  EXPECT_EQ(hive.ValueNames("Software\\Orvel"), (Names{"", "Named"}));
  EXPECT_TRUE(hive.DeleteValue("Software\\Orvel", ""));
  EXPECT_EQ(hive.ReadValue("Software\\Orvel", "Named"), RegistryValue::Text("named"));
}

TEST_P(RegistryHiveContract, KeyAndValueDeletion) {
  RegistryHive& hive = Hive();
  hive.CreateKey("Software\\Orvel\\DataCollector\\Deep");
  hive.WriteValue("Software\\Orvel\\DataCollector", "A", RegistryValue::DWord(1));
  hive.WriteValue("Software\\Orvel\\DataCollector\\Deep", "B", RegistryValue::DWord(2));
  EXPECT_THROW(hive.WriteValue("Software\\Missing", "A", RegistryValue::DWord(1)), RegistryError);
  EXPECT_FALSE(hive.KeyExists("Software\\Missing"));
  EXPECT_TRUE(hive.DeleteValue("Software\\Orvel\\DataCollector", "a"));
  EXPECT_FALSE(hive.DeleteValue("Software\\Orvel\\DataCollector", "a"));
  EXPECT_FALSE(hive.DeleteValue("Software\\Missing", "a"));
  EXPECT_TRUE(hive.DeleteKey("software\\orvel\\datacollector"));
  EXPECT_FALSE(hive.KeyExists("Software\\Orvel\\DataCollector\\Deep"));
  EXPECT_TRUE(hive.KeyExists("Software\\Orvel"));
  EXPECT_TRUE(hive.SubKeyNames("Software\\Orvel").empty());
  EXPECT_FALSE(hive.DeleteKey("Software\\Orvel\\DataCollector"));
  EXPECT_FALSE(hive.DeleteKey("Software\\Missing\\Child"));
  // A key created again starts empty.
  hive.CreateKey("Software\\Orvel\\DataCollector\\Deep");
  EXPECT_TRUE(hive.ValueNames("Software\\Orvel\\DataCollector\\Deep").empty());
  EXPECT_FALSE(hive.ReadValue("Software\\Orvel\\DataCollector\\Deep", "B").has_value());
  for (const char* root : {"", "\\", "\\\\"}) {
    SCOPED_TRACE(root);
    EXPECT_THROW(hive.DeleteKey(root), RegistryError);
  }
  EXPECT_TRUE(hive.KeyExists("Software\\Orvel\\DataCollector\\Deep"));
}

TEST_P(RegistryHiveContract, AChangeThroughOneHandleIsSeenThroughAnother) {
  std::unique_ptr<RegistryHive> other = OpenAgain();
  Hive().CreateKey("Software\\Orvel");
  EXPECT_TRUE(other->KeyExists("Software\\Orvel"));
  other->WriteValue("Software\\Orvel", "Code", RegistryValue::Text("Zürich"));
  EXPECT_EQ(Hive().ReadValue("Software\\Orvel", "Code"), RegistryValue::Text("Zürich"));
  Hive().WriteValue("Software\\Orvel", "Other", RegistryValue::DWord(7));
  EXPECT_EQ(other->ValueNames("Software\\Orvel"), (Names{"Code", "Other"}));
  EXPECT_TRUE(other->DeleteKey("Software"));
  EXPECT_FALSE(Hive().KeyExists("Software\\Orvel"));
  EXPECT_THROW(Hive().WriteValue("Software\\Orvel", "Late", RegistryValue::DWord(1)), RegistryError);
}

TEST_P(RegistryHiveContract, TwoThreadsWritingAtOnceBothKeepTheirValues) {
  constexpr int kWrites = 25;
  Hive().CreateKey("Software");
  // Each thread with its own handle, and both through one shared handle.
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "one shared handle" : "a handle each");
    std::unique_ptr<RegistryHive> first = OpenAgain();
    std::unique_ptr<RegistryHive> second = OpenAgain();
    RegistryHive& firstHive = shared ? Hive() : *first;
    RegistryHive& secondHive = shared ? Hive() : *second;
    const std::string prefix = shared ? "S" : "H";
    auto writer = [&](RegistryHive& hive, char name) {
      for (int i = 0; i < kWrites; ++i)
        hive.WriteValue("Software", prefix + name + std::to_string(i), RegistryValue::DWord(static_cast<std::uint32_t>(i)));
    };
    std::thread a(writer, std::ref(firstHive), 'A');
    std::thread b(writer, std::ref(secondHive), 'B');
    a.join();
    b.join();
    for (char name : {'A', 'B'})
      for (int i = 0; i < kWrites; ++i)
        EXPECT_EQ(Hive().ReadValue("Software", prefix + name + std::to_string(i)),
                  RegistryValue::DWord(static_cast<std::uint32_t>(i)));
  }
  EXPECT_EQ(Hive().ValueNames("Software").size(), 4u * kWrites);
}

}  // namespace

}  // namespace contract
