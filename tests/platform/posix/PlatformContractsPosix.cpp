// The contract suites of the file, process, clock and network functions
// against the POSIX backend.

#include <ctime>

#include <signal.h>
#include <unistd.h>

#include "platform/contract/ClockContract.h"
#include "platform/contract/FilesContract.h"
#include "platform/contract/NetworkIdentityContract.h"
#include "platform/contract/ProcessesContract.h"

namespace {

using contract::ClockBackend;
using contract::ClockContract;
using contract::FilesBackend;
using contract::FilesContract;
using contract::NetworkIdentityContract;
using contract::NetworkIdentityImplementation;
using contract::ProcessesBackend;
using contract::ProcessesContract;

INSTANTIATE_TEST_SUITE_P(Posix, FilesContract, ::testing::Values(FilesBackend{"Posix", {}}), contract::FilesBackendName);

INSTANTIATE_TEST_SUITE_P(Posix, ProcessesContract,
                         ::testing::Values(ProcessesBackend{
                             "Posix", [] { return static_cast<platform::ProcessId>(::getpid()); },
                             [](platform::ProcessId pid) { ::kill(static_cast<pid_t>(pid), SIGTERM); }, {}}),
                         contract::ProcessesBackendName);

platform::LocalTime LibraryLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm fields{};
  ::localtime_r(&now, &fields);
  return {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min,
          fields.tm_sec > 59 ? 59 : fields.tm_sec, 0};
}

INSTANTIATE_TEST_SUITE_P(Posix, ClockContract, ::testing::Values(ClockBackend{"Posix", LibraryLocalTime, {}}),
                         contract::ClockBackendName);

INSTANTIATE_TEST_SUITE_P(Posix, NetworkIdentityContract,
                         ::testing::Values(NetworkIdentityImplementation{"Posix", platform::NewNetworkIdentity, {}}),
                         contract::NetworkIdentityImplementationName);

}  // namespace
