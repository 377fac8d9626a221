// The socket layer on loopback, against plain BSD sockets as the peers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "reception/CSyslogServer.h"
#include "service/CErrorReport.h"

namespace {

// A UDP socket bound to a port of 127.0.0.1 that the system chose.
struct Peer {
  int fd = -1;
  sockaddr_in address{};
  explicit Peer(int type = SOCK_DGRAM) : fd(::socket(AF_INET, type, 0)) {
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  }
  ~Peer() { ::close(fd); }
  int port() const { return ntohs(address.sin_port); }
  void sendTo(int port, const std::string& bytes) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
              static_cast<ssize_t>(bytes.size()));
  }
};

// A port that was free a moment ago.
int freePort() {
  Peer probe;
  return probe.port();
}

int boundPort(const CWinSock& socket) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  getsockname(socket.getSock(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

template <typename F>
CWinSockError expectWinSockError(F&& f) {
  try {
    f();
  } catch (const CWinSockError& error) {
    return error;
  }
  ADD_FAILURE() << "no CWinSockError";
  return CWinSockError(0, 0, "");
}

class SyslogServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_server.setServerPort(freePort());
    m_server.Open();
  }
  CSyslogServer m_server;
  Peer m_sender;
};

TEST_F(SyslogServerTest, ReceivesWithSenderAndAppliesPri) {
  m_sender.sendTo(m_server.getServerPort(), "<165>Feb  5 17:32:18 host app: hello");
  CTolvaneString source;
  EXPECT_STREQ(m_server.ReceiveMessage(source), "Feb  5 17:32:18 host app: hello");
  EXPECT_STREQ(source.getNarrow(), "127.0.0.1");
  EXPECT_EQ(m_server.getFacility(), 20);
  EXPECT_EQ(m_server.getPriority(), 5);

  m_sender.sendTo(m_server.getServerPort(), "no pri \xff\xfe bytes");
  EXPECT_STREQ(m_server.ReceiveMessage(source), "no pri \xff\xfe bytes");
  EXPECT_EQ(m_server.getFacility(), 0);
  EXPECT_EQ(m_server.getPriority(), 0);
}

TEST_F(SyslogServerTest, DatagramOf32767BytesArrivesWhole) {
  const std::string datagram = "<13>" + std::string(32763, 'a');
  m_sender.sendTo(m_server.getServerPort(), datagram);
  CTolvaneString source;
  EXPECT_EQ(std::strlen(m_server.ReceiveMessage(source)), 32763u);
  EXPECT_EQ(m_server.getReceivedLength(), 32767);
  EXPECT_EQ(m_server.getPriority(), 5);
}

TEST_F(SyslogServerTest, LongerDatagramKeepsItsFirst32767Bytes) {
  std::string datagram = "<14>";
  while (datagram.size() < 40000) datagram += std::to_string(datagram.size()) + ' ';
  m_sender.sendTo(m_server.getServerPort(), datagram);
  CTolvaneString source;
  const std::string text = m_server.ReceiveMessage(source);
  EXPECT_EQ(m_server.getReceivedLength(), 32767);
  EXPECT_EQ(text, datagram.substr(4, 32763));
  EXPECT_STREQ(source.getNarrow(), "127.0.0.1");
  EXPECT_EQ(m_server.getPriority(), 6);

  // The next datagram is unaffected.
  m_sender.sendTo(m_server.getServerPort(), "<11>next");
  EXPECT_STREQ(m_server.ReceiveMessage(source), "next");
}

TEST_F(SyslogServerTest, TextEndsAtTheFirstZeroByte) {
  m_sender.sendTo(m_server.getServerPort(), std::string("<13>before\0after", 16));
  CTolvaneString source;
  EXPECT_STREQ(m_server.ReceiveMessage(source), "before");
}

TEST_F(SyslogServerTest, FailedReceiveGivesEmptyTextAndKeepsSource) {
  m_sender.sendTo(m_server.getServerPort(), "<13>first");
  CTolvaneString source;
  m_server.ReceiveMessage(source);
  m_server.Close();
  EXPECT_STREQ(m_server.ReceiveMessage(source), "");
  EXPECT_EQ(m_server.getReceivedLength(), -1);
  EXPECT_EQ(m_server.getFacility(), 0);
  EXPECT_EQ(m_server.getPriority(), 0);
  EXPECT_STREQ(source.getNarrow(), "127.0.0.1");
}

TEST_F(SyslogServerTest, PortInUseRaisesBindError) {
  CSyslogServer second;
  second.setServerPort(m_server.getServerPort());
  const CWinSockError error = expectWinSockError([&] { second.Open(); });
  EXPECT_EQ(error.getNumber(), 8);
  EXPECT_EQ(error.getCode(), 10048);
  EXPECT_STREQ(error.getText().getNarrow(), "Can't bind to socket - ERRORCODE: 10048");
}

TEST(SyslogServer, PortZeroMeansTheSyslogServicePort) {
  CSyslogServer server;
  server.setServerPort(0);
  EXPECT_EQ(server.getServerPort(), 514);
  server.setServerPort(65536);
  server.setServerPort(-1);
  EXPECT_EQ(server.getServerPort(), 514);
}

TEST(UDPServer, PortOutOfRangeIsIgnoredAndTheSystemChoosesOne) {
  CUDPServer server;
  server.setServerPort(70000);
  server.setServerPort(-5);
  EXPECT_EQ(server.getServerPort(), 0);
  server.Open();
  EXPECT_GT(boundPort(server.getSocket()), 0);
  server.Open();  // opening again replaces the socket
  EXPECT_NE(server.getSocket().getSock(), INVALID_SOCKET);
}

TEST(WinSock, SendUdpDeliversBytesAndEmptyTextAsEmptyDatagram) {
  Peer receiver;
  CWinSock sock(AF_INET, SOCK_DGRAM, 0);
  sock.SetTarget("127.0.0.1", receiver.port());
  EXPECT_EQ(sock.SendUDP(CTolvaneString("<13>fwd \xe9")), 9);
  EXPECT_EQ(sock.SendUDP(CTolvaneString()), 0);

  char buffer[64];
  EXPECT_EQ(::recv(receiver.fd, buffer, sizeof(buffer), 0), 9);
  EXPECT_EQ(std::string(buffer, 9), "<13>fwd \xe9");
  EXPECT_EQ(::recv(receiver.fd, buffer, sizeof(buffer), 0), 0);  // the empty datagram
}

TEST(WinSock, SetTargetRefusesBadAddressesAndUnknownNames) {
  CWinSock sock;
  const CWinSockError broadcast = expectWinSockError([&] { sock.SetTarget("255.255.255.255", 514); });
  EXPECT_EQ(broadcast.getNumber(), 4);
  EXPECT_EQ(broadcast.getCode(), 0);
  EXPECT_STREQ(broadcast.getText().getNarrow(), "Invalid IP Address");
  // Starts with a digit: never looked up by name.
  EXPECT_EQ(expectWinSockError([&] { sock.SetTarget("1host.example", 514); }).getNumber(), 4);

  const CWinSockError unknown = expectWinSockError([&] { sock.SetTarget("no-such-host.invalid", 514); });
  EXPECT_EQ(unknown.getNumber(), 5);
  EXPECT_STREQ(unknown.getText().getNarrow(), "Invalid Hostname");
  EXPECT_GE(unknown.getCode(), 11001);
  EXPECT_LE(unknown.getCode(), 11004);

  sock.SetTarget("localhost", 1514);
  const auto& target = reinterpret_cast<const sockaddr_in&>(sock.getTarget());
  EXPECT_EQ(target.sin_family, AF_INET);
  EXPECT_EQ(target.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(ntohs(target.sin_port), 1514);
}

TEST(WinSock, ConnectToClosedPortRaisesErrorAndDropsTheSocket) {
  const int port = freePort();
  CWinSock sock(AF_INET, SOCK_STREAM, 0);
  sock.SetTarget("127.0.0.1", port);
  const CWinSockError error = expectWinSockError([&] { sock.Connect(); });
  EXPECT_EQ(error.getNumber(), 9);
  EXPECT_EQ(error.getCode(), 10061);
  EXPECT_STREQ(error.getText().getNarrow(), "Couldn't connect to host");
  EXPECT_EQ(sock.getSock(), INVALID_SOCKET);
}

TEST(WinSock, TcpSendAndReceiveAndAGonePeerIsNoSignal) {
  Peer listener(SOCK_STREAM);
  ASSERT_EQ(::listen(listener.fd, 1), 0);
  CWinSock sock(AF_INET, SOCK_STREAM, 0);
  sock.SetTarget("127.0.0.1", listener.port());
  sock.Connect();
  const int accepted = ::accept(listener.fd, nullptr, nullptr);
  ASSERT_GE(accepted, 0);

  EXPECT_EQ(sock.Send("HELO host\r\n"), 11);
  EXPECT_EQ(sock.Send(nullptr), -1);
  char line[32] = {};
  EXPECT_EQ(::recv(accepted, line, sizeof(line), 0), 11);
  ASSERT_EQ(::send(accepted, "250 ok\r\n", 8, 0), 8);
  char reply[5];
  EXPECT_EQ(sock.Receive(reply, sizeof(reply)), 4);  // size - 1 bytes and a zero
  EXPECT_STREQ(reply, "250 ");

  ::close(accepted);
  int result = 0;
  for (int i = 0; i < 5 && result >= 0; ++i) result = sock.Send("QUIT\r\n");  // reset after the first
  EXPECT_EQ(result, -1);
  // What was left of the reply may still be read; then the end gives 0 and an empty text.
  int received = 1;
  for (int i = 0; i < 5 && received > 0; ++i) received = sock.Receive(reply, sizeof(reply));
  EXPECT_EQ(received, 0);
  EXPECT_STREQ(reply, "");
}

TEST(WinSock, CloseSocketWithoutSocketIsMinusOne) {
  CWinSock sock;
  EXPECT_EQ(sock.CloseSocket(), -1);
  ASSERT_TRUE(sock.Create(AF_INET, SOCK_DGRAM, 0));
  EXPECT_EQ(sock.CloseSocket(), 0);
  EXPECT_EQ(sock.getSock(), INVALID_SOCKET);
}

TEST(WinSock, LastInstanceCleansUpAndANewOneStartsAgain) {
  ASSERT_EQ(platform::winsockStartupCount(), 0);
  {
    CWinSock first;
    EXPECT_EQ(platform::winsockStartupCount(), 1);
    {
      CSyslogServer second;
      EXPECT_EQ(platform::winsockStartupCount(), 1);
    }
    EXPECT_EQ(platform::winsockStartupCount(), 1);
  }
  EXPECT_EQ(platform::winsockStartupCount(), 0);
  CWinSock again;
  EXPECT_EQ(platform::winsockStartupCount(), 1);
}

TEST(WinSock, ServiceLookupAndHostName) {
  EXPECT_EQ(lookupServicePort("syslog", "udp"), 514);
  const CWinSockError error = expectWinSockError([] { lookupServicePort("no-such-service", "udp"); });
  EXPECT_EQ(error.getNumber(), 7);
  EXPECT_EQ(error.getCode(), 11004);
  EXPECT_STREQ(error.getText().getNarrow(), "Could not find Service");

  const char* name = getLocalHostName();
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_EQ(getLocalHostName(), name);
}

}  // namespace
