#include "actions/CForwardAction.h"

#include <cstring>

#include "actions/CSyslogSender.h"
#include "rules/CActionListEntry.h"

void CForwardAction::Execute(const SyslogMessage& message, const ActionSettings& settings,
                             const CActionListEntry& entry) {
  // Made before the target is looked at: a missing service entry is reported
  // whatever the target says.
  CSyslogSender sender;
  const std::string_view target =
      entry.hasParameter()
          ? std::string_view(entry.getParameter().getNarrow(),
                             static_cast<std::size_t>(entry.getParameter().getNarrowLength()))
          : std::string_view(settings.forwardServer);
  if (target.empty()) return;
  if (settings.syslogReplaceSource == 1) {
    const CTolvaneString& host = message.getFromHost();
    sender.setRealSource(std::string_view(host.getNarrow(), static_cast<std::size_t>(host.getNarrowLength())),
                         true);
  }
  sender.setServer(target);
  const char* text = message.getMessageA();
  sender.sendMessage(message.getFacility(), message.getPriority(), std::string_view(text, std::strlen(text)));
}
