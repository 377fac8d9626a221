// CWinSock: one socket with a local address (for Bind) and a target address
// (for Connect and SendUDP). Failures of start-up, binding, addressing,
// connecting, sending and closing throw CWinSockError (numbers in
// service/event_ids.h); receive failures only give an empty text.
//
// Windows Sockets stays started while at least one CWinSock lives: the first
// live instance starts it, the last one to go cleans it up. Each object is used
// by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/winsock.h"
#include "service/CTolvaneString.h"

class CWinSock {
 public:
  // No socket; local address: any, port 0. Throws error 2 or 3
  // when it is the first live instance and Windows Sockets cannot start.
  CWinSock();
  // As above, then creates a socket (family, type, protocol).
  CWinSock(int family, int type, int protocol);
  CWinSock(const CWinSock&) = delete;
  CWinSock& operator=(const CWinSock&) = delete;
  // Closes the socket (a failure is ignored).
  virtual ~CWinSock();

  // Replaces the socket by a new one; false (and no socket) when that fails, with
  // WSAGetLastError telling why.
  bool Create(int family, int type, int protocol);

  void setSource(int port);
  // Binds the socket to the local port of every address of its family (the
  // family it was created with: AF_INET or AF_INET6); error 8 with the socket
  // error.
  void Bind();
  // A text in brackets is an IPv6 address ("[2001:db8::1]", error 4 when it
  // does not convert). A text starting with a decimal digit is a dotted
  // address (error 4 when it does not convert, 255.255.255.255 included);
  // anything else is looked up by name, and its first IPv4 address taken
  // (error 5 when there is none). A socket of the other family is replaced by
  // one of the target's, of the same type.
  void SetTarget(const char* host, int port);
  // On failure the socket is closed and error 9 raised with the socket error.
  void Connect();
  // Bytes sent; -1 for a null text or when the send fails (WSAGetLastError then
  // tells why). A closed peer gives an error, never a signal.
  int Send(const char* text);
  // Receives at most size - 1 bytes and stores a zero byte after them; returns
  // the byte count, or 0 with an empty text in the buffer on failure.
  int Receive(char* buffer, int size);
  // Receives one datagram. A longer datagram than size - 1 bytes keeps its first
  // size - 1 bytes. A zero byte follows the data; `source` becomes the sender's
  // text as describeSender gives it.
  // Returns the byte count kept; on failure -1, an empty text, `source` unchanged.
  int ReceiveFrom(char* buffer, int size, CTolvaneString& source);
  // Writes the text ReceiveFrom reports for the sender `from` into `host`
  // (zero-terminated, cut to `size`): its host name when resolveHostNames is 1
  // and it resolves, else its address: a.b.c.d for IPv4 (an IPv4 sender that
  // reached an IPv6 socket included), the standard compressed form (RFC 5952)
  // for IPv6. An address of another family gives an empty text.
  void describeSender(const sockaddr_storage& from, char* host, std::size_t size) const;
  // Sends the text in the ANSI code page as one datagram to the target, no
  // terminating zero (an empty text sends an empty datagram); error 6.
  int SendUDP(const CTolvaneString& text);
  // -1 without a socket, 0 once closed; error 1 when closesocket fails (the
  // descriptor is gone all the same, so none stays recorded).
  int CloseSocket();

  SOCKET getSock() const { return m_socket; }
  void setResolveHostNames(std::int32_t resolve) { m_resolveHostNames = resolve; }
  std::int32_t getResolveHostNames() const { return m_resolveHostNames; }
  // AF_INET or AF_INET6, port and address in network byte order.
  const sockaddr_storage& getTarget() const { return m_target; }
  // The port Bind uses (host byte order).
  int getLocalPort() const { return m_localPort; }
  // The family of the socket last created; AF_INET before any.
  int getFamily() const { return m_family; }

 private:
  void matchTargetFamily();
  socklen_t targetLength() const;

  sockaddr_storage m_target{};
  int m_localPort = 0;
  int m_family = AF_INET;
  SOCKET m_socket = INVALID_SOCKET;
  std::int32_t m_resolveHostNames = 0;  // 1: ReceiveFrom reports host names
};

// An IPv4 sender that reached an IPv6 socket (::ffff:a.b.c.d) is made the
// AF_INET address it is, port kept; true when `address` was changed. Every
// other address stays as it is.
bool unmapIPv4(sockaddr_storage& address);

// The port (host byte order) of a service entry such as "syslog"/"udp"; error 7
// when there is none.
int lookupServicePort(const char* service, const char* protocol);

// This computer's host name, in one process-wide buffer of 256 bytes that the
// next call overwrites; "unresolvable host" when it cannot be read.
const char* getLocalHostName();
