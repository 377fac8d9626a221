#include "link_label.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMouseEvent>

namespace {
// The codes of openAddress: no such file, and no program for it.
constexpr int kNotFound = 2;
constexpr int kNoProgram = 31;
}  // namespace

LinkLabel::LinkLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  QPalette colours = palette();
  // Disabled, it greys like any label.
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
    colours.setColor(group, QPalette::WindowText, colours.color(group, QPalette::Link));
  setPalette(colours);
  QFont underlined = font();
  underlined.setUnderline(true);
  setFont(underlined);
}

void LinkLabel::click() {
  if (isEnabled()) emit clicked();
}

bool LinkLabel::event(QEvent* event) {
  // The windows give every control the language font; the link keeps its
  // underline. Setting the font again ends here, as it is then underlined.
  if (event->type() == QEvent::FontChange && !font().underline()) {
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
  }
  return QLabel::event(event);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) click();
  QLabel::mouseReleaseEvent(event);
}

void LinkLabel::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space) {
    click();
    return;
  }
  QLabel::keyPressEvent(event);
}

int openAddress(const QUrl& address) {
  if (!address.isValid() || address.isEmpty()) return kNotFound;
  if (address.isLocalFile() && !QFileInfo::exists(address.toLocalFile())) return kNotFound;
  return QDesktopServices::openUrl(address) ? 0 : kNoProgram;
}
