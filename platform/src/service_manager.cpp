// The manager's side: opening, creating, deleting, querying and controlling
// services. Starting one is in service_start.cpp.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/registry.h"
#include "platform/text.h"
#include "remote.h"
#include "service_handle.h"
#include "service_state.h"

namespace platform::scm {

namespace {

std::mutex g_handlesMutex;
std::set<SC_HANDLE__*>& liveHandles() {
  static auto* handles = new std::set<SC_HANDLE__*>;  // never destroyed: handles may be closed at exit
  return *handles;
}

// Generic rights map onto the object's own, as on Windows.
DWORD mapGeneric(DWORD access, SC_HANDLE__::Kind kind) {
  constexpr DWORD kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericExecute = 0x20000000,
                  kGenericAll = 0x10000000, kMaximumAllowed = 0x02000000;
  const bool manager = kind == SC_HANDLE__::Kind::kManager;
  const DWORD all = manager ? SC_MANAGER_ALL_ACCESS : SERVICE_ALL_ACCESS;
  if (access & (kGenericAll | kMaximumAllowed)) access |= all;
  if (access & kGenericRead)
    access |= manager ? SC_MANAGER_ENUMERATE_SERVICE : SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS;
  if (access & kGenericWrite) access |= manager ? SC_MANAGER_CREATE_SERVICE : SERVICE_CHANGE_CONFIG;
  if (access & kGenericExecute) access |= manager ? SC_MANAGER_CONNECT : SERVICE_START | SERVICE_STOP;
  return access & all;
}

// Sends one control to the dispatcher; the reply's result, or a manager error.
LONG sendControl(const std::string& name, DWORD control, SERVICE_STATUS* status) {
  const std::filesystem::path folder = stateFolder(name);
  sockaddr_un address;
  int dirFd = -1;
  const bool addressed = socketAddress(folder / "control.sock", &address, &dirFd);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  bool connected = false;
  if (addressed && fd >= 0) {
    int r;
    while ((r = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address)) != 0 &&
           errno == EINTR) {
    }
    connected = r == 0;
  }
  if (dirFd >= 0) ::close(dirFd);
  if (!connected) {
    if (fd >= 0) ::close(fd);
    // The process holds its lock but listens not yet (or no more): it is
    // starting or ending and cannot take controls now.
    return probe(folder) == Liveness::kRunning ? ERROR_SERVICE_CANNOT_ACCEPT_CTRL : ERROR_SERVICE_NOT_ACTIVE;
  }
  const int timeoutMs = controlTimeoutMs();
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const ControlRequest request{control};
  ControlReply reply{};
  LONG result = ERROR_SUCCESS;
  if (::send(fd, &request, sizeof request, MSG_NOSIGNAL) != ssize_t(sizeof request)) {
    result = ERROR_SERVICE_NOT_ACTIVE;
  } else {
    ssize_t n;
    while ((n = ::recv(fd, &reply, sizeof reply, 0)) < 0 && errno == EINTR) {
    }
    if (n == ssize_t(sizeof reply)) {
      result = LONG(reply.result);
      if (status != nullptr) *status = reply.status;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      result = ERROR_SERVICE_REQUEST_TIMEOUT;  // the handler did not return in time
    } else {
      result = ERROR_PROCESS_ABORTED;  // the process ended while handling the control
    }
  }
  ::close(fd);
  return result;
}

}  // namespace

SC_HANDLE newHandle(SC_HANDLE__::Kind kind, DWORD access, std::string name,
                    std::shared_ptr<platform::remote::Session> remote, std::uint64_t remoteService) {
  auto* handle =
      new SC_HANDLE__{kind, mapGeneric(access, kind), std::move(name), std::move(remote), remoteService};
  std::lock_guard lock(g_handlesMutex);
  liveHandles().insert(handle);
  return handle;
}

SC_HANDLE__* checkHandle(SC_HANDLE handle, SC_HANDLE__::Kind kind) {
  std::lock_guard lock(g_handlesMutex);
  if (handle == nullptr || liveHandles().count(handle) == 0 || handle->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return handle;
}

bool hasAccess(const SC_HANDLE__* handle, DWORD needed) {
  if ((handle->access & needed) == needed) return true;
  SetLastError(ERROR_ACCESS_DENIED);
  return false;
}

}  // namespace platform::scm

using namespace platform::scm;
using Kind = SC_HANDLE__::Kind;

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess) {
  if (databaseName != nullptr && *databaseName != '\0' &&
      !platform::equalsAsciiNoCase(platform::toWide(databaseName), u"ServicesActive")) {
    SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
    return nullptr;
  }
  std::shared_ptr<platform::remote::Session> remote;
  if (machineName != nullptr && !platform::remote::isLocalMachineName(machineName)) {
    if (LONG e = platform::remote::sessionFor(machineName, &remote)) {
      SetLastError(DWORD(e));
      return nullptr;
    }
  }
  SetLastError(ERROR_SUCCESS);
  return newHandle(Kind::kManager, desiredAccess | SC_MANAGER_CONNECT, {}, std::move(remote));
}

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess) {
  const std::string machine = machineName ? platform::toAnsi(machineName) : std::string();
  const std::string database = databaseName ? platform::toAnsi(databaseName) : std::string();
  return OpenSCManagerA(machineName ? machine.c_str() : nullptr, databaseName ? database.c_str() : nullptr,
                        desiredAccess);
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName, DWORD desiredAccess,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCSTR binaryPathName,
                         LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                         LPCSTR password) {
  (void)password;  // every service runs as the account that starts it
  SC_HANDLE__* m = checkHandle(manager, Kind::kManager);
  if (m == nullptr) return nullptr;
  if (!hasAccess(m, SC_MANAGER_CREATE_SERVICE)) return nullptr;
  if (m->remote) {  // installing is for this computer only
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (serviceName == nullptr || binaryPathName == nullptr || *binaryPathName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (LONG e = checkServiceName(serviceName)) {
    SetLastError(DWORD(e));
    return nullptr;
  }
  const bool hasGroup = loadOrderGroup != nullptr && *loadOrderGroup != '\0';
  const bool hasDependencies = dependencies != nullptr && *dependencies != '\0';
  if ((serviceType & ~DWORD(SERVICE_INTERACTIVE_PROCESS)) != SERVICE_WIN32_OWN_PROCESS || startType < 2 ||
      startType > SERVICE_DISABLED || errorControl > 3 || tagId != nullptr || hasGroup || hasDependencies) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string path = serviceKeyPath(serviceName);
  if (LONG e = RegBeginTransaction(HKEY_LOCAL_MACHINE)) {
    SetLastError(DWORD(e));
    return nullptr;
  }
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG e = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                           &disposition);
  if (e == ERROR_SUCCESS && disposition == REG_OPENED_EXISTING_KEY) {
    DWORD flag = 0, type = 0, size = sizeof flag;
    const bool marked = RegQueryValueExA(key, "DeleteFlag", nullptr, &type, reinterpret_cast<BYTE*>(&flag),
                                         &size) == ERROR_SUCCESS &&
                        flag != 0;
    size = sizeof flag;
    const bool isService =
        RegQueryValueExA(key, "Type", nullptr, &type, reinterpret_cast<BYTE*>(&flag), &size) == ERROR_SUCCESS;
    // A bare key (Parameters written before installation, say) is taken over.
    if (marked)
      e = ERROR_SERVICE_MARKED_FOR_DELETE;
    else if (isService)
      e = ERROR_SERVICE_EXISTS;
  }
  auto setDword = [&](const char* name, DWORD value) {
    if (e == ERROR_SUCCESS)
      e = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  };
  auto setText = [&](const char* name, DWORD type, const char* value) {
    if (e == ERROR_SUCCESS)
      e = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(value),
                         DWORD(std::strlen(value) + 1));
  };
  setDword("Type", serviceType);
  setDword("Start", startType);
  setDword("ErrorControl", errorControl);
  setText("ImagePath", REG_EXPAND_SZ, binaryPathName);
  setText("DisplayName", REG_SZ, displayName != nullptr && *displayName != '\0' ? displayName : serviceName);
  setText("ObjectName", REG_SZ,
          serviceStartName != nullptr && *serviceStartName != '\0' ? serviceStartName : "LocalSystem");
  if (key != nullptr) RegCloseKey(key);
  if (e == ERROR_SUCCESS)
    e = RegCommitTransaction(HKEY_LOCAL_MACHINE);
  else
    RegRollbackTransaction(HKEY_LOCAL_MACHINE);
  if (e != ERROR_SUCCESS) {
    SetLastError(DWORD(e));
    return nullptr;
  }
  // The state of an earlier service of that name is not this one's.
  std::error_code ec;
  std::filesystem::remove(stateFolder(serviceName) / "status", ec);
  SetLastError(ERROR_SUCCESS);
  return newHandle(Kind::kService, desiredAccess, serviceName);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess) {
  SC_HANDLE__* m = checkHandle(manager, Kind::kManager);
  if (m == nullptr) return nullptr;
  if (serviceName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (LONG e = checkServiceName(serviceName)) {
    SetLastError(DWORD(e));
    return nullptr;
  }
  if (m->remote) {
    std::uint64_t remoteService = 0;
    if (LONG e = m->remote->openService(serviceName, &remoteService)) {
      SetLastError(DWORD(e));
      return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return newHandle(Kind::kService, desiredAccess, serviceName, m->remote, remoteService);
  }
  removeIfDeadAndMarked(serviceName);
  // A service marked for delete still opens, as on Windows: it runs until it
  // is stopped, and must be queried and stopped meanwhile. Starting, deleting
  // or creating it again is what answers 1072.
  ServiceRecord record;
  if (LONG e = readRecord(serviceName, &record)) {
    SetLastError(DWORD(e));
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return newHandle(Kind::kService, desiredAccess, serviceName);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
  if (serviceName == nullptr) return OpenServiceA(manager, nullptr, desiredAccess);
  return OpenServiceA(manager, platform::toAnsi(serviceName).c_str(), desiredAccess);
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  {
    std::lock_guard lock(g_handlesMutex);
    if (handle == nullptr || liveHandles().erase(handle) == 0) return fail(ERROR_INVALID_HANDLE);
  }
  // Gone here whatever the far side says; the session ends with its last handle.
  const std::unique_ptr<SC_HANDLE__> closed(handle);
  if (closed->remote && closed->kind == Kind::kService) {
    if (LONG e = closed->remote->closeService(closed->remoteService)) return fail(e);
  }
  return TRUE;
}

BOOL DeleteService(SC_HANDLE service) {
  SC_HANDLE__* s = checkHandle(service, Kind::kService);
  if (s == nullptr) return FALSE;
  if (!hasAccess(s, DELETE)) return FALSE;
  if (s->remote) return fail(ERROR_ACCESS_DENIED);  // uninstalling is for this computer only
  ServiceRecord record;
  if (LONG e = readRecord(s->name, &record)) return fail(e);
  if (record.deleteFlag) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  const std::filesystem::path folder = stateFolder(s->name);
  LONG error = 0;
  const int lock = takeLock(folder, &error);
  if (lock >= 0) {  // no process runs it: remove it now
    removeService(s->name, folder);
    ::close(lock);
    return TRUE;
  }
  if (error != ERROR_SERVICE_ALREADY_RUNNING) return fail(error);
  if (LONG e = setDeleteFlag(s->name)) return fail(e);
  // The dispatcher removes a marked service as it ends; if it ended just now,
  // before it could see the mark, the removal is ours.
  removeIfDeadAndMarked(s->name);
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  SC_HANDLE__* s = checkHandle(service, Kind::kService);
  if (s == nullptr) return FALSE;
  if (!hasAccess(s, SERVICE_QUERY_STATUS)) return FALSE;
  if (status == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (s->remote) {
    DWORD state = 0;
    if (LONG e = s->remote->queryService(s->remoteService, &state)) return fail(e);
    *status = SERVICE_STATUS{};
    status->dwCurrentState = state;
    return TRUE;
  }
  const std::filesystem::path folder = stateFolder(s->name);
  const std::optional<StatusFile> file = readStatus(folder);
  if (probe(folder) == Liveness::kRunning) {
    if (file) {
      *status = file->status;
    } else {  // started, nothing reported yet
      *status = stoppedStatus(0);
      status->dwCurrentState = SERVICE_START_PENDING;
    }
    return TRUE;
  }
  // No process holds the lock: stopped, whatever was last written. A process
  // that died without reporting stopped ended abnormally.
  if (file && file->status.dwCurrentState == SERVICE_STOPPED)
    *status = file->status;
  else
    *status = stoppedStatus(file ? DWORD(ERROR_PROCESS_ABORTED) : 0);
  status->dwControlsAccepted = 0;
  status->dwCheckPoint = status->dwWaitHint = 0;
  removeIfDeadAndMarked(s->name);
  return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  SC_HANDLE__* s = checkHandle(service, Kind::kService);
  if (s == nullptr) return FALSE;
  DWORD needed = 0;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      needed = SERVICE_STOP;
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      needed = SERVICE_PAUSE_CONTINUE;
      break;
    case SERVICE_CONTROL_INTERROGATE:
      needed = SERVICE_INTERROGATE;
      break;
    default:
      // Shutdown is the system's to send; 6 to 127 are reserved.
      if (control < 128 || control > 255) return fail(ERROR_INVALID_PARAMETER);
      needed = SERVICE_USER_DEFINED_CONTROL;
  }
  if (!hasAccess(s, needed)) return FALSE;
  if (status == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (s->remote) {
    // The wire format carries the stop control only.
    if (control != SERVICE_CONTROL_STOP) return fail(ERROR_NOT_SUPPORTED);
    DWORD state = 0;
    if (LONG e = s->remote->stopService(s->remoteService, &state)) return fail(e);
    *status = SERVICE_STATUS{};
    status->dwCurrentState = state;
    return TRUE;
  }
  ServiceRecord record;
  if (LONG e = readRecord(s->name, &record)) {
    return fail(e == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SERVICE_NOT_ACTIVE : e);
  }
  if (probe(stateFolder(s->name)) == Liveness::kStopped) {
    removeIfDeadAndMarked(s->name);
    return fail(ERROR_SERVICE_NOT_ACTIVE);
  }
  // A service that has reported stopped is not active, even while its
  // process is still ending (and might drop the control unanswered).
  const auto reportedStopped = [&] {
    const std::optional<StatusFile> file = readStatus(stateFolder(s->name));
    return file && file->status.dwCurrentState == SERVICE_STOPPED;
  };
  if (reportedStopped()) return fail(ERROR_SERVICE_NOT_ACTIVE);
  if (LONG e = sendControl(s->name, control, status)) {
    if (e == ERROR_PROCESS_ABORTED && reportedStopped()) e = ERROR_SERVICE_NOT_ACTIVE;
    return fail(e);
  }
  return TRUE;
}
