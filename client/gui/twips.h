// Window geometry is designed in twips (1/1440 inch). Qt lays out in logical
// pixels of 1/96 inch and scales them for the screen itself, so one logical
// pixel is always 15 twips.
#pragma once

#include <QRect>

inline constexpr int kTwipsPerPixel = 15;

constexpr int twips(int value) { return (value + kTwipsPerPixel / 2) / kTwipsPerPixel; }

constexpr QRect twipsRect(int left, int top, int width, int height) {
  return QRect(twips(left), twips(top), twips(width), twips(height));
}
