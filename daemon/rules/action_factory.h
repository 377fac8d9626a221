// The dispatch table from action type codes to action classes.
#pragma once

#include <cstdint>
#include <memory>

#include "rules/CAction.h"

inline constexpr std::int32_t kActionDiscard = 1;
inline constexpr std::int32_t kActionOdbc = 1000;
inline constexpr std::int32_t kActionForward = 1001;
inline constexpr std::int32_t kActionMail = 1002;
inline constexpr std::int32_t kActionFile = 1003;
inline constexpr std::int32_t kActionShellExec = 1004;
inline constexpr std::int32_t kActionNetSend = 1005;
inline constexpr std::int32_t kActionEventLog = 1007;

// A new action object for the type code, or null for a type that has no
// effect (0, 1004, 1005 and every unknown code). Discard (1) is handled by
// the caller and never reaches here.
std::unique_ptr<CAction> createAction(std::int32_t type);

// The one object of an action type that keeps nothing between messages nor
// during one (the file and the event log), which every message may share; null
// for the other types, and while a test factory is in place. Spares the
// processing thread an allocation per message and action.
CAction* sharedAction(std::int32_t type);

using ActionFactory = std::unique_ptr<CAction> (*)(std::int32_t type);
// Tests only: replaces createAction's table until called again with null.
// Returns the factory that was in place.
ActionFactory setActionFactoryForTesting(ActionFactory factory);
