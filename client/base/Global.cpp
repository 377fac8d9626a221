#include "Global.h"

#include <QCoreApplication>

namespace Global {

namespace {
QString g_daemonProgramForTesting;
}

QString daemonProgramPath() {
  if (!g_daemonProgramForTesting.isEmpty()) return g_daemonProgramForTesting;
  return QCoreApplication::applicationDirPath() + QStringLiteral("/corvantd");
}

void setDaemonProgramPathForTesting(const QString& path) { g_daemonProgramForTesting = path; }

bool isLocalComputer(const QString& computer) {
  return computer.isEmpty() || computer == QLatin1String(kLocalComputer);
}

void reset() {
  for (HKEY* key : {&hParametersKey, &hRulesKey, &hClientKeyMachine, &hClientKeyUser}) {
    if (*key != nullptr) RegCloseKey(*key);
    *key = nullptr;
  }
  nLastRegError = 0;
  nTargetPlatform = 0;
  szConnectedComputer = kLocalComputer;
  bParametersOpen = bRulesKeyCreated = bNoRulesDefined = bDaemonProgramFound = false;
  szReadyText.clear();
  szStatusText.clear();
  szConnectionText.clear();
}

}  // namespace Global
