#include "service_fixture.h"

#include <signal.h>

#include <fstream>

namespace daemon_testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Outcome corvantd(const std::string& arguments) { return run(std::string(CORVANTD_PATH) + " " + arguments); }

void ServiceFixture::SetUp() {
  m_logs = m_root.base() / "logs";
  fs::create_directories(m_logs);
  m_port = freeUdpPort();
}

void ServiceFixture::TearDown() {
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

void ServiceFixture::install() {
  ASSERT_EQ(corvantd("-i").output, "TolvaneCorvantel installed\n");
  setDword(kParameters, "nSyslogPort", static_cast<DWORD>(m_port));
  setString(kParameters, "szBaseLogFilePath", m_logs.string());
  setDword(kParameters, "nUniqueFileName", 0);
  setDword(kParameters, "nFileDateTime", 0);
  const Outcome imported = run(std::string(CORVCTL_PATH) + " reg import " + CORVANTEL_SOURCE_DIR +
                               "/packaging/first-rulebase.reg 2>&1");
  ASSERT_EQ(imported.status, 0) << imported.output;
}

SC_HANDLE ServiceFixture::open() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return nullptr;
  SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_ALL_ACCESS);
  CloseServiceHandle(manager);
  return service;
}

DWORD ServiceFixture::state() {
  SC_HANDLE service = open();
  if (service == nullptr) return 0;
  SERVICE_STATUS status{};
  QueryServiceStatus(service, &status);
  CloseServiceHandle(service);
  return status.dwCurrentState;
}

bool ServiceFixture::waitForState(DWORD wanted, std::chrono::milliseconds limit) {
  return eventually([&] { return state() == wanted; }, limit);
}

void ServiceFixture::start() {
  SC_HANDLE service = open();
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  CloseServiceHandle(service);
  ASSERT_TRUE(waitForState(SERVICE_RUNNING, 10s)) << state();
}

std::chrono::milliseconds ServiceFixture::stop() {
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

pid_t ServiceFixture::servicePid() {
  std::ifstream status(m_root.machine() / "services" / "tolvanecorvantel" / "status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("pid=", 0) == 0) return static_cast<pid_t>(std::stol(line.substr(4)));
  }
  return 0;
}

void ServiceFixture::killService() {
  if (const pid_t pid = servicePid(); pid > 0) ::kill(pid, SIGKILL);
}

Outcome ServiceFixture::corvctl(const std::string& arguments) {
  return run(std::string(CORVCTL_PATH) + " " + arguments + " 2>&1");
}

void ServiceFixture::logger(const std::string& text) {
  const Outcome sent =
      run("logger -n 127.0.0.1 -P " + std::to_string(m_port) + " -d --rfc3164 -t app '" + text + "' 2>&1");
  ASSERT_EQ(sent.status, 0) << sent.output;
}

std::vector<std::string> ServiceFixture::lines(const std::string& name) const {
  return readLines(m_logs / (name + ".log"));
}

}  // namespace daemon_testing
