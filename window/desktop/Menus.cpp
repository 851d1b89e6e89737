#include "window/desktop/Menus.h"

#include "window/desktop/Events.h"
#include "window/desktop/Forms.h"
#include "window/desktop/TextCodec.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include <algorithm>

namespace desktop {
namespace {

class RootMenuItem : public TMenuItem {
 public:
  explicit RootMenuItem(QWidget* container) : TMenuItem(container) {}
};

}  // namespace

// ---- TAction ----

TAction::TAction(QObject* list, std::string name, std::string caption)
    : QObject(list), Name(std::move(name)), caption_(std::move(caption)) {}

void TAction::SetCaption(const std::string& caption) {
  caption_ = caption;
  emit changed();
}

void TAction::SetEnabled(bool enabled) {
  enabled_ = enabled;
  emit changed();
}

void TAction::SetHint(const std::string& hint) {
  hint_ = hint;
  emit changed();
}

bool TAction::Execute() {
  if (!OnExecute) return false;
  Fire(OnExecute, this);
  return true;
}

// ---- TActionList ----

TActionList::TActionList(QObject* owner) : QObject(owner) {}

TAction* TActionList::Add(const std::string& name, const std::string& caption) {
  auto* action = new TAction(this, name, caption);
  actions_.push_back(action);
  return action;
}

TAction* TActionList::Actions(int i) const {
  if (i < 0 || i >= Count()) return nullptr;
  return actions_[static_cast<size_t>(i)];
}

// ---- TMenuItem ----

TMenuItem::TMenuItem(QWidget* container) : container_(container) {}

TMenuItem::TMenuItem(TMenuItem* parent, std::string name, const std::string& caption,
                     TAction* action)
    : QObject(parent), Name(std::move(name)), parent_(parent), caption_(caption) {
  qaction_ = new QAction(this);
  QObject::connect(qaction_, &QAction::triggered, this, [this] {
    // Qt flips a checkable entry on its own; the check mark here follows
    // only Checked.
    qaction_->setChecked(checked_);
    Click();
  });
  SetAction(action);
  if (parent_) parent_->AddChild(this);
}

TMenuItem::~TMenuItem() {
  while (!items_.empty()) delete items_.back();
  if (parent_) parent_->RemoveChild(this);
  delete submenu_;
  delete qaction_;
}

void TMenuItem::AddChild(TMenuItem* child) {
  items_.push_back(child);
  QWidget* target = container_;
  if (!target) {
    if (!submenu_) {
      submenu_ = new QMenu();
      submenu_->setToolTipsVisible(true);
      qaction_->setMenu(submenu_);
    }
    target = submenu_;
  }
  target->addAction(child->qaction_);
}

void TMenuItem::RemoveChild(TMenuItem* child) {
  items_.erase(std::remove(items_.begin(), items_.end(), child), items_.end());
}

TMenuItem* TMenuItem::Items(int i) const {
  if (i < 0 || i >= Count()) return nullptr;
  return items_[static_cast<size_t>(i)];
}

std::string TMenuItem::Caption() const {
  if (!caption_.empty() || !action_) return caption_;
  return action_->Caption();
}

void TMenuItem::SetCaption(const std::string& caption) {
  caption_ = caption;
  UpdateQtAction();
}

void TMenuItem::SetChecked(bool checked) {
  checked_ = checked;
  UpdateQtAction();
}

bool TMenuItem::Enabled() const { return enabled_ && (!action_ || action_->Enabled()); }

void TMenuItem::SetEnabled(bool enabled) {
  enabled_ = enabled;
  UpdateQtAction();
}

void TMenuItem::SetVisible(bool visible) {
  visible_ = visible;
  UpdateQtAction();
}

void TMenuItem::SetHint(const std::string& hint) {
  hint_ = hint;
  UpdateQtAction();
}

void TMenuItem::SetAction(TAction* action) {
  if (action_) QObject::disconnect(action_, nullptr, this, nullptr);
  action_ = action;
  if (action_) QObject::connect(action_, &TAction::changed, this, [this] { UpdateQtAction(); });
  UpdateQtAction();
}

void TMenuItem::UpdateQtAction() {
  if (!qaction_) return;
  qaction_->setSeparator(IsLine());
  // A separator shows its line only; the style would draw its "-" too.
  qaction_->setText(IsLine() ? QString() : BytesToQString(Caption()));
  if (checked_) qaction_->setCheckable(true);
  qaction_->setChecked(checked_);
  qaction_->setEnabled(Enabled());
  qaction_->setVisible(visible_);
  const std::string& hint = !hint_.empty() || !action_ ? hint_ : action_->Hint();
  qaction_->setToolTip(BytesToQString(hint));
  qaction_->setStatusTip(BytesToQString(hint));
}

void TMenuItem::Click() {
  if (!Enabled() || IsLine()) return;
  if (OnClick) {
    Fire(OnClick, this);
  } else if (action_) {
    action_->Execute();
  }
}

// ---- TMainMenu, TPopupMenu ----

TMainMenu::TMainMenu(TForm* form) : QObject(form) {
  bar_ = new QMenuBar(form);
  form->setMenuBar(bar_);
  root_ = new RootMenuItem(bar_);
  root_->setParent(this);
}

TPopupMenu::TPopupMenu(QWidget* owner) : QObject(owner) {
  menu_ = new QMenu(owner);
  menu_->setToolTipsVisible(true);
  root_ = new RootMenuItem(menu_);
  root_->setParent(this);
}

void TPopupMenu::Popup(const QPoint& globalPos) { menu_->popup(globalPos); }

}  // namespace desktop
