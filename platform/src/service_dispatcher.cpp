// The service's side: the control dispatcher, the handler registration and
// the status reports.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "service_handle.h"
#include "service_state.h"

struct SERVICE_STATUS_HANDLE__ {};

namespace platform::scm {

namespace {

// One dispatcher per process, alive while StartServiceCtrlDispatcherA runs.
struct Session : SERVICE_STATUS_HANDLE__ {
  std::string name;
  std::filesystem::path folder;
  int lockFd = -1;
  int reportFd = -1;  // until the first status is reported
  bool foreground = false;
  int listenFd = -1;
  int wakeFds[2] = {-1, -1};
  std::vector<std::string> args;  // ServiceMain's argv: the name, then the start arguments

  std::mutex mutex;  // guards what follows
  std::condition_variable changed;
  LPHANDLER_FUNCTION handler = nullptr;
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
};

std::mutex g_sessionMutex;
Session* g_session = nullptr;  // guarded by g_sessionMutex

// Written by the SIGTERM/SIGINT handler, read by the listener.
std::atomic<int> g_signalWriteFd{-1};

void onStopSignal(int) {
  const int saved = errno;
  const int fd = g_signalWriteFd.load();
  const char byte = 1;
  if (fd >= 0 && ::write(fd, &byte, 1) < 0) {
    // a full pipe already carries a request
  }
  errno = saved;
}

std::string takeEnv(const char* name) {
  const char* value = std::getenv(name);
  std::string out = value ? value : "";
  ::unsetenv(name);
  return out;
}

// The inherited lock descriptor, when it is really this service's lock and
// held; else a lock taken now. -1 with *error when another process holds it.
int adoptLock(const std::filesystem::path& folder, const std::string& fdText, LONG* error) {
  char* end = nullptr;
  const long fd = fdText.empty() ? -1 : std::strtol(fdText.c_str(), &end, 10);
  struct stat inherited {
  }, file{};
  if (fd >= 0 && *end == '\0' && ::fstat(int(fd), &inherited) == 0 &&
      ::stat((folder / "lock").c_str(), &file) == 0 && inherited.st_dev == file.st_dev &&
      inherited.st_ino == file.st_ino && ::flock(int(fd), LOCK_EX | LOCK_NB) == 0) {
    ::fcntl(int(fd), F_SETFD, FD_CLOEXEC);  // programs the service runs do not hold it
    return int(fd);
  }
  return takeLock(folder, error);
}

int openControlSocket(const std::filesystem::path& folder) {
  const std::filesystem::path path = folder / "control.sock";
  ::unlink(path.c_str());  // left by a process that died
  sockaddr_un address;
  int dirFd = -1;
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  bool ok = fd >= 0 && socketAddress(path, &address, &dirFd) &&
            ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 8) == 0;
  if (dirFd >= 0) ::close(dirFd);
  if (ok) ::chmod(path.c_str(), 0600);  // the folder is owner-only already
  if (!ok && fd >= 0) ::close(fd), ::unlink(path.c_str());
  return ok ? fd : -1;
}

// Whether the control may go to the handler now; the refusal otherwise.
LONG admit(const Session& s, DWORD control) {
  const SERVICE_STATUS& st = s.status;
  if (st.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (control == SERVICE_CONTROL_INTERROGATE) return ERROR_SUCCESS;
  if (s.handler == nullptr || st.dwCurrentState == SERVICE_START_PENDING ||
      st.dwCurrentState == SERVICE_STOP_PENDING)
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  DWORD needed = 0;
  if (control == SERVICE_CONTROL_STOP) needed = SERVICE_ACCEPT_STOP;
  if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE)
    needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
  if (control == SERVICE_CONTROL_SHUTDOWN) needed = SERVICE_ACCEPT_SHUTDOWN;
  return (st.dwControlsAccepted & needed) == needed ? ERROR_SUCCESS : ERROR_INVALID_SERVICE_CONTROL;
}

// Runs one control through the handler; the reply to send.
ControlReply deliver(Session& s, DWORD control) {
  LPHANDLER_FUNCTION handler;
  ControlReply reply{};
  {
    std::lock_guard lock(s.mutex);
    reply.result = DWORD(admit(s, control));
    handler = s.handler;
  }
  if (reply.result == ERROR_SUCCESS && handler != nullptr) handler(control);
  std::lock_guard lock(s.mutex);
  reply.status = s.status;
  return reply;
}

void serveConnection(Session& s, int fd) {
  timeval tv{1, 0};  // a client that connects and says nothing does not hold the listener
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ControlRequest request{};
  ssize_t n;
  while ((n = ::recv(fd, &request, sizeof request, 0)) < 0 && errno == EINTR) {
  }
  if (n == ssize_t(sizeof request)) {
    const ControlReply reply = deliver(s, request.control);
    ::send(fd, &reply, sizeof reply, MSG_NOSIGNAL);
  }
  ::close(fd);
}

// A stop signal becomes the stop control, once the service can take it; true
// while it still waits for that.
bool deliverSignalStop(Session& s) {
  DWORD state, accepted;
  bool ready;
  {
    std::lock_guard lock(s.mutex);
    state = s.status.dwCurrentState;
    accepted = s.status.dwControlsAccepted;
    ready = s.handler != nullptr;
  }
  if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) return false;
  if (state == SERVICE_START_PENDING || !ready) return true;
  if ((accepted & SERVICE_ACCEPT_STOP) == 0) {
    std::fprintf(stderr, "%s: the service does not accept the stop control now\n", s.name.c_str());
    return false;
  }
  deliver(s, SERVICE_CONTROL_STOP);
  return false;
}

void listen(Session& s, int signalFd) {
  bool stopWanted = false;
  for (;;) {
    pollfd fds[3] = {{s.wakeFds[0], POLLIN, 0}, {s.listenFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    const int r = ::poll(fds, signalFd >= 0 ? 3 : 2, stopWanted ? 100 : -1);
    if (r < 0 && errno != EINTR) break;
    if (fds[0].revents) break;
    if (signalFd >= 0 && (fds[2].revents & POLLIN)) {
      char buffer[64];
      while (::read(signalFd, buffer, sizeof buffer) > 0) {
      }
      stopWanted = true;
    }
    if (stopWanted) stopWanted = deliverSignalStop(s);
    if (fds[1].revents & POLLIN) {
      const int fd = ::accept4(s.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) serveConnection(s, fd);
    }
  }
}

// Records a status: in memory for controls, in the status file for queries,
// and, the first time, to the manager waiting in StartServiceA.
bool record(Session& s, const SERVICE_STATUS& status) {
  std::lock_guard lock(s.mutex);
  s.status = status;
  const bool written = writeStatus(s.folder, StatusFile{status, long(::getpid())});
  if (s.reportFd >= 0) {
    const StartReport report{kReportStatus, status.dwCurrentState};
    if (::write(s.reportFd, &report, sizeof report) < 0) {
      // the starter gave up waiting; nothing to tell
    }
    ::close(s.reportFd);
    s.reportFd = -1;
  }
  s.changed.notify_all();
  return written;
}

}  // namespace

}  // namespace platform::scm

using namespace platform::scm;

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (table == nullptr || table[0].lpServiceName == nullptr || table[0].lpServiceProc == nullptr)
    return fail(ERROR_INVALID_PARAMETER);
  const char* marker = std::getenv(kEnvServiceName);
  if (marker == nullptr || *marker == '\0') return fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  Session session;
  {
    std::lock_guard lock(g_sessionMutex);
    if (g_session != nullptr) return fail(ERROR_SERVICE_ALREADY_RUNNING);
    g_session = &session;
  }
  auto leave = [&](LONG error) {
    for (int fd :
         {session.lockFd, session.reportFd, session.listenFd, session.wakeFds[0], session.wakeFds[1]})
      if (fd >= 0) ::close(fd);
    std::lock_guard lock(g_sessionMutex);
    g_session = nullptr;
    return error ? fail(error) : TRUE;
  };

  // The markers are for this process only: programs the service runs were
  // not started by the manager.
  session.name = takeEnv(kEnvServiceName);
  const std::string lockText = takeEnv(kEnvLockFd), reportText = takeEnv(kEnvReportFd);
  session.foreground = !takeEnv(kEnvForeground).empty();
  session.args.push_back(session.name);
  const long argCount = envNumber(kEnvArgCount, 0);
  ::unsetenv(kEnvArgCount);
  for (long i = 1; i <= argCount && i <= 1024; ++i)
    session.args.push_back(takeEnv(("CORVANTEL_SERVICE_ARG" + std::to_string(i)).c_str()));
  if (!reportText.empty()) {
    session.reportFd = std::atoi(reportText.c_str());
    if (session.reportFd <= 2 || ::fcntl(session.reportFd, F_SETFD, FD_CLOEXEC) != 0) session.reportFd = -1;
  }
  ServiceRecord serviceRecord;
  if (checkServiceName(session.name) != ERROR_SUCCESS ||
      readRecord(session.name, &serviceRecord) != ERROR_SUCCESS)
    return leave(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  session.folder = stateFolder(session.name);
  LONG error = 0;
  session.lockFd = adoptLock(session.folder, lockText, &error);
  if (session.lockFd < 0) return leave(error);
  session.listenFd = openControlSocket(session.folder);
  if (session.listenFd < 0 || ::pipe2(session.wakeFds, O_CLOEXEC) != 0)
    return leave(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

  int signalFds[2] = {-1, -1};
  struct sigaction oldTerm {
  }, oldInt{};
  // SIGTERM and SIGINT are the stop control, in the foreground and detached
  // alike: a process ended by them would otherwise read as having died (1067).
  if (::pipe2(signalFds, O_CLOEXEC | O_NONBLOCK) == 0) {
    g_signalWriteFd = signalFds[1];
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &oldTerm);
    ::sigaction(SIGINT, &action, &oldInt);
  }
  std::thread listener([&] { listen(session, signalFds[0]); });

  // As on Windows the entry's name is not checked for a service of its own process.
  std::vector<char*> argv;
  for (auto& a : session.args) argv.push_back(a.data());
  argv.push_back(nullptr);
  table[0].lpServiceProc(DWORD(session.args.size()), argv.data());

  {
    std::unique_lock lock(session.mutex);
    const bool canReport = session.handler != nullptr;
    lock.unlock();
    // Without a handler nobody can report stopped any more; the service
    // gave up during its start.
    if (!canReport) record(session, stoppedStatus(ERROR_PROCESS_ABORTED));
    lock.lock();
    session.changed.wait(lock, [&] { return session.status.dwCurrentState == SERVICE_STOPPED; });
  }
  const char byte = 1;
  if (::write(session.wakeFds[1], &byte, 1) < 0) {
    // the listener is woken by the pipe only; a failed write would be a lost pipe
  }
  listener.join();
  ::unlink((session.folder / "control.sock").c_str());
  if (signalFds[0] >= 0) {
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    ::sigaction(SIGINT, &oldInt, nullptr);
    g_signalWriteFd = -1;
    ::close(signalFds[0]);
    ::close(signalFds[1]);
  }
  // A service deleted while it ran goes now, while its lock is still ours.
  if (readRecord(session.name, &serviceRecord) == ERROR_SUCCESS && serviceRecord.deleteFlag)
    removeService(session.name, session.folder);
  return leave(ERROR_SUCCESS);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler) {
  std::lock_guard lock(g_sessionMutex);
  if (handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (g_session == nullptr || serviceName == nullptr ||
      !platform::equalsAsciiNoCase(platform::toWide(serviceName), platform::toWide(g_session->name))) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  std::lock_guard sessionLock(g_session->mutex);
  g_session->handler = handler;
  return g_session;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  // Held throughout, so that the session cannot end under a late report.
  std::lock_guard lock(g_sessionMutex);
  Session* session = g_session;
  if (handle == nullptr || handle != session) return fail(ERROR_INVALID_HANDLE);
  if (status == nullptr || status->dwCurrentState < SERVICE_STOPPED ||
      status->dwCurrentState > SERVICE_PAUSED)
    return fail(ERROR_INVALID_DATA);
  if (!record(*session, *status)) return fail(ERROR_WRITE_FAULT);
  return TRUE;
}
