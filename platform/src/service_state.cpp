#include "service_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/paths.h"
#include "platform/registry.h"

namespace platform::scm {

long envNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 0) return fallback;
  return value;
}

int startTimeoutMs() { return int(envNumber("CORVANTEL_SCM_START_TIMEOUT_MS", 30000)); }
int controlTimeoutMs() { return int(envNumber("CORVANTEL_SCM_CONTROL_TIMEOUT_MS", 30000)); }

LONG checkServiceName(std::string_view name) {
  if (name.empty() || name.size() > 256) return ERROR_INVALID_NAME;
  for (unsigned char c : name)
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return ERROR_INVALID_NAME;
  return ERROR_SUCCESS;
}

std::string serviceKeyPath(std::string_view name) {
  return std::string(kServicesKey) + "\\" + std::string(name);
}

std::filesystem::path stateFolder(std::string_view name) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string folder;
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a of the folded name
  for (unsigned char c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    hash = (hash ^ c) * 1099511628211ull;
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-') {
      folder.push_back(static_cast<char>(c));
    } else {
      folder.push_back('%');
      folder.push_back(kHex[c >> 4]);
      folder.push_back(kHex[c & 15]);
    }
  }
  // "." and ".." must not name the parent folders; a file name has at most 255 bytes.
  if (folder == "." || folder == "..") folder = "%2e" + folder.substr(1);
  if (folder.size() > 200) {
    char tail[20];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
    folder = folder.substr(0, 160) + tail;
  }
  return machineRoot() / "services" / folder;
}

bool ensureStateFolder(const std::filesystem::path& folder) {
  const std::filesystem::path services = folder.parent_path();
  if (!ensureDirectory(services.parent_path())) return false;
  for (const auto& dir : {services, folder}) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return std::filesystem::is_directory(folder);
}

namespace {

bool queryDword(HKEY key, const char* value, DWORD* out) {
  DWORD type = 0, data = 0, size = sizeof data;
  if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    return false;
  *out = data;
  return true;
}

std::string queryText(HKEY key, const char* value) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
  if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
  std::string text(size, '\0');
  if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
      ERROR_SUCCESS)
    return {};
  text.resize(std::strlen(text.c_str()));
  return text;
}

}  // namespace

LONG readRecord(std::string_view name, ServiceRecord* record) {
  HKEY key = nullptr;
  const LONG opened =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, serviceKeyPath(name).c_str(), 0, KEY_QUERY_VALUE, &key);
  if (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_KEY_DELETED) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (opened != ERROR_SUCCESS) return opened;
  record->name = std::string(name);
  // A key without Type is not a service (EventLog is such a key).
  const bool isService = queryDword(key, "Type", &record->type);
  queryDword(key, "Start", &record->start);
  DWORD flag = 0;
  record->deleteFlag = queryDword(key, "DeleteFlag", &flag) && flag != 0;
  record->imagePath = queryText(key, "ImagePath");
  RegCloseKey(key);
  return isService ? ERROR_SUCCESS : ERROR_SERVICE_DOES_NOT_EXIST;
}

LONG setDeleteFlag(std::string_view name) {
  HKEY key = nullptr;
  LONG e = RegOpenKeyExA(HKEY_LOCAL_MACHINE, serviceKeyPath(name).c_str(), 0, KEY_SET_VALUE, &key);
  if (e == ERROR_FILE_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (e != ERROR_SUCCESS) return e;
  const DWORD one = 1;
  e = RegSetValueExA(key, "DeleteFlag", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  RegCloseKey(key);
  return e;
}

SERVICE_STATUS stoppedStatus(DWORD exitCode) {
  SERVICE_STATUS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = SERVICE_STOPPED;
  s.dwWin32ExitCode = exitCode;
  return s;
}

std::optional<StatusFile> readStatus(const std::filesystem::path& folder) {
  std::ifstream in(folder / "status");
  if (!in) return std::nullopt;
  StatusFile file;
  SERVICE_STATUS& s = file.status;
  struct Field {
    const char* name;
    DWORD* value;
  } fields[] = {{"type", &s.dwServiceType},
                {"state", &s.dwCurrentState},
                {"accepted", &s.dwControlsAccepted},
                {"exit", &s.dwWin32ExitCode},
                {"specific", &s.dwServiceSpecificExitCode},
                {"checkpoint", &s.dwCheckPoint},
                {"waithint", &s.dwWaitHint}};
  bool haveState = false;
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const unsigned long value = std::strtoul(line.c_str() + eq + 1, nullptr, 10);
    if (key == "pid") file.pid = long(value);
    for (const Field& f : fields)
      if (key == f.name) *f.value = DWORD(value);
    haveState = haveState || key == "state";
  }
  if (!haveState || s.dwCurrentState < SERVICE_STOPPED || s.dwCurrentState > SERVICE_PAUSED)
    return std::nullopt;
  return file;
}

bool writeStatus(const std::filesystem::path& folder, const StatusFile& file) {
  const SERVICE_STATUS& s = file.status;
  std::ostringstream text;
  text << "pid=" << file.pid << "\ntype=" << s.dwServiceType << "\nstate=" << s.dwCurrentState
       << "\naccepted=" << s.dwControlsAccepted << "\nexit=" << s.dwWin32ExitCode
       << "\nspecific=" << s.dwServiceSpecificExitCode << "\ncheckpoint=" << s.dwCheckPoint
       << "\nwaithint=" << s.dwWaitHint << "\n";
  const std::string data = text.str();
  // Readers see the old status or the new one, never half of one.
  const std::filesystem::path temp =
      folder / ("status.tmp." + std::to_string(::getpid()) + "." +
                std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id())));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::write(fd, data.data(), data.size()) == ssize_t(data.size());
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), (folder / "status").c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

Liveness probe(const std::filesystem::path& folder) {
  const int fd = ::open((folder / "lock").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Liveness::kStopped;
  // A shared lock never keeps a starter out for long (see takeLock), and it
  // fails exactly while a service process holds the exclusive one.
  int r;
  while ((r = ::flock(fd, LOCK_SH | LOCK_NB)) != 0 && errno == EINTR) {
  }
  ::close(fd);
  return r == 0 ? Liveness::kStopped : Liveness::kRunning;
}

// How long (in 10 ms steps) a start waits for a process that reported STOPPED
// to release the lock as it ends.
constexpr int kExitingWaitSteps = 1000;

int takeLock(const std::filesystem::path& folder, LONG* error) {
  if (!ensureStateFolder(folder)) {
    *error = ERROR_PATH_NOT_FOUND;
    return -1;
  }
  const int fd = ::open((folder / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
    return -1;
  }
  // Another process may hold a shared lock for an instant while it probes;
  // only an exclusive holder is a running service.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) break;
    const int probe = ::open((folder / "lock").c_str(), O_RDONLY | O_CLOEXEC);
    const bool exclusiveHeld = probe >= 0 && ::flock(probe, LOCK_SH | LOCK_NB) != 0;
    if (probe >= 0) ::close(probe);
    if (exclusiveHeld) {
      // A process that has reported STOPPED is on its way out: its lock goes
      // with it in a moment (longer on a busy machine). Waiting for that lets
      // a start that follows a stop at once succeed instead of failing with
      // "already running".
      const auto status = readStatus(folder);
      if (status && status->status.dwCurrentState == SERVICE_STOPPED) {
        for (int wait = 0; wait < kExitingWaitSteps; ++wait) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
        }
      }
      ::close(fd);
      *error = ERROR_SERVICE_ALREADY_RUNNING;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::close(fd);
  *error = ERROR_SERVICE_ALREADY_RUNNING;
  return -1;
}

void removeService(std::string_view name, const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, serviceKeyPath(name).c_str());
}

bool removeIfDeadAndMarked(std::string_view name) {
  ServiceRecord record;
  if (readRecord(name, &record) != ERROR_SUCCESS || !record.deleteFlag) return false;
  const std::filesystem::path folder = stateFolder(name);
  LONG error = 0;
  const int fd = takeLock(folder, &error);
  if (fd < 0) return false;
  removeService(name, folder);
  ::close(fd);
  return true;
}

bool socketAddress(const std::filesystem::path& file, sockaddr_un* address, int* dirFd) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  *dirFd = -1;
  std::string path = file.string();
  if (path.size() >= sizeof address->sun_path) {
    *dirFd = ::open(file.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (*dirFd < 0) return false;
    path = "/proc/self/fd/" + std::to_string(*dirFd) + "/" + file.filename().string();
    if (path.size() >= sizeof address->sun_path) return false;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace platform::scm

namespace platform {

std::filesystem::path serviceStateFolder(std::string_view serviceName) { return scm::stateFolder(serviceName); }

}  // namespace platform
