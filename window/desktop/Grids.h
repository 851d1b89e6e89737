// The string grid: RowCount x ColCount cells of text, the first FixedRows
// rows and FixedCols columns fixed (grey, never selected). Cells keep their
// text when the grid shrinks and show it again when it grows, and cells
// outside the grid can be written. Row 0, when fixed, is the title row.
#pragma once

#include "window/desktop/Controls.h"
#include "window/desktop/PaintPacer.h"

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
  // nothing selected, the current cell.
  TGridRect Selection() const;
  // Selects rows top..bottom (whole rows) and makes top the current row.
  void SelectRows(int top, int bottom);
  int Row() const;
  void SetRow(int row);

  // While paced (SetPacer, see PaintPacer.h) written cells are shown when
  // the pacer says instead of at the next paint. Cells() reads the written
  // text at any time.
  void PaintHeld() override;

  platform::TNotifyEvent OnDblClick;
  // What a double click of the left button does after the click has
  // selected its cell.
  void DblClick();

 protected:
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
};

}  // namespace desktop
