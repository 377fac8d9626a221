#include "platform/systime.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "scoped_time_zone.h"

namespace {

using platform::testing::ScopedTimeZone;

time_t secondsOf(const SYSTEMTIME& st) {
  std::tm tm{};
  tm.tm_year = st.wYear - 1900;
  tm.tm_mon = st.wMonth - 1;
  tm.tm_mday = st.wDay;
  tm.tm_hour = st.wHour;
  tm.tm_min = st.wMinute;
  tm.tm_sec = st.wSecond;
  return timegm(&tm);
}

void expectDate(const SYSTEMTIME& date, int month, int dayOfWeek, int occurrence, int hour) {
  EXPECT_EQ(date.wYear, 0);
  EXPECT_EQ(date.wMonth, month);
  EXPECT_EQ(date.wDayOfWeek, dayOfWeek);
  EXPECT_EQ(date.wDay, occurrence);
  EXPECT_EQ(date.wHour, hour);
  EXPECT_EQ(date.wMinute, 0);
}

TEST(SysTime, SystemTimeIsUtcNow) {
  SYSTEMTIME st{};
  const time_t before = time(nullptr);
  GetSystemTime(&st);
  const time_t after = time(nullptr);
  EXPECT_GE(secondsOf(st), before);
  EXPECT_LE(secondsOf(st), after);
  EXPECT_LT(st.wMilliseconds, 1000);
}

TEST(SysTime, LocalTimeFollowsTheZone) {
  ScopedTimeZone zone("<+0530>-5:30");
  SYSTEMTIME local{};
  const time_t before = time(nullptr);
  GetLocalTime(&local);
  const time_t after = time(nullptr);
  EXPECT_GE(secondsOf(local) - 19800, before);
  EXPECT_LE(secondsOf(local) - 19800, after);
}

TEST(SysTime, ZoneWithoutDaylightTimeIsUnknown) {
  ScopedTimeZone zone("<+0530>-5:30");
  TIME_ZONE_INFORMATION info{};
  EXPECT_EQ(GetTimeZoneInformation(&info), TIME_ZONE_ID_UNKNOWN);
  EXPECT_EQ(info.Bias, -330);  // UTC = local + bias
  EXPECT_EQ(info.DaylightBias, 0);
  EXPECT_EQ(info.DaylightDate.wMonth, 0);

  ScopedTimeZone utc("UTC");
  EXPECT_EQ(GetTimeZoneInformation(&info), TIME_ZONE_ID_UNKNOWN);
  EXPECT_EQ(info.Bias, 0);
  EXPECT_EQ(info.StandardName[0], u'U');
}

TEST(SysTime, BerlinHasWindowsBiasesAndChangeDates) {
  ScopedTimeZone zone("Europe/Berlin");
  TIME_ZONE_INFORMATION info{};
  const DWORD id = GetTimeZoneInformation(&info);
  const time_t now = time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  EXPECT_EQ(id, tm.tm_isdst > 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD);
  EXPECT_EQ(info.Bias, -60);
  EXPECT_EQ(info.StandardBias, 0);
  EXPECT_EQ(info.DaylightBias, -60);
  expectDate(info.DaylightDate, 3, 0, 5, 2);   // last Sunday of March, 02:00
  expectDate(info.StandardDate, 10, 0, 5, 3);  // last Sunday of October, 03:00
  EXPECT_EQ(std::u16string(info.StandardName), u"CET");
  EXPECT_EQ(std::u16string(info.DaylightName), u"CEST");
}

TEST(SysTime, SouthernAndWesternZones) {
  TIME_ZONE_INFORMATION info{};
  {
    ScopedTimeZone zone("Australia/Sydney");  // daylight time spans the new year
    GetTimeZoneInformation(&info);
    EXPECT_EQ(info.Bias, -600);
    EXPECT_EQ(info.DaylightBias, -60);
    expectDate(info.DaylightDate, 10, 0, 1, 2);
    expectDate(info.StandardDate, 4, 0, 1, 3);
  }
  {
    ScopedTimeZone zone("America/New_York");
    GetTimeZoneInformation(&info);
    EXPECT_EQ(info.Bias, 300);
    EXPECT_EQ(info.DaylightBias, -60);
    expectDate(info.DaylightDate, 3, 0, 2, 2);  // second Sunday of March
    expectDate(info.StandardDate, 11, 0, 1, 2);
  }
  {
    ScopedTimeZone zone("Europe/Dublin");  // its rules flag winter as the exception
    GetTimeZoneInformation(&info);
    EXPECT_EQ(info.Bias, 0);
    EXPECT_EQ(info.DaylightBias, -60);
    expectDate(info.DaylightDate, 3, 0, 5, 1);
    expectDate(info.StandardDate, 10, 0, 5, 2);
  }
}

TEST(SysTime, NullArgumentIsInvalid) {
  EXPECT_EQ(GetTimeZoneInformation(nullptr), TIME_ZONE_ID_INVALID);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
