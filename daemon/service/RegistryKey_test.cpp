#include "service/RegistryKey.h"

#include <gtest/gtest.h>

#include <string>

#include "temp_root.h"

namespace {

const WCHAR kKeyPath[] = u"SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters";

class RegistryKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, kKeyPath, &key), ERROR_SUCCESS);
    m_writer = key;
  }
  void TearDown() override {
    if (m_writer) RegCloseKey(m_writer);
  }
  void setString(const WCHAR* name, const std::u16string& text) {
    ASSERT_EQ(RegSetValueExW(m_writer, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
  }

  platform::testing::TempPlatformRoot m_root;
  HKEY m_writer = nullptr;
};

TEST_F(RegistryKeyTest, StringOf1023CharactersIsReadAnd1024FallsBackToDefault) {
  setString(u"szShort", std::u16string(1023, u'a'));
  setString(u"szLong", std::u16string(1024, u'b'));
  RegistryKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath, KEY_READ), ERROR_SUCCESS);

  CTolvaneString value;
  ASSERT_TRUE(key.ReadString(u"szShort", value));
  EXPECT_EQ(value.getLength(), 1023);

  EXPECT_FALSE(key.ReadString(u"szLong", value));
  key.ReadStringDefault(u"szLong", value, CTolvaneString(u"default"));
  EXPECT_EQ(std::u16string(value.getWide()), u"default");
}

TEST_F(RegistryKeyTest, DataWithoutTerminatorStopsAtTheBuffer) {
  const std::u16string full(1024, u'c');  // 2048 bytes, no zero
  ASSERT_EQ(RegSetValueExW(m_writer, u"szRaw", 0, REG_SZ, reinterpret_cast<const BYTE*>(full.data()), 2048),
            ERROR_SUCCESS);
  RegistryKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath, KEY_READ), ERROR_SUCCESS);
  CTolvaneString value;
  ASSERT_TRUE(key.ReadString(u"szRaw", value));
  EXPECT_EQ(value.getLength(), 1024);
}

TEST_F(RegistryKeyTest, DWordsAndDefaults) {
  const DWORD port = 1514;
  ASSERT_EQ(RegSetValueExW(m_writer, u"nSyslogPort", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), 4),
            ERROR_SUCCESS);
  RegistryKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath, KEY_READ), ERROR_SUCCESS);
  DWORD value = 0;
  EXPECT_TRUE(key.ReadDWord(u"nSyslogPort", value));
  EXPECT_EQ(value, 1514u);
  key.ReadDWordDefault(u"nMissing", value, 7);
  EXPECT_EQ(value, 7u);

  key.Close();
  EXPECT_FALSE(key.ReadDWord(u"nSyslogPort", value));
}

TEST_F(RegistryKeyTest, ValuesOfAnotherTypeReadAsWrongTypeNeverAsSomethingElse) {
  setString(u"nSyslogPort", u"7");  // once read as 55, the code of the character
  const DWORD number = 5;
  ASSERT_EQ(RegSetValueExW(m_writer, u"szName", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
            ERROR_SUCCESS);
  RegistryKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath, KEY_READ), ERROR_SUCCESS);
  DWORD value = 1;
  EXPECT_EQ(key.QueryDWord(u"nSyslogPort", value), ValueRead::kWrongType);
  EXPECT_FALSE(key.ReadDWord(u"nSyslogPort", value));
  EXPECT_EQ(value, 1u);
  CTolvaneString text(u"kept");
  EXPECT_EQ(key.QueryString(u"szName", text, 100), ValueRead::kWrongType);
  EXPECT_EQ(key.QueryString(u"szNone", text, 100), ValueRead::kMissing);
  EXPECT_EQ(std::u16string(text.getWide()), u"kept");
}

TEST_F(RegistryKeyTest, LongTextsAreReadWholeUpToTheLimitAndAFailingKeyIsNoMissingValue) {
  setString(u"szFilter", std::u16string(40000, u'f'));
  RegistryKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath, KEY_READ), ERROR_SUCCESS);
  CTolvaneString text;
  ASSERT_EQ(key.QueryString(u"szFilter", text, 40000), ValueRead::kPresent);
  EXPECT_EQ(text.getLength(), 40000);
  EXPECT_EQ(key.QueryString(u"szFilter", text, 39999), ValueRead::kTooLong);

  RegCloseKey(m_writer);
  m_writer = nullptr;
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
  LONG error = ERROR_SUCCESS;
  DWORD value = 0;
  EXPECT_EQ(key.QueryDWord(u"nSyslogPort", value, &error), ValueRead::kFailed);
  EXPECT_EQ(error, ERROR_KEY_DELETED);
}

TEST_F(RegistryKeyTest, OpeningAMissingKeyReportsTheCode) {
  RegistryKey key;
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nowhere", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.isOpen());
}

TEST(RegistryKey, NeverOpenedKeyReadsNothing) {
  // No platform root at all: the registry must not be asked.
  RegistryKey key;
  DWORD value = 42;
  EXPECT_FALSE(key.ReadDWord(u"nSyslogPort", value));
  EXPECT_EQ(value, 42u);
  CTolvaneString text(u"kept");
  EXPECT_FALSE(key.ReadString(u"szODBCDsn", text));
  key.ReadStringDefault(u"szODBCDsn", text, CTolvaneString(u"fallback"));
  EXPECT_EQ(std::u16string(text.getWide()), u"fallback");
}

TEST(JoinName, JoinsIntoOneReusedBuffer) {
  const WCHAR* first = joinName(u"1-", u"Source");
  EXPECT_EQ(std::u16string(first), u"1-Source");
  const WCHAR* second = joinName(u"12-", u"Priority");
  EXPECT_EQ(first, second);
  EXPECT_EQ(std::u16string(second), u"12-Priority");
  EXPECT_EQ(std::u16string(joinName(nullptr, u"Message")), u"Message");
  EXPECT_EQ(std::u16string(joinName(u"3-", nullptr)), u"3-");
  // An earlier result as the prefix.
  joinName(u"4-", u"TY");
  EXPECT_EQ(std::u16string(joinName(joinName(u"4-", u"TY"), u"1")), u"4-TY1");
}

TEST(JoinName, ResultTooLongIsCutInsideTheBuffer) {
  const std::u16string prefix(kJoinNameCapacity - 3, u'p');
  const std::u16string result = joinName(prefix.c_str(), u"Facility");
  EXPECT_EQ(result.size(), kJoinNameCapacity - 1);
  EXPECT_EQ(result, prefix + u"Fa");

  const std::u16string huge(3 * kJoinNameCapacity, u'h');
  EXPECT_EQ(std::u16string(joinName(huge.c_str(), huge.c_str())).size(), kJoinNameCapacity - 1);
}

}  // namespace
