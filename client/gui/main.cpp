// CorvantelClient: the administration program of the Corvantel service.
//
// The start-up window settles the interface language and shows the main
// window, whose start-up it follows with its progress bar. A second start by
// the same user brings the running client's window to the front and ends.
#include <QApplication>
#include <memory>

#include "frmMain.h"
#include "frmSplash.h"
#include "single_instance.h"
#include "widget_dialogs.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  Dialogs::installWidgetDialogs();
  QApplication::setApplicationName(QStringLiteral("CorvantelClient"));

  SingleInstance instance;
  if (instance.handOverToRunningInstance()) return 0;

  std::unique_ptr<frmMain> mainWindow;
  std::unique_ptr<frmSplash> splash;
  splash = std::make_unique<frmSplash>([&] {
    mainWindow = std::make_unique<frmMain>();
    QObject::connect(mainWindow.get(), &frmMain::clientEnds, &app, &QApplication::quit, Qt::QueuedConnection);
    mainWindow->show();
    mainWindow->Form_Load(splash.get());
  });
  instance.listen([&] {
    if (!mainWindow) return;
    mainWindow->showNormal();
    mainWindow->raise();
    mainWindow->activateWindow();
  });
  splash->show();
  return app.exec();
}
