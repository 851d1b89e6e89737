// What every visible control of the layer has: a name, a place in its
// parent (aligned to an edge, filling the rest, or at fixed bounds), a
// hint, a popup menu and a font. The controls derive from the Qt widget
// they show as and from TControl.
#pragma once

#include "platform/Component.h"

#include <QColor>
#include <QFont>
#include <QWidget>

#include <functional>
#include <string>

namespace desktop {

class TPopupMenu;

enum class TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };

struct TFontSpec {
  std::string Name;     // asked for by name; a missing face is substituted
  int PixelHeight = 0;  // character height in pixels, 0 = inherit
  bool Bold = false;
};

// The faces the forms ask for by name are not on every desktop: map them to
// SansSerifFamily() and to FixedPitchFamily(). Called once at start-up.
void InstallFontSubstitutes();
// A face asked for by a monospace name ("Lucida Console", "Courier New" ...)
// comes out as FixedPitchFamily(), whatever the desktop has under that name;
// any other name, when the desktop has no such face, as SansSerifFamily().
QFont MakeFont(const TFontSpec& spec);

// The face that stands in for the forms' proportional faces ("MS Sans
// Serif", Arial), chosen once: kPreferredSansFamily (installed by the
// set-up) when the desktop really gives that face, else the desktop's own
// sans-serif face. Its metrics are those of the faces the window's layout
// was made for (digits 0.556 em): the desktop's usual sans-serif faces are
// wider (DejaVu Sans: digits 0.636 em), which cuts numbers in narrow
// columns.
QString SansSerifFamily();
inline constexpr const char* kPreferredSansFamily = "Liberation Sans";

// The first of the candidates that is usable, or an empty text.
QString PickFixedPitchFamily(const QStringList& candidates, const std::function<bool(const QString&)>& usable);
// Whether the desktop has the face under its own name and it is fixed-pitch,
// by Qt's flag or by equal glyph widths.
bool IsFixedPitchFace(const QString& family);
// The face monospace text is shown in, chosen once: the first of
// kPreferredFixedFamily (installed by the set-up), the desktop's fixed font
// and every other installed face that IsFixedPitchFace accepts. Without any
// such face, the desktop's fixed font.
QString FixedPitchFamily();
inline constexpr const char* kPreferredFixedFamily = "DejaVu Sans Mono";

class TControl : public platform::TObject {
 public:
  explicit TControl(QWidget* self);
  ~TControl() override = default;
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

  QWidget* Widget() const { return self_; }

  std::string Name;

  TAlign Align() const { return align_; }
  void SetAlign(TAlign align);

  int Left() const;
  int Top() const;
  int Width() const;
  int Height() const;
  void SetBounds(int left, int top, int width, int height);
  void SetWidth(int width);
  void SetHeight(int height);
  // Keeps the control's right edge `margin` pixels from its parent's right
  // edge whenever the parent is arranged (a control anchored to the right).
  void AnchorRight(int margin);

  bool Visible() const;
  void SetVisible(bool visible);

  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& hint);

  TPopupMenu* PopupMenu() const { return popup_; }
  void SetPopupMenu(TPopupMenu* menu);

  void SetFont(const TFontSpec& spec);
  void SetFontColor(const QColor& color);

  int RightMargin() const { return rightMargin_; }

 protected:
  // Arranges the parent's aligned children again after a change of place.
  void Realign();

 private:
  QWidget* self_;
  TAlign align_ = TAlign::alNone;
  int rightMargin_ = -1;
  std::string hint_;
  TPopupMenu* popup_ = nullptr;
};

// Makes `container` arrange its aligned children whenever it is resized:
// top strips first (in the order they were made), then bottom strips, then
// left and right columns in the space between, and the client control takes
// what is left. `inset` pixels on every side stay free (border and bevel).
void MakeAlignContainer(QWidget* container, int inset = 0);
void SetAlignInset(QWidget* container, int inset);
void ArrangeChildren(QWidget* container);

// Lays out the whole tree under `root` now, also while it is hidden (Qt
// sizes hidden widgets only when they are first shown), so the sizes of
// controls can be read right after a form is made.
void Realize(QWidget* root);

}  // namespace desktop
