// RegistryKey: read-only access to one registry key, through which the
// configuration and the rule base are loaded. Nothing here raises an error:
// failures are false results or Windows result codes, and callers apply
// defaults.
#pragma once

#include "platform/registry.h"
#include "service/CTolvaneString.h"

class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  virtual ~RegistryKey();

  // Closes an open key first; returns the RegOpenKeyExW result.
  LONG Open(HKEY root, const WCHAR* subKey, REGSAM access);
  void Close();
  bool isOpen() const { return m_open; }
  HKEY getHandle() const { return m_key; }

  // False when the key is not open (the registry is not asked) or the value
  // cannot be read into 4 bytes; the stored type is not examined.
  bool ReadDWord(const WCHAR* name, DWORD& value) const;
  void ReadDWordDefault(const WCHAR* name, DWORD& value, DWORD defaultValue) const;

  // Reads at most 1023 wide characters: a longer value fails. The text ends at
  // the first zero character or at the end of the stored data.
  bool ReadString(const WCHAR* name, CTolvaneString& value) const;
  void ReadStringDefault(const WCHAR* name, CTolvaneString& value, const CTolvaneString& defaultValue) const;

 private:
  HKEY m_key = nullptr;
  bool m_open = false;
};

// Writes prefix followed by suffix into one process-wide buffer and returns it;
// the next call overwrites it (one thread at a time). A result longer than
// kJoinNameCapacity - 1 characters is cut to that length. Null counts as empty.
inline constexpr std::size_t kJoinNameCapacity = 1024;
const WCHAR* joinName(const WCHAR* prefix, const WCHAR* suffix);
