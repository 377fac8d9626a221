// Value names of the Rules key: "R" and the rule number, then for an action
// "A" and the action number, then the suffix ("R12A3Type"). Numbers in decimal
// without leading zeros.
#pragma once

#include <cstdint>
#include <string>

std::u16string ruleValueName(std::int32_t rule, const char* suffix);
std::u16string actionValueName(std::int32_t rule, std::int32_t action, const char* suffix);
