// Registry: the value operations through which every part of the client reads
// and writes the registry, on this computer or a connected one. All of them go
// through the ANSI calls; text is converted losslessly (ansi_text.h).
//
// Reads never fail visibly: a value that is missing or cannot be read gives the
// caller's default. Writes return the platform's result code; deletions also
// leave it in Global::nLastRegError.
#pragma once

#include <QString>
#include <cstdint>

#include "platform/registry.h"

namespace Registry {

// A string value read through a 256-byte buffer: the text up to its first zero
// byte. A value that is missing, or that needs more than 255 bytes in the ANSI
// code page, gives `defaultValue`. `result`, when given, receives the query's
// result code (ERROR_MORE_DATA for a value too long).
QString QueryStringValue(HKEY key, const QString& name, const QString& defaultValue,
                         LONG* result = nullptr);

// The same read through a buffer of `bufferSize` bytes, for values that the
// daemon reads longer than 255 bytes (kLongStringBuffer: what its 1023
// characters can take in the ANSI code page).
inline constexpr unsigned kLongStringBuffer = 1024 * 3;
// Rule filters, which the daemon reads as long as a message can be (32767
// characters, each up to three bytes in the ANSI code page).
inline constexpr unsigned kFilterStringBuffer = 32767 * 3 + 1;
QString QueryStringValue(HKEY key, const QString& name, const QString& defaultValue, LONG* result,
                         unsigned bufferSize);

// The first four bytes of a value, whatever its registry type, as a signed
// 32-bit number (little-endian; bytes a shorter value lacks read as 0). A value
// that is missing or longer than four bytes gives `defaultValue` with *found
// cleared.
std::int32_t QueryDWordValue(HKEY key, const QString& name, std::int32_t defaultValue, bool* found = nullptr,
                             LONG* result = nullptr);

// Writes `text` as REG_SZ. An empty text deletes the value instead, unless
// `keepEmpty` is set, so that the reader's default applies again.
LONG SetStringValue(HKEY key, const QString& name, const QString& text, bool keepEmpty = false);

// Writes a text that reads as a number (optional blanks and sign, decimal
// digits, from -2147483648 to 4294967295; above 2147483647 it is stored as the
// DWORD of those bits) as REG_DWORD. Any other text, the empty one included,
// deletes the value.
LONG SetNumberValue(HKEY key, const QString& name, const QString& value);
LONG SetNumberValue(HKEY key, const QString& name, std::int32_t value);

// The registry type and data size of a stored value, whatever its type. The
// result is the query's: ERROR_FILE_NOT_FOUND for a missing value, another
// code when the key cannot be read (ERROR_KEY_DELETED, ...).
LONG QueryValueType(HKEY key, const QString& name, DWORD* type, DWORD* size = nullptr);

// Deletes the value; the result goes to Global::nLastRegError.
void DeleteValue(HKEY key, const QString& name);

// The number a text reads as, by SetNumberValue's rule; false when it does not.
bool readsAsNumber(const QString& text, std::int32_t* value);

}  // namespace Registry
