// COdbcAction: action 1000, "Write To ODBC".
#pragma once

#include "rules/CAction.h"

class COdbcAction : public CAction {
 public:
  void Execute(const SyslogMessage& message, const ActionSettings& settings,
               const CActionListEntry& entry) override;
};
