#include "service_state.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProgressBar>
#include <QTimer>
#include <deque>
#include <optional>

#include "Global.h"
#include "Messages/Messages.h"
#include "fake_service_menu.h"
#include "frmServiceState.h"
#include "platform/service.h"
#include "scripted_dialogs.h"

namespace {

using Items = FakeServiceMenu::Items;

constexpr Items kInstallOnly{true, false, false, false, false};
constexpr Items kNothing{false, false, false, false, false};
constexpr Items kStopped{false, true, false, true, false};
constexpr Items kRunning{false, true, true, false, true};
constexpr char kNotResponding[] =
    "The Corvantel Service is not Responding. \r\nAction could not be completed.";

WinNTServices::ServiceState state(DWORD s) { return {s, 0}; }
WinNTServices::ServiceState failure(DWORD error) { return {0, error}; }

class RefreshServiceStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    Global::bParametersOpen = true;
    Messages::SetLanguage(Messages::kEnglish);
    m_polling.interval = std::chrono::milliseconds(0);
  }
  void TearDown() override { Global::reset(); }

  // The query answers from `answers` in turn, repeating the last one.
  void answer(std::deque<WinNTServices::ServiceState> answers) {
    m_answers = std::move(answers);
    m_polling.query = [this](const QString& computer) {
      m_computers.push_back(computer);
      if (m_window != nullptr) m_shapes.push_back(m_window->cursor().shape());
      const WinNTServices::ServiceState next = m_answers.front();
      if (m_answers.size() > 1) m_answers.pop_front();
      return next;
    };
  }

  void refresh(frmServiceState* window = nullptr) { Global::RefreshServiceState(m_menu, window, m_polling); }

  FakeServiceMenu m_menu;
  ScriptedDialogs m_dialogs;
  Global::ServiceStatePolling m_polling;
  std::deque<WinNTServices::ServiceState> m_answers;
  std::vector<QString> m_computers;
  QWidget* m_window = nullptr;  // when set: its cursor is noted at every query
  std::vector<Qt::CursorShape> m_shapes;
};

struct StateRow {
  const char* name;
  WinNTServices::ServiceState found;
  Items expected;
  bool notResponding;
};

class ServiceStateTableTest : public RefreshServiceStateTest,
                              public ::testing::WithParamInterface<StateRow> {};

TEST_P(ServiceStateTableTest, SetsTheCommandsByTheStateFound) {
  answer({GetParam().found});
  refresh();
  EXPECT_EQ(m_menu.items(), GetParam().expected);
  EXPECT_EQ(m_menu.configuration, std::optional<bool>(true));
  ASSERT_EQ(m_dialogs.messages.size(), GetParam().notResponding ? 1u : 0u);
  if (GetParam().notResponding) {
    EXPECT_EQ(m_dialogs.messages[0].text, kNotResponding);
    EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  }
  EXPECT_EQ(m_computers.size(), 1u);  // none of these is pending: one query
}

// Error codes 1 to 7 share their numbers with service states; a failed query
// must still read as a failure, never as "stopped" or "running".
INSTANTIATE_TEST_SUITE_P(States, ServiceStateTableTest,
                         ::testing::Values(StateRow{"Zero", state(0), kInstallOnly, false},
                                           StateRow{"Stopped", state(SERVICE_STOPPED), kStopped, false},
                                           StateRow{"Running", state(SERVICE_RUNNING), kRunning, false},
                                           StateRow{"Paused", state(SERVICE_PAUSED), kStopped, true},
                                           StateRow{"ContinuePending", state(SERVICE_CONTINUE_PENDING),
                                                    kStopped, true},
                                           StateRow{"NoAccess", failure(5), kStopped, true},
                                           StateRow{"ErrorFourIsNotRunning", failure(4), kStopped, true},
                                           StateRow{"ErrorOneIsNotStopped", failure(1), kStopped, true},
                                           StateRow{"ErrorTwoIsNotPending", failure(2), kStopped, true}),
                         [](const ::testing::TestParamInfo<StateRow>& info) { return info.param.name; });

TEST_F(RefreshServiceStateTest, ParametersWithoutTheServiceOfferInstallNotAnError) {
  answer({failure(1060)});
  Global::bDaemonProgramFound = true;
  refresh();
  EXPECT_EQ(m_menu.items(), kInstallOnly);
  EXPECT_TRUE(m_dialogs.messages.empty());
  Global::bDaemonProgramFound = false;  // nothing to install it with
  refresh();
  EXPECT_EQ(m_menu.items(), kNothing);

  // Another computer's missing service cannot be installed from here.
  Global::szConnectedComputer = "logserver";
  refresh();
  EXPECT_EQ(m_menu.items(), (Items{false, false, false, true, false}));
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, kNotResponding);
}

TEST_F(RefreshServiceStateTest, UninstallIsOfferedOnlyForThisComputer) {
  answer({state(SERVICE_RUNNING)});
  Global::szConnectedComputer = "";
  refresh();
  EXPECT_EQ(m_menu.items(), kRunning);
  Global::szConnectedComputer = "logserver";
  refresh();
  EXPECT_EQ(m_menu.items(), (Items{false, false, true, false, true}));
  answer({state(SERVICE_STOPPED)});
  refresh();
  EXPECT_EQ(m_menu.items(), (Items{false, false, false, true, false}));
  EXPECT_EQ(m_computers.back(), "logserver");
}

TEST_F(RefreshServiceStateTest, WaitsWhilePendingAndMovesTheProgress) {
  FakeServiceMenu owner;
  frmServiceState window(owner);
  m_window = &window;
  m_polling.interval = std::chrono::milliseconds(20);
  answer({state(SERVICE_START_PENDING), state(SERVICE_STOP_PENDING), state(SERVICE_START_PENDING),
          state(SERVICE_RUNNING)});
  QElapsedTimer clock;
  clock.start();
  refresh(&window);
  EXPECT_GE(clock.elapsed(), 4 * 20);  // a wait before every query
  EXPECT_EQ(m_computers.size(), 4u);
  EXPECT_EQ(window.pbMain->value(), 4);
  EXPECT_EQ(m_menu.items(), kRunning);
  EXPECT_TRUE(m_dialogs.messages.empty());
  EXPECT_EQ(m_shapes.front(), Qt::WaitCursor);  // the hourglass while waiting
  EXPECT_EQ(window.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(RefreshServiceStateTest, StillPendingAfterTheLastPassIsNotResponding) {
  FakeServiceMenu owner;
  frmServiceState window(owner);
  window.pbMain->setValue(77);
  answer({state(SERVICE_STOP_PENDING)});
  refresh(&window);
  EXPECT_EQ(m_computers.size(), 150u);
  EXPECT_EQ(window.pbMain->value(), 150);  // below the bar's maximum of 151
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, kNotResponding);
  EXPECT_EQ(m_menu.items(), kStopped);  // Start stays available to try again
  EXPECT_EQ(window.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(RefreshServiceStateTest, PendingEventsRunBetweenQueries) {
  bool timerRan = false;
  QTimer::singleShot(0, [&] { timerRan = true; });
  std::vector<bool> seen;
  m_polling.query = [&](const QString&) {
    seen.push_back(timerRan);
    return state(seen.size() < 3 ? SERVICE_START_PENDING : SERVICE_RUNNING);
  };
  refresh();
  EXPECT_EQ(seen, (std::vector<bool>{false, true, true}));
}

TEST_F(RefreshServiceStateTest, WithoutTheParametersKeyOnlyInstallWhenTheProgramIsThere) {
  Global::bParametersOpen = false;
  m_polling.query = [](const QString&) -> WinNTServices::ServiceState {
    ADD_FAILURE() << "no query without the Parameters key";
    return {};
  };
  Global::bDaemonProgramFound = true;
  refresh();
  EXPECT_EQ(m_menu.items(), kInstallOnly);
  EXPECT_EQ(m_menu.configuration, std::optional<bool>(false));
  Global::bDaemonProgramFound = false;
  refresh();
  EXPECT_EQ(m_menu.items(), kNothing);
  EXPECT_TRUE(m_dialogs.messages.empty());
}

}  // namespace
