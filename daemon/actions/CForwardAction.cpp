#include "actions/CForwardAction.h"

#include <cstring>

#include <chrono>
#include <memory>
#include <string>

#include "actions/CSyslogSender.h"
#include "rules/CActionListEntry.h"

namespace {

constexpr auto kNameLifetime = std::chrono::seconds(1);

struct KeptSender {
  std::unique_ptr<CSyslogSender> sender;
  std::string target;  // the text the sender was last pointed at
  std::chrono::steady_clock::time_point resolvedAt;
};

KeptSender& kept() {
  static KeptSender state;
  return state;
}

bool isDottedAddress(std::string_view target) {
  return !target.empty() && target[0] >= '0' && target[0] <= '9';
}

}  // namespace

void releaseForwardSender() { kept().sender.reset(); }

void CForwardAction::Execute(const SyslogMessage& message, const ActionSettings& settings,
                             const CActionListEntry& entry) {
  KeptSender& state = kept();
  // Made before the target is looked at: a missing service entry is reported
  // whatever the target says (and again at the next message).
  if (!state.sender) {
    state.sender = std::make_unique<CSyslogSender>();
    state.target.clear();
  }
  CSyslogSender& sender = *state.sender;
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
  } else {
    sender.setRealSource({}, false);
  }
  const auto now = std::chrono::steady_clock::now();
  if (target != state.target || (!isDottedAddress(target) && now - state.resolvedAt > kNameLifetime)) {
    sender.setServer(target);  // resolved again at the send
    state.target.assign(target);
    state.resolvedAt = now;
  }
  const char* text = message.getMessageA();
  sender.sendMessage(message.getFacility(), message.getPriority(), std::string_view(text, std::strlen(text)));
}
