#include "actions/CForwardAction.h"

#include <cstring>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "actions/CSyslogSender.h"
#include "actions/unreachable_peer.h"
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
  std::optional<CWinSockError> failure;  // what a failed look-up raised, raised again while remembered
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

// A dotted IPv4 address, or an IPv6 address in brackets: converted, never
// looked up.
bool isAddress(std::string_view target) {
  return !target.empty() && ((target[0] >= '0' && target[0] <= '9') || target[0] == '[');
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

  if (isAddress(target)) {
    // Converted, never looked up: nothing to remember.
    if (target != state.target) {
      sender.setServer(target);
      state.target.assign(target);
    }
  } else {
    const auto now = Clock::now();
    NameLookup& lookup = lookupOf(state, target, now);
    if (lookup.done && now - lookup.doneAt <= kNameLifetime) {
      if (!lookup.resolved) throw *lookup.failure;
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
      } catch (CWinSockError& report) {
        if (report.getNumber() != kEventInvalidHostname) throw;  // the socket, not the name
        // Every message to the target fails alike until the name resolves.
        report.setOutputFailure();
        lookup.done = true;
        lookup.resolved = false;
        lookup.failure = report;
        lookup.doneAt = Clock::now();
        throw;
      }
      lookup.done = true;
      lookup.resolved = true;
      lookup.failure.reset();
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
  try {
    sender.sendMessage(message.getFacility(), message.getPriority(),
                       std::string_view(text, std::strlen(text)));
  } catch (CWinSockError& report) {
    // No route to the target, or its network down: the next datagram would
    // not get out either. A datagram the network refuses for its size, a full
    // buffer and the like fail only their message.
    if (report.getNumber() == kEventSendUdpFailed && isUnreachablePeer(report.getCode())) {
      report.setOutputFailure();
    }
    throw;
  }
}
