// Actions, the action list, menu items, the main menu and popup menus.
//
// An item bound to an action shows the action's caption unless it has a
// caption of its own, and its choice runs the action's handler unless the
// item has a click handler of its own. An item whose caption is "-" is a
// separator; "&" marks the accelerator letter, as in Qt.
#pragma once

#include "platform/Component.h"

#include <QObject>
#include <QPointer>

#include <string>
#include <vector>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace desktop {

class TForm;

class TAction : public QObject, public platform::TObject {
  Q_OBJECT

 public:
  TAction(QObject* list, std::string name, std::string caption);

  std::string Name;

  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& hint);

  platform::TNotifyEvent OnExecute;

  // Runs the handler (through Invoke); false when there is none.
  bool Execute();

 signals:
  void changed();

 private:
  std::string caption_;
  std::string hint_;
  bool enabled_ = true;
};

class TActionList : public QObject, public platform::TObject {
 public:
  explicit TActionList(QObject* owner);

  TAction* Add(const std::string& name, const std::string& caption);
  int Count() const { return static_cast<int>(actions_.size()); }
  TAction* Actions(int i) const;

 private:
  std::vector<TAction*> actions_;
};

class TMenuItem : public QObject, public platform::TObject {
 public:
  // A new item at the end of the parent's submenu.
  TMenuItem(TMenuItem* parent, std::string name, const std::string& caption = {},
            TAction* action = nullptr);
  ~TMenuItem() override;

  std::string Name;

  // The caption as shown: the item's own, else its action's.
  std::string Caption() const;
  const std::string& OwnCaption() const { return caption_; }
  void SetCaption(const std::string& caption);

  bool Checked() const { return checked_; }
  void SetChecked(bool checked);
  // Own state; an item bound to a disabled action is disabled too.
  bool Enabled() const;
  void SetEnabled(bool enabled);
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);
  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& hint);

  TAction* Action() const { return action_; }
  void SetAction(TAction* action);

  platform::TNotifyEvent OnClick;

  // What choosing the item does: nothing when it is disabled or a
  // separator; else its own click handler, or its action's.
  void Click();

  bool IsLine() const { return caption_ == "-"; }
  int Count() const { return static_cast<int>(items_.size()); }
  TMenuItem* Items(int i) const;
  TMenuItem* Parent() const { return parent_; }

  QAction* QtAction() const { return qaction_; }
  // The submenu, made when the first child item is added.
  QMenu* SubMenu() const { return submenu_; }

 protected:
  // The root item of a menu bar or popup: it shows no item of its own.
  explicit TMenuItem(QWidget* container);

 private:
  void AddChild(TMenuItem* child);
  void RemoveChild(TMenuItem* child);
  void UpdateQtAction();

  TMenuItem* parent_ = nullptr;
  QWidget* container_ = nullptr;  // where the children's entries go
  QAction* qaction_ = nullptr;
  QMenu* submenu_ = nullptr;
  std::vector<TMenuItem*> items_;
  QPointer<TAction> action_;
  std::string caption_;
  std::string hint_;
  bool checked_ = false;
  bool enabled_ = true;
  bool visible_ = true;
};

class TMainMenu : public QObject, public platform::TObject {
 public:
  // Becomes the form's menu bar.
  explicit TMainMenu(TForm* form);

  TMenuItem* Items() const { return root_; }
  QMenuBar* MenuBar() const { return bar_; }

 private:
  QMenuBar* bar_;
  TMenuItem* root_;
};

class TPopupMenu : public QObject, public platform::TObject {
 public:
  explicit TPopupMenu(QWidget* owner);

  TMenuItem* Items() const { return root_; }
  QMenu* Menu() const { return menu_; }
  void Popup(const QPoint& globalPos);

 private:
  QMenu* menu_;
  TMenuItem* root_;
};

}  // namespace desktop
