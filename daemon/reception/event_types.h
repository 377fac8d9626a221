// Event log types as ReportEvent takes them (winnt.h values).
#pragma once

#include <cstdint>

inline constexpr std::int32_t kEventLogErrorType = 1;
inline constexpr std::int32_t kEventLogWarningType = 2;
inline constexpr std::int32_t kEventLogInformationType = 4;
