// WinNTServices: start, stop and query a service through the service control
// manager of this computer or of a connected one, and the system's text for an
// error code.
//
// A computer name that is empty or "LOCALHOST" means this computer; any other
// name is passed to the manager as the machine name.
#pragma once

#include <QString>

#include "platform/types.h"

namespace WinNTServices {

// The daemon's service.
inline constexpr char kServiceName[] = "TolvaneCorvantel";

// 0 when the manager accepted the start (the service has reported its first
// status), else the system error code of the step that failed: opening the
// manager, opening the service (1060 when it does not exist) or starting it
// (1056 when it already runs).
DWORD StartNTService(const QString& computer, const QString& service);

// 0 when the stop control was delivered, else the system error code (1062
// when the service is not running).
DWORD StopNTService(const QString& computer, const QString& service);

// What one state query found: the service's state (SERVICE_STOPPED 1 to
// SERVICE_PAUSED 7) when error is 0; otherwise the system error code of the
// step that failed, and no state.
struct ServiceState {
  DWORD state = 0;
  DWORD error = 0;
};
ServiceState queryServiceState(const QString& computer, const QString& service);

// The designed single-number form of queryServiceState: the state, or the
// error code when the query failed. The two ranges overlap (5 is both "access
// denied" and "continue pending"), so code that must tell them apart uses
// queryServiceState.
DWORD QueryNTServiceState(const QString& computer, const QString& service);

// The system's text for an error code (FormatMessage from the system table,
// inserts left as written), at most 500 characters, with the CR LF that ends
// every system text. An unknown code gives "Unknown error <code>".
QString GetSystemErrorText(DWORD code);

}  // namespace WinNTServices
