#include <cstdio>

#include "commands.h"

namespace corvctl {

int eventsCommand(const Args&) {
  std::fputs("corvctl events: not available yet\n", stderr);
  return kExitFailure;
}

}  // namespace corvctl
