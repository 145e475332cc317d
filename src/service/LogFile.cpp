#include "service/LogFile.h"

#include <algorithm>
#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "Shared/Orvel_Shared/AnsiText.h"
#include "Shared/Orvel_Shared/OrvelClasses.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "platform/Files.h"
#include "platform/ServiceHost.h"

namespace {

const char kDefaultLocationCode[] = "------x---";
const char kDefaultExtension[] = ".LOG";
const char kLineEnd[] = "\r\n";

std::string RemoveNameChars(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string_view("/\\\"|<>*:.?").find(c) == std::string_view::npos) out += c;
  }
  return out;
}

// A message is written up to its first NUL.
std::string_view MessageText(const std::string& msg) {
  return std::string_view(msg).substr(0, msg.find('\0'));
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Keeps the part after the last "\" or ":", then cleans base and extension.
std::string CleanFileName(const std::string& name) {
  const size_t cut = name.find_last_of("\\:");
  const std::string tail = cut == std::string::npos ? name : name.substr(cut + 1);
  const size_t dot = tail.rfind('.');
  const std::string base = RemoveNameChars(dot == std::string::npos ? tail : tail.substr(0, dot));
  const std::string ext = dot == std::string::npos ? "" : RemoveNameChars(tail.substr(dot + 1));
  return ext.empty() ? base : base + "." + ext;
}

}  // namespace

// The log can hold the site's secrets and personal data, and the service runs
// as root: the folder is closed to others (kLogFolderPermissions), and the
// file is opened refusing anything another user could have put in its place
// (see platform::AppendFile).
struct TBaseLogFile::TFile {
  std::unique_ptr<platform::AppendFile> file;
};

TBaseLogFile::TBaseLogFile(const std::string& SourceName, TLogClock Clock)
    : LClock(Clock ? std::move(Clock) : TLogClock(DateTimeNow)),
      FSourceName(SourceName),
      LLocationCode(LogLocationCode()) {}

TBaseLogFile::~TBaseLogFile() {
  if (LLineCache && !LLineCache->empty()) {
    for (int attempt = 0; attempt < (CacheOnError ? 2 : 1); ++attempt) {
      try {
        FlushCache();
        break;
      } catch (...) {
      }
    }
  }
  Close();
}

void TBaseLogFile::SetSourceName(const std::string& value) {
  if (value != FSourceName) LForceNameUpdate = true;
  FSourceName = value;
}
void TBaseLogFile::SetOverrideLocationCode(const std::string& value) {
  if (value != FOverrideLocationCode) LForceNameUpdate = true;
  FOverrideLocationCode = value;
}
void TBaseLogFile::SetOverrideLogPath(const std::string& value) {
  if (value != FOverrideLogPath) LForceNameUpdate = true;
  FOverrideLogPath = value;
}
void TBaseLogFile::SetOverrideLogExtension(const std::string& value) {
  if (value != FOverrideLogExtension) LForceNameUpdate = true;
  FOverrideLogExtension = value;
}

std::string TBaseLogFile::LogLocationCode() {
  try {
    return TOrvelRegistry::GetString(kLocalMachine, "\\Software\\Orvel", "OrvelLocationCode",
                                     kDefaultLocationCode);
  } catch (const std::exception&) {
    // An unreadable registry must not keep the log from being written.
    return kDefaultLocationCode;
  }
}

std::string TBaseLogFile::BuildFileName(const std::string& Path, const std::string& LocationCode,
                                        const std::string& SourceName,
                                        const std::string& DateTimeStr,
                                        const std::string& Extension) {
  try {
    platform::CreateFolders(Path, kLogFolderPermissions);
  } catch (const std::system_error& e) {
    throw EInOutError("Unable to create folder " + Path + ": " + e.code().message());
  }
  std::string name = LocationCode.empty() ? "" : LocationCode + "_";
  name += SourceName;
  if (!DateTimeStr.empty()) name += "_" + DateTimeStr;
  name += Extension;
  const std::string folder = Path.empty() ? std::string(1, platform::PathSeparator()) : platform::WithPathSeparator(Path);
  return folder + CleanFileName(name);
}

std::string TBaseLogFile::BuildLogFileName(const std::string& LocationCode,
                                           const std::string& SourceName, TDateTime LogDate,
                                           const std::string& OverridePath,
                                           const std::string& LogExtension) {
  if (LogDate == 0) LogDate = DateTimeNow();
  const std::string folder = OverridePath.empty() ? GetLogFolder() : OverridePath;
  return BuildFileName(folder, LocationCode, SourceName, DateToYYYYMMDD(LogDate), LogExtension);
}

std::vector<std::string> TBaseLogFile::RemoveDailyFilesBefore(const std::string& Folder,
                                                           const std::string& SourceName,
                                                           const std::vector<std::string>& Extensions,
                                                           TDateTime OldestKeptDay) {
  namespace fs = std::filesystem;
  std::vector<std::string> removed;
  const std::string oldestKept = DateToYYYYMMDD(OldestKeptDay);
  const std::string infix = SourceName + "_";
  std::error_code error;
  fs::directory_iterator entries(Folder, error);
  if (error) return removed;
  for (const fs::directory_entry& entry : entries) {
    const std::string name = entry.path().filename().string();
    for (const std::string& extension : Extensions) {
      // "<code>_<source>_" + 8 digits + extension; the code may be empty.
      const size_t tail = 8 + extension.size();
      if (name.size() < infix.size() + tail || name.compare(name.size() - extension.size(), extension.size(), extension) != 0)
        continue;
      const std::string day = name.substr(name.size() - tail, 8);
      if (day.find_first_not_of("0123456789") != std::string::npos) continue;
      const size_t sourceAt = name.size() - tail - infix.size();
      if (name.compare(sourceAt, infix.size(), infix) != 0) continue;
      if (sourceAt > 0 && name[sourceAt - 1] != '_') continue;
      if (day >= oldestKept) continue;
      std::error_code ignored;
      if (!fs::is_regular_file(fs::symlink_status(entry.path(), ignored))) continue;
      if (fs::remove(entry.path(), ignored)) removed.push_back(name);
    }
  }
  std::sort(removed.begin(), removed.end());
  return removed;
}

std::string TBaseLogFile::LogNameSearchMask(const std::string& LocationCode,
                                            const std::string& SourceName,
                                            const std::string& LogExtension) {
  return RemoveNameChars(LocationCode) + "_" + SourceName + "_????????" + LogExtension;
}

bool TBaseLogFile::UpdateFileName() {
  const TDateTime today = DateOf(Now());
  if (!LForceNameUpdate && today == LCurrentLogDate) return false;
  // Date first: the flush below opens the file through this operation and
  // must find the name unchanged, so that cached lines go to the old day.
  LCurrentLogDate = today;
  LForceNameUpdate = false;
  if (!FCurrentLogFileName.empty()) {
    try {
      FlushCache();
    } catch (...) {
      // The old file cannot take them: the lines stay cached and go ahead of
      // the next line written to the new file.
      Close();
    }
  }
  try {
    FCurrentLogFileName = BuildLogFileName(
        FOverrideLocationCode.empty() ? LLocationCode : FOverrideLocationCode, FSourceName, today,
        FOverrideLogPath,
        FOverrideLogExtension.empty() ? kDefaultExtension : FOverrideLogExtension);
  } catch (...) {
    LForceNameUpdate = true;
    throw;
  }
  return true;
}

void TBaseLogFile::Open() {
  if (!UpdateFileName() && FOpened) return;
  Close();
  if (!LFile) LFile = std::make_unique<TFile>();
  try {
    LFile->file = platform::OpenAppendFile(FCurrentLogFileName);
  } catch (const std::system_error& e) {
    throw EInOutError("Unable to open log file " + FCurrentLogFileName + ": " + e.what());
  }
  FOpened = true;
  if (LFile->file->Created()) WriteHeader();
}

void TBaseLogFile::Close() {
  if (!FOpened) return;
  FOpened = false;
  LFile->file.reset();
}

void TBaseLogFile::Clear() {
  Close();
  UpdateFileName();
  std::error_code ignored;
  std::filesystem::remove(FCurrentLogFileName, ignored);
}

std::string TBaseLogFile::TimeStamp() const {
  if (!UseTimeStamp) return {};
  const TDateTimeFields f = DecodeDateTime(Now());
  char buffer[48];
  if (UseDateInFile) {
    std::snprintf(buffer, sizeof buffer, "%02d/%02d/%04d %02d:%02d:%02d.%03d  ", f.month, f.day,
                  f.year, f.hour, f.minute, f.second, f.millisecond);
  } else {
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d  ", f.hour, f.minute, f.second,
                  f.millisecond);
  }
  return buffer;
}

std::string TBaseLogFile::LineHead(bool NoTime) {
  std::string head = NoTime ? std::string() : TimeStamp();
  if (!Prefix.empty()) head += Prefix + ":";
  return head;
}

std::string TBaseLogFile::FormatLine(const std::string& Msg, bool NoTime) {
  std::string line = LineHead(NoTime);
  line += MessageText(Msg);
  return line;
}

void TBaseLogFile::WriteRaw(const std::string& formattedLine) { WriteParts({}, formattedLine); }

void TBaseLogFile::WriteParts(std::string_view head, std::string_view text) {
  try {
    if (head.size() + text.size() <= kLongLine) {
      // One write per line: another process appending to the same file (an
      // operator mode beside the service) cannot split it.
      std::string line(head);
      line += text;
      Utf8ToSystemAnsiInPlace(line);
      line += kLineEnd;
      LFile->file->Append(line);
      return;
    }
    // A long line (a logged document) is converted and written a piece at a
    // time, so that it is never copied whole. A piece ends before a byte that
    // starts a character: no sequence is split, and the conversion of the
    // pieces equals that of the whole.
    LFile->file->Append(Utf8ToSystemAnsi(head));
    size_t start = 0;
    while (start < text.size()) {
      size_t end = std::min(text.size(), start + kLongLine);
      if (end < text.size()) {
        size_t cut = end;
        for (int back = 0; back < 3 && cut > start + 1 && IsContinuationByte(text[cut]); ++back) --cut;
        if (!IsContinuationByte(text[cut])) end = cut;
      }
      LFile->file->Append(Utf8ToSystemAnsi(text.substr(start, end - start)));
      start = end;
    }
    LFile->file->Append(kLineEnd);
  } catch (const std::system_error& e) {
    throw EInOutError("Unable to write log file " + FCurrentLogFileName + ": " + e.code().message());
  }
}

void TBaseLogFile::WriteLine(const std::string& Msg) {
  WriteParts(LineHead(false), MessageText(Msg));
  ++FCount;
}

void TBaseLogFile::WriteHeader() {
  if (!UseHeader) return;
  if (!CustomHeader.empty()) {
    WriteRaw(CustomHeader);
    return;
  }
  WriteRaw("Date       Time          Message");
  WriteLine("Log File Created.");
}

void TBaseLogFile::FlushCache() {
  if (!LLineCache || LLineCache->empty()) return;
  Open();
  if (LDroppedLines > 0) {
    WriteRaw(FormatLine(std::to_string(LDroppedLines) +
                            " earlier log lines were dropped while the log could not be written",
                        false));
    LDroppedLines = 0;
  }
  while (!LLineCache->empty()) {
    WriteRaw(LLineCache->front());
    LLineCache->pop_front();
  }
}

void TBaseLogFile::WriteToFile(const std::string& Msg) {
  WriteMessages(std::span<const std::string>(&Msg, 1));
}

void TBaseLogFile::WriteLinesToFile(const std::vector<std::string>& Messages) { WriteMessages(Messages); }

void TBaseLogFile::WriteMessages(std::span<const std::string> Messages) {
  size_t written = 0;
  try {
    Open();
    FlushCache();
    for (; written < Messages.size(); ++written) WriteLine(Messages[written]);
    Close();
  } catch (...) {
    // Close never raises; the messages not yet written keep the time stamp of
    // this first attempt.
    Close();
    if (!CacheOnError) throw;
    if (!LLineCache) LLineCache = std::make_unique<std::deque<std::string>>();
    for (; written < Messages.size(); ++written) {
      LLineCache->push_back(FormatLine(Messages[written], false));
      if (LLineCache->size() > kMaxCachedLines) {
        LLineCache->pop_front();
        ++LDroppedLines;
      }
    }
  }
}

void TBaseLogFile::DoAddLog(const std::string& Msg, TLogOutputType OutputType) {
  if (OnAddLog) OnAddLog(Msg, OutputType);
}

namespace {
bool GoesToFile(TLogOutputType type) {
  return type == TLogOutputType::toBoth || type == TLogOutputType::toFile ||
         type == TLogOutputType::toUpdateLine;
}
}  // namespace

void TBaseLogFile::AddLog(const std::string& Msg, TLogOutputType OutputType) {
  if (OutputType == TLogOutputType::toBoth || OutputType == TLogOutputType::toDisplay) {
    LLastWasUpdateLine = false;
  } else if (OutputType == TLogOutputType::toUpdateLine ||
             OutputType == TLogOutputType::toUpdateLineOnly) {
    LLastWasUpdateLine = true;
  }
  DoAddLog(Msg, OutputType);
  if (GoesToFile(OutputType)) WriteToFile(Msg);
  if (OnLogUpdate) OnLogUpdate();
}

void TBaseLogFile::AddLogLines(const std::vector<std::string>* Messages, TLogOutputType OutputType) {
  if (Messages == nullptr) return;
  if (OutputType == TLogOutputType::toBoth || OutputType == TLogOutputType::toDisplay) {
    LLastWasUpdateLine = false;
  }
  for (const std::string& msg : *Messages) DoAddLog(msg, OutputType);
  if (GoesToFile(OutputType)) WriteLinesToFile(*Messages);
  if (OnLogUpdate) OnLogUpdate();
}

std::unique_ptr<std::vector<std::string>> TBaseLogFile::GetStrings(int BytesFromEnd) {
  try {
    UpdateFileName();
    std::ifstream in(FCurrentLogFileName, std::ios::binary);
    if (!in.is_open()) return nullptr;
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    bool dropFirst = false;
    if (BytesFromEnd > 0 && static_cast<size_t>(BytesFromEnd) < text.size()) {
      text = text.substr(text.size() - static_cast<size_t>(BytesFromEnd));
      dropFirst = true;
    }
    auto lines = std::make_unique<std::vector<std::string>>();
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines->push_back(SystemAnsiToUtf8(line));
      start = end + 1;
    }
    if (dropFirst && !lines->empty()) lines->erase(lines->begin());
    return lines;
  } catch (...) {
    return nullptr;
  }
}

std::unique_ptr<std::vector<std::string>> TBaseLogFile::GetActualStrings(int BytesFromEnd) {
  auto lines = GetStrings(BytesFromEnd);
  if (!lines || lines->size() <= 1) return lines;
  lines->erase(lines->begin());
  size_t cut = TimeStamp().size();
  if (!Prefix.empty()) cut += Prefix.size() + 1;
  for (std::string& line : *lines) line = line.size() > cut ? line.substr(cut) : std::string();
  while (!lines->empty() && SameTextAscii(lines->front(), "Log File Created.")) {
    lines->erase(lines->begin());
  }
  return lines;
}

TProtectedLogFile::TProtectedLogFile(const std::string& SourceName, TLogClock Clock)
    : TBaseLogFile(SourceName, std::move(Clock)) {}

void TProtectedLogFile::AddLog(const std::string& Msg, TLogOutputType OutputType) {
  std::lock_guard<std::recursive_mutex> hold(FLock);
  TBaseLogFile::AddLog(Msg, OutputType);
}

void TProtectedLogFile::AddLogLines(const std::vector<std::string>* Messages,
                                    TLogOutputType OutputType) {
  std::lock_guard<std::recursive_mutex> hold(FLock);
  TBaseLogFile::AddLogLines(Messages, OutputType);
}

std::string TProtectedLogFile::LineHead(bool NoTime) {
  if (!AddThreadID) return TBaseLogFile::LineHead(NoTime);
  std::string head = NoTime ? std::string() : TimeStamp();
  char id[40];
  const auto threadId = static_cast<unsigned long long>(platform::CurrentThreadId());
  std::snprintf(id, sizeof id, "(%04llX %04llX) ", threadId, threadId);
  head += id;
  if (!Prefix.empty()) head += Prefix + ":";
  return head;
}
