// Kernel object handles. Every HANDLE the platform hands out points to a
// KernelObject; CloseHandle destroys it, which releases what it holds.
#pragma once

#include "platform/types.h"

namespace platform {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
};

}  // namespace platform

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

// Closes a handle from CreateMutex and friends; FALSE with ERROR_INVALID_HANDLE
// for a null or invalid handle.
BOOL CloseHandle(HANDLE handle);
