#include "actions/CForwardAction.h"

// Not built yet: the message passes on as if the action had succeeded.
void CForwardAction::Execute(const SyslogMessage&, const ActionSettings&, const CActionListEntry&) {}
