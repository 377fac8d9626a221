// ActionSettings: the configuration values that the actions read, as one
// copyable record. The receive loop fills one from the daemon configuration
// when it starts (makeActionSettings) and hands it to every message; each
// action gets its own copy, so nothing an action changes reaches another.
#pragma once

#include <cstdint>
#include <string>

// Strings are in the ANSI code page.
struct ActionSettings {
  std::string smtpServer;
  std::string smtpRecipient;
  std::string smtpSubject;
  std::string smtpSender;
  std::string odbcDsn;
  std::string odbcUid;
  std::string odbcPwd;  // in clear
  std::string odbcTable;
  std::string logFilePath = "/var/log/corvantel";  // no trailing slash
  std::string logFileName = "Corvantel";
  std::string logFileExtension = "log";  // without the dot
  std::string eventSource;
  std::string forwardServer;
  std::string odbcColReceivedAt;
  std::string odbcColFacility;
  std::string odbcColPriority;
  std::string odbcColFromHost;
  std::string odbcColMessage;
  std::int32_t smtpPort = 0;
  std::int32_t replaceEventLogSource = 0;
  std::int32_t eventId = 0;
  std::int32_t eventCategory = 0;
  std::int32_t useUtc = 0;  // other than 0: dated file names take the UTC date
  std::int32_t reloadRuleBase = 0;
  std::int32_t syslogReplaceSource = 0;
  std::int32_t resolveHostName = 0;
  std::int32_t uniqueFileName = -1;  // other than 0: file names carry the date
  std::int32_t useOrgTimeStamp = 0;
  std::int32_t fileDateTime = 0;  // exactly 1: date and time columns
  std::int32_t fileFacility = 0;  // exactly 1: facility column
  std::int32_t filePriority = 0;  // exactly 1: priority column
  std::int32_t fileEscapeControlChars = 1;  // other than 0: control characters written as #ooo
};
