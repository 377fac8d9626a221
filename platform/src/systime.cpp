#include "platform/systime.h"

#include <time.h>

#include <cstring>
#include <ctime>

namespace {

SYSTEMTIME toSystemTime(const std::tm& tm, long nanoseconds) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(tm.tm_year + 1900);
  st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  st.wDay = static_cast<WORD>(tm.tm_mday);
  st.wHour = static_cast<WORD>(tm.tm_hour);
  st.wMinute = static_cast<WORD>(tm.tm_min);
  st.wSecond = static_cast<WORD>(tm.tm_sec > 59 ? 59 : tm.tm_sec);  // a leap second reads as :59
  st.wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
  return st;
}

std::tm localAt(time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

bool isDst(time_t t) { return localAt(t).tm_isdst > 0; }

// The first second at which the daylight flag differs from that at `from`,
// searched up to `to`; `from` if there is none.
time_t findChange(time_t from, time_t to) {
  const bool before = isDst(from);
  // Daily steps find the day, bisection the second: transitions are months apart.
  time_t day = from;
  while (day < to && isDst(day + 86400) == before) day += 86400;
  if (day >= to) return from;
  time_t low = day, high = day + 86400;  // isDst(low) == before, isDst(high) != before
  while (high - low > 1) {
    const time_t mid = low + (high - low) / 2;
    (isDst(mid) == before ? low : high) = mid;
  }
  return high;
}

// The change at `change` as Windows writes it: month, weekday, its occurrence in
// the month (5 for the last), and the local time just before the change.
SYSTEMTIME transitionDate(time_t change) {
  const std::tm before = localAt(change - 1);
  SYSTEMTIME st{};
  st.wMonth = static_cast<WORD>(before.tm_mon + 1);
  st.wDayOfWeek = static_cast<WORD>(before.tm_wday);
  const int occurrence = (before.tm_mday - 1) / 7 + 1;
  std::tm nextWeek = localAt(change - 1 + 7 * 86400);
  st.wDay = static_cast<WORD>(nextWeek.tm_mon != before.tm_mon ? 5 : occurrence);
  // One second later is the wall-clock time at which the change happens.
  int seconds = before.tm_hour * 3600 + before.tm_min * 60 + before.tm_sec + 1;
  st.wHour = static_cast<WORD>(seconds / 3600 % 24);
  st.wMinute = static_cast<WORD>(seconds / 60 % 60);
  return st;
}

void copyName(WCHAR (&target)[32], const char* name) {
  std::size_t i = 0;
  for (; name != nullptr && name[i] != '\0' && i < 31; ++i) target[i] = static_cast<unsigned char>(name[i]);
  target[i] = 0;
}

}  // namespace

void GetLocalTime(LPSYSTEMTIME time) {
  if (time == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tzset();
  *time = toSystemTime(localAt(now.tv_sec), now.tv_nsec);
}

void GetSystemTime(LPSYSTEMTIME time) {
  if (time == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm tm{};
  gmtime_r(&now.tv_sec, &tm);
  *time = toSystemTime(tm, now.tv_nsec);
}

DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION info) {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return TIME_ZONE_ID_INVALID;
  }
  std::memset(info, 0, sizeof(*info));
  tzset();
  const time_t now = ::time(nullptr);
  const std::tm nowTm = localAt(now);

  // The year's changes, searched from its first day: a zone whose daylight flag
  // never changes this year has no daylight saving time for Windows either.
  std::tm jan1{};
  jan1.tm_year = nowTm.tm_year;
  jan1.tm_mday = 1;
  jan1.tm_isdst = -1;
  const time_t yearStart = mktime(&jan1);
  const time_t yearEnd = yearStart + 366 * 86400;
  const time_t first = findChange(yearStart, yearEnd);
  const time_t second = first == yearStart ? yearStart : findChange(first, yearEnd);

  copyName(info->StandardName, nowTm.tm_zone);
  if (first == yearStart || second == first) {
    // No change this year, or only one (a zone that abolished or introduced daylight
    // saving time): report the offset in effect now, as a zone without changes.
    info->Bias = static_cast<LONG>(-nowTm.tm_gmtoff / 60);
    return TIME_ZONE_ID_UNKNOWN;
  }
  // Daylight time is the part of the year with the larger offset, as Windows
  // sees it, even where the zone's rules flag winter instead (Europe/Dublin).
  const long firstOffset = localAt(first).tm_gmtoff;
  const long secondOffset = localAt(second).tm_gmtoff;
  if (firstOffset == secondOffset) {
    info->Bias = static_cast<LONG>(-nowTm.tm_gmtoff / 60);
    return TIME_ZONE_ID_UNKNOWN;
  }
  const bool firstIsDaylight = firstOffset > secondOffset;
  const time_t toDaylight = firstIsDaylight ? first : second;
  const time_t toStandard = firstIsDaylight ? second : first;
  const long daylightOffset = firstIsDaylight ? firstOffset : secondOffset;
  const long standardOffset = firstIsDaylight ? secondOffset : firstOffset;
  info->Bias = static_cast<LONG>(-standardOffset / 60);
  info->StandardBias = 0;
  info->DaylightBias = static_cast<LONG>(-(daylightOffset - standardOffset) / 60);
  info->StandardDate = transitionDate(toStandard);
  info->DaylightDate = transitionDate(toDaylight);
  copyName(info->StandardName, localAt(toStandard).tm_zone);
  copyName(info->DaylightName, localAt(toDaylight).tm_zone);
  return nowTm.tm_gmtoff == daylightOffset ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}
