#include "service/LogFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Shared/Orvel_Shared/AnsiText.h"
#include "Shared/Orvel_Shared/OrvelClasses.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "support/ScopedRegistry.h"
#include "support/TempDir.h"

namespace {

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The file's lines, split at CR LF.
std::vector<std::string> Lines(const std::string& path) {
  const std::string text = ReadBytes(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no CR LF>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// A log folder of its own, an empty registry and a clock the test sets.
class LogFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<TBaseLogFile> NewLog(bool cacheOnError = true) {
    auto log = std::make_unique<TBaseLogFile>("DataCollector", [this] { return now; });
    log->SetOverrideLogPath(Folder());
    log->CacheOnError = cacheOnError;
    return log;
  }
  std::string Folder() const { return FDir.file("LOG"); }
  // `name` in the log folder, joined with the system's separator.
  std::string InFolder(const std::string& name) const { return (FDir.path() / "LOG" / name).string(); }
  std::string FileOf(const std::string& day) const { return InFolder("------x---_DataCollector_" + day + ".LOG"); }

  TempDir FDir{"dc-log"};
  ScopedRegistry FRegistry;
  TDateTime now = EncodeDateTime(2024, 3, 7, 14, 5, 9, 123);
};

TEST_F(LogFileTest, FirstMessageCreatesTheDaysFileWithItsHeader) {
  auto log = NewLog();
  log->AddLog("Service Starting");
  now += kOneSecond;
  log->AddLog("Service Start complete");
  EXPECT_EQ(log->CurrentLogFileName(), FileOf("20240307"));
  EXPECT_EQ(Lines(FileOf("20240307")),
            (std::vector<std::string>{"Date       Time          Message",
                                      "03/07/2024 14:05:09.123  Log File Created.",
                                      "03/07/2024 14:05:09.123  Service Starting",
                                      "03/07/2024 14:05:10.123  Service Start complete"}));
  EXPECT_EQ(log->Count(), 3);
  EXPECT_FALSE(log->Opened());
}

TEST_F(LogFileTest, TextIsWrittenInTheAnsiCodePageAndCutAtNul) {
  auto log = NewLog();
  log->AddLog("Caf\xC3\xA9 \xE2\x82\xAC 5 \xE4\xB8\xAD");
  log->AddLog(std::string("before\0after", 12));
  const std::vector<std::string> lines = Lines(FileOf("20240307"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "03/07/2024 14:05:09.123  Caf\xE9 \x80 5 ?");
  EXPECT_EQ(lines[3], "03/07/2024 14:05:09.123  before");
}


// A logged document is written in pieces; the line must read exactly as the
// whole message converted at once, whatever falls on a piece boundary.
TEST_F(LogFileTest, ALongLineReadsAsTheWholeMessageConverted) {
  const size_t piece = 64 * 1024;
  const std::string head = "03/07/2024 14:05:09.123  ";
  struct TCase {
    const char* name;
    std::string around;  // placed so that it straddles the first boundaries
  };
  const std::vector<TCase> cases = {
      {"two-byte character", "\xC3\xA9"},
      {"three-byte character", "\xE2\x82\xAC"},
      {"four-byte character", "\xF0\x9F\x98\x80"},
      {"character outside the code page", "\xE4\xB8\xAD"},
      {"lead byte without its continuation", "\xC3" "A"},
      {"continuation bytes alone", "\x82\x82\x82\x82\x82\x82"},
      {"over-long run after a lead byte", "\xE2\x82\x82\x82\x82\x82\x82"},
  };
  for (const TCase& c : cases) {
    for (size_t shift = 0; shift < 8; ++shift) {
      SCOPED_TRACE(std::string(c.name) + ", shifted by " + std::to_string(shift));
      TempDir dir("dc-long-log");
      auto log = NewLog(false);
      log->SetOverrideLogPath(dir.file("LOG"));
      std::string message(3 * piece, 'x');
      for (size_t boundary = piece; boundary < message.size(); boundary += piece) {
        message.replace(boundary - 4 + shift, c.around.size(), c.around);
      }
      log->AddLog(message);
      const std::vector<std::string> lines =
          Lines(dir.file("LOG") + "/------x---_DataCollector_20240307.LOG");
      ASSERT_EQ(lines.size(), 3u);
      EXPECT_TRUE(lines[2] == head + Utf8ToAnsi(message)) << "the long line differs";
    }
  }
}
TEST_F(LogFileTest, OutputTypesDecideWhatReachesTheFile) {
  auto log = NewLog();
  std::vector<std::string> seen;
  int updates = 0;
  log->OnAddLog = [&](const std::string& msg, TLogOutputType) { seen.push_back(msg); };
  log->OnLogUpdate = [&] { ++updates; };
  log->AddLog("both", TLogOutputType::toBoth);
  log->AddLog("display", TLogOutputType::toDisplay);
  log->AddLog("file", TLogOutputType::toFile);
  log->AddLog("update", TLogOutputType::toUpdateLine);
  log->AddLog("update only", TLogOutputType::toUpdateLineOnly);
  const std::vector<std::string> lines = Lines(FileOf("20240307"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2].substr(25), "both");
  EXPECT_EQ(lines[3].substr(25), "file");
  EXPECT_EQ(lines[4].substr(25), "update");
  EXPECT_EQ(seen.size(), 5u);
  EXPECT_EQ(updates, 5);
}

TEST_F(LogFileTest, OptionsShapeLinesAndHeader) {
  struct Case {
    const char* name;
    void (*configure)(TBaseLogFile&);
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"prefix", [](TBaseLogFile& l) { l.Prefix = "SVC"; },
       {"Date       Time          Message", "03/07/2024 14:05:09.123  SVC:Log File Created.",
        "03/07/2024 14:05:09.123  SVC:hello"}},
      {"no date", [](TBaseLogFile& l) { l.UseDateInFile = false; },
       {"Date       Time          Message", "14:05:09.123  Log File Created.",
        "14:05:09.123  hello"}},
      {"no time stamp", [](TBaseLogFile& l) { l.UseTimeStamp = false; },
       {"Date       Time          Message", "Log File Created.", "hello"}},
      {"custom header", [](TBaseLogFile& l) { l.CustomHeader = "My header"; },
       {"My header", "03/07/2024 14:05:09.123  hello"}},
      {"no header", [](TBaseLogFile& l) { l.UseHeader = false; },
       {"03/07/2024 14:05:09.123  hello"}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(Folder());
    auto log = NewLog();
    c.configure(*log);
    log->AddLog("hello");
    EXPECT_EQ(Lines(FileOf("20240307")), c.expected) << c.name;
  }
}

TEST_F(LogFileTest, FileNamesAreCleanedAndFollowTheLocationCode) {
  struct Case {
    std::string location;
    std::string source;
    std::string date;
    std::string extension;
    std::string expected;
  };
  const Case cases[] = {
      {"1234", "DataCollector", "20240307", ".LOG", "1234_DataCollector_20240307.LOG"},
      {"12.3?4", "DataCollector", "20240307", ".LOG", "1234_DataCollector_20240307.LOG"},
      {"", "DataCollector", "20240307", ".LOG", "DataCollector_20240307.LOG"},
      {"1234", "DataCollector", "", ".elf", "1234_DataCollector.elf"},
      {"a<b>|c*\"d", "Src", "1", "", "abcd_Src_1"},
      {"C:\\x\\loc", "Src", "2", ".LOG", "loc_Src_2.LOG"},
      {"loc", "Src", "2", ".", "loc_Src_2"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TBaseLogFile::BuildFileName(Folder(), c.location, c.source, c.date, c.extension),
              InFolder(c.expected))
        << c.location;
  }
  // A folder given with its separator does not get a second one.
  EXPECT_EQ(TBaseLogFile::BuildFileName(InFolder(""), "1234", "DataCollector", "20240307", ".LOG"),
            InFolder("1234_DataCollector_20240307.LOG"));
  EXPECT_TRUE(std::filesystem::is_directory(Folder()));
  EXPECT_EQ(TBaseLogFile::LogNameSearchMask("12.3", "DataCollector", ".LOG"),
            "123_DataCollector_????????.LOG");

  // The registry's location code names the file; an empty one gives the default.
  ASSERT_TRUE(TOrvelRegistry::SetString(kLocalMachine, "\\Software\\Orvel", "OrvelLocationCode",
                                        "77.1"));
  EXPECT_EQ(TBaseLogFile::LogLocationCode(), "77.1");
  auto log = NewLog();
  log->AddLog("x");
  EXPECT_EQ(log->CurrentLogFileName(), InFolder("771_DataCollector_20240307.LOG"));
  ASSERT_TRUE(TOrvelRegistry::SetString(kLocalMachine, "\\Software\\Orvel", "OrvelLocationCode", ""));
  EXPECT_EQ(TBaseLogFile::LogLocationCode(), "------x---");
}

TEST_F(LogFileTest, UnwritableFileRaisesUnlessCaching) {
  std::filesystem::create_directories(FileOf("20240307"));  // a folder where the file should be
  auto strict = NewLog(false);
  EXPECT_THROW(strict->AddLog("lost"), EInOutError);
  EXPECT_FALSE(strict->Opened());
}

TEST_F(LogFileTest, FolderAndFileAreClosedToOtherUsersAndALinkIsNotFollowed) {
  NewLog()->AddLog("ClientToken line");
  const auto mode = [](const std::string& path) {
    return std::filesystem::status(path).permissions() & std::filesystem::perms::all;
  };
  using std::filesystem::perms;
  EXPECT_EQ(mode(Folder()), perms::owner_all | perms::group_read | perms::group_exec);
  EXPECT_EQ(mode(FileOf("20240307")), perms::owner_read | perms::owner_write | perms::group_read);

  // Tomorrow's file is a link someone planted to a file of root's.
  const std::string target = FDir.file("shadow");
  std::ofstream(target) << "root only\n";
  std::filesystem::create_symlink(target, FileOf("20240308"));
  now += 1.0;
  auto strict = NewLog(false);
  EXPECT_THROW(strict->AddLog("ClientToken line"), EInOutError);
  EXPECT_EQ(ReadBytes(target), "root only\n");
}

TEST_F(LogFileTest, CachedLinesKeepTheirTimeAndGoAheadOfTheNextWrite) {
  std::filesystem::create_directories(FileOf("20240307"));
  auto log = NewLog();
  EXPECT_NO_THROW(log->AddLog("first"));
  now += 2 * kOneSecond;
  EXPECT_NO_THROW(log->AddLog("second"));
  std::filesystem::remove(FileOf("20240307"));
  now += 2 * kOneSecond;
  log->AddLog("third");
  EXPECT_EQ(Lines(FileOf("20240307")),
            (std::vector<std::string>{"Date       Time          Message",
                                      "03/07/2024 14:05:13.123  Log File Created.",
                                      "03/07/2024 14:05:09.123  first",
                                      "03/07/2024 14:05:11.123  second",
                                      "03/07/2024 14:05:13.123  third"}));
  // Cached lines flushed later are not counted.
  EXPECT_EQ(log->Count(), 2);
}

TEST_F(LogFileTest, TheCacheKeepsTheNewestLinesAndCountsTheDroppedOnes) {
  std::filesystem::create_directories(FileOf("20240307"));  // the disk is "full"
  auto log = NewLog();
  const size_t extra = 25;
  const size_t total = TBaseLogFile::kMaxCachedLines + extra;
  for (size_t i = 0; i < total; ++i) log->AddLog("line " + std::to_string(i));
  std::filesystem::remove(FileOf("20240307"));
  now += kOneSecond;
  log->AddLog("after");

  const std::vector<std::string> lines = Lines(FileOf("20240307"));
  // Header, "Log File Created.", the note, the newest cached lines, "after".
  ASSERT_EQ(lines.size(), 3 + TBaseLogFile::kMaxCachedLines + 1);
  EXPECT_EQ(lines[2], "03/07/2024 14:05:10.123  25 earlier log lines were dropped while the log could not be "
                      "written");
  EXPECT_EQ(lines[3], "03/07/2024 14:05:09.123  line " + std::to_string(extra));
  EXPECT_EQ(lines[lines.size() - 2], "03/07/2024 14:05:09.123  line " + std::to_string(total - 1));
  EXPECT_EQ(lines.back(), "03/07/2024 14:05:10.123  after");
}

TEST_F(LogFileTest, DayChangeStartsANewFileAndCachedLinesStayWithTheirDay) {
  now = EncodeDateTime(2024, 3, 7, 23, 59, 58);
  auto log = NewLog();
  log->AddLog("evening");
  // The file cannot be written for a moment before midnight.
  std::filesystem::rename(FileOf("20240307"), FileOf("20240307") + ".moved");
  std::filesystem::create_directories(FileOf("20240307"));
  now = EncodeDateTime(2024, 3, 7, 23, 59, 59);
  log->AddLog("late");
  std::filesystem::remove(FileOf("20240307"));
  std::filesystem::rename(FileOf("20240307") + ".moved", FileOf("20240307"));

  now = EncodeDateTime(2024, 3, 8, 0, 0, 1);
  log->AddLog("morning");
  EXPECT_EQ(Lines(FileOf("20240307")),
            (std::vector<std::string>{"Date       Time          Message",
                                      "03/07/2024 23:59:58.000  Log File Created.",
                                      "03/07/2024 23:59:58.000  evening",
                                      "03/07/2024 23:59:59.000  late"}));
  EXPECT_EQ(Lines(FileOf("20240308")),
            (std::vector<std::string>{"Date       Time          Message",
                                      "03/08/2024 00:00:01.000  Log File Created.",
                                      "03/08/2024 00:00:01.000  morning"}));
}

TEST_F(LogFileTest, DestructionWritesWhatIsStillCached) {
  std::filesystem::create_directories(FileOf("20240307"));
  {
    auto log = NewLog();
    log->AddLog("pending");
    std::filesystem::remove(FileOf("20240307"));
  }
  const std::vector<std::string> lines = Lines(FileOf("20240307"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "03/07/2024 14:05:09.123  pending");
}

TEST_F(LogFileTest, ReadingTheFileBack) {
  auto log = NewLog();
  EXPECT_EQ(log->GetStrings(), nullptr);  // no file yet
  log->AddLog("one");
  log->AddLog("two");
  auto all = log->GetStrings();
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(all->size(), 4u);
  auto actual = log->GetActualStrings();
  ASSERT_NE(actual, nullptr);
  EXPECT_EQ(*actual, (std::vector<std::string>{"one", "two"}));
  // The last bytes, less the partial first line.
  auto tail = log->GetStrings(40);
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(*tail, (std::vector<std::string>{"03/07/2024 14:05:09.123  two"}));

  // A file of a single line comes back untouched.
  std::filesystem::remove_all(Folder());
  auto bare = NewLog();
  bare->UseHeader = false;
  bare->AddLog("only");
  auto single = bare->GetActualStrings();
  ASSERT_NE(single, nullptr);
  EXPECT_EQ(*single, (std::vector<std::string>{"03/07/2024 14:05:09.123  only"}));
  bare->Clear();
  EXPECT_FALSE(std::filesystem::exists(FileOf("20240307")));
}

TEST_F(LogFileTest, ProtectedWriterAddsThreadIdsAndKeepsLinesWhole) {
  TProtectedLogFile log("DataCollector", [this] { return now; });
  log.SetOverrideLogPath(Folder());
  constexpr int kThreads = 4;
  constexpr int kLines = 50;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i) log.AddLog("writer " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  for (std::thread& w : writers) w.join();
  const std::vector<std::string> lines = Lines(FileOf("20240307"));
  ASSERT_EQ(lines.size(), 2u + kThreads * kLines);
  for (size_t i = 1; i < lines.size(); ++i) {
    // "(ID ID) " after the time stamp: the same upper-case hex id twice.
    const std::string rest = lines[i].substr(25);
    ASSERT_EQ(rest[0], '(') << lines[i];
    const size_t blank = rest.find(' ');
    const size_t close = rest.find(") ");
    ASSERT_NE(close, std::string::npos) << lines[i];
    const std::string first = rest.substr(1, blank - 1);
    const std::string second = rest.substr(blank + 1, close - blank - 1);
    EXPECT_EQ(first, second);
    EXPECT_GE(first.size(), 4u);
    EXPECT_EQ(first.find_first_not_of("0123456789ABCDEF"), std::string::npos) << first;
  }

  log.AddThreadID = false;
  log.AddLog("plain");
  EXPECT_EQ(Lines(FileOf("20240307")).back(), "03/07/2024 14:05:09.123  plain");
}

// Retention: only the source's own daily files before the day go, whatever
// their location code; everything else in the folder stays.
TEST(LogRetention, RemovesOnlyTheSourcesDailyFilesBeforeTheDay) {
  TempDir dir("dc-retention");
  const struct {
    std::string name;
    bool removed;
  } cases[] = {
      {"SITE01_DataCollector_20240306.LOG", true},
      {"------x---_DataCollector_20231231.LOG", true},
      {"OTHER_DataCollector_20240101.elf", true},
      {"DataCollector_20240101.LOG", true},  // an empty location code
      {"SITE01_DataCollector_20240307.LOG", false},  // the oldest day kept
      {"SITE01_DataCollector_20240308.elf", false},
      {"SITE01_DataCollector_20240101.txt", false},
      {"SITE01_MyDataCollector_20240101.LOG", false},
      {"SITE01_DataCollector_2024010.LOG", false},
      {"SITE01_DataCollector_2024O101.LOG", false},
      {"SITE01_DataCollector_20240101.LOG.1", false},
      {"notes.LOG", false},
  };
  for (const auto& c : cases) std::ofstream(dir.file(c.name)) << "x";
  // A folder with a daily file's name is not deleted.
  std::filesystem::create_directory(dir.path() / "SITE02_DataCollector_20240101.LOG");

  const std::vector<std::string> removed = TBaseLogFile::RemoveDailyFilesBefore(
      dir.path().string(), "DataCollector", {".LOG", ".elf"}, EncodeDateTime(2024, 3, 7));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(std::filesystem::exists(dir.file(c.name)), !c.removed);
    EXPECT_EQ(std::count(removed.begin(), removed.end(), c.name), c.removed ? 1 : 0);
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("SITE02_DataCollector_20240101.LOG")));
  EXPECT_TRUE(TBaseLogFile::RemoveDailyFilesBefore(dir.file("missing"), "DataCollector", {".LOG"},
                                                   EncodeDateTime(2024, 3, 7))
                  .empty());
}

}  // namespace
