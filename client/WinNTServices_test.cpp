// The service functions and the state window's commands against the real
// daemon, installed as a service in a private platform root and listening on
// a loopback port of its own, so that tests can run side by side.
#include "WinNTServices.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QProgressBar>
#include <QThread>
#include <QUdpSocket>
#include <functional>

#include "Global.h"
#include "Messages/Messages.h"
#include "fake_service_menu.h"
#include "frmServiceState.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "scripted_dialogs.h"
#include "real_service.h"
#include "temp_root.h"

namespace {

using WinNTServices::QueryNTServiceState;
using WinNTServices::StartNTService;
using WinNTServices::StopNTService;

const QString kService = QString::fromLatin1(WinNTServices::kServiceName);

// ---- Without the service ------------------------------------------------------------

TEST(ServiceFunctionsTest, AMissingServiceGivesTheManagersErrorToEveryCall) {
  platform::testing::TempPlatformRoot root;
  for (const QString computer : {"", "LOCALHOST"}) {
    EXPECT_EQ(QueryNTServiceState(computer, kService), 1060u);
    EXPECT_EQ(StartNTService(computer, kService), 1060u);
    EXPECT_EQ(StopNTService(computer, kService), 1060u);
    const WinNTServices::ServiceState found = WinNTServices::queryServiceState(computer, kService);
    EXPECT_EQ(found.error, 1060u);
    EXPECT_EQ(found.state, 0u);
  }
  // Any other name goes to that computer's manager.
  EXPECT_EQ(QueryNTServiceState("logserver", kService), 53u);
  EXPECT_EQ(StartNTService("logserver", kService), 53u);
}

// ---- With the real daemon -----------------------------------------------------------

constexpr FakeServiceMenu::Items kStopped{false, true, false, true, false};
constexpr FakeServiceMenu::Items kRunning{false, true, true, false, true};

class RealServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    Global::bParametersOpen = true;
    Messages::SetLanguage(Messages::kEnglish);
    QProcess install;
    install.start(QStringLiteral(CORVANTD_PATH), {QStringLiteral("-i")});
    ASSERT_TRUE(install.waitForFinished(10000));
    ASSERT_EQ(install.readAllStandardOutput(), "TolvaneCorvantel installed\n");
    setPort(freeUdpPort());
  }

  void TearDown() override {
    // Ending the process is enough: the manager then reports the service stopped.
    if (QueryNTServiceState("", kService) != SERVICE_STOPPED) {
      killService(m_root.machine());
      EXPECT_TRUE(eventually([] { return QueryNTServiceState("", kService) == SERVICE_STOPPED; }, 5000));
    }
    Global::reset();
  }

  static void setPort(int port) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, &key), ERROR_SUCCESS);
    const DWORD value = static_cast<DWORD>(port);
    EXPECT_EQ(
        RegSetValueExA(key, "nSyslogPort", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
        ERROR_SUCCESS);
    RegCloseKey(key);
  }

  platform::testing::TempPlatformRoot m_root;
};

TEST_F(RealServiceTest, StartQueryAndStopAsTheManagerAnswers) {
  EXPECT_EQ(QueryNTServiceState("LOCALHOST", kService), SERVICE_STOPPED);
  ASSERT_EQ(StartNTService("LOCALHOST", kService), 0u);
  EXPECT_TRUE(eventually([] { return QueryNTServiceState("", kService) == SERVICE_RUNNING; }, 10000));
  EXPECT_EQ(StartNTService("", kService), 1056u);

  EXPECT_EQ(StopNTService("", kService), 0u);
  EXPECT_TRUE(eventually([] { return QueryNTServiceState("", kService) == SERVICE_STOPPED; }, 8000));
  // Reported stopped is not active, also while the process is still ending.
  EXPECT_EQ(StopNTService("", kService), 1062u);
}

TEST_F(RealServiceTest, TheStateWindowStartsRestartsAndReportsARefusal) {
  ScriptedDialogs dialogs;
  FakeServiceMenu menu;
  frmServiceState window(menu);

  window.StartCorvantelService();
  EXPECT_TRUE(dialogs.messages.empty());
  ASSERT_EQ(menu.history.size(), 1u);
  EXPECT_EQ(menu.history.back(), kRunning);
  EXPECT_EQ(QueryNTServiceState("", kService), SERVICE_RUNNING);
  EXPECT_FALSE(window.isVisible());  // shown for the command only

  // Already running: the manager's refusal with its own text, then the state.
  window.StartCorvantelService();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].text,
            "Error while starting the Service: \r\nAn instance of the service is already running.\r\n");
  EXPECT_EQ(dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_EQ(menu.history.back(), kRunning);

  // A restart waits for the stop (the state window's progress moving) before it starts.
  menu.history.clear();
  window.RestartCorvantelService();
  EXPECT_EQ(dialogs.messages.size(), 1u);
  ASSERT_EQ(menu.history.size(), 2u);
  EXPECT_EQ(menu.history[0], kStopped);
  EXPECT_EQ(menu.history[1], kRunning);
  EXPECT_EQ(QueryNTServiceState("", kService), SERVICE_RUNNING);
}

}  // namespace
