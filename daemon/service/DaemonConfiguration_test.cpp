#include "service/DaemonConfiguration.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/eventlog.h"
#include "rules/CRuleBase.h"
#include "service/service_events.h"
#include "temp_root.h"

namespace {

class DaemonConfigurationTest : public ::testing::Test {
 protected:
  HKEY parameters() {
    if (m_key == nullptr) {
      EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, kParametersKeyPath, &m_key), ERROR_SUCCESS);
    }
    return m_key;
  }
  void TearDown() override {
    if (m_key != nullptr) RegCloseKey(m_key);
  }
  void setDWord(const WCHAR* name, DWORD value) {
    ASSERT_EQ(RegSetValueExW(parameters(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
  }
  void setString(const WCHAR* name, const std::u16string& text) {
    ASSERT_EQ(RegSetValueExW(parameters(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
  }
  DWORD readDWord(const char* name) {
    DWORD value = 0xDEADBEEF, size = 4;
    EXPECT_EQ(RegQueryValueExA(parameters(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS)
        << name;
    return value;
  }
  DaemonConfiguration read() {
    DaemonConfiguration config;
    config.szBaseLogFilePath = "stale";  // every value is read afresh
    readConfiguration(config);
    return config;
  }

  platform::testing::TempPlatformRoot m_root;
  HKEY m_key = nullptr;
};

TEST_F(DaemonConfigurationTest, MissingKeyGivesEveryDefault) {
  const DaemonConfiguration c = read();
  EXPECT_EQ(c.szBaseLogFilePath, "/var/log/corvantel");
  EXPECT_EQ(c.szBaseLogFileName, "Corvantel");
  EXPECT_EQ(c.szBaseLogFileExtension, "log");
  EXPECT_EQ(c.szTableName, "Syslog");
  EXPECT_EQ(c.szODBCReceivedAt, "ReceivedAt");
  EXPECT_EQ(c.szODBCFacility, "Facility");
  EXPECT_EQ(c.szODBCPriority, "Priority");
  EXPECT_EQ(c.szODBCFromHost, "FromHost");
  EXPECT_EQ(c.szODBCMessage, "Message");
  EXPECT_EQ(c.szSMTPServer, "127.0.0.1");
  EXPECT_EQ(c.szODBCDsn, "");
  EXPECT_EQ(c.szSyslogSendServer, "");
  EXPECT_EQ(c.nSMTPPort, 25u);
  EXPECT_EQ(c.nSyslogPort, 0u);
  EXPECT_EQ(c.nUniqueFileName, 1u);
  EXPECT_EQ(c.nFileDateTime, 1u);
  EXPECT_EQ(c.nFileFacility, 1u);
  EXPECT_EQ(c.nFilePriority, 1u);
  EXPECT_EQ(c.bReloadRuleBase, 0u);
  EXPECT_EQ(c.nTimeMode, 0u);
}

TEST_F(DaemonConfigurationTest, StoredValuesAreRead) {
  setString(u"szBaseLogFilePath", u"/srv/logs");
  setString(u"szSyslogSendServer", u"relay:1514");
  setDWord(u"nSyslogPort", 1514);
  setDWord(u"nResolveHostName", 2);  // kept as stored: only exactly 1 counts as set
  setDWord(u"nFileFacility", 0);
  setDWord(u"nReceiveBufferSize", 64 << 20);
  const DaemonConfiguration c = read();
  EXPECT_EQ(c.szBaseLogFilePath, "/srv/logs");
  EXPECT_EQ(c.szSyslogSendServer, "relay:1514");
  EXPECT_EQ(c.nSyslogPort, 1514u);
  EXPECT_EQ(c.nResolveHostName, 2u);
  EXPECT_EQ(makeActionSettings(c).resolveHostName, 2);
  EXPECT_EQ(c.nFileFacility, 0u);
  EXPECT_EQ(c.nReceiveBufferSize, 64u << 20);
}

TEST_F(DaemonConfigurationTest, EmptyMeansDefaultOnlyForTheThreeMarkedValues) {
  for (const WCHAR* name : {u"szBaseLogFileName", u"szBaseLogFileExtension", u"szTableName", u"szODBCDsn",
                            u"szSMTPServer", u"szBaseLogFilePath", u"szODBCMessage"}) {
    setString(name, u"");
  }
  const DaemonConfiguration c = read();
  EXPECT_EQ(c.szBaseLogFileName, "Corvantel");
  EXPECT_EQ(c.szBaseLogFileExtension, "log");
  EXPECT_EQ(c.szTableName, "Syslog");
  EXPECT_EQ(c.szODBCDsn, "");
  EXPECT_EQ(c.szSMTPServer, "");
  EXPECT_EQ(c.szBaseLogFilePath, "");
  EXPECT_EQ(c.szODBCMessage, "");
}

TEST_F(DaemonConfigurationTest, StringOf1024CharactersTakesTheDefault) {
  setString(u"szSMTPServer", std::u16string(1024, u'm'));
  setString(u"szBaseLogFileName", std::u16string(1024, u'n'));
  const DaemonConfiguration c = read();
  EXPECT_EQ(c.szSMTPServer, "127.0.0.1");
  EXPECT_EQ(c.szBaseLogFileName, "Corvantel");
}

TEST_F(DaemonConfigurationTest, StringsAreCutToTheirCapacity) {
  setString(u"szBaseLogFilePath", std::u16string(1023, u'p'));
  setString(u"szBaseLogFileName", std::u16string(200, u'n'));
  setString(u"szBaseLogFileExtension", std::u16string(40, u'e'));
  setString(u"szSMTPSubject", std::u16string(255, u's'));
  const DaemonConfiguration c = read();
  EXPECT_EQ(c.szBaseLogFilePath, std::string(255, 'p'));
  EXPECT_EQ(c.szBaseLogFileName, std::string(127, 'n'));
  EXPECT_EQ(c.szBaseLogFileExtension, std::string(31, 'e'));
  EXPECT_EQ(c.szSMTPSubject, std::string(255, 's'));
}

TEST_F(DaemonConfigurationTest, CapacityNeverCutsInsideACharacter) {
  setString(u"szBaseLogFileExtension", std::u16string(20, u'\u00e9'));  // 2 bytes each in UTF-8
  EXPECT_EQ(read().szBaseLogFileExtension.size(), 30u);                 // not 31: half an é

  EXPECT_EQ(cutToCapacity("ab\xe2\x82\xac", 5), "ab");  // the euro sign needs 3 bytes
  EXPECT_EQ(cutToCapacity("ab\xe2\x82\xac", 6), "ab\xe2\x82\xac");
  EXPECT_EQ(cutToCapacity("abc\xf0\x9f\x98\x80", 7), "abc");          // four-byte sequence
  EXPECT_EQ(cutToCapacity("abc\x80\x80\x80\x80", 6), "abc\x80\x80");  // lone bytes may be cut between
  EXPECT_EQ(cutToCapacity("abc", 1), "");
}

TEST_F(DaemonConfigurationTest, ScrambledPasswordIsKeptInClear) {
  setDWord(u"nODBCEnCryption", 1);
  setString(u"szODBCPwd", u"9E?9D");
  EXPECT_EQ(read().szODBCPwd, "ab");

  setString(u"szODBCPwd", u"");  // nothing to unscramble
  EXPECT_EQ(read().szODBCPwd, "");

  setDWord(u"nODBCEnCryption", 2);  // only exactly 1 means scrambled
  setString(u"szODBCPwd", u"9E?9D");
  EXPECT_EQ(read().szODBCPwd, "9E?9D");
}

TEST(PasswordTest, UnscramblingReadsGroupsOfThree) {
  EXPECT_EQ(unscramblePassword("9E?9D"), "ab");
  EXPECT_EQ(unscramblePassword("9E?9D?"), "ab");
  EXPECT_EQ(unscramblePassword("9E?"), "a");
  EXPECT_EQ(unscramblePassword("9E"), "a");
  EXPECT_EQ(unscramblePassword("9E?9"), std::string("a\xf6"));  // a cut group reads one digit: 255 - 9
  EXPECT_EQ(unscramblePassword(""), "");
  EXPECT_EQ(unscramblePassword("00x"), "\xff");
}

TEST(PasswordTest, AnyBytesGiveSomeTextWithoutFailing) {
  // Not hexadecimal: each character counts its code minus 55; only the low
  // byte of the result is kept.
  EXPECT_EQ(unscramblePassword("zz?").size(), 1u);
  EXPECT_EQ(unscramblePassword(std::string("\xff\x80-\x00\x01", 5)).size(), 2u);
  EXPECT_EQ(unscramblePassword("FF?41"), "");  // a decoded zero ends the text
}

TEST_F(DaemonConfigurationTest, ActionSettingsCarryTheConfiguration) {
  DaemonConfiguration c;
  c.szBaseLogFilePath = "/srv";
  c.szBaseLogFileName = "base";
  c.szBaseLogFileExtension = "txt";
  c.szODBCPwd = "secret";
  c.szTableName = "T";
  c.szODBCMessage = "Msg";
  c.szSyslogSendServer = "relay";
  c.szSMTPServer = "mx";
  c.szSMTPRecipient = "to@x";
  c.szSMTPSender = "from@x";
  c.szSMTPSubject = "subj";
  c.nSMTPPort = 2525;
  c.nTimeMode = 1;
  c.bReplaceEventLogSource = 1;
  c.nUniqueFileName = 0;
  c.nFilePriority = 0;
  c.bReloadRuleBase = 1;
  const ActionSettings s = makeActionSettings(c);
  EXPECT_EQ(s.logFilePath, "/srv");
  EXPECT_EQ(s.logFileName, "base");
  EXPECT_EQ(s.logFileExtension, "txt");
  EXPECT_EQ(s.odbcPwd, "secret");
  EXPECT_EQ(s.odbcTable, "T");
  EXPECT_EQ(s.odbcColMessage, "Msg");
  EXPECT_EQ(s.odbcColReceivedAt, "ReceivedAt");
  EXPECT_EQ(s.forwardServer, "relay");
  EXPECT_EQ(s.smtpServer, "mx");
  EXPECT_EQ(s.smtpRecipient, "to@x");
  EXPECT_EQ(s.smtpSender, "from@x");
  EXPECT_EQ(s.smtpSubject, "subj");
  EXPECT_EQ(s.smtpPort, 2525);
  EXPECT_EQ(s.useUtc, 1);
  EXPECT_EQ(s.replaceEventLogSource, 1);
  EXPECT_EQ(s.uniqueFileName, 0);
  EXPECT_EQ(s.fileDateTime, 1);
  EXPECT_EQ(s.filePriority, 0);
  EXPECT_EQ(s.reloadRuleBase, 1);
  EXPECT_EQ(s.eventSource, "TolvaneCorvantel");
  EXPECT_EQ(s.eventId, 113);
  EXPECT_EQ(s.eventCategory, 0);

  const ActionSettings fresh;
  EXPECT_EQ(fresh.logFilePath, "/var/log/corvantel");
  EXPECT_EQ(fresh.uniqueFileName, -1);
  EXPECT_EQ(fresh.eventId, 0);
}

TEST_F(DaemonConfigurationTest, InstallationResetsItsSevenValuesAndKeepsTheRest) {
  setDWord(u"nSyslogPort", 1514);
  setDWord(u"bReplaceEventLogSource", 1);
  setString(u"szODBCDsn", u"logs");
  ASSERT_TRUE(writeInstallationValues());
  EXPECT_EQ(readDWord("nServiceMajor"), 3u);
  EXPECT_EQ(readDWord("nServiceMinor"), 70u);
  EXPECT_EQ(readDWord("nServiceBuildID"), 124u);
  EXPECT_EQ(readDWord("nSyslogPort"), 0u);
  EXPECT_EQ(readDWord("bReplaceEventLogSource"), 0u);
  EXPECT_EQ(readDWord("bWriteToODBC"), 0u);
  EXPECT_EQ(readDWord("bWriteToEventLog"), 0u);
  EXPECT_EQ(read().szODBCDsn, "logs");
}

TEST_F(DaemonConfigurationTest, InstallationCreatesTheKey) {
  ASSERT_TRUE(writeInstallationValues());
  EXPECT_EQ(readDWord("nServiceBuildID"), 124u);
}

TEST_F(DaemonConfigurationTest, ValueOfTheWrongTypeTakesItsDefaultWithOneWarningAtStart) {
  setString(u"nSyslogPort", u"7");
  setDWord(u"szBaseLogFilePath", 3);
  setDWord(u"nSMTPPort", 2525);
  loadConfiguration();
  EXPECT_EQ(daemonConfiguration().nSyslogPort, 0u);  // not 55, the code of "7"
  EXPECT_EQ(daemonConfiguration().szBaseLogFilePath, "/var/log/corvantel");
  EXPECT_EQ(daemonConfiguration().nSMTPPort, 2525u);

  std::vector<platform::EventRecord> records;
  ASSERT_EQ(platform::readEvents(0, kServiceName, records), ERROR_SUCCESS);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(records[0].strings.at(0),
            "The value szBaseLogFilePath of the service's Parameters key is not stored as a text (REG_SZ); "
            "its default applies.");
  EXPECT_NE(records[1].strings.at(0).find("nSyslogPort"), std::string::npos);
}

TEST_F(DaemonConfigurationTest, LoadingAlsoLoadsTheRuleBase) {
  HKEY rules = nullptr;
  ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, kRulesKeyPath, &rules), ERROR_SUCCESS);
  const DWORD count = 2, version = 41;
  RegSetValueExW(rules, u"nRuleCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), 4);
  RegSetValueExW(rules, u"nRuleVersion", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&version), 4);
  RegCloseKey(rules);
  setString(u"szBaseLogFileName", u"loaded");

  loadConfiguration();
  EXPECT_EQ(daemonConfiguration().szBaseLogFileName, "loaded");
  EXPECT_EQ(ruleBase().size(), 2u);
  EXPECT_EQ(ruleBase().getLoadedVersion(), 41);
}

}  // namespace
