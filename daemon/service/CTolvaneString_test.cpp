#include "service/CTolvaneString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/text.h"

namespace {

std::u16string wide(const CTolvaneString& s) { return std::u16string(s.getWide()); }

TEST(CTolvaneString, EmptyStringGivesEmptyTextsNeverNull) {
  CTolvaneString empty;
  ASSERT_NE(empty.getWide(), nullptr);
  EXPECT_EQ(empty.getWide()[0], u'\0');
  ASSERT_NE(empty.getNarrow(), nullptr);
  EXPECT_STREQ(empty.getNarrow(), "");
  EXPECT_EQ(empty.getNarrowLength(), 0);

  CTolvaneString fromNull(static_cast<const WCHAR*>(nullptr));
  EXPECT_EQ(fromNull.getLength(), 0);
  CTolvaneString s(u"x");
  s.setNarrow(static_cast<const char*>(nullptr));
  EXPECT_TRUE(s.isEmpty());
}

TEST(CTolvaneString, PrependPutsTextInFront) {
  CTolvaneString s(u"cd");
  EXPECT_EQ(std::u16string(s.prepend(u"ab")), u"abcd");
  EXPECT_STREQ(s.getNarrow(), "abcd");
  EXPECT_EQ(s.getLength(), 4);

  CTolvaneString empty;
  empty.prepend(u"ab");
  EXPECT_EQ(wide(empty), u"ab");
}

TEST(CTolvaneString, PrependOfNothingKeepsTextAndNarrowCopy) {
  CTolvaneString s(u"cd");
  const char* narrow = s.getNarrow();
  s.prepend(u"");
  s.prepend(nullptr);
  EXPECT_EQ(wide(s), u"cd");
  EXPECT_EQ(s.getNarrow(), narrow);  // the same copy, not a new one
}

TEST(CTolvaneString, EveryChangeRenewsTheNarrowCopy) {
  CTolvaneString s("one");
  EXPECT_STREQ(s.getNarrow(), "one");
  s.setWide(u"two");
  EXPECT_STREQ(s.getNarrow(), "two");
  s.setNarrow("three");
  EXPECT_STREQ(s.getNarrow(), "three");
  EXPECT_EQ(s.getNarrowLength(), 5);
  s.prepend(u">");
  EXPECT_STREQ(s.getNarrow(), ">three");
  s = CTolvaneString(u"four");
  EXPECT_STREQ(s.getNarrow(), "four");
  s.setWide(static_cast<const WCHAR*>(nullptr));
  EXPECT_STREQ(s.getNarrow(), "");
}

TEST(CTolvaneString, NarrowCopyHoldsTextOfThreeBytesPerCharacter) {
  // Each of these characters takes three bytes in the ANSI code page: a buffer of
  // two bytes per character would cut the text.
  CTolvaneString s(u"\u65e5\u672c\u8a9e\u30c6\u30ad\u30b9\u30c8");
  EXPECT_EQ(s.getNarrowLength(), 21);
  EXPECT_STREQ(s.getNarrow(),
               "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x83\x86\xe3\x82\xad\xe3\x82\xb9\xe3\x83\x88");
}

TEST(CTolvaneString, BytesOfAnyKindSurviveTheRoundTrip) {
  const char bytes[] = "\xff\xfe valid \xc3\xa9 and \x80 stray";
  CTolvaneString s(bytes);
  EXPECT_STREQ(s.getNarrow(), bytes);
  EXPECT_EQ(s.getNarrowLength(), static_cast<int>(std::strlen(bytes)));
}

TEST(CTolvaneString, ContainsIsCaseSensitive) {
  CTolvaneString text(u"Error in line 3");
  EXPECT_TRUE(text.contains(CTolvaneString(u"Error")));
  EXPECT_TRUE(text.contains(CTolvaneString(u"line 3")));
  EXPECT_FALSE(text.contains(CTolvaneString(u"error")));
  EXPECT_FALSE(CTolvaneString(u"Error").contains(CTolvaneString(u"Error in")));
  EXPECT_TRUE(text.contains(CTolvaneString()));
}

TEST(CTolvaneString, CopiesAreIndependent) {
  CTolvaneString a(u"alpha");
  CTolvaneString b(a);
  b.prepend(u"beta ");
  EXPECT_EQ(wide(a), u"alpha");
  EXPECT_EQ(wide(b), u"beta alpha");
  const CTolvaneString& same = a;
  a = same;  // self-assignment keeps the text
  EXPECT_EQ(wide(a), u"alpha");
}

}  // namespace

namespace {

TEST(CTolvaneString, NarrowFormOfReceivedBytesIsThoseBytes) {
  const std::string bytes = "caf\xE9 \xFF\xC3\xA9 \xF0\x9F\x98\x80 end";
  CTolvaneString s;
  s.setNarrow(bytes);
  EXPECT_EQ(std::string(s.getNarrow(), static_cast<std::size_t>(s.getNarrowLength())), bytes);
  CTolvaneString copy(s);
  EXPECT_EQ(std::string(copy.getNarrow(), static_cast<std::size_t>(copy.getNarrowLength())), bytes);
  // The same text set wide converts back to the same bytes.
  CTolvaneString rebuilt(s.getWide());
  EXPECT_EQ(std::string(rebuilt.getNarrow(), static_cast<std::size_t>(rebuilt.getNarrowLength())), bytes);
}

TEST(CTolvaneString, ReusedStringFollowsLongerAndShorterTexts) {
  CTolvaneString s;
  for (const std::string& text :
       std::vector<std::string>{"short", std::string(5000, 'x') + "\xE6\x97\xA5", "mid text", ""}) {
    s.setNarrow(text);
    EXPECT_EQ(s.getNarrow(), text);
    EXPECT_EQ(platform::toAnsi(s.view()), text);
    s.setWide(platform::toWide(text + "!"));
    EXPECT_EQ(s.getNarrow(), text + "!") << "a change discards the narrow form";
  }
}

}  // namespace

// A text set narrow is decoded when its wide form is first asked for, by the
// string or by a copy of it, and a wide change after that wins.
TEST(CTolvaneString, ANarrowTextIsDecodedOnlyWhenAskedForAndCopiesFollowIt) {
  CTolvaneString received;
  received.setNarrow(std::string_view("caf\xc3\xa9 \xff"));
  EXPECT_FALSE(received.isEmpty());
  CTolvaneString copy;
  copy = received;
  EXPECT_EQ(copy.getLength(), 6);
  EXPECT_EQ(copy.view(), std::u16string_view(u"caf\u00e9 \xdcff"));
  EXPECT_STREQ(copy.getNarrow(), "caf\xc3\xa9 \xff");
  EXPECT_EQ(received.view(), copy.view());

  received.setNarrow(received.getNarrow() + 4);  // its own bytes
  EXPECT_STREQ(received.getNarrow(), "\xa9 \xff");
  received.setWide(u"wide");
  EXPECT_STREQ(received.getNarrow(), "wide");
  received.setNarrow("");
  EXPECT_TRUE(received.isEmpty());
  EXPECT_EQ(received.getLength(), 0);
  EXPECT_EQ(received.getWide()[0], u'\0');
}
