// The main window's commands that run the daemon program itself: install and
// remove the service, and show the daemon's version.
//
// The daemon program is Global::daemonProgramPath() (beside the client) when
// that file exists, else "corvantd" as found on PATH. It runs with the
// client's environment, so it works on the same platform root.
#pragma once

#include <QString>
#include <chrono>

class QWidget;

namespace ServiceCommands {

enum class Outcome {
  KeepRunning,  // nothing started; the client goes on
  EndClient,    // the daemon program was started: the caller ends the client
};

// The daemon program to run: the one beside the client, or the one on PATH;
// empty when neither exists.
QString daemonProgram();

// Runs "<daemon> -i" and waits for it (it ends within a second; at most
// `timeout`, after which it is killed). When it succeeds (exit status 0, which
// includes "already installed"), shows text 205 and returns EndClient: the
// user restarts the client to see the new state. Otherwise an error box with
// text 1019, then text 2108 and the exit status (or text 2109 when it was
// ended by a signal, 2110 when it did not end in time), CR LF and what the
// program printed on its standard output and error, and KeepRunning. When the
// program cannot be started at all: the box holds text 1019, the error number,
// CR LF and the system's text of it (2 no program, 5 not executable, 193 not a
// program this system can run), and KeepRunning.
Outcome installService(QWidget* parent = nullptr, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The same with "-u", text 206, and text 1021 on failure.
Outcome uninstallService(QWidget* parent = nullptr, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// "Service Version": one information box, titled with text 59, holding
//   text 301 and the daemon program's product version ("3.70.124", or
//   "0.0.0" without a readable version resource),
//   the program's path,
//   a blank line and what "<daemon> -v" prints (its version and whether the
//   service is installed on this computer), with CR LF line ends.
// The -v part is left out when the program cannot be run or does not end
// within `timeout` (it is then killed). The box is shown in every case, so the
// command never passes silently.
void showServiceVersion(QWidget* parent = nullptr,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace ServiceCommands
