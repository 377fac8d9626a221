#include "rc_source.h"

#include <gtest/gtest.h>

namespace corvrc {
namespace {

std::optional<RcSource> parse(const std::string& text) {
  std::string error;
  auto src = parseRcSource(text, error);
  EXPECT_TRUE(src.has_value()) << error;
  return src;
}

TEST(RcSourceTest, MessagesResolveEscapesAndJoinAdjacentStrings) {
  const auto src = parse(
      "# comment\n"
      "MESSAGETABLE\nBEGIN\n"
      "  1 \"a\\r\\nb\\t\\\\ \\\"q\\\" \\x41\\xe9\"  // trailing comment\n"
      "  7 \"first \"\n"
      "    \"second\"\n"
      "  8 \"%1%r%n%%\"\n"
      "END\n");
  ASSERT_TRUE(src);
  EXPECT_EQ(src->messages.at(1), "a\r\nb\t\\ \"q\" A\xe9");
  EXPECT_EQ(src->messages.at(7), "first second");
  EXPECT_EQ(src->messages.at(8), "%1%r%n%%");  // inserts are the formatter's business
  EXPECT_EQ(src->language, kLanguageEnglishUs);
  EXPECT_FALSE(src->version);
}

TEST(RcSourceTest, VersionBlockGivesNumbersAndStrings) {
  const auto src = parse(
      "LANGUAGE 1031\n"
      "VERSIONINFO\nBEGIN\n FILEVERSION 3,70,0,124\n PRODUCTVERSION 1, 2, 3, 65535\n"
      " VALUE \"ProductName\" \"Corvantel\"\nEND\n");
  ASSERT_TRUE(src && src->version);
  EXPECT_EQ(src->language, 1031);
  EXPECT_EQ(src->version->language, 1031);
  EXPECT_EQ(src->version->fileVersion[1], 70);
  EXPECT_EQ(src->version->fileVersion[3], 124);
  EXPECT_EQ(src->version->productVersion[3], 65535);
  ASSERT_EQ(src->version->strings.size(), 1u);
  EXPECT_EQ(src->version->strings[0].second, "Corvantel");
}

struct BadSource {
  const char* text;
  const char* errorStart;  // "<line>: ..."
};

// Names each case after the error it expects, so a failure reads at a glance.
void PrintTo(const BadSource& source, std::ostream* out) { *out << source.errorStart; }

class RcSourceErrorTest : public ::testing::TestWithParam<BadSource> {};

TEST_P(RcSourceErrorTest, IsRejectedWithItsLine) {
  std::string error;
  EXPECT_FALSE(parseRcSource(GetParam().text, error));
  EXPECT_EQ(error.rfind(GetParam().errorStart, 0), 0u) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, RcSourceErrorTest,
    ::testing::Values(BadSource{"MESSAGETABLE\nBEGIN\n1 \"a\"\n1 \"b\"\nEND\n",
                                "4: message 1 is defined twice"},
                      BadSource{"MESSAGETABLE\nBEGIN\n1 \"open\nEND\n", "3: unterminated string"},
                      BadSource{"MESSAGETABLE\nBEGIN\n1 \"\\q\"\nEND\n", "3: unknown escape \\q"},
                      BadSource{"MESSAGETABLE\nBEGIN\n1 \"\\x00\"\nEND\n", "3: \\x needs"},
                      BadSource{"MESSAGETABLE\nBEGIN\n1 \"a\"\n", "4: missing END"},
                      BadSource{"MESSAGETABLE\nBEGIN\nx \"a\"\nEND\n", "3: bad message id 'x'"},
                      BadSource{"MESSAGETABLE\nBEGIN\n4294967296 \"a\"\nEND\n", "3: bad message id"},
                      BadSource{"MESSAGETABLE\nBEGIN\n1\nEND\n", "4: expected a quoted string"},
                      BadSource{"VERSIONINFO\nBEGIN\nFILEVERSION 1,2,3\nEND\n", "4: a version is four"},
                      BadSource{"VERSIONINFO\nBEGIN\nFILEVERSION 1,2,3,70000\nEND\n", "3: a version part"},
                      BadSource{"VERSIONINFO\nBEGIN\nICON 1\nEND\n", "3: expected FILEVERSION"},
                      BadSource{"STRINGTABLE\n", "1: expected LANGUAGE"}));

TEST(RcSourceTest, CompiledContainerHoldsTableAndVersion) {
  const auto src = parse(
      "MESSAGETABLE\nBEGIN\n1 \"one\\r\\n\"\n2 \"two\"\n9 \"nine\"\nEND\n"
      "VERSIONINFO\nBEGIN\nFILEVERSION 1,2,3,4\nPRODUCTVERSION 1,2,3,4\nEND\n");
  ASSERT_TRUE(src);
  std::string error;
  const auto container = compileRcSource(*src, error);
  ASSERT_TRUE(container) << error;
  const auto entries = platform::decodeResourceSection(container->data(), container->size());
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].type, 11u);
  EXPECT_EQ((*entries)[1].type, 16u);
  const auto& table = (*entries)[0].data;
  EXPECT_EQ(table[0], 2);  // ids 1-2 and 9: two blocks
  EXPECT_EQ(platform::readMessageTable(table.data(), table.size()),
            (std::map<DWORD, std::string>{{1, "one\r\n"}, {2, "two"}, {9, "nine"}}));
}

TEST(RcSourceTest, GeneratedCodePlacesBytesInTheResourceSection) {
  const std::string cpp = generateCpp({0x43, 0xff}, "x.rc");
  EXPECT_NE(cpp.find("section(\"corvres\"), used"), std::string::npos);
  EXPECT_NE(cpp.find("0x43, 0xff,"), std::string::npos);
  EXPECT_NE(cpp.find("[2]"), std::string::npos);
}

}  // namespace
}  // namespace corvrc
