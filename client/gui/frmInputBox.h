// frmInputBox: the client's modal window that asks for one line of text, with
// its texts and font in the client's language. Callers use TolvaneInputBox.
#pragma once

#include <QDialog>
#include <QString>

#include "dialogs.h"

class QFrame;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;

class frmInputBox : public QDialog {
  Q_OBJECT

 public:
  explicit frmInputBox(QWidget* parent = nullptr);

  // True when the window was closed by Cancel (or Escape).
  bool bCancel = false;

  // Loads a window, shows it modally with `prompt` and `title`, and returns
  // what it was closed with: the entered text after OK or Enter; an empty text
  // that counts as confirmed after the close box; cancelled after Cancel.
  static Dialogs::InputBoxResult ask(QWidget* parent, const QString& prompt, const QString& title);

  // The text travelling from the closing window to TolvaneInputBox; empty
  // otherwise.
  static QString& inputBoxResult();

  void Initiate_Language_settings();

  QLabel* lblInputBox;
  QLineEdit* txtInput;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;
  QPushButton* Command1;  // diagnostic: the text field's font; never shown
  QFrame* Line1;
  QFrame* Line2;

 public slots:
  void cmdOK_Click();
  void cmdCancel_Click();
  void txtInput_KeyPress();  // Enter
  void Command1_Click();

 protected:
  // Escape acts as Cancel. (The close box is neither OK nor Cancel: it
  // rejects with bCancel clear.)
  void keyPressEvent(QKeyEvent* event) override;
};

// Asks for one line of text. Returns the entered text (possibly empty) with
// cancelled false, or an empty text with cancelled true after Cancel. The
// field always starts empty. Blocks until the window closes.
QString TolvaneInputBox(const QString& prompt, const QString& title, bool& cancelled, QWidget* parent = nullptr);
