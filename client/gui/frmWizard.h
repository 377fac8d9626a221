// frmWizard: the modal rule base wizard. It replaces the whole rule base with
// a basic rule set, one rule per chosen output, and saves it.
//
// Three pages run in sequence through Next and Back: a welcome text, the
// choice of outputs, and a summary of the rules that Finish will create. The
// three outputs of the rule-less configuration (bWriteToLogFile,
// bWriteToODBC, bWriteToEventLog in the Parameters key, read once when the
// window opens) are checked again every time the choice page is shown, so an
// output that was switched on is offered as a default. Cancel and the close
// box leave the rule model and the registry as they were.
#pragma once

#include <QDialog>
#include <cstdint>
#include <vector>

#include "ParameterValues.h"

class QCheckBox;
class QFrame;
class QLabel;
class QPushButton;

class frmWizard : public QDialog {
  Q_OBJECT

 public:
  // Loads the window: reads the switches from Global::hParametersKey (the
  // defaults when the key is not open), applies the language and shows page 1.
  explicit frmWizard(QWidget* parent = nullptr);

  // The page shown: 1 welcome, 2 choice of outputs, 3 summary.
  int page() const { return m_page; }

  void Initiate_Language_settings();

  QWidget* pbWizard;  // the picture along the left side
  QFrame* pbNav;      // the strip along the bottom that holds the buttons
  QPushButton* cmdBack;
  QPushButton* cmdNext;
  QPushButton* cmdFinish;
  QPushButton* cmdCancel;

  QFrame* fraWizardIntro;
  QLabel* lblStep1;

  QFrame* fraWizardSelect;
  QLabel* lblStepSelect;
  QLabel* lblOldActions;
  QCheckBox* chkFile;
  QCheckBox* chkODBC;
  QCheckBox* chkEventLog;
  QLabel* lblNewActions;
  QCheckBox* chkForwardSyslog;
  QCheckBox* chkSendEmail;

  QFrame* fraWizardFinish;
  QLabel* lblFinish;

 public slots:
  void cmdBack_Click();
  // On page 2 the summary needs at least one chosen output; without one an
  // error box is shown and page 2 comes back.
  void cmdNext_Click();
  // Replaces the model's rules by the rules listed on page 3, saves them to
  // the Rules key (a failed save has shown its own box) and closes the
  // window. Does nothing on another page.
  void cmdFinish_Click();
  // Closes the window; nothing changes.
  void cmdCancel_Click();

 private:
  void showPage();
  // Page 3's summary of the checked outputs; false when none is checked.
  bool buildSummary();
  void placePage(QFrame* frame);

  ParameterValues m_switches;  // as read when the window opened
  int m_page = 1;
  // The outputs to create rules for, in the order of creation, counted when
  // page 3 was shown (indexes into the table of outputs in frmWizard.cpp).
  std::vector<int> m_chosen;
};
