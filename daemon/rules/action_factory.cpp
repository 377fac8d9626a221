#include "rules/action_factory.h"

#include "actions/CFileAction.h"

namespace {
ActionFactory g_testFactory = nullptr;
}  // namespace

std::unique_ptr<CAction> createAction(std::int32_t type) {
  if (g_testFactory != nullptr) return g_testFactory(type);
  switch (type) {
    case kActionFile:
      return std::make_unique<CFileAction>();
    // The database, forward, mail and event log actions arrive with their own
    // classes (COdbcAction, CForwardAction, CMailAction, CEventLogAction).
    // Until then these types run nothing, and processing goes on as for any
    // action that succeeded.
    case kActionOdbc:
    case kActionForward:
    case kActionMail:
    case kActionEventLog:
      return nullptr;
    default:
      // 0, "Shell Exec" (1004), "Net send" (1005) and unknown codes: no effect.
      return nullptr;
  }
}

ActionFactory setActionFactoryForTesting(ActionFactory factory) {
  const ActionFactory previous = g_testFactory;
  g_testFactory = factory;
  return previous;
}
