#include "window/desktop/ComCtrls.h"

#include "platform/Exceptions.h"
#include "window/desktop/TextCodec.h"

#include <QPainter>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTabBar>

#include <algorithm>

namespace desktop {
namespace {

constexpr int kStatusBarPadding = 8;  // height over the font's line height
constexpr int kPanelTextMargin = 3;

}  // namespace

// ---- TPageControl ----

TPageControl::TPageControl(QWidget* parent) : QTabWidget(parent), TControl(this) {}

TPageControl::~TPageControl() {
  // The pages unregister themselves; they must go while the list lives.
  while (!pages_.empty()) delete pages_.back();
}

TTabSheet* TPageControl::Pages(int i) const {
  if (i < 0 || i >= PageCount()) throw platform::RangeError();
  return pages_[static_cast<size_t>(i)];
}

TTabSheet* TPageControl::ActivePage() const {
  return dynamic_cast<TTabSheet*>(currentWidget());
}

void TPageControl::SetActivePage(TTabSheet* page) {
  if (page && page->PageControl() == this) setCurrentWidget(page);
}

int TPageControl::ActivePageIndex() const {
  TTabSheet* page = ActivePage();
  return page ? page->PageIndex() : -1;
}

void TPageControl::SetActivePageIndex(int index) {
  if (index >= 0 && index < PageCount()) SetActivePage(pages_[static_cast<size_t>(index)]);
}

void TPageControl::SetTabsAtBottom(bool bottom) {
  setTabPosition(bottom ? QTabWidget::South : QTabWidget::North);
}

void TPageControl::LayOutPages() {
  QStyleOptionTabWidgetFrame option;
  initStyleOption(&option);
  const QRect contents = style()->subElementRect(QStyle::SE_TabWidgetTabContents, &option, this);
  if (auto* stack = findChild<QStackedWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    stack->setGeometry(contents);
    for (TTabSheet* page : pages_) page->setGeometry(QRect(QPoint(0, 0), contents.size()));
  }
}

// ---- TTabSheet ----

TTabSheet::TTabSheet(TPageControl* pageControl, const std::string& caption)
    : QWidget(pageControl), TControl(this), pageControl_(pageControl), caption_(caption) {
  MakeAlignContainer(this);
  pageControl_->pages_.push_back(this);
  pageControl_->addTab(this, BytesToQString(caption));
}

TTabSheet::~TTabSheet() {
  auto& pages = pageControl_->pages_;
  pages.erase(std::remove(pages.begin(), pages.end(), this), pages.end());
}

void TTabSheet::SetCaption(const std::string& caption) {
  caption_ = caption;
  const int index = pageControl_->indexOf(this);
  if (index >= 0) pageControl_->setTabText(index, BytesToQString(caption));
}

void TTabSheet::SetTabVisible(bool visible) {
  tabVisible_ = visible;
  const int index = pageControl_->indexOf(this);
  if (index >= 0) pageControl_->setTabVisible(index, visible);
}

int TTabSheet::PageIndex() const {
  const auto& pages = pageControl_->pages_;
  const auto it = std::find(pages.begin(), pages.end(), this);
  return it == pages.end() ? -1 : static_cast<int>(it - pages.begin());
}

// ---- TStatusBar ----

void TStatusPanel::SetText(const std::string& text) {
  text_ = text;
  bar_->PanelTextChanged(index_);
}

void TStatusPanel::SetWidth(int width) {
  width_ = std::max(0, width);
  bar_->update();
}

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent), TControl(this) {
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  resize(width(), fontMetrics().height() + kStatusBarPadding);
}

void TStatusBar::PaintHeld() {
  if (!held_) return;
  held_ = false;
  repaint();
}

TStatusPanel& TStatusBar::Panels(int i) {
  if (i < 0 || i >= PanelCount()) throw platform::RangeError();
  return *panels_[static_cast<size_t>(i)];
}

const TStatusPanel& TStatusBar::Panels(int i) const {
  if (i < 0 || i >= PanelCount()) throw platform::RangeError();
  return *panels_[static_cast<size_t>(i)];
}

TStatusPanel& TStatusBar::AddPanel(int width) {
  panels_.push_back(std::unique_ptr<TStatusPanel>(new TStatusPanel(this, PanelCount(), width)));
  update();
  return *panels_.back();
}

void TStatusBar::PanelTextChanged(int index) {
  if (OnPanelText) OnPanelText(index, panels_[static_cast<size_t>(index)]->Text());
  if (Pacer() != nullptr) {
    held_ = true;
    Pacer()->Changed();
    return;
  }
  // Paint now, not at the next idle moment: the caller may go on to block
  // in a network wait.
  repaint();
}

void TStatusBar::paintEvent(QPaintEvent* /*event*/) {
  ++paintCount_;
  paintedTexts_.resize(panels_.size());
  for (size_t i = 0; i < panels_.size(); ++i) paintedTexts_[i] = panels_[i]->Text();
  QPainter painter(this);
  painter.fillRect(rect(), palette().window());
  int x = 0;
  for (int i = 0; i < PanelCount(); ++i) {
    const TStatusPanel& panel = *panels_[static_cast<size_t>(i)];
    // The last panel reaches to the right edge.
    const int w = (i + 1 == PanelCount()) ? std::max(panel.Width(), width() - x) : panel.Width();
    const QRect cell(x, 1, w - 2, height() - 2);
    QStyleOptionFrame frame;
    frame.initFrom(this);
    frame.rect = cell;
    frame.lineWidth = 1;
    frame.state |= QStyle::State_Sunken;
    style()->drawPrimitive(QStyle::PE_Frame, &frame, &painter, this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(cell.adjusted(kPanelTextMargin, 0, -kPanelTextMargin, 0),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     BytesToQString(panel.Text()));
    x += w;
  }
}

}  // namespace desktop
