// CSyslogSender: a small UDP client that relays one syslog message to another
// syslog server. It rebuilds the PRI part from facility and priority and, when
// asked, names the original sender in a RealSource field. One datagram per
// message; no reply is expected and none is read.
//
// Failures throw CWinSockError: no "syslog"/"udp" service entry (7, from the
// constructor), a failed bind of the new socket (8), an address that does
// not convert (4), a host name that does not resolve (5), a failed send (6).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reception/CIP.h"

class CSyslogSender : public CIP {
 public:
  // Datagram socket (made on first use), host "127.0.0.1", the "syslog"/"udp"
  // service port; error 7 when that service entry is missing.
  CSyslogSender();
  ~CSyslogSender() override;

  // The socket of the current type; a missing one is created and bound to any
  // local address and port 0 (the system picks the source port), error 8 when
  // that bind fails. A socket made before the type changed is replaced.
  CWinSock& getSocket() override;
  // A type other than the current one makes getSocket create a new socket.
  virtual void setSocketType(std::int32_t type);
  virtual std::int32_t getSocketType() const { return m_socketType; }

  // "host" or "host:port", split at the last colon that only digits follow;
  // the host may be an IPv6 address in brackets ("[2001:db8::1]:514").
  // "host", "host:" and "host:0" take the service port, whatever port the
  // previous target named; ":1514" leaves the host empty. A port above 65535
  // is no port: the whole text is then taken as the host (and fails to resolve).
  void setServer(std::string_view target);
  // Points the socket at the target now, looking its host up unless that was
  // done since the last setServer (error 4 or 5, and error 8 when the socket
  // cannot be made), and returns the host's address (an IPv4 one; 0.0.0.0 for
  // an IPv6 target).
  in_addr resolveTarget();
  // The host's address is already known (from resolveTarget for the same
  // target): the socket is pointed at it without a look-up.
  void setTargetAddress(in_addr address);
  // With `on`, every datagram carries RealSource:"<source>" after its PRI.
  void setRealSource(std::string_view source, bool on);
  // Sends "<PRI>[RealSource:"..." ]text" as one datagram, no terminating zero
  // and no line end, the text's bytes unchanged. Resolves the target first when
  // it changed since the last send (or resolveTarget).
  void sendMessage(std::int32_t facility, std::int32_t priority, std::string_view text);

  const std::string& getHost() const { return m_host; }
  std::int32_t getPort() const { return m_port; }

 private:
  void setPort(std::int32_t requested);

  std::int32_t m_servicePort;     // "syslog"/"udp", looked up once per sender
  std::int32_t m_socketType = 2;  // SOCK_DGRAM
  bool m_recreate = false;        // the type changed since the socket was made
  std::string m_host = "127.0.0.1";
  std::int32_t m_requestedPort = 0;  // from the target text; 0: none
  std::int32_t m_port = 0;           // in use: requested, else the service port
  bool m_targetSet = false;          // host and port resolved into the socket
  bool m_useRealSource = false;
  std::string m_realSource;
  CTolvaneString m_datagram;  // reused for every send of this sender
};
