#include "reception/message_time.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <ctime>

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

constexpr std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01 of a proleptic Gregorian date, month 1..12.
constexpr std::int64_t daysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
  year -= month <= 2;
  const std::int64_t era = floorDiv(year, 400);
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

constexpr std::int64_t yearFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = floorDiv(days, 146097);
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  return yearOfEra + era * 400 + (monthIndex >= 10);
}

static_assert(daysFromCivil(1970, 1, 1) == 0);
static_assert(daysFromCivil(2000, 3, 1) == 11017);
static_assert(yearFromDays(daysFromCivil(2024, 12, 31)) == 2024);

constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr bool isLeapYear(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// 29 February exists only in a leap year; every other day of a stamp is
// checked without its year.
constexpr bool existsInYear(const MessageTimeStamp& stamp, std::int64_t year) {
  return stamp.month != 2 || stamp.day != 29 || isLeapYear(year);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
int digit(char c) { return c - '0'; }

constexpr int daysInMonth(std::int64_t year, int month) {
  constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

// Reads an RFC 5424 stamp from left to right; once a read has failed, every
// later one fails too, so that the fields are read without a test after each.
class StampReader {
 public:
  explicit StampReader(std::string_view text) : m_text(text) {}

  int number(std::size_t width) {
    int value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      if (!m_ok || m_position >= m_text.size() || !isDigit(m_text[m_position])) return fail();
      value = value * 10 + digit(m_text[m_position++]);
    }
    return value;
  }
  // Compared case-sensitively: "T", "Z" and the separators.
  void expect(char c) {
    if (m_ok && m_position < m_text.size() && m_text[m_position] == c) {
      ++m_position;
    } else {
      fail();
    }
  }
  bool accept(char c) {
    if (!m_ok || m_position >= m_text.size() || m_text[m_position] != c) return false;
    ++m_position;
    return true;
  }
  // The digits at the reading position, as many as there are.
  std::size_t skipDigits() {
    std::size_t count = 0;
    while (m_ok && m_position < m_text.size() && isDigit(m_text[m_position])) {
      ++m_position;
      ++count;
    }
    return count;
  }
  bool atEnd() const { return m_position == m_text.size(); }
  bool ok() const { return m_ok; }
  int fail() {
    m_ok = false;
    return 0;
  }

 private:
  std::string_view m_text;
  std::size_t m_position = 0;
  bool m_ok = true;
};

}  // namespace

std::int64_t SystemZone::utcOffsetAt(TimeValue utc) const {
  const time_t t = static_cast<time_t>(utc);
  std::tm tm{};
  // Moments the C library cannot express (years beyond its int) read as UTC.
  if (localtime_r(&t, &tm) == nullptr) return 0;
  return tm.tm_gmtoff;
}

const ZoneRules& systemZone() {
  static const SystemZone zone;
  return zone;
}

TimeValue localDateToTime(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                          std::int64_t minute, std::int64_t second, const ZoneRules& zone) {
  year += floorDiv(month - 1, 12);
  month = month - 1 - floorDiv(month - 1, 12) * 12 + 1;
  const TimeValue wall =
      (daysFromCivil(year, month, 1) + day - 1) * kSecondsPerDay + hour * 3600 + minute * 60 + second;

  // The offsets a day before and after bracket any change near this wall time
  // (zones change at most a few times a year, and no zone is more than 14 hours
  // from UTC). A candidate is valid when its own moment has the offset it assumed.
  const std::int64_t offsetBefore = zone.utcOffsetAt(wall - kSecondsPerDay);
  const std::int64_t offsetAfter = zone.utcOffsetAt(wall + kSecondsPerDay);
  const TimeValue withBefore = wall - offsetBefore;
  const TimeValue withAfter = wall - offsetAfter;
  const bool beforeValid = zone.utcOffsetAt(withBefore) == offsetBefore;
  const bool afterValid = zone.utcOffsetAt(withAfter) == offsetAfter;
  if (beforeValid && afterValid) return std::min(withBefore, withAfter);  // the same, or the first of two
  if (afterValid) return withAfter;
  return withBefore;  // valid, or in the gap: read with the offset before the change
}

std::int64_t localYearAt(TimeValue utc, const ZoneRules& zone) {
  return yearFromDays(floorDiv(utc + zone.utcOffsetAt(utc), kSecondsPerDay));
}

bool readMessageTimeStamp(std::string_view text, MessageTimeStamp& stamp) {
  if (text.size() < 15) return false;
  int month = 0;
  for (std::size_t i = 0; i < kMonths.size() && month == 0; ++i) {
    if (text.compare(0, 3, kMonths[i]) == 0) month = static_cast<int>(i) + 1;
  }
  if (month == 0) return false;
  // A text that merely starts with a month name ("Marked ...", "Jan said ...")
  // is not a time stamp: the digit positions must hold digits.
  for (std::size_t position : {5, 7, 8, 10, 11, 13, 14}) {
    if (!isDigit(text[position])) return false;
  }
  stamp.month = month;
  stamp.day = digit(text[5]) + (isDigit(text[4]) ? 10 * digit(text[4]) : 0);
  stamp.hour = 10 * digit(text[7]) + digit(text[8]);
  stamp.minute = 10 * digit(text[10]) + digit(text[11]);
  stamp.second = 10 * digit(text[13]) + digit(text[14]);
  // A day, hour, minute or second that no clock shows is no time stamp (it
  // would otherwise carry over into the next month, day, hour or minute).
  static constexpr std::array<int, 12> kLongestMonth = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return stamp.day >= 1 && stamp.day <= kLongestMonth[static_cast<std::size_t>(month - 1)] && stamp.hour <= 23 &&
         stamp.minute <= 59 && stamp.second <= 59;
}

TimeValue parseMessageTimeStampInYear(std::string_view text, std::int64_t year, const ZoneRules& zone) {
  MessageTimeStamp stamp{};
  if (!readMessageTimeStamp(text, stamp) || !existsInYear(stamp, year)) return 0;
  return localDateToTime(year, stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second, zone);
}

TimeValue parseRfc5424TimeStamp(std::string_view stamp) {
  StampReader read(stamp);
  const int year = read.number(4);
  read.expect('-');
  const int month = read.number(2);
  read.expect('-');
  const int day = read.number(2);
  read.expect('T');
  const int hour = read.number(2);
  read.expect(':');
  const int minute = read.number(2);
  read.expect(':');
  const int second = read.number(2);
  if (read.accept('.')) {
    const std::size_t digits = read.skipDigits();
    if (digits < 1 || digits > 6) read.fail();
  }
  std::int64_t offset = 0;  // seconds that the stamp's clock is ahead of UTC
  if (!read.accept('Z')) {
    const bool ahead = read.accept('+');
    if (!ahead) read.expect('-');
    const int offsetHours = read.number(2);
    read.expect(':');
    const int offsetMinutes = read.number(2);
    if (offsetHours > 23 || offsetMinutes > 59) read.fail();
    offset = (ahead ? 1 : -1) * (offsetHours * 3600 + offsetMinutes * 60);
  }
  // The stamp is a field of its own: "...Z2" or "+01:000" is none.
  if (!read.atEnd()) read.expect(' ');
  if (!read.ok()) return 0;
  // Out of range fields would carry over into the next month, day or minute;
  // the leap second too, which RFC 5424 forbids and which POSIX time has no
  // place for.
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
      second > 59) {
    return 0;
  }
  return daysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second - offset;
}

TimeValue parseMessageTimeStamp(std::string_view text, TimeValue receivedAt, const ZoneRules& zone) {
  // Only version 1 exists; "1 " can start no RFC 3164 stamp.
  if (text.starts_with("1 ")) return parseRfc5424TimeStamp(text.substr(2));
  MessageTimeStamp stamp{};
  if (!readMessageTimeStamp(text, stamp)) return 0;
  const std::int64_t year = localYearAt(receivedAt, zone);
  TimeValue best = 0;
  std::int64_t bestYear = year;
  std::int64_t bestDistance = -1;
  // The year of reception first, so that it wins a tie.
  for (std::int64_t candidate : {year, year - 1, year + 1}) {
    const TimeValue t =
        localDateToTime(candidate, stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second, zone);
    const std::int64_t distance = t > receivedAt ? t - receivedAt : receivedAt - t;
    if (bestDistance < 0 || distance < bestDistance) {
      best = t;
      bestYear = candidate;
      bestDistance = distance;
    }
  }
  // The year is chosen first, then the date must exist in it: 29 February
  // chosen in a year that has none is no time stamp, not 1 March, and not the
  // leap year before either.
  return existsInYear(stamp, bestYear) ? best : 0;
}
