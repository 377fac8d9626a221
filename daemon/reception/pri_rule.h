// The PRI rule: the decimal number in angle brackets at the start of a syslog
// datagram, carrying facility * 8 + priority.
#pragma once

#include <cstddef>
#include <cstdint>

struct PriPart {
  std::int32_t facility = 0;   // 0..127; only 0..23 name a syslog facility
  std::int32_t priority = 0;   // 0..7
  std::size_t textOffset = 0;  // where the message text starts in the input
};

// `text` is zero-terminated (null counts as empty). Without a leading "<" the
// value is 0 and the whole text is the message. Otherwise the digits after "<"
// are accumulated as a 32-bit value that wraps around; the message text starts
// after the first character that is not a digit (the ">" of a well-formed
// datagram, whatever it is otherwise), or is the whole text, "<" included, when
// the digits run to the end. facility = (value >> 3) & 127, priority = value & 7.
PriPart applyPriRule(const char* text);
