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
#include "service_fixture.h"

namespace {

using namespace daemon_testing;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr char kEventSource[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\TolvaneCorvantel";

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
  platform::readEvents(0, std::string(kService), records);
  std::vector<DWORD> ids;
  for (const auto& record : records) ids.push_back(record.eventId);
  return ids;
}

platform::EventRecord lastEvent(DWORD id) {
  std::vector<platform::EventRecord> records;
  platform::readEvents(0, std::string(kService), records);
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    if (it->eventId == id) return *it;
  }
  return {};
}

class CorvantdTest : public ServiceFixture {};

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
  // 156: the figures of the run, as the receive thread ends.
  EXPECT_EQ(eventIds(), (std::vector<DWORD>{100, 109, 105, 156, 111, 108}));
}

TEST_F(CorvantdTest, PortInUseLogsEvent8AndTheServiceStops) {
  install();
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(m_port));
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

  // The start is over when the port could not be opened: the service is
  // never reported running, and corvctl says why it stopped.
  const Outcome started = corvctl("sc start TolvaneCorvantel");
  EXPECT_EQ(started.status, 1) << started.output;
  EXPECT_EQ(state(), SERVICE_STOPPED);
  ::close(holder);
  EXPECT_EQ(started.output.find("RUNNING"), std::string::npos) << started.output;
  EXPECT_NE(started.output.find("corvctl: TolvaneCorvantel stopped during its start, exit code 1066 "
                                "(service-specific exit code 8)\n"
                                "Its last error event, event 8:\n"
                                "    Can't bind to socket - ERRORCODE: 10048\n"),
            std::string::npos)
      << started.output;
  const Outcome queried = corvctl("sc query TolvaneCorvantel");
  EXPECT_NE(queried.output.find("WIN32_EXIT_CODE    : 1066  (0x42a)"), std::string::npos) << queried.output;
  EXPECT_NE(queried.output.find("SERVICE_EXIT_CODE  : 8  (0x8)"), std::string::npos) << queried.output;

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
  const Outcome removed = corvantd("-u");
  EXPECT_EQ(removed.status, 0);
  EXPECT_EQ(removed.output, "TolvaneCorvantel removed. (You must delete the file (" +
                                fs::canonical(CORVANTD_PATH).string() + ") yourself.)\n");
  logger("still receiving");
  EXPECT_TRUE(eventually([&] { return lines().size() == 1; }, 3s));

  // Marked for delete: it still answers queries and takes the stop control,
  // while installing and removing see it gone.
  Outcome queried = corvctl("sc query TolvaneCorvantel");
  EXPECT_EQ(queried.status, 0) << queried.output;
  EXPECT_NE(queried.output.find("STATE              : 4  RUNNING"), std::string::npos) << queried.output;
  const Outcome again = corvantd("-u");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.output, "TolvaneCorvantel is not installed\n");
  const Outcome reinstalled = corvantd("-i");
  EXPECT_EQ(reinstalled.status, 1);
  EXPECT_EQ(reinstalled.output, "TolvaneCorvantel failed to install. Error 1072\n");
  const Outcome stopped = corvctl("sc stop TolvaneCorvantel");
  EXPECT_EQ(stopped.status, 0) << stopped.output;
  EXPECT_NE(stopped.output.find("STATE              : 1  STOPPED"), std::string::npos) << stopped.output;

  EXPECT_TRUE(
      eventually([&] { return corvantd("-v").output.find("not installed") != std::string::npos; }, 3s));
  queried = corvctl("sc query TolvaneCorvantel");
  EXPECT_EQ(queried.status, 1);
  EXPECT_NE(queried.output.find("(1060)"), std::string::npos) << queried.output;
  EXPECT_EQ(query(kEventSource, "TypesSupported"), "7");
  EXPECT_EQ(corvantd("-u").output, "TolvaneCorvantel is not installed\n");
  EXPECT_EQ(lastEvent(101).eventId, 101u);
}

TEST_F(CorvantdTest, SigtermAndSigintStopAServiceTheManagerStarted) {
  install();
  for (const int signal : {SIGTERM, SIGINT}) {
    const Outcome started = corvctl("sc start TolvaneCorvantel");
    ASSERT_EQ(started.status, 0) << started.output;
    const std::size_t before = eventIds().size();
    const pid_t pid = servicePid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, signal), 0);
    ASSERT_TRUE(waitForState(SERVICE_STOPPED, 6s)) << signal;
    const Outcome queried = corvctl("sc query TolvaneCorvantel");
    EXPECT_NE(queried.output.find("WIN32_EXIT_CODE    : 0  (0x0)"), std::string::npos)
        << signal << queried.output;
    const std::vector<DWORD> ids = eventIds();
    EXPECT_EQ(std::vector<DWORD>(ids.begin() + static_cast<std::ptrdiff_t>(before), ids.end()),
              (std::vector<DWORD>{156, 111, 108}))
        << signal;
  }
}

// The service's platform root belongs to root; a user without rights can
// neither install nor remove it, and is told so, with a failing exit status.
TEST_F(CorvantdTest, InstallAndRemoveWithoutRightsFailAndSayWhy) {
  install();
  std::string asOtherUser;
  if (::geteuid() == 0) {
    // Only the hive itself is closed to others, as in an installed system.
    fs::permissions(m_root.base(), fs::perms(0755));
    fs::permissions(m_root.machine(), fs::perms(0755));
    asOtherUser = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
  } else {
    fs::permissions(m_root.machine() / "machine.hive", fs::perms::none);
  }
  const Outcome removed = run(asOtherUser + CORVANTD_PATH + " -u");
  const Outcome installed = run(asOtherUser + CORVANTD_PATH + " -i");
  fs::permissions(m_root.machine() / "machine.hive", fs::perms(0600));
  EXPECT_EQ(removed.status, 1);
  EXPECT_EQ(removed.output, "Could not remove TolvaneCorvantel. Error 5\n");
  EXPECT_EQ(installed.status, 1);
  EXPECT_EQ(installed.output, "TolvaneCorvantel failed to install. Error 5\n");
  EXPECT_EQ(corvantd("-v").output, "TolvaneCorvantel Version 3.70\nThe service is currently installed.\n");
}

}  // namespace
