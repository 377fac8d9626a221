// The mail action inside the real corvantd, run by the service manager in a
// private platform root, mailing to a real SMTP server on a loopback port.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/winsock.h"
#include "smtp_test_peers.h"
#include "temp_root.h"
#include "daemon_test_support.h"

namespace {

using namespace daemon_testing;

using namespace std::chrono_literals;
using smtp_test::SmtpSink;

constexpr char kName[] = "TolvaneCorvantel";

std::vector<platform::EventRecord> events(DWORD id) {
  std::vector<platform::EventRecord> records, found;
  platform::readEvents(0, std::string(kName), records);
  for (const auto& record : records) {
    if (record.eventId == id) found.push_back(record);
  }
  return found;
}

class CMailActionE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    m_syslogPort = ntohs(address.sin_port);
  }

  void TearDown() override {
    SC_HANDLE service = open();
    if (service == nullptr) return;
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
      ControlService(service, SERVICE_CONTROL_STOP, &status);
      eventually(
          [&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED; },
          6s);
    }
    CloseServiceHandle(service);
  }

  SC_HANDLE open() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return nullptr;
    SC_HANDLE service = OpenServiceA(manager, kName, SERVICE_ALL_ACCESS);
    CloseServiceHandle(manager);
    return service;
  }

  void start() {
    SC_HANDLE service = open();
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    SERVICE_STATUS status{};
    EXPECT_TRUE(eventually(
        [&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING; },
        10s));
    CloseServiceHandle(service);
  }

  void sendSyslog(const std::string& datagram) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(m_syslogPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::close(fd);
  }

  platform::testing::TempPlatformRoot m_root;
  int m_syslogPort = 0;
};

TEST_F(CMailActionE2eTest, RefusedRecipientLogs117AndTheNextMessageIsMailed) {
  SmtpSink sink(m_root.base() / "mail");
  ASSERT_NE(sink.port(), 0) << "the SMTP server did not start";
  const std::string install = std::string(CORVANTD_PATH) + " -i > /dev/null";
  ASSERT_EQ(std::system(install.c_str()), 0);
  setDword(kParameters, "nSyslogPort", static_cast<DWORD>(m_syslogPort));
  setString(kParameters, "szSMTPServer", "127.0.0.1");
  setDword(kParameters, "nSMTPPort", static_cast<DWORD>(sink.port()));
  setString(kParameters, "szSMTPSender", "corvantel@example.com");
  setString(kParameters, "szSMTPRecipient", "admin@example.com");
  setString(kParameters, "szSMTPSubject", "%s %p: %m");
  // Rule 1 (messages holding "alarm"): mail, mail to a refused recipient, mail.
  // Rule 2 (every message): mail to the global recipient.
  setDword(kRules, "nRuleCount", 2);
  setString(kRules, "R1Message", "alarm");
  setDword(kRules, "R1ActionCount", 3);
  setDword(kRules, "R1A1Type", 1002);
  setString(kRules, "R1A1String", "first@example.com");
  setDword(kRules, "R1A2Type", 1002);
  setString(kRules, "R1A2String", "refused@example.com");
  setDword(kRules, "R1A3Type", 1002);
  setString(kRules, "R1A3String", "third@example.com");
  setDword(kRules, "R2ActionCount", 1);
  setDword(kRules, "R2A1Type", 1002);
  start();

  sendSyslog("<11>alarm one");
  ASSERT_TRUE(eventually([] { return !events(117).empty(); }, 10s));
  sendSyslog("<11>routine two");
  const auto mails = sink.waitForMails(2, 10s);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].envelope, "corvantel@example.com\nfirst@example.com\n");
  EXPECT_NE(mails[0].content.find("\r\nSubject: 127.0.0.1 3: alarm one\r\n"), std::string::npos);
  EXPECT_EQ(mails[1].envelope, "corvantel@example.com\nadmin@example.com\n");
  EXPECT_NE(mails[1].content.find("\r\nSubject: 127.0.0.1 3: routine two\r\n"), std::string::npos);

  const auto refusals = events(117);
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(platform::formatEvent(refusals[0]),
            "An error occured while sending emails.\r\n"
            "Error talking to smtp-server - RCPT TO \nYou may not allowed to relay on this server.\r\n");
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(sink.mails().size(), 2u);
}

}  // namespace
