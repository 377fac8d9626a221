// CAction: the work of one action type. An action object is created for one
// message, runs Execute once and is deleted; it keeps no state between
// messages. The types whose objects hold no state at all (the file and the
// event log) are served by one shared object instead (sharedAction).
#pragma once

#include "reception/SyslogMessage.h"
#include "rules/ActionSettings.h"

class CActionListEntry;

class CAction {
 public:
  virtual ~CAction() = default;
  // Does the action's work for one message. The settings are read-only, so
  // nothing one action does to them can reach another; passing them by
  // reference spares a copy of the whole record per action and message. A
  // failure that must end the message's processing is raised as a
  // CErrorReport.
  virtual void Execute(const SyslogMessage& message, const ActionSettings& settings,
                       const CActionListEntry& entry) = 0;
};
