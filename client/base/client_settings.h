// The client's own settings: the realtime display's values, kept for the
// whole computer under HKEY_LOCAL_MACHINE, and the interface language, kept
// per user under HKEY_CURRENT_USER, both in Global::kClientKeyPath. They are
// always this computer's: administering another computer does not move them.
//
// The values live in the client-wide variables below between start-up and
// exit; Initiate_Client_Startup reads them, the options window changes them
// in memory and in the registry together.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>


namespace ClientSettings {

// The interface language code ("EN", "DE", "JP", "ES"; empty while none has
// been chosen). Assigning it also switches the message catalogue, so every
// look-up from then on follows it.
class LanguageSetting {
 public:
  LanguageSetting& operator=(const QString& code);
  const QString& code() const { return m_code; }
  operator const QString&() const { return m_code; }
  bool isEmpty() const { return m_code.isEmpty(); }

 private:
  QString m_code;
};

// Defaults, used whenever a value is missing or cannot be read.
inline constexpr std::int32_t kDefaultSyslogPort = 514;
inline constexpr std::int32_t kDefaultMessageBufferSize = 60;
inline constexpr char kDefaultFileBaseName[] = "Syslog";
inline constexpr char kDefaultFileExtension[] = "txt";

// Under HKEY_LOCAL_MACHINE.
inline std::int32_t nInterActiveSyslogPort = kDefaultSyslogPort;
inline std::int32_t nMessageBufferSize = kDefaultMessageBufferSize;  // most rows the realtime grid keeps
inline QString szFileBaseName = kDefaultFileBaseName;                // path and base name of the client's log
inline QString szFileExtension = kDefaultFileExtension;
inline std::int32_t nUnique = 0;             // not 0: the date goes into the log file's name
inline std::int32_t nWriteLogfile = 0;       // 1: received messages also go to the log file
inline std::int32_t nClientResolveName = 0;  // 1: show the sender's host name, not its address
// Under HKEY_CURRENT_USER.
inline LanguageSetting szLanguage;

// Set by the realtime page: Initiate_Client_Startup calls it with the two
// flags it read ("Write Logfile" when nWriteLogfile is 1, "Resolve Host names"
// when nClientResolveName is 1) so that the page's check boxes, and what they
// switch, follow the stored values. While it is unset the values are only kept.
inline std::function<void(bool writeLogfile, bool clientResolveName)> setRealtimeCheckBoxes;

// Opens the client's key under HKEY_CURRENT_USER into Global::hClientKeyUser
// and under HKEY_LOCAL_MACHINE into Global::hClientKeyMachine (creating the
// machine key when it is missing; the user key is the start-up window's to
// create), then reads the machine values, each with its default, and hands
// the two realtime flags to setRealtimeCheckBoxes. Handles held from an
// earlier call are closed first. Failures are not reported: a key that cannot
// be opened leaves its handle null and its values at their defaults.
void Initiate_Client_Startup();

// Opens the user key into Global::hClientKeyUser (closing the handle held
// before). False, with the handle null, when the key does not exist.
bool openUserKey();
// Creates the user key, or opens it when it exists, into
// Global::hClientKeyUser. False, with the handle null, when that fails.
bool createUserKey();
// The stored szLanguage of the open user key; empty when there is none.
QString readStoredLanguage();

// Writes what the options window edits: nInterActiveSyslogPort,
// nMessageBufferSize, szFileBaseName, szFileExtension and nUnique to the
// machine key, then szLanguage to the user key, in that order. An empty text
// deletes its value, so that its default applies at the next start. Failures
// are not reported.
void saveOptionValues();

// Every value back to its default, szLanguage empty (tests).
void resetToDefaults();

// The language list of the start-up and options windows, in this order; each
// entry carries its position as item data.
inline constexpr int kLanguageCount = 4;
// The code of a list position ("EN", "DE", "JP", "ES"); empty for any other.
QString languageCodeAt(int position);
// The list position of a code; -1 for a code that is not one of the four.
int languagePositionOf(const QString& code);
// The list's entry at a position ("English", "Deutsch", "Japanese",
// "Español"); empty for any other.
QString languageEntryAt(int position);

}  // namespace ClientSettings
