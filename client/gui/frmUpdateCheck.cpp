#include "frmUpdateCheck.h"

#include <QApplication>
#include <QColor>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QTimer>
#include <QXmlStreamReader>
#include <map>
#include <memory>
#include <optional>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "dialogs.h"
#include "link_label.h"
#include "twips.h"

namespace {

// The client's machine setting for the update service, and ours.
constexpr char kUpdateServiceValue[] = "szUpdateService";
constexpr char kDefaultUpdateService[] = "https://corvantel.tolvane.example/updates/";
constexpr char kRecordPath[] = "CheckUpdate.asp?ProductSKU=Corvantel";

constexpr std::chrono::milliseconds kAnswerTimeout{15000};
std::chrono::milliseconds g_answerTimeoutForTesting{0};
// A record is a few hundred bytes; anything far larger is not one, and is
// not kept in memory.
constexpr qint64 kMostRecordBytes = 1024 * 1024;

constexpr char kUnreadableRecord[] = "The update record could not be read.";

// What the error box says: what failed, and after CR LF why.
struct Failure {
  QString description;
  QString reason;
};

// Network text quoted in a reason, cut to a sensible length.
QString quoted(const QString& text) {
  constexpr int kMost = 60;
  return text.size() <= kMost ? text : text.left(kMost) + QStringLiteral("...");
}

// Fetches the update record at `address`, waiting at most `timeout` for the
// whole answer. User input waits meanwhile, as for any synchronous load.
std::optional<Failure> fetchRecord(const QUrl& address, std::chrono::milliseconds timeout, QByteArray& body) {
  QNetworkAccessManager network;
  QNetworkRequest request(address);
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  const std::unique_ptr<QNetworkReply> reply(network.get(request));
  bool tooLarge = false;
  QObject::connect(reply.get(), &QNetworkReply::downloadProgress, reply.get(), [&](qint64 received, qint64) {
    if (received <= kMostRecordBytes || tooLarge) return;
    tooLarge = true;
    reply->abort();
  });
  QEventLoop wait;
  QObject::connect(reply.get(), &QNetworkReply::finished, &wait, &QEventLoop::quit);
  QTimer::singleShot(timeout, &wait, &QEventLoop::quit);
  if (!reply->isFinished()) wait.exec(QEventLoop::ExcludeUserInputEvents);

  if (tooLarge)
    return Failure{QLatin1String(kUnreadableRecord),
                   QStringLiteral("The answer of %1 is larger than %2 bytes.")
                       .arg(address.toDisplayString())
                       .arg(kMostRecordBytes)};
  if (!reply->isFinished()) {
    reply->abort();
    return Failure{QStringLiteral("The update service did not answer."),
                   QStringLiteral("No answer from %1 within %2 seconds.")
                       .arg(address.toDisplayString())
                       .arg(timeout.count() / 1000.0)};
  }
  const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
    return Failure{QStringLiteral("The update service answered with an error."),
                   QStringLiteral("HTTP status %1 %2 from %3.")
                       .arg(status.toInt())
                       .arg(quoted(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()),
                            address.toDisplayString())};
  }
  if (reply->error() != QNetworkReply::NoError)
    return Failure{QStringLiteral("The update service could not be reached."), reply->errorString()};
  body = reply->readAll();
  return std::nullopt;
}

// Reads the record's elements: the first element of each name, anywhere in
// the document, which must be well-formed as a whole.
std::optional<Failure> parseRecord(const QByteArray& document, frmUpdateCheck::UpdateRecord& record) {
  static const QStringList kNames{QStringLiteral("ProductSKU"),   QStringLiteral("VersionMajor"),
                                  QStringLiteral("VersionMinor"), QStringLiteral("VersionBuild"),
                                  QStringLiteral("InfoUrl"),      QStringLiteral("isBetaBuild")};
  std::map<QString, QString> first;
  QXmlStreamReader xml(document);
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    const QString name = xml.name().toString();
    if (kNames.contains(name) && first.count(name) == 0)
      first[name] = xml.readElementText(QXmlStreamReader::IncludeChildElements);
  }
  if (xml.hasError()) {
    return Failure{QLatin1String(kUnreadableRecord), QStringLiteral("%1 (line %2, column %3)")
                                                         .arg(xml.errorString())
                                                         .arg(xml.lineNumber())
                                                         .arg(xml.columnNumber())};
  }
  frmUpdateCheck::UpdateRecord read;
  const std::pair<const char*, std::int32_t*> numbers[] = {
      {"VersionMajor", &read.major}, {"VersionMinor", &read.minor}, {"VersionBuild", &read.build}};
  for (const auto& [name, number] : numbers) {
    const auto found = first.find(QLatin1String(name));
    if (found == first.end())
      return Failure{QLatin1String(kUnreadableRecord),
                     QStringLiteral("It has no %1.").arg(QLatin1String(name))};
    bool ok = false;
    *number = found->second.trimmed().toInt(&ok);
    if (!ok) {
      return Failure{QLatin1String(kUnreadableRecord), QStringLiteral("Its %1 is not a whole number: \"%2\"")
                                                           .arg(QLatin1String(name), quoted(found->second))};
    }
  }
  read.productSku = first[QStringLiteral("ProductSKU")];
  read.infoUrl = first[QStringLiteral("InfoUrl")].trimmed();
  read.beta = first[QStringLiteral("isBetaBuild")].trimmed().toInt() == 1;
  record = read;
  return std::nullopt;
}

// The hourglass for the lifetime of the object.
struct WaitCursor {
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

}  // namespace

frmUpdateCheck::frmUpdateCheck(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmUpdateCheck"));
  setModal(true);
  setFixedSize(twips(5415), twips(2955));

  const auto label = [](QWidget* owner, const char* name, QRect geometry) {
    auto* l = new QLabel(owner);
    l->setObjectName(QLatin1String(name));
    l->setTextFormat(Qt::PlainText);
    l->setGeometry(geometry);
    return l;
  };
  const auto frame = [this](const char* name, QRect geometry) {
    auto* f = new QGroupBox(this);
    f->setObjectName(QLatin1String(name));
    f->setGeometry(geometry);
    return f;
  };
  lblUpdate = label(this, "lblUpdate", twipsRect(240, 180, 4935, 300));
  fraCurrent = frame("fraCurrent", twipsRect(240, 540, 4935, 615));
  lblCurrentVersion = label(fraCurrent, "lblCurrentVersion", twipsRect(120, 270, 4695, 255));
  fraNewVersion = frame("fraNewVersion", twipsRect(240, 1275, 4935, 975));
  lblNewVersion = label(fraNewVersion, "lblNewVersion", twipsRect(120, 270, 4695, 255));
  lblDownload = new LinkLabel(fraNewVersion);
  lblDownload->setObjectName(QStringLiteral("lblDownload"));
  lblDownload->setGeometry(twipsRect(120, 600, 4695, 255));
  connect(lblDownload, &LinkLabel::clicked, this, &frmUpdateCheck::lblDownload_Click);

  const auto button = [this](const char* name, QRect geometry, void (frmUpdateCheck::*slot)()) {
    auto* b = new QPushButton(this);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(geometry);
    connect(b, &QPushButton::clicked, this, slot);
    return b;
  };
  cmdCheck = button("cmdCheck", twipsRect(2160, 2400, 1335, 375), &frmUpdateCheck::cmdCheck_Click);
  cmdCheck->setDefault(true);
  cmdCancel = button("cmdCancel", twipsRect(3840, 2400, 1335, 375), &frmUpdateCheck::cmdCancel_Click);

  Form_Load();
}

void frmUpdateCheck::Form_Load() {
  m_address =
      recordAddress(Registry::QueryStringValue(Global::hClientKeyMachine, QLatin1String(kUpdateServiceValue),
                                               QString(), nullptr, Registry::kLongStringBuffer));
  Initiate_Language_settings();
  m_running = GetFileVersion(Global::daemonProgramPath());
  lblCurrentVersion->setText(Messages::GetMessageText(454) + QStringLiteral(": ") + versionText(m_running));
  fraNewVersion->setEnabled(false);
  lblNewVersion->setEnabled(false);
  lblDownload->setEnabled(false);
}

void frmUpdateCheck::Initiate_Language_settings() {
  using Messages::GetMessageText;
  Messages::SetLanguageFont();
  const QFont& font = Messages::LanguageFont();
  setFont(font);
  for (QWidget* child : findChildren<QWidget*>()) child->setFont(font);
  setWindowTitle(GetMessageText(450));
  lblUpdate->setText(GetMessageText(451));
  fraCurrent->setTitle(GetMessageText(452));
  fraNewVersion->setTitle(GetMessageText(453));
  lblDownload->setText(GetMessageText(455));
  cmdCheck->setText(GetMessageText(456));
  cmdCancel->setText(GetMessageText(m_checked ? 457 : 33));
}

QUrl frmUpdateCheck::recordAddress(const QString& service) {
  QString base = service.trimmed();
  if (base.isEmpty()) base = QLatin1String(kDefaultUpdateService);
  if (!base.endsWith(u'/')) base += u'/';
  return QUrl(base + QLatin1String(kRecordPath));
}

std::chrono::milliseconds frmUpdateCheck::answerTimeout() {
  return g_answerTimeoutForTesting.count() > 0 ? g_answerTimeoutForTesting : kAnswerTimeout;
}

void frmUpdateCheck::setAnswerTimeoutForTesting(std::chrono::milliseconds timeout) {
  g_answerTimeoutForTesting = timeout;
}

int frmUpdateCheck::lagColour(const FileVersion& running, const UpdateRecord& offered) {
  // As versions: an installed 4.0.0 is not behind an offered 3.71.1.
  if (offered.major != running.major) return offered.major > running.major ? 255 : 0;
  if (offered.minor != running.minor) return offered.minor > running.minor ? 128 : 0;
  if (offered.build != running.build) return offered.build > running.build ? 64 : 0;
  return 0;
}

void frmUpdateCheck::cmdCheck_Click() {
  UpdateRecord record;
  std::optional<Failure> failure;
  {
    WaitCursor hourglass;
    QByteArray document;
    failure = fetchRecord(m_address, answerTimeout(), document);
    if (!failure) failure = parseRecord(document, record);
  }
  if (failure) {
    Dialogs::MsgBox(failure->description + QStringLiteral("\r\n") + failure->reason, Dialogs::Icon::Error,
                    Dialogs::Buttons::Ok, QString(), this);
    return;
  }

  m_record = record;
  QString offered = Messages::GetMessageText(454) + QStringLiteral(": ") +
                    versionText({record.major, record.minor, record.build, true});
  if (record.beta) offered += QStringLiteral(" Beta");
  lblNewVersion->setText(offered);
  const int colour = lagColour(m_running, record);
  QPalette colours = fraNewVersion->palette();
  // Disabled text keeps the style's grey.
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    colours.setColor(group, QPalette::WindowText, QColor(colour, 0, 0));
    colours.setColor(group, QPalette::Text, QColor(colour, 0, 0));
  }
  fraNewVersion->setPalette(colours);
  fraNewVersion->setEnabled(true);
  lblNewVersion->setEnabled(true);
  lblDownload->setEnabled(colour != 0);
  m_checked = true;
  cmdCancel->setText(Messages::GetMessageText(457));
}

void frmUpdateCheck::lblDownload_Click() {
  // The address comes from the network: only a web page is opened, never a
  // local file or a program's scheme.
  const QUrl page(m_record.infoUrl);
  const QString scheme = page.scheme().toLower();
  int result = ERROR_ACCESS_DENIED;
  if (m_record.infoUrl.isEmpty())
    result = openAddress(QUrl());
  else if ((scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !page.host().isEmpty())
    result = openAddress(page);
  if (result != 0) {
    Dialogs::MsgBox(QStringLiteral("Error %1 opening the more Information Website").arg(result),
                    Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), this);
  }
}

void frmUpdateCheck::cmdCancel_Click() { reject(); }
