// The contract suites of the registry, file, process, clock and network
// functions against the Windows backend. The registry hive is the local
// machine's (32-bit view), with every key path taken below a scratch key that
// each test creates and deletes, so that the suite sees an empty hive.
#include <windows.h>

#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "platform/contract/ClockContract.h"
#include "platform/contract/FilesContract.h"
#include "platform/contract/NetworkIdentityContract.h"
#include "platform/contract/ProcessesContract.h"
#include "platform/contract/RegistryHiveContract.h"

namespace {

using contract::ClockBackend;
using contract::ClockContract;
using contract::FilesBackend;
using contract::FilesContract;
using contract::NetworkIdentityContract;
using contract::NetworkIdentityImplementation;
using contract::ProcessesBackend;
using contract::ProcessesContract;
using contract::RegistryHiveContract;
using contract::RegistryHiveImplementation;
using contract::SkippedCases;
using platform::RegistryHive;
using platform::RegistryValue;

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The cases that only Wine, not Windows, keeps from holding.
SkippedCases UnderWineOnly(SkippedCases cases) { return UnderWine() ? std::move(cases) : SkippedCases{}; }

// The machine's hive seen from `root`: the key paths of the suite are taken
// below it, and it stands for the root itself, which cannot be deleted.
class ScratchKeyHive : public RegistryHive {
 public:
  explicit ScratchKeyHive(std::string root)
      : root_(std::move(root)), hive_(platform::OpenRegistryHive(platform::RegistryRoot::LocalMachine)) {}

  bool KeyExists(const std::string& key) override { return hive_->KeyExists(Below(key)); }
  void CreateKey(const std::string& key) override { hive_->CreateKey(Below(key)); }
  bool DeleteKey(const std::string& key) override {
    if (platform::RegistryKeyPathParts(key).empty()) throw platform::RegistryError("the root key cannot be deleted");
    return hive_->DeleteKey(Below(key));
  }
  std::optional<RegistryValue> ReadValue(const std::string& key, const std::string& name) override {
    return hive_->ReadValue(Below(key), name);
  }
  void WriteValue(const std::string& key, const std::string& name, const RegistryValue& value) override {
    hive_->WriteValue(Below(key), name, value);
  }
  bool DeleteValue(const std::string& key, const std::string& name) override {
    return hive_->DeleteValue(Below(key), name);
  }
  std::vector<std::string> SubKeyNames(const std::string& key) override { return hive_->SubKeyNames(Below(key)); }
  std::vector<std::string> ValueNames(const std::string& key) override { return hive_->ValueNames(Below(key)); }

 private:
  // Joined as they stand: surplus separators of `key` reach the backend.
  std::string Below(const std::string& key) const { return root_ + "\\" + key; }

  std::string root_;
  std::unique_ptr<RegistryHive> hive_;
};

class ScratchKeyStore : public contract::RegistryHiveStore {
 public:
  ScratchKeyStore() {
    machine_->DeleteKey(kRoot);  // left by a run that was killed
    machine_->CreateKey(kRoot);
  }
  ~ScratchKeyStore() override { machine_->DeleteKey(kParent); }

  std::unique_ptr<RegistryHive> Open() override { return std::make_unique<ScratchKeyHive>(kRoot); }

 private:
  static constexpr char kParent[] = "Software\\DataCollectorContract";
  static constexpr char kRoot[] = "Software\\DataCollectorContract\\Hive";
  std::unique_ptr<RegistryHive> machine_ = platform::OpenRegistryHive(platform::RegistryRoot::LocalMachine);
};

const char kWineValueOrder[] =
    "Wine lists a key's values sorted by name, Windows in the order they were first written";

INSTANTIATE_TEST_SUITE_P(Win32, RegistryHiveContract,
                         ::testing::Values(RegistryHiveImplementation{
                             "LocalMachine32", [] { return std::make_unique<ScratchKeyStore>(); },
                             UnderWineOnly({{"EveryKindOfValueReadsBackAsWritten", kWineValueOrder},
                                            {"SubkeysAreSortedWithoutCaseAndValuesKeepTheOrderFirstWritten",
                                             kWineValueOrder}})}),
                         contract::RegistryHiveImplementationName);

INSTANTIATE_TEST_SUITE_P(Win32, FilesContract, ::testing::Values(FilesBackend{"Win32", {}}),
                         contract::FilesBackendName);

void Terminate(platform::ProcessId pid) {
  if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid))) {
    TerminateProcess(process, 1);
    CloseHandle(process);
  }
}

INSTANTIATE_TEST_SUITE_P(Win32, ProcessesContract,
                         ::testing::Values(ProcessesBackend{
                             "Win32", [] { return static_cast<platform::ProcessId>(GetCurrentProcessId()); },
                             Terminate, {}}),
                         contract::ProcessesBackendName);

// The C library's reading of the local time, from its own clock and zone rules.
platform::LocalTime LibraryLocalTime() {
  const std::time_t now = std::time(nullptr);
  const std::tm fields = *std::localtime(&now);
  return {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min,
          fields.tm_sec > 59 ? 59 : fields.tm_sec, 0};
}

INSTANTIATE_TEST_SUITE_P(Win32, ClockContract,
                         ::testing::Values(ClockBackend{"Win32", LibraryLocalTime, {}}),
                         contract::ClockBackendName);

INSTANTIATE_TEST_SUITE_P(Win32, NetworkIdentityContract,
                         ::testing::Values(NetworkIdentityImplementation{
                             "Win32", platform::NewNetworkIdentity, {}}),
                         contract::NetworkIdentityImplementationName);

}  // namespace
