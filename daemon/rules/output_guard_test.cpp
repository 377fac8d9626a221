// The output guard as the rule engine meets it, through CActionListEntry,
// with scripted actions and a clock the tests move.
#include "rules/output_guard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "daemon_test_support.h"
#include "platform/eventlog.h"
#include "rules/CActionListEntry.h"
#include "rules/action_factory.h"
#include "service/event_ids.h"
#include "service/service_events.h"
#include "service/statistics.h"
#include "temp_root.h"

namespace {

using namespace std::chrono_literals;
using Clock = OutputGuard::Clock;

enum class Outcome { kDone, kOutputFailure, kMessageFailure };

// What the next call of every scripted action does, and how many ran.
Outcome g_outcome = Outcome::kDone;
int g_calls = 0;
Clock::time_point g_now;

Clock::time_point fakeNow() { return g_now; }

class ScriptedAction : public CAction {
 public:
  void Execute(const SyslogMessage&, const ActionSettings&, const CActionListEntry&) override {
    ++g_calls;
    if (g_outcome == Outcome::kDone) return;
    CErrorReport report(
        kEventMailError, g_outcome == Outcome::kOutputFailure ? 10061 : 550,
        g_outcome == Outcome::kOutputFailure ? "Couldn't connect to host" : "recipient refused");
    report.setOutputFailure(g_outcome == Outcome::kOutputFailure);
    throw report;
  }
};

std::unique_ptr<CAction> scriptedFactory(std::int32_t type) {
  if (type == kActionShellExec || type == kActionNetSend) return nullptr;
  return std::make_unique<ScriptedAction>();
}

class OutputGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_previousFactory = setActionFactoryForTesting(scriptedFactory);
    m_previousClock = setOutputClockForTesting(fakeNow);
    resetOutputGuardsForTesting();
    statistics().resetForTesting();
    g_now = Clock::time_point() + 1000h;
    g_outcome = Outcome::kDone;
    g_calls = 0;
    m_settings.smtpServer = "smtp.example.com";
    m_settings.smtpPort = 25;
    m_settings.odbcDsn = "Syslog";
    m_settings.forwardServer = "10.0.0.9";
  }
  void TearDown() override {
    setActionFactoryForTesting(m_previousFactory);
    setOutputClockForTesting(m_previousClock);
    resetOutputGuardsForTesting();
  }

  // Runs the entry for one message: "done", "stop" (CallAction said false),
  // "raised" (the report passed on) or "missed" (stopped, the action not run).
  std::string call(const CActionListEntry& entry) {
    const int before = g_calls;
    try {
      const bool goOn = entry.CallAction(m_message, m_settings);
      if (goOn) return "done";
      return g_calls == before ? "missed" : "stop";
    } catch (const CErrorReport&) {
      return "raised";
    }
  }

  // The events of the guard so far, each as its identifier and inserts.
  static std::vector<std::string> guardEvents() {
    std::vector<platform::EventRecord> records;
    platform::readEvents(0, kServiceName, records);
    std::vector<std::string> found;
    for (const auto& record : records) {
      if (record.eventId != kEventOutputSuspended && record.eventId != kEventOutputRecovered) continue;
      std::string text = std::to_string(record.eventId);
      for (const std::string& insert : record.strings) text += "|" + insert;
      found.push_back(text);
    }
    return found;
  }

  static const OutputCounters* counters(const std::string& name) {
    const OutputCounters* found = nullptr;
    statistics().forEachOutput([&](const OutputCounters& output) {
      if (output.name == name) found = &output;
    });
    return found;
  }

  platform::testing::TempPlatformRoot m_root;
  ActionFactory m_previousFactory = nullptr;
  OutputClock m_previousClock = nullptr;
  ActionSettings m_settings;
  SyslogMessage m_message = daemon_testing::makeMessage(1, 3, "disk full");
  CTolvaneString m_recipient{"admin@example.com"};
  CActionListEntry m_mail{kActionMail, &m_recipient};
};

TEST_F(OutputGuardTest, AnOutputFailureSuspendsWithOneEventAndEachFailedTryDoublesTheBackOffUpToAMinute) {
  g_outcome = Outcome::kOutputFailure;
  EXPECT_EQ(call(m_mail), "stop");
  EXPECT_EQ(guardEvents(),
            std::vector<std::string>{"160|mail smtp.example.com:25|1|117|Couldn't connect to host"});
  for (const auto backOff : {1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s}) {
    // Within the back-off nothing tries the server, whatever it would answer.
    g_outcome = Outcome::kDone;
    g_now += backOff - 1ms;
    EXPECT_EQ(call(m_mail), "missed") << backOff.count();
    g_outcome = Outcome::kOutputFailure;
    g_now += 1ms;
    EXPECT_EQ(call(m_mail), "stop") << backOff.count();  // tried, and failed again
  }
  EXPECT_EQ(guardEvents().size(), 1u);

  const OutputCounters* mail = counters("mail smtp.example.com:25");
  ASSERT_NE(mail, nullptr);
  EXPECT_EQ(read(mail->done), 0u);
  EXPECT_EQ(read(mail->failed), 9u);
  EXPECT_EQ(read(mail->suspended), 9u);
  EXPECT_EQ(read(mail->missed), 8u);
}

TEST_F(OutputGuardTest, TheTryThatWorksLogsTheMissedMessagesAndTheNextEpisodeStartsAfresh) {
  g_outcome = Outcome::kOutputFailure;
  ASSERT_EQ(call(m_mail), "stop");
  EXPECT_EQ(call(m_mail), "missed");
  g_now += 1s;
  EXPECT_EQ(call(m_mail), "stop");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(call(m_mail), "missed");
  g_now += 2500ms;
  g_outcome = Outcome::kDone;
  EXPECT_EQ(call(m_mail), "done");
  EXPECT_EQ(call(m_mail), "done");
  EXPECT_EQ(guardEvents(), (std::vector<std::string>{
                               "160|mail smtp.example.com:25|1|117|Couldn't connect to host",
                               "161|mail smtp.example.com:25|4|4",
                           }));

  // A new episode: one event again, and the back-off is one second again.
  g_outcome = Outcome::kOutputFailure;
  EXPECT_EQ(call(m_mail), "stop");
  EXPECT_EQ(guardEvents().size(), 3u);
  g_now += 1s;
  g_outcome = Outcome::kDone;
  EXPECT_EQ(call(m_mail), "done");
  EXPECT_EQ(guardEvents().back(), "161|mail smtp.example.com:25|1|0");

  const OutputCounters* mail = counters("mail smtp.example.com:25");
  EXPECT_EQ(read(mail->done), 3u);
  EXPECT_EQ(read(mail->failed), 3u);
  EXPECT_EQ(read(mail->suspended), 3u);
  EXPECT_EQ(read(mail->missed), 4u);
}

TEST_F(OutputGuardTest, AFailureOfTheMessageAlonePassesOnAndSuspendsNothing) {
  g_outcome = Outcome::kMessageFailure;
  EXPECT_EQ(call(m_mail), "raised");
  EXPECT_EQ(call(m_mail), "raised");  // tried again at once
  EXPECT_TRUE(guardEvents().empty());
  EXPECT_EQ(read(counters("mail smtp.example.com:25")->failed), 2u);
  EXPECT_EQ(read(counters("mail smtp.example.com:25")->suspended), 0u);

  // On the try after a suspension it still passes on, and the episode is
  // over: the server answered.
  g_outcome = Outcome::kOutputFailure;
  ASSERT_EQ(call(m_mail), "stop");
  g_now += 1s;
  g_outcome = Outcome::kMessageFailure;
  EXPECT_EQ(call(m_mail), "raised");
  EXPECT_EQ(guardEvents().back(), "161|mail smtp.example.com:25|1|0");
  g_outcome = Outcome::kOutputFailure;
  EXPECT_EQ(call(m_mail), "stop");
  EXPECT_EQ(guardEvents().size(), 3u);  // a new episode
}

TEST_F(OutputGuardTest, AnOutputIsTheActionTypeWithItsTargetAndOutlivesItsEntries) {
  const CTolvaneString other("other@example.com"), dsn("Archive"), target("relay.example.com:1514");
  const CActionListEntry mailOther(kActionMail, &other), database(kActionOdbc, nullptr),
      archive(kActionOdbc, &dsn), forward(kActionForward, nullptr), relay(kActionForward, &target),
      file(kActionFile, nullptr), eventLog(kActionEventLog, nullptr);

  g_outcome = Outcome::kOutputFailure;
  ASSERT_EQ(call(m_mail), "stop");
  ASSERT_EQ(call(database), "stop");
  ASSERT_EQ(call(relay), "stop");
  // The recipient is not part of the mail output; the data source and the
  // forwarding target are.
  EXPECT_EQ(call(mailOther), "missed");
  EXPECT_EQ(call(archive), "stop");
  EXPECT_EQ(call(forward), "stop");
  // A rule base read again makes new entries; the outputs stay suspended.
  EXPECT_EQ(call(CActionListEntry(kActionMail, &m_recipient)), "missed");
  // The settings name the target where the entry does not.
  m_settings.smtpPort = 587;
  EXPECT_EQ(call(m_mail), "stop");
  // The file and the event log are never suspended.
  EXPECT_EQ(call(file), "raised");
  EXPECT_EQ(call(file), "raised");
  EXPECT_EQ(call(eventLog), "raised");

  std::vector<std::string> suspended;
  for (const std::string& event : guardEvents()) suspended.push_back(event.substr(0, event.find('|', 4)));
  EXPECT_EQ(suspended, (std::vector<std::string>{"160|mail smtp.example.com:25", "160|database Syslog",
                                                 "160|forward relay.example.com:1514", "160|database Archive",
                                                 "160|forward 10.0.0.9", "160|mail smtp.example.com:587"}));
  EXPECT_EQ(read(counters("file")->failed), 2u);
  EXPECT_EQ(read(counters("event log")->failed), 1u);

  // Discard and the types without effect have no output and are never held.
  EXPECT_FALSE(CActionListEntry(kActionDiscard, nullptr).CallAction(m_message, m_settings));
  EXPECT_TRUE(CActionListEntry(kActionShellExec, nullptr).CallAction(m_message, m_settings));
}

}  // namespace
