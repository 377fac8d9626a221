#include "reception/pri_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PriCase {
  const char* input;
  int facility;
  int priority;
  const char* text;
};

class PriRuleTest : public ::testing::TestWithParam<PriCase> {};

TEST_P(PriRuleTest, SplitsPriFromText) {
  const PriCase& c = GetParam();
  const PriPart part = applyPriRule(c.input);
  EXPECT_EQ(part.facility, c.facility);
  EXPECT_EQ(part.priority, c.priority);
  EXPECT_STREQ(c.input + part.textOffset, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PriRuleTest,
    ::testing::Values(
        PriCase{"<13>Hello", 1, 5, "Hello"}, PriCase{"<165>x", 20, 5, "x"},
        PriCase{"<0>kernel", 0, 0, "kernel"}, PriCase{"<191>y", 23, 7, "y"}, PriCase{"Hello", 0, 0, "Hello"},
        PriCase{"", 0, 0, ""}, PriCase{" <13>late", 0, 0, " <13>late"},
        // Whatever ends the digits is skipped, ">" or not.
        PriCase{"<>Hello", 0, 0, "Hello"}, PriCase{"<13xHello", 1, 5, "Hello"}, PriCase{"<13>", 1, 5, ""},
        // Digits that run to the end leave the whole text.
        PriCase{"<", 0, 0, "<"}, PriCase{"<13", 1, 5, "<13"},
        // Out of the syslog range: computed as they are, capped by the mask.
        PriCase{"<200>x", 25, 0, "x"}, PriCase{"<1023>x", 127, 7, "x"}, PriCase{"<1024>x", 0, 0, "x"},
        // Long digit runs wrap around as 32-bit arithmetic does.
        PriCase{"<99999999999>x", 127, 7, "x"}, PriCase{"<4294967295>x", 127, 7, "x"},
        PriCase{"<2147483648>x", 0, 0, "x"}, PriCase{"<4294967296013>x", 1, 5, "x"},
        PriCase{"<1111111111111111111111111111111111111111>x", 56, 7, "x"}));

TEST(PriRule, NullTextIsEmpty) {
  const PriPart part = applyPriRule(nullptr);
  EXPECT_EQ(part.facility, 0);
  EXPECT_EQ(part.priority, 0);
  EXPECT_EQ(part.textOffset, 0u);
}

TEST(PriRule, EndlessDigitsStayInRange) {
  const std::string digits = "<" + std::string(40000, '9');
  const PriPart part = applyPriRule(digits.c_str());
  EXPECT_GE(part.facility, 0);
  EXPECT_LE(part.facility, 127);
  EXPECT_EQ(part.textOffset, 0u);
}

}  // namespace
