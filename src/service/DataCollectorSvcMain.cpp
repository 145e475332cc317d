#include "service/DataCollectorSvcMain.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "collector/DataCollector.h"
#include "platform/CrashReport.h"
#include "platform/EventLog.h"
#include "platform/Files.h"
#include "platform/ServiceControl.h"
#include "platform/ServiceReporter.h"
#include "service/LogFile.h"
#include "service/OperatorModes.h"

namespace {

constexpr std::uint32_t kDefaultTickMs = 1000;
const char kLogSource[] = "DataCollector";
const char kCrashTestFile[] = "crashtest.xyztxt";
constexpr std::uint32_t kStopRepeatMs = 100;
constexpr int32_t kInitializeRetrySeconds = 300;

// The wait after the failures-th failed cycle in a row: 1 second, doubling up
// to the initialisation interval.
int32_t BackOffSeconds(int32_t failures) {
  const int32_t doublings = std::min(failures - 1, 9);
  return std::min<int32_t>(int32_t{1} << doublings, kInitializeRetrySeconds);
}

std::uint32_t TickLength() {
  const char* text = std::getenv("DC_TICK_MS");
  if (text == nullptr) return kDefaultTickMs;
  std::uint32_t value = 0;
  const char* end = text + std::char_traits<char>::length(text);
  const auto [stop, error] = std::from_chars(text, end, value);
  return error == std::errc() && stop == end && value > 0 ? value : kDefaultTickMs;
}

// "HH:NN:SS" of a date-time.
std::string ClockTime(TDateTime value) {
  const TDateTimeFields fields = DecodeDateTime(value);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", fields.hour % 100, fields.minute % 100, fields.second % 100);
  return text;
}

}  // namespace

std::string JoinCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& arg : args) {
    if (!line.empty()) line += ' ';
    if (arg.empty() || arg.find_first_of(" \t") != std::string::npos) {
      line += '"' + arg + '"';
    } else {
      line += arg;
    }
  }
  return line;
}

bool FindCmdLineSwitch(const std::vector<std::string>& args, const std::string& name) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() > 1 && (arg[0] == '/' || arg[0] == '-') && SameTextAscii(arg.substr(1), name)) {
      return true;
    }
  }
  return false;
}

TDataCollectorSvc::TDataCollectorSvc(platform::ServiceHost& host, platform::CrashReporter* reporter,
                                     std::string ProgramFolder, std::string LogFolder)
    : LHost(host),
      LReporter(reporter),
      LProgramFolder(platform::WithPathSeparator(ProgramFolder.empty() ? GetApplicationFolder() : ProgramFolder)),
      LLogFolder(std::move(LogFolder)),
      LTickMs(TickLength()) {
  std::error_code error;
  std::filesystem::current_path(LProgramFolder, error);
  if (error) {
    throw EInOutError("Unable to change to folder " + LProgramFolder + ": " + error.message());
  }
  LTimer = LHost.CreateTimer(1, [this] { TimerTick(); });
  // Reading the version scans the program file; done once here, it never
  // delays the start-up lines behind the first ticks.
  GetCollectorVersion();
}

TDataCollectorSvc::~TDataCollectorSvc() {
  LStopping = true;
  if (LTimer) {
    LTimer->SetEnabled(false);
    LTimer->WaitForTick();
  }
  LDataCollector.reset();
  LTimer.reset();
}

std::unique_ptr<TDataCollector> TDataCollectorSvc::NewCollector(TDataCollectorOnLog onLog) {
  return std::make_unique<TDataCollector>(std::move(onLog));
}

std::string TDataCollectorSvc::CrashTestFile() const { return LProgramFolder + kCrashTestFile; }

std::string TDataCollectorSvc::ReportFileFor(TDateTime day) const {
  return TBaseLogFile::BuildLogFileName(TBaseLogFile::LogLocationCode(), kLogSource, day, LLogFolder,
                                        ".elf");
}

int TDataCollectorSvc::Run(const std::vector<std::string>& args) {
  AddLog(JoinCommandLine(args), false);
  if (FindCmdLineSwitch(args, "Upgrade")) {
    AddLog(std::string("Upgrade to ") + kName + " (" + GetCollectorVersion() + ")", false);
    return 0;
  }
  if (const std::string mode = TOperatorModes::SelectedMode(args); !mode.empty()) {
    return TOperatorModes([this](const std::string& msg, bool) { AddLog(msg, false); }, std::cout,
                          std::cerr)
        .Run(mode);
  }
  const bool installing = FindCmdLineSwitch(args, "INSTALL") || FindCmdLineSwitch(args, "UNINSTALL");
  try {
    if (installing) return RegisterService(FindCmdLineSwitch(args, "INSTALL"), FindCmdLineSwitch(args, "SILENT"));
    // Lets an uninstall stop this process; held until the service has ended.
    const auto runMark = platform::MarkServiceRunning(kName, LProgramFolder,
                                                      [this](const std::string& msg) { AddLog(msg, false); });
    if (LServiceReporter == nullptr) {
      LOwnServiceReporter = platform::OpenServiceReporter(kName);
      LServiceReporter = LOwnServiceReporter.get();
    }
    return LHost.Run(*this);
  } catch (...) {
    AddLog("Exception: " + CurrentExceptionMessage(), true);
    if (installing && !FindCmdLineSwitch(args, "silent")) throw;
    if (!installing) std::cerr << "DataCollector: " << CurrentExceptionMessage() << "\n";
    return 1;
  }
}

void TDataCollectorSvc::RemoveOldLogs(TDateTime today) {
  int32_t days = TDataCollectorConfiguration::kDefaultLogRetentionDays;
  try {
    TDataCollectorConfiguration cfg;
    cfg.LoadRegistryConfiguration();
    days = cfg.LogRetentionDays();
  } catch (...) {
    // An unreadable hive keeps the default, as a missing value does.
  }
  if (days <= 0 || LLogFile->CurrentLogFileName().empty()) return;
  const std::string folder = std::filesystem::path(LLogFile->CurrentLogFileName()).parent_path().string();
  const std::vector<std::string> removed =
      TBaseLogFile::RemoveDailyFilesBefore(folder, kLogSource, {".LOG", ".elf"}, today - days);
  if (removed.empty()) return;
  std::string names;
  for (const std::string& name : removed) names += (names.empty() ? "" : ", ") + name;
  LLogFile->AddLog("Removed " + std::to_string(removed.size()) + " log file(s) older than " + std::to_string(days) +
                       " days (LogRetentionDays): " + names,
                   TLogOutputType::toBoth);
}

void TDataCollectorSvc::AddLog(const std::string& Msg, bool ToSysLog) {
  std::lock_guard<std::mutex> hold(LCritical);
  if (ToSysLog) {
    try {
      if (!LEventLog) LEventLog = platform::OpenEventLog(kName);
      LEventLog->ReportError(Msg);
    } catch (...) {
    }
    if (LServiceReporter != nullptr) LServiceReporter->Report(platform::ReportSeverity::Error, Msg);
  }
  try {
    if (!LLogFile) {
      auto logFile = std::make_unique<TBaseLogFile>(kLogSource);
      logFile->SetOverrideLogPath(LLogFolder);
      logFile->CacheOnError = true;
      LLogFile = std::move(logFile);
    }
    const TDateTime today = DateOf(DateTimeNow());
    const bool newDay = today != LLogDate;
    if (newDay) {
      LLogDate = today;
      if (LReporter != nullptr) LReporter->SetReportFile(ReportFileFor(today));
      LLogFile->AddLog("  " + std::string(50, '-'), TLogOutputType::toBoth);
    }
    LLogFile->AddLog(Msg, TLogOutputType::toBoth);
    if (newDay) RemoveOldLogs(today);
  } catch (...) {
  }
}

bool TDataCollectorSvc::ServiceStart() {
  AddLog("Service Starting", false);
  CreateCollector();
  LTimer->SetInterval(LTickMs / 2 > 0 ? LTickMs / 2 : 1);
  LTimer->SetEnabled(true);
  AddLog("Service Start complete", false);
  if (LServiceReporter != nullptr) {
    LServiceReporter->Ready();
    LServiceReporter->Status("Started; first cycle in " + std::to_string(LCycleSeconds) + " s");
  }
  return true;
}

void TDataCollectorSvc::CreateCollector() {
  if (LDataCollector) return;
  LDataCollector = NewCollector([this](const std::string& msg, bool toSysLog) {
    if (LUninstallEcho != nullptr) *LUninstallEcho << "    " << msg << std::endl;
    AddLog(msg, toSysLog);
  });
  LDataCollector->SetOnUpdating([this](bool uninstall) { CollectorUpdating(uninstall); });
}

void TDataCollectorSvc::ServiceExecute(platform::ServiceThread& thread) {
  try {
    AddLog("Data Collector (" + GetCollectorVersion() + ") Ready", false);
    while (!thread.Terminated()) thread.ProcessRequests(true);
  } catch (...) {
    // Ends the service thread without a log line.
  }
}

bool TDataCollectorSvc::ServiceStop() {
  LStopping = true;
  LTimer->SetEnabled(false);
  if (LServiceReporter != nullptr) {
    LServiceReporter->Stopping();
    LServiceReporter->Status("Stopping");
  }
  if (LDataCollector) {
    AddLog("Service Stopping", false);
    // A cycle may be running on the main thread: its network and database
    // waits end now, and the collector is shut down only after the tick. The
    // request is repeated while the tick runs, so that a statement the cycle
    // starts after the first request is cancelled as well.
    std::uint32_t waited = 0;
    do {
      LDataCollector->RequestStop();
      if (waited >= LCycleStopLimitMs) {
        // Freeing the collector under the cycle would crash; waiting longer
        // would only have the service manager kill the process without a word.
        AddLog("Service Stop: the running cycle did not end within " + std::to_string(LCycleStopLimitMs / 1000) +
                   " s; the process ends without waiting for it",
               true);
        std::_Exit(1);
      }
      waited += kStopRepeatMs;
    } while (!LTimer->WaitForTickFor(kStopRepeatMs));
    LTimer->SetEnabled(false);
    LDataCollector->Shutdown();
    LDataCollector.reset();
    AddLog("Service Stopped", false);
  }
  return true;
}

void TDataCollectorSvc::ServiceParamChange() {
  AddLog("Reload request received: the log file is reopened", false);
  std::lock_guard<std::mutex> hold(LCritical);
  // The old writer writes what it still caches as it goes.
  LLogFile.reset();
}

void TDataCollectorSvc::ServiceShutdown() {
  AddLog("Service Shutdown", false);
  ServiceStop();
  AddLog("Service Shutdown complete", false);
}

void TDataCollectorSvc::CollectorUpdating(bool Uninstall) {
  AddLog(Uninstall ? "Preparing to shut down to uninstall" : "Preparing to shut down for update",
         false);
  LTimer->SetEnabled(false);
  LDataCollector->Shutdown();
}

void TDataCollectorSvc::TimerTick() {
  LTimer->SetEnabled(false);
  if (LStopping || !LDataCollector) return;

  // Runs however the tick ends, the escaping test exception included.
  struct TReenable {
    TDataCollectorSvc& svc;
    ~TReenable() {
      try {
        if (!svc.LStopping && svc.LDataCollector && svc.LDataCollector->Active()) {
          svc.LTimer->SetEnabled(true);
        }
      } catch (...) {
      }
    }
  } reenable{*this};

  if (LTimer->Interval() != LTickMs) LTimer->SetInterval(LTickMs);
  if (LCycleSeconds > 0) {
    --LCycleSeconds;
    return;
  }
  const std::string marker = CrashTestFile();
  if (std::filesystem::exists(marker)) {
    throw EOrvelError("QA Test Exception.  Remove " + marker +
                      " in order to return to normal operations");
  }
  if (!LDataCollector->Active()) return;
  const TDateTime tickStart = DateTimeNow();
  LDataCollector->ForgetProblems();
  if (!LDataCollector->Initialized()) {
    LCycleSeconds = kInitializeRetrySeconds;
    std::string raised;
    try {
      LDataCollector->Initialize();
      LInitFailures = 0;
    } catch (...) {
      ++LInitFailures;
      raised = CurrentExceptionMessage();
      AddLog("Exception during initialization: " + raised, LInitFailures == 1);
    }
    if (!LDataCollector->Initialized() && LDataCollector->Active()) {
      const std::string reason = raised.empty() ? TickProblemText() : raised;
      ReportOutcome(platform::ReportSeverity::Error, "Not initialized" + (reason.empty() ? "" : ": " + reason) +
                                                         "; next attempt in " + std::to_string(LCycleSeconds) + " s");
    }
  }
  if (LDataCollector->Initialized()) {
    bool failed = false;
    bool raised = false;
    std::string raisedMessage;
    int32_t wait = 0;
    try {
      LDataCollector->RunCycle();
      wait = LDataCollector->ResendDelay() > 0 ? LDataCollector->ResendDelay() * 60
                                               : LDataCollector->CycleTime();
      failed = LDataCollector->LastCycleFailed();
    } catch (...) {
      failed = true;
      raised = true;
      raisedMessage = CurrentExceptionMessage();
      AddLog("Exception during processing cycle: " + raisedMessage, LCycleFailures == 0);
    }
    if (failed) {
      ++LCycleFailures;
      wait = std::max(wait, BackOffSeconds(LCycleFailures));
      AddLog("Cycle failed (" + std::to_string(LCycleFailures) + " in a row); next attempt in " +
                 std::to_string(wait) + " seconds",
             LCycleFailures == 1 && !raised);
    } else {
      LCycleFailures = 0;
    }
    LCycleSeconds = wait;
    ReportCycle(failed, raisedMessage, tickStart);
  }
}

std::string TDataCollectorSvc::TickProblemText() const {
  const auto& problems = LDataCollector->Problems();
  for (auto problem = problems.rbegin(); problem != problems.rend(); ++problem) {
    if (problem->Severity != TProblemSeverity::Error) continue;
    // The summary names the problem without its log line's severity tag.
    constexpr std::string_view kTag = "ERROR: ";
    const std::string& text = problem->Text;
    return text.compare(0, kTag.size(), kTag) == 0 ? text.substr(kTag.size()) : text;
  }
  return {};
}

void TDataCollectorSvc::ReportOutcome(platform::ReportSeverity severity, const std::string& summary) {
  if (LServiceReporter == nullptr) return;
  LServiceReporter->Report(severity, summary);
  LServiceReporter->Status(summary);
}

void TDataCollectorSvc::ReportCycle(bool failed, const std::string& raisedMessage, TDateTime tickStart) {
  if (LServiceReporter == nullptr || !LDataCollector->Active()) return;
  const std::string reason = raisedMessage.empty() ? TickProblemText() : raisedMessage;
  const std::string because = reason.empty() ? std::string() : ": " + reason;
  const std::string next = std::to_string(LCycleSeconds) + " s";
  if (failed) {
    ReportOutcome(platform::ReportSeverity::Error, "Cycle failed (" + std::to_string(LCycleFailures) +
                                                       " in a row)" + because + "; next attempt in " + next);
    return;
  }
  const TCycleStatistics& stats = LDataCollector->LastCycleStats();
  if (stats.SendStart < tickStart || !stats.PostResult) {
    ReportOutcome(platform::ReportSeverity::Warning, "Cycle ended without a post" + because + "; next cycle in " + next);
    return;
  }
  const std::string at = ClockTime(stats.SendEnd);
  const std::string sales = std::to_string(stats.SalesSent) + (stats.SalesSent == 1 ? " sale" : " sales");
  switch (*stats.PostResult) {
    case TPostResult::Accepted:
      ReportOutcome(platform::ReportSeverity::Information,
                    "Last post accepted " + at + ", " + sales + "; next cycle in " + next);
      break;
    case TPostResult::AnswerUnreadable:
      ReportOutcome(platform::ReportSeverity::Warning, "Last post taken " + at + ", " + sales +
                                                           ", but the server's answer was unreadable; the data "
                                                           "travels again; next cycle in " + next);
      break;
    case TPostResult::Resend:
      ReportOutcome(platform::ReportSeverity::Warning,
                    "Post at " + at + " not accepted" + because + "; resending in " + next);
      break;
    case TPostResult::Reinitialize:
      ReportOutcome(platform::ReportSeverity::Warning,
                    "Post at " + at + ": the server asked to initialize again; next cycle in " + next);
      break;
  }
}
