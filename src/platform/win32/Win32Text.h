#pragma once

#include <windows.h>

#include <string>
#include <system_error>

// What every Win32 unit of the backend needs: the conversions between the
// interfaces' UTF-8 and the system's UTF-16, the system's error texts, and an
// owned kernel handle.

namespace platform::win32 {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
std::string Narrow(const wchar_t* utf16, std::size_t length);

// The system's text for an error code, without the trailing line break.
std::string ErrorText(DWORD error);

// A std::system_error for `error` whose message is `what` and the system's text.
std::system_error SystemError(DWORD error, const std::string& what);

// A handle of a system library (T) that this object owns and closes with
// Close when it goes; Out() lets a call that opens one write it in place.
template <class T, auto Close>
class Owned {
 public:
  Owned() = default;
  explicit Owned(T handle) : FHandle(handle) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    if (FHandle != nullptr) Close(FHandle);
  }
  T Get() const { return FHandle; }
  T* Out() { return &FHandle; }

 private:
  T FHandle = nullptr;
};

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : FHandle(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : FHandle(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~Handle() { Reset(); }

  bool Valid() const { return FHandle != nullptr && FHandle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return FHandle; }
  HANDLE Release() {
    HANDLE handle = FHandle;
    FHandle = nullptr;
    return handle;
  }
  void Reset(HANDLE handle = nullptr) {
    if (Valid()) CloseHandle(FHandle);
    FHandle = handle;
  }

 private:
  HANDLE FHandle = nullptr;
};

}  // namespace platform::win32
