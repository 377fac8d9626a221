// Test support: a second computer without a network. CORVANTEL_REMOTE_SHELL
// points at a script of the test's own that stands in for SSH: for the name
// "second" it runs the built corvctl serve against a second platform root;
// "faraway" cannot be reached (ssh's exit 255); "bare" has no Corvantel (the
// shell's exit 127); "refusing" answers as a far side that refuses access;
// "oldplatform" reports a platform other than the NT family.
#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>

class SecondComputer {
 public:
  SecondComputer();
  ~SecondComputer();
  SecondComputer(const SecondComputer&) = delete;
  SecondComputer& operator=(const SecondComputer&) = delete;

  // The second computer's platform root.
  std::filesystem::path machine() const { return m_base / "machine"; }

  // Runs a program there (its CORVANTEL_ROOT is the second root) and returns
  // its standard output; `ok`, when given, is whether it exited with 0.
  QString run(const QString& program, const QStringList& arguments, bool* ok = nullptr) const;
  QString corvctl(const QStringList& arguments, bool* ok = nullptr) const;
  // Installs the service there (corvantd -i).
  bool installService() const;

 private:
  std::filesystem::path m_base;
  QByteArray m_oldShell;
  bool m_hadShell = false;
};
