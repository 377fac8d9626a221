// RegistryKey: read-only access to one registry key, through which the
// configuration and the rule base are loaded. Nothing here raises an error:
// failures are false results or Windows result codes, and callers apply
// defaults.
#pragma once

#include "platform/registry.h"
#include "service/CTolvaneString.h"

// How reading one value went.
enum class ValueRead {
  kPresent,
  kMissing,    // no such value, or the key is not open
  kWrongType,  // stored with a type the reader does not take
  kTooLong,    // a text longer than the reader takes
  kFailed,     // the registry failed (the key was deleted, the hive is busy or damaged)
};

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

  // A REG_DWORD value; any other type is kWrongType (a number stored as the
  // text "7" must not read as the code of its first character). `value` is
  // changed only when present; *error, when given, receives the registry's
  // result code.
  ValueRead QueryDWord(const WCHAR* name, DWORD& value, LONG* error = nullptr) const;
  // A REG_SZ or REG_EXPAND_SZ value of at most maxChars wide characters with
  // its terminating zero (or maxChars + 1 without one). The text ends at the
  // first zero character or at the end of the stored data. `value` is changed
  // only when present.
  ValueRead QueryString(const WCHAR* name, CTolvaneString& value, std::size_t maxChars,
                        LONG* error = nullptr) const;

  // True only for a present REG_DWORD value.
  bool ReadDWord(const WCHAR* name, DWORD& value) const;
  void ReadDWordDefault(const WCHAR* name, DWORD& value, DWORD defaultValue) const;

  // A present text of at most kMaxStringChars characters: a longer value, or
  // one of another type, fails.
  static constexpr std::size_t kMaxStringChars = 1023;
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
