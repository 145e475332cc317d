// The Firebird client library loaded when first needed (the Windows build,
// where no client library is linked).
#include <mutex>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "firebird/FirebirdClient.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/SharedLibrary.h"

namespace {

using MasterEntry = Firebird::IMaster*(ISC_EXPORT*)();

const char kClientFile[] = "fbclient.dll";
const char kMasterFunction[] = "fb_get_master_interface";

// The root folder of the default Firebird instance, from the registry view of
// this program's own bitness (a 64-bit program needs a 64-bit client).
std::string DefaultInstanceFolder() {
  std::string path =
      platform::SystemRegistryText("SOFTWARE\\Firebird Project\\Firebird Server\\Instances", "DefaultInstance")
          .value_or("");
  if (!path.empty() && path.back() != platform::PathSeparator()) path += platform::PathSeparator();
  return path;
}

std::mutex gLock;
MasterEntry gEntry = nullptr;

MasterEntry LoadClient() {
  std::vector<std::string> tried;
  auto attempt = [&](const std::string& description, const std::string& file) -> MasterEntry {
    const platform::LibraryFunction found = platform::LoadLibraryFunction(file, kMasterFunction);
    if (found.address == nullptr) {
      tried.push_back(description + (found.libraryLoaded
                                         ? " (no fb_get_master_interface: not a Firebird 3 or later client)"
                                         : " (" + found.error + ")"));
      return nullptr;
    }
    return reinterpret_cast<MasterEntry>(found.address);
  };
  std::string program = platform::ExecutablePath();
  program = program.substr(0, program.find_last_of(platform::PathSeparator()) + 1);
  if (MasterEntry entry = attempt(program + kClientFile, program + kClientFile)) return entry;
  const std::string instance = DefaultInstanceFolder();
  if (instance.empty()) {
    tried.push_back("the default Firebird instance (none is registered)");
  } else {
    for (const std::string& folder : {instance, instance + "bin" + platform::PathSeparator()}) {
      if (MasterEntry entry = attempt(folder + kClientFile, folder + kClientFile)) return entry;
    }
  }
  if (MasterEntry entry = attempt(std::string(kClientFile) + " along the system's search path", kClientFile))
    return entry;
  std::string places;
  for (const std::string& place : tried) places += (places.empty() ? "" : "; ") + place;
  throw EDatabaseError("The Firebird client library fbclient.dll cannot be loaded. Tried: " + places);
}

}  // namespace

Firebird::IMaster* FirebirdMaster() {
  std::lock_guard<std::mutex> hold(gLock);
  if (gEntry == nullptr) gEntry = LoadClient();
  return gEntry();
}
