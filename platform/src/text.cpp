#include "platform/text.h"

#include <cerrno>

namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // lone byte b decodes to U+DC00 + b (b >= 0x80)

// Decodes one well-formed UTF-8 sequence at s[0..n); returns its length, or 0
// when the bytes there do not form one (the first byte is then escaped).
std::size_t decodeUtf8(const unsigned char* s, std::size_t n, char32_t& out) {
  const unsigned char b0 = s[0];
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  auto cont = [&](std::size_t i) { return i < n && (s[i] & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (!cont(1)) return 0;
    out = (char32_t(b0 & 0x1F) << 6) | (s[1] & 0x3F);
    return 2;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (b0 == 0xE0 && s[1] < 0xA0) return 0;   // overlong
    if (b0 == 0xED && s[1] >= 0xA0) return 0;  // an encoded surrogate is not text
    out = (char32_t(b0 & 0x0F) << 12) | (char32_t(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (b0 == 0xF0 && s[1] < 0x90) return 0;   // overlong
    if (b0 == 0xF4 && s[1] >= 0x90) return 0;  // beyond U+10FFFF
    out = (char32_t(b0 & 0x07) << 18) | (char32_t(s[1] & 0x3F) << 12) | (char32_t(s[2] & 0x3F) << 6) |
          (s[3] & 0x3F);
    return 4;
  }
  return 0;
}

// Where decoded units and encoded bytes go: straight into a buffer known to be
// large enough, or only counted.
struct WideWriter {
  char16_t* out;
  std::size_t n = 0;
  void put(char16_t c) { out[n++] = c; }
};
struct ByteWriter {
  char* out;
  std::size_t n = 0;
  void put(char c) { out[n++] = c; }
};
template <typename Unit>
struct Counter {
  std::size_t n = 0;
  void put(Unit) { ++n; }
};

// At most one wide unit per byte, and at most three bytes per wide unit (a
// surrogate pair's two units make four), so these bound every conversion.
constexpr std::size_t maxWideUnits(std::size_t bytes) { return bytes; }
constexpr std::size_t maxAnsiBytes(std::size_t units) { return units * 3; }

template <typename Sink>
void decode(std::string_view in, Sink& sink) {
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t size = in.size();
  std::size_t i = 0;
  while (i < size) {
    if (s[i] < 0x80) {  // runs of ASCII are the common case: no sequence to check
      sink.put(char16_t(s[i]));
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t len = decodeUtf8(s + i, size - i, cp);
    if (len == 0) {
      sink.put(char16_t(kEscapeBase + s[i]));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      sink.put(char16_t(0xD800 + (cp >> 10)));
      sink.put(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      sink.put(char16_t(cp));
    }
    i += len;
  }
}

template <typename Sink>
void encode(std::u16string_view in, Sink& sink) {
  const std::size_t size = in.size();
  for (std::size_t i = 0; i < size; ++i) {
    char32_t c = in[i];
    if (c < 0x80) {
      sink.put(char(c));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < size && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      sink.put(char(c - kEscapeBase));  // an escaped byte goes back as itself
      continue;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      sink.put('?');  // a lone surrogate that no byte string decodes to
      continue;
    }
    if (c < 0x800) {
      sink.put(char(0xC0 | (c >> 6)));
      sink.put(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      sink.put(char(0xE0 | (c >> 12)));
      sink.put(char(0x80 | ((c >> 6) & 0x3F)));
      sink.put(char(0x80 | (c & 0x3F)));
    } else {
      sink.put(char(0xF0 | (c >> 18)));
      sink.put(char(0x80 | ((c >> 12) & 0x3F)));
      sink.put(char(0x80 | ((c >> 6) & 0x3F)));
      sink.put(char(0x80 | (c & 0x3F)));
    }
  }
}

bool supportedCodePage(UINT codePage) { return codePage == CP_ACP || codePage == CP_UTF8; }

// Runs a conversion under the Windows buffer rules: an output size of 0 asks
// for the size needed; a buffer too small fails with ERROR_INSUFFICIENT_BUFFER.
// A buffer that holds the worst case is written in one pass; a smaller one is
// measured first.
template <typename Unit, typename Writer, typename Convert>
int convertInto(Convert convert, std::size_t worstCase, Unit* out, int outSize) {
  if (outSize < 0 || (outSize > 0 && out == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (outSize == 0 || static_cast<std::size_t>(outSize) < worstCase) {
    Counter<Unit> counter;
    convert(counter);
    if (outSize == 0) return static_cast<int>(counter.n);
    if (counter.n > static_cast<std::size_t>(outSize)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
  }
  Writer writer{out};
  convert(writer);
  return static_cast<int>(writer.n);
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR multiByte, int cbMultiByte, LPWSTR wide,
                        int cchWideChar) {
  if (!supportedCodePage(codePage) || multiByte == nullptr || cbMultiByte == 0 || cbMultiByte < -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string_view in = cbMultiByte == -1
                                  ? std::string_view(multiByte, std::char_traits<char>::length(multiByte) + 1)
                                  : std::string_view(multiByte, static_cast<std::size_t>(cbMultiByte));
  return convertInto<char16_t, WideWriter>([&](auto& sink) { decode(in, sink); }, maxWideUnits(in.size()),
                                           wide, cchWideChar);
}

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR wide, int cchWideChar, LPSTR multiByte, int cbMultiByte,
                        LPCSTR defaultChar, LPBOOL usedDefaultChar) {
  if (!supportedCodePage(codePage) || wide == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
      defaultChar != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (usedDefaultChar != nullptr) *usedDefaultChar = FALSE;
  const std::u16string_view in = cchWideChar == -1
                                     ? std::u16string_view(wide, platform::wideLength(wide) + 1)
                                     : std::u16string_view(wide, static_cast<std::size_t>(cchWideChar));
  return convertInto<char, ByteWriter>([&](auto& sink) { encode(in, sink); }, maxAnsiBytes(in.size()),
                                       multiByte, cbMultiByte);
}

namespace platform {

std::u16string toWide(std::string_view ansi) {
  std::u16string out(maxWideUnits(ansi.size()), u'\0');
  WideWriter writer{out.data()};
  decode(ansi, writer);
  out.resize(writer.n);
  return out;
}

std::string toAnsi(std::u16string_view wide) {
  std::string out(maxAnsiBytes(wide.size()), '\0');
  ByteWriter writer{out.data()};
  encode(wide, writer);
  out.resize(writer.n);
  return out;
}

std::vector<BYTE> toUtf16leBytes(std::u16string_view text) {
  std::vector<BYTE> out;
  out.reserve(text.size() * 2);
  for (char16_t c : text) {
    out.push_back(static_cast<BYTE>(c & 0xFF));
    out.push_back(static_cast<BYTE>(c >> 8));
  }
  return out;
}

std::u16string fromUtf16leBytes(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const BYTE*>(data);
  std::u16string out(size / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return out;
}

std::size_t wideLength(const WCHAR* text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

std::u16string foldAsciiCase(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return out;
}

bool equalsAsciiNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x - u'A' + u'a');
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y - u'A' + u'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace platform
