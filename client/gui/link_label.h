// LinkLabel: a label that reads and acts like a link: plain text, underlined,
// in the palette's link colour while enabled, opened by a left click or by
// Enter or Space when it has the focus. Its text is never rich text, so an
// address from a setting or from the network shows as it is.
#pragma once

#include <QLabel>
#include <QUrl>

class LinkLabel : public QLabel {
  Q_OBJECT

 public:
  explicit LinkLabel(QWidget* parent = nullptr);

  // What a click does, from code (tests): nothing while disabled.
  void click();

 signals:
  void clicked();

 protected:
  bool event(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

// Opens `address` with the desktop's program for it, as the client opens its
// web pages. The result, as the windows report it after "Error ": 0 when it
// opened; 2 when the address is empty or invalid, or names a local file that
// does not exist; 31 when no program took it.
int openAddress(const QUrl& address);
