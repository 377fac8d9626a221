// The output guard: keeps an output that cannot be reached from holding up
// every message behind it, and counts what each output does.
//
// An output is an action type with its target, named as the statistics and the
// events show it:
//   "database <DSN>"        action 1000: the entry's data source, else szODBCDsn
//   "forward <target>"      action 1001: the entry's target, else szSyslogSendServer
//   "mail <server>:<port>"  action 1002: szSMTPServer and nSMTPPort (an entry's
//                           String names a recipient, not a server)
//   "file"                  action 1003
//   "event log"             action 1007
// The file and the event log are only counted: nothing they do waits on
// another machine, and their failures belong to the message.
//
// An action that raises a report marked as an output failure
// (CErrorReport::isOutputFailure) suspends its output for kFirstBackOff. While
// it is suspended, a message that reaches it misses it: the action is not run
// and the message's remaining actions and rules are skipped, as after a failure,
// but without an event. The first message after the suspension tries the
// output again; a further output failure suspends it for twice as long (at
// most kLongestBackOff), anything else ends the episode: the output answered. An
// episode logs one event when it starts (160: the output, the back-off, the
// failure's event identifier and text) and one when it ends (161: the output,
// how long it lasted, how many messages missed it). A report that is not an
// output failure passes on to the caller unchanged, as it always did.
//
// The guards are used by the one thread that runs the actions; the counters
// they keep are the statistics' atomics, which other threads read.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "rules/ActionSettings.h"
#include "service/CErrorReport.h"
#include "service/CTolvaneString.h"
#include "service/statistics.h"

class OutputGuard {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirstBackOff{1000};
  static constexpr std::chrono::milliseconds kLongestBackOff{60000};

  // Counts into statistics().output(name).
  OutputGuard(std::string name, bool suspendable);
  OutputGuard(const OutputGuard&) = delete;
  OutputGuard& operator=(const OutputGuard&) = delete;

  const std::string& getName() const { return m_name; }

  // Whether a message may run the action now; false (the message missed the
  // output, counted) while the output is suspended.
  bool admit();
  // The action ran without a report.
  void succeeded();
  // The action raised `report`. True when the guard took care of it (an output
  // failure: the output is suspended and the report must not be logged
  // again); false when it belongs to its message and goes on to the caller.
  bool failed(const CErrorReport& report);

  // Back to the state of a new guard (tests only).
  void reset();

 private:
  void endEpisode(Clock::time_point now);

  const std::string m_name;
  const bool m_suspendable;
  OutputCounters& m_counters;
  bool m_inEpisode = false;                // suspended, or trying again after a suspension
  Clock::time_point m_episodeStart;        // the failure that suspended it first
  Clock::time_point m_suspendedUntil;      // the next message after this tries it again
  std::chrono::milliseconds m_backOff{0};  // of the current suspension
  std::uint64_t m_missed = 0;              // messages that missed it in this episode
};

// What one action entry remembers of the guard of its output, so that a
// message costs a comparison of the target rather than a look-up by name.
class OutputSlot {
 public:
  // The guard of the output an entry of `type` with `parameter` (null: none)
  // writes to with `settings`; null for a type without an output (Discard,
  // the types without effect, unknown codes). Guards are made on first use
  // and kept for the life of the process, so that an output stays suspended
  // across a rule base reload.
  OutputGuard* find(std::int32_t type, const CTolvaneString* parameter, const ActionSettings& settings);

 private:
  OutputGuard* m_guard = nullptr;
  std::string m_target;  // the target text and port the guard was found for
  std::int32_t m_port = 0;
};

// The clock the guards read; tests move it without sleeping. Returns the
// function that was in place; null restores the steady clock.
using OutputClock = OutputGuard::Clock::time_point (*)();
OutputClock setOutputClockForTesting(OutputClock now);

// Every guard made so far back to the state of a new one (tests only); the
// guards themselves stay, so entries that remember them stay valid.
void resetOutputGuardsForTesting();
