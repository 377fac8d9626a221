// corvantd under the service manager with senders over IPv4 and IPv6 on its
// one syslog port: logger(1) to 127.0.0.1 and to ::1.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "service_fixture.h"

namespace {

using namespace daemon_testing;
using namespace std::chrono_literals;

class DualStackEndToEndTest : public ServiceFixture {
 protected:
  void loggerTo(const char* server, const std::string& text) {
    const Outcome sent = run(std::string("logger -n ") + server + " -P " + std::to_string(m_port) +
                             " -d --rfc3164 -t app '" + text + "' 2>&1");
    ASSERT_EQ(sent.status, 0) << sent.output;
  }
};

TEST_F(DualStackEndToEndTest, IPv4AndIPv6SendersReachTheSamePortAndAreFiledUnderTheirAddresses) {
  if (!hasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  install();
  start();
  loggerTo("127.0.0.1", "first over IPv4");
  ASSERT_TRUE(eventually([&] { return lines().size() == 1; }, 3s));
  loggerTo("::1", "then over IPv6");
  ASSERT_TRUE(eventually([&] { return lines().size() == 2; }, 3s));
  loggerTo("127.0.0.1", "and IPv4 again");
  ASSERT_TRUE(eventually([&] { return lines().size() == 3; }, 3s));

  const std::vector<std::string> filed = lines();
  EXPECT_EQ(filed[0].rfind("127.0.0.1,1,5,", 0), 0u) << filed[0];
  EXPECT_NE(filed[0].find("app: first over IPv4"), std::string::npos) << filed[0];
  EXPECT_EQ(filed[1].rfind("::1,1,5,", 0), 0u) << filed[1];
  EXPECT_NE(filed[1].find("app: then over IPv6"), std::string::npos) << filed[1];
  EXPECT_EQ(filed[2].rfind("127.0.0.1,1,5,", 0), 0u) << filed[2];
  EXPECT_LT(stop(), 1000ms);
}

}  // namespace
