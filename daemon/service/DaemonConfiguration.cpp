#include "service/DaemonConfiguration.h"

#include "rules/CRuleBase.h"

DaemonConfiguration& daemonConfiguration() {
  static DaemonConfiguration* const instance = new DaemonConfiguration;
  return *instance;
}

void readConfiguration(DaemonConfiguration& config) { config = DaemonConfiguration{}; }

void loadConfiguration() {
  readConfiguration(daemonConfiguration());
  loadRuleBaseFromRegistry();
}

ActionSettings makeActionSettings(const DaemonConfiguration&) { return ActionSettings{}; }

bool writeInstallationValues() { return false; }

std::string unscramblePassword(std::string_view) { return {}; }

std::string cutToCapacity(std::string text, std::size_t) { return text; }
