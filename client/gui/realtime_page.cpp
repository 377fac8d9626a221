#include "realtime_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <algorithm>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "WinNTServices.h"
#include "ansi_text.h"
#include "client_settings.h"
#include "dialogs.h"
#include "frmSingleDisplay.h"
#include "realtime.h"
#include "realtime_receiver.h"
#include "twips.h"

namespace {

using Messages::GetMessageText;

constexpr int kRepaintMs = 200;
// The longest the window thread handles datagrams at a stretch before it
// answers the user again.
constexpr int kHandleSliceMs = 30;
constexpr int kColumnWidths[] = {500, 1800, 800, 900, 1400};  // twips; column 5 takes the rest
constexpr int kGridTopTwips = 1080;
constexpr int kButtonWidthTwips = 1455;
constexpr int kButtonHeightTwips = 375;
constexpr int kMarginTwips = 120;

}  // namespace

RealtimePage::RealtimePage(QWidget* parent)
    : QWidget(parent), oWinsock(std::make_unique<Realtime::Receiver>()) {
  setObjectName(QStringLiteral("pgRealtime"));
  const auto button = [this](const char* name, void (RealtimePage::*slot)()) {
    auto* b = new QPushButton(this);
    b->setObjectName(QLatin1String(name));
    connect(b, &QPushButton::clicked, this, slot);
    return b;
  };
  pbStartLoging = button("pbStartLoging", &RealtimePage::pbStartLoging_Click);
  pbStopLoging = button("pbStopLoging", &RealtimePage::pbStopLoging_Click);
  cmdSaveAll = button("cmdSaveAll", &RealtimePage::cmdSaveAll_Click);
  cmdSaveSel = button("cmdSaveSel", &RealtimePage::cmdSaveSel_Click);
  cmdDeleteView = button("cmdDeleteView", &RealtimePage::cmdDeleteView_Click);
  chkWriteLogfile = new QCheckBox(this);
  chkWriteLogfile->setObjectName(QStringLiteral("chkWriteLogfile"));
  connect(chkWriteLogfile, &QCheckBox::clicked, this, &RealtimePage::chkWriteLogfile_Click);
  chkClientResolveName = new QCheckBox(this);
  chkClientResolveName->setObjectName(QStringLiteral("chkClientResolveName"));
  connect(chkClientResolveName, &QCheckBox::clicked, this, &RealtimePage::chkClientResolveName_Click);

  model = new Realtime::Model(this);
  MSFlexGridMsg = new QTableView(this);
  MSFlexGridMsg->setObjectName(QStringLiteral("MSFlexGridMsg"));
  MSFlexGridMsg->setModel(model);
  MSFlexGridMsg->setSelectionBehavior(QAbstractItemView::SelectRows);
  MSFlexGridMsg->setSelectionMode(QAbstractItemView::ContiguousSelection);
  MSFlexGridMsg->setEditTriggers(QAbstractItemView::NoEditTriggers);
  MSFlexGridMsg->setWordWrap(false);
  MSFlexGridMsg->verticalHeader()->hide();
  // Fixed row heights keep a grid of many rows cheap to lay out.
  MSFlexGridMsg->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  MSFlexGridMsg->verticalHeader()->setDefaultSectionSize(MSFlexGridMsg->fontMetrics().height() + 4);
  MSFlexGridMsg->horizontalHeader()->setStretchLastSection(true);
  MSFlexGridMsg->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(MSFlexGridMsg, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    if (m_contextMenu != nullptr) m_contextMenu->popup(MSFlexGridMsg->viewport()->mapToGlobal(at));
  });
  connect(MSFlexGridMsg, &QAbstractItemView::doubleClicked, this, &RealtimePage::MSFlexGridMsg_DblClick);

  TimerFlexGridUpdate = new QTimer(this);
  TimerFlexGridUpdate->setObjectName(QStringLiteral("TimerFlexGridUpdate"));
  connect(TimerFlexGridUpdate, &QTimer::timeout, this, &RealtimePage::TimerFlexGridUpdate_Timer);
  TimerFlexGridUpdate->start(kRepaintMs);

  Initiate_Grid_Cols();
  setStoppedState();
}

RealtimePage::~RealtimePage() {
  oWinsock->stop();
  Realtime::ReleaseRealtimePort(m_portMutex);
}

void RealtimePage::Initiate_Language_settings() {
  const QFont& font = Messages::LanguageFont();
  setFont(font);
  for (QWidget* child : findChildren<QWidget*>()) child->setFont(font);
  const std::tuple<QAbstractButton*, int, int> captions[] = {
      {pbStartLoging, 0, 100}, {pbStopLoging, 1, 101}, {cmdSaveAll, 2, 102},          {cmdSaveSel, 3, 103},
      {cmdDeleteView, 4, 104}, {chkWriteLogfile, 1002, 0}, {chkClientResolveName, 1024, 1025}};
  for (const auto& [control, caption, tip] : captions) {
    control->setText(GetMessageText(caption));
    control->setToolTip(tip != 0 ? GetMessageText(tip) : QString());
  }
  Initiate_Grid_Cols();
  MSFlexGridMsg->verticalHeader()->setDefaultSectionSize(QFontMetrics(font).height() + 4);
}

void RealtimePage::Initiate_Grid_Cols() {
  model->setHeaders({QString(), GetMessageText(351), GetMessageText(352), GetMessageText(353), GetMessageText(354),
                     GetMessageText(355)});
  for (int column = 0; column < 5; ++column) MSFlexGridMsg->setColumnWidth(column, twips(kColumnWidths[column]));
}

// --- starting and stopping ---------------------------------------------------------

void RealtimePage::setButtons(bool receiving) {
  pbStartLoging->setEnabled(!receiving);
  for (QPushButton* b : {pbStopLoging, cmdSaveAll, cmdSaveSel, cmdDeleteView}) b->setEnabled(receiving);
}

void RealtimePage::setStoppedState() {
  setButtons(false);
  MSFlexGridMsg->setEnabled(false);
  QPalette grey = MSFlexGridMsg->palette();
  grey.setColor(QPalette::Base, palette().color(QPalette::Button));
  MSFlexGridMsg->setPalette(grey);
}

bool RealtimePage::receiving() const { return oWinsock->isOpen(); }

void RealtimePage::pbStartLoging_Click() {
  const std::int32_t port = ClientSettings::nInterActiveSyslogPort;
  bool held = false;
  m_portMutex = Realtime::ClaimRealtimePort(port, held);
  if (held) {
    Dialogs::MsgBox(GetMessageText(1022) + QLatin1Char(' ') + QString::number(port) + QLatin1Char(' ') +
                        GetMessageText(1023),
                    Dialogs::Icon::Warning, Dialogs::Buttons::Ok, QString(), this);
    return;
  }
  const int error = oWinsock->start(port, [this] {
    QMetaObject::invokeMethod(this, &RealtimePage::oWinsock_DataArrival, Qt::QueuedConnection);
  });
  if (error != 0) {
    Dialogs::MsgBox(GetMessageText(209) + QStringLiteral("\r\n") + QString::number(error) + QStringLiteral(": ") +
                        WinNTServices::GetSystemErrorText(static_cast<DWORD>(error)).trimmed(),
                    Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), this);
    Realtime::ReleaseRealtimePort(m_portMutex);
    setButtons(false);
    return;
  }
  m_logFailing = false;
  MSFlexGridMsg->setEnabled(true);
  MSFlexGridMsg->setPalette(palette());
  setButtons(receiving());
}

void RealtimePage::pbStopLoging_Click() {
  oWinsock->stop();
  // What arrived before the socket closed is still shown.
  oWinsock_DataArrival();
  TimerFlexGridUpdate_Timer();
  setStoppedState();
  setButtons(receiving());
  Realtime::ReleaseRealtimePort(m_portMutex);
}

// --- one datagram -------------------------------------------------------------------

void RealtimePage::handle(const Realtime::Datagram& datagram) {
  const QString text = fromAnsi(std::string_view(datagram.bytes.constData(), static_cast<std::size_t>(datagram.bytes.size())));
  Realtime::Row row;
  row.number = m_number;
  row.source = ClientSettings::nClientResolveName == 0 ? datagram.sender : Realtime::ResolveHostName(datagram.sender);
  // The time's text changes once a second; it is made once a second.
  const qint64 second = datagram.receivedAt.toSecsSinceEpoch();
  if (second != m_timeSecond) {
    m_timeSecond = second;
    m_timeText = Realtime::ReceptionTimeText(datagram.receivedAt.toLocalTime());
  }
  row.time = m_timeText;
  Realtime::SplitSyslogBuf(text, row.facility, row.priority, row.message);
  ++m_number;
  if (m_logFile) writeLogLine(row);
  model->setCapacity(std::max<std::int64_t>(1, ClientSettings::nMessageBufferSize));
  model->append(std::move(row));
  ++TimerFlexGridNew;
}

void RealtimePage::oWinsock_DataArrival() {
  // A message box raised below runs the event loop; datagrams that arrive
  // meanwhile wait for this call, which goes on when the box is closed.
  if (m_handling) return;
  m_handling = true;
  QElapsedTimer slice;
  slice.start();
  for (;;) {
    if (m_next >= m_backlog.size()) {
      m_backlog = oWinsock->take();
      m_next = 0;
      if (m_backlog.empty()) break;
    }
    handle(m_backlog[m_next++]);
    if (slice.elapsed() >= kHandleSliceMs) {
      // The rest waits for the next turn of the event loop, so that the
      // window keeps answering during a long burst.
      QMetaObject::invokeMethod(this, &RealtimePage::oWinsock_DataArrival, Qt::QueuedConnection);
      break;
    }
  }
  if (m_next >= m_backlog.size()) {
    m_backlog.clear();
    m_next = 0;
  }
  m_handling = false;
}

void RealtimePage::writeLogLine(const Realtime::Row& row) {
  int number = 0;
  QString description;
  switch (Realtime::WriteClientLogLine(row, &number, &description)) {
    case Realtime::LogWrite::Written:
      m_logFailing = false;
      return;
    case Realtime::LogWrite::PathNotFound:
      Dialogs::MsgBox(GetMessageText(1010), Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), this);
      chkWriteLogfile->setChecked(false);
      chkWriteLogfile_Click();
      return;
    case Realtime::LogWrite::Failed:
      // Writing stays on and the next message tries again; the box is shown
      // once until a line is written again, not for every datagram.
      if (!m_logFailing) {
        m_logFailing = true;
        Dialogs::MsgBox(GetMessageText(1011) + QStringLiteral("\r\nErrornumber: ") + QString::number(number) +
                            QStringLiteral("\r\n") + description,
                        Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), this);
      }
      return;
  }
}

void RealtimePage::TimerFlexGridUpdate_Timer() {
  if (TimerFlexGridOld >= TimerFlexGridNew && model->pending() == 0) return;
  QItemSelectionModel* selection = MSFlexGridMsg->selectionModel();
  // The newest row stays selected unless the user has chosen others.
  const bool following = !selection->hasSelection() || (selection->currentIndex().row() == 0 &&
                                                         selection->selectedRows().size() <= 1);
  model->flush();
  TimerFlexGridOld = TimerFlexGridNew;
  if (following && model->rowCount() > 0) {
    MSFlexGridMsg->setCurrentIndex(model->index(0, 1));
  }
}

// --- rows out ---------------------------------------------------------------------

bool RealtimePage::selectedRows(int& first, int& last) const {
  const QModelIndexList rows = MSFlexGridMsg->selectionModel()->selectedRows();
  if (rows.isEmpty()) return false;
  first = last = rows.front().row();
  for (const QModelIndex& index : rows) {
    first = std::min(first, index.row());
    last = std::max(last, index.row());
  }
  return true;
}

QString RealtimePage::BuildCsvText(int first, int last) {
  if (progress.status) progress.status(GetMessageText(254));
  if (progress.start) progress.start();
  const QString text = Realtime::BuildCsvText([this](int row) -> const Realtime::Row& { return model->at(row); },
                                              first, last, progress.increment);
  if (progress.end) progress.end();
  if (progress.status) progress.status(QString());
  return text;
}

void RealtimePage::saveCsv(bool all) {
  const QString path = Dialogs::GetSaveFileName(QStringLiteral("Open"), QString(),
                                                QStringLiteral("CSV (*.csv);;All Files (*.*)"), this);
  if (path.isEmpty()) return;
  int first = 0;
  int last = -1;
  if (all) last = model->rowCount() - 1;
  else if (!selectedRows(first, last)) last = first - 1;
  const QString text = BuildCsvText(first, last) + QStringLiteral("\r\n");
  QFile file(path);
  const std::string bytes = toAnsi(text);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()) ||
      !file.flush()) {
    Dialogs::MsgBox(GetMessageText(2400) + path + QStringLiteral("\r\n") + file.errorString(), Dialogs::Icon::Error,
                    Dialogs::Buttons::Ok, QString(), this);
  }
}

void RealtimePage::cmdSaveAll_Click() {
  TimerFlexGridUpdate_Timer();  // what has arrived is part of "all"
  saveCsv(true);
}

void RealtimePage::cmdSaveSel_Click() { saveCsv(false); }

void RealtimePage::mnuEditCopySelection_Click() {
  int first = 0;
  int last = -1;
  if (!selectedRows(first, last)) last = first - 1;
  const QString text = BuildCsvText(first, last);
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(text);  // plain text only
}

void RealtimePage::cmdDeleteView_Click() {
  model->clear();
  Initiate_Grid_Cols();
}

void RealtimePage::setCheckBoxes(bool writeLogfile, bool clientResolveName) {
  chkWriteLogfile->setChecked(writeLogfile);
  chkClientResolveName->setChecked(clientResolveName);
  m_logFile = writeLogfile;
}

void RealtimePage::chkWriteLogfile_Click() {
  m_logFile = chkWriteLogfile->isChecked();
  ClientSettings::nWriteLogfile = m_logFile ? 1 : 0;
  Registry::SetNumberValue(Global::hClientKeyMachine, QStringLiteral("nWriteLogfile"), ClientSettings::nWriteLogfile);
  m_logFailing = false;
}

void RealtimePage::chkClientResolveName_Click() {
  ClientSettings::nClientResolveName = chkClientResolveName->isChecked() ? 1 : 0;
  Registry::SetNumberValue(Global::hClientKeyMachine, QStringLiteral("nClientResolveName"),
                           ClientSettings::nClientResolveName);
}

frmSingleDisplay* RealtimePage::singleDisplay() const { return m_single.data(); }

void RealtimePage::MSFlexGridMsg_DblClick() {
  const QModelIndex current = MSFlexGridMsg->currentIndex();
  if (!current.isValid() || m_single != nullptr) return;
  const Realtime::Row& row = model->at(current.row());
  auto* window = new frmSingleDisplay(this->window());
  window->setTexts(row.time, Realtime::FacilityName(row.facility), Realtime::PriorityName(row.priority), row.source,
                   row.message);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setWindowModality(Qt::ApplicationModal);
  m_single = window;
  window->show();
}

// --- layout -----------------------------------------------------------------------

void RealtimePage::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutControls();
}

void RealtimePage::layoutControls() {
  int left = kMarginTwips;
  for (QPushButton* b : {pbStartLoging, pbStopLoging, cmdSaveAll, cmdSaveSel, cmdDeleteView}) {
    b->setGeometry(twipsRect(left, kMarginTwips, kButtonWidthTwips, kButtonHeightTwips));
    left += kButtonWidthTwips + kMarginTwips;
  }
  const int boxTop = kMarginTwips * 2 + kButtonHeightTwips;
  chkWriteLogfile->setGeometry(twipsRect(kMarginTwips, boxTop, 2 * kButtonWidthTwips, 300));
  chkClientResolveName->setGeometry(twipsRect(kMarginTwips * 2 + 2 * kButtonWidthTwips, boxTop, 3 * kButtonWidthTwips, 300));
  const int widthTwips = width() * kTwipsPerPixel;
  const int heightTwips = height() * kTwipsPerPixel;
  if (widthTwips > 2 * kMarginTwips && heightTwips > kGridTopTwips + kMarginTwips)
    MSFlexGridMsg->setGeometry(
        twipsRect(kMarginTwips, kGridTopTwips, widthTwips - 2 * kMarginTwips, heightTwips - kGridTopTwips - kMarginTwips));
}
