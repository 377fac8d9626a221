// The wire format between the platform's remote calls (RegConnectRegistry and
// the registry calls on its handles, OpenSCManager with a computer name and
// the service calls on its handles, the platform query) and `corvctl serve`
// on the far side, which the client starts through SSH:
//
//   ssh <computer> corvctl serve          (the command template is a setting)
//
// Nothing listens on the network: the far side reads requests on its
// standard input and answers on its standard output, one line each, and ends
// at end of input. Authentication and encryption are SSH's.
//
// Lines. A request is a verb and its arguments, a response is a result code
// and its results, separated by single blanks, ending in LF; no line is longer
// than kMaxLine bytes. Names and data travel as hexadecimal (lower case, two
// digits per byte, "-" for an empty text), so no field holds a blank or a line
// break; numbers are decimal. Names (of keys, values and services) are the
// bytes the ANSI (A) calls take; data is a value's bytes as stored, as the wide
// (W) calls see them (REG_SZ as UTF-16LE with its terminating zero), and QUERY's
// size counts those bytes: the near side converts for its A calls as it does
// for a value of this computer. The result code is the system error code of the
// call on the far side (0 for success, 2 not found, 5 access denied, 234 more
// data, ...). A request the far side cannot parse, or one that is longer than
// kMaxLine, is answered "87" (invalid parameter) without effect; the far side
// then reads on at the next line. A last line without its LF is cut short and
// not carried out. An answer that would be longer than kMaxLine (a value too
// large to travel) is 1450 instead.
//
// Requests and responses (h, k: handles the far side gave out; 0 is none):
//
//   HELLO <version>                 0 <version> <platformId> <installed>
//       platformId 500 (the NT family); installed 1 when the service
//       TolvaneCorvantel exists there, 0 otherwise.
//   CONNECT <root>                  0 <h>
//       root "HKLM" only; anything else is 5.
//   OPEN <h> <subkey> <sam>         0 <k> | <code>
//   CREATE <h> <subkey>             0 <k> <disposition>   (1 created, 2 opened)
//   CLOSE <h>                       0 | 6 (invalid handle)
//   QUERY <h> <name> <size>         0 <type> <data> | 234 <type> <needed> | <code>
//       size: the caller's buffer in bytes; the whole data when it fits, else
//       234 with the size needed (as RegQueryValueEx does).
//   QUERYSIZE <h> <name>            0 <type> <needed> | <code>
//       type and size only (RegQueryValueEx without a buffer).
//   SET <h> <name> <type> <data>    <code>
//   DELVALUE <h> <name>             <code>
//   DELKEY <h> <subkey>             <code>
//   ENUMVALUE <h> <index>           0 <name> <type> <data> | 259 (no more items) | <code>
//   BEGIN <h> | COMMIT <h> | ROLLBACK <h>      <code>   (the hive's write transaction)
//   SCOPEN <service>                0 <s> | <code>      (a name, in hex; 1060 not there; only
//                                                        TolvaneCorvantel, else 5)
//   SCQUERY <s>                     0 <state> | <code>  (SERVICE_STOPPED 1 ... SERVICE_RUNNING 4)
//   SCSTART <s>                     <code>
//   SCSTOP <s>                      0 <state> | <code>  (ControlService SERVICE_CONTROL_STOP)
//   SCCLOSE <s>                     <code>
//
// Scope. The far side opens keys only at or below
//   HKLM\SYSTEM\CurrentControlSet\Services\TolvaneCorvantel   (the service's record, Parameters, Rules)
//   HKLM\SOFTWARE\Tolvane\Corvantel                           (the client's machine settings)
// and the keys on the way to them for OPEN (read-only: such a handle may only
// open further). Anything else, writes through a handle on the way included,
// is 5. CREATE and DELKEY are judged by the key they name, so that a key in the
// subtrees can be created or deleted through the root handle (as the client
// saves its rules), but CREATE makes no key outside them; BEGIN, COMMIT and
// ROLLBACK change no key and take any handle. Key paths compare without regard
// to ASCII case; ".." and empty path parts are refused with 5. At most
// kMaxHandles handles are open at once; more is 1450 (no system resources).
//
// Errors on the near side, as the client sees them (RegConnectRegistry's and
// OpenSCManager's results): the command cannot be started, or ends before
// HELLO is answered (ssh's own exit 255: no route, refused, unknown host), 53
// (ERROR_BAD_NETPATH); a HELLO answer that is not this protocol (the far side
// has no corvctl: the shell's "not found", exit 127), 2; the far side answers
// CONNECT with 5, 5. A session that breaks later makes every call on its
// handles 53. A response that does not come within kTimeoutMs (kServiceTimeoutMs
// for SCSTART and SCSTOP, which wait for the service itself for up to the far
// manager's own 30 s time-outs) is 53 too, and the session is closed.
#pragma once

#include <cstddef>

namespace platform::remote {

inline constexpr int kProtocolVersion = 1;
inline constexpr std::size_t kMaxLine = 1 << 20;  // 1 MiB: a value of up to ~512 KiB
inline constexpr int kMaxHandles = 256;
inline constexpr int kTimeoutMs = 30000;
inline constexpr int kServiceTimeoutMs = 90000;
inline constexpr unsigned kPlatformNt = 500;

}  // namespace platform::remote
