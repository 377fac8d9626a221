#include "client_settings.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <fstream>
#include <utility>
#include <vector>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "temp_root.h"

namespace {

using namespace ClientSettings;

bool keyExists(HKEY hive) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(hive, Global::kClientKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

class ClientSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    resetToDefaults();
    setRealtimeCheckBoxes = nullptr;
  }
  void TearDown() override {
    Global::reset();
    resetToDefaults();
    setRealtimeCheckBoxes = nullptr;
    Messages::SetLanguage(Messages::kEnglish);
  }

  // Writes machine values the way another client would have left them.
  void storeMachine(const std::vector<std::pair<const char*, QString>>& strings,
                    const std::vector<std::pair<const char*, std::int32_t>>& numbers) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kClientKeyPath, &key), ERROR_SUCCESS);
    for (const auto& [name, text] : strings) Registry::SetStringValue(key, name, text);
    for (const auto& [name, value] : numbers) Registry::SetNumberValue(key, name, value);
    RegCloseKey(key);
  }

  platform::testing::TempPlatformRoot m_root;
};

TEST_F(ClientSettingsTest, WithoutClientKeysEveryValueHasItsDefaultAndOnlyTheMachineKeyIsCreated) {
  nInterActiveSyslogPort = 1;  // left over from an earlier computer
  szFileExtension = "log";
  Initiate_Client_Startup();
  EXPECT_EQ(nInterActiveSyslogPort, 514);
  EXPECT_EQ(nMessageBufferSize, 60);
  EXPECT_EQ(szFileBaseName, "Syslog");
  EXPECT_EQ(szFileExtension, "txt");
  EXPECT_EQ(nUnique, 0);
  EXPECT_EQ(nWriteLogfile, 0);
  EXPECT_EQ(nClientResolveName, 0);
  EXPECT_NE(Global::hClientKeyMachine, nullptr);
  EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE));
  // The user key is the start-up window's to create.
  EXPECT_EQ(Global::hClientKeyUser, nullptr);
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER));
  EXPECT_EQ(Global::nLastRegError, ERROR_SUCCESS);
}

TEST_F(ClientSettingsTest, StoredValuesAreReadAndTheRealtimeFlagsCountOnlyWhenExactlyOne) {
  storeMachine({{"szFileBaseName", "/var/log/corvantel/realtime"}, {"szFileExtension", "log"}},
               {{"nInterActiveSyslogPort", 1514},
                {"nMessageBufferSize", 5000},
                {"nUnique", 7},
                {"nWriteLogfile", 1},
                {"nClientResolveName", 2}});
  std::vector<std::pair<bool, bool>> calls;
  setRealtimeCheckBoxes = [&](bool writeLogfile, bool resolve) { calls.emplace_back(writeLogfile, resolve); };
  Initiate_Client_Startup();
  EXPECT_EQ(nInterActiveSyslogPort, 1514);
  EXPECT_EQ(nMessageBufferSize, 5000);
  EXPECT_EQ(szFileBaseName, "/var/log/corvantel/realtime");
  EXPECT_EQ(szFileExtension, "log");
  EXPECT_EQ(nUnique, 7);
  EXPECT_EQ(nWriteLogfile, 1);
  EXPECT_EQ(nClientResolveName, 2);
  EXPECT_EQ(calls, (std::vector<std::pair<bool, bool>>{{true, false}}));
}

TEST_F(ClientSettingsTest, AnUnusableMachineHiveLeavesDefaultsWithoutComplaint) {
  // The machine root lies below a plain file, so its hive can be neither
  // opened nor created.
  const std::filesystem::path blocker = m_root.base() / "blocker";
  std::ofstream(blocker) << "not a folder";
  qputenv("CORVANTEL_ROOT", QByteArray::fromStdString((blocker / "machine").string()));
  Initiate_Client_Startup();
  EXPECT_EQ(Global::hClientKeyMachine, nullptr);
  EXPECT_NE(Global::nLastRegError, ERROR_SUCCESS);
  EXPECT_EQ(nInterActiveSyslogPort, 514);
  EXPECT_EQ(szFileBaseName, "Syslog");
  saveOptionValues();  // writes go nowhere, quietly
}

TEST_F(ClientSettingsTest, LanguageListHasFourEntriesWithTheirPositionsAndCodes) {
  const QStringList entries{"English", "Deutsch", "Japanese", QString::fromUtf8("Espa\xC3\xB1ol")};
  const QStringList codes{"EN", "DE", "JP", "ES"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(languageEntryAt(i), entries[i]);
    EXPECT_EQ(languageCodeAt(i), codes[i]);
    EXPECT_EQ(languagePositionOf(codes[i]), i);
  }
  EXPECT_EQ(languageEntryAt(4), "");
  EXPECT_EQ(languageCodeAt(-1), "");
  EXPECT_EQ(languageCodeAt(4), "");
  for (const char* unknown : {"", "FR", "de", "EN "}) EXPECT_EQ(languagePositionOf(unknown), -1) << unknown;
}

}  // namespace
