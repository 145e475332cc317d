#include "support/OtherUser.h"

#include <csignal>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const passwd* Nobody() { return ::getpwnam("nobody"); }

int WaitFor(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 100 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

std::string NobodyUnavailableReason() {
  if (::geteuid() != 0) return "needs root to run a check as user nobody";
  if (Nobody() == nullptr) return "there is no user nobody";
  return "";
}

std::optional<int> RunAsNobody(const std::function<int()>& body) {
  if (!NobodyUnavailableReason().empty()) return std::nullopt;
  const passwd* nobody = Nobody();
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(99);
    int result = 98;
    try {
      result = body();
    } catch (...) {
    }
    ::_exit(result);
  }
  return WaitFor(child);
}

ForeignLock::ForeignLock(const std::string& path, bool exclusive) {
  int ready[2];
  if (::pipe(ready) != 0) throw std::runtime_error("pipe");
  FPid = ::fork();
  if (FPid < 0) throw std::runtime_error("fork");
  if (FPid == 0) {
    ::close(ready[0]);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char answer = fd >= 0 && ::flock(fd, exclusive ? LOCK_EX : LOCK_SH) == 0 ? 'L' : 'F';
    if (::write(ready[1], &answer, 1) != 1) ::_exit(1);
    if (answer != 'L') ::_exit(1);
    while (true) ::pause();
  }
  ::close(ready[1]);
  char answer = 'F';
  const bool read = ::read(ready[0], &answer, 1) == 1;
  ::close(ready[0]);
  if (!read || answer != 'L') {
    ::kill(FPid, SIGKILL);
    WaitFor(FPid);
    throw std::runtime_error("Cannot lock " + path);
  }
}

ForeignLock::~ForeignLock() {
  ::kill(FPid, SIGKILL);
  WaitFor(FPid);
}
