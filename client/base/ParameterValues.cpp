#include "ParameterValues.h"

#include <QRandomGenerator>
#include <map>
#include <string>

#include "Registry.h"
#include "ansi_text.h"

namespace {

using NumberMember = std::int32_t ParameterValues::*;
using TextMember = QString ParameterValues::*;

// The daemon's room for each text value (bytes with the terminating zero).
constexpr int kPath = 256;
constexpr int kName = 128;
constexpr int kExtension = 32;

struct Field {
  const char* name;
  std::variant<NumberMember, TextMember> member;
  int capacity = 0;  // texts only
};

// Every value of the key, in the order the pages save them: the designed
// values first, then those of our own. Reading takes the same list; its order
// does not matter there.
const Field kFields[] = {
    {"nSyslogPort", &ParameterValues::nSyslogPort},
    {"nTimeMode", &ParameterValues::nTimeMode},
    {"szSyslogSendServer", &ParameterValues::szSyslogSendServer, kPath},
    {"bReloadRuleBase", &ParameterValues::bReloadRuleBase},
    {"nSyslogReplaceSource", &ParameterValues::nSyslogReplaceSource},
    {"nResolveHostName", &ParameterValues::nResolveHostName},
    {"nUniqueFileName", &ParameterValues::nUniqueFileName},
    {"nUseOrgTimeStamp", &ParameterValues::nUseOrgTimeStamp},
    {"szBaseLogFilePath", &ParameterValues::szBaseLogFilePath, kPath},
    {"szBaseLogFileName", &ParameterValues::szBaseLogFileName, kName},
    {"szBaseLogFileExtension", &ParameterValues::szBaseLogFileExtension, kExtension},
    {"nFileDateTime", &ParameterValues::nFileDateTime},
    {"nFileFacility", &ParameterValues::nFileFacility},
    {"nFilePriority", &ParameterValues::nFilePriority},
    {"szODBCDsn", &ParameterValues::szODBCDsn, kName},
    {"szODBCPwd", &ParameterValues::szODBCPwd, kName},
    {"szODBCUid", &ParameterValues::szODBCUid, kName},
    {"szTableName", &ParameterValues::szTableName, kName},
    {"nODBCEnCryption", &ParameterValues::nODBCEnCryption},
    {"szODBCReceivedAt", &ParameterValues::szODBCReceivedAt, kName},
    {"szODBCFacility", &ParameterValues::szODBCFacility, kName},
    {"szODBCPriority", &ParameterValues::szODBCPriority, kName},
    {"szODBCFromHost", &ParameterValues::szODBCFromHost, kName},
    {"szODBCMessage", &ParameterValues::szODBCMessage, kName},
    {"bReplaceEventLogSource", &ParameterValues::bReplaceEventLogSource},
    {"szSMTPServer", &ParameterValues::szSMTPServer, kPath},
    {"szSMTPSender", &ParameterValues::szSMTPSender, kPath},
    {"szSMTPRecipient", &ParameterValues::szSMTPRecipient, kPath},
    {"szSMTPSubject", &ParameterValues::szSMTPSubject, kPath},
    {"nSMTPPort", &ParameterValues::nSMTPPort},
    {"bWriteToLogFile", &ParameterValues::bWriteToLogFile},
    {"bWriteToODBC", &ParameterValues::bWriteToODBC},
    {"bWriteToEventLog", &ParameterValues::bWriteToEventLog},
    {"nTcpPort", &ParameterValues::nTcpPort},
    {"nTlsPort", &ParameterValues::nTlsPort},
    {"szTlsCertificateFile", &ParameterValues::szTlsCertificateFile, kPath},
    {"szTlsKeyFile", &ParameterValues::szTlsKeyFile, kPath},
    {"szTlsCaFile", &ParameterValues::szTlsCaFile, kPath},
    {"nODBCBatchSize", &ParameterValues::nODBCBatchSize},
    {"nODBCIdleTimeout", &ParameterValues::nODBCIdleTimeout},
    {"nODBCSpoolLimit", &ParameterValues::nODBCSpoolLimit},
};

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexDigitValue(QChar c) {
  if (c >= u'0' && c <= u'9') return c.unicode() - u'0';
  if (c >= u'A' && c <= u'F') return c.unicode() - u'A' + 10;
  return 0;
}

}  // namespace

int parameterTextCapacity(const QString& name) {
  for (const Field& field : kFields)
    if (name == QLatin1String(field.name)) return field.capacity;
  return 0;
}

ParameterValues readParameterValues(HKEY key, QSet<QString>* stored) {
  ParameterValues values;
  for (const Field& field : kFields) {
    const QString name = QLatin1String(field.name);
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (Registry::QueryValueType(key, name, &type, &size) != ERROR_SUCCESS) continue;
    if (stored != nullptr) stored->insert(name);
    if (const auto* number = std::get_if<NumberMember>(&field.member)) {
      // A number stored as text would read as the codes of its characters.
      if (type == REG_DWORD && size == 4)
        values.*(*number) = Registry::QueryDWordValue(key, name, values.*(*number));
    } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
      const TextMember text = std::get<TextMember>(field.member);
      // Read as long as the daemon reads it: a longer value cut to the
      // designed 255 bytes would show the default and be overwritten by it
      // at the next save.
      values.*text = Registry::QueryStringValue(key, name, values.*text, nullptr, Registry::kLongStringBuffer);
    }
  }
  return values;
}

void forEachParameterValue(const ParameterValues& values, const ParameterSink& sink) {
  for (const Field& field : kFields) {
    std::visit([&](auto member) { sink(QLatin1String(field.name), ParameterValue(values.*member)); },
               field.member);
  }
}

namespace {

LONG writeValue(HKEY key, const QString& name, const ParameterValue& value) {
  if (const auto* number = std::get_if<std::int32_t>(&value))
    return Registry::SetNumberValue(key, name, *number);
  const LONG rc = Registry::SetStringValue(key, name, std::get<QString>(value));
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;  // deleting what is not there
}

std::optional<ParameterWriteFailure> writeValues(HKEY key, const ParameterValues& values,
                                                 const std::function<bool(const QString&)>& wanted) {
  std::optional<ParameterWriteFailure> failure;
  forEachParameterValue(values, [&](const QString& name, const ParameterValue& value) {
    if (failure || !wanted(name)) return;
    if (const LONG rc = writeValue(key, name, value); rc != ERROR_SUCCESS)
      failure = ParameterWriteFailure{name, rc};
  });
  return failure;
}

}  // namespace

std::optional<ParameterWriteFailure> writeParameterValues(HKEY key, const ParameterValues& values) {
  return writeValues(key, values, [](const QString&) { return true; });
}

std::optional<ParameterWriteFailure> writeChangedParameterValues(HKEY key, const ParameterValues& values,
                                                                 const ParameterValues& asRead,
                                                                 const QSet<QString>& stored) {
  // Pair the two sets of values by name.
  std::map<QString, ParameterValue> before;
  forEachParameterValue(asRead,
                        [&](const QString& name, const ParameterValue& value) { before.emplace(name, value); });
  QSet<QString> differing;
  forEachParameterValue(values, [&](const QString& name, const ParameterValue& value) {
    if (before.at(name) != value) differing.insert(name);
  });
  return writeValues(key, values,
                     [&](const QString& name) { return differing.contains(name) || !stored.contains(name); });
}

QString ScramblePassword(const QString& text) {
  const std::string bytes = toAnsi(text);
  QString scrambled;
  scrambled.reserve(static_cast<qsizetype>(bytes.size() * 3));
  for (const char byte : bytes) {
    const int code = 255 - static_cast<unsigned char>(byte);
    scrambled += QLatin1Char(kHexDigits[code >> 4]);
    scrambled += QLatin1Char(kHexDigits[code & 0xF]);
    scrambled += QLatin1Char(kHexDigits[QRandomGenerator::global()->bounded(1, 16)]);
  }
  return scrambled;
}

QString UnscramblePassword(const QString& text) {
  std::string bytes;
  for (qsizetype i = 0; i < text.size(); i += 3) {
    int value = hexDigitValue(text[i]);
    if (i + 1 < text.size()) value = value * 16 + hexDigitValue(text[i + 1]);
    const auto byte = static_cast<unsigned char>(255 - value);
    if (byte == 0) break;  // the daemon's clear text ends here too
    bytes.push_back(static_cast<char>(byte));
  }
  return fromAnsi(bytes);
}
