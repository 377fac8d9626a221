#include "frmOptions.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QResizeEvent>
#include <algorithm>

#include "Messages/Messages.h"
#include "Registry.h"
#include "client_settings.h"
#include "language_list.h"
#include "dialogs.h"
#include "numeric_fields.h"
#include "twips.h"

namespace {

constexpr int kWidthTwips = 6975;
constexpr int kHeightTwips = 4380;

// Rows inside the frame: a label column, then the fields.
constexpr int kLabelLeft = 240;
constexpr int kLabelWidth = 2760;
constexpr int kFieldLeft = 3120;

// The port the realtime display falls back to when the field is left blank.
constexpr char kDefaultPortText[] = "514";

template <typename T>
T* named(T* widget, const char* name) {
  widget->setObjectName(QLatin1String(name));
  return widget;
}

// Rows of the frame, from its top.
constexpr int kBufferRow = 330;
constexpr int kPortRow = 735;
constexpr int kFileRow = 1140;
constexpr int kExtensionRow = 1545;

// The field of the client's log file name at the designed width; a wider
// window gives it all the width it gains.
constexpr int kFileFieldWidth = 2295;

void placeRowLabel(QLabel* label, int top) {
  label->setGeometry(twipsRect(kLabelLeft, top + 30, kLabelWidth, 255));
}

// The same rectangle `extra` pixels wider, or moved `extra` pixels right.
QRect wider(QRect rect, int extra) {
  rect.setWidth(rect.width() + extra);
  return rect;
}
QRect movedRight(const QRect& rect, int extra) { return rect.translated(extra, 0); }

void placeRowField(QLineEdit* field, int top, int width, int extra = 0) {
  field->setGeometry(wider(twipsRect(kFieldLeft, top, width, 315), extra));
}

}  // namespace

frmOptions::frmOptions(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmOptions"));
  // As high as designed; wider at will, for long paths of the log file.
  setMinimumSize(twips(kWidthTwips), twips(kHeightTwips));
  setMaximumHeight(twips(kHeightTwips));

  lblHeaderText = named(new QLabel(this), "lblHeaderText");
  lblHeaderText->setWordWrap(true);
  lblHeaderText->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  lblHeaderText->setMargin(twips(120));
  lblHeaderText->setAutoFillBackground(true);
  QPalette band = lblHeaderText->palette();
  band.setColor(QPalette::Window, Qt::white);
  band.setColor(QPalette::WindowText, Qt::black);
  lblHeaderText->setPalette(band);
  m_headerLine = new QFrame(this);
  m_headerLine->setFrameShape(QFrame::HLine);
  m_headerLine->setFrameShadow(QFrame::Sunken);

  fraIntDisplay = named(new QGroupBox(this), "fraIntDisplay");
  lblMessageBufferSize = named(new QLabel(fraIntDisplay), "lblMessageBufferSize");
  txtMessageBufferSize = named(new QLineEdit(fraIntDisplay), "txtMessageBufferSize");
  lblInterActiveSyslogPort = named(new QLabel(fraIntDisplay), "lblInterActiveSyslogPort");
  txtInterActiveSyslogPort = named(new QLineEdit(fraIntDisplay), "txtInterActiveSyslogPort");
  lblBaseName = named(new QLabel(fraIntDisplay), "lblBaseName");
  txtFileBaseName = named(new QLineEdit(fraIntDisplay), "txtFileBaseName");
  cmdBrowse = named(new QPushButton(fraIntDisplay), "cmdBrowse");
  lblExtension = named(new QLabel(fraIntDisplay), "lblExtension");
  txtFileExtension = named(new QLineEdit(fraIntDisplay), "txtFileExtension");
  chkUnique = named(new QCheckBox(fraIntDisplay), "chkUnique");

  lblLanguage = named(new QLabel(this), "lblLanguage");
  lsLanguage = named(new QComboBox(this), "lsLanguage");
  lblLanguage->setBuddy(lsLanguage);

  cmdOK = named(new QPushButton(this), "cmdOK");
  cmdOK->setDefault(true);
  cmdCancel = named(new QPushButton(this), "cmdCancel");
  cmdCancel->setAutoDefault(false);
  cmdBrowse->setAutoDefault(false);
  resize(minimumSize());
  placeControls();

  // The texts take what the client reads back at its next start: a longer
  // one would read as the default.
  setTextLimit(txtFileBaseName, static_cast<int>(Registry::kLongStringBuffer) - 1);
  setTextLimit(txtFileExtension, 255);

  // Typing and its corrections, before the fields are first filled: a stored
  // buffer size out of range is corrected the moment it is shown, a stored
  // port is shown as it is (showNumbers).
  installDigitsOnly(txtMessageBufferSize);
  installNumberLimit(txtMessageBufferSize, kMaxMessageBufferSize);
  installDigitsOnly(txtInterActiveSyslogPort);
  installPortLimit(txtInterActiveSyslogPort, 213);

  connect(cmdBrowse, &QPushButton::clicked, this, &frmOptions::cmdBrowse_Click);
  connect(cmdOK, &QPushButton::clicked, this, &frmOptions::cmdOK_Click);
  connect(cmdCancel, &QPushButton::clicked, this, &frmOptions::cmdCancel_Click);

  // Form_Load
  ClientSettings::fill_LanguageListBox(lsLanguage);
  lsLanguage->setCurrentIndex(ClientSettings::languagePositionOf(ClientSettings::szLanguage));
  Initiate_Language_settings();
  showNumbers();
  txtFileBaseName->setText(ClientSettings::szFileBaseName);
  txtFileExtension->setText(ClientSettings::szFileExtension);
  chkUnique->setChecked(ClientSettings::nUnique != 0);
}

void frmOptions::Show(QPointer<frmOptions>& window, QWidget* parent, std::function<void()> languageChanged) {
  if (window.isNull()) window = new frmOptions(parent);
  window->onLanguageChanged = std::move(languageChanged);
  window->exec();
}

void frmOptions::Initiate_Language_settings() {
  Messages::SetLanguageFont();
  const QFont& font = Messages::LanguageFont();
  for (QWidget* widget : std::initializer_list<QWidget*>{
           this, lblHeaderText, fraIntDisplay, lblMessageBufferSize, txtMessageBufferSize,
           lblInterActiveSyslogPort, txtInterActiveSyslogPort, lblBaseName, txtFileBaseName, cmdBrowse,
           lblExtension, txtFileExtension, chkUnique, lblLanguage, lsLanguage, cmdOK, cmdCancel})
    widget->setFont(font);

  setWindowTitle(Messages::GetMessageText(310));
  lblHeaderText->setText(Messages::GetMessageText(311));
  fraIntDisplay->setTitle(Messages::GetMessageText(25));
  lblMessageBufferSize->setText(Messages::GetMessageText(312));
  txtMessageBufferSize->setToolTip(Messages::GetMessageText(316));
  lblInterActiveSyslogPort->setText(Messages::GetMessageText(313));
  txtInterActiveSyslogPort->setToolTip(Messages::GetMessageText(317));
  lblBaseName->setText(Messages::GetMessageText(1003));
  cmdBrowse->setText(Messages::GetMessageText(1004));
  txtFileBaseName->setToolTip(Messages::GetMessageText(1005));
  lblExtension->setText(Messages::GetMessageText(1006));
  txtFileExtension->setToolTip(Messages::GetMessageText(1007));
  chkUnique->setText(Messages::GetMessageText(1008));
  chkUnique->setToolTip(Messages::GetMessageText(1009));
  lblLanguage->setText(Messages::GetMessageText(318));
  cmdOK->setText(Messages::GetMessageText(314));
  cmdCancel->setText(Messages::GetMessageText(315));
}

void frmOptions::placeControls() {
  const int extra = std::max(0, width() - twips(kWidthTwips));
  lblHeaderText->setGeometry(wider(twipsRect(0, 0, kWidthTwips, 660), extra));
  m_headerLine->setGeometry(wider(twipsRect(0, 660, kWidthTwips, 30), extra));
  fraIntDisplay->setGeometry(wider(twipsRect(120, 780, kWidthTwips - 240, 2400), extra));
  placeRowLabel(lblMessageBufferSize, kBufferRow);
  placeRowField(txtMessageBufferSize, kBufferRow, 1335);
  placeRowLabel(lblInterActiveSyslogPort, kPortRow);
  placeRowField(txtInterActiveSyslogPort, kPortRow, 1335);
  placeRowLabel(lblBaseName, kFileRow);
  placeRowField(txtFileBaseName, kFileRow, kFileFieldWidth, extra);
  cmdBrowse->setGeometry(movedRight(twipsRect(5520, kFileRow - 15, 1095, 345), extra));
  placeRowLabel(lblExtension, kExtensionRow);
  placeRowField(txtFileExtension, kExtensionRow, 1335);
  chkUnique->setGeometry(twipsRect(kLabelLeft, 1965, kWidthTwips - 240 - kLabelLeft - 120, 315));
  lblLanguage->setGeometry(twipsRect(120 + kLabelLeft, 3360, kLabelWidth, 255));
  lsLanguage->setGeometry(twipsRect(120 + kFieldLeft, 3330, 2295, 315));
  cmdOK->setGeometry(movedRight(twipsRect(kWidthTwips - 2670, 3885, 1215, 375), extra));
  cmdCancel->setGeometry(movedRight(twipsRect(kWidthTwips - 1335, 3885, 1215, 375), extra));
}

void frmOptions::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  placeControls();
}

void frmOptions::showNumbers() {
  showStoredText(txtInterActiveSyslogPort, QString::number(ClientSettings::nInterActiveSyslogPort));
  txtMessageBufferSize->setText(QString::number(ClientSettings::nMessageBufferSize));
}

void frmOptions::cmdBrowse_Click() {
  const QFileInfo current(txtFileBaseName->text());
  const QString folder = txtFileBaseName->text().contains(u'/') ? current.absolutePath() : QString();
  const QString chosen =
      Dialogs::GetOpenFileName(Messages::GetMessageText(1003), folder, QStringLiteral("All files (*)"), this);
  if (!chosen.isEmpty()) txtFileBaseName->setText(chosen);
}

void frmOptions::cmdOK_Click() {
  if (txtInterActiveSyslogPort->text().isEmpty()) {
    Dialogs::MsgBox(Messages::GetMessageText(212), Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(),
                    this);
    txtInterActiveSyslogPort->setText(QLatin1String(kDefaultPortText));
  }
  // Both fields hold digits only, within their limits (numeric_fields.h).
  const qint64 bufferSize = txtMessageBufferSize->text().toLongLong();
  if (bufferSize <= 0)
    txtMessageBufferSize->setText(QString::number(ClientSettings::kDefaultMessageBufferSize));

  ClientSettings::nInterActiveSyslogPort =
      static_cast<std::int32_t>(txtInterActiveSyslogPort->text().toLongLong());
  ClientSettings::nMessageBufferSize = static_cast<std::int32_t>(txtMessageBufferSize->text().toLongLong());
  ClientSettings::szFileBaseName = txtFileBaseName->text();
  ClientSettings::szFileExtension = txtFileExtension->text();
  ClientSettings::nUnique = chkUnique->isChecked() ? 1 : 0;

  const QString code = ClientSettings::languageCodeAt(
      lsLanguage->currentData().isValid() ? lsLanguage->currentData().toInt() : -1);
  if (!code.isEmpty() && code != ClientSettings::szLanguage.code()) {
    ClientSettings::szLanguage = code;
    if (onLanguageChanged) onLanguageChanged();
    Initiate_Language_settings();
  }

  ClientSettings::saveOptionValues();
  accept();
  Form_Unload();
}

void frmOptions::cmdCancel_Click() {
  showNumbers();
  QDialog::reject();
}

void frmOptions::reject() { cmdCancel_Click(); }

void frmOptions::Form_Unload() { deleteLater(); }

void frmOptions::closeEvent(QCloseEvent* event) {
  QDialog::closeEvent(event);
  if (event->isAccepted()) Form_Unload();
}
