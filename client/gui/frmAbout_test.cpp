#include "frmAbout.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>

#include "GetFileVersion.h"
#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "client_settings.h"
#include "frmMain.h"
#include "link_label.h"
#include "scripted_dialogs.h"
#include "temp_root.h"
#include "window_testing.h"

namespace {

class AboutWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    ClientSettings::resetToDefaults();
    ClientSettings::Initiate_Client_Startup();  // the client's machine key
    ASSERT_TRUE(m_folder.isValid());
    // The daemon beside the client: a copy of the built one.
    m_daemon = m_folder.filePath("corvantd");
    ASSERT_TRUE(QFile::copy(QStringLiteral(CORVANTD_PATH), m_daemon));
    Global::setDaemonProgramPathForTesting(m_daemon);
  }
  void TearDown() override {
    Global::setDaemonProgramPathForTesting(QString());
    frmMain::setHelpFolderCandidatesForTesting({});
    Global::reset();
    ClientSettings::resetToDefaults();
    Messages::SetLanguage(Messages::kEnglish);
  }

  static void setText(const char* keyPath, const char* name, const QString& text, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, keyPath, &key), ERROR_SUCCESS);
    const std::string data = text.toStdString();
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()), DWORD(data.size() + 1));
    RegCloseKey(key);
  }
  // A program that leaves the file `marker` behind when it runs.
  static QString markerScript(const QString& path, const QString& marker) {
    QFile script(path);
    EXPECT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\necho started > '%1'\n").arg(marker).toUtf8());
    script.close();
    script.setPermissions(script.permissions() | QFile::ExeOwner);
    return path;
  }
  static bool appears(const QString& file) {
    for (QDeadlineTimer deadline(5000); !QFile::exists(file) && !deadline.hasExpired();) QThread::msleep(20);
    return QFile::exists(file);
  }
  // Whether the last click said that there is no system information, alone.
  bool saidUnavailable() {
    const bool said = m_dialogs.messages.size() == 1 &&
                      m_dialogs.messages[0].text == "System Information Is Unavailable At This Time";
    m_dialogs.messages.clear();
    return said;
  }

  platform::testing::TempPlatformRoot m_root;
  ScriptedDialogs m_dialogs;
  QTemporaryDir m_folder;
  QString m_daemon;
};

TEST_F(AboutWindowTest, ShowsTheVersionOfTheServicesProgramElseOfTheOneBeside) {
  const QString version = versionText(GetFileVersion(QStringLiteral(CORVANTD_PATH)));
  frmAbout w;
  EXPECT_EQ(w.lblTitle->text(), "Tolvane Corvantel Version: " + version);
  EXPECT_EQ(w.lblVersion->text(), "Client Version " + frmAbout::clientVersion());
  EXPECT_EQ(frmAbout::clientVersion(), version) << "client and daemon of one build are one release";

  Global::setDaemonProgramPathForTesting(m_folder.filePath("missing"));
  // A service key without a program says nothing about it.
  setText("SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel", "DisplayName", "TolvaneCorvantel");
  EXPECT_EQ(frmAbout().lblTitle->text(), "Tolvane Corvantel Version: 0.0.0");

  // The service's command line, its program quoted as it may hold blanks.
  const QString spaced = m_folder.filePath("with blank/corvantd");
  ASSERT_TRUE(QDir().mkpath(m_folder.filePath("with blank")));
  ASSERT_TRUE(QFile::rename(m_daemon, spaced));
  for (const QString& imagePath : {spaced, "\"" + spaced + "\" -x"}) {
    setText("SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel", "ImagePath", imagePath, REG_EXPAND_SZ);
    EXPECT_EQ(frmAbout::daemonProgram(), spaced) << imagePath.toStdString();
    EXPECT_EQ(frmAbout().lblTitle->text(), "Tolvane Corvantel Version: " + version);
  }
}

TEST_F(AboutWindowTest, SystemInformationStartsTheRegisteredProgramOrSaysItIsUnavailable) {
  frmAbout w;
  w.cmdSysInfo->click();  // nothing registered, as on any Linux computer
  EXPECT_TRUE(saidUnavailable());

  // A folder: MSINFO32.EXE in it, once it is there.
  setText("SOFTWARE\\Microsoft\\Shared Tools Location", "MSINFO", m_folder.path());
  w.cmdSysInfo->click();
  EXPECT_TRUE(saidUnavailable());
  markerScript(m_folder.filePath("MSINFO32.EXE"), m_folder.filePath("from-folder"));
  w.cmdSysInfo->click();
  EXPECT_TRUE(appears(m_folder.filePath("from-folder")));

  // The program's own path counts first; one that is not there cannot start.
  const char* programKey = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
  setText(programKey, "PATH", markerScript(m_folder.filePath("sysinfo.sh"), m_folder.filePath("from-path")));
  w.cmdSysInfo->click();
  EXPECT_TRUE(appears(m_folder.filePath("from-path")));
  EXPECT_TRUE(m_dialogs.messages.empty());
  setText(programKey, "PATH", m_folder.filePath("no-such-program"));
  w.cmdSysInfo->click();
  EXPECT_TRUE(saidUnavailable());
}

TEST_F(AboutWindowTest, TheProductSiteIsTheSettingElseTheHomePage) {
  OpenedUrls browser;
  // The home page the Help menu opens, made by the build beside the program.
  const QString home = QCoreApplication::applicationDirPath() + "/docs/index.html";
  frmAbout local;
  EXPECT_EQ(local.lblProductSite->text(), home);
  local.lblProductSite->click();
  frmMain::setHelpFolderCandidatesForTesting({m_folder.filePath("nowhere")});
  EXPECT_EQ(frmAbout::productSite(), QUrl("https://corvantel.tolvane.example/docs/index.html"));

  Registry::SetStringValue(Global::hClientKeyMachine, "szProductSite", "https://shop.example.org/corvantel");
  frmAbout shop;
  EXPECT_EQ(shop.lblProductSite->text(), "https://shop.example.org/corvantel");
  shop.lblProductSite->click();
  EXPECT_EQ(browser.urls,
            (std::vector<QUrl>{QUrl::fromLocalFile(home), QUrl("https://shop.example.org/corvantel")}));
  EXPECT_TRUE(m_dialogs.messages.empty());

  Registry::SetStringValue(Global::hClientKeyMachine, "szProductSite", m_folder.filePath("gone.html"));
  frmAbout().lblProductSite->click();
  EXPECT_EQ(browser.urls.size(), 2u);
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, "Error 2 opening the Corvantel Ordersite");
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
}

TEST_F(AboutWindowTest, OkClosesAndEveryLanguageRenders) {
  for (const char* code : {"EN", "DE", "JP", "ES"}) {
    ClientSettings::szLanguage = code;
    frmAbout w;
    w.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.windowTitle(), Messages::GetMessageText(300)) << code;
    EXPECT_FALSE(renderToPng(&w, QStringLiteral("frmAbout-%1").arg(QLatin1String(code))).isEmpty()) << code;
    w.cmdOK->click();
    EXPECT_FALSE(w.isVisible()) << code;
  }
}

}  // namespace
