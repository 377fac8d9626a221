#include "rules/CRule.h"

CRule::CRule() = default;

CRule::~CRule() = default;

bool CRule::Matches(const SyslogMessage& message, const ActionSettings&) const {
  if (m_matchesNothing) return false;
  if (m_hasFacility && message.getFacility() != m_facility) return false;
  if (m_hasPriority && message.getPriority() != m_priority) return false;
  if (m_hasMessage) {
    const std::u16string_view text(message.getMessageW(),
                                   static_cast<std::size_t>(message.getMessageLength()));
    if (text.find(m_messageFilter.view()) == std::u16string_view::npos) return false;
  }
  if (m_hasSource && !message.getFromHost().contains(m_sourceFilter)) return false;
  return true;
}

void CRule::setFacility(std::int32_t facility) {
  m_facility = facility;
  m_hasFacility = true;
}

void CRule::setPriority(std::int32_t priority) {
  m_priority = priority;
  m_hasPriority = true;
}

void CRule::setMessageFilter(const CTolvaneString& text) {
  m_messageFilter = text;
  m_hasMessage = true;
}

void CRule::setSourceFilter(const CTolvaneString& text) {
  m_sourceFilter = text;
  m_hasSource = true;
}
