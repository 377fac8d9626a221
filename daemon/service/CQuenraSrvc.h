// CQuenraSrvc: the Corvantel service. It loads the configuration and runs the
// receive thread while the service runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "reception/ReceiveThread.h"
#include "service/CNTService.h"

class CQuenraSrvc : public CNTService {
 public:
  // How long a stop request waits for the receive thread to leave. An idle
  // thread leaves at once; one in the middle of an action finishes that
  // message first.
  static constexpr std::chrono::milliseconds kStopGrace{3000};
  // How long the start waits for the receive thread to open its port (or fail to).
  static constexpr std::chrono::milliseconds kOpenWait{5000};

  CQuenraSrvc();
  // Asks a receive thread that still runs to stop and waits for it.
  ~CQuenraSrvc() override;

  // Writes the installation values into the Parameters key.
  bool OnInstall() override;
  // Loads the configuration and the rule base, then starts the receive thread
  // (events 109/110) and waits until it has opened its port or failed to.
  // False, after logging why, when loading or starting the thread fails.
  bool OnInit() override;
  // Asks the receive thread to stop and waits up to kStopGrace for it: event
  // 111 when it left, 112 when it did not (it is then left behind, and the
  // process must end without running static destructors).
  void OnStop() override;

  ReceiveStop& getReceiveStop() { return m_stop; }
  // True after OnStop left a receive thread behind.
  bool hasAbandonedThread() const { return m_abandoned.load(); }
  // The receive thread left a worker of its own behind (busy in an action at
  // the stop): the process must end as after an abandoned thread.
  void leaveWorkerBehind() { m_abandoned.store(true); }

 private:
  ReceiveStop m_stop;
  std::thread m_thread;
  std::atomic<bool> m_abandoned{false};
  std::mutex m_endMutex;
  std::condition_variable m_endWake;
  bool m_threadEnded = true;  // guarded by m_endMutex
  bool m_portOpen = false;    // guarded by m_endMutex
};
