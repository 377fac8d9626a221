#include "frmSelectComputer.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "Messages/Messages.h"
#include "NetApi.h"
#include "twips.h"

frmSelectComputer::frmSelectComputer(std::function<void(const QString&)> connectTo, QWidget* parent)
    : QDialog(parent), m_connectTo(std::move(connectTo)) {
  setObjectName(QStringLiteral("frmSelectComputer"));
  setModal(true);
  setFixedSize(twips(4935), twips(2190));

  lblComputer = new QLabel(this);
  lblComputer->setObjectName(QStringLiteral("lblComputer"));
  lblComputer->setTextFormat(Qt::PlainText);
  lblComputer->setWordWrap(true);
  lblComputer->setGeometry(twipsRect(120, 120, 4695, 375));
  txtComputer = new QLineEdit(this);
  txtComputer->setObjectName(QStringLiteral("txtComputer"));
  txtComputer->setGeometry(twipsRect(120, 600, 4695, 315));
  cbComputerList = new QComboBox(this);
  cbComputerList->setObjectName(QStringLiteral("cbComputerList"));
  cbComputerList->setGeometry(twipsRect(120, 1020, 4695, 315));
  cbComputerList->installEventFilter(this);
  connect(cbComputerList, &QComboBox::activated, this, &frmSelectComputer::cbComputerList_Click);
  cmdConnect = new QPushButton(this);
  cmdConnect->setObjectName(QStringLiteral("cmdConnect"));
  cmdConnect->setGeometry(twipsRect(2280, 1620, 1215, 375));
  cmdConnect->setDefault(true);
  connect(cmdConnect, &QPushButton::clicked, this, &frmSelectComputer::cmdConnect_Click);
  cmdCancel = new QPushButton(this);
  cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
  cmdCancel->setGeometry(twipsRect(3600, 1620, 1215, 375));
  connect(cmdCancel, &QPushButton::clicked, this, &frmSelectComputer::cmdCancel_Click);

  Initiate_Language_settings();
  txtComputer->setFocus();
}

void frmSelectComputer::Initiate_Language_settings() {
  using Messages::GetMessageText;
  Messages::SetLanguageFont();
  const QFont& font = Messages::LanguageFont();
  setFont(font);
  for (QWidget* child : findChildren<QWidget*>()) child->setFont(font);
  setWindowTitle(GetMessageText(405));
  lblComputer->setText(GetMessageText(401));
  txtComputer->setToolTip(GetMessageText(402));
  cbComputerList->setToolTip(GetMessageText(403));
  cmdConnect->setText(GetMessageText(404));
  cmdCancel->setText(GetMessageText(33));
}

bool frmSelectComputer::eventFilter(QObject* watched, QEvent* event) {
  if (watched == cbComputerList && event->type() == QEvent::FocusIn) cbComputerList_GotFocus();
  return QDialog::eventFilter(watched, event);
}

void frmSelectComputer::cbComputerList_GotFocus() {
  if (m_listFilled) return;
  m_listFilled = true;  // browsed once per window, also when stopped
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const QStringList names = NetApi::EnumNetworkResources(NetApi::RESOURCEDISPLAYTYPE_SERVER);
  QApplication::restoreOverrideCursor();
  if (!NetApi::bBrowsing) return;  // Cancel came meanwhile
  cbComputerList->addItems(names);
  cbComputerList->setCurrentIndex(-1);
}

void frmSelectComputer::cbComputerList_Click(int index) {
  // The browse gives names with two leading backslashes; the connection takes
  // them as they are.
  if (index >= 0) txtComputer->setText(cbComputerList->itemText(index));
}

void frmSelectComputer::cmdConnect_Click() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const QString name = txtComputer->text().trimmed();
  if (m_connectTo) m_connectTo(name);
  QApplication::restoreOverrideCursor();
  accept();
}

void frmSelectComputer::cmdCancel_Click() {
  NetApi::bBrowsing = false;
  QDialog::reject();
}

void frmSelectComputer::reject() { cmdCancel_Click(); }
