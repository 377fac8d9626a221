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

ValueRead RegistryKey::QueryDWord(const WCHAR* name, DWORD& value, LONG* error) const {
  if (error != nullptr) *error = ERROR_SUCCESS;
  if (!m_open) return ValueRead::kMissing;
  DWORD type = REG_NONE;
  DWORD data = 0;
  DWORD size = sizeof(data);
  const LONG result =
      RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  if (error != nullptr) *error = result;
  if (result == ERROR_FILE_NOT_FOUND) return ValueRead::kMissing;
  if (result == ERROR_MORE_DATA) return ValueRead::kWrongType;  // no number takes more than 4 bytes
  if (result != ERROR_SUCCESS) return ValueRead::kFailed;
  if (type != REG_DWORD || size != sizeof(data)) return ValueRead::kWrongType;
  value = data;
  return ValueRead::kPresent;
}

ValueRead RegistryKey::QueryString(const WCHAR* name, CTolvaneString& value, std::size_t maxChars,
                                   LONG* error) const {
  if (error != nullptr) *error = ERROR_SUCCESS;
  if (!m_open) return ValueRead::kMissing;
  const std::size_t maxBytes = (maxChars + 1) * sizeof(WCHAR);
  // Most values fit the buffer on the stack and take one query; a longer one
  // is asked for again with a buffer of the size the registry named.
  WCHAR small[kStringBufferChars] = {};
  std::u16string large;
  WCHAR* buffer = small;
  DWORD capacity = kStringBufferBytes;
  DWORD type = REG_NONE;
  DWORD size = capacity;
  LONG result = RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  while (result == ERROR_MORE_DATA && size <= maxBytes) {
    large.assign(size / sizeof(WCHAR) + 1, u'\0');
    buffer = large.data();
    capacity = size;
    result = RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  }
  if (error != nullptr) *error = result;
  if (result == ERROR_FILE_NOT_FOUND) return ValueRead::kMissing;
  if (result == ERROR_MORE_DATA) return ValueRead::kTooLong;
  if (result != ERROR_SUCCESS) return ValueRead::kFailed;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ValueRead::kWrongType;
  if (size > maxBytes) return ValueRead::kTooLong;
  std::u16string_view text(buffer, std::min<std::size_t>(size, capacity) / sizeof(WCHAR));
  text = text.substr(0, text.find(u'\0'));
  value.setWide(text);
  return ValueRead::kPresent;
}

bool RegistryKey::ReadDWord(const WCHAR* name, DWORD& value) const {
  return QueryDWord(name, value) == ValueRead::kPresent;
}

void RegistryKey::ReadDWordDefault(const WCHAR* name, DWORD& value, DWORD defaultValue) const {
  if (!ReadDWord(name, value)) value = defaultValue;
}

bool RegistryKey::ReadString(const WCHAR* name, CTolvaneString& value) const {
  return QueryString(name, value, kMaxStringChars) == ValueRead::kPresent;
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
