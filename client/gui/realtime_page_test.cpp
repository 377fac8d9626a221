#include "realtime_page.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QHeaderView>
#include <QHostAddress>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QUdpSocket>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "Rules.h"
#include "WinNTServices.h"
#include "client_settings.h"
#include "frmSingleDisplay.h"
#include "platform/service.h"
#include "real_service.h"
#include "realtime.h"
#include "scripted_dialogs.h"
#include "temp_root.h"
#include "twips.h"
#include "window_testing.h"

namespace {

class RealtimePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    ClientSettings::resetToDefaults();
    Messages::SetLanguage(Messages::kEnglish);
    qputenv("CORVANTEL_MUTEX_DIR", QByteArray::fromStdString((m_root.base() / "locks").string()));
    ClientSettings::Initiate_Client_Startup();
    ClientSettings::nInterActiveSyslogPort = freeUdpPort();
    m_page = std::make_unique<RealtimePage>();
    m_page->resize(twips(9000), twips(5000));
    m_page->Initiate_Language_settings();
    m_page->show();
  }
  void TearDown() override {
    m_page.reset();
    qunsetenv("CORVANTEL_MUTEX_DIR");
    ClientSettings::resetToDefaults();
    Global::reset();
  }

  void send(const QByteArray& datagram) {
    m_sender.writeDatagram(datagram, QHostAddress::LocalHost,
                           static_cast<quint16>(ClientSettings::nInterActiveSyslogPort));
  }
  // Waits until `count` messages have been handled and shown.
  void shown(std::int32_t count) {
    EXPECT_TRUE(eventually([&] {
      m_page->TimerFlexGridUpdate_Timer();
      return m_page->nextNumber() > count && m_page->model->pending() == 0;
    })) << "handled " << m_page->nextNumber() - 1 << " of " << count;
  }
  QString cell(int row, int column, int role = Qt::DisplayRole) const {
    return m_page->model->data(m_page->model->index(row, column), role).toString();
  }
  QColor background(int row, int column) const {
    return m_page->model->data(m_page->model->index(row, column), Qt::BackgroundRole).value<QBrush>().color();
  }
  QString fileText(const QString& path) const {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(file.readAll());
  }
  // A click on `row`, with Shift to extend the selection as a drag does.
  void clickRow(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTableView* grid = m_page->MSFlexGridMsg;
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, modifiers,
                      grid->visualRect(m_page->model->index(row, 1)).center());
  }

  platform::testing::TempPlatformRoot m_root;
  ScriptedDialogs m_dialogs;
  QUdpSocket m_sender;
  std::unique_ptr<RealtimePage> m_page;
};

TEST_F(RealtimePageTest, StartShowsEachDatagramNewestFirstWithNamesAndColours) {
  RealtimePage& p = *m_page;
  EXPECT_TRUE(p.pbStartLoging->isEnabled());
  EXPECT_FALSE(p.pbStopLoging->isEnabled() || p.cmdSaveAll->isEnabled() || p.cmdDeleteView->isEnabled());
  EXPECT_FALSE(p.MSFlexGridMsg->isEnabled());
  p.pbStartLoging->click();
  EXPECT_FALSE(p.pbStartLoging->isEnabled());
  EXPECT_TRUE(p.pbStopLoging->isEnabled() && p.cmdSaveAll->isEnabled() && p.cmdSaveSel->isEnabled());
  EXPECT_TRUE(p.MSFlexGridMsg->isEnabled());

  // A PRI number too long for 32 bits is a row like any other, read as the
  // service reads it, and never a message box.
  const QByteArray longPri = "99999999999999999999";
  std::uint32_t wrapped = 0;
  for (const char digit : longPri) wrapped = wrapped * 10u + static_cast<std::uint32_t>(digit - '0');
  for (const QByteArray& datagram :
       {QByteArray("<13>Hello"), QByteArray("<>x"), QByteArray("Hello"), QByteArray("<13 Hello"), QByteArray("<999>x"),
        "<" + longPri + ">wrapped", QByteArray("<14><b>not bold</b>")})
    send(datagram);
  shown(7);
  EXPECT_TRUE(m_dialogs.messages.empty());
  ASSERT_EQ(p.model->rowCount(), 7);
  // Newest on top; the selection follows it.
  EXPECT_EQ(cell(0, 0), "7");
  EXPECT_EQ(cell(0, 5), "<b>not bold</b>");
  EXPECT_EQ(p.MSFlexGridMsg->currentIndex().row(), 0);
  const auto wrappedValue = static_cast<std::int32_t>(wrapped);
  EXPECT_EQ(cell(1, 2), Realtime::FacilityName((wrappedValue >> 3) & 127));
  EXPECT_EQ(cell(1, 3), Realtime::PriorityName(wrappedValue & 7));
  EXPECT_EQ(cell(1, 5), "wrapped");
  EXPECT_EQ(cell(2, 2), "");  // facility 124
  EXPECT_EQ(background(2, 2), QColor(0, 0, 0));
  EXPECT_EQ(cell(2, 3), "DEBUG");
  EXPECT_EQ(cell(3, 5), "Hello");
  EXPECT_EQ(cell(4, 2), "KERN");
  EXPECT_EQ(cell(4, 3), "EMERGENCY");
  EXPECT_EQ(cell(4, 5), "Hello");
  EXPECT_EQ(cell(5, 5), "x");
  EXPECT_EQ(cell(6, 0), "1");
  EXPECT_EQ(cell(6, 2), "USER");
  EXPECT_EQ(background(6, 2), QColor(0xEE, 0xEE, 0xEE));
  EXPECT_EQ(cell(6, 3), "NOTICE");
  EXPECT_EQ(background(6, 3), QColor(0x00, 0xDD, 0x10));
  EXPECT_EQ(cell(6, 4), "127.0.0.1");
  EXPECT_EQ(cell(6, 1).section(' ', 0, -2),  // today's date and the time of reception
            Realtime::ReceptionTimeText(QDateTime::currentDateTime()).section(' ', 0, -2));
  EXPECT_EQ(p.model->headerData(5, Qt::Horizontal).toString(), "Logged Message");

  // Stopping keeps the rows and gives the port back.
  p.pbStopLoging->click();
  EXPECT_TRUE(p.pbStartLoging->isEnabled());
  EXPECT_FALSE(p.MSFlexGridMsg->isEnabled());
  EXPECT_EQ(p.model->rowCount(), 7);
  bool held = true;
  HANDLE mutex = Realtime::ClaimRealtimePort(ClientSettings::nInterActiveSyslogPort, held);
  EXPECT_FALSE(held);
  Realtime::ReleaseRealtimePort(mutex);
}

// The socket takes IPv4 and IPv6 senders alike, an IPv4 one in dotted form;
// a datagram longer than the display keeps gives its first 20,000 bytes.
TEST_F(RealtimePageTest, SendersOfBothFamiliesAndLongDatagrams) {
  m_page->pbStartLoging->click();
  send("<13>" + QByteArray(30000, 'x'));
  QUdpSocket six;
  if (six.bind(QHostAddress::LocalHostIPv6, 0))
    six.writeDatagram("<13>from six", QHostAddress::LocalHostIPv6,
                      static_cast<quint16>(ClientSettings::nInterActiveSyslogPort));
  shown(six.state() == QAbstractSocket::BoundState ? 2 : 1);
  const int longRow = m_page->model->rowCount() - 1;
  EXPECT_EQ(m_page->model->at(longRow).message, QString(Realtime::kMaxDatagramBytes - 4, 'x'));
  EXPECT_EQ(m_page->model->at(longRow).source, "127.0.0.1");
  if (longRow == 1) {
    EXPECT_EQ(m_page->model->at(0).source, "::1");
  }
}

TEST_F(RealtimePageTest, TheRowLimitKeepsTheNewestAndDeleteViewKeepsTheNumbering) {
  ClientSettings::nMessageBufferSize = 3;
  m_page->pbStartLoging->click();
  for (int i = 1; i <= 5; ++i) send("<13>message " + QByteArray::number(i));
  shown(5);
  ASSERT_EQ(m_page->model->rowCount(), 3);
  EXPECT_EQ((QStringList{cell(0, 0), cell(1, 0), cell(2, 0)}), (QStringList{"5", "4", "3"}));
  m_page->cmdDeleteView->click();
  EXPECT_EQ(m_page->model->rowCount(), 0);
  send("<13>after the view was deleted");
  shown(6);
  EXPECT_EQ(cell(0, 0), "6");
}

TEST_F(RealtimePageTest, APortInUseIsReportedAndNothingIsBound) {
  // Another program on the port.
  QUdpSocket other;
  ASSERT_TRUE(other.bind(QHostAddress::AnyIPv4, static_cast<quint16>(ClientSettings::nInterActiveSyslogPort)));
  m_page->pbStartLoging->click();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_TRUE(m_dialogs.messages[0].text.startsWith(Messages::GetMessageText(209) + "\r\n10048: "))
      << m_dialogs.messages[0].text.toStdString();
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_TRUE(m_page->pbStartLoging->isEnabled());
  EXPECT_FALSE(m_page->receiving());
  other.close();

  // A realtime display of another session on the same port.
  bool held = true;
  HANDLE mutex = Realtime::ClaimRealtimePort(ClientSettings::nInterActiveSyslogPort, held);
  m_page->pbStartLoging->click();
  ASSERT_EQ(m_dialogs.messages.size(), 2u);
  EXPECT_EQ(m_dialogs.messages[1].text,
            "Realtime Logging can not be started. Another instance of Corvantel is already running at Port " +
                QString::number(ClientSettings::nInterActiveSyslogPort) + " " + Messages::GetMessageText(1023));
  EXPECT_EQ(m_dialogs.messages[1].icon, Dialogs::Icon::Warning);
  EXPECT_FALSE(m_page->receiving());
  Realtime::ReleaseRealtimePort(mutex);
  m_page->pbStartLoging->click();
  EXPECT_TRUE(m_page->receiving());
}

TEST_F(RealtimePageTest, TheLogFileGetsAHeaderAndALinePerMessageAndAMissingFolderTurnsItOff) {
  const QString folder = QString::fromStdString((m_root.base() / "clientlog").string());
  ASSERT_TRUE(QDir().mkpath(folder));
  ClientSettings::szFileBaseName = folder + "/Syslog";
  m_page->pbStartLoging->click();
  m_page->chkWriteLogfile->click();
  EXPECT_EQ(Registry::QueryDWordValue(Global::hClientKeyMachine, "nWriteLogfile", -1), 1);
  send("<13>first line");
  send("<34>second line");
  shown(2);
  const QString text = fileText(folder + "/Syslog.txt");
  const QStringList lines = text.split("\r\n");
  ASSERT_EQ(lines.size(), 4) << text.toStdString();
  EXPECT_EQ(lines[0], "DateTime, Source, Facility, Priority, Message");
  EXPECT_EQ(lines[1], cell(1, 1) + ", 127.0.0.1, 1, 5, first line");
  EXPECT_EQ(lines[2], cell(0, 1) + ", 127.0.0.1, 4, 2, second line");

  ClientSettings::szFileBaseName = folder + "/missing/Syslog";
  send("<13>third line");
  shown(3);
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, Messages::GetMessageText(1010));
  EXPECT_FALSE(m_page->chkWriteLogfile->isChecked());
  EXPECT_EQ(Registry::QueryDWordValue(Global::hClientKeyMachine, "nWriteLogfile", -1), 0);
  send("<13>fourth line");
  shown(4);
  EXPECT_EQ(m_dialogs.messages.size(), 1u);
}

TEST_F(RealtimePageTest, SavedAndCopiedCsvHoldsTheRowsAsShown) {
  m_page->pbStartLoging->click();
  const QString path = QString::fromStdString((m_root.base() / "all.csv").string());

  // An empty grid: the header, and the one more line end of every file.
  m_dialogs.fileAnswers = {path};
  m_page->cmdSaveAll->click();
  EXPECT_EQ(fileText(path), "DateTime, Source, Facility, Priority, Message\r\n\r\n");
  EXPECT_EQ(m_dialogs.files[0].caption, "Open");

  for (const QByteArray& datagram : {QByteArray("<13>one"), QByteArray("<999>two, with a comma"),
                                     QByteArray("<11>three"), QByteArray("<0>four"), QByteArray("<191>five")})
    send(datagram);
  shown(5);
  const auto line = [&](int row, const char* codesAndText) {
    return cell(row, 1) + ", 127.0.0.1, " + QLatin1String(codesAndText) + "\r\n";
  };
  const QString header = "DateTime, Source, Facility, Priority, Message\r\n";
  m_dialogs.fileAnswers = {path};
  m_page->cmdSaveAll->click();
  EXPECT_EQ(fileText(path), header + line(0, "23, 7, five") + line(1, "0, 0, four") + line(2, "1, 3, three") +
                                line(3, "0, 7, two, with a comma") + line(4, "1, 5, one") + "\r\n");

  // Rows 1 to 3, selected from the bottom up and from the top down.
  const QString selection = header + line(1, "0, 0, four") + line(2, "1, 3, three") + line(3, "0, 7, two, with a comma");
  for (const auto& [from, to] : {std::pair{3, 1}, std::pair{1, 3}}) {
    clickRow(from);
    clickRow(to, Qt::ShiftModifier);
    m_dialogs.fileAnswers = {path};
    m_page->cmdSaveSel->click();
    EXPECT_EQ(fileText(path), selection + "\r\n") << from << " to " << to;
    m_page->mnuEditCopySelection_Click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), selection);
    EXPECT_FALSE(QGuiApplication::clipboard()->mimeData()->hasHtml());
  }

  // A cancelled dialog writes nothing; a file that cannot be written says so.
  QFile::remove(path);
  m_page->cmdSaveAll->click();
  EXPECT_FALSE(QFile::exists(path));
  m_dialogs.fileAnswers = {QString::fromStdString((m_root.base() / "no-such-folder" / "x.csv").string())};
  m_page->cmdSaveAll->click();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_TRUE(m_dialogs.messages[0].text.startsWith(Messages::GetMessageText(2400)));
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
}

TEST_F(RealtimePageTest, ADoubleClickOpensTheRowInItsOwnWindowAsPlainText) {
  m_page->pbStartLoging->click();
  send("<11>first");
  send("<14>line one\nline two <i>not italic</i>");
  shown(2);
  clickRow(1);
  QTest::mouseDClick(m_page->MSFlexGridMsg->viewport(), Qt::LeftButton, Qt::NoModifier,
                     m_page->MSFlexGridMsg->visualRect(m_page->model->index(1, 1)).center());
  frmSingleDisplay* single = m_page->singleDisplay();
  ASSERT_NE(single, nullptr);
  EXPECT_EQ(single->txtFacility->text(), "USER");
  EXPECT_EQ(single->txtPriority->text(), "ERROR");
  EXPECT_EQ(single->txtLogMsg->toPlainText(), "first");
  EXPECT_TRUE(single->isModal());
  single->cmdClose->click();
  EXPECT_TRUE(eventually([&] { return m_page->singleDisplay() == nullptr; }));

  clickRow(0);
  QTest::mouseDClick(m_page->MSFlexGridMsg->viewport(), Qt::LeftButton, Qt::NoModifier,
                     m_page->MSFlexGridMsg->visualRect(m_page->model->index(0, 1)).center());
  ASSERT_NE(m_page->singleDisplay(), nullptr);
  EXPECT_EQ(m_page->singleDisplay()->txtLogMsg->toPlainText(), "line one\nline two <i>not italic</i>");
  m_page->singleDisplay()->close();
}

TEST_F(RealtimePageTest, RendersThePageWithEveryPriorityInEveryLanguage) {
  m_page->pbStartLoging->click();
  for (int priority = 0; priority < 8; ++priority)
    send("<" + QByteArray::number(priority * 9 % 24 * 8 + priority) + ">a message of priority " +
         QByteArray::number(priority));
  shown(8);
  for (const auto& [language, code] : {std::pair{Messages::kEnglish, "EN"}, std::pair{Messages::kGerman, "DE"},
                                       std::pair{Messages::kJapanese, "JP"}, std::pair{Messages::kSpanish, "ES"}}) {
    Messages::SetLanguage(language);
    Messages::SetLanguageFont();
    m_page->Initiate_Language_settings();
    EXPECT_FALSE(renderToPng(m_page.get(), QStringLiteral("pgRealtime-%1").arg(QLatin1String(code))).isEmpty());
  }
  Messages::SetLanguage(Messages::kEnglish);
}

// The page beside the real service: the service's own port is refused, and
// a forward action of the service to the page's port shows what it receives.
class RealtimeServiceTest : public RealServiceTest {};

TEST_F(RealtimeServiceTest, TheServicesPortIsRefusedAndItsForwardedMessagesAreShown) {
  ScriptedDialogs dialogs;
  qputenv("CORVANTEL_MUTEX_DIR", QByteArray::fromStdString((m_root.base() / "locks").string()));
  ClientSettings::resetToDefaults();
  HKEY parameters = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, &parameters), ERROR_SUCCESS);
  const int servicePort = Registry::QueryDWordValue(parameters, "nSyslogPort", 0);
  RegCloseKey(parameters);
  const int pagePort = freeUdpPort();
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kRulesKeyPath, &Global::hRulesKey), ERROR_SUCCESS);
  Rules::RuleRecord forward;
  forward.RuleName = "To the realtime display";
  forward.ActionCount = 1;
  forward.ActionTypes = {Rules::kForwardToSyslog};
  forward.ActionStrings = {QStringLiteral("127.0.0.1:%1").arg(pagePort)};
  Rules::model() = Rules::Model{};
  Rules::model().rules = {forward};
  Rules::model().RuleCount = 1;
  ASSERT_EQ(Rules::SaveRules(Global::hRulesKey), ERROR_SUCCESS);
  ASSERT_EQ(WinNTServices::StartNTService(QString(), QString::fromLatin1(WinNTServices::kServiceName)), 0u);
  ASSERT_TRUE(eventually([] {
    return WinNTServices::QueryNTServiceState(QString(), QString::fromLatin1(WinNTServices::kServiceName)) ==
           SERVICE_RUNNING;
  }));

  RealtimePage page;
  ClientSettings::nInterActiveSyslogPort = servicePort;
  page.pbStartLoging->click();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(dialogs.messages[0].text.startsWith(Messages::GetMessageText(209)));
  EXPECT_FALSE(page.receiving());

  ClientSettings::nInterActiveSyslogPort = pagePort;
  page.pbStartLoging->click();
  ASSERT_TRUE(page.receiving());
  QUdpSocket sender;
  EXPECT_TRUE(eventually([&] {
    sender.writeDatagram("<13>through the service", QHostAddress::LocalHost, static_cast<quint16>(servicePort));
    page.TimerFlexGridUpdate_Timer();
    return page.model->rowCount() > 0;
  }));
  EXPECT_TRUE(page.model->at(0).message.contains("through the service")) << page.model->at(0).message.toStdString();
  EXPECT_EQ(page.model->at(0).source, "127.0.0.1");
  qunsetenv("CORVANTEL_MUTEX_DIR");
  Rules::model() = Rules::Model{};
}

}  // namespace
