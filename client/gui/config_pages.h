// The five configuration pages of the main window (tabs 1 to 5): General,
// File, ODBC, Event Log and SMTP. Each page shows part of a ParameterValues
// and takes it back; ConfigurationPages holds the five and is what the main
// window's ReadRegValues and SaveAllSettings talk to.
#pragma once

#include <QPointer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <optional>

#include "ParameterValues.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QRadioButton;

// What every page offers: its language step, and the exchange with the values.
class ConfigPage : public QWidget {
  Q_OBJECT

 public:
  using QWidget::QWidget;

  // Language font on the page and every control on it, then its catalogue texts.
  virtual void Initiate_Language_settings() = 0;
  // Shows `values` in the controls, and remembers what each one shows.
  virtual void fill(const ParameterValues& values) = 0;
  // Takes the controls the user changed since fill into `values`; members
  // whose control still shows what fill showed, and members without a
  // control, stay as they are. A stored value that the daemon reads in
  // another form than the control shows (a flag of 2, a port of 0) is so
  // kept as it is stored.
  virtual void collect(ParameterValues& values) = 0;

 protected:
  void applyLanguageFont();
};

class GeneralPage : public ConfigPage {
  Q_OBJECT

 public:
  explicit GeneralPage(QWidget* parent = nullptr);

  void Initiate_Language_settings() override;
  void fill(const ParameterValues& values) override;
  // A blank syslog port is reported (error box 212) and becomes "514"; a
  // blank TCP or TLS port becomes "0", off, without a message.
  void collect(ParameterValues& values) override;

  QGroupBox* frmGeneral;
  QLabel* lblSyslogPort;
  QLineEdit* txtSyslogPort;  // digits only, at most 65535 (error box 213)
  QGroupBox* fraTimeMode;
  QRadioButton* obLocaltime;
  QRadioButton* obGMT;
  QLabel* lblSyslogSendServer;
  QLineEdit* txtSyslogSendServer;
  QCheckBox* chReloadRuleBase;
  QCheckBox* chkSyslogReplaceSource;
  QCheckBox* chkResolveHostName;
  QCheckBox* chkUseOrgTimeStamp;  // its tool tip also carries the time stamp caveats
  // Reception over TCP and TLS. The files are paths on the computer the
  // service runs on, which need not be this one: nothing here browses for them.
  QGroupBox* fraTcpTls;
  QLabel* lblTcpPort;
  QLineEdit* txtTcpPort;  // digits only, at most 65535 (error box 2512)
  QLabel* lblTlsPort;
  QLineEdit* txtTlsPort;  // digits only, at most 65535 (error box 2513)
  QLabel* lblTlsCertificateFile;
  QLineEdit* txtTlsCertificateFile;
  QLabel* lblTlsKeyFile;
  QLineEdit* txtTlsKeyFile;
  QLabel* lblTlsCaFile;
  QLineEdit* txtTlsCaFile;

 public slots:
  void obLocaltime_Click();
  void obGMT_Click();

 private:
  // The time mode an option button set since fill; none keeps the stored
  // value, such as 2, while the user leaves the choice alone.
  std::optional<std::int32_t> m_nTimeMode;
};

class FilePage : public ConfigPage {
  Q_OBJECT

 public:
  explicit FilePage(QWidget* parent = nullptr);

  void Initiate_Language_settings() override;
  void fill(const ParameterValues& values) override;
  void collect(ParameterValues& values) override;

  QGroupBox* frmFile;
  QLabel* lblBaseLogFilePath;
  QLineEdit* txBaseLogFilePath;
  QLabel* lblBaseLogFileName;
  QLineEdit* txBaseLogFileName;
  QLabel* lblBaseLogFileExtension;
  QLineEdit* txBaseLogFileExtension;
  QCheckBox* chkUnique;
  QCheckBox* chkFileDateTime;
  QCheckBox* chkFileFacility;
  QCheckBox* chkFilePriority;
};

class OdbcPage : public ConfigPage {
  Q_OBJECT

 public:
  explicit OdbcPage(QWidget* parent = nullptr);

  void Initiate_Language_settings() override;
  // The password box shows the clear text: unscrambled when nODBCEnCryption is 1.
  void fill(const ParameterValues& values) override;
  // The password is stored scrambled exactly when "Enable Encryption" is checked.
  // A blank batch size, idle time or spool limit becomes the service's
  // default (1000, 60, 1024), without a message.
  void collect(ParameterValues& values) override;

  QGroupBox* frmODBC;
  QLabel* lblODBCDSN;
  QLineEdit* txLogODBCDSN;
  QLabel* lblODBCUID;
  QLineEdit* txLogODBCUID;
  QLabel* lblODBCPWD;
  QLineEdit* txLogODBCPWD;  // echoes as dots; text() is the clear password
  QLabel* lblODBCTABLE;
  QLineEdit* txLogODBCTABLE;
  QCheckBox* chODBCEnCryption;
  QGroupBox* fraFieldNames;
  QLabel* lblReceivedAt;
  QLineEdit* txtReceivedAt;
  QLabel* lblFacility;
  QLineEdit* txtFacility;
  QLabel* lblPriority;
  QLineEdit* txtPriority;
  QLabel* lblFromHost;
  QLineEdit* txtFromHost;
  QLabel* lblMessage;
  QLineEdit* txtMessage;
  // How the service writes to each data source. A stored 0 in the batch size
  // or the spool limit (the default) shows the default, as the syslog port's 0
  // shows 514, and stays 0 until edited.
  QGroupBox* fraODBCWriting;
  QLabel* lblODBCBatchSize;
  QLineEdit* txtODBCBatchSize;  // digits only, at most 100000 (error box 2608)
  QLabel* lblODBCIdleTimeout;
  QLineEdit* txtODBCIdleTimeout;  // digits only, at most 4294967295 (error box 2609)
  QLabel* lblODBCSpoolLimit;
  QLineEdit* txtODBCSpoolLimit;  // digits only, at most 4294967295 (error box 2610)

 private slots:
  // The password field takes what fits the daemon's room for the stored
  // form: a third of it when the password is stored scrambled.
  void setPasswordLimit(bool scrambled);
};

class EventLogPage : public ConfigPage {
  Q_OBJECT

 public:
  explicit EventLogPage(QWidget* parent = nullptr);

  void Initiate_Language_settings() override;
  // Also enables the check box, which stays disabled until values are shown.
  void fill(const ParameterValues& values) override;
  void collect(ParameterValues& values) override;

  QCheckBox* cbReplaceEventLogSource;
};

class SmtpPage : public ConfigPage {
  Q_OBJECT

 public:
  explicit SmtpPage(QWidget* parent = nullptr);

  void Initiate_Language_settings() override;
  void fill(const ParameterValues& values) override;
  // A blank port becomes "25", the port both the client and the daemon assume
  // when the value is missing; no message, as none exists for it.
  void collect(ParameterValues& values) override;

  QGroupBox* frmsetSMTP;
  QLabel* lblMailServer;
  QLineEdit* txtMailServer;
  QLabel* lblMailSender;
  QLineEdit* txtMailSender;
  QLabel* lblMailRecipient;
  QLineEdit* txtMailRecipient;
  QLabel* lblMailSubject;
  QLineEdit* txtMailSubject;
  QLabel* lblSMTPPort;
  QLineEdit* txtSMTPPort;  // digits only, at most 65535 (error box 214)
};

// The five pages in tab order. They are created as children of `parent`; the
// main window puts them into its tab control, which takes them over. Pages
// that never got a parent are deleted with this object.
class ConfigurationPages {
 public:
  // The catalogue numbers of the pages' tab captions, in tab order.
  static constexpr std::array<int, 5> kCaptionNumbers{26, 27, 28, 29, 30};

  explicit ConfigurationPages(QWidget* parent = nullptr);
  ~ConfigurationPages();
  ConfigurationPages(const ConfigurationPages&) = delete;
  ConfigurationPages& operator=(const ConfigurationPages&) = delete;

  GeneralPage* general;
  FilePage* file;
  OdbcPage* odbc;
  EventLogPage* eventLog;
  SmtpPage* smtp;

  std::array<ConfigPage*, 5> pages() const { return {general, file, odbc, eventLog, smtp}; }

  void fill(const ParameterValues& values);
  void collect(ParameterValues& values);
  void Initiate_Language_settings();

  // SaveAllSettings' part: reads `key` again, takes what the user changed
  // (collect) and writes what differs from what was read, and the values the
  // key lacks (writeChangedParameterValues). A changed text longer than the
  // daemon keeps is not saved (error box 2009 with the value's name), nor is
  // anything after the first write that fails (error box 2008 with the
  // value's name and the system's text for the error). True when all was
  // written; the controls keep the edits either way.
  bool save(HKEY key, QWidget* owner);

 private:
  std::array<QPointer<ConfigPage>, 5> m_owned;
};
