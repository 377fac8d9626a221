#include "rsyslog_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

extern char** environ;

namespace corvantel::testing {

namespace {

constexpr char kRsyslogd[] = "/usr/sbin/rsyslogd";
constexpr char kModuleDir[] = "/usr/lib/x86_64-linux-gnu/rsyslog";

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// True when some process holds the loopback UDP port: our own bind fails.
bool portTaken(int port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in address = loopback(port);
  const bool taken = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0;
  ::close(fd);
  return taken;
}

}  // namespace

RsyslogPeer::RsyslogPeer(std::filesystem::path folder, int port)
    : m_folder(std::move(folder)), m_port(port) {}

RsyslogPeer::RsyslogPeer(std::filesystem::path folder, int port, std::string actions)
    : m_folder(std::move(folder)), m_port(port), m_actions(std::move(actions)) {}

RsyslogPeer::~RsyslogPeer() { stop(); }

bool RsyslogPeer::start(std::chrono::milliseconds limit) {
  std::filesystem::create_directories(m_folder / "work");
  const std::filesystem::path conf = m_folder / "rsyslog.conf";
  {
    std::ofstream out(conf);
    // %rawmsg% is the datagram as it came, PRI included; no control character
    // escaping, so the line shows the bytes that arrived.
    out << "global(workDirectory=\"" << (m_folder / "work").string() << "\"\n"
        << "       parser.escapeControlCharactersOnReceive=\"off\")\n"
        << "module(load=\"imudp\")\n"
        << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << m_port << "\")\n";
    if (!m_actions.empty()) {
      // Only what came in: rsyslogd's own messages (its start, a suspended
      // action) would reach the relay's target too.
      out << "if $inputname == \"imudp\" then {\n" << m_actions << "\n}\n";
    } else {
      out << "template(name=\"raw\" type=\"string\" string=\"%pri%|%rawmsg%\\n\")\n"
          << "action(type=\"omfile\" file=\"" << (m_folder / "out.log").string()
          << "\" template=\"raw\" flushOnTXEnd=\"on\" asyncWriting=\"off\")\n";
    }
  }
  const std::string confText = conf.string();
  const std::string pidText = (m_folder / "rsyslogd.pid").string();
  const std::string logText = (m_folder / "rsyslogd.stderr").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logText.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const char* argv[] = {kRsyslogd,       "-n",   "-M", kModuleDir, "-f", confText.c_str(), "-i",
                        pidText.c_str(), nullptr};
  const int failed =
      posix_spawn(&m_pid, kRsyslogd, &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    m_pid = -1;
    m_why = std::string("cannot run ") + kRsyslogd;
    return false;
  }
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!portTaken(m_port)) {
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      std::ifstream in(logText);
      m_why = "rsyslogd ended: " + std::string(std::istreambuf_iterator<char>(in), {});
      return false;
    }
    if (std::chrono::steady_clock::now() > end) {
      m_why = "rsyslogd did not listen in time";
      stop();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void RsyslogPeer::stop() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (::waitpid(m_pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  m_pid = -1;
}

std::vector<std::string> RsyslogPeer::lines() const {
  std::vector<std::string> result;
  std::ifstream in(m_folder / "out.log", std::ios::binary);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::vector<std::string> RsyslogPeer::waitForLines(std::size_t count, std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  std::vector<std::string> found = lines();
  while (found.size() < count && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    found = lines();
  }
  return found;
}

}  // namespace corvantel::testing
