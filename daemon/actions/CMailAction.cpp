#include "actions/CMailAction.h"

// Not built yet: the message passes on as if the action had succeeded.
void CMailAction::Execute(const SyslogMessage&, const ActionSettings&, const CActionListEntry&) {}
