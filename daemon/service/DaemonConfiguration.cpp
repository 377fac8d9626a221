#include "service/DaemonConfiguration.h"

#include <variant>

#include "platform/registry.h"
#include "platform/text.h"
#include "rules/CRuleBase.h"
#include "service/RegistryKey.h"
#include "service/event_ids.h"
#include "service/service_events.h"

namespace {

struct StringSetting {
  std::string DaemonConfiguration::*member;
  std::size_t capacity;
  bool emptyMeansDefault;
};
using DWordSetting = DWORD DaemonConfiguration::*;

struct Setting {
  const WCHAR* name;
  std::variant<StringSetting, DWordSetting> target;
};

// Every value of the Parameters key, in the order it is read. The defaults are
// those of a fresh DaemonConfiguration.
const Setting kSettings[] = {
    {u"szBaseLogFilePath", StringSetting{&DaemonConfiguration::szBaseLogFilePath, kCapacityPath, false}},
    {u"szBaseLogFileName", StringSetting{&DaemonConfiguration::szBaseLogFileName, kCapacityName, true}},
    {u"szBaseLogFileExtension",
     StringSetting{&DaemonConfiguration::szBaseLogFileExtension, kCapacityExtension, true}},
    {u"bReloadRuleBase", &DaemonConfiguration::bReloadRuleBase},
    {u"szODBCDsn", StringSetting{&DaemonConfiguration::szODBCDsn, kCapacityName, false}},
    {u"szODBCUid", StringSetting{&DaemonConfiguration::szODBCUid, kCapacityName, false}},
    {u"szODBCPwd", StringSetting{&DaemonConfiguration::szODBCPwd, kCapacityName, false}},
    {u"nODBCEnCryption", &DaemonConfiguration::nODBCEnCryption},
    {u"szTableName", StringSetting{&DaemonConfiguration::szTableName, kCapacityName, true}},
    {u"szODBCReceivedAt", StringSetting{&DaemonConfiguration::szODBCReceivedAt, kCapacityName, false}},
    {u"szODBCFacility", StringSetting{&DaemonConfiguration::szODBCFacility, kCapacityName, false}},
    {u"szODBCPriority", StringSetting{&DaemonConfiguration::szODBCPriority, kCapacityName, false}},
    {u"szODBCFromHost", StringSetting{&DaemonConfiguration::szODBCFromHost, kCapacityName, false}},
    {u"szODBCMessage", StringSetting{&DaemonConfiguration::szODBCMessage, kCapacityName, false}},
    {u"nSyslogPort", &DaemonConfiguration::nSyslogPort},
    {u"nTimeMode", &DaemonConfiguration::nTimeMode},
    {u"nUniqueFileName", &DaemonConfiguration::nUniqueFileName},
    {u"nFileDateTime", &DaemonConfiguration::nFileDateTime},
    {u"nFileFacility", &DaemonConfiguration::nFileFacility},
    {u"nFilePriority", &DaemonConfiguration::nFilePriority},
    {u"bReplaceEventLogSource", &DaemonConfiguration::bReplaceEventLogSource},
    {u"nSyslogReplaceSource", &DaemonConfiguration::nSyslogReplaceSource},
    {u"nResolveHostName", &DaemonConfiguration::nResolveHostName},
    {u"nUseOrgTimeStamp", &DaemonConfiguration::nUseOrgTimeStamp},
    {u"szSMTPServer", StringSetting{&DaemonConfiguration::szSMTPServer, kCapacityPath, false}},
    {u"szSMTPRecipient", StringSetting{&DaemonConfiguration::szSMTPRecipient, kCapacityPath, false}},
    {u"szSMTPSender", StringSetting{&DaemonConfiguration::szSMTPSender, kCapacityPath, false}},
    {u"szSMTPSubject", StringSetting{&DaemonConfiguration::szSMTPSubject, kCapacityPath, false}},
    {u"nSMTPPort", &DaemonConfiguration::nSMTPPort},
    {u"szSyslogSendServer", StringSetting{&DaemonConfiguration::szSyslogSendServer, kCapacityPath, false}},
    {u"nReceiveBufferSize", &DaemonConfiguration::nReceiveBufferSize},
    {u"nFileEscapeControlChars", &DaemonConfiguration::nFileEscapeControlChars},
    {u"nQueueMemoryLimit", &DaemonConfiguration::nQueueMemoryLimit},
    {u"nQueueSpoolLimit", &DaemonConfiguration::nQueueSpoolLimit},
    {u"nKeepDays", &DaemonConfiguration::nKeepDays},
    {u"nTcpPort", &DaemonConfiguration::nTcpPort},
    {u"nTlsPort", &DaemonConfiguration::nTlsPort},
    {u"szTlsCertificateFile", StringSetting{&DaemonConfiguration::szTlsCertificateFile, kCapacityPath, false}},
    {u"szTlsKeyFile", StringSetting{&DaemonConfiguration::szTlsKeyFile, kCapacityPath, false}},
    {u"szTlsCaFile", StringSetting{&DaemonConfiguration::szTlsCaFile, kCapacityPath, false}},
    {u"nTcpMaxMessageSize", &DaemonConfiguration::nTcpMaxMessageSize},
    {u"nTcpMaxConnections", &DaemonConfiguration::nTcpMaxConnections},
    {u"nTcpIdleTimeout", &DaemonConfiguration::nTcpIdleTimeout},
    {u"nODBCBatchSize", &DaemonConfiguration::nODBCBatchSize},
    {u"nODBCIdleTimeout", &DaemonConfiguration::nODBCIdleTimeout},
    {u"nODBCSpoolLimit", &DaemonConfiguration::nODBCSpoolLimit},
};

int digitValue(unsigned char c) { return c >= '0' && c <= '9' ? c - '0' : c - 55; }

std::int32_t asInt(DWORD value) { return static_cast<std::int32_t>(value); }

}  // namespace

DaemonConfiguration& daemonConfiguration() {
  static DaemonConfiguration* const instance = new DaemonConfiguration;
  return *instance;
}

void readConfiguration(DaemonConfiguration& config, std::vector<std::string>* warnings) {
  const DaemonConfiguration defaults;
  config = defaults;
  RegistryKey key;
  key.Open(HKEY_LOCAL_MACHINE, kParametersKeyPath, KEY_READ);  // not open: every read fails

  const auto wrongType = [&](const Setting& setting, const char* expected) {
    if (warnings == nullptr) return;
    warnings->push_back("The value " + platform::toAnsi(setting.name) +
                        " of the service's Parameters key is not stored as " + expected +
                        "; its default applies.");
  };
  CTolvaneString text;
  for (const Setting& setting : kSettings) {
    if (const auto* number = std::get_if<DWordSetting>(&setting.target)) {
      DWORD value = 0;
      const ValueRead read = key.QueryDWord(setting.name, value);
      config.**number = read == ValueRead::kPresent ? value : defaults.**number;
      if (read == ValueRead::kWrongType) wrongType(setting, "a number (REG_DWORD)");
      continue;
    }
    const auto& string = std::get<StringSetting>(setting.target);
    const ValueRead read = key.QueryString(setting.name, text, RegistryKey::kMaxStringChars);
    if (read == ValueRead::kWrongType) wrongType(setting, "a text (REG_SZ)");
    if (read != ValueRead::kPresent || (string.emptyMeansDefault && text.isEmpty())) continue;
    config.*string.member =
        cutToCapacity(std::string(text.getNarrow(), text.getNarrowLength()), string.capacity);
  }

  if (config.nODBCEnCryption == 1 && !config.szODBCPwd.empty()) {
    config.szODBCPwd = unscramblePassword(config.szODBCPwd);
  }
}

void loadConfiguration() {
  std::vector<std::string> warnings;
  readConfiguration(daemonConfiguration(), &warnings);
  for (const std::string& warning : warnings) {
    logDaemonEvent(EVENTLOG_WARNING_TYPE, kEventPlainText, {warning.c_str()});
  }
  if (const LONG result = loadRuleBaseFromRegistry(); result != ERROR_SUCCESS) {
    reportRuleBaseReadFailure(result);
  }
}

ActionSettings makeActionSettings(const DaemonConfiguration& config) {
  ActionSettings settings;
  settings.eventSource = kServiceName;
  settings.logFileExtension = config.szBaseLogFileExtension;
  settings.logFilePath = config.szBaseLogFilePath;
  settings.logFileName = config.szBaseLogFileName;
  settings.uniqueFileName = asInt(config.nUniqueFileName);
  settings.fileDateTime = asInt(config.nFileDateTime);
  settings.fileFacility = asInt(config.nFileFacility);
  settings.filePriority = asInt(config.nFilePriority);
  settings.fileEscapeControlChars = asInt(config.nFileEscapeControlChars);
  settings.odbcDsn = config.szODBCDsn;
  settings.odbcUid = config.szODBCUid;
  settings.odbcPwd = config.szODBCPwd;
  settings.odbcTable = config.szTableName;
  settings.odbcColReceivedAt = config.szODBCReceivedAt;
  settings.odbcColFacility = config.szODBCFacility;
  settings.odbcColPriority = config.szODBCPriority;
  settings.odbcColFromHost = config.szODBCFromHost;
  settings.odbcColMessage = config.szODBCMessage;
  settings.forwardServer = config.szSyslogSendServer;
  settings.useOrgTimeStamp = asInt(config.nUseOrgTimeStamp);
  settings.syslogReplaceSource = asInt(config.nSyslogReplaceSource);
  settings.resolveHostName = asInt(config.nResolveHostName);
  settings.smtpServer = config.szSMTPServer;
  settings.smtpRecipient = config.szSMTPRecipient;
  settings.smtpSender = config.szSMTPSender;
  settings.smtpSubject = config.szSMTPSubject;
  settings.reloadRuleBase = asInt(config.bReloadRuleBase);
  settings.smtpPort = asInt(config.nSMTPPort);
  settings.useUtc = asInt(config.nTimeMode);
  settings.replaceEventLogSource = asInt(config.bReplaceEventLogSource);
  settings.eventId = kEventSyslogMessage;
  return settings;
}

bool writeInstallationValues() {
  const std::string path = platform::toAnsi(kParametersKeyPath);
  HKEY key = nullptr;
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key) != ERROR_SUCCESS) return false;
  const struct {
    const char* name;
    DWORD value;
  } values[] = {{"nServiceMajor", 3},          {"nServiceMinor", 70}, {"nServiceBuildID", 124},
                {"bReplaceEventLogSource", 0}, {"nSyslogPort", 0},    {"bWriteToODBC", 0},
                {"bWriteToEventLog", 0}};
  bool written = true;
  for (const auto& [name, value] : values) {
    written = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
                  ERROR_SUCCESS &&
              written;
  }
  RegCloseKey(key);
  return written;
}

std::string unscramblePassword(std::string_view scrambled) {
  std::string clear;
  const std::size_t count = (scrambled.size() + 2) / 3;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t start = 3 * i;
    int value = digitValue(static_cast<unsigned char>(scrambled[start]));
    if (start + 1 < scrambled.size()) {
      value = value * 16 + digitValue(static_cast<unsigned char>(scrambled[start + 1]));
    }
    // Characters outside the hexadecimal digits give values outside 0..255;
    // the code is kept to its low byte, as a char would keep it.
    const char c = static_cast<char>(static_cast<unsigned char>((255 - value) & 0xFF));
    if (c == '\0') break;  // the clear text is a zero-terminated string
    clear.push_back(c);
  }
  return clear;
}

std::string cutToCapacity(std::string text, std::size_t capacity) {
  const std::size_t limit = capacity == 0 ? 0 : capacity - 1;
  if (text.size() <= limit) return text;
  std::size_t cut = limit;
  // Find the lead byte of the sequence the cut falls into (at most three
  // continuation bytes back); when that sequence reaches past the cut, cut
  // before it. Lone continuation bytes are characters of their own in the
  // lossless code page and may be cut between.
  std::size_t lead = cut;
  while (lead > 0 && cut - lead < 3 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
  const unsigned char first = static_cast<unsigned char>(text[lead]);
  std::size_t length = 1;
  if ((first & 0xE0) == 0xC0)
    length = 2;
  else if ((first & 0xF0) == 0xE0)
    length = 3;
  else if ((first & 0xF8) == 0xF0)
    length = 4;
  if (lead < cut && lead + length > cut) cut = lead;
  text.resize(cut);
  return text;
}
