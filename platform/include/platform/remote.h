// Other computers. RegConnectRegistry and OpenSCManager with a computer's name,
// and the calls on the handles they give, reach that computer through a
// command that runs `corvctl serve` there and talks to it over its standard
// input and output:
//
//   $CORVANTEL_REMOTE_SHELL, default "ssh -o BatchMode=yes -o ConnectTimeout=10 %h corvctl serve"
//
// split at blanks into the program and its arguments (no shell), each "%h"
// replaced by the computer's name, which always stays one argument. A null or
// empty name, "localhost", ".", a loopback address and this host's own name
// mean this computer and run nothing. Leading backslashes of a name are
// dropped (browse lists give "\\name"); what remains must not start with '-'
// nor hold a blank, a control character or '/' (ERROR_INVALID_NAME, 123, and
// nothing runs).
//
// One session (one command) per computer, shared by all its registry and
// service handles and ended when the last of them is closed. Errors: the
// command cannot be started or ends before answering, 53 (ERROR_BAD_NETPATH);
// what answers is not `corvctl serve` (the far shell's "not found", exit 127),
// 2; the far side refuses, 5. A session that breaks later (the command ends, or
// an answer takes longer than 30 s, $CORVANTEL_REMOTE_TIMEOUT_MS for tests)
// makes every later call on its handles 53; a new connect starts a new one.
#pragma once

#include "platform/types.h"

// The platform identifier of a computer: 500 (the NT family) for this one,
// asked of no one; for another, what its `corvctl serve` reports. *platformId
// is left alone on failure (53, 2, 123 as above; 87 for a null platformId).
LONG QueryComputerPlatformId(const char* computer, DWORD* platformId);
