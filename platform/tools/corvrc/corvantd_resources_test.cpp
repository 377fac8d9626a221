// The daemon program as built: its message table holds every event text the
// event viewer needs, and its version resource gives 3.70.0.124.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/resource.h"

namespace {

const std::map<DWORD, std::string>& expectedTable() {
  static const std::map<DWORD, std::string> table = {
      {1, "Error calling closesocket()\r\n%1\r\n"},
      {2, "WSA Startup Failed\r\n%1\r\n"},
      {3, "WinSock Version to old - not supported\r\n%1\r\n"},
      {4, "Invalid IP Address\r\n%1\r\n"},
      {5, "Invalid Hostname\r\n%1\r\n"},
      {6, "Error in SendUDP()\r\n%1\r\n"},
      {7, "Could not find Service\r\n%1\r\n"},
      {8,
       "%1\r\n%r%r \r\nThis error mostly occurs if another process is listening on the configured port.\r\n"
       "For example, if you have configured the same port for the Corvantel Client and \r\n"
       "Service and the Realtime Logging of the Corvantel Client is running.\r\n%r%r \r\n"
       "See these links below for further information:\r\n"
       "https://corvantel.tolvane.example/docs/support/port-in-use.html\r\n"
       "https://corvantel.tolvane.example/docs/support/realtime-and-service.html\r\n"},
      {9, "Socket was unable to connect.\r\n%1\r\n"},
      {99, "A general error occured:\r\n%1\r\n"},
      {100, "The %1 service was installed.\r\n"},
      {101, "The %1 service was removed.\r\n"},
      {102, "The %1 service could not be removed.\r\n"},
      {103, "The control handler could not be installed.\r\n"},
      {104, "The initialization process failed.\r\n"},
      {105, "The service was started.\r\n"},
      {106, "The service received an unsupported request.\r\n"},
      {107, "Debug: %1\r\n"},
      {108, "The service was stopped.\r\n"},
      {109, "The Syslog deamon background thread was successfully started.\r\n"},
      {110, "The Syslog deamon background thread couldn't be started - Quenra not functional!\r\n"},
      {111, "The Syslog deamon background thread was successfully stoped.\r\n"},
      {112,
       "The Syslog deamon background thread couldn't be stoped. There may was an expection that causes the "
       "background thread to exit.\r\n"},
      {113, "%1,%2,%3,%4\r\n"},
      {114, "%1\r\n"},
      {115,
       "ODBC Error occured - There could be an error in your configuration!\r\n%1\r\n"
       "https://corvantel.tolvane.example/docs/support/odbc-errors.html\r\n"},
      {117, "An error occured while sending emails.\r\n%1\r\n"},
      {150, "Unknown error occured. See the details below:\r\n%1\r\n"},
      {151, "Messages were lost: %1\r\nhttps://corvantel.tolvane.example/docs/support/queue.html\r\n"},
      {152, "The queue's spool on disk failed: %1\r\nhttps://corvantel.tolvane.example/docs/support/queue.html\r\n"},
      {153, "Messages from the last run: %1\r\n"},
      {154, "Damaged records in the queue's spool: %1\r\n"},
      {155, "Messages queued at the stop: %1\r\n"},
      {156, "The figures of this run: %1\r\n"},
      {160,
       "The output %1 is suspended after a failure that the next message would meet too (event %3, below). "
       "Suspension: %2 s. While it is suspended, each message that reaches it skips its remaining actions without "
       "a further event; the first message after the suspension tries it again, and each failed try doubles the "
       "suspension, up to 60 s.\r\n%4\r\n"},
      {161,
       "The output %1 works again. Time since it was suspended: %2 s. Messages that reached it while it was "
       "suspended and skipped their remaining actions: %3.\r\n"},
      {170, "Syslog over TCP or TLS cannot be received: %1\r\n"
            "https://corvantel.tolvane.example/docs/support/tcp-tls.html\r\n"},
      {171, "Syslog over TLS is off: %1\r\nhttps://corvantel.tolvane.example/docs/support/tcp-tls.html\r\n"},
      {172, "Connections over TCP and TLS are refused: %1\r\n"
            "https://corvantel.tolvane.example/docs/support/tcp-tls.html\r\n"},
      {173, "A connection over TCP or TLS was closed: %1\r\n"
            "https://corvantel.tolvane.example/docs/support/tcp-tls.html\r\n"},
      {174, "A TLS connection failed: %1\r\nhttps://corvantel.tolvane.example/docs/support/tcp-tls.html\r\n"},
      {175, "Syslog over TCP or TLS is received: %1\r\n"},
      {180,
       "The database %1 cannot be reached. Its rows wait in its spool and are inserted first, in their order, "
       "when it answers again. %2\r\n%3\r\nhttps://corvantel.tolvane.example/docs/support/odbc-errors.html\r\n"},
      {181, "The database %1 answers again after %2 s. Rows that waited and are now inserted: %3.\r\n"},
      {182, "Rows for the database %1 were lost: %2\r\n"
            "https://corvantel.tolvane.example/docs/support/odbc-errors.html\r\n"},
      {183, "The spool of the database %1 failed: %2\r\n"
            "https://corvantel.tolvane.example/docs/support/odbc-errors.html\r\n"},
      {184, "Rows for the database %1: %2\r\n"},
      {190, "%1 of %2 log files older than %3 days were removed from %4.\r\n"},
      {191, "An old log file could not be removed: %1\r\n%2\r\n"},
  };
  return table;
}

class CorvantdResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_module = LoadLibraryExA(CORVANTD_PROGRAM, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(m_module, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (m_module != nullptr) FreeLibrary(m_module);
  }
  HMODULE m_module = nullptr;
};

TEST_F(CorvantdResourcesTest, MessageTableHoldsEveryEventTextExactly) {
  HRSRC res = FindResourceExA(m_module, RT_MESSAGETABLE, MAKEINTRESOURCEA(1), kLanguageEnglishUs);
  ASSERT_NE(res, nullptr);
  const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(m_module, res)));
  const auto table = platform::readMessageTable(data, SizeofResource(m_module, res));
  ASSERT_TRUE(table);
  EXPECT_EQ(*table, expectedTable());
}

TEST_F(CorvantdResourcesTest, PortInUseEventReadsAsTheViewerShowsIt) {
  const char* inserts[] = {"Error in bind(): 10048", nullptr};
  char text[2048];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, m_module, 8, 0,
                                 text, sizeof text, inserts);
  ASSERT_GT(n, 0u) << GetLastError();
  EXPECT_EQ(std::string(text, n).substr(0, 30), "Error in bind(): 10048\r\n\r\r \r\nT");
}

TEST_F(CorvantdResourcesTest, VersionIs3_70_0_124) {
  DWORD handle = 1;
  const DWORD size = GetFileVersionInfoSizeA(CORVANTD_PROGRAM, &handle);
  ASSERT_GT(size, 0u);
  EXPECT_EQ(handle, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoA(CORVANTD_PROGRAM, 0, size, block.data()));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00030046u);
  EXPECT_EQ(fixed->dwFileVersionLS, 124u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00030046u);
  EXPECT_EQ(fixed->dwProductVersionLS, 124u);
  for (const auto& [key, expected] : std::map<std::string, std::string>{{"ProductName", "Corvantel"},
                                                                        {"CompanyName", "Tolvane"},
                                                                        {"ProductVersion", "3.70.0.124"},
                                                                        {"FileVersion", "3.70.0.124"}}) {
    ASSERT_TRUE(VerQueryValueA(block.data(), ("\\StringFileInfo\\040904b0\\" + key).c_str(), &value, &length))
        << key;
    EXPECT_EQ(static_cast<const char*>(value), expected);
  }
}

}  // namespace
