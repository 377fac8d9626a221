#include "config_pages.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>
#include <utility>

#include "Messages/Messages.h"
#include "Registry.h"
#include "dialogs.h"
#include "numeric_fields.h"
#include "twips.h"

namespace {

// What a blank port field saves, and what a stored syslog port 0 (the
// standard port) shows.
constexpr char kDefaultSyslogPort[] = "514";
constexpr char kDefaultSmtpPort[] = "25";

template <class Widget, class... Args>
Widget* make(const char* name, Args&&... args) {
  auto* widget = new Widget(std::forward<Args>(args)...);
  widget->setObjectName(QLatin1String(name));
  return widget;
}

QLabel* makeLabel(const char* name) {
  auto* label = make<QLabel>(name);
  label->setTextFormat(Qt::PlainText);
  return label;
}

QLineEdit* makePortField(const char* name, int limitMessage) {
  auto* field = make<QLineEdit>(name);
  field->setMaximumWidth(twips(1200));
  installDigitsOnly(field);
  installPortLimit(field, limitMessage);
  return field;
}

QGridLayout* gridIn(QGroupBox* frame) {
  auto* grid = new QGridLayout(frame);
  grid->setColumnStretch(1, 1);
  return grid;
}

void addRow(QGridLayout* grid, QLabel* label, QWidget* field) {
  const int row = grid->rowCount();
  grid->addWidget(label, row, 0);
  grid->addWidget(field, row, 1);
  label->setBuddy(field);
}

void addWide(QGridLayout* grid, QWidget* widget) { grid->addWidget(widget, grid->rowCount(), 0, 1, 2); }

// The page's frames on top; what room is left stays below them.
QVBoxLayout* pageLayout(QWidget* page, std::initializer_list<QWidget*> frames) {
  auto* layout = new QVBoxLayout(page);
  for (QWidget* frame : frames) layout->addWidget(frame);
  layout->addStretch(1);
  return layout;
}

QString text(int number) { return Messages::GetMessageText(number); }

void showFlag(QCheckBox* box, std::int32_t value) { box->setChecked(value == 1); }
std::int32_t flagOf(const QCheckBox* box) { return box->isChecked() ? 1 : 0; }

// The number a digits-only field holds; a blank field has been replaced
// before this is asked.
std::int32_t numberOf(const QLineEdit* field) {
  std::int32_t value = 0;
  Registry::readsAsNumber(field->text(), &value);
  return value;
}

}  // namespace

void ConfigPage::applyLanguageFont() {
  Messages::SetLanguageFont();
  const QFont& font = Messages::LanguageFont();
  setFont(font);
  for (QWidget* child : findChildren<QWidget*>()) child->setFont(font);
}

// ---------------------------------------------------------------- General

GeneralPage::GeneralPage(QWidget* parent) : ConfigPage(parent) {
  setObjectName(QStringLiteral("GeneralPage"));
  frmGeneral = make<QGroupBox>("frmGeneral");
  lblSyslogPort = makeLabel("lblSyslogPort");
  txtSyslogPort = makePortField("txtSyslogPort", 213);
  fraTimeMode = make<QGroupBox>("fraTimeMode", QStringLiteral("Time based on"));
  obLocaltime = make<QRadioButton>("obLocaltime", QStringLiteral("Localtime"));
  obGMT = make<QRadioButton>("obGMT", QStringLiteral("Universal Coordinated Time (UTC/GMT)"));
  lblSyslogSendServer = makeLabel("lblSyslogSendServer");
  txtSyslogSendServer = make<QLineEdit>("txtSyslogSendServer");
  chReloadRuleBase = make<QCheckBox>("chReloadRuleBase");
  chkSyslogReplaceSource = make<QCheckBox>(
      "chkSyslogReplaceSource", QStringLiteral("Add Syslog Source when forarding to other Syslog servers"));
  chkResolveHostName = make<QCheckBox>("chkResolveHostName");
  chkUseOrgTimeStamp = make<QCheckBox>("chkUseOrgTimeStamp");
  obLocaltime->setChecked(true);

  // Side by side: the page has to fit the main window's smallest size.
  auto* timeLayout = new QHBoxLayout(fraTimeMode);
  timeLayout->addWidget(obLocaltime);
  timeLayout->addWidget(obGMT, 1);

  QGridLayout* grid = gridIn(frmGeneral);
  auto* portRow = new QHBoxLayout;  // a short field, not one as wide as the server's
  portRow->addWidget(txtSyslogPort);
  portRow->addStretch(1);
  grid->addWidget(lblSyslogPort, 0, 0);
  grid->addLayout(portRow, 0, 1);
  lblSyslogPort->setBuddy(txtSyslogPort);
  addRow(grid, lblSyslogSendServer, txtSyslogSendServer);
  addWide(grid, fraTimeMode);
  for (QWidget* box : {chReloadRuleBase, chkSyslogReplaceSource, chkResolveHostName, chkUseOrgTimeStamp})
    addWide(grid, box);
  pageLayout(this, {frmGeneral});

  connect(obLocaltime, &QRadioButton::clicked, this, &GeneralPage::obLocaltime_Click);
  connect(obGMT, &QRadioButton::clicked, this, &GeneralPage::obGMT_Click);
  Initiate_Language_settings();
}

void GeneralPage::Initiate_Language_settings() {
  applyLanguageFont();
  frmGeneral->setTitle(text(5));
  frmGeneral->setToolTip(text(116));
  lblSyslogPort->setText(text(9));
  txtSyslogPort->setToolTip(text(110));
  fraTimeMode->setToolTip(text(111));
  obLocaltime->setToolTip(text(112));
  obGMT->setToolTip(text(113));
  lblSyslogSendServer->setText(text(10));
  txtSyslogSendServer->setToolTip(text(115));
  chReloadRuleBase->setText(text(11));
  chReloadRuleBase->setToolTip(text(117));
  chkSyslogReplaceSource->setToolTip(text(114));
  chkResolveHostName->setText(text(1024));
  chkResolveHostName->setToolTip(text(1025));
  chkUseOrgTimeStamp->setText(text(1026));
  // The option's caveats go with its description: on the page they would
  // take more room than the smallest window has.
  chkUseOrgTimeStamp->setToolTip(text(1027) + QStringLiteral("\n\n") + text(1028) + QLatin1Char('\n') +
                                 text(1029));
}

void GeneralPage::fill(const ParameterValues& values) {
  txtSyslogPort->setText(values.nSyslogPort == 0 ? QString::fromLatin1(kDefaultSyslogPort)
                                                 : QString::number(values.nSyslogPort));
  m_nTimeMode = values.nTimeMode;
  (values.nTimeMode != 0 ? obGMT : obLocaltime)->setChecked(true);
  txtSyslogSendServer->setText(values.szSyslogSendServer);
  showFlag(chReloadRuleBase, values.bReloadRuleBase);
  showFlag(chkSyslogReplaceSource, values.nSyslogReplaceSource);
  showFlag(chkResolveHostName, values.nResolveHostName);
  showFlag(chkUseOrgTimeStamp, values.nUseOrgTimeStamp);
}

void GeneralPage::collect(ParameterValues& values) {
  if (txtSyslogPort->text().isEmpty()) {
    Dialogs::MsgBox(text(212), Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), window());
    txtSyslogPort->setText(QString::fromLatin1(kDefaultSyslogPort));
  }
  values.nSyslogPort = numberOf(txtSyslogPort);
  values.nTimeMode = m_nTimeMode;
  values.szSyslogSendServer = txtSyslogSendServer->text();
  values.bReloadRuleBase = flagOf(chReloadRuleBase);
  values.nSyslogReplaceSource = flagOf(chkSyslogReplaceSource);
  values.nResolveHostName = flagOf(chkResolveHostName);
  values.nUseOrgTimeStamp = flagOf(chkUseOrgTimeStamp);
}

void GeneralPage::obLocaltime_Click() { m_nTimeMode = 0; }

void GeneralPage::obGMT_Click() { m_nTimeMode = 1; }

// ---------------------------------------------------------------- File

FilePage::FilePage(QWidget* parent) : ConfigPage(parent) {
  setObjectName(QStringLiteral("FilePage"));
  frmFile = make<QGroupBox>("frmFile");
  lblBaseLogFilePath = makeLabel("lblBaseLogFilePath");
  txBaseLogFilePath = make<QLineEdit>("txBaseLogFilePath");
  lblBaseLogFileName = makeLabel("lblBaseLogFileName");
  txBaseLogFileName = make<QLineEdit>("txBaseLogFileName");
  lblBaseLogFileExtension = makeLabel("lblBaseLogFileExtension");
  txBaseLogFileExtension = make<QLineEdit>("txBaseLogFileExtension");
  txBaseLogFileExtension->setMaximumWidth(twips(1200));
  chkUnique = make<QCheckBox>("chkUnique");
  chkFileDateTime = make<QCheckBox>("chkFileDateTime", QStringLiteral("Include Date and Time"));
  chkFileFacility = make<QCheckBox>("chkFileFacility", QStringLiteral("Include Syslog Facility"));
  chkFilePriority = make<QCheckBox>("chkFilePriority", QStringLiteral("Include Syslog Priority"));

  QGridLayout* grid = gridIn(frmFile);
  addRow(grid, lblBaseLogFilePath, txBaseLogFilePath);
  addRow(grid, lblBaseLogFileName, txBaseLogFileName);
  addRow(grid, lblBaseLogFileExtension, txBaseLogFileExtension);
  for (QWidget* box : {chkUnique, chkFileDateTime, chkFileFacility, chkFilePriority}) addWide(grid, box);
  pageLayout(this, {frmFile});
  Initiate_Language_settings();
}

void FilePage::Initiate_Language_settings() {
  applyLanguageFont();
  frmFile->setTitle(text(6));
  frmFile->setToolTip(text(120));
  lblBaseLogFilePath->setText(text(12));
  txBaseLogFilePath->setToolTip(text(121));
  lblBaseLogFileName->setText(text(13));
  txBaseLogFileName->setToolTip(text(122));
  lblBaseLogFileExtension->setText(text(14));
  txBaseLogFileExtension->setToolTip(text(123));
  chkUnique->setText(text(1008));
  chkUnique->setToolTip(text(1009));
}

void FilePage::fill(const ParameterValues& values) {
  txBaseLogFilePath->setText(values.szBaseLogFilePath);
  txBaseLogFileName->setText(values.szBaseLogFileName);
  txBaseLogFileExtension->setText(values.szBaseLogFileExtension);
  showFlag(chkUnique, values.nUniqueFileName);
  showFlag(chkFileDateTime, values.nFileDateTime);
  showFlag(chkFileFacility, values.nFileFacility);
  showFlag(chkFilePriority, values.nFilePriority);
}

void FilePage::collect(ParameterValues& values) {
  values.szBaseLogFilePath = txBaseLogFilePath->text();
  values.szBaseLogFileName = txBaseLogFileName->text();
  values.szBaseLogFileExtension = txBaseLogFileExtension->text();
  values.nUniqueFileName = flagOf(chkUnique);
  values.nFileDateTime = flagOf(chkFileDateTime);
  values.nFileFacility = flagOf(chkFileFacility);
  values.nFilePriority = flagOf(chkFilePriority);
}

// ---------------------------------------------------------------- ODBC

OdbcPage::OdbcPage(QWidget* parent) : ConfigPage(parent) {
  setObjectName(QStringLiteral("OdbcPage"));
  frmODBC = make<QGroupBox>("frmODBC");
  lblODBCDSN = makeLabel("lblODBCDSN");
  lblODBCDSN->setText(QStringLiteral("DSN"));
  txLogODBCDSN = make<QLineEdit>("txLogODBCDSN");
  lblODBCUID = makeLabel("lblODBCUID");
  txLogODBCUID = make<QLineEdit>("txLogODBCUID");
  lblODBCPWD = makeLabel("lblODBCPWD");
  txLogODBCPWD = make<QLineEdit>("txLogODBCPWD");
  txLogODBCPWD->setEchoMode(QLineEdit::Password);
  lblODBCTABLE = makeLabel("lblODBCTABLE");
  txLogODBCTABLE = make<QLineEdit>("txLogODBCTABLE");
  chODBCEnCryption = make<QCheckBox>("chODBCEnCryption");
  fraFieldNames = make<QGroupBox>("fraFieldNames");
  lblReceivedAt = makeLabel("lblReceivedAt");
  txtReceivedAt = make<QLineEdit>("txtReceivedAt");
  lblFacility = makeLabel("lblFacility");
  txtFacility = make<QLineEdit>("txtFacility");
  lblPriority = makeLabel("lblPriority");
  txtPriority = make<QLineEdit>("txtPriority");
  lblFromHost = makeLabel("lblFromHost");
  txtFromHost = make<QLineEdit>("txtFromHost");
  lblMessage = makeLabel("lblMessage");
  txtMessage = make<QLineEdit>("txtMessage");

  QGridLayout* odbc = gridIn(frmODBC);
  addRow(odbc, lblODBCDSN, txLogODBCDSN);
  addRow(odbc, lblODBCUID, txLogODBCUID);
  addRow(odbc, lblODBCPWD, txLogODBCPWD);
  addRow(odbc, lblODBCTABLE, txLogODBCTABLE);
  addWide(odbc, chODBCEnCryption);
  odbc->setRowStretch(odbc->rowCount(), 1);

  QGridLayout* names = gridIn(fraFieldNames);
  addRow(names, lblReceivedAt, txtReceivedAt);
  addRow(names, lblFacility, txtFacility);
  addRow(names, lblPriority, txtPriority);
  addRow(names, lblFromHost, txtFromHost);
  addRow(names, lblMessage, txtMessage);
  names->setRowStretch(names->rowCount(), 1);

  // Side by side: together they would not fit the page's height stacked.
  auto* frames = new QHBoxLayout;
  frames->addWidget(frmODBC, 1);
  frames->addWidget(fraFieldNames, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(frames);
  layout->addStretch(1);
  Initiate_Language_settings();
}

void OdbcPage::Initiate_Language_settings() {
  applyLanguageFont();
  frmODBC->setTitle(text(8));
  frmODBC->setToolTip(text(130));
  txLogODBCDSN->setToolTip(text(131));
  lblODBCUID->setText(text(15));
  txLogODBCUID->setToolTip(text(132));
  lblODBCPWD->setText(text(16));
  txLogODBCPWD->setToolTip(text(133));
  lblODBCTABLE->setText(text(17));
  txLogODBCTABLE->setToolTip(text(134));
  chODBCEnCryption->setText(text(18));
  chODBCEnCryption->setToolTip(text(136));
  fraFieldNames->setTitle(text(1012));
  fraFieldNames->setToolTip(text(135));
  lblReceivedAt->setText(text(1013));
  lblFacility->setText(text(1014));
  lblPriority->setText(text(1015));
  lblFromHost->setText(text(1016));
  lblMessage->setText(text(1017));
  txtMessage->setToolTip(text(1020));
}

void OdbcPage::fill(const ParameterValues& values) {
  txLogODBCDSN->setText(values.szODBCDsn);
  txLogODBCUID->setText(values.szODBCUid);
  txLogODBCPWD->setText(values.nODBCEnCryption == 1 ? UnscramblePassword(values.szODBCPwd)
                                                    : values.szODBCPwd);
  txLogODBCTABLE->setText(values.szTableName);
  showFlag(chODBCEnCryption, values.nODBCEnCryption);
  txtReceivedAt->setText(values.szODBCReceivedAt);
  txtFacility->setText(values.szODBCFacility);
  txtPriority->setText(values.szODBCPriority);
  txtFromHost->setText(values.szODBCFromHost);
  txtMessage->setText(values.szODBCMessage);
}

void OdbcPage::collect(ParameterValues& values) {
  values.szODBCDsn = txLogODBCDSN->text();
  values.szODBCUid = txLogODBCUID->text();
  values.nODBCEnCryption = flagOf(chODBCEnCryption);
  values.szODBCPwd =
      values.nODBCEnCryption == 1 ? ScramblePassword(txLogODBCPWD->text()) : txLogODBCPWD->text();
  values.szTableName = txLogODBCTABLE->text();
  values.szODBCReceivedAt = txtReceivedAt->text();
  values.szODBCFacility = txtFacility->text();
  values.szODBCPriority = txtPriority->text();
  values.szODBCFromHost = txtFromHost->text();
  values.szODBCMessage = txtMessage->text();
}

// ---------------------------------------------------------------- Event Log

EventLogPage::EventLogPage(QWidget* parent) : ConfigPage(parent) {
  setObjectName(QStringLiteral("EventLogPage"));
  cbReplaceEventLogSource = make<QCheckBox>("cbReplaceEventLogSource");
  cbReplaceEventLogSource->setEnabled(false);
  pageLayout(this, {cbReplaceEventLogSource});
  Initiate_Language_settings();
}

void EventLogPage::Initiate_Language_settings() {
  applyLanguageFont();
  setToolTip(text(140));
  cbReplaceEventLogSource->setText(text(19));
  cbReplaceEventLogSource->setToolTip(text(141));
}

void EventLogPage::fill(const ParameterValues& values) {
  showFlag(cbReplaceEventLogSource, values.bReplaceEventLogSource);
  cbReplaceEventLogSource->setEnabled(true);
}

void EventLogPage::collect(ParameterValues& values) {
  values.bReplaceEventLogSource = flagOf(cbReplaceEventLogSource);
}

// ---------------------------------------------------------------- SMTP

SmtpPage::SmtpPage(QWidget* parent) : ConfigPage(parent) {
  setObjectName(QStringLiteral("SmtpPage"));
  frmsetSMTP = make<QGroupBox>("frmsetSMTP");
  lblMailServer = makeLabel("lblMailServer");
  txtMailServer = make<QLineEdit>("txtMailServer");
  lblMailSender = makeLabel("lblMailSender");
  txtMailSender = make<QLineEdit>("txtMailSender");
  lblMailRecipient = makeLabel("lblMailRecipient");
  txtMailRecipient = make<QLineEdit>("txtMailRecipient");
  lblMailSubject = makeLabel("lblMailSubject");
  txtMailSubject = make<QLineEdit>("txtMailSubject");
  lblSMTPPort = makeLabel("lblSMTPPort");
  txtSMTPPort = makePortField("txtSMTPPort", 214);

  QGridLayout* grid = gridIn(frmsetSMTP);
  addRow(grid, lblMailServer, txtMailServer);
  addRow(grid, lblMailSender, txtMailSender);
  addRow(grid, lblMailRecipient, txtMailRecipient);
  addRow(grid, lblMailSubject, txtMailSubject);
  auto* portRow = new QHBoxLayout;
  portRow->addWidget(txtSMTPPort);
  portRow->addStretch(1);
  const int row = grid->rowCount();
  grid->addWidget(lblSMTPPort, row, 0);
  grid->addLayout(portRow, row, 1);
  lblSMTPPort->setBuddy(txtSMTPPort);
  pageLayout(this, {frmsetSMTP});
  Initiate_Language_settings();
}

void SmtpPage::Initiate_Language_settings() {
  applyLanguageFont();
  frmsetSMTP->setTitle(text(500));
  frmsetSMTP->setToolTip(text(501));
  lblMailServer->setText(text(502));
  txtMailServer->setToolTip(text(503));
  lblMailSender->setText(text(504));
  txtMailSender->setToolTip(text(505));
  lblMailRecipient->setText(text(506));
  txtMailRecipient->setToolTip(text(507));
  lblMailSubject->setText(text(508));
  txtMailSubject->setToolTip(text(509));
  lblSMTPPort->setText(text(510));
  txtSMTPPort->setToolTip(text(511));
}

void SmtpPage::fill(const ParameterValues& values) {
  txtMailServer->setText(values.szSMTPServer);
  txtMailSender->setText(values.szSMTPSender);
  txtMailRecipient->setText(values.szSMTPRecipient);
  txtMailSubject->setText(values.szSMTPSubject);
  txtSMTPPort->setText(QString::number(values.nSMTPPort));
}

void SmtpPage::collect(ParameterValues& values) {
  if (txtSMTPPort->text().isEmpty()) txtSMTPPort->setText(QString::fromLatin1(kDefaultSmtpPort));
  values.szSMTPServer = txtMailServer->text();
  values.szSMTPSender = txtMailSender->text();
  values.szSMTPRecipient = txtMailRecipient->text();
  values.szSMTPSubject = txtMailSubject->text();
  values.nSMTPPort = numberOf(txtSMTPPort);
}

// ---------------------------------------------------------------- all five

ConfigurationPages::ConfigurationPages(QWidget* parent)
    : general(new GeneralPage(parent)),
      file(new FilePage(parent)),
      odbc(new OdbcPage(parent)),
      eventLog(new EventLogPage(parent)),
      smtp(new SmtpPage(parent)) {
  const auto all = pages();
  for (std::size_t i = 0; i < all.size(); ++i) m_owned[i] = all[i];
}

ConfigurationPages::~ConfigurationPages() {
  for (const QPointer<ConfigPage>& page : m_owned)
    if (page != nullptr && page->parent() == nullptr) delete page.data();
}

void ConfigurationPages::fill(const ParameterValues& values) {
  for (ConfigPage* page : pages()) page->fill(values);
}

void ConfigurationPages::collect(ParameterValues& values) {
  for (ConfigPage* page : pages()) page->collect(values);
}

void ConfigurationPages::Initiate_Language_settings() {
  for (ConfigPage* page : pages()) page->Initiate_Language_settings();
}
