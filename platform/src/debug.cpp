#include "platform/debug.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/text.h"

namespace {

// The file stays open between calls; it is reopened when the variable names
// another file.
struct DebugSink {
  std::mutex lock;
  std::string path;
  int fd = -1;
};

DebugSink& sink() {
  static DebugSink s;
  return s;
}

void writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // debugger output is best effort, as it is on Windows
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void emit(const char* text, std::size_t size) {
  const char* target = std::getenv("CORVANTEL_DEBUG_OUTPUT");
  if (target == nullptr || *target == '\0') return;
  DebugSink& s = sink();
  std::lock_guard guard(s.lock);
  if (s.fd < 0 || s.path != target) {
    if (s.fd >= 0) ::close(s.fd);
    s.path = target;
    s.fd = ::open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (s.fd < 0) return;
  }
  writeAll(s.fd, text, size);
}

}  // namespace

bool platform::debugOutputEnabled() {
  const char* target = std::getenv("CORVANTEL_DEBUG_OUTPUT");
  return target != nullptr && *target != '\0';
}

void OutputDebugStringA(LPCSTR text) {
  if (text != nullptr) emit(text, std::strlen(text));
}

void OutputDebugStringW(LPCWSTR text) {
  if (text == nullptr) return;
  if (const char* target = std::getenv("CORVANTEL_DEBUG_OUTPUT"); target == nullptr || *target == '\0')
    return;  // skip the conversion when nobody listens
  const std::string narrow = platform::toAnsi(std::u16string_view(text, platform::wideLength(text)));
  emit(narrow.data(), narrow.size());
}
