#include "service/CErrorReport.h"

#include <gtest/gtest.h>

#include <thread>

#include "service/event_ids.h"

namespace {

TEST(CErrorReport, CarriesNumberCodeAndText) {
  const CErrorReport report(kEventMailError, 550, "Error talking to smtp-server - RCPT TO");
  EXPECT_EQ(report.getNumber(), 117);
  EXPECT_EQ(report.getCode(), 550);
  EXPECT_STREQ(report.getText().getNarrow(), "Error talking to smtp-server - RCPT TO");
  EXPECT_STREQ(report.getClassName().getNarrow(), "CErrorReport");
}

TEST(CErrorReport, WinSockErrorIsCaughtAsErrorReport) {
  try {
    throw CWinSockError(kEventBindFailed, 10048, u"Can't bind to socket - ERRORCODE: 10048");
  } catch (const CErrorReport& report) {
    EXPECT_EQ(report.getNumber(), 8);
    EXPECT_EQ(report.getCode(), 10048);
    EXPECT_STREQ(report.getClassName().getNarrow(), "CWinSockError");
    return;
  }
  FAIL() << "not caught";
}

TEST(CErrorReport, ClassNameIsOneObjectPerClass) {
  const CWinSockError a(4, 0, "Invalid IP Address");
  const CWinSockError b(5, 11001, "Invalid Hostname");
  const CErrorReport c(99, 0, "x");
  EXPECT_EQ(&a.getClassName(), &b.getClassName());
  EXPECT_NE(&a.getClassName(), &c.getClassName());
  EXPECT_EQ(&c.getClassName(), &CErrorReport(1, 2, "y").getClassName());

  const CTolvaneString* seenByOtherThread = nullptr;
  std::thread([&] { seenByOtherThread = &CWinSockError(1, 0, "z").getClassName(); }).join();
  EXPECT_EQ(seenByOtherThread, &a.getClassName());
}

}  // namespace
