#include "frmRules.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QThread>
#include <QToolBar>
#include <QTreeWidget>
#include <algorithm>
#include <utility>

#include "Global.h"
#include "Messages/Messages.h"
#include "Rules.h"
#include "dialogs.h"
#include "trace.h"
#include "twips.h"

namespace {

using Messages::GetMessageText;

constexpr int kKeyRole = Qt::UserRole;

// The window's first size, where the splitter starts, and the room the
// splitter keeps on either side.
constexpr int kStartWidthTwips = 9000;
constexpr int kStartHeightTwips = 6300;
constexpr int kStartSplitTwips = 3600;
constexpr int kSplitMarginTwips = 1500;
constexpr int kSplitWidthTwips = 60;
constexpr int kPanelGapTwips = 150;
// The description label's place in the panel, and the editors' height.
constexpr int kLabelLeftTwips = 120;
constexpr int kLabelTopTwips = 360;
constexpr int kLabelHeightTwips = 255;
constexpr int kEditorHeightTwips = 315;

const char* const kPriorityNames[] = {"EMERG", "ALERT", "CRIT", "ERR", "WARNING", "NOTICE", "INFO", "DEBUG"};
const char* const kFacilityNames[] = {
    "KERN",  "USER", "MAIL", "DAEMON", "AUTH", "SYSLOG", "LPR", "NEWS", "UUCP", "CRON", nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

QString facilityItem(int value) {
  QString name;
  if (value >= 10 && value <= 15) name = QStringLiteral("SYSTEMRESERVED%1").arg(value);
  else if (value >= 16) name = QStringLiteral("LOCAL%1").arg(value - 16);
  else name = QLatin1String(kFacilityNames[value]);
  return QStringLiteral("%1 (%2)").arg(name).arg(value);
}

QString ruleText(std::int32_t rule, const QString& name) { return QString::number(rule) + QStringLiteral(". ") + name; }

Rules::RuleRecord* ruleRecord(std::int32_t rule) {
  Rules::Model& m = Rules::model();
  if (rule < 1 || rule > static_cast<std::int32_t>(m.rules.size())) return nullptr;
  return &m.rules[static_cast<std::size_t>(rule - 1)];
}

std::int32_t ruleCount() { return static_cast<std::int32_t>(Rules::model().rules.size()); }

// The number after `prefix` in `key`, or 0 when there is none.
std::int32_t numberAfter(const QString& key, qsizetype prefix) {
  bool ok = false;
  const int value = key.mid(prefix).toInt(&ok);
  return ok && value > 0 ? value : 0;
}

}  // namespace

frmRules::frmRules(QWidget* parent) : QDialog(parent), m_splitLeft(kStartSplitTwips) {
  setObjectName(QStringLiteral("frmRules"));
  setSizeGripEnabled(true);
  setMinimumSize(twips(2 * kSplitMarginTwips + 1500), twips(3000));
  resize(twips(kStartWidthTwips), twips(kStartHeightTwips));

  // The toolbar: six buttons identified by key.
  TBRule = new QToolBar(this);
  TBRule->setObjectName(QStringLiteral("TBRule"));
  TBRule->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  const struct {
    const char* key;
    QStyle::StandardPixmap icon;
    QKeySequence shortcut;
  } buttons[] = {
      {"Up", QStyle::SP_ArrowUp, QKeySequence(Qt::ALT | Qt::Key_Up)},
      {"Down", QStyle::SP_ArrowDown, QKeySequence(Qt::ALT | Qt::Key_Down)},
      {"Save", QStyle::SP_DialogSaveButton, QKeySequence::Save},
      {"Reload", QStyle::SP_BrowserReload, QKeySequence(Qt::Key_F5)},
      {"Close", QStyle::SP_DialogCloseButton, QKeySequence()},
      {"FlushAll", QStyle::SP_TrashIcon, QKeySequence()},
  };
  for (const auto& button : buttons) {
    const QString key = QLatin1String(button.key);
    QAction* item = TBRule->addAction(style()->standardIcon(button.icon), QString());
    item->setObjectName(QStringLiteral("TBRule_") + key);
    if (!button.shortcut.isEmpty()) {
      item->setShortcut(button.shortcut);
      item->setShortcutContext(Qt::WindowShortcut);
    }
    connect(item, &QAction::triggered, this, [this, key] { TBRule_ButtonClick(key); });
    m_toolButtons[key] = item;
  }

  TVRules = new QTreeWidget(this);
  TVRules->setObjectName(QStringLiteral("TVRules"));
  TVRules->setHeaderHidden(true);
  TVRules->setColumnCount(1);
  TVRules->setSelectionMode(QAbstractItemView::SingleSelection);
  TVRules->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Right presses reach the press handling below; the menus are shown there.
  TVRules->setContextMenuPolicy(Qt::PreventContextMenu);
  TVRules->viewport()->installEventFilter(this);
  TVRules->installEventFilter(this);
  connect(TVRules, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
    if (!m_selecting && current != nullptr) selectionMovedByKeyboard(current);
  });

  pbSplit = new QWidget(this);
  pbSplit->setObjectName(QStringLiteral("pbSplit"));
  pbSplit->setCursor(Qt::SplitHCursor);
  pbSplit->setAutoFillBackground(true);
  pbSplit->installEventFilter(this);

  fraDetails = new QGroupBox(this);
  fraDetails->setObjectName(QStringLiteral("fraDetails"));
  lblDescription = new QLabel(fraDetails);
  lblDescription->setObjectName(QStringLiteral("lblDescription"));
  lblDescription->setTextFormat(Qt::PlainText);
  txtValue = new QLineEdit(fraDetails);
  txtValue->setObjectName(QStringLiteral("txtValue"));
  connect(txtValue, &QLineEdit::returnPressed, this, &frmRules::txtValue_KeyPress);
  cbPriority = new QComboBox(fraDetails);
  cbPriority->setObjectName(QStringLiteral("cbPriority"));
  for (int value = 0; value < 8; ++value)
    cbPriority->addItem(QStringLiteral("%1 (%2)").arg(QLatin1String(kPriorityNames[value])).arg(value), value);
  cbFacility = new QComboBox(fraDetails);
  cbFacility->setObjectName(QStringLiteral("cbFacility"));
  for (int value = 0; value < 24; ++value) cbFacility->addItem(facilityItem(value), value);
  cmdSaveCurrent = new QPushButton(fraDetails);
  cmdSaveCurrent->setObjectName(QStringLiteral("cmdSaveCurrent"));
  // Enter belongs to the text field; no button of the window is a default one.
  cmdSaveCurrent->setAutoDefault(false);
  connect(cmdSaveCurrent, &QPushButton::clicked, this, &frmRules::cmdSaveCurrent_Click);

  STBRule = new QStatusBar(this);
  STBRule->setObjectName(QStringLiteral("STBRule"));
  STBRule->setSizeGripEnabled(false);

  // The three context menus.
  const auto item = [this](QMenu* menu, const char* name, auto slot) {
    auto* action = new QAction(this);
    action->setObjectName(QLatin1String(name));
    menu->addAction(action);
    connect(action, &QAction::triggered, this, slot);
    return action;
  };
  const auto menu = [this](QWidget* parent, const char* name) {
    auto* m = new QMenu(parent);
    m->setObjectName(QLatin1String(name));
    return m;
  };
  mnuRule = menu(this, "mnuRule");
  mnuRuleAdd = item(mnuRule, "mnuRuleAdd", &frmRules::mnuRuleAdd_Click);
  mnuRuleDelete = item(mnuRule, "mnuRuleDelete", &frmRules::mnuRuleDelete_Click);
  mnuRule->addSeparator()->setObjectName(QStringLiteral("mnuSplit1"));
  mnuRuleMoveUp = item(mnuRule, "mnuRuleMoveUp", &frmRules::mnuRuleMoveUp_Click);
  mnuRuleMoveDown = item(mnuRule, "mnuRuleMoveDown", &frmRules::mnuRuleMoveDown_Click);

  mnuCriteria = menu(this, "mnuCriteria");
  mnuCriteriaAdd = menu(mnuCriteria, "mnuCriteriaAdd");
  mnuCriteria->addMenu(mnuCriteriaAdd);
  mnuCriteriaMessage = item(mnuCriteriaAdd, "mnuCriteriaMessage", [this] { mnuCriteriaAdd_Click(Criterion::Message); });
  mnuCriteriaSource = item(mnuCriteriaAdd, "mnuCriteriaSource", [this] { mnuCriteriaAdd_Click(Criterion::Source); });
  mnuCriteriaPriority =
      item(mnuCriteriaAdd, "mnuCriteriaPriority", [this] { mnuCriteriaAdd_Click(Criterion::Priority); });
  mnuCriteriaFacility =
      item(mnuCriteriaAdd, "mnuCriteriaFacility", [this] { mnuCriteriaAdd_Click(Criterion::Facility); });
  mnuCriteriaDelete = item(mnuCriteria, "mnuCriteriaDelete", &frmRules::mnuCriteriaDelete_Click);

  mnuAction = menu(this, "mnuAction");
  mnuActionAdd = menu(mnuAction, "mnuActionAdd");
  mnuAction->addMenu(mnuActionAdd);
  const auto addAction = [this](std::int32_t type) { return [this, type] { mnuActionAdd_Click(type); }; };
  mnuActionDiscard = item(mnuActionAdd, "mnuActionDiscard", addAction(Rules::kDiscard));
  mnuActionWriteEventLog = item(mnuActionAdd, "mnuActionWriteEventLog", addAction(Rules::kWriteToEventLog));
  mnuActionWriteODBC = item(mnuActionAdd, "mnuActionWriteODBC", addAction(Rules::kWriteToOdbc));
  mnuActionForwardSyslog = item(mnuActionAdd, "mnuActionForwardSyslog", addAction(Rules::kForwardToSyslog));
  mnuActionSendEmail = item(mnuActionAdd, "mnuActionSendEmail", addAction(Rules::kSendEmail));
  mnuActionWriteToFile = item(mnuActionAdd, "mnuActionWriteToFile", addAction(Rules::kWriteToFile));
  mnuActionShellExec = item(mnuActionAdd, "mnuActionShellExec", addAction(Rules::kShellExec));
  mnuActionNetSend = item(mnuActionAdd, "mnuActionNetSend", addAction(Rules::kNetSend));
  for (QAction* hidden : {mnuActionShellExec, mnuActionNetSend}) {
    hidden->setVisible(false);
    hidden->setEnabled(false);
  }
  mnuActionDelete = item(mnuAction, "mnuActionDelete", &frmRules::mnuActionDelete_Click);
  for (QMenu* m : {mnuRule, mnuCriteria, mnuAction})
    connect(m, &QMenu::aboutToHide, this, [this, m] {
      if (m_shownMenu == m) m_shownMenu = nullptr;
    });

  // Form_Load
  BuildTree();
  Initiate_Language_settings();
  hidePanel();
  toolButton(QStringLiteral("Up"))->setEnabled(false);
  toolButton(QStringLiteral("Down"))->setEnabled(false);
  LayoutControls();
  TVRules->setFocus();
}

frmRules::~frmRules() = default;

QAction* frmRules::toolButton(const QString& key) const {
  const auto found = m_toolButtons.find(key);
  return found == m_toolButtons.end() ? nullptr : found->second;
}

void frmRules::Initiate_Language_settings() {
  Messages::SetLanguageFont();
  const QFont& font = Messages::LanguageFont();
  setFont(font);
  for (QWidget* child : findChildren<QWidget*>()) child->setFont(font);
  setWindowTitle(GetMessageText(61));
  const std::pair<const char*, int> buttons[] = {{"Up", 620},     {"Down", 621},  {"Save", 622},
                                                 {"Reload", 623}, {"Close", 624}, {"FlushAll", 625}};
  for (const auto& [key, number] : buttons) toolButton(QLatin1String(key))->setText(GetMessageText(number));
  fraDetails->setTitle(GetMessageText(626));
  if (m_panelKey.isEmpty()) lblDescription->setText(GetMessageText(627));
  cmdSaveCurrent->setText(GetMessageText(34));
  const std::pair<QAction*, int> items[] = {
      {mnuRuleAdd, 600},           {mnuRuleDelete, 601},          {mnuRuleMoveUp, 602},
      {mnuRuleMoveDown, 603},      {mnuCriteriaMessage, 605},     {mnuCriteriaSource, 606},
      {mnuCriteriaPriority, 607},  {mnuCriteriaFacility, 608},    {mnuCriteriaDelete, 609},
      {mnuActionDiscard, 611},     {mnuActionWriteEventLog, 612}, {mnuActionWriteODBC, 613},
      {mnuActionForwardSyslog, 614}, {mnuActionSendEmail, 615},   {mnuActionWriteToFile, 616},
      {mnuActionShellExec, 617},   {mnuActionNetSend, 618},       {mnuActionDelete, 619}};
  for (const auto& [action, number] : items) action->setText(GetMessageText(number));
  mnuCriteriaAdd->setTitle(GetMessageText(604));
  mnuActionAdd->setTitle(GetMessageText(610));
}

// --- the tree ---------------------------------------------------------------

QTreeWidgetItem* frmRules::addNode(QTreeWidgetItem* parent, const QString& key, const QString& text, NodeKind kind) {
  QStyle::StandardPixmap icon = QStyle::SP_FileIcon;
  switch (kind) {
    case NodeKind::Root: icon = QStyle::SP_ComputerIcon; break;
    case NodeKind::Rule: icon = QStyle::SP_FileDialogDetailedView; break;
    case NodeKind::CriteriaFolder: icon = QStyle::SP_DirClosedIcon; break;
    case NodeKind::Criterion: icon = QStyle::SP_FileDialogContentsView; break;
    case NodeKind::ActionsFolder: icon = QStyle::SP_DirOpenIcon; break;
    case NodeKind::Action: icon = QStyle::SP_MediaPlay; break;
    case NodeKind::None: break;
  }
  auto* item = parent == nullptr ? new QTreeWidgetItem(TVRules) : new QTreeWidgetItem(parent);
  item->setData(0, kKeyRole, key);
  item->setText(0, text);
  item->setIcon(0, style()->standardIcon(icon));
  return item;
}

void frmRules::addCriterionNode(std::int32_t rule, Criterion kind) {
  QTreeWidgetItem* folder = node(QStringLiteral("CR%1").arg(rule));
  if (folder == nullptr) return;
  const char* suffix = "ME";
  const char* text = "Message";
  switch (kind) {
    case Criterion::Source: suffix = "SO"; text = "Source"; break;
    case Criterion::Facility: suffix = "FA"; text = "Facility"; break;
    case Criterion::Priority: suffix = "PR"; text = "Priority"; break;
    default: break;
  }
  addNode(folder, QString::number(rule) + QLatin1String(suffix), QLatin1String(text), NodeKind::Criterion);
}

void frmRules::addRuleNodes(std::int32_t rule, const QString& criteriaText) {
  const Rules::RuleRecord* record = ruleRecord(rule);
  if (record == nullptr) return;
  QTreeWidgetItem* root = node(QStringLiteral("NROOT"));
  QTreeWidgetItem* ruleNode = addNode(root, QStringLiteral("R%1").arg(rule), ruleText(rule, record->RuleName),
                                      NodeKind::Rule);
  addNode(ruleNode, QStringLiteral("CR%1").arg(rule), criteriaText, NodeKind::CriteriaFolder);
  if (!record->Message.isEmpty()) addCriterionNode(rule, Criterion::Message);
  if (!record->Source.isEmpty()) addCriterionNode(rule, Criterion::Source);
  if (record->Facility >= 0) addCriterionNode(rule, Criterion::Facility);
  if (record->Priority >= 0) addCriterionNode(rule, Criterion::Priority);
  QTreeWidgetItem* actions = addNode(ruleNode, QStringLiteral("AC%1").arg(rule), QStringLiteral("Actions"),
                                     NodeKind::ActionsFolder);
  for (std::int32_t action = 1; action <= static_cast<std::int32_t>(record->ActionTypes.size()); ++action)
    addNode(actions, QStringLiteral("%1TY%2").arg(rule).arg(action),
            Rules::ActionLabel(action, record->ActionTypes[static_cast<std::size_t>(action - 1)]), NodeKind::Action);
}

void frmRules::BuildTree() {
  m_selecting = true;
  hidePanel();
  TVRules->clear();
  QTreeWidgetItem* root = addNode(nullptr, QStringLiteral("NROOT"), QStringLiteral("Rules"), NodeKind::Root);
  for (std::int32_t rule = 1; rule <= ruleCount(); ++rule) addRuleNodes(rule, QStringLiteral("Criterias"));
  TVRules->setCurrentItem(root);
  root->setExpanded(true);
  m_selecting = false;
}

QTreeWidgetItem* frmRules::node(const QString& key) const {
  QTreeWidgetItemIterator it(TVRules);
  for (; *it != nullptr; ++it)
    if (keyOf(*it) == key) return *it;
  return nullptr;
}

QString frmRules::keyOf(const QTreeWidgetItem* item) {
  return item == nullptr ? QString() : item->data(0, kKeyRole).toString();
}

frmRules::NodeKind frmRules::kindOf(const QTreeWidgetItem* item) {
  if (item == nullptr) return NodeKind::None;
  const QString key = keyOf(item);
  if (key == QLatin1String("NROOT")) return NodeKind::Root;
  if (key.size() > 1 && key.startsWith(QLatin1Char('R'))) return NodeKind::Rule;
  if (key.size() > 2 && key.startsWith(QLatin1String("CR"))) return NodeKind::CriteriaFolder;
  if (key.size() > 2 && key.startsWith(QLatin1String("AC"))) return NodeKind::ActionsFolder;
  const NodeKind parent = item->parent() == nullptr ? NodeKind::None : kindOf(item->parent());
  if (parent == NodeKind::CriteriaFolder) return NodeKind::Criterion;
  if (parent == NodeKind::ActionsFolder) return NodeKind::Action;
  return NodeKind::None;
}

frmRules::Criterion frmRules::criterionOf(const QTreeWidgetItem* item) {
  if (kindOf(item) != NodeKind::Criterion) return Criterion::None;
  const QString key = keyOf(item);
  if (key.size() < 3) return Criterion::None;
  if (key.endsWith(QLatin1String("ME"))) return Criterion::Message;
  if (key.endsWith(QLatin1String("SO"))) return Criterion::Source;
  if (key.endsWith(QLatin1String("FA"))) return Criterion::Facility;
  if (key.endsWith(QLatin1String("PR"))) return Criterion::Priority;
  return Criterion::None;
}

std::int32_t frmRules::ruleOf(const QTreeWidgetItem* item) {
  switch (kindOf(item)) {
    case NodeKind::Rule: return numberAfter(keyOf(item), 1);
    case NodeKind::CriteriaFolder:
    case NodeKind::ActionsFolder: return numberAfter(keyOf(item), 2);
    case NodeKind::Criterion:
    case NodeKind::Action: return item->parent() != nullptr ? ruleOf(item->parent()->parent()) : 0;
    default: return 0;
  }
}

std::int32_t frmRules::actionOf(const QTreeWidgetItem* item) {
  if (kindOf(item) != NodeKind::Action) return 0;
  const QString key = keyOf(item);
  const qsizetype at = key.indexOf(QLatin1String("TY"));
  return at < 0 ? 0 : numberAfter(key, at + 2);
}

void frmRules::select(QTreeWidgetItem* item) {
  if (item == nullptr) return;
  m_selecting = true;
  for (QTreeWidgetItem* parent = item->parent(); parent != nullptr; parent = parent->parent())
    parent->setExpanded(true);
  TVRules->setCurrentItem(item);
  m_selecting = false;
}

// --- clicks and keys ------------------------------------------------------------

void frmRules::TVRules_MouseDown(Qt::MouseButton button, QTreeWidgetItem* item, const QPoint& globalPos) {
  if (item == nullptr) return;
  hidePanel();
  toolButton(QStringLiteral("Up"))->setEnabled(false);
  toolButton(QStringLiteral("Down"))->setEnabled(false);
  select(item);
  if (button == Qt::RightButton) {
    showContextMenu(item, globalPos);
    return;
  }
  if (button != Qt::LeftButton) return;
  if (kindOf(item) == NodeKind::Rule) setMoveButtons(ruleOf(item));
  showPanel(item);
  LayoutControls();
}

void frmRules::selectionMovedByKeyboard(QTreeWidgetItem* item) {
  // Reached when the selection moves without a click: the arrow keys act as
  // left clicks, so that the panel always shows the selected node.
  TVRules_MouseDown(Qt::LeftButton, item, QPoint());
}

void frmRules::setMoveButtons(std::int32_t rule) {
  toolButton(QStringLiteral("Up"))->setEnabled(rule >= 2);
  toolButton(QStringLiteral("Down"))->setEnabled(rule >= 1 && rule < ruleCount());
}

void frmRules::showContextMenu(QTreeWidgetItem* item, const QPoint& globalPos) {
  QMenu* menu = nullptr;
  const std::int32_t rule = ruleOf(item);
  switch (kindOf(item)) {
    case NodeKind::Root:
    case NodeKind::Rule: {
      const bool onRule = kindOf(item) == NodeKind::Rule;
      mnuRuleAdd->setEnabled(!onRule);
      mnuRuleDelete->setEnabled(onRule);
      mnuRuleMoveUp->setEnabled(onRule && rule >= 2);
      mnuRuleMoveDown->setEnabled(onRule && rule < ruleCount());
      menu = mnuRule;
      break;
    }
    case NodeKind::CriteriaFolder:
    case NodeKind::Criterion:
      mnuCriteriaAdd->setEnabled(kindOf(item) == NodeKind::CriteriaFolder);
      mnuCriteriaDelete->setEnabled(kindOf(item) == NodeKind::Criterion);
      menu = mnuCriteria;
      break;
    case NodeKind::ActionsFolder:
    case NodeKind::Action:
      mnuActionAdd->setEnabled(kindOf(item) == NodeKind::ActionsFolder);
      mnuActionDelete->setEnabled(kindOf(item) == NodeKind::Action);
      menu = mnuAction;
      break;
    case NodeKind::None: return;
  }
  m_shownMenu = menu;
  menu->popup(globalPos);
}

bool frmRules::eventFilter(QObject* watched, QEvent* event) {
  if (watched == TVRules->viewport() && event->type() == QEvent::MouseButtonPress) {
    auto* press = static_cast<QMouseEvent*>(event);
    QTreeWidgetItem* item = TVRules->itemAt(press->position().toPoint());
    if (item == nullptr) return true;  // a press on empty space changes nothing
    TVRules_MouseDown(press->button(), item, press->globalPosition().toPoint());
    // The tree goes on with the press itself (expanding, collapsing) only for
    // the left button; its selection is already the pressed node.
    return press->button() != Qt::LeftButton;
  }
  if (watched == TVRules && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    const bool menuKey = key->key() == Qt::Key_Menu ||
                         (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier);
    if (menuKey) {
      QTreeWidgetItem* item = TVRules->currentItem();
      if (item != nullptr) {
        const QRect place = TVRules->visualItemRect(item);
        TVRules_MouseDown(Qt::RightButton, item, TVRules->viewport()->mapToGlobal(place.bottomLeft()));
      }
      return true;
    }
  }
  if (watched == pbSplit) {
    const int clientWidth = width() * kTwipsPerPixel;
    switch (event->type()) {
      case QEvent::MouseButtonPress:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
          m_dragging = true;
          QPalette palette = pbSplit->palette();
          palette.setColor(QPalette::Window, Qt::black);
          pbSplit->setPalette(palette);
        }
        return true;
      case QEvent::MouseMove:
        if (m_dragging && (static_cast<QMouseEvent*>(event)->buttons() & Qt::LeftButton)) {
          const int x = static_cast<int>(static_cast<QMouseEvent*>(event)->position().x());
          m_splitLeft += x * kTwipsPerPixel;
          pbSplit->move(twips(m_splitLeft), pbSplit->y());
        }
        return true;
      case QEvent::MouseButtonRelease:
        if (m_dragging && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
          m_dragging = false;
          m_splitLeft = std::max(kSplitMarginTwips, std::min(m_splitLeft, clientWidth - kSplitMarginTwips));
          pbSplit->setPalette(palette());
          LayoutControls();
        }
        return true;
      default: break;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void frmRules::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  LayoutControls();
}

// --- the detail panel ---------------------------------------------------------------

void frmRules::hidePanel() {
  m_panelKey.clear();
  for (QWidget* widget : std::initializer_list<QWidget*>{lblDescription, txtValue, cbPriority, cbFacility,
                                                         cmdSaveCurrent})
    widget->hide();
}

void frmRules::showPanel(QTreeWidgetItem* item) {
  const std::int32_t rule = ruleOf(item);
  Rules::RuleRecord* record = ruleRecord(rule);
  if (record == nullptr) return;
  QString description;
  QWidget* editor = txtValue;
  switch (kindOf(item)) {
    case NodeKind::Rule:
      description = QStringLiteral("Edit Rule Name");
      txtValue->setText(record->RuleName);
      break;
    case NodeKind::Criterion:
      switch (criterionOf(item)) {
        case Criterion::Message:
          description = QStringLiteral("Edit Message");
          txtValue->setText(record->Message);
          break;
        case Criterion::Source:
          description = QStringLiteral("Edit Source");
          txtValue->setText(record->Source);
          break;
        case Criterion::Facility:
          description = QStringLiteral("Edit Facility");
          if (record->Facility > 23) record->Facility = 16;
          cbFacility->setCurrentIndex(cbFacility->findData(record->Facility));
          editor = cbFacility;
          break;
        case Criterion::Priority:
          description = QStringLiteral("Edit Priority");
          if (record->Priority > 7) record->Priority = 6;
          cbPriority->setCurrentIndex(cbPriority->findData(record->Priority));
          editor = cbPriority;
          break;
        case Criterion::None: return;
      }
      break;
    case NodeKind::Action: {
      const std::int32_t action = actionOf(item);
      if (action < 1 || action > static_cast<std::int32_t>(record->ActionTypes.size())) return;
      switch (record->ActionTypes[static_cast<std::size_t>(action - 1)]) {
        case Rules::kWriteToOdbc: description = QStringLiteral("Edit the System-DSN"); break;
        case Rules::kForwardToSyslog: description = QStringLiteral("Edit the Syslogforwarder (server:port)"); break;
        case Rules::kSendEmail: description = QStringLiteral("Edit the email recipient"); break;
        case Rules::kWriteToFile: description = QStringLiteral("Edit the Basefilename"); break;
        default: return;  // no parameter to edit
      }
      txtValue->setText(record->ActionStrings[static_cast<std::size_t>(action - 1)]);
      break;
    }
    default: return;
  }
  m_panelKey = keyOf(item);
  lblDescription->setText(description);
  lblDescription->show();
  editor->show();
  cmdSaveCurrent->show();
}

void frmRules::cmdSaveCurrent_Click() {
  // The value goes to the node whose value the panel shows.
  QTreeWidgetItem* item = m_panelKey.isEmpty() ? nullptr : node(m_panelKey);
  Rules::RuleRecord* record = ruleRecord(ruleOf(item));
  if (record == nullptr) return;
  const QString text = txtValue->text();
  switch (kindOf(item)) {
    case NodeKind::Rule:
      if (!Rules::RuleNameFits(text, this)) return;
      record->RuleName = text;
      item->setText(0, ruleText(ruleOf(item), text));
      break;
    case NodeKind::Criterion:
      switch (criterionOf(item)) {
        case Criterion::Message: record->Message = text; break;
        case Criterion::Source: record->Source = text; break;
        case Criterion::Facility: record->Facility = cbFacility->currentData().toInt(); break;
        case Criterion::Priority: record->Priority = cbPriority->currentData().toInt(); break;
        case Criterion::None: break;
      }
      break;
    case NodeKind::Action: {
      const std::int32_t action = actionOf(item);
      if (action < 1 || action > static_cast<std::int32_t>(record->ActionStrings.size())) return;
      if (!Rules::ActionStringFits(text, this)) return;
      record->ActionStrings[static_cast<std::size_t>(action - 1)] = text;
      break;
    }
    default: break;
  }
}

void frmRules::txtValue_KeyPress() {
  cmdSaveCurrent->setFocus();
  cmdSaveCurrent_Click();
}

// --- rules ------------------------------------------------------------------------

void frmRules::mnuRuleAdd_Click() {
  DebugTrace(QStringLiteral("mnuRuleAdd: Begin "));
  DebugTrace(QStringLiteral("mnuRuleAdd: Before InputBox"));
  const Dialogs::InputBoxResult answer = Dialogs::InputBox(GetMessageText(639), GetMessageText(639), this);
  if (answer.cancelled) return;
  DebugTrace(QStringLiteral("mnuRuleAdd: After InputBox"));
  if (!Rules::RuleNameFits(answer.text, this)) return;

  Rules::Model& m = Rules::model();
  const std::int32_t number = ruleCount() + 1;
  Rules::RuleRecord rule;
  rule.RuleNumber = number;
  rule.RuleName = answer.text;
  m.rules.push_back(std::move(rule));
  m.RuleCount = number;

  // A rule added here reads "Criteria" until the tree is next built.
  addRuleNodes(number, QStringLiteral("Criteria"));
  QTreeWidgetItem* added = node(QStringLiteral("R%1").arg(number));
  select(added);
  added->setExpanded(true);
  DebugTrace(QStringLiteral("mnuRuleAdd: End "));
}

void frmRules::mnuRuleDelete_Click() {
  QTreeWidgetItem* item = TVRules->currentItem();
  if (kindOf(item) != NodeKind::Rule) return;
  const std::int32_t rule = ruleOf(item);
  if (ruleRecord(rule) == nullptr) return;
  if (ruleCount() == 1 &&
      Dialogs::MsgBox(GetMessageText(640) + QStringLiteral("\r\n") + GetMessageText(641), Dialogs::Icon::Warning,
                      Dialogs::Buttons::OkCancel, QString(), this) != Dialogs::Answer::Ok)
    return;
  Rules::Model& m = Rules::model();
  m.rules.erase(m.rules.begin() + (rule - 1));
  m.RuleCount = ruleCount();
  BuildTree();
  if (rule > 1 && ruleCount() > 0) select(node(QStringLiteral("R%1").arg(rule - 1)));
}

void frmRules::moveRule(std::int32_t rule, std::int32_t to) {
  if (ruleRecord(rule) == nullptr || ruleRecord(to) == nullptr) return;
  Rules::Model& m = Rules::model();
  std::swap(m.rules[static_cast<std::size_t>(rule - 1)], m.rules[static_cast<std::size_t>(to - 1)]);
  BuildTree();
  select(node(QStringLiteral("R%1").arg(to)));
  setMoveButtons(to);
}

void frmRules::mnuRuleMoveUp_Click() {
  QTreeWidgetItem* item = TVRules->currentItem();
  if (kindOf(item) == NodeKind::Rule && ruleOf(item) >= 2) moveRule(ruleOf(item), ruleOf(item) - 1);
}

void frmRules::mnuRuleMoveDown_Click() {
  QTreeWidgetItem* item = TVRules->currentItem();
  if (kindOf(item) == NodeKind::Rule && ruleOf(item) < ruleCount()) moveRule(ruleOf(item), ruleOf(item) + 1);
}

// --- criteria ---------------------------------------------------------------------

void frmRules::mnuCriteriaAdd_Click(Criterion kind) {
  QTreeWidgetItem* folder = TVRules->currentItem();
  if (kindOf(folder) != NodeKind::CriteriaFolder) return;
  const std::int32_t rule = ruleOf(folder);
  Rules::RuleRecord* record = ruleRecord(rule);
  if (record == nullptr) return;
  for (int child = 0; child < folder->childCount(); ++child)
    if (criterionOf(folder->child(child)) == kind) return;  // the rule has one already
  switch (kind) {
    case Criterion::Message:
    case Criterion::Source: {
      const int prompt = kind == Criterion::Message ? 637 : 638;
      const Dialogs::InputBoxResult answer =
          Dialogs::InputBox(GetMessageText(prompt), GetMessageText(prompt), this);
      if (answer.cancelled) return;
      (kind == Criterion::Message ? record->Message : record->Source) = answer.text;
      break;
    }
    case Criterion::Priority: record->Priority = 6; break;   // INFO
    case Criterion::Facility: record->Facility = 16; break;  // LOCAL0
    case Criterion::None: return;
  }
  addCriterionNode(rule, kind);
}

void frmRules::mnuCriteriaDelete_Click() {
  QTreeWidgetItem* item = TVRules->currentItem();
  Rules::RuleRecord* record = ruleRecord(ruleOf(item));
  if (record == nullptr) return;
  switch (criterionOf(item)) {
    case Criterion::Message: record->Message.clear(); break;
    case Criterion::Source: record->Source.clear(); break;
    case Criterion::Facility: record->Facility = -1; break;
    case Criterion::Priority: record->Priority = -1; break;
    case Criterion::None: return;
  }
  QTreeWidgetItem* folder = item->parent();
  m_selecting = true;
  delete item;
  TVRules->setCurrentItem(folder);
  m_selecting = false;
}

// --- actions ----------------------------------------------------------------------

void frmRules::mnuActionAdd_Click(std::int32_t type) {
  QTreeWidgetItem* folder = TVRules->currentItem();
  if (kindOf(folder) != NodeKind::ActionsFolder) return;
  QString prompt;
  int title = 0;
  switch (type) {
    case Rules::kWriteToOdbc: title = 635; break;
    case Rules::kForwardToSyslog: title = 631; break;
    case Rules::kSendEmail: title = 633; break;
    case Rules::kWriteToFile: title = 636; break;
    case Rules::kShellExec: title = 634; break;
    case Rules::kNetSend: title = 632; break;
    default: break;  // Discard and the event log take no parameter
  }
  if (title != 0) {
    prompt = GetMessageText(title);
    if (type != Rules::kShellExec) prompt += QStringLiteral("\r\n") + GetMessageText(630);
  }
  Rules::AddActionToTree(type, prompt, title != 0 ? GetMessageText(title) : QString(), keyOf(folder),
                         [this, folder](std::int32_t rule, std::int32_t action, const QString& label) {
                           addNode(folder, QStringLiteral("%1TY%2").arg(rule).arg(action), label, NodeKind::Action);
                         });
}

void frmRules::mnuActionDelete_Click() {
  QTreeWidgetItem* item = TVRules->currentItem();
  const std::int32_t rule = ruleOf(item);
  const std::int32_t action = actionOf(item);
  Rules::RuleRecord* record = ruleRecord(rule);
  if (record == nullptr || action < 1 || action > static_cast<std::int32_t>(record->ActionTypes.size())) return;
  if (record->ActionTypes.size() == 1 &&
      Dialogs::MsgBox(GetMessageText(628) + record->RuleName + GetMessageText(629), Dialogs::Icon::Warning,
                      Dialogs::Buttons::OkCancel, QString(), this) != Dialogs::Answer::Ok)
    return;
  record->ActionTypes.erase(record->ActionTypes.begin() + (action - 1));
  record->ActionStrings.erase(record->ActionStrings.begin() + (action - 1));
  record->ActionCount = static_cast<std::int32_t>(record->ActionTypes.size());
  BuildTree();
  QTreeWidgetItem* folder = node(QStringLiteral("AC%1").arg(rule));
  select(folder);
  if (folder != nullptr) folder->setExpanded(true);
}

// --- the toolbar -------------------------------------------------------------------

void frmRules::TBRule_ButtonClick(const QString& key) {
  hidePanel();
  if (key == QLatin1String("Up")) {
    mnuRuleMoveUp_Click();
  } else if (key == QLatin1String("Down")) {
    mnuRuleMoveDown_Click();
  } else if (key == QLatin1String("Save")) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QThread::msleep(100);
    Rules::SaveRules(Global::hRulesKey);
    QApplication::restoreOverrideCursor();
  } else if (key == QLatin1String("Reload")) {
    if (Dialogs::MsgBox(GetMessageText(642), Dialogs::Icon::Warning, Dialogs::Buttons::OkCancel, QString(), this) ==
        Dialogs::Answer::Ok) {
      Rules::RevertRules();
      BuildTree();
    }
  } else if (key == QLatin1String("Close")) {
    close();
  } else if (key == QLatin1String("FlushAll")) {
    if (Dialogs::MsgBox(GetMessageText(643), Dialogs::Icon::Warning, Dialogs::Buttons::OkCancel, QString(), this) ==
        Dialogs::Answer::Ok) {
      Rules::model().rules.clear();
      Rules::model().RuleCount = 0;
      BuildTree();
    }
  }
}

// --- layout -----------------------------------------------------------------------

void frmRules::LayoutControls() {
  const int clientWidth = width() * kTwipsPerPixel;
  const int clientHeight = height() * kTwipsPerPixel;
  const int toolbarHeight = TBRule->sizeHint().height() * kTwipsPerPixel;
  const int statusHeight = STBRule->sizeHint().height() * kTwipsPerPixel;
  TBRule->setGeometry(0, 0, width(), TBRule->sizeHint().height());
  STBRule->setGeometry(0, height() - STBRule->sizeHint().height(), width(), STBRule->sizeHint().height());
  pbSplit->setGeometry(twipsRect(m_splitLeft, toolbarHeight, kSplitWidthTwips, clientHeight - toolbarHeight));

  // Each step is skipped when the window is too small for it.
  const int treeHeight = clientHeight - toolbarHeight - statusHeight - kPanelGapTwips;
  if (m_splitLeft > 0 && treeHeight > 0) TVRules->setGeometry(twipsRect(0, toolbarHeight, m_splitLeft, treeHeight));
  const int panelWidth = clientWidth - m_splitLeft - kPanelGapTwips;
  if (panelWidth > 0 && treeHeight > 0)
    fraDetails->setGeometry(twipsRect(m_splitLeft + kPanelGapTwips, toolbarHeight, panelWidth, treeHeight));
  const int labelWidth = panelWidth - 250;
  if (!lblDescription->isHidden() && labelWidth > 0)
    lblDescription->setGeometry(twipsRect(kLabelLeftTwips, kLabelTopTwips, labelWidth, kLabelHeightTwips));
  const int editorTop = kLabelTopTwips + kLabelHeightTwips + 100;
  if (labelWidth > 0) {
    for (QWidget* editor : std::initializer_list<QWidget*>{txtValue, cbPriority, cbFacility})
      if (!editor->isHidden()) editor->setGeometry(twipsRect(kLabelLeftTwips, editorTop, labelWidth, kEditorHeightTwips));
    const int buttonWidth = std::min(1215, labelWidth);
    cmdSaveCurrent->setGeometry(twipsRect(kLabelLeftTwips + labelWidth - buttonWidth,
                                          editorTop + kEditorHeightTwips + 200, buttonWidth, 375));
  }
}
