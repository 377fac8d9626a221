#include "actions/CFileAction.h"

void CFileAction::Execute(const SyslogMessage&, ActionSettings&, const CActionListEntry&) {}

bool buildLogFileName(const ActionSettings&, const CActionListEntry&, TimeValue, std::string&) { return false; }

void appendFileLine(const ActionSettings&, const SyslogMessage&, std::string&) {}

void setFileActionClockForTesting(FileActionClock) {}
