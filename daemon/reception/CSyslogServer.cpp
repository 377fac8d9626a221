#include "reception/CSyslogServer.h"

#include "reception/pri_rule.h"

CSyslogServer::~CSyslogServer() = default;

const char* CSyslogServer::ReceiveMessage(CTolvaneString& source) {
  CUDPServer::ReceiveMessage(source);
  takeMessage();
  return getMessage();
}

const char* CSyslogServer::ReceiveData() {
  CUDPServer::ReceiveData();
  takeMessage();
  return getMessage();
}

void CSyslogServer::setServerPort(std::int32_t port) {
  if (port == 0) port = lookupServicePort("syslog", "udp");
  CUDPServer::setServerPort(port);
}

void CSyslogServer::takeMessage() {
  const char* datagram = buffer();
  const PriPart pri = applyPriRule(datagram);
  m_facility = pri.facility;
  m_priority = pri.priority;
  m_message.setNarrow(datagram + pri.textOffset);
}
