#include "widget_dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include "dialogs.h"
#include "frmInputBox.h"

namespace Dialogs {

namespace {

QWidget* parentOr(QWidget* parent) { return parent != nullptr ? parent : QApplication::activeWindow(); }

class RealHost : public Host {
 public:
  Answer messageBox(QWidget* parent, const MessageBoxRequest& request) override {
    QMessageBox box(parentOr(parent));
    box.setWindowTitle(request.title);
    box.setTextFormat(Qt::PlainText);
    box.setText(request.text);
    switch (request.icon) {
      case Icon::None: box.setIcon(QMessageBox::NoIcon); break;
      case Icon::Error: box.setIcon(QMessageBox::Critical); break;
      case Icon::Information: box.setIcon(QMessageBox::Information); break;
      case Icon::Warning: box.setIcon(QMessageBox::Warning); break;
      case Icon::Question: box.setIcon(QMessageBox::Question); break;
    }
    switch (request.buttons) {
      case Buttons::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
        return Answer::Ok;
      case Buttons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setEscapeButton(QMessageBox::Cancel);
        return box.exec() == QMessageBox::Ok ? Answer::Ok : Answer::Cancel;
      case Buttons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? Answer::Yes : Answer::No;
    }
    return Answer::Cancel;
  }

  InputBoxResult inputBox(QWidget* parent, const QString& prompt, const QString& title) override {
    return frmInputBox::ask(parentOr(parent), prompt, title);
  }

  QString fileDialog(QWidget* parent, const FileDialogRequest& request) override {
    switch (request.kind) {
      case FileDialogKind::Open:
        return QFileDialog::getOpenFileName(parentOr(parent), request.caption, request.directory, request.filter);
      case FileDialogKind::Save:
        return QFileDialog::getSaveFileName(parentOr(parent), request.caption, request.directory, request.filter);
      case FileDialogKind::Folder:
        return QFileDialog::getExistingDirectory(parentOr(parent), request.caption, request.directory);
    }
    return {};
  }
};

}  // namespace

void installWidgetDialogs() {
  static RealHost host;
  setDefaultHost(&host);
}

}  // namespace Dialogs
