// frmUpdateCheck: the modal window that compares the daemon program beside
// the client with the newest version the update service offers. Check fetches
// the update record, an XML document, from
//   <szUpdateService>CheckUpdate.asp?ProductSKU=Corvantel
// (szUpdateService: the client's machine setting, else the project's
// service), shows the offered version, colours the frame by how far the
// installed one lags behind and enables the link to the record's InfoUrl.
// A check that fails shows an error box and leaves the window as it was.
#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>
#include <chrono>
#include <cstdint>

#include "GetFileVersion.h"

class LinkLabel;
class QGroupBox;
class QLabel;
class QPushButton;

class frmUpdateCheck : public QDialog {
  Q_OBJECT

 public:
  // The update record's elements (the first element of each name counts).
  struct UpdateRecord {
    QString productSku;  // kept, not compared
    std::int32_t major = 0, minor = 0, build = 0;
    QString infoUrl;
    bool beta = false;  // isBetaBuild 1
  };

  explicit frmUpdateCheck(QWidget* parent = nullptr);

  void Form_Load();
  void Initiate_Language_settings();

  // The update record's address for the service address `service`.
  static QUrl recordAddress(const QString& service);
  // How long Check waits for the whole answer (tests shorten it).
  static std::chrono::milliseconds answerTimeout();
  static void setAnswerTimeoutForTesting(std::chrono::milliseconds timeout);  // 0: the real one

  // The colour of the frame's text (its red) for an installed version against
  // the offered one, compared as versions: when the offered one is newer, 255
  // if the major numbers differ, else 128 if the minor ones do, else 64; 0 for
  // the same or an older version (nothing to fetch).
  static int lagColour(const FileVersion& running, const UpdateRecord& offered);

  const QUrl& address() const { return m_address; }  // the update record's

  QLabel* lblUpdate;
  QGroupBox* fraCurrent;
  QLabel* lblCurrentVersion;
  QGroupBox* fraNewVersion;
  QLabel* lblNewVersion;
  LinkLabel* lblDownload;
  QPushButton* cmdCheck;
  QPushButton* cmdCancel;

 public slots:
  // Fetches and shows the record. It waits for the answer (at most
  // answerTimeout()) with the hourglass, user input held back meanwhile.
  void cmdCheck_Click();
  // Opens the record's InfoUrl when it is an http or https address; any other
  // comes from the network and is refused (error 5, an empty one error 2).
  void lblDownload_Click();
  void cmdCancel_Click();

 private:
  QUrl m_address;
  FileVersion m_running;
  UpdateRecord m_record;   // of the last check that succeeded
  bool m_checked = false;  // a check has succeeded: Cancel reads Close
};
