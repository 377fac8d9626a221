// A child process spoken to in lines: its standard input and output are pipes
// of ours, its standard error goes to /dev/null. The remote transport's link to
// the command that reaches the other computer.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace platform::remote {

using Deadline = std::chrono::steady_clock::time_point;

class Channel {
 public:
  enum class Status {
    kOk,
    kClosed,    // the child closed its end (or ended)
    kTimedOut,  // the deadline passed first
    kTooLong,   // a line longer than the caller's limit
  };

  Channel() = default;
  ~Channel() { close(std::chrono::milliseconds(0)); }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Runs argv (argv[0] looked up in PATH; no shell) in a process group of its
  // own, with no signal blocked or ignored. False when it cannot be started.
  bool start(const std::vector<std::string>& argv);

  // Writes line and a LF. A child that has gone is kClosed; SIGPIPE never
  // reaches the calling process.
  Status writeLine(std::string line, Deadline deadline);

  // The next line without its LF; a line of more than maxLine bytes is kTooLong.
  Status readLine(std::string* line, std::size_t maxLine, Deadline deadline);

  // Ends the child's input and gives it up to grace to end; then kills its
  // process group and reaps it. Returns its wait status, -1 when there was no
  // child or its status could not be had.
  int close(std::chrono::milliseconds grace);

 private:
  pid_t m_pid = -1;
  int m_in = -1;              // the child's standard input; ours is non-blocking
  int m_out = -1;             // the child's standard output; ours is non-blocking
  std::string m_buffer;       // read but not yet returned
  std::size_t m_scanned = 0;  // m_buffer[0, m_scanned) holds no LF
};

}  // namespace platform::remote
