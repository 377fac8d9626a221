#include "platform/remote.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/service.h"
#include "platform/text.h"
#include "temp_root.h"

namespace {

using namespace std::chrono_literals;

const std::string kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel";
const std::string kParameters = kServiceKey + "\\Parameters";

// A scripted far side for the cases the real one never shows: it answers
// HELLO, CONNECT and CLOSE, and 87 to anything else.
const std::string kScriptedFarSide = R"(
read verb rest; echo "0 1 500 1"
while read verb rest; do
  case $verb in CONNECT) echo "0 7";; CLOSE) echo 0;; *) echo 87;; esac
done
)";

class RemoteTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("CORVANTEL_REMOTE_TIMEOUT_MS", "5000", 1); }
  void TearDown() override {
    unsetenv("CORVANTEL_REMOTE_SHELL");
    unsetenv("CORVANTEL_REMOTE_TIMEOUT_MS");
  }

  std::filesystem::path file(const char* name) const { return m_root.base() / name; }

  // The command becomes a script with this body; every run of it appends its
  // process id and its argument to runs.txt first.
  void useFarSide(const std::string& body) {
    const std::filesystem::path script = file("far-side.sh");
    std::ofstream(script) << "#!/bin/sh\necho \"$$ $1\" >> '" << file("runs.txt").string() << "'\n" << body;
    ::chmod(script.c_str(), 0700);
    setenv("CORVANTEL_REMOTE_SHELL", (script.string() + " %h").c_str(), 1);
  }

  // The real far side: corvctl serve on a platform root of its own.
  void useSecondComputer() {
    useFarSide("exec env CORVANTEL_ROOT='" + farRoot().string() + "' CORVANTEL_USER_ROOT='" +
               (m_root.base() / "far-user").string() + "' '" CORVCTL_PROGRAM "' serve\n");
  }
  std::filesystem::path farRoot() const { return m_root.base() / "far-machine"; }

  // Runs fn with the second computer's root in force, as a program there would.
  template <typename Fn>
  void onSecondComputer(Fn fn) {
    setenv("CORVANTEL_ROOT", farRoot().c_str(), 1);
    fn();
    setenv("CORVANTEL_ROOT", m_root.machine().c_str(), 1);
  }
  // The service's key there, as its installation leaves it.
  void installOnSecondComputer() {
    onSecondComputer([] {
      HKEY key = nullptr;
      ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), &key), ERROR_SUCCESS);
      RegCloseKey(key);
    });
  }

  std::vector<std::string> runs() const {
    std::vector<std::string> lines;
    std::ifstream in(file("runs.txt"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  platform::testing::TempPlatformRoot m_root;
};

// ---- what the near side answers before and around the far side ----

struct FarSideCase {
  const char* what;
  const char* script;  // null: the command's program does not exist
  LONG connect;
};

class RemoteFailureTest : public RemoteTest, public ::testing::WithParamInterface<FarSideCase> {};

TEST_P(RemoteFailureTest, ConnectAnswersAsTheHeaderSays) {
  if (GetParam().script != nullptr) {
    useFarSide(GetParam().script);
  } else {
    setenv("CORVANTEL_REMOTE_SHELL", "/nonexistent/ssh %h corvctl serve", 1);
  }
  setenv("CORVANTEL_REMOTE_TIMEOUT_MS", "300", 1);
  const auto started = std::chrono::steady_clock::now();
  HKEY key = nullptr;
  EXPECT_EQ(RegConnectRegistryA("far", HKEY_LOCAL_MACHINE, &key), GetParam().connect);
  EXPECT_EQ(key, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

INSTANTIATE_TEST_SUITE_P(
    Remote, RemoteFailureTest,
    ::testing::Values(
        FarSideCase{"NoProgram", nullptr, ERROR_BAD_NETPATH},
        FarSideCase{"NoRoute", "exit 255\n", ERROR_BAD_NETPATH},
        FarSideCase{"NoCorvctl", "echo 'sh: corvctl: not found' >&2; exit 127\n", ERROR_FILE_NOT_FOUND},
        FarSideCase{"Banner", "read l; echo 'Welcome to far'; cat >/dev/null\n", ERROR_FILE_NOT_FOUND},
        FarSideCase{"OtherVersion", "read l; echo '0 2 500 1'; cat >/dev/null\n", ERROR_FILE_NOT_FOUND},
        FarSideCase{"Refused", "read l; echo '0 1 500 1'; read l; echo 5\n", ERROR_ACCESS_DENIED},
        FarSideCase{"BadHandle", "read l; echo '0 1 500 1'; read l; echo '0 x'\n", ERROR_BAD_NETPATH},
        FarSideCase{"Hangs", "sleep 30\n", ERROR_BAD_NETPATH},
        FarSideCase{"HangsAfterHello", "read l; echo '0 1 500 1'; sleep 30\n", ERROR_BAD_NETPATH}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(RemoteTest, NamesThatCouldBeOptionsOrMoreThanOneArgumentRunNothing) {
  useFarSide(kScriptedFarSide);
  for (const char* name :
       {"-oProxyCommand=x", "\\\\-oProxyCommand=x", "far host", "far\thost", "a/b", "far\n"}) {
    HKEY key = nullptr;
    EXPECT_EQ(RegConnectRegistryA(name, HKEY_LOCAL_MACHINE, &key), ERROR_INVALID_NAME) << name;
    EXPECT_EQ(OpenSCManagerA(name, nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME)) << name;
    DWORD id = 7;
    EXPECT_EQ(QueryComputerPlatformId(name, &id), ERROR_INVALID_NAME) << name;
    EXPECT_EQ(id, 7u);
  }
  HKEY key = nullptr;
  EXPECT_EQ(RegConnectRegistryW(u"-oProxyCommand=x", HKEY_LOCAL_MACHINE, &key), ERROR_INVALID_NAME);
  EXPECT_TRUE(runs().empty());
}

TEST_F(RemoteTest, ThisComputerStaysLocalAndItsUsersAreNotReachedElsewhere) {
  useFarSide(kScriptedFarSide);
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  for (const char* name : {"localhost", "LOCALHOST", ".", "\\\\.", static_cast<const char*>(host)}) {
    HKEY key = nullptr;
    ASSERT_EQ(RegConnectRegistryA(name, HKEY_LOCAL_MACHINE, &key), ERROR_SUCCESS) << name;
    DWORD subKeys = 0;  // a call that keys of another computer do not take
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    DWORD id = 0;
    EXPECT_EQ(QueryComputerPlatformId(name, &id), ERROR_SUCCESS);
    EXPECT_EQ(id, 500u);
  }
  HKEY key = nullptr;
  EXPECT_EQ(RegConnectRegistryA("far", HKEY_CURRENT_USER, &key), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(runs().empty());
}

TEST_F(RemoteTest, OneSessionPerComputerEndsWithItsLastHandle) {
  useFarSide(kScriptedFarSide);
  HKEY a = nullptr, b = nullptr;
  ASSERT_EQ(RegConnectRegistryA("\\\\Far", HKEY_LOCAL_MACHINE, &a), ERROR_SUCCESS);
  ASSERT_EQ(RegConnectRegistryW(u"far", HKEY_LOCAL_MACHINE, &b), ERROR_SUCCESS);
  SC_HANDLE manager = OpenSCManagerA("FAR", nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  ASSERT_EQ(runs().size(), 1u);
  std::istringstream run(runs()[0]);
  pid_t pid = 0;
  std::string argument;
  run >> pid >> argument;
  EXPECT_EQ(argument, "Far");  // without the browse list's backslashes

  EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
  EXPECT_TRUE(CloseServiceHandle(manager));
  EXPECT_EQ(::kill(pid, 0), 0);
  EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
  EXPECT_NE(::kill(pid, 0), 0);  // ended and reaped
  EXPECT_EQ(RegCloseKey(b), ERROR_INVALID_HANDLE);
}

TEST_F(RemoteTest, AFarSideThatStopsReadingBreaksTheSessionUntilANewConnect) {
  // Its input closed, the next request's write fails: without care, with SIGPIPE.
  useFarSide("read l; echo '0 1 500 1'; read l; exec 0<&-; echo '0 7'; sleep 30\n");
  HKEY root = nullptr, key = nullptr;
  ASSERT_EQ(RegConnectRegistryA("far", HKEY_LOCAL_MACHINE, &root), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(root, "SYSTEM", 0, KEY_READ, &key), ERROR_BAD_NETPATH);
  EXPECT_EQ(RegSetValueExA(root, "x", 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 1), ERROR_BAD_NETPATH);
  EXPECT_EQ(RegCloseKey(root), ERROR_BAD_NETPATH);

  useFarSide(kScriptedFarSide);
  ASSERT_EQ(RegConnectRegistryA("far", HKEY_LOCAL_MACHINE, &root), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(root, "SYSTEM", 0, KEY_READ, &key), ERROR_INVALID_PARAMETER);  // the far side's 87
  EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
}

// ---- with corvctl serve on a second platform root ----

TEST_F(RemoteTest, ValuesOfTheSecondComputerAsTheWindowsCallsGiveThem) {
  useSecondComputer();
  installOnSecondComputer();
  HKEY root = nullptr, params = nullptr;
  ASSERT_EQ(RegConnectRegistryA("second", HKEY_LOCAL_MACHINE, &root), ERROR_SUCCESS);
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(root, kParameters.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &params,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  const DWORD port = 514;
  ASSERT_EQ(RegSetValueExA(params, "Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), 4), 0);
  ASSERT_EQ(RegSetValueExA(params, "Folder", 0, REG_SZ, reinterpret_cast<const BYTE*>("/var/log"), 8), 0);

  // ANSI: sizes of the converted text; wide: of the stored UTF-16.
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(params, "Folder", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(size, 9u);
  char text[16] = {};
  size = 4;
  EXPECT_EQ(RegQueryValueExA(params, "Folder", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 9u);
  size = sizeof text;
  EXPECT_EQ(RegQueryValueExA(params, "Folder", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), 0);
  EXPECT_STREQ(text, "/var/log");
  char16_t wide[16] = {};
  size = 10;
  EXPECT_EQ(RegQueryValueExW(params, u"Folder", nullptr, &type, reinterpret_cast<BYTE*>(wide), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 18u);
  EXPECT_EQ(RegQueryValueExW(params, u"Folder", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 18u);
  EXPECT_EQ(RegQueryValueExW(params, u"Folder", nullptr, &type, reinterpret_cast<BYTE*>(wide), &size), 0);
  EXPECT_EQ(std::u16string(wide), u"/var/log");

  char name[16];
  DWORD nameSize = sizeof name, value = 0;
  size = sizeof value;
  EXPECT_EQ(RegEnumValueA(params, 1, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            0);
  EXPECT_STREQ(name, "Port");
  EXPECT_EQ(value, 514u);
  nameSize = sizeof name;
  EXPECT_EQ(RegEnumValueA(params, 2, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  EXPECT_EQ(RegDeleteValueA(params, "Port"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(params, "Port", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(params, "Port"), ERROR_FILE_NOT_FOUND);

  // Only the second computer has them.
  HKEY local = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters.c_str(), 0, KEY_READ, &local),
            ERROR_FILE_NOT_FOUND);

  // A handle keeps the rights it was opened with, there as here.
  HKEY readOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExA(root, kParameters.c_str(), 0, KEY_READ, &readOnly), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(readOnly, "Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(readOnly, "New", 0, nullptr, 0, KEY_READ, nullptr, &local, nullptr),
            ERROR_ACCESS_DENIED);

  // What the wire format has no request for.
  DWORD count = 0;
  EXPECT_EQ(RegEnumKeyExA(root, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(RegQueryInfoKeyW(params, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_NOT_SUPPORTED);
  EXPECT_EQ(RegDeleteTreeA(params, nullptr), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(RegBeginReadTransaction(params), ERROR_NOT_SUPPORTED);

  for (HKEY k : {readOnly, params, root}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(RemoteTest, RulesAreRewrittenInATransactionOfTheSecondComputer) {
  useSecondComputer();
  installOnSecondComputer();
  HKEY root = nullptr, rules = nullptr;
  ASSERT_EQ(RegConnectRegistryA("second", HKEY_LOCAL_MACHINE, &root), ERROR_SUCCESS);
  const std::string path = kServiceKey + "\\Rules";
  auto put = [&](const char* name) {
    ASSERT_EQ(RegCreateKeyA(root, path.c_str(), &rules), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(rules, name, 0, REG_SZ, reinterpret_cast<const BYTE*>("r"), 1), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(rules), ERROR_SUCCESS);
  };
  auto has = [&](const char* name) {
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &rules) != ERROR_SUCCESS) return false;
    const bool found = RegQueryValueExA(rules, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(rules);
    return found;
  };
  ASSERT_EQ(RegBeginTransaction(root), ERROR_SUCCESS);
  put("Rule1");
  EXPECT_EQ(RegCommitTransaction(root), ERROR_SUCCESS);
  ASSERT_EQ(RegBeginTransaction(root), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(root, path.c_str()), ERROR_SUCCESS);
  put("Rule2");
  EXPECT_EQ(RegRollbackTransaction(root), ERROR_SUCCESS);
  EXPECT_TRUE(has("Rule1"));
  EXPECT_FALSE(has("Rule2"));
  EXPECT_EQ(RegCommitTransaction(root), ERROR_TRANSACTION_NOT_ACTIVE);
  EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
}

TEST_F(RemoteTest, TheServiceOfTheSecondComputer) {
  useSecondComputer();
  DWORD id = 0;
  EXPECT_EQ(QueryComputerPlatformId("second", &id), ERROR_SUCCESS);
  EXPECT_EQ(id, 500u);
  SC_HANDLE manager = OpenSCManagerA("second", "ServicesActive", SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr) << GetLastError();
  EXPECT_EQ(OpenServiceA(manager, "TolvaneCorvantel", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(CreateServiceA(manager, "TolvaneCorvantel", nullptr, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/true",
                           nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));  // installing is for this computer only

  onSecondComputer([] {
    SC_HANDLE farManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE installed = CreateServiceA(
        farManager, "TolvaneCorvantel", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "/bin/true", nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_NE(installed, nullptr) << GetLastError();
    CloseServiceHandle(installed);
    CloseServiceHandle(farManager);
  });

  SC_HANDLE service = OpenServiceA(manager, "TolvaneCorvantel", SERVICE_QUERY_STATUS | SERVICE_STOP | DELETE);
  ASSERT_NE(service, nullptr) << GetLastError();
  SERVICE_STATUS status;
  std::memset(&status, 0xff, sizeof status);
  ASSERT_TRUE(QueryServiceStatus(service, &status)) << GetLastError();
  EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));  // not opened to start
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseServiceHandle(service));
  EXPECT_TRUE(CloseServiceHandle(manager));
}

}  // namespace
