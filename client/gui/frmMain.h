// frmMain: the client's main window. A tab control with the realtime page and
// the five configuration pages of the daemon's Parameters key, the menus, the
// toolbar TBMain, OK / Cancel / Apply, and a status bar with two panels and the
// progress bar pgbMain laid over it.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QUrl>
#include <map>
#include <functional>
#include <memory>

#include "service_menu.h"
#include "service_state.h"

class ConfigurationPages;
class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QTabWidget;
class RealtimePage;
class QToolBar;
class frmOptions;
class frmServiceState;
class frmSplash;

class frmMain : public QMainWindow, public ServiceMenu {
  Q_OBJECT

 public:
  explicit frmMain(QWidget* parent = nullptr);
  ~frmMain() override;

  // The start-up: opens the keys of this computer, fills the pages, loads
  // the rule base, reads the client's settings, applies the language, brings
  // the service commands in line with the service, and asks the start-up
  // questions. `splash`, when given, shows the progress and is closed at the
  // end.
  void Form_Load(frmSplash* splash = nullptr);

  void AllOtherStartupStandards();
  void Initiate_Startup_Standards();
  void Initiate_Language_settings();
  void Initiate_Grid_Cols();  // the realtime grid's headers and widths
  void RefreshServiceState();
  void LayoutControls();

  // The configuration of the administered computer.
  void CreateKeyHandles(const QString& szComputerName);
  void ReadRegValues();
  // False, after an error box, when a value could not be written.
  bool SaveAllSettings();

  void ProgressBarOneSecond();
  void ProgressBarStart();
  void ProgressBarIncrement();
  void ProgressBarEnd();

  // ServiceMenu
  void setServiceItems(bool install, bool uninstall, bool stop, bool start, bool restart) override;
  void setConfigurationEnabled(bool enabled) override;

  // The page a Help menu entry opens: under the web site of the client's
  // setting szHelpSite when it holds one, else the local copy in the first of
  // helpFolderCandidates() that has it (beside the program, or where it is
  // installed); empty when there is none. The manual: the first index.html
  // found in manualCandidates().
  static QUrl helpPageUrl(const QString& entry);
  static QStringList helpFolderCandidates();
  static void setHelpFolderCandidatesForTesting(const QStringList& candidates);  // empty: the real ones
  static QStringList manualCandidates();
  static void setManualCandidatesForTesting(const QStringList& candidates);  // empty: the real ones

  // How the service's state is waited for (tests shorten it).
  Global::ServiceStatePolling serviceStatePolling;

  // Controls, by their designed names.
  QTabWidget* SSTab;
  RealtimePage* pgRealtime;  // the realtime display
  std::unique_ptr<ConfigurationPages> pages;
  QMenu* mnuFile;
  QAction* mnuFileOptions;
  QAction* mnuSelectComputer;
  QAction* mnuQuit;
  QMenu* mnuService;
  QAction* mnuStartCorvantel;
  QAction* mnuStopCorvantel;
  QAction* mnuReStartCorvantel;
  QAction* mnuFileInstallService;
  QAction* mnuFileUninstallService;
  QAction* mnuSerVerCorvantel;
  QMenu* mnuEdit;  // not in the bar: the realtime grid's context menu
  QAction* mnuDeleteViewSelection;
  QAction* mnuEditCopySelection;
  QAction* mnuEditSaveSelection;
  QAction* mnuEditSaveAll;
  QMenu* mnuRules;
  QAction* mnuRulesWizard;
  QAction* mnuRulesEdit;
  QMenu* mnuHelp;
  QAction* mnuManual;
  QAction* mnuHelpUpdateCheck;
  QAction* mnuHelpFAQ;
  QAction* mnuHelpOnlineSem;
  QAction* mnuHelpRuleEngine;
  QAction* mnuHelpHomepage;
  QAction* mnuHelpReqSup;
  QAction* mnuHelpAbout;
  QToolBar* TBMain;
  QAction* toolButton(const QString& key) const;  // "OK", "Cancel", "Save", "Reload", ...
  QPushButton* pbOK;
  QPushButton* pbCancel;
  QPushButton* pbApply;
  QLabel* stbPanel1;
  QLabel* stbPanel2;
  QProgressBar* pgbMain;

 public slots:
  void pbOK_Click();
  void pbCancel_Click();
  void pbApply_Click();
  void TBMain_ButtonClick(const QString& key);
  void mnuFileOptions_Click();
  void mnuSelectComputer_Click();
  void mnuQuit_Click();
  void mnuStartCorvantel_Click();
  void mnuStopCorvantel_Click();
  void mnuReStartCorvantel_Click();
  void mnuFileInstallService_Click();
  void mnuFileUninstallService_Click();
  void mnuSerVerCorvantel_Click();
  void mnuRulesWizard_Click();  // asks first: the wizard replaces every rule
  void mnuRulesEdit_Click();
  // The rule base wizard, modally, without a question.
  void openRuleWizard();
  void mnuManual_Click();
  void mnuHelpUpdateCheck_Click();
  void mnuHelpAbout_Click();
  void SSTab_Click();

 signals:
  // The client is to end (after OK, Quit, install or uninstall).
  void clientEnds();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void openHelpPage(const QString& entry);
  void showStatus();
  void endClient();
  QString connectionText() const;

  std::map<QString, QAction*> m_toolButtons;
  frmServiceState& serviceStateWindow();

  QPointer<frmOptions> m_options;
  frmServiceState* m_serviceState = nullptr;  // made at the first start or stop  // stays loaded after Cancel, as designed
  // Why the service's keys on this computer are not open; panel 2 says it
  // after the computer's name.
  enum class KeysProblem { None, NotInstalled, NoAccess, DamagedHive, HiveNotOpened };
  KeysProblem m_keysProblem = KeysProblem::None;
  void reportHiveProblem(LONG code);
  bool m_ending = false;
  bool m_endAnnounced = false;
};
