// The Windows ScopedRegistry: the program's own keys in the system registry
// replaced by a test's text, given back as text and removed at the end, the
// rest of the machine's registry left alone.
#include "support/ScopedRegistry.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/Registry.h"
#include "support/HiveText.h"

namespace {

using platform::RegistryValue;

std::unique_ptr<platform::RegistryHive> Hive() {
  return platform::OpenRegistryHive(platform::RegistryRoot::LocalMachine);
}

const std::string kSiteText = HiveText()
                                  .Key("Software\\Orvel\\Install")
                                  .String("InstallType", "Server")
                                  .String("PATH", "C:\\Corvane\\")
                                  .Key("Software\\Orvel\\DataCollector")
                                  .DWord("LogComm", 1)
                                  .Value("Blob", RegistryValue::Binary({0, 1, 0xfe}))
                                  .Key("Software\\DataCollectorTests\\Site")
                                  .String("Name", "Caf\xC3\xA9 Z\xC3\xBCrich");

TEST(ScopedRegistryOnWindows, TheTextIsWhatTheProgramReadsAndReadGivesItBack) {
  ScopedRegistry registry(kSiteText);
  auto hive = Hive();
  EXPECT_EQ(hive->ReadValue("\\Software\\Orvel\\Install", "PATH"), RegistryValue::Text("C:\\Corvane\\"));
  EXPECT_EQ(hive->ReadValue("Software\\Orvel\\DataCollector", "LogComm"), RegistryValue::DWord(1));
  EXPECT_EQ(hive->ReadValue("Software\\Orvel\\DataCollector", "Blob"), RegistryValue::Binary({0, 1, 0xfe}));
  EXPECT_EQ(hive->ReadValue("Software\\DataCollectorTests\\Site", "Name"),
            RegistryValue::Text("Caf\xC3\xA9 Z\xC3\xBCrich"));

  // What the program writes is in the text read back.
  hive->WriteValue("Software\\Orvel\\Install", "Added", RegistryValue::Text("by the program"));
  const std::string text = registry.Read();
  for (const char* line : {"[HKEY_LOCAL_MACHINE\\Software\\Orvel\\Install]", "\"InstallType\"=\"Server\"",
                           "\"PATH\"=\"C:\\\\Corvane\\\\\"", "\"LogComm\"=dword:00000001", "\"Blob\"=hex:00,01,fe",
                           "\"Added\"=\"by the program\"", "[HKEY_LOCAL_MACHINE\\Software\\DataCollectorTests\\Site]",
                           "\"Name\"=\"Caf\xC3\xA9 Z\xC3\xBCrich\""}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
}

TEST(ScopedRegistryOnWindows, WriteReplacesEveryKeyItManagesAndTheEndRemovesThem) {
  {
    ScopedRegistry registry(kSiteText);
    registry.Write(HiveText().Key("Software\\Orvel\\DataCollector").DWord("LogComm", 0));
    auto hive = Hive();
    EXPECT_FALSE(hive->KeyExists("Software\\Orvel\\Install"));
    EXPECT_FALSE(hive->KeyExists("Software\\DataCollectorTests"));
    EXPECT_EQ(hive->ReadValue("Software\\Orvel\\DataCollector", "LogComm"), RegistryValue::DWord(0));
    EXPECT_EQ(hive->ReadValue("Software\\Orvel\\DataCollector", "Blob"), std::nullopt);

    registry.Write(kSiteText);
    hive->CreateKey("Software\\Orvel\\WrittenByTheProgram");
  }
  auto hive = Hive();
  EXPECT_FALSE(hive->KeyExists("Software\\Orvel"));
  EXPECT_FALSE(hive->KeyExists("Software\\DataCollectorTests"));
  // The system's own keys stay.
  EXPECT_TRUE(hive->KeyExists("Software\\Microsoft"));
}

TEST(ScopedRegistryOnWindows, ANewOneStartsWithoutTheProgramsKeys) {
  Hive()->CreateKey("Software\\Orvel\\LeftOver");
  ScopedRegistry registry;
  EXPECT_FALSE(Hive()->KeyExists("Software\\Orvel"));
  EXPECT_EQ(registry.Read(), "");
}

TEST(ScopedRegistryOnWindows, ATextNamingKeysOfTheSystemIsRefusedAndWritesNothing) {
  // Sections after one of the program's own.
  const std::string sections[] = {
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\DataCollectorSvc]\n\"Start\"=\"x\"",
      "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows]\n\"x\"=\"y\"",
      "[HKEY_LOCAL_MACHINE\\Software]\n\"x\"=\"y\"",
      "[HKEY_LOCAL_MACHINE]\n\"x\"=\"y\"",
  };
  ScopedRegistry registry(kSiteText);
  for (const std::string& section : sections) {
    SCOPED_TRACE(section);
    EXPECT_THROW(registry.Write(HiveText().Key("Software\\Orvel\\Other").String("a", "b").Line(section)),
                 std::invalid_argument);
    EXPECT_TRUE(Hive()->KeyExists("Software\\Orvel\\Install"));
    EXPECT_FALSE(Hive()->KeyExists("Software\\Orvel\\Other"));
  }
  EXPECT_FALSE(Hive()->KeyExists("SYSTEM\\CurrentControlSet\\Services\\DataCollectorSvc"));
  EXPECT_EQ(Hive()->ReadValue("Software\\Microsoft\\Windows", "x"), std::nullopt);
}

}  // namespace
