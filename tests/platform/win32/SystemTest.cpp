// The smaller Windows services of the platform layer: clock, event log,
// network identity and crash reports.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/Clock.h"
#include "platform/CrashReport.h"
#include "platform/EventLog.h"
#include "platform/NetworkIdentity.h"
#include "platform/win32/Helper.h"
#include "support/TempDir.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Win32SystemTest, LocalTimeIsTheSystemsLocalTime) {
  SYSTEMTIME before{};
  GetLocalTime(&before);
  const platform::LocalTime now = platform::CurrentLocalTime();
  EXPECT_EQ(now.year, before.wYear);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_LT(now.millisecond, 1000);
}

TEST(Win32SystemTest, EventLogAcceptsErrorsEvenForAnUnregisteredSource) {
  auto log = platform::OpenEventLog("DataCollectorTests");
  log->ReportError("Zoë's error text");
}

TEST(Win32SystemTest, NetworkIdentityResolvesThisHostAndKnowsLoopbackAndNonsense) {
  auto network = platform::NewNetworkIdentity();
  for (const std::string& address : network->LocalIPv4Addresses())
    EXPECT_EQ(std::count(address.begin(), address.end(), '.'), 3) << address;
  EXPECT_EQ(network->HardwareAddressOf("127.0.0.1"), std::vector<uint8_t>(6, 0));
  for (const char* nonsense : {"", "0.0.0.0", "not an address", "300.1.1.1"})
    EXPECT_TRUE(network->HardwareAddressOf(nonsense).empty()) << nonsense;
}

TEST(Win32SystemTest, CaughtExceptionsAndCrashesAreReportedWithAStack) {
  TempDir dir;
  {
    auto reporter = platform::InstallCrashReporter();
    EXPECT_THROW(platform::InstallCrashReporter(), std::logic_error);
    reporter->ReportException("not yet written anywhere");
    reporter->SetReportFile(dir.file("caught.elf"));
    reporter->ReportException("Access denied to Zoë");
    const std::string report = ReadAll(dir.file("caught.elf"));
    EXPECT_EQ(report.find("not yet written"), std::string::npos);
    EXPECT_NE(report.find("  Exception\nAccess denied to Zoë\nStack trace:\n"), std::string::npos) << report;
  }
  auto again = platform::InstallCrashReporter();  // the first one is gone
  again.reset();

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string command = "\"" + HelperProgram() + "\" crash \"" + dir.file("crash.elf") + "\"";
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_NE(exitCode, 0u);
  const std::string report = ReadAll(dir.file("crash.elf"));
  EXPECT_NE(report.find("Unhandled exception 0xc0000005 (Access violation)"), std::string::npos) << report;
  EXPECT_NE(report.find("Stack trace:\n  0x"), std::string::npos) << report;
  EXPECT_NE(report.find("win32_helper.exe"), std::string::npos) << report;
}

}  // namespace
