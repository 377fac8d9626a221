// Test support: a private platform root for one test, removed afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace platform::testing {

// Points CORVANTEL_ROOT and CORVANTEL_USER_ROOT at fresh temporary folders for
// its lifetime and restores the previous values (and removes the folders) after.
class TempPlatformRoot {
 public:
  TempPlatformRoot();
  ~TempPlatformRoot();
  TempPlatformRoot(const TempPlatformRoot&) = delete;
  TempPlatformRoot& operator=(const TempPlatformRoot&) = delete;

  const std::filesystem::path& base() const { return m_base; }
  std::filesystem::path machine() const { return m_base / "machine"; }
  std::filesystem::path user() const { return m_base / "user"; }

 private:
  std::filesystem::path m_base;
  std::string m_oldRoot, m_oldUserRoot;
  bool m_hadRoot = false, m_hadUserRoot = false;
};

}  // namespace platform::testing
