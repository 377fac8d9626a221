// Batched reception: order across batches, the wake handle, the sender text
// kept while the sender stays, the socket buffer, and a failing socket.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "reception/CSyslogServer.h"

namespace {

struct Sender {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  explicit Sender(const char* address = "127.0.0.1") {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, address, &local.sin_addr);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
  }
  ~Sender() { ::close(fd); }
  void send(int port, const std::string& bytes) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
              static_cast<ssize_t>(bytes.size()));
  }
};

int boundPort(CUDPServer& server) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  getsockname(server.getSocket().getSock(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

class BatchReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_server.Open();  // port 0: the system chooses a free one
    m_port = boundPort(m_server);
  }
  CSyslogServer m_server;
  int m_port = 0;
  Sender m_sender;
};

TEST_F(BatchReceiveTest, ServesWaitingDatagramsInOrderAcrossBatches) {
  constexpr int kCount = CUDPServer::kBatchCapacity + 36;
  for (int i = 0; i < kCount; ++i) m_sender.send(m_port, "<13>message " + std::to_string(i));
  CTolvaneString source;
  int usedUpAt = -1;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(m_server.receiveNext(source));
    EXPECT_EQ(std::string(m_server.getRawMessage()), "message " + std::to_string(i));
    EXPECT_EQ(m_server.getPriority(), 5);
    if (usedUpAt < 0 && m_server.isBatchUsedUp()) usedUpAt = i;
  }
  // All were waiting, so the first batch took as many as it could.
  EXPECT_EQ(usedUpAt, CUDPServer::kBatchCapacity - 1);
  EXPECT_TRUE(m_server.isBatchUsedUp());
}

TEST_F(BatchReceiveTest, LongDatagramInABatchKeepsItsFirst32767BytesAndTheNextIsWhole) {
  const std::string longOne = "<14>" + std::string(40000, 'x');
  m_sender.send(m_port, longOne);
  m_sender.send(m_port, "<11>next");
  CTolvaneString source;
  EXPECT_EQ(std::string(m_server.ReceiveMessage(source)), longOne.substr(4, 32763));
  EXPECT_EQ(m_server.getReceivedLength(), 32767);
  EXPECT_STREQ(m_server.ReceiveMessage(source), "next");
  EXPECT_EQ(m_server.getReceivedLength(), 8);
}

TEST_F(BatchReceiveTest, SenderTextIsReplacedOnlyWhenTheSenderChanges) {
  Sender other("127.0.0.2");
  m_sender.send(m_port, "a");
  m_sender.send(m_port, "b");
  other.send(m_port, "c");
  CTolvaneString source;
  m_server.ReceiveMessage(source);
  const WCHAR* first = source.getWide();
  m_server.ReceiveMessage(source);
  EXPECT_EQ(source.getWide(), first) << "same sender: the text is kept, not rebuilt";
  m_server.ReceiveMessage(source);
  EXPECT_STREQ(source.getNarrow(), "127.0.0.2");

  // A string the caller changed is corrected even for the same sender.
  other.send(m_port, "d");
  source.setNarrow("stale");
  m_server.ReceiveMessage(source);
  EXPECT_STREQ(source.getNarrow(), "127.0.0.2");
}

TEST_F(BatchReceiveTest, WakeHandleEndsTheWaitButWaitingDatagramsComeFirst) {
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  m_server.setWakeHandle(wake);
  m_sender.send(m_port, "<13>waiting");
  const std::uint64_t one = 1;
  ASSERT_EQ(::write(wake, &one, sizeof(one)), 8);
  CTolvaneString source;
  EXPECT_TRUE(m_server.receiveNext(source));
  EXPECT_EQ(m_server.getRawMessage(), "waiting");
  EXPECT_FALSE(m_server.receiveNext(source));
  EXPECT_EQ(WSAGetLastError(), WSAEINTR);
  EXPECT_EQ(m_server.getReceivedLength(), -1);
  ::close(wake);
}

TEST_F(BatchReceiveTest, WakeFromAnotherThreadEndsABlockedReceiveAtOnce) {
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  m_server.setWakeHandle(wake);
  std::thread waker([wake] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wake, &one, sizeof(one));
  });
  const auto start = std::chrono::steady_clock::now();
  CTolvaneString source;
  EXPECT_FALSE(m_server.receiveNext(source));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
  waker.join();
  ::close(wake);
}

TEST(UDPServerSocketBuffer, AsksForTheConfiguredReceiveBuffer) {
  constexpr int kAsked = 4 * 1024 * 1024;
  CUDPServer server;
  server.setSocketBufferSize(kAsked);
  server.Open();
  int size = 0;
  socklen_t length = sizeof(size);
  ASSERT_EQ(getsockopt(server.getSocket().getSock(), SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
  int limit = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> limit;
  // The kernel doubles what it grants; only a privileged process passes rmem_max.
  const int expected = geteuid() == 0 ? 2 * kAsked : 2 * std::min(kAsked, limit);
  EXPECT_EQ(size, expected);
}

// The socket call fails once with ENOMEM between two good datagrams.
class FailingOnceServer : public CSyslogServer {
 public:
  int calls = 0;

 protected:
  int receiveDatagrams(mmsghdr* slots, unsigned, int flags) override {
    if (++calls == 2) {
      errno = ENOMEM;
      return -1;
    }
    return CSyslogServer::receiveDatagrams(slots, 1, flags);  // one per call, to reach the failure
  }
};

TEST(UDPServerFailure, FailedSocketCallGivesAnEmptyMessageAndTheNextReceiveWorks) {
  FailingOnceServer server;
  server.Open();
  Sender sender;
  sender.send(boundPort(server), "<165>first");
  sender.send(boundPort(server), "<13>second");
  CTolvaneString source;
  EXPECT_STREQ(server.ReceiveMessage(source), "first");
  EXPECT_EQ(server.getFacility(), 20);
  EXPECT_STREQ(server.ReceiveMessage(source), "");
  EXPECT_EQ(server.getReceivedLength(), -1);
  EXPECT_EQ(WSAGetLastError(), WSAENOBUFS);
  EXPECT_EQ(server.getFacility(), 0);
  EXPECT_EQ(server.getPriority(), 0);
  EXPECT_STREQ(source.getNarrow(), "127.0.0.1");
  EXPECT_STREQ(server.ReceiveMessage(source), "second");
}

}  // namespace
