// corvantd under the service manager receiving syslog over TCP and TLS from
// real senders: logger(1) with both framings and over IPv6, rsyslog's omfwd
// over TCP and over TLS, and openssl s_client for the certificate checks.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "service_fixture.h"

namespace {

using namespace daemon_testing;
using namespace std::chrono_literals;

class StreamEndToEndTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    m_tcpPort = freeTcpPort();
  }
  void loggerOverTcp(const std::string& options, const std::string& text, const char* server = "127.0.0.1") {
    const Outcome sent = run(std::string("logger -n ") + server + " -P " + std::to_string(m_tcpPort) + " --tcp " +
                             options + " --rfc3164 -t app '" + text + "' 2>&1");
    ASSERT_EQ(sent.status, 0) << sent.output;
  }
  int m_tcpPort = 0;
};

TEST_F(StreamEndToEndTest, LoggerOverTcpWithBothFramingsBesideUdp) {
  install();
  setDword(kParameters, "nTcpPort", static_cast<DWORD>(m_tcpPort));
  start();
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

}  // namespace
