#include "temp_root.h"

#include <cstdlib>
#include <stdexcept>

namespace platform::testing {

TempPlatformRoot::TempPlatformRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "corvantel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_base = pattern;
  std::filesystem::create_directories(machine());
  std::filesystem::create_directories(user());
  if (const char* v = std::getenv("CORVANTEL_ROOT")) m_hadRoot = true, m_oldRoot = v;
  if (const char* v = std::getenv("CORVANTEL_USER_ROOT")) m_hadUserRoot = true, m_oldUserRoot = v;
  setenv("CORVANTEL_ROOT", machine().c_str(), 1);
  setenv("CORVANTEL_USER_ROOT", user().c_str(), 1);
}

TempPlatformRoot::~TempPlatformRoot() {
  if (m_hadRoot) setenv("CORVANTEL_ROOT", m_oldRoot.c_str(), 1); else unsetenv("CORVANTEL_ROOT");
  if (m_hadUserRoot) setenv("CORVANTEL_USER_ROOT", m_oldUserRoot.c_str(), 1); else unsetenv("CORVANTEL_USER_ROOT");
  std::error_code ec;
  std::filesystem::remove_all(m_base, ec);
}

}  // namespace platform::testing
