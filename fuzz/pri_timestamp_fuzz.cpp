// Arbitrary datagrams through the PRI rule, the text conversion and the time
// stamp parser, as the receive loop runs them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reception/message_time.h"
#include "reception/pri_rule.h"
#include "service/CTolvaneString.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// The year is the one that puts the stamp closest to reception, and a day or
// time that does not exist is no stamp: never more than half a year away,
// plus a day for the zones.
constexpr TimeValue kMaxDistance = 185LL * 86400;

// A stamp of an RFC 5424 header names its year: anywhere from 0000-01-01 to
// 9999-12-31 23:59:59, a day either side for its offset.
constexpr TimeValue kFirstRfc5424 = -62167219200LL - 86400;
constexpr TimeValue kLastRfc5424 = 253402300799LL + 86400;

void checkStamp(const char* text, TimeValue receivedAt, const ZoneRules& zone) {
  const TimeValue stamp = parseMessageTimeStamp(text, receivedAt, zone);
  if (std::strncmp(text, "1 ", 2) == 0) {
    // Its own moment, whatever the reception and the zone.
    check(stamp == parseRfc5424TimeStamp(text + 2));
    check(stamp >= kFirstRfc5424 && stamp <= kLastRfc5424);
    return;
  }
  if (stamp == 0) return;
  const TimeValue distance = stamp > receivedAt ? stamp - receivedAt : receivedAt - stamp;
  check(distance <= kMaxDistance);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The receive buffer: the bytes and a zero after them; the text ends at the
  // first zero byte.
  const std::string datagram(reinterpret_cast<const char*>(data), size);
  const char* input = datagram.c_str();
  const std::size_t length = std::strlen(input);

  const PriPart pri = applyPriRule(input);
  check(pri.priority >= 0 && pri.priority <= 7);
  check(pri.facility >= 0 && pri.facility <= 127);
  check(pri.textOffset <= length);
  const char* text = input + pri.textOffset;
  check(pri.textOffset == 0 || input[0] == '<');

  // Every byte reaches the record and comes back unchanged.
  CTolvaneString message(text);
  check(static_cast<std::size_t>(message.getNarrowLength()) == length - pri.textOffset);
  check(std::memcmp(message.getNarrow(), text, length - pri.textOffset) == 0);

  checkStamp(text, 1717200000, FixedOffsetZone(0));
  checkStamp(text, 1735689600, FixedOffsetZone(-12 * 3600));
  checkStamp(text, 4102444800, systemZone());
  return 0;
}
