#include "window/desktop/Grids.h"

#include "platform/Exceptions.h"
#include "window/desktop/Events.h"
#include "window/desktop/TextCodec.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QStyle>

#include <algorithm>

namespace desktop {
namespace {

constexpr int kDefaultColWidth = 64;

}  // namespace

// Shows the grid's rows below the title row; the title row itself is the
// view's horizontal header.
class TGridModel : public QAbstractTableModel {
 public:
  explicit TGridModel(TStringGrid* grid) : QAbstractTableModel(grid), grid_(grid) {}

  int rowCount(const QModelIndex& parent) const override {
    if (parent.isValid()) return 0;
    return std::max(0, grid_->rowCount_ - (grid_->TitleInHeader() ? 1 : 0));
  }
  int columnCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : grid_->colCount_;
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid()) return {};
    const int row = grid_->GridRowOf(index.row());
    const int col = index.column();
    if (role == Qt::DisplayRole) return BytesToQString(grid_->Cells(col, row));
    if (role == Qt::BackgroundRole && IsFixed(row, col))
      return QApplication::palette().brush(QPalette::Button);
    return {};
  }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && grid_->TitleInHeader())
      return BytesToQString(grid_->Cells(section, 0));
    return {};
  }

  Qt::ItemFlags flags(const QModelIndex& index) const override {
    if (!index.isValid()) return Qt::NoItemFlags;
    if (IsFixed(grid_->GridRowOf(index.row()), index.column())) return Qt::ItemIsEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  }

  bool IsFixed(int row, int col) const { return row < grid_->fixedRows_ || col < grid_->fixedCols_; }

  void CellChanged(int col, int row) {
    if (row == 0 && grid_->TitleInHeader()) {
      emit headerDataChanged(Qt::Horizontal, col, col);
      return;
    }
    const int m = grid_->ModelRowOf(row);
    if (m < 0 || m >= rowCount({}) || col >= columnCount({})) return;
    const QModelIndex i = index(m, col);
    emit dataChanged(i, i, {Qt::DisplayRole});
  }

  // Grid rows top..bottom changed, cut to what the grid now has.
  void RowsChanged(int top, int bottom) {
    if (top == 0 && grid_->TitleInHeader() && columnCount({}) > 0)
      emit headerDataChanged(Qt::Horizontal, 0, columnCount({}) - 1);
    const int first = std::max(0, grid_->ModelRowOf(top));
    const int last = std::min(rowCount({}) - 1, grid_->ModelRowOf(bottom));
    if (first > last || columnCount({}) == 0) return;
    emit dataChanged(index(first, 0), index(last, columnCount({}) - 1), {Qt::DisplayRole});
  }

  void Resize(int oldRows, int newRows, int oldCols, int newCols) {
    TStringGrid::Changing changing(grid_);
    if (newRows > oldRows) {
      beginInsertRows({}, oldRows, newRows - 1);
      Apply();
      endInsertRows();
    } else if (newRows < oldRows) {
      beginRemoveRows({}, newRows, oldRows - 1);
      Apply();
      endRemoveRows();
    }
    if (newCols > oldCols) {
      beginInsertColumns({}, oldCols, newCols - 1);
      Apply();
      endInsertColumns();
    } else if (newCols < oldCols) {
      beginRemoveColumns({}, newCols, oldCols - 1);
      Apply();
      endRemoveColumns();
    }
  }

  void Reset() {
    TStringGrid::Changing changing(grid_);
    beginResetModel();
    Apply();
    endResetModel();
  }

  // The pending sizes, applied between the begin and end notifications.
  int pendingRows = 0;
  int pendingCols = 0;

 private:
  void Apply() {
    grid_->rowCount_ = pendingRows;
    grid_->colCount_ = pendingCols;
  }
  TStringGrid* grid_;
};

// ---- TGridCellDelegate ----

QRect TGridCellDelegate::TextRect(const QRect& cell) {
  return cell.adjusted(kCellTextInset, 0, -kCellTextInset, 0);
}

QString TGridCellDelegate::DrawnText(const QString& text, const QFontMetrics& metrics, int width) const {
  const QString shown = Shown(text);
  if (metrics.horizontalAdvance(shown) <= width) return shown;
  return metrics.elidedText(shown, Qt::ElideRight, width);
}

void TGridCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  const QString text = opt.text;
  // The style draws the cell without its text: background, highlight and
  // focus frame stay as the desktop draws them.
  opt.text.clear();
  const QWidget* widget = opt.widget;
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

  const QRect area = TextRect(opt.rect);
  const QString drawn = DrawnText(text, QFontMetrics(opt.font), area.width());
  if (drawn.isEmpty()) return;
  QPalette::ColorGroup group = QPalette::Normal;
  if (!(opt.state & QStyle::State_Enabled))
    group = QPalette::Disabled;
  else if (!(opt.state & QStyle::State_Active))
    group = QPalette::Inactive;
  const bool selected = (opt.state & QStyle::State_Selected) != 0;
  painter->save();
  painter->setClipRect(opt.rect);
  painter->setFont(opt.font);
  painter->setPen(opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
  painter->drawText(area, static_cast<int>(Alignment() | Qt::AlignVCenter) | Qt::TextSingleLine, drawn);
  painter->restore();
}

// ---- TStringGrid ----

TStringGrid::TStringGrid(QWidget* parent) : QTableView(parent), TControl(this) {
  model_ = new TGridModel(this);
  setModel(model_);
  setItemDelegate(new TGridCellDelegate(this));
  // Whatever takes the whole selection away (nothing the user can do
  // should), a row stays highlighted for the double click to act on.
  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    if (!selectionModel()->hasSelection()) KeepARowSelected();
  });
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setMinimumSectionSize(1);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  horizontalHeader()->setDefaultSectionSize(kDefaultColWidth);
  horizontalHeader()->setMinimumSectionSize(1);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setSectionsClickable(false);
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ContiguousSelection);
  setShowGrid(true);
  setWordWrap(false);
  setCornerButtonEnabled(false);
  SetDefaultRowHeight(defaultRowHeight_);
  UpdateHeader();
  KeepARowSelected();
}

TStringGrid::~TStringGrid() = default;

void TStringGrid::PaintHeld() {
  if (heldTop_ > heldBottom_) return;
  int top = heldTop_, bottom = heldBottom_;
  heldTop_ = 1;
  heldBottom_ = 0;
  if (isVisible() && !(top == 0 && TitleInHeader())) {
    // Rows out of sight are read when they scroll in; a notice for them
    // would only repaint the rows in sight.
    const int first = rowAt(0);
    const int last = rowAt(viewport()->height() - 1);
    if (first >= 0) top = std::max(top, GridRowOf(first));
    if (last >= 0) bottom = std::min(bottom, GridRowOf(last));
    if (top > bottom) return;
  }
  model_->RowsChanged(top, bottom);
}

int TStringGrid::ModelRowOf(int gridRow) const { return gridRow - (TitleInHeader() ? 1 : 0); }
int TStringGrid::GridRowOf(int modelRow) const { return modelRow + (TitleInHeader() ? 1 : 0); }

void TStringGrid::UpdateHeader() {
  horizontalHeader()->setVisible(TitleInHeader());
  horizontalHeader()->setFixedHeight(defaultRowHeight_ + 1);
}

void TStringGrid::SetRowCount(int rows) {
  if (rows < 0) throw platform::RangeError();
  if (rows < fixedRows_) SetFixedRows(rows);
  const int title = TitleInHeader() ? 1 : 0;
  model_->pendingRows = rows;
  model_->pendingCols = colCount_;
  model_->Resize(std::max(0, rowCount_ - title), std::max(0, rows - title), colCount_, colCount_);
}

void TStringGrid::SetColCount(int cols) {
  if (cols < 0) throw platform::RangeError();
  if (cols < fixedCols_) fixedCols_ = cols;
  const int title = TitleInHeader() ? 1 : 0;
  model_->pendingRows = rowCount_;
  model_->pendingCols = cols;
  const int rows = std::max(0, rowCount_ - title);
  model_->Resize(rows, rows, colCount_, cols);
}

void TStringGrid::SetFixedRows(int rows) {
  if (rows < 0) throw platform::RangeError();
  model_->pendingRows = rowCount_;
  model_->pendingCols = colCount_;
  fixedRows_ = std::min(rows, rowCount_);
  model_->Reset();
  UpdateHeader();
}

void TStringGrid::SetFixedCols(int cols) {
  if (cols < 0) throw platform::RangeError();
  model_->pendingRows = rowCount_;
  model_->pendingCols = colCount_;
  fixedCols_ = std::min(cols, colCount_);
  model_->Reset();
}

int TStringGrid::ColWidths(int col) const {
  if (col < 0 || col >= colCount_) throw platform::RangeError();
  return columnWidth(col);
}

void TStringGrid::SetColWidths(int col, int width) {
  if (col < 0 || col >= colCount_) throw platform::RangeError();
  setColumnWidth(col, std::max(0, width));
}

void TStringGrid::SetDefaultRowHeight(int height) {
  defaultRowHeight_ = std::max(1, height);
  verticalHeader()->setDefaultSectionSize(defaultRowHeight_);
  UpdateHeader();
}

std::string TStringGrid::Cells(int col, int row) const {
  if (col < 0 || row < 0) throw platform::RangeError();
  const auto it = cells_.find({row, col});
  return it == cells_.end() ? std::string() : it->second;
}

void TStringGrid::SetCells(int col, int row, const std::string& text) {
  if (col < 0 || row < 0) throw platform::RangeError();
  if (text.empty())
    cells_.erase({row, col});
  else
    cells_[{row, col}] = text;
  if (HoldRows(row, row)) return;
  model_->CellChanged(col, row);
}

void TStringGrid::EmptyRowsFrom(int row) {
  if (row < 0) throw platform::RangeError();
  cells_.erase(cells_.lower_bound({row, 0}), cells_.end());
  const int bottom = rowCount_ - 1;
  if (row > bottom) return;
  if (HoldRows(row, bottom)) return;
  model_->RowsChanged(row, bottom);
}

bool TStringGrid::HoldRows(int top, int bottom) {
  if (Pacer() == nullptr) return false;
  if (heldTop_ > heldBottom_) {
    heldTop_ = top;
    heldBottom_ = bottom;
  } else {
    heldTop_ = std::min(heldTop_, top);
    heldBottom_ = std::max(heldBottom_, bottom);
  }
  Pacer()->Changed();
  return true;
}

TGridRect TStringGrid::Selection() const {
  const QModelIndexList selected = selectionModel()->selectedIndexes();
  if (selected.isEmpty()) {
    const int row = Row();
    const QModelIndex current = currentIndex();
    const int col = current.isValid() ? current.column() : fixedCols_;
    return {col, row, col, row};
  }
  TGridRect r{colCount_, rowCount_, -1, -1};
  for (const QModelIndex& i : selected) {
    const int row = GridRowOf(i.row());
    r.Left = std::min(r.Left, i.column());
    r.Right = std::max(r.Right, i.column());
    r.Top = std::min(r.Top, row);
    r.Bottom = std::max(r.Bottom, row);
  }
  return r;
}

void TStringGrid::SelectRows(int top, int bottom) {
  if (top > bottom) std::swap(top, bottom);
  const int mt = ModelRowOf(top);
  const int mb = ModelRowOf(bottom);
  const int rows = model_->rowCount({});
  if (mt < 0 || mb >= rows || colCount_ == 0) return;
  const QItemSelection selection(model_->index(mt, 0), model_->index(mb, colCount_ - 1));
  // Selection and current cell change as one.
  Changing changing(this);
  selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
  selectionModel()->setCurrentIndex(model_->index(mt, std::min(fixedCols_, colCount_ - 1)),
                                    QItemSelectionModel::NoUpdate);
}

int TStringGrid::Row() const {
  const QModelIndex current = currentIndex();
  return current.isValid() ? GridRowOf(current.row()) : fixedRows_;
}

void TStringGrid::SetRow(int row) { SelectRows(row, row); }

TStringGrid::Changing::Changing(TStringGrid* grid) : grid_(grid), outer_(!grid->changing_) { grid_->changing_ = true; }

TStringGrid::Changing::~Changing() {
  if (!outer_) return;
  grid_->changing_ = false;
  grid_->KeepARowSelected();
}

void TStringGrid::KeepARowSelected() {
  if (changing_) return;
  const int rows = model_->rowCount({});
  if (rows == 0 || fixedCols_ >= colCount_) return;  // nothing the user can select
  const QModelIndex current = currentIndex();
  if (current.isValid() && selectionModel()->isRowSelected(current.row(), {})) return;
  const int row = current.isValid() ? GridRowOf(current.row()) : GridRowOf(0);
  SelectRows(row, row);
}

bool TStringGrid::OnSelectableCell(const QPoint& pos) const {
  const QModelIndex index = indexAt(pos);
  return index.isValid() && (model_->flags(index) & Qt::ItemIsSelectable);
}

QRect TStringGrid::CellTextRect(int col, int row) const {
  const QModelIndex index = model_->index(ModelRowOf(row), col);
  if (!index.isValid()) return {};
  return TGridCellDelegate::TextRect(visualRect(index));
}

QString TStringGrid::DrawnCellText(int col, int row) const {
  const QModelIndex index = model_->index(ModelRowOf(row), col);
  if (!index.isValid()) return {};
  const QString text = model_->data(index, Qt::DisplayRole).toString();
  const auto* delegate = dynamic_cast<const TGridCellDelegate*>(itemDelegateForIndex(index));
  if (delegate == nullptr) return text;
  return delegate->DrawnText(text, QFontMetrics(font()), CellTextRect(col, row).width());
}

void TStringGrid::mousePressEvent(QMouseEvent* event) {
  pressOutside_ = !OnSelectableCell(event->position().toPoint());
  if (pressOutside_) return;
  QTableView::mousePressEvent(event);
}

void TStringGrid::mouseMoveEvent(QMouseEvent* event) {
  // A drag from outside the cells would select from where the last press
  // on a cell was.
  if (pressOutside_ && event->buttons() != Qt::NoButton) return;
  QTableView::mouseMoveEvent(event);
}

void TStringGrid::mouseReleaseEvent(QMouseEvent* event) {
  // Qt takes a release outside the cells after a press there for a click
  // that clears the selection.
  if (pressOutside_) {
    pressOutside_ = false;
    return;
  }
  QTableView::mouseReleaseEvent(event);
}

void TStringGrid::DblClick() { Fire(OnDblClick, this); }

void TStringGrid::mouseDoubleClickEvent(QMouseEvent* event) {
  // Outside the selectable cells the double click acts on the selection as
  // it is: Qt would take it for a press there.
  pressOutside_ = !OnSelectableCell(event->position().toPoint());
  if (!pressOutside_) QTableView::mouseDoubleClickEvent(event);
  // The double click of the left button only: the others (the right one
  // opens the popup menu) are no command on the row.
  if (event->button() == Qt::LeftButton) DblClick();
}

}  // namespace desktop
