#include "Registry.h"

#include <gtest/gtest.h>

#include <string>

#include "Global.h"
#include "platform/text.h"
#include "temp_root.h"

namespace {

class RegistryModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, &m_key), ERROR_SUCCESS);
    Global::nLastRegError = -1;
  }
  void TearDown() override { RegCloseKey(m_key); }

  void setRaw(const char* name, DWORD type, const std::string& bytes) {
    ASSERT_EQ(RegSetValueExW(m_key, platform::toWide(name).c_str(), 0, type,
                             reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
  }
  // The stored type and bytes of a value, or type REG_NONE when it is missing.
  std::pair<DWORD, std::string> raw(const char* name) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    const std::u16string wide = platform::toWide(name);
    if (RegQueryValueExW(m_key, wide.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {REG_NONE, {}};
    std::string bytes(size, '\0');
    RegQueryValueExW(m_key, wide.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size);
    return {type, bytes};
  }
  static std::string utf16z(const std::u16string& text) {
    std::string bytes;
    for (char16_t c : text + u'\0') bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return bytes;
  }

  platform::testing::TempPlatformRoot m_root;
  HKEY m_key = nullptr;
};

TEST_F(RegistryModuleTest, StringReadsUpTo255BytesAndTakesTheDefaultBeyond) {
  Registry::SetStringValue(m_key, "szFits", QString(255, u'x'));
  Registry::SetStringValue(m_key, "szTooLong", QString(256, u'x'));
  // Multi-byte text counts in bytes of the ANSI code page: 86 x 3 = 258.
  Registry::SetStringValue(m_key, "szWide", QString(86, QChar(0x65E5)));
  LONG result = -1;
  EXPECT_EQ(Registry::QueryStringValue(m_key, "szFits", "default", &result), QString(255, u'x'));
  EXPECT_EQ(result, ERROR_SUCCESS);
  EXPECT_EQ(Registry::QueryStringValue(m_key, "szTooLong", "default", &result), "default");
  EXPECT_EQ(result, ERROR_MORE_DATA);
  EXPECT_EQ(Registry::QueryStringValue(m_key, "szWide", "default"), "default");
  EXPECT_EQ(Registry::QueryStringValue(m_key, "szMissing", "default", &result), "default");
  EXPECT_EQ(result, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryModuleTest, StringStopsAtItsFirstZeroAndCopesWithoutTerminator) {
  setRaw("szEmbedded", REG_SZ, utf16z(u"ab") + utf16z(u"cd"));
  setRaw("szUnterminated", REG_SZ, std::string("x\0y\0", 4));
  EXPECT_EQ(Registry::QueryStringValue(m_key, "szEmbedded", "d"), "ab");
  EXPECT_EQ(Registry::QueryStringValue(m_key, "szUnterminated", "d"), "xy");
}

TEST_F(RegistryModuleTest, TextRoundTripsBytesThatAreNotUtf8) {
  // A value written by another tool in another code page keeps its bytes when
  // the client reads it and writes it back.
  const std::string latin1 = "Gr\xFC\xDF" "e \xE9t\xE9";
  ASSERT_EQ(RegSetValueExA(m_key, "szOther", 0, REG_SZ, reinterpret_cast<const BYTE*>(latin1.c_str()),
                           static_cast<DWORD>(latin1.size())),
            ERROR_SUCCESS);
  const QString read = Registry::QueryStringValue(m_key, "szOther", {});
  Registry::SetStringValue(m_key, "szCopy", read);
  char buffer[64] = {};
  DWORD size = sizeof buffer;
  ASSERT_EQ(RegQueryValueExA(m_key, "szCopy", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer), latin1);
  EXPECT_EQ(Registry::QueryStringValue(m_key, "szCopy", {}), read);
}

TEST_F(RegistryModuleTest, EmptyTextDeletesTheValueUnlessKeptEmpty) {
  Registry::SetStringValue(m_key, "szA", "text");
  Registry::SetStringValue(m_key, "szB", "text");
  EXPECT_EQ(Registry::SetStringValue(m_key, "szA", QString()), ERROR_SUCCESS);
  EXPECT_EQ(Global::nLastRegError, ERROR_SUCCESS);
  EXPECT_EQ(raw("szA").first, REG_NONE);
  Registry::SetStringValue(m_key, "szB", QString(), /*keepEmpty=*/true);
  EXPECT_EQ(raw("szB"), std::make_pair(REG_SZ, utf16z(u"")));
  // Deleting what is not there is reported, not hidden.
  Registry::SetStringValue(m_key, "szNeverWritten", QString());
  EXPECT_EQ(Global::nLastRegError, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryModuleTest, StringIsStoredAsRegSzWithTerminator) {
  Registry::SetStringValue(m_key, "szServer", "mail.example.org");
  EXPECT_EQ(raw("szServer"), std::make_pair(REG_SZ, utf16z(u"mail.example.org")));
}

TEST_F(RegistryModuleTest, DWordReadsFourBytesWhateverTheType) {
  setRaw("nDword", REG_DWORD, std::string("\xFE\xFF\xFF\xFF", 4));
  setRaw("nBinary", REG_BINARY, std::string("\x39\x30\x00\x00", 4));
  setRaw("nShort", REG_BINARY, std::string("\x05", 1));
  setRaw("nLong", REG_BINARY, std::string(8, '\x01'));
  bool found = false;
  EXPECT_EQ(Registry::QueryDWordValue(m_key, "nDword", 7, &found), -2);
  EXPECT_TRUE(found);
  EXPECT_EQ(Registry::QueryDWordValue(m_key, "nBinary", 7), 12345);
  EXPECT_EQ(Registry::QueryDWordValue(m_key, "nShort", 7), 5);
  LONG result = 0;
  EXPECT_EQ(Registry::QueryDWordValue(m_key, "nLong", 7, &found, &result), 7);
  EXPECT_FALSE(found);
  EXPECT_EQ(result, ERROR_MORE_DATA);
  EXPECT_EQ(Registry::QueryDWordValue(m_key, "nMissing", 514, &found), 514);
  EXPECT_FALSE(found);
}

TEST_F(RegistryModuleTest, NumberTextIsStoredAsDWordAndAnythingElseDeletes) {
  EXPECT_EQ(Registry::SetNumberValue(m_key, "nPort", QString(" 1514 ")), ERROR_SUCCESS);
  EXPECT_EQ(raw("nPort"), std::make_pair(REG_DWORD, std::string("\xEA\x05\x00\x00", 4)));
  Registry::SetNumberValue(m_key, "nNegative", QString("-1"));
  EXPECT_EQ(Registry::QueryDWordValue(m_key, "nNegative", 0), -1);
  Registry::SetNumberValue(m_key, "nAllBits", QString("4294967295"));
  EXPECT_EQ(Registry::QueryDWordValue(m_key, "nAllBits", 0), -1);

  for (const char* notANumber : {"abc", "", "12a", "1.5", "-", "4294967296", "-2147483649"}) {
    Registry::SetNumberValue(m_key, "nValue", 42);
    Global::nLastRegError = -1;
    Registry::SetNumberValue(m_key, "nValue", QString(notANumber));
    EXPECT_EQ(raw("nValue").first, REG_NONE) << notANumber;
    EXPECT_EQ(Global::nLastRegError, ERROR_SUCCESS) << notANumber;
  }
}

TEST_F(RegistryModuleTest, DeleteValueReportsItsResult) {
  Registry::SetNumberValue(m_key, "nGone", 1);
  Registry::DeleteValue(m_key, "nGone");
  EXPECT_EQ(Global::nLastRegError, ERROR_SUCCESS);
  Registry::DeleteValue(m_key, "nGone");
  EXPECT_EQ(Global::nLastRegError, ERROR_FILE_NOT_FOUND);
  Registry::DeleteValue(nullptr, "nGone");
  EXPECT_EQ(Global::nLastRegError, ERROR_INVALID_HANDLE);
}

}  // namespace
