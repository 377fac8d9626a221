#include "reception/CWinSock.h"

#include <netdb.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "service/CErrorReport.h"
#include "service/event_ids.h"

namespace {

// Live CWinSock objects. The first one starts Windows Sockets, the last one
// cleans it up.
std::atomic<long> g_liveSockets{0};

constexpr WORD kWinSockVersion = MAKEWORD(1, 1);

void startWinSock() {
  WSADATA data{};
  const int result = WSAStartup(kWinSockVersion, &data);
  if (result != 0) {
    throw CWinSockError(kEventWinSockStartupFailed, result, "WSAStartup failed - can not continue");
  }
  if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
    WSACleanup();
    throw CWinSockError(kEventWinSockVersionTooOld, data.wVersion, "WinSock Version to old - not supported");
  }
}

void countIn() {
  if (g_liveSockets.fetch_add(1) != 0) return;
  try {
    startWinSock();
  } catch (...) {
    // The constructor does not complete, so no destructor will uncount it: undo
    // here, or the next instance would believe Windows Sockets already started.
    g_liveSockets.fetch_sub(1);
    throw;
  }
}

void countOut() {
  if (g_liveSockets.fetch_sub(1) == 1) WSACleanup();
}

// Port `port` of every local address of `family`; its size in `length`.
sockaddr_storage anyAddress(int family, int port, socklen_t& length) {
  sockaddr_storage address{};
  const auto networkPort = htons(static_cast<std::uint16_t>(port));
  if (family == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = networkPort;
    v6.sin6_addr = in6addr_any;
    length = sizeof(v6);
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4.sin_family = AF_INET;
    v4.sin_port = networkPort;
    v4.sin_addr.s_addr = htonl(INADDR_ANY);
    length = sizeof(v4);
  }
  return address;
}

}  // namespace

CWinSock::CWinSock() {
  countIn();
  m_target.ss_family = AF_INET;
}

CWinSock::CWinSock(int family, int type, int protocol) : CWinSock() { Create(family, type, protocol); }

CWinSock::~CWinSock() {
  if (m_socket != INVALID_SOCKET) {
    closesocket(m_socket);
    m_socket = INVALID_SOCKET;
  }
  countOut();
}

bool CWinSock::Create(int family, int type, int protocol) {
  if (m_socket != INVALID_SOCKET) closesocket(m_socket);
  m_socket = ::socket(family, type, protocol);
  m_family = family;
  return m_socket != INVALID_SOCKET;
}

void CWinSock::setSource(int port) { m_localPort = port; }

void CWinSock::Bind() {
  socklen_t length = 0;
  const sockaddr_storage local = anyAddress(m_family, m_localPort, length);
  if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&local), length) != 0) {
    const int error = WSAGetLastError();
    char text[64];
    std::snprintf(text, sizeof(text), "Can't bind to socket - ERRORCODE: %d", error);
    throw CWinSockError(kEventBindFailed, error, text);
  }
}

void CWinSock::SetTarget(const char* host, int port) {
  if (host == nullptr) host = "";
  const auto networkPort = htons(static_cast<std::uint16_t>(port));
  if (host[0] == '[') {
    // An IPv6 address, written in brackets as in a URL: [2001:db8::1].
    const std::size_t length = std::strlen(host);
    char inner[INET6_ADDRSTRLEN] = {};
    sockaddr_in6 v6{};
    if (length < 3 || host[length - 1] != ']' || length - 2 >= sizeof(inner)) {
      throw CWinSockError(kEventInvalidIpAddress, 0, "Invalid IP Address");
    }
    std::memcpy(inner, host + 1, length - 2);
    if (inet_pton(AF_INET6, inner, &v6.sin6_addr) != 1) {
      throw CWinSockError(kEventInvalidIpAddress, 0, "Invalid IP Address");
    }
    v6.sin6_family = AF_INET6;
    v6.sin6_port = networkPort;
    m_target = {};
    std::memcpy(&m_target, &v6, sizeof(v6));
    matchTargetFamily();
    return;
  }
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = networkPort;
  if (host[0] >= '0' && host[0] <= '9') {
    // A text that starts with a digit is an address and is never looked up by
    // name; inet_addr cannot tell 255.255.255.255 from a failure, so it is refused.
    const in_addr_t address = inet_addr(host);
    if (address == INADDR_NONE) throw CWinSockError(kEventInvalidIpAddress, 0, "Invalid IP Address");
    v4.sin_addr.s_addr = address;
  } else {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(host, nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
      WSASetLastError(result != 0 ? platform::wsaErrorFromAddrInfo(result) : WSANO_DATA);
      throw CWinSockError(kEventInvalidHostname, WSAGetLastError(), "Invalid Hostname");
    }
    v4.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
  }
  m_target = {};
  std::memcpy(&m_target, &v4, sizeof(v4));
  matchTargetFamily();
}

void CWinSock::matchTargetFamily() {
  if (m_socket == INVALID_SOCKET || m_family == m_target.ss_family) return;
  // A socket reaches only addresses of its own family: it is replaced by one
  // of the same type for the target's. One that cannot be made fails at the
  // connect or send, with the reason.
  int type = SOCK_DGRAM;
  socklen_t length = sizeof(type);
  ::getsockopt(m_socket, SOL_SOCKET, SO_TYPE, &type, &length);
  Create(m_target.ss_family, type, 0);
}

socklen_t CWinSock::targetLength() const {
  return m_target.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

void CWinSock::Connect() {
  if (::connect(m_socket, reinterpret_cast<const sockaddr*>(&m_target), targetLength()) != 0) {
    const int error = WSAGetLastError();
    if (m_socket != INVALID_SOCKET) closesocket(m_socket);
    m_socket = INVALID_SOCKET;
    throw CWinSockError(kEventConnectFailed, error, "Couldn't connect to host");
  }
}

int CWinSock::Send(const char* text) {
  if (text == nullptr) return -1;
  ssize_t sent;
  do {
    // MSG_NOSIGNAL: a peer that has gone must not end the daemon with SIGPIPE.
    sent = ::send(m_socket, text, std::strlen(text), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? -1 : static_cast<int>(sent);
}

int CWinSock::Receive(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  ssize_t received;
  do {
    received = ::recv(m_socket, buffer, static_cast<std::size_t>(size - 1), 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    buffer[0] = '\0';
    return 0;
  }
  buffer[received] = '\0';
  return static_cast<int>(received);
}

int CWinSock::ReceiveFrom(char* buffer, int size, CTolvaneString& source) {
  if (buffer == nullptr || size <= 0) return -1;
  sockaddr_storage from{};
  socklen_t fromLength = sizeof(from);
  ssize_t received;
  do {
    // MSG_TRUNC reports a datagram's full length; the part that fits is kept
    // either way, so a datagram too long for the buffer is cut, not lost.
    received = ::recvfrom(m_socket, buffer, static_cast<std::size_t>(size - 1), MSG_TRUNC,
                          reinterpret_cast<sockaddr*>(&from), &fromLength);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    buffer[0] = '\0';
    return -1;
  }
  if (received > size - 1) {
    received = size - 1;
    WSASetLastError(WSAEMSGSIZE);
  }
  buffer[received] = '\0';

  unmapIPv4(from);
  char host[NI_MAXHOST];
  describeSender(from, host, sizeof(host));
  source.setNarrow(host);
  return static_cast<int>(received);
}

void CWinSock::describeSender(const sockaddr_storage& from, char* host, std::size_t size) const {
  if (size == 0) return;
  host[0] = '\0';
  sockaddr_storage sender = from;
  unmapIPv4(sender);
  const void* address = nullptr;
  socklen_t length = 0;
  if (sender.ss_family == AF_INET) {
    address = &reinterpret_cast<const sockaddr_in&>(sender).sin_addr;
    length = sizeof(sockaddr_in);
  } else if (sender.ss_family == AF_INET6) {
    address = &reinterpret_cast<const sockaddr_in6&>(sender).sin6_addr;
    length = sizeof(sockaddr_in6);
  } else {
    return;
  }
  if (m_resolveHostNames == 1 && getnameinfo(reinterpret_cast<const sockaddr*>(&sender), length, host,
                                             static_cast<socklen_t>(size), nullptr, 0, NI_NAMEREQD) == 0) {
    return;
  }
  // inet_ntop writes IPv6 addresses in the form RFC 5952 recommends.
  if (inet_ntop(sender.ss_family, address, host, static_cast<socklen_t>(size)) == nullptr) host[0] = '\0';
}

int CWinSock::SendUDP(const CTolvaneString& text) {
  const ssize_t sent = ::sendto(m_socket, text.getNarrow(), static_cast<std::size_t>(text.getNarrowLength()),
                                MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&m_target), targetLength());
  if (sent < 0) {
    throw CWinSockError(kEventSendUdpFailed, WSAGetLastError(), "Error in CWinSock::SendUDP() (sendto)");
  }
  return static_cast<int>(sent);
}

int CWinSock::CloseSocket() {
  if (m_socket == INVALID_SOCKET) return -1;
  const int result = closesocket(m_socket);
  m_socket = INVALID_SOCKET;
  if (result != 0) {
    throw CWinSockError(kEventCloseSocketFailed, result,
                        "Error calling closesocket() in CWinSock::CloseSocket()!");
  }
  return 0;
}

bool unmapIPv4(sockaddr_storage& address) {
  if (address.ss_family != AF_INET6) return false;
  const sockaddr_in6 v6 = reinterpret_cast<const sockaddr_in6&>(address);
  if (!IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) return false;
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = v6.sin6_port;
  std::memcpy(&v4.sin_addr, &v6.sin6_addr.s6_addr[12], 4);
  address = {};
  std::memcpy(&address, &v4, sizeof(v4));
  return true;
}

int lookupServicePort(const char* service, const char* protocol) {
  servent entry{};
  servent* found = nullptr;
  char buffer[1024];
  if (service == nullptr || getservbyname_r(service, protocol, &entry, buffer, sizeof(buffer), &found) != 0 ||
      found == nullptr) {
    WSASetLastError(WSANO_DATA);  // what Windows reports for a missing service entry
    throw CWinSockError(kEventServiceNotFound, WSAGetLastError(), "Could not find Service");
  }
  return ntohs(static_cast<std::uint16_t>(found->s_port));
}

const char* getLocalHostName() {
  static char name[256];
  if (gethostname(name, sizeof(name)) != 0) {
    std::strcpy(name, "unresolvable host");
  }
  name[sizeof(name) - 1] = '\0';  // a cut name need not end in a zero
  return name;
}
