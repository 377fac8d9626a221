// CRuleBase: the ordered rules of the Rules key. One instance serves the
// process (ruleBase()); it is loaded before the receive thread starts and then
// used and reloaded by that thread only. Nothing is locked.
#pragma once

#include <cstdint>

#include "platform/registry.h"
#include "rules/CRule.h"
#include "rules/owned_list.h"

inline constexpr WCHAR kRulesKeyPath[] =
    u"SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters\\Rules";

class CRuleBase : public OwnedList<CRule> {
 public:
  // Brings the rules up to date with the open Rules key `key`: the first call
  // reads them whatever their version, a later call only when nRuleVersion
  // differs from the one last loaded. A key that cannot be read (null, or
  // deleted) reads as version -1 with no rules. Raises nothing.
  void Load(HKEY key);

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

// Opens HKEY_LOCAL_MACHINE\<kRulesKeyPath> for reading, calls Load on `rules`
// with it (a missing key empties the rules) and closes it.
void loadRuleBaseFromRegistry(CRuleBase& rules = ruleBase());
