#include "Registry.h"

#include <array>
#include <vector>
#include <cstring>

#include "Global.h"
#include "ansi_text.h"

namespace Registry {

namespace {

// The designed buffer of a string read: 255 bytes of text and a terminator.
constexpr DWORD kStringBufferSize = 256;

}  // namespace

QString QueryStringValue(HKEY key, const QString& name, const QString& defaultValue, LONG* result) {
  return QueryStringValue(key, name, defaultValue, result, kStringBufferSize);
}

QString QueryStringValue(HKEY key, const QString& name, const QString& defaultValue, LONG* result,
                         unsigned bufferSize) {
  std::vector<char> buffer(bufferSize + 1, '\0');  // one spare zero: data need not end in one
  DWORD size = bufferSize;
  const LONG rc = RegQueryValueExA(key, toAnsi(name).c_str(), nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(buffer.data()), &size);
  if (result != nullptr) *result = rc;
  if (rc != ERROR_SUCCESS) return defaultValue;
  return fromAnsi(std::string_view(buffer.data(), ::strnlen(buffer.data(), size)));
}

std::int32_t QueryDWordValue(HKEY key, const QString& name, std::int32_t defaultValue, bool* found,
                             LONG* result) {
  std::array<unsigned char, 4> bytes{};
  DWORD size = static_cast<DWORD>(bytes.size());
  const LONG rc = RegQueryValueExA(key, toAnsi(name).c_str(), nullptr, nullptr, bytes.data(), &size);
  if (result != nullptr) *result = rc;
  if (found != nullptr) *found = rc == ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return defaultValue;
  const std::uint32_t value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (std::uint32_t{bytes[3]} << 24);
  return static_cast<std::int32_t>(value);
}

LONG SetStringValue(HKEY key, const QString& name, const QString& text, bool keepEmpty) {
  if (text.isEmpty() && !keepEmpty) {
    DeleteValue(key, name);
    return Global::nLastRegError;
  }
  const std::string data = toAnsi(text);
  // Passed without its terminator; the registry stores the value with one.
  return RegSetValueExA(key, toAnsi(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                        static_cast<DWORD>(data.size()));
}

bool readsAsNumber(const QString& text, std::int32_t* value) {
  const QString trimmed = text.trimmed();
  qsizetype i = 0;
  bool negative = false;
  if (i < trimmed.size() && (trimmed[i] == u'+' || trimmed[i] == u'-')) negative = trimmed[i++] == u'-';
  if (i == trimmed.size()) return false;
  std::int64_t magnitude = 0;
  for (; i < trimmed.size(); ++i) {
    const char16_t c = trimmed[i].unicode();
    if (c < u'0' || c > u'9') return false;
    magnitude = magnitude * 10 + (c - u'0');
    if (magnitude > 0xFFFFFFFFll) return false;  // fits no 32-bit value
  }
  const std::int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue < INT32_MIN) return false;
  if (value != nullptr) *value = static_cast<std::int32_t>(static_cast<std::uint32_t>(signedValue));
  return true;
}

LONG SetNumberValue(HKEY key, const QString& name, const QString& value) {
  std::int32_t number = 0;
  if (!readsAsNumber(value, &number)) {
    DeleteValue(key, name);
    return Global::nLastRegError;
  }
  return SetNumberValue(key, name, number);
}

LONG SetNumberValue(HKEY key, const QString& name, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  const unsigned char bytes[4] = {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
                                  static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
  return RegSetValueExA(key, toAnsi(name).c_str(), 0, REG_DWORD, bytes, sizeof bytes);
}

LONG QueryValueType(HKEY key, const QString& name, DWORD* type, DWORD* size) {
  DWORD dataSize = 0;
  const LONG rc = RegQueryValueExA(key, toAnsi(name).c_str(), nullptr, type, nullptr, &dataSize);
  if (size != nullptr) *size = dataSize;
  return rc;
}

void DeleteValue(HKEY key, const QString& name) {
  Global::nLastRegError = RegDeleteValueA(key, toAnsi(name).c_str());
}

}  // namespace Registry
