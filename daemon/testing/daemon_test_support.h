// Small helpers that the daemon's tests share: the service's registry keys,
// writing values there, waiting for a condition, reading a log file and
// running a command line.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "reception/SyslogMessage.h"

namespace daemon_testing {

// Below HKEY_LOCAL_MACHINE.
inline constexpr char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters";
inline constexpr char kRules[] = "SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters\\Rules";

// Create the key when missing and set one value; a failure fails the test.
void setDword(const char* path, const char* name, DWORD value);
void setString(const char* path, const char* name, const std::string& value);

// Polls `condition` until it holds (true) or `limit` has passed (false).
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(3000));

// The lines of a text file without their line feeds; none when it is missing.
std::vector<std::string> readLines(const std::filesystem::path& file);

// A loopback UDP port that was free a moment ago.
int freeUdpPort();
// A loopback TCP port that was free a moment ago.
int freeTcpPort();
// True when this machine has the IPv6 loopback address ::1.
bool hasIPv6Loopback();

// A received message as the receive loop fills it.
SyslogMessage makeMessage(int facility, int priority, const std::string& text, const char* host = "10.0.0.5");

struct Outcome {
  int status = -1;  // the exit status; -1 when the command did not end normally
  std::string output;
};
// Runs a shell command line and collects its standard output.
Outcome run(const std::string& command);

}  // namespace daemon_testing
