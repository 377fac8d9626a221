#include "service/RegistryKey.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"

namespace {
// 2048 bytes as the registry is asked for them, plus one character that always
// stays zero, so that data filling the buffer without a terminator still ends.
constexpr DWORD kStringBufferBytes = 2048;
constexpr std::size_t kStringBufferChars = kStringBufferBytes / sizeof(WCHAR) + 1;

WCHAR g_joinNameBuffer[kJoinNameCapacity];
}  // namespace

RegistryKey::~RegistryKey() { Close(); }

LONG RegistryKey::Open(HKEY root, const WCHAR* subKey, REGSAM access) {
  Close();
  HKEY key = nullptr;
  const LONG result = RegOpenKeyExW(root, subKey, 0, access, &key);
  if (result == ERROR_SUCCESS) {
    m_key = key;
    m_open = true;
  }
  return result;
}

void RegistryKey::Close() {
  if (m_open) {
    RegCloseKey(m_key);
    m_key = nullptr;
    m_open = false;
  }
}

bool RegistryKey::ReadDWord(const WCHAR* name, DWORD& value) const {
  if (!m_open) return false;
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (RegQueryValueExW(m_key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  value = data;
  return true;
}

void RegistryKey::ReadDWordDefault(const WCHAR* name, DWORD& value, DWORD defaultValue) const {
  if (!ReadDWord(name, value)) value = defaultValue;
}

bool RegistryKey::ReadString(const WCHAR* name, CTolvaneString& value) const {
  if (!m_open) return false;
  WCHAR buffer[kStringBufferChars] = {};
  DWORD size = kStringBufferBytes;
  if (RegQueryValueExW(m_key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  const std::size_t stored = std::min<std::size_t>(size / sizeof(WCHAR), kStringBufferChars - 1);
  std::u16string_view text(buffer, stored);
  text = text.substr(0, text.find(u'\0'));
  value.setWide(text);
  return true;
}

void RegistryKey::ReadStringDefault(const WCHAR* name, CTolvaneString& value,
                                    const CTolvaneString& defaultValue) const {
  if (!ReadString(name, value)) value = defaultValue;
}

const WCHAR* joinName(const WCHAR* prefix, const WCHAR* suffix) {
  std::size_t used = 0;
  for (const WCHAR* part : {prefix, suffix}) {
    if (part == nullptr) continue;
    const std::size_t length = std::min(platform::wideLength(part), kJoinNameCapacity - 1 - used);
    // memmove: the prefix may be an earlier result, that is the buffer itself.
    std::memmove(g_joinNameBuffer + used, part, length * sizeof(WCHAR));
    used += length;
  }
  g_joinNameBuffer[used] = 0;
  return g_joinNameBuffer;
}
