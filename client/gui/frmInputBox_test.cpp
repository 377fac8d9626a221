#include "frmInputBox.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "Messages/Messages.h"
#include "scripted_dialogs.h"
#include "window_testing.h"
#include "temp_root.h"
#include "twips.h"

namespace {

frmInputBox* asInputBox(QWidget* window) {
  auto* box = qobject_cast<frmInputBox*>(window);
  EXPECT_NE(box, nullptr);
  return box;
}

class InputBoxTest : public ::testing::Test {
 protected:
  void SetUp() override { Messages::SetLanguage(Messages::kEnglish); }
  void TearDown() override { Messages::SetLanguage(Messages::kEnglish); }

  // Opens the box, lets `act` drive it, and returns what TolvaneInputBox gave.
  std::pair<QString, bool> ask(const std::function<void(frmInputBox*)>& act, const QString& prompt = "Prompt",
                               const QString& title = "Title") {
    whenModalOpens([act](QWidget* w) {
      if (frmInputBox* box = asInputBox(w)) act(box);
    });
    bool cancelled = true;
    const QString text = TolvaneInputBox(prompt, title, cancelled);
    return {text, cancelled};
  }
};

TEST_F(InputBoxTest, OkOrEnterConfirmsTheTextEvenWhenEmpty) {
  EXPECT_EQ(ask([](frmInputBox* box) {
              QTest::keyClicks(box->txtInput, "Firewall");
              box->cmdOK->click();
            }),
            std::make_pair(QString("Firewall"), false));
  EXPECT_EQ(ask([](frmInputBox* box) {
              QTest::keyClicks(box->txtInput, "by enter");
              QTest::keyClick(box->txtInput, Qt::Key_Return);
            }),
            std::make_pair(QString("by enter"), false));
  EXPECT_EQ(ask([](frmInputBox* box) { box->cmdOK->click(); }), std::make_pair(QString(), false));
}

TEST_F(InputBoxTest, CancelOrEscapeAfterTypingGivesNothingAndCancelled) {
  EXPECT_EQ(ask([](frmInputBox* box) {
              QTest::keyClicks(box->txtInput, "typed");
              box->cmdCancel->click();
            }),
            std::make_pair(QString(), true));
  EXPECT_EQ(ask([](frmInputBox* box) {
              QTest::keyClicks(box->txtInput, "typed");
              QTest::keyClick(box->txtInput, Qt::Key_Escape);
            }),
            std::make_pair(QString(), true));
}

TEST_F(InputBoxTest, CloseBoxIsAnEmptyConfirmedText) {
  EXPECT_EQ(ask([](frmInputBox* box) {
              QTest::keyClicks(box->txtInput, "typed");
              box->close();
            }),
            std::make_pair(QString(), false));
}

TEST_F(InputBoxTest, EveryCallStartsEmptyWithThePromptAndTitleGiven) {
  ask([](frmInputBox* box) {
    QTest::keyClicks(box->txtInput, "first");
    box->cmdOK->click();
  });
  QString seenText = "not asked", seenPrompt, seenTitle;
  bool wraps = false;
  ask(
      [&](frmInputBox* box) {
        seenText = box->txtInput->text();
        seenPrompt = box->lblInputBox->text();
        seenTitle = box->windowTitle();
        wraps = box->lblInputBox->wordWrap();
        box->cmdOK->click();
      },
      "Forward to which server?\r\nIf left blank, the default values will be used.", "Add Action");
  EXPECT_EQ(seenText, "");
  EXPECT_EQ(seenPrompt, "Forward to which server?\r\nIf left blank, the default values will be used.");
  EXPECT_EQ(seenTitle, "Add Action");
  EXPECT_TRUE(wraps);
}

TEST_F(InputBoxTest, ElementsSitWhereTheWindowDefinesThem) {
  frmInputBox box;
  EXPECT_EQ(box.lblInputBox->geometry(), twipsRect(0, 0, 5415, 900));
  EXPECT_EQ(box.txtInput->geometry(), twipsRect(120, 1080, 5175, 285));
  EXPECT_EQ(box.cmdOK->geometry(), twipsRect(2760, 1440, 1215, 375));
  EXPECT_EQ(box.cmdCancel->geometry(), twipsRect(4080, 1440, 1215, 375));
  EXPECT_EQ(box.Line1->y(), twips(940));
  EXPECT_EQ(box.Line2->y(), twips(960));
  EXPECT_EQ(box.lblInputBox->palette().color(QPalette::Window), QColor(Qt::white));
  EXPECT_TRUE(box.Command1->isHidden());  // the diagnostic button is not for users
  EXPECT_EQ(box.lblInputBox->textFormat(), Qt::PlainText);
}

TEST_F(InputBoxTest, JapaneseButtonsAndFontOnEveryElement) {
  Messages::SetLanguage(Messages::kJapanese);
  frmInputBox box;
  EXPECT_EQ(box.cmdOK->text(), Messages::catalogueFor("JP").at(32));
  EXPECT_EQ(box.cmdCancel->text(), Messages::catalogueFor("JP").at(33));
  EXPECT_NE(box.cmdOK->text(), Messages::catalogueFor("EN").at(32));
  for (QWidget* w : std::initializer_list<QWidget*>{&box, box.lblInputBox, box.txtInput, box.cmdOK, box.cmdCancel}) {
    EXPECT_EQ(w->font().family(), QString::fromUtf16(Messages::kJapaneseFace)) << w->objectName().toStdString();
    EXPECT_EQ(w->font().pointSize(), 8);
  }
  EXPECT_EQ(Messages::LanguageFontCharset(), 128);
}

TEST_F(InputBoxTest, TracesEachStepToTheDebuggerOutput) {
  platform::testing::TempPlatformRoot root;
  const std::string file = (root.base() / "debug.txt").string();
  qputenv("CORVANTEL_DEBUG_OUTPUT", QByteArray::fromStdString(file));
  ask([](frmInputBox* box) { QTest::keyClick(box->txtInput, Qt::Key_Enter); });
  qunsetenv("CORVANTEL_DEBUG_OUTPUT");
  QFile out(QString::fromStdString(file));
  ASSERT_TRUE(out.open(QIODevice::ReadOnly));
  EXPECT_EQ(out.readAll(),
            "TolvaneInputBox: Begin\r\n"
            "TolvaneInputBox: Before ShowForm\r\n"
            "frmInputBox: loading\r\n"
            "frmInputBox: ENTER PRESS\r\n"
            "TolvaneInputBox: After ShowForm\r\n"
            "TolvaneInputBox: End\r\n");
}

TEST_F(InputBoxTest, DiagnosticButtonShowsTheFieldsFont) {
  ScriptedDialogs dialogs;
  frmInputBox box;
  box.Command1->click();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  const QStringList lines = dialogs.messages[0].text.split("\r\n");
  ASSERT_EQ(lines.size(), 6);
  EXPECT_EQ(lines[0], "MS Sans Serif");
  EXPECT_EQ(lines[1], "1");
  EXPECT_EQ(lines[2], lines[0]);
  EXPECT_EQ(lines[3], "8");
  EXPECT_EQ(lines[4], "False");
  EXPECT_EQ(lines[5], "400");
}

TEST_F(InputBoxTest, RendersInEveryLanguage) {
  for (const char* code : {"EN", "DE", "JP", "ES"}) {
    Messages::SetLanguage(code);
    frmInputBox box;
    box.setWindowTitle(Messages::GetMessageText(600));
    box.lblInputBox->setText(Messages::GetMessageText(639));
    box.txtInput->setText(Messages::GetMessageText(605));
    box.show();
    QCoreApplication::processEvents();
    const QString path = renderToPng(&box, QStringLiteral("frmInputBox-%1").arg(QLatin1String(code)));
    EXPECT_FALSE(path.isEmpty()) << code;
    box.close();
  }
}

}  // namespace
