// The client administering a second computer through the SSH stand-in: its
// pages, its rule base and its service, and every way a connection fails.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

#include "Global.h"
#include "Messages/Messages.h"
#include "NetApi.h"
#include "Registry.h"
#include "Rules.h"
#include "client_settings.h"
#include "config_pages.h"
#include "frmMain.h"
#include "frmRules.h"
#include "frmSelectComputer.h"
#include "real_service.h"
#include "remote_computer.h"
#include "scripted_dialogs.h"
#include "temp_root.h"
#include "window_testing.h"

namespace {

const QString kParameters = QStringLiteral("HKLM\\") + QLatin1String(Global::kParametersKeyPath);
const QString kRules = QStringLiteral("HKLM\\") + QLatin1String(Global::kRulesKeyPath);

using Items = std::array<bool, 5>;  // install, uninstall, stop, start, restart

class RemoteAdminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    Rules::model() = Rules::Model{};
    ClientSettings::resetToDefaults();
    Messages::SetLanguage(Messages::kEnglish);
    Global::setDaemonProgramPathForTesting(QStringLiteral(CORVANTD_PATH));
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kRulesKeyPath, &key), ERROR_SUCCESS);
    Registry::SetNumberValue(key, "nRuleCount", 1);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, &key), ERROR_SUCCESS);
    Registry::SetNumberValue(key, "nSyslogPort", 1111);
    RegCloseKey(key);
  }
  void TearDown() override {
    m_window.reset();
    Global::setDaemonProgramPathForTesting(QString());
    Global::reset();
    Rules::model() = Rules::Model{};
  }

  frmMain& open() {
    m_window = std::make_unique<frmMain>();
    m_window->serviceStatePolling.interval = std::chrono::milliseconds(10);
    m_window->serviceStatePolling.maxPasses = 1000;
    m_window->Form_Load();
    return *m_window;
  }
  void connectTo(const QString& computer) {
    m_window->CreateKeyHandles(computer);
    m_window->ReadRegValues();
    ClientSettings::Initiate_Client_Startup();
    m_window->RefreshServiceState();
  }
  Items items() const {
    const frmMain& w = *m_window;
    return {w.mnuFileInstallService->isEnabled(), w.mnuFileUninstallService->isEnabled(),
            w.mnuStopCorvantel->isEnabled(), w.mnuStartCorvantel->isEnabled(), w.mnuReStartCorvantel->isEnabled()};
  }
  // A value on the second computer, as `corvctl reg get` prints it.
  QString remoteValue(const QString& key, const QString& name) const {
    return m_second.corvctl({"reg", "get", key, name}).trimmed();
  }

  platform::testing::TempPlatformRoot m_root;
  SecondComputer m_second;
  ScriptedDialogs m_dialogs;
  std::unique_ptr<frmMain> m_window;
};

TEST_F(RemoteAdminTest, PagesRulesAndTheServiceOfTheSecondComputer) {
  ASSERT_TRUE(m_second.installService());
  bool ok = false;
  m_second.corvctl({"reg", "add", kParameters, "nSyslogPort", "REG_DWORD", QString::number(freeUdpPort())}, &ok);
  ASSERT_TRUE(ok);
  m_second.corvctl({"reg", "add", kParameters, "szSMTPSubject", "REG_SZ", "From the second"}, &ok);
  frmMain& w = open();
  EXPECT_EQ(w.pages->general->txtSyslogPort->text(), "1111");

  connectTo("second");
  ASSERT_TRUE(m_dialogs.messages.empty()) << m_dialogs.messages[0].text.toStdString();
  EXPECT_EQ(Global::szConnectedComputer, "second");
  EXPECT_EQ(w.stbPanel2->text(), "Connected to: second");
  EXPECT_EQ(w.pages->smtp->txtMailSubject->text(), "From the second");
  EXPECT_TRUE(Global::bRulesKeyCreated);  // the second computer had no rule base yet
  // Installed and stopped there; removing is for this computer only.
  EXPECT_EQ(items(), (Items{false, false, false, true, false}));

  // The pages save there, and only there.
  w.pages->smtp->txtMailSubject->setText("Saved remotely");
  w.pbApply->click();
  EXPECT_EQ(remoteValue(kParameters, "szSMTPSubject"), "Saved remotely");
  HKEY local = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, 0, KEY_READ, &local), ERROR_SUCCESS);
  EXPECT_EQ(Registry::QueryStringValue(local, "szSMTPSubject", "(none)"), "(none)");
  RegCloseKey(local);

  // The rule editor saves its rule base there, with a raised version.
  {
    frmRules editor;
    m_dialogs.inputAnswers = {{"Remote rule", false}};
    editor.TVRules_MouseDown(Qt::RightButton, editor.node("NROOT"), QPoint());
    editor.shownMenu()->hide();
    editor.mnuRuleAdd->trigger();
    editor.toolButton("Save")->trigger();
  }
  EXPECT_TRUE(m_dialogs.messages.empty());
  EXPECT_EQ(remoteValue(kRules, "R1RuleName"), "Remote rule");
  EXPECT_EQ(remoteValue(kRules, "nRuleCount"), "1");

  // Start and stop there from the Service menu.
  w.mnuStartCorvantel->trigger();
  EXPECT_EQ(items(), (Items{false, false, true, false, true}));
  EXPECT_TRUE(m_second.corvctl({"sc", "query", "TolvaneCorvantel"}).contains("RUNNING"));
  w.mnuStopCorvantel->trigger();
  EXPECT_EQ(items(), (Items{false, false, false, true, false}));
  EXPECT_TRUE(m_dialogs.messages.empty()) << m_dialogs.messages[0].text.toStdString();

  // Back to this computer.
  connectTo(QString());
  EXPECT_EQ(w.stbPanel2->text(), "Connected to: LOCALHOST");
  EXPECT_EQ(w.pages->general->txtSyslogPort->text(), "1111");
}

TEST_F(RemoteAdminTest, EveryFailedConnectionSaysWhyAndFallsBackToThisComputer) {
  frmMain& w = open();
  const struct {
    const char* computer;
    QString message;
  } cases[] = {
      {"faraway", "Error, can't connect to faraway.\r\nReverting back to local machine"},
      {"bare", "Error, Corvantel not installed on target system.\r\nReverting back to local machine"},
      {"refusing", "Error, access denied to refusing.\r\nReverting back to local machine"},
      {"oldplatform",
       "Error, Corvantel may not be installed on target system or insufficent access permissions.\r\nReverting "
       "back to local machine"},
      // Reached, but without the service's keys.
      {"second",
       "Error, Corvantel may not be installed on target system or insufficent access permissions.\r\nReverting "
       "back to local machine"},
      // A name that could steer SSH is refused before anything runs.
      {"-oProxyCommand=touch", "Unknown error while connecting to -oProxyCommand=touch-123\r\nReverting back to "
                               "local machine"},
  };
  for (const auto& c : cases) {
    m_dialogs.messages.clear();
    connectTo(QLatin1String(c.computer));
    ASSERT_EQ(m_dialogs.messages.size(), 1u) << c.computer << ": " << m_dialogs.messages.back().text.toStdString();
    EXPECT_EQ(m_dialogs.messages[0].text, c.message) << c.computer;
    EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
    EXPECT_EQ(Global::szConnectedComputer, "LOCALHOST") << c.computer;
    EXPECT_EQ(w.stbPanel2->text(), "Connected to: LOCALHOST") << c.computer;
    EXPECT_TRUE(Global::bParametersOpen);
    EXPECT_EQ(w.pages->general->txtSyslogPort->text(), "1111");
  }
}

// The selection window: typed names, browsed names, Cancel during a browse.
TEST_F(RemoteAdminTest, TheSelectionWindowBrowsesAndConnects) {
  // A stand-in for avahi-browse on the PATH.
  const QString bin = QString::fromStdString((m_root.base() / "bin").string());
  ASSERT_TRUE(QDir().mkpath(bin));
  QFile browse(bin + "/avahi-browse");
  ASSERT_TRUE(browse.open(QIODevice::WriteOnly));
  browse.write("#!/bin/sh\n"
               "[ -f \"$0.slow\" ] && sleep 30\n"
               "echo '+;eth0;IPv4;second;_ssh._tcp;local'\n"
               "echo '=;eth0;IPv4;second;_ssh._tcp;local;second;192.0.2.7;22;'\n"
               "echo '=;eth0;IPv6;second;_ssh._tcp;local;second;2001:db8::7;22;'\n"
               "echo '=;eth0;IPv4;other host;_ssh._tcp;local;faraway;192.0.2.8;22;'\n");
  browse.close();
  browse.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", bin.toUtf8() + ":" + path);
  EXPECT_EQ(NetApi::EnumNetworkResources(NetApi::RESOURCEDISPLAYTYPE_SERVER), (QStringList{"\\\\second", "\\\\faraway"}));
  EXPECT_TRUE(NetApi::EnumNetworkResources(1).isEmpty());

  ASSERT_TRUE(m_second.installService());
  frmMain& w = open();
  whenModalOpens([&](QWidget* window) {
    auto* select = qobject_cast<frmSelectComputer*>(window);
    ASSERT_NE(select, nullptr);
    EXPECT_EQ(select->windowTitle(), "Select Computer");
    select->cbComputerList_GotFocus();
    ASSERT_EQ(select->cbComputerList->count(), 2);
    select->cbComputerList_Click(0);
    EXPECT_EQ(select->txtComputer->text(), "\\\\second");
    select->cmdConnect->click();
  });
  w.mnuSelectComputer->trigger();
  EXPECT_TRUE(m_dialogs.messages.empty());
  EXPECT_EQ(Global::szConnectedComputer, "\\\\second");

  // Cancel stops a browse that hangs, and the list stays unfilled.
  QFile(bin + "/avahi-browse.slow").open(QIODevice::WriteOnly);
  QElapsedTimer clock;
  clock.start();
  whenModalOpens([&](QWidget* window) {
    auto* select = qobject_cast<frmSelectComputer*>(window);
    QTimer::singleShot(200, select, [select] { select->cmdCancel->click(); });
    select->cbComputerList_GotFocus();
    EXPECT_EQ(select->cbComputerList->count(), 0);
  });
  w.mnuSelectComputer->trigger();
  EXPECT_LT(clock.elapsed(), 5000);
  EXPECT_EQ(Global::szConnectedComputer, "\\\\second");  // nothing changed

  // An empty name is this computer.
  whenModalOpens([](QWidget* window) { qobject_cast<frmSelectComputer*>(window)->cmdConnect->click(); });
  w.mnuSelectComputer->trigger();
  EXPECT_EQ(Global::szConnectedComputer, "LOCALHOST");
  qputenv("PATH", path);
}

TEST_F(RemoteAdminTest, RendersTheSelectionWindowInEveryLanguage) {
  for (const char* code : {"EN", "DE", "JP", "ES"}) {
    Messages::SetLanguage(code);
    frmSelectComputer window({});
    window.show();
    EXPECT_FALSE(renderToPng(&window, QStringLiteral("frmSelectComputer-%1").arg(QLatin1String(code))).isEmpty());
  }
  Messages::SetLanguage(Messages::kEnglish);
}

}  // namespace
