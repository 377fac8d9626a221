// One client per user: a second start hands over to the running one, which
// brings its main window to the front, and ends.
//
// The running client listens on a local socket whose name is derived from the
// user's hive folder (so one per user, and one per test root); a starting
// client that can connect to it asks it to come forward and exits.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QLocalServer;

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  explicit SingleInstance(QObject* parent = nullptr);
  ~SingleInstance() override;

  // The socket name for the current user.
  static QString serverName();

  // True when another client of this user is running and was asked to come
  // forward: the caller then ends.
  bool handOverToRunningInstance(int timeoutMs = 1000);

  // Starts answering later starts; `activate` runs for each one. False when
  // the socket could not be made (the client then simply runs without it).
  bool listen(std::function<void()> activate);

 private:
  QLocalServer* m_server = nullptr;
  std::function<void()> m_activate;
};
