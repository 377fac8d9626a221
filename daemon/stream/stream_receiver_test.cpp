// The connections' thread in the test's process, with a queue of its own:
// senders and their messages, the limits, hostile peers, flow control, the
// stop, and the TLS files.
#include "stream/stream_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "daemon_test_support.h"
#include "pipeline/MessageQueue.h"
#include "platform/eventlog.h"
#include "reception/ReceiveThread.h"
#include "service/event_ids.h"
#include "service/statistics.h"
#include "temp_root.h"
#include "test_certificates.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using daemon_testing::eventually;

struct Taken {
  std::string text;
  std::string sender;
  bool truncated;
};

struct Event {
  WORD type;
  DWORD id;
  std::string text;
};

int connectTo(int port, int family = AF_INET) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage address{};
  socklen_t length = 0;
  if (family == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof v6;
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4.sin_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof v4;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A message framed by its octet count.
std::string counted(const std::string& text) { return std::to_string(text.size()) + " " + text; }

void sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

// True when the service closed the connection within `limit`.
bool closedByService(int fd, std::chrono::milliseconds limit = 3000ms) {
  pollfd wait{fd, POLLIN, 0};
  if (::poll(&wait, 1, static_cast<int>(limit.count())) != 1) return false;
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

class StreamReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override { m_counters.resetForTesting(); }
  void TearDown() override { stopReceiver(); }

  // Starts the thread with `settings` (ports picked here when 1).
  bool startReceiver(StreamSettings settings, queue::MessageQueue::Limits limits = {}) {
    if (settings.tcpPort == 1) settings.tcpPort = daemon_testing::freeTcpPort();
    if (settings.tlsPort == 1) settings.tlsPort = daemon_testing::freeTcpPort();
    m_tcpPort = settings.tcpPort;
    m_tlsPort = settings.tlsPort;
    m_queue = std::make_unique<queue::MessageQueue>(m_root.base() / "spool", limits, m_counters, nullptr);
    m_queue->open();
    m_receiver = std::make_unique<StreamReceiver>(settings, *m_queue, m_counters,
                                                  [this](WORD type, DWORD id, const std::string& text) {
                                                    std::lock_guard lock(m_mutex);
                                                    m_events.push_back({type, id, text});
                                                  });
    if (!m_receiver->open()) return false;
    m_thread = std::thread([this] { m_receiver->run(m_stop); });
    return true;
  }

  void stopReceiver() {
    if (!m_thread.joinable()) return;
    m_stop.request();
    m_thread.join();
  }

  // Takes what the queue holds until `count` messages were taken or `limit`
  // has passed.
  std::vector<Taken> take(std::size_t count, std::chrono::milliseconds limit = 3000ms) {
    const auto process = [&](const char* record) {
      const queue::RecordHeader& header = queue::headerAt(record);
      char sender[INET6_ADDRSTRLEN] = "";
      inet_ntop(header.family, header.address, sender, sizeof sender);
      m_taken.push_back({queue::textAt(record), sender, (header.flags & queue::kFlagTruncated) != 0});
    };
    eventually(
        [&] {
          while (read(m_counters.queuedMemory) > 0 && m_taken.size() < count) {
            m_queue->processNext(process, [] { return false; });
          }
          return m_taken.size() >= count;
        },
        limit);
    return m_taken;
  }

  std::vector<Event> eventsWith(DWORD id) {
    std::lock_guard lock(m_mutex);
    std::vector<Event> found;
    for (const Event& event : m_events) {
      if (event.id == id) found.push_back(event);
    }
    return found;
  }

  platform::testing::TempPlatformRoot m_root;
  Statistics m_counters;
  ReceiveStop m_stop;
  std::unique_ptr<queue::MessageQueue> m_queue;
  std::unique_ptr<StreamReceiver> m_receiver;
  std::thread m_thread;
  std::mutex m_mutex;
  std::vector<Event> m_events;
  std::vector<Taken> m_taken;
  int m_tcpPort = 0;
  int m_tlsPort = 0;
};

TEST_F(StreamReceiverTest, MessagesOfEverySenderInTheirOrderWithTheLongOnesCut) {
  StreamSettings settings;
  settings.tcpPort = 1;
  settings.maxMessage = 20;
  ASSERT_TRUE(startReceiver(settings));
  const int v4 = connectTo(m_tcpPort);
  sendAll(v4, "<13>first\n" + counted("<13>counted and too long"));
  ASSERT_EQ(take(2).size(), 2u);
  const int v6 = connectTo(m_tcpPort, AF_INET6);
  if (v6 >= 0) sendAll(v6, "<14>over IPv6\r\n");
  // A slow sender, a byte at a time, holds nobody up.
  const std::string slow = "<15>slowly\n";
  for (const char c : slow.substr(0, 4)) sendAll(v4, std::string(1, c)), std::this_thread::sleep_for(20ms);
  if (v6 >= 0) {
    ASSERT_EQ(take(3).size(), 3u);
  }
  sendAll(v4, slow.substr(4) + "<16>" + std::string(30, 'x') + "\n");
  const std::vector<Taken> taken = take(v6 >= 0 ? 5 : 4);
  ::close(v4);
  if (v6 >= 0) ::close(v6);

  std::vector<std::string> texts;
  for (const Taken& each : taken) texts.push_back(each.text + (each.truncated ? "[cut]" : "") + "@" + each.sender);
  std::vector<std::string> expected{"<13>first@127.0.0.1", "<13>counted and too [cut]@127.0.0.1"};
  if (v6 >= 0) expected.push_back("<14>over IPv6@::1");
  expected.push_back("<15>slowly@127.0.0.1");
  expected.push_back("<16>xxxxxxxxxxxxxxxx[cut]@127.0.0.1");
  EXPECT_EQ(texts, expected);
  EXPECT_EQ(read(m_counters.streamMessages), expected.size());
  EXPECT_EQ(read(m_counters.received), expected.size());
}

TEST_F(StreamReceiverTest, MalformedFramingClosesOnlyItsConnection) {
  StreamSettings settings;
  settings.tcpPort = 1;
  ASSERT_TRUE(startReceiver(settings));
  const int good = connectTo(m_tcpPort);
  const int bad = connectTo(m_tcpPort);
  sendAll(bad, "<13>before\n12x<13>after");
  EXPECT_TRUE(closedByService(bad));
  sendAll(good, "<13>good one\n");
  const std::vector<Taken> taken = take(2);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].text, "<13>before");
  EXPECT_EQ(taken[1].text, "<13>good one");
  const std::vector<Event> events = eventsWith(kEventStreamMalformed);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].text.find("127.0.0.1:"), std::string::npos) << events[0].text;
  EXPECT_NE(events[0].text.find("an octet count followed by 'x' instead of a space"), std::string::npos)
      << events[0].text;
  EXPECT_EQ(read(m_counters.streamMalformed), 1u);
  ::close(good);
  ::close(bad);
}

TEST_F(StreamReceiverTest, ConnectionsBeyondTheLimitAreRefusedAndSilentOnesClosed) {
  StreamSettings settings;
  settings.tcpPort = 1;
  settings.maxConnections = 2;
  settings.idleTimeout = 2s;
  ASSERT_TRUE(startReceiver(settings));
  const int first = connectTo(m_tcpPort);
  const int second = connectTo(m_tcpPort);
  ASSERT_TRUE(eventually([&] { return read(m_counters.streamOpen) == 2; }));
  for (int i = 0; i < 2; ++i) {
    const int refused = connectTo(m_tcpPort);
    EXPECT_TRUE(closedByService(refused));
    ::close(refused);
  }
  EXPECT_EQ(read(m_counters.streamRefused), 2u);
  EXPECT_EQ(eventsWith(kEventStreamRefusing).size(), 1u) << "one event per episode";

  // The first keeps talking; the second says nothing and is closed, which
  // makes room again.
  const auto start = std::chrono::steady_clock::now();
  while (!closedByService(second, 500ms)) {
    sendAll(first, "<13>alive\n");
    ASSERT_LT(std::chrono::steady_clock::now() - start, 5s) << "the silent connection stayed open";
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_FALSE(closedByService(first, 100ms));
  const int third = connectTo(m_tcpPort);
  sendAll(third, "<13>room again\n");
  ASSERT_TRUE(eventually([&] { return read(m_counters.streamMessages) > 0 && read(m_counters.streamOpen) == 2; }));
  const std::vector<Taken> taken = take(read(m_counters.streamMessages));
  EXPECT_EQ(taken.back().text, "<13>room again");
  ::close(first);
  ::close(second);
  ::close(third);
}

TEST_F(StreamReceiverTest, AFullQueueHoldsTheSendersBackAndLosesNothing) {
  StreamSettings settings;
  settings.tcpPort = 1;
  // The smallest memory the queue takes (three blocks), and no consumer yet.
  ASSERT_TRUE(startReceiver(settings, {1, 1 << 20}));
  // 30 MiB of messages, far more than the queue's memory and the sockets'
  // buffers hold.
  constexpr int kMessages = 300000;
  std::atomic<int> sent{0};
  std::thread sender([&] {
    const int fd = connectTo(m_tcpPort);
    std::string batch;
    for (int i = 0; i < kMessages; ++i) {
      batch += "<13>message " + std::to_string(i) + " " + std::string(80, '.') + "\n";
      if (i % 1000 == 999) {
        sendAll(fd, batch);
        batch.clear();
        sent = i + 1;
      }
    }
    ::close(fd);
  });
  // The sender is held back by TCP, and the queue holds what its memory takes.
  std::this_thread::sleep_for(1s);
  EXPECT_LT(sent.load(), kMessages);
  EXPECT_LT(read(m_counters.received), 20000u);
  const std::vector<Taken> taken = take(kMessages, 20s);
  sender.join();
  ASSERT_EQ(taken.size(), static_cast<std::size_t>(kMessages));
  for (int i = 0; i < kMessages; ++i) {
    ASSERT_EQ(taken[i].text.substr(0, taken[i].text.find(' ', 12)), "<13>message " + std::to_string(i)) << i;
  }
  EXPECT_EQ(read(m_counters.queueDropped), 0u);
  EXPECT_EQ(read(m_counters.queuedDisk), 0u) << "connections never fill the spool";
}

TEST_F(StreamReceiverTest, AStopTakesWhatTheConnectionsHold) {
  StreamSettings settings;
  settings.tcpPort = 1;
  ASSERT_TRUE(startReceiver(settings));
  const int fd = connectTo(m_tcpPort);
  ASSERT_TRUE(eventually([&] { return read(m_counters.streamOpen) == 1; }));
  std::string burst;
  for (int i = 0; i < 5000; ++i) burst += "<13>burst " + std::to_string(i) + "\n";
  sendAll(fd, burst + "<13>no line end at the stop");
  stopReceiver();
  EXPECT_EQ(read(m_counters.received), 5001u);
  EXPECT_EQ(take(5001).back().text, "<13>no line end at the stop");
  ::close(fd);
}

class StreamTlsTest : public StreamReceiverTest {
 protected:
  void SetUp() override {
    StreamReceiverTest::SetUp();
    m_certificates = daemon_testing::makeTestCertificates(m_root.base() / "tls");
    ASSERT_EQ(m_certificates.why, "");
  }

  StreamSettings tlsSettings(bool requireClientCertificate) {
    StreamSettings settings;
    settings.tlsPort = 1;
    settings.tls.certificate = m_certificates.serverCertificate;
    settings.tls.key = m_certificates.serverKey;
    if (requireClientCertificate) settings.tls.authorities = m_certificates.caCertificate;
    return settings;
  }

  // A TLS client on a blocking socket; null when the handshake failed.
  SSL* connectTls(bool withCertificate) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    m_contexts.push_back(context);
    SSL_CTX_load_verify_locations(context, m_certificates.caCertificate.c_str(), nullptr);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (withCertificate) {
      SSL_CTX_use_certificate_file(context, m_certificates.clientCertificate.c_str(), SSL_FILETYPE_PEM);
      SSL_CTX_use_PrivateKey_file(context, m_certificates.clientKey.c_str(), SSL_FILETYPE_PEM);
    }
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, connectTo(m_tlsPort));
    if (SSL_connect(ssl) != 1) {
      ::close(SSL_get_fd(ssl));
      SSL_free(ssl);
      return nullptr;
    }
    m_sessions.push_back(ssl);
    return ssl;
  }

  void TearDown() override {
    StreamReceiverTest::TearDown();
    for (SSL* ssl : m_sessions) {
      ::close(SSL_get_fd(ssl));
      SSL_free(ssl);
    }
    for (SSL_CTX* context : m_contexts) SSL_CTX_free(context);
  }

  daemon_testing::TestCertificates m_certificates;
  std::vector<SSL_CTX*> m_contexts;
  std::vector<SSL*> m_sessions;
};

TEST_F(StreamTlsTest, SendersWithACertificateGetThroughAndOthersFailAlone) {
  StreamSettings settings = tlsSettings(true);
  settings.handshakeTimeout = 500ms;
  ASSERT_TRUE(startReceiver(settings));
  // A peer that never starts its handshake, and one that sends no TLS at all.
  const int silent = connectTo(m_tlsPort);
  const int garbage = connectTo(m_tlsPort);
  sendAll(garbage, "<13>this is not TLS\n");
  EXPECT_TRUE(closedByService(garbage));
  // A sender without a certificate: with TLS 1.3 its handshake ends before
  // the service has checked it, and the refusal comes at its first read.
  if (SSL* refused = connectTls(false)) {
    const std::string text = "<13>without a certificate\n";
    SSL_write(refused, text.data(), static_cast<int>(text.size()));
    char byte;
    EXPECT_LE(SSL_read(refused, &byte, 1), 0);
  }

  SSL* ssl = connectTls(true);
  ASSERT_NE(ssl, nullptr);
  const std::string messages = "<13>over TLS\n" + counted("<13>counted in TLS");
  ASSERT_EQ(SSL_write(ssl, messages.data(), static_cast<int>(messages.size())), static_cast<int>(messages.size()));
  const std::vector<Taken> taken = take(2);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].text, "<13>over TLS");
  EXPECT_EQ(taken[1].text, "<13>counted in TLS");

  EXPECT_TRUE(closedByService(silent));
  ::close(silent);
  EXPECT_TRUE(eventually([&] { return read(m_counters.tlsFailed) == 3; })) << read(m_counters.tlsFailed);
  // One event now; the others of the minute are counted for the next one.
  const std::vector<Event> events = eventsWith(kEventTlsFailed);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].text.find("failed in the handshake"), std::string::npos) << events[0].text;
}

TEST_F(StreamTlsTest, FilesThatCannotBeUsedAreNamedAndLeaveTcpRunning) {
  const fs::path missing = m_root.base() / "missing.pem";
  const struct {
    TlsFiles files;
    std::string expected;
  } cases[] = {
      {{missing, m_certificates.serverKey, ""},
       "the certificate file " + missing.string() + " (szTlsCertificateFile) cannot be read: No such file"},
      {{m_certificates.serverCertificate, "", ""}, "no key file is set (szTlsKeyFile)"},
      {{m_certificates.serverCertificate, m_certificates.clientKey, ""},
       "the key file " + m_certificates.clientKey.string() + " (szTlsKeyFile) does not belong to the certificate"},
      {{m_certificates.serverCertificate, m_certificates.serverKey, m_certificates.serverKey},
       "the CA file " + m_certificates.serverKey.string() + " (szTlsCaFile) does not hold certificates"},
      {{m_certificates.serverKey, m_certificates.serverKey, ""},
       "(szTlsCertificateFile) does not hold a certificate in PEM"},
  };
  for (const auto& each : cases) {
    std::string problem;
    EXPECT_EQ(TlsContext::load(each.files, problem), nullptr);
    EXPECT_NE(problem.find(each.expected), std::string::npos) << problem;
  }

  StreamSettings settings = tlsSettings(false);
  settings.tls.key = missing;
  settings.tcpPort = 1;
  ASSERT_TRUE(startReceiver(settings));
  ASSERT_EQ(eventsWith(kEventTlsOff).size(), 1u);
  EXPECT_NE(eventsWith(kEventTlsOff)[0].text.find(missing.string()), std::string::npos);
  EXPECT_LT(connectTo(m_tlsPort), 0) << "TLS is off";
  const int fd = connectTo(m_tcpPort);
  sendAll(fd, "<13>over TCP\n");
  EXPECT_EQ(take(1).size(), 1u);
  ::close(fd);
}

TEST(PeerEventLimiter, OneEventAMinuteWithTheCountOfThoseHeld) {
  PeerEventLimiter limiter;
  const auto start = std::chrono::steady_clock::time_point{} + 1h;
  EXPECT_EQ(limiter.admit("first.", start), "first.");
  EXPECT_EQ(limiter.admit("second.", start + 1s), std::nullopt);
  EXPECT_EQ(limiter.admit("third.", start + 59s), std::nullopt);
  EXPECT_EQ(limiter.admit("fourth.", start + 60s), "fourth. 2 similar events before this one were not logged.");
  EXPECT_EQ(limiter.admit("fifth.", start + 121s), "fifth.");
}

}  // namespace
