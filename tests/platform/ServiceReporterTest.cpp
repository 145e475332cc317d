// The service reporter against a notify socket that the test plays (a real
// datagram socket, as systemd's) and a standard error redirected to a file.

#include "platform/ServiceReporter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

using platform::ReportSeverity;

class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
    FFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~NotifySocket() { ::close(FFd); }

  std::vector<std::string> Received() const {
    std::vector<std::string> messages;
    char buffer[4096];
    ssize_t size = 0;
    while ((size = ::recv(FFd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) messages.emplace_back(buffer, size);
    return messages;
  }

 private:
  int FFd = -1;
};

// Standard error goes to a file while the object lives.
class CapturedStandardError {
 public:
  explicit CapturedStandardError(const std::string& path) : FPath(path), FSaved(::dup(STDERR_FILENO)) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~CapturedStandardError() {
    ::dup2(FSaved, STDERR_FILENO);
    ::close(FSaved);
  }
  std::string Text() const {
    std::ifstream in(FPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string FPath;
  int FSaved;
};

TEST(ServiceReporter, StateReachesTheNotifySocketAsOneMessagePerCall) {
  TempDir dir("dc-notify");
  NotifySocket manager(dir.file("notify"));
  ScopedEnv socket("NOTIFY_SOCKET", dir.file("notify").c_str());
  const auto reporter = platform::OpenServiceReporter("TestSvc");

  const struct {
    const char* name;
    std::function<void()> call;
    std::string message;
  } cases[] = {
      {"ready", [&] { reporter->Ready(); }, "READY=1"},
      {"status", [&] { reporter->Status("Last post accepted 12:03:05, 806 sales; next cycle in 58 s"); },
       "STATUS=Last post accepted 12:03:05, 806 sales; next cycle in 58 s"},
      {"status of several lines", [&] { reporter->Status("first\nsecond\r\nthird"); }, "STATUS=first second  third"},
      {"stopping", [&] { reporter->Stopping(); }, "STOPPING=1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.call();
    EXPECT_EQ(manager.Received(), std::vector<std::string>{c.message});
  }
}

TEST(ServiceReporter, WithoutAServiceManagerNothingIsSentAndNothingBreaks) {
  TempDir dir("dc-notify");
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative-not-a-socket", "/no/such/socket"}) {
    SCOPED_TRACE(value ? value : "(unset)");
    ScopedEnv socket("NOTIFY_SOCKET", value);
    const auto reporter = platform::OpenServiceReporter("TestSvc");
    reporter->Ready();
    reporter->Status("Started");
    reporter->Stopping();
  }
}

// Outside the journal (no JOURNAL_STREAM, or one that names another file than
// standard error) lines go to standard error, one line each, with their severity.
TEST(ServiceReporter, LinesGoToStandardErrorWithTheirSeverity) {
  TempDir dir("dc-report");
  for (const char* journal : {static_cast<const char*>(nullptr), "1:2"}) {
    SCOPED_TRACE(journal ? journal : "(unset)");
    ScopedEnv stream("JOURNAL_STREAM", journal);
    CapturedStandardError captured(dir.file("stderr"));
    const auto reporter = platform::OpenServiceReporter("TestSvc");
    reporter->Report(ReportSeverity::Error, "Exception during initialization: no hive");
    reporter->Report(ReportSeverity::Warning, "Post at 12:00:00 not accepted\nresending in 120 s");
    reporter->Report(ReportSeverity::Information, "Last post accepted 12:03:05, 806 sales; next cycle in 58 s");
    EXPECT_EQ(captured.Text(),
              "TestSvc: error: Exception during initialization: no hive\n"
              "TestSvc: warning: Post at 12:00:00 not accepted resending in 120 s\n"
              "TestSvc: info: Last post accepted 12:03:05, 806 sales; next cycle in 58 s\n");
  }
}

}  // namespace
