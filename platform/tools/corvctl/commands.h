// The command groups of corvctl. Each takes the arguments after its group word
// and returns the process exit status: 0 on success; otherwise a message on
// standard error and 1 for a failure, 2 for a usage error.
#pragma once

#include <string>
#include <vector>

namespace corvctl {

using Args = std::vector<std::string>;

int regCommand(const Args& args);
int eventsCommand(const Args& args);
int scCommand(const Args& args);
int serveCommand(const Args& args);
int statsCommand(const Args& args);

// Text for a terminal: CR LF and bare CR become line feeds, and what could
// steer the terminal (control characters, C1 controls, bytes that are not
// UTF-8) is shown as \xHH. Event texts come from the network, so they are
// never written raw.
std::string forTerminal(const std::string& text);

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

}  // namespace corvctl
