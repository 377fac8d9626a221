// Test support for windows: acting on a modal window once it opens, and
// rendering a window to a PNG file.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <vector>

class QWidget;

// Runs `act` on the next modal window that opens (within `timeoutMs`), from
// the event loop that window's exec() runs. For tests of the real dialogs.
void whenModalOpens(const std::function<void(QWidget*)>& act, int timeoutMs = 5000);

// Writes the window as it looks now to <build>/renderings/<name>.png and
// returns the path (empty when it could not be written).
QString renderToPng(QWidget* window, const QString& name);

// Takes the addresses of the given schemes that the client asks the desktop to
// open, for its lifetime, instead of a browser or any other program.
class OpenedUrls : public QObject {
  Q_OBJECT

 public:
  explicit OpenedUrls(const QStringList& schemes = {QStringLiteral("file"), QStringLiteral("http"),
                                                    QStringLiteral("https")});
  ~OpenedUrls() override;

  std::vector<QUrl> urls;

 public slots:
  void open(const QUrl& url);

 private:
  QStringList m_schemes;
};
