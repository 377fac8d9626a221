#include "rules/CActionListEntry.h"

#include "actions/file_output.h"
#include "rules/action_factory.h"
#include "service/CErrorReport.h"

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
  // A made object is released by unique_ptr also when Execute raises.
  CAction* action = sharedAction(m_type);
  std::unique_ptr<CAction> made;
  if (action == nullptr) {
    made = createAction(m_type);
    action = made.get();
  }
  if (action == nullptr) return true;
  OutputGuard* guard = m_output.find(m_type, m_hasParameter ? &m_parameter : nullptr, settings);
  if (guard != nullptr && !guard->admit()) return false;
  if (mayWait(m_type)) writeWaitingFileLines();
  try {
    action->Execute(message, settings, *this);
  } catch (const CErrorReport& report) {
    if (guard != nullptr && guard->failed(report)) return false;
    throw;
  }
  if (guard != nullptr) guard->succeeded();
  return true;
}
