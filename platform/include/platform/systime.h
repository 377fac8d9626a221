// Time of day and the local time zone, as the Windows calls report them, from the
// C library's zone rules (the TZ variable, else /etc/localtime). Each call reads
// the rules afresh (tzset), so a change of TZ applies to the next call.
#pragma once

#include "platform/types.h"

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;      // 1..12
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

// Bias values are minutes with the Windows sign: UTC = local time + bias. The
// transition dates use the Windows "day-in-month" form: wYear 0, wMonth, wDayOfWeek,
// wDay = which such weekday of the month (5 = the last), wHour/wMinute the local
// time (before the change) at which the change happens. Without daylight saving
// time both dates are all zero.
struct TIME_ZONE_INFORMATION {
  LONG Bias;
  WCHAR StandardName[32];
  SYSTEMTIME StandardDate;
  LONG StandardBias;
  WCHAR DaylightName[32];
  SYSTEMTIME DaylightDate;
  LONG DaylightBias;
};
using LPTIME_ZONE_INFORMATION = TIME_ZONE_INFORMATION*;

inline constexpr DWORD TIME_ZONE_ID_UNKNOWN = 0;
inline constexpr DWORD TIME_ZONE_ID_STANDARD = 1;
inline constexpr DWORD TIME_ZONE_ID_DAYLIGHT = 2;
inline constexpr DWORD TIME_ZONE_ID_INVALID = 0xFFFFFFFF;

void GetLocalTime(LPSYSTEMTIME time);
void GetSystemTime(LPSYSTEMTIME time);

// TIME_ZONE_ID_UNKNOWN for a zone without daylight saving time in the current
// year (Bias is then the zone's offset), else STANDARD or DAYLIGHT for what is in
// effect now. TIME_ZONE_ID_INVALID (GetLastError 87) for a null argument.
DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION info);
