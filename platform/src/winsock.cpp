#include "platform/winsock.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

std::atomic<int> g_startups{0};

// WSASetLastError leaves this value in errno, so that WSAGetLastError can tell
// "set by WSASetLastError" from "a C library call failed since" without another
// hook into every socket call. No errno of Linux comes near it.
constexpr int kErrnoHoldsWsaError = 0x7EAD;
thread_local int t_wsaError = 0;

}  // namespace

int WSAStartup(WORD versionRequested, LPWSADATA data) {
  if (data == nullptr) return WSAEFAULT;
  const BYTE major = LOBYTE(versionRequested);
  const BYTE minor = HIBYTE(versionRequested);
  std::memset(data, 0, sizeof(*data));
  data->wHighVersion = MAKEWORD(2, 2);
  if (major < 1) {
    data->wVersion = MAKEWORD(2, 2);
    return WSAVERNOTSUPPORTED;
  }
  data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? MAKEWORD(2, 2) : versionRequested;
  std::strcpy(data->szDescription, "Corvantel Windows Sockets on BSD sockets");
  std::strcpy(data->szSystemStatus, "Running");
  data->iMaxSockets = 0;  // no limit beyond the process's descriptors
  data->iMaxUdpDg = 0;
  g_startups.fetch_add(1);
  return 0;
}

int WSACleanup() {
  int current = g_startups.load();
  while (current > 0 && !g_startups.compare_exchange_weak(current, current - 1)) {
  }
  if (current <= 0) {
    WSASetLastError(WSANOTINITIALISED);
    return SOCKET_ERROR;
  }
  return 0;
}

int WSAGetLastError() {
  const int error = errno;
  return error == kErrnoHoldsWsaError ? t_wsaError : platform::wsaErrorFromErrno(error);
}

void WSASetLastError(int error) {
  t_wsaError = error;
  errno = error == 0 ? 0 : kErrnoHoldsWsaError;
}

int closesocket(SOCKET s) {
  // Linux releases the descriptor even when close fails (EINTR, EIO); retrying
  // could close a descriptor another thread has just been given.
  if (::close(s) == 0 || errno == EINTR) return 0;
  return SOCKET_ERROR;
}

namespace platform {

int wsaErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAEBADF;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EWOULDBLOCK:
      return WSAEWOULDBLOCK;
    case EINPROGRESS:
      return WSAEINPROGRESS;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
    case EPIPE:
      return WSAESHUTDOWN;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    default:
      return WSASYSCALLFAILURE;
  }
}

int wsaErrorFromHErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case HOST_NOT_FOUND:
      return WSAHOST_NOT_FOUND;
    case TRY_AGAIN:
      return WSATRY_AGAIN;
    case NO_RECOVERY:
      return WSANO_RECOVERY;
    case NO_DATA:
      return WSANO_DATA;
    default:
      return WSANO_RECOVERY;
  }
}

int wsaErrorFromAddrInfo(int error) {
  switch (error) {
    case 0:
      return 0;
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
#endif
    case EAI_FAMILY:
      return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE:
      return WSAESOCKTNOSUPPORT;
    case EAI_SERVICE:
      return WSATYPE_NOT_FOUND;
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_SYSTEM:
      return wsaErrorFromErrno(errno);
    default:
      return WSANO_RECOVERY;
  }
}

int winsockStartupCount() { return g_startups.load(); }

}  // namespace platform
