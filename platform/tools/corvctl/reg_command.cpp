#include "commands.h"

namespace corvctl {

int regCommand(const Args&) { return kExitFailure; }

}  // namespace corvctl
