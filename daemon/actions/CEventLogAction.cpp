#include "actions/CEventLogAction.h"

// Not built yet: the message passes on as if the action had succeeded.
void CEventLogAction::Execute(const SyslogMessage&, const ActionSettings&, const CActionListEntry&) {}
