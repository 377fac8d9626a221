// The realtime page of the main window: syslog messages arriving on the
// client's own UDP port (nInterActiveSyslogPort), newest on top, at most
// nMessageBufferSize of them, colour-coded by facility and priority, with the
// client's own log file, CSV export, copying and the single-message window.
//
// Datagrams are taken from the socket by a thread of their own and handled on
// the window thread in batches; their rows wait in the grid's model and the
// repaint timer inserts them in one step per tick, so a burst costs one change
// of the view every 200 ms however many datagrams it holds.
#pragma once

#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "realtime_receiver.h"

#include "platform/types.h"

class QCheckBox;
class QMenu;
class QPushButton;
class QTableView;
class QTimer;
class frmSingleDisplay;
namespace Realtime {
class Model;
struct Row;
}

// What the page shows through its main window while it exports: a status
// text in panel 1 (empty: the idle text again) and the progress bar.
struct RealtimeProgress {
  std::function<void(const QString& status)> status;
  std::function<void()> start;      // shows the bar at 0
  std::function<void()> increment;  // one step, up to 100
  std::function<void()> end;        // 100, then hidden and back to 0
};

class RealtimePage : public QWidget {
  Q_OBJECT

 public:
  explicit RealtimePage(QWidget* parent = nullptr);
  ~RealtimePage() override;

  RealtimeProgress progress;
  // The Edit menu of the main window, shown as the grid's context menu.
  void setContextMenu(QMenu* menu) { m_contextMenu = menu; }

  void Initiate_Grid_Cols();
  void Initiate_Language_settings();
  // The stopped state: Start on, the other four buttons off, the grid
  // disabled on grey.
  void setStoppedState();
  bool receiving() const;
  // Applies the stored check boxes (ClientSettings::setRealtimeCheckBoxes).
  void setCheckBoxes(bool writeLogfile, bool clientResolveName);

  // The selected rows as grid row numbers (0 the newest): the current row and
  // the other end of the selection, the smaller first. False when nothing is
  // selected.
  bool selectedRows(int& first, int& last) const;
  // The CSV text of rows first..last, with the status text and progress.
  QString BuildCsvText(int first, int last);

  // The running number the next message gets (1 when the page is made).
  std::int32_t nextNumber() const { return m_number; }
  // The single-message window while it is open, or null.
  frmSingleDisplay* singleDisplay() const;

  // Controls, by their designed names.
  QPushButton* pbStartLoging;
  QPushButton* pbStopLoging;
  QPushButton* cmdSaveAll;
  QPushButton* cmdSaveSel;
  QPushButton* cmdDeleteView;
  QCheckBox* chkWriteLogfile;
  QCheckBox* chkClientResolveName;
  QTableView* MSFlexGridMsg;
  Realtime::Model* model;
  std::unique_ptr<Realtime::Receiver> oWinsock;  // the port's socket and its receiving thread
  QTimer* TimerFlexGridUpdate;

  // Counts of grid changes made by reception, and of those repainted.
  std::int32_t TimerFlexGridNew = 0;
  std::int32_t TimerFlexGridOld = 0;

 public slots:
  void pbStartLoging_Click();
  void pbStopLoging_Click();
  void oWinsock_DataArrival();
  void TimerFlexGridUpdate_Timer();
  void cmdSaveAll_Click();
  void cmdSaveSel_Click();
  void cmdDeleteView_Click();
  void mnuEditCopySelection_Click();
  void chkWriteLogfile_Click();
  void chkClientResolveName_Click();
  void MSFlexGridMsg_DblClick();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void saveCsv(bool all);
  void setButtons(bool receiving);
  void layoutControls();

  void handle(const Realtime::Datagram& datagram);
  void writeLogLine(const Realtime::Row& row);

  std::int32_t m_number = 1;
  bool m_logFile = false;
  bool m_logFailing = false;  // a write failed and was reported; no box until one works
  bool m_handling = false;
  std::vector<Realtime::Datagram> m_backlog;  // taken from the socket, handled from m_next on
  std::size_t m_next = 0;
  qint64 m_timeSecond = -1;
  QString m_timeText;
  HANDLE m_portMutex = nullptr;
  QMenu* m_contextMenu = nullptr;
  QPointer<frmSingleDisplay> m_single;
};
