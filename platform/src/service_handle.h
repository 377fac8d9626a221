// The objects behind SC_HANDLE: a manager or a service, with the access the
// handle was opened for. Every live handle is kept in a set, so that a stale or
// foreign pointer is answered with ERROR_INVALID_HANDLE instead of being used.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/service.h"

namespace platform::remote {
class Session;
}

struct SC_HANDLE__ {
  enum class Kind { kManager, kService } kind;
  DWORD access;
  std::string name;  // the service's name as it was opened; empty for a manager
  // Another computer's manager or service: its session, and the far side's
  // number for the service (0 for a manager).
  std::shared_ptr<platform::remote::Session> remote;
  std::uint64_t remoteService = 0;
};

namespace platform::scm {

SC_HANDLE newHandle(SC_HANDLE__::Kind kind, DWORD access, std::string name,
                    std::shared_ptr<platform::remote::Session> remote = nullptr,
                    std::uint64_t remoteService = 0);
// The handle's object when it is live and of that kind; null with
// ERROR_INVALID_HANDLE set otherwise.
SC_HANDLE__* checkHandle(SC_HANDLE handle, SC_HANDLE__::Kind kind);
// Sets ERROR_ACCESS_DENIED and returns false unless the handle has every right in needed.
bool hasAccess(const SC_HANDLE__* handle, DWORD needed);

// Fails with FALSE and GetLastError() = code.
inline BOOL fail(LONG code) {
  SetLastError(DWORD(code));
  return FALSE;
}

}  // namespace platform::scm
