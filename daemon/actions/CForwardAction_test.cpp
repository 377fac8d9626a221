// CForwardAction: which target it takes, when it names the sender, and what a
// real rsyslogd receives from it.
#include "actions/CForwardAction.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/winsock.h"
#include "reception/CWinSock.h"
#include "rsyslog_peer.h"
#include "rules/CActionListEntry.h"
#include "rules/action_factory.h"
#include "service/CErrorReport.h"
#include "temp_root.h"
#include "daemon_test_support.h"

namespace {

// The name the interposed resolver below answers itself: 127.0.0.1 while
// gFlakyResolves holds, else "no such name".
constexpr char kFlakyName[] = "forward.flaky.test";
std::atomic<bool> gFlakyResolves{true};

std::mutex& lookupsLock() {
  static std::mutex lock;
  return lock;
}
std::map<std::string, int>& lookupCounts() {
  static std::map<std::string, int> counts;
  return counts;
}
int lookupsOf(const std::string& name) {
  const std::lock_guard<std::mutex> hold(lookupsLock());
  return lookupCounts()[name];
}

}  // namespace

// Every host name look-up of this test program passes through here and is
// counted per name; all but kFlakyName go on to the C library's resolver.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  using Resolver = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto real = reinterpret_cast<Resolver>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  const std::string name = node != nullptr ? node : "";
  {
    const std::lock_guard<std::mutex> hold(lookupsLock());
    ++lookupCounts()[name];
  }
  if (name == kFlakyName) {
    if (!gFlakyResolves) return EAI_NONAME;
    return real("127.0.0.1", service, hints, result);
  }
  return real(node, service, hints, result);
}

namespace {

using namespace std::chrono_literals;
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

  int port() const { return std::stoi(m_target.substr(m_target.find(':') + 1)); }

  // The error number the forward raises, 0 when none; m_outputFailure tells
  // whether it was marked as a failure the next message would meet too.
  int errorOf(const char* parameter) {
    m_outputFailure = false;
    try {
      forward(makeMessage(1, 5, "x"), parameter);
    } catch (const CErrorReport& report) {
      m_outputFailure = report.isOutputFailure();
      return report.getNumber();
    }
    return 0;
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
  bool m_outputFailure = false;
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

TEST_F(CForwardActionTest, ATargetWithoutPortGoesToTheSyslogPortNotToThePortBeforeIt) {
  // When this test may take the syslog port on 127.0.0.2, it sees the message arrive there.
  const int syslogPort = lookupServicePort("syslog", "udp");
  const int syslog = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(syslogPort));
  address.sin_addr.s_addr = htonl(0x7f000002);
  const bool listening = ::bind(syslog, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;

  for (const char* withoutPort : {"127.0.0.1", "localhost", "127.0.0.2"}) {
    forward(makeMessage(1, 5, "with port"), m_target.c_str());
    EXPECT_EQ(received(), "<13>with port");
    forward(makeMessage(1, 5, "without port"), withoutPort);
    EXPECT_EQ(received(200), std::nullopt) << withoutPort;
  }
  if (listening) {
    pollfd wait{syslog, POLLIN, 0};
    EXPECT_EQ(::poll(&wait, 1, 2000), 1);
  }
  ::close(syslog);
}

TEST_F(CForwardActionTest, AnUnresolvableNameFailsEveryMessageForItsTargetButIsLookedUpAtMostOnceASecond) {
  // Rules alternating between a name that never resolves and one that does.
  const std::string bad = "no-such-host.invalid";
  const std::string good = "localhost:" + std::to_string(port());
  const int badBefore = lookupsOf(bad);
  const int goodBefore = lookupsOf("localhost");
  const auto start = std::chrono::steady_clock::now();
  int raised = 0;
  constexpr int kMessages = 200;
  for (int i = 0; i < kMessages; ++i) {
    const int error = errorOf(bad.c_str());
    if (error != 0) {
      EXPECT_EQ(error, 5);
      // The output guard suspends the target for it and logs it once.
      EXPECT_TRUE(m_outputFailure);
      ++raised;
    }
    forward(makeMessage(1, 5, "good"), good.c_str());
    ASSERT_EQ(received(), "<13>good") << i;
  }
  EXPECT_EQ(raised, kMessages);
  // One look-up per name and second, however slow the resolver.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  const int bound = 2 + static_cast<int>(seconds.count());
  EXPECT_LE(lookupsOf(bad) - badBefore, bound);
  EXPECT_LE(lookupsOf("localhost") - goodBefore, bound);
}

TEST_F(CForwardActionTest, AFailedOrSuccessfulLookUpIsRememberedForASecond) {
  const std::string flaky = std::string(kFlakyName) + ":" + std::to_string(port());
  const int before = lookupsOf(kFlakyName);
  gFlakyResolves = false;
  EXPECT_EQ(errorOf(flaky.c_str()), 5);
  // Remembered: raised again as it was, nothing sent or looked up.
  gFlakyResolves = true;
  EXPECT_EQ(errorOf(flaky.c_str()), 5);
  EXPECT_TRUE(m_outputFailure);
  EXPECT_EQ(lookupsOf(kFlakyName) - before, 1);
  EXPECT_EQ(received(200), std::nullopt);

  // A second later it is looked up again, and now resolves.
  std::this_thread::sleep_for(1100ms);
  EXPECT_EQ(errorOf(flaky.c_str()), 0);
  EXPECT_EQ(received(), "<13>x");
  EXPECT_EQ(lookupsOf(kFlakyName) - before, 2);
  // The address is remembered as long.
  gFlakyResolves = false;
  EXPECT_EQ(errorOf(flaky.c_str()), 0);
  EXPECT_EQ(received(), "<13>x");
  std::this_thread::sleep_for(1100ms);
  EXPECT_EQ(errorOf(flaky.c_str()), 5);
  EXPECT_EQ(lookupsOf(kFlakyName) - before, 3);
  gFlakyResolves = true;
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
