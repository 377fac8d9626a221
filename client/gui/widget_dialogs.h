// The client's real dialogs behind the seam of dialogs.h: Qt's message box and
// file dialogs, and the client's own input box.
#pragma once

namespace Dialogs {

// Makes the real dialogs the default host. The program calls it at start, and
// so does the window tests' main.
void installWidgetDialogs();

}  // namespace Dialogs
