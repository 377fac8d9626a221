// The Parameters key from both of its sides: what the client's pages save,
// the daemon's configuration load reads, the scrambled password included.
#include <gtest/gtest.h>

#include "Global.h"
#include "ParameterValues.h"
#include "Registry.h"
#include "actions/database_output.h"
#include "ansi_text.h"
#include "service/DaemonConfiguration.h"
#include "registry_samples.h"
#include "temp_root.h"

namespace {

class ParameterFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, &m_key), ERROR_SUCCESS);
  }
  void TearDown() override { RegCloseKey(m_key); }

  DaemonConfiguration daemonReads(const ParameterValues& values) {
    writeParameterValues(m_key, values);
    DaemonConfiguration config;
    readConfiguration(config);
    return config;
  }

  platform::testing::TempPlatformRoot m_root;
  HKEY m_key = nullptr;
};

TEST_F(ParameterFormatTest, DaemonUnscramblesThePasswordTheClientScrambled) {
  for (const QString& password : {QString("ab"), QString::fromUtf8("pässwörd 日本"), QString("x"),
                                  fromAnsi("\xFA\x80"), QString(40, u'#')}) {
    ParameterValues values;
    values.nODBCEnCryption = 1;
    values.szODBCPwd = ScramblePassword(password);
    EXPECT_EQ(daemonReads(values).szODBCPwd, toAnsi(password)) << password.toStdString();
  }
}

TEST_F(ParameterFormatTest, DaemonTakesAClearPasswordAsStoredWithoutEncryption) {
  ParameterValues values;
  values.szODBCPwd = "9E?9D?";
  EXPECT_EQ(daemonReads(values).szODBCPwd, "9E?9D?");
}

TEST_F(ParameterFormatTest, DaemonReadsEverySettingTheClientSaved) {
  ParameterValues v = everyValueChanged();
  v.szBaseLogFilePath = QString::fromUtf8("/srv/\u30ED\u30B0");  // ログ: text in the ANSI code page
  const DaemonConfiguration d = daemonReads(v);
  EXPECT_EQ(d.nSyslogPort, 1514u);
  EXPECT_EQ(d.nTimeMode, 2u);
  EXPECT_EQ(d.szSyslogSendServer, "relay:10514");
  EXPECT_EQ(d.bReloadRuleBase + d.nSyslogReplaceSource + d.nResolveHostName + d.nUseOrgTimeStamp, 4u);
  EXPECT_EQ(d.nUniqueFileName + d.nFileDateTime + d.nFileFacility + d.nFilePriority, 0u);
  EXPECT_EQ(d.szBaseLogFilePath, toAnsi(v.szBaseLogFilePath));
  EXPECT_EQ(d.szBaseLogFileName, "gateway");
  EXPECT_EQ(d.szBaseLogFileExtension, "txt");
  EXPECT_EQ(d.szODBCDsn, "Corvantel");
  EXPECT_EQ(d.szODBCUid, "syslog");
  EXPECT_EQ(d.szTableName, "Events");
  EXPECT_EQ(d.szODBCReceivedAt, "received_at");
  EXPECT_EQ(d.szODBCFacility, "facility");
  EXPECT_EQ(d.szODBCPriority, "severity");
  EXPECT_EQ(d.szODBCFromHost, "from_host");
  EXPECT_EQ(d.szODBCMessage, "msg");
  EXPECT_EQ(d.bReplaceEventLogSource, 1u);
  EXPECT_EQ(d.szSMTPServer, "mail.example.org");
  EXPECT_EQ(d.szSMTPSender, "corvantel@example.org");
  EXPECT_EQ(d.szSMTPRecipient, "ops@example.org");
  EXPECT_EQ(d.szSMTPSubject, toAnsi(v.szSMTPSubject));
  EXPECT_EQ(d.szODBCPwd, "ab");  // unscrambled
  EXPECT_EQ(d.nSMTPPort, 587u);
  EXPECT_EQ(d.nTcpPort, 1514u);
  EXPECT_EQ(d.nTlsPort, 6514u);
  EXPECT_EQ(d.szTlsCertificateFile, "/etc/corvantel/tls/server-chain.pem");
  EXPECT_EQ(d.szTlsKeyFile, "/etc/corvantel/tls/server-key.pem");
  EXPECT_EQ(d.szTlsCaFile, "/etc/corvantel/tls/senders-ca.pem");
  EXPECT_EQ(d.nODBCBatchSize, 250u);
  EXPECT_EQ(d.nODBCIdleTimeout, 0u);
  EXPECT_EQ(d.nODBCSpoolLimit, 4096u);
}

TEST_F(ParameterFormatTest, DatabaseSettingsMeanToTheOutputsWhatTheOdbcPageShows) {
  // Missing, and 0 where the page shows the default in its place.
  const DatabaseOutputSettings missing = makeDatabaseOutputSettings(DaemonConfiguration{}, {});
  ParameterValues v;
  v.nODBCBatchSize = 0;
  v.nODBCSpoolLimit = 0;
  for (const ParameterValues& shown : {ParameterValues{}, v}) {
    const DatabaseOutputSettings s = makeDatabaseOutputSettings(daemonReads(shown), {});
    EXPECT_EQ(s.batchSize, missing.batchSize);
    EXPECT_EQ(s.batchSize, 1000u);
    EXPECT_EQ(s.idleTimeout, missing.idleTimeout);
    EXPECT_EQ(s.spoolLimit, missing.spoolLimit);
    EXPECT_EQ(s.spoolLimit, std::uint64_t{1024} << 20);
  }
  // The largest the fields let through.
  v.nODBCBatchSize = 100000;
  v.nODBCIdleTimeout = -1;  // 4294967295 as a DWORD
  v.nODBCSpoolLimit = -1;
  const DatabaseOutputSettings s = makeDatabaseOutputSettings(daemonReads(v), {});
  EXPECT_EQ(s.batchSize, 100000u);
  EXPECT_EQ(s.idleTimeout, std::chrono::seconds(4294967295));
  EXPECT_EQ(s.spoolLimit, std::uint64_t{4294967295} << 20);
}

TEST_F(ParameterFormatTest, ClearedTextsFallBackToTheDaemonsDefaults) {
  ParameterValues v;
  v.szBaseLogFileName.clear();
  v.szSMTPSubject.clear();
  v.szSMTPServer.clear();
  v.szODBCMessage.clear();
  const DaemonConfiguration d = daemonReads(v);
  EXPECT_EQ(d.szBaseLogFileName, "Corvantel");
  EXPECT_EQ(d.szSMTPSubject, "");  // the client would show "Corvantel Email" next time
  EXPECT_EQ(d.szSMTPServer, "127.0.0.1");
  EXPECT_EQ(d.szODBCMessage, "Message");
  EXPECT_EQ(d.szBaseLogFilePath, "/var/log/corvantel");  // the client's default is the daemon's
}

TEST_F(ParameterFormatTest, TheClientsTextLimitsAreWhatTheDaemonKeeps) {
  using Text = std::string DaemonConfiguration::*;
  const std::pair<const char*, Text> texts[] = {
      {"szSyslogSendServer", &DaemonConfiguration::szSyslogSendServer},
      {"szBaseLogFilePath", &DaemonConfiguration::szBaseLogFilePath},
      {"szBaseLogFileName", &DaemonConfiguration::szBaseLogFileName},
      {"szBaseLogFileExtension", &DaemonConfiguration::szBaseLogFileExtension},
      {"szODBCDsn", &DaemonConfiguration::szODBCDsn},
      {"szODBCUid", &DaemonConfiguration::szODBCUid},
      {"szODBCPwd", &DaemonConfiguration::szODBCPwd},
      {"szTableName", &DaemonConfiguration::szTableName},
      {"szODBCReceivedAt", &DaemonConfiguration::szODBCReceivedAt},
      {"szODBCFacility", &DaemonConfiguration::szODBCFacility},
      {"szODBCPriority", &DaemonConfiguration::szODBCPriority},
      {"szODBCFromHost", &DaemonConfiguration::szODBCFromHost},
      {"szODBCMessage", &DaemonConfiguration::szODBCMessage},
      {"szSMTPServer", &DaemonConfiguration::szSMTPServer},
      {"szSMTPSender", &DaemonConfiguration::szSMTPSender},
      {"szSMTPRecipient", &DaemonConfiguration::szSMTPRecipient},
      {"szSMTPSubject", &DaemonConfiguration::szSMTPSubject},
      {"szTlsCertificateFile", &DaemonConfiguration::szTlsCertificateFile},
      {"szTlsKeyFile", &DaemonConfiguration::szTlsKeyFile},
      {"szTlsCaFile", &DaemonConfiguration::szTlsCaFile},
  };
  int seen = 0;
  forEachParameterValue({}, [&](const QString&, const ParameterValue& value) {
    if (std::holds_alternative<QString>(value)) ++seen;
  });
  EXPECT_EQ(seen, static_cast<int>(std::size(texts)));
  // The longest text a field lets through comes back whole; one byte more is cut.
  for (const int extra : {0, 1}) {
    for (const auto& [name, member] : texts) {
      const auto room = static_cast<std::size_t>(parameterTextCapacity(name) - 1 + extra);
      const QString text(static_cast<qsizetype>(room), u'x');
      ASSERT_EQ(Registry::SetStringValue(m_key, name, text), ERROR_SUCCESS);
    }
    DaemonConfiguration config;
    readConfiguration(config);
    for (const auto& [name, member] : texts)
      EXPECT_EQ((config.*member).size(), static_cast<std::size_t>(parameterTextCapacity(name) - 1)) << name;
  }
}

}  // namespace
