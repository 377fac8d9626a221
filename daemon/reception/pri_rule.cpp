#include "reception/pri_rule.h"

PriPart applyPriRule(const char* text) {
  PriPart part;
  if (text == nullptr || text[0] != '<') return part;

  // Unsigned arithmetic: a long run of digits wraps around as 32-bit arithmetic
  // does instead of overflowing a signed value, which would be undefined.
  std::uint32_t accumulated = 0;
  std::size_t i = 1;
  while (text[i] >= '0' && text[i] <= '9') {
    accumulated = accumulated * 10u + static_cast<std::uint32_t>(text[i] - '0');
    ++i;
  }
  const auto value = static_cast<std::int32_t>(accumulated);
  part.facility = (value >> 3) & 127;
  part.priority = value & 7;
  part.textOffset = text[i] == '\0' ? 0 : i + 1;
  return part;
}
