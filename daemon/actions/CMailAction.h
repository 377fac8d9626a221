// CMailAction: action 1002, "Send Email".
#pragma once

#include "rules/CAction.h"

class CMailAction : public CAction {
 public:
  void Execute(const SyslogMessage& message, const ActionSettings& settings,
               const CActionListEntry& entry) override;
};
