#include "reception/SyslogMessage.h"

#include "platform/eventlog.h"

SyslogMessage::SyslogMessage() = default;

SyslogMessage::~SyslogMessage() = default;

std::int32_t SyslogMessage::getPriority() const { return m_priority; }

std::int32_t SyslogMessage::getFacility() const { return m_facility; }

std::int32_t SyslogMessage::getEventType() const {
  if (m_priority < 0) return EVENTLOG_INFORMATION_TYPE;
  if (m_priority <= 3) return EVENTLOG_ERROR_TYPE;
  if (m_priority == 4) return EVENTLOG_WARNING_TYPE;
  return EVENTLOG_INFORMATION_TYPE;
}

const WCHAR* SyslogMessage::getDescription() const { return u"received syslog message"; }

void SyslogMessage::setFromHost(const CTolvaneString& host) { m_fromHost = host; }

void SyslogMessage::setReceivedAt(TimeValue time) { m_receivedAt = time; }

void SyslogMessage::setFacility(std::int32_t facility) {
  if (facility >= 0 && facility <= 23) m_facility = facility;
}

void SyslogMessage::setPriority(std::int32_t priority) {
  if (priority >= 0 && priority <= 7) m_priority = priority;
}
