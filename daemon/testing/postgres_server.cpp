#include "postgres_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace testing_support {

namespace {

// A port that was free a moment ago; the server binds it right after.
int pickPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    const int error = errno;
    ::close(fd);
    throw std::system_error(error, std::generic_category(), "bind");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// Runs a shell command; returns its standard output and error, throws when it
// fails.
std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run: " + command);
  std::array<char, 4096> buffer;
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  if (status != 0) throw std::runtime_error("failed: " + command + "\n" + output);
  return output;
}

}  // namespace

fs::path postgresBinDir() { return "/usr/lib/postgresql/15/bin"; }

PostgresServer::PostgresServer() {
  char pattern[] = "/tmp/corvantel-pg-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  m_folder = pattern;
  if (::geteuid() == 0) {
    const passwd* user = ::getpwnam("postgres");
    if (user == nullptr) throw std::runtime_error("no user postgres");
    if (::chown(m_folder.c_str(), user->pw_uid, user->pw_gid) != 0)
      throw std::system_error(errno, std::generic_category(), "chown");
  }
  m_port = pickPort();
  run(asServerUser(quote((postgresBinDir() / "initdb").string()) + " -D " +
                   quote((m_folder / "data").string()) +
                   " -N --auth=trust -U postgres -E UTF8 --locale=C.UTF-8"));
  start();
}

PostgresServer::~PostgresServer() {
  try {
    if (m_running) {
      run(asServerUser(quote((postgresBinDir() / "pg_ctl").string()) + " -D " +
                       quote((m_folder / "data").string()) + " -m immediate -w stop"));
    }
  } catch (...) {
  }
  std::error_code ignored;
  fs::remove_all(m_folder, ignored);
}

std::string PostgresServer::asServerUser(const std::string& command) const {
  // The server refuses to run as root.
  if (::geteuid() == 0) return "runuser -u postgres -- " + command;
  return command;
}

void PostgresServer::start() {
  const std::string options = "-c listen_addresses=127.0.0.1 -p " + std::to_string(m_port) + " -k " +
                              m_folder.string() +
                              " -c fsync=off -c full_page_writes=off -c synchronous_commit=off";
  run(asServerUser(quote((postgresBinDir() / "pg_ctl").string()) + " -D " +
                   quote((m_folder / "data").string()) + " -l " + quote((m_folder / "server.log").string()) +
                   " -o " + quote(options) + " -w -t 60 start"));
  m_running = true;
}

void PostgresServer::stop() {
  run(asServerUser(quote((postgresBinDir() / "pg_ctl").string()) + " -D " +
                   quote((m_folder / "data").string()) + " -m fast -w stop"));
  m_running = false;
}

std::string PostgresServer::query(const std::string& sql) const {
  return run(quote((postgresBinDir() / "psql").string()) + " -X -q -At -v ON_ERROR_STOP=1 -h 127.0.0.1 -p " +
             std::to_string(m_port) + " -U " + kUser + " -d " + kDatabase + " -c " + quote(sql));
}

}  // namespace testing_support
