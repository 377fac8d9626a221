#include "rules/output_guard.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "rules/action_factory.h"
#include "service/event_ids.h"
#include "service/service_events.h"

namespace {

using Clock = OutputGuard::Clock;

OutputClock g_testClock = nullptr;

Clock::time_point now() { return g_testClock != nullptr ? g_testClock() : Clock::now(); }

// Whole seconds, rounded: the events speak to people, not to programs.
std::string seconds(Clock::duration duration) {
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  return std::to_string((milliseconds + 500) / 1000);
}

struct Target {
  std::string_view kind;
  std::string_view text;   // empty for the outputs without a target
  std::int32_t port = -1;  // -1: the name carries none
  bool suspendable = false;
};

// Where an entry's action writes, as each action decides it (see the
// actions' Execute): the entry's String where the action takes it as its
// target, the settings otherwise.
bool targetOf(std::int32_t type, const CTolvaneString* parameter, const ActionSettings& settings,
              Target& target) {
  const auto parameterOr = [parameter](const std::string& fallback) {
    return parameter != nullptr ? std::string_view(parameter->getNarrow(),
                                                   static_cast<std::size_t>(parameter->getNarrowLength()))
                                : std::string_view(fallback);
  };
  switch (type) {
    case kActionOdbc:
      target = {"database", parameterOr(settings.odbcDsn), -1, true};
      return true;
    case kActionForward:
      target = {"forward", parameterOr(settings.forwardServer), -1, true};
      return true;
    case kActionMail:
      target = {"mail", settings.smtpServer, settings.smtpPort, true};
      return true;
    case kActionFile:
      target = {"file", {}, -1, false};
      return true;
    case kActionEventLog:
      target = {"event log", {}, -1, false};
      return true;
    default:
      return false;
  }
}

std::string nameOf(const Target& target) {
  std::string name(target.kind);
  if (target.suspendable) {
    name += ' ';
    name += target.text;
  }
  if (target.port >= 0) name += ':' + std::to_string(target.port);
  return name;
}

// Every guard made, by output name. Entries look a guard up only when their
// target changed, so one lock per look-up costs nothing that matters.
class GuardRegistry {
 public:
  OutputGuard& guard(const Target& target) {
    std::string name = nameOf(target);
    std::lock_guard lock(m_mutex);
    auto found = m_guards.find(name);
    if (found == m_guards.end()) {
      auto guard = std::make_unique<OutputGuard>(name, target.suspendable);
      found = m_guards.emplace(std::move(name), std::move(guard)).first;
    }
    return *found->second;
  }
  void resetAll() {
    std::lock_guard lock(m_mutex);
    for (auto& [name, guard] : m_guards) guard->reset();
  }

 private:
  std::mutex m_mutex;
  std::unordered_map<std::string, std::unique_ptr<OutputGuard>> m_guards;
};

GuardRegistry& registry() {
  // Never destroyed: entries of a rule base that outlives static destruction
  // may still point at their guards.
  static GuardRegistry* guards = new GuardRegistry();
  return *guards;
}

}  // namespace

OutputGuard::OutputGuard(std::string name, bool suspendable)
    : m_name(std::move(name)), m_suspendable(suspendable), m_counters(statistics().output(m_name)) {}

bool OutputGuard::admit() {
  if (!m_inEpisode || now() >= m_suspendedUntil) return true;
  ++m_missed;
  count(m_counters.missed);
  return false;
}

void OutputGuard::succeeded() {
  count(m_counters.done);
  if (m_inEpisode) endEpisode(now());
}

bool OutputGuard::failed(const CErrorReport& report) {
  count(m_counters.failed);
  const Clock::time_point at = now();
  if (!m_suspendable || !report.isOutputFailure()) {
    // The output answered (a refused recipient needs a mail server that
    // talks); only the message failed.
    if (m_inEpisode) endEpisode(at);
    return false;
  }
  if (m_inEpisode) {
    m_backOff = std::min(m_backOff * 2, kLongestBackOff);
  } else {
    m_inEpisode = true;
    m_episodeStart = at;
    m_backOff = kFirstBackOff;
    m_missed = 0;
    const std::string backOff = seconds(m_backOff);
    const std::string number = std::to_string(report.getNumber());
    logDaemonEvent(EVENTLOG_ERROR_TYPE, kEventOutputSuspended,
                   {m_name.c_str(), backOff.c_str(), number.c_str(), report.getText().getNarrow()});
  }
  // Counted from the end of the failed try, which may itself have waited a
  // whole time-out.
  m_suspendedUntil = at + m_backOff;
  count(m_counters.suspended);
  return true;
}

void OutputGuard::endEpisode(Clock::time_point at) {
  const std::string lasted = seconds(at - m_episodeStart);
  const std::string missed = std::to_string(m_missed);
  logDaemonEvent(EVENTLOG_INFORMATION_TYPE, kEventOutputRecovered,
                 {m_name.c_str(), lasted.c_str(), missed.c_str()});
  m_inEpisode = false;
  m_missed = 0;
}

void OutputGuard::reset() {
  m_inEpisode = false;
  m_missed = 0;
  m_backOff = std::chrono::milliseconds(0);
}

OutputGuard* OutputSlot::find(std::int32_t type, const CTolvaneString* parameter,
                              const ActionSettings& settings) {
  Target target;
  if (!targetOf(type, parameter, settings, target)) return nullptr;
  if (m_guard == nullptr || target.text != m_target || target.port != m_port) {
    m_guard = &registry().guard(target);
    m_target.assign(target.text);
    m_port = target.port;
  }
  return m_guard;
}

OutputClock setOutputClockForTesting(OutputClock now) {
  const OutputClock previous = g_testClock;
  g_testClock = now;
  return previous;
}

void resetOutputGuardsForTesting() { registry().resetAll(); }
