#include "rules/CActionList.h"

bool CActionList::CallActions(const SyslogMessage& message, const ActionSettings& settings) const {
  for (const auto& entry : m_nodes) {
    if (!entry->CallAction(message, settings)) return false;
  }
  return true;
}
