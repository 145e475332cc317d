#include "platform/CrashReport.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>

namespace platform {

namespace {

constexpr size_t kMaxPath = 4096;
constexpr int kFatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
constexpr int kMaxFrames = 64;

// What the signal handler reads. Two path slots so that a new path is written
// to the slot not in use and then published with one atomic store.
struct CrashState {
  char paths[2][kMaxPath] = {};
  std::atomic<int> current{-1};
  std::atomic<long> utcOffset{0};  // seconds east of UTC, captured with the path
  struct sigaction previous[sizeof(kFatalSignals) / sizeof(kFatalSignals[0])] = {};
};

// A signal handler reaches its data only through a process-wide pointer.
std::atomic<CrashState*> gInstalled{nullptr};

// Async-signal-safe text building.
struct Buffer {
  char text[512];
  size_t length = 0;
  void Add(const char* s) {
    while (*s != '\0' && length < sizeof text) text[length++] = *s++;
  }
  void AddNumber(long long value, int width) {
    char digits[24];
    int n = 0;
    const bool negative = value < 0;
    unsigned long long v = negative ? static_cast<unsigned long long>(-value) : value;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0 && n < 20);
    while (n < width && n < 20) digits[n++] = '0';
    if (negative && length < sizeof text) text[length++] = '-';
    while (n > 0 && length < sizeof text) text[length++] = digits[--n];
  }
};

// Local calendar time from seconds since 1970 and a fixed offset, without
// the time-zone machinery (which may lock or allocate).
void AddLocalTime(Buffer& out, time_t now, long offset) {
  long long t = static_cast<long long>(now) + offset;
  long long days = t / 86400;
  long long secs = t % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long doe = days - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  out.AddNumber(month, 2);
  out.Add("/");
  out.AddNumber(day, 2);
  out.Add("/");
  out.AddNumber(year, 4);
  out.Add(" ");
  out.AddNumber(secs / 3600, 2);
  out.Add(":");
  out.AddNumber(secs / 60 % 60, 2);
  out.Add(":");
  out.AddNumber(secs % 60, 2);
}

void WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    length -= static_cast<size_t>(n);
  }
}

// Appends one report; only async-signal-safe calls.
void AppendReport(CrashState& state, const char* what, const char* detail) {
  const int slot = state.current.load();
  if (slot < 0) return;
  // The same refusals as platform::AppendFile, with async-signal-safe calls
  // only: no link is followed and only a regular file of this user with no
  // other name is appended to, so another user cannot redirect the report.
  const int fd = ::open(state.paths[slot], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY |
                        O_NONBLOCK, 0640);
  if (fd < 0) return;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
      status.st_nlink != 1) {
    ::close(fd);
    return;
  }
  Buffer head;
  head.Add("==================================================\n");
  AddLocalTime(head, ::time(nullptr), state.utcOffset.load());
  head.Add("  ");
  head.Add(what);
  head.Add("\n");
  WriteAll(fd, head.text, head.length);
  if (detail != nullptr) {
    WriteAll(fd, detail, ::strlen(detail));
    WriteAll(fd, "\n", 1);
  }
  WriteAll(fd, "Stack trace:\n", 13);
  void* frames[kMaxFrames];
  const int count = ::backtrace(frames, kMaxFrames);
  ::backtrace_symbols_fd(frames, count, fd);
  ::close(fd);
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGSEGV: return "Fatal signal SIGSEGV (segmentation fault)";
    case SIGABRT: return "Fatal signal SIGABRT (abort)";
    case SIGBUS: return "Fatal signal SIGBUS (bus error)";
    case SIGFPE: return "Fatal signal SIGFPE (arithmetic error)";
    case SIGILL: return "Fatal signal SIGILL (illegal instruction)";
    default: return "Fatal signal";
  }
}

void OnFatalSignal(int signal, siginfo_t*, void*) {
  if (CrashState* state = gInstalled.load()) AppendReport(*state, SignalName(signal), nullptr);
  // SA_RESETHAND has restored the default action: raising again ends the
  // process with the signal, as if no handler had been there.
  ::raise(signal);
}

class PosixCrashReporter : public CrashReporter {
 public:
  PosixCrashReporter() {
    CrashState* expected = nullptr;
    if (!gInstalled.compare_exchange_strong(expected, &FState)) {
      throw std::logic_error("A crash reporter is already installed");
    }
    // The first backtrace loads its unwinder, which allocates: do it now,
    // not inside a signal handler.
    void* frames[2];
    ::backtrace(frames, 2);
    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kFatalSignals); ++i) {
      ::sigaction(kFatalSignals[i], &action, &FState.previous[i]);
    }
  }
  ~PosixCrashReporter() override {
    for (size_t i = 0; i < std::size(kFatalSignals); ++i) {
      ::sigaction(kFatalSignals[i], &FState.previous[i], nullptr);
    }
    gInstalled.store(nullptr);
  }

  void SetReportFile(const std::string& path) override {
    std::lock_guard<std::mutex> hold(FLock);
    const int slot = FState.current.load() == 0 ? 1 : 0;
    const size_t length = path.size() < kMaxPath - 1 ? path.size() : kMaxPath - 1;
    ::memcpy(FState.paths[slot], path.data(), length);
    FState.paths[slot][length] = '\0';
    const time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    FState.utcOffset.store(local.tm_gmtoff);
    FState.current.store(slot);
  }

  void ReportException(const std::string& message) override {
    std::lock_guard<std::mutex> hold(FLock);
    AppendReport(FState, "Exception", message.c_str());
  }

 private:
  CrashState FState;
  std::mutex FLock;
};

}  // namespace

std::unique_ptr<CrashReporter> InstallCrashReporter() {
  return std::make_unique<PosixCrashReporter>();
}

}  // namespace platform
