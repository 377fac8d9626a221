// frmSelectComputer: the modal window in which the user names the computer
// whose service the client administers: typed, or chosen from the computers
// the network browse finds the first time the list gets the focus. Connect
// hands the name to the main window, which opens that computer's keys and
// falls back to this computer when it cannot.
#pragma once

#include <QDialog>
#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class frmSelectComputer : public QDialog {
  Q_OBJECT

 public:
  // `connectTo` connects to the named computer (empty: this computer).
  explicit frmSelectComputer(std::function<void(const QString&)> connectTo, QWidget* parent = nullptr);

  void Initiate_Language_settings();
  bool listFilled() const { return m_listFilled; }

  QLabel* lblComputer;
  QLineEdit* txtComputer;
  QComboBox* cbComputerList;
  QPushButton* cmdConnect;
  QPushButton* cmdCancel;

 public slots:
  void cbComputerList_GotFocus();
  void cbComputerList_Click(int index);
  void cmdConnect_Click();
  void cmdCancel_Click();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void reject() override;  // the close box and Escape are Cancel

 private:
  std::function<void(const QString&)> m_connectTo;
  bool m_listFilled = false;
};
