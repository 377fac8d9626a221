// The client's tests run with a QApplication on Qt's offscreen platform, so
// windows can be shown, driven and rendered without a display.
#include <gtest/gtest.h>

#include <QApplication>

#include "widget_dialogs.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  Dialogs::installWidgetDialogs();
  return RUN_ALL_TESTS();
}
