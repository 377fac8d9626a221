#include <gtest/gtest.h>

#include <string>

#include "platform/resource.h"

namespace {

// ---- Expansion of one text -------------------------------------------------------

struct Expansion {
  const char* pattern;
  std::vector<std::string> inserts;
  const char* expected;
};

class ExpandMessageTest : public ::testing::TestWithParam<Expansion> {};

TEST_P(ExpandMessageTest, GivesTheWindowsResult) {
  EXPECT_EQ(platform::expandMessage(GetParam().pattern, GetParam().inserts), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, ExpandMessageTest,
    ::testing::Values(Expansion{"Disk %1 is %2.", {"C", "full"}, "Disk C is full."},
                      Expansion{"%1%r%r \r\nmore", {"x"}, "x\r\r \r\nmore"},  // %r is a bare CR
                      Expansion{"a%nb", {}, "a\r\nb"},                        // %n is CR LF
                      Expansion{"100%% sure", {}, "100% sure"},               // %% is one %
                      Expansion{"only %1 and %5 and %12", {"one"}, "only one and %5 and %12"},
                      Expansion{"%10|%1", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"}, "ten|1"},
                      Expansion{"%1!s! done", {"job"}, "job done"},  // a printf format after the number
                      Expansion{"stop%0 here", {}, "stop"},          // %0 ends the message
                      Expansion{"%t%b%.%!", {}, "\t .!"}, Expansion{"ends in %", {}, "ends in %"},
                      Expansion{"%1", {"%2 stays %2"}, "%2 stays %2"},  // inserts are not expanded again
                      Expansion{"bytes %1", {"\xff\xfe"}, "bytes \xff\xfe"}));

TEST(ExpandMessageTest, IgnoreInsertsKeepsEveryInsertAsWritten) {
  EXPECT_EQ(platform::expandMessage("%1 of %2%n", {"a", "b"}, true), "%1 of %2\r\n");
}

// ---- FormatMessage -----------------------------------------------------------------

class FormatMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_module = LoadLibraryExA(CORVRES_SAMPLE_PROGRAM, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(m_module, nullptr);
  }
  void TearDown() override { FreeLibrary(m_module); }

  std::string format(DWORD id, std::vector<const char*> inserts) {
    inserts.push_back(nullptr);
    char buffer[512];
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, m_module, id,
                                   0, buffer, sizeof buffer, inserts.data());
    return n == 0 ? "<error " + std::to_string(GetLastError()) + ">" : std::string(buffer, n);
  }
  HMODULE m_module = nullptr;
};

TEST_F(FormatMessageTest, MessagesOfAModuleWithInserts) {
  EXPECT_EQ(format(2, {"/var", "97", "see df"}), "Disk /var is full (97% used).\r\r\nDetails: see df\r\n");
  EXPECT_EQ(format(3, {"one"}), "Only one and %5.\r\n");
  EXPECT_EQ(format(4, {}), "Stops here");
  EXPECT_EQ(format(1001, {}), "Second of a run\r\n");
  EXPECT_EQ(format(5, {}), "<error 317>");  // ERROR_MR_MID_NOT_FOUND
}

TEST_F(FormatMessageTest, WideFormTakesWideInsertsAndGivesWideText) {
  const char16_t* inserts[] = {u"Jos\u00e9", nullptr};
  char16_t buffer[64];
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, m_module, 1000,
                                 0, buffer, 64, inserts);
  EXPECT_EQ(std::u16string(buffer, n), u"Login failed for Jos\u00e9\r\n");
}

TEST_F(FormatMessageTest, BufferRulesAsOnWindows) {
  char small[8];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, m_module, 1, 0, small,
                           sizeof small, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

  char* allocated = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, m_module,
      2, 0, reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(std::string(allocated, n), "Disk %1 is full (%2% used).\r\r\nDetails: %3\r\n");
  EXPECT_EQ(allocated[n], '\0');
  LocalFree(allocated);

  // Inserts passed as a va_list do not exist on this platform.
  const char* inserts[] = {"x", nullptr};
  char buffer[64];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, m_module, 1000, 0, buffer, sizeof buffer, inserts),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(FormatMessageSystemTest, KnownCodesHaveWindowsTextsOthersAreUnknown) {
  char buffer[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 1060, 0,
                           buffer, sizeof buffer, nullptr);
  EXPECT_EQ(std::string(buffer, n), "The specified service does not exist as an installed service.\r\n");
  for (DWORD code : {0u, 2u, 3u, 5u, 6u, 87u, 122u, 183u, 234u, 259u, 1018u, 1052u, 1056u, 1060u, 1062u,
                     1063u, 1072u, 1073u})
    EXPECT_TRUE(platform::systemErrorText(code).has_value()) << code;
  n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 4242, 0, buffer, sizeof buffer, nullptr);
  EXPECT_EQ(std::string(buffer, n), "Unknown error 4242");
}

TEST(FormatMessageSystemTest, FromStringAndModuleFallingBackToSystem) {
  const char* inserts[] = {"a", "b", nullptr};
  char buffer[64];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "%2-%1%%", 0, 0,
                           buffer, sizeof buffer, inserts);
  EXPECT_EQ(std::string(buffer, n), "b-a%");
  // The test program has no message table: the system table answers.
  n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, 5, 0, buffer, sizeof buffer, nullptr);
  EXPECT_EQ(std::string(buffer, n), "Access is denied.\r\n");
}

}  // namespace
