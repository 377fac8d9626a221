#include "reception/CUDPServer.h"

#include <netdb.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "service/CErrorReport.h"
#include "service/event_ids.h"

namespace {
const char kEmptyText[1] = {'\0'};

// The same address (the port aside).
bool sameSender(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET6) {
    return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                       &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, sizeof(in6_addr)) == 0;
  }
  return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
         reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
}

[[noreturn]] void throwBindFailed(int error) {
  char text[64];
  std::snprintf(text, sizeof(text), "Can't bind to socket - ERRORCODE: %d", error);
  throw CWinSockError(kEventBindFailed, error, text);
}
}  // namespace

// The storage of one batch. Each slot has a whole receive buffer, so that a
// datagram is never copied: serving it points the current buffer at its slot.
struct CUDPServer::Batch {
  mmsghdr headers[kBatchCapacity] = {};
  iovec parts[kBatchCapacity] = {};
  sockaddr_storage senders[kBatchCapacity] = {};
  char buffers[kBatchCapacity][kReceiveBufferSize];
  // The sender last resolved by name, kept for the rest of its batch: a burst
  // from one host costs one reverse look-up per batch, not one per datagram.
  unsigned serial = 0;  // counts the batches taken
  unsigned resolvedSerial = 0;
  sockaddr_storage resolved{};
  char resolvedName[NI_MAXHOST] = {};
  // The text of the last sender's address: formatting an address costs more
  // than all the rest of taking a datagram, and bursts come from one host.
  sockaddr_storage dottedAddress{};
  bool hasDotted = false;
  char dottedName[INET6_ADDRSTRLEN] = {};

  Batch() {
    for (int i = 0; i < kBatchCapacity; ++i) {
      parts[i].iov_base = buffers[i];
      parts[i].iov_len = kReceiveBufferSize - 1;  // room for the terminating zero
      headers[i].msg_hdr.msg_iov = &parts[i];
      headers[i].msg_hdr.msg_iovlen = 1;
      headers[i].msg_hdr.msg_name = &senders[i];
    }
  }
};

CUDPServer::CUDPServer() : m_current(kEmptyText) {}

CUDPServer::~CUDPServer() = default;

void CUDPServer::Open() {
  CWinSock& socket = getSocket();
  socket.CloseSocket();
  m_count = m_next = 0;
  // IPv4 and IPv6 senders on one socket where the system has IPv6; a system
  // without it gets the IPv4 socket.
  if (!openSocket(AF_INET6)) openSocket(AF_INET);
}

bool CUDPServer::createSocket(int family) { return getSocket().Create(family, SOCK_DGRAM, 0); }

bool CUDPServer::openSocket(int family) {
  CWinSock& socket = getSocket();
  const bool dualStack = family == AF_INET6;
  if (!createSocket(family)) {
    if (dualStack && errno == EAFNOSUPPORT) return false;
    // Reported as the bind failure it leads to, with the reason it has.
    throwBindFailed(WSAGetLastError());
  }
  if (dualStack) {
    // Off whatever the system's default (net.ipv6.bindv6only): IPv4 senders
    // reach the socket as ::ffff:a.b.c.d. A socket that cannot take them is
    // no use here.
    const int off = 0;
    if (setsockopt(socket.getSock(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) != 0) {
      socket.CloseSocket();
      return false;
    }
  }
  if (m_socketBufferSize > 0) {
    // A burst must wait in the kernel while an action is slow; the system's
    // default buffer holds only a few hundred datagrams. Not fatal: a smaller
    // buffer only loses more in a long burst.
    const int size = m_socketBufferSize;
    if (setsockopt(socket.getSock(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
      setsockopt(socket.getSock(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
  }
  socket.setSource(m_serverPort);
  try {
    socket.Bind();
  } catch (const CWinSockError& error) {
    // IPv6 switched off for the machine: no IPv6 address to bind to.
    if (!dualStack || error.getCode() != WSAEADDRNOTAVAIL) throw;
    socket.CloseSocket();
    return false;
  }
  return true;
}

void CUDPServer::Close() {
  m_count = m_next = 0;
  getSocket().CloseSocket();
}

const char* CUDPServer::ReceiveMessage(CTolvaneString& source) {
  next(&source);
  return m_current;
}

const char* CUDPServer::ReceiveData() {
  next(nullptr);
  return m_current;
}

void CUDPServer::setServerPort(std::int32_t port) {
  if (port >= 0 && port <= 65535) m_serverPort = port;
}

const char* CUDPServer::getBuffer() { return m_current; }

std::int32_t CUDPServer::getServerPort() const { return m_serverPort; }

int CUDPServer::receiveDatagrams(mmsghdr* slots, unsigned capacity, int flags) {
  return ::recvmmsg(getSocket().getSock(), slots, capacity, flags, nullptr);
}

void CUDPServer::fail() {
  m_received = -1;
  m_current = kEmptyText;
}

bool CUDPServer::refill() {
  if (!m_batch) m_batch = std::make_unique<Batch>();
  Batch& batch = *m_batch;
  m_count = m_next = 0;
  for (;;) {
    for (int i = 0; i < kBatchCapacity; ++i) {
      batch.headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
      batch.headers[i].msg_hdr.msg_flags = 0;
    }
    // Never blocks: a burst is drained without a wait, and an idle socket is
    // waited for below, where the wake handle can end the wait.
    const int taken = receiveDatagrams(batch.headers, kBatchCapacity, MSG_DONTWAIT);
    if (taken > 0) {
      m_count = taken;
      ++batch.serial;
      return true;
    }
    if (taken < 0 && errno == EINTR) continue;
    if (taken == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      if (taken == 0) errno = EIO;
      WSASetLastError(platform::wsaErrorFromErrno(errno));
      return false;
    }
    pollfd waits[2] = {{getSocket().getSock(), POLLIN, 0}, {m_wakeHandle, POLLIN, 0}};
    const int ready = ::poll(waits, m_wakeHandle >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      WSASetLastError(platform::wsaErrorFromErrno(errno));
      return false;
    }
    if (m_wakeHandle >= 0 && waits[1].revents != 0) {
      WSASetLastError(WSAEINTR);
      return false;
    }
    // The socket is readable or has an error: the next receive tells which.
  }
}

bool CUDPServer::next(CTolvaneString* source) {
  if (isBatchUsedUp() && !refill()) {
    fail();
    return false;
  }
  Batch& batch = *m_batch;
  const int slot = m_next++;
  const mmsghdr& header = batch.headers[slot];
  const int length = static_cast<int>(header.msg_len);
  batch.buffers[slot][length] = '\0';
  m_received = length;
  m_current = batch.buffers[slot];
  // A longer datagram keeps its first 32767 bytes, as a single receive does.
  if ((header.msg_hdr.msg_flags & MSG_TRUNC) != 0) WSASetLastError(WSAEMSGSIZE);

  if (source != nullptr) {
    sockaddr_storage& from = batch.senders[slot];
    unmapIPv4(from);
    const char* host = batch.dottedName;
    if (getSocket().getResolveHostNames() == 1) {
      if (batch.resolvedSerial != batch.serial || !sameSender(batch.resolved, from)) {
        getSocket().describeSender(from, batch.resolvedName, sizeof(batch.resolvedName));
        batch.resolved = from;
        batch.resolvedSerial = batch.serial;
      }
      host = batch.resolvedName;
    } else if (!batch.hasDotted || !sameSender(batch.dottedAddress, from)) {
      getSocket().describeSender(from, batch.dottedName, sizeof(batch.dottedName));
      batch.dottedAddress = from;
      batch.hasDotted = true;
    }
    // The text is replaced only when the sender changed: a burst from one host
    // costs no allocation here.
    if (std::strcmp(source->getNarrow(), host) != 0) source->setNarrow(host);
  }
  return true;
}
