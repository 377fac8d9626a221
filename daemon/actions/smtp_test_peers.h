// Test peers for the mail action: a real SMTP server (aiosmtpd, run by
// testdata/smtp_sink.py) and a scripted fake server for the replies a real
// one will not give. Both listen on a loopback port they picked themselves and
// stop in their destructors.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace smtp_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// One mail as the real server stored it.
struct StoredMail {
  std::string content;   // the data, CR LF line ends, dots unstuffed
  std::string envelope;  // sender, then recipients, one per line
};

// aiosmtpd with a handler that stores every mail in `folder`.
class SmtpSink {
 public:
  explicit SmtpSink(fs::path folder) : m_folder(std::move(folder)) {
    fs::create_directories(m_folder);
    const std::string script = std::string(CORVANTEL_SOURCE_DIR) + "/daemon/actions/testdata/smtp_sink.py";
    m_pid = ::fork();
    if (m_pid == 0) {
      // The system interpreter: it is the one the aiosmtpd package is for.
      ::execl("/usr/bin/python3", "python3", script.c_str(), m_folder.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!fs::exists(m_folder / "port") && std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    if (fs::exists(m_folder / "port")) m_port = std::stoi(readFile(m_folder / "port"));
  }
  ~SmtpSink() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGTERM);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  // 0 when the server did not come up.
  int port() const { return m_port; }

  // The mails stored so far, in order of arrival.
  std::vector<StoredMail> mails() const {
    std::vector<StoredMail> found;
    for (int i = 1;; ++i) {
      char name[16];
      std::snprintf(name, sizeof(name), "%04d", i);
      const fs::path mail = m_folder / (std::string(name) + ".eml");
      if (!fs::exists(mail)) break;
      found.push_back({readFile(mail), readFile(m_folder / (std::string(name) + ".envelope"))});
    }
    return found;
  }

  std::vector<StoredMail> waitForMails(std::size_t count, std::chrono::milliseconds limit = 5s) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (mails().size() < count && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(20ms);
    return mails();
  }

 private:
  fs::path m_folder;
  pid_t m_pid = -1;
  int m_port = 0;
};

// Serves one connection at a time: sends `greeting` on accept (nothing when
// empty), answers each command line through `answer` (nothing when it returns
// an empty text), and after DATA collects the data up to the final dot and
// answers it with `dataReply`. Everything received is kept per connection.
class ScriptedSmtpServer {
 public:
  std::string greeting = "220 fake.test ESMTP\r\n";
  std::function<std::string(const std::string& line)> answer = [](const std::string& line) -> std::string {
    if (line.rfind("DATA", 0) == 0) return "354 go on\r\n";
    if (line.rfind("QUIT", 0) == 0) return "221 bye\r\n";
    return "250 OK\r\n";
  };
  std::string dataReply = "250 queued\r\n";
  bool closeAfterAnswer = false;  // close the connection after the first answer
  // While set, a connection is taken and held without a greeting or any
  // answer until the client closes it: a server that never answers. May be
  // changed while the server runs.
  std::atomic<bool> silent{false};

  ScriptedSmtpServer() {
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    ::listen(m_listener, 8);
  }
  ~ScriptedSmtpServer() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    ::close(m_listener);
  }
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  // Call after setting the script.
  void start() {
    m_thread = std::thread([this] { serve(); });
  }
  int port() const { return m_port; }

  std::vector<std::string> transcripts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transcripts;
  }
  // The command lines of all connections, without their CR LF (mail data left out).
  std::vector<std::string> commands() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
  }
  // The mail data of each DATA phase, up to and including the final dot line.
  std::vector<std::string> data() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_data;
  }

 private:
  bool waitReadable(int fd) {
    while (!m_stop) {
      pollfd ready{fd, POLLIN, 0};
      if (::poll(&ready, 1, 20) > 0) return true;
    }
    return false;
  }

  void send(int fd, const std::string& text) {
    if (!text.empty()) ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  }

  void serve() {
    while (waitReadable(m_listener)) {
      const int connection = ::accept(m_listener, nullptr, nullptr);
      if (connection < 0) continue;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_transcripts.emplace_back();
      }
      talk(connection);
      ::close(connection);
    }
  }

  void talk(int fd) {
    if (silent) {
      char ignored[4096];
      while (waitReadable(fd) && ::recv(fd, ignored, sizeof(ignored), 0) > 0) {
      }
      return;
    }
    send(fd, greeting);
    std::string pending;
    bool inData = false;
    char buffer[4096];
    while (waitReadable(fd)) {
      const ssize_t received = ::recv(fd, buffer, sizeof(buffer), 0);
      if (received <= 0) return;
      std::lock_guard<std::mutex> lock(m_mutex);
      m_transcripts.back().append(buffer, static_cast<std::size_t>(received));
      pending.append(buffer, static_cast<std::size_t>(received));
      for (;;) {
        if (inData) {
          const std::size_t end = pending.find("\r\n.\r\n");
          if (end == std::string::npos) break;
          m_data.push_back(pending.substr(0, end + 5));
          pending.erase(0, end + 5);
          inData = false;
          send(fd, dataReply);
          continue;
        }
        const std::size_t end = pending.find("\r\n");
        if (end == std::string::npos) break;
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        m_commands.push_back(line);
        const std::string reply = answer(line);
        send(fd, reply);
        if (closeAfterAnswer) return;
        if (line == "DATA" && reply.rfind("354", 0) == 0) inData = true;
      }
    }
  }

  int m_listener = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_transcripts;
  std::vector<std::string> m_commands;
  std::vector<std::string> m_data;
};

}  // namespace smtp_test
