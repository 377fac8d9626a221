#include "frmMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QRegularExpression>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QThread>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include "GetFileVersion.h"
#include "Global.h"
#include "Messages/Messages.h"
#include "ParameterValues.h"
#include "Registry.h"
#include "Rules.h"
#include "WinNTServices.h"
#include "ansi_text.h"
#include "client_settings.h"
#include "config_pages.h"
#include "dialogs.h"
#include "frmAbout.h"
#include "frmOptions.h"
#include "frmRules.h"
#include "frmSelectComputer.h"
#include "frmServiceState.h"
#include "frmSplash.h"
#include "frmUpdateCheck.h"
#include "frmWizard.h"
#include "realtime_page.h"
#include "hive_diagnosis.h"
#include "NetApi.h"
#include "service_commands.h"
#include "service_state.h"
#include "twips.h"

namespace {

// Access to the daemon's keys: read, create subkeys, set and delete values.
constexpr REGSAM kKeyAccess = KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE;

// The smallest inner size the window keeps, and the size it starts with.
constexpr int kMinimumWidthTwips = 9315;
constexpr int kMinimumHeightTwips = 5865;
constexpr int kStartWidthTwips = 9435;
constexpr int kStartHeightTwips = 6555;

// The client's setting (HKEY_LOCAL_MACHINE) that sends the Help menu's pages
// to a web site of the deployment's own instead of the local copies.
constexpr char kHelpSiteValue[] = "szHelpSite";

void closeKey(HKEY& key) {
  if (key != nullptr) RegCloseKey(key);
  key = nullptr;
}

void applyFont(QWidget* root) {
  const QFont& font = Messages::LanguageFont();
  root->setFont(font);
  for (QWidget* child : root->findChildren<QWidget*>()) child->setFont(font);
}

// The main window whose realtime page follows the stored check boxes.
const frmMain* s_checkBoxesOwner = nullptr;

}  // namespace

frmMain::frmMain(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("Corvantel Client"));
  setMinimumSize(twips(kMinimumWidthTwips), twips(kMinimumHeightTwips));
  resize(twips(kStartWidthTwips), twips(kStartHeightTwips));

  const auto action = [this](QMenu* menu, const char* name, const QString& text, auto slot) {
    auto* item = new QAction(text, this);
    item->setObjectName(QLatin1String(name));
    if (menu != nullptr) menu->addAction(item);
    connect(item, &QAction::triggered, this, slot);
    return item;
  };
  const auto menu = [this](const char* name) {
    auto* m = new QMenu(this);
    m->setObjectName(QLatin1String(name));
    return m;
  };

  mnuFile = menu("mnuFile");
  mnuFileOptions = action(mnuFile, "mnuFileOptions", QString(), &frmMain::mnuFileOptions_Click);
  mnuSelectComputer = action(mnuFile, "mnuSelectComputer", QString(), &frmMain::mnuSelectComputer_Click);
  mnuFile->addSeparator();
  mnuQuit = action(mnuFile, "mnuQuit", QString(), &frmMain::mnuQuit_Click);

  mnuService = menu("mnuService");
  mnuStartCorvantel = action(mnuService, "mnuStartCorvantel", QString(), &frmMain::mnuStartCorvantel_Click);
  mnuStopCorvantel = action(mnuService, "mnuStopCorvantel", QString(), &frmMain::mnuStopCorvantel_Click);
  mnuReStartCorvantel = action(mnuService, "mnuReStartCorvantel", QString(), &frmMain::mnuReStartCorvantel_Click);
  mnuService->addSeparator();
  mnuFileInstallService =
      action(mnuService, "mnuFileInstallService", QString(), &frmMain::mnuFileInstallService_Click);
  mnuFileUninstallService =
      action(mnuService, "mnuFileUninstallService", QString(), &frmMain::mnuFileUninstallService_Click);
  mnuSerVerCorvantel = action(mnuService, "mnuSerVerCorvantel", QString(), &frmMain::mnuSerVerCorvantel_Click);

  // The Edit menu is the realtime grid's context menu; its entries act with
  // the realtime page.
  mnuEdit = menu("mnuEdit");
  for (QAction** item : {&mnuDeleteViewSelection, &mnuEditCopySelection, &mnuEditSaveSelection, &mnuEditSaveAll}) {
    *item = new QAction(this);
    mnuEdit->addAction(*item);
  }
  mnuDeleteViewSelection->setObjectName(QStringLiteral("mnuDeleteViewSelection"));
  mnuEditCopySelection->setObjectName(QStringLiteral("mnuEditCopySelection"));
  mnuEditSaveSelection->setObjectName(QStringLiteral("mnuEditSaveSelection"));
  mnuEditSaveAll->setObjectName(QStringLiteral("mnuEditSaveAll"));

  mnuRules = menu("mnuRules");
  mnuRulesWizard = action(mnuRules, "mnuRulesWizard", QString(), &frmMain::mnuRulesWizard_Click);
  mnuRulesEdit = action(mnuRules, "mnuRulesEdit", QString(), &frmMain::mnuRulesEdit_Click);

  mnuHelp = menu("mnuHelp");
  mnuManual = action(mnuHelp, "mnuManual", QString(), &frmMain::mnuManual_Click);
  mnuHelp->addSeparator();
  mnuHelpUpdateCheck = action(mnuHelp, "mnuHelpUpdateCheck", QString(), &frmMain::mnuHelpUpdateCheck_Click);
  mnuHelpFAQ = action(mnuHelp, "mnuHelpFAQ", QString(), [this] { openHelpPage(QStringLiteral("mnuHelpFAQ")); });
  mnuHelpOnlineSem =
      action(mnuHelp, "mnuHelpOnlineSem", QString(), [this] { openHelpPage(QStringLiteral("mnuHelpOnlineSem")); });
  mnuHelpRuleEngine =
      action(mnuHelp, "mnuHelpRuleEngine", QString(), [this] { openHelpPage(QStringLiteral("mnuHelpRuleEngine")); });
  mnuHelpHomepage =
      action(mnuHelp, "mnuHelpHomepage", QString(), [this] { openHelpPage(QStringLiteral("mnuHelpHomepage")); });
  mnuHelp->addSeparator();
  // A fixed text: it does not change with the language.
  mnuHelpReqSup = action(mnuHelp, "mnuHelpReqSup", QStringLiteral("Request Support"),
                         [this] { openHelpPage(QStringLiteral("mnuHelpReqSup")); });
  mnuHelpAbout = action(mnuHelp, "mnuHelpAbout", QString(), &frmMain::mnuHelpAbout_Click);

  for (QMenu* m : {mnuFile, mnuService, mnuRules, mnuHelp}) menuBar()->addMenu(m);

  // The toolbar: buttons identified by key.
  TBMain = addToolBar(QStringLiteral("TBMain"));
  TBMain->setObjectName(QStringLiteral("TBMain"));
  TBMain->setMovable(false);
  const std::pair<const char*, QStyle::StandardPixmap> buttons[] = {
      {"OK", QStyle::SP_DialogOkButton},
      {"Cancel", QStyle::SP_DialogCancelButton},
      {"Save", QStyle::SP_DialogSaveButton},
      {"Reload", QStyle::SP_BrowserReload},
      {"About", QStyle::SP_MessageBoxInformation},
      {"Update", QStyle::SP_ArrowDown},
      {"Start", QStyle::SP_MediaPlay},
      {"Stop", QStyle::SP_MediaStop},
      {"Restart", QStyle::SP_MediaSeekForward},
  };
  for (const auto& [key, icon] : buttons) {
    if (QString(key) == QLatin1String("Reload") || QString(key) == QLatin1String("About") ||
        QString(key) == QLatin1String("Start"))
      TBMain->addSeparator();
    QAction* button = TBMain->addAction(style()->standardIcon(icon), QString());
    button->setObjectName(QStringLiteral("TBMain_%1").arg(QLatin1String(key)));
    const QString name = QLatin1String(key);
    connect(button, &QAction::triggered, this, [this, name] { TBMain_ButtonClick(name); });
    m_toolButtons[name] = button;
  }

  // The tab control with the realtime page and the five configuration pages.
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  SSTab = new QTabWidget(central);
  SSTab->setObjectName(QStringLiteral("SSTab"));
  pgRealtime = new RealtimePage(SSTab);
  pgRealtime->setContextMenu(mnuEdit);
  pgRealtime->progress.status = [this](const QString& text) {
    stbPanel1->setText(text.isEmpty() ? Global::szStatusText : text);
  };
  pgRealtime->progress.start = [this] {
    ProgressBarStart();
    pgbMain->show();
  };
  pgRealtime->progress.increment = [this] { ProgressBarIncrement(); };
  pgRealtime->progress.end = [this] {
    ProgressBarEnd();
    pgbMain->hide();
    ProgressBarStart();
  };
  connect(mnuDeleteViewSelection, &QAction::triggered, pgRealtime, &RealtimePage::cmdDeleteView_Click);
  connect(mnuEditCopySelection, &QAction::triggered, pgRealtime, &RealtimePage::mnuEditCopySelection_Click);
  connect(mnuEditSaveSelection, &QAction::triggered, pgRealtime, &RealtimePage::cmdSaveSel_Click);
  connect(mnuEditSaveAll, &QAction::triggered, pgRealtime, &RealtimePage::cmdSaveAll_Click);
  ClientSettings::setRealtimeCheckBoxes = [page = pgRealtime](bool writeLogfile, bool clientResolveName) {
    page->setCheckBoxes(writeLogfile, clientResolveName);
  };
  s_checkBoxesOwner = this;
  SSTab->addTab(pgRealtime, QString());
  pages = std::make_unique<ConfigurationPages>(SSTab);
  for (ConfigPage* page : pages->pages()) SSTab->addTab(page, QString());
  connect(SSTab, &QTabWidget::currentChanged, this, &frmMain::SSTab_Click);
  layout->addWidget(SSTab, 1);

  auto* buttonRow = new QHBoxLayout;
  buttonRow->addStretch(1);
  pbOK = new QPushButton(central);
  pbOK->setObjectName(QStringLiteral("pbOK"));
  pbCancel = new QPushButton(central);
  pbCancel->setObjectName(QStringLiteral("pbCancel"));
  pbApply = new QPushButton(central);
  pbApply->setObjectName(QStringLiteral("pbApply"));
  for (QPushButton* button : {pbOK, pbCancel, pbApply}) {
    button->setMinimumWidth(twips(1215));
    buttonRow->addWidget(button);
  }
  connect(pbOK, &QPushButton::clicked, this, &frmMain::pbOK_Click);
  connect(pbCancel, &QPushButton::clicked, this, &frmMain::pbCancel_Click);
  connect(pbApply, &QPushButton::clicked, this, &frmMain::pbApply_Click);
  layout->addLayout(buttonRow);
  setCentralWidget(central);

  // The status bar: panel 1 the state of the client, panel 2 the connection;
  // the progress bar lies over panel 1 while it runs.
  stbPanel1 = new QLabel(this);
  stbPanel1->setObjectName(QStringLiteral("stbPanel1"));
  stbPanel1->setTextFormat(Qt::PlainText);
  stbPanel2 = new QLabel(this);
  stbPanel2->setObjectName(QStringLiteral("stbPanel2"));
  stbPanel2->setTextFormat(Qt::PlainText);
  pgbMain = new QProgressBar(this);
  pgbMain->setObjectName(QStringLiteral("pgbMain"));
  pgbMain->setRange(0, 100);
  pgbMain->setTextVisible(false);
  statusBar()->setObjectName(QStringLiteral("stbMain"));
  statusBar()->addWidget(stbPanel1, 1);
  statusBar()->addWidget(pgbMain, 1);
  statusBar()->addPermanentWidget(stbPanel2, 1);
  pgbMain->hide();
}

frmMain::~frmMain() {
  // Only the newest main window's page follows the stored check boxes.
  if (s_checkBoxesOwner == this) ClientSettings::setRealtimeCheckBoxes = nullptr;
}

QAction* frmMain::toolButton(const QString& key) const {
  const auto found = m_toolButtons.find(key);
  return found == m_toolButtons.end() ? nullptr : found->second;
}

// --- start-up ------------------------------------------------------------

void frmMain::Form_Load(frmSplash* splash) {
  Global::bRulesKeyCreated = false;
  Global::bNoRulesDefined = false;
  Global::bParametersOpen = false;
  const auto progress = [splash](int value) {
    if (splash != nullptr) splash->setProgress(value);
  };
  progress(1);
  CreateKeyHandles(QString());
  progress(2);
  progress(3);
  ReadRegValues();
  if (m_ending) return;
  progress(4);
  progress(5);
  AllOtherStartupStandards();
  progress(6);

  // The start-up questions lead to the rule base wizard.
  if (Global::bParametersOpen) {
    int question = 0;
    if (Global::bRulesKeyCreated) question = 201;
    else if (Global::bNoRulesDefined) question = 207;
    if (question != 0 && Dialogs::MsgBox(Messages::GetMessageText(question), Dialogs::Icon::Information,
                                         Dialogs::Buttons::YesNo, QString(), this) == Dialogs::Answer::Yes)
      openRuleWizard();
  }
  if (splash != nullptr) splash->unload();
}

void frmMain::AllOtherStartupStandards() {
  ClientSettings::Initiate_Client_Startup();
  Initiate_Startup_Standards();
  Initiate_Language_settings();
  RefreshServiceState();
  LayoutControls();
}

void frmMain::Initiate_Startup_Standards() {
  pgbMain->hide();
  if (!pgRealtime->receiving()) pgRealtime->setStoppedState();
  Initiate_Grid_Cols();
  // The Edit menu never shows in the bar; it is the grid's context menu.
  mnuEdit->menuAction()->setVisible(false);
}

void frmMain::Initiate_Grid_Cols() { pgRealtime->Initiate_Grid_Cols(); }

void frmMain::Initiate_Language_settings() {
  using Messages::GetMessageText;
  Messages::SetLanguageFont();
  applyFont(this);
  applyFont(menuBar());
  for (QMenu* m : {mnuFile, mnuService, mnuEdit, mnuRules, mnuHelp}) applyFont(m);

  const std::pair<QMenu*, int> menus[] = {{mnuFile, 41}, {mnuService, 45}, {mnuEdit, 63}, {mnuRules, 57}, {mnuHelp, 54}};
  for (const auto& [m, number] : menus) m->setTitle(GetMessageText(number));
  const std::pair<QAction*, int> items[] = {
      {mnuFileOptions, 42},          {mnuSelectComputer, 43},      {mnuQuit, 44},
      {mnuStartCorvantel, 46},       {mnuStopCorvantel, 47},       {mnuReStartCorvantel, 60},
      {mnuFileInstallService, 48},   {mnuFileUninstallService, 49}, {mnuSerVerCorvantel, 59},
      {mnuDeleteViewSelection, 50},  {mnuEditCopySelection, 51},   {mnuEditSaveSelection, 52},
      {mnuEditSaveAll, 53},          {mnuRulesWizard, 62},         {mnuRulesEdit, 61},
      {mnuManual, 56},               {mnuHelpUpdateCheck, 58},     {mnuHelpFAQ, 64},
      {mnuHelpOnlineSem, 65},        {mnuHelpRuleEngine, 66},      {mnuHelpHomepage, 67},
      {mnuHelpAbout, 55},
  };
  for (const auto& [item, number] : items) item->setText(GetMessageText(number));

  const std::pair<const char*, int> tips[] = {{"OK", 32},     {"Cancel", 33}, {"Save", 34},
                                              {"Reload", 163}, {"About", 55}, {"Update", 58},
                                              {"Start", 46},  {"Stop", 47},   {"Restart", 60}};
  for (const auto& [key, number] : tips) {
    QAction* button = toolButton(QLatin1String(key));
    // The tool tip without its access key: "&OK" and "OK(&O)" both read "OK".
    static const QRegularExpression accessKey(QStringLiteral("\\(&.\\)|&"));
    button->setToolTip(GetMessageText(number).remove(accessKey));
    button->setText(button->toolTip());
  }

  pbOK->setText(GetMessageText(32));
  pbOK->setToolTip(GetMessageText(160));
  pbCancel->setText(GetMessageText(33));
  pbCancel->setToolTip(GetMessageText(161));
  pbApply->setText(GetMessageText(34));
  pbApply->setToolTip(GetMessageText(162));
  for (int tab = 0; tab < SSTab->count(); ++tab) SSTab->setTabText(tab, GetMessageText(25 + tab));
  pages->Initiate_Language_settings();
  pgRealtime->Initiate_Language_settings();

  Global::szReadyText = GetMessageText(250);
  Global::szStatusText = Global::szReadyText;
  // The connection text is rebuilt in the new language too.
  Global::szConnectionText = connectionText();
  showStatus();
}

QString frmMain::connectionText() const {
  QString text = Messages::GetMessageText(255) + QLatin1Char(' ') + Global::szConnectedComputer;
  static const std::map<KeysProblem, int> problemTexts{{KeysProblem::NotInstalled, 1018},
                                                        {KeysProblem::NoAccess, 2100},
                                                        {KeysProblem::DamagedHive, 2103},
                                                        {KeysProblem::HiveNotOpened, 2106}};
  if (const auto found = problemTexts.find(m_keysProblem); found != problemTexts.end())
    text += QStringLiteral(" - ") + Messages::GetMessageText(found->second);
  return text;
}

void frmMain::showStatus() {
  stbPanel1->setText(Global::szStatusText);
  stbPanel2->setText(Global::szConnectionText);
}

void frmMain::LayoutControls() {
  // The window's layouts fit the tab control to the window and the controls
  // of each page to the tab control; the minimum size keeps everything usable.
  if (isMinimized()) return;
  centralWidget()->layout()->activate();
}

void frmMain::SSTab_Click() { LayoutControls(); }

// --- the administered computer's keys ---------------------------------------

void frmMain::CreateKeyHandles(const QString& szComputerName) {
  using Messages::GetMessageText;
  closeKey(Global::hParametersKey);
  closeKey(Global::hRulesKey);
  m_keysProblem = KeysProblem::None;

  // Every Linux computer counts as one of the NT family: the platform of a
  // named computer is not queried separately, its registry answers for it.
  Global::nTargetPlatform = 2;
  setConfigurationEnabled(true);
  pbOK->setEnabled(true);
  pbApply->setEnabled(true);
  mnuService->setEnabled(true);
  mnuFileInstallService->setEnabled(true);
  mnuFileUninstallService->setEnabled(true);

  if (szComputerName.isEmpty()) {
    Global::bDaemonProgramFound = GetFileVersion(Global::daemonProgramPath()).ok;
    Global::szConnectedComputer = QLatin1String(Global::kLocalComputer);
    Global::nLastRegError =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, 0, kKeyAccess, &Global::hParametersKey);
    if (Global::nLastRegError != ERROR_SUCCESS) {
      Global::hParametersKey = nullptr;
      Global::bParametersOpen = false;
      // Only a missing key means that the service is not installed. A hive
      // that this user may not open, or that cannot be used, is explained,
      // and nothing is offered to install over it.
      switch (Global::nLastRegError) {
        case ERROR_FILE_NOT_FOUND:
          m_keysProblem = KeysProblem::NotInstalled;
          break;
        case ERROR_ACCESS_DENIED:
          m_keysProblem = KeysProblem::NoAccess;
          break;
        case ERROR_REGISTRY_CORRUPT:
        case ERROR_BADDB:
          m_keysProblem = KeysProblem::DamagedHive;
          break;
        default:
          m_keysProblem = KeysProblem::HiveNotOpened;
          break;
      }
      if (m_keysProblem != KeysProblem::NotInstalled) Global::bDaemonProgramFound = false;
      Global::szConnectionText = connectionText();
      showStatus();
      if (m_keysProblem != KeysProblem::NotInstalled) reportHiveProblem(Global::nLastRegError);
      return;
    }
    Global::nLastRegError =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, Global::kRulesKeyPath, 0, kKeyAccess, &Global::hRulesKey);
    if (Global::nLastRegError != ERROR_SUCCESS) {
      Global::bRulesKeyCreated = true;
      Global::nLastRegError = RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kRulesKeyPath, &Global::hRulesKey);
    }
    mnuRules->setEnabled(true);
    Global::bParametersOpen = true;
    Global::szConnectionText = connectionText();
    showStatus();
    return;
  }

  // Another computer: its platform first. One that cannot be reached is
  // reported once, by the connection below, in its own words.
  if (NetApi::GetComputerVersion(szComputerName, this) == ERROR_SUCCESS && Global::nTargetPlatform != 2) {
    Dialogs::MsgBox(GetMessageText(221) + QStringLiteral("\r\n") + GetMessageText(216), Dialogs::Icon::Error,
                    Dialogs::Buttons::Ok, QString(), this);
    CreateKeyHandles(QString());
    return;
  }
  Global::nTargetPlatform = 2;

  // Then its registry.
  const std::string computer = toAnsi(szComputerName);
  HKEY remoteRoot = nullptr;
  Global::nLastRegError = RegConnectRegistryA(computer.c_str(), HKEY_LOCAL_MACHINE, &remoteRoot);
  if (Global::nLastRegError != ERROR_SUCCESS) {
    const LONG code = Global::nLastRegError;
    QString text;
    switch (code) {
      case ERROR_ACCESS_DENIED:
        text = GetMessageText(217) + QLatin1Char(' ') + szComputerName + QStringLiteral(".\r\n");
        break;
      case ERROR_BAD_NETPATH:
        text = GetMessageText(218) + QLatin1Char(' ') + szComputerName + QStringLiteral(".\r\n");
        break;
      case ERROR_FILE_NOT_FOUND:
        text = GetMessageText(219) + QStringLiteral("\r\n");
        break;
      default:
        text = GetMessageText(220) + QLatin1Char(' ') + szComputerName + QLatin1Char('-') + QString::number(code) +
               QStringLiteral("\r\n");
        break;
    }
    Dialogs::MsgBox(text + GetMessageText(216), Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), this);
    CreateKeyHandles(QString());
    return;
  }
  HKEY parameters = nullptr;
  HKEY rules = nullptr;
  LONG rc = RegOpenKeyExA(remoteRoot, Global::kParametersKeyPath, 0, kKeyAccess, &parameters);
  if (rc == ERROR_SUCCESS) {
    rc = RegOpenKeyExA(remoteRoot, Global::kRulesKeyPath, 0, kKeyAccess, &rules);
    if (rc != ERROR_SUCCESS) {
      Global::bRulesKeyCreated = true;
      rc = RegCreateKeyA(remoteRoot, Global::kRulesKeyPath, &rules);
    }
  }
  RegCloseKey(remoteRoot);
  Global::nLastRegError = rc;
  if (parameters == nullptr) {
    Dialogs::MsgBox(GetMessageText(221) + QStringLiteral("\r\n") + GetMessageText(216), Dialogs::Icon::Error,
                    Dialogs::Buttons::Ok, QString(), this);
    CreateKeyHandles(QString());
    return;
  }
  Global::hParametersKey = parameters;
  Global::hRulesKey = rules;
  mnuRules->setEnabled(true);
  Global::szConnectedComputer = szComputerName;
  Global::bParametersOpen = true;
  Global::bDaemonProgramFound = true;
  Global::szConnectionText = connectionText();
  showStatus();
}

void frmMain::reportHiveProblem(LONG code) {
  using Messages::GetMessageText;
  const QString hive = HiveDiagnosis::machineHivePath();
  const QString newLine = QStringLiteral("\r\n");
  QString text;
  if (m_keysProblem == KeysProblem::NoAccess) {
    text = GetMessageText(2101) + newLine + hive + newLine + GetMessageText(2102);
  } else {
    // SQLite's own words tell a damaged file from one that is not there to read.
    const QString sqlite = HiveDiagnosis::sqliteError(hive);
    const QString system = QString::number(code) + QStringLiteral(": ") +
                           WinNTServices::GetSystemErrorText(static_cast<DWORD>(code)).trimmed();
    if (m_keysProblem == KeysProblem::DamagedHive) {
      text = GetMessageText(2104) + newLine + hive + newLine +
             (sqlite.isEmpty() ? system : QStringLiteral("SQLite: ") + sqlite) + newLine + GetMessageText(2105);
    } else {
      text = GetMessageText(2107) + newLine + hive + newLine + system;
      if (!sqlite.isEmpty()) text += newLine + QStringLiteral("SQLite: ") + sqlite;
    }
  }
  Dialogs::MsgBox(text, Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), this);
}

void frmMain::ReadRegValues() {
  if (Global::nTargetPlatform == 2) {
    pages->fill(readParameterValues(Global::hParametersKey));
    Rules::LoadRules(Global::hRulesKey);
    return;
  }
  if (Global::nTargetPlatform == 1) return;
  Dialogs::MsgBox(Messages::GetMessageText(210), Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), this);
  endClient();
}

bool frmMain::SaveAllSettings() {
  // A failed write has been reported; the edits stay in the pages.
  if (Global::nTargetPlatform == 2 && Global::bParametersOpen && !pages->save(Global::hParametersKey, this))
    return false;
  showStatus();
  stbPanel1->setText(Messages::GetMessageText(251));
  ProgressBarOneSecond();
  stbPanel1->setText(Global::szStatusText);
  return true;
}

// --- the service ---------------------------------------------------------------

void frmMain::RefreshServiceState() { Global::RefreshServiceState(*this, nullptr, serviceStatePolling); }

void frmMain::setServiceItems(bool install, bool uninstall, bool stop, bool start, bool restart) {
  mnuFileInstallService->setEnabled(install);
  mnuFileUninstallService->setEnabled(uninstall);
  mnuStopCorvantel->setEnabled(stop);
  toolButton(QStringLiteral("Stop"))->setEnabled(stop);
  mnuStartCorvantel->setEnabled(start);
  toolButton(QStringLiteral("Start"))->setEnabled(start);
  mnuReStartCorvantel->setEnabled(restart);
  toolButton(QStringLiteral("Restart"))->setEnabled(restart);
}

void frmMain::setConfigurationEnabled(bool enabled) {
  for (int tab = 1; tab < SSTab->count(); ++tab) SSTab->setTabEnabled(tab, enabled);
  mnuRules->setEnabled(enabled);
  mnuRulesEdit->setEnabled(enabled);
  mnuRulesWizard->setEnabled(enabled);
}

// --- progress ------------------------------------------------------------------

void frmMain::ProgressBarOneSecond() {
  pgbMain->show();
  for (int value = 1; value < 100; value += 4) {
    pgbMain->setValue(value);
    statusBar()->repaint();
    QThread::msleep(1);
  }
  pgbMain->hide();
}

void frmMain::ProgressBarStart() {
  pgbMain->setValue(0);
  statusBar()->repaint();
}

void frmMain::ProgressBarIncrement() {
  if (pgbMain->value() < 100) pgbMain->setValue(pgbMain->value() + 1);
  statusBar()->repaint();
}

void frmMain::ProgressBarEnd() {
  pgbMain->setValue(100);
  statusBar()->repaint();
}

// --- commands ------------------------------------------------------------------

void frmMain::pbOK_Click() {
  if (SaveAllSettings()) endClient();
}

void frmMain::pbCancel_Click() { close(); }

void frmMain::pbApply_Click() { SaveAllSettings(); }

void frmMain::TBMain_ButtonClick(const QString& key) {
  if (key == QLatin1String("OK")) pbOK_Click();
  else if (key == QLatin1String("Cancel")) pbCancel_Click();
  else if (key == QLatin1String("Save")) pbApply_Click();
  else if (key == QLatin1String("Reload")) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ReadRegValues();
    QApplication::restoreOverrideCursor();
  } else if (key == QLatin1String("About")) mnuHelpAbout_Click();
  else if (key == QLatin1String("Update")) mnuHelpUpdateCheck_Click();
  else if (key == QLatin1String("Start")) mnuStartCorvantel_Click();
  else if (key == QLatin1String("Stop")) mnuStopCorvantel_Click();
  else if (key == QLatin1String("Restart")) mnuReStartCorvantel_Click();
}

void frmMain::mnuFileOptions_Click() {
  frmOptions::Show(m_options, this, [this] {
    Initiate_Language_settings();
    Initiate_Grid_Cols();
  });
}

void frmMain::mnuSelectComputer_Click() {
  frmSelectComputer window(
      [this](const QString& computer) {
        CreateKeyHandles(computer);
        ReadRegValues();
        ClientSettings::Initiate_Client_Startup();
        RefreshServiceState();
      },
      this);
  window.exec();
}

void frmMain::mnuQuit_Click() { endClient(); }

frmServiceState& frmMain::serviceStateWindow() {
  if (m_serviceState == nullptr) m_serviceState = new frmServiceState(*this, this);
  m_serviceState->polling = serviceStatePolling;
  m_serviceState->Initiate_Language_settings();  // the language may have changed since
  return *m_serviceState;
}

void frmMain::mnuStartCorvantel_Click() { serviceStateWindow().StartCorvantelService(); }

void frmMain::mnuStopCorvantel_Click() { serviceStateWindow().StopCorvantelService(); }

void frmMain::mnuReStartCorvantel_Click() { serviceStateWindow().RestartCorvantelService(); }

void frmMain::mnuFileInstallService_Click() {
  if (ServiceCommands::installService(this) == ServiceCommands::Outcome::EndClient) endClient();
}

void frmMain::mnuFileUninstallService_Click() {
  if (ServiceCommands::uninstallService(this) == ServiceCommands::Outcome::EndClient) endClient();
}

void frmMain::mnuSerVerCorvantel_Click() { ServiceCommands::showServiceVersion(this); }

void frmMain::mnuRulesWizard_Click() {
  if (Dialogs::MsgBox(Messages::GetMessageText(228), Dialogs::Icon::Information, Dialogs::Buttons::OkCancel, QString(),
                      this) == Dialogs::Answer::Ok)
    openRuleWizard();
}

void frmMain::openRuleWizard() {
  frmWizard wizard(this);
  wizard.exec();
}

void frmMain::mnuRulesEdit_Click() {
  frmRules editor(this);
  editor.exec();
}

void frmMain::mnuHelpUpdateCheck_Click() {
  frmUpdateCheck window(this);
  window.exec();
}

void frmMain::mnuHelpAbout_Click() {
  frmAbout window(this);
  window.exec();
}

namespace {
QStringList g_manualCandidatesForTesting;
QStringList g_helpFolderCandidatesForTesting;
}

void frmMain::setManualCandidatesForTesting(const QStringList& candidates) {
  g_manualCandidatesForTesting = candidates;
}

QStringList frmMain::manualCandidates() {
  if (!g_manualCandidatesForTesting.isEmpty()) return g_manualCandidatesForTesting;
  const QString folder = QCoreApplication::applicationDirPath();
  return {folder + QStringLiteral("/manual/index.html"),
          QDir::cleanPath(folder + QStringLiteral("/../share/corvantel/manual/index.html"))};
}

void frmMain::mnuManual_Click() {
  for (const QString& candidate : manualCandidates()) {
    if (QFileInfo::exists(candidate) && QDesktopServices::openUrl(QUrl::fromLocalFile(candidate))) return;
  }
  Dialogs::MsgBox(Messages::GetMessageText(208), Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), this);
}

void frmMain::setHelpFolderCandidatesForTesting(const QStringList& candidates) {
  g_helpFolderCandidatesForTesting = candidates;
}

QStringList frmMain::helpFolderCandidates() {
  if (!g_helpFolderCandidatesForTesting.isEmpty()) return g_helpFolderCandidatesForTesting;
  const QString folder = QCoreApplication::applicationDirPath();
  return {folder + QStringLiteral("/docs"), QDir::cleanPath(folder + QStringLiteral("/../share/corvantel/docs"))};
}

QUrl frmMain::helpPageUrl(const QString& entry) {
  static const std::map<QString, QString> pages{
      {QStringLiteral("mnuHelpFAQ"), QStringLiteral("faq.html")},
      {QStringLiteral("mnuHelpOnlineSem"), QStringLiteral("seminars.html")},
      {QStringLiteral("mnuHelpRuleEngine"), QStringLiteral("rule-engine.html")},
      {QStringLiteral("mnuHelpHomepage"), QStringLiteral("index.html")},
      {QStringLiteral("mnuHelpReqSup"), QStringLiteral("support/request.html")},
  };
  const auto found = pages.find(entry);
  if (found == pages.end()) return {};
  QString site = Registry::QueryStringValue(Global::hClientKeyMachine, QLatin1String(kHelpSiteValue), QString());
  if (!site.isEmpty()) {
    if (!site.endsWith(u'/')) site += u'/';
    return QUrl(site + found->second);
  }
  for (const QString& folder : helpFolderCandidates()) {
    const QString file = folder + u'/' + found->second;
    if (QFileInfo::exists(file)) return QUrl::fromLocalFile(file);
  }
  return {};
}

void frmMain::openHelpPage(const QString& entry) {
  const QUrl url = helpPageUrl(entry);
  // A page that opened in no browser is the browser's to report; a page that
  // is not there is ours.
  if (url.isEmpty() || !QDesktopServices::openUrl(url)) {
    Dialogs::MsgBox(Messages::GetMessageText(2200), Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), this);
  }
}

void frmMain::endClient() {
  m_ending = true;
  close();
}

void frmMain::closeEvent(QCloseEvent* event) {
  // Closing the window in any way ends the client; pending edits are lost.
  m_ending = true;
  if (m_options != nullptr) m_options->close();
  event->accept();
  if (!m_endAnnounced) {
    m_endAnnounced = true;
    emit clientEnds();
  }
}
