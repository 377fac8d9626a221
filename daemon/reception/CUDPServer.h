// CUDPServer: a UDP endpoint bound to one port of every local IPv4 address, with
// the receive buffer that every datagram is read into.
#pragma once

#include <cstdint>

#include "reception/CIP.h"

class CUDPServer : public CIP {
 public:
  static constexpr int kReceiveBufferSize = 32768;  // keeps at most 32767 bytes of a datagram

  CUDPServer() = default;
  ~CUDPServer() override;

  // Closes an open socket, creates a UDP socket and binds it to the server port;
  // error 8 when the socket cannot be made or bound.
  virtual void Open();
  virtual void Close();
  // Waits for one datagram; `source` becomes its sender. Returns the buffer: the
  // datagram's first 32767 bytes and a zero byte, or an empty text on failure.
  virtual const char* ReceiveMessage(CTolvaneString& source);
  // The same without the sender.
  virtual const char* ReceiveData();
  // Stores a port of 0..65535; any other value keeps the previous port.
  virtual void setServerPort(std::int32_t port);
  virtual const char* getBuffer();
  virtual std::int32_t getServerPort() const;

  // Bytes kept of the last datagram, -1 after a failed receive.
  int getReceivedLength() const { return m_received; }

 protected:
  const char* buffer() const { return m_buffer; }

 private:
  std::int32_t m_serverPort = 0;
  int m_received = 0;
  char m_buffer[kReceiveBufferSize] = {};
};
