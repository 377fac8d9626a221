// corvantd under the service manager receiving syslog over TCP and TLS from
// real senders: logger(1) with both framings and over IPv6, rsyslog's omfwd
// over TCP and over TLS, openssl s_client for the certificate checks, and
// peers that break the protocol while good senders go on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

#include "platform/eventlog.h"
#include "platform/paths.h"
#include "rsyslog_peer.h"
#include "service/event_ids.h"
#include "service_fixture.h"
#include "test_certificates.h"

namespace {

using namespace daemon_testing;
using namespace std::chrono_literals;
using corvantel::testing::RsyslogPeer;

// A connection of the test's own to 127.0.0.1: sends bytes as they are
// given, and sees whether the service closed it.
class RawPeer {
 public:
  explicit RawPeer(int port) : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_connected = ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawPeer() { ::close(m_fd); }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  bool connected() const { return m_connected; }
  bool send(const std::string& bytes) {
    return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // True when the service ends the connection within `limit` (what it sends
  // first, a TLS alert say, is read and ignored).
  bool closedByService(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd wait{m_fd, POLLIN, 0};
      if (::poll(&wait, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) return false;
      char buffer[512];
      if (::recv(m_fd, buffer, sizeof buffer, 0) <= 0) return true;
    }
  }

 private:
  int m_fd;
  bool m_connected = false;
};

class StreamEndToEndTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    m_tcpPort = freeTcpPort();
    do {
      m_tlsPort = freeTcpPort();
    } while (m_tlsPort == m_tcpPort);
  }

  void installTcp() {
    install();
    setDword(kParameters, "nTcpPort", static_cast<DWORD>(m_tcpPort));
  }
  // TCP, and TLS with the test's certificates; with `senderCertificates` the
  // CA file is set and senders need a certificate from it.
  void installTls(bool senderCertificates) {
    m_certificates = makeTestCertificates(m_root.base() / "certificates");
    ASSERT_EQ(m_certificates.why, "");
    installTcp();
    setDword(kParameters, "nTlsPort", static_cast<DWORD>(m_tlsPort));
    setString(kParameters, "szTlsCertificateFile", m_certificates.serverCertificate.string());
    setString(kParameters, "szTlsKeyFile", m_certificates.serverKey.string());
    if (senderCertificates) setString(kParameters, "szTlsCaFile", m_certificates.caCertificate.string());
  }

  // Starts the service and waits for its TCP and TLS ports: it reports
  // running once the UDP port is open, and they open right after (event 175).
  void startListening() {
    start();
    ASSERT_TRUE(eventually([&] { return !events(kEventStreamListening).empty(); }, 3s));
  }

  void loggerOverTcp(const std::string& options, const std::string& text, const char* server = "127.0.0.1") {
    const Outcome sent = run(std::string("logger -n ") + server + " -P " + std::to_string(m_tcpPort) +
                             " --tcp " + options + " --rfc3164 -t app '" + text + "' 2>&1");
    ASSERT_EQ(sent.status, 0) << sent.output;
  }
  // One message over TLS with openssl s_client, which ends when its input
  // does; `options` may add a certificate. Its output, for a failing test.
  std::string sClient(const std::string& options, const std::string& text) {
    return run("printf '%s\\n' '" + text + "' | openssl s_client -connect 127.0.0.1:" +
               std::to_string(m_tlsPort) + " -quiet -no_ign_eof " + options + " 2>&1")
        .output;
  }

  // An rsyslogd that takes datagrams on a port of its own and passes them on
  // through `actions`; the test fails when it does not start.
  std::unique_ptr<RsyslogPeer> startRelay(const std::string& actions) {
    auto relay = std::make_unique<RsyslogPeer>(m_root.base() / "rsyslog", freeUdpPort(), actions);
    EXPECT_TRUE(relay->start()) << relay->why();
    return relay;
  }
  void loggerTo(const RsyslogPeer& relay, const std::string& text) {
    const Outcome sent = run("logger -n 127.0.0.1 -P " + std::to_string(relay.port()) +
                             " -d --rfc3164 -t app '" + text + "' 2>&1");
    ASSERT_EQ(sent.status, 0) << sent.output;
  }
  // omfwd to the service's TLS port, checking its certificate and showing
  // the sender's.
  std::string tlsForward() const {
    const auto file = [](const char* name, const std::filesystem::path& path) {
      return std::string(" StreamDriver.") + name + "=\"" + path.string() + "\"";
    };
    return "action(type=\"omfwd\" target=\"127.0.0.1\" port=\"" + std::to_string(m_tlsPort) +
           "\" protocol=\"tcp\" StreamDriver=\"ossl\" StreamDriverMode=\"1\" "
           "StreamDriverAuthMode=\"x509/name\" StreamDriverPermittedPeers=\"localhost\"" +
           file("CAFile", m_certificates.caCertificate) + file("CertFile", m_certificates.clientCertificate) +
           file("KeyFile", m_certificates.clientKey) + ")";
  }

  // The texts of the service's events with identifier `id`, oldest first.
  std::vector<std::string> events(DWORD id) const {
    std::vector<platform::EventRecord> all;
    platform::readEvents(0, std::string(kService), all);
    std::vector<std::string> texts;
    for (const auto& event : all) {
      if (event.eventId == id) texts.push_back(platform::formatEvent(event));
    }
    return texts;
  }
  // One figure of the statistics file that `corvctl stats` shows.
  std::uint64_t figure(const char* key) const {
    std::ifstream file(platform::serviceStateFolder(kService) / "stats");
    for (std::string line; std::getline(file, line);) {
      if (line.rfind(std::string(key) + "=", 0) == 0) return std::stoull(line.substr(std::strlen(key) + 1));
    }
    return ~std::uint64_t{0};
  }
  // The filed lines whose text holds `word`, in file order.
  std::vector<std::string> linesWith(const std::string& word) const {
    std::vector<std::string> found;
    for (const std::string& line : lines()) {
      if (line.find(word) != std::string::npos) found.push_back(line);
    }
    return found;
  }

  int m_tcpPort = 0;
  int m_tlsPort = 0;
  TestCertificates m_certificates;
};

TEST_F(StreamEndToEndTest, LoggerOverTcpWithBothFramingsBesideUdp) {
  installTcp();
  startListening();
  loggerOverTcp("", "lines over TCP");
  ASSERT_TRUE(eventually([&] { return lines().size() == 1; }, 3s));
  loggerOverTcp("--octet-count", "counted over TCP");
  ASSERT_TRUE(eventually([&] { return lines().size() == 2; }, 3s));
  logger("and a datagram");
  ASSERT_TRUE(eventually([&] { return lines().size() == 3; }, 3s));
  const std::vector<std::string> filed = lines();
  EXPECT_EQ(filed[0].rfind("127.0.0.1,1,5,", 0), 0u) << filed[0];
  EXPECT_NE(filed[0].find("app: lines over TCP"), std::string::npos) << filed[0];
  EXPECT_NE(filed[1].find("app: counted over TCP"), std::string::npos) << filed[1];
  EXPECT_NE(filed[2].find("app: and a datagram"), std::string::npos) << filed[2];
  EXPECT_LT(stop(), 1500ms);
}

TEST_F(StreamEndToEndTest, LoggerOverTcpToIPv6LoopbackIsFiledUnderItsAddress) {
  if (!hasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  installTcp();
  startListening();
  loggerOverTcp("--octet-count", "counted over IPv6", "::1");
  loggerOverTcp("", "lines over IPv6", "::1");
  ASSERT_TRUE(eventually([&] { return lines().size() == 2; }, 3s));
  for (const std::string& line : lines()) EXPECT_EQ(line.rfind("::1,1,5,", 0), 0u) << line;
  EXPECT_NE(lines()[1].find("app: lines over IPv6"), std::string::npos) << lines()[1];
}

TEST_F(StreamEndToEndTest, RsyslogForwardsOverTcpWithEitherFramingInOrder) {
  installTcp();
  startListening();
  // One connection per framing: the counted messages on one, the others on
  // the other, each in the order they were sent.
  const std::string forward = "action(type=\"omfwd\" target=\"127.0.0.1\" port=\"" +
                              std::to_string(m_tcpPort) + "\" protocol=\"tcp\" TCP_Framing=";
  const auto relay = startRelay("if $msg contains \"counted\" then {\n" + forward +
                                "\"octet-counted\")\n} else {\n" + forward + "\"traditional\")\n}");
  for (int i = 1; i <= 3; ++i) {
    loggerTo(*relay, "counted " + std::to_string(i) + " with a line feed\n inside");
    loggerTo(*relay, "line " + std::to_string(i));
  }
  ASSERT_TRUE(eventually([&] { return lines().size() == 6; }, 5s)) << lines().size();
  const std::vector<std::string> counted = linesWith("app: counted ");
  const std::vector<std::string> plain = linesWith("app: line ");
  ASSERT_EQ(counted.size(), 3u);
  ASSERT_EQ(plain.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(counted[i].rfind("127.0.0.1,1,5,", 0), 0u) << counted[i];
    // Octet counting carries the line feed; the file shows it escaped.
    EXPECT_NE(counted[i].find("app: counted " + std::to_string(i + 1) + " with a line feed#012 inside"),
              std::string::npos)
        << counted[i];
    EXPECT_NE(plain[i].find("app: line " + std::to_string(i + 1)), std::string::npos) << plain[i];
  }
  EXPECT_EQ(events(kEventStreamMalformed).size(), 0u);
}

TEST_F(StreamEndToEndTest, WithACaFileOnlySendersWithACertificateFromItGetThrough) {
  installTls(true);
  startListening();
  const std::vector<std::string> listening = events(kEventStreamListening);
  ASSERT_EQ(listening.size(), 1u);
  EXPECT_NE(listening[0].find("over TLS on port " + std::to_string(m_tlsPort)), std::string::npos)
      << listening[0];
  EXPECT_NE(listening[0].find("senders need a certificate"), std::string::npos) << listening[0];

  const auto relay = startRelay(tlsForward());
  for (int i = 1; i <= 3; ++i) loggerTo(*relay, "over TLS " + std::to_string(i));
  ASSERT_TRUE(eventually([&] { return lines().size() == 3; }, 5s)) << lines().size();

  const std::string refused = sClient("", "<13>app: without a certificate");
  ASSERT_TRUE(eventually([&] { return events(kEventTlsFailed).size() == 1; }, 3s)) << refused;
  const std::string failed = events(kEventTlsFailed)[0];
  EXPECT_NE(failed.find("the connection from 127.0.0.1:"), std::string::npos) << failed;
  EXPECT_NE(failed.find("certificate"), std::string::npos) << failed;

  const std::string accepted = sClient(
      "-cert " + m_certificates.clientCertificate.string() + " -key " + m_certificates.clientKey.string(),
      "<13>app: with a certificate");
  ASSERT_TRUE(eventually([&] { return lines().size() == 4; }, 3s)) << accepted;
  const std::vector<std::string> filed = lines();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(filed[i].rfind("127.0.0.1,1,5,", 0), 0u) << filed[i];
    EXPECT_NE(filed[i].find("app: over TLS " + std::to_string(i + 1)), std::string::npos) << filed[i];
  }
  EXPECT_NE(filed[3].find("app: with a certificate"), std::string::npos) << filed[3];
  EXPECT_TRUE(linesWith("without a certificate").empty());
  EXPECT_TRUE(eventually([&] { return figure("tls_failed") == 1; }, 3s));
}

TEST_F(StreamEndToEndTest, AMissingKeyFileTurnsTlsOffAndLeavesTcpAndUdp) {
  installTls(false);
  const std::string missing = (m_root.base() / "certificates" / "missing.key").string();
  setString(kParameters, "szTlsKeyFile", missing);
  startListening();
  const std::vector<std::string> off = events(kEventTlsOff);
  ASSERT_EQ(off.size(), 1u);
  EXPECT_NE(off[0].find("the key file " + missing + " (szTlsKeyFile) cannot be read"), std::string::npos)
      << off[0];
  const std::vector<std::string> listening = events(kEventStreamListening);
  ASSERT_EQ(listening.size(), 1u);
  EXPECT_NE(listening[0].find("over TCP on port " + std::to_string(m_tcpPort)), std::string::npos)
      << listening[0];
  EXPECT_EQ(listening[0].find("over TLS"), std::string::npos) << listening[0];
  EXPECT_FALSE(RawPeer(m_tlsPort).connected());

  loggerOverTcp("--octet-count", "still over TCP");
  logger("still over UDP");
  ASSERT_TRUE(eventually([&] { return lines().size() == 2; }, 3s));
  EXPECT_EQ(linesWith("app: still over").size(), 2u);
}

TEST_F(StreamEndToEndTest, HostilePeersCostOnlyTheirOwnConnections) {
  installTls(false);
  startListening();
  // Plain text where a handshake should be, and a handshake that never
  // starts.
  RawPeer garbage(m_tlsPort);
  RawPeer silent(m_tlsPort);
  ASSERT_TRUE(garbage.connected() && silent.connected());
  ASSERT_TRUE(garbage.send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  EXPECT_TRUE(garbage.closedByService(3s));
  // A good message, then an octet count that is no number.
  RawPeer broken(m_tcpPort);
  ASSERT_TRUE(broken.connected());
  ASSERT_TRUE(broken.send("<13>app: before the break\n12x<13>app: after the break\n"));
  EXPECT_TRUE(broken.closedByService(3s));

  loggerOverTcp("--octet-count", "good over TCP");
  logger("good over UDP");
  const std::string tls = sClient("", "<13>app: good over TLS");
  ASSERT_TRUE(eventually([&] { return lines().size() == 4; }, 3s)) << tls;
  EXPECT_EQ(linesWith("app: before the break").size(), 1u);
  EXPECT_TRUE(linesWith("after the break").empty());
  EXPECT_EQ(linesWith("app: good over").size(), 3u);

  const std::vector<std::string> malformed = events(kEventStreamMalformed);
  ASSERT_EQ(malformed.size(), 1u);
  EXPECT_NE(malformed[0].find("over TCP broke the framing"), std::string::npos) << malformed[0];
  const std::vector<std::string> failed = events(kEventTlsFailed);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_NE(failed[0].find("failed in the handshake"), std::string::npos) << failed[0];
  // The silent one is the only connection left open.
  EXPECT_TRUE(eventually(
      [&] { return figure("tcp_malformed") == 1 && figure("tls_failed") == 1 && figure("tcp_open") == 1; },
      3s));
  EXPECT_FALSE(silent.closedByService(0ms));
  // The silent handshake holds up no stop.
  EXPECT_LT(stop(), 1500ms);
}

}  // namespace
