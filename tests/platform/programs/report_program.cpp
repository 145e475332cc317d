// A small program the tests start and inspect: it writes what it was started
// with to the file named by its first argument (written beside it and renamed,
// so the file appears complete), then exits after DC_REPORT_SLEEP_MS
// milliseconds. Lines: "pid=", "ppid=", "sid=", "env=" (the value of
// DC_REPORT_VALUE, or "<unset>"), "version=" (the program's own version as the
// program reads it), "fd=" (whether the descriptor numbered by DC_REPORT_FD is
// open: "open", "closed" or "<unset>"), then "arg=" once per further argument. On Windows "ppid" and "sid" are 0.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "Shared/Orvel_Shared/OrvelUtils.h"

namespace {

#ifdef _WIN32
// The arguments as UTF-8: the C library's argv is in the ANSI code page,
// which cannot hold every character a caller may pass.
std::vector<std::string> Arguments(int, char**) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> result;
  for (int i = 0; i < count; ++i) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(length > 0 ? length - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), length, nullptr, nullptr);
    result.push_back(text);
  }
  LocalFree(wide);
  return result;
}
bool DescriptorOpen(int fd) { return _get_osfhandle(fd) != -1; }
// Windows has neither parent ids kept with the process nor POSIX sessions.
long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }
long ParentId() { return 0; }
long SessionId() { return 0; }
std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
#else
std::vector<std::string> Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }
bool DescriptorOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }
long ProcessId() { return static_cast<long>(getpid()); }
long ParentId() { return static_cast<long>(getppid()); }
long SessionId() { return static_cast<long>(getsid(0)); }
std::filesystem::path PathOf(const std::string& path) { return path; }
#endif

}  // namespace

int main(int argc, char** argv) {
  // Before this program opens anything that could take the number.
  const char* fd = std::getenv("DC_REPORT_FD");
  const char* fdState = fd == nullptr ? "<unset>" : DescriptorOpen(std::atoi(fd)) ? "open" : "closed";
  const std::vector<std::string> args = Arguments(argc, argv);
  if (args.size() < 2) return 2;
  const std::filesystem::path target = PathOf(args[1]);
  const std::filesystem::path temp = PathOf(args[1] + ".part");
  {
    std::ofstream out(temp);
    out << "pid=" << ProcessId() << "\n";
    out << "ppid=" << ParentId() << "\n";
    out << "sid=" << SessionId() << "\n";
    const char* value = std::getenv("DC_REPORT_VALUE");
    out << "env=" << (value != nullptr ? value : "<unset>") << "\n";
    out << "version=" << GetCollectorVersion() << "\n";
    out << "fd=" << fdState << "\n";
    for (std::size_t i = 2; i < args.size(); ++i) out << "arg=" << args[i] << "\n";
    if (!out) return 3;
  }
  std::error_code error;
  std::filesystem::rename(temp, target, error);
  if (error) return 4;
  if (const char* sleep = std::getenv("DC_REPORT_SLEEP_MS"))
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(sleep)));
  return 0;
}
