#pragma once

#include <atomic>
#include <iosfwd>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/CollectorCallbacks.h"
#include "Shared/Orvel_Shared/DateTime.h"
#include "platform/ServiceHost.h"

class TDataCollector;
class TBaseLogFile;
namespace platform {
class CrashReporter;
class EventLog;
class ServiceControl;
class ServiceReporter;
enum class ReportSeverity;
}  // namespace platform

// The service module "DataCollectorSvc" ("Data Collector"): interprets the
// command line, owns the collector, the daily log writer, the cycle timer and
// the lock that serialises log writes, and drives the collector from the
// timer's ticks on the host's message loop.
//
// Threads: the constructor, Run and every TimerTick run on the main thread;
// ServiceStart, ServiceExecute, ServiceStop and ServiceShutdown on the host's
// service thread; AddLog on either. A stop that arrives during a cycle asks
// the collector to end its waits (RequestStop), waits for the tick to end,
// and only then shuts the collector down and frees it.
//
// The tick length is the environment variable DC_TICK_MS in milliseconds
// (default 1000); the first tick comes after half of it.
class TDataCollectorSvc : public platform::ServiceHandler {
 public:
  static constexpr const char* kName = "DataCollectorSvc";
  static constexpr const char* kDisplayName = "Data Collector";

  // Module creation: makes ProgramFolder (default: the running program's
  // folder) the current folder, raising EInOutError when that fails, and
  // creates the disabled timer on host. reporter, when given, must outlive
  // the module; its report file follows the day's log file. LogFolder, when
  // not empty, replaces the log folder.
  TDataCollectorSvc(platform::ServiceHost& host, platform::CrashReporter* reporter = nullptr,
                    std::string ProgramFolder = {}, std::string LogFolder = {});
  // Module destruction: frees a collector still present, the timer and the log writer.
  ~TDataCollectorSvc() override;

  // The command-line dispatch; args are the program's arguments with the
  // program itself first. Returns the process's exit code.
  int Run(const std::vector<std::string>& args);

  // Writes one message to the day's log, and as an error event to the event
  // log when ToSysLog is set. Never raises. Thread-safe.
  void AddLog(const std::string& Msg, bool ToSysLog = false);

  bool ServiceStart() override;
  void ServiceExecute(platform::ServiceThread& thread) override;
  bool ServiceStop() override;
  void ServiceShutdown() override;
  // Logs the request and reopens the log file (a fresh writer, which reads
  // the location code again).
  void ServiceParamChange() override;

  // Where a running service reports its event-log lines, a one-line summary
  // of every initialisation and cycle, and its state (started, the last
  // cycle's outcome, stopping). Run sets the system's reporter when it runs
  // the service; a test may set its own. reporter must outlive the module.
  void SetServiceReporter(platform::ServiceReporter* reporter) { LServiceReporter = reporter; }

  // How long ServiceStop waits for a running cycle to end. A cycle still
  // running then cannot be freed safely: the process logs it and ends, so
  // that a stop never hangs beyond the service manager's own limit.
  static constexpr std::uint32_t kCycleStopLimitMs = 190 * 1000;

  // The full path of the marker file that makes every due tick raise.
  std::string CrashTestFile() const;

  // Installs (Install) or removes the service with the hooks below; the
  // outcome goes to standard output ("Service installed successfully",
  // suppressed by Silent) or standard error ("Service "Data Collector" failed
  // to install with error: "..."", also when Silent). Returns the exit code:
  // 0 when it worked. A service control manager that cannot be reached raises.
  int RegisterService(bool Install, bool Silent);
  void ServiceBeforeInstall();
  // Description, event source and security descriptor of the new service.
  void ServiceAfterInstall();
  // Stops a running service; then this process removes the collector's
  // structures from the site database.
  void ServiceBeforeUninstall();
  void ServiceAfterUninstall();

 protected:
  // The collector the service drives; a test module may return a scripted one.
  virtual std::unique_ptr<TDataCollector> NewCollector(TDataCollectorOnLog onLog);
  // One tick of the cycle timer.
  void TimerTick();

  int32_t LCycleSeconds = 60;
  // kCycleStopLimitMs; a test shortens it.
  std::uint32_t LCycleStopLimitMs = kCycleStopLimitMs;
  // Failed ticks in a row, of initialisations that raised and of cycles that
  // failed: only the first of a run goes to the event log, and a failing cycle
  // waits longer each time.
  int32_t LInitFailures = 0;
  int32_t LCycleFailures = 0;

 private:
  void CreateCollector();
  void CollectorUpdating(bool Uninstall);
  // The summary of an initialisation or a cycle, to the reporter: a line and the status.
  void ReportOutcome(platform::ReportSeverity severity, const std::string& summary);
  void ReportCycle(bool failed, const std::string& raisedMessage, TDateTime tickStart);
  // The newest failure the collector met since the tick began, without its
  // log line's severity tag; empty when it met none.
  std::string TickProblemText() const;
  std::string ReportFileFor(TDateTime day) const;
  // Deletes the daily logs and crash reports older than the configured
  // retention, with a log line. Under LCritical, with LLogFile present.
  void RemoveOldLogs(TDateTime today);

  platform::ServiceHost& LHost;
  platform::CrashReporter* LReporter;
  std::string LProgramFolder;
  std::string LLogFolder;
  std::uint32_t LTickMs;

  std::unique_ptr<TDataCollector> LDataCollector;
  std::unique_ptr<TBaseLogFile> LLogFile;
  TDateTime LLogDate = 0;
  std::unique_ptr<platform::Timer> LTimer;
  std::mutex LCritical;
  std::unique_ptr<platform::EventLog> LEventLog;
  std::unique_ptr<platform::ServiceReporter> LOwnServiceReporter;
  platform::ServiceReporter* LServiceReporter = nullptr;
  // During a /UNINSTALL without SILENT: where what it removes is listed, the
  // collector's steps in the site database included.
  std::ostream* LUninstallEcho = nullptr;
  // The manager RegisterService works with, for the hooks.
  std::unique_ptr<platform::ServiceControl> LServiceControl;
  // Set by ServiceStop before anything else: ticks that begin afterwards
  // leave the collector alone and never enable the timer again.
  std::atomic<bool> LStopping{false};
};

// The full command line of args as one text: arguments separated by one
// blank, each holding a blank, a tab or nothing written in double quotes.
std::string JoinCommandLine(const std::vector<std::string>& args);

// Whether args (after the program) holds the switch: "/" or "-" followed by
// name, compared without regard to case.
bool FindCmdLineSwitch(const std::vector<std::string>& args, const std::string& name);
