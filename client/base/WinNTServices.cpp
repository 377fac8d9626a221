#include "WinNTServices.h"

#include <string>

#include "Global.h"
#include "ansi_text.h"
#include "platform/resource.h"
#include "platform/service.h"

namespace WinNTServices {

namespace {

constexpr char kActiveDatabase[] = "ServicesActive";
constexpr int kMaxErrorTextLength = 500;

// Closes a service handle when it goes out of scope.
class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle) : m_handle(handle) {}
  ~ServiceHandle() {
    if (m_handle != nullptr) CloseServiceHandle(m_handle);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr; }

 private:
  SC_HANDLE m_handle;
};

// The manager of `computer`; null with the last error set on failure.
SC_HANDLE openManager(const QString& computer) {
  if (Global::isLocalComputer(computer))
    return OpenSCManagerA(nullptr, kActiveDatabase, SC_MANAGER_ALL_ACCESS);
  return OpenSCManagerA(toAnsi(computer).c_str(), kActiveDatabase, SC_MANAGER_ALL_ACCESS);
}

// Opens the service with `access` and runs `act` on it; the error code of the
// step that failed, or 0.
template <typename Act>
DWORD withService(const QString& computer, const QString& service, DWORD access, Act act) {
  const ServiceHandle manager(openManager(computer));
  if (!manager) return GetLastError();
  const ServiceHandle handle(OpenServiceA(manager.get(), toAnsi(service).c_str(), access));
  if (!handle) return GetLastError();
  return act(handle.get()) ? 0 : GetLastError();
}

}  // namespace

DWORD StartNTService(const QString& computer, const QString& service) {
  return withService(computer, service, SERVICE_START,
                     [](SC_HANDLE handle) { return StartServiceA(handle, 0, nullptr) != FALSE; });
}

DWORD StopNTService(const QString& computer, const QString& service) {
  return withService(computer, service, SERVICE_STOP, [](SC_HANDLE handle) {
    SERVICE_STATUS status{};
    return ControlService(handle, SERVICE_CONTROL_STOP, &status) != FALSE;
  });
}

ServiceState queryServiceState(const QString& computer, const QString& service) {
  ServiceState result;
  result.error = withService(computer, service, SERVICE_QUERY_STATUS, [&result](SC_HANDLE handle) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(handle, &status)) return false;
    result.state = status.dwCurrentState;
    return true;
  });
  if (result.error != 0) result.state = 0;
  return result;
}

DWORD QueryNTServiceState(const QString& computer, const QString& service) {
  const ServiceState found = queryServiceState(computer, service);
  return found.error != 0 ? found.error : found.state;
}

QString GetSystemErrorText(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
      code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  QString result;
  if (text != nullptr) {
    result = fromAnsi(std::string_view(text, length)).left(kMaxErrorTextLength);
    LocalFree(text);
  }
  return result;
}

}  // namespace WinNTServices
