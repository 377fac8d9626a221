// Windows Sockets on top of BSD sockets. The socket calls themselves (socket,
// bind, sendto, recvfrom, ...) are the C library's; what Windows adds is here:
// start-up and clean-up, the SOCKET type, closesocket, and the per-thread last
// socket error with its Windows Sockets numbers, so that every error text reads
// as on Windows.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/types.h"

using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

struct WSADATA {
  WORD wVersion;      // the version the caller is to use
  WORD wHighVersion;  // the highest version the platform offers (2.2)
  char szDescription[257];
  char szSystemStatus[129];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};
using LPWSADATA = WSADATA*;

constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }
constexpr BYTE LOBYTE(WORD w) { return static_cast<BYTE>(w & 0xFF); }
constexpr BYTE HIBYTE(WORD w) { return static_cast<BYTE>(w >> 8); }

// Windows Sockets error numbers.
inline constexpr int WSABASEERR = 10000;
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSASYSCALLFAILURE = 10107;
inline constexpr int WSATYPE_NOT_FOUND = 10109;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// Versions 1.0 to 2.2 are offered; a request above 2.2 gets 2.2, one below 1.0
// WSAVERNOTSUPPORTED. Each successful call must be matched by WSACleanup.
int WSAStartup(WORD versionRequested, LPWSADATA data);
// SOCKET_ERROR with WSANOTINITIALISED when there is no start-up left to end.
int WSACleanup();

// The last socket error of the calling thread: the one set with WSASetLastError,
// unless a C library call has failed since, whose errno is then mapped.
int WSAGetLastError();
void WSASetLastError(int error);

// close(); the descriptor is released even when SOCKET_ERROR is returned.
int closesocket(SOCKET s);

namespace platform {

// errno to the Windows Sockets number (0 stays 0). Values without a Windows
// counterpart give WSASYSCALLFAILURE, never a number that names another error.
int wsaErrorFromErrno(int error);
// h_errno of a name look-up (HOST_NOT_FOUND ...) to WSAHOST_NOT_FOUND ... WSANO_DATA.
int wsaErrorFromHErrno(int error);
// A getaddrinfo/getnameinfo result (EAI_...) to the same numbers; EAI_SYSTEM maps errno.
int wsaErrorFromAddrInfo(int error);

// Number of WSAStartup calls not yet ended by WSACleanup.
int winsockStartupCount();

}  // namespace platform
