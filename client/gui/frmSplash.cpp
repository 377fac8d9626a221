#include "frmSplash.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <algorithm>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "client_settings.h"
#include "language_list.h"
#include "trace.h"
#include "twips.h"

namespace {

constexpr int kWidthTwips = 5400;
constexpr int kHeightTwips = 2475;
// While only starting, without the language question.
constexpr int kStartingBarTopTwips = 1200;
constexpr int kStartingHeightTwips = 1635;

template <typename T>
T* named(T* widget, const char* name) {
  widget->setObjectName(QLatin1String(name));
  return widget;
}

}  // namespace

frmSplash::frmSplash(std::function<void()> showMainWindow, QWidget* parent)
    : QWidget(parent, Qt::Window), m_showMainWindow(std::move(showMainWindow)) {
  setObjectName(QStringLiteral("frmSplash"));
  setWindowTitle(QStringLiteral("Corvantel Client"));
  setFixedSize(twips(kWidthTwips), twips(kHeightTwips));

  // No language is chosen yet: the Western face of the other windows, at
  // their size. (Asking for LanguageFont first installs the face's
  // substitutes.)
  QFont font = Messages::LanguageFont();
  font.setFamily(QLatin1String(Messages::kWesternFace));
  font.setPointSize(8);
  setFont(font);

  lblProduct = named(new QLabel(QStringLiteral("Corvantel Client"), this), "lblProduct");
  QFont productFont = font;
  productFont.setPointSize(14);
  productFont.setBold(true);
  lblProduct->setFont(productFont);
  lblProduct->setGeometry(twipsRect(240, 180, 4920, 480));

  lblFirstTime = named(new QLabel(this), "lblFirstTime");
  lblFirstTime->setGeometry(twipsRect(240, 780, 4920, 255));
  lblChooseLanguage =
      named(new QLabel(QStringLiteral("Please select your prefered language"), this), "lblChooseLanguage");
  lblChooseLanguage->setGeometry(twipsRect(240, 1140, 4920, 255));
  lsLanguage = named(new QComboBox(this), "lsLanguage");
  lsLanguage->setGeometry(twipsRect(240, 1455, 2535, 315));
  lblChooseLanguage->setBuddy(lsLanguage);
  cmdStart = named(new QPushButton(QStringLiteral("Start"), this), "cmdStart");
  cmdStart->setGeometry(twipsRect(3945, 1425, 1215, 375));
  cmdStart->setDefault(true);
  PBStart = named(new QProgressBar(this), "PBStart");
  PBStart->setGeometry(twipsRect(240, 2040, 4920, 255));
  PBStart->setRange(0, kStartSteps);
  PBStart->setValue(0);
  PBStart->setTextVisible(false);

  connect(cmdStart, &QPushButton::clicked, this, &frmSplash::cmdStart_Click);
  // Form_Load: not yet activated (m_activated).
}

void frmSplash::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // After the window has been painted once, as an activation would come.
  if (!m_activated) QMetaObject::invokeMethod(this, &frmSplash::Form_Activate, Qt::QueuedConnection);
}

void frmSplash::Form_Activate() {
  if (m_activated) return;
  m_activated = true;

  if (!ClientSettings::openUserKey()) {
    ClientSettings::createUserKey();
    DebugTrace(QStringLiteral("Generating Client User RegKey"));
    askForLanguage(QStringLiteral("This window appears only the first Time"));
    return;
  }
  const QString stored = ClientSettings::readStoredLanguage();
  if (stored.isEmpty()) {
    askForLanguage(QStringLiteral("Language settings not found."));
    return;
  }
  ClientSettings::szLanguage = stored;
  lblChooseLanguage->hide();
  lsLanguage->hide();
  cmdStart->hide();
  lblFirstTime->setText(QStringLiteral("Starting Corvantel Client"));
  // Nothing to choose: the progress bar moves up into the place of the question.
  PBStart->move(PBStart->x(), twips(kStartingBarTopTwips));
  setFixedHeight(twips(kStartingHeightTwips));
  QCoreApplication::processEvents();  // so that the text is painted before the start-up runs
  if (m_showMainWindow) m_showMainWindow();
}

void frmSplash::askForLanguage(const QString& reason) {
  ClientSettings::fill_LanguageListBox(lsLanguage);
  lsLanguage->setCurrentIndex(0);  // English
  lblFirstTime->setText(reason);
  lsLanguage->setFocus();
}

void frmSplash::cmdStart_Click() {
  const QString code = ClientSettings::languageCodeAt(lsLanguage->currentData().toInt());
  ClientSettings::szLanguage = code;
  Registry::SetStringValue(Global::hClientKeyUser, QStringLiteral("szLanguage"), code);
  if (m_showMainWindow) m_showMainWindow();
  unload();
}

void frmSplash::setProgress(int step) { PBStart->setValue(std::clamp(step, 0, kStartSteps)); }

void frmSplash::unload() { close(); }
