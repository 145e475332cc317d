// The service control manager on Windows (Wine's, in the tests' own prefix):
// records, security descriptors, a service that runs and stops, run marks.
#include "platform/ServiceControl.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/win32/Helper.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

constexpr char kName[] = "DataCollectorTestSvc";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Win32ServiceControlTest : public testing::Test {
 protected:
  void SetUp() override {
    control_ = platform::OpenServiceControl("");
    if (control_->ServiceExists(kName)) control_->RemoveService(kName);
  }
  void TearDown() override {
    if (control_->ServiceExists(kName)) {
      platform::StopService("", kName, std::chrono::seconds(20));
      control_->RemoveService(kName);
    }
  }

  std::unique_ptr<platform::ServiceControl> control_;
};

TEST_F(Win32ServiceControlTest, RecordsAreCreatedDescribedAndRemovedWithTheSystemsMessages) {
  const platform::ServiceDefinition service{kName, "Data Collector Test", HelperProgram(), {}};
  control_->InstallService(service);
  EXPECT_TRUE(control_->ServiceExists(kName));
  EXPECT_TRUE(platform::ServiceExists("localhost", kName));
  try {
    control_->InstallService(service);
    ADD_FAILURE() << "installed twice";
  } catch (const platform::ServiceControlError& e) {
    EXPECT_STREQ(e.what(), "The specified service already exists.");
  }
  EXPECT_EQ(control_->QueryStatus(kName).state, platform::ServiceState::Stopped);

  // Wine keeps no descriptor of its services (it reports an empty one), so
  // only the conversions and the errors can be seen here.
  const std::string sddl = "D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCLCSWLOCRRC;;;IU)";
  control_->SetSecurityDescriptor(kName, sddl);
  EXPECT_EQ(control_->SecurityDescriptor(kName).rfind("D:", 0), 0u);
  EXPECT_THROW(control_->SetSecurityDescriptor(kName, "not a descriptor"), platform::ServiceControlError);

  control_->RemoveService(kName);
  EXPECT_FALSE(control_->ServiceExists(kName));
  EXPECT_FALSE(platform::ServiceExists("", kName));
  EXPECT_TRUE(platform::StopService("", kName));  // nothing to stop
  for (const auto& call : std::initializer_list<std::function<void()>>{
           [&] { control_->RemoveService(kName); }, [&] { control_->QueryStatus(kName); },
           [&] { control_->SendStop(kName); }, [&] { control_->SetSecurityDescriptor(kName, sddl); }}) {
    try {
      call();
      ADD_FAILURE() << "no error for a missing service";
    } catch (const platform::ServiceControlError& e) {
      EXPECT_STREQ(e.what(), "The specified service does not exist as an installed service.");
    }
  }
}

// The helper runs as a service: the manager starts it through the framework
// (ServiceMain), its timer ticks on the host's loop, and the stop control
// ends it.
TEST_F(Win32ServiceControlTest, AnInstalledServiceRunsAndStops) {
  const std::string log = HelperProgram() + ".service.log";
  std::remove(log.c_str());
  control_->InstallService({kName, "Data Collector Test", HelperProgram(), {}});

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service = OpenServiceA(manager, kName, SERVICE_START);
  ASSERT_NE(service, nullptr);
  EXPECT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);

  EXPECT_TRUE(WaitUntil([&] { return ReadAll(log).find("ticking") != std::string::npos; }, std::chrono::seconds(30)))
      << ReadAll(log);
  EXPECT_EQ(control_->QueryStatus(kName).state, platform::ServiceState::Running);
  EXPECT_TRUE(platform::StopService("", kName, std::chrono::seconds(30)));
  EXPECT_EQ(control_->QueryStatus(kName).state, platform::ServiceState::Stopped);
  EXPECT_EQ(ReadAll(log), "start\nexecute\nticking\nstop\n");
}

TEST(Win32ServiceRunMarkTest, OneMarkPerServiceWhileItRunsAndStaleMarksAreReplaced) {
  TempDir dir;
  std::string notices;
  const auto notice = [&](const std::string& text) { notices += text + "\n"; };
  {
    auto mark = platform::MarkServiceRunning("Svc", dir.path().string(), notice);
    EXPECT_EQ(mark->path(), dir.path().string() + "\\Svc.pid");
    EXPECT_THROW(platform::MarkServiceRunning("Svc", dir.path().string(), notice), platform::ServiceControlError);
    EXPECT_TRUE(std::filesystem::exists(mark->path()));
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "Svc.pid"));
  EXPECT_EQ(notices, "");
  std::ofstream(dir.path() / "Svc.pid") << "4242\r\n";
  auto mark = platform::MarkServiceRunning("Svc", dir.path().string(), notice);
  EXPECT_NE(notices.find("Removed the stale run mark"), std::string::npos);
}

}  // namespace
