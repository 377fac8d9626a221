#include "frmSingleDisplay.h"

#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <initializer_list>

#include "Messages/Messages.h"
#include "twips.h"

namespace {

// The smallest inner area; the window opens at it.
constexpr int kMinimumWidthTwips = 4695;
constexpr int kMinimumHeightTwips = 3525;

// The rules below measure from the bottom of the whole window, caption and
// borders included, which the design puts 405 twips below the inner area.
// The frame a window manager really draws varies (the offscreen platform
// draws none), so the designed allowance is used: the layout is the same
// everywhere, and at the minimum size Close ends 120 twips above the bottom.
constexpr int kFrameHeightTwips = 405;
constexpr int kLogMsgAllowanceTwips = 2700;  // the message box: window height less this
constexpr int kCloseFromBottomTwips = 900;   // Close's top: this far above the window's bottom

// One row per box: a label at the left, the box after it up to the margin.
constexpr int kMarginTwips = 120;
constexpr int kLabelWidthTwips = 1215;
constexpr int kBoxLeftTwips = 1440;
constexpr int kBoxHeightTwips = 315;
constexpr int kRowPitchTwips = 390;
constexpr int kLogMsgRow = 4;  // the message box starts on the fifth row

constexpr int kCloseWidthTwips = 1215;
constexpr int kCloseHeightTwips = 375;

constexpr int rowTop(int row) { return kMarginTwips + row * kRowPitchTwips; }

template <typename T>
T* named(T* widget, const char* name) {
  widget->setObjectName(QLatin1String(name));
  return widget;
}

QLineEdit* readOnlyLine(QWidget* parent, const char* name) {
  auto* box = named(new QLineEdit(parent), name);
  box->setReadOnly(true);
  return box;
}

}  // namespace

frmSingleDisplay::frmSingleDisplay(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmSingleDisplay"));

  lblTime = named(new QLabel(this), "lblTime");
  lblFacility = named(new QLabel(this), "lblFacility");
  lblPriority = named(new QLabel(this), "lblPriority");
  lblSource = named(new QLabel(this), "lblSource");
  lblLogMsg = named(new QLabel(this), "lblLogMsg");
  txtTime = readOnlyLine(this, "txtTime");
  txtFacility = readOnlyLine(this, "txtFacility");
  txtPriority = readOnlyLine(this, "txtPriority");
  txtSource = readOnlyLine(this, "txtSource");
  txtLogMsg = named(new QPlainTextEdit(this), "txtLogMsg");
  txtLogMsg->setReadOnly(true);
  cmdClose = named(new QPushButton(this), "cmdClose");
  cmdClose->setDefault(true);

  for (QLabel* label : {lblTime, lblFacility, lblPriority, lblSource, lblLogMsg}) {
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  }
  // "Logged Message" is long in some languages; beside a box this high it
  // can take a second line.
  lblLogMsg->setWordWrap(true);
  lblTime->setBuddy(txtTime);
  lblFacility->setBuddy(txtFacility);
  lblPriority->setBuddy(txtPriority);
  lblSource->setBuddy(txtSource);
  lblLogMsg->setBuddy(txtLogMsg);

  connect(cmdClose, &QPushButton::clicked, this, &frmSingleDisplay::cmdClose_Click);

  setMinimumSize(twips(kMinimumWidthTwips), twips(kMinimumHeightTwips));
  resize(minimumSize());
  placeControls();

  // Form_Load
  Initiate_Language_settings();
  cmdClose->setFocus();
}

void frmSingleDisplay::setTexts(const QString& time, const QString& facility, const QString& priority,
                                const QString& source, const QString& message) {
  const std::pair<QLineEdit*, const QString*> lines[] = {
      {txtTime, &time}, {txtFacility, &facility}, {txtPriority, &priority}, {txtSource, &source}};
  for (const auto& [box, text] : lines) {
    box->setText(*text);
    box->setCursorPosition(0);  // a long text shows its start
  }
  txtLogMsg->setPlainText(message);
}

void frmSingleDisplay::Initiate_Language_settings() {
  Messages::SetLanguageFont();
  const QFont& font = Messages::LanguageFont();
  for (QWidget* widget :
       std::initializer_list<QWidget*>{this, lblTime, lblFacility, lblPriority, lblSource, lblLogMsg, txtTime,
                                       txtFacility, txtPriority, txtSource, txtLogMsg, cmdClose})
    widget->setFont(font);
  setWindowTitle(Messages::GetMessageText(350));
  lblTime->setText(Messages::GetMessageText(351));
  lblFacility->setText(Messages::GetMessageText(352));
  lblPriority->setText(Messages::GetMessageText(353));
  lblSource->setText(Messages::GetMessageText(354));
  lblLogMsg->setText(Messages::GetMessageText(355));
  cmdClose->setText(Messages::GetMessageText(356));
}

void frmSingleDisplay::cmdClose_Click() { close(); }

void frmSingleDisplay::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  placeControls();
}

void frmSingleDisplay::placeControls() {
  const int boxWidth = width() - twips(kBoxLeftTwips) - twips(kMarginTwips);
  const std::pair<QLabel*, QLineEdit*> rows[] = {
      {lblTime, txtTime}, {lblFacility, txtFacility}, {lblPriority, txtPriority}, {lblSource, txtSource}};
  int row = 0;
  for (const auto& [label, box] : rows) {
    label->setGeometry(twipsRect(kMarginTwips, rowTop(row) + 30, kLabelWidthTwips, kBoxHeightTwips - 30));
    box->setGeometry(twips(kBoxLeftTwips), twips(rowTop(row)), boxWidth, twips(kBoxHeightTwips));
    ++row;
  }

  const int windowHeight = height() + twips(kFrameHeightTwips);
  const int logMsgTop = twips(rowTop(kLogMsgRow));
  lblLogMsg->setGeometry(
      twipsRect(kMarginTwips, rowTop(kLogMsgRow) + 30, kLabelWidthTwips, 2 * kRowPitchTwips));
  txtLogMsg->setGeometry(twips(kBoxLeftTwips), logMsgTop, boxWidth,
                         windowHeight - twips(kLogMsgAllowanceTwips));

  cmdClose->setGeometry((width() - twips(kCloseWidthTwips)) / 2, windowHeight - twips(kCloseFromBottomTwips),
                        twips(kCloseWidthTwips), twips(kCloseHeightTwips));
}
