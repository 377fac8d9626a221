// CFileAction: action 1003, "Write To File". Appends one comma-separated line
// per message to a text file in the log folder, named after the entry's
// parameter (or the configured base name), optionally with the date in the
// name. Lines are collected per file and written by flushFileOutputs()
// (file_output.h).
#pragma once

#include <string>

#include "reception/message_time.h"
#include "rules/CAction.h"

class CFileAction : public CAction {
 public:
  // Raises nothing: a line that cannot be written is lost, and the failure is
  // logged once per file (file_output.h).
  void Execute(const SyslogMessage& message, const ActionSettings& settings,
               const CActionListEntry& entry) override;
};

// The longest file name accepted, in bytes; a longer one is refused.
inline constexpr std::size_t kMaxLogFileName = 255;

// Composes the file name "<folder>/<base>[-YYYY-MM-DD].<extension>" for the
// moment `now` into `name` (reused; no allocation once it has grown). The date
// is taken in UTC when settings.useUtc is other than 0, else in local time.
// False, with `name` unspecified, when the name would exceed kMaxLogFileName.
bool buildLogFileName(const ActionSettings& settings, const CActionListEntry& entry, TimeValue now,
                      std::string& name);

// Appends the line of `message` to `line`: [date,time,]host,[facility,]
// [priority,]text and a line feed. Date and time are those of receivedAt in
// local time. Unless settings.fileEscapeControlChars is 0, the control
// characters of host and text (below 0x20 but TAB, and 0x7F) are written as
// '#' and three octal digits, so that the line feed ends the only line.
void appendFileLine(const ActionSettings& settings, const SyslogMessage& message, std::string& line);

// The source of "now" for dated file names; time() unless replaced. Tests
// only: pass null to restore it.
using FileActionClock = TimeValue (*)();
void setFileActionClockForTesting(FileActionClock clock);
