#include "platform/text.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::string roundTrip(std::string_view bytes) { return platform::toAnsi(platform::toWide(bytes)); }

TEST(TextTest, RandomBytesSurviveWideAndBack) {
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> byte(0, 255), len(0, 64);
  for (int i = 0; i < 20000; ++i) {
    std::string s(static_cast<std::size_t>(len(rng)), '\0');
    for (auto& c : s) c = static_cast<char>(byte(rng));
    ASSERT_EQ(roundTrip(s), s) << "case " << i;
  }
}

TEST(TextTest, RandomBytesSurviveTheWindowsCalls) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < 2000; ++i) {
    std::string s(1 + i % 40, '\0');
    for (auto& c : s) c = static_cast<char>(byte(rng));
    const int n = static_cast<int>(s.size());
    const int wlen = MultiByteToWideChar(CP_ACP, 0, s.data(), n, nullptr, 0);
    std::u16string w(static_cast<std::size_t>(wlen), u'\0');
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, s.data(), n, w.data(), wlen), wlen);
    const int blen = WideCharToMultiByte(CP_ACP, 0, w.data(), wlen, nullptr, 0, nullptr, nullptr);
    std::string back(static_cast<std::size_t>(blen), '\0');
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, w.data(), wlen, back.data(), blen, nullptr, nullptr), blen);
    ASSERT_EQ(back, s);
  }
}

TEST(TextTest, WellFormedUtf8DecodesToItsCharacters) {
  EXPECT_EQ(platform::toWide("A\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80"), u"A\u00E9\u65E5\U0001F600");
  EXPECT_EQ(platform::toAnsi(u"A\u00E9\u65E5\U0001F600"), "A\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80");
}

TEST(TextTest, MalformedSequencesBecomeEscapedBytes) {
  // Lone continuation byte, Latin-1 byte, overlong slash, encoded surrogate, truncated sequence.
  EXPECT_EQ(platform::toWide("\x80"), std::u16string(1, 0xDC80));
  EXPECT_EQ(platform::toWide("caf\xE9"), (std::u16string{u'c', u'a', u'f', 0xDCE9}));
  EXPECT_EQ(platform::toWide("\xC0\xAF"), (std::u16string{0xDCC0, 0xDCAF}));
  EXPECT_EQ(platform::toWide("\xED\xB2\x80"), (std::u16string{0xDCED, 0xDCB2, 0xDC80}));
  EXPECT_EQ(platform::toWide("\xE6\x97"), (std::u16string{0xDCE6, 0xDC97}));
}

TEST(TextTest, ZeroBytesInsideAnExplicitLengthAreKept) {
  const char data[] = {'a', '\0', 'b'};
  char16_t out[3];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, data, 3, out, 3), 3);
  EXPECT_EQ(std::u16string(out, 3), std::u16string(u"a\0b", 3));
}

TEST(TextTest, MinusOneLengthConvertsTheTerminator) {
  char16_t out[8];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, out, 8), 4);
  EXPECT_EQ(out[3], u'\0');
  char back[8];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", -1, back, 8, nullptr, nullptr), 4);
  EXPECT_STREQ(back, "abc");
}

TEST(TextTest, TooSmallBufferFailsWithInsufficientBuffer) {
  char16_t out[2];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, out, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char back[2];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00E9", 1, back, 1, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(TextTest, UnsupportedCodePageAndZeroLengthAreInvalidParameters) {
  char16_t out[4];
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, out, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", 0, out, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(TextTest, LoneSurrogatesThatNoByteMakesBecomeQuestionMarks) {
  EXPECT_EQ(platform::toAnsi(std::u16string{u'x', 0xD800, u'y'}), "x?y");
  EXPECT_EQ(platform::toAnsi(std::u16string{0xDC41}), "?");
}

TEST(TextTest, AsciiCaseFoldingLeavesOtherLettersAlone) {
  EXPECT_TRUE(platform::equalsAsciiNoCase(u"Parameters", u"PARAMETERS"));
  EXPECT_FALSE(platform::equalsAsciiNoCase(u"\u00C9", u"\u00E9"));
  EXPECT_EQ(platform::foldAsciiCase(u"AbC\u00C9"), u"abc\u00C9");
}

}  // namespace
