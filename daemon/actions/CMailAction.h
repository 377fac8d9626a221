// CMailAction: action 1002, "Send Email". Each message that reaches it goes out
// as one plain-text mail, in one complete SMTP session of its own: connect,
// greeting, HELO, MAIL FROM, RCPT TO, DATA, QUIT. Nothing is kept between
// messages and nothing is retried.
//
// Failures: a refused step, a garbled or missing reply, no reply within the
// time-out, or an address with a line break raise CErrorReport 117 (code: the
// reply code read, -1 for none, WSAETIMEDOUT for a time-out, 0 for a refused
// address); socket failures raise CWinSockError (4 bad dotted address, 5
// unknown host, 9 refused or failed connection). The socket is closed before
// the report leaves the action; no QUIT follows a failure.
//
// Output failures (CErrorReport::isOutputFailure), which the next mail to the
// same server would meet too: an unknown host (5), a connection refused, timed
// out or without a route (9), no reply within the time-out at any step, a
// refused, garbled or missing reply to HELO or MAIL FROM (a server that refuses
// at its greeting, whose code is not checked, fails here), and 421 at any
// step. A refused recipient, DATA or message, and an address with a line
// break, are failures of the one mail.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/systime.h"
#include "rules/CAction.h"

class CWinSock;

class CMailAction : public CAction {
 public:
  // Every wait of a session (connect, each reply) ends after this long.
  static constexpr std::chrono::milliseconds kDefaultTimeout{60000};
  static constexpr std::size_t kMaxBodyLength = 1024;    // bytes of the body
  static constexpr std::size_t kMaxSubjectLength = 255;  // bytes of the subject
  static constexpr std::size_t kLineBufferSize = 4096;   // a reply line, its zero included
  static constexpr std::size_t kReceiveBufferSize = 4097;

  // Sends the mail to the entry's parameter when it has one, else to the
  // global recipient. The time-out is kDefaultTimeout, or the milliseconds in
  // CORVANTEL_SMTP_TIMEOUT_MS when that holds a positive number.
  void Execute(const SyslogMessage& message, const ActionSettings& settings,
               const CActionListEntry& entry) override;

  // One session that delivers one mail to `recipient`, as described above.
  void sendMail(const SyslogMessage& message, const ActionSettings& settings, const std::string& recipient,
                std::chrono::milliseconds timeout = kDefaultTimeout);

  // The reply code of the last reply read; -1 before any.
  std::int32_t getReplyCode() const { return m_replyCode; }

  // "Syslog message:\nFacility: F \nPriority: P \nSource: HOST\n\nMessage:\nTEXT",
  // lines ending in a bare line feed, cut to kMaxBodyLength bytes (never inside
  // a UTF-8 sequence).
  static std::string buildBody(const SyslogMessage& message);
  // The body as mail data: every line end becomes CR LF and a line starting
  // with a dot gets a second one, so that no text of the message can end the
  // data early (RFC 5321 4.5.2). Ends without a line break of its own.
  static std::string toMailData(std::string_view body);
  // The template with %% %f %m %p %s replaced (any other % pair, and a final %,
  // stay as they are), cut to kMaxSubjectLength bytes. Control characters other
  // than tab become blanks: a header line holds no line break (RFC 5322 2.2).
  static std::string expandSubject(std::string_view subjectTemplate, const SyslogMessage& message);
  // "Mon,  7 Dec 2026  9:05:03 +0100" for the local time `time` and the zone
  // bias in minutes (UTC = local + bias, daylight bias included).
  static std::string formatDate(const SYSTEMTIME& time, long bias);
  // The same for now, in the local time zone.
  static std::string formatDate();
  // The decimal value of the line's leading digits (0 when there are none);
  // -1 when nothing follows them, an empty line included.
  static std::int32_t parseReplyCode(const char* line);

 private:
  // Reads one reply, multi-line replies to their last line, within the
  // time-out; sets m_replyCode (-1 when it timed out, m_timedOut then set).
  std::int32_t readReply(CWinSock& socket);
  // Raises 117 naming `step` when the last reply timed out.
  void failOnTimeout(const char* step) const;
  // One line into m_line, its CR LF included, zero-terminated; a longer line
  // than the buffer keeps its start and the rest is read and dropped.
  void readLine(CWinSock& socket);
  // The next byte from the connection; zero once it is closed, failed or the
  // deadline has passed.
  char readChar(CWinSock& socket);
  // Sends `command`, reads the reply, and raises 117 with `errorText` unless
  // its code is `expected` (with a time-out text naming `step` when none came);
  // an output failure when `beforeRecipient` (see above).
  void command(CWinSock& socket, const std::string& command, std::int32_t expected, const char* step,
               const char* errorText, bool beforeRecipient);

  std::int32_t m_replyCode = -1;
  char m_line[kLineBufferSize] = {};

  // The connection's receive side: bytes received but not read yet.
  char m_receiveBuffer[kReceiveBufferSize] = {};
  int m_readPosition = 0;
  int m_fillCount = 0;
  std::chrono::steady_clock::time_point m_deadline;  // of the reply being read
  std::chrono::milliseconds m_timeout = kDefaultTimeout;
  bool m_timedOut = false;
};
