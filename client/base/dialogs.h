// The one seam through which the client shows message boxes, input boxes and
// file dialogs. Windows and modules call the functions below. The program
// installs the real dialogs as the default host (gui/widget_dialogs.h); until
// then nothing is shown and every question is declined. A test installs its
// own Host to read what was asked and to answer it
// (testing/scripted_dialogs.h).
#pragma once

#include <QString>

class QWidget;

namespace Dialogs {

enum class Icon { None, Error, Information, Warning, Question };
enum class Buttons { Ok, OkCancel, YesNo };
enum class Answer { Ok, Cancel, Yes, No };

struct MessageBoxRequest {
  QString text;
  Icon icon = Icon::None;
  Buttons buttons = Buttons::Ok;
  QString title;
};

struct InputBoxResult {
  QString text;
  bool cancelled = false;
};

enum class FileDialogKind { Open, Save, Folder };

struct FileDialogRequest {
  FileDialogKind kind = FileDialogKind::Open;
  QString caption;
  QString directory;  // start folder, or a proposed file name for Save
  QString filter;     // Qt's form: "CSV files (*.csv);;All files (*)"
};

class Host {
 public:
  virtual ~Host() = default;
  virtual Answer messageBox(QWidget* parent, const MessageBoxRequest& request) = 0;
  virtual InputBoxResult inputBox(QWidget* parent, const QString& prompt, const QString& title) = 0;
  // The chosen path, or empty when the user cancelled.
  virtual QString fileDialog(QWidget* parent, const FileDialogRequest& request) = 0;
};

// Installs `host` for every later call and returns the one it replaces (null
// for the default); null puts the default back.
Host* setHost(Host* host);
// The host that answers when no other is installed: the real dialogs, once
// the program has installed them.
void setDefaultHost(Host* host);

// The title every message box of the client carries unless given another.
QString defaultTitle();

// A message box with plain text (never rich text: texts may come from the
// network) over `parent`, or the active window. Returns the button pressed; closing the box
// counts as Cancel or No where those exist, as OK otherwise.
Answer MsgBox(const QString& text, Icon icon = Icon::None, Buttons buttons = Buttons::Ok,
              const QString& title = QString(), QWidget* parent = nullptr);

// The client's input box (frmInputBox).
InputBoxResult InputBox(const QString& prompt, const QString& title, QWidget* parent = nullptr);

QString GetOpenFileName(const QString& caption, const QString& directory, const QString& filter,
                        QWidget* parent = nullptr);
QString GetSaveFileName(const QString& caption, const QString& proposedName, const QString& filter,
                        QWidget* parent = nullptr);
QString GetExistingDirectory(const QString& caption, const QString& directory, QWidget* parent = nullptr);

}  // namespace Dialogs
