// The service functions against the real daemon, installed as a service in a
// private platform root and listening on a loopback port of its own, so that
// tests can run side by side.
#include "WinNTServices.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QThread>
#include <QUdpSocket>
#include <functional>

#include "Global.h"
#include "Messages/Messages.h"
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


}  // namespace
