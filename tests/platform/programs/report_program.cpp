// A small program the tests start and inspect: it writes what it was started
// with to the file named by its first argument (written beside it and renamed,
// so the file appears complete), then exits after DC_REPORT_SLEEP_MS
// milliseconds. Lines: "pid=", "ppid=", "sid=", "env=" (the value of
// DC_REPORT_VALUE, or "<unset>"), "version=" (the program's own version as the
// program reads it), "fd=" (whether the descriptor numbered by DC_REPORT_FD is
// open: "open", "closed" or "<unset>"), then "arg=" once per further argument.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "Shared/Orvel_Shared/OrvelUtils.h"

int main(int argc, char** argv) {
  // Before this program opens anything that could take the number.
  const char* fd = std::getenv("DC_REPORT_FD");
  const char* fdState = fd == nullptr ? "<unset>" : fcntl(std::atoi(fd), F_GETFD) >= 0 ? "open" : "closed";
  if (argc < 2) return 2;
  std::string target = argv[1];
  std::string temp = target + ".part";
  {
    std::ofstream out(temp);
    out << "pid=" << getpid() << "\n";
    out << "ppid=" << getppid() << "\n";
    out << "sid=" << getsid(0) << "\n";
    const char* value = std::getenv("DC_REPORT_VALUE");
    out << "env=" << (value != nullptr ? value : "<unset>") << "\n";
    out << "version=" << GetCollectorVersion() << "\n";
    out << "fd=" << fdState << "\n";
    for (int i = 2; i < argc; ++i) out << "arg=" << argv[i] << "\n";
    if (!out) return 3;
  }
  if (std::rename(temp.c_str(), target.c_str()) != 0) return 4;
  if (const char* sleep = std::getenv("DC_REPORT_SLEEP_MS"))
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(sleep)));
  return 0;
}
