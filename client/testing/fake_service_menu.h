// Test support: a ServiceMenu that records what it was told.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "service_menu.h"

class FakeServiceMenu : public ServiceMenu {
 public:
  using Items = std::array<bool, 5>;  // install, uninstall, stop, start, restart

  void setServiceItems(bool install, bool uninstall, bool stop, bool start, bool restart) override {
    history.push_back({install, uninstall, stop, start, restart});
  }
  void setConfigurationEnabled(bool enabled) override { configuration = enabled; }

  // The last items set; all on before the first call.
  Items items() const { return history.empty() ? Items{true, true, true, true, true} : history.back(); }

  std::vector<Items> history;
  std::optional<bool> configuration;
};
