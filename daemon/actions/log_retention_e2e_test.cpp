// Log retention in the real daemon: at start, its own old dated files go and
// nothing else does.
#include <ctime>
#include <fstream>

#include "platform/eventlog.h"
#include "service_fixture.h"

namespace {

using namespace daemon_testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string dated(int daysAgo) {
  const std::time_t when = std::time(nullptr) - static_cast<std::time_t>(daysAgo) * 86400;
  std::tm local{};
  localtime_r(&when, &local);
  char name[64];
  std::strftime(name, sizeof name, "Corvantel-%Y-%m-%d.log", &local);
  return name;
}

class LogRetentionEndToEndTest : public ServiceFixture {};

TEST_F(LogRetentionEndToEndTest, TheServiceRemovesItsOwnOldDatedFilesAtStartAndNothingElse) {
  install();
  setDword(kParameters, "nUniqueFileName", 1);
  setDword(kParameters, "nKeepDays", 7);
  for (const std::string& name : {dated(30), dated(8), dated(7), dated(0), std::string("Other-2020-01-01.log"),
                                  std::string("Corvantel-2020-01-01.log.gz")}) {
    std::ofstream(m_logs / name) << "kept?\n";
  }
  start();
  const auto removed = [] {
    std::vector<platform::EventRecord> all;
    platform::readEvents(0, std::string(kService), all);
    std::vector<std::string> texts;
    for (const auto& event : all) {
      if (event.eventId == 190) texts.push_back(platform::formatEvent(event));
    }
    return texts;
  };
  ASSERT_TRUE(eventually([&] { return !removed().empty(); }, 10s));
  EXPECT_EQ(removed()[0].rfind("2 of 2 log files older than 7 days were removed from " + m_logs.string(), 0), 0u)
      << removed()[0];
  EXPECT_FALSE(fs::exists(m_logs / dated(30)));
  EXPECT_FALSE(fs::exists(m_logs / dated(8)));
  for (const std::string& name : {dated(7), dated(0), std::string("Other-2020-01-01.log"),
                                  std::string("Corvantel-2020-01-01.log.gz")}) {
    EXPECT_TRUE(fs::exists(m_logs / name)) << name;
  }
}

}  // namespace
