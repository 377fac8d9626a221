// IPv6 addresses in brackets as forward targets and as the mail server, next
// to IPv4 targets through the same sender.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "actions/CForwardAction.h"
#include "actions/CMailAction.h"
#include "daemon_test_support.h"
#include "reception/CWinSock.h"
#include "rules/CActionListEntry.h"
#include "rules/action_factory.h"
#include "service/CErrorReport.h"
#include "temp_root.h"

namespace {

using daemon_testing::makeMessage;
using namespace std::chrono_literals;

// A socket of `type` bound to a port of ::1 or 127.0.0.1 that the system chose.
struct Peer {
  int fd = -1;
  int port = 0;
  Peer(int family, int type) : fd(::socket(family, type, 0)) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
      auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
      v6.sin6_family = AF_INET6;
      v6.sin6_addr = in6addr_loopback;
      length = sizeof(v6);
    } else {
      auto& v4 = reinterpret_cast<sockaddr_in&>(address);
      v4.sin_family = AF_INET;
      v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof(v4);
    }
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) return;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);  // the same place in both families
  }
  ~Peer() {
    if (fd >= 0) ::close(fd);
  }
  bool ok() const { return port != 0; }
  std::optional<std::string> received() const {
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, 2000) != 1) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    return n < 0 ? std::nullopt
                 : std::optional<std::string>(std::string(buffer, static_cast<std::size_t>(n)));
  }
};

bool hasIPv6Loopback() { return Peer(AF_INET6, SOCK_DGRAM).ok(); }

class IPv6TargetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!hasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  }
  void TearDown() override { releaseForwardSender(); }

  void forward(const std::string& text, const std::string& target) {
    const CTolvaneString parameter(target.c_str());
    const CActionListEntry entry(kActionForward, &parameter);
    CForwardAction().Execute(makeMessage(4, 2, text), m_settings, entry);
  }
  int errorOf(const std::string& target) {
    try {
      forward("x", target);
    } catch (const CErrorReport& report) {
      return report.getNumber();
    }
    return 0;
  }

  platform::testing::TempPlatformRoot m_root;
  ActionSettings m_settings;
};

TEST_F(IPv6TargetTest, ForwardGoesToAnIPv6AddressInBracketsAndBackToIPv4ThroughOneSender) {
  Peer v6(AF_INET6, SOCK_DGRAM);
  Peer v4(AF_INET, SOCK_DGRAM);
  ASSERT_TRUE(v4.ok());
  const std::string toV6 = "[::1]:" + std::to_string(v6.port);
  const std::string toV4 = "127.0.0.1:" + std::to_string(v4.port);
  forward("over IPv6", toV6);
  EXPECT_EQ(v6.received(), "<34>over IPv6");
  forward("over IPv4", toV4);
  EXPECT_EQ(v4.received(), "<34>over IPv4");
  m_settings.syslogReplaceSource = 1;
  forward("IPv6 again", toV6);
  EXPECT_EQ(v6.received(), "<34>RealSource:\"10.0.0.5\" IPv6 again");
}

TEST_F(IPv6TargetTest, BracketsHoldOnlyAnIPv6AddressAndWithoutThemADigitStillMeansIPv4) {
  for (const char* bad : {"[::1", "[]:514", "[not an address]:514", "[127.0.0.1]:514", "[::1]x:514"}) {
    EXPECT_EQ(errorOf(bad), 4) << bad;
  }
  EXPECT_EQ(errorOf("2001:db8::1"), 4) << "a digit first: a dotted address, which this is not";
  EXPECT_EQ(errorOf("::1"), 5) << "no brackets, no digit first: a host name";
}

// One SMTP session on ::1: every command accepted, the commands kept.
TEST_F(IPv6TargetTest, MailGoesToAnSmtpServerWrittenAsAnIPv6AddressInBrackets) {
  Peer listener(AF_INET6, SOCK_STREAM);
  ASSERT_EQ(::listen(listener.fd, 1), 0);
  std::string commands;
  std::thread server([&] {
    const int peer = ::accept(listener.fd, nullptr, nullptr);
    if (peer < 0) return;
    const auto reply = [peer](const char* text) {
      [[maybe_unused]] ssize_t sent = ::send(peer, text, std::strlen(text), MSG_NOSIGNAL);
    };
    reply("220 ready\r\n");
    std::string pending;
    bool inData = false;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(peer, buffer, sizeof(buffer), 0)) > 0;) {
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        if (inData) {
          if (line == ".") {
            inData = false;
            reply("250 queued\r\n");
          }
          continue;
        }
        commands += line.substr(0, 4) + ";";
        if (line == "DATA") {
          inData = true;
          reply("354 go on\r\n");
        } else {
          reply(line == "QUIT" ? "221 bye\r\n" : "250 ok\r\n");
        }
      }
    }
    ::close(peer);
  });
  m_settings.smtpServer = "[::1]";
  m_settings.smtpPort = listener.port;
  m_settings.smtpSender = "corvantel@example.com";
  m_settings.smtpRecipient = "admin@example.com";
  SyslogMessage message = makeMessage(4, 3, "disk full");
  EXPECT_NO_THROW(CMailAction().sendMail(message, m_settings, "admin@example.com", 5s));
  server.join();
  EXPECT_EQ(commands, "HELO;MAIL;RCPT;DATA;QUIT;");
}

}  // namespace
