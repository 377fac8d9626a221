#include "frmServiceState.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>

#include "Global.h"
#include "Messages/Messages.h"
#include "WinNTServices.h"
#include "fake_service_menu.h"
#include "platform/service.h"
#include "real_service.h"
#include "scripted_dialogs.h"
#include "window_testing.h"
#include "temp_root.h"
#include "twips.h"

namespace {

class ServiceStateWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    Global::bParametersOpen = true;
    Messages::SetLanguage(Messages::kEnglish);
    m_window.polling.interval = std::chrono::milliseconds(0);
  }
  void TearDown() override {
    Global::reset();
    Messages::SetLanguage(Messages::kEnglish);
  }

  platform::testing::TempPlatformRoot m_root;  // a computer without the service
  ScriptedDialogs m_dialogs;
  FakeServiceMenu m_menu;
  frmServiceState m_window{m_menu};
};

TEST_F(ServiceStateWindowTest, FixedSizeWithItsThreeElements) {
  EXPECT_EQ(m_window.size(), QSize(twips(4800), twips(1290)));
  m_window.resize(600, 400);
  EXPECT_EQ(m_window.size(), QSize(twips(4800), twips(1290)));
  EXPECT_EQ(m_window.pbMain->minimum(), 0);
  EXPECT_EQ(m_window.pbMain->maximum(), 151);
  EXPECT_FALSE(m_window.isModal());
  for (QWidget* w :
       std::initializer_list<QWidget*>{m_window.lblServiceStatus, m_window.pbMain, m_window.StBServiceState})
    EXPECT_TRUE(m_window.rect().contains(w->geometry())) << w->objectName().toStdString();
}

TEST_F(ServiceStateWindowTest, StartOfAMissingServiceReportsItThenTheStateRefreshDoes) {
  Global::szConnectionText = "Connected to: LOCALHOST";
  m_window.StartCorvantelService();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text,
            "Error while starting the Service: \r\nThe specified service does not exist as an installed "
            "service.\r\n");
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  // The refresh then finds no service: installing it is what is left.
  EXPECT_EQ(m_menu.items(), (FakeServiceMenu::Items{Global::bDaemonProgramFound, false, false, false, false}));
  EXPECT_EQ(m_window.lblServiceStatus->text(), "Starting the Corvantel Service...");
  EXPECT_EQ(m_window.StBServiceState->currentMessage(), "Connected to: LOCALHOST");
  EXPECT_FALSE(m_window.isVisible());
}

TEST_F(ServiceStateWindowTest, StopOnAnotherComputerGoesToThatComputer) {
  Global::szConnectedComputer = "logserver";
  m_window.StopCorvantelService();
  ASSERT_EQ(m_dialogs.messages.size(), 2u);
  EXPECT_EQ(m_dialogs.messages[0].text,
            "Error while stopping the Service: \r\nThe network path was not found.\r\n");
  EXPECT_EQ(m_window.lblServiceStatus->text(), "Stopping the Corvantel Service...");
  EXPECT_EQ(m_menu.items(),
            (FakeServiceMenu::Items{false, false, false, true, false}));  // no Uninstall remotely
}

TEST_F(ServiceStateWindowTest, JapaneseFontOnEveryElement) {
  Messages::SetLanguage(Messages::kJapanese);
  frmServiceState window(m_menu);
  for (QWidget* w : std::initializer_list<QWidget*>{&window, window.lblServiceStatus, window.pbMain,
                                                    window.StBServiceState}) {
    EXPECT_EQ(w->font().family(), QString::fromUtf16(Messages::kJapaneseFace))
        << w->objectName().toStdString();
    EXPECT_EQ(w->font().pointSize(), 8);
  }
}

TEST_F(ServiceStateWindowTest, RendersInEveryLanguage) {
  for (const char* code : {Messages::kEnglish, Messages::kGerman, Messages::kJapanese, Messages::kSpanish}) {
    Messages::SetLanguage(code);
    frmServiceState window(m_menu);
    window.lblServiceStatus->setText(Messages::GetMessageText(256));
    window.pbMain->setValue(60);
    window.StBServiceState->showMessage(Messages::GetMessageText(255) + " LOCALHOST");
    EXPECT_FALSE(renderToPng(&window, QStringLiteral("frmServiceState-%1").arg(code)).isEmpty());
  }
}

// ---- With the real daemon -----------------------------------------------------------

const QString kService = QString::fromLatin1(WinNTServices::kServiceName);
constexpr FakeServiceMenu::Items kStopped{false, true, false, true, false};
constexpr FakeServiceMenu::Items kRunning{false, true, true, false, true};

TEST_F(RealServiceTest, TheStateWindowStartsRestartsAndReportsARefusal) {
  ScriptedDialogs dialogs;
  FakeServiceMenu menu;
  frmServiceState window(menu);

  window.StartCorvantelService();
  EXPECT_TRUE(dialogs.messages.empty());
  ASSERT_EQ(menu.history.size(), 1u);
  EXPECT_EQ(menu.history.back(), kRunning);
  EXPECT_EQ(WinNTServices::QueryNTServiceState("", kService), SERVICE_RUNNING);
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
  EXPECT_EQ(WinNTServices::QueryNTServiceState("", kService), SERVICE_RUNNING);
}

}  // namespace
