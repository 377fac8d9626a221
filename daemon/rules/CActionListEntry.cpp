#include "rules/CActionListEntry.h"

#include "actions/file_output.h"
#include "rules/action_factory.h"

namespace {

// Actions that can wait on the network: a database, a name look-up, a mail
// server. The lines filed before them must not wait with them.
bool mayWait(std::int32_t type) { return type == kActionOdbc || type == kActionForward || type == kActionMail; }

}  // namespace

CActionListEntry::CActionListEntry(std::int32_t type, const CTolvaneString* parameter)
    : m_type(type), m_hasParameter(parameter != nullptr) {
  if (parameter != nullptr) m_parameter = *parameter;
}

CActionListEntry::~CActionListEntry() = default;

bool CActionListEntry::CallAction(const SyslogMessage& message, const ActionSettings& settings) const {
  if (m_type == kActionDiscard) return false;
  if (mayWait(m_type)) writeWaitingFileLines();
  // The object is released by unique_ptr also when Execute raises.
  if (std::unique_ptr<CAction> action = createAction(m_type)) action->Execute(message, settings, *this);
  return true;
}
