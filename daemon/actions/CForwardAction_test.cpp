// CForwardAction: which target it takes, when it names the sender, and what a
// real rsyslogd receives from it.
#include "actions/CForwardAction.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "platform/winsock.h"
#include "rsyslog_peer.h"
#include "rules/CActionListEntry.h"
#include "rules/action_factory.h"
#include "service/CErrorReport.h"
#include "temp_root.h"
#include "daemon_test_support.h"

namespace {

using daemon_testing::makeMessage;

using corvantel::testing::freeUdpPort;
using corvantel::testing::RsyslogPeer;

class CForwardActionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_target = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }
  void TearDown() override {
    releaseForwardSender();
    ::close(m_fd);
  }

  std::optional<std::string> received(int milliseconds = 2000) {
    pollfd wait{m_fd, POLLIN, 0};
    if (::poll(&wait, 1, milliseconds) != 1) return std::nullopt;
    char buffer[65536];
    const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
    return n < 0 ? std::nullopt
                 : std::optional<std::string>(std::string(buffer, static_cast<std::size_t>(n)));
  }

  void forward(const SyslogMessage& message, const char* parameter = nullptr) {
    const CTolvaneString text(parameter);
    const CActionListEntry entry(kActionForward, parameter != nullptr ? &text : nullptr);
    CForwardAction().Execute(message, m_settings, entry);
  }

  platform::testing::TempPlatformRoot m_root;
  ActionSettings m_settings;
  int m_fd = -1;
  std::string m_target;
};

TEST_F(CForwardActionTest, TheEntrysParameterWinsOverTheConfiguredServer) {
  m_settings.forwardServer = "255.255.255.255";  // would fail if it were used
  forward(makeMessage(4, 2, "su: failed"), m_target.c_str());
  EXPECT_EQ(received(), "<34>su: failed");

  m_settings.forwardServer = m_target;
  forward(makeMessage(4, 2, "from the setting"));
  EXPECT_EQ(received(), "<34>from the setting");
}

TEST_F(CForwardActionTest, AnEmptyTargetSendsNothingAndRaisesNothing) {
  m_settings.forwardServer = m_target;
  EXPECT_NO_THROW(forward(makeMessage(1, 5, "kept"), ""));  // an empty parameter is still the target
  m_settings.forwardServer.clear();
  EXPECT_NO_THROW(forward(makeMessage(1, 5, "kept")));
  EXPECT_EQ(received(200), std::nullopt);
}

TEST_F(CForwardActionTest, RealSourceOnlyWhenTheSettingIsExactlyOne) {
  m_settings.forwardServer = m_target;
  m_settings.syslogReplaceSource = 1;
  forward(makeMessage(4, 2, "su: failed"));
  EXPECT_EQ(received(), "<34>RealSource:\"10.0.0.5\" su: failed");
  m_settings.syslogReplaceSource = 2;
  forward(makeMessage(4, 2, "su: failed"));
  EXPECT_EQ(received(), "<34>su: failed");
}

TEST_F(CForwardActionTest, FailuresReachTheCallerAsSocketErrors) {
  for (const auto& [target, number] : {std::pair<const char*, int>{"255.255.255.255", 4},
                                       {"no-such-host.invalid", 5},
                                       {"300.1.2.3:1514", 4}}) {
    m_settings.forwardServer = target;
    try {
      forward(makeMessage(1, 5, "lost"));
      ADD_FAILURE() << target << " raised nothing";
    } catch (const CErrorReport& report) {
      EXPECT_EQ(report.getNumber(), number) << target;
      EXPECT_STREQ(report.getClassName().getNarrow(), "CWinSockError");
    }
  }
}

TEST_F(CForwardActionTest, ARealRsyslogdReceivesEveryMessageWithItsPriAndBytes) {
  RsyslogPeer peer(m_root.base() / "rsyslog", freeUdpPort());
  ASSERT_TRUE(peer.start()) << peer.why();
  m_settings.forwardServer = "localhost:" + std::to_string(peer.port());
  forward(makeMessage(4, 2, "su: failed"));
  forward(makeMessage(23, 7, "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xff end"));
  m_settings.syslogReplaceSource = 1;
  forward(makeMessage(1, 3, "disk full"));

  const auto lines = peer.waitForLines(3);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "34|<34>su: failed");
  EXPECT_EQ(lines[1], "191|<191>caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xff end");
  EXPECT_EQ(lines[2], "11|<11>RealSource:\"10.0.0.5\" disk full");
  peer.stop();
}

}  // namespace
