// Text conversion between the wide form (UTF-16) and the ANSI code page.
//
// The ANSI code page is UTF-8, extended so that it is lossless for arbitrary
// bytes: a byte that does not start or belong to a well-formed UTF-8 sequence
// decodes to the lone surrogate U+DC00 + byte (U+DC80..U+DCFF) and encodes back
// to that same byte. Every byte string therefore survives bytes -> wide -> bytes
// unchanged, which is what lets a datagram reach files, rows and forwarded
// datagrams exactly as it arrived.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;

// As on Windows: cbMultiByte / cchWideChar of -1 means "zero-terminated, and
// convert the terminator too"; an output size of 0 asks for the size needed.
// Returns the number of units written (or needed), 0 on failure with
// GetLastError() set (ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER).
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int cbMultiByte, LPWSTR wide,
                        int cchWideChar);
// lpDefaultChar must be null for the ANSI code page, as Windows requires for
// UTF-8; *usedDefaultChar, when given, is set to FALSE: nothing is ever replaced
// except a lone surrogate outside U+DC80..U+DCFF, which becomes '?'.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int cchWideChar, LPSTR multiByte,
                        int cbMultiByte, LPCSTR defaultChar, LPBOOL usedDefaultChar);

namespace platform {

std::u16string toWide(std::string_view ansi);
std::string toAnsi(std::u16string_view wide);

// The UTF-16LE bytes of a wide text, as registry string data keeps it.
std::vector<BYTE> toUtf16leBytes(std::u16string_view text);
// The wide text of UTF-16LE bytes; a trailing odd byte is ignored.
std::u16string fromUtf16leBytes(const void* data, std::size_t size);

// Length of a zero-terminated wide text.
std::size_t wideLength(const WCHAR* text);

// ASCII-only case folding, as registry names compare.
std::u16string foldAsciiCase(std::u16string_view text);
bool equalsAsciiNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace platform
