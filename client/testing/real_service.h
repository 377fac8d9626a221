// Test support for tests that run the real daemon as a service in a private
// platform root.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <filesystem>
#include <functional>

#include "temp_root.h"

// Polls `condition` until it holds or `limitMs` has passed, letting pending
// window events run in between. True when it held.
bool eventually(const std::function<bool()>& condition, int limitMs = 10000);

// A UDP port on the loopback address that nothing uses right now.
int freeUdpPort();

// The text of every file in `folder` (the log files a service wrote there).
QString logged(const QString& folder);

// Kills the process of the daemon's service in the platform root whose
// machine folder is `machineRoot`, if one runs.
void killService(const std::filesystem::path& machineRoot);

// The real daemon installed as a service in a private platform root and
// listening on a loopback port of its own; stopped (killed) at the end.
class RealServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  static void setPort(int port);

  platform::testing::TempPlatformRoot m_root;
};
