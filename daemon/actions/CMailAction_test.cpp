#include "actions/CMailAction.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/registry.h"
#include "reception/CWinSock.h"
#include "rules/CActionListEntry.h"
#include "rules/CRuleBase.h"
#include "rules/rule_value_name.h"
#include "service/CErrorReport.h"
#include "smtp_test_peers.h"
#include "temp_root.h"

namespace {

using namespace std::chrono_literals;
using smtp_test::ScriptedSmtpServer;
using smtp_test::SmtpSink;

SyslogMessage makeMessage(const std::string& text, const char* host = "10.0.0.5", int facility = 4,
                          int priority = 3) {
  SyslogMessage message;
  message.setMessage(CTolvaneString(text.c_str()));
  message.setFromHost(CTolvaneString(host));
  message.setFacility(facility);
  message.setPriority(priority);
  return message;
}

// The report a session raised; number 0 when it succeeded.
struct Failure {
  std::int32_t number = 0;
  std::int32_t code = 0;
  std::string text;
  bool socketLayer = false;
  bool outputFailure = false;  // the next mail to the server would meet it too
};

// --- the texts of a mail ---

TEST(CMailActionTextTest, BodyHasTheFixedLayoutWithBareLineFeeds) {
  EXPECT_EQ(CMailAction::buildBody(makeMessage("disk full")),
            "Syslog message:\nFacility: 4 \nPriority: 3 \nSource: 10.0.0.5\n\nMessage:\ndisk full");
}

TEST(CMailActionTextTest, BodyIsCutAt1024BytesButNeverInsideACharacter) {
  const std::string head = CMailAction::buildBody(makeMessage(""));
  EXPECT_EQ(CMailAction::buildBody(makeMessage(std::string(2000, 'x'))).size(), 1024u);
  // A two-byte character straddling the limit is left out whole.
  std::string text(1024 - head.size() - 1, 'x');
  text += "\xC3\xA9tail";
  const std::string body = CMailAction::buildBody(makeMessage(text));
  EXPECT_EQ(body.size(), 1023u);
  EXPECT_EQ(body.back(), 'x');
}

struct SubjectCase {
  const char* subjectTemplate;
  const char* text;
  const char* expected;
};

TEST(CMailActionTextTest, SubjectPlaceholders) {
  const SubjectCase cases[] = {
      {"Syslog %p/%f from %s: %m", "disk full", "Syslog 3/4 from 10.0.0.5: disk full"},
      {"100%", "x", "100%"},
      {"%x stays", "x", "%x stays"},
      {"%%m is literal", "x", "%m is literal"},
      {"", "x", ""},
      {"%m%m", "ab", "abab"},
  };
  for (const SubjectCase& c : cases) {
    EXPECT_EQ(CMailAction::expandSubject(c.subjectTemplate, makeMessage(c.text)), c.expected)
        << c.subjectTemplate;
  }
}

TEST(CMailActionTextTest, SubjectStopsAt255BytesAlsoInsideAReplacement) {
  const std::string subject =
      CMailAction::expandSubject("Alarm: %m (end)", makeMessage(std::string(300, 'y')));
  EXPECT_EQ(subject, "Alarm: " + std::string(248, 'y'));
}

TEST(CMailActionTextTest, LineBreaksFromTheNetworkBecomeBlanksInTheSubject) {
  const SyslogMessage message = makeMessage("boom\r\nBcc: victim@example.com\n\x01x", "evil\rhost");
  EXPECT_EQ(CMailAction::expandSubject("%s: %m", message), "evil host: boom  Bcc: victim@example.com  x");
  EXPECT_EQ(CMailAction::expandSubject("tab\tkept", message), "tab\tkept");
}

TEST(CMailActionTextTest, MailDataHasCrLfLinesAndDoublesLeadingDots) {
  EXPECT_EQ(CMailAction::toMailData("a\n.\nb"), "a\r\n..\r\nb");
  EXPECT_EQ(CMailAction::toMailData(".start\n..two\nmid.dle."), "..start\r\n...two\r\nmid.dle.");
  EXPECT_EQ(CMailAction::toMailData("cr\rcrlf\r\n.x\n"), "cr\r\ncrlf\r\n..x\r\n");
  EXPECT_EQ(CMailAction::toMailData(""), "");
}

TEST(CMailActionTextTest, DateLayoutAndZoneOffset) {
  SYSTEMTIME time{2026, 12, 1, 7, 9, 5, 3, 0};  // Monday
  EXPECT_EQ(CMailAction::formatDate(time, -60), "Mon,  7 Dec 2026  9:05:03 +0100");
  EXPECT_EQ(CMailAction::formatDate(time, 0), "Mon,  7 Dec 2026  9:05:03 +0000");
  EXPECT_EQ(CMailAction::formatDate(time, 300), "Mon,  7 Dec 2026  9:05:03 -0500");
  EXPECT_EQ(CMailAction::formatDate(time, -330), "Mon,  7 Dec 2026  9:05:03 +0530");
  // Less than an hour behind UTC: the hours are 0 but the sign is still minus.
  EXPECT_EQ(CMailAction::formatDate(time, 30), "Mon,  7 Dec 2026  9:05:03 -0030");
  SYSTEMTIME other{1999, 1, 6, 31, 23, 59, 59, 0};
  EXPECT_EQ(CMailAction::formatDate(other, 570), "Sat, 31 Jan 1999 23:59:59 -0930");
}

TEST(CMailActionTextTest, ReplyCodeIsTheLeadingNumberAndMinusOneWithoutMore) {
  EXPECT_EQ(CMailAction::parseReplyCode("250 OK\r\n"), 250);
  EXPECT_EQ(CMailAction::parseReplyCode("354\r\n"), 354);
  EXPECT_EQ(CMailAction::parseReplyCode("250"), -1);
  EXPECT_EQ(CMailAction::parseReplyCode(""), -1);
  EXPECT_EQ(CMailAction::parseReplyCode("hello\r\n"), 0);
  EXPECT_EQ(CMailAction::parseReplyCode("99999999999999999999 x"),
            CMailAction::parseReplyCode("999999999 x"));
}

// --- sessions ---

class CMailActionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_settings.smtpServer = "127.0.0.1";
    m_settings.smtpSender = "corvantel@example.com";
    m_settings.smtpRecipient = "admin@example.com";
    m_settings.smtpSubject = "Syslog %p/%f from %s: %m";
  }

  Failure send(const SyslogMessage& message, const std::string& recipient = "admin@example.com",
               std::chrono::milliseconds timeout = 5s) {
    Failure failure;
    try {
      CMailAction().sendMail(message, m_settings, recipient, timeout);
    } catch (const CWinSockError& report) {
      failure = {report.getNumber(), report.getCode(), report.getText().getNarrow(), true,
                 report.isOutputFailure()};
    } catch (const CErrorReport& report) {
      failure = {report.getNumber(), report.getCode(), report.getText().getNarrow(), false,
                 report.isOutputFailure()};
    }
    return failure;
  }

  platform::testing::TempPlatformRoot m_root;
  ActionSettings m_settings;
};

TEST_F(CMailActionTest, RealServerReceivesHeadersAndBodyExactly) {
  SmtpSink sink(m_root.base() / "mail");
  ASSERT_NE(sink.port(), 0) << "the SMTP server did not start";
  m_settings.smtpPort = sink.port();
  const std::string text = "first\n.\nQUIT\n.leading dot\n..two dots\nlast";
  const Failure failure = send(makeMessage(text, "10.0.0.5", 4, 3));
  ASSERT_EQ(failure.number, 0) << failure.text;

  const auto mails = sink.waitForMails(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].envelope, "corvantel@example.com\nadmin@example.com\n");
  const std::string& content = mails[0].content;
  const std::size_t end = content.find("\r\n");
  ASSERT_NE(end, std::string::npos);
  const std::string dateLine = content.substr(0, end);
  EXPECT_TRUE(std::regex_match(
      dateLine,
      std::regex(
          R"(Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [ 1-3]\d [A-Z][a-z]{2} \d{4} [ 12]\d:[0-5]\d:[0-6]\d [+-]\d{4})")))
      << dateLine;
  // The whole message text arrives, the lone dot and the QUIT as lines of the body.
  EXPECT_EQ(content.substr(end + 2),
            "From: \"corvantel@example.com\" <corvantel@example.com>\r\n"
            "Subject: Syslog 3/4 from 10.0.0.5: first . QUIT .leading dot ..two dots last\r\n"
            "To: \"admin@example.com\" <admin@example.com>\r\n"
            "X-Mailer: Tolvane Corvantel\r\n"
            "\r\n"
            "Syslog message:\r\nFacility: 4 \r\nPriority: 3 \r\nSource: 10.0.0.5\r\n\r\nMessage:\r\n"
            "first\r\n.\r\nQUIT\r\n.leading dot\r\n..two dots\r\nlast\r\n");
}

TEST_F(CMailActionTest, RealServerGetsNoHeaderFromTheMessageText) {
  SmtpSink sink(m_root.base() / "mail");
  ASSERT_NE(sink.port(), 0);
  m_settings.smtpPort = sink.port();
  m_settings.smtpSubject = "%m";
  ASSERT_EQ(send(makeMessage("boom\r\nBcc: victim@example.com\r\n\r\nforged body")).number, 0);
  const auto mails = sink.waitForMails(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_NE(mails[0].content.find("\r\nSubject: boom  Bcc: victim@example.com    forged body\r\n"),
            std::string::npos)
      << mails[0].content;
  const std::string header = mails[0].content.substr(0, mails[0].content.find("\r\n\r\n"));
  EXPECT_EQ(header.find("\r\nBcc:"), std::string::npos) << header;
  EXPECT_EQ(mails[0].envelope, "corvantel@example.com\nadmin@example.com\n");
}

TEST_F(CMailActionTest, RuleParameterOverridesTheGlobalRecipientAndARefusalIs117With550) {
  SmtpSink sink(m_root.base() / "mail");
  ASSERT_NE(sink.port(), 0);
  m_settings.smtpPort = sink.port();
  const CTolvaneString other("ops@example.com");
  CMailAction().Execute(makeMessage("one"), m_settings, CActionListEntry(1002, &other));
  CMailAction().Execute(makeMessage("two"), m_settings, CActionListEntry(1002, nullptr));
  const auto mails = sink.waitForMails(2);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].envelope, "corvantel@example.com\nops@example.com\n");
  EXPECT_NE(mails[0].content.find("\r\nTo: \"ops@example.com\" <ops@example.com>\r\n"), std::string::npos);
  EXPECT_EQ(mails[1].envelope, "corvantel@example.com\nadmin@example.com\n");

  const Failure refused = send(makeMessage("three"), "refused@example.com");
  EXPECT_EQ(refused.number, 117);
  EXPECT_EQ(refused.code, 550);
  EXPECT_EQ(refused.text,
            "Error talking to smtp-server - RCPT TO \nYou may not allowed to relay on this server.");
  EXPECT_EQ(sink.mails().size(), 2u);
}

TEST_F(CMailActionTest, ScriptedSessionSendsTheCommandsInOrderAndDotStuffedData) {
  ScriptedSmtpServer server;
  server.start();
  m_settings.smtpPort = server.port();
  m_settings.smtpSubject = "";
  ASSERT_EQ(send(makeMessage("a\n.\nb")).number, 0);
  EXPECT_EQ(server.commands(), (std::vector<std::string>{std::string("HELO ") + getLocalHostName(),
                                                         "MAIL FROM: <corvantel@example.com>",
                                                         "RCPT TO: <admin@example.com>", "DATA", "QUIT"}));
  const auto data = server.data();
  ASSERT_EQ(data.size(), 1u);
  // The bytes on the wire: an empty Subject line, CR LF lines, the lone dot doubled.
  EXPECT_NE(data[0].find("\r\nSubject: \r\nTo: "), std::string::npos) << data[0];
  const std::string tail = "Message:\r\na\r\n..\r\nb\r\n.\r\n";
  ASSERT_GE(data[0].size(), tail.size());
  EXPECT_EQ(data[0].substr(data[0].size() - tail.size()), tail);
  EXPECT_EQ(data[0].find('\n'), data[0].find("\r\n") + 1);
}

TEST_F(CMailActionTest, GreetingIsNotCheckedAndMultiLineRepliesCountByTheirLastLine) {
  ScriptedSmtpServer server;
  server.greeting = "554 go away\r\n";
  server.answer = [](const std::string& line) -> std::string {
    if (line.rfind("HELO", 0) == 0) return "250-fake.test\r\n250-SIZE 1000\r\n250 HELP\r\n";
    if (line == "DATA") return "354 go on\r\n";
    return "250 OK\r\n";
  };
  server.start();
  m_settings.smtpPort = server.port();
  const Failure failure = send(makeMessage("x"));
  EXPECT_EQ(failure.number, 0) << failure.text;
  EXPECT_EQ(server.data().size(), 1u);
}

struct RefusalCase {
  const char* refusedCommand;
  const char* reply;
  std::int32_t code;
  const char* text;
  bool outputFailure;  // refused before the recipient, or the server closing for everybody
};

TEST_F(CMailActionTest, EachRefusedStepIs117WithItsTextAndNothingFollows) {
  const char* const recipientText =
      "Error talking to smtp-server - RCPT TO \nYou may not allowed to relay on this server.";
  const RefusalCase cases[] = {
      {"HELO", "501 who are you\r\n", 501, "Error talking to smtp-server - HELO <hostname>", true},
      {"MAIL", "553 no such sender\r\n", 553, "Error talking to smtp-server - MAIL FROM", true},
      {"RCPT", "251 will forward\r\n", 251, recipientText, false},
      {"RCPT", "550 no such user\r\n", 550, recipientText, false},
      {"RCPT", "421 closing, try later\r\n", 421, recipientText, true},
      {"DATA", "250 but not 354\r\n", 250, "Error talking to smtp-server - DATA", false},
      {"HELO", "hello there\r\n", 0, "Error talking to smtp-server - HELO <hostname>", true},
  };
  for (const RefusalCase& c : cases) {
    ScriptedSmtpServer server;
    const std::string refused = c.refusedCommand, reply = c.reply;
    server.answer = [refused, reply](const std::string& line) -> std::string {
      if (line.rfind(refused, 0) == 0) return reply;
      if (line == "DATA") return "354 go on\r\n";
      return "250 OK\r\n";
    };
    server.start();
    m_settings.smtpPort = server.port();
    const Failure failure = send(makeMessage("x"));
    EXPECT_EQ(failure.number, 117) << c.refusedCommand;
    EXPECT_EQ(failure.code, c.code) << c.refusedCommand;
    EXPECT_EQ(failure.text, c.text);
    EXPECT_EQ(failure.outputFailure, c.outputFailure) << c.reply;
    const auto commands = server.commands();
    ASSERT_FALSE(commands.empty());
    // The refused command is the last one: no QUIT, no later step.
    EXPECT_EQ(commands.back().rfind(refused, 0), 0u) << commands.back();
  }
}

TEST_F(CMailActionTest, RefusedEndOfMailIs117) {
  ScriptedSmtpServer server;
  server.dataReply = "552 too big\r\n";
  server.start();
  m_settings.smtpPort = server.port();
  const Failure failure = send(makeMessage("x"));
  EXPECT_EQ(failure.number, 117);
  EXPECT_EQ(failure.code, 552);
  EXPECT_EQ(failure.text, "Error talking to smtp-server - END OF MAIL");
  EXPECT_FALSE(failure.outputFailure);  // this mail's refusal, not the server's
}

TEST_F(CMailActionTest, ServerClosingWithoutAReplyLineGivesMinusOne) {
  ScriptedSmtpServer server;
  server.answer = [](const std::string&) -> std::string { return "250"; };  // no line end, then closed
  server.closeAfterAnswer = true;
  server.start();
  m_settings.smtpPort = server.port();
  const Failure failure = send(makeMessage("x"));
  EXPECT_EQ(failure.number, 117);
  EXPECT_EQ(failure.code, -1);
  EXPECT_EQ(failure.text, "Error talking to smtp-server - HELO <hostname>");
  EXPECT_TRUE(failure.outputFailure);
}

TEST_F(CMailActionTest, OverlongReplyLineIsDroppedPastTheBufferAndTheNextLineStillReads) {
  ScriptedSmtpServer server;
  server.answer = [](const std::string& line) -> std::string {
    if (line.rfind("HELO", 0) == 0) return "250-" + std::string(20000, 'z') + "\r\n250 OK\r\n";
    if (line == "DATA") return "354 go on\r\n";
    return "250 OK\r\n";
  };
  server.start();
  m_settings.smtpPort = server.port();
  const Failure failure = send(makeMessage("x"));
  EXPECT_EQ(failure.number, 0) << failure.text;
  EXPECT_EQ(server.data().size(), 1u);
}

TEST_F(CMailActionTest, SilentServerTimesOutWith117) {
  ScriptedSmtpServer server;
  server.greeting = "";
  server.start();
  m_settings.smtpPort = server.port();
  const auto begin = std::chrono::steady_clock::now();
  const Failure failure = send(makeMessage("x"), "admin@example.com", 300ms);
  const auto spent = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(failure.number, 117);
  EXPECT_EQ(failure.code, WSAETIMEDOUT);
  EXPECT_EQ(failure.text, "Error talking to smtp-server - greeting: no answer within 300 ms");
  EXPECT_TRUE(failure.outputFailure);
  EXPECT_GE(spent, 290ms);
  EXPECT_LT(spent, 3s);
  EXPECT_TRUE(server.commands().empty());
}

TEST_F(CMailActionTest, ServerSilentAfterTheDataTimesOutWith117) {
  ScriptedSmtpServer server;
  server.dataReply = "";
  server.start();
  m_settings.smtpPort = server.port();
  const Failure failure = send(makeMessage("x"), "admin@example.com", 300ms);
  EXPECT_EQ(failure.number, 117);
  EXPECT_EQ(failure.code, WSAETIMEDOUT);
  EXPECT_EQ(failure.text, "Error talking to smtp-server - END OF MAIL: no answer within 300 ms");
  EXPECT_TRUE(failure.outputFailure);
}

TEST_F(CMailActionTest, ConnectionNeverTakenTimesOutWith117) {
  // A listener that accepts nothing, its queue filled: further connection
  // requests go unanswered, as with a host that drops them.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  socklen_t length = sizeof(address);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  ASSERT_EQ(::listen(listener, 0), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    fillers.push_back(filler);
  }
  std::this_thread::sleep_for(50ms);
  m_settings.smtpPort = ntohs(address.sin_port);
  const auto begin = std::chrono::steady_clock::now();
  const Failure failure = send(makeMessage("x"), "admin@example.com", 300ms);
  const auto spent = std::chrono::steady_clock::now() - begin;
  for (const int filler : fillers) ::close(filler);
  ::close(listener);
  EXPECT_EQ(failure.number, 117) << failure.text;
  EXPECT_EQ(failure.code, WSAETIMEDOUT);
  EXPECT_EQ(failure.text, "Error talking to smtp-server - connect: no answer within 300 ms");
  EXPECT_TRUE(failure.outputFailure);
  EXPECT_LT(spent, 3s);
}

TEST_F(CMailActionTest, TimeOutComesFromTheEnvironmentInExecute) {
  ScriptedSmtpServer server;
  server.greeting = "";
  server.start();
  m_settings.smtpPort = server.port();
  ::setenv("CORVANTEL_SMTP_TIMEOUT_MS", "200", 1);
  Failure failure;
  try {
    CMailAction().Execute(makeMessage("x"), m_settings, CActionListEntry(1002, nullptr));
  } catch (const CErrorReport& report) {
    failure = {report.getNumber(), report.getCode(), report.getText().getNarrow(), false};
  }
  ::unsetenv("CORVANTEL_SMTP_TIMEOUT_MS");
  EXPECT_EQ(failure.number, 117);
  EXPECT_EQ(failure.text, "Error talking to smtp-server - greeting: no answer within 200 ms");
}

TEST_F(CMailActionTest, RefusedConnectionIsSocketError9UnknownHostIs5AndBadAddressIs4) {
  {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));  // a port nobody listens on
    socklen_t length = sizeof(address);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    m_settings.smtpPort = ntohs(address.sin_port);
    const Failure failure = send(makeMessage("x"));
    ::close(probe);
    EXPECT_TRUE(failure.socketLayer);
    EXPECT_EQ(failure.number, 9);
    EXPECT_EQ(failure.code, WSAECONNREFUSED);
    EXPECT_TRUE(failure.outputFailure);
  }
  m_settings.smtpServer = "no-such-host.invalid";
  const Failure unknown = send(makeMessage("x"));
  EXPECT_TRUE(unknown.socketLayer);
  EXPECT_EQ(unknown.number, 5);
  EXPECT_TRUE(unknown.outputFailure);
  // A malformed address fails at once, as it always did, message by message.
  m_settings.smtpServer = "300.1.2.3";
  const Failure bad = send(makeMessage("x"));
  EXPECT_TRUE(bad.socketLayer);
  EXPECT_EQ(bad.number, 4);
  EXPECT_FALSE(bad.outputFailure);
}

TEST_F(CMailActionTest, AddressWithALineBreakIsRefusedBeforeConnecting) {
  ScriptedSmtpServer server;
  server.start();
  m_settings.smtpPort = server.port();
  const Failure recipient = send(makeMessage("x"), "a@example.com>\r\nRCPT TO: <b@example.com");
  EXPECT_EQ(recipient.number, 117);
  EXPECT_EQ(recipient.text, "Error talking to smtp-server - the recipient address holds a line break");
  EXPECT_FALSE(recipient.outputFailure);
  m_settings.smtpSender = "me@example.com\nBcc: x@example.com";
  const Failure sender = send(makeMessage("x"));
  EXPECT_EQ(sender.number, 117);
  EXPECT_EQ(sender.text, "Error talking to smtp-server - the sender address holds a line break");
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(server.transcripts().empty());
}

// --- through the rule base ---

TEST_F(CMailActionTest, RefusedRecipientSkipsTheRestOfTheMessageAndTheNextMessageGoesOn) {
  SmtpSink sink(m_root.base() / "mail");
  ASSERT_NE(sink.port(), 0);
  m_settings.smtpPort = sink.port();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, kRulesKeyPath, &key), ERROR_SUCCESS);
  const auto setDword = [&](const std::u16string& name, DWORD value) {
    RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
  };
  const auto setText = [&](const std::u16string& name, const std::u16string& text) {
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * 2));
  };
  setDword(u"nRuleCount", 2);
  setText(ruleValueName(1, "Message"), u"alarm");
  setDword(ruleValueName(1, "ActionCount"), 3);
  setDword(actionValueName(1, 1, "Type"), 1002);
  setText(actionValueName(1, 1, "String"), u"first@example.com");
  setDword(actionValueName(1, 2, "Type"), 1002);
  setText(actionValueName(1, 2, "String"), u"refused@example.com");
  setDword(actionValueName(1, 3, "Type"), 1002);
  setText(actionValueName(1, 3, "String"), u"third@example.com");
  setDword(ruleValueName(2, "ActionCount"), 1);
  setDword(actionValueName(2, 1, "Type"), 1002);
  setText(actionValueName(2, 1, "String"), u"second-rule@example.com");
  CRuleBase rules;
  rules.Load(key);
  RegCloseKey(key);

  Failure failure;
  try {
    rules.CallRules(makeMessage("alarm one"), m_settings);
  } catch (const CErrorReport& report) {
    failure = {report.getNumber(), report.getCode(), report.getText().getNarrow(), false};
  }
  EXPECT_EQ(failure.number, 117);
  EXPECT_EQ(failure.code, 550);
  rules.CallRules(makeMessage("routine two"), m_settings);

  const auto mails = sink.waitForMails(2);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].envelope, "corvantel@example.com\nfirst@example.com\n");
  EXPECT_EQ(mails[1].envelope, "corvantel@example.com\nsecond-rule@example.com\n");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sink.mails().size(), 2u);
}

}  // namespace
