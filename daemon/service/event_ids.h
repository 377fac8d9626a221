// Event identifiers that the daemon writes under its event source. Each equals
// the number of its entry in the daemon's message table; the error numbers of
// CErrorReport and CWinSockError are event identifiers too.
#pragma once

#include <cstdint>

// Socket layer errors (CWinSockError numbers).
inline constexpr std::int32_t kEventCloseSocketFailed = 1;
inline constexpr std::int32_t kEventWinSockStartupFailed = 2;
inline constexpr std::int32_t kEventWinSockVersionTooOld = 3;
inline constexpr std::int32_t kEventInvalidIpAddress = 4;
inline constexpr std::int32_t kEventInvalidHostname = 5;
inline constexpr std::int32_t kEventSendUdpFailed = 6;
inline constexpr std::int32_t kEventServiceNotFound = 7;
inline constexpr std::int32_t kEventBindFailed = 8;
inline constexpr std::int32_t kEventConnectFailed = 9;

// Texts of the daemon's own making: 99 for failures ("A general error
// occured:" and the text), 114 for warnings (the text alone). 107 is kept in
// the table for events written by others.
inline constexpr std::int32_t kEventGeneralError = 99;
inline constexpr std::int32_t kEventDebug = 107;
inline constexpr std::int32_t kEventPlainText = 114;

// Service life.
inline constexpr std::int32_t kEventServiceInstalled = 100;
inline constexpr std::int32_t kEventServiceRemoved = 101;
inline constexpr std::int32_t kEventServiceNotRemoved = 102;
inline constexpr std::int32_t kEventCtrlHandlerNotInstalled = 103;
inline constexpr std::int32_t kEventInitFailed = 104;
inline constexpr std::int32_t kEventServiceStarted = 105;
inline constexpr std::int32_t kEventUnsupportedRequest = 106;
inline constexpr std::int32_t kEventServiceStopped = 108;
inline constexpr std::int32_t kEventReceiveThreadStarted = 109;
inline constexpr std::int32_t kEventReceiveThreadNotStarted = 110;
inline constexpr std::int32_t kEventReceiveThreadStopped = 111;
inline constexpr std::int32_t kEventReceiveThreadNotStopped = 112;

// Actions.
inline constexpr std::int32_t kEventSyslogMessage = 113;  // event log action's default identifier
inline constexpr std::int32_t kEventOdbcError = 115;
inline constexpr std::int32_t kEventMailError = 117;

// A failure of the receive thread that is not an error report.
inline constexpr std::int32_t kEventInternalError = 150;

// The queue between reception and processing, and its spool.
inline constexpr std::int32_t kEventQueueDropped = 151;    // an episode of a full queue ended
inline constexpr std::int32_t kEventSpoolFailed = 152;     // the spool cannot be made, read or written
inline constexpr std::int32_t kEventSpoolRestored = 153;   // messages of the last run are processed first
inline constexpr std::int32_t kEventSpoolDamaged = 154;    // damaged records were skipped
inline constexpr std::int32_t kEventQueuePersisted = 155;  // messages queued at the stop went to the spool
inline constexpr std::int32_t kEventStopSummary = 156;     // the figures of the run, at the stop

// An output (an action type with its target) suspended after a failure the
// next message would meet too (error), and working again (information).
inline constexpr std::int32_t kEventOutputSuspended = 160;
inline constexpr std::int32_t kEventOutputRecovered = 161;

// Syslog over TCP and TLS.
inline constexpr std::int32_t kEventStreamNotListening = 170;   // a port cannot be opened (error)
inline constexpr std::int32_t kEventTlsOff = 171;               // the TLS files cannot be used (error)
inline constexpr std::int32_t kEventStreamRefusing = 172;       // the connection limit is reached (warning)
inline constexpr std::int32_t kEventStreamMalformed = 173;      // a connection closed for its framing (warning)
inline constexpr std::int32_t kEventTlsFailed = 174;            // a TLS connection failed (warning)
inline constexpr std::int32_t kEventStreamListening = 175;      // ports open at start (information)

// The database action's outputs (one per data source).
inline constexpr std::int32_t kEventDatabaseUnreachable = 180;  // rows wait in its spool (error)
inline constexpr std::int32_t kEventDatabaseAnswersAgain = 181;  // the rows that waited are in (information)
inline constexpr std::int32_t kEventDatabaseRowsLost = 182;     // its queue and spool were full (error)
inline constexpr std::int32_t kEventDatabaseSpoolFailed = 183;  // its spool failed or held damage
inline constexpr std::int32_t kEventDatabaseRowsWaiting = 184;  // rows of the last run, or left at the stop

// Log retention: dated log files older than nKeepDays removed (information),
// a file that could not be removed (warning).
inline constexpr std::int32_t kEventOldLogFilesRemoved = 190;
inline constexpr std::int32_t kEventOldLogFileNotRemoved = 191;
