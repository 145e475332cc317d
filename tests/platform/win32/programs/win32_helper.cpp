// A small program the Windows platform tests start:
//   win32_helper record <file>   writes its command line and the variable
//                                DC_HELPER_VALUE to <file>
//   win32_helper crash <file>    installs the crash reporter writing to <file>
//                                and dies of an access violation
//   win32_helper                 runs as a service (platform/ServiceHost.h),
//                                logging its handlers' calls to the file
//                                "<program>.service.log" beside itself
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/CrashReport.h"
#include "platform/ServiceHost.h"

namespace {

std::string Utf8(const wchar_t* text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(length > 0 ? length - 1 : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), length, nullptr, nullptr);
  return result;
}

__attribute__((noinline)) void Crash() {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
}

class LoggingService : public platform::ServiceHandler {
 public:
  LoggingService(platform::ServiceHost& host, std::string log) : host_(host), log_(std::move(log)) {}

  bool ServiceStart() override {
    Log("start");
    timer_ = host_.CreateTimer(50, [this] {
      if (++ticks_ == 3) Log("ticking");
    });
    timer_->SetEnabled(true);
    return true;
  }
  void ServiceExecute(platform::ServiceThread& thread) override {
    Log("execute");
    while (!thread.Terminated()) thread.ProcessRequests(true);
  }
  bool ServiceStop() override {
    timer_->SetEnabled(false);
    Log("stop");
    return true;
  }
  void ServiceShutdown() override { Log("shutdown"); }

 private:
  void Log(const char* line) {
    if (FILE* out = std::fopen(log_.c_str(), "ab")) {
      std::fprintf(out, "%s\n", line);
      std::fclose(out);
    }
  }

  platform::ServiceHost& host_;
  std::string log_;
  std::unique_ptr<platform::Timer> timer_;
  int ticks_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    auto host = platform::CreateServiceHost();
    LoggingService service(*host, Utf8(self) + ".service.log");
    return host->Run(service);
  }
  if (argc != 3) return 2;
  const std::string mode = argv[1];
  if (mode == "record") {
    FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr) return 3;
    const char* value = std::getenv("DC_HELPER_VALUE");
    std::fprintf(out, "%s\n%s\n", Utf8(GetCommandLineW()).c_str(), value != nullptr ? value : "(none)");
    std::fclose(out);
    return 0;
  }
  if (mode == "crash") {
    std::unique_ptr<platform::CrashReporter> reporter = platform::InstallCrashReporter();
    reporter->SetReportFile(argv[2]);
    Crash();
    return 0;
  }
  return 2;
}
