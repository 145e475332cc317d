#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "firebird/FirebirdClient.h"
#include "platform/Files.h"

namespace {

using MasterEntry = Firebird::IMaster*(ISC_EXPORT*)();

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr, nullptr);
  return text;
}

std::string ErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = length > 0 ? Narrow(std::wstring(buffer, length)) : "error " + std::to_string(error);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

// The root folder of the default Firebird instance, from the registry view of
// this program's own bitness (a 64-bit program needs a 64-bit client).
std::string DefaultInstanceFolder() {
  wchar_t folder[MAX_PATH] = {};
  DWORD size = sizeof folder;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Firebird Project\\Firebird Server\\Instances", L"DefaultInstance",
                   RRF_RT_REG_SZ, nullptr, folder, &size) != ERROR_SUCCESS)
    return "";
  std::string path = Narrow(folder);
  if (!path.empty() && path.back() != '\\') path += '\\';
  return path;
}

std::mutex gLock;
MasterEntry gEntry = nullptr;

MasterEntry LoadClient() {
  std::vector<std::string> tried;
  auto attempt = [&](const std::string& description, const std::wstring& file, DWORD flags) -> MasterEntry {
    HMODULE library = LoadLibraryExW(file.c_str(), nullptr, flags);
    if (library == nullptr) {
      tried.push_back(description + " (" + ErrorText(GetLastError()) + ")");
      return nullptr;
    }
    auto entry = reinterpret_cast<MasterEntry>(reinterpret_cast<void*>(GetProcAddress(library, "fb_get_master_interface")));
    if (entry == nullptr) {
      tried.push_back(description + " (no fb_get_master_interface: not a Firebird 3 or later client)");
      FreeLibrary(library);
    }
    return entry;
  };
  std::string program = platform::ExecutablePath();
  program = program.substr(0, program.find_last_of('\\') + 1);
  // The library's own dependencies are looked for beside it.
  const DWORD besideIt = LOAD_WITH_ALTERED_SEARCH_PATH;
  if (MasterEntry entry = attempt(program + "fbclient.dll", Wide(program + "fbclient.dll"), besideIt)) return entry;
  const std::string instance = DefaultInstanceFolder();
  if (instance.empty()) {
    tried.push_back("the default Firebird instance (none is registered)");
  } else {
    for (const std::string& folder : {instance, instance + "bin\\"}) {
      if (MasterEntry entry = attempt(folder + "fbclient.dll", Wide(folder + "fbclient.dll"), besideIt)) return entry;
    }
  }
  if (MasterEntry entry = attempt("fbclient.dll along the system's search path", L"fbclient.dll", 0)) return entry;
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
