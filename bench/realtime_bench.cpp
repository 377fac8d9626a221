// realtime_bench: how the realtime page keeps up with a paced stream of
// datagrams, and how long its window takes to answer meanwhile.
//
// One run: a realtime page on the offscreen platform, shown, receiving on a
// free loopback port with a buffer of BUFFER rows. A sender thread sends
// COUNT datagrams of 100 bytes at RATE per second, in bursts of a
// millisecond's worth, while the window thread runs its event loop. A 10 ms
// single-shot timer on the window thread, armed again each time it fires,
// records how late it fires: that is how long a click or a repaint would wait.
// The run ends once the sender is done and the page's running number has
// stopped growing for a second.
//
// usage: realtime_bench BUFFER RATE COUNT
// Prints one CSV line:
//   buffer,rate,count,send_rate,send_errors,received,lost,rows,max_ms,p99_ms,drain_ms
// send_rate is the rate the sender reached; rows what the grid holds at the
// end; max_ms and p99_ms the timer's lateness; drain_ms how long the page
// went on taking messages after the last was sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "Messages/Messages.h"
#include "client_settings.h"
#include "realtime.h"
#include "realtime_page.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMessageBytes = 100;
constexpr int kProbeMs = 10;
constexpr auto kBurst = std::chrono::milliseconds(1);
constexpr qint64 kSettledMs = 1000;       // no new message for this long: the page has caught up
constexpr qint64 kGiveUpDrainMs = 60000;  // a page that never settles ends the run anyway

// A UDP port on loopback that nothing holds now.
int freeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

struct SendResult {
  double seconds = 0;
  long errors = 0;  // datagrams the kernel refused to send
};

// Sends `count` numbered datagrams to 127.0.0.1:port, keeping to `rate` per
// second: every millisecond, as many as are due by then.
SendResult sendPaced(int port, long rate, long count) {
  SendResult result;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    result.errors = count;
    if (fd >= 0) close(fd);
    return result;
  }
  char text[kMessageBytes + 1];
  const Clock::time_point start = Clock::now();
  Clock::time_point next = start;
  for (long sent = 0; sent < count;) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const long due = std::min(count, static_cast<long>(elapsed * static_cast<double>(rate)) + 1);
    for (; sent < due; ++sent) {
      int length =
          std::snprintf(text, sizeof text, "<13>bench message number %ld from the sender thread ", sent + 1);
      std::memset(text + length, '.', kMessageBytes - length);
      if (send(fd, text, kMessageBytes, 0) != kMessageBytes) ++result.errors;
    }
    next += kBurst;
    std::this_thread::sleep_until(next);
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  return result;
}

// How late a 10 ms timer on the window thread fires, sample by sample.
class AnswerProbe {
 public:
  AnswerProbe() {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      const double ms = static_cast<double>(m_clock.nsecsElapsed() - m_armedAt) / 1e6 - kProbeMs;
      m_lateMs.push_back(std::max(0.0, ms));
      arm();
    });
    m_clock.start();
  }
  void arm() {
    m_armedAt = m_clock.nsecsElapsed();
    m_timer.start(kProbeMs);
  }
  void stop() { m_timer.stop(); }

  double max() const { return m_lateMs.empty() ? 0 : *std::max_element(m_lateMs.begin(), m_lateMs.end()); }
  double percentile(double p) const {
    if (m_lateMs.empty()) return 0;
    std::vector<double> sorted = m_lateMs;
    std::sort(sorted.begin(), sorted.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
  }

 private:
  QTimer m_timer;
  QElapsedTimer m_clock;
  qint64 m_armedAt = 0;
  std::vector<double> m_lateMs;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BUFFER RATE COUNT\n", argv[0]);
    return 2;
  }
  const long buffer = std::atol(argv[1]);
  const long rate = std::atol(argv[2]);
  const long count = std::atol(argv[3]);
  if (buffer <= 0 || rate <= 0 || count <= 0) {
    std::fprintf(stderr, "realtime_bench: BUFFER, RATE and COUNT must be positive\n");
    return 2;
  }

  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  const int port = freeUdpPort();
  ClientSettings::nInterActiveSyslogPort = port;
  ClientSettings::nMessageBufferSize = static_cast<std::int32_t>(buffer);

  // The page as the main window shows it, painted: repaints are part of the cost.
  RealtimePage page;
  Messages::SetLanguageFont();
  page.Initiate_Language_settings();
  page.resize(1000, 700);
  page.show();
  page.pbStartLoging->click();
  if (port == 0 || !page.receiving()) {
    std::fprintf(stderr, "realtime_bench: the page does not receive on port %d\n", port);
    return 1;
  }
  QElapsedTimer settle;
  settle.start();
  while (settle.elapsed() < 300) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

  AnswerProbe probe;
  probe.arm();
  std::atomic<bool> senderDone{false};
  SendResult sent;
  QElapsedTimer clock;
  clock.start();
  std::atomic<qint64> sendEndMs{0};
  std::thread sender([&] {
    sent = sendPaced(port, rate, count);
    sendEndMs = clock.elapsed();
    senderDone = true;
  });

  // The event loop runs until the page has taken what it will take.
  std::int32_t lastNumber = page.nextNumber();
  qint64 lastGrowthMs = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    if (page.nextNumber() != lastNumber) {
      lastNumber = page.nextNumber();
      lastGrowthMs = now;
    }
    if (!senderDone) return;
    const qint64 quietSince = std::max(lastGrowthMs, sendEndMs.load());
    if (now - quietSince >= kSettledMs || now - sendEndMs >= kGiveUpDrainMs) app.quit();
  });
  watch.start(20);
  app.exec();
  sender.join();
  probe.stop();
  watch.stop();
  page.TimerFlexGridUpdate_Timer();
  QCoreApplication::processEvents();

  const long received = page.nextNumber() - 1;
  std::printf("%ld,%ld,%ld,%.0f,%ld,%ld,%ld,%d,%.1f,%.1f,%lld\n", buffer, rate, count,
              sent.seconds > 0 ? static_cast<double>(count) / sent.seconds : 0.0, sent.errors, received,
              count - received, page.model->rowCount(), probe.max(), probe.percentile(99),
              static_cast<long long>(std::max<qint64>(0, lastGrowthMs - sendEndMs)));
  page.pbStopLoging->click();
  return 0;
}
