// CSyslogServer: the UDP endpoint the receive loop listens on. After each
// receive it applies the PRI rule: the facility and priority are kept as
// computed (0..127 and 0..7, whatever their range), and the text after the PRI
// part becomes the message. A failed receive gives an empty text, 0 and 0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reception/CUDPServer.h"

class CSyslogServer : public CUDPServer {
 public:
  CSyslogServer() = default;
  ~CSyslogServer() override;

  // The message text in the ANSI code page (getMessage).
  const char* ReceiveMessage(CTolvaneString& source) override;
  const char* ReceiveData() override;
  // Port 0 means the "syslog"/"udp" service port (error 7 when there is no such
  // entry); then as CUDPServer.
  void setServerPort(std::int32_t port) override;
  // The message text, not the raw datagram.
  const char* getBuffer() override { return getMessage(); }

  // ReceiveMessage for the receive loop, without the conversion of the text
  // back to the ANSI code page: true when a datagram was received, false when
  // the receive failed (the message is then empty, facility and priority 0).
  bool receiveNext(CTolvaneString& source);
  // The message text exactly as it came in the datagram (after the PRI part, up
  // to the first zero byte); valid until the next receive.
  std::string_view getRawMessage() const { return m_rawMessage; }

  const char* getMessage() const { return m_message.getNarrow(); }
  const CTolvaneString& getMessageString() const { return m_message; }
  std::int32_t getFacility() const { return m_facility; }
  std::int32_t getPriority() const { return m_priority; }

 private:
  void takeMessage();

  std::int32_t m_facility = 0;
  std::int32_t m_priority = 0;
  CTolvaneString m_message;
  std::string_view m_rawMessage;
};
