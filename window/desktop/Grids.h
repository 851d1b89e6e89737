// The string grid: RowCount x ColCount cells of text, the first FixedRows
// rows and FixedCols columns fixed (grey, never selected). Cells keep their
// text when the grid shrinks and show it again when it grows, and cells
// outside the grid can be written. Row 0, when fixed, is the title row.
#pragma once

#include "window/desktop/Controls.h"
#include "window/desktop/PaintPacer.h"

#include <QStyledItemDelegate>
#include <QTableView>

#include <map>
#include <string>
#include <utility>

namespace desktop {

class TGridModel;

struct TGridRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
};

// Pixels between a cell's edge and its text, as the desktop string grids
// this layer stands in for draw it (Qt's item views leave a style-given
// margin, 3 px a side, which costs a narrow column half a digit).
inline constexpr int kCellTextInset = 2;

// Draws a cell as those grids do: its text on one line, kCellTextInset px
// in from the cell's edges, cut at its end with an ellipsis when it is too
// long. Background, highlight and focus frame are the style's.
class TGridCellDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  // The rectangle inside `cell` that its text is drawn in.
  static QRect TextRect(const QRect& cell);
  // What is drawn of a cell whose text (decoded) is `text`, in `width` px.
  QString DrawnText(const QString& text, const QFontMetrics& metrics, int width) const;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 protected:
  // What of a cell's text is shown, and where in the text rectangle; by
  // default the whole text at the left.
  virtual QString Shown(const QString& text) const { return text; }
  virtual Qt::Alignment Alignment() const { return Qt::AlignLeft; }
};

// Right-aligned numbers: the blanks around the digits are not drawn, so a
// text padded to a fixed length ("%10d") shows all its digits in a column
// narrower than its blanks and digits together. A number too long for its
// cell is cut at its end ("12345…"), never at its start: what shows cannot
// be mistaken for a smaller number.
class TNumberCellDelegate : public TGridCellDelegate {
 public:
  using TGridCellDelegate::TGridCellDelegate;

 protected:
  QString Shown(const QString& text) const override { return text.trimmed(); }
  Qt::Alignment Alignment() const override { return Qt::AlignRight; }
};

class TStringGrid : public QTableView, public TControl, public TPacedControl {
 public:
  explicit TStringGrid(QWidget* parent);
  ~TStringGrid() override;

  int RowCount() const { return rowCount_; }
  void SetRowCount(int rows);
  int ColCount() const { return colCount_; }
  void SetColCount(int cols);
  int FixedRows() const { return fixedRows_; }
  void SetFixedRows(int rows);
  int FixedCols() const { return fixedCols_; }
  void SetFixedCols(int cols);

  int ColWidths(int col) const;
  void SetColWidths(int col, int width);
  int DefaultRowHeight() const { return defaultRowHeight_; }
  void SetDefaultRowHeight(int height);

  // Bytes, shown decoded; read back as written. Negative indices raise
  // platform::ERangeError; any other cell may be written.
  std::string Cells(int col, int row) const;
  void SetCells(int col, int row, const std::string& text);
  // Empties every cell from row `row` on, inside the grid or not.
  void EmptyRowsFrom(int row);

  // The selected rectangle (rows from the top row of the grid); with
  // nothing selected (a grid without data rows), the current cell.
  //
  // As in the desktop grids this one stands in for, what the grid shows
  // highlighted is its selection: while it has data rows, at least one is
  // selected, and the current cell is in a selected row (after start-up,
  // after rows went or came, whatever the user did). A press outside the
  // cells the user can select (below the last row, right of the last
  // column, on a fixed cell) changes neither selection nor current cell,
  // nor does a drag it starts.
  TGridRect Selection() const;
  // Selects rows top..bottom (whole rows) and makes top the current row.
  void SelectRows(int top, int bottom);
  int Row() const;
  void SetRow(int row);

  // While paced (SetPacer, see PaintPacer.h) written cells are shown when
  // the pacer says instead of at the next paint. Cells() reads the written
  // text at any time.
  void PaintHeld() override;

  // Where the text of a data cell is drawn and what of it shows, with the
  // grid's font, as its painting does.
  QRect CellTextRect(int col, int row) const;
  QString DrawnCellText(int col, int row) const;

  platform::TNotifyEvent OnDblClick;
  // What a double click of the left button does after the click has
  // selected its cell.
  void DblClick();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  friend class TGridModel;
  int ModelRowOf(int gridRow) const;
  int GridRowOf(int modelRow) const;
  bool TitleInHeader() const { return fixedRows_ > 0; }
  void UpdateHeader();

  // While a pacer holds repaints, rows top..bottom join the rows it shows
  // at its next paint; true then, false when nothing holds them.
  bool HoldRows(int top, int bottom);

  // Whether `pos` (in the viewport) is on a cell the user can select.
  bool OnSelectableCell(const QPoint& pos) const;
  // Restores the rule of Selection(): selects the current cell's row when
  // it is not selected, the first data row when there is no current cell.
  void KeepARowSelected();
  // While the rows, the columns or the selection change, the selection
  // model adjusts itself; once the outermost change is over, the grid keeps
  // a row selected.
  class Changing {
   public:
    explicit Changing(TStringGrid* grid);
    ~Changing();
    Changing(const Changing&) = delete;
    Changing& operator=(const Changing&) = delete;

   private:
    TStringGrid* grid_;
    bool outer_;
  };

  TGridModel* model_;
  std::map<std::pair<int, int>, std::string> cells_;  // (row, col)
  int rowCount_ = 5;
  int colCount_ = 5;
  int fixedRows_ = 1;
  int fixedCols_ = 1;
  int defaultRowHeight_ = 24;
  // Grid rows written while paced and not yet shown (none: top > bottom).
  int heldTop_ = 1;
  int heldBottom_ = 0;
  // The press being handled, and what follows it until its release, fell
  // outside the selectable cells.
  bool pressOutside_ = false;
  // Set while a Changing is alive.
  bool changing_ = false;
};

}  // namespace desktop
