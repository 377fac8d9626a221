// corvantd end to end: the real program run from a command line and by the
// service control manager, in a private platform root, with syslog datagrams
// from logger(1) on a loopback port the test picked.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/winsock.h"
#include "temp_root.h"
#include "daemon_test_support.h"

namespace {

using namespace daemon_testing;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr char kName[] = "TolvaneCorvantel";
constexpr char kEventSource[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\TolvaneCorvantel";

Outcome corvantd(const std::string& arguments) { return run(std::string(CORVANTD_PATH) + " " + arguments); }

// The value as REG_DWORD or REG_SZ/REG_EXPAND_SZ text; type set to its type, 0 when missing.
std::string query(const char* path, const char* name, DWORD* type = nullptr) {
  HKEY key = nullptr;
  if (type != nullptr) *type = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
  BYTE data[4096] = {};
  DWORD size = sizeof(data), found = 0;
  const LONG result = RegQueryValueExA(key, name, nullptr, &found, data, &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return "<no value>";
  if (type != nullptr) *type = found;
  if (found == REG_DWORD) return std::to_string(*reinterpret_cast<DWORD*>(data));
  return std::string(reinterpret_cast<char*>(data));
}

std::vector<DWORD> eventIds() {
  std::vector<platform::EventRecord> records;
  platform::readEvents(0, std::string(kName), records);
  std::vector<DWORD> ids;
  for (const auto& record : records) ids.push_back(record.eventId);
  return ids;
}

platform::EventRecord lastEvent(DWORD id) {
  std::vector<platform::EventRecord> records;
  platform::readEvents(0, std::string(kName), records);
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    if (it->eventId == id) return *it;
  }
  return {};
}

class CorvantdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_logs = m_root.base() / "logs";
    fs::create_directories(m_logs);
    m_port = freeUdpPort();
  }

  void TearDown() override {
    SC_HANDLE service = open();
    if (service == nullptr) {
      // Marked for delete: no new handle reaches it; its process goes.
      if (GetLastError() == static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE)) killService();
      return;
    }
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
      ControlService(service, SERVICE_CONTROL_STOP, &status);
      if (!waitForState(SERVICE_STOPPED, 6s)) killService();
    }
    CloseServiceHandle(service);
  }

  // Installed, listening on the test's port, filing into the test's folder
  // with the first rule base of the package.
  void install() {
    ASSERT_EQ(corvantd("-i").output, "TolvaneCorvantel installed\n");
    setDword(kParameters, "nSyslogPort", static_cast<DWORD>(m_port));
    setString(kParameters, "szBaseLogFilePath", m_logs.string());
    setDword(kParameters, "nUniqueFileName", 0);
    setDword(kParameters, "nFileDateTime", 0);
    const Outcome imported = run(std::string(CORVCTL_PATH) + " reg import " + CORVANTEL_SOURCE_DIR +
                                 "/packaging/first-rulebase.reg 2>&1");
    ASSERT_EQ(imported.status, 0) << imported.output;
  }

  SC_HANDLE open() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return nullptr;
    SC_HANDLE service = OpenServiceA(manager, kName, SERVICE_ALL_ACCESS);
    CloseServiceHandle(manager);
    return service;
  }

  DWORD state() {
    SC_HANDLE service = open();
    if (service == nullptr) return 0;
    SERVICE_STATUS status{};
    QueryServiceStatus(service, &status);
    CloseServiceHandle(service);
    return status.dwCurrentState;
  }

  bool waitForState(DWORD wanted, std::chrono::milliseconds limit) {
    return eventually([&] { return state() == wanted; }, limit);
  }

  void start() {
    SC_HANDLE service = open();
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    CloseServiceHandle(service);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING, 10s)) << state();
  }

  // The time from the stop request until the manager reports STOPPED.
  std::chrono::milliseconds stop() {
    SC_HANDLE service = open();
    EXPECT_NE(service, nullptr);
    if (service == nullptr) return 0ms;
    const auto begin = std::chrono::steady_clock::now();
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    CloseServiceHandle(service);
    EXPECT_TRUE(waitForState(SERVICE_STOPPED, 6s));
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
  }

  void killService() {
    std::ifstream status(m_root.machine() / "services" / "tolvanecorvantel" / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("pid=", 0) == 0 && std::stol(line.substr(4)) > 0)
        ::kill(std::stol(line.substr(4)), SIGKILL);
    }
  }

  void logger(const std::string& text) {
    const Outcome sent =
        run("logger -n 127.0.0.1 -P " + std::to_string(m_port) + " -d --rfc3164 -t app '" + text + "' 2>&1");
    ASSERT_EQ(sent.status, 0) << sent.output;
  }

  std::vector<std::string> lines(const std::string& name = "Corvantel") const {
    return readLines(m_logs / (name + ".log"));
  }

  platform::testing::TempPlatformRoot m_root;
  fs::path m_logs;
  int m_port = 0;
};

TEST_F(CorvantdTest, HelpInAnyCaseAndSilenceWithoutTheManager) {
  const std::string help =
      "TolvaneCorvantel Version 3.70 Build 124 (Final Release)\n"
      "Usage: Mistrand -h  --> This help message.\n"
      "       Mistrand -v  --> Show version information.\n"
      "       Mistrand -i  --> Install service.\n"
      "       Mistrand -u  --> Remove (uninstall) service.\n";
  for (const char* option : {"-h", "-H"}) {
    const Outcome shown = corvantd(option);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.output, help) << option;
  }
  for (const char* arguments : {"", "-x", "help"}) {
    const Outcome silent = corvantd(arguments);
    EXPECT_EQ(silent.status, 0) << arguments;
    EXPECT_EQ(silent.output, "") << arguments;
  }
  EXPECT_EQ(corvantd("-V").output, "TolvaneCorvantel Version 3.70\nThe service is not installed.\n");
  EXPECT_EQ(corvantd("-u").output, "TolvaneCorvantel is not installed\n");
  EXPECT_TRUE(eventIds().empty());
}

TEST_F(CorvantdTest, InstallRegistersServiceAndEventSourceAndASecondInstallChangesNothing) {
  ASSERT_EQ(corvantd("-I").output, "TolvaneCorvantel installed\n");
  const std::string path = fs::canonical(CORVANTD_PATH).string();
  const std::string service = "SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel";
  EXPECT_EQ(query(service.c_str(), "ImagePath"), path);
  EXPECT_EQ(query(service.c_str(), "Start"), "2");
  DWORD type = 0;
  EXPECT_EQ(query(kEventSource, "EventMessageFile", &type), path);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(query(kEventSource, "TypesSupported"), "7");
  EXPECT_EQ(query(kParameters, "nServiceBuildID"), "124");
  EXPECT_EQ(eventIds(), std::vector<DWORD>{100});
  EXPECT_EQ(platform::formatEvent(lastEvent(100)), "The TolvaneCorvantel service was installed.\r\n");
  EXPECT_EQ(corvantd("-v").output, "TolvaneCorvantel Version 3.70\nThe service is currently installed.\n");

  setDword(kParameters, "nSyslogPort", 1514);
  const Outcome again = corvantd("-i");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.output, "TolvaneCorvantel is already installed\n");
  EXPECT_EQ(query(kParameters, "nSyslogPort"), "1514");
  EXPECT_EQ(eventIds(), std::vector<DWORD>{100});
}

TEST_F(CorvantdTest, ReceivesFromLoggerAndStopsWithinASecond) {
  install();
  start();
  logger("hello from logger");
  ASSERT_TRUE(eventually([&] { return lines().size() == 1; }, 3s));
  // logger sends user.notice: facility 1, priority 5.
  const std::string line = lines()[0];
  EXPECT_EQ(line.rfind("127.0.0.1,1,5,", 0), 0u) << line;
  EXPECT_NE(line.find("app: hello from logger"), std::string::npos) << line;

  EXPECT_LT(stop(), 1000ms);
  EXPECT_EQ(eventIds(), (std::vector<DWORD>{100, 109, 105, 111, 108}));
}

TEST_F(CorvantdTest, PortInUseLogsEvent8AndTheServiceStops) {
  install();
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(m_port));
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

  SC_HANDLE service = open();
  ASSERT_TRUE(StartServiceA(service, 0, nullptr));
  CloseServiceHandle(service);
  EXPECT_TRUE(waitForState(SERVICE_STOPPED, 6s));
  ::close(holder);

  const platform::EventRecord bind = lastEvent(8);
  ASSERT_EQ(bind.eventId, 8u);
  EXPECT_EQ(bind.type, EVENTLOG_ERROR_TYPE);
  const std::string text = platform::formatEvent(bind);
  EXPECT_EQ(text.rfind("Can't bind to socket - ERRORCODE: 10048\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("another process is listening on the configured port"), std::string::npos);
}

TEST_F(CorvantdTest, ReloadedRuleBaseAppliesFromTheNextMessageAndDiscardEndsTheMessage) {
  install();
  setDword(kParameters, "bReloadRuleBase", 1);
  start();
  logger("one");
  ASSERT_TRUE(eventually([&] { return lines().size() == 1; }, 3s));

  // Rule 1 files into "first", then discards: rule 1's third action and rule 2 never run.
  setDword(kRules, "nRuleCount", 2);
  setDword(kRules, "R1ActionCount", 3);
  setString(kRules, "R1A1String", "first");
  setDword(kRules, "R1A2Type", 1);
  setDword(kRules, "R1A3Type", 1003);
  setString(kRules, "R1A3String", "never");
  setDword(kRules, "R2ActionCount", 1);
  setDword(kRules, "R2A1Type", 1003);
  setString(kRules, "R2A1String", "never");
  logger("two");  // same version: the old rule base files it
  ASSERT_TRUE(eventually([&] { return lines().size() == 2; }, 3s));

  setDword(kRules, "nRuleVersion", 2);
  logger("three");
  ASSERT_TRUE(eventually([&] { return lines("first").size() == 1; }, 3s));
  EXPECT_NE(lines("first")[0].find("three"), std::string::npos);
  EXPECT_EQ(lines().size(), 2u);
  stop();
  EXPECT_FALSE(fs::exists(m_logs / "never.log"));
}

TEST_F(CorvantdTest, UninstallOfARunningServiceDeletesItWhenItStopsAndKeepsTheEventSource) {
  install();
  start();
  SC_HANDLE service = open();  // a service marked for delete opens no more
  ASSERT_NE(service, nullptr);
  const Outcome removed = corvantd("-u");
  EXPECT_EQ(removed.status, 0);
  EXPECT_EQ(removed.output, "TolvaneCorvantel removed. (You must delete the file (" +
                                fs::canonical(CORVANTD_PATH).string() + ") yourself.)\n");
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  logger("still receiving");
  EXPECT_TRUE(eventually([&] { return lines().size() == 1; }, 3s));

  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(eventually(
      [&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED; }, 6s));
  CloseServiceHandle(service);
  EXPECT_TRUE(
      eventually([&] { return corvantd("-v").output.find("not installed") != std::string::npos; }, 3s));
  EXPECT_EQ(query(kEventSource, "TypesSupported"), "7");
  EXPECT_EQ(corvantd("-u").output, "TolvaneCorvantel is not installed\n");
  EXPECT_EQ(lastEvent(101).eventId, 101u);
}

}  // namespace
