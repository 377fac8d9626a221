#include "actions/CSyslogSender.h"

#include <charconv>

#include "platform/winsock.h"

namespace {

constexpr std::int32_t kMaxPort = 65535;

}  // namespace

CSyslogSender::CSyslogSender() : m_servicePort(lookupServicePort("syslog", "udp")) { setPort(0); }

CSyslogSender::~CSyslogSender() = default;

CWinSock& CSyslogSender::getSocket() {
  CWinSock& socket = CIP::getSocket();
  if (m_recreate && socket.getSock() != INVALID_SOCKET) socket.CloseSocket();
  m_recreate = false;
  if (socket.getSock() == INVALID_SOCKET) {
    socket.Create(AF_INET, m_socketType, 0);
    socket.setSource(0);
    // A socket that could not be made fails here too, with the reason of socket().
    socket.Bind();
  }
  return socket;
}

void CSyslogSender::setSocketType(std::int32_t type) {
  if (type != m_socketType) {
    m_socketType = type;
    m_recreate = true;
  }
}

void CSyslogSender::setPort(std::int32_t requested) {
  m_requestedPort = requested;
  const std::int32_t port = requested != 0 ? requested : m_servicePort;
  if (port != m_port) {
    m_port = port;
    m_targetSet = false;
  }
}

void CSyslogSender::setServer(std::string_view target) {
  // Walk back over the digits at the end; the first character is never taken
  // as one, so "1514" alone is a host, not a port.
  std::size_t at = target.size();
  while (at > 1 && target[at - 1] >= '0' && target[at - 1] <= '9') --at;
  const std::size_t stop = at == 0 ? 0 : at - 1;
  std::int32_t port = 0;
  bool isPort = !target.empty() && target[stop] == ':';
  if (isPort && stop + 1 < target.size()) {
    // Leading zeros are harmless; a number beyond 65535 cannot be a port, and
    // cutting it to 16 bits would send the messages somewhere else.
    const std::string_view digits = target.substr(stop + 1);
    std::int64_t value = 0;
    for (char c : digits) {
      value = value * 10 + (c - '0');
      if (value > kMaxPort) break;
    }
    if (value > kMaxPort) {
      isPort = false;
    } else {
      port = static_cast<std::int32_t>(value);
    }
  }
  // A target without a port goes to the service port, never to the port of
  // the target before it.
  m_host.assign(isPort ? target.substr(0, stop) : target);
  setPort(port);
  m_targetSet = false;
}

in_addr CSyslogSender::resolveTarget() {
  CWinSock& socket = getSocket();
  if (!m_targetSet) {
    socket.SetTarget(m_host.c_str(), m_port);
    m_targetSet = true;
  }
  // Only a name's address is asked for, and names are looked up as IPv4.
  const sockaddr_storage& target = socket.getTarget();
  return target.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(target).sin_addr : in_addr{};
}

void CSyslogSender::setTargetAddress(in_addr address) {
  // As dotted text, which SetTarget takes without a look-up.
  char dotted[INET_ADDRSTRLEN];
  ::inet_ntop(AF_INET, &address, dotted, sizeof(dotted));
  getSocket().SetTarget(dotted, m_port);
  m_targetSet = true;
}

void CSyslogSender::setRealSource(std::string_view source, bool on) {
  m_realSource.assign(source);
  m_useRealSource = on;
}

void CSyslogSender::sendMessage(std::int32_t facility, std::int32_t priority, std::string_view text) {
  resolveTarget();
  CWinSock& socket = getSocket();
  const std::int32_t pri = ((facility & 31) << 3) | (priority & 255);
  std::string datagram;
  datagram.reserve(text.size() + m_realSource.size() + 24);
  char digits[12];
  datagram.push_back('<');
  datagram.append(digits, std::to_chars(digits, digits + sizeof digits, pri).ptr);
  datagram.push_back('>');
  if (m_useRealSource) {
    datagram.append("RealSource:\"");
    datagram.append(m_realSource);
    datagram.append("\" ");
  }
  datagram.append(text);
  // The ANSI code page is lossless: the narrow form sent is these very bytes.
  m_datagram.setNarrow(datagram);
  socket.SendUDP(m_datagram);
}
