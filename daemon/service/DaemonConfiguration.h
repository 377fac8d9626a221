// DaemonConfiguration: the values of the service's Parameters key as loaded at
// service start. Only the start-up writes it (loadConfiguration); the receive
// loop reads it once when it starts (makeActionSettings).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "rules/ActionSettings.h"

inline constexpr WCHAR kParametersKeyPath[] =
    u"SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters";

// Storage capacities of the string values in bytes of the ANSI code page, the
// terminating zero included: a longer value keeps its first capacity - 1 bytes.
inline constexpr std::size_t kCapacityPath = 256;
inline constexpr std::size_t kCapacityName = 128;
inline constexpr std::size_t kCapacityExtension = 32;

// Strings in the ANSI code page. Flags stored as numbers count as set only
// when they hold exactly 1.
struct DaemonConfiguration {
  std::string szBaseLogFilePath = "/var/log/corvantel";
  std::string szBaseLogFileName = "Corvantel";
  std::string szBaseLogFileExtension = "log";
  DWORD bReloadRuleBase = 0;
  std::string szODBCDsn;
  std::string szODBCUid;
  std::string szODBCPwd;  // in clear after loading
  DWORD nODBCEnCryption = 0;
  std::string szTableName = "Syslog";
  std::string szODBCReceivedAt = "ReceivedAt";
  std::string szODBCFacility = "Facility";
  std::string szODBCPriority = "Priority";
  std::string szODBCFromHost = "FromHost";
  std::string szODBCMessage = "Message";
  DWORD nSyslogPort = 0;  // 0: the "syslog"/"udp" service port
  DWORD nTimeMode = 0;
  DWORD nUniqueFileName = 1;
  DWORD nFileDateTime = 1;
  DWORD nFileFacility = 1;
  DWORD nFilePriority = 1;
  DWORD bReplaceEventLogSource = 0;
  DWORD nSyslogReplaceSource = 0;
  DWORD nResolveHostName = 0;
  DWORD nUseOrgTimeStamp = 0;
  std::string szSMTPServer = "127.0.0.1";
  std::string szSMTPRecipient;
  std::string szSMTPSender;
  std::string szSMTPSubject;
  DWORD nSMTPPort = 25;
  std::string szSyslogSendServer;
  // Not part of the settings the client edits: the receive buffer the syslog
  // socket asks the kernel for, in bytes; 0 or more than 1 GiB means the
  // default of 8 MiB (about 30000 short datagrams queued during a burst).
  DWORD nReceiveBufferSize = 0;
  // Not edited by the client either: other than 0, the file action writes the
  // control characters of a message (below 0x20 but TAB, and 0x7F) as '#' and
  // three octal digits, so that one message is one line and no sender can
  // forge a line or drive a terminal. 0 writes them raw.
  DWORD nFileEscapeControlChars = 1;
  // The queue between reception and processing: what it may hold in memory,
  // and what it may hold in its spool on disk beyond that, in MiB. 0 means the
  // default (32 MiB in memory; on disk 1024 MiB, never more than the free
  // space of the spool's file system less a reserve).
  DWORD nQueueMemoryLimit = 0;
  DWORD nQueueSpoolLimit = 0;
  // Days a dated log file of the file action is kept; 0 keeps every file.
  DWORD nKeepDays = 0;
  // Syslog over TCP (octet counting or lines) and over TLS: the ports, 0 for
  // off. The TLS files are PEM: the service's certificate (with its chain),
  // its private key, and the certificates of the authorities a sender's
  // certificate must be signed by (empty: no sender certificate is asked for).
  DWORD nTcpPort = 0;
  DWORD nTlsPort = 0;
  std::string szTlsCertificateFile;
  std::string szTlsKeyFile;
  std::string szTlsCaFile;
  // Limits of the connections over TCP and TLS (not edited by the client): the
  // longest message kept (bytes, 1 to 65535; the rest of a longer one is
  // skipped), the connections open at once, and the seconds a connection may
  // stay silent before it is closed (0: never). 0 means the default for the
  // first two (32767 bytes, 500 connections).
  DWORD nTcpMaxMessageSize = 0;
  DWORD nTcpMaxConnections = 0;
  DWORD nTcpIdleTimeout = 3600;
  // The database action: rows in one transaction at most (0: 1000), seconds
  // an unused connection is kept (0: kept until the stop), and MiB each data
  // source's spool may hold while its database cannot be reached (0: 1024).
  DWORD nODBCBatchSize = 0;
  DWORD nODBCIdleTimeout = 60;
  DWORD nODBCSpoolLimit = 0;
};

// The process-wide configuration.
DaemonConfiguration& daemonConfiguration();

// Reads the Parameters key of HKEY_LOCAL_MACHINE into `config`, every value
// with its default (a missing key leaves all defaults), and unscrambles the
// password when nODBCEnCryption is 1. A value stored with the wrong type (a
// number as REG_SZ, a text as REG_DWORD) reads as missing; `warnings`, when
// given, receives one text naming each such value.
void readConfiguration(DaemonConfiguration& config, std::vector<std::string>* warnings = nullptr);

// Reads the Parameters key into daemonConfiguration(), logging a warning event
// for each value of the wrong type, then loads the process-wide rule base from
// the Rules key (an error event when it cannot be read). Called once at
// service start, before the receive thread exists.
void loadConfiguration();

// The settings record the receive loop hands to every action, filled from
// `config`; eventSource "TolvaneCorvantel" and eventId 113.
ActionSettings makeActionSettings(const DaemonConfiguration& config);

// Writes the installation values (nServiceMajor 3, nServiceMinor 70,
// nServiceBuildID 124, bReplaceEventLogSource, nSyslogPort, bWriteToODBC and
// bWriteToEventLog 0) into the Parameters key, creating it when needed. False
// when the key cannot be created or a value cannot be written.
bool writeInstallationValues();

// The clear text of a password stored scrambled: per character a group of two
// hexadecimal digits (255 minus the character's code) and a separator. Any
// input gives some result; the text ends at a decoded zero.
std::string unscramblePassword(std::string_view scrambled);

// `text` cut to at most capacity - 1 bytes, never inside a UTF-8 sequence.
std::string cutToCapacity(std::string text, std::size_t capacity);
