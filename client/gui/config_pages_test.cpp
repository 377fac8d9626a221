#include "config_pages.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <functional>
#include <tuple>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "WinNTServices.h"
#include "numeric_fields.h"
#include "registry_samples.h"
#include "scripted_dialogs.h"
#include "window_testing.h"
#include "temp_root.h"
#include "twips.h"

namespace {

// The pages as the main window uses them: read the key, fill, edit, collect,
// write the key.
class ConfigPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Messages::SetLanguage(Messages::kEnglish);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, &m_key), ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(m_key);
    Messages::SetLanguage(Messages::kEnglish);
  }

  void setNumber(const char* name, std::int32_t value) { Registry::SetNumberValue(m_key, name, value); }
  void setText(const char* name, const QString& value) { Registry::SetStringValue(m_key, name, value); }
  bool stored(const char* name) {
    return RegQueryValueExA(m_key, name, nullptr, nullptr, nullptr, nullptr) == 0;
  }
  std::int32_t number(const char* name) { return Registry::QueryDWordValue(m_key, name, -12345); }
  QString text(const char* name) { return Registry::QueryStringValue(m_key, name, "<missing>"); }

  // ReadRegValues' part: the key into the controls.
  void read() {
    m_values = readParameterValues(m_key);
    m_pages.fill(m_values);
  }
  // SaveAllSettings' part: the controls into the key.
  bool save() { return m_pages.save(m_key, nullptr); }
  void setRaw(const char* name, DWORD type, const std::string& bytes) {
    ASSERT_EQ(RegSetValueExA(m_key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
  }

  platform::testing::TempPlatformRoot m_root;
  HKEY m_key = nullptr;
  ScriptedDialogs m_dialogs;
  ConfigurationPages m_pages;
  ParameterValues m_values;
};

TEST_F(ConfigPagesTest, EmptyKeyShowsTheClientDefaults) {
  read();
  const GeneralPage& g = *m_pages.general;
  EXPECT_EQ(g.txtSyslogPort->text(), "514");
  EXPECT_TRUE(g.obLocaltime->isChecked());
  EXPECT_FALSE(g.obGMT->isChecked());
  EXPECT_EQ(g.txtSyslogSendServer->text(), "");
  for (QCheckBox* box :
       {g.chReloadRuleBase, g.chkSyslogReplaceSource, g.chkResolveHostName, g.chkUseOrgTimeStamp})
    EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();
  EXPECT_EQ(g.txtTcpPort->text(), "0");
  EXPECT_EQ(g.txtTlsPort->text(), "0");
  for (QLineEdit* file : {g.txtTlsCertificateFile, g.txtTlsKeyFile, g.txtTlsCaFile})
    EXPECT_EQ(file->text(), "") << file->objectName().toStdString();
  const FilePage& f = *m_pages.file;
  EXPECT_EQ(f.txBaseLogFilePath->text(), "/var/log/corvantel");
  EXPECT_EQ(f.txBaseLogFileName->text(), "Corvantel");
  EXPECT_EQ(f.txBaseLogFileExtension->text(), "log");
  for (QCheckBox* box : {f.chkUnique, f.chkFileDateTime, f.chkFileFacility, f.chkFilePriority})
    EXPECT_TRUE(box->isChecked()) << box->objectName().toStdString();
  const OdbcPage& o = *m_pages.odbc;
  EXPECT_EQ(o.txLogODBCTABLE->text(), "Syslog");
  EXPECT_EQ(o.txtReceivedAt->text(), "ReceivedAt");
  EXPECT_EQ(o.txtMessage->text(), "Message");
  EXPECT_FALSE(o.chODBCEnCryption->isChecked());
  EXPECT_EQ(o.txtODBCBatchSize->text(), "1000");
  EXPECT_EQ(o.txtODBCIdleTimeout->text(), "60");
  EXPECT_EQ(o.txtODBCSpoolLimit->text(), "1024");
  EXPECT_EQ(m_pages.smtp->txtMailServer->text(), "127.0.0.1");
  EXPECT_EQ(m_pages.smtp->txtMailSubject->text(), "Corvantel Email");
  EXPECT_EQ(m_pages.smtp->txtSMTPPort->text(), "25");
  EXPECT_FALSE(m_pages.eventLog->cbReplaceEventLogSource->isChecked());
}

TEST_F(ConfigPagesTest, EveryControlShowsItsStoredValueAndSavesItsEdit) {
  struct TextCase {
    const char* value;
    QLineEdit* field;
  };
  const OdbcPage& o = *m_pages.odbc;
  const SmtpPage& s = *m_pages.smtp;
  const TextCase texts[] = {
      {"szSyslogSendServer", m_pages.general->txtSyslogSendServer},
      {"szTlsCertificateFile", m_pages.general->txtTlsCertificateFile},
      {"szTlsKeyFile", m_pages.general->txtTlsKeyFile},
      {"szTlsCaFile", m_pages.general->txtTlsCaFile},
      {"szBaseLogFilePath", m_pages.file->txBaseLogFilePath},
      {"szBaseLogFileName", m_pages.file->txBaseLogFileName},
      {"szBaseLogFileExtension", m_pages.file->txBaseLogFileExtension},
      {"szODBCDsn", o.txLogODBCDSN},
      {"szODBCUid", o.txLogODBCUID},
      {"szODBCPwd", o.txLogODBCPWD},
      {"szTableName", o.txLogODBCTABLE},
      {"szODBCReceivedAt", o.txtReceivedAt},
      {"szODBCFacility", o.txtFacility},
      {"szODBCPriority", o.txtPriority},
      {"szODBCFromHost", o.txtFromHost},
      {"szODBCMessage", o.txtMessage},
      {"szSMTPServer", s.txtMailServer},
      {"szSMTPSender", s.txtMailSender},
      {"szSMTPRecipient", s.txtMailRecipient},
      {"szSMTPSubject", s.txtMailSubject},
  };
  for (const TextCase& c : texts) setText(c.value, QString::fromUtf8("stored %1 ü").arg(c.value));
  setNumber("nSyslogPort", 1514);
  setNumber("nSMTPPort", 2525);
  setNumber("nTcpPort", 1601);
  setNumber("nTlsPort", 6514);
  setNumber("nODBCBatchSize", 500);
  setNumber("nODBCIdleTimeout", 0);
  setNumber("nODBCSpoolLimit", 8192);
  read();
  for (const TextCase& c : texts) {
    EXPECT_EQ(c.field->text(), QString::fromUtf8("stored %1 ü").arg(c.value)) << c.value;
    c.field->setText(QStringLiteral("edited %1").arg(c.value));
  }
  EXPECT_EQ(m_pages.general->txtSyslogPort->text(), "1514");
  EXPECT_EQ(s.txtSMTPPort->text(), "2525");
  EXPECT_EQ(m_pages.general->txtTcpPort->text(), "1601");
  EXPECT_EQ(m_pages.general->txtTlsPort->text(), "6514");
  EXPECT_EQ(o.txtODBCBatchSize->text(), "500");
  EXPECT_EQ(o.txtODBCIdleTimeout->text(), "0");
  EXPECT_EQ(o.txtODBCSpoolLimit->text(), "8192");
  m_pages.general->txtSyslogPort->setText("10514");
  s.txtSMTPPort->setText("587");
  m_pages.general->txtTcpPort->setText("10601");
  m_pages.general->txtTlsPort->setText("0");
  o.txtODBCBatchSize->setText("1");
  o.txtODBCIdleTimeout->setText("300");
  o.txtODBCSpoolLimit->setText("0");
  save();
  for (const TextCase& c : texts)
    EXPECT_EQ(text(c.value), QStringLiteral("edited %1").arg(c.value)) << c.value;
  EXPECT_EQ(number("nSyslogPort"), 10514);
  EXPECT_EQ(number("nSMTPPort"), 587);
  EXPECT_EQ(number("nTcpPort"), 10601);
  EXPECT_EQ(number("nTlsPort"), 0);
  EXPECT_EQ(number("nODBCBatchSize"), 1);
  EXPECT_EQ(number("nODBCIdleTimeout"), 300);
  EXPECT_EQ(number("nODBCSpoolLimit"), 0);
  EXPECT_TRUE(m_dialogs.messages.empty());
}

struct FlagCase {
  const char* value;
  QCheckBox* (*box)(ConfigurationPages&);
};

const FlagCase kFlags[] = {
    {"bReloadRuleBase", [](ConfigurationPages& p) { return p.general->chReloadRuleBase; }},
    {"nSyslogReplaceSource", [](ConfigurationPages& p) { return p.general->chkSyslogReplaceSource; }},
    {"nResolveHostName", [](ConfigurationPages& p) { return p.general->chkResolveHostName; }},
    {"nUseOrgTimeStamp", [](ConfigurationPages& p) { return p.general->chkUseOrgTimeStamp; }},
    {"nUniqueFileName", [](ConfigurationPages& p) { return p.file->chkUnique; }},
    {"nFileDateTime", [](ConfigurationPages& p) { return p.file->chkFileDateTime; }},
    {"nFileFacility", [](ConfigurationPages& p) { return p.file->chkFileFacility; }},
    {"nFilePriority", [](ConfigurationPages& p) { return p.file->chkFilePriority; }},
    {"nODBCEnCryption", [](ConfigurationPages& p) { return p.odbc->chODBCEnCryption; }},
    {"bReplaceEventLogSource", [](ConfigurationPages& p) { return p.eventLog->cbReplaceEventLogSource; }},
};

TEST_F(ConfigPagesTest, FlagsAreCheckedOnlyForOneAndSavedAsOneOrZeroOnceClicked) {
  for (const std::int32_t storedValue : {1, 0, 2, -1}) {
    for (const FlagCase& f : kFlags) setNumber(f.value, storedValue);
    read();
    for (const FlagCase& f : kFlags) EXPECT_EQ(f.box(m_pages)->isChecked(), storedValue == 1) << f.value;
    save();  // left alone: kept as stored
    for (const FlagCase& f : kFlags) EXPECT_EQ(number(f.value), storedValue) << f.value;
    // Clicking turns each one over.
    for (const FlagCase& f : kFlags) f.box(m_pages)->click();
    save();
    for (const FlagCase& f : kFlags) EXPECT_EQ(number(f.value), storedValue == 1 ? 0 : 1) << f.value;
  }
}

TEST_F(ConfigPagesTest, SwitchesWithoutControlsAreWrittenBackAsRead) {
  setNumber("bWriteToLogFile", 2);
  setNumber("bWriteToODBC", 1);
  read();
  save();
  EXPECT_EQ(number("bWriteToLogFile"), 2);
  EXPECT_EQ(number("bWriteToODBC"), 1);
  EXPECT_EQ(number("bWriteToEventLog"), 0);
}

TEST_F(ConfigPagesTest, StoredZeroThatMeansTheDefaultShowsItAndStaysZeroUntilEdited) {
  const std::tuple<const char*, QLineEdit*, const char*> cases[] = {
      {"nSyslogPort", m_pages.general->txtSyslogPort, "514"},
      {"nODBCBatchSize", m_pages.odbc->txtODBCBatchSize, "1000"},
      {"nODBCSpoolLimit", m_pages.odbc->txtODBCSpoolLimit, "1024"}};
  for (const auto& [value, field, shown] : cases) setNumber(value, 0);
  read();
  for (const auto& [value, field, shown] : cases) EXPECT_EQ(field->text(), shown) << value;
  save();
  for (const auto& [value, field, shown] : cases) {
    EXPECT_EQ(number(value), 0) << value;
    field->setText("5140");
  }
  save();
  for (const auto& [value, field, shown] : cases) EXPECT_EQ(number(value), 5140) << value;
}

TEST_F(ConfigPagesTest, TimeModeIsKeptAsStoredUntilAnOptionIsClicked) {
  GeneralPage& g = *m_pages.general;
  setNumber("nTimeMode", 2);
  read();
  EXPECT_TRUE(g.obGMT->isChecked());
  EXPECT_FALSE(g.obLocaltime->isChecked());
  save();
  EXPECT_EQ(number("nTimeMode"), 2);

  g.obGMT->click();  // already selected: stays selected, now means 1
  EXPECT_TRUE(g.obGMT->isChecked());
  save();
  EXPECT_EQ(number("nTimeMode"), 1);

  g.obLocaltime->click();
  EXPECT_FALSE(g.obGMT->isChecked());
  save();
  EXPECT_EQ(number("nTimeMode"), 0);

  setNumber("nTimeMode", -7);  // reloading forgets the click
  read();
  EXPECT_TRUE(g.obGMT->isChecked());
  save();
  EXPECT_EQ(number("nTimeMode"), -7);
}

TEST_F(ConfigPagesTest, PasswordIsShownClearAndStoredScrambledOnlyWithEncryption) {
  OdbcPage& o = *m_pages.odbc;
  setText("szODBCPwd", "9E49D7");
  setNumber("nODBCEnCryption", 1);
  read();
  EXPECT_EQ(o.txLogODBCPWD->text(), "ab");
  EXPECT_EQ(o.txLogODBCPWD->echoMode(), QLineEdit::Password);
  save();
  const QRegularExpression ab("^9E[1-9A-F]9D[1-9A-F]$");
  EXPECT_TRUE(ab.match(text("szODBCPwd")).hasMatch()) << text("szODBCPwd").toStdString();

  o.chODBCEnCryption->click();  // off: the clear text is stored
  EXPECT_EQ(o.txLogODBCPWD->text(), "ab");
  save();
  EXPECT_EQ(text("szODBCPwd"), "ab");
  EXPECT_EQ(number("nODBCEnCryption"), 0);

  read();
  EXPECT_EQ(o.txLogODBCPWD->text(), "ab");
  o.txLogODBCPWD->setText(QString::fromUtf8("neu-ß"));
  o.chODBCEnCryption->click();  // on again: a new password, scrambled
  save();
  EXPECT_EQ(number("nODBCEnCryption"), 1);
  EXPECT_EQ(text("szODBCPwd").size(), 3 * 6);  // ß is two bytes
  read();
  EXPECT_EQ(o.txLogODBCPWD->text(), QString::fromUtf8("neu-ß"));

  setNumber("nODBCEnCryption", 2);  // not 1: shown as stored, kept while left alone
  setText("szODBCPwd", "9E49D7");
  read();
  EXPECT_EQ(o.txLogODBCPWD->text(), "9E49D7");
  save();
  EXPECT_EQ(text("szODBCPwd"), "9E49D7");
  EXPECT_EQ(number("nODBCEnCryption"), 2);
  o.txLogODBCPWD->setText("new");  // saved in clear, as the daemon reads it with that flag
  save();
  EXPECT_EQ(text("szODBCPwd"), "new");
  EXPECT_EQ(number("nODBCEnCryption"), 2);

  // Unchanged, a scrambled password keeps its stored digits.
  setNumber("nODBCEnCryption", 1);
  setText("szODBCPwd", "9E19D1");
  read();
  save();
  EXPECT_EQ(text("szODBCPwd"), "9E19D1");
}

TEST_F(ConfigPagesTest, StoredValuesOfAnotherTypeShowTheDefaultsAndAreLeftAsStored) {
  setText("nSyslogPort", "1514");  // a number stored as text
  setText("nODBCEnCryption", "1");
  setNumber("szSMTPServer", 0x0041);  // a text stored as number
  setNumber("szODBCDsn", 7);
  setRaw("szTableName", REG_BINARY, "Events");
  setNumber("nSMTPPort", 70000);  // out of the port range, but nobody typed it
  setNumber("nODBCBatchSize", 500000);
  const auto before = storedValues(m_key);
  read();
  EXPECT_TRUE(m_dialogs.messages.empty());
  EXPECT_EQ(m_pages.odbc->txtODBCBatchSize->text(), "500000");
  EXPECT_EQ(m_pages.general->txtSyslogPort->text(), "514");
  EXPECT_EQ(m_pages.smtp->txtSMTPPort->text(), "70000");
  EXPECT_FALSE(m_pages.odbc->chODBCEnCryption->isChecked());
  EXPECT_EQ(m_pages.smtp->txtMailServer->text(), "127.0.0.1");
  EXPECT_EQ(m_pages.odbc->txLogODBCDSN->text(), "");
  EXPECT_EQ(m_pages.odbc->txLogODBCTABLE->text(), "Syslog");
  m_pages.general->txtSyslogSendServer->setText("relay");
  ASSERT_TRUE(save());
  EXPECT_TRUE(m_dialogs.messages.empty());
  auto after = storedValues(m_key);
  for (const auto& [name, value] : before) EXPECT_EQ(after[name], value) << name;
  EXPECT_EQ(after["szSyslogSendServer"], "SZ relay");
  EXPECT_EQ(after["nFileDateTime"], "DWORD 1");  // missing values still get what was shown

  // Edited, they are saved in the daemon's form; the port limit applies to what is typed.
  QTest::keyClick(m_pages.smtp->txtSMTPPort, Qt::Key_Backspace);
  EXPECT_EQ(m_pages.smtp->txtSMTPPort->text(), "7000");
  QTest::keyClicks(m_pages.smtp->txtSMTPPort, "9");
  EXPECT_EQ(m_pages.smtp->txtSMTPPort->text(), "65535");
  EXPECT_EQ(m_dialogs.messages.size(), 1u);
  m_pages.general->txtSyslogPort->setText("1514");
  m_pages.smtp->txtMailServer->setText("mail");
  ASSERT_TRUE(save());
  after = storedValues(m_key);
  EXPECT_EQ(after["nSyslogPort"], "DWORD 1514");
  EXPECT_EQ(after["nSMTPPort"], "DWORD 65535");
  EXPECT_EQ(after["szSMTPServer"], "SZ mail");
}

TEST_F(ConfigPagesTest, TextFieldsTakeNoMoreThanTheDaemonKeeps) {
  const std::pair<QLineEdit*, int> limits[] = {
      {m_pages.general->txtSyslogSendServer, 255}, {m_pages.file->txBaseLogFilePath, 255},
      {m_pages.file->txBaseLogFileName, 127},      {m_pages.file->txBaseLogFileExtension, 31},
      {m_pages.odbc->txLogODBCDSN, 127},           {m_pages.odbc->txLogODBCUID, 127},
      {m_pages.odbc->txLogODBCPWD, 127},           {m_pages.odbc->txLogODBCTABLE, 127},
      {m_pages.odbc->txtReceivedAt, 127},          {m_pages.odbc->txtFacility, 127},
      {m_pages.odbc->txtPriority, 127},            {m_pages.odbc->txtFromHost, 127},
      {m_pages.odbc->txtMessage, 127},             {m_pages.smtp->txtMailServer, 255},
      {m_pages.smtp->txtMailSender, 255},          {m_pages.smtp->txtMailRecipient, 255},
      {m_pages.smtp->txtMailSubject, 255},         {m_pages.general->txtTlsCertificateFile, 255},
      {m_pages.general->txtTlsKeyFile, 255},       {m_pages.general->txtTlsCaFile, 255},
  };
  for (const auto& [field, limit] : limits) {
    field->clear();
    QTest::keyClicks(field, QString(limit + 5, u'x'));
    EXPECT_EQ(field->text().size(), limit) << field->objectName().toStdString();
  }
  // Bytes count, not characters: 日 is three.
  QLineEdit* extension = m_pages.file->txBaseLogFileExtension;
  extension->clear();
  extension->insert(QString(10, QChar(0x65E5)));
  extension->insert(QString(1, QChar(0x65E5)));
  extension->insert(QStringLiteral("x"));
  EXPECT_EQ(extension->text(), QString(10, QChar(0x65E5)) + "x");
  // Scrambled, the password takes three characters a byte.
  m_pages.odbc->chODBCEnCryption->setChecked(true);
  m_pages.odbc->txLogODBCPWD->clear();
  QTest::keyClicks(m_pages.odbc->txLogODBCPWD, QString(50, u'p'));
  EXPECT_EQ(m_pages.odbc->txLogODBCPWD->text().size(), 42);
}

TEST_F(ConfigPagesTest, AnEditedTextLongerThanTheDaemonKeepsIsNotSaved) {
  const QString longSubject(300, u's');  // written by another tool
  setText("szSMTPSubject", longSubject);
  read();
  EXPECT_EQ(m_pages.smtp->txtMailSubject->text(), longSubject);
  ASSERT_TRUE(save());  // left alone: kept
  EXPECT_EQ(readParameterValues(m_key).szSMTPSubject, longSubject);

  QTest::keyClick(m_pages.smtp->txtMailSubject, Qt::Key_Backspace);  // still too long
  m_pages.general->txtSyslogSendServer->setText("relay");
  EXPECT_FALSE(save());
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, Messages::GetMessageText(2009) + "szSMTPSubject");
  EXPECT_FALSE(stored("szSyslogSendServer"));

  // A password that fits in clear but not scrambled.
  read();
  m_pages.odbc->txLogODBCPWD->setText(QString(60, u'p'));
  m_pages.odbc->chODBCEnCryption->setChecked(true);
  EXPECT_FALSE(save());
  EXPECT_EQ(m_dialogs.messages.back().text, Messages::GetMessageText(2009) + "szODBCPwd");
  EXPECT_FALSE(stored("szODBCPwd"));
}

TEST_F(ConfigPagesTest, AFailedWriteIsReportedWithTheValueAndTheSystemsText) {
  read();
  m_pages.general->txtSyslogSendServer->setText("relay");
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath), ERROR_SUCCESS);
  EXPECT_FALSE(save());
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, Messages::GetMessageText(2008) + "nSyslogPort\r\n" +
                                            WinNTServices::GetSystemErrorText(ERROR_KEY_DELETED));
  EXPECT_TRUE(m_dialogs.messages[0].text.contains("marked for deletion"));
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_EQ(m_pages.general->txtSyslogSendServer->text(), "relay");
}

TEST_F(ConfigPagesTest, BlankSyslogPortIsReportedAndSavedAs514) {
  read();
  m_pages.general->txtSyslogPort->clear();
  save();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, Messages::GetMessageText(212));
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_EQ(m_pages.general->txtSyslogPort->text(), "514");
  EXPECT_EQ(number("nSyslogPort"), 514);
}

TEST_F(ConfigPagesTest, BlankNumberFieldsSilentlySaveTheirDefaults) {
  struct BlankCase {
    QLineEdit* field;
    const char* value;
    const char* saved;  // what the field then shows, and the key holds
  };
  const BlankCase cases[] = {{m_pages.smtp->txtSMTPPort, "nSMTPPort", "25"},
                             {m_pages.general->txtTcpPort, "nTcpPort", "0"},  // off
                             {m_pages.general->txtTlsPort, "nTlsPort", "0"},
                             {m_pages.odbc->txtODBCBatchSize, "nODBCBatchSize", "1000"},
                             {m_pages.odbc->txtODBCIdleTimeout, "nODBCIdleTimeout", "60"},
                             {m_pages.odbc->txtODBCSpoolLimit, "nODBCSpoolLimit", "1024"}};
  for (const BlankCase& c : cases) setNumber(c.value, 2525);
  read();
  for (const BlankCase& c : cases) c.field->clear();
  save();
  EXPECT_TRUE(m_dialogs.messages.empty());
  for (const BlankCase& c : cases) {
    EXPECT_EQ(c.field->text(), c.saved) << c.value;
    EXPECT_EQ(QString::number(number(c.value)), c.saved) << c.value;
  }
}

TEST_F(ConfigPagesTest, NumberFieldsTakeOnlyDigitsUpToTheirLimit) {
  struct LimitCase {
    QLineEdit* field;
    const char* value;
    qint64 maximum;
    int message;
  };
  const OdbcPage& o = *m_pages.odbc;
  const LimitCase cases[] = {{m_pages.general->txtSyslogPort, "nSyslogPort", 65535, 213},
                             {m_pages.smtp->txtSMTPPort, "nSMTPPort", 65535, 214},
                             {m_pages.general->txtTcpPort, "nTcpPort", 65535, 2512},
                             {m_pages.general->txtTlsPort, "nTlsPort", 65535, 2513},
                             {o.txtODBCBatchSize, "nODBCBatchSize", 100000, 2608},
                             {o.txtODBCIdleTimeout, "nODBCIdleTimeout", 4294967295, 2609},
                             {o.txtODBCSpoolLimit, "nODBCSpoolLimit", 4294967295, 2610}};
  // What else was edited stays: only the field is set back.
  m_pages.general->txtTlsCertificateFile->setText("/etc/corvantel/tls/chain.pem");
  m_pages.odbc->txLogODBCDSN->setText("Corvantel");
  for (const LimitCase& c : cases) {
    m_dialogs.messages.clear();
    c.field->clear();
    QTest::keyClicks(c.field, "5a1-b4 ");
    EXPECT_EQ(c.field->text(), "514");
    EXPECT_TRUE(m_dialogs.messages.empty());

    const QString maximum = QString::number(c.maximum);
    c.field->clear();
    QTest::keyClicks(c.field, maximum);
    EXPECT_TRUE(m_dialogs.messages.empty()) << c.value;
    c.field->clear();
    QTest::keyClicks(c.field, QString::number(c.maximum + 1));
    EXPECT_EQ(c.field->text(), maximum) << c.value;
    ASSERT_EQ(m_dialogs.messages.size(), 1u) << c.value;
    EXPECT_EQ(m_dialogs.messages[0].text, Messages::GetMessageText(c.message));
    EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  }
  // Pasted, a number far beyond what a DWORD holds is set back too.
  m_dialogs.messages.clear();
  o.txtODBCSpoolLimit->clear();
  o.txtODBCSpoolLimit->insert(QStringLiteral("123456789012345678901234567890"));
  EXPECT_EQ(o.txtODBCSpoolLimit->text(), "4294967295");
  EXPECT_EQ(m_dialogs.messages.size(), 1u);
  save();
  for (const LimitCase& c : cases)
    EXPECT_EQ(static_cast<std::uint32_t>(number(c.value)), c.maximum) << c.value;
  EXPECT_EQ(text("szTlsCertificateFile"), "/etc/corvantel/tls/chain.pem");
  EXPECT_EQ(text("szODBCDsn"), "Corvantel");
}

TEST_F(ConfigPagesTest, EventLogBoxIsEnabledOnceValuesAreShown) {
  EXPECT_FALSE(m_pages.eventLog->cbReplaceEventLogSource->isEnabled());
  read();
  EXPECT_TRUE(m_pages.eventLog->cbReplaceEventLogSource->isEnabled());
}

TEST_F(ConfigPagesTest, ControlsCarryTheirDesignedNames) {
  QStringList names;
  for (ConfigPage* page : m_pages.pages())
    for (QWidget* w : page->findChildren<QWidget*>()) names << w->objectName();
  for (const char* name : {"frmGeneral",
                           "txtSyslogPort",
                           "obLocaltime",
                           "obGMT",
                           "txtSyslogSendServer",
                           "chReloadRuleBase",
                           "chkSyslogReplaceSource",
                           "chkResolveHostName",
                           "chkUseOrgTimeStamp",
                           "fraTcpTls",
                           "txtTcpPort",
                           "txtTlsPort",
                           "txtTlsCertificateFile",
                           "txtTlsKeyFile",
                           "txtTlsCaFile",
                           "frmFile",
                           "txBaseLogFilePath",
                           "txBaseLogFileName",
                           "txBaseLogFileExtension",
                           "chkUnique",
                           "chkFileDateTime",
                           "chkFileFacility",
                           "chkFilePriority",
                           "frmODBC",
                           "fraFieldNames",
                           "txLogODBCDSN",
                           "txLogODBCUID",
                           "txLogODBCPWD",
                           "txLogODBCTABLE",
                           "chODBCEnCryption",
                           "txtReceivedAt",
                           "txtFacility",
                           "txtPriority",
                           "txtFromHost",
                           "txtMessage",
                           "fraODBCWriting",
                           "txtODBCBatchSize",
                           "txtODBCIdleTimeout",
                           "txtODBCSpoolLimit",
                           "cbReplaceEventLogSource",
                           "frmsetSMTP",
                           "txtMailServer",
                           "txtMailSender",
                           "txtMailRecipient",
                           "txtMailSubject",
                           "txtSMTPPort"})
    EXPECT_EQ(names.count(QLatin1String(name)), 1) << name;
  EXPECT_EQ(m_pages.general->findChild<QRadioButton*>("obGMT"), m_pages.general->obGMT);
  EXPECT_EQ(m_pages.odbc->findChild<QLineEdit*>("txLogODBCPWD"), m_pages.odbc->txLogODBCPWD);
}

TEST_F(ConfigPagesTest, LanguageStepSetsEveryCatalogueTextAndTheFont) {
  Messages::SetLanguage(Messages::kGerman);
  m_pages.Initiate_Language_settings();
  const Messages::Catalogue& de = Messages::catalogueFor(Messages::kGerman);
  EXPECT_EQ(m_pages.general->frmGeneral->title(), de.at(5));
  EXPECT_EQ(m_pages.general->lblSyslogPort->text(), de.at(9));
  EXPECT_EQ(m_pages.general->txtSyslogPort->toolTip(), de.at(110));
  EXPECT_EQ(m_pages.general->chkResolveHostName->text(), de.at(1024));
  EXPECT_EQ(m_pages.general->chkUseOrgTimeStamp->toolTip(),
            de.at(1027) + "\n\n" + de.at(1028) + "\n" + de.at(1029));
  EXPECT_EQ(m_pages.general->fraTcpTls->title(), de.at(2500));
  EXPECT_EQ(m_pages.general->lblTlsPort->text(), de.at(2504));
  EXPECT_EQ(m_pages.general->txtTlsCaFile->toolTip(), de.at(2511));
  EXPECT_EQ(m_pages.file->frmFile->title(), de.at(6));
  EXPECT_EQ(m_pages.file->lblBaseLogFileExtension->text(), de.at(14));
  EXPECT_EQ(m_pages.file->chkUnique->toolTip(), de.at(1009));
  EXPECT_EQ(m_pages.odbc->frmODBC->title(), de.at(8));
  EXPECT_EQ(m_pages.odbc->chODBCEnCryption->text(), de.at(18));
  EXPECT_EQ(m_pages.odbc->fraFieldNames->title(), de.at(1012));
  EXPECT_EQ(m_pages.odbc->lblReceivedAt->text(), de.at(1013));
  EXPECT_EQ(m_pages.odbc->txtMessage->toolTip(), de.at(1020));
  EXPECT_EQ(m_pages.odbc->fraODBCWriting->title(), de.at(2600));
  EXPECT_EQ(m_pages.odbc->lblODBCIdleTimeout->text(), de.at(2604));
  EXPECT_EQ(m_pages.odbc->txtODBCSpoolLimit->toolTip(), de.at(2607));
  EXPECT_EQ(m_pages.eventLog->cbReplaceEventLogSource->text(), de.at(19));
  EXPECT_EQ(m_pages.smtp->frmsetSMTP->title(), de.at(500));
  EXPECT_EQ(m_pages.smtp->lblSMTPPort->text(), de.at(510));
  EXPECT_EQ(m_pages.smtp->txtSMTPPort->toolTip(), de.at(511));

  // No catalogue look-up failed on any page.
  for (ConfigPage* page : m_pages.pages()) {
    for (QWidget* w : page->findChildren<QWidget*>()) {
      for (const QString& shown :
           {w->toolTip(), w->property("text").toString(), w->property("title").toString()})
        EXPECT_FALSE(shown.contains("MESSAGE_MISSING")) << w->objectName().toStdString();
    }
  }

  Messages::SetLanguage(Messages::kJapanese);
  m_pages.Initiate_Language_settings();
  for (ConfigPage* page : m_pages.pages()) {
    for (QWidget* w : page->findChildren<QWidget*>()) {
      EXPECT_EQ(w->font().family(), QString::fromUtf16(Messages::kJapaneseFace))
          << w->objectName().toStdString();
      EXPECT_EQ(w->font().pointSize(), 8);
    }
  }
}

TEST_F(ConfigPagesTest, CaptionsOfTheirOwnFollowTheLanguageAndKeepTheirEnglish) {
  const GeneralPage& g = *m_pages.general;
  const FilePage& f = *m_pages.file;
  const std::pair<std::function<QString()>, const char*> captions[] = {
      {[&] { return g.fraTimeMode->title(); }, "Time based on"},
      {[&] { return g.obLocaltime->text(); }, "Localtime"},
      {[&] { return g.obGMT->text(); }, "Universal Coordinated Time (UTC/GMT)"},
      {[&] { return g.chkSyslogReplaceSource->text(); },
       "Add Syslog Source when forarding to other Syslog servers"},
      {[&] { return f.chkFileDateTime->text(); }, "Include Date and Time"},
      {[&] { return f.chkFileFacility->text(); }, "Include Syslog Facility"},
      {[&] { return f.chkFilePriority->text(); }, "Include Syslog Priority"},
      {[&] { return m_pages.odbc->lblODBCDSN->text(); }, "DSN"},
  };
  for (const auto& [shown, english] : captions) EXPECT_EQ(shown(), english);
  for (const char* code : {"DE", "JP", "ES"}) {
    Messages::SetLanguage(code);
    m_pages.Initiate_Language_settings();
    int number = 2000;
    for (const auto& [shown, english] : captions)
      EXPECT_EQ(shown(), Messages::catalogueFor(code).at(number++)) << code << " " << english;
  }
  EXPECT_NE(g.obLocaltime->text(), "Localtime");
}

TEST_F(ConfigPagesTest, PagesWithoutAParentAreDeletedWithTheirHolder) {
  QPointer<ConfigPage> loose, adopted;
  QTabWidget tabs;
  {
    ConfigurationPages pages;
    loose = pages.general;
    adopted = pages.smtp;
    tabs.addTab(pages.smtp, "SMTP");
  }
  EXPECT_TRUE(loose.isNull());
  EXPECT_FALSE(adopted.isNull());
}

TEST_F(ConfigPagesTest, RendersEveryPageInEveryLanguage) {
  setText("szSyslogSendServer", "relay.example.org:514");
  setText("szODBCDsn", "Corvantel");
  setText("szODBCUid", "syslog");
  setText("szODBCPwd", "secret");
  setText("szSMTPRecipient", "ops@example.org");
  setNumber("nResolveHostName", 1);
  const char* const pageNames[] = {"General", "File", "ODBC", "EventLog", "SMTP"};
  for (const char* code : {"EN", "DE", "JP", "ES"}) {
    Messages::SetLanguage(code);
    Messages::SetLanguageFont();
    QTabWidget tabs;
    tabs.setFont(Messages::LanguageFont());
    tabs.resize(twips(9435) - 2 * twips(120), twips(6555) - twips(1500));  // the main window's tab control
    tabs.setWindowTitle("Corvantel");
    tabs.addTab(new QWidget, Messages::GetMessageText(25));
    ConfigurationPages pages;
    for (std::size_t i = 0; i < 5; ++i)
      tabs.addTab(pages.pages()[i], Messages::GetMessageText(ConfigurationPages::kCaptionNumbers[i]));
    pages.Initiate_Language_settings();
    m_values = readParameterValues(m_key);
    pages.fill(m_values);
    tabs.show();
    for (int i = 0; i < 5; ++i) {
      tabs.setCurrentIndex(i + 1);
      QCoreApplication::processEvents();
      const QString path = renderToPng(
          &tabs, QStringLiteral("ConfigPage-%1-%2").arg(QLatin1String(pageNames[i]), QLatin1String(code)));
      EXPECT_FALSE(path.isEmpty()) << pageNames[i] << " " << code;
    }
  }
}

}  // namespace
