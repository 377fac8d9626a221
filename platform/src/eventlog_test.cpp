#include "platform/eventlog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <thread>

#include "platform/paths.h"
#include "platform/registry.h"
#include "temp_root.h"

namespace {

class EventLogTest : public ::testing::Test {
 protected:
  // Writes one event with ReportEventA; returns the record as read back.
  platform::EventRecord reportAndRead(const char* source, WORD type, DWORD id,
                                      std::vector<const char*> strings) {
    HANDLE h = RegisterEventSourceA(nullptr, source);
    EXPECT_NE(h, nullptr);
    EXPECT_TRUE(ReportEventA(h, type, 0, id, nullptr, WORD(strings.size()), 0, strings.data(), nullptr))
        << GetLastError();
    EXPECT_TRUE(DeregisterEventSource(h));
    std::vector<platform::EventRecord> records;
    EXPECT_EQ(platform::readEvents(m_last, source, records), ERROR_SUCCESS);
    EXPECT_EQ(records.size(), 1u);
    if (records.empty()) return {};
    m_last = records.back().recordNumber;
    return records.back();
  }

  void registerSource(const std::string& source, const char* messageFile, DWORD type = REG_EXPAND_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE,
                            (std::string(platform::kApplicationLogKey) + "\\" + source).c_str(), &key),
              ERROR_SUCCESS);
    if (messageFile != nullptr) {
      ASSERT_EQ(RegSetValueExA(key, "EventMessageFile", 0, type, reinterpret_cast<const BYTE*>(messageFile),
                               DWORD(std::strlen(messageFile) + 1)),
                ERROR_SUCCESS);
    }
    const DWORD types = 7;
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(key);
  }

  platform::testing::TempPlatformRoot m_root;
  std::uint64_t m_last = 0;
};

TEST_F(EventLogTest, ReportedEventReadsBackWithEveryField) {
  const char* insert = "bad \xff\xfe bytes \xc3";  // not UTF-8: kept byte for byte
  HANDLE h = RegisterEventSourceA(nullptr, "Test Source");
  ASSERT_NE(h, nullptr);
  const BYTE raw[] = {0, 1, 2, 0xff};
  const char* strings[] = {insert, ""};
  ASSERT_TRUE(ReportEventA(h, EVENTLOG_WARNING_TYPE, 3, 0xC0000064, nullptr, 2, sizeof raw, strings,
                           const_cast<BYTE*>(raw)));
  DeregisterEventSource(h);

  std::vector<platform::EventRecord> records;
  ASSERT_EQ(platform::readEvents(0, std::nullopt, records), ERROR_SUCCESS);
  ASSERT_EQ(records.size(), 1u);
  const auto& r = records[0];
  EXPECT_EQ(r.recordNumber, 1u);
  EXPECT_EQ(r.source, "Test Source");
  EXPECT_EQ(r.type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(r.category, 3);
  EXPECT_EQ(r.eventId, 0xC0000064u);
  EXPECT_EQ(r.strings, (std::vector<std::string>{insert, ""}));
  EXPECT_EQ(r.data, (std::vector<BYTE>{0, 1, 2, 0xff}));
  EXPECT_FALSE(r.computer.empty());
  EXPECT_LE(std::abs(r.timeGenerated - std::int64_t(time(nullptr))), 5);
  EXPECT_EQ(r.timeWritten, r.timeGenerated);
}

TEST_F(EventLogTest, WideInsertsWithEscapedBytesReachTheLogAsBytes) {
  HANDLE h = RegisterEventSourceW(nullptr, u"Wide");
  ASSERT_NE(h, nullptr);
  const char16_t* strings[] = {u"caf\u00e9 \xDCFF"};  // U+DCFF stands for the byte 0xFF
  ASSERT_TRUE(ReportEventW(h, EVENTLOG_ERROR_TYPE, 0, 7, nullptr, 1, 0, strings, nullptr));
  DeregisterEventSource(h);
  std::vector<platform::EventRecord> records;
  ASSERT_EQ(platform::readEvents(0, "wide", records), ERROR_SUCCESS);  // source compares without case
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].strings.at(0), "caf\xc3\xa9 \xff");
}

TEST_F(EventLogTest, ReaderFiltersBySourceAndContinuesAfterARecord) {
  for (const char* source : {"A", "B", "A", "B", "A"})
    reportAndRead(source, EVENTLOG_INFORMATION_TYPE, 1, {"x"});
  std::vector<platform::EventRecord> records;
  ASSERT_EQ(platform::readEvents(0, "A", records), ERROR_SUCCESS);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].recordNumber, 3u);
  ASSERT_EQ(platform::readEvents(3, std::nullopt, records), ERROR_SUCCESS);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].recordNumber, 4u);
  ASSERT_EQ(platform::readEvents(0, std::nullopt, records, 2), ERROR_SUCCESS);
  EXPECT_EQ(records.size(), 2u);
}

TEST_F(EventLogTest, MachineWithoutLogHasNoEventsAndCreatesNoFile) {
  std::vector<platform::EventRecord> records{platform::EventRecord{}};
  EXPECT_EQ(platform::readEvents(0, std::nullopt, records), ERROR_SUCCESS);
  EXPECT_TRUE(records.empty());
  EXPECT_FALSE(std::filesystem::exists(platform::machineRoot() / "eventlog.db"));
}

TEST_F(EventLogTest, StoreIsOwnerOnly) {
  reportAndRead("Perm", EVENTLOG_INFORMATION_TYPE, 1, {});
  struct stat st;
  ASSERT_EQ(stat((platform::machineRoot() / "eventlog.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(EventLogTest, BadArgumentsAndHandlesAreRefused) {
  EXPECT_EQ(RegisterEventSourceA("far-away-computer", "S"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_NETPATH));
  HANDLE local = RegisterEventSourceA("localhost", "S");
  ASSERT_NE(local, nullptr);
  EXPECT_FALSE(ReportEventA(local, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 1, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  const char* withNull[] = {"a", nullptr};
  EXPECT_FALSE(ReportEventA(local, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 2, 0, withNull, nullptr));
  EXPECT_FALSE(ReportEventA(local, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 4, nullptr, nullptr));
  EXPECT_TRUE(DeregisterEventSource(local));
  EXPECT_FALSE(DeregisterEventSource(local));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(ReportEventA(local, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(EventLogTest, ThreadsWritingAtOnceLoseNothing) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      HANDLE h = RegisterEventSourceA(nullptr, "Threads");
      for (int i = 0; i < 25; ++i)
        ReportEventA(h, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr);
      DeregisterEventSource(h);
    });
  for (auto& t : threads) t.join();
  std::vector<platform::EventRecord> records;
  ASSERT_EQ(platform::readEvents(0, std::nullopt, records), ERROR_SUCCESS);
  EXPECT_EQ(records.size(), 100u);
}

// ---- Formatting through a source's message file -----------------------------------

TEST_F(EventLogTest, EventIsFormattedFromTheSourcesMessageFile) {
  registerSource("Sample", CORVRES_SAMPLE_PROGRAM);
  const auto r = reportAndRead("Sample", EVENTLOG_ERROR_TYPE, 2, {"/var", "97", "\xff"});
  EXPECT_EQ(platform::formatEvent(r), "Disk /var is full (97% used).\r\r\nDetails: \xff\r\n");
}

TEST_F(EventLogTest, MessageFilePathIsExpandedAndMaySeveralFiles) {
  setenv("CORV_SAMPLE_DIR", std::filesystem::path(CORVRES_SAMPLE_PROGRAM).parent_path().c_str(), 1);
  const std::string files = "/nonexistent/first;%CORV_SAMPLE_DIR%/" +
                            std::filesystem::path(CORVRES_SAMPLE_PROGRAM).filename().string();
  registerSource("Expanded", files.c_str());
  const auto r = reportAndRead("Expanded", EVENTLOG_INFORMATION_TYPE, 1000, {"root"});
  EXPECT_EQ(platform::formatEvent(r), "Login failed for root\r\n");
  unsetenv("CORV_SAMPLE_DIR");
}

TEST_F(EventLogTest, WithoutATextTheInsertsAreShownUnchanged) {
  // No registration at all: the common case of a source named after a host.
  auto r = reportAndRead("10.0.0.5", EVENTLOG_ERROR_TYPE, 1, {"disk %1 full"});
  EXPECT_EQ(platform::formatEvent(r), "disk %1 full");
  // Registered without a message file.
  registerSource("NoFile", nullptr);
  r = reportAndRead("NoFile", EVENTLOG_ERROR_TYPE, 1, {"a", "b"});
  EXPECT_EQ(platform::formatEvent(r), "a\r\nb");
  // A message file without that identifier.
  registerSource("Sample", CORVRES_SAMPLE_PROGRAM);
  r = reportAndRead("Sample", EVENTLOG_ERROR_TYPE, 77, {"only"});
  EXPECT_EQ(platform::formatEvent(r), "only");
  // A message file that is not a program.
  registerSource("Broken", "/etc/hostname");
  r = reportAndRead("Broken", EVENTLOG_ERROR_TYPE, 1, {"kept"});
  EXPECT_EQ(platform::formatEvent(r), "kept");
}

TEST(EventTypeNameTest, NamesOfTheTypes) {
  EXPECT_EQ(platform::eventTypeName(EVENTLOG_ERROR_TYPE), "Error");
  EXPECT_EQ(platform::eventTypeName(EVENTLOG_WARNING_TYPE), "Warning");
  EXPECT_EQ(platform::eventTypeName(EVENTLOG_INFORMATION_TYPE), "Information");
  EXPECT_EQ(platform::eventTypeName(EVENTLOG_AUDIT_SUCCESS), "Audit Success");
  EXPECT_EQ(platform::eventTypeName(EVENTLOG_AUDIT_FAILURE), "Audit Failure");
  EXPECT_EQ(platform::eventTypeName(3), "Type 3");
}

}  // namespace
