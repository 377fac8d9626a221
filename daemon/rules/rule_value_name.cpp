#include "rules/rule_value_name.h"

#include <charconv>

namespace {
void appendNumber(std::u16string& name, std::int32_t number) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  name.append(digits, end);
}

void appendAscii(std::u16string& name, const char* text) {
  for (; text != nullptr && *text != 0; ++text) name.push_back(static_cast<char16_t>(*text));
}
}  // namespace

std::u16string ruleValueName(std::int32_t rule, const char* suffix) {
  std::u16string name = u"R";
  appendNumber(name, rule);
  appendAscii(name, suffix);
  return name;
}

std::u16string actionValueName(std::int32_t rule, std::int32_t action, const char* suffix) {
  std::u16string name = u"R";
  appendNumber(name, rule);
  name.push_back(u'A');
  appendNumber(name, action);
  appendAscii(name, suffix);
  return name;
}
