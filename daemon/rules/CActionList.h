// CActionList: one rule's actions in action-number order.
#pragma once

#include "rules/CActionListEntry.h"
#include "rules/owned_list.h"

class CActionList : public OwnedList<CActionListEntry> {
 public:
  // Runs the entries in order, each with its own copy of the settings, until
  // one asks to stop. False when processing of the message must stop; true for
  // an empty list. A CErrorReport passes on and skips the remaining entries.
  bool CallActions(const SyslogMessage& message, const ActionSettings& settings) const;
};
