// An etched separator: a line one pixel high in `colour` at `geometry`; a
// grey one with a white one just below reads as a groove.
#pragma once

#include <QColor>
#include <QFrame>
#include <QPalette>
#include <QRect>

inline QFrame* etchedLine(QWidget* parent, const QColor& colour, const QRect& geometry) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::NoFrame);
  line->setAutoFillBackground(true);
  QPalette palette = line->palette();
  palette.setColor(QPalette::Window, colour);
  line->setPalette(palette);
  line->setGeometry(geometry);
  return line;
}
