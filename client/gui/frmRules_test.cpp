#include "frmRules.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QGroupBox>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>
#include <QUdpSocket>

#include "Global.h"
#include "Messages/Messages.h"
#include "Registry.h"
#include "Rules.h"
#include "WinNTServices.h"
#include "platform/service.h"
#include "real_service.h"
#include "scripted_dialogs.h"
#include "temp_root.h"
#include "twips.h"
#include "window_testing.h"

namespace {

using Rules::RuleRecord;

RuleRecord rule(const QString& name, std::vector<std::int32_t> types = {}, std::int32_t number = 0) {
  RuleRecord r;
  r.RuleNumber = number;
  r.RuleName = name;
  r.ActionCount = static_cast<std::int32_t>(types.size());
  r.ActionStrings.assign(types.size(), QString());
  r.ActionTypes = std::move(types);
  return r;
}

void setModel(std::vector<RuleRecord> rules) {
  Rules::Model& m = Rules::model();
  m.RuleCount = static_cast<std::int32_t>(rules.size());
  m.rules = std::move(rules);
  m.savedRules = m.rules;
  m.SavedRuleCount = m.RuleCount;
}

// The three rules of the tests: a firewall rule with every kind of filter and
// two actions, a rule with an action the editor does not offer and one of a
// code without a label, and a plain rule.
void setThreeRules() {
  RuleRecord firewall = rule("Firewall", {Rules::kWriteToFile, Rules::kForwardToSyslog}, 1);
  firewall.Message = "DROP";
  firewall.Source = "10.0.0.";
  firewall.Facility = 4;
  firewall.Priority = 3;
  firewall.ActionStrings = {"firewall", "collector:5514"};
  setModel({firewall, rule("Odd", {Rules::kShellExec, 42}, 2), rule("Everything", {Rules::kWriteToEventLog}, 3)});
}

class RuleEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Global::reset();
    Rules::model() = Rules::Model{};
    Messages::SetLanguage(Messages::kEnglish);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kRulesKeyPath, &Global::hRulesKey), ERROR_SUCCESS);
  }
  void TearDown() override {
    m_editor.reset();
    Global::reset();
    Rules::model() = Rules::Model{};
    Messages::SetLanguage(Messages::kEnglish);
  }

  frmRules& open() {
    m_editor = std::make_unique<frmRules>();
    m_editor->show();
    return *m_editor;
  }

  QTreeWidgetItem* node(const char* key) const {
    QTreeWidgetItem* item = m_editor->node(QString::fromLatin1(key));
    EXPECT_NE(item, nullptr) << key;
    return item;
  }

  // A press and release of `button` on the node with `key`, as the mouse does.
  void click(const char* key, Qt::MouseButton button = Qt::LeftButton) {
    QTreeWidgetItem* item = node(key);
    if (item == nullptr) return;
    for (QTreeWidgetItem* parent = item->parent(); parent != nullptr; parent = parent->parent())
      parent->setExpanded(true);
    m_editor->TVRules->scrollToItem(item);
    const QPoint at = m_editor->TVRules->visualItemRect(item).center();
    QTest::mousePress(m_editor->TVRules->viewport(), button, Qt::NoModifier, at);
    QTest::mouseRelease(m_editor->TVRules->viewport(), button, Qt::NoModifier, at);
  }

  // A right click on the node, then the menu item; the menu closes.
  void command(const char* key, QAction* item) {
    click(key, Qt::RightButton);
    ASSERT_NE(m_editor->shownMenu(), nullptr) << key;
    ASSERT_TRUE(item->isEnabled()) << item->objectName().toStdString();
    m_editor->shownMenu()->hide();
    item->trigger();
  }

  // Every node in tree order as "key text".
  QStringList tree() const {
    QStringList nodes;
    for (QTreeWidgetItemIterator it(m_editor->TVRules); *it != nullptr; ++it)
      nodes << frmRules::keyOf(*it) + QLatin1Char(' ') + (*it)->text(0);
    return nodes;
  }

  QString selected() const { return frmRules::keyOf(m_editor->TVRules->currentItem()); }
  bool panelShown() const { return !m_editor->cmdSaveCurrent->isHidden(); }
  bool upEnabled() const { return m_editor->toolButton("Up")->isEnabled(); }
  bool downEnabled() const { return m_editor->toolButton("Down")->isEnabled(); }
  static const RuleRecord& model(int rule) { return Rules::model().rules.at(static_cast<std::size_t>(rule - 1)); }

  static std::int32_t stored(const QString& name) { return Registry::QueryDWordValue(Global::hRulesKey, name, -1); }
  static QString storedText(const QString& name) {
    return Registry::QueryStringValue(Global::hRulesKey, name, "(absent)", nullptr, Registry::kFilterStringBuffer);
  }

  platform::testing::TempPlatformRoot m_root;
  ScriptedDialogs m_dialogs;
  std::unique_ptr<frmRules> m_editor;
};

TEST_F(RuleEditorTest, TheTreeShowsEveryRuleWithItsCriteriaAndActionsUnderKeyedNodes) {
  setThreeRules();
  frmRules& w = open();
  EXPECT_EQ(tree(), (QStringList{"NROOT Rules",        "R1 1. Firewall",     "CR1 Criterias", "1ME Message",
                                 "1SO Source",         "1FA Facility",       "1PR Priority",  "AC1 Actions",
                                 "1TY1 1. Write To File", "1TY2 2. Forward To Syslog",
                                 "R2 2. Odd",          "CR2 Criterias",      "AC2 Actions",   "2TY1 1. Shell Exec",
                                 "2TY2 2. ",           "R3 3. Everything",   "CR3 Criterias", "AC3 Actions",
                                 "3TY1 1. Write To EventLog"}));
  EXPECT_EQ(selected(), "NROOT");
  EXPECT_TRUE(node("NROOT")->isExpanded());
  EXPECT_FALSE(node("R1")->isExpanded());
  EXPECT_FALSE(panelShown());
  EXPECT_TRUE(w.lblDescription->isHidden());
  EXPECT_FALSE(upEnabled());
  EXPECT_FALSE(downEnabled());

  // Kinds and numbers come from the keys and the places of the nodes.
  EXPECT_EQ(frmRules::kindOf(node("1PR")), frmRules::NodeKind::Criterion);
  EXPECT_EQ(frmRules::criterionOf(node("1FA")), frmRules::Criterion::Facility);
  EXPECT_EQ(frmRules::ruleOf(node("2TY2")), 2);
  EXPECT_EQ(frmRules::actionOf(node("2TY2")), 2);
  EXPECT_EQ(frmRules::ruleOf(node("AC3")), 3);
}

TEST_F(RuleEditorTest, AddRuleAsksForTheNameAndAppendsAFreshRule) {
  setThreeRules();
  frmRules& w = open();
  m_dialogs.inputAnswers = {{QString(), true}, {QString(), false}};
  command("NROOT", w.mnuRuleAdd);  // cancelled
  EXPECT_EQ(Rules::model().RuleCount, 3);
  command("NROOT", w.mnuRuleAdd);  // confirmed empty
  ASSERT_EQ(m_dialogs.inputs.size(), 2u);
  EXPECT_EQ(m_dialogs.inputs[0].prompt, "Insert the Rulename");
  EXPECT_EQ(m_dialogs.inputs[0].title, "Insert the Rulename");

  ASSERT_EQ(Rules::model().RuleCount, 4);
  EXPECT_EQ(model(4), rule(QString(), {}, 4));
  EXPECT_EQ(node("R4")->text(0), "4. ");
  EXPECT_EQ(node("CR4")->text(0), "Criteria");  // until the tree is built again
  EXPECT_EQ(selected(), "R4");
  EXPECT_TRUE(node("R4")->isExpanded());
  command("R4", w.mnuRuleMoveUp);
  EXPECT_EQ(node("CR3")->text(0), "Criterias");
  EXPECT_EQ(model(3).RuleNumber, 4);  // moved, not renumbered
}

TEST_F(RuleEditorTest, DeletingRulesAsksOnlyForTheLastOne) {
  setThreeRules();
  frmRules& w = open();
  command("R2", w.mnuRuleDelete);
  EXPECT_TRUE(m_dialogs.messages.empty());
  EXPECT_EQ(node("R2")->text(0), "2. Everything");
  EXPECT_EQ(w.node("R3"), nullptr);
  EXPECT_EQ(selected(), "R1");
  command("R1", w.mnuRuleDelete);
  EXPECT_EQ(selected(), "NROOT");
  EXPECT_EQ(node("R1")->text(0), "1. Everything");

  m_dialogs.answers = {Dialogs::Answer::Cancel};
  command("R1", w.mnuRuleDelete);
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text,
            "This will delete your last Rule, which will cause Corvantel todo nothing.\r\nDo you really want to delete "
            "this Rule?");
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Warning);
  EXPECT_EQ(m_dialogs.messages[0].buttons, Dialogs::Buttons::OkCancel);
  EXPECT_EQ(Rules::model().RuleCount, 1);
  command("R1", w.mnuRuleDelete);
  EXPECT_EQ(Rules::model().RuleCount, 0);
  EXPECT_EQ(tree(), QStringList{"NROOT Rules"});
}

TEST_F(RuleEditorTest, MovesSwapWholeRulesAndTheMenusAndButtonsOfferOnlyPossibleMoves) {
  setThreeRules();
  frmRules& w = open();
  click("R1", Qt::RightButton);
  EXPECT_EQ(w.shownMenu(), w.mnuRule);
  EXPECT_FALSE(w.mnuRuleAdd->isEnabled());
  EXPECT_TRUE(w.mnuRuleDelete->isEnabled());
  EXPECT_FALSE(w.mnuRuleMoveUp->isEnabled());
  EXPECT_TRUE(w.mnuRuleMoveDown->isEnabled());
  w.shownMenu()->hide();
  click("NROOT", Qt::RightButton);
  EXPECT_TRUE(w.mnuRuleAdd->isEnabled());
  EXPECT_FALSE(w.mnuRuleDelete->isEnabled() || w.mnuRuleMoveUp->isEnabled() || w.mnuRuleMoveDown->isEnabled());
  w.shownMenu()->hide();
  click("CR1", Qt::RightButton);
  EXPECT_EQ(w.shownMenu(), w.mnuCriteria);
  EXPECT_TRUE(w.mnuCriteriaAdd->isEnabled());
  EXPECT_FALSE(w.mnuCriteriaDelete->isEnabled());
  w.shownMenu()->hide();
  click("1TY1", Qt::RightButton);
  EXPECT_EQ(w.shownMenu(), w.mnuAction);
  EXPECT_FALSE(w.mnuActionAdd->isEnabled());
  EXPECT_TRUE(w.mnuActionDelete->isEnabled());
  w.shownMenu()->hide();

  // Move Down on the second to last rule: the whole record moves.
  const RuleRecord odd = model(2);
  command("R2", w.mnuRuleMoveDown);
  EXPECT_EQ(model(3), odd);
  EXPECT_EQ(node("R3")->text(0), "3. Odd");
  EXPECT_EQ(selected(), "R3");
  EXPECT_TRUE(upEnabled());
  EXPECT_FALSE(downEnabled());

  // The toolbar's buttons follow the last click: a right click disables them,
  // a left click on a rule enables what it can do.
  click("R3", Qt::RightButton);
  w.shownMenu()->hide();
  EXPECT_FALSE(upEnabled() || downEnabled());
  click("R2");
  EXPECT_TRUE(upEnabled());
  EXPECT_TRUE(downEnabled());
  w.toolButton("Up")->trigger();
  EXPECT_EQ(node("R1")->text(0), "1. Everything");
  EXPECT_FALSE(upEnabled());
  EXPECT_TRUE(downEnabled());
  EXPECT_FALSE(panelShown());  // the toolbar hides the panel

  // A single rule cannot move either way.
  setModel({rule("Only")});
  w.BuildTree();
  click("R1", Qt::RightButton);
  EXPECT_FALSE(w.mnuRuleMoveUp->isEnabled() || w.mnuRuleMoveDown->isEnabled());
  w.shownMenu()->hide();
}

TEST_F(RuleEditorTest, CriteriaAreAddedOncePerKindAndDeletedWithoutQuestion) {
  setModel({rule("Plain")});
  frmRules& w = open();
  m_dialogs.inputAnswers = {{QString(), true}, {"sshd", false}, {QString(), false}};
  command("CR1", w.mnuCriteriaMessage);  // cancelled
  EXPECT_EQ(node("CR1")->childCount(), 0);
  command("CR1", w.mnuCriteriaMessage);
  EXPECT_EQ(m_dialogs.inputs.back().prompt, "Insert a Message");
  EXPECT_EQ(model(1).Message, "sshd");
  command("CR1", w.mnuCriteriaMessage);  // there is one: nothing is asked
  EXPECT_EQ(m_dialogs.inputs.size(), 2u);
  command("CR1", w.mnuCriteriaSource);  // an empty source: a node, but no filter
  EXPECT_EQ(m_dialogs.inputs.back().title, "Insert a Source");
  command("CR1", w.mnuCriteriaPriority);
  command("CR1", w.mnuCriteriaFacility);
  EXPECT_EQ(tree(), (QStringList{"NROOT Rules", "R1 1. Plain", "CR1 Criterias", "1ME Message", "1SO Source",
                                 "1PR Priority", "1FA Facility", "AC1 Actions"}));
  EXPECT_EQ(selected(), "CR1");
  EXPECT_EQ(model(1).Priority, 6);
  EXPECT_EQ(model(1).Facility, 16);
  EXPECT_EQ(model(1).Source, "");

  command("1PR", w.mnuCriteriaDelete);
  EXPECT_EQ(model(1).Priority, -1);
  EXPECT_EQ(node("CR1")->childCount(), 3);
  EXPECT_TRUE(m_dialogs.messages.empty());
  w.BuildTree();  // the empty source is gone with the next build
  EXPECT_EQ(tree(), (QStringList{"NROOT Rules", "R1 1. Plain", "CR1 Criterias", "1ME Message", "1FA Facility",
                                 "AC1 Actions"}));
}

TEST_F(RuleEditorTest, ActionsAskForTheirParameterAndTheLastOneIsDeletedOnlyAfterAQuestion) {
  setThreeRules();
  frmRules& w = open();
  m_dialogs.inputAnswers = {{"collector:514", false}, {QString(), true}};
  command("AC3", w.mnuActionForwardSyslog);
  ASSERT_EQ(m_dialogs.inputs.size(), 1u);
  EXPECT_EQ(m_dialogs.inputs[0].prompt,
            "Insert the specified Syslogserver hostname or ipadress (server:port)\r\nIf left blank, the default values "
            "will be used.");
  EXPECT_EQ(m_dialogs.inputs[0].title, "Insert the specified Syslogserver hostname or ipadress (server:port)");
  EXPECT_EQ(node("3TY2")->text(0), "2. Forward To Syslog");
  EXPECT_EQ(selected(), "AC3");
  command("AC3", w.mnuActionWriteODBC);  // cancelled
  command("AC3", w.mnuActionDiscard);    // asks nothing
  EXPECT_EQ(m_dialogs.inputs.size(), 2u);
  EXPECT_EQ(model(3).ActionTypes, (std::vector<std::int32_t>{Rules::kWriteToEventLog, Rules::kForwardToSyslog,
                                                             Rules::kDiscard}));
  EXPECT_EQ(model(3).ActionStrings, (std::vector<QString>{"", "collector:514", ""}));
  EXPECT_EQ(model(3).ActionCount, 3);

  // The editor never creates what the daemon ignores, but shows and deletes it.
  EXPECT_FALSE(w.mnuActionShellExec->isVisible() || w.mnuActionShellExec->isEnabled());
  EXPECT_FALSE(w.mnuActionNetSend->isVisible() || w.mnuActionNetSend->isEnabled());
  command("2TY1", w.mnuActionDelete);
  EXPECT_TRUE(m_dialogs.messages.empty());
  EXPECT_EQ(model(2).ActionTypes, std::vector<std::int32_t>{42});
  EXPECT_EQ(node("2TY1")->text(0), "1. ");
  EXPECT_EQ(selected(), "AC2");
  EXPECT_TRUE(node("AC2")->isExpanded());

  m_dialogs.answers = {Dialogs::Answer::Cancel};
  command("2TY1", w.mnuActionDelete);
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text,
            "This will delete your last Action in Rule 'Odd'.\r\nDo you really want to delete the action?");
  EXPECT_EQ(model(2).ActionCount, 1);
  command("2TY1", w.mnuActionDelete);
  EXPECT_EQ(model(2).ActionCount, 0);
  EXPECT_EQ(node("AC2")->childCount(), 0);
}

// What the service cannot take back whole is refused with a message, so that
// a save never stores a rule name that loads empty, or a parameter the
// service would ignore for its global setting.
TEST_F(RuleEditorTest, TextsLongerThanTheServiceTakesAreRefusedAndChangeNothing) {
  setThreeRules();
  frmRules& w = open();
  const QString threeByteName(85, QChar(0x20AC));  // 255 bytes: fits
  m_dialogs.inputAnswers = {{threeByteName + "x", false}, {threeByteName, false}, {QString(1024, 'f'), false}};
  command("NROOT", w.mnuRuleAdd);
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text,
            "Error, the text was not taken. It is longer than the Corvantel Service can take.\r\nA rule name holds at "
            "most 255 bytes (many letters outside ASCII take two or more).");
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_EQ(Rules::model().RuleCount, 3);
  command("NROOT", w.mnuRuleAdd);
  EXPECT_EQ(model(4).RuleName, threeByteName);
  command("AC1", w.mnuActionWriteToFile);
  EXPECT_EQ(m_dialogs.messages.size(), 2u);
  EXPECT_EQ(model(1).ActionCount, 2);

  click("1TY1");
  w.txtValue->setText(QString(1024, 'f'));
  w.cmdSaveCurrent->click();
  EXPECT_EQ(m_dialogs.messages.size(), 3u);
  EXPECT_EQ(model(1).ActionStrings[0], "firewall");
  w.txtValue->setText(QString(1023, 'f'));
  w.cmdSaveCurrent->click();
  EXPECT_EQ(model(1).ActionStrings[0], QString(1023, 'f'));
}

TEST_F(RuleEditorTest, ThePanelEditsTheClickedNodesValue) {
  setThreeRules();
  Rules::model().rules[0].Facility = 30;
  Rules::model().rules[0].Priority = 9;
  frmRules& w = open();

  click("R1");
  EXPECT_EQ(w.lblDescription->text(), "Edit Rule Name");
  EXPECT_EQ(w.txtValue->text(), "Firewall");
  EXPECT_TRUE(panelShown());
  EXPECT_TRUE(w.cbFacility->isHidden());
  w.txtValue->setText("Perimeter");
  QTest::keyClick(w.txtValue, Qt::Key_Return);  // Enter applies
  EXPECT_EQ(model(1).RuleName, "Perimeter");
  EXPECT_EQ(node("R1")->text(0), "1. Perimeter");
  EXPECT_EQ(w.focusWidget(), w.cmdSaveCurrent);

  // Out-of-range numbers are set right by the click itself.
  click("1FA");
  EXPECT_EQ(w.lblDescription->text(), "Edit Facility");
  EXPECT_EQ(model(1).Facility, 16);
  EXPECT_EQ(w.cbFacility->currentText(), "LOCAL0 (16)");
  EXPECT_EQ(w.cbFacility->itemText(10), "SYSTEMRESERVED10 (10)");
  w.cbFacility->setCurrentIndex(19);
  w.cmdSaveCurrent->click();
  EXPECT_EQ(model(1).Facility, 19);
  click("1PR");
  EXPECT_EQ(model(1).Priority, 6);
  EXPECT_EQ(w.cbPriority->currentText(), "INFO (6)");
  EXPECT_TRUE(w.txtValue->isHidden());

  click("1TY2");
  EXPECT_EQ(w.lblDescription->text(), "Edit the Syslogforwarder (server:port)");
  EXPECT_EQ(w.txtValue->text(), "collector:5514");
  w.txtValue->setText("");
  w.cmdSaveCurrent->click();
  EXPECT_EQ(model(1).ActionStrings[1], "");

  // Actions without a parameter, and folders, have no panel.
  for (const char* key : {"3TY1", "2TY1", "CR1", "NROOT"}) {
    click(key);
    EXPECT_FALSE(panelShown()) << key;
  }
}

// The keyboard reaches what the mouse does: the selection carries the panel
// with it, so Apply always stores into the node whose value is shown; the
// application key and Shift+F10 open the selected node's menu.
TEST_F(RuleEditorTest, TheKeyboardMovesThePanelAndOpensTheMenus) {
  setThreeRules();
  frmRules& w = open();
  click("R1");
  w.txtValue->setText("typed for rule 1");
  w.TVRules->setFocus();
  QTest::keyClick(w.TVRules, Qt::Key_Down);  // the same panel, now for R2
  EXPECT_EQ(selected(), "R2");
  EXPECT_EQ(w.txtValue->text(), "Odd");
  EXPECT_TRUE(upEnabled());
  w.cmdSaveCurrent->click();
  EXPECT_EQ(model(1).RuleName, "Firewall");
  EXPECT_EQ(model(2).RuleName, "Odd");

  QTest::keyClick(w.TVRules, Qt::Key_F10, Qt::ShiftModifier);
  ASSERT_EQ(w.shownMenu(), w.mnuRule);
  EXPECT_TRUE(w.mnuRuleDelete->isEnabled());
  EXPECT_FALSE(panelShown());
  w.shownMenu()->hide();
  QTest::keyClick(w.TVRules, Qt::Key_Up);
  QTest::keyClick(w.TVRules, Qt::Key_Up);
  EXPECT_EQ(selected(), "NROOT");
  QTest::keyClick(w.TVRules, Qt::Key_Menu);
  ASSERT_EQ(w.shownMenu(), w.mnuRule);
  EXPECT_TRUE(w.mnuRuleAdd->isEnabled());
  w.shownMenu()->hide();
}

TEST_F(RuleEditorTest, SaveWritesTheKeyReloadAndFlushAllWorkOnTheModelOnly) {
  setThreeRules();
  Rules::model().RuleVersion = 7;
  frmRules& w = open();
  command("1PR", w.mnuCriteriaDelete);
  w.toolButton("Save")->trigger();
  EXPECT_EQ(stored("nRuleVersion"), 8);
  EXPECT_EQ(stored("nRuleCount"), 3);
  EXPECT_EQ(stored("R1Priority"), -1);  // absent
  EXPECT_EQ(stored("R1Facility"), 4);
  EXPECT_EQ(storedText("R1Message"), "DROP");
  EXPECT_EQ(storedText("R1A2String"), "collector:5514");
  EXPECT_EQ(stored("R2A2Type"), 42);
  EXPECT_EQ(storedText("R3RuleName"), "Everything");
  w.toolButton("Save")->trigger();  // unchanged, still a new version
  EXPECT_EQ(stored("nRuleVersion"), 9);

  // Reload asks, and goes back to the last save without reading the key.
  command("R2", w.mnuRuleDelete);
  m_dialogs.answers = {Dialogs::Answer::Cancel, Dialogs::Answer::Ok};
  w.toolButton("Reload")->trigger();
  EXPECT_EQ(Rules::model().RuleCount, 2);
  w.toolButton("Reload")->trigger();
  EXPECT_EQ(m_dialogs.messages.back().text, "Do you really want to reload all Rules (all changes will be lost)?");
  EXPECT_EQ(Rules::model().RuleCount, 3);
  EXPECT_EQ(node("R2")->text(0), "2. Odd");

  // flush All empties the model; only Save writes it.
  m_dialogs.answers = {Dialogs::Answer::Ok};
  w.toolButton("FlushAll")->trigger();
  EXPECT_EQ(m_dialogs.messages.back().text, "Do you really want to delete all Rules?");
  EXPECT_EQ(tree(), QStringList{"NROOT Rules"});
  EXPECT_EQ(stored("nRuleCount"), 3);
  w.toolButton("Save")->trigger();
  EXPECT_EQ(stored("nRuleCount"), 0);
  EXPECT_EQ(stored("R1RuleNumber"), -1);

  // Close keeps unsaved edits in the model for the next opening.
  m_dialogs.inputAnswers = {{"kept", false}};
  command("NROOT", w.mnuRuleAdd);
  w.toolButton("Close")->trigger();
  EXPECT_FALSE(w.isVisible());
  open();
  EXPECT_EQ(node("R1")->text(0), "1. kept");
  EXPECT_EQ(stored("nRuleCount"), 0);
}

TEST_F(RuleEditorTest, TheSplitterKeepsRoomOnBothSidesAndTheLayoutFollowsIt) {
  frmRules& w = open();
  w.resize(twips(8000), twips(5000));
  const auto drag = [&](int toTwips) {
    QWidget* bar = w.pbSplit;
    const QPointF start(1, 1);
    QMouseEvent press(QEvent::MouseButtonPress, start, bar->mapToGlobal(start), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(bar, &press);
    const QPointF to((toTwips - w.splitterLeft()) / kTwipsPerPixel, 1);
    QMouseEvent move(QEvent::MouseMove, to, bar->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(bar, &move);
    EXPECT_EQ(bar->palette().color(QPalette::Window), QColor(Qt::black));
    QMouseEvent release(QEvent::MouseButtonRelease, to, bar->mapToGlobal(to), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(bar, &release);
  };
  const int clientWidth = w.width() * kTwipsPerPixel;
  drag(200);
  EXPECT_EQ(w.splitterLeft(), 1500);
  drag(7900);
  EXPECT_EQ(w.splitterLeft(), clientWidth - 1500);
  drag(3000);
  EXPECT_EQ(w.splitterLeft(), 3000);
  EXPECT_EQ(w.TVRules->width(), twips(3000));
  EXPECT_EQ(w.fraDetails->x(), twips(3000 + 150));
  EXPECT_EQ(w.fraDetails->x() + w.fraDetails->width(), w.width());
  EXPECT_EQ(w.fraDetails->height(), w.TVRules->height());
}

TEST_F(RuleEditorTest, GermanMenusAndPromptsWithAnEnglishTree) {
  setThreeRules();
  Messages::SetLanguage(Messages::kGerman);
  frmRules& w = open();
  EXPECT_EQ(w.windowTitle(), Messages::GetMessageText(61));
  EXPECT_EQ(w.mnuRuleAdd->text(), Messages::GetMessageText(600));
  EXPECT_NE(w.mnuRuleAdd->text(), "Add Rule");
  EXPECT_EQ(w.toolButton("FlushAll")->text(), Messages::GetMessageText(625));
  EXPECT_EQ(w.fraDetails->title(), Messages::GetMessageText(626));
  m_dialogs.inputAnswers = {{"Neu", false}};
  command("NROOT", w.mnuRuleAdd);
  EXPECT_EQ(m_dialogs.inputs[0].prompt, Messages::GetMessageText(639));
  EXPECT_EQ(node("NROOT")->text(0), "Rules");
  EXPECT_EQ(node("CR1")->text(0), "Criterias");
  EXPECT_EQ(node("AC1")->text(0), "Actions");
  click("R1");
  EXPECT_EQ(w.lblDescription->text(), "Edit Rule Name");
}

TEST_F(RuleEditorTest, RendersTheEditorWithThreeRulesInEveryLanguage) {
  for (const auto& [language, code] : {std::pair{Messages::kEnglish, "EN"}, std::pair{Messages::kGerman, "DE"},
                                       std::pair{Messages::kJapanese, "JP"}, std::pair{Messages::kSpanish, "ES"}}) {
    Messages::SetLanguage(language);
    setThreeRules();
    frmRules& w = open();
    click("R1");
    node("R1")->setExpanded(true);
    node("CR1")->setExpanded(true);
    node("AC1")->setExpanded(true);
    EXPECT_FALSE(renderToPng(&w, QStringLiteral("frmRules-%1").arg(QLatin1String(code))).isEmpty()) << code;
  }
}

// The editor's save is what a running service with bReloadRuleBase 1 picks up
// at its next message.
class RuleEditorServiceTest : public RealServiceTest {};

TEST_F(RuleEditorServiceTest, ARuleBaseSavedInTheEditorFilesTheNextDatagram) {
  ScriptedDialogs dialogs;
  Rules::model() = Rules::Model{};
  const QString logs = QString::fromStdString((m_root.base() / "logs").string());
  ASSERT_TRUE(QDir().mkpath(logs));
  HKEY parameters = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kParametersKeyPath, &parameters), ERROR_SUCCESS);
  Registry::SetNumberValue(parameters, "bReloadRuleBase", 1);
  Registry::SetStringValue(parameters, "szBaseLogFilePath", logs);
  const int port = Registry::QueryDWordValue(parameters, "nSyslogPort", 0);
  RegCloseKey(parameters);
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, Global::kRulesKeyPath, &Global::hRulesKey), ERROR_SUCCESS);
  Rules::LoadRules(Global::hRulesKey);
  ASSERT_EQ(WinNTServices::StartNTService(QString(), QString::fromLatin1(WinNTServices::kServiceName)), 0u);
  ASSERT_TRUE(eventually([] {
    return WinNTServices::QueryNTServiceState(QString(), QString::fromLatin1(WinNTServices::kServiceName)) ==
           SERVICE_RUNNING;
  }));

  // One rule, built by the editor's commands: messages with "alert" go to
  // the file "alerts".
  {
    frmRules editor;
    editor.show();
    const auto command = [&](const char* key, QAction* item) {
      QTreeWidgetItem* node = editor.node(QString::fromLatin1(key));
      ASSERT_NE(node, nullptr) << key;
      editor.TVRules_MouseDown(Qt::RightButton, node, QPoint());
      editor.shownMenu()->hide();
      item->trigger();
    };
    dialogs.inputAnswers = {{"Alerts", false}, {"alert", false}, {"alerts", false}};
    command("NROOT", editor.mnuRuleAdd);
    command("CR1", editor.mnuCriteriaMessage);
    command("AC1", editor.mnuActionWriteToFile);
    editor.toolButton("Save")->trigger();
  }
  EXPECT_TRUE(dialogs.messages.empty());

  QUdpSocket sender;
  EXPECT_TRUE(eventually([&] {
    sender.writeDatagram("<13>first alert from the test", QHostAddress::LocalHost, static_cast<quint16>(port));
    sender.writeDatagram("<13>nothing to see", QHostAddress::LocalHost, static_cast<quint16>(port));
    return logged(logs).contains("first alert from the test");
  }));
  EXPECT_FALSE(logged(logs).contains("nothing to see"));
  QDirIterator files(logs, QDir::Files);
  ASSERT_TRUE(files.hasNext());
  EXPECT_TRUE(QFileInfo(files.next()).fileName().startsWith("alerts"));
}

}  // namespace
