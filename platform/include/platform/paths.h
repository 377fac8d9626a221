// Where the platform keeps its state. Every path is read from the environment
// at the moment of the call, so a test can point the platform at a temporary
// folder before it touches anything.
#pragma once

#include <filesystem>

namespace platform {

// $CORVANTEL_ROOT, default /var/lib/corvantel: the machine hive, the event log,
// service status and control sockets.
std::filesystem::path machineRoot();

// $CORVANTEL_USER_ROOT, else $XDG_CONFIG_HOME/corvantel, else ~/.config/corvantel:
// the current user's hive.
std::filesystem::path userRoot();

// Creates a folder and its parents if missing; false when that fails.
bool ensureDirectory(const std::filesystem::path& dir);

}  // namespace platform
