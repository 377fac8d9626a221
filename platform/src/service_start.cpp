// Starting a service: as a detached process (StartServiceA) or in the
// foreground in place of the calling program (runServiceInForeground).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/text.h"
#include "remote.h"
#include "service_handle.h"
#include "service_state.h"

extern char** environ;

namespace platform::scm {

namespace {

// Descriptors the started process finds its lock and start report pipe on.
constexpr int kChildLockFd = 3;
constexpr int kChildReportFd = 4;

// Splits ImagePath into the program and its arguments. A path in double
// quotes is the program; so is the whole text when it names a file (paths
// may hold blanks); otherwise the program ends at the first blank. The
// arguments are separated by blanks, double quotes grouping.
std::vector<std::string> splitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  if (!line.empty() && line.front() != '"' && ::access(line.c_str(), F_OK) == 0) return {line};
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

// The environment of the service process: ours, with the markers set.
std::vector<std::string> serviceEnvironment(const std::string& name, int lockFd, int reportFd,
                                            bool foreground, DWORD numArgs, LPCSTR* args) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, "CORVANTEL_SERVICE_", 18) == 0 || std::strncmp(*e, "CORVANTEL_ROOT=", 15) == 0)
      continue;
    env.emplace_back(*e);
  }
  // The service uses the platform root of the manager that started it.
  env.push_back("CORVANTEL_ROOT=" + machineRoot().string());
  env.push_back(std::string(kEnvServiceName) + "=" + name);
  env.push_back(std::string(kEnvLockFd) + "=" + std::to_string(lockFd));
  if (reportFd >= 0) env.push_back(std::string(kEnvReportFd) + "=" + std::to_string(reportFd));
  if (foreground) env.push_back(std::string(kEnvForeground) + "=1");
  env.push_back(std::string(kEnvArgCount) + "=" + std::to_string(numArgs));
  for (DWORD i = 0; i < numArgs; ++i)
    env.push_back("CORVANTEL_SERVICE_ARG" + std::to_string(i + 1) + "=" + (args[i] ? args[i] : ""));
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

LONG execError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
      return ERROR_BAD_EXE_FORMAT;
    default:
      return ERROR_PROCESS_ABORTED;
  }
}

using Report = StartReport;

// Checks the record and takes the lock; the lock descriptor, or -1 with the error set.
int prepareStart(SC_HANDLE__* s, ServiceRecord* record) {
  if (LONG e = readRecord(s->name, record)) return fail(e), -1;
  if (record->deleteFlag) return fail(ERROR_SERVICE_MARKED_FOR_DELETE), -1;
  if (record->start == SERVICE_DISABLED) return fail(ERROR_SERVICE_DISABLED), -1;
  const std::filesystem::path folder = stateFolder(s->name);
  LONG error = 0;
  const int lock = takeLock(folder, &error);
  if (lock < 0) return fail(error), -1;
  // Under the lock, the record is read again: it may have been deleted meanwhile.
  if (LONG e = readRecord(s->name, record); e != ERROR_SUCCESS || record->deleteFlag) {
    ::close(lock);
    return fail(e ? e : ERROR_SERVICE_MARKED_FOR_DELETE), -1;
  }
  if (splitCommandLine(record->imagePath).empty()) {
    ::close(lock);
    return fail(ERROR_FILE_NOT_FOUND), -1;
  }
  StatusFile pending;
  pending.status = stoppedStatus(0);
  pending.status.dwCurrentState = SERVICE_START_PENDING;
  writeStatus(folder, pending);
  return lock;
}

// Records a failed start and lets go of the lock.
BOOL failStart(const std::filesystem::path& folder, int lock, LONG error) {
  writeStatus(folder, StatusFile{stoppedStatus(DWORD(error)), 0});
  ::close(lock);
  return fail(error);
}

// Waits for a report until the deadline; 1 report read, 0 end of file, -1 time-out.
int readReport(int fd, std::chrono::steady_clock::time_point deadline, Report* report) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, int(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return -1;
    const ssize_t n = ::read(fd, report, sizeof *report);
    if (n < 0 && errno == EINTR) continue;
    if (n == ssize_t(sizeof *report)) return 1;
    return 0;
  }
}

}  // namespace

}  // namespace platform::scm

using namespace platform::scm;

BOOL StartServiceA(SC_HANDLE service, DWORD numArgs, LPCSTR* args) {
  SC_HANDLE__* s = checkHandle(service, SC_HANDLE__::Kind::kService);
  if (s == nullptr) return FALSE;
  if (!hasAccess(s, SERVICE_START)) return FALSE;
  if (numArgs > 0 && args == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (s->remote) {
    if (numArgs > 0) return fail(ERROR_NOT_SUPPORTED);  // the wire format carries no arguments
    if (LONG e = s->remote->startService(s->remoteService)) return fail(e);
    return TRUE;
  }
  ServiceRecord record;
  int lock = prepareStart(s, &record);
  if (lock < 0) return FALSE;
  const std::filesystem::path folder = stateFolder(s->name);

  // Everything the child needs is made before fork: after it, in a process
  // that may have other threads, only async-signal-safe calls are allowed.
  std::vector<std::string> argvStrings = splitCommandLine(record.imagePath);
  std::vector<std::string> envStrings =
      serviceEnvironment(s->name, kChildLockFd, kChildReportFd, false, numArgs, args);
  std::vector<char*> argv = pointers(argvStrings), envp = pointers(envStrings);
  const std::string logPath = (folder / "console.log").string();
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return failStart(folder, lock, ERROR_NOT_ENOUGH_MEMORY);
  // Above the descriptors the child sets up, so that its dup2 calls cannot clobber them.
  const int childLock = ::fcntl(lock, F_DUPFD_CLOEXEC, 10);
  const int childReport = ::fcntl(pipeFds[1], F_DUPFD_CLOEXEC, 10);
  ::close(pipeFds[1]);
  const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  auto closeChildFds = [&] {
    for (int fd : {childLock, childReport, logFd, nullFd})
      if (fd >= 0) ::close(fd);
  };
  if (childLock < 0 || childReport < 0 || logFd < 0 || nullFd < 0) {
    closeChildFds();
    ::close(pipeFds[0]);
    return failStart(folder, lock, ERROR_ACCESS_DENIED);
  }

  // Double fork: the service belongs to no process of ours, so it never
  // becomes our zombie, and lives in a session of its own.
  const pid_t middle = ::fork();
  if (middle == 0) {
    ::setsid();
    const pid_t child = ::fork();
    if (child != 0) ::_exit(child < 0 ? 1 : 0);
    sigset_t all;
    sigemptyset(&all);
    ::sigprocmask(SIG_SETMASK, &all, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
    ::dup2(nullFd, 0);
    ::dup2(logFd, 1);
    ::dup2(logFd, 2);
    ::dup2(childLock, kChildLockFd);
    ::dup2(childReport, kChildReportFd);
    ::close_range(kChildReportFd + 1, ~0U, 0);
    if (::chdir("/") != 0) {
      // the service starts where it is; nothing depends on it
    }
    Report pidReport{kReportPid, std::uint32_t(::getpid())};
    if (::write(kChildReportFd, &pidReport, sizeof pidReport) < 0) ::_exit(127);
    ::execve(argv[0], argv.data(), envp.data());
    Report failed{kReportExecFailed, std::uint32_t(errno)};
    if (::write(kChildReportFd, &failed, sizeof failed) < 0) ::_exit(127);
    ::_exit(127);
  }
  closeChildFds();
  if (middle < 0) {
    ::close(pipeFds[0]);
    return failStart(folder, lock, ERROR_NOT_ENOUGH_MEMORY);
  }
  while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }

  // The service has started when its dispatcher reports a first status.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(startTimeoutMs());
  pid_t pid = 0;
  LONG error = ERROR_PROCESS_ABORTED;
  Report report{};
  int got;
  while ((got = readReport(pipeFds[0], deadline, &report)) == 1) {
    if (report.kind == kReportPid) {
      pid = pid_t(report.value);
    } else if (report.kind == kReportExecFailed) {
      error = execError(int(report.value));
    } else {
      ::close(pipeFds[0]);
      ::close(lock);  // the service holds it now
      return TRUE;
    }
  }
  if (got < 0) {
    error = ERROR_SERVICE_REQUEST_TIMEOUT;
    if (pid > 0) {
      ::kill(-pid, SIGKILL);  // its session's process group
      ::kill(pid, SIGKILL);
      // The pipe ends when the process is gone; only then is the lock free.
      readReport(pipeFds[0], std::chrono::steady_clock::now() + std::chrono::seconds(5), &report);
    }
  }
  ::close(pipeFds[0]);
  return failStart(folder, lock, error);
}

BOOL StartServiceW(SC_HANDLE service, DWORD numArgs, LPCWSTR* args) {
  if (numArgs > 0 && args == nullptr) return fail(ERROR_INVALID_PARAMETER);
  std::vector<std::string> ansi;
  for (DWORD i = 0; i < numArgs; ++i) ansi.push_back(args[i] != nullptr ? platform::toAnsi(args[i]) : "");
  std::vector<LPCSTR> pointers;
  for (const std::string& a : ansi) pointers.push_back(a.c_str());
  return StartServiceA(service, numArgs, numArgs > 0 ? pointers.data() : nullptr);
}

namespace platform {

DWORD runServiceInForeground(SC_HANDLE service) {
  SC_HANDLE__* s = checkHandle(service, SC_HANDLE__::Kind::kService);
  if (s == nullptr) return GetLastError();
  if (!hasAccess(s, SERVICE_START)) return GetLastError();
  if (s->remote) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return ERROR_NOT_SUPPORTED;
  }
  ServiceRecord record;
  const int lock = prepareStart(s, &record);
  if (lock < 0) return GetLastError();
  // The lock passes to the program we become.
  ::fcntl(lock, F_SETFD, 0);
  std::vector<std::string> argvStrings = splitCommandLine(record.imagePath);
  std::vector<std::string> envStrings = serviceEnvironment(s->name, lock, -1, true, 0, nullptr);
  std::vector<char*> argv = pointers(argvStrings), envp = pointers(envStrings);
  ::execve(argv[0], argv.data(), envp.data());
  const LONG error = execError(errno);
  writeStatus(stateFolder(s->name), StatusFile{stoppedStatus(DWORD(error)), 0});
  ::close(lock);
  SetLastError(DWORD(error));
  return DWORD(error);
}

}  // namespace platform
