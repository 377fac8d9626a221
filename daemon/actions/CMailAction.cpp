#include "actions/CMailAction.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "actions/unreachable_peer.h"
#include "reception/CWinSock.h"
#include "rules/CActionListEntry.h"
#include "service/CErrorReport.h"
#include "service/event_ids.h"

namespace {

constexpr char kHeloError[] = "Error talking to smtp-server - HELO <hostname>";
constexpr char kMailFromError[] = "Error talking to smtp-server - MAIL FROM";
constexpr char kRcptToError[] =
    "Error talking to smtp-server - RCPT TO \nYou may not allowed to relay on this server.";
constexpr char kDataError[] = "Error talking to smtp-server - DATA";
constexpr char kEndOfMailError[] = "Error talking to smtp-server - END OF MAIL";

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Cuts `text` to at most `limit` bytes, stepping back to the start of a UTF-8
// sequence so that no character is left half.
void cutText(std::string& text, std::size_t limit) {
  if (text.size() <= limit) return;
  const auto continuation = [&](std::size_t i) {
    return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
  };
  std::size_t end = limit;
  if (continuation(limit)) {
    std::size_t lead = limit;
    while (lead > 0 && limit - lead < 4 && continuation(lead)) --lead;
    // Bytes that are not UTF-8 anyway are cut where the limit falls.
    if (static_cast<unsigned char>(text[lead]) >= 0xC0) end = lead;
  }
  text.resize(end);
}

bool holdsLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

std::chrono::milliseconds timeoutFromEnvironment() {
  const char* value = std::getenv("CORVANTEL_SMTP_TIMEOUT_MS");
  if (value == nullptr || *value == '\0') return CMailAction::kDefaultTimeout;
  char* end = nullptr;
  const long long milliseconds = std::strtoll(value, &end, 10);
  if (*end != '\0' || milliseconds <= 0) return CMailAction::kDefaultTimeout;
  return std::chrono::milliseconds(milliseconds);
}

std::string timeoutText(const char* step, std::chrono::milliseconds timeout) {
  return std::string("Error talking to smtp-server - ") + step + ": no answer within " +
         std::to_string(timeout.count()) + " ms";
}

}  // namespace

void CMailAction::Execute(const SyslogMessage& message, const ActionSettings& settings,
                          const CActionListEntry& entry) {
  const std::string recipient =
      entry.hasParameter() ? entry.getParameter().getNarrow() : settings.smtpRecipient;
  sendMail(message, settings, recipient, timeoutFromEnvironment());
}

void CMailAction::sendMail(const SyslogMessage& message, const ActionSettings& settings,
                           const std::string& recipient, std::chrono::milliseconds timeout) {
  // The addresses go into commands and header lines as they are: a line break
  // in one would let it add commands or headers of its own.
  if (holdsLineBreak(settings.smtpSender)) {
    throw CErrorReport(kEventMailError, 0,
                       "Error talking to smtp-server - the sender address holds a line break");
  }
  if (holdsLineBreak(recipient)) {
    throw CErrorReport(kEventMailError, 0,
                       "Error talking to smtp-server - the recipient address holds a line break");
  }

  m_timeout = timeout;
  m_readPosition = m_fillCount = 0;
  m_replyCode = -1;

  CWinSock socket;
  socket.Create(AF_INET, SOCK_STREAM, 0);
  try {
    socket.SetTarget(settings.smtpServer.c_str(), settings.smtpPort);
  } catch (CWinSockError& error) {
    // A server name that does not resolve (or a resolver that does not
    // answer) fails every mail alike. A malformed dotted address fails at
    // once and stays a failure of the message, as before.
    error.setOutputFailure(error.getNumber() == kEventInvalidHostname);
    throw;
  }
  // The send time-out also bounds connect(): a server that takes no
  // connection must not hold up every other message.
  const long long total = timeout.count();
  timeval limit{static_cast<time_t>(total / 1000), static_cast<suseconds_t>((total % 1000) * 1000)};
  ::setsockopt(socket.getSock(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  try {
    socket.Connect();
  } catch (CWinSockError& error) {
    const int code = error.getCode();
    if (code != WSAEINPROGRESS && code != WSAEWOULDBLOCK && code != WSAETIMEDOUT) {
      error.setOutputFailure(isUnreachablePeer(code));
      throw;
    }
    CErrorReport timedOut(kEventMailError, WSAETIMEDOUT, timeoutText("connect", timeout).c_str());
    timedOut.setOutputFailure();
    throw timedOut;
  }

  // The greeting's code is not checked: a 554 greeting still gets a HELO. A
  // server that sends none at all is another matter.
  readReply(socket);
  failOnTimeout("greeting");

  // Up to MAIL FROM nothing of this message or its recipient has been sent:
  // a server that refuses, closes or garbles these steps refuses every mail.
  command(socket, std::string("HELO ") + getLocalHostName() + "\r\n", 250, "HELO", kHeloError, true);
  command(socket, "MAIL FROM: <" + settings.smtpSender + ">\r\n", 250, "MAIL FROM", kMailFromError, true);
  command(socket, "RCPT TO: <" + recipient + ">\r\n", 250, "RCPT TO", kRcptToError, false);
  command(socket, "DATA\r\n", 354, "DATA", kDataError, false);

  std::string mail;
  mail += "Date: " + formatDate() + "\r\n";
  mail += "From: \"" + settings.smtpSender + "\" <" + settings.smtpSender + ">\r\n";
  mail += "Subject: " + expandSubject(settings.smtpSubject, message) + "\r\n";
  mail += "To: \"" + recipient + "\" <" + recipient + ">\r\n";
  mail += "X-Mailer: Tolvane Corvantel\r\n";
  mail += "\r\n";
  mail += toMailData(buildBody(message));
  mail += "\r\n.\r\n";
  command(socket, mail, 250, "END OF MAIL", kEndOfMailError, false);

  // The mail is delivered: neither the code nor the lack of an answer to QUIT
  // makes it a failure.
  socket.Send("QUIT\r\n");
  readReply(socket);
}

void CMailAction::command(CWinSock& socket, const std::string& command, std::int32_t expected,
                          const char* step, const char* errorText, bool beforeRecipient) {
  // A failed send shows up as a wrong or missing reply.
  socket.Send(command.c_str());
  readReply(socket);
  failOnTimeout(step);
  if (m_replyCode != expected) {
    CErrorReport refused(kEventMailError, m_replyCode, errorText);
    // From RCPT TO on, a refusal may be the recipient's or the message's own;
    // 421 is the server closing the channel for everybody (RFC 5321, 3.8).
    refused.setOutputFailure(beforeRecipient || m_replyCode == 421);
    throw refused;
  }
}

std::int32_t CMailAction::readReply(CWinSock& socket) {
  m_deadline = std::chrono::steady_clock::now() + m_timeout;
  m_timedOut = false;
  readLine(socket);
  while (!m_timedOut && std::strlen(m_line) >= 4 && m_line[3] == '-') readLine(socket);
  m_replyCode = m_timedOut ? -1 : parseReplyCode(m_line);
  return m_replyCode;
}

void CMailAction::failOnTimeout(const char* step) const {
  if (!m_timedOut) return;
  // A server that lets a reply wait a whole time-out would let the next
  // message wait as long.
  CErrorReport timedOut(kEventMailError, WSAETIMEDOUT, timeoutText(step, m_timeout).c_str());
  timedOut.setOutputFailure();
  throw timedOut;
}

void CMailAction::readLine(CWinSock& socket) {
  std::size_t length = 0;
  char previous = '\0';
  for (;;) {
    const char c = readChar(socket);
    if (c == '\0') break;
    // A longer line keeps its start; reading on to its end keeps the next
    // line in step.
    if (length < kLineBufferSize - 1) m_line[length++] = c;
    if (c == '\n' && previous == '\r') break;
    previous = c;
  }
  m_line[length] = '\0';
}

char CMailAction::readChar(CWinSock& socket) {
  if (m_readPosition < m_fillCount) return m_receiveBuffer[m_readPosition++];
  if (m_timedOut) return '\0';
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      m_timedOut = true;
      return '\0';
    }
    pollfd ready{socket.getSock(), POLLIN, 0};
    const int result = ::poll(&ready, 1, static_cast<int>(left.count() + 1));
    if (result < 0 && errno == EINTR) continue;
    if (result == 0) continue;  // the loop's check ends it when the time is up
    break;                      // readable, closed or failed: Receive tells which
  }
  const int received = socket.Receive(m_receiveBuffer, static_cast<int>(kReceiveBufferSize));
  if (received <= 0) {
    m_readPosition = m_fillCount = 0;
    return '\0';
  }
  m_fillCount = received;
  m_readPosition = 1;
  return m_receiveBuffer[0];
}

std::int32_t CMailAction::parseReplyCode(const char* line) {
  if (line == nullptr) return -1;
  std::int32_t code = 0;
  std::size_t i = 0;
  for (; line[i] >= '0' && line[i] <= '9'; ++i) {
    // A reply code has three digits; more only need to stay in range.
    if (code < 100000000) code = code * 10 + (line[i] - '0');
  }
  return line[i] == '\0' ? -1 : code;
}

std::string CMailAction::buildBody(const SyslogMessage& message) {
  std::string body = "Syslog message:\nFacility: " + std::to_string(message.getFacility()) +
                     " \nPriority: " + std::to_string(message.getPriority()) +
                     " \nSource: " + message.getFromHost().getNarrow() + "\n\nMessage:\n" +
                     message.getMessageA();
  cutText(body, kMaxBodyLength);
  return body;
}

std::string CMailAction::toMailData(std::string_view body) {
  std::string data;
  data.reserve(body.size() + body.size() / 8 + 2);
  bool lineStart = true;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (lineStart && c == '.') data += '.';
    lineStart = false;
    if (c == '\r' || c == '\n') {
      // CR LF, a bare LF and a bare CR each end one line.
      if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      data += "\r\n";
      lineStart = true;
    } else {
      data += c;
    }
  }
  return data;
}

std::string CMailAction::expandSubject(std::string_view subjectTemplate, const SyslogMessage& message) {
  std::string subject;
  for (std::size_t i = 0; i < subjectTemplate.size() && subject.size() < kMaxSubjectLength; ++i) {
    const char c = subjectTemplate[i];
    if (c != '%' || i + 1 == subjectTemplate.size()) {
      subject += c;
      continue;
    }
    const char next = subjectTemplate[++i];
    switch (next) {
      case '%':
        subject += '%';
        break;
      case 'f':
        subject += std::to_string(message.getFacility());
        break;
      case 'm':
        subject += message.getMessageA();
        break;
      case 'p':
        subject += std::to_string(message.getPriority());
        break;
      case 's':
        subject += message.getFromHost().getNarrow();
        break;
      default:
        subject += '%';
        subject += next;
        break;
    }
  }
  cutText(subject, kMaxSubjectLength);
  // The message and host come from the network: a line break in them would
  // end the Subject line and start header lines of the sender's choosing.
  for (char& c : subject) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) c = ' ';
  }
  return subject;
}

std::string CMailAction::formatDate(const SYSTEMTIME& time, long bias) {
  const long hours = -(bias / 60);
  const long minutes = std::labs(bias % 60);
  // The sign comes from the bias itself: a zone less than an hour behind UTC
  // has hours 0 and must still read "-".
  const char sign = bias > 0 ? '-' : '+';
  const char* day = kDayNames[time.wDayOfWeek % 7];
  const char* month = kMonthNames[(time.wMonth >= 1 && time.wMonth <= 12) ? time.wMonth - 1 : 0];
  char text[64];
  std::snprintf(text, sizeof(text), "%s, %2d %s %4d %2d:%02d:%02d %c%02ld%02ld", day, time.wDay, month,
                time.wYear, time.wHour, time.wMinute, time.wSecond, sign, std::labs(hours), minutes);
  return text;
}

std::string CMailAction::formatDate() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  TIME_ZONE_INFORMATION zone{};
  const DWORD state = GetTimeZoneInformation(&zone);
  long bias = zone.Bias;
  if (state == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  return formatDate(now, bias);
}
