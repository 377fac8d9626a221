// Debugger output. On Linux there is no debugger channel: each text is appended
// to the file named by $CORVANTEL_DEBUG_OUTPUT when that is set, and goes
// nowhere otherwise, so the call costs almost nothing in production.
#pragma once

#include "platform/types.h"

// Appends the text as it stands (no line end is added); the W form converts to
// the ANSI code page. Each call is one write, so lines of concurrent writers
// do not interleave.
void OutputDebugStringA(LPCSTR text);
void OutputDebugStringW(LPCWSTR text);

namespace platform {

// Whether debugger output goes anywhere now ($CORVANTEL_DEBUG_OUTPUT is set).
// A process's environment changes only by its own hand, so a loop that calls
// OutputDebugString for every item may ask once and skip the calls.
bool debugOutputEnabled();

}  // namespace platform
