#include "dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include "frmInputBox.h"

namespace Dialogs {

namespace {

class RealHost : public Host {
 public:
  Answer messageBox(QWidget* parent, const MessageBoxRequest& request) override {
    QMessageBox box(parent);
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
    return frmInputBox::ask(parent, prompt, title);
  }

  QString fileDialog(QWidget* parent, const FileDialogRequest& request) override {
    switch (request.kind) {
      case FileDialogKind::Open:
        return QFileDialog::getOpenFileName(parent, request.caption, request.directory, request.filter);
      case FileDialogKind::Save:
        return QFileDialog::getSaveFileName(parent, request.caption, request.directory, request.filter);
      case FileDialogKind::Folder:
        return QFileDialog::getExistingDirectory(parent, request.caption, request.directory);
    }
    return {};
  }
};

RealHost g_realHost;
Host* g_host = &g_realHost;

QWidget* parentOr(QWidget* parent) { return parent != nullptr ? parent : QApplication::activeWindow(); }

}  // namespace

Host* setHost(Host* host) {
  Host* previous = g_host;
  g_host = host != nullptr ? host : &g_realHost;
  return previous == &g_realHost ? nullptr : previous;
}

QString defaultTitle() { return QStringLiteral("Corvantel Client"); }

Answer MsgBox(const QString& text, Icon icon, Buttons buttons, const QString& title, QWidget* parent) {
  return g_host->messageBox(parentOr(parent),
                            MessageBoxRequest{text, icon, buttons, title.isEmpty() ? defaultTitle() : title});
}

InputBoxResult InputBox(const QString& prompt, const QString& title, QWidget* parent) {
  return g_host->inputBox(parentOr(parent), prompt, title);
}

QString GetOpenFileName(const QString& caption, const QString& directory, const QString& filter, QWidget* parent) {
  return g_host->fileDialog(parentOr(parent), {FileDialogKind::Open, caption, directory, filter});
}

QString GetSaveFileName(const QString& caption, const QString& proposedName, const QString& filter,
                        QWidget* parent) {
  return g_host->fileDialog(parentOr(parent), {FileDialogKind::Save, caption, proposedName, filter});
}

QString GetExistingDirectory(const QString& caption, const QString& directory, QWidget* parent) {
  return g_host->fileDialog(parentOr(parent), {FileDialogKind::Folder, caption, directory, {}});
}

}  // namespace Dialogs
