// Named mutual-exclusion objects in the global namespace.
//
// A mutex is an exclusive flock on a file named after the object in a folder
// that every user can write ($CORVANTEL_MUTEX_DIR, default /run/lock/corvantel,
// or /tmp/corvantel-locks where /run/lock is missing). The kernel releases the
// lock when its holder exits, crash or not, so a stale mutex cannot outlive
// its process.
#pragma once

#include "platform/handle.h"
#include "platform/types.h"

// Creates or opens the named mutex and tries to take it at once. As on Windows
// the handle is returned either way; GetLastError() is ERROR_ALREADY_EXISTS
// (183) when another handle (in this or another process) holds it, 0 when this
// handle now owns it. A "Global\" or "Local\" prefix names the same object.
// A null name, or a folder that cannot be used, gives null with the error set.
HANDLE CreateMutexA(void* securityAttributes, BOOL initialOwner, LPCSTR name);
HANDLE CreateMutexW(void* securityAttributes, BOOL initialOwner, LPCWSTR name);

// Gives up ownership; FALSE with ERROR_NOT_OWNER (288) when not held.
BOOL ReleaseMutex(HANDLE mutex);
