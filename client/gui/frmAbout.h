// frmAbout: the modal window that says which versions are installed: the
// daemon program's (the one the service was installed with, else the one
// beside the client) and the client's own. It links to the product's web
// address and starts the system information program registered on this
// computer.
#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>

#include "platform/registry.h"

class LinkLabel;
class QLabel;
class QPushButton;

class frmAbout : public QDialog {
  Q_OBJECT

 public:
  explicit frmAbout(QWidget* parent = nullptr);

  // Applies the language and fills the version texts and the address.
  void Form_Load();
  void Initiate_Language_settings();

  // The daemon program whose version the title shows: the program of the
  // service's ImagePath when the service's key exists on this computer, else
  // Global::daemonProgramPath().
  static QString daemonProgram();
  // The client's own version, "major.minor.build" (the project's version).
  static QString clientVersion();
  // The product's web address: the client's machine setting szProductSite,
  // else the home page the Help menu opens, else the project's web pages.
  static QUrl productSite();

  // Starts the system information program registered under HKEY_LOCAL_MACHINE
  // (the PATH of "SOFTWARE\Microsoft\Shared Tools\MSINFO", else MSINFO32.EXE
  // in the folder of "SOFTWARE\Microsoft\Shared Tools Location"'s MSINFO);
  // when there is none or it cannot be started: a message box, "System
  // Information Is Unavailable At This Time".
  void StartSysInfo();

  // Reads a value through a buffer of 1024 bytes: REG_SZ and REG_EXPAND_SZ as
  // the text up to its terminating zero, REG_DWORD as "&h" and its bytes in
  // hexadecimal from the last to the first (two digits each), any other type
  // as its bytes. False, with `value` untouched, when the key or the value
  // cannot be read.
  static bool GetKeyValue(HKEY root, const QString& keyName, const QString& valueName, QString& value);

  QLabel* lblTitle;
  QLabel* lblVersion;
  QLabel* lblMoreInfo;
  LinkLabel* lblProductSite;
  QPushButton* cmdSysInfo;
  QPushButton* cmdOK;

 public slots:
  void cmdSysInfo_Click();
  void lblProductSite_Click();
  void cmdOK_Click();

 private:
  QUrl m_productSite;
};
