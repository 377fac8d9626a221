// frmSplash: the window the client opens first. It settles the interface
// language: on a user's first start (or while no language is stored) it asks
// for one and waits for Start; afterwards it only shows "Starting Corvantel
// Client" with a progress bar while the main window starts up behind it.
// Its texts are fixed English: no language is known yet when it appears.
#pragma once

#include <QWidget>
#include <functional>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QShowEvent;

class frmSplash : public QWidget {
  Q_OBJECT

 public:
  // The steps of the main window's start-up that PBStart counts.
  static constexpr int kStartSteps = 6;

  // `showMainWindow` shows the main window, whose start-up then advances
  // setProgress and ends with unload.
  explicit frmSplash(std::function<void()> showMainWindow, QWidget* parent = nullptr);

  // For the main window's start-up: the step reached (0 to kStartSteps).
  void setProgress(int step);
  // Closes the window; it may be called more than once.
  void unload();

  QProgressBar* PBStart;
  QLabel* lblProduct;
  QLabel* lblFirstTime;
  QLabel* lblChooseLanguage;
  QComboBox* lsLanguage;
  QPushButton* cmdStart;

 public slots:
  // Runs once, when the window is first shown: opens the user's client key
  // (creating it on the first start), then either passes straight through to
  // the main window when a language is stored, or asks for one.
  void Form_Activate();
  // Stores the selected language under the user's key and shows the main
  // window.
  void cmdStart_Click();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void askForLanguage(const QString& reason);

  std::function<void()> m_showMainWindow;
  bool m_activated = false;  // Form_Activate has run
};
