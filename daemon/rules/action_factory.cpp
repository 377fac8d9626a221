#include "rules/action_factory.h"

#include "actions/CEventLogAction.h"
#include "actions/CFileAction.h"
#include "actions/CForwardAction.h"
#include "actions/CMailAction.h"
#include "actions/COdbcAction.h"

namespace {
ActionFactory g_testFactory = nullptr;
}  // namespace

std::unique_ptr<CAction> createAction(std::int32_t type) {
  if (g_testFactory != nullptr) return g_testFactory(type);
  switch (type) {
    case kActionFile:
      return std::make_unique<CFileAction>();
    case kActionOdbc:
      return std::make_unique<COdbcAction>();
    case kActionForward:
      return std::make_unique<CForwardAction>();
    case kActionMail:
      return std::make_unique<CMailAction>();
    case kActionEventLog:
      return std::make_unique<CEventLogAction>();
    default:
      // 0, "Shell Exec" (1004), "Net send" (1005) and unknown codes: no effect.
      return nullptr;
  }
}

CAction* sharedAction(std::int32_t type) {
  if (g_testFactory != nullptr) return nullptr;
  // Never destroyed: an action may still run while the process exits.
  static CFileAction* const file = new CFileAction;
  static CEventLogAction* const eventLog = new CEventLogAction;
  switch (type) {
    case kActionFile:
      return file;
    case kActionEventLog:
      return eventLog;
    default:
      return nullptr;
  }
}

ActionFactory setActionFactoryForTesting(ActionFactory factory) {
  const ActionFactory previous = g_testFactory;
  g_testFactory = factory;
  return previous;
}
