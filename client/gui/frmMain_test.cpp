#include "frmMain.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QProgressBar>
#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QThread>
#include <QUdpSocket>
#include <filesystem>
#include <fstream>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "Rules.h"
#include "client_settings.h"
#include "config_pages.h"
#include "frmOptions.h"
#include "frmWizard.h"
#include "platform/service.h"
#include "scripted_dialogs.h"
#include "window_testing.h"
#include "single_instance.h"
#include "real_service.h"
#include "realtime.h"
#include "realtime_page.h"
#include "temp_root.h"
#include "twips.h"
#include "WinNTServices.h"

namespace {

using Items = std::array<bool, 5>;  // install, uninstall, stop, start, restart

// Receives the URLs the window asks the desktop to open, instead of a browser.
class UrlCatcher : public QObject {
  Q_OBJECT

 public:
  UrlCatcher() {
    for (const char* scheme : {"file", "https"}) QDesktopServices::setUrlHandler(scheme, this, "open");
  }
  ~UrlCatcher() override {
    for (const char* scheme : {"file", "https"}) QDesktopServices::unsetUrlHandler(scheme);
  }
  std::vector<QUrl> opened;

 public slots:
  void open(const QUrl& url) { opened.push_back(url); }
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    Rules::model() = Rules::Model{};
    ClientSettings::resetToDefaults();
    Messages::SetLanguage(Messages::kEnglish);
    Global::setDaemonProgramPathForTesting(QStringLiteral(CORVANTD_PATH));
  }
  void TearDown() override {
    m_window.reset();
    Global::setDaemonProgramPathForTesting(QString());
    frmMain::setManualCandidatesForTesting({});
    frmMain::setHelpFolderCandidatesForTesting({});
    Global::reset();
    Messages::SetLanguage(Messages::kEnglish);
  }

  frmMain& open() {
    m_window = std::make_unique<frmMain>();
    m_window->serviceStatePolling.interval = std::chrono::milliseconds(10);
    m_window->serviceStatePolling.maxPasses = 1000;
    m_window->Form_Load();
    return *m_window;
  }

  static HKEY createKey(const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_SUCCESS);
    return key;
  }
  // The Parameters key of an installed service with a rule base, so that
  // the start-up does not offer the wizard.
  static HKEY createParameters() {
    HKEY rules = createKey(Global::kRulesKeyPath);
    Registry::SetNumberValue(rules, "nRuleCount", 1);
    RegCloseKey(rules);
    return createKey(Global::kParametersKeyPath);
  }

  Items items() const {
    const frmMain& w = *m_window;
    return {w.mnuFileInstallService->isEnabled(), w.mnuFileUninstallService->isEnabled(),
            w.mnuStopCorvantel->isEnabled(), w.mnuStartCorvantel->isEnabled(), w.mnuReStartCorvantel->isEnabled()};
  }

  platform::testing::TempPlatformRoot m_root;
  ScriptedDialogs m_dialogs;
  std::unique_ptr<frmMain> m_window;
};

TEST_F(MainWindowTest, FirstStartWithoutTheServiceOffersOnlyInstallWhenTheDaemonIsBeside) {
  frmMain& w = open();
  EXPECT_EQ(w.stbPanel2->text(), "Connected to: LOCALHOST - The Service is not installed");
  EXPECT_EQ(w.stbPanel1->text(), "Corvantel Client is Ready");
  for (int tab = 1; tab <= 5; ++tab) EXPECT_FALSE(w.SSTab->isTabEnabled(tab)) << tab;
  EXPECT_TRUE(w.SSTab->isTabEnabled(0));
  EXPECT_FALSE(w.mnuRules->isEnabled());
  EXPECT_EQ(items(), (Items{true, false, false, false, false}));
  EXPECT_TRUE(m_dialogs.messages.empty());

  Global::setDaemonProgramPathForTesting(QDir::tempPath() + QStringLiteral("/no-such-corvantd"));
  open();
  EXPECT_EQ(items(), (Items{false, false, false, false, false}));
}

// A hive the client cannot use is not a service that is missing: nothing is
// offered to install over it, and the box names the file and what is wrong.
TEST_F(MainWindowTest, AHiveThatCannotBeUsedIsReportedNotAsAMissingService) {
  const std::filesystem::path hive = m_root.machine() / "machine.hive";
  const QString hivePath = QString::fromStdString(hive.string());
  std::filesystem::create_directories(m_root.machine());
  std::ofstream(hive) << std::string(4096, 'x');

  frmMain& w = open();
  EXPECT_EQ(w.stbPanel2->text(), "Connected to: LOCALHOST - The registry hive is damaged");
  EXPECT_EQ(items(), (Items{false, false, false, false, false}));
  EXPECT_FALSE(w.SSTab->isTabEnabled(1));
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_EQ(m_dialogs.messages[0].text, "The registry hive that holds the service's settings is damaged:\r\n" +
                                            hivePath + "\r\nSQLite: file is not a database\r\n" +
                                            Messages::GetMessageText(2105));
  EXPECT_EQ(QFileInfo(hivePath).size(), 4096);  // left as it was

  // A hive that cannot be opened at all (here a folder in its place).
  std::filesystem::remove(hive);
  std::filesystem::create_directory(hive);
  m_dialogs.messages.clear();
  open();
  EXPECT_EQ(m_window->stbPanel2->text(), "Connected to: LOCALHOST - The registry hive cannot be opened");
  EXPECT_EQ(items(), (Items{false, false, false, false, false}));
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_TRUE(m_dialogs.messages[0].text.startsWith(
      "The registry hive that holds the service's settings cannot be opened:\r\n" + hivePath + "\r\n"))
      << m_dialogs.messages[0].text.toStdString();

  // The language changes the status text with the rest.
  Messages::SetLanguage("DE");
  m_window->Initiate_Language_settings();
  EXPECT_TRUE(m_window->stbPanel2->text().endsWith(" - " + Messages::GetMessageText(2106)));
}

// Run by a user who may not open the machine hive of an installed service, the
// client says that it must run as root (or on a platform root of the user's
// own) and offers nothing to install. As root, the test runs its second half
// again as nobody.
TEST_F(MainWindowTest, WithoutAccessToTheHiveTheClientSaysWhoMayUseIt) {
  const auto expectNoAccess = [this](const QString& machineRoot) {
    frmMain& w = open();
    EXPECT_EQ(w.stbPanel2->text(), "Connected to: LOCALHOST - No access to the service's settings");
    EXPECT_EQ(items(), (Items{false, false, false, false, false}));
    EXPECT_FALSE(w.SSTab->isTabEnabled(1));
    ASSERT_EQ(m_dialogs.messages.size(), 1u);
    EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
    EXPECT_EQ(m_dialogs.messages[0].text,
              "Access to the registry hive that holds the service's settings is denied:\r\n" + machineRoot +
                  "/machine.hive\r\nRun the Corvantel Client as root, or set CORVANTEL_ROOT to a platform root "
                  "of your own.");
  };
  const QString foreignRoot = qEnvironmentVariable("CORVANTEL_TEST_FOREIGN_ROOT");
  if (!foreignRoot.isEmpty()) {  // the half that runs as another user
    qputenv("CORVANTEL_ROOT", foreignRoot.toLocal8Bit());
    expectNoAccess(foreignRoot);
    return;
  }

  QProcess install;
  install.start(QStringLiteral(CORVANTD_PATH), {QStringLiteral("-i")});
  ASSERT_TRUE(install.waitForFinished(10000));
  ASSERT_EQ(install.exitCode(), 0);
  const QString machineRoot = QString::fromStdString(m_root.machine().string());
  const std::filesystem::path hive = m_root.machine() / "machine.hive";
  if (::geteuid() != 0) {
    std::filesystem::permissions(hive, std::filesystem::perms::none);
    expectNoAccess(machineRoot);
    std::filesystem::permissions(hive, std::filesystem::perms(0600));
    return;
  }
  // Only the hive itself is closed to others, as in an installed system.
  std::filesystem::permissions(m_root.base(), std::filesystem::perms(0755));
  std::filesystem::permissions(m_root.machine(), std::filesystem::perms(0755));
  QProcess child;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("CORVANTEL_TEST_FOREIGN_ROOT", machineRoot);
  environment.remove("GTEST_OUTPUT");
  child.setProcessEnvironment(environment);
  child.setProcessChannelMode(QProcess::MergedChannels);
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  child.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                          QCoreApplication::applicationFilePath(),
                          QStringLiteral("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name())});
  ASSERT_TRUE(child.waitForFinished(60000));
  const QByteArray output = child.readAll();
  EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
  EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

TEST_F(MainWindowTest, AboutAndUpdateCheckEntriesOpenTheirWindows) {
  frmMain& w = open();
  const std::pair<QAction*, const char*> entries[] = {{w.mnuHelpAbout, "frmAbout"},
                                                      {w.toolButton("About"), "frmAbout"},
                                                      {w.mnuHelpUpdateCheck, "frmUpdateCheck"},
                                                      {w.toolButton("Update"), "frmUpdateCheck"}};
  for (const auto& [entry, window] : entries) {
    EXPECT_TRUE(entry->isEnabled()) << entry->objectName().toStdString();
    QString opened;
    whenModalOpens([&](QWidget* modal) {
      opened = modal->objectName();
      modal->close();
    });
    entry->trigger();
    EXPECT_EQ(opened, window) << entry->objectName().toStdString();
  }
}

TEST_F(MainWindowTest, ServiceItemsDriveMenusAndToolbarTogether) {
  frmMain& w = open();
  w.setServiceItems(false, true, true, false, true);
  EXPECT_EQ(items(), (Items{false, true, true, false, true}));
  EXPECT_TRUE(w.toolButton("Stop")->isEnabled());
  EXPECT_FALSE(w.toolButton("Start")->isEnabled());
  EXPECT_TRUE(w.toolButton("Restart")->isEnabled());
  w.setServiceItems(true, false, false, true, false);
  EXPECT_FALSE(w.toolButton("Stop")->isEnabled());
  EXPECT_TRUE(w.toolButton("Start")->isEnabled());
  EXPECT_FALSE(w.toolButton("Restart")->isEnabled());
}

TEST_F(MainWindowTest, StartUpAsksForTheWizardWhenThereAreNoRules) {
  int wizards = 0;
  const auto closeTheWizard = [&] {
    whenModalOpens([&](QWidget* window) {
      if (qobject_cast<frmWizard*>(window) != nullptr) ++wizards;
      window->close();
    });
  };
  RegCloseKey(createKey(Global::kParametersKeyPath));

  // No Rules key yet: the import question; Yes opens the wizard.
  closeTheWizard();
  open();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, Messages::GetMessageText(201));
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Information);
  EXPECT_EQ(m_dialogs.messages[0].buttons, Dialogs::Buttons::YesNo);
  EXPECT_EQ(wizards, 1);
  EXPECT_TRUE(Global::bRulesKeyCreated);

  // The key is there now, still without rules: the other question; No.
  m_dialogs.messages.clear();
  m_dialogs.answers.push_back(Dialogs::Answer::No);
  open();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text,
            "There are no Rules defined in the Corvantel RuleBase. \r\nDo you want to use the RuleBase Wizard to "
            "create them?");
  EXPECT_EQ(wizards, 1);

  // With rules nothing is asked.
  HKEY rules = createKey(Global::kRulesKeyPath);
  Registry::SetNumberValue(rules, "nRuleCount", 1);
  RegCloseKey(rules);
  m_dialogs.messages.clear();
  open();
  EXPECT_TRUE(m_dialogs.messages.empty());
  EXPECT_TRUE(m_window->mnuRulesWizard->isEnabled());
  EXPECT_TRUE(m_window->mnuRulesEdit->isEnabled());

  // The menu entry asks before the wizard replaces the rules: Cancel opens
  // nothing, OK the wizard.
  m_dialogs.answers.push_back(Dialogs::Answer::Cancel);
  m_window->mnuRulesWizard->trigger();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, Messages::GetMessageText(228));
  EXPECT_EQ(m_dialogs.messages[0].buttons, Dialogs::Buttons::OkCancel);
  EXPECT_EQ(wizards, 1);
  closeTheWizard();
  m_window->mnuRulesWizard->trigger();
  EXPECT_EQ(wizards, 2);
}

TEST_F(MainWindowTest, PagesShowTheStoredValuesAndApplyWritesThem) {
  HKEY parameters = createParameters();
  Registry::SetNumberValue(parameters, "nSyslogPort", 0);
  Registry::SetNumberValue(parameters, "bReloadRuleBase", 2);
  Registry::SetStringValue(parameters, "szSMTPSubject", "Alerts");
  frmMain& w = open();
  EXPECT_EQ(w.stbPanel2->text(), "Connected to: LOCALHOST");
  EXPECT_EQ(w.pages->general->txtSyslogPort->text(), "514");
  EXPECT_FALSE(w.pages->general->chReloadRuleBase->isChecked());
  EXPECT_EQ(w.pages->smtp->txtMailSubject->text(), "Alerts");

  w.pages->smtp->txtMailSubject->clear();
  w.pbApply->click();
  // Values nobody edited stay as stored, even where the page shows them otherwise.
  EXPECT_EQ(Registry::QueryDWordValue(parameters, "nSyslogPort", -1), 0);
  EXPECT_EQ(Registry::QueryDWordValue(parameters, "bReloadRuleBase", -1), 2);
  EXPECT_EQ(Registry::QueryStringValue(parameters, "szSMTPSubject", "deleted"), "deleted");
  EXPECT_EQ(w.stbPanel1->text(), "Corvantel Client is Ready");
  EXPECT_TRUE(w.pgbMain->isHidden());

  // Reload throws away what was typed.
  w.pages->general->txtSyslogSendServer->setText("typed, not saved");
  w.toolButton("Reload")->trigger();
  EXPECT_EQ(w.pages->general->txtSyslogSendServer->text(), "");
  RegCloseKey(parameters);
}

TEST_F(MainWindowTest, AFailedSaveIsReportedAndKeepsTheWindowWithItsEdits) {
  HKEY parameters = createParameters();
  frmMain& w = open();
  QSignalSpy ends(&w, &frmMain::clientEnds);
  w.pages->general->txtSyslogSendServer->setText("relay");
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath), ERROR_SUCCESS);  // behind its back
  m_dialogs.messages.clear();
  w.pbApply->click();
  w.toolButton("OK")->trigger();
  ASSERT_EQ(m_dialogs.messages.size(), 2u);
  for (const auto& message : m_dialogs.messages)
    EXPECT_EQ(message.text, Messages::GetMessageText(2008) + "nSyslogPort\r\n" +
                                WinNTServices::GetSystemErrorText(ERROR_KEY_DELETED));
  EXPECT_EQ(ends.count(), 0);
  EXPECT_EQ(w.pages->general->txtSyslogSendServer->text(), "relay");
  RegCloseKey(parameters);
}

TEST_F(MainWindowTest, OkSavesAndEndsCancelAndQuitEndWithoutSaving) {
  HKEY parameters = createParameters();
  for (const char* how : {"cancel", "quit", "close", "ok"}) {
    frmMain& w = open();
    QSignalSpy ends(&w, &frmMain::clientEnds);
    w.pages->general->txtSyslogSendServer->setText(QStringLiteral("loghost-%1").arg(how));
    const QString which = how;
    if (which == "cancel") w.pbCancel->click();
    else if (which == "quit") w.mnuQuit->trigger();
    else if (which == "close") w.close();
    else w.toolButton("OK")->trigger();
    EXPECT_EQ(ends.count(), 1) << how;
    const QString stored = Registry::QueryStringValue(parameters, "szSyslogSendServer", QString());
    EXPECT_EQ(stored, which == "ok" ? QString("loghost-ok") : QString()) << how;
  }
  RegCloseKey(parameters);
}

TEST_F(MainWindowTest, ChoosingAnotherLanguageTurnsTheWindowAtOnce) {
  frmMain& w = open();
  const Messages::Catalogue& german = Messages::catalogueFor("DE");
  whenModalOpens([](QWidget* window) {
    auto* options = qobject_cast<frmOptions*>(window);
    ASSERT_NE(options, nullptr);
    options->lsLanguage->setCurrentIndex(1);  // Deutsch
    options->cmdOK->click();
  });
  w.mnuFileOptions->trigger();
  EXPECT_EQ(Messages::Language(), "DE");
  EXPECT_EQ(w.mnuFile->title(), german.at(41));
  EXPECT_EQ(w.mnuService->title(), german.at(45));
  EXPECT_EQ(w.pbCancel->text(), german.at(33));
  EXPECT_EQ(w.SSTab->tabText(1), german.at(26));
  EXPECT_EQ(w.stbPanel1->text(), german.at(250));
  EXPECT_TRUE(w.stbPanel2->text().startsWith(german.at(255) + " LOCALHOST"));
  EXPECT_EQ(w.mnuHelpReqSup->text(), "Request Support");  // a fixed text

  // Japanese: every control uses the Japanese face; tool tips carry no
  // access keys.
  Messages::SetLanguage("JP");
  w.Initiate_Language_settings();
  EXPECT_EQ(w.toolButton("OK")->toolTip(), "OK");
  for (QWidget* control : w.findChildren<QWidget*>())
    EXPECT_EQ(control->font().family(), QString::fromUtf16(Messages::kJapaneseFace)) << control->objectName().toStdString();
}

TEST_F(MainWindowTest, AComputerThatCannotBeReachedFallsBackToThisOne) {
  RegCloseKey(createParameters());
  frmMain& w = open();
  w.CreateKeyHandles("faraway");
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, "Error, can't connect to faraway.\r\nReverting back to local machine");
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_EQ(Global::szConnectedComputer, "LOCALHOST");
  EXPECT_EQ(w.stbPanel2->text(), "Connected to: LOCALHOST");
  EXPECT_TRUE(Global::bParametersOpen);

  // "LOCALHOST" typed as a name is this computer too.
  m_dialogs.messages.clear();
  w.CreateKeyHandles("LOCALHOST");
  EXPECT_TRUE(m_dialogs.messages.empty());
  EXPECT_TRUE(Global::bParametersOpen);
}

TEST_F(MainWindowTest, APlatformThatIsNeitherFamilyEndsTheClient) {
  frmMain& w = open();
  QSignalSpy ends(&w, &frmMain::clientEnds);
  Global::nTargetPlatform = 0;
  w.ReadRegValues();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, "Fatal ERROR -  No PlatformID ");
  EXPECT_EQ(ends.count(), 1);
}

TEST_F(MainWindowTest, ManualOpensInTheBrowserOrSaysItIsMissing) {
  UrlCatcher browser;
  frmMain& w = open();
  const QString manual = QString::fromStdString((m_root.base() / "index.html").string());
  frmMain::setManualCandidatesForTesting({manual});
  w.mnuManual->trigger();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);  // not there yet
  EXPECT_EQ(m_dialogs.messages[0].text, Messages::GetMessageText(208));
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);

  QFile page(manual);
  ASSERT_TRUE(page.open(QIODevice::WriteOnly));
  page.close();
  w.mnuManual->trigger();
  ASSERT_EQ(browser.opened.size(), 1u);
  EXPECT_EQ(browser.opened[0], QUrl::fromLocalFile(manual));

  EXPECT_EQ(m_dialogs.messages.size(), 1u);
}

TEST_F(MainWindowTest, HelpPagesOpenTheirLocalCopiesOrTheSiteOfTheSetting) {
  UrlCatcher browser;
  frmMain& w = open();
  const QList<QAction*> entries{w.mnuHelpFAQ, w.mnuHelpOnlineSem, w.mnuHelpRuleEngine, w.mnuHelpHomepage,
                                w.mnuHelpReqSup};
  const QStringList pages{"faq.html", "seminars.html", "rule-engine.html", "index.html", "support/request.html"};
  // The build makes them beside the program, from docs/*.md.
  const QString built = QCoreApplication::applicationDirPath() + "/docs/";
  for (QAction* entry : entries) entry->trigger();
  ASSERT_EQ(browser.opened.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(browser.opened[i], QUrl::fromLocalFile(built + pages[i]));
  QFile faq(built + "faq.html");
  ASSERT_TRUE(faq.open(QIODevice::ReadOnly));
  const QString html = QString::fromUtf8(faq.readAll());
  EXPECT_TRUE(html.contains("<h2 id=\"ports-and-reception\">")) << "the contents' anchors lead somewhere";
  EXPECT_TRUE(QFile::exists(built + "../manual/style.css"));
  QFile request(built + "support/request.html");
  ASSERT_TRUE(request.open(QIODevice::ReadOnly));
  EXPECT_TRUE(QString::fromUtf8(request.readAll()).contains("href=\"../faq.html\""));

  // Installed elsewhere and missing: an error box, not a browser on nothing.
  frmMain::setHelpFolderCandidatesForTesting({QString::fromStdString((m_root.base() / "nowhere").string())});
  w.mnuHelpFAQ->trigger();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, Messages::GetMessageText(2200));

  // A deployment's own web site.
  Registry::SetStringValue(Global::hClientKeyMachine, "szHelpSite", "https://help.example.org/corvantel");
  w.mnuHelpReqSup->trigger();
  EXPECT_EQ(browser.opened.back(), QUrl("https://help.example.org/corvantel/support/request.html"));
}

TEST_F(MainWindowTest, TheManualShipsBesideTheClient) {
  // The build puts the manual beside the program, as installing does below
  // <prefix>/share/corvantel.
  EXPECT_TRUE(QFile::exists(QStringLiteral(CORVANTEL_SOURCE_DIR "/docs/manual/index.html")));
  const QStringList candidates = frmMain::manualCandidates();
  EXPECT_TRUE(candidates.contains(QCoreApplication::applicationDirPath() + "/manual/index.html"));
  EXPECT_TRUE(candidates.contains(
      QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../share/corvantel/manual/index.html")));
}

TEST_F(MainWindowTest, WindowKeepsItsSmallestSize) {
  frmMain& w = open();
  w.resize(100, 100);
  EXPECT_GE(w.width(), twips(9315));
  EXPECT_GE(w.height(), twips(5865));
}

TEST(SingleInstanceTest, ASecondStartBringsTheFirstForward) {
  platform::testing::TempPlatformRoot root;
  SingleInstance first;
  int activations = 0;
  ASSERT_TRUE(first.listen([&] { ++activations; }));
  SingleInstance second;
  EXPECT_TRUE(second.handOverToRunningInstance());
  EXPECT_TRUE(eventually([&] { return activations == 1; }, 5000));

  // Another user (another user root) has a client of its own.
  platform::testing::TempPlatformRoot otherUser;
  SingleInstance third;
  EXPECT_FALSE(third.handOverToRunningInstance(200));
}

// The first tab is the realtime page; the Edit menu is its grid's context
// menu, and an export shows its progress in the status bar, then the idle
// text again. The stored check boxes are the page's.
TEST_F(MainWindowTest, TheRealtimePageIsTheFirstTabWithTheEditMenu) {
  qputenv("CORVANTEL_MUTEX_DIR", QByteArray::fromStdString((m_root.base() / "locks").string()));
  HKEY client = createKey(Global::kClientKeyPath);
  Registry::SetNumberValue(client, "nWriteLogfile", 1);
  Registry::SetStringValue(client, "szFileBaseName", QString::fromStdString((m_root.base() / "Syslog").string()));
  Registry::SetNumberValue(client, "nInterActiveSyslogPort", freeUdpPort());
  RegCloseKey(client);
  frmMain& w = open();
  ASSERT_EQ(w.SSTab->widget(0), w.pgRealtime);
  EXPECT_EQ(w.SSTab->tabText(0), "&Realime Logging");
  EXPECT_TRUE(w.pgRealtime->chkWriteLogfile->isChecked());
  EXPECT_FALSE(w.pgRealtime->chkClientResolveName->isChecked());
  EXPECT_TRUE(w.pgRealtime->pbStartLoging->isEnabled());
  EXPECT_FALSE(w.mnuEdit->menuAction()->isVisible());

  w.pgRealtime->pbStartLoging->click();
  ASSERT_TRUE(w.pgRealtime->receiving());
  QUdpSocket sender;
  ASSERT_TRUE(eventually([&] {
    sender.writeDatagram("<13>to the page", QHostAddress::LocalHost,
                         static_cast<quint16>(ClientSettings::nInterActiveSyslogPort));
    w.pgRealtime->TimerFlexGridUpdate_Timer();
    return w.pgRealtime->model->rowCount() > 0;
  }));
  QStringList statuses;
  const auto shownStatus = w.pgRealtime->progress.status;
  w.pgRealtime->progress.status = [&](const QString& text) {
    shownStatus(text);
    statuses << w.stbPanel1->text();
  };
  const QString path = QString::fromStdString((m_root.base() / "all.csv").string());
  m_dialogs.fileAnswers = {path};
  w.mnuEditSaveAll->trigger();
  EXPECT_EQ(statuses, (QStringList{"Generating CSV String", "Corvantel Client is Ready"}));
  EXPECT_FALSE(w.pgbMain->isVisible());
  EXPECT_EQ(w.pgbMain->value(), 0);
  EXPECT_TRUE(QFile::exists(path));
  EXPECT_TRUE(QFile::exists(QString::fromStdString((m_root.base() / "Syslog.txt").string())));
  w.mnuDeleteViewSelection->trigger();
  EXPECT_EQ(w.pgRealtime->model->rowCount(), 0);
  m_window.reset();
  qunsetenv("CORVANTEL_MUTEX_DIR");
}

TEST_F(MainWindowTest, RendersEveryPageInEveryLanguage) {
  RegCloseKey(createParameters());
  frmMain& w = open();
  w.resize(twips(9435), twips(6555));
  w.show();
  for (const char* code : {"EN", "DE", "JP", "ES"}) {
    Messages::SetLanguage(code);
    w.Initiate_Language_settings();
    for (int tab = 0; tab < w.SSTab->count(); ++tab) {
      w.SSTab->setCurrentIndex(tab);
      QCoreApplication::processEvents();
      EXPECT_FALSE(renderToPng(&w, QStringLiteral("frmMain-%1-%2").arg(tab).arg(QLatin1String(code))).isEmpty());
    }
  }
}

// ---- with the real daemon ---------------------------------------------------------------

class MainWindowServiceTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    QProcess install;
    install.start(QStringLiteral(CORVANTD_PATH), {QStringLiteral("-i")});
    ASSERT_TRUE(install.waitForFinished(10000));
    ASSERT_EQ(install.exitCode(), 0);
    RegCloseKey(createParameters());
  }
  void TearDown() override {
    const QString service = QStringLiteral("TolvaneCorvantel");
    if (WinNTServices::QueryNTServiceState(QString(), service) != SERVICE_STOPPED) {
      WinNTServices::StopNTService(QString(), service);
      if (!eventually([&] { return WinNTServices::QueryNTServiceState(QString(), service) == SERVICE_STOPPED; }))
        killService(m_root.machine());
    }
    MainWindowTest::TearDown();
  }
};

TEST_F(MainWindowServiceTest, SavedPortAndRulesTakeEffectAfterARestartFromTheServiceMenu) {
  frmMain& w = open();
  EXPECT_EQ(items(), (Items{false, true, false, true, false}));  // installed, stopped
  const QString logs = QString::fromStdString((m_root.base() / "logs").string());
  ASSERT_TRUE(QDir().mkpath(logs));

  // A first port, and the service started from the menu.
  w.pages->general->txtSyslogPort->setText(QString::number(freeUdpPort()));
  w.pbApply->click();
  w.mnuStartCorvantel->trigger();
  EXPECT_EQ(items(), (Items{false, true, true, false, true}));

  // A new port, a log folder and a rule base with one file action; then a
  // restart, and a datagram to the new port lands in the file.
  const int port = freeUdpPort();
  w.pages->general->txtSyslogPort->setText(QString::number(port));
  w.pages->file->txBaseLogFilePath->setText(logs);
  w.pbApply->click();
  Rules::RuleRecord everything;
  everything.RuleName = "Everything";
  everything.ActionCount = 1;
  everything.ActionTypes = {Rules::kWriteToFile};
  everything.ActionStrings = {QString()};
  Rules::model().rules = {everything};
  Rules::model().RuleCount = 1;
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);
  w.toolButton("Restart")->trigger();
  EXPECT_EQ(items(), (Items{false, true, true, false, true}));
  EXPECT_TRUE(m_dialogs.messages.empty()) << m_dialogs.messages[0].text.toStdString();

  QUdpSocket sender;
  const QByteArray datagram = "<13>client end-to-end test";
  EXPECT_TRUE(eventually([&] {
    sender.writeDatagram(datagram, QHostAddress::LocalHost, static_cast<quint16>(port));
    return logged(logs).contains("client end-to-end test");
  }));

  w.mnuStopCorvantel->trigger();
  EXPECT_EQ(items(), (Items{false, true, false, true, false}));
}

// An uninstall that the daemon program refuses (here: run by a user without
// rights) is reported with the program's own words, and the client stays.
TEST_F(MainWindowServiceTest, AFailedUninstallIsShownAndTheClientStays) {
  frmMain& w = open();
  QSignalSpy ends(&w, &frmMain::clientEnds);
  const std::filesystem::path hive = m_root.machine() / "machine.hive";
  const QString wrapper = QString::fromStdString((m_root.base() / "corvantd").string());
  QFile script(wrapper);
  ASSERT_TRUE(script.open(QIODevice::WriteOnly));
  if (::geteuid() == 0) {
    std::filesystem::permissions(m_root.base(), std::filesystem::perms(0755));
    std::filesystem::permissions(m_root.machine(), std::filesystem::perms(0755));
    script.write("#!/bin/sh\nexec setpriv --reuid=nobody --regid=nogroup --clear-groups " CORVANTD_PATH " \"$@\"\n");
  } else {
    std::filesystem::permissions(hive, std::filesystem::perms::none);
    script.write("#!/bin/sh\nexec " CORVANTD_PATH " \"$@\"\n");
  }
  script.close();
  script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther | QFile::ReadOther);
  Global::setDaemonProgramPathForTesting(wrapper);

  w.mnuFileUninstallService->trigger();
  std::filesystem::permissions(hive, std::filesystem::perms(0600));
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_EQ(m_dialogs.messages[0].text,
            "Error while Uninstalling the Service: exit code 1\r\nCould not remove TolvaneCorvantel. Error 5");
  EXPECT_EQ(ends.count(), 0);
  EXPECT_EQ(WinNTServices::QueryNTServiceState(QString(), "TolvaneCorvantel"), SERVICE_STOPPED);
}

}  // namespace

#include "frmMain_test.moc"
