// Rule bases saved while datagrams flow: the real daemon, reloading with
// bReloadRuleBase 1, and saves made as the client makes them (the key deleted
// and re-created in one transaction).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "platform/registry.h"
#include "service_fixture.h"

namespace {

using namespace daemon_testing;
using namespace std::chrono_literals;

void setValue(HKEY key, const char* name, DWORD value) {
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
            ERROR_SUCCESS);
}

// One rule that files every message into `file`, saved with `version`.
void saveRuleBase(const std::string& file, DWORD version) {
  ASSERT_EQ(RegBeginTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRules);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kRules, &key), ERROR_SUCCESS);
  setValue(key, "nRuleCount", 1);
  setValue(key, "nRuleVersion", version);
  setValue(key, "R1ActionCount", 1);
  setValue(key, "R1A1Type", 1003);
  ASSERT_EQ(RegSetValueExA(key, "R1A1String", 0, REG_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                           static_cast<DWORD>(file.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegCommitTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

class RuleReloadTest : public ServiceFixture {};

TEST_F(RuleReloadTest, EveryDatagramLandsInExactlyOneOfTheRuleBasesSavedMeanwhile) {
  install();
  setDword(kParameters, "bReloadRuleBase", 1);
  setDword(kParameters, "nReceiveBufferSize", 64u << 20);  // the flow is brisk; a slow build must not drop
  saveRuleBase("first", 1);
  start();

  const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(m_port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  std::atomic<bool> saving{true};
  std::thread saver([&] {
    for (DWORD version = 2; version <= 121; ++version) {
      saveRuleBase(version % 2 == 0 ? "second" : "first", version);
      std::this_thread::sleep_for(2ms);
    }
    saving = false;
  });
  int sent = 0;
  while (saving || sent < 1000) {
    const std::string text = "<13>n" + std::to_string(sent);
    ASSERT_EQ(::sendto(sock, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(text.size()));
    if (++sent % 100 == 0) std::this_thread::sleep_for(1ms);  // a steady flow, not a flood the kernel drops
  }
  saver.join();
  ::close(sock);

  const auto filed = [&] { return lines("first").size() + lines("second").size(); };
  EXPECT_TRUE(eventually([&] { return filed() >= static_cast<std::size_t>(sent); }, 10s)) << filed() << " of " << sent;
  std::multiset<std::string> seen;
  for (const char* file : {"first", "second"}) {
    for (const std::string& line : lines(file)) seen.insert(line.substr(line.rfind(',') + 1));
  }
  for (int n = 0; n < sent; ++n) EXPECT_EQ(seen.count("n" + std::to_string(n)), 1u) << "datagram " << n;
  EXPECT_FALSE(lines("second").empty());
  stop();
}

}  // namespace
