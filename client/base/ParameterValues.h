// ParameterValues: the client's copy of the daemon's settings in the
// Parameters key, between reading them for the configuration pages and
// writing them back. Every member starts at the value the client shows when
// the registry lacks it; some differ from the daemon's own defaults (the mail
// subject, the syslog port shown as 514 instead of the service port 0).
#pragma once

#include <QSet>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <variant>

#include "platform/registry.h"

struct ParameterValues {
  // General page
  std::int32_t nSyslogPort = 514;  // 0 means the standard syslog port; shown as 514
  std::int32_t nTimeMode = 0;      // other than 0: file name dates in UTC
  QString szSyslogSendServer;
  std::int32_t bReloadRuleBase = 0;
  std::int32_t nSyslogReplaceSource = 0;
  std::int32_t nResolveHostName = 0;
  std::int32_t nUseOrgTimeStamp = 0;
  // General page, TCP and TLS: reception besides the UDP port
  std::int32_t nTcpPort = 0;     // syslog over TCP (RFC 6587); 0 means off
  std::int32_t nTlsPort = 0;     // syslog over TLS (RFC 5425); 0 means off
  QString szTlsCertificateFile;  // PEM: the server's certificate, then its chain
  QString szTlsKeyFile;          // PEM: the certificate's private key
  QString szTlsCaFile;           // PEM: CAs a client certificate must come from; empty asks for none
  // File page
  std::int32_t nUniqueFileName = 1;
  QString szBaseLogFilePath = QStringLiteral("/var/log/corvantel");
  QString szBaseLogFileName = QStringLiteral("Corvantel");
  QString szBaseLogFileExtension = QStringLiteral("log");
  std::int32_t nFileDateTime = 1;
  std::int32_t nFileFacility = 1;
  std::int32_t nFilePriority = 1;
  // ODBC page
  QString szODBCDsn;
  QString szODBCPwd;  // as stored: scrambled when nODBCEnCryption is 1
  QString szODBCUid;
  QString szTableName = QStringLiteral("Syslog");
  std::int32_t nODBCEnCryption = 0;
  QString szODBCReceivedAt = QStringLiteral("ReceivedAt");
  QString szODBCFacility = QStringLiteral("Facility");
  QString szODBCPriority = QStringLiteral("Priority");
  QString szODBCFromHost = QStringLiteral("FromHost");
  QString szODBCMessage = QStringLiteral("Message");
  // ODBC page, writing: per data source, the daemon's one connection, its
  // transactions and its spool while the database cannot be reached
  std::int32_t nODBCBatchSize = 1000;   // rows per transaction, 1 to 100000; 0 means 1000
  std::int32_t nODBCIdleTimeout = 60;   // seconds unused before the connection closes; 0 keeps it open
  std::int32_t nODBCSpoolLimit = 1024;  // MiB of spooled rows; 0 means 1024
  // Event Log page
  std::int32_t bReplaceEventLogSource = 0;
  // SMTP page
  QString szSMTPServer = QStringLiteral("127.0.0.1");
  QString szSMTPSender;
  QString szSMTPRecipient;
  QString szSMTPSubject = QStringLiteral("Corvantel Email");
  std::int32_t nSMTPPort = 25;
  // The switches of the rule-less configuration: no control edits them; the
  // rule base wizard offers them for import, saving writes them back as read.
  std::int32_t bWriteToLogFile = 1;
  std::int32_t bWriteToODBC = 0;
  std::int32_t bWriteToEventLog = 0;

  bool operator==(const ParameterValues&) const = default;
};

// One value as it goes to the registry: a REG_DWORD number or a text.
using ParameterValue = std::variant<std::int32_t, QString>;
using ParameterSink = std::function<void(const QString& name, const ParameterValue& value)>;

// The room the daemon has for a text value, in bytes of the ANSI code page with
// the terminating zero: it keeps only what fits of a longer text. 0 for a name
// that is not a text value of the key.
int parameterTextCapacity(const QString& name);

// Reads every value from `key` with the client defaults above. A value that is
// missing, stored with another registry type than the daemon reads (a number
// as REG_DWORD, a text as REG_SZ or REG_EXPAND_SZ) or too long to read (a text
// of more than kLongStringBuffer bytes) keeps its default, as it does in the
// daemon. A null key gives all defaults. `stored`, when given, receives the
// names of the values the key holds in any form, read or not.
ParameterValues readParameterValues(HKEY key, QSet<QString>* stored = nullptr);

// The first value a save could not write, with the registry's result code.
struct ParameterWriteFailure {
  QString name;
  LONG code = ERROR_SUCCESS;
};

// Writes every value to `key`, numbers as REG_DWORD and texts as REG_SZ; an
// empty text deletes its value (one that is not there counts as deleted), so
// that the daemon's default applies again. Stops at the first write that
// fails and returns it.
std::optional<ParameterWriteFailure> writeParameterValues(HKEY key, const ParameterValues& values);

// A save of what was edited since `asRead` was read from `key` with `stored`:
// writes the values that differ from `asRead`, and those the key did not hold
// (they get the default the pages showed). A value the key holds and that did
// not change is left as it is stored, in whatever form. Stops at the first
// write that fails and returns it.
std::optional<ParameterWriteFailure> writeChangedParameterValues(HKEY key, const ParameterValues& values,
                                                                 const ParameterValues& asRead,
                                                                 const QSet<QString>& stored);

// Hands every value to `sink` in the order writeParameterValues writes them.
void forEachParameterValue(const ParameterValues& values, const ParameterSink& sink);

// The stored form of the database password when nODBCEnCryption is 1: per
// byte b of the text in the ANSI code page, 255 - b as two upper-case
// hexadecimal digits and one random digit "1" to "F". The daemon reads this
// form back (its unscrambling skips every third character).
QString ScramblePassword(const QString& text);

// The clear text of a scrambled password: every group of three characters
// gives the byte 255 - v, v being its first two characters read as
// hexadecimal ("0"-"9", "A"-"F"; another character is a digit worth 0). A
// group cut short reads its one digit. A decoded zero byte ends the text, as
// it ends the daemon's.
QString UnscramblePassword(const QString& text);
