#include "platform/SharedLibrary.h"

#include "platform/win32/Win32Text.h"

namespace platform {

LibraryFunction LoadLibraryFunction(const std::string& file, const std::string& function) {
  const bool withFolder = file.find_first_of("\\/") != std::string::npos;
  HMODULE library = LoadLibraryExW(win32::Widen(file).c_str(), nullptr, withFolder ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
  if (library == nullptr) return {nullptr, false, win32::ErrorText(GetLastError())};
  void* address = reinterpret_cast<void*>(GetProcAddress(library, function.c_str()));
  if (address == nullptr) {
    FreeLibrary(library);
    return {nullptr, true, "no " + function};
  }
  return {address, true, {}};
}

}  // namespace platform
