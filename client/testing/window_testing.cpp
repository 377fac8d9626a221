#include "window_testing.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <memory>

void whenModalOpens(const std::function<void(QWidget*)>& act, int timeoutMs) {
  auto* timer = new QTimer(qApp);
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  QWidget* before = QApplication::activeModalWidget();
  QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, act, before, timeoutMs] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && modal != before && modal->isVisible()) {
      timer->stop();
      timer->deleteLater();
      act(modal);
    } else if (clock->elapsed() > timeoutMs) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(10);
}

QString renderToPng(QWidget* window, const QString& name) {
  const QString folder = QStringLiteral(CORVANTEL_RENDER_DIR);
  if (!QDir().mkpath(folder)) return {};
  const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
  // The offscreen platform draws no window frame; a plain caption bar above
  // the contents keeps the window's title in the picture.
  const QPixmap contents = window->grab();
  const int captionHeight = QFontMetrics(window->font()).height() + 8;
  QImage image(contents.width(), contents.height() + captionHeight, QImage::Format_RGB32);
  image.fill(QColor(0x00, 0x30, 0x80));
  QPainter painter(&image);
  painter.setPen(Qt::white);
  painter.setFont(window->font());
  painter.drawText(QRect(6, 0, contents.width() - 12, captionHeight), Qt::AlignVCenter | Qt::AlignLeft,
                   window->windowTitle());
  painter.drawPixmap(0, captionHeight, contents);
  painter.end();
  return image.save(path, "PNG") ? path : QString();
}

OpenedUrls::OpenedUrls(const QStringList& schemes) : m_schemes(schemes) {
  for (const QString& scheme : m_schemes) QDesktopServices::setUrlHandler(scheme, this, "open");
}

OpenedUrls::~OpenedUrls() {
  for (const QString& scheme : m_schemes) QDesktopServices::unsetUrlHandler(scheme);
}

void OpenedUrls::open(const QUrl& url) { urls.push_back(url); }
