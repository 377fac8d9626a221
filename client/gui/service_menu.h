// ServiceMenu: what the service state decides in the main window. frmMain
// implements it; RefreshServiceState drives it (service_state.h).
#pragma once

class ServiceMenu {
 public:
  virtual ~ServiceMenu() = default;

  // Enables or disables the service commands: mnuFileInstallService,
  // mnuFileUninstallService, mnuStopCorvantel with the toolbar button "Stop",
  // mnuStartCorvantel with "Start", and mnuReStartCorvantel with "Restart".
  virtual void setServiceItems(bool install, bool uninstall, bool stop, bool start, bool restart) = 0;

  // Enables or disables the configuration tabs 1 to 5 and the Rulebase menu.
  virtual void setConfigurationEnabled(bool enabled) = 0;
};
