#include "platform/SharedLibrary.h"

#include <dlfcn.h>

namespace platform {

LibraryFunction LoadLibraryFunction(const std::string& file, const std::string& function) {
  void* library = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = ::dlerror();
    return {nullptr, false, error != nullptr ? error : "cannot be loaded"};
  }
  void* address = ::dlsym(library, function.c_str());
  if (address == nullptr) {
    ::dlclose(library);
    return {nullptr, true, "no " + function};
  }
  return {address, true, {}};
}

}  // namespace platform
