// CRuleBase: the ordered rules of the Rules key. One instance serves the
// process (ruleBase()); it is loaded before the receive thread starts and then
// used and reloaded by that thread only. Nothing is locked.
//
// Reading is bounded and never half done: counts above what the client can
// save are cut to that bound (with an event), filter texts are read as long
// as a message can be, and a load that meets a failing registry keeps the
// rules it had.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/registry.h"
#include "rules/CRule.h"
#include "rules/owned_list.h"

inline constexpr WCHAR kRulesKeyPath[] =
    u"SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters\\Rules";

// The largest rule count and action count per rule that the client saves; a
// larger stored count is taken as this many.
inline constexpr std::int32_t kMaxRuleCount = 100000;
inline constexpr std::int32_t kMaxActionCount = 100000;
// A filter text can be as long as a message (32767 bytes, so at most as many
// wide characters); a longer one could match nothing anyway.
inline constexpr std::size_t kMaxFilterChars = 32767;

class CRuleBase : public OwnedList<CRule> {
 public:
  // Brings the rules up to date with the open Rules key `key`: the first call
  // reads them whatever their version, a later call only when nRuleVersion
  // differs from the one last loaded. A null key reads as version -1 with no
  // rules. Returns ERROR_SUCCESS, or the registry's code for the first read
  // that failed (a key deleted under the handle, a busy or damaged hive): the
  // rules then stay exactly as they were. Values missing or of another type
  // take their defaults; a filter that cannot be read makes its rule match
  // nothing. Raises nothing.
  LONG Load(HKEY key);

  // Offers the message to each rule in order; a matching rule runs its
  // actions. Stops after a Discard. A CErrorReport from an action passes on and
  // skips the rest of the message. The result carries no meaning.
  bool CallRules(const SyslogMessage& message, const ActionSettings& settings) const;

  bool isLoaded() const { return m_loaded; }
  std::int32_t getLoadedVersion() const { return m_loadedVersion; }

 private:
  std::int32_t m_loadedVersion = 0;
  bool m_loaded = false;
};

// The process-wide rule base.
CRuleBase& ruleBase();

// Opens HKEY_LOCAL_MACHINE\<kRulesKeyPath> for reading and calls Load on
// `rules` with it, all in one read transaction, so that a save that deletes
// and re-creates the key meanwhile is seen whole or not at all. A missing key
// empties the rules. Returns Load's result, or the failure to open the key.
LONG loadRuleBaseFromRegistry(CRuleBase& rules = ruleBase());

// Logs the error event for a rule base that could not be read (`error`, a
// registry result code); the rules in force stay.
void reportRuleBaseReadFailure(LONG error);

// Keeps a rule base up to date for a daemon with bReloadRuleBase 1, cheaply:
// the Rules key is looked at only when the machine hive changed since the last
// look (RegQueryHiveChangeCount, asked through a handle kept open, which costs
// a fraction of a microsecond while nothing changes). A failed reload keeps
// the rules in force, logs one event per run of failures, and is tried again
// at the next Refresh.
class RuleBaseReloader {
 public:
  // `load` reads the rules (loadRuleBaseFromRegistry; tests put a failing
  // registry in its place).
  using Loader = LONG (*)(CRuleBase& rules);
  explicit RuleBaseReloader(CRuleBase& rules = ruleBase(), Loader load = loadRuleBaseFromRegistry)
      : m_rules(rules), m_load(load) {}
  ~RuleBaseReloader();
  RuleBaseReloader(const RuleBaseReloader&) = delete;
  RuleBaseReloader& operator=(const RuleBaseReloader&) = delete;

  void Refresh();
  // The last Refresh failed: the next message should try again.
  bool isFailing() const { return m_failing; }

 private:
  CRuleBase& m_rules;
  Loader m_load;
  // HKEY_LOCAL_MACHINE opened anew after every load, so that it follows a
  // hive file replaced meanwhile; null until the first Refresh.
  HKEY m_hive = nullptr;
  std::uint64_t m_seenChanges = 0;  // the hive's change count the rules are up to date with
  bool m_upToDate = false;          // m_seenChanges is valid
  bool m_failing = false;           // the current run of failures has been logged
};
