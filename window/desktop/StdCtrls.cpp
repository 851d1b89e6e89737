#include "window/desktop/StdCtrls.h"

#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "window/desktop/Events.h"
#include "window/desktop/Menus.h"
#include "window/desktop/TextCodec.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QLineEdit>

#include <algorithm>
#include <cstdint>

namespace desktop {

// ---- TPanel ----

TPanel::TPanel(QWidget* parent) : QFrame(parent), TControl(this) {
  MakeAlignContainer(this);
  SetBevel(true);
}

void TPanel::SetBorderWidth(int width) {
  borderWidth_ = std::max(0, width);
  UpdateInset();
}

void TPanel::SetBevel(bool raised) {
  bevel_ = raised;
  setFrameStyle(raised ? (QFrame::Panel | QFrame::Raised) : QFrame::NoFrame);
  setLineWidth(1);
  UpdateInset();
}

void TPanel::UpdateInset() { SetAlignInset(this, borderWidth_ + (bevel_ ? 1 : 0)); }

// ---- TLabel, TStaticText ----

TLabel::TLabel(QWidget* parent, const std::string& caption) : QLabel(parent), TControl(this) {
  setTextFormat(Qt::PlainText);
  SetCaption(caption);
}

void TLabel::SetCaption(const std::string& caption) {
  caption_ = caption;
  setText(BytesToQString(caption));
}

TStaticText::TStaticText(QWidget* parent, const std::string& caption)
    : QLabel(parent), TControl(this) {
  setTextFormat(Qt::PlainText);
  SetCaption(caption);
}

void TStaticText::SetCaption(const std::string& caption) {
  caption_ = caption;
  setText(BytesToQString(caption));
}

// ---- TButton ----

TButton::TButton(QWidget* parent, const std::string& caption)
    : QPushButton(parent), TControl(this), caption_(caption) {
  QObject::connect(this, &QPushButton::clicked, this, [this] { Click(); });
  UpdateFromAction();
}

std::string TButton::Caption() const {
  if (!caption_.empty() || !action_) return caption_;
  return action_->Caption();
}

void TButton::SetCaption(const std::string& caption) {
  caption_ = caption;
  UpdateFromAction();
}

void TButton::SetAction(TAction* action) {
  if (action_) QObject::disconnect(action_, nullptr, this, nullptr);
  action_ = action;
  if (action_) QObject::connect(action_, &TAction::changed, this, [this] { UpdateFromAction(); });
  UpdateFromAction();
}

void TButton::UpdateFromAction() {
  setText(BytesToQString(Caption()));
  setEnabled(!action_ || action_->Enabled());
}

void TButton::Click() {
  if (!isEnabled()) return;
  if (OnClick)
    Fire(OnClick, this);
  else if (action_)
    action_->Execute();
}

// ---- TCheckBox ----

TCheckBox::TCheckBox(QWidget* parent, const std::string& caption)
    : QCheckBox(parent), TControl(this) {
  SetCaption(caption);
  QObject::connect(this, &QCheckBox::toggled, this, [this] {
    if (!settingByProgram_) Fire(OnClick, this);
  });
}

void TCheckBox::SetCaption(const std::string& caption) {
  caption_ = caption;
  setText(BytesToQString(caption));
}

void TCheckBox::SetChecked(bool checked) {
  settingByProgram_ = true;
  setChecked(checked);
  settingByProgram_ = false;
}

// ---- TListBox ----

TListBox::TListBox(QWidget* parent) : QListWidget(parent), TControl(this) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformItemSizes(true);
  QObject::connect(this, &QListWidget::itemClicked, this, [this] { Click(); });
}

std::string TListBox::Item(int i) const {
  if (i < 0 || i >= Count()) throw platform::RangeError();
  return items_[static_cast<size_t>(i)];
}

void TListBox::AddItem(const std::string& item) {
  items_.push_back(item);
  addItem(BytesToQString(item));
}

void TListBox::ClearItems() {
  items_.clear();
  clear();
}

void TListBox::SetItems(const std::vector<std::string>& items) {
  ClearItems();
  for (const auto& item : items) AddItem(item);
  SetItemIndex(-1);
}

int TListBox::ItemIndex() const {
  const QList<QListWidgetItem*> selected = selectedItems();
  if (selected.isEmpty()) return -1;
  return row(selected.first());
}

void TListBox::SetItemIndex(int index) {
  if (index < 0 || index >= Count()) {
    clearSelection();
    setCurrentRow(-1);
    return;
  }
  setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
}

void TListBox::Click() { Fire(OnClick, this); }

void TListBox::keyPressEvent(QKeyEvent* event) {
  const int before = ItemIndex();
  QListWidget::keyPressEvent(event);
  if (ItemIndex() != before) Click();
}

namespace {
// A press, release or double click of the right button, or a move with only
// the right button held.
bool RightButtonEvent(const QMouseEvent* event) {
  if (event->type() == QEvent::MouseMove) return event->buttons() == Qt::RightButton;
  return event->button() == Qt::RightButton;
}
}  // namespace

bool TListBox::viewportEvent(QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
      if (RightButtonEvent(static_cast<QMouseEvent*>(event))) {
        event->accept();
        return true;
      }
      break;
    default:
      break;
  }
  return QListWidget::viewportEvent(event);
}

// ---- TSpinEdit ----

TSpinEdit::TSpinEdit(QWidget* parent) : QAbstractSpinBox(parent), TControl(this) {
  setKeyboardTracking(true);
  setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
  lineEdit()->setText(QStringLiteral("0"));
  QObject::connect(lineEdit(), &QLineEdit::textChanged, this, [this] { Fire(OnChange, this); });
}

void TSpinEdit::SetMinValue(int value) { min_ = value; }
void TSpinEdit::SetMaxValue(int value) { max_ = value; }

int TSpinEdit::CheckValue(int value) const {
  if (max_ == min_) return value;
  return std::clamp(value, std::min(min_, max_), std::max(min_, max_));
}

int TSpinEdit::Value() const {
  const auto parsed = platform::TryStrToInt(QStringToBytes(lineEdit()->text()));
  return parsed ? *parsed : min_;
}

void TSpinEdit::SetValue(int value) {
  const QString text = QString::number(CheckValue(value));
  if (lineEdit()->text() != text) lineEdit()->setText(text);
}

std::string TSpinEdit::Text() const { return QStringToBytes(lineEdit()->text()); }

void TSpinEdit::SetText(const std::string& text) { lineEdit()->setText(BytesToQString(text)); }

void TSpinEdit::stepBy(int steps) {
  const long long next = static_cast<long long>(Value()) + static_cast<long long>(steps) * increment_;
  SetValue(static_cast<int>(std::clamp<long long>(next, INT32_MIN, INT32_MAX)));
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
  return StepUpEnabled | StepDownEnabled;
}

QValidator::State TSpinEdit::validate(QString& input, int& /*pos*/) const {
  // Only signs and digits can be typed; what they make is checked on exit.
  for (int i = 0; i < input.size(); ++i) {
    const QChar c = input[i];
    if (c.isDigit() && c.unicode() < 0x80) continue;
    if ((c == u'-' || c == u'+') && i == 0) continue;
    return QValidator::Invalid;
  }
  return QValidator::Acceptable;
}

void TSpinEdit::fixup(QString& /*input*/) const {}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
  QAbstractSpinBox::focusOutEvent(event);
  if (CheckValue(Value()) != Value()) SetValue(Value());
}

}  // namespace desktop
