// A fixture for tests that run the real corvantd under the service control
// manager in a private platform root: install, start, stop, the service's
// state, and the log files it writes into the test's folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "daemon_test_support.h"
#include "platform/service.h"
#include "temp_root.h"

namespace daemon_testing {

inline constexpr char kService[] = "TolvaneCorvantel";

// Runs corvantd (the program under test) with `arguments`.
Outcome corvantd(const std::string& arguments);

class ServiceFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  // Stops a service still running (or kills it when it will not stop).
  void TearDown() override;

  // Installed, listening on the test's port, filing into the test's folder
  // without dates, with the first rule base of the package.
  void install();
  SC_HANDLE open();
  // The service's current state, 0 when it cannot be opened.
  DWORD state();
  bool waitForState(DWORD wanted, std::chrono::milliseconds limit);
  // Starts the service and waits until it runs.
  void start();
  // The time from the stop request until the manager reports STOPPED.
  std::chrono::milliseconds stop();
  // The process that last reported the service's status; 0 when none.
  pid_t servicePid();
  // SIGKILL to the service's process.
  void killService();
  // Runs corvctl with `arguments`, its standard error with its output.
  Outcome corvctl(const std::string& arguments);
  // One RFC 3164 datagram through logger(1) to the test's port.
  void logger(const std::string& text);
  std::vector<std::string> lines(const std::string& name = "Corvantel") const;

  platform::testing::TempPlatformRoot m_root;
  std::filesystem::path m_logs;
  int m_port = 0;
};

}  // namespace daemon_testing
