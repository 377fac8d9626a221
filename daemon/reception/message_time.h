// Time values of the message record and the time stamp that a message may
// carry: RFC 3164's ("Feb  5 17:32:18") or RFC 5424's ("1 2026-12-08T10:00:00Z").
// Every function here is pure: the zone rules and the moment of reception are
// passed in.
#pragma once

#include <cstdint>
#include <string_view>

// Seconds since 1 January 1970 UTC. 64 bits, so that any date survives 2038.
using TimeValue = std::int64_t;

// A time zone's rules as the conversions need them.
class ZoneRules {
 public:
  virtual ~ZoneRules() = default;
  // Seconds that local time is ahead of UTC at the UTC moment `utc`.
  virtual std::int64_t utcOffsetAt(TimeValue utc) const = 0;
};

// The C library's rules: TZ, else /etc/localtime, as tzset last read them.
class SystemZone final : public ZoneRules {
 public:
  std::int64_t utcOffsetAt(TimeValue utc) const override;
};
const ZoneRules& systemZone();

class FixedOffsetZone final : public ZoneRules {
 public:
  explicit FixedOffsetZone(std::int64_t offsetSeconds) : m_offset(offsetSeconds) {}
  std::int64_t utcOffsetAt(TimeValue) const override { return m_offset; }

 private:
  std::int64_t m_offset;
};

// The UTC moment of a local calendar time, by the zone's rules for that date.
// Fields out of their usual range carry over (day 32 of January is 1 February).
// A local time that the clock skips (the spring gap) is read with the offset
// before the change, so it lands as far after the change as it lies in the gap
// (02:30 in Berlin becomes 03:30 summer time); a local time that occurs twice
// (autumn) gives the earlier moment, still in daylight saving time.
TimeValue localDateToTime(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                          std::int64_t minute, std::int64_t second, const ZoneRules& zone);

// The local calendar year at the UTC moment `utc`.
std::int64_t localYearAt(TimeValue utc, const ZoneRules& zone);

struct MessageTimeStamp {
  int month;  // 1..12
  int day, hour, minute, second;
};

// Reads "Mmm dd hh:mm:ss" at the start of `text` (the month case-sensitive, a
// space or other non-digit as the day's tens counts 0; separators are not
// examined). False for a text shorter than 15 characters, an unknown month, a
// non-digit where a digit of the day's units, hour, minute or second belongs,
// or a day, hour, minute or second that does not exist (day 0, "Apr 31",
// "Feb 30", hour 24, minute or second 60). 29 February passes: only a year
// can tell whether it exists.
bool readMessageTimeStamp(std::string_view text, MessageTimeStamp& stamp);

// The message's time stamp in the given year, in UTC; 0 when it carries none,
// or names 29 February and the year is no leap year.
TimeValue parseMessageTimeStampInYear(std::string_view text, std::int64_t year, const ZoneRules& zone);

// The moment of the RFC 5424 time stamp (RFC 5424 6.2.3) at the start of
// `stamp`, the header after its version: FULL-DATE "T" FULL-TIME, the fraction
// (1 to 6 digits) dropped, the offset ("Z" or +/-hh:mm) applied, followed by a
// space or the end of the text. 0 for the nil value "-" and for a stamp that
// breaks the grammar (lower-case "t" or "z" too: RFC 5424 asks for upper case)
// or names a date, time or offset that does not exist (30 February, 24:00:00,
// the leap second :60 that RFC 5424 forbids, an offset of 24 hours or 60
// minutes). Every four-digit year is read; 1970-01-01T00:00:00Z itself reads
// as 0, no stamp.
TimeValue parseRfc5424TimeStamp(std::string_view stamp);

// The message's time stamp in UTC, 0 when it carries none.
//
// A text that starts with the version "1" and a space is an RFC 5424 header:
// its stamp names its moment (parseRfc5424TimeStamp), whenever that is.
//
// Any other text may start with an RFC 3164 stamp, which names no year: of the
// years before, of and after the local year of reception, the one that puts
// the stamp closest to `receivedAt` is taken, so that a stamp of 31 December
// received on 1 January keeps its old year. 29 February in a year so chosen
// that is no leap year is no time stamp (0).
TimeValue parseMessageTimeStamp(std::string_view text, TimeValue receivedAt, const ZoneRules& zone);
