// CEventLogAction: action 1007, "Write To EventLog". Writes the message as one
// entry of the Application log, typed by its priority (0-3 error, 4 warning,
// else information):
// - normally under the daemon's own source (settings.eventSource) with event
//   settings.eventId (113, "%1,%2,%3,%4") and category settings.eventCategory,
//   the inserts being facility, priority, sending host and text;
// - with bReplaceEventLogSource other than 0, under the sending host as source,
//   category = priority, event id = facility, the text as the only insert (a
//   viewer finds no message file for such a source and shows the text as is).
// Every source registered is deregistered after its report.
#pragma once

#include "rules/CAction.h"

class CEventLogAction : public CAction {
 public:
  // Raises nothing: a source that cannot be registered or a report that fails
  // loses this entry only.
  void Execute(const SyslogMessage& message, const ActionSettings& settings,
               const CActionListEntry& entry) override;
};
