// CTolvaneString: the daemon's text type. The text is kept as wide characters;
// a copy in the ANSI code page is made on the first request after a change and
// kept until the next change, because the per-message paths (sockets, files,
// database) read the narrow form several times per message. A text set in the
// ANSI code page is decoded to wide characters only when they are asked for:
// a message that only reaches a file never needs them.
//
// Not locked: one thread at a time. getNarrow fills a cache, so even two readers
// of one shared string need the caller's care.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/types.h"

class CTolvaneString {
 public:
  CTolvaneString() = default;
  // A null text gives the empty string.
  explicit CTolvaneString(const WCHAR* wide);
  explicit CTolvaneString(const char* narrow);
  CTolvaneString(const CTolvaneString& other);
  CTolvaneString& operator=(const CTolvaneString& other);
  virtual ~CTolvaneString();

  // Replaces the text with a copy; a null text makes the string empty.
  void setWide(const WCHAR* wide);
  void setWide(std::u16string_view wide);
  // Converts a zero-terminated text from the ANSI code page (lossless for any
  // bytes) and replaces the text; null makes the string empty.
  void setNarrow(const char* narrow);
  void setNarrow(std::string_view narrow);

  // Never null: an empty string yields an empty text.
  const WCHAR* getWide() const;
  // The text in the ANSI code page, zero-terminated, never null. Valid until the
  // next change of the string.
  const char* getNarrow() const;
  std::int32_t getNarrowLength() const;
  // Number of wide characters, the terminating zero not counted.
  std::int32_t getLength() const {
    ensureWide();
    return m_length;
  }
  bool isEmpty() const { return m_hasWide ? m_length == 0 : m_narrowLength == 0; }
  std::u16string_view view() const {
    const WCHAR* wide = getWide();
    return {wide, static_cast<std::size_t>(m_length)};
  }

  // Puts a non-empty text in front; an empty or null one changes nothing (the
  // narrow copy survives). Returns getWide().
  const WCHAR* prepend(const WCHAR* wide);
  // Case-sensitive substring test; the empty string occurs in every text.
  bool contains(const CTolvaneString& part) const;

 private:
  // Makes room for `units` wide characters and the terminator, reusing the
  // buffer when it is large enough: the receive loop sets the same strings for
  // every datagram, and reuse keeps that free of allocations.
  WCHAR* reserveWide(std::size_t units) const;
  char* reserveNarrow(std::size_t bytes) const;
  void discardNarrow() { m_hasNarrow = false; }
  void ensureWide() const {
    if (!m_hasWide) decodeNarrow();
  }
  void decodeNarrow() const;

  // The wide form, made from the narrow one on the first request when the
  // text was set narrow (m_hasWide false: the narrow cache holds the text).
  mutable std::int32_t m_length = 0;        // wide characters, terminator not counted
  mutable std::unique_ptr<WCHAR[]> m_wide;  // zero-terminated once m_length > 0
  mutable std::size_t m_wideCapacity = 0;   // units m_wide holds, terminator included
  mutable bool m_hasWide = true;
  mutable std::unique_ptr<char[]> m_narrow;  // cache of the ANSI form
  mutable std::size_t m_narrowCapacity = 0;
  mutable std::int32_t m_narrowLength = 0;  // bytes in the cache while m_hasNarrow
  mutable bool m_hasNarrow = false;         // the cache holds the current text
};
