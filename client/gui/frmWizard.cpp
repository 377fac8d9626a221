#include "frmWizard.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <algorithm>
#include <iterator>

#include "Global.h"
#include "Messages/Messages.h"
#include "Rules.h"
#include "dialogs.h"
#include "etched_line.h"
#include "twips.h"

namespace {

// The window's inner size; it takes the longest language's texts.
constexpr int kWidthTwips = 7800;
constexpr int kHeightTwips = 5200;
constexpr int kPictureWidthTwips = 2400;
constexpr int kNavHeightTwips = 660;

// Inside a page: a margin kept free at the right, and the indent of the check
// boxes below their headings.
constexpr int kPageRightMargin = 150;
constexpr int kIndent = 240;

constexpr QLatin1String kNewLine("\r\n");

// The outputs offered on page 2, in the order their rules are created: the
// check box, the message that names the output and its rule, the action type.
struct Output {
  QCheckBox* frmWizard::*box;
  int text;
  std::int32_t type;
};
constexpr Output kOutputs[] = {
    {&frmWizard::chkFile, 708, Rules::kWriteToFile},
    {&frmWizard::chkODBC, 709, Rules::kWriteToOdbc},
    {&frmWizard::chkEventLog, 710, Rules::kWriteToEventLog},
    {&frmWizard::chkForwardSyslog, 712, Rules::kForwardToSyslog},
    {&frmWizard::chkSendEmail, 713, Rules::kSendEmail},
};

template <typename T>
T* named(T* widget, const char* name) {
  widget->setObjectName(QLatin1String(name));
  return widget;
}

// The wizard's picture: a deep blue evening sky that lightens towards the
// bottom, a receiver taking in signals from both sides, and the product's
// name. Drawn to the widget's size.
class WizardPicture : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = rect();
    QLinearGradient sky(area.topLeft(), area.bottomLeft());
    sky.setColorAt(0.0, QColor(0x0b, 0x24, 0x52));
    sky.setColorAt(0.65, QColor(0x15, 0x4f, 0x86));
    sky.setColorAt(1.0, QColor(0x2a, 0x8a, 0x9c));
    painter.fillRect(area, sky);

    const double w = area.width();
    const QPointF centre(w / 2, area.height() * 0.36);
    const double ring = w * 0.28;

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 28));
    painter.drawEllipse(centre, ring, ring);
    painter.setPen(QPen(QColor(255, 255, 255, 150), std::max(1.0, w / 110)));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(centre, ring, ring);

    // Waves arriving from the left and the right.
    QPen wave(QColor(0xe8, 0xf4, 0xff), std::max(1.5, w / 60), Qt::SolidLine, Qt::RoundCap);
    for (int i = 1; i <= 3; ++i) {
      const double radius = ring * (0.22 + 0.18 * i);
      wave.setColor(QColor(0xe8, 0xf4, 0xff, 255 - 55 * i));
      painter.setPen(wave);
      const QRectF bounds(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
      painter.drawArc(bounds, -40 * 16, 80 * 16);
      painter.drawArc(bounds, 140 * 16, 80 * 16);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xff, 0xc8, 0x57));
    painter.drawEllipse(centre, ring * 0.16, ring * 0.16);

    // The name keeps one face in every language.
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(std::max(8, static_cast<int>(w / 7.5)));
    font.setBold(true);
    font.setLetterSpacing(QFont::PercentageSpacing, 104);
    painter.setFont(font);
    painter.setPen(Qt::white);
    const QRectF title(0, area.height() * 0.62, w, area.height() * 0.12);
    painter.drawText(title, Qt::AlignCenter, QStringLiteral("Corvantel"));
    painter.setPen(QPen(QColor(255, 255, 255, 120), 1));
    painter.drawLine(QPointF(w * 0.25, title.bottom()), QPointF(w * 0.75, title.bottom()));
  }
};

QFrame* pageFrame(QWidget* parent, const char* name) {
  auto* frame = named(new QFrame(parent), name);
  frame->setFrameShape(QFrame::NoFrame);
  frame->hide();
  return frame;
}

QLabel* pageLabel(QWidget* parent, const char* name) {
  auto* label = named(new QLabel(parent), name);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

}  // namespace

frmWizard::frmWizard(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmWizard"));
  setModal(true);
  setFixedSize(twips(kWidthTwips), twips(kHeightTwips));

  pbWizard = named(new WizardPicture(this), "pbWizard");
  pbWizard->setGeometry(twipsRect(0, 0, kPictureWidthTwips, kHeightTwips - kNavHeightTwips));

  pbNav = named(new QFrame(this), "pbNav");
  pbNav->setFrameShape(QFrame::NoFrame);
  pbNav->setGeometry(twipsRect(0, kHeightTwips - kNavHeightTwips, kWidthTwips, kNavHeightTwips));
  etchedLine(pbNav, QColor(0x80, 0x80, 0x80), QRect(0, 0, twips(kWidthTwips), 1));
  etchedLine(pbNav, Qt::white, QRect(0, 1, twips(kWidthTwips), 1));
  cmdBack = named(new QPushButton(pbNav), "cmdBack");
  cmdBack->setGeometry(twipsRect(2520, 165, 1215, 375));
  cmdNext = named(new QPushButton(pbNav), "cmdNext");
  cmdNext->setGeometry(twipsRect(3735, 165, 1215, 375));
  cmdFinish = named(new QPushButton(pbNav), "cmdFinish");
  cmdFinish->setGeometry(twipsRect(5130, 165, 1215, 375));
  cmdCancel = named(new QPushButton(pbNav), "cmdCancel");
  cmdCancel->setGeometry(twipsRect(6465, 165, 1215, 375));
  // Enter presses the button that moves on: Next, or Finish on the last page.
  for (QPushButton* button : {cmdBack, cmdNext, cmdFinish, cmdCancel}) button->setAutoDefault(false);

  fraWizardIntro = pageFrame(this, "fraWizardIntro");
  lblStep1 = pageLabel(fraWizardIntro, "lblStep1");

  fraWizardSelect = pageFrame(this, "fraWizardSelect");
  lblStepSelect = pageLabel(fraWizardSelect, "lblStepSelect");
  lblOldActions = pageLabel(fraWizardSelect, "lblOldActions");
  chkFile = named(new QCheckBox(fraWizardSelect), "chkFile");
  chkODBC = named(new QCheckBox(fraWizardSelect), "chkODBC");
  chkEventLog = named(new QCheckBox(fraWizardSelect), "chkEventLog");
  lblNewActions = pageLabel(fraWizardSelect, "lblNewActions");
  chkForwardSyslog = named(new QCheckBox(fraWizardSelect), "chkForwardSyslog");
  chkSendEmail = named(new QCheckBox(fraWizardSelect), "chkSendEmail");

  fraWizardFinish = pageFrame(this, "fraWizardFinish");
  lblFinish = pageLabel(fraWizardFinish, "lblFinish");

  connect(cmdBack, &QPushButton::clicked, this, &frmWizard::cmdBack_Click);
  connect(cmdNext, &QPushButton::clicked, this, &frmWizard::cmdNext_Click);
  connect(cmdFinish, &QPushButton::clicked, this, &frmWizard::cmdFinish_Click);
  connect(cmdCancel, &QPushButton::clicked, this, &frmWizard::cmdCancel_Click);

  // Form_Load
  m_switches = readParameterValues(Global::hParametersKey);
  Initiate_Language_settings();
  m_page = 1;
  showPage();
}

void frmWizard::Initiate_Language_settings() {
  Messages::SetLanguageFont();
  const QFont& font = Messages::LanguageFont();
  for (QWidget* widget : std::initializer_list<QWidget*>{
           this, cmdBack, cmdNext, cmdFinish, cmdCancel, lblStep1, lblStepSelect, lblOldActions, chkFile,
           chkODBC, chkEventLog, lblNewActions, chkForwardSyslog, chkSendEmail, lblFinish})
    widget->setFont(font);

  using Messages::GetMessageText;
  setWindowTitle(GetMessageText(700));
  cmdBack->setText(GetMessageText(702));
  cmdNext->setText(GetMessageText(703));
  cmdFinish->setText(GetMessageText(704));
  cmdCancel->setText(GetMessageText(315));
  lblStep1->setText(GetMessageText(705));
  lblStepSelect->setText(GetMessageText(706));
  lblOldActions->setText(GetMessageText(707));
  lblNewActions->setText(GetMessageText(711));
  for (const Output& output : kOutputs) (this->*output.box)->setText(GetMessageText(output.text));
}

void frmWizard::placePage(QFrame* frame) {
  const int left = pbWizard->x() + pbWizard->width() + twips(250);
  const int width = this->width() - pbWizard->x() - pbWizard->width() - twips(300);
  const int height = this->height() - pbNav->height();
  frame->setFrameShape(QFrame::NoFrame);
  frame->setGeometry(left, 0, width, height);

  // The page's own elements follow the width it was given.
  const int inner = width - twips(kPageRightMargin);
  const int indented = inner - twips(kIndent);
  if (frame == fraWizardIntro) {
    lblStep1->setGeometry(0, twips(360), inner, height - twips(480));
  } else if (frame == fraWizardSelect) {
    lblStepSelect->setGeometry(0, twips(360), inner, twips(510));
    lblOldActions->setGeometry(0, twips(1020), inner, twips(255));
    chkFile->setGeometry(twips(kIndent), twips(1335), indented, twips(285));
    chkODBC->setGeometry(twips(kIndent), twips(1650), indented, twips(285));
    chkEventLog->setGeometry(twips(kIndent), twips(1965), indented, twips(285));
    lblNewActions->setGeometry(0, twips(2460), inner, twips(255));
    chkForwardSyslog->setGeometry(twips(kIndent), twips(2775), indented, twips(285));
    chkSendEmail->setGeometry(twips(kIndent), twips(3090), indented, twips(285));
  } else {
    lblFinish->setGeometry(0, twips(360), inner, height - twips(480));
  }
}

bool frmWizard::buildSummary() {
  m_chosen.clear();
  QString lines;
  for (int i = 0; i < static_cast<int>(std::size(kOutputs)); ++i) {
    if (!(this->*kOutputs[i].box)->isChecked()) continue;
    m_chosen.push_back(i);
    lines += Messages::GetMessageText(kOutputs[i].text) + kNewLine;
  }
  if (m_chosen.empty()) return false;
  lblFinish->setText(Messages::GetMessageText(714) + kNewLine + kNewLine + lines + kNewLine +
                     Messages::GetMessageText(715));
  return true;
}

void frmWizard::showPage() {
  // Checked before the pages are hidden, so that page 2 stays behind the box.
  if (m_page == 3 && !buildSummary()) {
    Dialogs::MsgBox(Messages::GetMessageText(229), Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(),
                    this);
    cmdBack_Click();
    return;
  }

  fraWizardIntro->hide();
  fraWizardSelect->hide();
  fraWizardFinish->hide();

  QFrame* shown = fraWizardIntro;
  if (m_page == 2) {
    // A switch that is set checks its box again; a box is never cleared here.
    if (m_switches.bWriteToLogFile != 0) chkFile->setChecked(true);
    if (m_switches.bWriteToODBC != 0) chkODBC->setChecked(true);
    if (m_switches.bWriteToEventLog != 0) chkEventLog->setChecked(true);
    shown = fraWizardSelect;
  } else if (m_page == 3) {
    shown = fraWizardFinish;
  }
  placePage(shown);
  shown->show();

  cmdBack->setEnabled(m_page > 1);
  cmdNext->setEnabled(m_page < 3);
  cmdFinish->setEnabled(m_page == 3);
  cmdCancel->setEnabled(true);
  (m_page == 3 ? cmdFinish : cmdNext)->setDefault(true);
}

void frmWizard::cmdBack_Click() {
  if (m_page <= 1) return;
  --m_page;
  showPage();
}

void frmWizard::cmdNext_Click() {
  if (m_page >= 3) return;
  ++m_page;
  showPage();
}

void frmWizard::cmdFinish_Click() {
  if (m_page != 3 || m_chosen.empty()) return;
  Rules::Model& model = Rules::model();
  model.rules.clear();
  std::int32_t number = 0;
  for (const int index : m_chosen) {
    const Output& output = kOutputs[index];
    Rules::RuleRecord rule;
    rule.RuleNumber = ++number;
    // Named in the language in force now, which the stored rule base keeps.
    rule.RuleName = Messages::GetMessageText(output.text);
    rule.Priority = -1;
    rule.Facility = -1;
    rule.ActionCount = 1;
    // An empty parameter: the action uses its global setting.
    rule.ActionTypes = {output.type};
    rule.ActionStrings = {QString()};
    model.rules.push_back(std::move(rule));
  }
  model.RuleCount = number;
  // A save that fails reports itself; the window closes all the same.
  Rules::SaveRules(Global::hRulesKey);
  accept();
}

void frmWizard::cmdCancel_Click() { reject(); }
