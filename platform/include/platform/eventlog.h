// The event log: the Application log of the machine, kept in a SQLite store at
// <machine root>/eventlog.db (WAL mode, busy time-out, owner-only permissions,
// one connection per process and file).
//
// Event sources are registered by installers, as on Windows, under
//   HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>
// with EventMessageFile (REG_EXPAND_SZ: the program file whose message table
// holds the texts; several files separated by ';') and TypesSupported
// (REG_DWORD). RegisterEventSource does not need that registration.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

using PSID = void*;

inline constexpr WORD EVENTLOG_SUCCESS = 0x0000;
inline constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
inline constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
inline constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
inline constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
inline constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

// Opens an event source of the Application log. serverName must be null,
// empty, "localhost" or this computer's name (with or without a leading "\\");
// other computers give ERROR_BAD_NETPATH. Any source name is accepted, as on
// Windows. Close with DeregisterEventSource.
HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName);
HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName);
// FALSE with ERROR_INVALID_HANDLE for a handle that is not an open source.
BOOL DeregisterEventSource(HANDLE eventLog);

// Appends one record. The insert strings are kept as ANSI bytes exactly (the W
// form converts through the lossless ANSI code page). userSid is accepted and
// not recorded (the platform has no security identifiers). At most 256
// strings; strings null with numStrings > 0, a null string, or rawData null
// with dataSize > 0 give ERROR_INVALID_PARAMETER. A store that cannot be
// opened or written gives FALSE with the error (ERROR_ACCESS_DENIED,
// ERROR_WRITE_FAULT).
BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                  DWORD dataSize, LPCSTR* strings, LPVOID rawData);
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData);

namespace platform {

// The registry key under which the sources of the Application log are registered.
inline constexpr char kApplicationLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

struct EventRecord {
  std::uint64_t recordNumber = 0;  // 1, 2, ... in order of writing; never reused
  std::int64_t timeGenerated = 0;  // seconds since 1970-01-01 UTC
  std::int64_t timeWritten = 0;
  std::string source;
  WORD type = 0;
  WORD category = 0;
  DWORD eventId = 0;
  std::string computer;
  std::vector<std::string> strings;  // insert strings, ANSI bytes as reported
  std::vector<BYTE> data;            // raw data
};

// Records with a number above afterRecord, oldest first, at most limit of them;
// only those of sourceFilter when it is given (compared without regard to ASCII
// case). A machine without an event log yet has no records. Returns
// ERROR_SUCCESS or the error that kept the store from being read.
LONG readEvents(std::uint64_t afterRecord, const std::optional<std::string>& sourceFilter,
                std::vector<EventRecord>& records, std::size_t limit = 10000);

// The text of an event as a viewer shows it: the source's EventMessageFile is
// looked up in the registry, and the event identifier's message from that
// file's message table is expanded with the insert strings (as FormatMessage
// with FORMAT_MESSAGE_ARGUMENT_ARRAY). When the source has no message file, or
// none of its files has that identifier, the insert strings are shown
// unchanged, one per line (joined with CR LF); a single insert is the text.
std::string formatEvent(const EventRecord& record);

// "Error", "Warning", "Information", "Audit Success", "Audit Failure";
// "Success" for 0; "Type N" for anything else.
std::string eventTypeName(WORD type);

}  // namespace platform
