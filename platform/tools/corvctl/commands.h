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

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

}  // namespace corvctl
