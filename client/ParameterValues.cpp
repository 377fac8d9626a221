#include "ParameterValues.h"

#include <QRandomGenerator>
#include <string>

#include "Registry.h"
#include "ansi_text.h"

namespace {

using NumberMember = std::int32_t ParameterValues::*;
using TextMember = QString ParameterValues::*;

struct Field {
  const char* name;
  std::variant<NumberMember, TextMember> member;
};

// Every value of the key, in the order the pages save them. Reading takes the
// same list; its order does not matter there.
const Field kFields[] = {
    {"nSyslogPort", &ParameterValues::nSyslogPort},
    {"nTimeMode", &ParameterValues::nTimeMode},
    {"szSyslogSendServer", &ParameterValues::szSyslogSendServer},
    {"bReloadRuleBase", &ParameterValues::bReloadRuleBase},
    {"nSyslogReplaceSource", &ParameterValues::nSyslogReplaceSource},
    {"nResolveHostName", &ParameterValues::nResolveHostName},
    {"nUniqueFileName", &ParameterValues::nUniqueFileName},
    {"nUseOrgTimeStamp", &ParameterValues::nUseOrgTimeStamp},
    {"szBaseLogFilePath", &ParameterValues::szBaseLogFilePath},
    {"szBaseLogFileName", &ParameterValues::szBaseLogFileName},
    {"szBaseLogFileExtension", &ParameterValues::szBaseLogFileExtension},
    {"nFileDateTime", &ParameterValues::nFileDateTime},
    {"nFileFacility", &ParameterValues::nFileFacility},
    {"nFilePriority", &ParameterValues::nFilePriority},
    {"szODBCDsn", &ParameterValues::szODBCDsn},
    {"szODBCPwd", &ParameterValues::szODBCPwd},
    {"szODBCUid", &ParameterValues::szODBCUid},
    {"szTableName", &ParameterValues::szTableName},
    {"nODBCEnCryption", &ParameterValues::nODBCEnCryption},
    {"szODBCReceivedAt", &ParameterValues::szODBCReceivedAt},
    {"szODBCFacility", &ParameterValues::szODBCFacility},
    {"szODBCPriority", &ParameterValues::szODBCPriority},
    {"szODBCFromHost", &ParameterValues::szODBCFromHost},
    {"szODBCMessage", &ParameterValues::szODBCMessage},
    {"bReplaceEventLogSource", &ParameterValues::bReplaceEventLogSource},
    {"szSMTPServer", &ParameterValues::szSMTPServer},
    {"szSMTPSender", &ParameterValues::szSMTPSender},
    {"szSMTPRecipient", &ParameterValues::szSMTPRecipient},
    {"szSMTPSubject", &ParameterValues::szSMTPSubject},
    {"nSMTPPort", &ParameterValues::nSMTPPort},
    {"bWriteToLogFile", &ParameterValues::bWriteToLogFile},
    {"bWriteToODBC", &ParameterValues::bWriteToODBC},
    {"bWriteToEventLog", &ParameterValues::bWriteToEventLog},
};

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexDigitValue(QChar c) {
  if (c >= u'0' && c <= u'9') return c.unicode() - u'0';
  if (c >= u'A' && c <= u'F') return c.unicode() - u'A' + 10;
  return 0;
}

}  // namespace

ParameterValues readParameterValues(HKEY key) {
  ParameterValues values;
  for (const Field& field : kFields) {
    const QString name = QLatin1String(field.name);
    if (const auto* number = std::get_if<NumberMember>(&field.member)) {
      values.*(*number) = Registry::QueryDWordValue(key, name, values.*(*number));
    } else {
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

void writeParameterValues(HKEY key, const ParameterValues& values) {
  forEachParameterValue(values, [key](const QString& name, const ParameterValue& value) {
    if (const auto* number = std::get_if<std::int32_t>(&value)) {
      Registry::SetNumberValue(key, name, *number);
    } else {
      Registry::SetStringValue(key, name, std::get<QString>(value));
    }
  });
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
