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

CTolvaneString::CTolvaneString(const CTolvaneString& other) { setWide(other.view()); }

CTolvaneString& CTolvaneString::operator=(const CTolvaneString& other) {
  if (this != &other) setWide(other.view());
  return *this;
}

CTolvaneString::~CTolvaneString() = default;

void CTolvaneString::setWide(const WCHAR* wide) {
  if (wide == nullptr) {
    setWide(std::u16string_view());
  } else {
    setWide(std::u16string_view(wide, platform::wideLength(wide)));
  }
}

void CTolvaneString::setWide(std::u16string_view wide) {
  discardNarrow();
  // The length is a signed 32-bit count; nothing the daemon handles comes near it.
  const std::size_t length = std::min<std::size_t>(wide.size(), std::numeric_limits<std::int32_t>::max() - 1);
  if (length == 0) {
    m_wide.reset();
    m_length = 0;
    return;
  }
  auto copy = std::make_unique<WCHAR[]>(length + 1);
  std::memcpy(copy.get(), wide.data(), length * sizeof(WCHAR));
  copy[length] = 0;
  m_wide = std::move(copy);
  m_length = static_cast<std::int32_t>(length);
}

void CTolvaneString::setNarrow(const char* narrow) {
  setNarrow(narrow == nullptr ? std::string_view() : std::string_view(narrow));
}

void CTolvaneString::setNarrow(std::string_view narrow) {
  if (narrow.empty()) {
    setWide(std::u16string_view());
    return;
  }
  setWide(platform::toWide(narrow));
}

const WCHAR* CTolvaneString::getWide() const { return m_wide ? m_wide.get() : kEmptyWide; }

const char* CTolvaneString::getNarrow() const {
  if (!m_narrow) {
    // The buffer is sized by asking the converter: the ANSI code page is UTF-8,
    // where one wide character can take three bytes, so a fixed two bytes per
    // character would cut East Asian text.
    int needed = 0;
    if (m_length > 0) {
      needed = WideCharToMultiByte(CP_ACP, 0, m_wide.get(), m_length, nullptr, 0, nullptr, nullptr);
    }
    auto buffer = std::make_unique<char[]>(static_cast<std::size_t>(needed) + 1);
    int written = 0;
    if (needed > 0) {
      written =
          WideCharToMultiByte(CP_ACP, 0, m_wide.get(), m_length, buffer.get(), needed, nullptr, nullptr);
    }
    buffer[written] = '\0';
    m_narrow = std::move(buffer);
    m_narrowLength = written;
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

void CTolvaneString::discardNarrow() {
  m_narrow.reset();
  m_narrowLength = 0;
}
