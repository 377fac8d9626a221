#include "frmInputBox.h"

#include <QFont>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>

#include "Messages/Messages.h"
#include "etched_line.h"
#include "trace.h"
#include "twips.h"

namespace {

// The window's inner size: the band's width, and the buttons' row with a
// margin below it as wide as the one at the left.
constexpr int kWidthTwips = 5415;
constexpr int kHeightTwips = 1440 + 375 + 120;

}  // namespace

frmInputBox::frmInputBox(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmInputBox"));
  setWindowTitle(QStringLiteral("*Title"));
  setFixedSize(twips(kWidthTwips), twips(kHeightTwips));

  lblInputBox = new QLabel(this);
  lblInputBox->setObjectName(QStringLiteral("lblInputBox"));
  lblInputBox->setTextFormat(Qt::PlainText);
  lblInputBox->setWordWrap(true);
  lblInputBox->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lblInputBox->setMargin(twips(120));
  lblInputBox->setAutoFillBackground(true);
  QPalette band = lblInputBox->palette();
  band.setColor(QPalette::Window, Qt::white);
  band.setColor(QPalette::WindowText, Qt::black);
  lblInputBox->setPalette(band);
  lblInputBox->setGeometry(twipsRect(0, 0, 5415, 900));

  Line1 = etchedLine(this, QColor(0x80, 0x80, 0x80), QRect(0, twips(940), twips(5400), 1));
  Line1->setObjectName(QStringLiteral("Line1"));
  Line2 = etchedLine(this, Qt::white, QRect(0, twips(960), twips(5400), 1));
  Line2->setObjectName(QStringLiteral("Line2"));

  txtInput = new QLineEdit(this);
  txtInput->setObjectName(QStringLiteral("txtInput"));
  txtInput->setGeometry(twipsRect(120, 1080, 5175, 285));

  cmdOK = new QPushButton(QStringLiteral("*OK"), this);
  cmdOK->setObjectName(QStringLiteral("cmdOK"));
  cmdOK->setGeometry(twipsRect(2760, 1440, 1215, 375));
  cmdCancel = new QPushButton(QStringLiteral("*Cancel"), this);
  cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
  cmdCancel->setGeometry(twipsRect(4080, 1440, 1215, 375));
  Command1 = new QPushButton(QStringLiteral("cmdDebug"), this);
  Command1->setObjectName(QStringLiteral("Command1"));
  Command1->setGeometry(twipsRect(120, 1440, 1215, 375));
  Command1->setVisible(false);

  // Enter is handled by the text field itself, not by a default button.
  for (QPushButton* button : {cmdOK, cmdCancel, Command1}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  connect(cmdOK, &QPushButton::clicked, this, &frmInputBox::cmdOK_Click);
  connect(cmdCancel, &QPushButton::clicked, this, &frmInputBox::cmdCancel_Click);
  connect(Command1, &QPushButton::clicked, this, &frmInputBox::Command1_Click);
  connect(txtInput, &QLineEdit::returnPressed, this, &frmInputBox::txtInput_KeyPress);

  // Form_Load
  DebugTrace(QStringLiteral("frmInputBox: loading"));
  bCancel = false;
  Initiate_Language_settings();
  txtInput->setFocus();
}

QString& frmInputBox::inputBoxResult() {
  static QString result;
  return result;
}

void frmInputBox::Initiate_Language_settings() {
  Messages::SetLanguageFont();
  const QFont& font = Messages::LanguageFont();
  for (QWidget* widget : std::initializer_list<QWidget*>{this, lblInputBox, txtInput, cmdOK, cmdCancel})
    widget->setFont(font);
  cmdOK->setText(Messages::GetMessageText(32));
  cmdCancel->setText(Messages::GetMessageText(33));
}

void frmInputBox::cmdOK_Click() {
  inputBoxResult() = txtInput->text();
  accept();
}

void frmInputBox::cmdCancel_Click() {
  bCancel = true;
  QDialog::reject();
}

void frmInputBox::txtInput_KeyPress() {
  DebugTrace(QStringLiteral("frmInputBox: ENTER PRESS"));
  cmdOK_Click();
}

void frmInputBox::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    cmdCancel_Click();
    return;
  }
  QDialog::keyPressEvent(event);
}

void frmInputBox::Command1_Click() {
  const QFont font = txtInput->font();
  const QString text = QStringList{font.family(), QString::number(Messages::LanguageFontCharset()),
                                   font.family(), QString::number(font.pointSize()),
                                   font.strikeOut() ? QStringLiteral("True") : QStringLiteral("False"),
                                   QString::number(font.weight())}
                           .join(QStringLiteral("\r\n"));
  Dialogs::MsgBox(text, Dialogs::Icon::None, Dialogs::Buttons::Ok, QString(), this);
}

Dialogs::InputBoxResult frmInputBox::ask(QWidget* parent, const QString& prompt, const QString& title) {
  frmInputBox window(parent);
  window.lblInputBox->setText(prompt);
  window.setWindowTitle(title);
  inputBoxResult().clear();
  window.exec();
  Dialogs::InputBoxResult result{QString(), window.bCancel};
  if (!window.bCancel) result.text = inputBoxResult();
  inputBoxResult().clear();
  return result;
}

QString TolvaneInputBox(const QString& prompt, const QString& title, bool& cancelled, QWidget* parent) {
  DebugTrace(QStringLiteral("TolvaneInputBox: Begin"));
  cancelled = false;
  DebugTrace(QStringLiteral("TolvaneInputBox: Before ShowForm"));
  const Dialogs::InputBoxResult answer = Dialogs::InputBox(prompt, title, parent);
  DebugTrace(QStringLiteral("TolvaneInputBox: After ShowForm"));
  QString text;
  if (answer.cancelled) {
    cancelled = true;
  } else {
    text = answer.text;
  }
  DebugTrace(QStringLiteral("TolvaneInputBox: End"));
  return text;
}
