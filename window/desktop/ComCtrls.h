// The page control with its tab pages, and the status bar with panels.
#pragma once

#include "window/desktop/Controls.h"
#include "window/desktop/PaintPacer.h"

#include <QTabWidget>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace desktop {

class TTabSheet;

class TPageControl : public QTabWidget, public TControl {
 public:
  explicit TPageControl(QWidget* parent);
  ~TPageControl() override;

  // Pages in the order they were made; the index of the first is 0.
  int PageCount() const { return static_cast<int>(pages_.size()); }
  TTabSheet* Pages(int i) const;
  TTabSheet* ActivePage() const;
  void SetActivePage(TTabSheet* page);
  int ActivePageIndex() const;
  void SetActivePageIndex(int index);
  void SetTabsAtBottom(bool bottom);
  // Gives every page its place now, also while the control is hidden (the
  // tab widget does so only once it is shown).
  void LayOutPages();

 private:
  friend class TTabSheet;
  std::vector<TTabSheet*> pages_;
};

// A page of a page control; it arranges its aligned children.
class TTabSheet : public QWidget, public TControl {
 public:
  TTabSheet(TPageControl* pageControl, const std::string& caption);
  ~TTabSheet() override;

  TPageControl* PageControl() const { return pageControl_; }
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  bool TabVisible() const { return tabVisible_; }
  void SetTabVisible(bool visible);
  int PageIndex() const;

 private:
  TPageControl* pageControl_;
  std::string caption_;
  bool tabVisible_ = true;
};

class TStatusBar;

class TStatusPanel {
 public:
  const std::string& Text() const { return text_; }
  // The new text shows at once: the bar is repainted before this returns,
  // so it is seen even while a network wait runs.
  void SetText(const std::string& text);
  int Width() const { return width_; }
  void SetWidth(int width);

 private:
  friend class TStatusBar;
  TStatusPanel(TStatusBar* bar, int index, int width) : bar_(bar), index_(index), width_(width) {}
  TStatusBar* bar_;
  int index_;
  int width_;
  std::string text_;
};

class TStatusBar : public QWidget, public TControl, public TPacedControl {
 public:
  explicit TStatusBar(QWidget* parent);

  int PanelCount() const { return static_cast<int>(panels_.size()); }
  // Raises platform::ERangeError for an index that names no panel.
  TStatusPanel& Panels(int i);
  const TStatusPanel& Panels(int i) const;
  TStatusPanel& AddPanel(int width);

  // Told of every text written into a panel, in order (for tests).
  std::function<void(int panel, const std::string& text)> OnPanelText;
  // How often the bar has been painted (for tests).
  int PaintCount() const { return paintCount_; }
  // The panel texts as the last paint drew them (for tests).
  const std::vector<std::string>& PaintedTexts() const { return paintedTexts_; }

  // While paced (SetPacer, see PaintPacer.h) a new panel text is painted
  // when the pacer says instead of at once.
  void PaintHeld() override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  friend class TStatusPanel;
  void PanelTextChanged(int index);
  std::vector<std::unique_ptr<TStatusPanel>> panels_;
  int paintCount_ = 0;
  std::vector<std::string> paintedTexts_;
  bool held_ = false;  // a text changed since the last paint while paced
};

}  // namespace desktop
