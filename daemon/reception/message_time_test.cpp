#include "reception/message_time.h"

#include <gtest/gtest.h>

#include "scoped_time_zone.h"

namespace {

using platform::testing::ScopedTimeZone;

const FixedOffsetZone kUtc(0);

TEST(MessageTimeStamp, ReadsMonthDayAndTime) {
  MessageTimeStamp stamp{};
  ASSERT_TRUE(readMessageTimeStamp("Feb  5 17:32:18 host su: done", stamp));
  EXPECT_EQ(stamp.month, 2);
  EXPECT_EQ(stamp.day, 5);
  EXPECT_EQ(stamp.hour, 17);
  EXPECT_EQ(stamp.minute, 32);
  EXPECT_EQ(stamp.second, 18);
  ASSERT_TRUE(readMessageTimeStamp("Dec 31 23:59:00", stamp));  // exactly 15 characters
  EXPECT_EQ(stamp.month, 12);
  EXPECT_EQ(stamp.day, 31);
  ASSERT_TRUE(readMessageTimeStamp("Mar x7 01:02:03", stamp));  // any non-digit counts 0 tens
  EXPECT_EQ(stamp.day, 7);
}

TEST(MessageTimeStamp, TextsWithoutAStampGiveZero) {
  for (const char* text :
       {"feb  5 17:32:18 lower-case month", "FEB  5 17:32:18", "Feb  5 17:32:1", "Hello world, this is long",
        "", "Marked as spam by the filter", "Jan  5 1x:32:18 not a time", "Feb 1  17:32:18"}) {
    EXPECT_EQ(parseMessageTimeStampInYear(text, 2024, kUtc), 0) << text;
  }
}

TEST(MessageTimeStamp, ADayOrTimeThatDoesNotExistIsNoStamp) {
  // They would otherwise carry over: "Feb 30" into March, "25:61:61" into the next day.
  for (const char* text : {"Feb 30 10:00:00 x", "Apr 31 10:00:00 x", "Jan 32 10:00:00 x", "Feb  0 10:00:00 x",
                           "Jun 10 25:61:61 x", "Jun 10 24:00:00 x", "Jun 10 12:60:00 x", "Jun 10 12:00:60 x"}) {
    EXPECT_EQ(parseMessageTimeStampInYear(text, 2024, kUtc), 0) << text;
    EXPECT_EQ(parseMessageTimeStamp(text, 1717200000, kUtc), 0) << text;
  }
  EXPECT_EQ(parseMessageTimeStampInYear("Apr 30 23:59:59", 2024, kUtc), 1714521599);
  EXPECT_EQ(parseMessageTimeStampInYear("Dec 31 00:00:00", 2024, kUtc), 1735603200);
}

TEST(MessageTimeStamp, February29ExistsOnlyInTheLeapYearUsed) {
  EXPECT_EQ(parseMessageTimeStampInYear("Feb 29 12:00:00", 2024, kUtc), 1709208000);
  EXPECT_EQ(parseMessageTimeStampInYear("Feb 29 12:00:00", 2000, kUtc), 951825600);
  EXPECT_EQ(parseMessageTimeStampInYear("Feb 29 12:00:00", 2023, kUtc), 0);
  EXPECT_EQ(parseMessageTimeStampInYear("Feb 29 12:00:00", 2100, kUtc), 0);
  // Received in June 2024, and in June 2025: the year closest to reception is
  // the year used, even when the leap year before is a candidate too.
  EXPECT_EQ(parseMessageTimeStamp("Feb 29 12:00:00", 1717200000, kUtc), 1709208000);
  EXPECT_EQ(parseMessageTimeStamp("Feb 29 12:00:00", 1748736000, kUtc), 0);
}

TEST(MessageTimeStamp, ConvertsInTheGivenYear) {
  EXPECT_EQ(parseMessageTimeStampInYear("Feb  5 17:32:18", 2024, kUtc), 1707154338);
  EXPECT_EQ(parseMessageTimeStampInYear("Feb  5 17:32:18", 2024, FixedOffsetZone(3600)), 1707150738);
}

// RFC 5424 headers: the text after the PRI part starts with the version "1 ".
struct Rfc5424Case {
  const char* text;
  TimeValue expected;
};

TEST(Rfc5424TimeStamp, NamesItsMomentWithItsOffsetAndWithoutItsFraction) {
  const Rfc5424Case cases[] = {
      {"1 2026-12-08T10:00:00Z host app - - - text", 1796724000},
      {"1 2026-12-08T10:00:00.123+01:00 host app - - - text", 1796720400},
      {"1 2027-01-01T00:30:00+01:00 host app", 1798759800},  // into the year before
      {"1 2026-02-28T23:00:00-05:00 host app", 1772337600},  // into the next month
      {"1 2024-02-28T22:00:00-03:00 host app", 1709168400},  // into a leap day
      {"1 2024-02-29T12:00:00Z host app", 1709208000},
      {"1 2026-06-01T12:00:00+05:45 host app", 1780294500},
      {"1 2026-06-01T12:00:00-09:30 host app", 1780349400},
      // The fraction is dropped, never rounded into the next second (or year).
      {"1 2026-12-31T23:59:59.9Z host app", 1798761599},
      {"1 2026-12-31T23:59:59.999999Z", 1798761599},
      // The first and last four-digit years, offsets taking them beyond.
      {"1 0001-01-01T00:00:00+23:59 host app", -62135683140},
      {"1 9999-12-31T23:59:59-23:59 host app", 253402387139},
  };
  for (const Rfc5424Case& c : cases) {
    EXPECT_EQ(parseRfc5424TimeStamp(std::string_view(c.text).substr(2)), c.expected) << c.text;
    // Neither the moment of reception nor the local zone changes it.
    EXPECT_EQ(parseMessageTimeStamp(c.text, 1717200000, kUtc), c.expected) << c.text;
    EXPECT_EQ(parseMessageTimeStamp(c.text, 1735689600, FixedOffsetZone(-12 * 3600)), c.expected) << c.text;
  }
}

TEST(Rfc5424TimeStamp, NilValueAndMalformedStampsAreNone) {
  for (const char* text : {
           "1 - host app - - - no time",
           "1 -",
           // Grammar.
           "1 2026-12-08T10:00:00.1234567Z host",  // seven fraction digits
           "1 2026-12-08T10:00:00.Z host",         // a point without digits
           "1 2026-12-08T10:00:00 host",           // no offset
           "1 2026-12-08T10:00:00",
           "1 2026-12-08t10:00:00Z host",  // RFC 5424 asks for upper case
           "1 2026-12-08T10:00:00z host",
           "1 2026-12-08 10:00:00Z host",
           "1 26-12-08T10:00:00Z host",
           "1 2026-12-8T10:00:00Z host",
           "1 2026-12-08T10:00Z host",
           "1 2026-12-08T10:00:00+0100 host",
           "1 2026-12-08T10:00:00+01 host",
           "1 2026-12-08T10:00:00+1:00 host",
           "1 2026-12-08T10:00:00Z2 host",  // the stamp runs on
           "1 2026-12-08T10:00:00+01:000 host",
           "1 2026-12-08T10:00:00Z\thost",
           // Dates and times that do not exist.
           "1 2026-02-30T10:00:00Z host",
           "1 2025-02-29T10:00:00Z host",
           "1 2100-02-29T10:00:00Z host",
           "1 2026-04-31T10:00:00Z host",
           "1 2026-00-10T10:00:00Z host",
           "1 2026-13-10T10:00:00Z host",
           "1 2026-12-00T10:00:00Z host",
           "1 2026-12-08T24:00:00Z host",
           "1 2026-12-08T10:60:00Z host",
           "1 2016-12-31T23:59:60Z host",  // a leap second, forbidden by RFC 5424
           "1 2026-12-08T10:00:00+24:00 host",
           "1 2026-12-08T10:00:00-00:60 host",
           // Not version 1 and a space.
           "2 2026-12-08T10:00:00Z host",
           "12026-12-08T10:00:00Z host",
           "11 2026-12-08T10:00:00Z host",
           "1  2026-12-08T10:00:00Z host",
           "2026-12-08T10:00:00Z host",
           "1 Feb  5 17:32:18 host",
       }) {
    EXPECT_EQ(parseMessageTimeStamp(text, 1796724000, kUtc), 0) << text;
  }
}

TEST(LocalDateToTime, LeapYearsCountByTheCalendar) {
  EXPECT_EQ(localDateToTime(2024, 2, 29, 0, 0, 0, kUtc), 1709164800);
  EXPECT_EQ(localDateToTime(2024, 3, 1, 0, 0, 0, kUtc) - localDateToTime(2024, 2, 28, 0, 0, 0, kUtc),
            2 * 86400);
  EXPECT_EQ(localDateToTime(2023, 3, 1, 0, 0, 0, kUtc) - localDateToTime(2023, 2, 28, 0, 0, 0, kUtc), 86400);
  EXPECT_EQ(localDateToTime(2100, 3, 1, 0, 0, 0, kUtc) - localDateToTime(2100, 2, 28, 0, 0, 0, kUtc), 86400);
  EXPECT_EQ(localDateToTime(2000, 3, 1, 0, 0, 0, kUtc) - localDateToTime(2000, 2, 28, 0, 0, 0, kUtc),
            2 * 86400);
  // Fields beyond their range carry over.
  EXPECT_EQ(localDateToTime(2023, 2, 29, 0, 0, 0, kUtc), 1677628800);
  EXPECT_EQ(localDateToTime(2023, 14, 1, 0, 0, 0, kUtc), localDateToTime(2024, 2, 1, 0, 0, 0, kUtc));
  EXPECT_EQ(localDateToTime(1970, 1, 1, 0, 0, 0, kUtc), 0);
  EXPECT_EQ(localDateToTime(2100, 1, 1, 0, 0, 0, kUtc), 4102444800);
}

TEST(LocalDateToTime, UsesTheOffsetOfTheDateConverted) {
  ScopedTimeZone zone("Europe/Berlin");
  // Whatever the season of the moment the test runs in.
  EXPECT_EQ(localDateToTime(2024, 1, 15, 12, 0, 0, systemZone()), 1705316400);
  EXPECT_EQ(localDateToTime(2024, 7, 15, 12, 0, 0, systemZone()), 1721037600);
}

TEST(LocalDateToTime, SpringGapMovesForwardAndAutumnRepeatTakesTheFirst) {
  ScopedTimeZone zone("Europe/Berlin");
  // 31 March 2024: 02:00 does not exist, the clock jumps to 03:00.
  EXPECT_EQ(localDateToTime(2024, 3, 31, 2, 30, 0, systemZone()), 1711848600);  // = 03:30 summer time
  EXPECT_EQ(localDateToTime(2024, 3, 31, 3, 30, 0, systemZone()), 1711848600);
  EXPECT_EQ(localDateToTime(2024, 3, 31, 1, 59, 59, systemZone()), 1711846799);
  // 27 October 2024: 02:00 to 03:00 happens twice.
  EXPECT_EQ(localDateToTime(2024, 10, 27, 2, 30, 0, systemZone()), 1729989000);  // 00:30 UTC, summer time
  EXPECT_EQ(localDateToTime(2024, 10, 27, 3, 0, 0, systemZone()), 1729994400);
}

TEST(ParseMessageTimeStamp, TakesTheYearClosestToReception) {
  // Sent just before midnight on New Year's Eve, received just after.
  EXPECT_EQ(parseMessageTimeStamp("Dec 31 23:59:00 late", 1735691400, kUtc), 1735689540);
  // A sender whose clock runs a little ahead, the other way round.
  EXPECT_EQ(parseMessageTimeStamp("Jan  1 00:10:00 early", 1735686000, kUtc), 1735690200);
  // Mid-year: the year of reception.
  EXPECT_EQ(parseMessageTimeStamp("Feb  5 17:32:18", 1717200000, kUtc), 1707154338);
  EXPECT_EQ(parseMessageTimeStamp("feb  5 17:32:18", 1717200000, kUtc), 0);
}

TEST(ParseMessageTimeStamp, LocalYearDecidesInTheZone) {
  ScopedTimeZone zone("Europe/Berlin");
  // 31 Dec 2024 23:30 UTC is already 2025 in Berlin; the stamp 1 January 00:20
  // local is 2025-01-01 00:20 CET = 2024-12-31 23:20 UTC.
  EXPECT_EQ(parseMessageTimeStamp("Jan  1 00:20:00", 1735687800, systemZone()), 1735687200);
  EXPECT_EQ(localYearAt(1735687800, systemZone()), 2025);
  EXPECT_EQ(localYearAt(1735687800, kUtc), 2024);
}

}  // namespace
