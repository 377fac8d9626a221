// corvctl sc: query, start, stop, delete and run services, and start the
// automatic ones.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/resource.h"
#include "platform/service.h"

namespace corvctl {

namespace {

using namespace std::chrono_literals;

constexpr const char* kScUsage =
    "usage: corvctl sc query  NAME\n"
    "       corvctl sc start  NAME\n"
    "       corvctl sc stop   NAME\n"
    "       corvctl sc delete NAME\n"
    "       corvctl sc start-auto        start every service whose Start is 2\n"
    "       corvctl sc run    NAME       run the service in the foreground; SIGTERM or SIGINT stops it\n";

int usage(const std::string& problem = {}) {
  if (!problem.empty()) std::fprintf(stderr, "corvctl: %s\n", problem.c_str());
  std::fputs(kScUsage, stderr);
  return kExitUsage;
}

std::string systemText(DWORD code) {
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof text, nullptr);
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out.empty() ? "Error " + std::to_string(code) + "." : out;
}

int failure(DWORD code) {
  std::fprintf(stderr, "corvctl: %s (%lu)\n", systemText(code).c_str(), static_cast<unsigned long>(code));
  return kExitFailure;
}

// Milliseconds from the environment, for tests; the fallback otherwise.
std::chrono::milliseconds envMs(const char* name, std::chrono::milliseconds fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return (*end == '\0' && value >= 0) ? std::chrono::milliseconds(value) : fallback;
}

const char* stateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    case SERVICE_CONTINUE_PENDING:
      return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
      return "PAUSE_PENDING";
    case SERVICE_PAUSED:
      return "PAUSED";
    default:
      return "UNKNOWN";
  }
}

// The status block as Windows' sc.exe prints it.
void printStatus(const std::string& name, const SERVICE_STATUS& s) {
  std::printf("\nSERVICE_NAME: %s\n", name.c_str());
  std::printf("        TYPE               : %lx  %s\n", static_cast<unsigned long>(s.dwServiceType),
              (s.dwServiceType & SERVICE_WIN32_OWN_PROCESS) ? "WIN32_OWN_PROCESS" : "");
  std::printf("        STATE              : %lu  %s\n", static_cast<unsigned long>(s.dwCurrentState),
              stateName(s.dwCurrentState));
  if (s.dwCurrentState != SERVICE_STOPPED)
    std::printf("                                (%s, %s, %s)\n",
                (s.dwControlsAccepted & SERVICE_ACCEPT_STOP) ? "STOPPABLE" : "NOT_STOPPABLE",
                (s.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) ? "PAUSABLE" : "NOT_PAUSABLE",
                (s.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN) ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN");
  std::printf("        WIN32_EXIT_CODE    : %lu  (0x%lx)\n", static_cast<unsigned long>(s.dwWin32ExitCode),
              static_cast<unsigned long>(s.dwWin32ExitCode));
  std::printf("        SERVICE_EXIT_CODE  : %lu  (0x%lx)\n",
              static_cast<unsigned long>(s.dwServiceSpecificExitCode),
              static_cast<unsigned long>(s.dwServiceSpecificExitCode));
  std::printf("        CHECKPOINT         : 0x%lx\n", static_cast<unsigned long>(s.dwCheckPoint));
  std::printf("        WAIT_HINT          : 0x%lx\n", static_cast<unsigned long>(s.dwWaitHint));
  std::fflush(stdout);
}

// Owns the manager and service handles of one command.
class Service {
 public:
  ~Service() {
    if (m_service != nullptr) CloseServiceHandle(m_service);
    if (m_manager != nullptr) CloseServiceHandle(m_manager);
  }
  // 0, or the error code of the step that failed.
  DWORD open(const std::string& name, DWORD access) {
    m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (m_manager == nullptr) return GetLastError();
    m_service = OpenServiceA(m_manager, name.c_str(), access);
    return m_service == nullptr ? GetLastError() : 0;
  }
  SC_HANDLE handle() const { return m_service; }

 private:
  SC_HANDLE m_manager = nullptr;
  SC_HANDLE m_service = nullptr;
};

// Polls while the state is `pending`, printing each change when asked; the last status.
bool waitWhile(SC_HANDLE service, DWORD pending, std::chrono::milliseconds limit, bool progress,
               SERVICE_STATUS* status) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  DWORD shown = status->dwCurrentState;
  while (status->dwCurrentState == pending) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
    if (!QueryServiceStatus(service, status)) return false;
    if (progress && status->dwCurrentState != shown) {
      shown = status->dwCurrentState;
      std::printf("  %s\n", stateName(shown));
      std::fflush(stdout);
    }
  }
  return true;
}

int query(const std::string& name) {
  Service s;
  if (DWORD e = s.open(name, SERVICE_QUERY_STATUS)) return failure(e);
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(s.handle(), &status)) return failure(GetLastError());
  printStatus(name, status);
  return 0;
}

// The last error event a service wrote since `since` (seconds since 1970),
// looked for under the event source of the service's own name.
std::optional<platform::EventRecord> lastErrorEvent(const std::string& name, std::int64_t since) {
  std::optional<platform::EventRecord> last;
  std::uint64_t after = 0;
  for (;;) {
    std::vector<platform::EventRecord> records;
    if (platform::readEvents(after, name, records, 1000) != ERROR_SUCCESS || records.empty()) break;
    for (auto& r : records)
      if (r.type == EVENTLOG_ERROR_TYPE && r.timeGenerated >= since) last = std::move(r);
    after = records.back().recordNumber;
  }
  return last;
}

// Says why a service stopped while it was starting: its exit codes and the
// text of the last error event it wrote.
void reportStoppedDuringStart(const std::string& name, const SERVICE_STATUS& status, std::int64_t since) {
  std::string why =
      "corvctl: " + name + " stopped during its start, exit code " + std::to_string(status.dwWin32ExitCode);
  if (status.dwWin32ExitCode == DWORD(ERROR_SERVICE_SPECIFIC_ERROR))
    why += " (service-specific exit code " + std::to_string(status.dwServiceSpecificExitCode) + ")";
  else if (status.dwWin32ExitCode != 0)
    why += " (" + systemText(status.dwWin32ExitCode) + ")";
  std::fprintf(stderr, "%s\n", why.c_str());
  const std::optional<platform::EventRecord> event = lastErrorEvent(name, since);
  if (!event) return;
  std::fprintf(stderr, "Its last error event, event %lu:\n", static_cast<unsigned long>(event->eventId));
  std::string text = forTerminal(platform::formatEvent(*event));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    std::string line = text.substr(at, end - at);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::fprintf(stderr, line.empty() ? "\n" : "    %s\n", line.c_str());
    at = end + 1;
  }
}

// Starts one service and waits until it runs or has stopped; 0 when it runs.
int start(const std::string& name) {
  Service s;
  if (DWORD e = s.open(name, SERVICE_START | SERVICE_QUERY_STATUS)) return failure(e);
  const std::int64_t startedAt = std::int64_t(std::time(nullptr));  // events are stamped in whole seconds
  if (!StartServiceA(s.handle(), 0, nullptr)) return failure(GetLastError());
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(s.handle(), &status)) return failure(GetLastError());
  const auto limit = envMs("CORVANTEL_SCM_START_TIMEOUT_MS", 30s);
  const bool settled = waitWhile(s.handle(), SERVICE_START_PENDING, limit, false, &status);
  printStatus(name, status);
  if (!settled) {
    std::fprintf(stderr, "corvctl: %s is still starting after %lld ms\n", name.c_str(),
                 static_cast<long long>(limit.count()));
    return kExitFailure;
  }
  if (status.dwCurrentState == SERVICE_STOPPED) {
    reportStoppedDuringStart(name, status, startedAt);
    return kExitFailure;
  }
  return 0;
}

int stop(const std::string& name) {
  Service s;
  if (DWORD e = s.open(name, SERVICE_STOP | SERVICE_QUERY_STATUS)) return failure(e);
  SERVICE_STATUS status{};
  if (!ControlService(s.handle(), SERVICE_CONTROL_STOP, &status)) {
    const DWORD error = GetLastError();
    // A process that ended while taking the stop has stopped all the same.
    if (error != DWORD(ERROR_PROCESS_ABORTED) || !QueryServiceStatus(s.handle(), &status) ||
        status.dwCurrentState != SERVICE_STOPPED)
      return failure(error);
  }
  std::printf("Stopping %s...\n  %s\n", name.c_str(), stateName(status.dwCurrentState));
  std::fflush(stdout);
  const auto limit = envMs("CORVANTEL_SCM_STOP_TIMEOUT_MS", 30s);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (status.dwCurrentState != SERVICE_STOPPED) {
    const DWORD before = status.dwCurrentState;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!waitWhile(s.handle(), before, left, true, &status)) {
      std::fprintf(stderr, "corvctl: %s did not stop within %lld ms (state %s)\n", name.c_str(),
                   static_cast<long long>(limit.count()), stateName(status.dwCurrentState));
      return kExitFailure;
    }
  }
  printStatus(name, status);
  return 0;
}

int remove(const std::string& name) {
  Service s;
  if (DWORD e = s.open(name, DELETE | SERVICE_QUERY_STATUS)) return failure(e);
  if (!DeleteService(s.handle())) return failure(GetLastError());
  SERVICE_STATUS status{};
  if (QueryServiceStatus(s.handle(), &status) && status.dwCurrentState != SERVICE_STOPPED)
    std::printf("%s is marked for deletion; it is removed when it stops.\n", name.c_str());
  else
    std::printf("%s deleted.\n", name.c_str());
  return 0;
}

// Every subkey of Services whose Start is SERVICE_AUTO_START.
std::vector<std::string> automaticServices() {
  std::vector<std::string> names;
  HKEY services = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &services) !=
      ERROR_SUCCESS)
    return names;
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(services, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY key = nullptr;
    if (RegOpenKeyExA(services, name, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) continue;
    DWORD startType = 0, type = 0, bytes = sizeof startType;
    if (RegQueryValueExA(key, "Start", nullptr, &type, reinterpret_cast<BYTE*>(&startType), &bytes) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && startType == SERVICE_AUTO_START)
      names.push_back(name);
    RegCloseKey(key);
  }
  RegCloseKey(services);
  return names;
}

int startAuto() {
  int result = 0;
  for (const std::string& name : automaticServices()) {
    Service s;
    DWORD error = s.open(name, SERVICE_START);
    if (error == 0 && !StartServiceA(s.handle(), 0, nullptr)) error = GetLastError();
    if (error == 0) {
      std::printf("%s started.\n", name.c_str());
    } else if (error == DWORD(ERROR_SERVICE_ALREADY_RUNNING)) {
      std::printf("%s is already running.\n", name.c_str());
    } else {
      std::fprintf(stderr, "corvctl: %s: %s (%lu)\n", name.c_str(), systemText(error).c_str(),
                   static_cast<unsigned long>(error));
      result = kExitFailure;
    }
  }
  return result;
}

int run(const std::string& name) {
  Service s;
  if (DWORD e = s.open(name, SERVICE_START)) return failure(e);
  std::fflush(nullptr);
  return failure(platform::runServiceInForeground(s.handle()));  // returns only when it failed
}

}  // namespace

int scCommand(const Args& args) {
  if (args.empty()) return usage();
  const std::string& verb = args[0];
  if (verb == "start-auto") return args.size() == 1 ? startAuto() : usage("sc start-auto takes no arguments");
  if (args.size() != 2) return usage();
  const std::string& name = args[1];
  if (verb == "query") return query(name);
  if (verb == "start") return start(name);
  if (verb == "stop") return stop(name);
  if (verb == "delete") return remove(name);
  if (verb == "run") return run(name);
  return usage("unknown sc command '" + verb + "'");
}

}  // namespace corvctl
