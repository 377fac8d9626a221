// Socket errors that say a peer (a mail server, a syslog server) cannot be
// reached at all, so that the next message to it would meet them too: it
// refuses connections or does not answer them, or no route leads to it. The
// actions mark such failures as output failures (CErrorReport).
//
// Left out on purpose, since they need not last or are not the peer's: a reset
// connection, a full buffer (WSAENOBUFS), too many open sockets, a refused
// broadcast (WSAEACCES), a datagram too long (WSAEMSGSIZE).
#pragma once

#include <cstdint>

#include "platform/winsock.h"

inline bool isUnreachablePeer(std::int32_t wsaCode) {
  switch (wsaCode) {
    case WSAECONNREFUSED:
    case WSAETIMEDOUT:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case WSAEHOSTDOWN:
      return true;
    default:
      return false;
  }
}
