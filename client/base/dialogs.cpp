#include "dialogs.h"

namespace Dialogs {

namespace {

// Until the program installs the real dialogs (widget_dialogs.h), nothing is
// shown: a question counts as declined, an input box and a file dialog as
// cancelled.
class NoDialogs : public Host {
 public:
  Answer messageBox(QWidget*, const MessageBoxRequest& request) override {
    switch (request.buttons) {
      case Buttons::Ok: return Answer::Ok;
      case Buttons::OkCancel: return Answer::Cancel;
      case Buttons::YesNo: return Answer::No;
    }
    return Answer::Cancel;
  }
  InputBoxResult inputBox(QWidget*, const QString&, const QString&) override { return {QString(), true}; }
  QString fileDialog(QWidget*, const FileDialogRequest&) override { return {}; }
};

NoDialogs g_noDialogs;
Host* g_default = &g_noDialogs;
Host* g_host = g_default;

}  // namespace

void setDefaultHost(Host* host) {
  const bool usingDefault = g_host == g_default;
  g_default = host != nullptr ? host : &g_noDialogs;
  if (usingDefault) g_host = g_default;
}

Host* setHost(Host* host) {
  Host* previous = g_host;
  g_host = host != nullptr ? host : g_default;
  return previous == g_default ? nullptr : previous;
}

QString defaultTitle() { return QStringLiteral("Corvantel Client"); }

Answer MsgBox(const QString& text, Icon icon, Buttons buttons, const QString& title, QWidget* parent) {
  return g_host->messageBox(parent,
                            MessageBoxRequest{text, icon, buttons, title.isEmpty() ? defaultTitle() : title});
}

InputBoxResult InputBox(const QString& prompt, const QString& title, QWidget* parent) {
  return g_host->inputBox(parent, prompt, title);
}

QString GetOpenFileName(const QString& caption, const QString& directory, const QString& filter, QWidget* parent) {
  return g_host->fileDialog(parent, {FileDialogKind::Open, caption, directory, filter});
}

QString GetSaveFileName(const QString& caption, const QString& proposedName, const QString& filter,
                        QWidget* parent) {
  return g_host->fileDialog(parent, {FileDialogKind::Save, caption, proposedName, filter});
}

QString GetExistingDirectory(const QString& caption, const QString& directory, QWidget* parent) {
  return g_host->fileDialog(parent, {FileDialogKind::Folder, caption, directory, {}});
}

}  // namespace Dialogs
