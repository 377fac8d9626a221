// frmRules: the rule editor. The rule base as a tree (rules, their criteria
// and their actions), a detail panel that edits the value of the clicked node,
// a toolbar and three context menus. Every command changes the in-memory rule
// model (Rules.h) at once; only Save writes it to the registry, and closing
// keeps the model as it is, unsaved edits included.
//
// Every node carries a text key from which the commands recover the rule and
// action numbers: "NROOT"; "R3" rule 3; "CR3" and "AC3" its criteria and
// actions folders; "3ME", "3SO", "3FA", "3PR" its criteria; "3TY2" its second
// action. The tree's texts are fixed English words; menus, prompts and
// questions follow the language.
//
// The keyboard reaches everything the mouse does: moving the selection acts as
// a left click on the node (the panel shows its value), the application key
// and Shift+F10 open the selected node's context menu as a right click would.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <map>

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QStatusBar;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;

class frmRules : public QDialog {
  Q_OBJECT

 public:
  explicit frmRules(QWidget* parent = nullptr);
  ~frmRules() override;

  enum class NodeKind { None, Root, Rule, CriteriaFolder, Criterion, ActionsFolder, Action };
  enum class Criterion { None, Message, Source, Facility, Priority };

  // Removes every node and builds the tree from the model; selects and
  // expands the root.
  void BuildTree();
  void Initiate_Language_settings();
  void LayoutControls();

  // The node with `key`, or null.
  QTreeWidgetItem* node(const QString& key) const;
  static QString keyOf(const QTreeWidgetItem* item);
  // The kind of a node by its key and its parent.
  static NodeKind kindOf(const QTreeWidgetItem* item);
  static Criterion criterionOf(const QTreeWidgetItem* item);
  // The rule a node belongs to (0 for the root or no node), and an action
  // node's number within its rule (0 for other nodes).
  static std::int32_t ruleOf(const QTreeWidgetItem* item);
  static std::int32_t actionOf(const QTreeWidgetItem* item);

  // A mouse press on `item` with `button` (a right press shows the node's
  // context menu at `globalPos`); what the tree's mouse and keyboard handling
  // call.
  void TVRules_MouseDown(Qt::MouseButton button, QTreeWidgetItem* item, const QPoint& globalPos);
  // The context menu on show, or null.
  QMenu* shownMenu() const { return m_shownMenu; }

  // The splitter's left edge, in twips.
  int splitterLeft() const { return m_splitLeft; }

  // Controls, by their designed names.
  QToolBar* TBRule;
  QAction* toolButton(const QString& key) const;  // "Up", "Down", "Save", "Reload", "Close", "FlushAll"
  QTreeWidget* TVRules;
  QWidget* pbSplit;
  QGroupBox* fraDetails;
  QLabel* lblDescription;
  QLineEdit* txtValue;
  QComboBox* cbPriority;
  QComboBox* cbFacility;
  QPushButton* cmdSaveCurrent;
  QStatusBar* STBRule;
  QMenu* mnuRule;
  QAction* mnuRuleAdd;
  QAction* mnuRuleDelete;
  QAction* mnuRuleMoveUp;
  QAction* mnuRuleMoveDown;
  QMenu* mnuCriteria;
  QMenu* mnuCriteriaAdd;
  QAction* mnuCriteriaMessage;
  QAction* mnuCriteriaSource;
  QAction* mnuCriteriaPriority;
  QAction* mnuCriteriaFacility;
  QAction* mnuCriteriaDelete;
  QMenu* mnuAction;
  QMenu* mnuActionAdd;
  QAction* mnuActionDiscard;
  QAction* mnuActionWriteEventLog;
  QAction* mnuActionWriteODBC;
  QAction* mnuActionForwardSyslog;
  QAction* mnuActionSendEmail;
  QAction* mnuActionWriteToFile;
  QAction* mnuActionShellExec;  // hidden and disabled: such actions are only shown
  QAction* mnuActionNetSend;    // hidden and disabled: such actions are only shown
  QAction* mnuActionDelete;

 public slots:
  void TBRule_ButtonClick(const QString& key);
  void mnuRuleAdd_Click();
  void mnuRuleDelete_Click();
  void mnuRuleMoveUp_Click();
  void mnuRuleMoveDown_Click();
  void mnuCriteriaAdd_Click(Criterion kind);
  void mnuCriteriaDelete_Click();
  void mnuActionAdd_Click(std::int32_t type);
  void mnuActionDelete_Click();
  void cmdSaveCurrent_Click();
  void txtValue_KeyPress();  // Enter

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QTreeWidgetItem* addNode(QTreeWidgetItem* parent, const QString& key, const QString& text, NodeKind kind);
  void addRuleNodes(std::int32_t rule, const QString& criteriaText);
  void addCriterionNode(std::int32_t rule, Criterion kind);
  void hidePanel();
  void showPanel(QTreeWidgetItem* item);
  void setMoveButtons(std::int32_t rule);
  void moveRule(std::int32_t rule, std::int32_t to);
  void select(QTreeWidgetItem* item);
  void showContextMenu(QTreeWidgetItem* item, const QPoint& globalPos);
  void selectionMovedByKeyboard(QTreeWidgetItem* item);

  std::map<QString, QAction*> m_toolButtons;
  QMenu* m_shownMenu = nullptr;
  // The node whose value the panel shows; empty while the panel is hidden.
  QString m_panelKey;
  int m_splitLeft;  // twips
  bool m_dragging = false;
  bool m_selecting = false;  // the selection is being set by a command or a click
};
