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
  // Converted into reused space: one wide character per byte at most.
  m_wide.resize(m_rawMessage.size());
  int converted = 0;
  if (!m_rawMessage.empty()) {
    converted = MultiByteToWideChar(CP_ACP, 0, m_rawMessage.data(), static_cast<int>(m_rawMessage.size()),
                                    m_wide.data(), static_cast<int>(m_wide.size()));
  }
  m_message.setWide(std::u16string_view(m_wide.data(), static_cast<std::size_t>(converted)));
}
