#include "ParameterValues.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSet>
#include <cstring>
#include <map>
#include <string>

#include "Global.h"
#include "Registry.h"
#include "ansi_text.h"
#include "registry_samples.h"
#include "temp_root.h"

namespace {

class ParameterValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, &m_key), ERROR_SUCCESS);
  }
  void TearDown() override { RegCloseKey(m_key); }

  platform::testing::TempPlatformRoot m_root;
  HKEY m_key = nullptr;
};

TEST_F(ParameterValuesTest, EveryValueRoundTripsWithItsRegistryType) {
  EXPECT_EQ(readParameterValues(m_key), ParameterValues{});
  EXPECT_EQ(readParameterValues(nullptr), ParameterValues{});

  const ParameterValues written = everyValueChanged();
  writeParameterValues(m_key, written);
  EXPECT_EQ(readParameterValues(m_key), written);
  const auto stored = storedValues(m_key);
  EXPECT_EQ(stored.size(), 41u);
  EXPECT_EQ(stored.at("nSyslogPort"), "DWORD 1514");
  EXPECT_EQ(stored.at("nODBCBatchSize"), "DWORD 250");
  EXPECT_EQ(stored.at("nODBCIdleTimeout"), "DWORD 0");
  EXPECT_EQ(stored.at("nODBCSpoolLimit"), "DWORD 4096");
  EXPECT_EQ(stored.at("bWriteToEventLog"), "DWORD 1");
  EXPECT_EQ(stored.at("nTlsPort"), "DWORD 6514");
  EXPECT_EQ(stored.at("szTlsCaFile"), "SZ /etc/corvantel/tls/senders-ca.pem");
  EXPECT_EQ(stored.at("szODBCPwd"), "SZ 9E59D3");  // as given: scrambling is the pages' business
  EXPECT_EQ(stored.at("szSMTPSubject"), "SZ " + toAnsi(written.szSMTPSubject));
}

TEST_F(ParameterValuesTest, LongTextsTheDaemonReadsSurviveAReadAndASave) {
  // Longer than the 255 bytes of a plain string read, within the daemon's
  // 1023 characters: shown as stored, and saved back unchanged.
  ParameterValues longTexts;
  longTexts.szBaseLogFilePath = QStringLiteral("/srv/") + QString(400, u'p');
  longTexts.szSMTPSubject = QString(300, QChar(0x65E5));
  writeParameterValues(m_key, longTexts);
  const ParameterValues read = readParameterValues(m_key);
  EXPECT_EQ(read.szBaseLogFilePath, longTexts.szBaseLogFilePath);
  EXPECT_EQ(read.szSMTPSubject, longTexts.szSMTPSubject);
}

TEST_F(ParameterValuesTest, EmptyTextsDeleteTheirValuesSoTheDefaultsReturn) {
  writeParameterValues(m_key, everyValueChanged());
  ParameterValues cleared = everyValueChanged();
  for (QString* text : {&cleared.szSyslogSendServer, &cleared.szBaseLogFilePath,
                        &cleared.szBaseLogFileName,  &cleared.szBaseLogFileExtension,
                        &cleared.szODBCDsn,          &cleared.szODBCPwd,
                        &cleared.szODBCUid,          &cleared.szTableName,
                        &cleared.szODBCReceivedAt,   &cleared.szODBCFacility,
                        &cleared.szODBCPriority,     &cleared.szODBCFromHost,
                        &cleared.szODBCMessage,      &cleared.szSMTPServer,
                        &cleared.szSMTPSender,       &cleared.szSMTPRecipient,
                        &cleared.szSMTPSubject,      &cleared.szTlsCertificateFile,
                        &cleared.szTlsKeyFile,       &cleared.szTlsCaFile})
    text->clear();
  writeParameterValues(m_key, cleared);

  const auto stored = storedValues(m_key);
  EXPECT_EQ(stored.size(), 41u - 20u);
  for (const auto& [name, value] : stored) EXPECT_EQ(value.rfind("DWORD ", 0), 0u) << name;
  EXPECT_EQ(readParameterValues(m_key).szSMTPSubject, "Corvantel Email");
}

TEST_F(ParameterValuesTest, ASaveWritesWhatChangedAndWhatIsMissingAndStopsAtTheFirstFailure) {
  Registry::SetStringValue(m_key, "nTimeMode", "1");  // another type: reads as missing
  Registry::SetNumberValue(m_key, "szODBCDsn", 5);
  Registry::SetStringValue(m_key, "szSMTPSubject", "Alerts");
  QSet<QString> stored;
  const ParameterValues asRead = readParameterValues(m_key, &stored);
  EXPECT_EQ(stored, QSet<QString>({"nTimeMode", "szODBCDsn", "szSMTPSubject"}));
  EXPECT_EQ(asRead.nTimeMode, 0);
  EXPECT_EQ(asRead.szODBCDsn, "");
  ParameterValues edited = asRead;
  edited.szSMTPServer = "mail";
  EXPECT_FALSE(writeChangedParameterValues(m_key, edited, asRead, stored));
  const auto values = storedValues(m_key);
  EXPECT_EQ(values.at("nTimeMode"), "SZ 1");  // left as stored
  EXPECT_EQ(values.at("szODBCDsn"), "DWORD 5");
  EXPECT_EQ(values.at("szSMTPServer"), "SZ mail");
  EXPECT_EQ(values.at("nFileDateTime"), "DWORD 1");  // missing: the default the pages show
  EXPECT_FALSE(values.contains("szODBCUid"));         // empty and missing: nothing to delete, no failure

  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath), ERROR_SUCCESS);
  const auto failure = writeParameterValues(m_key, edited);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->name, "nSyslogPort");
  EXPECT_EQ(failure->code, ERROR_KEY_DELETED);
}

TEST(ParameterValuesOrder, ValuesAreWrittenInTheDesignedOrderAndOursAfterThem) {
  QStringList names;
  forEachParameterValue(ParameterValues{},
                        [&](const QString& name, const ParameterValue&) { names << name; });
  const QStringList designed =
      QStringLiteral(
          "nSyslogPort nTimeMode szSyslogSendServer bReloadRuleBase nSyslogReplaceSource "
          "nResolveHostName nUniqueFileName nUseOrgTimeStamp szBaseLogFilePath szBaseLogFileName "
          "szBaseLogFileExtension nFileDateTime nFileFacility nFilePriority szODBCDsn szODBCPwd "
          "szODBCUid szTableName nODBCEnCryption szODBCReceivedAt szODBCFacility szODBCPriority "
          "szODBCFromHost szODBCMessage bReplaceEventLogSource szSMTPServer szSMTPSender "
          "szSMTPRecipient szSMTPSubject nSMTPPort bWriteToLogFile bWriteToODBC bWriteToEventLog "
          "nTcpPort nTlsPort szTlsCertificateFile szTlsKeyFile szTlsCaFile nODBCBatchSize "
          "nODBCIdleTimeout nODBCSpoolLimit")
          .split(u' ');
  EXPECT_EQ(names, designed);
}

// ---------------------------------------------------------------- password

const QRegularExpression kScrambledGroup("^[0-9A-F]{2}[1-9A-F]$");

TEST(PasswordScrambling, EachByteBecomesTwoDigitsOf255MinusItsCodeAndARandomDigit) {
  const QString ab = ScramblePassword("ab");
  ASSERT_EQ(ab.size(), 6);
  EXPECT_EQ(ab.mid(0, 2), "9E");
  EXPECT_EQ(ab.mid(3, 2), "9D");
  EXPECT_TRUE(kScrambledGroup.match(ab.mid(0, 3)).hasMatch()) << ab.toStdString();
  EXPECT_TRUE(kScrambledGroup.match(ab.mid(3, 3)).hasMatch()) << ab.toStdString();

  // Byte 250 alone is no UTF-8; the lossless code page carries it as U+DCFA.
  const QString code250 = ScramblePassword(fromAnsi("\xFA"));
  ASSERT_EQ(code250.size(), 3);
  EXPECT_EQ(code250.left(2), "05");
  EXPECT_EQ(ScramblePassword(fromAnsi("\xFF")).left(2), "00");  // leading zero kept
  EXPECT_EQ(ScramblePassword(""), "");

  // ü is two bytes in the ANSI code page (UTF-8): C3 BC.
  const QString umlaut = ScramblePassword(QString::fromUtf8("ü"));
  ASSERT_EQ(umlaut.size(), 6);
  EXPECT_EQ(umlaut.mid(0, 2), "3C");
  EXPECT_EQ(umlaut.mid(3, 2), "43");
}

TEST(PasswordScrambling, SeparatorDigitsAreRandomAndNeverZero) {
  QSet<QChar> separators;
  for (int i = 0; i < 200; ++i) {
    const QString s = ScramblePassword("secret");
    for (qsizetype g = 2; g < s.size(); g += 3) separators.insert(s[g]);
  }
  EXPECT_FALSE(separators.contains(u'0'));
  EXPECT_GT(separators.size(), 10);  // 1200 draws from 15 digits
}

TEST(PasswordScrambling, UnscrambleReadsTheDesignedFormAndOddInput) {
  EXPECT_EQ(UnscramblePassword("9E?9D?"), "ab");
  EXPECT_EQ(UnscramblePassword("9E79D"), "ab");  // last separator missing
  EXPECT_EQ(UnscramblePassword(""), "");
  EXPECT_EQ(toAnsi(UnscramblePassword("9E?9")), std::string("a\xF6"));  // cut group: one digit, 255 - 9
  EXPECT_EQ(toAnsi(UnscramblePassword("Z9?")), std::string("\xF6"));    // not a digit: worth 0
  EXPECT_EQ(UnscramblePassword("9E?FF?9D?"), "a");                      // a decoded zero ends it
}

TEST(PasswordScrambling, EveryPasswordComesBackByteForByte) {
  for (const QString& password :
       {QString("ab"), QString("P@ss w0rd!~"), QString::fromUtf8("pässwörd"), QString::fromUtf8("日本語🔑"),
        fromAnsi("\x80\xFE\x01"), QString(127, u'z')}) {
    const QString scrambled = ScramblePassword(password);
    EXPECT_EQ(scrambled.size(), static_cast<qsizetype>(toAnsi(password).size() * 3));
    EXPECT_EQ(UnscramblePassword(scrambled), password) << password.toStdString();
  }
}

}  // namespace
