#include "remote_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace platform::remote {

namespace {

using Clock = std::chrono::steady_clock;

// Waits until fd is ready for events or the deadline has passed; true when ready
// (an error or hang-up counts: the next read or write reports it).
bool waitFor(int fd, short events, Deadline deadline) {
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, left > 60000 ? 60000 : int(left));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return true;
  }
}

// Holds SIGPIPE back from the calling thread while it writes to a child that
// may have gone, and takes away the SIGPIPE such a write raised: the child's end
// is a pipe, for which there is no MSG_NOSIGNAL, and the calling program may
// not ignore the signal.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &m_set, &m_old);
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    m_wasPending = sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeGuard() {
    if (m_raised && !m_wasPending) {
      const timespec zero{0, 0};
      while (::sigtimedwait(&m_set, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
  }
  void raised() { m_raised = true; }

 private:
  sigset_t m_set, m_old;
  bool m_wasPending = false;
  bool m_raised = false;
};

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

bool Channel::start(const std::vector<std::string>& argv) {
  if (argv.empty() || m_pid > 0) return false;
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return false;
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  // What a caller commonly ignores must not stay ignored in ssh.
  for (int sig : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  // A group of its own, so that closing kills whatever the command started too.
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (rc != 0) {
    ::close(toChild[1]);
    ::close(fromChild[0]);
    return false;
  }
  m_pid = pid;
  m_in = toChild[1];
  m_out = fromChild[0];
  ::fcntl(m_in, F_SETFL, ::fcntl(m_in, F_GETFL) | O_NONBLOCK);
  ::fcntl(m_out, F_SETFL, ::fcntl(m_out, F_GETFL) | O_NONBLOCK);
  m_buffer.clear();
  m_scanned = 0;
  return true;
}

Channel::Status Channel::writeLine(std::string line, Deadline deadline) {
  if (m_in < 0) return Status::kClosed;
  line.push_back('\n');
  SigpipeGuard guard;
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(m_in, line.data() + done, line.size() - done);
    if (n > 0) {
      done += std::size_t(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitFor(m_in, POLLOUT, deadline)) return Status::kTimedOut;
    } else {
      if (errno == EPIPE) guard.raised();
      return Status::kClosed;
    }
  }
  return Status::kOk;
}

Channel::Status Channel::readLine(std::string* line, std::size_t maxLine, Deadline deadline) {
  if (m_out < 0) return Status::kClosed;
  while (true) {
    const std::size_t lf = m_buffer.find('\n', m_scanned);
    if (lf != std::string::npos) {
      if (lf > maxLine) return Status::kTooLong;
      line->assign(m_buffer, 0, lf);
      m_buffer.erase(0, lf + 1);
      m_scanned = 0;
      return Status::kOk;
    }
    m_scanned = m_buffer.size();
    if (m_buffer.size() > maxLine) return Status::kTooLong;
    char chunk[65536];
    const ssize_t n = ::read(m_out, chunk, sizeof chunk);
    if (n > 0) {
      m_buffer.append(chunk, std::size_t(n));
    } else if (n == 0) {
      return Status::kClosed;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!waitFor(m_out, POLLIN, deadline)) return Status::kTimedOut;
    } else {
      return Status::kClosed;
    }
  }
}

int Channel::close(std::chrono::milliseconds grace) {
  closeFd(m_in);
  int status = -1;
  if (m_pid > 0) {
    // Seen ended but not reaped yet, the child keeps its group's number from
    // being reused, so the kill below cannot reach a stranger.
    const Deadline deadline = Clock::now() + grace;
    bool reapedElsewhere = false;  // by a SIGCHLD handler of the program, say
    while (true) {
      siginfo_t info{};
      const int r = ::waitid(P_PID, id_t(m_pid), &info, WEXITED | WNOHANG | WNOWAIT);
      if (r == 0 && info.si_pid == m_pid) break;
      if (r < 0 && errno == ECHILD) {
        reapedElsewhere = true;
        break;
      }
      if (Clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!reapedElsewhere) {
      ::kill(-m_pid, SIGKILL);
      pid_t r;
      while ((r = ::waitpid(m_pid, &status, 0)) < 0 && errno == EINTR) {
      }
      if (r != m_pid) status = -1;
    }
    m_pid = -1;
  }
  closeFd(m_out);
  m_buffer.clear();
  m_scanned = 0;
  return status;
}

}  // namespace platform::remote
