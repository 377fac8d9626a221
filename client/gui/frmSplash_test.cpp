#include "frmSplash.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "client_settings.h"
#include "scripted_dialogs.h"
#include "window_testing.h"  // renderToPng
#include "temp_root.h"

namespace {

namespace CS = ClientSettings;

// szLanguage as stored under `hive`; "<no key>" or "<no value>" when missing.
QString storedLanguage(HKEY hive) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(hive, Global::kClientKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
  const QString text = Registry::QueryStringValue(key, "szLanguage", "<no value>");
  RegCloseKey(key);
  return text;
}

class SplashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    CS::resetToDefaults();
    m_debugFile = QString::fromStdString((m_root.base() / "debug.txt").string());
    qputenv("CORVANTEL_DEBUG_OUTPUT", m_debugFile.toUtf8());
  }
  void TearDown() override {
    qunsetenv("CORVANTEL_DEBUG_OUTPUT");
    Global::reset();
    CS::resetToDefaults();
    Messages::SetLanguage(Messages::kEnglish);
  }

  // A splash whose "main window" only counts how often it was shown.
  std::unique_ptr<frmSplash> makeSplash() {
    return std::make_unique<frmSplash>([this] { ++m_mainWindowShown; });
  }

  QByteArray debugOutput() const {
    QFile file(m_debugFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  void storeUserLanguage(const QString& code) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, Global::kClientKeyPath, &key), ERROR_SUCCESS);
    Registry::SetStringValue(key, "szLanguage", code);  // an empty code deletes it
    RegCloseKey(key);
  }

  // What the user sees while the splash waits for a language.
  static void expectLanguageQuestion(frmSplash& splash, const char* reason) {
    EXPECT_EQ(splash.lblFirstTime->text(), reason);
    EXPECT_FALSE(splash.lsLanguage->isHidden() || splash.cmdStart->isHidden());
    EXPECT_EQ(splash.lsLanguage->count(), 4);
    EXPECT_EQ(splash.lsLanguage->currentText(), "English");
  }

  platform::testing::TempPlatformRoot m_root;
  QString m_debugFile;
  int m_mainWindowShown = 0;
};

TEST_F(SplashTest, FirstStartCreatesTheUserKeyAndAsksForALanguage) {
  auto splash = makeSplash();
  splash->show();
  QCoreApplication::processEvents();  // the activation follows the first showing
  expectLanguageQuestion(*splash, "This window appears only the first Time");
  EXPECT_EQ(m_mainWindowShown, 0);
  EXPECT_EQ(storedLanguage(HKEY_CURRENT_USER), "<no value>");  // the key exists now
  EXPECT_NE(Global::hClientKeyUser, nullptr);
  EXPECT_EQ(debugOutput(), "Generating Client User RegKey\r\n");

  // Showing it again does not activate it again.
  splash->hide();
  splash->show();
  QCoreApplication::processEvents();
  EXPECT_EQ(debugOutput(), "Generating Client User RegKey\r\n");
}

TEST_F(SplashTest, AUserKeyWithoutALanguageAsksAgain) {
  storeUserLanguage("");
  auto splash = makeSplash();
  splash->Form_Activate();
  expectLanguageQuestion(*splash, "Language settings not found.");
  EXPECT_EQ(m_mainWindowShown, 0);
  EXPECT_EQ(debugOutput(), "");
}

TEST_F(SplashTest, AStoredLanguagePassesStraightThroughToTheMainWindow) {
  storeUserLanguage("DE");
  auto splash = makeSplash();
  splash->show();
  QCoreApplication::processEvents();
  EXPECT_EQ(m_mainWindowShown, 1);
  EXPECT_EQ(Messages::Language(), "DE");
  EXPECT_EQ(splash->lblFirstTime->text(), "Starting Corvantel Client");
  EXPECT_TRUE(splash->lsLanguage->isHidden() && splash->cmdStart->isHidden());
  EXPECT_TRUE(splash->isVisible());  // until the main window's start-up unloads it

  for (int step = 1; step <= frmSplash::kStartSteps; ++step) splash->setProgress(step);
  EXPECT_EQ(splash->PBStart->value(), splash->PBStart->maximum());
  splash->unload();
  splash->unload();
  EXPECT_FALSE(splash->isVisible());
  EXPECT_EQ(m_mainWindowShown, 1);
}

TEST_F(SplashTest, StartStoresTheChosenCodeUnderTheCurrentUserAndShowsTheMainWindow) {
  auto splash = makeSplash();
  splash->show();
  splash->Form_Activate();
  splash->lsLanguage->setCurrentIndex(3);
  splash->cmdStart->click();
  EXPECT_EQ(m_mainWindowShown, 1);
  EXPECT_FALSE(splash->isVisible());
  EXPECT_EQ(storedLanguage(HKEY_CURRENT_USER), "ES");
  EXPECT_EQ(storedLanguage(HKEY_LOCAL_MACHINE), "<no key>");
  EXPECT_EQ(Messages::Language(), "ES");
}

TEST_F(SplashTest, ASecondUserChoosesALanguageOnceButSharesTheMachineValues) {
  // The first user chooses German; the realtime options are the computer's.
  auto first = makeSplash();
  first->Form_Activate();
  first->lsLanguage->setCurrentIndex(1);
  first->cmdStart->click();
  CS::Initiate_Client_Startup();
  Registry::SetNumberValue(Global::hClientKeyMachine, "nInterActiveSyslogPort", 1514);
  Registry::SetStringValue(Global::hClientKeyMachine, "szFileBaseName", "/var/log/corvantel/rt");

  // Another user logs on to the same computer: same machine hive, own user hive.
  const std::string secondUser = (m_root.base() / "second-user").string();
  const QByteArray firstUser = qgetenv("CORVANTEL_USER_ROOT");
  qputenv("CORVANTEL_USER_ROOT", QByteArray::fromStdString(secondUser));
  Global::reset();
  CS::resetToDefaults();
  auto second = makeSplash();
  second->Form_Activate();
  expectLanguageQuestion(*second, "This window appears only the first Time");
  EXPECT_EQ(m_mainWindowShown, 1);
  second->lsLanguage->setCurrentIndex(2);
  second->cmdStart->click();
  CS::Initiate_Client_Startup();
  EXPECT_EQ(CS::szLanguage.code(), "JP");
  EXPECT_EQ(CS::nInterActiveSyslogPort, 1514);
  EXPECT_EQ(CS::szFileBaseName, "/var/log/corvantel/rt");
  EXPECT_EQ(storedLanguage(HKEY_CURRENT_USER), "JP");

  Global::reset();
  qputenv("CORVANTEL_USER_ROOT", firstUser);
  EXPECT_EQ(storedLanguage(HKEY_CURRENT_USER), "DE");
}

TEST_F(SplashTest, RendersBothStatesInEveryLanguage) {
  for (const char* code : {"EN", "DE", "JP", "ES"}) {
    Global::reset();
    storeUserLanguage("");
    auto asking = makeSplash();
    asking->show();
    asking->Form_Activate();
    QCoreApplication::processEvents();
    EXPECT_FALSE(renderToPng(asking.get(), QStringLiteral("frmSplash-Asking-%1").arg(code)).isEmpty());

    storeUserLanguage(code);
    Global::reset();
    auto starting = makeSplash();
    starting->show();
    starting->Form_Activate();
    starting->setProgress(3);
    QCoreApplication::processEvents();
    EXPECT_EQ(CS::szLanguage.code(), code);
    EXPECT_FALSE(renderToPng(starting.get(), QStringLiteral("frmSplash-Starting-%1").arg(code)).isEmpty());
  }
}

}  // namespace
