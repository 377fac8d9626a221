// CSyslogSender: target parsing, the datagram it builds, and the socket errors
// it raises, checked against a loopback UDP socket of the test's own.
#include "actions/CSyslogSender.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "platform/winsock.h"
#include "service/CErrorReport.h"
#include "temp_root.h"

namespace {

// A UDP socket on 127.0.0.1 that takes what the sender sends.
class Receiver {
 public:
  Receiver() : m_fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
  }
  ~Receiver() { ::close(m_fd); }

  // The next datagram, or nothing within the limit.
  std::optional<std::string> next(int milliseconds = 2000) {
    pollfd wait{m_fd, POLLIN, 0};
    if (::poll(&wait, 1, milliseconds) != 1) return std::nullopt;
    char buffer[70000];
    const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  }

  int port() const { return m_port; }
  std::string target() const { return "127.0.0.1:" + std::to_string(m_port); }

 private:
  int m_fd;
  int m_port = 0;
};

std::int32_t errorOf(CSyslogSender& sender, const std::string& text = "x") {
  try {
    sender.sendMessage(1, 5, text);
  } catch (const CWinSockError& report) {
    return report.getNumber();
  }
  return 0;
}

class CSyslogSenderTest : public ::testing::Test {
 protected:
  platform::testing::TempPlatformRoot m_root;
  int m_syslogPort = lookupServicePort("syslog", "udp");
};

struct TargetCase {
  const char* text;
  const char* host;
  int port;  // 0: the syslog service port
};

class SetServerTest : public CSyslogSenderTest, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(SetServerTest, SplitsHostAndPort) {
  CSyslogSender sender;
  sender.setServer(GetParam().text);
  EXPECT_EQ(sender.getHost(), GetParam().host);
  EXPECT_EQ(sender.getPort(), GetParam().port == 0 ? m_syslogPort : GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, SetServerTest,
    ::testing::Values(TargetCase{"192.168.1.20", "192.168.1.20", 0},
                      TargetCase{"192.168.1.20:1514", "192.168.1.20", 1514},
                      TargetCase{"loghost", "loghost", 0}, TargetCase{"loghost:", "loghost", 0},
                      TargetCase{"loghost:0", "loghost", 0}, TargetCase{":1514", "", 1514},
                      TargetCase{"1514", "1514", 0}, TargetCase{"a:b:00080", "a:b", 80},
                      TargetCase{"loghost:65535", "loghost", 65535},
                      // No port can be that large: the text stays whole, and fails as a host.
                      TargetCase{"loghost:65536", "loghost:65536", 0},
                      TargetCase{"10.0.0.1:99999999999999999999", "10.0.0.1:99999999999999999999", 0},
                      TargetCase{"", "", 0}, TargetCase{":", "", 0}));

TEST_F(CSyslogSenderTest, StartsAtTheLocalSyslogPortAndATargetWithoutPortReturnsToIt) {
  CSyslogSender sender;
  EXPECT_EQ(sender.getHost(), "127.0.0.1");
  EXPECT_EQ(sender.getPort(), m_syslogPort);
  for (const char* next : {"two", "two:", "1514", "two:65536"}) {
    sender.setServer("one:1514");
    sender.setServer(next);
    EXPECT_EQ(sender.getPort(), m_syslogPort) << next;
  }
}

TEST_F(CSyslogSenderTest, DatagramIsPriThenTheTextBytesUnchanged) {
  Receiver peer;
  CSyslogSender sender;
  sender.setServer(peer.target());
  sender.sendMessage(4, 2, "su: failed");
  EXPECT_EQ(peer.next(), "<34>su: failed");
  sender.sendMessage(23, 7, "x");
  EXPECT_EQ(peer.next(), "<191>x");
  sender.sendMessage(0, 0, "");
  EXPECT_EQ(peer.next(), "<0>");
  // Bytes that are not UTF-8, and UTF-8 text, reach the peer as they were.
  const std::string bytes = "caf\xc3\xa9 \xff\xfe\x80 end";
  sender.sendMessage(1, 5, bytes);
  EXPECT_EQ(peer.next(), "<13>" + bytes);
}

TEST_F(CSyslogSenderTest, RealSourceNamesTheSenderBetweenQuotesAndABlank) {
  Receiver peer;
  CSyslogSender sender;
  sender.setServer(peer.target());
  sender.setRealSource("10.0.0.5", true);
  sender.sendMessage(4, 2, "su: failed");
  EXPECT_EQ(peer.next(), "<34>RealSource:\"10.0.0.5\" su: failed");
  sender.setRealSource("10.0.0.5", false);
  sender.sendMessage(4, 2, "su: failed");
  EXPECT_EQ(peer.next(), "<34>su: failed");
}

TEST_F(CSyslogSenderTest, ANewTargetTakesEffectForTheNextMessage) {
  Receiver first, second;
  CSyslogSender sender;
  sender.setServer(first.target());
  sender.sendMessage(1, 5, "one");
  sender.setServer(second.target());
  sender.sendMessage(1, 5, "two");
  sender.setServer("localhost:" + std::to_string(first.port()));
  sender.sendMessage(1, 5, "three");
  EXPECT_EQ(first.next(), "<13>one");
  EXPECT_EQ(second.next(), "<13>two");
  EXPECT_EQ(first.next(), "<13>three");
}

TEST_F(CSyslogSenderTest, AddressingAndSendFailuresRaiseTheirSocketErrors) {
  CSyslogSender sender;
  sender.setServer("255.255.255.255");
  EXPECT_EQ(errorOf(sender), 4);
  sender.setServer("10.0.0.1:65536");  // no port, so not an address either
  EXPECT_EQ(errorOf(sender), 4);
  sender.setServer("no-such-host.invalid:1514");
  EXPECT_EQ(errorOf(sender), 5);
  sender.setServer(":1514");
  EXPECT_EQ(errorOf(sender), 5);

  // A datagram larger than UDP can carry fails in sendto.
  Receiver peer;
  sender.setServer(peer.target());
  try {
    sender.sendMessage(1, 5, std::string(70000, 'a'));
    FAIL() << "no error";
  } catch (const CWinSockError& report) {
    EXPECT_EQ(report.getNumber(), 6);
    EXPECT_EQ(report.getCode(), WSAEMSGSIZE);
    EXPECT_STREQ(report.getText().getNarrow(), "Error in CWinSock::SendUDP() (sendto)");
  }
  // The sender stays usable after a failure.
  sender.sendMessage(1, 5, "after");
  EXPECT_EQ(peer.next(), "<13>after");
}

}  // namespace
