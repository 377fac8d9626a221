// CForwardAction: action 1001, "Forward To Syslog".
#pragma once

#include "rules/CAction.h"

class CForwardAction : public CAction {
 public:
  void Execute(const SyslogMessage& message, const ActionSettings& settings,
               const CActionListEntry& entry) override;
};
