// CEventLogAction: action 1007, "Write To EventLog".
#pragma once

#include "rules/CAction.h"

class CEventLogAction : public CAction {
 public:
  void Execute(const SyslogMessage& message, const ActionSettings& settings,
               const CActionListEntry& entry) override;
};
