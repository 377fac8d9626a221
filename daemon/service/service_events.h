// Writing the daemon's own events: every event goes to the Application log
// under the source "TolvaneCorvantel", whose message file is corvantd itself.
#pragma once

#include <initializer_list>

#include "platform/eventlog.h"

inline constexpr const char kServiceName[] = "TolvaneCorvantel";

// Registers the source, reports one event (category 0, no user, no binary
// data) with the inserts given (ANSI code page), and deregisters the source.
// A source that cannot be registered or a report that fails drops the event
// without notice: there is nowhere else to report it.
void logDaemonEvent(WORD type, DWORD eventId, std::initializer_list<const char*> inserts = {});
