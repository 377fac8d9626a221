// Progress lines for the debugger output (platform/debug.h): each line is the
// text followed by CR LF, passed in the ANSI code page.
#pragma once

#include <QString>

void DebugTrace(const QString& line);
