#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Shared/Orvel_Shared/DateTime.h"

// Where a message goes. The writers here have no on-screen echo, so only the
// file part applies: toBoth, toFile and toUpdateLine write to the file;
// toDisplay and toUpdateLineOnly do not.
enum class TLogOutputType { toBoth, toDisplay, toFile, toUpdateLine, toUpdateLineOnly };

// Fired for every message before it is written.
using TLogEvent = std::function<void(const std::string& Msg, TLogOutputType OutputType)>;
using TNotifyEvent = std::function<void()>;
// The wall clock used for file names and time stamps.
using TLogClock = std::function<TDateTime()>;

// A plain-text log, one file per calendar day, named
// "<location code>_<source name>_<YYYYMMDD>.LOG" in the log folder. The file
// is opened, appended to and closed for every message. Text is written in the
// system's ANSI code page (AnsiCodePage: Windows-1252 where the system's is
// not single-byte; what it cannot hold becomes "?") with CR LF line ends;
// messages are given in UTF-8.
//
// A new file starts with a header. Each line starts with a time stamp
// "MM/DD/YYYY HH:NN:SS.ZZZ" and two blanks. With CacheOnError set, a line that
// cannot be written is kept in memory with the time stamp of its first
// attempt and written ahead of the next line that can be; otherwise AddLog
// raises EInOutError. Lines cached before midnight go to the previous day's
// file. The cache holds at most kMaxCachedLines lines: beyond that the oldest
// are dropped, and a line stating how many goes ahead of the cached ones.
//
// No lock: the owner serialises calls (TProtectedLogFile does it itself).
class TBaseLogFile {
 public:
  static constexpr size_t kMaxCachedLines = 10000;

  // Reads the location code from the registry; touches no file.
  explicit TBaseLogFile(const std::string& SourceName, TLogClock Clock = nullptr);
  // Writes cached lines (a failed first attempt is retried once when
  // CacheOnError is set); lines that still cannot be written are lost.
  virtual ~TBaseLogFile();
  TBaseLogFile(const TBaseLogFile&) = delete;
  TBaseLogFile& operator=(const TBaseLogFile&) = delete;

  virtual void AddLog(const std::string& Msg, TLogOutputType OutputType = TLogOutputType::toBoth);
  // A null list does nothing.
  virtual void AddLogLines(const std::vector<std::string>* Messages,
                           TLogOutputType OutputType = TLogOutputType::toBoth);
  // Opens the current day's file for appending, creating it with its header
  // when missing. Raises EInOutError.
  virtual void Open();
  // Closes the file; never raises.
  virtual void Close();
  // Deletes the current file.
  virtual void Clear();
  virtual void StartNewLine() { LLastWasUpdateLine = false; }
  virtual void ResetCount() { FCount = 0; }

  // The lines of the current file (UTF-8, without line ends); with
  // BytesFromEnd > 0 only the last BytesFromEnd bytes, less the first
  // (partial) line of them. Null when the file does not exist or cannot be read.
  virtual std::unique_ptr<std::vector<std::string>> GetStrings(int BytesFromEnd = 0);
  // GetStrings, then, for more than one line: drops the first line, cuts the
  // time stamp (and prefix) from every line and drops leading lines that then
  // read "Log File Created.".
  std::unique_ptr<std::vector<std::string>> GetActualStrings(int BytesFromEnd = 0);

  // "OrvelLocationCode" under "\Software\Orvel", or "------x---" when missing or empty.
  static std::string LogLocationCode();
  // Creates Path; then Path + "/" + the cleaned "<LocationCode>_<SourceName>_<DateTimeStr><Extension>"
  // (the location code and the date part with their "_" left out when empty).
  // Raises EInOutError when the folder cannot be created.
  static std::string BuildFileName(const std::string& Path, const std::string& LocationCode,
                                   const std::string& SourceName, const std::string& DateTimeStr,
                                   const std::string& Extension);
  // BuildFileName in OverridePath (else the log folder) for the day of LogDate
  // (now when 0) as "YYYYMMDD".
  static std::string BuildLogFileName(const std::string& LocationCode, const std::string& SourceName,
                                      TDateTime LogDate, const std::string& OverridePath,
                                      const std::string& LogExtension);
  // Deletes in Folder the daily files of SourceName, of any location code,
  // whose day lies before OldestKeptDay: "<code>_<SourceName>_<YYYYMMDD>"
  // with one of Extensions. Only regular files are deleted, and nothing else;
  // a file that cannot be deleted is left. Returns the names of the files
  // deleted. Never raises.
  static std::vector<std::string> RemoveDailyFilesBefore(const std::string& Folder, const std::string& SourceName,
                                                         const std::vector<std::string>& Extensions,
                                                         TDateTime OldestKeptDay);
  // A wildcard matching every day's file of one source.
  static std::string LogNameSearchMask(const std::string& LocationCode,
                                       const std::string& SourceName,
                                       const std::string& LogExtension);

  bool Opened() const { return FOpened; }
  int Count() const { return FCount; }
  const std::string& CurrentLogFileName() const { return FCurrentLogFileName; }
  const std::string& SourceName() const { return FSourceName; }
  void SetSourceName(const std::string& value);
  const std::string& OverrideLocationCode() const { return FOverrideLocationCode; }
  void SetOverrideLocationCode(const std::string& value);
  const std::string& OverrideLogPath() const { return FOverrideLogPath; }
  void SetOverrideLogPath(const std::string& value);
  const std::string& OverrideLogExtension() const { return FOverrideLogExtension; }
  void SetOverrideLogExtension(const std::string& value);

  std::string Prefix;
  std::string CustomHeader;
  bool UseTimeStamp = true;
  bool UseHeader = true;
  bool UseDateInFile = true;
  bool CacheOnError = false;
  TNotifyEvent OnLogUpdate;
  TLogEvent OnAddLog;

 protected:
  // Rebuilds the file name when forced or when the day changed; true when it changed.
  virtual bool UpdateFileName();
  // What goes ahead of a message on its line: the time stamp (unless NoTime)
  // and the prefix.
  virtual std::string LineHead(bool NoTime);
  // LineHead and the message up to its first NUL.
  std::string FormatLine(const std::string& Msg, bool NoTime);
  virtual void WriteLine(const std::string& Msg);
  virtual void WriteHeader();
  virtual void WriteToFile(const std::string& Msg);
  virtual void WriteLinesToFile(const std::vector<std::string>& Messages);
  virtual void DoAddLog(const std::string& Msg, TLogOutputType OutputType);
  std::string TimeStamp() const;
  TDateTime Now() const { return LClock(); }

 private:
  // A line longer than this is written in pieces of this size.
  static constexpr size_t kLongLine = 64 * 1024;

  void FlushCache();
  void WriteRaw(const std::string& formattedLine);
  // Writes head and text as one line in the ANSI code page; raises EInOutError.
  void WriteParts(std::string_view head, std::string_view text);
  // Writes the messages, caching those that cannot be written when
  // CacheOnError is set.
  void WriteMessages(std::span<const std::string> Messages);

  TLogClock LClock;
  bool LForceNameUpdate = true;
  std::string FSourceName;
  std::string LLocationCode;
  bool LLastWasUpdateLine = false;
  // Lines waiting for the file, oldest first; at most kMaxCachedLines, the
  // oldest being dropped (and counted) beyond that.
  std::unique_ptr<std::deque<std::string>> LLineCache;
  size_t LDroppedLines = 0;
  std::string FCurrentLogFileName;
  TDateTime LCurrentLogDate = 0;
  std::string FOverrideLocationCode;
  std::string FOverrideLogPath;
  std::string FOverrideLogExtension;
  struct TFile;
  std::unique_ptr<TFile> LFile;
  bool FOpened = false;
  int FCount = 0;
};

// TBaseLogFile behind a lock: AddLog and AddLogLines run under it, and Lock /
// Unlock give callers a longer exclusive section. With AddThreadID (the
// default) each line carries the writing thread's id after the time stamp.
class TProtectedLogFile : public TBaseLogFile {
 public:
  explicit TProtectedLogFile(const std::string& SourceName, TLogClock Clock = nullptr);

  void AddLog(const std::string& Msg, TLogOutputType OutputType = TLogOutputType::toBoth) override;
  void AddLogLines(const std::vector<std::string>* Messages,
                   TLogOutputType OutputType = TLogOutputType::toBoth) override;
  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }

  bool AddThreadID = true;

 protected:
  std::string LineHead(bool NoTime) override;

 private:
  std::recursive_mutex FLock;
};
