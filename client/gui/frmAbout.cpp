#include "frmAbout.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <cstring>
#include <string>

#include "GetFileVersion.h"
#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "ansi_text.h"
#include "dialogs.h"
#include "frmMain.h"
#include "link_label.h"
#include "twips.h"

#ifndef CORVANTEL_CLIENT_VERSION
#error "the build passes the project's version as CORVANTEL_CLIENT_VERSION"
#endif

namespace {

constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\";
constexpr char kSysInfoKey[] = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
constexpr char kSysInfoValue[] = "PATH";
constexpr char kSysInfoLocationKey[] = "SOFTWARE\\Microsoft\\Shared Tools Location";
constexpr char kSysInfoLocationValue[] = "MSINFO";
constexpr char kSysInfoProgram[] = "MSINFO32.EXE";
constexpr DWORD kValueBufferSize = 1024;

// The client's machine setting for the product's web address, and the
// project's web pages when neither it nor a home page is there.
constexpr char kProductSiteValue[] = "szProductSite";
constexpr char kProjectSite[] = "https://corvantel.tolvane.example/docs/index.html";

// The program of a service's command line: a path in double quotes, the whole
// text when it names a file (paths may hold blanks), else up to the first blank.
QString programOfCommandLine(const QString& line) {
  if (line.startsWith(u'"')) return line.mid(1).section(u'"', 0, 0);
  if (QFileInfo::exists(line)) return line;
  return line.section(u' ', 0, 0);
}

}  // namespace

frmAbout::frmAbout(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmAbout"));
  setModal(true);
  setFixedSize(twips(6450), twips(2700));

  const auto label = [this](const char* name, QRect geometry) {
    auto* l = new QLabel(this);
    l->setObjectName(QLatin1String(name));
    l->setTextFormat(Qt::PlainText);
    l->setGeometry(geometry);
    return l;
  };
  lblTitle = label("lblTitle", twipsRect(240, 240, 6000, 300));
  lblVersion = label("lblVersion", twipsRect(240, 600, 6000, 300));
  lblMoreInfo = label("lblMoreInfo", twipsRect(240, 1140, 6000, 255));
  lblProductSite = new LinkLabel(this);
  lblProductSite->setObjectName(QStringLiteral("lblProductSite"));
  lblProductSite->setGeometry(twipsRect(240, 1440, 6000, 255));
  connect(lblProductSite, &LinkLabel::clicked, this, &frmAbout::lblProductSite_Click);

  cmdSysInfo = new QPushButton(QStringLiteral("&System Info..."), this);
  cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
  cmdSysInfo->setGeometry(twipsRect(3240, 2100, 1575, 375));
  connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::cmdSysInfo_Click);
  cmdOK = new QPushButton(QStringLiteral("OK"), this);
  cmdOK->setObjectName(QStringLiteral("cmdOK"));
  cmdOK->setGeometry(twipsRect(4935, 2100, 1275, 375));
  cmdOK->setDefault(true);
  connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);

  Form_Load();
}

void frmAbout::Form_Load() {
  Initiate_Language_settings();
  lblTitle->setText(Messages::GetMessageText(301) + versionText(GetFileVersion(daemonProgram())));
  lblVersion->setText(Messages::GetMessageText(302) + clientVersion());
  m_productSite = productSite();
  const QString address = m_productSite.toDisplayString(QUrl::PreferLocalFile);
  lblProductSite->setText(address);
  lblProductSite->setToolTip(address);  // for an address wider than the window
}

void frmAbout::Initiate_Language_settings() {
  Messages::SetLanguageFont();
  const QFont& font = Messages::LanguageFont();
  setFont(font);
  for (QWidget* child : findChildren<QWidget*>()) child->setFont(font);
  setWindowTitle(Messages::GetMessageText(300));
  lblMoreInfo->setText(Messages::GetMessageText(303));
}

QString frmAbout::daemonProgram() {
  // A service key without a program (made by hand, or holding only its
  // Parameters) says nothing about the program: the one beside us counts then.
  QString imagePath;
  if (GetKeyValue(HKEY_LOCAL_MACHINE, QLatin1String(kServiceKey), QStringLiteral("ImagePath"), imagePath)) {
    const QString program = programOfCommandLine(imagePath.trimmed());
    if (!program.isEmpty()) return program;
  }
  return Global::daemonProgramPath();
}

QString frmAbout::clientVersion() { return QStringLiteral(CORVANTEL_CLIENT_VERSION); }

QUrl frmAbout::productSite() {
  const QString setting =
      Registry::QueryStringValue(Global::hClientKeyMachine, QLatin1String(kProductSiteValue), QString(),
                                 nullptr, Registry::kLongStringBuffer)
          .trimmed();
  if (!setting.isEmpty()) return QUrl::fromUserInput(setting);
  const QUrl home = frmMain::helpPageUrl(QStringLiteral("mnuHelpHomepage"));
  return home.isEmpty() ? QUrl(QLatin1String(kProjectSite)) : home;
}

bool frmAbout::GetKeyValue(HKEY root, const QString& keyName, const QString& valueName, QString& value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, toAnsi(keyName).c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  std::string buffer(kValueBufferSize, '\0');
  DWORD size = kValueBufferSize;
  DWORD type = REG_NONE;
  const LONG result = RegQueryValueExA(key, toAnsi(valueName).c_str(), nullptr, &type,
                                       reinterpret_cast<BYTE*>(buffer.data()), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return false;
  buffer.resize(size);
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      value = fromAnsi(std::string_view(buffer.data(), ::strnlen(buffer.data(), buffer.size())));
      break;
    case REG_DWORD: {
      QString hex = QStringLiteral("&h");
      for (auto byte = buffer.rbegin(); byte != buffer.rend(); ++byte)
        hex += QStringLiteral("%1").arg(static_cast<unsigned char>(*byte), 2, 16, QLatin1Char('0')).toUpper();
      value = hex;
      break;
    }
    default:
      value = fromAnsi(buffer);
  }
  return true;
}

void frmAbout::StartSysInfo() {
  QString program;
  if (!GetKeyValue(HKEY_LOCAL_MACHINE, QLatin1String(kSysInfoKey), QLatin1String(kSysInfoValue), program)) {
    QString folder;
    if (GetKeyValue(HKEY_LOCAL_MACHINE, QLatin1String(kSysInfoLocationKey),
                    QLatin1String(kSysInfoLocationValue), folder)) {
      const QString candidate = QDir(folder).filePath(QLatin1String(kSysInfoProgram));
      if (QFileInfo::exists(candidate)) program = candidate;
    }
  }
  if (program.isEmpty() || !QProcess::startDetached(program, {})) {
    Dialogs::MsgBox(QStringLiteral("System Information Is Unavailable At This Time"), Dialogs::Icon::None,
                    Dialogs::Buttons::Ok, QString(), this);
  }
}

void frmAbout::cmdSysInfo_Click() { StartSysInfo(); }

void frmAbout::lblProductSite_Click() {
  const int result = openAddress(m_productSite);
  if (result != 0) {
    Dialogs::MsgBox(QStringLiteral("Error %1 opening the Corvantel Ordersite").arg(result),
                    Dialogs::Icon::Error, Dialogs::Buttons::Ok, QString(), this);
  }
}

void frmAbout::cmdOK_Click() { accept(); }
