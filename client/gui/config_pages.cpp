#include "config_pages.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <map>
#include <utility>

#include "Messages/Messages.h"
#include "Registry.h"
#include "WinNTServices.h"
#include "ansi_text.h"
#include "dialogs.h"
#include "numeric_fields.h"
#include "twips.h"

namespace {

// What a blank port field saves, and what a stored syslog port 0 (the
// standard port) shows.
constexpr char kDefaultSyslogPort[] = "514";
constexpr char kDefaultSmtpPort[] = "25";
constexpr char kPortOff[] = "0";  // TCP and TLS
// The service's defaults for the way it writes to a data source: what a
// blank field saves, and what a stored 0 of the batch size or the spool
// limit shows.
constexpr char kDefaultBatchSize[] = "1000";
constexpr char kDefaultIdleTimeout[] = "60";
constexpr char kDefaultSpoolLimit[] = "1024";
constexpr qint64 kMaxBatchSize = 100000;
constexpr qint64 kMaxDword = 0xFFFFFFFF;  // what the registry value holds

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

QLineEdit* makeNumberField(const char* name, qint64 maximum, int limitMessage) {
  auto* field = make<QLineEdit>(name);
  field->setMaximumWidth(twips(maximum > 65535 ? 1500 : 1200));  // beyond a port's five digits, up to ten
  installDigitsOnly(field);
  installUpperLimit(field, maximum, limitMessage);
  return field;
}

QLineEdit* makePortField(const char* name, int limitMessage) {
  return makeNumberField(name, 65535, limitMessage);
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

// A short number field that keeps its width instead of taking the column's.
void addShortRow(QGridLayout* grid, QLabel* label, QLineEdit* field) {
  auto* row = new QHBoxLayout;
  row->addWidget(field);
  row->addStretch(1);
  const int at = grid->rowCount();
  grid->addWidget(label, at, 0);
  grid->addLayout(row, at, 1);
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

// Puts `contents` on `page` in a scroll area without a frame: where the
// contents are taller than the tab page of the main window's smallest (and
// first) size, the page scrolls rather than making the window larger than
// designed.
void scrollIn(QWidget* page, QWidget* contents, const char* name) {
  auto* scroll = make<QScrollArea>(name);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setWidget(contents);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(scroll);
}

QString text(int number) { return Messages::GetMessageText(number); }

// What fill showed in a control, kept on the control: collect takes a control
// only when it differs, so that a value nobody edited keeps the form it was
// read in (a flag stored as 2, a port stored as 0, a scrambling).
constexpr char kShown[] = "corvantelShown";

void showText(QLineEdit* field, const QString& value) {
  showStoredText(field, value);
  field->setProperty(kShown, field->text());
}
// A number as the daemon reads it: an unsigned DWORD.
void showNumber(QLineEdit* field, std::int32_t value) {
  showText(field, QString::number(static_cast<std::uint32_t>(value)));
}
// A number whose 0 stands for a default, shown as that default.
void showNumberOrDefault(QLineEdit* field, std::int32_t value, const char* byDefault) {
  if (value == 0) showText(field, QString::fromLatin1(byDefault));
  else showNumber(field, value);
}
void showFlag(QCheckBox* box, std::int32_t value) {
  box->setChecked(value == 1);
  box->setProperty(kShown, box->isChecked());
}
bool edited(const QLineEdit* field) { return field->text() != field->property(kShown).toString(); }
bool edited(const QCheckBox* box) { return box->isChecked() != box->property(kShown).toBool(); }

void takeText(const QLineEdit* field, QString& member) {
  if (edited(field)) member = field->text();
}
// The number a digits-only field holds; a blank field has been replaced
// before this is asked.
void takeNumber(const QLineEdit* field, std::int32_t& member) {
  if (edited(field)) Registry::readsAsNumber(field->text(), &member);
}
void takeFlag(const QCheckBox* box, std::int32_t& member) {
  if (edited(box)) member = box->isChecked() ? 1 : 0;
}

// A text field that takes no more than the daemon keeps of its value.
QLineEdit* makeTextField(const char* name, const char* value) {
  auto* field = make<QLineEdit>(name);
  setTextLimit(field, parameterTextCapacity(QLatin1String(value)) - 1);
  return field;
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
  fraTimeMode = make<QGroupBox>("fraTimeMode");
  obLocaltime = make<QRadioButton>("obLocaltime");
  obGMT = make<QRadioButton>("obGMT");
  lblSyslogSendServer = makeLabel("lblSyslogSendServer");
  txtSyslogSendServer = makeTextField("txtSyslogSendServer", "szSyslogSendServer");
  chReloadRuleBase = make<QCheckBox>("chReloadRuleBase");
  chkSyslogReplaceSource = make<QCheckBox>("chkSyslogReplaceSource");
  chkResolveHostName = make<QCheckBox>("chkResolveHostName");
  chkUseOrgTimeStamp = make<QCheckBox>("chkUseOrgTimeStamp");
  fraTcpTls = make<QGroupBox>("fraTcpTls");
  lblTcpPort = makeLabel("lblTcpPort");
  txtTcpPort = makePortField("txtTcpPort", 2512);
  lblTlsPort = makeLabel("lblTlsPort");
  txtTlsPort = makePortField("txtTlsPort", 2513);
  lblTlsCertificateFile = makeLabel("lblTlsCertificateFile");
  txtTlsCertificateFile = makeTextField("txtTlsCertificateFile", "szTlsCertificateFile");
  lblTlsKeyFile = makeLabel("lblTlsKeyFile");
  txtTlsKeyFile = makeTextField("txtTlsKeyFile", "szTlsKeyFile");
  lblTlsCaFile = makeLabel("lblTlsCaFile");
  txtTlsCaFile = makeTextField("txtTlsCaFile", "szTlsCaFile");
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

  QGridLayout* tcpTls = gridIn(fraTcpTls);
  auto* portsRow = new QHBoxLayout;  // both ports on one row: the page is short of height
  portsRow->addWidget(txtTcpPort);
  portsRow->addSpacing(twips(240));
  portsRow->addWidget(lblTlsPort);
  portsRow->addWidget(txtTlsPort);
  portsRow->addStretch(1);
  tcpTls->addWidget(lblTcpPort, 0, 0);
  tcpTls->addLayout(portsRow, 0, 1);
  lblTcpPort->setBuddy(txtTcpPort);
  lblTlsPort->setBuddy(txtTlsPort);
  addRow(tcpTls, lblTlsCertificateFile, txtTlsCertificateFile);
  addRow(tcpTls, lblTlsKeyFile, txtTlsKeyFile);
  addRow(tcpTls, lblTlsCaFile, txtTlsCaFile);

  // The two frames are taller than the main window's smallest tab page.
  auto* frames = new QWidget;
  pageLayout(frames, {frmGeneral, fraTcpTls});
  scrollIn(this, frames, "scrGeneral");

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
  fraTimeMode->setTitle(text(2000));
  fraTimeMode->setToolTip(text(111));
  obLocaltime->setText(text(2001));
  obLocaltime->setToolTip(text(112));
  obGMT->setText(text(2002));
  obGMT->setToolTip(text(113));
  lblSyslogSendServer->setText(text(10));
  txtSyslogSendServer->setToolTip(text(115));
  chReloadRuleBase->setText(text(11));
  chReloadRuleBase->setToolTip(text(117));
  chkSyslogReplaceSource->setText(text(2003));
  chkSyslogReplaceSource->setToolTip(text(114));
  chkResolveHostName->setText(text(1024));
  chkResolveHostName->setToolTip(text(1025));
  chkUseOrgTimeStamp->setText(text(1026));
  // The option's caveats go with its description: on the page they would
  // take more room than the smallest window has.
  chkUseOrgTimeStamp->setToolTip(text(1027) + QStringLiteral("\n\n") + text(1028) + QLatin1Char('\n') +
                                 text(1029));
  fraTcpTls->setTitle(text(2500));
  fraTcpTls->setToolTip(text(2501));
  lblTcpPort->setText(text(2502));
  txtTcpPort->setToolTip(text(2503));
  lblTlsPort->setText(text(2504));
  txtTlsPort->setToolTip(text(2505));
  lblTlsCertificateFile->setText(text(2506));
  txtTlsCertificateFile->setToolTip(text(2507));
  lblTlsKeyFile->setText(text(2508));
  txtTlsKeyFile->setToolTip(text(2509));
  lblTlsCaFile->setText(text(2510));
  txtTlsCaFile->setToolTip(text(2511));
}

void GeneralPage::fill(const ParameterValues& values) {
  if (values.nSyslogPort == 0) showText(txtSyslogPort, QString::fromLatin1(kDefaultSyslogPort));
  else showNumber(txtSyslogPort, values.nSyslogPort);
  m_nTimeMode.reset();
  (values.nTimeMode != 0 ? obGMT : obLocaltime)->setChecked(true);
  showText(txtSyslogSendServer, values.szSyslogSendServer);
  showFlag(chReloadRuleBase, values.bReloadRuleBase);
  showFlag(chkSyslogReplaceSource, values.nSyslogReplaceSource);
  showFlag(chkResolveHostName, values.nResolveHostName);
  showFlag(chkUseOrgTimeStamp, values.nUseOrgTimeStamp);
  showNumber(txtTcpPort, values.nTcpPort);
  showNumber(txtTlsPort, values.nTlsPort);
  showText(txtTlsCertificateFile, values.szTlsCertificateFile);
  showText(txtTlsKeyFile, values.szTlsKeyFile);
  showText(txtTlsCaFile, values.szTlsCaFile);
}

void GeneralPage::collect(ParameterValues& values) {
  if (txtSyslogPort->text().isEmpty()) {
    Dialogs::MsgBox(text(212), Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), window());
    txtSyslogPort->setText(QString::fromLatin1(kDefaultSyslogPort));
  }
  takeNumber(txtSyslogPort, values.nSyslogPort);
  if (m_nTimeMode) values.nTimeMode = *m_nTimeMode;
  takeText(txtSyslogSendServer, values.szSyslogSendServer);
  takeFlag(chReloadRuleBase, values.bReloadRuleBase);
  takeFlag(chkSyslogReplaceSource, values.nSyslogReplaceSource);
  takeFlag(chkResolveHostName, values.nResolveHostName);
  takeFlag(chkUseOrgTimeStamp, values.nUseOrgTimeStamp);
  for (QLineEdit* port : {txtTcpPort, txtTlsPort})
    if (port->text().isEmpty()) port->setText(QString::fromLatin1(kPortOff));
  takeNumber(txtTcpPort, values.nTcpPort);
  takeNumber(txtTlsPort, values.nTlsPort);
  takeText(txtTlsCertificateFile, values.szTlsCertificateFile);
  takeText(txtTlsKeyFile, values.szTlsKeyFile);
  takeText(txtTlsCaFile, values.szTlsCaFile);
}

void GeneralPage::obLocaltime_Click() { m_nTimeMode = 0; }

void GeneralPage::obGMT_Click() { m_nTimeMode = 1; }

// ---------------------------------------------------------------- File

FilePage::FilePage(QWidget* parent) : ConfigPage(parent) {
  setObjectName(QStringLiteral("FilePage"));
  frmFile = make<QGroupBox>("frmFile");
  lblBaseLogFilePath = makeLabel("lblBaseLogFilePath");
  txBaseLogFilePath = makeTextField("txBaseLogFilePath", "szBaseLogFilePath");
  lblBaseLogFileName = makeLabel("lblBaseLogFileName");
  txBaseLogFileName = makeTextField("txBaseLogFileName", "szBaseLogFileName");
  lblBaseLogFileExtension = makeLabel("lblBaseLogFileExtension");
  txBaseLogFileExtension = makeTextField("txBaseLogFileExtension", "szBaseLogFileExtension");
  txBaseLogFileExtension->setMaximumWidth(twips(1200));
  chkUnique = make<QCheckBox>("chkUnique");
  chkFileDateTime = make<QCheckBox>("chkFileDateTime");
  chkFileFacility = make<QCheckBox>("chkFileFacility");
  chkFilePriority = make<QCheckBox>("chkFilePriority");

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
  chkFileDateTime->setText(text(2004));
  chkFileFacility->setText(text(2005));
  chkFilePriority->setText(text(2006));
}

void FilePage::fill(const ParameterValues& values) {
  showText(txBaseLogFilePath, values.szBaseLogFilePath);
  showText(txBaseLogFileName, values.szBaseLogFileName);
  showText(txBaseLogFileExtension, values.szBaseLogFileExtension);
  showFlag(chkUnique, values.nUniqueFileName);
  showFlag(chkFileDateTime, values.nFileDateTime);
  showFlag(chkFileFacility, values.nFileFacility);
  showFlag(chkFilePriority, values.nFilePriority);
}

void FilePage::collect(ParameterValues& values) {
  takeText(txBaseLogFilePath, values.szBaseLogFilePath);
  takeText(txBaseLogFileName, values.szBaseLogFileName);
  takeText(txBaseLogFileExtension, values.szBaseLogFileExtension);
  takeFlag(chkUnique, values.nUniqueFileName);
  takeFlag(chkFileDateTime, values.nFileDateTime);
  takeFlag(chkFileFacility, values.nFileFacility);
  takeFlag(chkFilePriority, values.nFilePriority);
}

// ---------------------------------------------------------------- ODBC

OdbcPage::OdbcPage(QWidget* parent) : ConfigPage(parent) {
  setObjectName(QStringLiteral("OdbcPage"));
  frmODBC = make<QGroupBox>("frmODBC");
  lblODBCDSN = makeLabel("lblODBCDSN");
  txLogODBCDSN = makeTextField("txLogODBCDSN", "szODBCDsn");
  lblODBCUID = makeLabel("lblODBCUID");
  txLogODBCUID = makeTextField("txLogODBCUID", "szODBCUid");
  lblODBCPWD = makeLabel("lblODBCPWD");
  txLogODBCPWD = makeTextField("txLogODBCPWD", "szODBCPwd");
  txLogODBCPWD->setEchoMode(QLineEdit::Password);
  lblODBCTABLE = makeLabel("lblODBCTABLE");
  txLogODBCTABLE = makeTextField("txLogODBCTABLE", "szTableName");
  chODBCEnCryption = make<QCheckBox>("chODBCEnCryption");
  fraFieldNames = make<QGroupBox>("fraFieldNames");
  lblReceivedAt = makeLabel("lblReceivedAt");
  txtReceivedAt = makeTextField("txtReceivedAt", "szODBCReceivedAt");
  lblFacility = makeLabel("lblFacility");
  txtFacility = makeTextField("txtFacility", "szODBCFacility");
  lblPriority = makeLabel("lblPriority");
  txtPriority = makeTextField("txtPriority", "szODBCPriority");
  lblFromHost = makeLabel("lblFromHost");
  txtFromHost = makeTextField("txtFromHost", "szODBCFromHost");
  lblMessage = makeLabel("lblMessage");
  txtMessage = makeTextField("txtMessage", "szODBCMessage");
  fraODBCWriting = make<QGroupBox>("fraODBCWriting");
  lblODBCBatchSize = makeLabel("lblODBCBatchSize");
  txtODBCBatchSize = makeNumberField("txtODBCBatchSize", kMaxBatchSize, 2608);
  lblODBCIdleTimeout = makeLabel("lblODBCIdleTimeout");
  txtODBCIdleTimeout = makeNumberField("txtODBCIdleTimeout", kMaxDword, 2609);
  lblODBCSpoolLimit = makeLabel("lblODBCSpoolLimit");
  txtODBCSpoolLimit = makeNumberField("txtODBCSpoolLimit", kMaxDword, 2610);

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

  QGridLayout* writing = gridIn(fraODBCWriting);
  addShortRow(writing, lblODBCBatchSize, txtODBCBatchSize);
  addShortRow(writing, lblODBCIdleTimeout, txtODBCIdleTimeout);
  addShortRow(writing, lblODBCSpoolLimit, txtODBCSpoolLimit);

  // Side by side: together they would not fit the page's height stacked.
  // The writing frame's labels are long: it takes the whole width below
  // them, which makes the page a few pixels taller than the main window's
  // smallest tab page.
  auto* sideBySide = new QHBoxLayout;
  sideBySide->addWidget(frmODBC, 1);
  sideBySide->addWidget(fraFieldNames, 1);
  auto* frames = new QWidget;
  auto* layout = new QVBoxLayout(frames);
  layout->addLayout(sideBySide);
  layout->addWidget(fraODBCWriting);
  layout->addStretch(1);
  scrollIn(this, frames, "scrODBC");
  connect(chODBCEnCryption, &QCheckBox::toggled, this, &OdbcPage::setPasswordLimit);
  setPasswordLimit(false);
  Initiate_Language_settings();
}

void OdbcPage::setPasswordLimit(bool scrambled) {
  // Scrambled, every byte of the password takes three characters.
  const int room = parameterTextCapacity(QStringLiteral("szODBCPwd")) - 1;
  setTextLimit(txLogODBCPWD, scrambled ? room / 3 : room);
}

void OdbcPage::Initiate_Language_settings() {
  applyLanguageFont();
  frmODBC->setTitle(text(8));
  frmODBC->setToolTip(text(130));
  lblODBCDSN->setText(text(2007));
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
  fraODBCWriting->setTitle(text(2600));
  fraODBCWriting->setToolTip(text(2601));
  lblODBCBatchSize->setText(text(2602));
  txtODBCBatchSize->setToolTip(text(2603));
  lblODBCIdleTimeout->setText(text(2604));
  txtODBCIdleTimeout->setToolTip(text(2605));
  lblODBCSpoolLimit->setText(text(2606));
  txtODBCSpoolLimit->setToolTip(text(2607));
}

void OdbcPage::fill(const ParameterValues& values) {
  showText(txLogODBCDSN, values.szODBCDsn);
  showText(txLogODBCUID, values.szODBCUid);
  showFlag(chODBCEnCryption, values.nODBCEnCryption);
  showText(txLogODBCPWD,
           values.nODBCEnCryption == 1 ? UnscramblePassword(values.szODBCPwd) : values.szODBCPwd);
  showText(txLogODBCTABLE, values.szTableName);
  showText(txtReceivedAt, values.szODBCReceivedAt);
  showText(txtFacility, values.szODBCFacility);
  showText(txtPriority, values.szODBCPriority);
  showText(txtFromHost, values.szODBCFromHost);
  showText(txtMessage, values.szODBCMessage);
  showNumberOrDefault(txtODBCBatchSize, values.nODBCBatchSize, kDefaultBatchSize);
  showNumber(txtODBCIdleTimeout, values.nODBCIdleTimeout);
  showNumberOrDefault(txtODBCSpoolLimit, values.nODBCSpoolLimit, kDefaultSpoolLimit);
}

void OdbcPage::collect(ParameterValues& values) {
  takeText(txLogODBCDSN, values.szODBCDsn);
  takeText(txLogODBCUID, values.szODBCUid);
  // A password left alone keeps its stored form (the scrambling draws new
  // random digits each time); with the box changed it is stored anew.
  if (edited(txLogODBCPWD) || edited(chODBCEnCryption)) {
    takeFlag(chODBCEnCryption, values.nODBCEnCryption);
    values.szODBCPwd =
        values.nODBCEnCryption == 1 ? ScramblePassword(txLogODBCPWD->text()) : txLogODBCPWD->text();
  }
  takeText(txLogODBCTABLE, values.szTableName);
  takeText(txtReceivedAt, values.szODBCReceivedAt);
  takeText(txtFacility, values.szODBCFacility);
  takeText(txtPriority, values.szODBCPriority);
  takeText(txtFromHost, values.szODBCFromHost);
  takeText(txtMessage, values.szODBCMessage);
  const std::pair<QLineEdit*, const char*> byDefault[] = {{txtODBCBatchSize, kDefaultBatchSize},
                                                         {txtODBCIdleTimeout, kDefaultIdleTimeout},
                                                         {txtODBCSpoolLimit, kDefaultSpoolLimit}};
  for (const auto& [field, value] : byDefault)
    if (field->text().isEmpty()) field->setText(QString::fromLatin1(value));
  takeNumber(txtODBCBatchSize, values.nODBCBatchSize);
  takeNumber(txtODBCIdleTimeout, values.nODBCIdleTimeout);
  takeNumber(txtODBCSpoolLimit, values.nODBCSpoolLimit);
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
  takeFlag(cbReplaceEventLogSource, values.bReplaceEventLogSource);
}

// ---------------------------------------------------------------- SMTP

SmtpPage::SmtpPage(QWidget* parent) : ConfigPage(parent) {
  setObjectName(QStringLiteral("SmtpPage"));
  frmsetSMTP = make<QGroupBox>("frmsetSMTP");
  lblMailServer = makeLabel("lblMailServer");
  txtMailServer = makeTextField("txtMailServer", "szSMTPServer");
  lblMailSender = makeLabel("lblMailSender");
  txtMailSender = makeTextField("txtMailSender", "szSMTPSender");
  lblMailRecipient = makeLabel("lblMailRecipient");
  txtMailRecipient = makeTextField("txtMailRecipient", "szSMTPRecipient");
  lblMailSubject = makeLabel("lblMailSubject");
  txtMailSubject = makeTextField("txtMailSubject", "szSMTPSubject");
  lblSMTPPort = makeLabel("lblSMTPPort");
  txtSMTPPort = makePortField("txtSMTPPort", 214);

  QGridLayout* grid = gridIn(frmsetSMTP);
  addRow(grid, lblMailServer, txtMailServer);
  addRow(grid, lblMailSender, txtMailSender);
  addRow(grid, lblMailRecipient, txtMailRecipient);
  addRow(grid, lblMailSubject, txtMailSubject);
  addShortRow(grid, lblSMTPPort, txtSMTPPort);
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
  showText(txtMailServer, values.szSMTPServer);
  showText(txtMailSender, values.szSMTPSender);
  showText(txtMailRecipient, values.szSMTPRecipient);
  showText(txtMailSubject, values.szSMTPSubject);
  showNumber(txtSMTPPort, values.nSMTPPort);
}

void SmtpPage::collect(ParameterValues& values) {
  if (txtSMTPPort->text().isEmpty()) txtSMTPPort->setText(QString::fromLatin1(kDefaultSmtpPort));
  takeText(txtMailServer, values.szSMTPServer);
  takeText(txtMailSender, values.szSMTPSender);
  takeText(txtMailRecipient, values.szSMTPRecipient);
  takeText(txtMailSubject, values.szSMTPSubject);
  takeNumber(txtSMTPPort, values.nSMTPPort);
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

bool ConfigurationPages::save(HKEY key, QWidget* owner) {
  QSet<QString> stored;
  const ParameterValues asRead = readParameterValues(key, &stored);
  ParameterValues values = asRead;
  collect(values);

  // What the fields let through fits; a text that was already longer when it
  // was read, or a password that the encryption box made longer, does not.
  std::map<QString, ParameterValue> before;
  forEachParameterValue(asRead,
                        [&](const QString& name, const ParameterValue& value) { before.emplace(name, value); });
  QString tooLong;
  forEachParameterValue(values, [&](const QString& name, const ParameterValue& value) {
    const auto* edit = std::get_if<QString>(&value);
    if (!tooLong.isEmpty() || edit == nullptr || value == before.at(name)) return;
    if (toAnsi(*edit).size() >= static_cast<std::size_t>(parameterTextCapacity(name))) tooLong = name;
  });
  if (!tooLong.isEmpty()) {
    Dialogs::MsgBox(text(2009) + tooLong, Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), owner);
    return false;
  }

  if (const auto failure = writeChangedParameterValues(key, values, asRead, stored)) {
    Dialogs::MsgBox(text(2008) + failure->name + QStringLiteral("\r\n") +
                        WinNTServices::GetSystemErrorText(static_cast<DWORD>(failure->code)),
                    Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), owner);
    return false;
  }
  return true;
}

void ConfigurationPages::Initiate_Language_settings() {
  for (ConfigPage* page : pages()) page->Initiate_Language_settings();
}
