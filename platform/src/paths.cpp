#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace platform {

namespace {
const char* nonEmptyEnv(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : nullptr;
}
}  // namespace

std::filesystem::path machineRoot() {
  if (const char* root = nonEmptyEnv("CORVANTEL_ROOT")) return root;
  return "/var/lib/corvantel";
}

std::filesystem::path userRoot() {
  if (const char* root = nonEmptyEnv("CORVANTEL_USER_ROOT")) return root;
  if (const char* xdg = nonEmptyEnv("XDG_CONFIG_HOME")) return std::filesystem::path(xdg) / "corvantel";
  if (const char* home = nonEmptyEnv("HOME")) return std::filesystem::path(home) / ".config" / "corvantel";
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
    return std::filesystem::path(pw->pw_dir) / ".config" / "corvantel";
  return "/tmp/corvantel-user";
}

bool ensureDirectory(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return std::filesystem::is_directory(dir, ec);
}

}  // namespace platform
