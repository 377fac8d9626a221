#include "reception/CSyslogServer.h"

#include <cstring>

#include "platform/text.h"
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

bool CSyslogServer::receiveNext(CTolvaneString& source) {
  CUDPServer::ReceiveMessage(source);
  takeMessage();
  return getReceivedLength() >= 0;
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
  m_rawMessage = std::string_view(datagram + pri.textOffset);
  // The string reuses its space, and keeps these bytes as its narrow form.
  m_message.setNarrow(m_rawMessage);
}
