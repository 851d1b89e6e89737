#include "window/desktop/Controls.h"

#include "window/desktop/ComCtrls.h"
#include "window/desktop/Menus.h"
#include "window/desktop/TextCodec.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QFontDatabase>
#include <QLayout>

#include <algorithm>

namespace desktop {
namespace {

constexpr const char* kInsetProperty = "kelvoAlignInset";

bool IsMonospaceName(const std::string& name) {
  return name == "Lucida Console" || name == "Courier New" || name == "Courier" ||
         name == "Fixedsys";
}

// Re-arranges the children of its container after each resize.
class AlignArranger : public QObject {
 public:
  explicit AlignArranger(QWidget* container) : QObject(container) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize || event->type() == QEvent::Show)
      ArrangeChildren(static_cast<QWidget*>(watched));
    return false;
  }
};

}  // namespace

void InstallFontSubstitutes() {
  const QString sans = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
  const QString mono = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
  QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), sans);
  QFont::insertSubstitution(QStringLiteral("Lucida Console"), mono);
}

QFont MakeFont(const TFontSpec& spec) {
  QFont font;
  if (!spec.Name.empty()) {
    font.setFamilies({QString::fromStdString(spec.Name)});
    font.setStyleHint(IsMonospaceName(spec.Name) ? QFont::TypeWriter : QFont::SansSerif);
    if (IsMonospaceName(spec.Name)) font.setFixedPitch(true);
  }
  if (spec.PixelHeight > 0) font.setPixelSize(spec.PixelHeight);
  font.setBold(spec.Bold);
  return font;
}

TControl::TControl(QWidget* self) : self_(self) {}

void TControl::SetAlign(TAlign align) {
  align_ = align;
  Realign();
}

int TControl::Left() const { return self_->x(); }
int TControl::Top() const { return self_->y(); }
int TControl::Width() const { return self_->width(); }
int TControl::Height() const { return self_->height(); }

void TControl::SetBounds(int left, int top, int width, int height) {
  self_->setGeometry(left, top, std::max(0, width), std::max(0, height));
  Realign();
}

void TControl::SetWidth(int width) { SetBounds(Left(), Top(), width, Height()); }
void TControl::SetHeight(int height) { SetBounds(Left(), Top(), Width(), height); }

void TControl::AnchorRight(int margin) {
  rightMargin_ = margin;
  Realign();
}

bool TControl::Visible() const { return !self_->isHidden(); }

void TControl::SetVisible(bool visible) {
  self_->setVisible(visible);
  Realign();
}

void TControl::SetHint(const std::string& hint) {
  hint_ = hint;
  self_->setToolTip(BytesToQString(hint));
}

void TControl::SetPopupMenu(TPopupMenu* menu) {
  popup_ = menu;
  self_->setContextMenuPolicy(menu ? Qt::CustomContextMenu : Qt::DefaultContextMenu);
  if (!menu) return;
  QObject::disconnect(self_, &QWidget::customContextMenuRequested, nullptr, nullptr);
  QObject::connect(self_, &QWidget::customContextMenuRequested, self_, [this](const QPoint& pos) {
    if (!popup_) return;
    // A scroll area reports the place in its viewport.
    auto* area = qobject_cast<QAbstractScrollArea*>(self_);
    const QPoint global = area ? area->viewport()->mapToGlobal(pos) : self_->mapToGlobal(pos);
    popup_->Popup(global);
  });
}

void TControl::SetFont(const TFontSpec& spec) { self_->setFont(MakeFont(spec)); }

void TControl::SetFontColor(const QColor& color) {
  QPalette palette = self_->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::Text, color);
  self_->setPalette(palette);
}

void TControl::Realign() {
  if (QWidget* parent = self_->parentWidget()) ArrangeChildren(parent);
}

void MakeAlignContainer(QWidget* container, int inset) {
  container->setProperty(kInsetProperty, inset);
  container->installEventFilter(new AlignArranger(container));
}

void SetAlignInset(QWidget* container, int inset) {
  container->setProperty(kInsetProperty, inset);
  ArrangeChildren(container);
}

void ArrangeChildren(QWidget* container) {
  const QVariant insetValue = container->property(kInsetProperty);
  if (!insetValue.isValid()) return;  // not an aligning container
  const int inset = insetValue.toInt();
  QRect free = container->rect().adjusted(inset, inset, -inset, -inset);

  std::vector<TControl*> controls;
  for (QObject* child : container->children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (!widget || widget->isWindow() || widget->isHidden()) continue;
    if (auto* control = dynamic_cast<TControl*>(widget)) controls.push_back(control);
  }

  auto place = [](TControl* c, const QRect& r) {
    c->Widget()->setGeometry(r.x(), r.y(), std::max(0, r.width()), std::max(0, r.height()));
  };
  for (TControl* c : controls) {
    if (c->Align() != TAlign::alTop) continue;
    const int h = c->Height();
    place(c, QRect(free.left(), free.top(), free.width(), h));
    free.setTop(free.top() + h);
  }
  for (TControl* c : controls) {
    if (c->Align() != TAlign::alBottom) continue;
    const int h = c->Height();
    place(c, QRect(free.left(), free.bottom() + 1 - h, free.width(), h));
    free.setBottom(free.bottom() - h);
  }
  for (TControl* c : controls) {
    if (c->Align() != TAlign::alLeft) continue;
    const int w = c->Width();
    place(c, QRect(free.left(), free.top(), w, free.height()));
    free.setLeft(free.left() + w);
  }
  for (TControl* c : controls) {
    if (c->Align() != TAlign::alRight) continue;
    const int w = c->Width();
    place(c, QRect(free.right() + 1 - w, free.top(), w, free.height()));
    free.setRight(free.right() - w);
  }
  for (TControl* c : controls) {
    if (c->Align() == TAlign::alClient) place(c, free);
  }
  for (TControl* c : controls) {
    if (c->Align() != TAlign::alNone || c->RightMargin() < 0) continue;
    QWidget* w = c->Widget();
    w->move(container->width() - c->RightMargin() - w->width(), w->y());
  }
}

}  // namespace desktop

namespace desktop {

void Realize(QWidget* root) {
  if (QLayout* layout = root->layout()) {
    layout->invalidate();
    layout->activate();
  }
  if (auto* pages = dynamic_cast<TPageControl*>(root)) pages->LayOutPages();
  ArrangeChildren(root);
  for (QObject* child : root->children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget && !widget->isWindow()) Realize(widget);
  }
}

}  // namespace desktop
