#include "platform/service.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "service_state.h"
#include "temp_root.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kName = "CorvTestService";

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("CORVANTEL_SCM_START_TIMEOUT_MS", "10000", 1);
    m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(m_manager, nullptr);
  }

  void TearDown() override {
    // No test leaves a process behind, whatever it asserted.
    for (long pid : m_pids)
      if (pid > 0) ::kill(-pid, SIGKILL), ::kill(pid, SIGKILL);
    for (SC_HANDLE h : m_handles) CloseServiceHandle(h);
    CloseServiceHandle(m_manager);
    unsetenv("CORVANTEL_SCM_START_TIMEOUT_MS");
  }

  std::string pidFile() const { return (m_root.base() / "service.pid").string(); }

  // Creates the test service with the given options; its handle, closed at the end.
  SC_HANDLE create(const std::string& options = "", DWORD start = SERVICE_DEMAND_START,
                   const char* name = kName) {
    const std::string image =
        std::string(CORVANTEL_TEST_SERVICE) + " --pid-file=" + pidFile() + " " + options;
    SC_HANDLE h =
        CreateServiceA(m_manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start,
                       SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (h != nullptr) m_handles.push_back(h);
    return h;
  }

  SC_HANDLE open(DWORD access = SERVICE_ALL_ACCESS, const char* name = kName) {
    SC_HANDLE h = OpenServiceA(m_manager, name, access);
    if (h != nullptr) m_handles.push_back(h);
    return h;
  }

  // The pid the service wrote, remembered for clean-up; 0 when none.
  long servicePid() {
    long pid = 0;
    std::ifstream(pidFile()) >> pid;
    if (pid > 0) m_pids.push_back(pid);
    return pid;
  }

  static SERVICE_STATUS query(SC_HANDLE h) {
    SERVICE_STATUS s{};
    EXPECT_TRUE(QueryServiceStatus(h, &s)) << GetLastError();
    return s;
  }

  // Polls until the service is in the state; the last status seen.
  static SERVICE_STATUS waitFor(SC_HANDLE h, DWORD state, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    SERVICE_STATUS s = query(h);
    while (s.dwCurrentState != state && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
      s = query(h);
    }
    return s;
  }

  // A service still starting refuses controls (1061), as on Windows: the stop
  // waits for it to run first.
  static void stopAndWait(SC_HANDLE h) {
    waitFor(h, SERVICE_RUNNING);
    SERVICE_STATUS s{};
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &s)) << GetLastError();
    EXPECT_EQ(waitFor(h, SERVICE_STOPPED).dwCurrentState, SERVICE_STOPPED);
  }

  std::filesystem::path stateFolder() const { return m_root.machine() / "services" / "corvtestservice"; }

  platform::testing::TempPlatformRoot m_root;
  SC_HANDLE m_manager = nullptr;
  std::vector<SC_HANDLE> m_handles;
  std::vector<long> m_pids;
};

DWORD regDword(const std::string& path, const char* value) {
  DWORD data = 0, size = sizeof data;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return ~0u;
  RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
  RegCloseKey(key);
  return data;
}

std::string regText(const std::string& path, const char* value) {
  char data[512] = "";
  DWORD size = sizeof data;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
  RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return data;
}

bool keyExists(const std::string& path) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Gone, or a zombie waiting for a reaper that is not ours.
bool processGone(long pid) {
  if (::kill(pid_t(pid), 0) != 0) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

const std::string kKey = std::string("SYSTEM\\CurrentControlSet\\Services\\") + kName;

TEST_F(ServiceTest, CreateRecordsTheServiceAsWindowsDoes) {
  SC_HANDLE h = create("", SERVICE_AUTO_START);
  ASSERT_NE(h, nullptr) << GetLastError();
  EXPECT_EQ(regDword(kKey, "Type"), SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(regDword(kKey, "Start"), SERVICE_AUTO_START);
  EXPECT_EQ(regDword(kKey, "ErrorControl"), SERVICE_ERROR_NORMAL);
  EXPECT_EQ(regText(kKey, "DisplayName"), kName);
  EXPECT_EQ(regText(kKey, "ObjectName"), "LocalSystem");
  EXPECT_EQ(regText(kKey, "ImagePath").rfind(CORVANTEL_TEST_SERVICE, 0), 0u);

  EXPECT_EQ(create("", SERVICE_AUTO_START, "CORVTESTSERVICE"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_EXISTS));
  EXPECT_NE(open(SERVICE_QUERY_STATUS, "corvtestservice"), nullptr);
  EXPECT_EQ(open(SERVICE_QUERY_STATUS, "NoSuchService"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(open(SERVICE_QUERY_STATUS, "a/b"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
  EXPECT_EQ(query(h).dwCurrentState, SERVICE_STOPPED);
}

TEST_F(ServiceTest, HandlesAreCheckedForKindAndRights) {
  SC_HANDLE readOnly = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_EQ(CreateServiceA(readOnly, kName, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, 3, 1,
                           "/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CloseServiceHandle(readOnly);
  ASSERT_NE(create(), nullptr);
  SC_HANDLE queryOnly = open(SERVICE_QUERY_STATUS);
  EXPECT_FALSE(StartServiceA(queryOnly, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteService(queryOnly));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  SERVICE_STATUS s{};
  EXPECT_FALSE(QueryServiceStatus(reinterpret_cast<SC_HANDLE>(m_manager), &s));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseServiceHandle(reinterpret_cast<SC_HANDLE>(&s)));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenSCManagerA("otherhost.example", nullptr, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_NETPATH));
}

TEST_F(ServiceTest, DeletingAStoppedServiceRemovesItAtOnce) {
  SC_HANDLE h = create();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(DeleteService(h));
  EXPECT_FALSE(keyExists(kKey));
  EXPECT_FALSE(std::filesystem::exists(stateFolder()));
  EXPECT_EQ(open(SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_NE(create(), nullptr) << "the name is free again";
}

TEST_F(ServiceTest, TheStateFolderIsTheManagersForEverySpellingAndStaysInsideTheRoot) {
  EXPECT_EQ(platform::serviceStateFolder("CORVtestSERVICE"), stateFolder());
  const std::filesystem::path services = m_root.machine() / "services";
  for (const std::string& name : {std::string(".."), std::string("../x"), std::string(300, '.')}) {
    EXPECT_EQ(platform::serviceStateFolder(name).parent_path(), services) << name;
  }
}

TEST_F(ServiceTest, StartRunsTheServiceUntilStopped) {
  SC_HANDLE h = create();
  ASSERT_NE(h, nullptr);
  LPCSTR args[] = {"one", "two words"};
  ASSERT_TRUE(StartServiceA(h, 2, args)) << GetLastError();
  const long pid = servicePid();
  SERVICE_STATUS s = waitFor(h, SERVICE_RUNNING);
  EXPECT_EQ(s.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(s.dwControlsAccepted, SERVICE_ACCEPT_STOP);

  EXPECT_FALSE(StartServiceA(h, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_ALREADY_RUNNING));
  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &s)) << GetLastError();
  EXPECT_EQ(s.dwCurrentState, SERVICE_RUNNING);

  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &s)) << GetLastError();
  // The handler reported STOP_PENDING; the service's main thread may already
  // have reported STOPPED by the time the reply is made.
  EXPECT_TRUE(s.dwCurrentState == SERVICE_STOP_PENDING || s.dwCurrentState == SERVICE_STOPPED)
      << "the reply carries the status after the handler: " << s.dwCurrentState;
  s = waitFor(h, SERVICE_STOPPED);
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(s.dwWin32ExitCode, 0u);
  // The dispatcher finishes after the last status report.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!processGone(pid) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_NOT_ACTIVE));

  std::ifstream log(stateFolder() / "console.log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("ServiceMain [CorvTestService] [one] [two words]"), std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find("dispatcher returned"), std::string::npos) << text.str();

  // And it starts again.
  ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
  servicePid();
  EXPECT_EQ(waitFor(h, SERVICE_RUNNING).dwCurrentState, SERVICE_RUNNING);
  stopAndWait(h);
}

TEST_F(ServiceTest, AServiceThatReportedStoppedIsNotActiveWhileItsProcessEnds) {
  SC_HANDLE h = create("--linger-ms=2000");
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
  const long pid = servicePid();
  ASSERT_EQ(waitFor(h, SERVICE_RUNNING).dwCurrentState, SERVICE_RUNNING);
  SERVICE_STATUS s{};
  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &s)) << GetLastError();
  ASSERT_EQ(waitFor(h, SERVICE_STOPPED).dwCurrentState, SERVICE_STOPPED);
  ASSERT_FALSE(processGone(pid));  // still lingering
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_NOT_ACTIVE));
  ::kill(pid, SIGKILL);
}

TEST_F(ServiceTest, ControlsTheServiceDoesNotAcceptAreRefused) {
  SC_HANDLE h = create("--refuse-stop");
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
  const long pid = servicePid();
  ASSERT_EQ(waitFor(h, SERVICE_RUNNING).dwCurrentState, SERVICE_RUNNING);
  SERVICE_STATUS s{};
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_PAUSE, &s));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_FALSE(ControlService(h, 7, &s));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &s)) << "interrogate is always taken";
  EXPECT_EQ(query(h).dwCurrentState, SERVICE_RUNNING);
  ::kill(pid, SIGKILL);
}

TEST_F(ServiceTest, AKilledServiceReadsStoppedAndStartsAgain) {
  SC_HANDLE h = create();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
  const long pid = servicePid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(waitFor(h, SERVICE_RUNNING).dwCurrentState, SERVICE_RUNNING);
  ::kill(pid, SIGKILL);
  SERVICE_STATUS s = waitFor(h, SERVICE_STOPPED);
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(s.dwWin32ExitCode, DWORD(ERROR_PROCESS_ABORTED));
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_NOT_ACTIVE));
  ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
  servicePid();
  stopAndWait(h);
}

TEST_F(ServiceTest, ADeletedRunningServiceGoesWhenItStops) {
  SC_HANDLE h = create("--stop-delay-ms=200");
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
  servicePid();
  ASSERT_EQ(waitFor(h, SERVICE_RUNNING).dwCurrentState, SERVICE_RUNNING);
  ASSERT_TRUE(DeleteService(h)) << GetLastError();
  EXPECT_TRUE(keyExists(kKey));
  EXPECT_FALSE(DeleteService(h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_EQ(create(), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
  // Until it stops it opens, answers and takes controls, as a program that
  // comes along to stop it needs; it only cannot start again.
  SC_HANDLE later = open();
  ASSERT_NE(later, nullptr) << GetLastError();
  EXPECT_EQ(query(later).dwCurrentState, SERVICE_RUNNING);
  EXPECT_FALSE(StartServiceA(later, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));

  stopAndWait(later);
  // The dispatcher removes it as it ends, just after it reports stopped.
  for (int i = 0; i < 250 && keyExists(kKey); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(keyExists(kKey));
  EXPECT_FALSE(std::filesystem::exists(stateFolder()));
  EXPECT_EQ(open(SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceTest, ADeletedServiceThatDiesIsRemovedByTheNextQuery) {
  SC_HANDLE h = create();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(StartServiceA(h, 0, nullptr)) << GetLastError();
  const long pid = servicePid();
  ASSERT_EQ(waitFor(h, SERVICE_RUNNING).dwCurrentState, SERVICE_RUNNING);
  ASSERT_TRUE(DeleteService(h));
  ::kill(pid, SIGKILL);
  EXPECT_EQ(waitFor(h, SERVICE_STOPPED).dwCurrentState, SERVICE_STOPPED);
  EXPECT_FALSE(keyExists(kKey));
  EXPECT_FALSE(StartServiceA(h, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceTest, TheDispatcherFailsAtOnceOutsideTheManager) {
  char name[] = "x";
  const SERVICE_TABLE_ENTRYA table[] = {{name, [](DWORD, LPSTR*) { ADD_FAILURE() << "ServiceMain ran"; }},
                                        {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_EQ(RegisterServiceCtrlHandlerA("x", [](DWORD) {}), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));

  // The program itself, run from a command line, says so and ends at once.
  const auto started = std::chrono::steady_clock::now();
  FILE* p = popen((std::string("env -u CORVANTEL_SERVICE_NAME ") + CORVANTEL_TEST_SERVICE).c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[128] = "";
  ASSERT_NE(fgets(line, sizeof line, p), nullptr);
  EXPECT_EQ(pclose(p), 0);
  EXPECT_STREQ(line, "dispatcher failed 1063\n");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST_F(ServiceTest, StartFailuresLeaveNothingRunning) {
  SC_HANDLE early = create("--exit-early");
  ASSERT_NE(early, nullptr);
  EXPECT_FALSE(StartServiceA(early, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PROCESS_ABORTED));
  SERVICE_STATUS s = query(early);
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(s.dwWin32ExitCode, DWORD(ERROR_PROCESS_ABORTED));
  EXPECT_FALSE(StartServiceA(early, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PROCESS_ABORTED)) << "the failed start held nothing";
  ASSERT_TRUE(DeleteService(early));

  setenv("CORVANTEL_SCM_START_TIMEOUT_MS", "500", 1);
  SC_HANDLE silent = create("--no-report");
  ASSERT_NE(silent, nullptr);
  EXPECT_FALSE(StartServiceA(silent, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
  const long pid = servicePid();
  ASSERT_GT(pid, 0);
  // Its descriptors close, which ends the start, a moment before the process
  // itself is gone.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!processGone(pid) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(processGone(pid)) << "the silent process was killed";
  EXPECT_EQ(query(silent).dwCurrentState, SERVICE_STOPPED);
  ASSERT_TRUE(DeleteService(silent));

  HKEY key;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kKey.c_str(), &key), ERROR_SUCCESS);
  RegCloseKey(key);
  SC_HANDLE disabled = create("", SERVICE_DISABLED);
  ASSERT_NE(disabled, nullptr) << "a bare key is taken over: " << GetLastError();
  EXPECT_FALSE(StartServiceA(disabled, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DISABLED));
  ASSERT_TRUE(DeleteService(disabled));

  SC_HANDLE missing = CreateServiceA(m_manager, kName, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/nonexistent/program",
                                     nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(missing, nullptr);
  m_handles.push_back(missing);
  EXPECT_FALSE(StartServiceA(missing, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(query(missing).dwCurrentState, SERVICE_STOPPED);
}

}  // namespace

namespace {

// A start right after a stop: the process that reported STOPPED still holds
// the service's lock for a moment as it ends. The start waits for it; a
// process that still runs keeps it out at once.
TEST(ServiceLock, AStartWaitsForAProcessThatReportedStoppedToLetGo) {
  platform::testing::TempPlatformRoot root;
  const std::filesystem::path folder = platform::scm::stateFolder("LockTest");
  ASSERT_TRUE(platform::scm::ensureStateFolder(folder));
  const int held = ::open((folder / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);

  SERVICE_STATUS running = platform::scm::stoppedStatus(0);
  running.dwCurrentState = SERVICE_RUNNING;
  ASSERT_TRUE(platform::scm::writeStatus(folder, {running, 1}));
  LONG error = 0;
  EXPECT_EQ(platform::scm::takeLock(folder, &error), -1);
  EXPECT_EQ(error, ERROR_SERVICE_ALREADY_RUNNING);

  ASSERT_TRUE(platform::scm::writeStatus(folder, {platform::scm::stoppedStatus(0), 1}));
  std::thread ending([held] {
    std::this_thread::sleep_for(300ms);
    ::close(held);
  });
  const auto start = std::chrono::steady_clock::now();
  const int taken = platform::scm::takeLock(folder, &error);
  ending.join();
  EXPECT_GE(taken, 0) << error;
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  if (taken >= 0) ::close(taken);
}

}  // namespace
