#include "stream/framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Framed {
  std::vector<std::string> messages;  // a cut one ends in "[cut]"
  bool ok = true;
  std::string error;
  bool operator==(const Framed& other) const { return messages == other.messages && ok == other.ok; }
};

// The stream fed in the pieces that start at `cuts`, then ended.
Framed frame(const std::string& stream, std::size_t max, const std::vector<std::size_t>& cuts = {}) {
  StreamFramer framer(max);
  Framed out;
  const auto deliver = [&](std::string_view text, bool truncated) {
    out.messages.emplace_back(std::string(text) + (truncated ? "[cut]" : ""));
  };
  std::size_t from = 0;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
    const std::size_t to = i < cuts.size() ? cuts[i] : stream.size();
    out.ok = framer.feed(stream.data() + from, to - from, deliver) && out.ok;
    from = to;
  }
  if (out.ok) framer.finish(deliver);
  out.error = framer.error();
  return out;
}

// Every split into two pieces and the split into single bytes give what the
// stream in one piece gives.
void expectSplitsAgree(const std::string& stream, std::size_t max) {
  const Framed whole = frame(stream, max);
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    EXPECT_EQ(frame(stream, max, {cut}), whole) << "split at " << cut << " of " << stream;
  }
  std::vector<std::size_t> bytes;
  for (std::size_t i = 1; i < stream.size(); ++i) bytes.push_back(i);
  EXPECT_EQ(frame(stream, max, bytes), whole) << "byte by byte: " << stream;
}

using Messages = std::vector<std::string>;

TEST(StreamFramer, BothFramingsMixedOnOneConnection) {
  const std::string stream =
      "<13>Dec  8 10:00:00 host app: line one\n"
      "29 <13>counted with\nLF inside it"
      "<14>line with CR\r\n"
      "\n\r\n"  // empty messages are skipped
      "5 <15>x"
      "<16>last line without LF";
  const Framed framed = frame(stream, 32767);
  EXPECT_TRUE(framed.ok);
  EXPECT_EQ(framed.messages, (Messages{"<13>Dec  8 10:00:00 host app: line one", "<13>counted with\nLF inside it",
                                       "<14>line with CR", "<15>x", "<16>last line without LF"}));
  expectSplitsAgree(stream, 32767);
}

TEST(StreamFramer, LongMessagesAreCutAndTheirRestSkipped) {
  // Limit 8: a line of 12, a line of exactly 8 with CR LF, a counted message of
  // 12, a counted message of exactly 8; the stream goes on after each.
  const std::string stream = "<1>456789012\n<1>45678\r\n12 <1>456789012" "8 <1>45678" "<2>ok\n";
  const Framed framed = frame(stream, 8);
  EXPECT_TRUE(framed.ok);
  EXPECT_EQ(framed.messages, (Messages{"<1>45678[cut]", "<1>45678", "<1>45678[cut]", "<1>45678", "<2>ok"}));
  expectSplitsAgree(stream, 8);
  // A count far beyond the limit is skipped without being held.
  EXPECT_EQ(frame("999999 " + std::string(999999, 'x') + "<3>next\n", 100).messages,
            (Messages{std::string(100, 'x') + "[cut]", "<3>next"}));
}

TEST(StreamFramer, MalformedCountsEndTheStream) {
  for (const std::string& stream : {std::string("12x<13>text"), std::string("1234567890 x"),
                                    std::string("<13>fine\n15\n<13>no space")}) {
    const Framed framed = frame(stream, 32767);
    EXPECT_FALSE(framed.ok) << stream;
    EXPECT_FALSE(framed.error.empty()) << stream;
    expectSplitsAgree(stream, 32767);
  }
  EXPECT_EQ(frame("12x", 100).error, "an octet count followed by 'x' instead of a space");
  // What came before the malformed count was delivered.
  EXPECT_EQ(frame("<13>fine\n15\n", 100).messages, (Messages{"<13>fine"}));
}

TEST(StreamFramer, AStreamEndingInsideAMessage) {
  // A counted message cut short is delivered as cut; a count without its
  // message, nothing.
  EXPECT_EQ(frame("10 <13>ab", 100).messages, (Messages{"<13>ab[cut]"}));
  EXPECT_TRUE(frame("10", 100).messages.empty());
  EXPECT_EQ(frame("<13>no end\r", 100).messages, (Messages{"<13>no end"}));
}

}  // namespace
