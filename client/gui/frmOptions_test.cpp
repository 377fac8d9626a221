#include "frmOptions.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "client_settings.h"
#include "scripted_dialogs.h"
#include "window_testing.h"
#include "temp_root.h"

namespace {

namespace CS = ClientSettings;

// Every value of the client's key under `hive`, as "name=value" lines.
QStringList stored(HKEY hive) {
  QStringList values;
  HKEY key = nullptr;
  if (RegOpenKeyExA(hive, Global::kClientKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return values;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD nameSize = sizeof name;
    DWORD type = 0;
    if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) break;
    const QString value = type == REG_DWORD ? QString::number(Registry::QueryDWordValue(key, name, -1))
                                            : Registry::QueryStringValue(key, name, "?");
    values << QString::fromLatin1(name) + "=" + value;
  }
  RegCloseKey(key);
  return values;
}

class OptionsWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    CS::resetToDefaults();
    CS::Initiate_Client_Startup();
    ASSERT_TRUE(CS::createUserKey());
    CS::szLanguage = "EN";
  }
  void TearDown() override {
    delete m_window.data();
    Global::reset();
    CS::resetToDefaults();
    Messages::SetLanguage(Messages::kEnglish);
  }

  frmOptions* load() {
    m_window = new frmOptions;
    return m_window;
  }
  // Lets a window that unloaded itself go.
  static void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

  platform::testing::TempPlatformRoot m_root;
  ScriptedDialogs m_dialogs;
  QPointer<frmOptions> m_window;
};

TEST_F(OptionsWindowTest, PortAbove65535ShowsText213AndIsSetBack) {
  frmOptions* w = load();
  w->txtInterActiveSyslogPort->clear();
  QTest::keyClicks(w->txtInterActiveSyslogPort, "70000");
  EXPECT_EQ(w->txtInterActiveSyslogPort->text(), "65535");
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, Messages::GetMessageText(213));
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);

  w->txtInterActiveSyslogPort->clear();
  QTest::keyClicks(w->txtInterActiveSyslogPort, "6a5-5.3x5");
  EXPECT_EQ(w->txtInterActiveSyslogPort->text(), "65535");  // letters and signs cannot be typed
  EXPECT_EQ(m_dialogs.messages.size(), 1u);
}

TEST_F(OptionsWindowTest, BufferSizeAboveItsLimitIsSetBackSilently) {
  frmOptions* w = load();
  for (const char* typed : {"2147483641", "2147483647", "99999999999999"}) {
    w->txtMessageBufferSize->clear();
    QTest::keyClicks(w->txtMessageBufferSize, typed);
    EXPECT_EQ(w->txtMessageBufferSize->text(), "2147483640") << typed;
  }
  EXPECT_TRUE(m_dialogs.messages.empty());
}

TEST_F(OptionsWindowTest, OkWritesEveryValueAndUnloadsAndClearedTextsBringTheDefaultsBack) {
  frmOptions* w = load();
  w->txtInterActiveSyslogPort->setText("1514");
  w->txtMessageBufferSize->setText("2147483640");
  w->txtFileBaseName->setText("/tmp/realtime");
  w->txtFileExtension->setText("log");
  w->chkUnique->setChecked(true);
  w->cmdOK->click();
  EXPECT_EQ(CS::nMessageBufferSize, 2147483640);
  EXPECT_EQ(CS::szFileExtension, "log");
  EXPECT_EQ(stored(HKEY_LOCAL_MACHINE),
            QStringList({"nInterActiveSyslogPort=1514", "nMessageBufferSize=2147483640", "nUnique=1",
                         "szFileBaseName=/tmp/realtime", "szFileExtension=log"}));
  EXPECT_EQ(stored(HKEY_CURRENT_USER), QStringList({"szLanguage=EN"}));
  EXPECT_TRUE(m_dialogs.messages.empty());
  settle();
  EXPECT_TRUE(m_window.isNull());

  w = load();
  EXPECT_EQ(w->txtFileExtension->text(), "log");
  EXPECT_TRUE(w->chkUnique->isChecked());
  w->txtFileExtension->clear();
  w->txtFileBaseName->clear();
  w->cmdOK->click();
  EXPECT_FALSE(stored(HKEY_LOCAL_MACHINE).join(",").contains("szFile"));
  CS::Initiate_Client_Startup();
  EXPECT_EQ(CS::szFileExtension, "txt");
  EXPECT_EQ(CS::szFileBaseName, "Syslog");
}

TEST_F(OptionsWindowTest, BlankNumbersAtOkTakeTheirDefaultsAndOnlyTheBlankPortIsReported) {
  for (const char* buffer : {"", "0", "0000"}) {
    CS::nInterActiveSyslogPort = 10514;
    CS::nMessageBufferSize = 500;
    m_dialogs.messages.clear();
    frmOptions* w = load();
    w->txtInterActiveSyslogPort->clear();
    w->txtMessageBufferSize->setText(buffer);
    w->cmdOK->click();
    ASSERT_EQ(m_dialogs.messages.size(), 1u) << buffer;
    EXPECT_EQ(m_dialogs.messages[0].text, Messages::GetMessageText(212));
    EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
    EXPECT_EQ(CS::nInterActiveSyslogPort, 514);
    EXPECT_EQ(CS::nMessageBufferSize, 60) << buffer;
    const QStringList values = stored(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(values.contains("nInterActiveSyslogPort=514") && values.contains("nMessageBufferSize=60"))
        << buffer;
    settle();
  }
}

TEST_F(OptionsWindowTest, ChoosingDeutschSwitchesTheLanguageAtOnceAndStoresDE) {
  frmOptions* w = load();
  int calls = 0;
  QString languageSeen, ownTitleSeen;
  w->onLanguageChanged = [&] {
    ++calls;
    languageSeen = Messages::Language();
    ownTitleSeen = w->windowTitle();
  };
  EXPECT_EQ(w->lsLanguage->currentText(), "English");
  w->lsLanguage->setCurrentIndex(1);
  w->cmdOK->click();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(languageSeen, "DE");
  EXPECT_EQ(ownTitleSeen, Messages::catalogueFor("EN").at(310));  // the main window first, then this one
  EXPECT_EQ(w->windowTitle(), Messages::catalogueFor("DE").at(310));
  EXPECT_EQ(Messages::GetMessageText(33), Messages::catalogueFor("DE").at(33));
  EXPECT_EQ(stored(HKEY_CURRENT_USER), QStringList({"szLanguage=DE"}));
  EXPECT_FALSE(stored(HKEY_LOCAL_MACHINE).join(",").contains("szLanguage"));
}

TEST_F(OptionsWindowTest, AnUnknownStoredLanguageIsKeptWhenNoEntryIsSelected) {
  CS::szLanguage = "FR";  // written by hand; no entry stands for it
  frmOptions* w = load();
  int calls = 0;
  w->onLanguageChanged = [&] { ++calls; };
  EXPECT_EQ(w->lsLanguage->currentIndex(), -1);
  w->cmdOK->click();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(CS::szLanguage.code(), "FR");
  EXPECT_EQ(stored(HKEY_CURRENT_USER), QStringList({"szLanguage=FR"}));
}

TEST_F(OptionsWindowTest, CancelWritesNothingAndTheNextOpeningShowsWhatWasLeft) {
  QPointer<frmOptions> first;
  whenModalOpens([&](QWidget* modal) {
    auto* w = qobject_cast<frmOptions*>(modal);
    ASSERT_NE(w, nullptr);
    first = w;
    w->txtInterActiveSyslogPort->setText("1234");
    w->txtMessageBufferSize->setText("99");
    w->txtFileBaseName->setText("/tmp/left");
    w->txtFileExtension->setText("csv");
    w->chkUnique->setChecked(true);
    w->lsLanguage->setCurrentIndex(2);
    w->cmdCancel->click();
  });
  frmOptions::Show(m_window, nullptr, [] { ADD_FAILURE() << "the language must not change"; });
  settle();
  ASSERT_FALSE(m_window.isNull());  // hidden, still loaded
  EXPECT_FALSE(m_window->isVisible());
  EXPECT_TRUE(stored(HKEY_LOCAL_MACHINE).isEmpty());
  EXPECT_TRUE(stored(HKEY_CURRENT_USER).isEmpty());
  EXPECT_EQ(CS::szFileBaseName, "Syslog");

  QStringList seen;
  whenModalOpens([&](QWidget* modal) {
    auto* w = qobject_cast<frmOptions*>(modal);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w, first.data());
    seen << w->txtInterActiveSyslogPort->text() << w->txtMessageBufferSize->text()
         << w->txtFileBaseName->text() << w->txtFileExtension->text()
         << (w->chkUnique->isChecked() ? "checked" : "clear") << w->lsLanguage->currentText();
    QTest::keyClick(w, Qt::Key_Escape);  // Escape is Cancel as well
  });
  frmOptions::Show(m_window, nullptr, {});
  EXPECT_EQ(seen, QStringList({"514", "60", "/tmp/left", "csv", "checked", "Japanese"}));
  EXPECT_TRUE(stored(HKEY_LOCAL_MACHINE).isEmpty());
}

TEST_F(OptionsWindowTest, TheCloseBoxUnloadsWithoutWriting) {
  whenModalOpens([](QWidget* modal) {
    auto* w = qobject_cast<frmOptions*>(modal);
    w->txtFileExtension->setText("not saved");
    w->close();
  });
  frmOptions::Show(m_window, nullptr, {});
  settle();
  EXPECT_TRUE(m_window.isNull());
  EXPECT_EQ(CS::szFileExtension, "txt");
  EXPECT_TRUE(stored(HKEY_LOCAL_MACHINE).isEmpty());
}

TEST_F(OptionsWindowTest, BrowseTakesTheChosenPathAndACancelledBrowseKeepsTheField) {
  CS::szFileBaseName = "/var/log/corvantel/rt";
  frmOptions* w = load();
  m_dialogs.fileAnswers.push_back("/srv/logs/realtime.txt");
  w->cmdBrowse->click();
  EXPECT_EQ(w->txtFileBaseName->text(), "/srv/logs/realtime.txt");
  ASSERT_EQ(m_dialogs.files.size(), 1u);
  EXPECT_EQ(m_dialogs.files[0].kind, Dialogs::FileDialogKind::Open);
  EXPECT_EQ(m_dialogs.files[0].directory, "/var/log/corvantel");

  w->cmdBrowse->click();  // no answer scripted: cancelled
  EXPECT_EQ(w->txtFileBaseName->text(), "/srv/logs/realtime.txt");
  EXPECT_EQ(m_dialogs.files[1].directory, "/srv/logs");
}

TEST_F(OptionsWindowTest, TheLogFileNameGrowsWithTheWindowAndAStoredPortIsNotQuestioned) {
  CS::szFileBaseName = "/var/log/corvantel/realtime-display/one-folder-per-site/berlin-gateway/realtime";
  CS::nInterActiveSyslogPort = 70000;  // written by hand
  frmOptions* w = load();
  w->show();
  QCoreApplication::processEvents();
  EXPECT_TRUE(m_dialogs.messages.empty());
  EXPECT_EQ(w->txtInterActiveSyslogPort->text(), "70000");
  const int fieldWidth = w->txtFileBaseName->width();
  const int gap = w->cmdBrowse->x() - w->txtFileBaseName->geometry().right();
  w->resize(w->width() + 300, w->height() + 300);
  QCoreApplication::processEvents();
  EXPECT_EQ(w->height(), w->minimumHeight());
  EXPECT_EQ(w->txtFileBaseName->width(), fieldWidth + 300);
  EXPECT_EQ(w->cmdBrowse->x() - w->txtFileBaseName->geometry().right(), gap);
  EXPECT_LT(w->cmdBrowse->geometry().right(), w->fraIntDisplay->width());
  EXPECT_LT(w->cmdCancel->geometry().right(), w->width());
  EXPECT_GT(w->cmdCancel->geometry().right(), w->width() - 20);
  EXPECT_FALSE(renderToPng(w, QStringLiteral("frmOptions-wide")).isEmpty());

  // The extension takes what the client reads back (255 bytes).
  w->txtFileExtension->clear();
  QTest::keyClicks(w->txtFileExtension, QString(260, u'x'));
  EXPECT_EQ(w->txtFileExtension->text().size(), 255);
}

TEST_F(OptionsWindowTest, RendersInEveryLanguage) {
  CS::szFileBaseName = "/var/log/corvantel/realtime";
  for (const char* code : {"EN", "DE", "JP", "ES"}) {
    CS::szLanguage = code;
    frmOptions* w = load();
    w->show();
    QCoreApplication::processEvents();
    EXPECT_FALSE(renderToPng(w, QStringLiteral("frmOptions-%1").arg(QLatin1String(code))).isEmpty()) << code;
    delete w;
  }
}

}  // namespace
