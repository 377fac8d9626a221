#include "rules/CRuleBase.h"

#include "rules/rule_value_name.h"
#include "service/RegistryKey.h"

namespace {
std::int32_t readInt(const RegistryKey& key, const std::u16string& name, std::int32_t defaultValue) {
  DWORD value = 0;
  return key.ReadDWord(name.c_str(), value) ? static_cast<std::int32_t>(value) : defaultValue;
}

std::unique_ptr<CRule> readRule(const RegistryKey& key, std::int32_t number) {
  auto rule = std::make_unique<CRule>();
  CTolvaneString text;
  DWORD value = 0;
  if (key.ReadString(ruleValueName(number, "Source").c_str(), text)) rule->setSourceFilter(text);
  if (key.ReadDWord(ruleValueName(number, "Priority").c_str(), value)) {
    rule->setPriority(static_cast<std::int32_t>(value));
  }
  if (key.ReadDWord(ruleValueName(number, "Facility").c_str(), value)) {
    rule->setFacility(static_cast<std::int32_t>(value));
  }
  if (key.ReadString(ruleValueName(number, "Message").c_str(), text)) rule->setMessageFilter(text);

  const std::int32_t actionCount = readInt(key, ruleValueName(number, "ActionCount"), 0);
  for (std::int32_t action = 1; action <= actionCount; ++action) {
    CTolvaneString parameter;
    const bool hasParameter = key.ReadString(actionValueName(number, action, "String").c_str(), parameter);
    const std::int32_t type = readInt(key, actionValueName(number, action, "Type"), 0);
    rule->getActions().Append(std::make_unique<CActionListEntry>(type, hasParameter ? &parameter : nullptr));
  }
  return rule;
}
}  // namespace

void CRuleBase::Load(HKEY key) {
  // The version is read straight from the caller's handle: with reloading on,
  // this runs for every message and should cost one registry read.
  std::int32_t version = -1;
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (key != nullptr && RegQueryValueExW(key, u"nRuleVersion", nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS) {
    version = static_cast<std::int32_t>(data);
  }
  if (m_loaded && version == m_loadedVersion) return;
  Clear();

  // The rules go through the daemon's one registry reader, on a new handle to
  // the same key; a null or dead handle fails to open and every read then
  // takes its default.
  RegistryKey reader;
  if (key != nullptr) reader.Open(key, u"", KEY_READ);
  const std::int32_t ruleCount = readInt(reader, u"nRuleCount", 0);
  for (std::int32_t number = 1; number <= ruleCount; ++number) Append(readRule(reader, number));
  m_loaded = true;
  m_loadedVersion = version;
}

bool CRuleBase::CallRules(const SyslogMessage& message, const ActionSettings& settings) const {
  bool proceed = true;
  for (const auto& rule : m_nodes) {
    if (rule->Matches(message, settings)) proceed = rule->getActions().CallActions(message, settings);
    if (!proceed) break;
  }
  return proceed;
}

CRuleBase& ruleBase() {
  // Never destroyed: an action may still run while the process exits.
  static CRuleBase* const instance = new CRuleBase;
  return *instance;
}

void loadRuleBaseFromRegistry(CRuleBase& rules) {
  RegistryKey key;
  key.Open(HKEY_LOCAL_MACHINE, kRulesKeyPath, KEY_READ);
  rules.Load(key.isOpen() ? key.getHandle() : nullptr);
}
