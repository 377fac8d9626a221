// corvantd: the Corvantel service program.
//
// With -h, -v, -i or -u it prints help or version information, or installs or
// removes the service, and exits: status 1 when installing or removing failed,
// 0 otherwise. Started by the service control manager it runs the service and
// exits with the service's exit code. Started any other way the manager
// refuses it (1063) and it exits 0 without output.
#include <cstdio>
#include <cstdlib>

#include "service/CQuenraSrvc.h"

int main(int argc, char** argv) {
  CQuenraSrvc service;
  int exitCode;
  if (service.ParseStandardArgs(argc, argv)) {
    exitCode = service.getCommandExitCode();
  } else {
    service.StartService();
    exitCode = static_cast<int>(service.getStatus().dwWin32ExitCode);
  }
  if (service.hasAbandonedThread()) {
    // The receive thread still runs an action and uses the process's objects:
    // end without destroying them under it.
    std::fflush(nullptr);
    std::_Exit(exitCode);
  }
  return exitCode;
}
