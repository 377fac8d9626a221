// The receive loop in this process, against a private platform root: real
// sockets, the real rule base and file action, the event log read back.
#include "reception/ReceiveThread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "actions/CFileAction.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "reception/CSyslogServer.h"
#include "rules/action_factory.h"
#include "scoped_time_zone.h"
#include "service/CErrorReport.h"
#include "service/CQuenraSrvc.h"
#include "service/statistics.h"
#include "service/DaemonConfiguration.h"
#include "temp_root.h"
#include "daemon_test_support.h"

namespace {

using namespace daemon_testing;

using namespace std::chrono_literals;
namespace fs = std::filesystem;


void sendTo(int port, const std::string& bytes) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  ::close(fd);
}

std::vector<platform::EventRecord> events() {
  std::vector<platform::EventRecord> records;
  platform::readEvents(0, std::string("TolvaneCorvantel"), records);
  return records;
}

// Every test gets a rule base version of its own: the rule base is one per
// process and reads its rules again only when the version changes.
DWORD nextRuleVersion() {
  static DWORD version = 1000;
  return ++version;
}

// Tells when its socket is bound, so that tests send only then.
class SignallingServer : public CSyslogServer {
 public:
  explicit SignallingServer(std::atomic<bool>& open) : m_open(open) {}
  void Open() override {
    CSyslogServer::Open();
    m_open = true;
  }

 private:
  std::atomic<bool>& m_open;
};

// Facility, priority and text columns (no date), one undated file per name.
class ReceiveThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_logs = m_root.base() / "logs";
    fs::create_directories(m_logs);
    m_port = freeUdpPort();
    setDword(kParameters, "nSyslogPort", static_cast<DWORD>(m_port));
    setString(kParameters, "szBaseLogFilePath", m_logs.string());
    setDword(kParameters, "nUniqueFileName", 0);
    setDword(kParameters, "nFileDateTime", 0);
    setRules(nextRuleVersion(), nullptr);
  }

  void TearDown() override {
    stopThread();
    setActionFactoryForTesting(nullptr);
  }

  // One rule without filters that files every message, into `name`.log when given.
  void setRules(DWORD version, const char* name) {
    setDword(kRules, "nRuleCount", 1);
    setDword(kRules, "R1ActionCount", 1);
    setDword(kRules, "R1A1Type", 1003);
    if (name != nullptr) setString(kRules, "R1A1String", name);
    setDword(kRules, "nRuleVersion", version);
  }

  // Returns once the server's socket is bound.
  void startThread(const std::function<std::unique_ptr<CSyslogServer>(std::atomic<bool>&)>& make =
                       [](std::atomic<bool>& open) { return std::make_unique<SignallingServer>(open); }) {
    loadConfiguration();
    statistics().resetForTesting();
    m_service.setRunning(true);
    m_open = false;
    m_thread = std::thread([this, make] { runReceiveThread(m_service, [&] { return make(m_open); }); });
    ASSERT_TRUE(eventually([&] { return m_open.load(); }));
  }

  // The time the thread took to leave after the stop request.
  std::chrono::milliseconds stopThread() {
    if (!m_thread.joinable()) return 0ms;
    const auto start = std::chrono::steady_clock::now();
    m_service.getReceiveStop().request();
    m_thread.join();
    m_service.getReceiveStop().reset();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }

  std::vector<std::string> lines(const char* name = "Corvantel") const {
    return readLines(m_logs / (std::string(name) + ".log"));
  }

  platform::testing::TempPlatformRoot m_root;
  fs::path m_logs;
  int m_port = 0;
  CQuenraSrvc m_service;
  std::atomic<bool> m_open{false};
  std::thread m_thread;
};

TEST_F(ReceiveThreadTest, FilesEachDatagramAndWritesTheBatchBeforeWaitingAgain) {
  startThread();
  sendTo(m_port, "<13>first");
  // Facility 25 is out of range: the message keeps the facility before it.
  sendTo(m_port, "<205>second, with comma");
  sendTo(m_port, "<0>third");
  // Visible while the thread still runs: written after its batch, not at the end.
  ASSERT_TRUE(eventually([&] { return lines().size() == 3; })) << lines().size();
  EXPECT_EQ(lines(), (std::vector<std::string>{"127.0.0.1,1,5,first", "127.0.0.1,1,5,second, with comma",
                                               "127.0.0.1,0,0,third"}));
  EXPECT_TRUE(m_service.isRunning());
}

TEST_F(ReceiveThreadTest, EachMessageTextGoesToTheDebuggerOutputWhenItIsOn) {
  const fs::path debug = m_root.base() / "debug.txt";
  setenv("CORVANTEL_DEBUG_OUTPUT", debug.c_str(), 1);
  startThread();
  sendTo(m_port, "<13>traced");
  sendTo(m_port, "<13>twice");
  ASSERT_TRUE(eventually([&] { return lines().size() == 2; }));
  unsetenv("CORVANTEL_DEBUG_OUTPUT");
  EXPECT_EQ(readLines(debug), std::vector<std::string>{"tracedtwice"}) << "the texts as they stand, no line ends";
}

TEST_F(ReceiveThreadTest, StopRequestEndsAWaitingThreadAtOnceAndKeepsTheServiceFlag) {
  startThread();
  sendTo(m_port, "<13>before the stop");
  ASSERT_TRUE(eventually([&] { return lines().size() == 1; }));
  EXPECT_LT(stopThread(), 300ms);
  EXPECT_TRUE(m_service.isRunning()) << "a stop request is the service's to finish";
  const auto logged = events();
  ASSERT_EQ(logged.size(), 1u) << "only the figures of the run";
  EXPECT_EQ(logged[0].eventId, 156u);
  EXPECT_EQ(logged[0].type, EVENTLOG_INFORMATION_TYPE);
  ASSERT_EQ(logged[0].strings.size(), 1u);
  EXPECT_EQ(logged[0].strings[0].substr(0, 64),
            "messages received 1, lost in the system's socket buffer 0, resto");
}

// Requests the stop at the moment datagrams are taken from the socket, so that
// a whole batch is in hand when the request arrives.
class StopOnReceiveServer : public SignallingServer {
 public:
  StopOnReceiveServer(std::atomic<bool>& open, ReceiveStop& stop) : SignallingServer(open), m_stop(stop) {}

 protected:
  int receiveDatagrams(mmsghdr* slots, unsigned capacity, int flags) override {
    const int taken = CSyslogServer::receiveDatagrams(slots, capacity, flags);
    if (taken > 0) m_stop.request();
    return taken;
  }

 private:
  ReceiveStop& m_stop;
};

TEST_F(ReceiveThreadTest, NoMessageOfABatchInHandIsDispatchedAfterTheStopRequest) {
  startThread([this](std::atomic<bool>& open) {
    return std::make_unique<StopOnReceiveServer>(open, m_service.getReceiveStop());
  });
  for (int i = 0; i < 5; ++i) sendTo(m_port, "<13>late " + std::to_string(i));
  m_thread.join();
  EXPECT_TRUE(lines().empty());
}

// Fails the socket call twice in a row, then takes one datagram per call.
class FlakyServer : public SignallingServer {
 public:
  FlakyServer(std::atomic<bool>& open, std::atomic<int>& failures)
      : SignallingServer(open), m_failures(failures) {}

 protected:
  int receiveDatagrams(mmsghdr* slots, unsigned, int flags) override {
    if (++m_calls == 2 || m_calls == 3) {
      ++m_failures;
      errno = ENOMEM;
      return -1;
    }
    return CSyslogServer::receiveDatagrams(slots, 1, flags);
  }

 private:
  int m_calls = 0;
  std::atomic<int>& m_failures;
};

TEST_F(ReceiveThreadTest, FailedReceiveDispatchesNothing) {
  std::atomic<int> failures{0};
  startThread([&failures](std::atomic<bool>& open) { return std::make_unique<FlakyServer>(open, failures); });
  sendTo(m_port, "<13>a");
  sendTo(m_port, "<13>b");
  ASSERT_TRUE(eventually([&] { return lines().size() >= 2; }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(failures.load(), 2);
  EXPECT_EQ(lines(), (std::vector<std::string>{"127.0.0.1,1,5,a", "127.0.0.1,1,5,b"}));
  EXPECT_TRUE(m_service.isRunning());
}

TEST_F(ReceiveThreadTest, PortInUseLogsBindErrorAndClearsTheRunningFlag) {
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(m_port));
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  loadConfiguration();
  m_service.setRunning(true);
  EXPECT_EQ(ReceiveThread(&m_service), 0u);
  ::close(holder);

  EXPECT_FALSE(m_service.isRunning());
  const auto logged = events();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].eventId, 8u);
  EXPECT_EQ(logged[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(logged[0].strings, std::vector<std::string>{"Can't bind to socket - ERRORCODE: 10048"});
}

// An action that fails for messages containing "fail" and files the others.
std::unique_ptr<CAction> failingOrFileAction(std::int32_t type) {
  class FailOrFile : public CAction {
   public:
    void Execute(const SyslogMessage& message, const ActionSettings& settings,
                 const CActionListEntry& entry) override {
      if (std::string(message.getMessageA()).find("fail") != std::string::npos) {
        throw CErrorReport(117, 550, "mail refused");
      }
      if (std::string(message.getMessageA()).find("crash") != std::string::npos)
        throw std::runtime_error("x");
      m_file.Execute(message, settings, entry);
    }
    CFileAction m_file;
  };
  return type == 1003 ? std::make_unique<FailOrFile>() : nullptr;
}

TEST_F(ReceiveThreadTest, ErrorReportCostsOnlyItsMessageAndOtherFailuresEndTheThread) {
  setActionFactoryForTesting(failingOrFileAction);
  startThread();
  sendTo(m_port, "<13>please fail");
  sendTo(m_port, "<13>after");
  ASSERT_TRUE(eventually([&] { return lines().size() == 1; }));
  EXPECT_EQ(lines()[0], "127.0.0.1,1,5,after");
  auto logged = events();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].eventId, 117u);
  EXPECT_EQ(logged[0].strings, std::vector<std::string>{"mail refused"});
  EXPECT_TRUE(m_service.isRunning());

  sendTo(m_port, "<13>crash now");
  ASSERT_TRUE(eventually([&] { return !m_service.isRunning(); }));
  m_thread.join();
  logged = events();
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_EQ(logged[1].eventId, 150u);
  EXPECT_EQ(logged[1].strings,
            std::vector<std::string>{"Internal Corvantel error occured. The process was stopped."});
  EXPECT_EQ(logged[2].eventId, 156u) << "the figures of the run";
}

TEST_F(ReceiveThreadTest, ReloadTakesAChangedRuleBaseOnlyWithANewVersion) {
  const DWORD version = nextRuleVersion();
  setRules(version, "first");
  setDword(kParameters, "bReloadRuleBase", 1);
  startThread();
  sendTo(m_port, "<13>a");
  ASSERT_TRUE(eventually([&] { return lines("first").size() == 1; }));

  setString(kRules, "R1A1String", "second");  // same version: not read
  sendTo(m_port, "<13>b");
  ASSERT_TRUE(eventually([&] { return lines("first").size() == 2; }));

  setDword(kRules, "nRuleVersion", version + 1);
  sendTo(m_port, "<13>c");
  ASSERT_TRUE(eventually([&] { return lines("second").size() == 1; }));
  EXPECT_EQ(lines("second")[0], "127.0.0.1,1,5,c");
  EXPECT_EQ(lines("first").size(), 2u);
}

TEST_F(ReceiveThreadTest, WithoutReloadTheRuleBaseOfTheStartStays) {
  setRules(nextRuleVersion(), "first");
  startThread();
  setString(kRules, "R1A1String", "second");
  setDword(kRules, "nRuleVersion", nextRuleVersion());
  sendTo(m_port, "<13>a");
  ASSERT_TRUE(eventually([&] { return lines("first").size() == 1; }));
  EXPECT_FALSE(fs::exists(m_logs / "second.log"));
}

TEST_F(ReceiveThreadTest, OwnTimeStampOfAnRfc5424MessageDatesItsLineAndTheNilValueKeepsReception) {
  platform::testing::ScopedTimeZone zone("UTC");
  setDword(kParameters, "nUseOrgTimeStamp", 1);
  setDword(kParameters, "nFileDateTime", 1);
  startThread();
  const std::time_t before = std::time(nullptr);
  sendTo(m_port, "<13>1 2026-12-08T10:00:00.123+01:00 host app - - - stamped");
  sendTo(m_port, "<13>1 - host app - - - nil");
  ASSERT_TRUE(eventually([&] { return lines().size() == 2; })) << lines().size();
  const std::time_t after = std::time(nullptr);
  const std::vector<std::string> found = lines();
  // The text as it came, stamp and all.
  EXPECT_EQ(found[0],
            "2026-12-08,09:00:00,127.0.0.1,1,5,1 2026-12-08T10:00:00.123+01:00 host app - - - stamped");
  ASSERT_GT(found[1].size(), 20u);
  EXPECT_EQ(found[1].substr(20), "127.0.0.1,1,5,1 - host app - - - nil");
  std::tm fields{};
  ASSERT_NE(strptime(found[1].c_str(), "%Y-%m-%d,%H:%M:%S,", &fields), nullptr) << found[1];
  const std::time_t dated = timegm(&fields);
  EXPECT_GE(dated, before);
  EXPECT_LE(dated, after);
  stopThread();  // before the zone goes back: the thread reads it
}

}  // namespace
