#include "platform/debug.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "temp_root.h"

namespace {

std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(DebugOutputTest, AppendsToTheNamedFileOnlyWhileSet) {
  platform::testing::TempPlatformRoot root;
  const auto file = root.base() / "debug.txt";
  unsetenv("CORVANTEL_DEBUG_OUTPUT");
  EXPECT_FALSE(platform::debugOutputEnabled());
  OutputDebugStringA("lost\r\n");
  setenv("CORVANTEL_DEBUG_OUTPUT", file.c_str(), 1);
  EXPECT_TRUE(platform::debugOutputEnabled());
  OutputDebugStringA("one\r\n");
  OutputDebugStringW(u"zw\u00F6lf ");
  const char16_t escaped[] = {u'b', 0xDCFF, u'\n', 0};  // a raw byte carried in the wide form
  OutputDebugStringW(escaped);
  unsetenv("CORVANTEL_DEBUG_OUTPUT");
  OutputDebugStringA("lost too");
  EXPECT_EQ(readFile(file), "one\r\nzw\xC3\xB6lf b\xFF\n");
}

TEST(DebugOutputTest, FollowsTheVariableToAnotherFile) {
  platform::testing::TempPlatformRoot root;
  setenv("CORVANTEL_DEBUG_OUTPUT", (root.base() / "a").c_str(), 1);
  OutputDebugStringA("a");
  setenv("CORVANTEL_DEBUG_OUTPUT", (root.base() / "b").c_str(), 1);
  OutputDebugStringA("b");
  unsetenv("CORVANTEL_DEBUG_OUTPUT");
  EXPECT_EQ(readFile(root.base() / "a"), "a");
  EXPECT_EQ(readFile(root.base() / "b"), "b");
}

}  // namespace
