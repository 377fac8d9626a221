// Global: the state that every part of the client shares: the open registry
// keys of the computer being administered, which computer that is, and the
// flags and status texts the main window and its pages go by. A key handle
// that was never opened is null.
#pragma once

#include <QString>
#include <cstdint>

#include "platform/registry.h"

namespace Global {

// The daemon's keys under HKEY_LOCAL_MACHINE.
inline constexpr char kParametersKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters";
inline constexpr char kRulesKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters\\Rules";
// The client's own key, under both hives.
inline constexpr char kClientKeyPath[] = "SOFTWARE\\Tolvane\\Corvantel\\Client";
// What szConnectedComputer holds while this computer is administered.
inline constexpr char kLocalComputer[] = "LOCALHOST";

inline HKEY hParametersKey = nullptr;
inline HKEY hRulesKey = nullptr;
inline HKEY hClientKeyMachine = nullptr;
inline HKEY hClientKeyUser = nullptr;
// Result of the last registry open, create or value deletion.
inline LONG nLastRegError = 0;
// 2: a Windows NT family platform (every Linux computer counts as one); 1: 9x.
inline std::int32_t nTargetPlatform = 0;
inline QString szConnectedComputer = kLocalComputer;
inline bool bParametersOpen = false;
inline bool bRulesKeyCreated = false;
inline bool bNoRulesDefined = false;
inline bool bDaemonProgramFound = false;
inline QString szReadyText;
inline QString szStatusText;
inline QString szConnectionText;

// The daemon program beside the client ("corvantd" in the client's own
// folder), or the one a test put in its place.
QString daemonProgramPath();
void setDaemonProgramPathForTesting(const QString& path);  // empty: the real one

// True for the names that mean this computer: empty, or exactly "LOCALHOST".
bool isLocalComputer(const QString& computer);

// Closes the open keys and returns every item to its start value (tests, and a
// change of computer before the keys are opened again).
void reset();

}  // namespace Global
