// CAction: the work of one action type. An action object is created for one
// message, runs Execute once and is deleted; it keeps no state between
// messages.
#pragma once

#include "reception/SyslogMessage.h"
#include "rules/ActionSettings.h"

class CActionListEntry;

class CAction {
 public:
  virtual ~CAction() = default;
  // Does the action's work for one message. `settings` is this action's own
  // copy. A failure that must end the message's processing is raised as a
  // CErrorReport.
  virtual void Execute(const SyslogMessage& message, ActionSettings& settings,
                       const CActionListEntry& entry) = 0;
};
