#include "client_settings.h"

#include <array>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"

namespace ClientSettings {

namespace {

// What the client does with its keys: read values, write and delete them.
constexpr REGSAM kClientKeyAccess = KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE;

struct Language {
  const char16_t* entry;
  const char* code;
};
constexpr std::array<Language, kLanguageCount> kLanguages{{
    {u"English", Messages::kEnglish},
    {u"Deutsch", Messages::kGerman},
    {u"Japanese", Messages::kJapanese},
    {u"Espa\u00F1ol", Messages::kSpanish},
}};

void closeKey(HKEY& key) {
  if (key != nullptr) RegCloseKey(key);
  key = nullptr;
}

// Opens the client's key of `hive` into `handle`; the result also goes to
// Global::nLastRegError, and a failed open leaves the handle null.
bool openClientKey(HKEY hive, HKEY& handle) {
  closeKey(handle);
  Global::nLastRegError = RegOpenKeyExA(hive, Global::kClientKeyPath, 0, kClientKeyAccess, &handle);
  if (Global::nLastRegError == ERROR_SUCCESS) return true;
  handle = nullptr;
  return false;
}

bool createClientKey(HKEY hive, HKEY& handle) {
  closeKey(handle);
  Global::nLastRegError = RegCreateKeyA(hive, Global::kClientKeyPath, &handle);
  if (Global::nLastRegError == ERROR_SUCCESS) return true;
  handle = nullptr;
  return false;
}

}  // namespace

LanguageSetting& LanguageSetting::operator=(const QString& code) {
  m_code = code;
  Messages::SetLanguage(code);
  return *this;
}

void Initiate_Client_Startup() {
  openClientKey(HKEY_CURRENT_USER, Global::hClientKeyUser);
  if (!openClientKey(HKEY_LOCAL_MACHINE, Global::hClientKeyMachine))
    createClientKey(HKEY_LOCAL_MACHINE, Global::hClientKeyMachine);

  const HKEY machine = Global::hClientKeyMachine;
  nInterActiveSyslogPort = Registry::QueryDWordValue(machine, "nInterActiveSyslogPort", kDefaultSyslogPort);
  nMessageBufferSize = Registry::QueryDWordValue(machine, "nMessageBufferSize", kDefaultMessageBufferSize);
  // A path and base name may be longer than the designed 255 bytes (Browse
  // gives full paths); read it whole, or the next OK would overwrite it.
  szFileBaseName =
      Registry::QueryStringValue(machine, "szFileBaseName", kDefaultFileBaseName, nullptr, Registry::kLongStringBuffer);
  szFileExtension = Registry::QueryStringValue(machine, "szFileExtension", kDefaultFileExtension);
  nUnique = Registry::QueryDWordValue(machine, "nUnique", 0);
  nWriteLogfile = Registry::QueryDWordValue(machine, "nWriteLogfile", 0);
  nClientResolveName = Registry::QueryDWordValue(machine, "nClientResolveName", 0);

  if (setRealtimeCheckBoxes) setRealtimeCheckBoxes(nWriteLogfile == 1, nClientResolveName == 1);
}

bool openUserKey() { return openClientKey(HKEY_CURRENT_USER, Global::hClientKeyUser); }

bool createUserKey() { return createClientKey(HKEY_CURRENT_USER, Global::hClientKeyUser); }

QString readStoredLanguage() {
  return Registry::QueryStringValue(Global::hClientKeyUser, "szLanguage", QString());
}

void saveOptionValues() {
  const HKEY machine = Global::hClientKeyMachine;
  Registry::SetNumberValue(machine, "nInterActiveSyslogPort", nInterActiveSyslogPort);
  Registry::SetNumberValue(machine, "nMessageBufferSize", nMessageBufferSize);
  Registry::SetStringValue(machine, "szFileBaseName", szFileBaseName);
  Registry::SetStringValue(machine, "szFileExtension", szFileExtension);
  Registry::SetNumberValue(machine, "nUnique", nUnique);
  Registry::SetStringValue(Global::hClientKeyUser, "szLanguage", szLanguage.code());
}

void resetToDefaults() {
  nInterActiveSyslogPort = kDefaultSyslogPort;
  nMessageBufferSize = kDefaultMessageBufferSize;
  szFileBaseName = kDefaultFileBaseName;
  szFileExtension = kDefaultFileExtension;
  nUnique = 0;
  nWriteLogfile = 0;
  nClientResolveName = 0;
  szLanguage = QString();
}

QString languageCodeAt(int position) {
  if (position < 0 || position >= kLanguageCount) return {};
  return QLatin1String(kLanguages[static_cast<std::size_t>(position)].code);
}

int languagePositionOf(const QString& code) {
  for (int position = 0; position < kLanguageCount; ++position)
    if (code == QLatin1String(kLanguages[static_cast<std::size_t>(position)].code)) return position;
  return -1;
}

QString languageEntryAt(int position) {
  if (position < 0 || position >= kLanguageCount) return {};
  return QString::fromUtf16(kLanguages[static_cast<std::size_t>(position)].entry);
}

}  // namespace ClientSettings
