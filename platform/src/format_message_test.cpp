#include <gtest/gtest.h>

#include <string>

#include "platform/resource.h"
#include "platform/service.h"
#include "platform/winsock.h"

namespace {

// ---- Expansion of one text -------------------------------------------------------

struct Expansion {
  const char* pattern;
  std::vector<std::string> inserts;
  const char* expected;
};

class ExpandMessageTest : public ::testing::TestWithParam<Expansion> {};

TEST_P(ExpandMessageTest, GivesTheWindowsResult) {
  EXPECT_EQ(platform::expandMessage(GetParam().pattern, GetParam().inserts), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, ExpandMessageTest,
    ::testing::Values(Expansion{"Disk %1 is %2.", {"C", "full"}, "Disk C is full."},
                      Expansion{"%1%r%r \r\nmore", {"x"}, "x\r\r \r\nmore"},  // %r is a bare CR
                      Expansion{"a%nb", {}, "a\r\nb"},                        // %n is CR LF
                      Expansion{"100%% sure", {}, "100% sure"},               // %% is one %
                      Expansion{"only %1 and %5 and %12", {"one"}, "only one and %5 and %12"},
                      Expansion{"%10|%1", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"}, "ten|1"},
                      Expansion{"%1!s! done", {"job"}, "job done"},  // a printf format after the number
                      Expansion{"stop%0 here", {}, "stop"},          // %0 ends the message
                      Expansion{"%t%b%.%!", {}, "\t .!"}, Expansion{"ends in %", {}, "ends in %"},
                      Expansion{"%1", {"%2 stays %2"}, "%2 stays %2"},  // inserts are not expanded again
                      Expansion{"bytes %1", {"\xff\xfe"}, "bytes \xff\xfe"}));

TEST(ExpandMessageTest, IgnoreInsertsKeepsEveryInsertAsWritten) {
  EXPECT_EQ(platform::expandMessage("%1 of %2%n", {"a", "b"}, true), "%1 of %2\r\n");
}

// ---- FormatMessage -----------------------------------------------------------------

class FormatMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_module = LoadLibraryExA(CORVRES_SAMPLE_PROGRAM, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(m_module, nullptr);
  }
  void TearDown() override { FreeLibrary(m_module); }

  std::string format(DWORD id, std::vector<const char*> inserts) {
    inserts.push_back(nullptr);
    char buffer[512];
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, m_module, id,
                                   0, buffer, sizeof buffer, inserts.data());
    return n == 0 ? "<error " + std::to_string(GetLastError()) + ">" : std::string(buffer, n);
  }
  HMODULE m_module = nullptr;
};

TEST_F(FormatMessageTest, MessagesOfAModuleWithInserts) {
  EXPECT_EQ(format(2, {"/var", "97", "see df"}), "Disk /var is full (97% used).\r\r\nDetails: see df\r\n");
  EXPECT_EQ(format(3, {"one"}), "Only one and %5.\r\n");
  EXPECT_EQ(format(4, {}), "Stops here");
  EXPECT_EQ(format(1001, {}), "Second of a run\r\n");
  EXPECT_EQ(format(5, {}), "<error 317>");  // ERROR_MR_MID_NOT_FOUND
}

TEST_F(FormatMessageTest, WideFormTakesWideInsertsAndGivesWideText) {
  const char16_t* inserts[] = {u"Jos\u00e9", nullptr};
  char16_t buffer[64];
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, m_module, 1000,
                                 0, buffer, 64, inserts);
  EXPECT_EQ(std::u16string(buffer, n), u"Login failed for Jos\u00e9\r\n");
}

TEST_F(FormatMessageTest, BufferRulesAsOnWindows) {
  char small[8];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, m_module, 1, 0, small,
                           sizeof small, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

  char* allocated = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, m_module,
      2, 0, reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(std::string(allocated, n), "Disk %1 is full (%2% used).\r\r\nDetails: %3\r\n");
  EXPECT_EQ(allocated[n], '\0');
  LocalFree(allocated);

  // Inserts passed as a va_list do not exist on this platform.
  const char* inserts[] = {"x", nullptr};
  char buffer[64];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, m_module, 1000, 0, buffer, sizeof buffer, inserts),
            0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(FormatMessageSystemTest, KnownCodesHaveWindowsTextsOthersAreUnknown) {
  char buffer[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 1060, 0,
                           buffer, sizeof buffer, nullptr);
  EXPECT_EQ(std::string(buffer, n), "The specified service does not exist as an installed service.\r\n");
  n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 10048, 0, buffer,
                     sizeof buffer, nullptr);
  EXPECT_EQ(
      std::string(buffer, n),
      "Only one usage of each socket address (protocol/network address/port) is normally permitted.\r\n");
  EXPECT_EQ(platform::systemErrorText(1056), "An instance of the service is already running.\r\n");
  EXPECT_EQ(platform::systemErrorText(1011), "The configuration registry key could not be opened.\r\n");
  n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 4242, 0, buffer, sizeof buffer, nullptr);
  EXPECT_EQ(std::string(buffer, n), "Unknown error 4242");
}

// A program shows the system's text for whatever code a platform call left
// behind, so every code the platform's headers name must have one.
TEST(FormatMessageSystemTest, EveryCodeThePlatformReportsHasItsText) {
  const LONG platformCodes[] = {
      ERROR_SUCCESS, ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
      ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_DATA, ERROR_OUTOFMEMORY, ERROR_WRITE_FAULT,
      ERROR_READ_FAULT, ERROR_BAD_NETPATH, ERROR_INVALID_PARAMETER, ERROR_INSUFFICIENT_BUFFER,
      ERROR_INVALID_NAME, ERROR_BUSY, ERROR_ALREADY_EXISTS, ERROR_BAD_EXE_FORMAT, ERROR_MORE_DATA,
      ERROR_NO_MORE_ITEMS, ERROR_NOT_OWNER, ERROR_MR_MID_NOT_FOUND, ERROR_BADDB, ERROR_BADKEY, ERROR_CANTOPEN,
      ERROR_CANTREAD, ERROR_CANTWRITE, ERROR_REGISTRY_CORRUPT, ERROR_REGISTRY_IO_FAILED, ERROR_KEY_DELETED,
      ERROR_KEY_HAS_CHILDREN, ERROR_NO_UNICODE_TRANSLATION, ERROR_RESOURCE_DATA_NOT_FOUND,
      ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND,
      ERROR_TRANSACTION_NOT_ACTIVE, ERROR_TRANSACTION_ALREADY_COMMITTED,
      // service control manager
      ERROR_DEPENDENT_SERVICES_RUNNING, ERROR_INVALID_SERVICE_CONTROL, ERROR_SERVICE_REQUEST_TIMEOUT,
      ERROR_SERVICE_NO_THREAD, ERROR_SERVICE_ALREADY_RUNNING, ERROR_SERVICE_DISABLED,
      ERROR_SERVICE_DOES_NOT_EXIST, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, ERROR_SERVICE_NOT_ACTIVE, ERROR_SERVICE_SPECIFIC_ERROR,
      ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, ERROR_PROCESS_ABORTED, ERROR_SERVICE_MARKED_FOR_DELETE,
      ERROR_SERVICE_EXISTS, ERROR_DATABASE_DOES_NOT_EXIST, ERROR_INVALID_SERVICE_NAME,
      // Windows Sockets
      WSAEINTR, WSAEBADF, WSAEACCES, WSAEFAULT, WSAEINVAL, WSAEMFILE, WSAEWOULDBLOCK, WSAEINPROGRESS,
      WSAEALREADY, WSAENOTSOCK, WSAEDESTADDRREQ, WSAEMSGSIZE, WSAEPROTOTYPE, WSAENOPROTOOPT,
      WSAEPROTONOSUPPORT, WSAESOCKTNOSUPPORT, WSAEOPNOTSUPP, WSAEPFNOSUPPORT, WSAEAFNOSUPPORT, WSAEADDRINUSE,
      WSAEADDRNOTAVAIL, WSAENETDOWN, WSAENETUNREACH, WSAENETRESET, WSAECONNABORTED, WSAECONNRESET, WSAENOBUFS,
      WSAEISCONN, WSAENOTCONN, WSAESHUTDOWN, WSAETOOMANYREFS, WSAETIMEDOUT, WSAECONNREFUSED, WSAELOOP,
      WSAENAMETOOLONG, WSAEHOSTDOWN, WSAEHOSTUNREACH, WSAVERNOTSUPPORTED, WSANOTINITIALISED,
      WSASYSCALLFAILURE, WSATYPE_NOT_FOUND, WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY, WSANO_DATA};
  for (LONG code : platformCodes) {
    const auto text = platform::systemErrorText(DWORD(code));
    ASSERT_TRUE(text.has_value()) << code;
    EXPECT_GT(text->size(), 10u) << code;
    EXPECT_EQ(text->substr(text->size() - 3), ".\r\n") << code;
  }
}

TEST(FormatMessageSystemTest, FromStringAndModuleFallingBackToSystem) {
  const char* inserts[] = {"a", "b", nullptr};
  char buffer[64];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "%2-%1%%", 0, 0,
                           buffer, sizeof buffer, inserts);
  EXPECT_EQ(std::string(buffer, n), "b-a%");
  // The test program has no message table: the system table answers.
  n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, 5, 0, buffer, sizeof buffer, nullptr);
  EXPECT_EQ(std::string(buffer, n), "Access is denied.\r\n");
}

}  // namespace
