#include "frmServiceState.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>

#include "Global.h"
#include "Messages/Messages.h"
#include "WinNTServices.h"
#include "dialogs.h"
#include "trace.h"
#include "twips.h"

namespace {

constexpr int kWidthTwips = 4800;
constexpr int kHeightTwips = 1290;
constexpr int kProgressMaximum = 151;

// The hourglass over the whole client for as long as it lives.
class Hourglass {
 public:
  Hourglass() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~Hourglass() { QApplication::restoreOverrideCursor(); }
  Hourglass(const Hourglass&) = delete;
  Hourglass& operator=(const Hourglass&) = delete;
};

}  // namespace

frmServiceState::frmServiceState(ServiceMenu& menu, QWidget* parent) : QDialog(parent), m_menu(menu) {
  setObjectName(QStringLiteral("frmServiceState"));
  setWindowTitle(QStringLiteral("Corvantel Service"));
  setModal(false);
  // A fixed size: a resize puts the window back to it where it stands.
  setFixedSize(twips(kWidthTwips), twips(kHeightTwips));

  lblServiceStatus = new QLabel(this);
  lblServiceStatus->setObjectName(QStringLiteral("lblServiceStatus"));
  lblServiceStatus->setTextFormat(Qt::PlainText);
  lblServiceStatus->setGeometry(twipsRect(120, 120, 4560, 255));

  pbMain = new QProgressBar(this);
  pbMain->setObjectName(QStringLiteral("pbMain"));
  pbMain->setRange(0, kProgressMaximum);
  pbMain->setValue(0);
  pbMain->setTextVisible(false);
  pbMain->setGeometry(twipsRect(120, 450, 4560, 255));

  StBServiceState = new QStatusBar(this);
  StBServiceState->setObjectName(QStringLiteral("StBServiceState"));
  StBServiceState->setSizeGripEnabled(false);
  StBServiceState->setGeometry(twipsRect(0, kHeightTwips - 315, kWidthTwips, 315));

  Initiate_Language_settings();
}

void frmServiceState::Initiate_Language_settings() {
  Messages::SetLanguageFont();
  const QFont& font = Messages::LanguageFont();
  for (QWidget* widget : std::initializer_list<QWidget*>{this, lblServiceStatus, pbMain, StBServiceState})
    widget->setFont(font);
}

void frmServiceState::runCommand(int text, int error, DWORD (*command)(const QString&, const QString&)) {
  show();
  DWORD result = 0;
  {
    const Hourglass hourglass;
    lblServiceStatus->setText(Messages::GetMessageText(text));
    StBServiceState->showMessage(Global::szConnectionText);  // which computer's service this is
    // The manager call blocks until the service answers: paint the text first.
    repaint();
    result = command(Global::szConnectedComputer, QString::fromLatin1(WinNTServices::kServiceName));
  }
  DebugTrace(QStringLiteral("frmServiceState: %1 gave %2").arg(lblServiceStatus->text()).arg(result));
  if (result != 0) {
    Dialogs::MsgBox(
        Messages::GetMessageText(error) + QStringLiteral("\r\n") + WinNTServices::GetSystemErrorText(result),
        Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), this);
  }
  Global::RefreshServiceState(m_menu, this, polling);
  close();
}

void frmServiceState::StartCorvantelService() { runCommand(256, 225, &WinNTServices::StartNTService); }

void frmServiceState::StopCorvantelService() { runCommand(257, 226, &WinNTServices::StopNTService); }

void frmServiceState::RestartCorvantelService() {
  StopCorvantelService();
  StartCorvantelService();
}
