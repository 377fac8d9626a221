#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace {

class NamedMutex final : public platform::KernelObject {
 public:
  explicit NamedMutex(int fd) : m_fd(fd) {}
  ~NamedMutex() override { ::close(m_fd); }  // closing the descriptor drops the lock

  bool tryTake() {
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EINTR) return false;
    }
    m_owned = true;
    return true;
  }

  bool release() {
    if (!m_owned) return false;
    ::flock(m_fd, LOCK_UN);
    m_owned = false;
    return true;
  }

 private:
  int m_fd;
  bool m_owned = false;
};

std::filesystem::path lockFolder() {
  if (const char* dir = std::getenv("CORVANTEL_MUTEX_DIR"); dir != nullptr && *dir != '\0') return dir;
  if (std::filesystem::is_directory("/run/lock")) return "/run/lock/corvantel";
  return "/tmp/corvantel-locks";
}

// Object names may hold any character but the backslash of the namespace
// prefix; the file name keeps letters, digits and a few marks, and encodes the
// rest, so that two names never share one file.
std::string fileNameFor(std::string_view name) {
  for (std::string_view prefix : {"Global\\", "Local\\"}) {
    if (name.substr(0, prefix.size()) == prefix) {
      name.remove_prefix(prefix.size());
      break;
    }
  }
  std::string out = "mutex-";
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned char c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out + ".lock";
}

bool prepareFolder(const std::filesystem::path& dir) {
  if (::mkdir(dir.c_str(), 01777) == 0) {
    ::chmod(dir.c_str(), 01777);  // the umask must not keep other users out
    return true;
  }
  return errno == EEXIST && std::filesystem::is_directory(dir);
}

}  // namespace

HANDLE CreateMutexA(void*, BOOL initialOwner, LPCSTR name) {
  (void)initialOwner;  // the object is taken at once whenever it is free; see the header
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::filesystem::path dir = lockFolder();
  if (!prepareFolder(dir)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  const std::filesystem::path file = dir / fileNameFor(name);
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  ::fchmod(fd, 0666);  // harmless when another user created it and this fails
  auto* mutex = new NamedMutex(fd);
  SetLastError(mutex->tryTake() ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return mutex;
}

HANDLE CreateMutexW(void* securityAttributes, BOOL initialOwner, LPCWSTR name) {
  if (name == nullptr) return CreateMutexA(securityAttributes, initialOwner, nullptr);
  const std::string narrow = platform::toAnsi(std::u16string_view(name, platform::wideLength(name)));
  return CreateMutexA(securityAttributes, initialOwner, narrow.c_str());
}

BOOL ReleaseMutex(HANDLE mutex) {
  if (mutex == nullptr || mutex == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* object = dynamic_cast<NamedMutex*>(static_cast<platform::KernelObject*>(mutex));
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!object->release()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}
