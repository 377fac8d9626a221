#include "trace.h"

#include "ansi_text.h"
#include "platform/debug.h"

void DebugTrace(const QString& line) {
  if (!platform::debugOutputEnabled()) return;
  OutputDebugStringA((toAnsi(line) + "\r\n").c_str());
}
