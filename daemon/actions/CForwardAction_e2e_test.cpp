// Forwarding and the event log action end to end: one corvantd relays to a
// second corvantd, each in its own platform root, both started through the
// service manager; failures of the forward action cost only their message,
// and a target that cannot be reached is suspended.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventlog.h"
#include "rsyslog_peer.h"
#include "temp_root.h"
#include "daemon_test_support.h"

namespace {

using namespace daemon_testing;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr char kParameters[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters";
constexpr char kRules[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters\\Rules";

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// One installed corvantd in a platform root of its own, driven only through
// its programs (corvantd, corvctl) with that root in their environment, so
// two of them can live side by side in one test.
class Daemon {
 public:
  Daemon(fs::path root, int port) : m_root(std::move(root)), m_port(port) {
    fs::create_directories(m_root / "machine");
    fs::create_directories(m_root / "user");
    fs::create_directories(logs());
    m_env = "CORVANTEL_ROOT=" + quoted((m_root / "machine").string()) +
            " CORVANTEL_USER_ROOT=" + quoted((m_root / "user").string()) +
            " CORVANTEL_MUTEX_DIR=" + quoted((m_root / "locks").string()) + " ";
  }
  ~Daemon() {
    if (m_started) ctl("sc stop TolvaneCorvantel");
  }

  Outcome ctl(const std::string& arguments) const {
    return run(m_env + CORVCTL_PATH + " " + arguments + " 2>&1");
  }
  void dword(const char* key, const std::string& name, long value) const {
    const Outcome set =
        ctl(std::string("reg add ") + quoted(key) + " " + name + " REG_DWORD " + std::to_string(value));
    ASSERT_EQ(set.status, 0) << set.output;
  }
  void string(const char* key, const std::string& name, const std::string& value) const {
    const Outcome set = ctl(std::string("reg add ") + quoted(key) + " " + name + " REG_SZ " + quoted(value));
    ASSERT_EQ(set.status, 0) << set.output;
  }

  // Installed, on its port, one dated-free log file in its own folder.
  void install() const {
    const Outcome installed = run(m_env + CORVANTD_PATH + " -i");
    ASSERT_EQ(installed.output, "TolvaneCorvantel installed\n");
    dword(kParameters, "nSyslogPort", m_port);
    string(kParameters, "szBaseLogFilePath", logs().string());
    dword(kParameters, "nUniqueFileName", 0);
    dword(kParameters, "nFileDateTime", 0);
  }

  // Rule `rule` with a message filter (none when empty) and its actions.
  void rule(int rule, const std::string& filter,
            const std::vector<std::pair<int, std::string>>& actions) const {
    const std::string r = "R" + std::to_string(rule);
    if (!filter.empty()) string(kRules, r + "Message", filter);
    dword(kRules, r + "ActionCount", static_cast<long>(actions.size()));
    for (std::size_t j = 0; j < actions.size(); ++j) {
      const std::string a = r + "A" + std::to_string(j + 1);
      dword(kRules, a + "Type", actions[j].first);
      if (!actions[j].second.empty()) string(kRules, a + "String", actions[j].second);
    }
  }

  void start() {
    const Outcome started = ctl("sc start TolvaneCorvantel");
    ASSERT_EQ(started.status, 0) << started.output;
    m_started = true;
  }

  void stop() {
    const Outcome stopped = ctl("sc stop TolvaneCorvantel");
    EXPECT_EQ(stopped.status, 0) << stopped.output;
    m_started = false;
  }

  void logger(const std::string& text) const {
    const Outcome sent = run("logger -n 127.0.0.1 -P " + std::to_string(m_port) + " -d --rfc3164 -t app " +
                             quoted(text) + " 2>&1");
    ASSERT_EQ(sent.status, 0) << sent.output;
  }

  std::vector<std::string> lines(const std::string& name = "Corvantel") const {
    std::vector<std::string> found;
    std::ifstream in(logs() / (name + ".log"));
    for (std::string line; std::getline(in, line);) found.push_back(line);
    return found;
  }

  fs::path logs() const { return m_root / "logs"; }
  int port() const { return m_port; }

 private:
  fs::path m_root;
  int m_port;
  std::string m_env;
  bool m_started = false;
};

class ForwardEndToEndTest : public ::testing::Test {
 protected:
  platform::testing::TempPlatformRoot m_root;  // the relay's root is this process's own
  Daemon m_relay{m_root.base(), corvantel::testing::freeUdpPort()};
  Daemon m_receiver{m_root.base() / "second", corvantel::testing::freeUdpPort()};
};

TEST_F(ForwardEndToEndTest, OneDaemonRelaysToAnotherWithTheRealSource) {
  m_receiver.install();
  m_receiver.rule(1, "", {{1003, ""}});
  m_receiver.dword(kRules, "nRuleCount", 1);
  m_receiver.start();

  m_relay.install();
  m_relay.dword(kParameters, "nSyslogReplaceSource", 1);
  m_relay.string(kParameters, "szSyslogSendServer", "localhost:" + std::to_string(m_receiver.port()));
  m_relay.rule(1, "", {{1003, "relay"}, {1001, ""}});
  m_relay.dword(kRules, "nRuleCount", 1);
  m_relay.start();

  m_relay.logger("hello over two hops");
  m_relay.logger("caf\xc3\xa9 second");
  ASSERT_TRUE(eventually([&] { return m_receiver.lines().size() == 2; }, 5s));
  // The receiver sees the relay as the sender, the original one in the text,
  // and the PRI of the message (user.notice) rebuilt.
  const auto lines = m_receiver.lines();
  EXPECT_EQ(lines[0].rfind("127.0.0.1,1,5,RealSource:\"127.0.0.1\" ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("app: hello over two hops"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("app: caf\xc3\xa9 second"), std::string::npos) << lines[1];
  EXPECT_EQ(m_relay.lines("relay").size(), 2u);
  m_relay.stop();
  m_receiver.stop();
}

TEST_F(ForwardEndToEndTest, AFailedForwardCostsOnlyItsMessageAndIsLoggedWithItsNumber) {
  corvantel::testing::RsyslogPeer peer(m_root.base() / "rsyslog", corvantel::testing::freeUdpPort());
  ASSERT_TRUE(peer.start()) << peer.why();
  m_relay.install();
  const std::string good = "127.0.0.1:" + std::to_string(peer.port());
  m_relay.rule(1, "bad-host", {{1001, "no-such-host.invalid"}});
  m_relay.rule(2, "bad-address", {{1001, "255.255.255.255"}});
  m_relay.rule(3, "", {{1001, good}, {1007, ""}});
  m_relay.dword(kRules, "nRuleCount", 3);
  m_relay.start();

  m_relay.logger("bad-host one");
  m_relay.logger("bad-address two");
  m_relay.logger("good three");
  const auto lines = peer.waitForLines(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("13|<13>", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("app: good three"), std::string::npos) << lines[0];

  // The unresolvable target suspended (event 160 carrying error 5), error 4
  // under the daemon's source, then the good message's event 113.
  std::vector<platform::EventRecord> events;
  ASSERT_TRUE(eventually(
      [&] {
        events.clear();
        platform::readEvents(0, std::string("TolvaneCorvantel"), events);
        return !events.empty() && events.back().eventId == 113;
      },
      5s));
  std::vector<std::string> failures;
  for (const auto& event : events) {
    if (event.eventId == 4 || event.eventId == 5 || event.eventId == 160) {
      failures.push_back(platform::formatEvent(event));
    }
  }
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].rfind("The output forward no-such-host.invalid is suspended after a failure that the "
                              "next message would meet too (event 5, below).",
                              0),
            0u)
      << failures[0];
  EXPECT_NE(failures[0].find("\r\nInvalid Hostname\r\n"), std::string::npos) << failures[0];
  EXPECT_EQ(failures[1].rfind("Invalid IP Address", 0), 0u) << failures[1];
  EXPECT_EQ(events.back().type, EVENTLOG_INFORMATION_TYPE);
  const std::string shown = platform::formatEvent(events.back());
  EXPECT_EQ(shown.rfind("1,5,127.0.0.1,", 0), 0u) << shown;
  EXPECT_NE(shown.find("app: good three\r\n"), std::string::npos) << shown;

  // The administrator's view of the same log.
  const Outcome listed = m_relay.ctl("events --source TolvaneCorvantel");
  EXPECT_EQ(listed.status, 0);
  EXPECT_NE(listed.output.find("event 160 "), std::string::npos) << listed.output;
  EXPECT_NE(listed.output.find("    Invalid IP Address"), std::string::npos) << listed.output;
  EXPECT_NE(listed.output.find("    1,5,127.0.0.1,"), std::string::npos) << listed.output;
  m_relay.stop();
  peer.stop();
}

TEST_F(ForwardEndToEndTest, AnUnresolvableTargetIsSuspendedWithOneEventAndStallsNothing) {
  // The good target: a UDP socket of this test that counts what arrives.
  const int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(peer, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  socklen_t length = sizeof(address);
  ::getsockname(peer, reinterpret_cast<sockaddr*>(&address), &length);
  const timeval wait{0, 200000};  // so the loop below sees its time limit
  ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));

  m_relay.install();
  m_relay.rule(1, "bad", {{1001, "no-such-host.invalid"}, {1003, "after"}});
  m_relay.rule(2, "", {{1001, "127.0.0.1:" + std::to_string(ntohs(address.sin_port))}});
  m_relay.dword(kRules, "nRuleCount", 2);
  m_relay.start();

  const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in relay{};
  relay.sin_family = AF_INET;
  relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  relay.sin_port = htons(static_cast<std::uint16_t>(m_relay.port()));
  constexpr int kMessages = 100;  // within the receive buffer of the peer socket
  constexpr int kBad = kMessages / 10;
  for (int i = 0; i < kMessages; ++i) {
    // Every tenth message is for the unresolvable target.
    const std::string text = "<13>app: " + std::string(i % 10 == 0 ? "bad " : "message ") + std::to_string(i);
    ::sendto(sender, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&relay), sizeof(relay));
  }
  ::close(sender);

  // The messages for the target skip their later actions: the first failed,
  // the others met the target suspended. Every other message reaches the
  // good target.
  int arrived = 0;
  const auto limit = std::chrono::steady_clock::now() + 60s;
  char buffer[2048];
  while (arrived < kMessages - kBad && std::chrono::steady_clock::now() < limit) {
    if (::recv(peer, buffer, sizeof(buffer), 0) > 0) ++arrived;
  }
  EXPECT_EQ(arrived, kMessages - kBad);
  EXPECT_EQ(::recv(peer, buffer, sizeof(buffer), 0), -1);  // nothing more within the socket's wait
  ::close(peer);
  EXPECT_TRUE(m_relay.lines("after").empty());

  std::vector<platform::EventRecord> events;
  platform::readEvents(0, std::string("TolvaneCorvantel"), events);
  int unresolved = 0, suspended = 0;
  for (const auto& event : events) {
    unresolved += event.eventId == 5 ? 1 : 0;
    suspended += event.eventId == 160 ? 1 : 0;
  }
  EXPECT_EQ(unresolved, 0);
  EXPECT_EQ(suspended, 1);
  m_relay.stop();
}

TEST_F(ForwardEndToEndTest, WithTheSenderAsSourceTheViewerShowsTheTextUnchanged) {
  m_relay.install();
  m_relay.dword(kParameters, "bReplaceEventLogSource", 1);
  m_relay.rule(1, "", {{1007, ""}});
  m_relay.dword(kRules, "nRuleCount", 1);
  m_relay.start();
  m_relay.logger("disk full");

  std::vector<platform::EventRecord> events;
  ASSERT_TRUE(eventually(
      [&] {
        events.clear();
        platform::readEvents(0, std::string("127.0.0.1"), events);
        return !events.empty();
      },
      5s));
  EXPECT_EQ(events[0].eventId, 1u);  // user facility
  EXPECT_EQ(events[0].category, 5);  // notice
  EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
  const std::string text = platform::formatEvent(events[0]);
  EXPECT_NE(text.find("app: disk full"), std::string::npos) << text;

  const Outcome listed = m_relay.ctl("events --source 127.0.0.1");
  EXPECT_EQ(listed.status, 0);
  EXPECT_NE(listed.output.find("source 127.0.0.1  event 1 "), std::string::npos) << listed.output;
  EXPECT_NE(listed.output.find("\n    " + text), std::string::npos) << listed.output;
  m_relay.stop();
}

}  // namespace
