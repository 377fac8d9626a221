#include "actions/COdbcAction.h"

// Not built yet: the message passes on as if the action had succeeded.
void COdbcAction::Execute(const SyslogMessage&, const ActionSettings&, const CActionListEntry&) {}
