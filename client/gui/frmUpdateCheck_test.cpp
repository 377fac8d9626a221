#include "frmUpdateCheck.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "GetFileVersion.h"
#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "client_settings.h"
#include "link_label.h"
#include "scripted_dialogs.h"
#include "temp_root.h"
#include "window_testing.h"

namespace {

// The update service on loopback: answers every request with `answer`, a
// whole HTTP/1.1 response, or never while it is empty.
class UpdateService {
 public:
  UpdateService() {
    EXPECT_TRUE(m_server.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
      while (QTcpSocket* client = m_server.nextPendingConnection()) {
        QObject::connect(client, &QTcpSocket::readyRead, client, [this, client] {
          m_received[client] += client->readAll();
          if (!m_received[client].contains("\r\n\r\n") || answer.isEmpty()) return;
          requests << QString::fromLatin1(m_received[client].left(m_received[client].indexOf("\r\n")));
          client->write(answer);
          client->disconnectFromHost();
        });
      }
    });
  }
  QString address() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_server.serverPort()); }

  static QByteArray response(const QByteArray& body, const QByteArray& status = "200 OK") {
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: text/xml\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
  }
  void serve(const QByteArray& body) { answer = response(body); }

  QByteArray answer;
  QStringList requests;  // their request lines

 private:
  QTcpServer m_server;
  std::map<QTcpSocket*, QByteArray> m_received;
};

QByteArray record(int major, int minor, int build, bool beta = false,
                  const QString& infoUrl = QStringLiteral("https://corvantel.tolvane.example/news/")) {
  return QStringLiteral(
             "<?xml version=\"1.0\"?>\n<CheckUpdate><ProductSKU>Corvantel</ProductSKU>"
             "<VersionMajor>%1</VersionMajor><VersionMinor>%2</VersionMinor><VersionBuild>%3</VersionBuild>"
             "<InfoUrl>%4</InfoUrl><isBetaBuild>%5</isBetaBuild></CheckUpdate>\n")
      .arg(QString::number(major), QString::number(minor), QString::number(build), infoUrl.toHtmlEscaped(),
           QString::number(beta ? 1 : 0))
      .toUtf8();
}

class UpdateCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    ClientSettings::resetToDefaults();
    ClientSettings::Initiate_Client_Startup();  // the client's machine key
    Messages::SetLanguage(Messages::kEnglish);
    ASSERT_TRUE(m_folder.isValid());
    // The daemon beside the client: a copy of the built one.
    const QString daemon = m_folder.filePath("corvantd");
    ASSERT_TRUE(QFile::copy(QStringLiteral(CORVANTD_PATH), daemon));
    Global::setDaemonProgramPathForTesting(daemon);
    m_running = GetFileVersion(daemon);
    ASSERT_TRUE(m_running.ok);
    ASSERT_GT(m_running.major, 0);
    Registry::SetStringValue(Global::hClientKeyMachine, "szUpdateService", m_service.address());
  }
  void TearDown() override {
    frmUpdateCheck::setAnswerTimeoutForTesting(std::chrono::milliseconds(0));
    Global::setDaemonProgramPathForTesting(QString());
    Global::reset();
    ClientSettings::resetToDefaults();
    Messages::SetLanguage(Messages::kEnglish);
  }

  static int frameRed(const frmUpdateCheck& w) {
    return w.fraNewVersion->palette().color(QPalette::Active, QPalette::WindowText).red();
  }

  platform::testing::TempPlatformRoot m_root;
  ScriptedDialogs m_dialogs;
  QTemporaryDir m_folder;
  UpdateService m_service;
  FileVersion m_running;
};

TEST_F(UpdateCheckTest, WithoutSettingOrProgramItAsksOursAndRunsVersionZero) {
  Global::setDaemonProgramPathForTesting(m_folder.filePath("missing"));
  Registry::SetStringValue(Global::hClientKeyMachine, "szUpdateService", "");  // deleted
  frmUpdateCheck w;
  EXPECT_EQ(w.lblCurrentVersion->text(), "Version: 0.0.0");
  EXPECT_EQ(w.address(),
            QUrl("https://corvantel.tolvane.example/updates/CheckUpdate.asp?ProductSKU=Corvantel"));
  EXPECT_EQ(frmUpdateCheck::recordAddress("http://intranet.example/corvantel"),
            QUrl("http://intranet.example/corvantel/CheckUpdate.asp?ProductSKU=Corvantel"));
}

TEST_F(UpdateCheckTest, TheOfferedVersionIsComparedAsAVersion) {
  const FileVersion& r = m_running;
  struct Case {
    const char* what;
    int major, minor, build;
    bool beta;
    int colour;  // 0: nothing newer, the link stays disabled
  };
  const Case cases[] = {
      {"newer major", r.major + 1, 0, 0, false, 255},
      {"newer minor", r.major, r.minor + 1, 0, false, 128},
      {"newer build", r.major, r.minor, r.build + 1, false, 64},
      {"the same", r.major, r.minor, r.build, false, 0},
      {"older major, newer minor and build", r.major - 1, r.minor + 1, r.build + 1, false, 0},
      {"older minor, newer build", r.major, r.minor - 1, r.build + 1, false, 0},
      {"a newer beta", r.major, r.minor + 1, 0, true, 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    m_service.serve(record(c.major, c.minor, c.build, c.beta));
    frmUpdateCheck w;
    w.cmdCheck->click();
    EXPECT_TRUE(m_dialogs.messages.empty());
    EXPECT_EQ(
        w.lblNewVersion->text(),
        QStringLiteral("Version: %1.%2.%3").arg(c.major).arg(c.minor).arg(c.build) + (c.beta ? " Beta" : ""));
    EXPECT_EQ(frameRed(w), c.colour);
    EXPECT_EQ(w.lblDownload->isEnabled(), c.colour != 0);
    EXPECT_TRUE(w.fraNewVersion->isEnabled() && w.lblNewVersion->isEnabled());
    EXPECT_EQ(w.cmdCancel->text(), "Close");
  }
  ASSERT_FALSE(m_service.requests.isEmpty());
  EXPECT_EQ(m_service.requests[0], "GET /CheckUpdate.asp?ProductSKU=Corvantel HTTP/1.1");

  // The first element of each name counts, wherever it is.
  m_service.serve(
      "<Answer><Status>ok</Status><Record><VersionBuild>7</VersionBuild><VersionMinor>1</VersionMinor>"
      "<VersionMajor>9</VersionMajor></Record><VersionMajor>1</VersionMajor></Answer>");
  frmUpdateCheck w;
  w.cmdCheck->click();
  EXPECT_EQ(w.lblNewVersion->text(), "Version: 9.1.7");
}

TEST_F(UpdateCheckTest, AFailedCheckSaysWhyAndLeavesTheWindowAsItWas) {
  struct Case {
    const char* what;
    QByteArray answer;
    const char* description;
    const char* reason;  // a part of it
  };
  const auto answer = [](const QByteArray& body) { return UpdateService::response(body); };
  const Case cases[] = {
      {"malformed XML", answer("<CheckUpdate><VersionMajor>9</VersionMinor></CheckUpdate>"),
       "The update record could not be read.", "line 1"},
      {"an HTTP error", UpdateService::response("", "500 Internal Server Error"),
       "The update service answered with an error.", "HTTP status 500 Internal Server Error"},
      {"no build",
       answer("<CheckUpdate><VersionMajor>9</VersionMajor><VersionMinor>1</VersionMinor></CheckUpdate>"),
       "The update record could not be read.", "It has no VersionBuild."},
      {"far too large", answer(QByteArray(2 * 1024 * 1024, ' ')), "The update record could not be read.",
       "larger than"},
      {"no answer", QByteArray(), "The update service did not answer.", "within 0.3 seconds"},
  };
  frmUpdateCheck::setAnswerTimeoutForTesting(std::chrono::milliseconds(300));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    m_service.serve(record(m_running.major, m_running.minor + 1, 0));
    frmUpdateCheck w;
    w.cmdCheck->click();
    ASSERT_TRUE(m_dialogs.messages.empty());
    m_service.answer = c.answer;
    w.cmdCheck->click();
    ASSERT_EQ(m_dialogs.messages.size(), 1u);
    const QString text = m_dialogs.messages[0].text;
    EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
    EXPECT_TRUE(text.startsWith(QLatin1String(c.description) + "\r\n")) << text.toStdString();
    EXPECT_TRUE(text.contains(QLatin1String(c.reason))) << text.toStdString();
    // What the first check showed stays.
    EXPECT_EQ(w.lblNewVersion->text(),
              QStringLiteral("Version: %1.%2.0").arg(m_running.major).arg(m_running.minor + 1));
    EXPECT_EQ(frameRed(w), 128);
    EXPECT_TRUE(w.lblDownload->isEnabled());
    m_dialogs.messages.clear();
  }

  // Nobody listening there.
  QTcpServer closed;
  ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
  Registry::SetStringValue(Global::hClientKeyMachine, "szUpdateService",
                           QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort()));
  closed.close();
  frmUpdateCheck w;
  w.cmdCheck->click();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_TRUE(m_dialogs.messages[0].text.startsWith("The update service could not be reached.\r\n"));
  EXPECT_FALSE(w.fraNewVersion->isEnabled());
  EXPECT_EQ(w.cmdCancel->text(), "&Cancel");
}

TEST_F(UpdateCheckTest, TheDownloadLinkOpensOnlyAWebPage) {
  OpenedUrls browser;
  const auto clickWith = [&](const QString& infoUrl) {
    m_service.serve(record(m_running.major + 1, 0, 0, false, infoUrl));
    frmUpdateCheck w;
    w.cmdCheck->click();
    EXPECT_TRUE(w.lblDownload->isEnabled());
    w.lblDownload->click();
  };
  clickWith("https://corvantel.tolvane.example/news/4.0.html");
  ASSERT_EQ(browser.urls.size(), 1u);
  EXPECT_EQ(browser.urls[0], QUrl("https://corvantel.tolvane.example/news/4.0.html"));
  EXPECT_TRUE(m_dialogs.messages.empty());

  for (const char* refused : {"file:///etc/passwd", "javascript:alert(1)"}) {
    SCOPED_TRACE(refused);
    clickWith(refused);
    EXPECT_EQ(browser.urls.size(), 1u);
    ASSERT_EQ(m_dialogs.messages.size(), 1u);
    EXPECT_EQ(m_dialogs.messages[0].text, "Error 5 opening the more Information Website");
    m_dialogs.messages.clear();
  }
  clickWith("");
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, "Error 2 opening the more Information Website");
}

TEST_F(UpdateCheckTest, OpensWithNothingOfferedAndRendersInEveryLanguage) {
  m_service.serve(record(m_running.major, m_running.minor + 1, 0, true));
  for (const char* code : {"EN", "DE", "JP", "ES"}) {
    SCOPED_TRACE(code);
    ClientSettings::szLanguage = code;
    frmUpdateCheck w;
    w.show();
    EXPECT_EQ(w.lblCurrentVersion->text(), Messages::GetMessageText(454) + ": " + versionText(m_running));
    EXPECT_FALSE(w.fraNewVersion->isEnabled() || w.lblNewVersion->isEnabled() || w.lblDownload->isEnabled());
    EXPECT_EQ(w.cmdCancel->text(), Messages::GetMessageText(33));
    w.cmdCheck->click();
    EXPECT_EQ(w.cmdCancel->text(), Messages::GetMessageText(457));
    QCoreApplication::processEvents();
    EXPECT_FALSE(renderToPng(&w, QStringLiteral("frmUpdateCheck-%1").arg(QLatin1String(code))).isEmpty());
    w.cmdCancel->click();
    EXPECT_FALSE(w.isVisible());
  }
}

}  // namespace
