#include "actions/CForwardAction.h"

#include <cstring>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "actions/CSyslogSender.h"
#include "rules/CActionListEntry.h"
#include "service/CErrorReport.h"
#include "service/event_ids.h"

namespace {

constexpr auto kNameLifetime = std::chrono::seconds(1);
// Targets come from the rule base, so there are few; a rule base reloaded
// often over a long run could still leave many behind, and those whose
// look-up is stale are dropped when there are this many.
constexpr std::size_t kMaxRememberedNames = 1024;

using Clock = std::chrono::steady_clock;

// The last look-up of one target given by host name.
struct NameLookup {
  bool done = false;
  Clock::time_point doneAt;  // when the look-up ended, so a slow one still counts a second
  bool resolved = false;
  in_addr address{};
  bool failing = false;  // a failure episode is open: its error was raised
};

// Finds a target by its view, without making a string per message.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

struct KeptSender {
  std::unique_ptr<CSyslogSender> sender;
  std::string target;  // the text the sender's socket points at
  std::unordered_map<std::string, NameLookup, TextHash, std::equal_to<>> names;
};

KeptSender& kept() {
  static KeptSender state;
  return state;
}

bool isDottedAddress(std::string_view target) {
  return !target.empty() && target[0] >= '0' && target[0] <= '9';
}

NameLookup& lookupOf(KeptSender& state, std::string_view target, Clock::time_point now) {
  if (auto found = state.names.find(target); found != state.names.end()) return found->second;
  if (state.names.size() >= kMaxRememberedNames) {
    std::erase_if(state.names, [&](const auto& entry) {
      return !entry.second.done || now - entry.second.doneAt > kNameLifetime;
    });
  }
  return state.names[std::string(target)];
}

}  // namespace

void releaseForwardSender() {
  kept().sender.reset();
  kept().names.clear();
}

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

  if (isDottedAddress(target)) {
    // Converted, never looked up: nothing to remember.
    if (target != state.target) {
      sender.setServer(target);
      state.target.assign(target);
    }
  } else {
    const auto now = Clock::now();
    NameLookup& lookup = lookupOf(state, target, now);
    if (lookup.done && now - lookup.doneAt <= kNameLifetime) {
      if (!lookup.resolved) return;  // the open episode's error has been raised
      if (target != state.target) {
        state.target.clear();  // until the socket points at the new target
        sender.setServer(target);
        sender.setTargetAddress(lookup.address);
        state.target.assign(target);
      }
    } else {
      state.target.clear();
      sender.setServer(target);
      try {
        lookup.address = sender.resolveTarget();
      } catch (const CWinSockError& report) {
        if (report.getNumber() != kEventInvalidHostname) throw;  // the socket, not the name
        lookup.done = true;
        lookup.resolved = false;
        lookup.doneAt = Clock::now();
        if (lookup.failing) return;
        lookup.failing = true;
        throw;
      }
      lookup.done = true;
      lookup.resolved = true;
      lookup.failing = false;
      lookup.doneAt = Clock::now();
      state.target.assign(target);
    }
  }

  if (settings.syslogReplaceSource == 1) {
    const CTolvaneString& host = message.getFromHost();
    sender.setRealSource(std::string_view(host.getNarrow(), static_cast<std::size_t>(host.getNarrowLength())),
                         true);
  } else {
    sender.setRealSource({}, false);
  }
  const char* text = message.getMessageA();
  sender.sendMessage(message.getFacility(), message.getPriority(), std::string_view(text, std::strlen(text)));
}
