// The dual-stack syslog socket: IPv4 and IPv6 senders on one port, how each
// sender is written, what the receiving thread records for an IPv4 sender
// that reached the IPv6 socket, and the IPv4 socket of a system without IPv6.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "pipeline/queue_record.h"
#include "pipeline/receiver.h"
#include "reception/CSyslogServer.h"
#include "service/CErrorReport.h"
#include "daemon_test_support.h"

namespace {

sockaddr_storage address(const char* text, int port) {
  sockaddr_storage result{};
  auto& v6 = reinterpret_cast<sockaddr_in6&>(result);
  if (inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    return result;
  }
  auto& v4 = reinterpret_cast<sockaddr_in&>(result);
  v4.sin_family = AF_INET;
  v4.sin_port = htons(static_cast<uint16_t>(port));
  EXPECT_EQ(inet_pton(AF_INET, text, &v4.sin_addr), 1) << text;
  return result;
}

socklen_t lengthOf(const sockaddr_storage& a) {
  return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// A UDP socket bound to `from` (port chosen by the system).
struct Sender {
  int fd = -1;
  explicit Sender(const char* from) {
    const sockaddr_storage local = address(from, 0);
    fd = ::socket(local.ss_family, SOCK_DGRAM, 0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&local), lengthOf(local)), 0) << from;
  }
  ~Sender() { ::close(fd); }
  void send(const char* to, int port, const std::string& bytes) const {
    const sockaddr_storage target = address(to, port);
    ASSERT_EQ(::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target),
                       lengthOf(target)),
              static_cast<ssize_t>(bytes.size()))
        << to << ": " << std::strerror(errno);
  }
};

sockaddr_storage localAddress(const CWinSock& socket) {
  sockaddr_storage local{};
  socklen_t length = sizeof(local);
  getsockname(socket.getSock(), reinterpret_cast<sockaddr*>(&local), &length);
  return local;
}

int boundPort(const CWinSock& socket) {
  const sockaddr_storage local = localAddress(socket);
  return local.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(local).sin6_port)
                                     : ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port);
}

TEST(DualStack, IPv4AndIPv6SendersReachOnePortAndAreWrittenAsTheirOwnAddresses) {
  if (!daemon_testing::hasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  CSyslogServer server;
  server.Open();
  ASSERT_EQ(localAddress(server.getSocket()).ss_family, AF_INET6);
  const int port = boundPort(server.getSocket());
  Sender v4("127.0.0.1");
  Sender v6("::1");
  v4.send("127.0.0.1", port, "<13>over IPv4");
  v6.send("::1", port, "<13>over IPv6");
  v4.send("127.0.0.1", port, "<13>IPv4 again");

  CTolvaneString source;
  EXPECT_STREQ(server.ReceiveMessage(source), "over IPv4");
  EXPECT_STREQ(source.getNarrow(), "127.0.0.1");
  EXPECT_STREQ(server.ReceiveMessage(source), "over IPv6");
  EXPECT_STREQ(source.getNarrow(), "::1");
  // The sender text kept for the last address must not be taken for another family's.
  EXPECT_STREQ(server.ReceiveMessage(source), "IPv4 again");
  EXPECT_STREQ(source.getNarrow(), "127.0.0.1");
}

TEST(DualStack, SenderTextsOfEachFamily) {
  CWinSock socket;
  char host[NI_MAXHOST];
  const auto text = [&](const char* sender) {
    socket.describeSender(address(sender, 514), host, sizeof(host));
    return std::string(host);
  };
  EXPECT_EQ(text("192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(text("::ffff:192.0.2.7"), "192.0.2.7") << "an IPv4 sender is never shown mapped";
  EXPECT_EQ(text("2001:0db8:0000:0000:0001:0000:0000:0001"), "2001:db8::1:0:0:1");  // the longer run of zeros
  EXPECT_EQ(text("fe80:0:0:0:0:0:0:0abc"), "fe80::abc");

  sockaddr_storage other{};
  other.ss_family = AF_UNIX;
  std::strcpy(host, "stale");
  socket.describeSender(other, host, sizeof(host));
  EXPECT_STREQ(host, "");
}

TEST(DualStack, RecordOfAnIPv4SenderOnTheIPv6SocketIsTheIPv4Record) {
  queue::RecordHeader fromIPv4Socket{};
  recordSender(address("192.0.2.7", 40001), fromIPv4Socket);

  // One header reused for all records, as the receiving thread does: an IPv6
  // sender first leaves all 16 bytes set.
  queue::RecordHeader reused{};
  recordSender(address("2001:db8::ff", 40000), reused);
  EXPECT_EQ(reused.family, AF_INET6);
  EXPECT_EQ(reused.port, 40000);
  in6_addr v6{};
  inet_pton(AF_INET6, "2001:db8::ff", &v6);
  EXPECT_EQ(std::memcmp(reused.address, &v6, 16), 0);

  recordSender(address("::ffff:192.0.2.7", 40001), reused);
  EXPECT_EQ(reused.family, AF_INET);
  EXPECT_EQ(reused.port, 40001);
  EXPECT_EQ(std::memcmp(reused.address, fromIPv4Socket.address, 16), 0)
      << "the same bytes as from an IPv4 socket";

  // An IPv4 sender on an IPv4 socket after an IPv6 one.
  recordSender(address("2001:db8::ff", 40000), reused);
  recordSender(address("192.0.2.7", 40001), reused);
  EXPECT_EQ(reused.family, AF_INET);
  EXPECT_EQ(std::memcmp(reused.address, fromIPv4Socket.address, 16), 0);
}

TEST(DualStack, APortHeldByAnIPv4SocketIsError8) {
  Sender holder("0.0.0.0");
  sockaddr_in held{};
  socklen_t length = sizeof(held);
  getsockname(holder.fd, reinterpret_cast<sockaddr*>(&held), &length);
  CSyslogServer server;
  server.setServerPort(ntohs(held.sin_port));
  try {
    server.Open();
    ADD_FAILURE() << "opened a port in use";
  } catch (const CWinSockError& error) {
    EXPECT_EQ(error.getNumber(), 8);
    EXPECT_EQ(error.getCode(), 10048);
    EXPECT_STREQ(error.getText().getNarrow(), "Can't bind to socket - ERRORCODE: 10048");
  }
}

// A system without IPv6: the IPv6 socket cannot be made.
class WithoutIPv6 : public CSyslogServer {
 public:
  int ipv6Attempts = 0;

 protected:
  bool createSocket(int family) override {
    if (family == AF_INET6) {
      ++ipv6Attempts;
      errno = EAFNOSUPPORT;
      return false;
    }
    return CSyslogServer::createSocket(family);
  }
};

TEST(DualStack, WithoutIPv6TheSocketIsIPv4AndReceivesAsBefore) {
  WithoutIPv6 server;
  server.Open();
  EXPECT_EQ(server.ipv6Attempts, 1);
  ASSERT_EQ(localAddress(server.getSocket()).ss_family, AF_INET);

  Sender sender("127.0.0.1");
  sender.send("127.0.0.1", boundPort(server.getSocket()), "<13>still here");
  CTolvaneString source;
  EXPECT_STREQ(server.ReceiveMessage(source), "still here");
  EXPECT_STREQ(source.getNarrow(), "127.0.0.1");
}

}  // namespace
