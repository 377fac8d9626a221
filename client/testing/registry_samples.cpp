#include "registry_samples.h"

#include <cstring>

std::map<std::string, std::string> storedValues(HKEY key) {
  std::map<std::string, std::string> values;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD nameSize = sizeof name;
    BYTE data[8192];
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
    if (type == REG_DWORD && dataSize == 4) {
      std::int32_t n;
      std::memcpy(&n, data, 4);
      values[name] = "DWORD " + std::to_string(n);
    } else {
      values[name] = (type == REG_SZ ? "SZ " : "type " + std::to_string(type) + " ") +
                     std::string(reinterpret_cast<char*>(data), dataSize ? dataSize - 1 : 0);
    }
  }
  return values;
}

ParameterValues everyValueChanged() {
  ParameterValues v;
  v.nSyslogPort = 1514;
  v.nTimeMode = 2;
  v.szSyslogSendServer = "relay:10514";
  v.bReloadRuleBase = 1;
  v.nSyslogReplaceSource = 1;
  v.nResolveHostName = 1;
  v.nUseOrgTimeStamp = 1;
  v.nUniqueFileName = 0;
  v.szBaseLogFilePath = "/srv/syslog";
  v.szBaseLogFileName = "gateway";
  v.szBaseLogFileExtension = "txt";
  v.nFileDateTime = 0;
  v.nFileFacility = 0;
  v.nFilePriority = 0;
  v.szODBCDsn = "Corvantel";
  v.szODBCPwd = "9E59D3";  // "ab", scrambled
  v.szODBCUid = "syslog";
  v.szTableName = "Events";
  v.nODBCEnCryption = 1;
  v.szODBCReceivedAt = "received_at";
  v.szODBCFacility = "facility";
  v.szODBCPriority = "severity";
  v.szODBCFromHost = "from_host";
  v.szODBCMessage = "msg";
  v.bReplaceEventLogSource = 1;
  v.szSMTPServer = "mail.example.org";
  v.szSMTPSender = "corvantel@example.org";
  v.szSMTPRecipient = "ops@example.org";
  v.szSMTPSubject = QString::fromUtf8("Störung – 障害");
  v.nSMTPPort = 587;
  v.bWriteToLogFile = 0;
  v.bWriteToODBC = 1;
  v.bWriteToEventLog = 1;
  v.nTcpPort = 1514;
  v.nTlsPort = 6514;
  v.szTlsCertificateFile = "/etc/corvantel/tls/server-chain.pem";
  v.szTlsKeyFile = "/etc/corvantel/tls/server-key.pem";
  v.szTlsCaFile = "/etc/corvantel/tls/senders-ca.pem";
  v.nODBCBatchSize = 250;
  v.nODBCIdleTimeout = 0;  // kept open
  v.nODBCSpoolLimit = 4096;
  return v;
}
