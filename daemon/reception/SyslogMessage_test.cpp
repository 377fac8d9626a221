#include "reception/SyslogMessage.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "reception/pri_rule.h"

namespace {

class PlainRecord : public EventRecord {};

TEST(SyslogMessage, StartsAsLocal0NoticeReceivedNow) {
  const TimeValue before = std::time(nullptr);
  SyslogMessage message;
  EXPECT_EQ(message.getFacility(), 16);
  EXPECT_EQ(message.getPriority(), 5);
  EXPECT_EQ(message.getMessageLength(), 0);
  EXPECT_STREQ(message.getMessageA(), "");
  EXPECT_EQ(message.getFromHost().getLength(), 0);
  EXPECT_GE(message.getReceivedAt(), before);
  EXPECT_LE(message.getReceivedAt(), static_cast<TimeValue>(std::time(nullptr)));
  EXPECT_EQ(std::u16string(message.getDescription()), u"received syslog message");
}

TEST(SyslogMessage, BaseRecordAnswersUnspecified) {
  PlainRecord record;
  EXPECT_EQ(record.getPriority(), 5);
  EXPECT_EQ(record.getFacility(), 128);
  EXPECT_EQ(record.getEventType(), 4);
  EXPECT_EQ(std::u16string(record.getDescription()), u"unknown");
}

TEST(SyslogMessage, SettersIgnoreValuesOutOfRange) {
  SyslogMessage message;
  for (int bad : {-1, 24, 127, 128}) message.setFacility(bad);
  EXPECT_EQ(message.getFacility(), 16);
  message.setFacility(0);
  EXPECT_EQ(message.getFacility(), 0);
  message.setFacility(23);
  EXPECT_EQ(message.getFacility(), 23);

  for (int bad : {-1, 8}) message.setPriority(bad);
  EXPECT_EQ(message.getPriority(), 5);
  message.setPriority(0);
  EXPECT_EQ(message.getPriority(), 0);
}

TEST(SyslogMessage, FacilityOutOfRangeKeepsThePreviousDatagramsFacility) {
  SyslogMessage message;
  const char* datagram = "<200>x";
  const PriPart part = applyPriRule(datagram);
  message.setFacility(part.facility);  // 25: refused
  message.setPriority(part.priority);
  EXPECT_EQ(message.getFacility(), 16);
  EXPECT_EQ(message.getPriority(), 0);
}

TEST(SyslogMessage, EventTypeFollowsPriority) {
  const int expected[] = {1, 1, 1, 1, 2, 4, 4, 4};
  SyslogMessage message;
  for (int priority = 0; priority <= 7; ++priority) {
    message.setPriority(priority);
    EXPECT_EQ(message.getEventType(), expected[priority]) << "priority " << priority;
  }
}

TEST(SyslogMessage, TextAccessorsAgree) {
  SyslogMessage message;
  message.setMessage(CTolvaneString("disk \xff full"));
  EXPECT_EQ(message.getMessageLength(), 11);
  EXPECT_STREQ(message.getMessageA(), "disk \xff full");
  EXPECT_EQ(message.getText(), message.getMessageW());
  CTolvaneString copy(u"old");
  EXPECT_EQ(&message.getMessageString(copy), &copy);
  EXPECT_STREQ(copy.getNarrow(), "disk \xff full");

  message.setFromHost(CTolvaneString(u"10.0.0.5"));
  message.setReceivedAt(4102444800);  // beyond 2038
  EXPECT_STREQ(message.getFromHost().getNarrow(), "10.0.0.5");
  EXPECT_EQ(message.getReceivedAt(), 4102444800);
}

}  // namespace
