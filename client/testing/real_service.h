// Test support for tests that run the real daemon as a service in a private
// platform root.
#pragma once

#include <filesystem>
#include <functional>

// Polls `condition` until it holds or `limitMs` has passed, letting pending
// window events run in between. True when it held.
bool eventually(const std::function<bool()>& condition, int limitMs = 10000);

// A UDP port on the loopback address that nothing uses right now.
int freeUdpPort();

// Kills the process of the daemon's service in the platform root whose
// machine folder is `machineRoot`, if one runs.
void killService(const std::filesystem::path& machineRoot);
