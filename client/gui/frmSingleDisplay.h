// frmSingleDisplay: one row of the realtime grid in a window of its own, its
// five cells in read-only boxes. The window keeps a copy of the texts it was
// given; later changes of the grid do not reach it.
//
// The realtime page opens it application-modal without blocking (the main
// window stays disabled while it is open) and lets it delete itself on close.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QResizeEvent;

class frmSingleDisplay : public QDialog {
  Q_OBJECT

 public:
  explicit frmSingleDisplay(QWidget* parent = nullptr);

  // Fills the boxes, as plain text: nothing in a message is read as markup.
  void setTexts(const QString& time, const QString& facility, const QString& priority, const QString& source,
                const QString& message);

  QLabel* lblTime;
  QLabel* lblFacility;
  QLabel* lblPriority;
  QLabel* lblSource;
  QLabel* lblLogMsg;
  QLineEdit* txtTime;
  QLineEdit* txtFacility;
  QLineEdit* txtPriority;
  QLineEdit* txtSource;
  QPlainTextEdit* txtLogMsg;
  QPushButton* cmdClose;

 public slots:
  void cmdClose_Click();
  void Initiate_Language_settings();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void placeControls();
};
