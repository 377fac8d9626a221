#include "rules/CActionListEntry.h"

#include "rules/action_factory.h"

CActionListEntry::CActionListEntry(std::int32_t type, const CTolvaneString* parameter)
    : m_type(type), m_hasParameter(parameter != nullptr) {
  if (parameter != nullptr) m_parameter = *parameter;
}

CActionListEntry::~CActionListEntry() = default;

bool CActionListEntry::CallAction(const SyslogMessage& message, const ActionSettings& settings) const {
  if (m_type == kActionDiscard) return false;
  // The object is released by unique_ptr also when Execute raises.
  if (std::unique_ptr<CAction> action = createAction(m_type)) action->Execute(message, settings, *this);
  return true;
}
