#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Registry.h"
#include "platform/contract/RegistryHiveContract.h"
#include "platform/posix/RegistryFile.h"
#include "support/HiveText.h"
#include "support/OtherUser.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

using platform::RegistryError;
using platform::RegistryFile;
using platform::RegistryHive;
using platform::RegistryValue;
using platform::RegistryValueType;
using contract::Dump;
using contract::FillWithEveryKind;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

TEST(RegistryValueTest, TextAndMultiTextRoundTrip) {
  const std::vector<std::string> texts = {"", "plain", "Zürich", "東京", "\xF0\x9F\x9A\x97 car wash"};
  for (const std::string& text : texts) {
    RegistryValue value = RegistryValue::Text(text);
    EXPECT_EQ(value.AsText(), text);
    EXPECT_EQ(value.data.size() % 2, 0u);
    EXPECT_EQ(value.data.back(), 0);
  }
  EXPECT_EQ(RegistryValue::Text("ab").data, (std::vector<std::uint8_t>{'a', 0, 'b', 0, 0, 0}));
  RegistryValue multi = RegistryValue::MultiText({"one", "Zürich"});
  EXPECT_EQ(multi.AsTexts(), (std::vector<std::string>{"one", "Zürich"}));
  EXPECT_EQ(multi.AsText(), "one");
  EXPECT_EQ(RegistryValue::DWord(0x01020304).data, (std::vector<std::uint8_t>{4, 3, 2, 1}));
}

TEST(RegistryFileTest, MissingFileIsAnEmptyHiveAndReadingDoesNotCreateIt) {
  TempDir dir;
  RegistryFile hive(dir.file("none.reg"));
  EXPECT_TRUE(hive.KeyExists(""));
  EXPECT_FALSE(hive.KeyExists("Software"));
  EXPECT_FALSE(hive.ReadValue("Software", "x").has_value());
  EXPECT_TRUE(hive.SubKeyNames("").empty());
  EXPECT_FALSE(hive.DeleteValue("Software", "x"));
  EXPECT_FALSE(hive.DeleteKey("Software"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("none.reg")));
}

TEST(RegistryFileTest, WrittenFileLoadsBackIdentically) {
  TempDir dir;
  RegistryFile first(dir.file("first.reg"));
  FillWithEveryKind(first);
  const std::string text = ReadText(first.Path());
  ASSERT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Orvel\\Install]\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"PATH\"=\"C:\\\\Corvane\\\\\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Count\"=dword:deadbeef\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Big\"=hex(b):ef,cd,ab,89,67,45,23,01\r\n"), std::string::npos);
  EXPECT_NE(text.find("@=\"default value\"\r\n"), std::string::npos);
  // Long data is continued over lines of at most 80 characters.
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    start = end + 2;
  }

  WriteText(dir.file("second.reg"), text);
  RegistryFile second(dir.file("second.reg"));
  EXPECT_EQ(Dump(second), Dump(first));
  // Rewriting the loaded hive gives the same text again.
  second.WriteValue("Software\\Orvel\\Install", "Count", RegistryValue::DWord(0xDEADBEEF));
  EXPECT_EQ(ReadText(second.Path()), text);
}

TEST(RegistryFileTest, HandWrittenFileWithEveryValueTypeLoads) {
  const std::string text =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "; written by hand\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvel]\n"
      "\"OrvelLocationCode\"=\"SITE01\"\n"
      "@=\"root default\"\n"
      "\n"
      "[hkey_local_machine\\Software\\Orvel\\Install]   \n"
      "  \"PATH\" = \"C:\\\\Corvane\"\n"
      "\"Expand\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00\n"
      "\"Count\"=dword:2A\n"
      "\"Big\"=hex(b):01,00,00,00,\\\n"
      "    00,00,00,80\n"
      "\"Blob\"=hex:DE,AD,\\\n"
      "  BE,EF\n"
      "\"Empty blob\"=hex:\n"
      "\"Lines\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\n"
      "\"Gone\"=\"x\"\n"
      "\"Gone\"=-\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Removed\\Child]\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Removed]\n";
  for (bool crlf : {false, true}) {
    TempDir dir;
    std::string content = "\xEF\xBB\xBF" + text;
    if (crlf) {
      std::string converted;
      for (char c : content) {
        if (c == '\n') converted += '\r';
        converted += c;
      }
      content = converted;
    }
    WriteText(dir.file("hand.reg"), content);
    RegistryFile hive(dir.file("hand.reg"));
    SCOPED_TRACE(crlf ? "CRLF" : "LF");
    EXPECT_EQ(hive.ReadValue("Software\\Orvel", "OrvelLocationCode")->AsText(), "SITE01");
    EXPECT_EQ(hive.ReadValue("Software\\Orvel", "")->AsText(), "root default");
    EXPECT_EQ(hive.ReadValue("Software\\Orvel\\Install", "PATH")->AsText(), "C:\\Corvane");
    RegistryValue expand = *hive.ReadValue("Software\\Orvel\\Install", "Expand");
    EXPECT_EQ(expand.type, RegistryValueType::ExpandString);
    EXPECT_EQ(expand.AsText(), "%TEMP%");
    EXPECT_EQ(*hive.ReadValue("Software\\Orvel\\Install", "Count"), RegistryValue::DWord(42));
    EXPECT_EQ(*hive.ReadValue("Software\\Orvel\\Install", "Big"), RegistryValue::QWord(0x8000000000000001ull));
    EXPECT_EQ(*hive.ReadValue("Software\\Orvel\\Install", "Blob"), RegistryValue::Binary({0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(*hive.ReadValue("Software\\Orvel\\Install", "Empty blob"), RegistryValue::Binary({}));
    RegistryValue lines = *hive.ReadValue("Software\\Orvel\\Install", "Lines");
    EXPECT_EQ(lines.type, RegistryValueType::MultiString);
    EXPECT_EQ(lines.AsTexts(), (std::vector<std::string>{"a", "bc"}));
    EXPECT_FALSE(hive.ReadValue("Software\\Orvel\\Install", "Gone").has_value());
    EXPECT_FALSE(hive.KeyExists("Software\\Removed"));
    // The case of the first spelling is kept.
    EXPECT_EQ(hive.SubKeyNames(""), std::vector<std::string>{"SOFTWARE"});
  }
}

// The tests write their hives with HiveText; what it writes must load as given.
TEST(RegistryFileTest, HiveTextLoadsAsWritten) {
  HiveText text;
  text.Key("Software\\Orvel").String("OrvelLocationCode", "Zürich \"Süd\" C:\\Wash\\").DWord("Count", 0xDEADBEEF);
  text.Key(contract::kEveryKindKey);
  for (const auto& [name, value] : contract::EveryKindOfValue()) text.Value(name, value);
  TempDir dir;
  WriteText(dir.file("built.reg"), text);
  RegistryFile hive(dir.file("built.reg"));
  EXPECT_EQ(hive.ReadValue("Software\\Orvel", "OrvelLocationCode"), RegistryValue::Text("Zürich \"Süd\" C:\\Wash\\"));
  EXPECT_EQ(hive.ReadValue("Software\\Orvel", "Count"), RegistryValue::DWord(0xDEADBEEF));
  for (const auto& [name, value] : contract::EveryKindOfValue()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(hive.ReadValue(contract::kEveryKindKey, name), value);
  }
}

TEST(RegistryFileTest, Utf16FileWithByteOrderMarkLoads) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Orvel]\r\n\"City\"=\"Zürich\"\r\n";
  std::vector<std::uint8_t> units = RegistryValue::Text(text).data;
  units.resize(units.size() - 2);
  std::string content = "\xFF\xFE" + std::string(units.begin(), units.end());
  TempDir dir;
  WriteText(dir.file("utf16.reg"), content);
  RegistryFile hive(dir.file("utf16.reg"));
  EXPECT_EQ(hive.ReadValue("Software\\Orvel", "City")->AsText(), "Zürich");
}

// The format has no way to write a line break inside a name; such a name is
// refused rather than stored broken.
TEST(RegistryFileTest, NamesWithALineBreakCannotBeStored) {
  TempDir dir;
  RegistryFile hive(dir.file("names.reg"));
  hive.CreateKey("Software\\Orvel");
  EXPECT_THROW(hive.WriteValue("Software\\Orvel", "Two\nLines", RegistryValue::DWord(1)), RegistryError);
  EXPECT_THROW(hive.CreateKey("Software\\Bad\rKey"), RegistryError);
  EXPECT_TRUE(hive.ValueNames("Software\\Orvel").empty());
  EXPECT_EQ(hive.SubKeyNames("Software"), std::vector<std::string>{"Orvel"});
}

TEST(RegistryFileTest, MalformedFileNamesFileAndLine) {
  struct Case {
    const char* text;
    int line;
    const char* problem;
  };
  const Case cases[] = {
      {"REGEDIT4\n", 1, "Windows Registry Editor Version 5.00"},
      {"\n\nWindows Registry Editor Version 5.00\n\"A\"=\"1\"\n", 4, "outside of a key section"},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Software]\n", 2, "not under HKEY_LOCAL_MACHINE"},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\n", 2, "\"]\""},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 2, "empty key name"},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=dword:1234567890\n", 3, "dword:"},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=dword:12g4\n", 3, "dword:"},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\n\"X\"=hex:01,2,zz\n", 4, "hexadecimal byte"},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=hex(q):01\n", 3, "type number"},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"X=\"1\"\n", 3, "\"=\""},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"open\n", 3, "closing quote"},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"1\" trailing\n", 3, "after the closing quote"},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=text\n", 3, "after \"=\""},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\nstray line\n", 3, "key section or a value"},
      {"Windows Registry Editor Version 5.00\n[-HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"1\"\n", 3, "outside of a key section"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TempDir dir;
    WriteText(dir.file("bad.reg"), c.text);
    RegistryFile hive(dir.file("bad.reg"));
    try {
      hive.KeyExists("A");
      ADD_FAILURE() << "no error";
    } catch (const RegistryError& error) {
      std::string message = error.what();
      EXPECT_NE(message.find(dir.file("bad.reg")), std::string::npos) << message;
      EXPECT_NE(message.find("line " + std::to_string(c.line) + ":"), std::string::npos) << message;
      EXPECT_NE(message.find(c.problem), std::string::npos) << message;
    }
    // A write must not replace a malformed file with an empty hive.
    EXPECT_THROW(hive.CreateKey("B"), RegistryError);
    EXPECT_EQ(ReadText(dir.file("bad.reg")), c.text);
  }
}

TEST(RegistryFileTest, TwoProcessesWritingAtOnceBothKeepTheirValues) {
  TempDir dir;
  const std::string path = dir.file("shared.reg");
  RegistryFile(path).CreateKey("Software\\Orvel\\SiteStatus");
  constexpr int kWrites = 40;
  std::vector<pid_t> children;
  for (char writer : {'A', 'B'}) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int status = 0;
      try {
        RegistryFile hive(path);
        for (int i = 0; i < kWrites; ++i)
          hive.WriteValue("Software\\Orvel\\SiteStatus", std::string(1, writer) + std::to_string(i),
                          RegistryValue::DWord(static_cast<std::uint32_t>(i)));
      } catch (...) {
        status = 1;
      }
      _exit(status);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RegistryFile hive(path);
  EXPECT_EQ(hive.ValueNames("Software\\Orvel\\SiteStatus").size(), 2u * kWrites);
  for (char writer : {'A', 'B'})
    for (int i = 0; i < kWrites; ++i)
      EXPECT_EQ(hive.ReadValue("Software\\Orvel\\SiteStatus", std::string(1, writer) + std::to_string(i)),
                RegistryValue::DWord(static_cast<std::uint32_t>(i)));
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

TEST(RegistryFileTest, LocalMachineHiveLivesWhereDcRegistryPoints) {
  TempDir dir;
  const std::string path = dir.file("sub/folder/hklm.reg");
  ScopedEnv env("DC_REGISTRY", path.c_str());
  auto hive = platform::OpenRegistryHive(platform::RegistryRoot::LocalMachine);
  hive->CreateKey("Software\\Orvel");
  hive->WriteValue("Software\\Orvel", "OrvelLocationCode", RegistryValue::Text("LOC"));
  EXPECT_NE(ReadText(path).find("\"OrvelLocationCode\"=\"LOC\""), std::string::npos);
}

TEST(RegistryFileTest, WritingKeepsTheFilePermissions) {
  TempDir dir;
  const std::string path = dir.file("mode.reg");
  RegistryFile hive(path);
  hive.CreateKey("Software");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  hive.CreateKey("Software\\Orvel");
  EXPECT_EQ(std::filesystem::status(path).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

unsigned ModeOf(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST(RegistryFileTest, HiveIsCreatedPrivateAndALooserOneIsTightenedWithANotice) {
  TempDir dir;
  const std::string path = dir.file("etc/datacollector/registry.reg");
  RegistryFile(path).CreateKey("Software");
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_EQ(ModeOf(dir.file("etc/datacollector")), 0700u);
  EXPECT_EQ(ModeOf(dir.file("etc")), 0700u);

  const struct {
    unsigned mode;
    unsigned expected;
    bool notice;
  } cases[] = {
      {0644, 0600, true}, {0666, 0600, true}, {0640, 0600, true},
      {0600, 0600, false}, {0400, 0400, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    std::vector<std::string> notices;
    RegistryFile hive(path, [&](const std::string& text) { notices.push_back(text); });
    EXPECT_TRUE(hive.KeyExists("Software"));
    EXPECT_EQ(ModeOf(path), c.expected);
    if (c.notice) {
      ASSERT_EQ(notices.size(), 1u);
      EXPECT_THAT(notices[0], ::testing::HasSubstr(path));
    } else {
      EXPECT_TRUE(notices.empty());
    }
  }
}

TEST(RegistryFileTest, ALockHeldByAnotherProcessEndsTheWaitWithAnErrorNamingTheFile) {
  TempDir dir;
  const std::string path = dir.file("locked.reg");
  RegistryFile(path).CreateKey("Software");
  const auto limit = std::chrono::milliseconds(300);
  const struct {
    bool exclusive;
    bool readWaits;
  } cases[] = {{true, true}, {false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exclusive ? "exclusive lock" : "shared lock");
    ForeignLock lock(path, c.exclusive);
    RegistryFile hive(path, [](const std::string&) {}, limit);
    const auto expectLocked = [&](const std::function<void()>& operation) {
      const auto start = std::chrono::steady_clock::now();
      try {
        operation();
        ADD_FAILURE() << "no error";
      } catch (const platform::RegistryLockedError& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("Cannot lock registry file " + path + ": locked by another process"));
      }
      const auto waited = std::chrono::steady_clock::now() - start;
      EXPECT_GE(waited, limit);
      EXPECT_LT(waited, limit + std::chrono::seconds(2));
    };
    if (c.readWaits) {
      expectLocked([&] { hive.KeyExists("Software"); });
    } else {
      EXPECT_TRUE(hive.KeyExists("Software"));
    }
    expectLocked([&] { hive.CreateKey("Software\\Orvel"); });
  }
  // Released: the hive works again.
  RegistryFile hive(path, nullptr, limit);
  hive.CreateKey("Software\\Orvel");
  EXPECT_TRUE(hive.KeyExists("Software\\Orvel"));
}

TEST(RegistryFileTest, ALinkInThePlaceOfTheHiveIsRefused) {
  TempDir dir;
  WriteText(dir.file("elsewhere.reg"), "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software]\n");
  ASSERT_EQ(::symlink(dir.file("elsewhere.reg").c_str(), dir.file("registry.reg").c_str()), 0);
  RegistryFile hive(dir.file("registry.reg"));
  EXPECT_THROW(hive.KeyExists("Software"), RegistryError);
  EXPECT_THROW(hive.CreateKey("Software\\Orvel"), RegistryError);
  EXPECT_EQ(ReadText(dir.file("elsewhere.reg")).find("Orvel"), std::string::npos);
}

TEST(RegistryFileTest, AnotherUserCanNeitherReadNorLockTheHive) {
  if (!NobodyUnavailableReason().empty()) GTEST_SKIP() << NobodyUnavailableReason();
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string path = dir.file("etc/datacollector/registry.reg");
  RegistryFile(path).WriteValue("", "ClientToken", RegistryValue::Text("secret"));
  // Even with the folder open to all, the file itself stays closed.
  ASSERT_EQ(::chmod(dir.file("etc").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dir.file("etc/datacollector").c_str(), 0755), 0);
  const auto openErrno = [&] {
    return [path] {
      const int fd = ::open(path.c_str(), O_RDONLY);
      return fd >= 0 ? 0 : errno;
    };
  };
  EXPECT_EQ(RunAsNobody(openErrno()), EACCES);
  ASSERT_EQ(::chmod(dir.file("etc/datacollector").c_str(), 0700), 0);
  EXPECT_EQ(RunAsNobody(openErrno()), EACCES);
}

}  // namespace
