#include "frmWizard.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <array>
#include <functional>
#include <map>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "Rules.h"
#include "registry_samples.h"
#include "scripted_dialogs.h"
#include "temp_root.h"
#include "twips.h"
#include "window_testing.h"

namespace {

using Checks = std::array<bool, 5>;  // file, ODBC, event log, forwarding, e-mail
using Values = std::map<std::string, std::string>;

Checks checks(const frmWizard& w) {
  return {w.chkFile->isChecked(), w.chkODBC->isChecked(), w.chkEventLog->isChecked(),
          w.chkForwardSyslog->isChecked(), w.chkSendEmail->isChecked()};
}

Rules::RuleRecord wizardRule(std::int32_t number, const QString& name, std::int32_t type) {
  Rules::RuleRecord rule;
  rule.RuleNumber = number;
  rule.RuleName = name;
  rule.ActionCount = 1;
  rule.ActionTypes = {type};
  rule.ActionStrings = {QString()};
  return rule;
}

void toPage(frmWizard& w, int page) {
  while (w.page() < page) w.cmdNext->click();
}

class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    Rules::model() = Rules::Model{};
    Messages::SetLanguage(Messages::kEnglish);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, &Global::hParametersKey),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kRulesKeyPath, &Global::hRulesKey), ERROR_SUCCESS);
  }
  void TearDown() override {
    Global::reset();
    Rules::model() = Rules::Model{};
    Messages::SetLanguage(Messages::kEnglish);
  }

  static void setSwitches(std::int32_t file, std::int32_t odbc, std::int32_t eventLog) {
    Registry::SetNumberValue(Global::hParametersKey, "bWriteToLogFile", file);
    Registry::SetNumberValue(Global::hParametersKey, "bWriteToODBC", odbc);
    Registry::SetNumberValue(Global::hParametersKey, "bWriteToEventLog", eventLog);
  }

  // Two rules with filters and a parameter, saved at version 7.
  static void saveEarlierRuleBase() {
    Rules::RuleRecord rule = wizardRule(1, "Firewall", Rules::kForwardToSyslog);
    rule.Source = "10.0.0.1";
    rule.Priority = 3;
    rule.Facility = 4;
    rule.Message = "denied";
    rule.ActionStrings = {"relay:514"};
    Rules::Model& m = Rules::model();
    m.rules = {rule, rule};
    m.RuleCount = 2;
    m.RuleVersion = 6;
    Rules::SaveRules(Global::hRulesKey);
  }

  platform::testing::TempPlatformRoot m_root;
  ScriptedDialogs m_dialogs;
};

TEST_F(WizardTest, SwitchesThatAreNotZeroCheckTheirOutputsEachTimePage2Shows) {
  const std::pair<std::array<std::int32_t, 3>, Checks> cases[] = {
      {{1, 0, 0}, {true, false, false, false, false}},  // a fresh configuration
      {{0, 0, 0}, {false, false, false, false, false}},
      {{0, 1, 1}, {false, true, true, false, false}},
      {{2, 0, -1}, {true, false, true, false, false}},
  };
  for (const auto& [switches, expected] : cases) {
    setSwitches(switches[0], switches[1], switches[2]);
    frmWizard w;
    toPage(w, 2);
    EXPECT_EQ(checks(w), expected) << switches[0] << switches[1] << switches[2];
  }

  // Next and Back check the switched outputs again; they clear nothing.
  setSwitches(1, 1, 0);
  frmWizard w;
  toPage(w, 2);
  w.chkFile->setChecked(false);
  w.chkODBC->setChecked(false);
  w.chkEventLog->setChecked(true);
  w.chkSendEmail->setChecked(true);
  w.cmdNext->click();
  w.cmdBack->click();
  EXPECT_EQ(checks(w), (Checks{true, true, true, false, true}));
}

TEST_F(WizardTest, FreshConfigurationFinishReplacesTheRuleBaseWithOneFileRule) {
  saveEarlierRuleBase();
  setSwitches(1, 0, 0);
  frmWizard w;
  toPage(w, 3);
  w.cmdFinish->click();

  const Rules::Model& m = Rules::model();
  EXPECT_EQ(m.rules, std::vector<Rules::RuleRecord>{wizardRule(1, "File-Logging", Rules::kWriteToFile)});
  EXPECT_EQ(m.RuleCount, 1);
  EXPECT_EQ(m.savedRules, m.rules);
  EXPECT_EQ(m.RuleVersion, 8);
  EXPECT_EQ(w.result(), QDialog::Accepted);
  EXPECT_TRUE(m_dialogs.messages.empty());

  // No filters and an empty parameter are absent values; nothing of the
  // earlier second rule or its actions survives.
  EXPECT_EQ(storedValues(Global::hRulesKey), (Values{{"nRuleCount", "DWORD 1"},
                                                     {"nRuleVersion", "DWORD 8"},
                                                     {"R1RuleNumber", "DWORD 1"},
                                                     {"R1RuleName", "SZ File-Logging"},
                                                     {"R1ActionCount", "DWORD 1"},
                                                     {"R1A1Type", "DWORD 1003"}}));
}

// The names come from the language in force at Finish, not at opening.
TEST_F(WizardTest, AllFiveOutputsMakeRulesInTableOrderNamedInTheLanguageAtFinish) {
  setSwitches(0, 0, 0);
  frmWizard w;
  toPage(w, 2);
  for (QCheckBox* box : {w.chkSendEmail, w.chkForwardSyslog, w.chkEventLog, w.chkODBC, w.chkFile})
    box->setChecked(true);
  toPage(w, 3);
  Messages::SetLanguage(Messages::kGerman);
  w.cmdFinish->click();

  const std::vector<Rules::RuleRecord> expected{
      wizardRule(1, "Datei-Logging", Rules::kWriteToFile),
      wizardRule(2, "ODBC-Logging", Rules::kWriteToOdbc),
      wizardRule(3, "Logging in das Windows-Ereignisprotokoll", Rules::kWriteToEventLog),
      wizardRule(4, "Weiterleitung an Syslog aktivieren", Rules::kForwardToSyslog),
      wizardRule(5, "E-Mail senden", Rules::kSendEmail),
  };
  EXPECT_EQ(Rules::model().rules, expected);
  EXPECT_EQ(Rules::model().RuleCount, 5);
  const HKEY key = Global::hRulesKey;
  EXPECT_EQ(Registry::QueryDWordValue(key, "nRuleCount", 0), 5);
  for (std::int32_t i = 1; i <= 5; ++i) {
    const QString r = QStringLiteral("R%1").arg(i);
    EXPECT_EQ(Registry::QueryDWordValue(key, r + "RuleNumber", 0), i);
    EXPECT_EQ(Registry::QueryStringValue(key, r + "RuleName", "?"), expected[i - 1].RuleName);
    EXPECT_EQ(Registry::QueryDWordValue(key, r + "A1Type", 0), expected[i - 1].ActionTypes[0]);
  }
}

TEST_F(WizardTest, SummaryListsTheChosenRulesBetweenItsTwoTexts) {
  setSwitches(1, 0, 0);
  frmWizard w;
  toPage(w, 2);
  w.chkSendEmail->setChecked(true);
  w.cmdNext->click();
  EXPECT_EQ(w.lblFinish->text(),
            "The following Rules will be created\r\n\r\nFile-Logging\r\nSend Email\r\n\r\n"
            "Click on Finish to create these Rules.");
}

TEST_F(WizardTest, NoOutputChosenShowsError229AndPage2AsAfterBack) {
  setSwitches(1, 0, 0);
  frmWizard w;
  toPage(w, 2);
  w.chkFile->setChecked(false);
  w.cmdNext->click();

  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text, "Error, you haven't selected any option.");
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_EQ(w.page(), 2);
  EXPECT_TRUE(w.fraWizardFinish->isHidden());
  EXPECT_TRUE(w.chkFile->isChecked());  // page 2 was shown again
  EXPECT_TRUE(Rules::model().rules.empty());
  EXPECT_TRUE(storedValues(Global::hRulesKey).empty());
}

TEST_F(WizardTest, CancelCloseBoxAndEscapeOnPage3LeaveModelAndRegistryAsTheyWere) {
  saveEarlierRuleBase();
  const std::vector<Rules::RuleRecord> rules = Rules::model().rules;
  const Values registry = storedValues(Global::hRulesKey);
  ASSERT_EQ(rules.size(), 2u);

  const std::pair<const char*, std::function<void(frmWizard&)>> ways[] = {
      {"Cancel", [](frmWizard& w) { w.cmdCancel->click(); }},
      {"close box", [](frmWizard& w) { w.close(); }},
      {"Escape", [](frmWizard& w) { QTest::keyClick(&w, Qt::Key_Escape); }},
  };
  for (const auto& [name, leave] : ways) {
    frmWizard w;
    w.show();
    toPage(w, 2);
    w.chkSendEmail->setChecked(true);
    toPage(w, 3);
    leave(w);
    EXPECT_FALSE(w.isVisible()) << name;
    EXPECT_EQ(w.result(), QDialog::Rejected) << name;
    EXPECT_EQ(Rules::model().rules, rules) << name;
    EXPECT_EQ(Rules::model().RuleVersion, 7) << name;
    EXPECT_EQ(storedValues(Global::hRulesKey), registry) << name;
  }
}

TEST_F(WizardTest, EachPageShowsItsFrameAloneBesideThePictureWithItsButtons) {
  frmWizard w;
  struct Expected {
    QFrame* frame;
    bool back, next, finish;
  };
  const Expected pages[] = {{w.fraWizardIntro, false, true, false},
                            {w.fraWizardSelect, true, true, false},
                            {w.fraWizardFinish, true, false, true}};
  const QRect place(w.pbWizard->x() + w.pbWizard->width() + twips(250), 0,
                    w.width() - w.pbWizard->x() - w.pbWizard->width() - twips(300),
                    w.height() - w.pbNav->height());
  for (const int page : {1, 2, 3, 2, 1}) {  // through the pages and back again
    if (page != w.page()) (page > w.page() ? w.cmdNext : w.cmdBack)->click();
    ASSERT_EQ(w.page(), page);
    const Expected& e = pages[page - 1];
    for (const Expected& other : pages) EXPECT_EQ(other.frame->isHidden(), other.frame != e.frame) << page;
    EXPECT_EQ(e.frame->geometry(), place) << page;
    EXPECT_EQ(e.frame->frameShape(), QFrame::NoFrame) << page;
    EXPECT_EQ((std::array<bool, 4>{w.cmdBack->isEnabled(), w.cmdNext->isEnabled(), w.cmdFinish->isEnabled(),
                                   w.cmdCancel->isEnabled()}),
              (std::array<bool, 4>{e.back, e.next, e.finish, true}))
        << page;
  }
}

// Every page in every language: the catalogue's texts, as plain text, in the
// language font, and room enough for them.
TEST_F(WizardTest, RendersEveryPageInEveryLanguageWithRoomForItsTexts) {
  setSwitches(1, 0, 0);
  for (const char* code : {"EN", "DE", "JP", "ES"}) {
    Messages::SetLanguage(code);
    const Messages::Catalogue& texts = Messages::catalogueFor(code);
    frmWizard w;
    w.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.windowTitle(), texts.at(700)) << code;
    EXPECT_EQ(w.chkEventLog->text(), texts.at(710)) << code;
    EXPECT_EQ(w.chkSendEmail->font(), Messages::LanguageFont()) << code;

    for (int page = 1; page <= 3; ++page) {
      if (page == 3) {  // the longest summary
        for (QCheckBox* box : w.fraWizardSelect->findChildren<QCheckBox*>()) box->setChecked(true);
      }
      toPage(w, page);
      if (page == 2) w.chkSendEmail->setChecked(true);
      QCoreApplication::processEvents();
      const QString name = QStringLiteral("frmWizard-page%1-%2").arg(page).arg(QLatin1String(code));
      EXPECT_FALSE(renderToPng(&w, name).isEmpty()) << name.toStdString();
    }
    for (QLabel* label : w.findChildren<QLabel*>()) {
      EXPECT_EQ(label->textFormat(), Qt::PlainText) << code << label->objectName().toStdString();
      EXPECT_LE(label->heightForWidth(label->width()), label->height())
          << code << label->objectName().toStdString();
    }
    for (QCheckBox* box : w.findChildren<QCheckBox*>())
      EXPECT_LE(box->sizeHint().width(), box->width()) << code << box->objectName().toStdString();
    for (QPushButton* button : w.findChildren<QPushButton*>())
      EXPECT_LT(button->fontMetrics().horizontalAdvance(button->text()), button->width() - 8)
          << code << button->objectName().toStdString();
  }
}

}  // namespace
