// The service control manager of Windows itself.
#include "platform/ServiceControl.h"

#include <thread>

#include "platform/win32/Win32Text.h"

#include <sddl.h>

namespace platform {
namespace {

using win32::ErrorText;
using win32::Narrow;
using win32::Widen;

class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle = nullptr) : FHandle(handle) {}
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  ~ScHandle() {
    if (FHandle != nullptr) CloseServiceHandle(FHandle);
  }
  SC_HANDLE Get() const { return FHandle; }
  explicit operator bool() const { return FHandle != nullptr; }

 private:
  SC_HANDLE FHandle;
};

// The two outcomes callers show most are worded as Windows words them, also
// where the system (Wine) has texts of its own.
[[noreturn]] void Fail(DWORD error) {
  if (error == ERROR_SERVICE_EXISTS) throw ServiceControlError("The specified service already exists.");
  if (error == ERROR_SERVICE_DOES_NOT_EXIST)
    throw ServiceControlError("The specified service does not exist as an installed service.");
  throw ServiceControlError(ErrorText(error));
}

ServiceStatus StatusOf(const SERVICE_STATUS& status) {
  ServiceStatus result;
  switch (status.dwCurrentState) {
    case SERVICE_STOPPED: result.state = ServiceState::Stopped; break;
    case SERVICE_START_PENDING: result.state = ServiceState::StartPending; break;
    case SERVICE_STOP_PENDING: result.state = ServiceState::StopPending; break;
    default: result.state = ServiceState::Running; break;
  }
  result.checkPoint = status.dwCheckPoint;
  result.waitHintMs = status.dwWaitHint;
  return result;
}

// A blank name, "localhost" and this computer's own name are the local manager.
std::wstring MachineName(const std::string& computerName) {
  const std::size_t begin = computerName.find_first_not_of(" \t\\");
  if (begin == std::string::npos) return {};
  const std::string name = computerName.substr(begin, computerName.find_last_not_of(" \t") - begin + 1);
  if (CompareStringOrdinal(Widen(name).c_str(), -1, L"localhost", -1, TRUE) == CSTR_EQUAL) return {};
  return L"\\\\" + Widen(name);
}

class Win32ServiceControl : public ServiceControl {
 public:
  explicit Win32ServiceControl(const std::string& computerName) {
    const std::wstring machine = MachineName(computerName);
    const wchar_t* name = machine.empty() ? nullptr : machine.c_str();
    // Installing needs the right to create services; looking and stopping do not.
    FManager = OpenSCManagerW(name, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (FManager == nullptr) FManager = OpenSCManagerW(name, nullptr, SC_MANAGER_CONNECT);
    if (FManager == nullptr) Fail(GetLastError());
  }
  ~Win32ServiceControl() override { CloseServiceHandle(FManager); }

  ServiceInstallReport InstallService(const ServiceDefinition& service) override {
    const std::wstring image = L"\"" + Widen(service.imagePath) + L"\"";
    ScHandle created(CreateServiceW(FManager, Widen(service.name).c_str(), Widen(service.displayName).c_str(),
                                    SERVICE_ALL_ACCESS, kServiceWin32OwnProcess, kServiceAutoStart,
                                    kServiceErrorNormal, image.c_str(), nullptr, nullptr, nullptr, nullptr,
                                    nullptr));
    if (!created) Fail(GetLastError());
    ServiceInstallReport report;
    report.unitEnabled = true;  // automatic start is part of the record
    return report;
  }

  void RemoveService(const std::string& name) override {
    ScHandle service = Open(name, DELETE);
    if (!DeleteService(service.Get())) Fail(GetLastError());
  }

  bool ServiceExists(const std::string& name) override {
    ScHandle service(OpenServiceW(FManager, Widen(name).c_str(), SERVICE_QUERY_STATUS));
    if (service) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return false;
    Fail(error);
  }

  void SetSecurityDescriptor(const std::string& name, const std::string& sddl) override {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(Widen(sddl).c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr))
      Fail(GetLastError());
    ScHandle service = Open(name, READ_CONTROL | WRITE_DAC);
    const BOOL set = SetServiceObjectSecurity(service.Get(), DACL_SECURITY_INFORMATION, descriptor);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (!set) Fail(error);
  }

  std::string SecurityDescriptor(const std::string& name) override {
    ScHandle service = Open(name, READ_CONTROL);
    DWORD needed = 0;
    QueryServiceObjectSecurity(service.Get(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) Fail(GetLastError());
    std::vector<unsigned char> buffer(needed);
    if (!QueryServiceObjectSecurity(service.Get(), DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed))
      Fail(GetLastError());
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(buffer.data(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr))
      Fail(GetLastError());
    std::string sddl = Narrow(text);
    LocalFree(text);
    return sddl;
  }

  ServiceStatus QueryStatus(const std::string& name) override {
    ScHandle service = Open(name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.Get(), &status)) Fail(GetLastError());
    return StatusOf(status);
  }

  ServiceStatus SendStop(const std::string& name) override {
    ScHandle service = Open(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
      const DWORD error = GetLastError();
      if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) Fail(error);
      if (!QueryServiceStatus(service.Get(), &status)) Fail(GetLastError());
    }
    return StatusOf(status);
  }

 private:
  ScHandle Open(const std::string& name, DWORD access) {
    SC_HANDLE service = OpenServiceW(FManager, Widen(name).c_str(), access);
    if (service == nullptr) Fail(GetLastError());
    return ScHandle(service);
  }

  SC_HANDLE FManager = nullptr;
};

// The run mark is held open, readable by others but not deletable, and is
// deleted when closed, so the system removes it with the process however that
// ends.
class Win32ServiceRunMark : public ServiceRunMark {
 public:
  Win32ServiceRunMark(std::string path, win32::Handle file) : FPath(std::move(path)), FFile(std::move(file)) {}
  const std::string& path() const override { return FPath; }

 private:
  std::string FPath;
  win32::Handle FFile;
};

}  // namespace

std::unique_ptr<ServiceControl> OpenServiceControl(const std::string& computerName) {
  return std::make_unique<Win32ServiceControl>(computerName);
}

std::unique_ptr<ServiceRunMark> MarkServiceRunning(const std::string& name, const std::string& programFolder,
                                                   const ServiceNotice& notice) {
  std::string path = programFolder;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
  path += name + ".pid";
  const std::wstring wide = Widen(path);
  for (int attempt = 0; attempt < 2; ++attempt) {
    win32::Handle file(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                   CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (file.Valid()) {
      const std::string text = std::to_string(GetCurrentProcessId()) + "\r\n";
      DWORD written = 0;
      if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        throw ServiceControlError("Cannot write the run mark " + path + ": " + ErrorText(GetLastError()));
      return std::make_unique<Win32ServiceRunMark>(path, std::move(file));
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
      throw ServiceControlError("Cannot write the run mark " + path + ": " + ErrorText(error));
    // A mark that can be deleted is held by no process: a copy that ended
    // without removing it (only possible for a file not of ours).
    if (!DeleteFileW(wide.c_str())) {
      const DWORD deleteError = GetLastError();
      if (deleteError == ERROR_SHARING_VIOLATION || deleteError == ERROR_ACCESS_DENIED)
        throw ServiceControlError("The service \"" + name + "\" is already running");
      throw ServiceControlError("Cannot remove the stale run mark " + path + ": " + ErrorText(deleteError));
    }
    if (notice) notice("Removed the stale run mark " + path + ": no process holds it");
  }
  throw ServiceControlError("Cannot write the run mark " + path);
}

ServiceUsageNotes SystemServiceUsage() {
  return {"as the service control manager runs it, until Ctrl+C or its console closes",
          "the service \"DataCollectorSvc\" in the service control manager and its event source", ""};
}

}  // namespace platform
