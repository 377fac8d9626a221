#include "frmSingleDisplay.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <vector>

#include "Messages/Messages.h"
#include "twips.h"
#include "window_testing.h"

namespace {

class SingleDisplayTest : public ::testing::Test {
 protected:
  void TearDown() override { Messages::SetLanguage(Messages::kEnglish); }
};

TEST_F(SingleDisplayTest, ShowsTheTextsLiterally) {
  frmSingleDisplay w;
  const QString source = QStringLiteral("<i>gw</i>.branch-office.example.org.with.a.rather.long.name");
  w.setTexts("2024-03-01 12:00:00", "USER", "NOTICE", source, "<b>bold</b> &amp;\r\nsecond\nthird");
  EXPECT_EQ(w.txtFacility->text(), "USER");
  EXPECT_EQ(w.txtSource->text(), source);
  EXPECT_EQ(w.txtSource->cursorPosition(), 0);  // a long source is shown from its start
  EXPECT_EQ(w.txtLogMsg->toPlainText(), "<b>bold</b> &amp;\nsecond\nthird");
  EXPECT_EQ(w.txtLogMsg->document()->blockCount(), 3);
}

TEST_F(SingleDisplayTest, GrowsFromItsMinimumWithTheBoxesAndKeepsCloseCentred) {
  frmSingleDisplay w;
  w.show();
  const QSize minimum(twips(4695), twips(3525));
  w.resize(200, 100);
  EXPECT_EQ(w.size(), minimum);
  EXPECT_LT(w.txtLogMsg->geometry().bottom(), w.cmdClose->y());
  EXPECT_LT(w.cmdClose->geometry().bottom(), w.height());

  QWidget* boxes[] = {w.txtTime, w.txtFacility, w.txtPriority, w.txtSource, w.txtLogMsg};
  std::vector<QRect> before;
  for (QWidget* box : boxes) before.push_back(box->geometry());
  for (const QSize& size : {QSize(minimum.width() + 301, minimum.height() + 200), minimum}) {
    w.resize(size);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(boxes[i]->pos(), before[i].topLeft()) << i;
      EXPECT_EQ(boxes[i]->width(), before[i].width() + size.width() - minimum.width()) << i;
    }
    // Measured from the bottom of the whole window, caption and borders
    // (405 twips) below the inner area.
    const int windowHeight = w.height() + twips(405);
    EXPECT_EQ(w.txtLogMsg->height(), windowHeight - twips(2700));
    EXPECT_EQ(w.cmdClose->y(), windowHeight - twips(900));
    EXPECT_LE(std::abs(w.cmdClose->x() - (w.width() - w.cmdClose->x() - w.cmdClose->width())), 1);
  }
}

TEST_F(SingleDisplayTest, CloseAndEscapeGiveTheMainWindowBack) {
  QWidget mainWindow;
  mainWindow.show();
  for (const bool byEscape : {false, true}) {
    QPointer<frmSingleDisplay> window = new frmSingleDisplay(&mainWindow);  // as the realtime page opens it
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowModality(Qt::ApplicationModal);
    window->show();
    EXPECT_EQ(QApplication::activeModalWidget(), window.data());
    byEscape ? QTest::keyClick(window, Qt::Key_Escape) : window->cmdClose->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window.isNull()) << byEscape;
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << byEscape;
  }
}

TEST_F(SingleDisplayTest, TakesItsTextsAndFontInEveryLanguage) {
  for (const char* code : {"EN", "DE", "JP", "ES"}) {
    Messages::SetLanguage(code);
    const Messages::Catalogue& texts = Messages::catalogueFor(code);
    frmSingleDisplay w;
    EXPECT_EQ(w.windowTitle(), texts.at(350));
    const QLabel* labels[] = {w.lblTime, w.lblFacility, w.lblPriority, w.lblSource, w.lblLogMsg};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(labels[i]->text(), texts.at(351 + i)) << code << i;
    EXPECT_EQ(w.cmdClose->text(), texts.at(356));
    for (QWidget* control : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
      EXPECT_EQ(control->font(), Messages::LanguageFont()) << code << control->objectName().toStdString();

    w.setTexts("01.03.2024 12:00:00", "USER", "NOTICE", "192.0.2.17",
               "sshd[4242]: Accepted publickey for operator from 192.0.2.99 port 51022 ssh2: "
               "RSA SHA256:0123456789abcdefghijklmnopqrstuvwxyz");
    w.show();
    QCoreApplication::processEvents();
    EXPECT_FALSE(renderToPng(&w, QStringLiteral("frmSingleDisplay-%1").arg(QLatin1String(code))).isEmpty())
        << code;
  }
}

}  // namespace
