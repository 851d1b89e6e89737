// Panels, labels, static texts, buttons, check boxes, list boxes and spin
// edits. Captions and items are bytes, shown decoded (TextCodec.h) and
// given back exactly as they were set.
#pragma once

#include "platform/Component.h"
#include "window/desktop/Controls.h"
#include "window/desktop/Menus.h"

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>

#include <string>
#include <vector>

namespace desktop {


// A container that arranges its aligned children inside its border.
class TPanel : public QFrame, public TControl {
 public:
  explicit TPanel(QWidget* parent);

  int BorderWidth() const { return borderWidth_; }
  void SetBorderWidth(int width);
  bool Bevel() const { return bevel_; }
  void SetBevel(bool raised);

 private:
  void UpdateInset();
  int borderWidth_ = 0;
  bool bevel_ = true;
};

class TLabel : public QLabel, public TControl {
 public:
  explicit TLabel(QWidget* parent, const std::string& caption = {});

  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);

 private:
  std::string caption_;
};

// A label with a window of its own.
class TStaticText : public QLabel, public TControl {
 public:
  explicit TStaticText(QWidget* parent, const std::string& caption = {});

  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);

 private:
  std::string caption_;
};

class TButton : public QPushButton, public TControl {
 public:
  explicit TButton(QWidget* parent, const std::string& caption = {});

  // The caption as shown: the button's own, else its action's.
  std::string Caption() const;
  void SetCaption(const std::string& caption);
  TAction* Action() const { return action_; }
  void SetAction(TAction* action);

  platform::TNotifyEvent OnClick;
  // What a click does: the own handler, else the action's.
  void Click();

 private:
  void UpdateFromAction();
  std::string caption_;
  QPointer<TAction> action_;
};

class TCheckBox : public QCheckBox, public TControl {
 public:
  explicit TCheckBox(QWidget* parent, const std::string& caption = {});

  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  bool Checked() const { return isChecked(); }
  // Setting the state by program fires no event.
  void SetChecked(bool checked);

  platform::TNotifyEvent OnClick;

 private:
  std::string caption_;
  bool settingByProgram_ = false;
};

class TListBox : public QListWidget, public TControl {
 public:
  explicit TListBox(QWidget* parent);

  int Count() const { return static_cast<int>(items_.size()); }
  const std::vector<std::string>& Items() const { return items_; }
  std::string Item(int i) const;
  void AddItem(const std::string& item);
  void ClearItems();
  // Replaces every item; afterwards no item is selected.
  void SetItems(const std::vector<std::string>& items);

  // Index of the selected item, -1 for none.
  int ItemIndex() const;
  // Selects by program; fires no event. -1 selects nothing.
  void SetItemIndex(int index);

  // A click on an item, or a change of the selection by keyboard.
  platform::TNotifyEvent OnClick;
  void Click();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  // The right button only opens the popup: selection and current item stay.
  bool viewportEvent(QEvent* event) override;

 private:
  std::vector<std::string> items_;
};

// A whole-number field with up and down buttons. The text may hold any
// number while it is typed; it is brought into MinValue..MaxValue when the
// field loses the focus, and Value of a text that is no whole number is
// MinValue.
class TSpinEdit : public QAbstractSpinBox, public TControl {
 public:
  explicit TSpinEdit(QWidget* parent);

  int MinValue() const { return min_; }
  int MaxValue() const { return max_; }
  void SetMinValue(int value);
  void SetMaxValue(int value);
  int Increment() const { return increment_; }
  void SetIncrement(int value) { increment_ = value; }

  int Value() const;
  // Brought into range (when MinValue and MaxValue differ) and shown.
  void SetValue(int value);
  std::string Text() const;
  // The field's text as if typed, not brought into range.
  void SetText(const std::string& text);

  // Every change of the text, by the user or by program.
  platform::TNotifyEvent OnChange;

  void stepBy(int steps) override;
  QValidator::State validate(QString& input, int& pos) const override;
  void fixup(QString& input) const override;

 protected:
  StepEnabled stepEnabled() const override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  int CheckValue(int value) const;
  int min_ = 0;
  int max_ = 100;
  int increment_ = 1;
};

}  // namespace desktop
