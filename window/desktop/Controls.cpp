#include "window/desktop/Controls.h"

#include "window/desktop/ComCtrls.h"
#include "window/desktop/Menus.h"
#include "window/desktop/TextCodec.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
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

QString PickFixedPitchFamily(const QStringList& candidates, const std::function<bool(const QString&)>& usable) {
  for (const QString& family : candidates)
    if (!family.isEmpty() && usable(family)) return family;
  return {};
}

bool IsFixedPitchFace(const QString& family) {
  QFont font(family);
  font.setStyleHint(QFont::TypeWriter);
  const QFontInfo info(font);
  // A missing face resolves to some other one.
  if (info.family() != family) return false;
  if (info.fixedPitch()) return true;
  // Qt takes the flag from fontconfig, which leaves it off for some
  // monospace faces (Noto Sans Mono): equal glyph widths tell as well.
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(QLatin1Char('i'));
  return width > 0 && metrics.horizontalAdvance(QLatin1Char('W')) == width &&
         metrics.horizontalAdvance(QLatin1Char('m')) == width && metrics.horizontalAdvance(QLatin1Char('.')) == width;
}

QString FixedPitchFamily() {
  static const QString chosen = [] {
    const QString desktopFixed = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    QStringList candidates{QString::fromLatin1(kPreferredFixedFamily), desktopFixed};
    candidates += QFontDatabase::families();
    const QString picked = PickFixedPitchFamily(candidates, IsFixedPitchFace);
    return picked.isEmpty() ? desktopFixed : picked;
  }();
  return chosen;
}

QString SansSerifFamily() {
  static const QString chosen = [] {
    const QString preferred = QString::fromLatin1(kPreferredSansFamily);
    // A missing face resolves to some other one.
    if (QFontInfo(QFont(preferred)).family() == preferred) return preferred;
    return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
  }();
  return chosen;
}

void InstallFontSubstitutes() {
  QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), SansSerifFamily());
  QFont::insertSubstitution(QStringLiteral("Lucida Console"), FixedPitchFamily());
}

QFont MakeFont(const TFontSpec& spec) {
  QFont font;
  if (!spec.Name.empty()) {
    if (IsMonospaceName(spec.Name)) {
      font.setFamilies({FixedPitchFamily()});
      font.setStyleHint(QFont::TypeWriter);
      font.setFixedPitch(true);
    } else {
      // The stand-in comes next, so the face does not depend on what the
      // desktop's own matching makes of a name it lacks.
      font.setFamilies({QString::fromStdString(spec.Name), SansSerifFamily()});
      font.setStyleHint(QFont::SansSerif);
    }
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
