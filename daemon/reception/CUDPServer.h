// CUDPServer: a UDP endpoint bound to one port of every local address: one
// IPv6 socket that takes IPv4 senders too (dual stack), or on a system without
// IPv6 an IPv4 socket. An IPv4 sender is an IPv4 address either way.
//
// Datagrams are taken from the socket in batches: when the current batch is
// used up, the next receive waits until at least one datagram is there and then
// takes up to kBatchCapacity of those waiting with one system call
// (recvmmsg). Each receive call serves one datagram of the batch, in arrival
// order, so callers see one datagram at a time as before; isBatchUsedUp() tells
// them when the next receive will wait again (the moment to write out what
// they buffered).
//
// A wait can be ended from another thread through a wake handle (an eventfd or
// a pipe's read end): once it is readable, a receive that would wait fails at
// once instead.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>

#include "reception/CIP.h"

class CUDPServer : public CIP {
 public:
  static constexpr int kReceiveBufferSize = 32768;  // keeps at most 32767 bytes of a datagram
  static constexpr int kBatchCapacity = 64;         // datagrams taken per system call at most

  CUDPServer();
  ~CUDPServer() override;

  // Closes an open socket, creates a UDP socket, gives it the socket buffer
  // asked for (setSocketBufferSize) and binds it to the server port; error 8
  // when the socket cannot be made or bound. The socket is IPv6 and dual stack
  // unless the system has no IPv6 (the IPv6 socket cannot be made, or has no
  // address to bind to): then IPv4. Datagrams of an earlier socket not yet
  // served are dropped.
  virtual void Open();
  virtual void Close();
  // The next datagram; `source` becomes its sender, and is left untouched when
  // it already holds that sender's text. Returns the buffer: the datagram's
  // first 32767 bytes and a zero byte, or an empty text on failure (the socket
  // failed, or the wake handle ended the wait: WSAGetLastError gives WSAEINTR).
  virtual const char* ReceiveMessage(CTolvaneString& source);
  // The same without the sender.
  virtual const char* ReceiveData();
  // Stores a port of 0..65535; any other value keeps the previous port.
  virtual void setServerPort(std::int32_t port);
  virtual const char* getBuffer();
  virtual std::int32_t getServerPort() const;

  // Bytes kept of the last datagram, -1 after a failed receive.
  int getReceivedLength() const { return m_received; }
  // One receive system call on the socket, for a caller that takes the
  // datagrams itself (the receiving thread): as receiveDatagrams.
  int receiveBatch(mmsghdr* slots, unsigned capacity, int flags) { return receiveDatagrams(slots, capacity, flags); }
  // True when every datagram taken from the socket has been served, so that the
  // next receive waits for the socket.
  bool isBatchUsedUp() const { return m_next >= m_count; }

  // -1 (the default) for none. The handle stays owned by the caller and must
  // outlive the waits.
  void setWakeHandle(int handle) { m_wakeHandle = handle; }
  // The receive buffer the socket asks the kernel for at Open: SO_RCVBUFFORCE
  // where the process may exceed the system's limit (root), else SO_RCVBUF,
  // which the kernel caps. 0 keeps the system's default.
  void setSocketBufferSize(int bytes) { m_socketBufferSize = bytes; }

 protected:
  const char* buffer() const { return m_current; }
  // One receive system call: fills up to `capacity` of `slots` and returns how
  // many, or -1 with errno set. recvmmsg here; tests replace it to inject
  // failures.
  virtual int receiveDatagrams(mmsghdr* slots, unsigned capacity, int flags);
  // Creates the socket of `family` (CWinSock::Create); tests replace it to
  // play a system without IPv6.
  virtual bool createSocket(int family);

 private:
  // Opens and binds the socket of `family`. False when an IPv6 socket is not
  // to be had on this system; error 8 for every other failure.
  bool openSocket(int family);
  struct Batch;
  // Fills the batch from the socket, waiting when nothing is there; false
  // (and WSAGetLastError set) on failure or wake.
  bool refill();
  // Serves the next datagram of the batch (refilling it first when used up).
  bool next(CTolvaneString* source);
  void fail();

  std::int32_t m_serverPort = 0;
  int m_received = 0;
  int m_wakeHandle = -1;
  int m_socketBufferSize = 0;
  int m_count = 0;                 // datagrams in the batch
  int m_next = 0;                  // the next one to serve
  std::unique_ptr<Batch> m_batch;  // made on the first receive (2 MiB of buffers)
  const char* m_current;           // the datagram served last, or an empty text
};
