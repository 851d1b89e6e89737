// The terms of the controls that the window and its session rely on: grid
// rows and cells, the grid's highlight as the row its double click acts on,
// number cells and the faces they are drawn in, status-bar panels that
// paint at once, progress painted at screen rate when paced, menus and
// actions, spin edits, list boxes, pages, the timer, and the aligned layout.
#include "platform/Exceptions.h"
#include "window/desktop/ComCtrls.h"
#include "window/desktop/Dialogs.h"
#include "window/desktop/Forms.h"
#include "window/desktop/Grids.h"
#include "window/desktop/Menus.h"
#include "window/desktop/PaintPacer.h"
#include "window/desktop/StdCtrls.h"
#include "window/desktop/Timer.h"

#include <QAction>
#include <QFontInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QtTest>

#include <chrono>
#include <memory>
#include <string>

using namespace desktop;

class ControlsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InitializeDesktop(); }

  void gridRowsCellsAndTitleRow() {
    TStringGrid grid(nullptr);
    grid.SetColCount(5);
    grid.SetRowCount(2);
    grid.SetFixedCols(2);
    grid.SetFixedRows(1);
    grid.SetCells(0, 1, "1");
    grid.SetCells(3, 1, "Betreff \xfc");
    QCOMPARE(grid.Cells(3, 1), std::string("Betreff \xfc"));
    QCOMPARE(grid.model()->index(0, 3).data().toString(), QString::fromUtf8("Betreff ü"));
    QCOMPARE(grid.model()->rowCount(), 1);  // the title row is the header

    // Cells outside the grid can be written and show once the grid grows;
    // shrinking keeps the text of the rows it hides.
    grid.SetCells(4, 3, "later");
    grid.SetRowCount(1);
    QCOMPARE(grid.model()->rowCount(), 0);
    QVERIFY(grid.horizontalHeader()->isVisibleTo(&grid));
    QCOMPARE(grid.Cells(3, 1), std::string("Betreff \xfc"));
    grid.SetRowCount(4);
    QCOMPARE(grid.model()->index(2, 4).data().toString(), QString("later"));
    QCOMPARE(grid.model()->index(0, 3).data().toString(), QString::fromUtf8("Betreff ü"));
    grid.SetCells(4, 3, "");
    QCOMPARE(grid.Cells(4, 3), std::string());

    // Emptying from a row on takes the rows out of sight too; the rows
    // above keep their text.
    grid.SetCells(0, 0, "Nr");
    grid.SetCells(1, 2, "zwei");
    grid.SetCells(0, 9, "neun");
    grid.EmptyRowsFrom(2);
    QCOMPARE(grid.Cells(0, 0), std::string("Nr"));
    QCOMPARE(grid.Cells(3, 1), std::string("Betreff \xfc"));
    QCOMPARE(grid.Cells(1, 2), std::string());
    QCOMPARE(grid.Cells(0, 9), std::string());
    QCOMPARE(grid.model()->index(1, 1).data().toString(), QString());
    grid.SetRowCount(10);
    QCOMPARE(grid.model()->index(8, 0).data().toString(), QString());
    QCOMPARE(grid.RowCount(), 10);

    // Fixed columns are never selected.
    QVERIFY(!(grid.model()->flags(grid.model()->index(0, 1)) & Qt::ItemIsSelectable));
    QVERIFY(grid.model()->flags(grid.model()->index(0, 2)) & Qt::ItemIsSelectable);
    QVERIFY_THROWS_EXCEPTION(platform::ERangeError, grid.Cells(-1, 0));
    QVERIFY_THROWS_EXCEPTION(platform::ERangeError, grid.SetRowCount(-1));
  }

  void gridWidthsHeightsAndSelection() {
    TStringGrid grid(nullptr);
    grid.resize(600, 300);
    grid.SetColCount(5);
    grid.SetRowCount(13);
    grid.SetFixedCols(2);
    grid.SetDefaultRowHeight(14);
    grid.SetColWidths(0, 32);
    grid.SetColWidths(3, (grid.Width() - 120) / 2);
    QCOMPARE(grid.ColWidths(0), 32);
    QCOMPARE(grid.ColWidths(3), 240);
    QCOMPARE(grid.rowHeight(0), 14);
    QCOMPARE(grid.Selection().Top, 1);  // nothing chosen yet: the first data row
    grid.SelectRows(7, 4);
    QCOMPARE(grid.Selection().Top, 4);
    QCOMPARE(grid.Selection().Bottom, 7);
    QCOMPARE(grid.Row(), 4);
    grid.SetRow(9);
    QCOMPARE(grid.Selection().Top, 9);
    QCOMPARE(grid.Selection().Bottom, 9);
    // Resizing the grid leaves the column widths alone.
    grid.resize(900, 300);
    QCOMPARE(grid.ColWidths(3), 240);
  }

  void gridDoubleClickSeesTheClickedRow() {
    TStringGrid grid(nullptr);
    grid.resize(400, 300);
    grid.SetColCount(5);
    grid.SetRowCount(6);
    grid.SetFixedCols(2);
    grid.SetDefaultRowHeight(14);
    int clicks = 0;
    int topRow = -1;
    grid.OnDblClick = [&](platform::TObject* sender) {
      QCOMPARE(sender, static_cast<platform::TObject*>(&grid));
      ++clicks;
      topRow = grid.Selection().Top;
    };
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    const QRect cell = grid.visualRect(grid.model()->index(2, 3));  // grid row 3
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(grid.viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(clicks, 1);
    QCOMPARE(topRow, 3);
  }

  // What the grid shows highlighted is what the double click acts on, after
  // any gesture of mouse or keyboard and after rows went or came: the
  // highlighted rows are the selection, the current cell is in one of
  // them, and a real double click below the last row reports the top one.
  // A press outside the selectable cells (below the rows, right of the last
  // column, on a fixed cell) moves neither, nor does a drag it starts.
  void gridHighlightIsWhatTheDoubleClickActsOn_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<int>>("highlighted");
    auto row = [](const char* name, const QStringList& steps, const QList<int>& rows) {
      QTest::newRow(name) << steps << rows;
    };
    row("nothing clicked yet", {}, {1});
    row("click below the last row", {"click 3", "click below"}, {3});
    row("click right of the last column", {"click 3", "click right"}, {3});
    row("click on a fixed cell", {"click 3", "click fixed 5"}, {3});
    row("drag from below into the rows", {"click 3", "drag below 1"}, {3});
    row("shift click below", {"click 3", "shift below"}, {3});
    row("ctrl click below", {"click 3", "ctrl below"}, {3});
    row("ctrl click the selected row", {"click 3", "ctrl 3"}, {3});
    row("ctrl click another row", {"click 3", "ctrl 5"}, {3, 4, 5});
    row("shift click", {"click 3", "shift 6"}, {3, 4, 5, 6});
    row("range dragged upwards", {"drag 6 3"}, {3, 4, 5, 6});
    row("arrow keys", {"click 3", "down", "down"}, {5});
    row("range by keyboard", {"click 3", "shift+down", "shift+down"}, {3, 4, 5});
    row("fewer rows", {"click 7", "rows 4"}, {4});
    row("fewer rows, then more again", {"click 7", "rows 4", "rows 8"}, {4});
    row("only the title row, then rows again", {"click 3", "rows 0", "rows 8"}, {1});
  }
  void gridHighlightIsWhatTheDoubleClickActsOn() {
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, highlighted);
    TStringGrid grid(nullptr);
    grid.resize(400, 300);  // five columns of 64 px leave room at the right
    grid.SetColCount(5);
    grid.SetRowCount(9);
    grid.SetFixedCols(2);
    grid.SetDefaultRowHeight(14);
    std::vector<int> doubleClicked;
    grid.OnDblClick = [&](platform::TObject*) { doubleClicked.push_back(grid.Selection().Top); };
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    QWidget* view = grid.viewport();
    auto cell = [&](int row, int col) { return grid.visualRect(grid.model()->index(row - 1, col)).center(); };
    const QPoint below(cell(1, 3).x(), view->height() - 4);
    const QPoint right(view->width() - 4, cell(2, 3).y());
    QVERIFY(grid.indexAt(right).isValid() == false && grid.indexAt(below).isValid() == false);
    auto place = [&](const QString& where) {
      if (where == "below") return below;
      if (where == "right") return right;
      return cell(where.toInt(), 3);
    };
    auto drag = [&](const QPoint& from, const QPoint& to) {
      QTest::mousePress(view, Qt::LeftButton, {}, from);
      QMouseEvent move(QEvent::MouseMove, QPointF(to), view->mapToGlobal(QPointF(to)), Qt::NoButton,
                       Qt::LeftButton, {});
      QApplication::sendEvent(view, &move);
      QTest::mouseRelease(view, Qt::LeftButton, {}, to);
    };
    grid.setFocus();
    for (const QString& step : steps) {
      const QStringList w = step.split(' ');
      if (w[0] == "click" && w[1] == "fixed")
        QTest::mouseClick(view, Qt::LeftButton, {}, cell(w[2].toInt(), 0));
      else if (w[0] == "click")
        QTest::mouseClick(view, Qt::LeftButton, {}, place(w[1]));
      else if (w[0] == "ctrl")
        QTest::mouseClick(view, Qt::LeftButton, Qt::ControlModifier, place(w[1]));
      else if (w[0] == "shift")
        QTest::mouseClick(view, Qt::LeftButton, Qt::ShiftModifier, place(w[1]));
      else if (w[0] == "drag")
        drag(place(w[1]), place(w[2]));
      else if (w[0] == "down")
        QTest::keyClick(&grid, Qt::Key_Down);
      else if (w[0] == "shift+down")
        QTest::keyClick(&grid, Qt::Key_Down, Qt::ShiftModifier);
      else if (w[0] == "rows")
        grid.SetRowCount(w[1].toInt() + 1);
      else
        QFAIL(qPrintable("unknown step " + step));
    }
    auto shown = [&] {
      QList<int> rows;
      for (int m = 0; m < grid.model()->rowCount(); ++m)
        if (grid.selectionModel()->isRowSelected(m, {})) rows << m + 1;
      return rows;
    };
    QCOMPARE(shown(), highlighted);
    QVERIFY2(highlighted.contains(grid.Row()), qPrintable(QString::number(grid.Row())));
    QTest::mouseDClick(view, Qt::LeftButton, {}, below);
    QCOMPARE(doubleClicked, std::vector<int>{highlighted.first()});
    QCOMPARE(shown(), highlighted);
    QCOMPARE(grid.Selection().Top, highlighted.first());
  }

  // Numbers right-aligned in a narrow column, as the window's size column:
  // in the forms' face the seven digits of a "%10d" text fit 48 px, its
  // blanks taking no room, and a number too long is cut at its end, never
  // at its start. The grid paints what it says it draws, where it says.
  void numberCellsShowTheirLeadingDigits() {
    TStringGrid grid(nullptr);
    grid.setFont(MakeFont({"MS Sans Serif", 11, false}));
    grid.resize(300, 200);
    grid.SetColCount(3);
    grid.SetRowCount(7);
    grid.SetFixedCols(1);
    grid.SetDefaultRowHeight(14);
    grid.SetColWidths(1, 48);
    grid.setItemDelegateForColumn(1, new TNumberCellDelegate(&grid));
    // Row 1 stays empty: it is the highlighted one.
    const QStringList texts = {"   9999999", "    179470", "1234567890", "         0", "-2147483648"};
    for (int i = 0; i < texts.size(); ++i) grid.SetCells(1, i + 2, texts[i].toStdString());
    const QFontMetrics metrics(grid.font());
    QVERIFY(metrics.horizontalAdvance(QStringLiteral("9999999")) <= grid.CellTextRect(1, 2).width());
    QCOMPARE(grid.DrawnCellText(1, 2), QString("9999999"));
    QCOMPARE(grid.DrawnCellText(1, 3), QString("179470"));
    QCOMPARE(grid.DrawnCellText(1, 5), QString("0"));
    for (int r : {4, 6}) {
      const QString digits = texts[r - 2].trimmed();
      const QString drawn = grid.DrawnCellText(1, r);
      QVERIFY2(drawn.endsWith(QChar(0x2026)) && drawn.size() >= 3 && digits.startsWith(drawn.chopped(1)),
               qPrintable(drawn));
    }
    QCOMPARE(grid.Cells(1, 2), std::string("   9999999"));  // the cell keeps its text

    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    const QImage painted = grid.viewport()->grab().toImage();
    auto ink = [](const QImage& image) {
      QImage mask(image.size(), QImage::Format_Mono);
      for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) mask.setPixel(x, y, qGray(image.pixel(x, y)) < 128 ? 1 : 0);
      return mask;
    };
    for (int r = 2; r <= 6; ++r) {
      const QRect cell = grid.visualRect(grid.model()->index(r - 1, 1));
      QImage expected(cell.size(), QImage::Format_RGB32);
      expected.fill(grid.palette().color(QPalette::Base));
      QPainter p(&expected);
      p.setFont(grid.font());
      p.setPen(grid.palette().color(QPalette::Text));
      p.drawText(grid.CellTextRect(1, r).translated(-cell.topLeft()), Qt::AlignRight | Qt::AlignVCenter,
                 grid.DrawnCellText(1, r));
      p.end();
      QVERIFY2(ink(painted.copy(cell)) == ink(expected), qPrintable(texts[r - 2]));
    }
  }

  void statusPanelsPaintAtOnce() {
    TStatusBar bar(nullptr);
    for (int w : {20, 80, 200, 50}) bar.AddPanel(w);
    bar.resize(500, 20);
    std::vector<std::pair<int, std::string>> seen;
    bar.OnPanelText = [&](int panel, const std::string& text) { seen.emplace_back(panel, text); };
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    QCOMPARE(bar.PanelCount(), 4);
    QCOMPARE(bar.Panels(2).Width(), 200);
    // No event processing between the write and the check: the paint has
    // happened inside SetText.
    const int before = bar.PaintCount();
    bar.Panels(0).SetText("?");
    QVERIFY(bar.PaintCount() > before);
    bar.Panels(2).SetText("*** pop.example");
    bar.Panels(3).SetText("connection closed ");
    QCOMPARE(bar.Panels(3).Text(), std::string("connection closed "));
    const std::vector<std::pair<int, std::string>> expected = {
        {0, "?"}, {2, "*** pop.example"}, {3, "connection closed "}};
    QCOMPARE(seen, expected);
    QVERIFY_THROWS_EXCEPTION(platform::ERangeError, bar.Panels(4));
  }

  // Progress painted at screen rate, on a clock the test moves: the first
  // change paints at once, changes within the same frame only record, the
  // frame's end or a flush paints what they left, a flush with nothing owed
  // paints nothing, and an owed paint comes by itself once the frame is over
  // while events run.
  void pacedPaintsAtScreenRate() {
    using namespace std::chrono_literals;
    auto t = std::chrono::steady_clock::time_point{} + 1h;
    const TMonotonicClock previous = SetPacingClock([&t] { return t; });
    struct Zaehler : TPacedControl {
      int paints = 0;
      void PaintHeld() override { ++paints; }
    } control;
    {
      TPaintPacer pacer;
      pacer.Add(&control);
      pacer.Add(&control);  // added once
      struct Schritt {
        std::chrono::milliseconds at;
        const char* action;  // "change" or "flush"
        int paints;          // after the action
        bool owed;
      } steps[] = {
          {0ms, "change", 1, false},   // at once
          {1ms, "change", 1, true},    // same frame
          {15ms, "change", 1, true},   // still the same frame
          {15ms, "flush", 2, false},   // end of a step
          {15ms, "flush", 2, false},   // nothing owed
          {20ms, "change", 2, true},   // 5 ms after the flush's paint
          {31ms, "change", 3, false},  // a frame after it
      };
      const auto start = t;
      for (const Schritt& s : steps) {
        t = start + s.at;
        if (std::string(s.action) == "change")
          pacer.Changed();
        else
          pacer.Flush();
        QCOMPARE(control.paints, s.paints);
        QCOMPARE(pacer.Owed(), s.owed);
      }
      QCOMPARE(pacer.Paints(), 3);

      // Owed during a long wait: nothing while the clock stays in the frame,
      // however long events run; the paint once the clock has passed it.
      t = start + 40ms;
      pacer.Changed();
      QVERIFY(pacer.Owed());
      QTest::qWait(100);
      QCOMPARE(control.paints, 3);
      t = start + 31ms + TPaintPacer::kFrame;
      QVERIFY(QTest::qWaitFor([&] { return control.paints == 4; }, 10000));
      QVERIFY(!pacer.Owed());
      pacer.Remove(&control);
      t += 1s;
      pacer.Changed();
      QCOMPARE(control.paints, 4);
    }
    SetPacingClock(previous);
  }

  // Paced, the status bar and the grid take every text at once (it reads
  // back, the panel hook hears it) and paint it when the pacer says.
  void pacedBarAndGridHoldTheirPaints() {
    using namespace std::chrono_literals;
    auto t = std::chrono::steady_clock::time_point{} + 1h;
    const TMonotonicClock previous = SetPacingClock([&t] { return t; });
    QWidget host;
    host.resize(500, 300);
    TStatusBar bar(&host);
    bar.setGeometry(0, 270, 500, 30);
    for (int w : {20, 80, 200, 50}) bar.AddPanel(w);
    TStringGrid grid(&host);
    grid.setGeometry(0, 0, 500, 260);
    grid.SetColCount(3);
    grid.SetRowCount(10);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    std::vector<std::string> heard;
    bar.OnPanelText = [&](int, const std::string& text) { heard.push_back(text); };
    QSignalSpy rows(grid.model(), &QAbstractItemModel::dataChanged);
    {
      TPaintPacer pacer;
      bar.SetPacer(&pacer);
      grid.SetPacer(&pacer);
      bar.Panels(1).SetText("1/9");  // first change: painted at once
      QCOMPARE(bar.PaintedTexts().at(1), std::string("1/9"));
      const int paints = bar.PaintCount();
      rows.clear();
      t += 1ms;
      bar.Panels(1).SetText("2/9");
      grid.SetCells(0, 2, "2");
      grid.SetCells(0, 5, "5");
      QCOMPARE(bar.Panels(1).Text(), std::string("2/9"));
      QCOMPARE(grid.Cells(0, 5), std::string("5"));
      QCOMPARE(heard, (std::vector<std::string>{"1/9", "2/9"}));
      QCOMPARE(bar.PaintCount(), paints);
      QCOMPARE(bar.PaintedTexts().at(1), std::string("1/9"));
      QCOMPARE(rows.count(), 0);
      pacer.Flush();
      QCOMPARE(bar.PaintCount(), paints + 1);
      QCOMPARE(bar.PaintedTexts().at(1), std::string("2/9"));
      // One notice for grid rows 2 to 5 (model rows 1 to 4, under the title).
      QCOMPARE(rows.count(), 1);
      QCOMPARE(rows[0][0].value<QModelIndex>().row(), 1);
      QCOMPARE(rows[0][1].value<QModelIndex>().row(), 4);
      // Rows out of sight get no notice; they are read when they scroll in.
      grid.SetRowCount(100);
      t += TPaintPacer::kFrame;
      rows.clear();
      grid.SetCells(0, 80, "80");
      QCOMPARE(rows.count(), 0);
      QCOMPARE(grid.Cells(0, 80), std::string("80"));
      grid.SetCells(0, 3, "3");
      pacer.Flush();
      QCOMPARE(rows.count(), 1);
      QCOMPARE(rows[0][0].value<QModelIndex>().row(), 2);
      QCOMPARE(rows[0][1].value<QModelIndex>().row(), 2);
      // What is held when the pacer goes is shown all the same.
      t += 1ms;
      bar.Panels(1).SetText("3/9");
      bar.SetPacer(nullptr);
      grid.SetPacer(nullptr);
      QCOMPARE(bar.PaintedTexts().at(1), std::string("3/9"));
    }
    // Without a pacer the bar paints every text at once again.
    const int paints = bar.PaintCount();
    bar.Panels(1).SetText("4/9");
    QCOMPARE(bar.PaintCount(), paints + 1);
    SetPacingClock(previous);
  }

  void menuCaptionsActionsAndClicks() {
    TForm form;
    TActionList actions(&form);
    int quit = 0;
    int copies = 0;
    TAction* aQuit = actions.Add("a_Quit", "Beenden");
    aQuit->OnExecute = [&](platform::TObject* sender) {
      QCOMPARE(sender, static_cast<platform::TObject*>(aQuit));
      ++quit;
    };
    TAction* aCopy = actions.Add("a_CopyNoSpamMarkierungen", "Copy Unmarkierte");
    aCopy->OnExecute = [&](platform::TObject*) { ++copies; };
    TAction* aLoad = actions.Add("a_serverlisteLaden", "serverlisteLaden");

    TMainMenu menu(&form);
    auto* datei = new TMenuItem(menu.Items(), "mm_datei", "Datei");
    auto* load = new TMenuItem(datei, "mm_d_leseServerliste", "Serverliste Laden", aLoad);
    auto* line = new TMenuItem(datei, "N3", "-");
    auto* batch = new TMenuItem(datei, "mm_p_batch", "&Batch");
    auto* quitItem = new TMenuItem(datei, "mm_d_quit", "", aQuit);
    auto* copyItem = new TMenuItem(datei, "mm_p_CopyUnmarkierte", "", aCopy);
    auto* divider = new TMenuItem(menu.Items(), "N6", " | ");
    divider->SetEnabled(false);
    int dividerClicks = 0;
    divider->OnClick = [&](platform::TObject*) { ++dividerClicks; };

    // The item's own caption wins; without one the action's shows.
    QCOMPARE(load->Caption(), std::string("Serverliste Laden"));
    QCOMPARE(quitItem->Caption(), std::string("Beenden"));
    QCOMPARE(copyItem->QtAction()->text(), QString("Copy Unmarkierte"));
    aQuit->SetCaption("Ende");
    QCOMPARE(quitItem->QtAction()->text(), QString("Ende"));
    QVERIFY(line->IsLine() && line->QtAction()->isSeparator());
    QCOMPARE(batch->QtAction()->text(), QString("&Batch"));

    // Order in the menu bar and in the submenu.
    const QList<QAction*> top = menu.MenuBar()->actions();
    QCOMPARE(top.size(), 2);
    QCOMPARE(top[0]->text(), QString("Datei"));
    QCOMPARE(top[1]->text(), QString(" | "));
    QVERIFY(!top[1]->isEnabled());
    QCOMPARE(datei->SubMenu()->actions().size(), 5);
    QCOMPARE(datei->Items(3), quitItem);

    // Choosing an item runs its action; a disabled item does nothing.
    quitItem->QtAction()->trigger();
    copyItem->Click();
    divider->Click();
    divider->QtAction()->trigger();
    QCOMPARE(quit, 1);
    QCOMPARE(copies, 1);
    QCOMPARE(dividerClicks, 0);
    QVERIFY(!aLoad->Execute());  // an action without handler does nothing

    // An own click handler replaces the action's; the check mark follows
    // Checked only, not the choice.
    int own = 0;
    quitItem->OnClick = [&](platform::TObject* sender) {
      QCOMPARE(sender, static_cast<platform::TObject*>(quitItem));
      ++own;
    };
    quitItem->QtAction()->trigger();
    QCOMPARE(own, 1);
    QCOMPARE(quit, 1);
    batch->SetChecked(true);
    batch->QtAction()->trigger();
    QVERIFY(batch->Checked() && batch->QtAction()->isChecked());
    batch->SetChecked(false);
    QVERIFY(!batch->QtAction()->isChecked());
  }

  void popupMenuOnAControl() {
    TForm form;
    TPopupMenu popup(&form);
    auto* item = new TMenuItem(popup.Items(), "pm_vd_einlesen", "Einlesen");
    new TMenuItem(popup.Items(), "N7", "-");
    QCOMPARE(popup.Menu()->actions().size(), 2);
    QCOMPARE(popup.Items()->Items(0), item);
    TListBox list(form.Client());
    list.SetPopupMenu(&popup);
    QCOMPARE(list.contextMenuPolicy(), Qt::CustomContextMenu);
    QCOMPARE(list.PopupMenu(), &popup);
  }

  void spinEditRangeAndText() {
    TSpinEdit minutes(nullptr);
    minutes.SetMinValue(1);
    minutes.SetMaxValue(1440);
    int changes = 0;
    minutes.OnChange = [&](platform::TObject*) { ++changes; };
    minutes.SetValue(60);
    QCOMPARE(minutes.Value(), 60);
    QCOMPARE(changes, 1);
    minutes.SetValue(24 * 60 * 2);
    QCOMPARE(minutes.Value(), 1440);
    minutes.SetValue(0);
    QCOMPARE(minutes.Value(), 1);
    // Typed text is taken as it is until the field loses the focus.
    minutes.SetText("5000");
    QCOMPARE(minutes.Value(), 5000);
    minutes.SetText("");
    QCOMPARE(minutes.Value(), 1);  // no whole number reads as the minimum
    minutes.SetText("abc");
    QCOMPARE(minutes.Value(), 1);
    int pos = 0;
    QString typed = "12x";
    QCOMPARE(minutes.validate(typed, pos), QValidator::Invalid);
    typed = "-12";
    QCOMPARE(minutes.validate(typed, pos), QValidator::Acceptable);
    minutes.SetValue(10);
    minutes.stepBy(1);
    QCOMPARE(minutes.Value(), 11);
    QVERIFY(changes >= 5);
  }

  void spinEditClampsWhenFocusLeaves() {
    TForm form;
    auto* minutes = new TSpinEdit(form.Client());
    minutes->SetMinValue(1);
    minutes->SetMaxValue(1440);
    auto* other = new TButton(form.Client(), "x");
    other->SetBounds(0, 40, 50, 20);
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    minutes->setFocus();
    QTRY_VERIFY(minutes->hasFocus());
    minutes->SetText("9999");
    other->setFocus();
    QTRY_COMPARE(minutes->Value(), 1440);
  }

  void listBoxItemsAndClicks() {
    TListBox list(nullptr);
    list.resize(200, 100);
    list.SetItems({"pop.a.example", "", "pop.\xfc.example", "pop.a.example"});
    QCOMPARE(list.Count(), 4);
    QCOMPARE(list.Item(2), std::string("pop.\xfc.example"));
    QCOMPARE(list.item(2)->text(), QString::fromUtf8("pop.ü.example"));
    QCOMPARE(list.ItemIndex(), -1);
    int clicks = 0;
    int seenIndex = -2;
    list.OnClick = [&](platform::TObject*) {
      ++clicks;
      seenIndex = list.ItemIndex();
    };
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualItemRect(list.item(2)).center());
    QCOMPARE(clicks, 1);
    QCOMPARE(seenIndex, 2);
    // The right button is the popup's: no click, no new selection.
    QTest::mouseClick(list.viewport(), Qt::RightButton, {}, list.visualItemRect(list.item(0)).center());
    QCOMPARE(clicks, 1);
    QCOMPARE(list.ItemIndex(), 2);
    QCOMPARE(list.currentRow(), 2);
    list.SetItemIndex(0);  // by program: no event
    QCOMPARE(list.ItemIndex(), 0);
    QCOMPARE(clicks, 1);
    list.SetItems({"x"});
    QCOMPARE(list.ItemIndex(), -1);
    QVERIFY_THROWS_EXCEPTION(platform::ERangeError, list.Item(1));
  }

  void pagesInOrderWithHiddenTabs() {
    TPageControl pages(nullptr);
    auto* mail = new TTabSheet(&pages, "Mail&List");
    auto* server = new TTabSheet(&pages, "Server");
    auto* head = new TTabSheet(&pages, "&Head");
    head->SetTabVisible(false);
    auto* info = new TTabSheet(&pages, "Info");
    QCOMPARE(pages.PageCount(), 4);
    QCOMPARE(pages.Pages(2), head);
    QCOMPARE(info->PageIndex(), 3);
    QVERIFY(!pages.isTabVisible(2));
    QVERIFY(pages.isTabVisible(1));
    QCOMPARE(pages.tabText(0), QString("Mail&List"));
    QCOMPARE(pages.ActivePage(), mail);
    pages.SetActivePage(info);
    QCOMPARE(pages.ActivePageIndex(), 3);
    pages.SetActivePageIndex(1);
    QCOMPARE(pages.ActivePage(), server);
    pages.SetTabsAtBottom(true);
    QCOMPARE(pages.tabPosition(), QTabWidget::South);
  }

  void alignedLayout() {
    TForm form;
    auto* top = new TPanel(form.Client());
    top->SetHeight(33);
    top->SetAlign(TAlign::alTop);
    auto* left = new TPanel(form.Client());
    left->SetWidth(201);
    left->SetBorderWidth(4);
    left->SetAlign(TAlign::alLeft);
    auto* status = new TStatusBar(form.Client());
    status->SetAlign(TAlign::alBottom);
    auto* pages = new TPageControl(form.Client());
    pages->SetAlign(TAlign::alClient);
    auto* list = new TListBox(left);
    list->SetHeight(76);
    list->SetAlign(TAlign::alTop);
    auto* strip = new TPanel(form.Client());
    strip->SetVisible(false);
    strip->SetHeight(50);
    strip->SetAlign(TAlign::alTop);  // hidden: takes no room
    auto* button = new TButton(top, "Senden");
    button->SetBounds(0, 4, 75, 25);
    button->AnchorRight(8);
    form.resize(800, 500);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const int w = form.Client()->width();
    const int h = form.Client()->height();
    QVERIFY(w > 300 && h > 200);

    const int sh = status->Height();
    QCOMPARE(top->Widget()->geometry(), QRect(0, 0, w, 33));
    QCOMPARE(status->Widget()->geometry(), QRect(0, h - sh, w, sh));
    QCOMPARE(left->Widget()->geometry(), QRect(0, 33, 201, h - 33 - sh));
    QCOMPARE(pages->Widget()->geometry(), QRect(201, 33, w - 201, h - 33 - sh));
    // Inside the panel: border 4 and bevel 1.
    QCOMPARE(list->Widget()->geometry(), QRect(5, 5, 191, 76));
    QCOMPARE(button->Left(), w - 8 - 75);
    form.resize(1000, 600);
    QTRY_COMPARE(form.Client()->width(), 1000 - (800 - w));
    QCOMPARE(pages->Width(), form.Client()->width() - 201);
    QCOMPARE(button->Left(), form.Client()->width() - 8 - 75);
    strip->SetVisible(true);
    QCOMPARE(left->Top(), 83);
  }

  // Sizes are known in the creation event, before the form is shown, as
  // the grid set-up reads its width there.
  void sizesAreKnownWhenTheFormIsCreated() {
    struct Form : TForm {
      TPageControl* pages;
      TTabSheet* sheet;
      TStringGrid* grid;
      int widthAtCreate = -1;
      Form() {
        SetOuterSize(902, 592);
        auto* left = new TPanel(Client());
        left->SetWidth(201);
        left->SetAlign(TAlign::alLeft);
        pages = new TPageControl(Client());
        pages->SetAlign(TAlign::alClient);
        sheet = new TTabSheet(pages, "Mail&List");
        new TTabSheet(pages, "Server");
        auto* strip = new TPanel(sheet);
        strip->SetHeight(28);
        strip->SetAlign(TAlign::alTop);
        grid = new TStringGrid(sheet);
        grid->SetAlign(TAlign::alClient);
        OnCreate = [this](platform::TObject*) { widthAtCreate = grid->Width(); };
      }
    };
    TForm* previous = MainForm();
    Form* form = CreateForm<Form>();
    SetMainForm(previous);
    QVERIFY(!form->isVisible());
    const int pageWidth = form->pages->Width();
    QVERIFY2(pageWidth > 600 && pageWidth <= 902 - 201, qPrintable(QString::number(pageWidth)));
    QVERIFY2(form->widthAtCreate > 600 && form->widthAtCreate <= pageWidth,
             qPrintable(QString::number(form->widthAtCreate)));
    QCOMPARE(form->grid->Width(), form->sheet->width());
    QVERIFY(form->grid->Top() >= 28);
    delete form;
  }

  // What the program asks for, and for a monospace name what the desktop
  // then draws: the chosen face itself, every glyph as wide as the next.
  void fontsAskedForByName() {
    const QFont mono = MakeFont({"Lucida Console", 12, false});
    QVERIFY(!FixedPitchFamily().isEmpty());
    QCOMPARE(mono.families(), QStringList{FixedPitchFamily()});
    QVERIFY(mono.fixedPitch());
    QCOMPARE(mono.styleHint(), QFont::TypeWriter);
    QCOMPARE(mono.pixelSize(), 12);
    QCOMPARE(QFontInfo(mono).family(), FixedPitchFamily());
    const QFontMetrics drawn(mono);
    const int width = drawn.horizontalAdvance(QLatin1Char('i'));
    QVERIFY(width > 0);
    for (const char c : {'W', 'm', '.'}) QCOMPARE(drawn.horizontalAdvance(QLatin1Char(c)), width);
    QCOMPARE(MakeFont({"Courier New", 0, false}).families(), QStringList{FixedPitchFamily()});
    const QFont sans = MakeFont({"MS Sans Serif", 11, true});
    QVERIFY(!sans.fixedPitch());
    QVERIFY(sans.bold());
    QCOMPARE(sans.pixelSize(), 11);
    QCOMPARE(sans.families().first(), QString("MS Sans Serif"));
    // The proportional faces come out as the stand-in the set-up installs,
    // with Arial's digits (0.556 em: 6 px at 11 px, the desktop's usual
    // sans-serif face has 7), whatever the desktop's own matching would do.
    QCOMPARE(SansSerifFamily(), QString(kPreferredSansFamily));
    for (const char* name : {"MS Sans Serif", "Arial"}) {
      const QFont regular = MakeFont({name, 11, false});
      QCOMPARE(QFontInfo(regular).family(), QString(kPreferredSansFamily));
      QCOMPARE(QFontMetrics(regular).horizontalAdvance(QLatin1Char('0')), 6);
    }
    TLabel label(nullptr, "Server");
    label.SetFontColor(Qt::red);
    QCOMPARE(label.palette().color(QPalette::WindowText), QColor(Qt::red));
  }

  void fixedPitchFamilyChoice_data() {
    QTest::addColumn<QStringList>("candidates");
    QTest::addColumn<QStringList>("usable");
    QTest::addColumn<QString>("picked");
    QTest::newRow("preferred face there") << QStringList{"DejaVu Sans Mono", "Monospace", "Noto Sans Mono"}
                                          << QStringList{"DejaVu Sans Mono", "Noto Sans Mono"} << "DejaVu Sans Mono";
    QTest::newRow("preferred face missing")
        << QStringList{"DejaVu Sans Mono", "Monospace", "Liberation Mono"} << QStringList{"Liberation Mono"}
        << "Liberation Mono";
    QTest::newRow("empty names skipped") << QStringList{"", "Noto Sans Mono"} << QStringList{"", "Noto Sans Mono"}
                                         << "Noto Sans Mono";
    QTest::newRow("nothing usable") << QStringList{"DejaVu Sans Mono", "Noto Sans"} << QStringList{} << "";
  }

  void fixedPitchFamilyChoice() {
    QFETCH(QStringList, candidates);
    QFETCH(QStringList, usable);
    QFETCH(QString, picked);
    QStringList asked;
    const QString got = PickFixedPitchFamily(candidates, [&](const QString& family) {
      asked << family;
      return usable.contains(family);
    });
    QCOMPARE(got, picked);
    // Stops at the first usable face: the check of a face is not free.
    if (!picked.isEmpty()) QCOMPARE(asked.last(), picked);
  }

  // The check each candidate face goes through, on the faces the set-up
  // installs.
  void fixedPitchFaceCheck_data() {
    QTest::addColumn<QString>("family");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("monospace face") << "DejaVu Sans Mono" << true;
    QTest::newRow("proportional face") << "DejaVu Sans" << false;
    // Resolves to some installed face, with the typewriter hint to a
    // monospace one.
    QTest::newRow("face not installed") << "Kelvo Missing Mono" << false;
  }

  void fixedPitchFaceCheck() {
    QFETCH(QString, family);
    QFETCH(bool, accepted);
    QCOMPARE(IsFixedPitchFace(family), accepted);
  }

  void timerIntervalEnabledAndTicks() {
    TTimer timer(nullptr);
    int ticks = 0;
    timer.SetEnabled(false);
    timer.SetInterval(50);
    timer.SetOnTimer([&](platform::TObject*) { ++ticks; });
    QVERIFY(!timer.Running());
    QTest::qWait(120);
    QCOMPARE(ticks, 0);

    timer.SetEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(ticks >= 1, 5000);
    timer.SetEnabled(false);
    const int stopped = ticks;
    QTest::qWait(120);
    QCOMPARE(ticks, stopped);

    // The interval is the time to the first tick as well: a long one gives
    // none in a short while.
    timer.SetInterval(600000);
    timer.SetEnabled(true);
    QTest::qWait(120);
    QCOMPARE(ticks, stopped);
    timer.SetEnabled(false);

    // Without a handler or with interval 0 nothing runs.
    timer.SetOnTimer({});
    timer.SetEnabled(true);
    QVERIFY(!timer.Running());
    timer.SetOnTimer([&](platform::TObject*) { ++ticks; });
    QVERIFY(timer.Running());
    timer.SetInterval(0);
    QVERIFY(!timer.Running());
  }

  void buttonRunsItsAction() {
    TActionList actions(nullptr);
    int runs = 0;
    TAction* del = actions.Add("A_MailheaderLoeschen", "MailheaderLoeschen");
    del->OnExecute = [&](platform::TObject*) { ++runs; };
    TButton button(nullptr, "Senden");
    button.SetAction(del);
    button.SetHint("Löschauftrag senden");
    QCOMPARE(button.text(), QString("Senden"));
    QCOMPARE(button.toolTip(), QString::fromUtf8("Löschauftrag senden"));
    QTest::mouseClick(&button, Qt::LeftButton);
    QCOMPARE(runs, 1);
  }
};

QTEST_MAIN(ControlsTest)
#include "ControlsTest.moc"
