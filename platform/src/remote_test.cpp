#include "platform/remote.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
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

// ---- over a real SSH server on loopback ----

// An sshd of the test's own on 127.0.0.1 that lets this user in with a key
// made for the test, and a client configuration that reaches it as
// "sshtarget": the whole path of the default template (ssh, the far user's
// shell, corvctl serve on the second root) without a network.
class RemoteOverSshTest : public RemoteTest {
 protected:
  void SetUp() override {
    RemoteTest::SetUp();
    const std::filesystem::path sshd = "/usr/sbin/sshd";
    if (::access(sshd.c_str(), X_OK) != 0) GTEST_SKIP() << sshd << " is not installed (openssh-server)";
    const passwd* user = ::getpwuid(::geteuid());
    ASSERT_NE(user, nullptr);
    for (const char* key : {"host_key", "client_key"}) {
      const std::string keygen = "ssh-keygen -q -t ed25519 -N '' -f '" + file(key).string() + "' </dev/null";
      if (std::system(keygen.c_str()) != 0) GTEST_SKIP() << "ssh-keygen could not make " << key;
    }
    std::filesystem::copy_file(file("client_key.pub"), file("authorized_keys"));
    const int port = freePort();
    ASSERT_GT(port, 0);
    std::ofstream(file("sshd_config"))
        << "ListenAddress 127.0.0.1\nPort " << port << "\nHostKey " << file("host_key").string()
        << "\nAuthorizedKeysFile " << file("authorized_keys").string()
        << "\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
           "PermitRootLogin prohibit-password\nStrictModes no\nUsePAM no\nPidFile "
        << file("sshd.pid").string() << "\nLogLevel ERROR\n";
    std::ofstream(file("ssh_config"))
        << "Host sshtarget\n  HostName 127.0.0.1\n  Port " << port << "\n  IdentityFile "
        << file("client_key").string() << "\n  IdentitiesOnly yes\n  User " << user->pw_name
        << "\n  StrictHostKeyChecking no\n  UserKnownHostsFile /dev/null\n"
           "  BatchMode yes\n  LogLevel ERROR\n";
    // As root, sshd wants its privilege separation directory.
    if (::geteuid() == 0 && ::mkdir("/run/sshd", 0755) != 0 && errno != EEXIST)
      GTEST_SKIP() << "cannot create /run/sshd: " << std::strerror(errno);

    const std::string log = file("sshd.log").string();
    std::vector<std::string> words = {sshd.string(), "-D", "-e", "-f", file("sshd_config").string()};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    const int spawned = ::posix_spawn(&m_sshd, sshd.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) {
      m_sshd = -1;
      GTEST_SKIP() << "cannot start sshd: " << std::strerror(spawned);
    }
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!accepts(port)) {
      int status = 0;
      if (::waitpid(m_sshd, &status, WNOHANG) == m_sshd) {
        m_sshd = -1;
        GTEST_SKIP() << "sshd could not start: " << slurp(file("sshd.log"));
      }
      if (std::chrono::steady_clock::now() > deadline)
        GTEST_SKIP() << "sshd does not listen on port " << port << ": " << slurp(file("sshd.log"));
      std::this_thread::sleep_for(20ms);
    }

    setenv("CORVANTEL_REMOTE_SHELL",
           ("ssh -F " + file("ssh_config").string() + " %h env CORVANTEL_ROOT=" + farRoot().string() +
            " CORVANTEL_USER_ROOT=" + (m_root.base() / "far-user").string() + " " CORVCTL_PROGRAM " serve")
               .c_str(),
           1);
  }

  void TearDown() override {
    stopSshd();
    RemoteTest::TearDown();
  }

  void stopSshd() {
    if (m_sshd <= 0) return;
    ::kill(m_sshd, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && ::waitpid(m_sshd, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(20ms);
    if (::waitpid(m_sshd, &status, WNOHANG) == 0) {
      ::kill(m_sshd, SIGKILL);
      ::waitpid(m_sshd, &status, 0);
    }
    m_sshd = -1;
  }

  // A port that nothing listens on now: the kernel's pick for a socket closed again.
  static int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
      port = ntohs(address.sin_port);
    ::close(fd);
    return port;
  }

  static bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
  }

  static std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // `corvctl reg get` of a Parameters value on the second computer's root, run
  // here: what the far side stored, not what the session answers.
  std::string getOnSecondComputer(const char* name) const {
    const std::string command = "CORVANTEL_ROOT='" + farRoot().string() +
                                "' '" CORVCTL_PROGRAM "' reg get 'HKLM\\" + kParameters + "' " + name +
                                " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "(popen failed)";
    std::string out;
    char chunk[256];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
    const int status = ::pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "(failed) " + out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  pid_t m_sshd = -1;
};

TEST_F(RemoteOverSshTest, RegistryAndServiceOfTheComputerBehindSshAndNoneOnceItsSshdStops) {
  // A computer whose services' key exists (the far side creates nothing
  // outside Corvantel's subtrees), without Corvantel's service.
  onSecondComputer([] {
    HKEY services = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", &services), 0);
    RegCloseKey(services);
  });
  HKEY root = nullptr, params = nullptr;
  ASSERT_EQ(RegConnectRegistryA("sshtarget", HKEY_LOCAL_MACHINE, &root), ERROR_SUCCESS)
      << slurp(file("sshd.log"));
  ASSERT_EQ(
      RegCreateKeyExA(root, kParameters.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &params, nullptr),
      ERROR_SUCCESS);
  const DWORD port = 10514;
  EXPECT_EQ(RegSetValueExA(params, "Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), 4), 0);
  EXPECT_EQ(RegSetValueExA(params, "Folder", 0, REG_SZ, reinterpret_cast<const BYTE*>("/var/log/far"), 13),
            0);

  DWORD type = 0, value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExA(params, "Port", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), 0);
  EXPECT_EQ(type, DWORD(REG_DWORD));
  EXPECT_EQ(value, 10514u);
  char text[32] = {};
  size = sizeof text;
  EXPECT_EQ(RegQueryValueExA(params, "Folder", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), 0);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(size, 13u);
  EXPECT_STREQ(text, "/var/log/far");

  // Stored in the second root, and not in this process's own.
  EXPECT_EQ(getOnSecondComputer("Port"), "10514");
  EXPECT_EQ(getOnSecondComputer("Folder"), "/var/log/far");
  HKEY local = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParameters.c_str(), 0, KEY_READ, &local),
            ERROR_FILE_NOT_FOUND);

  // Its key is there, but no service was installed.
  SC_HANDLE manager = OpenSCManagerA("sshtarget", nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr) << GetLastError();
  EXPECT_EQ(OpenServiceA(manager, "TolvaneCorvantel", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));

  EXPECT_TRUE(CloseServiceHandle(manager));
  EXPECT_EQ(RegCloseKey(params), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);

  // With the last handle the session ended: a new one finds no sshd.
  stopSshd();
  EXPECT_EQ(RegConnectRegistryA("sshtarget", HKEY_LOCAL_MACHINE, &root), ERROR_BAD_NETPATH);
  EXPECT_EQ(OpenSCManagerA("sshtarget", nullptr, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_NETPATH));
}

}  // namespace
