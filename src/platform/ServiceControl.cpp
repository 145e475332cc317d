#include "platform/ServiceControl.h"

#include <thread>

namespace platform {

std::string ServiceRecordKey(const std::string& name) { return "SYSTEM\\CurrentControlSet\\Services\\" + name; }

bool ServiceExists(const std::string& computerName, const std::string& name) {
  try {
    return OpenServiceControl(computerName)->ServiceExists(name);
  } catch (...) {
    return false;
  }
}

bool StopService(const std::string& computerName, const std::string& name,
                 std::chrono::milliseconds limit) {
  try {
    const auto control = OpenServiceControl(computerName);
    if (!control->ServiceExists(name)) return true;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    ServiceStatus status = control->SendStop(name);
    while (status.state != ServiceState::Stopped) {
      const std::uint32_t remembered = status.checkPoint;
      std::this_thread::sleep_for(std::chrono::milliseconds(status.waitHintMs));
      // The check point alone never ends the wait for a service that hangs
      // in its stop handler without reporting progress.
      if (std::chrono::steady_clock::now() >= deadline) break;
      try {
        status = control->QueryStatus(name);
      } catch (...) {
        break;
      }
      if (status.checkPoint < remembered) break;
    }
    return status.state == ServiceState::Stopped;
  } catch (...) {
    return false;
  }
}

}  // namespace platform
