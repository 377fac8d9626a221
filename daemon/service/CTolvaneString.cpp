#include "service/CTolvaneString.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "platform/text.h"

namespace {
const WCHAR kEmptyWide[1] = {0};
}  // namespace

CTolvaneString::CTolvaneString(const WCHAR* wide) { setWide(wide); }

CTolvaneString::CTolvaneString(const char* narrow) { setNarrow(narrow); }

CTolvaneString::CTolvaneString(const CTolvaneString& other) { *this = other; }

CTolvaneString& CTolvaneString::operator=(const CTolvaneString& other) {
  if (this == &other) return *this;
  if (other.m_hasWide) {
    setWide(other.view());
  } else {
    // Only the narrow form exists: it is all the copy takes.
    m_hasWide = false;
    m_length = 0;
  }
  if (other.m_hasNarrow) {
    // The copy's narrow form is the original's: no second conversion.
    char* narrow = reserveNarrow(static_cast<std::size_t>(other.m_narrowLength));
    std::memcpy(narrow, other.m_narrow.get(), static_cast<std::size_t>(other.m_narrowLength) + 1);
    m_narrowLength = other.m_narrowLength;
    m_hasNarrow = true;
  }
  return *this;
}

CTolvaneString::~CTolvaneString() = default;

WCHAR* CTolvaneString::reserveWide(std::size_t units) const {
  if (m_wideCapacity < units + 1) {
    m_wide = std::make_unique<WCHAR[]>(units + 1);
    m_wideCapacity = units + 1;
  }
  return m_wide.get();
}

char* CTolvaneString::reserveNarrow(std::size_t bytes) const {
  if (m_narrowCapacity < bytes + 1) {
    m_narrow = std::make_unique<char[]>(bytes + 1);
    m_narrowCapacity = bytes + 1;
  }
  return m_narrow.get();
}

void CTolvaneString::setWide(const WCHAR* wide) {
  if (wide == nullptr) {
    setWide(std::u16string_view());
  } else {
    setWide(std::u16string_view(wide, platform::wideLength(wide)));
  }
}

void CTolvaneString::setWide(std::u16string_view wide) {
  discardNarrow();
  m_hasWide = true;
  // The length is a signed 32-bit count; nothing the daemon handles comes near it.
  const std::size_t length = std::min<std::size_t>(wide.size(), std::numeric_limits<std::int32_t>::max() - 1);
  m_length = static_cast<std::int32_t>(length);
  if (length == 0) return;
  WCHAR* buffer = reserveWide(length);
  std::memmove(buffer, wide.data(), length * sizeof(WCHAR));  // the text may be this string's own
  buffer[length] = 0;
}

void CTolvaneString::setNarrow(const char* narrow) {
  setNarrow(narrow == nullptr ? std::string_view() : std::string_view(narrow));
}

void CTolvaneString::setNarrow(std::string_view narrow) {
  const std::size_t size = std::min<std::size_t>(narrow.size(), std::numeric_limits<std::int32_t>::max() - 1);
  // The ANSI code page is lossless, so these very bytes are the narrow form;
  // the wide one is made when it is asked for.
  char* cache = reserveNarrow(size);
  if (size > 0) std::memmove(cache, narrow.data(), size);  // the text may be this string's own
  cache[size] = '\0';
  m_narrowLength = static_cast<std::int32_t>(size);
  m_hasNarrow = true;
  m_hasWide = false;
  m_length = 0;
}

void CTolvaneString::decodeNarrow() const {
  m_hasWide = true;
  m_length = 0;
  const std::size_t size = static_cast<std::size_t>(m_narrowLength);
  if (size == 0) return;
  // A byte string decodes to at most one wide character per byte.
  WCHAR* buffer = reserveWide(size);
  const int units =
      MultiByteToWideChar(CP_ACP, 0, m_narrow.get(), static_cast<int>(size), buffer, static_cast<int>(size));
  buffer[units] = 0;
  m_length = units;
}

const WCHAR* CTolvaneString::getWide() const {
  ensureWide();
  return m_length > 0 ? m_wide.get() : kEmptyWide;
}

const char* CTolvaneString::getNarrow() const {
  if (!m_hasNarrow) {
    // At most three bytes per wide character (a surrogate pair's two make
    // four); sizing for that converts in one pass.
    const std::size_t room = static_cast<std::size_t>(m_length) * 3;
    char* buffer = reserveNarrow(room);
    int written = 0;
    if (m_length > 0) {
      written = WideCharToMultiByte(CP_ACP, 0, m_wide.get(), m_length, buffer, static_cast<int>(room),
                                    nullptr, nullptr);
    }
    buffer[written] = '\0';
    m_narrowLength = written;
    m_hasNarrow = true;
  }
  return m_narrow.get();
}

std::int32_t CTolvaneString::getNarrowLength() const {
  getNarrow();
  return m_narrowLength;
}

const WCHAR* CTolvaneString::prepend(const WCHAR* wide) {
  if (wide != nullptr && wide[0] != 0) {
    std::u16string joined(wide);
    joined.append(view());
    setWide(std::u16string_view(joined));
  }
  return getWide();
}

bool CTolvaneString::contains(const CTolvaneString& part) const {
  return view().find(part.view()) != std::u16string_view::npos;
}
