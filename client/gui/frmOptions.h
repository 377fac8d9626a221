// frmOptions: the modal options window (File, Options) that edits the
// client's own settings (client_settings.h): the realtime display's port,
// buffer size and log file, and the interface language.
//
// OK writes everything and unloads the window; Cancel only hides it, so that
// the next opening shows what was left in its fields. frmOptions::Show keeps
// that lifecycle for the main window.
#pragma once

#include <QDialog>
#include <QPointer>
#include <functional>

class QCheckBox;
class QCloseEvent;
class QComboBox;
class QFrame;
class QResizeEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class frmOptions : public QDialog {
  Q_OBJECT

 public:
  // The largest message buffer the window lets through: room is left below
  // the 32-bit maximum.
  static constexpr qint64 kMaxMessageBufferSize = 2147483640;

  // Loads the window (Form_Load): the language list with the entry of the
  // current szLanguage selected (none for an unknown code), the texts, and
  // the fields from the current values.
  explicit frmOptions(QWidget* parent = nullptr);

  // Shows the options window modally and returns when it closes: the window a
  // Cancel left loaded in `window`, else a newly loaded one. OK and the close
  // box unload it: `window` becomes null once the event loop has run again.
  static void Show(QPointer<frmOptions>& window, QWidget* parent, std::function<void()> languageChanged);

  // Called at OK when the language changed, after szLanguage (and with it the
  // catalogue) was switched and before this window reloads its own texts: the
  // main window reloads its texts and rebuilds its grid headers.
  std::function<void()> onLanguageChanged;

  void Initiate_Language_settings();

  QLabel* lblHeaderText;
  QGroupBox* fraIntDisplay;
  QLabel* lblMessageBufferSize;
  QLineEdit* txtMessageBufferSize;
  QLabel* lblInterActiveSyslogPort;
  QLineEdit* txtInterActiveSyslogPort;
  QLabel* lblBaseName;
  QLineEdit* txtFileBaseName;
  QPushButton* cmdBrowse;
  QLabel* lblExtension;
  QLineEdit* txtFileExtension;
  QCheckBox* chkUnique;
  QLabel* lblLanguage;
  QComboBox* lsLanguage;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;

 public slots:
  // A cancelled dialog leaves the field as it was.
  void cmdBrowse_Click();
  // A blank port becomes 514 after an error box; a blank or zero buffer size
  // becomes the default 60, since a realtime grid without rows shows nothing.
  // Then the values are taken, the language switched when another one is
  // selected (none selected keeps the current one), everything written, and
  // the window unloaded.
  void cmdOK_Click();
  // Puts the current port and buffer size back into their fields and hides
  // the window without writing anything.
  void cmdCancel_Click();
  // Ends the window; the next opening loads a new one.
  void Form_Unload();

  // Escape acts as Cancel.
  void reject() override;

 protected:
  // The close box unloads the window without writing.
  void closeEvent(QCloseEvent* event) override;
  // The window keeps its designed height; what it is wider goes to the
  // log file's name, with Browse, OK and Cancel staying at the right edge.
  void resizeEvent(QResizeEvent* event) override;

 private:
  void placeControls();
  void showNumbers();

  QFrame* m_headerLine = nullptr;
};
