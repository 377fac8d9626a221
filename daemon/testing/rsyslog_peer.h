// A real rsyslogd for tests: listens with imudp on 127.0.0.1 and a port the
// test picked, and writes every datagram it receives to a file as one line
// "<pri>|<raw datagram>", so a test can check what reached the peer byte for
// byte. Given actions of its own it is a sender instead: what it receives
// goes through them (an omfwd to the program under test, say). Its
// configuration, pid file, work folder and output live in a folder of the
// test's; the process is stopped (and waited for) by stop() or the destructor.
#pragma once

#include "daemon_test_support.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace corvantel::testing {

class RsyslogPeer {
 public:
  // folder: created if missing; port: a free loopback UDP port.
  RsyslogPeer(std::filesystem::path folder, int port);
  // A relay: the datagrams received on `port` go through `actions` (rsyslog
  // configuration: actions, or `if`s around them; rsyslogd's own messages
  // never reach them) instead of into the output file.
  RsyslogPeer(std::filesystem::path folder, int port, std::string actions);
  ~RsyslogPeer();
  RsyslogPeer(const RsyslogPeer&) = delete;
  RsyslogPeer& operator=(const RsyslogPeer&) = delete;

  // Starts rsyslogd and waits until it holds the port; false (with why() set)
  // when it could not be started or did not listen within the limit.
  bool start(std::chrono::milliseconds limit = std::chrono::seconds(10));
  void stop();

  // Output lines so far, "pri|raw", without their line feed.
  std::vector<std::string> lines() const;
  // Waits until at least `count` lines are there; the lines at that moment.
  std::vector<std::string> waitForLines(std::size_t count,
                                        std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

  int port() const { return m_port; }
  const std::string& why() const { return m_why; }

 private:
  std::filesystem::path m_folder;
  int m_port;
  std::string m_actions;
  pid_t m_pid = -1;
  std::string m_why;
};

using daemon_testing::freeUdpPort;

}  // namespace corvantel::testing
