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

#include "Messages/Messages.h"
#include "client_settings.h"
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

QLabel* rowLabel(QWidget* parent, const char* name, int top) {
  auto* label = named(new QLabel(parent), name);
  label->setGeometry(twipsRect(kLabelLeft, top + 30, kLabelWidth, 255));
  return label;
}

QLineEdit* rowField(QWidget* parent, const char* name, int top, int width) {
  auto* field = named(new QLineEdit(parent), name);
  field->setGeometry(twipsRect(kFieldLeft, top, width, 315));
  return field;
}

}  // namespace

frmOptions::frmOptions(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmOptions"));
  setFixedSize(twips(kWidthTwips), twips(kHeightTwips));

  lblHeaderText = named(new QLabel(this), "lblHeaderText");
  lblHeaderText->setWordWrap(true);
  lblHeaderText->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  lblHeaderText->setMargin(twips(120));
  lblHeaderText->setAutoFillBackground(true);
  QPalette band = lblHeaderText->palette();
  band.setColor(QPalette::Window, Qt::white);
  band.setColor(QPalette::WindowText, Qt::black);
  lblHeaderText->setPalette(band);
  lblHeaderText->setGeometry(twipsRect(0, 0, kWidthTwips, 660));
  auto* headerLine = new QFrame(this);
  headerLine->setFrameShape(QFrame::HLine);
  headerLine->setFrameShadow(QFrame::Sunken);
  headerLine->setGeometry(twipsRect(0, 660, kWidthTwips, 30));

  fraIntDisplay = named(new QGroupBox(this), "fraIntDisplay");
  fraIntDisplay->setGeometry(twipsRect(120, 780, kWidthTwips - 240, 2400));
  lblMessageBufferSize = rowLabel(fraIntDisplay, "lblMessageBufferSize", 330);
  txtMessageBufferSize = rowField(fraIntDisplay, "txtMessageBufferSize", 330, 1335);
  lblInterActiveSyslogPort = rowLabel(fraIntDisplay, "lblInterActiveSyslogPort", 735);
  txtInterActiveSyslogPort = rowField(fraIntDisplay, "txtInterActiveSyslogPort", 735, 1335);
  lblBaseName = rowLabel(fraIntDisplay, "lblBaseName", 1140);
  txtFileBaseName = rowField(fraIntDisplay, "txtFileBaseName", 1140, 2295);
  cmdBrowse = named(new QPushButton(fraIntDisplay), "cmdBrowse");
  cmdBrowse->setGeometry(twipsRect(5520, 1125, 1095, 345));
  lblExtension = rowLabel(fraIntDisplay, "lblExtension", 1545);
  txtFileExtension = rowField(fraIntDisplay, "txtFileExtension", 1545, 1335);
  chkUnique = named(new QCheckBox(fraIntDisplay), "chkUnique");
  chkUnique->setGeometry(twipsRect(kLabelLeft, 1965, kWidthTwips - 240 - kLabelLeft - 120, 315));

  lblLanguage = named(new QLabel(this), "lblLanguage");
  lblLanguage->setGeometry(twipsRect(120 + kLabelLeft, 3360, kLabelWidth, 255));
  lsLanguage = named(new QComboBox(this), "lsLanguage");
  lsLanguage->setGeometry(twipsRect(120 + kFieldLeft, 3330, 2295, 315));
  lblLanguage->setBuddy(lsLanguage);

  cmdOK = named(new QPushButton(this), "cmdOK");
  cmdOK->setGeometry(twipsRect(kWidthTwips - 2670, 3885, 1215, 375));
  cmdOK->setDefault(true);
  cmdCancel = named(new QPushButton(this), "cmdCancel");
  cmdCancel->setGeometry(twipsRect(kWidthTwips - 1335, 3885, 1215, 375));
  cmdCancel->setAutoDefault(false);
  cmdBrowse->setAutoDefault(false);

  // Typing and its corrections, before the fields are first filled, so that
  // a stored value out of range is corrected the moment it is shown.
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

void frmOptions::showNumbers() {
  txtInterActiveSyslogPort->setText(QString::number(ClientSettings::nInterActiveSyslogPort));
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
