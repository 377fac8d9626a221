#include "service/CNTService.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <strings.h>

#include "platform/registry.h"
#include "platform/resource.h"
#include "service/event_ids.h"
#include "service/service_events.h"

namespace {

// The one service object of the process.
CNTService* g_service = nullptr;

constexpr std::chrono::milliseconds kRunPollInterval{5000};
constexpr DWORD kTypesSupported = 7;  // error, warning, information

std::string programPath() {
  char path[PATH_MAX] = {};
  GetModuleFileNameA(nullptr, path, sizeof(path));
  return path;
}

// Closes a handle without losing the error that made the caller give up.
void closeKeepingError(SC_HANDLE handle) {
  if (handle == nullptr) return;
  const DWORD error = GetLastError();
  CloseServiceHandle(handle);
  SetLastError(error);
}

}  // namespace

CNTService::CNTService(const char* serviceName) {
  std::strncpy(m_serviceName, serviceName != nullptr ? serviceName : "", kMaxServiceName);
  m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = SERVICE_STOPPED;
  m_status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  g_service = this;
}

CNTService::~CNTService() {
  if (g_service == this) g_service = nullptr;
}

bool CNTService::ParseStandardArgs(int argc, char** argv) {
  if (argc <= 1 || argv[1] == nullptr) return false;
  const char* option = argv[1];
  if (strcasecmp(option, "-h") == 0) {
    std::printf("%s Version %d.%d Build %d (%s)\n", m_serviceName, kMajorVersion, kMinorVersion, kBuildNumber,
                kReleaseLabel);
    std::printf("Usage: %s -h  --> This help message.\n", kProgramWord);
    std::printf("       %s -v  --> Show version information.\n", kProgramWord);
    std::printf("       %s -i  --> Install service.\n", kProgramWord);
    std::printf("       %s -u  --> Remove (uninstall) service.\n", kProgramWord);
    return true;
  }
  if (strcasecmp(option, "-v") == 0) {
    std::printf("%s Version %d.%d\n", m_serviceName, kMajorVersion, kMinorVersion);
    std::printf("The service is %s installed.\n", IsInstalled() ? "currently" : "not");
    return true;
  }
  if (strcasecmp(option, "-i") == 0) {
    if (IsInstalled()) {
      std::printf("%s is already installed\n", m_serviceName);
    } else if (Install()) {
      std::printf("%s installed\n", m_serviceName);
    } else {
      std::printf("%s failed to install. Error %d\n", m_serviceName, static_cast<int>(GetLastError()));
      m_commandExitCode = 1;
    }
    return true;
  }
  if (strcasecmp(option, "-u") == 0) {
    bool removed = false;
    if (IsInstalled()) {
      removed = Uninstall();
    } else {
      const DWORD why = GetLastError();
      // Marked for delete: it is on its way out already.
      if (why == static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST) ||
          why == static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE)) {
        std::printf("%s is not installed\n", m_serviceName);
        return true;
      }
      SetLastError(why);  // a user without rights, say: nothing was removed
    }
    if (removed) {
      std::printf("%s removed. (You must delete the file (%s) yourself.)\n", m_serviceName,
                  programPath().c_str());
    } else {
      std::printf("Could not remove %s. Error %d\n", m_serviceName, static_cast<int>(GetLastError()));
      m_commandExitCode = 1;
    }
    return true;
  }
  return false;
}

bool CNTService::IsInstalled() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceA(manager, m_serviceName, SERVICE_QUERY_CONFIG);
  if (service == nullptr) {
    closeKeepingError(manager);
    return false;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  // A service deleted while it runs still opens until it stops; the manager
  // keeps the mark in its record.
  const std::string key = std::string("SYSTEM\\CurrentControlSet\\Services\\") + m_serviceName;
  HKEY record = nullptr;
  DWORD flag = 0, size = sizeof(flag), type = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &record) == ERROR_SUCCESS) {
    if (RegQueryValueExA(record, "DeleteFlag", nullptr, &type, reinterpret_cast<BYTE*>(&flag), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
      flag = 0;
    RegCloseKey(record);
  }
  if (flag != 0) {
    SetLastError(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    return false;
  }
  SetLastError(ERROR_SUCCESS);
  return true;
}

bool CNTService::Install() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;
  const std::string path = programPath();
  SC_HANDLE service = CreateServiceA(manager, m_serviceName, m_serviceName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (service == nullptr) {
    closeKeepingError(manager);
    return false;
  }

  // The event source, so that viewers format our events from this program's
  // message table.
  const std::string sourceKey = std::string(platform::kApplicationLogKey) + "\\" + m_serviceName;
  HKEY key = nullptr;
  const LONG created = RegCreateKeyA(HKEY_LOCAL_MACHINE, sourceKey.c_str(), &key);
  if (created != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(created));
    closeKeepingError(service);
    closeKeepingError(manager);
    return false;
  }
  RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                 static_cast<DWORD>(path.size() + 1));
  const DWORD types = kTypesSupported;
  RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof(types));
  RegCloseKey(key);

  LogEvent(EVENTLOG_INFORMATION_TYPE, kEventServiceInstalled, m_serviceName);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  OnInstall();
  return true;
}

bool CNTService::Uninstall() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceA(manager, m_serviceName, DELETE);
  if (service == nullptr) {
    closeKeepingError(manager);
    return false;
  }
  const bool deleted = DeleteService(service) != FALSE;
  const DWORD error = GetLastError();
  LogEvent(deleted ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE,
           deleted ? kEventServiceRemoved : kEventServiceNotRemoved, m_serviceName);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  SetLastError(error);
  return deleted;
}

bool CNTService::StartService() {
  SERVICE_TABLE_ENTRYA table[] = {{m_serviceName, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) != FALSE;
}

void CNTService::SetStatus(DWORD state) {
  std::lock_guard lock(m_statusMutex);
  m_status.dwCurrentState = state;
  reportStatus();
}

void CNTService::reportStatus() {
  if (m_statusHandle != nullptr) SetServiceStatus(m_statusHandle, &m_status);
}

SERVICE_STATUS CNTService::getStatus() const {
  std::lock_guard lock(m_statusMutex);
  return m_status;
}

bool CNTService::Initialize() {
  SetStatus(SERVICE_START_PENDING);
  SetLastError(ERROR_SUCCESS);
  const bool initialized = OnInit();
  {
    std::lock_guard lock(m_statusMutex);
    m_status.dwWin32ExitCode = GetLastError();
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
  }
  if (!initialized) {
    LogEvent(EVENTLOG_ERROR_TYPE, kEventInitFailed);
    std::lock_guard lock(m_statusMutex);
    setFailureExitCode();
    m_status.dwCurrentState = SERVICE_STOPPED;
    reportStatus();
    return false;
  }
  LogEvent(EVENTLOG_INFORMATION_TYPE, kEventServiceStarted);
  // A worker that failed at once has lowered the flag: reporting running now
  // would tell a starter that waits for it the service runs.
  if (isRunning()) SetStatus(SERVICE_RUNNING);
  return true;
}

void CNTService::setFailureExitCode() {
  if (m_status.dwWin32ExitCode != 0) return;
  m_status.dwWin32ExitCode = static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR);
  m_status.dwServiceSpecificExitCode = m_lastErrorEvent.load();
}

void CNTService::setRunning(bool running) {
  {
    std::lock_guard lock(m_runMutex);
    m_running = running;
  }
  if (!running) m_runWake.notify_all();
}

void CNTService::Run() {
  std::unique_lock lock(m_runMutex);
  while (m_running) m_runWake.wait_for(lock, kRunPollInterval);
}

bool CNTService::OnInstall() { return true; }
bool CNTService::OnInit() { return true; }
void CNTService::OnStop() {}
void CNTService::OnInterrogate() {}
void CNTService::OnPause() {}
void CNTService::OnContinue() {}
void CNTService::OnShutdown() {}
bool CNTService::OnUserControl(DWORD) { return false; }

void CNTService::LogEvent(WORD type, DWORD eventId, const char* insert1, const char* insert2,
                          const char* insert3) {
  if (type == EVENTLOG_ERROR_TYPE) m_lastErrorEvent = eventId;
  // Inserts are counted up to the first one missing, as they are numbered.
  if (insert1 == nullptr) {
    logDaemonEvent(type, eventId);
  } else if (insert2 == nullptr) {
    logDaemonEvent(type, eventId, {insert1});
  } else if (insert3 == nullptr) {
    logDaemonEvent(type, eventId, {insert1, insert2});
  } else {
    logDaemonEvent(type, eventId, {insert1, insert2, insert3});
  }
}

void CNTService::ServiceMain(DWORD, LPSTR*) {
  CNTService* self = g_service;
  if (self == nullptr) return;
  {
    std::lock_guard lock(self->m_statusMutex);
    self->m_status.dwCurrentState = SERVICE_START_PENDING;
    self->m_status.dwWin32ExitCode = 0;
    self->m_status.dwServiceSpecificExitCode = 0;
  }
  self->m_stopRequested = false;
  self->m_lastErrorEvent = 0;
  self->m_statusHandle = RegisterServiceCtrlHandlerA(self->m_serviceName, Handler);
  if (self->m_statusHandle == nullptr) {
    self->LogEvent(EVENTLOG_ERROR_TYPE, kEventCtrlHandlerNotInstalled);
    return;
  }
  // Raised before OnInit starts the worker: a worker that fails at once clears
  // the flag, and that must not be undone afterwards.
  self->setRunning(true);
  if (self->Initialize()) {
    {
      std::lock_guard lock(self->m_statusMutex);
      self->m_status.dwWin32ExitCode = 0;
      self->m_status.dwCheckPoint = 0;
      self->m_status.dwWaitHint = 0;
    }
    self->Run();
  }
  self->setRunning(false);
  // A stop request still being handled reports after us otherwise.
  std::lock_guard handling(self->m_handlerMutex);
  std::lock_guard lock(self->m_statusMutex);
  if (!self->m_stopRequested) self->setFailureExitCode();
  self->m_status.dwCurrentState = SERVICE_STOPPED;
  self->reportStatus();
}

void CNTService::Handler(DWORD control) {
  CNTService* self = g_service;
  if (self == nullptr) return;
  std::lock_guard handling(self->m_handlerMutex);
  switch (control) {
    case SERVICE_CONTROL_STOP:
      self->m_stopRequested = true;
      self->SetStatus(SERVICE_STOP_PENDING);
      self->OnStop();
      // Logged before the flag falls: once it has, the process may end.
      self->LogEvent(EVENTLOG_INFORMATION_TYPE, kEventServiceStopped);
      self->setRunning(false);
      break;
    case SERVICE_CONTROL_PAUSE:
      self->OnPause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      self->OnContinue();
      break;
    case SERVICE_CONTROL_INTERROGATE:
      self->OnInterrogate();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      self->OnShutdown();
      break;
    default:
      if (control < 128 || !self->OnUserControl(control)) {
        self->LogEvent(EVENTLOG_ERROR_TYPE, kEventUnsupportedRequest);
      }
      break;
  }
  std::lock_guard lock(self->m_statusMutex);
  self->reportStatus();
}
