// Memos hold bytes: what they are given comes back byte for byte, lines are
// read as the list parsers expect them, and edits keep the bytes of the
// lines they do not touch. Tab moves the focus on unless tabs are wanted.
#include "platform/Exceptions.h"
#include "platform/StringList.h"
#include "window/desktop/Memos.h"
#include "window/desktop/TextCodec.h"

#include <QApplication>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QTextBlock>
#include <QtTest>

#include <fstream>
#include <functional>

using desktop::TMemo;

namespace {

std::string AllBytesButLineEnds() {
  std::string s;
  for (int b = 0; b < 256; ++b)
    if (b != '\r' && b != '\n') s.push_back(static_cast<char>(b));
  return s;
}

// Replaces line `i` of the memo as a user would, by editing the block.
void EditLine(TMemo& memo, int i, const QString& text) {
  QTextCursor c(memo.document()->findBlockByNumber(i));
  c.select(QTextCursor::BlockUnderCursor);
  c.movePosition(QTextCursor::StartOfBlock);
  c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  c.insertText(text);
}

}  // namespace

class MemoTest : public QObject {
  Q_OBJECT

 private slots:
  void unchangedTextComesBackByteForByte_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("firstLineShown");
    auto row = [](const char* name, const std::string& b, const QString& shown) {
      QTest::newRow(name) << QByteArray::fromStdString(b) << shown;
    };
    row("utf-8 with CR LF", "[SUBJECT]\r\n< Grüße\r\n", "[SUBJECT]");
    row("windows-1252", "Gr\xfc\xdf" "e \x80\r\nzwei\r\n", QString::fromUtf8("Grüße €"));
    row("mixed lines", "utf8 \xc3\xbc\r\ncp1252 \xfc\r\n", QString::fromUtf8("utf8 ü"));
    row("invalid utf-8 sequence", "\xc3\x28 kaputt\r\n", QString::fromUtf8("Ã( kaputt"));
    row("overlong and surrogate forms", "\xc0\xaf \xed\xa0\x80\r\n", QString::fromUtf8("À¯ í\u00a0€"));
    row("every byte value", AllBytesButLineEnds() + "\r\n", desktop::DecodeWindows1252(AllBytesButLineEnds()));
    row("LF only", "eins\nzwei\n", "eins");
    row("no break after the last line", "eins\r\nzwei", "eins");
    row("lone CR", "eins\rzwei\r", "eins");
    row("mixed breaks", "a\r\nb\nc\rd", "a");
    row("empty lines", "\r\n\r\n\r\nx", "");
    row("non-breaking space in cp1252", "a\xa0" "b\xe4\r\n", QString::fromUtf8("a\u00a0bä"));
    row("paragraph separator in utf-8", "a\xe2\x80\xa9" "b\r\n", "a");
    row("empty", "", "");
  }

  void unchangedTextComesBackByteForByte() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, firstLineShown);
    const std::string given = bytes.toStdString();
    TMemo memo(nullptr);
    memo.SetText(given);
    QCOMPARE(memo.Text(), given);
    QCOMPARE(memo.document()->firstBlock().text(), firstLineShown);
    // The lines are what the run-time's string list makes of the bytes,
    // except where the toolkit itself breaks a line (U+2029).
    if (!bytes.contains("\xe2\x80\xa9")) {
      QCOMPARE(memo.Lines().ToStringList().Lines(), platform::SplitLines(given));
      QCOMPARE(memo.Lines().Count(), static_cast<int>(platform::SplitLines(given).size()));
    }
  }

  void editsKeepTheBytesOfUntouchedLines() {
    TMemo memo(nullptr);
    memo.SetText("utf8 \xc3\xbc\r\ncp1252 \xfc\r\ndrei\r\n");
    EditLine(memo, 2, QString::fromUtf8("neu ä"));
    // The text was not valid UTF-8 as a whole, so new text is Windows-1252.
    QCOMPARE(memo.Text(), std::string("utf8 \xc3\xbc\r\ncp1252 \xfc\r\nneu \xe4\r\n"));
    QCOMPARE(memo.Lines()[2], std::string("neu \xe4"));

    TMemo crlf(nullptr);
    crlf.SetText("a\r\nb");
    EditLine(crlf, 0, "x");
    QCOMPARE(crlf.Text(), std::string("x\r\nb"));
  }

  // Edited text is written with CR LF between its lines, whatever breaks it
  // was loaded with; nothing is added after the last line.
  void editedTextIsJoinedByCrLf_data() {
    QTest::addColumn<QByteArray>("given");
    QTest::addColumn<QByteArray>("saved");
    QTest::newRow("LF only") << QByteArray("a\nb\n") << QByteArray("a\r\n\xc3\xb6\r\n");
    QTest::newRow("lone CR") << QByteArray("a\rb\r") << QByteArray("a\r\n\xc3\xb6\r\n");
    QTest::newRow("mixed") << QByteArray("a\r\nb\nc") << QByteArray("a\r\n\xc3\xb6\r\nc");
    QTest::newRow("LF, no last break") << QByteArray("a\nb") << QByteArray("a\r\n\xc3\xb6");
  }

  void editedTextIsJoinedByCrLf() {
    QFETCH(QByteArray, given);
    QFETCH(QByteArray, saved);
    TMemo memo(nullptr);
    memo.SetText(given.toStdString());
    QCOMPARE(memo.Text(), given.toStdString());  // unchanged: byte for byte
    EditLine(memo, 1, QString::fromUtf8("ö"));
    QCOMPARE(memo.Text(), saved.toStdString());
    QCOMPARE(memo.Lines()[1], std::string("\xc3\xb6"));
    // Undone by hand, the text is the given one again.
    EditLine(memo, 1, "b");
    QCOMPARE(memo.Text(), given.toStdString());
  }

  void textThatCannotBeWrittenInWindows1252() {
    TMemo memo(nullptr);
    memo.SetText("\xfc\r\n");
    EditLine(memo, 0, QString::fromUtf8("€ ☺"));
    QCOMPARE(memo.Text(), std::string("\x80 ?\r\n"));
  }

  void addingLines() {
    TMemo memo(nullptr);
    memo.Lines().Add("M_protokoll");
    QCOMPARE(memo.Lines().Count(), 1);
    QCOMPARE(memo.Text(), std::string("M_protokoll\r\n"));
    memo.Lines().Add("Start");
    memo.Lines().Add("server \xfc +++ Authentication failed");
    QCOMPARE(memo.Lines().Count(), 3);
    QCOMPARE(memo.Lines()[2], std::string("server \xfc +++ Authentication failed"));
    QCOMPARE(memo.Lines().Text(),
             std::string("M_protokoll\r\nStart\r\nserver \xfc +++ Authentication failed\r\n"));

    // A last line without a break gets one before the new line.
    TMemo open(nullptr);
    open.SetText("M_protokoll");
    open.Lines().Add("Start");
    QCOMPARE(open.Lines().Count(), 2);
    QCOMPARE(open.Text(), std::string("M_protokoll\r\nStart"));

    open.Lines().Clear();
    QCOMPARE(open.Lines().Count(), 0);
    QCOMPARE(open.Text(), std::string());
  }

  void countIgnoresOnlyTheEmptyLineAfterTheLastBreak() {
    struct Case { const char* text; int count; };
    const Case cases[] = {{"", 0}, {"a", 1}, {"a\r\n", 1}, {"a\r\nb", 2}, {"a\r\nb\r\n", 2},
                          {"a\r\n\r\n", 2}, {"\r\n", 1}};
    for (const Case& c : cases) {
      TMemo memo(nullptr);
      memo.SetText(c.text);
      QVERIFY2(memo.Lines().Count() == c.count, c.text);
    }
    TMemo memo(nullptr);
    memo.SetText("a\r\n");
    QVERIFY_THROWS_EXCEPTION(platform::ERangeError, memo.Lines()[1]);
    QVERIFY_THROWS_EXCEPTION(platform::ERangeError, memo.Lines()[-1]);
  }

  void loadFromFile() {
    QTemporaryDir dir;
    const std::string path = (dir.path() + "/Kelvo_Spamdefs.txt").toStdString();
    const std::string bytes = "[SUBJECT]\r\n< Gew\xfcnscht\n[SIZE]\rIN 0..10";
    std::ofstream(path, std::ios::binary) << bytes;
    TMemo memo(nullptr);
    memo.Lines().LoadFromFile(path);
    QCOMPARE(memo.Text(), bytes);
    QCOMPARE(memo.Lines().Count(), 4);
    QCOMPARE(memo.Lines()[1], std::string("< Gew\xfcnscht"));
    memo.SetText("kept");
    const std::string missing = dir.path().toStdString() + "/none.txt";
    try {
      memo.Lines().LoadFromFile(missing);
      QFAIL("no failure for a missing file");
    } catch (const platform::EFOpenError& e) {
      QCOMPARE(e.Message(), "Datei " + missing + " kann nicht geöffnet werden");
    }
    QCOMPARE(memo.Text(), std::string("kept"));
  }

  // As every control of a form, a memo or a rich-text view passes Tab and
  // Shift+Tab on as focus moves, its text unchanged, unless it is told to
  // take tabs; then Tab is typed into it.
  void tabMovesTheFocusUnlessTabsAreWanted_data() {
    QTest::addColumn<bool>("rich");
    QTest::addColumn<bool>("wantTabs");
    QTest::newRow("memo") << false << false;
    QTest::newRow("rich-text view") << true << false;
    QTest::newRow("memo that wants tabs") << false << true;
    QTest::newRow("rich-text view that wants tabs") << true << true;
  }
  void tabMovesTheFocusUnlessTabsAreWanted() {
    QFETCH(bool, rich);
    QFETCH(bool, wantTabs);
    QWidget form;
    auto* layout = new QVBoxLayout(&form);
    auto* before = new QLineEdit(&form);
    QWidget* editor = nullptr;
    std::function<QString()> text;
    if (rich) {
      auto* view = new desktop::TRichEdit(&form);
      QVERIFY(!view->WantTabs());
      view->SetWantTabs(wantTabs);
      view->SetText("eins");
      editor = view;
      text = [view] { return view->toPlainText(); };
    } else {
      auto* memo = new TMemo(&form);
      QVERIFY(!memo->WantTabs());
      memo->SetWantTabs(wantTabs);
      memo->SetText("eins");
      editor = memo;
      text = [memo] { return memo->toPlainText(); };
    }
    auto* after = new QLineEdit(&form);
    layout->addWidget(before);
    layout->addWidget(editor);
    layout->addWidget(after);
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    editor->setFocus();
    QTest::keyClick(editor, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), wantTabs ? editor : after);
    QCOMPARE(text(), wantTabs ? QString("\teins") : QString("eins"));
    if (wantTabs) return;
    editor->setFocus();
    QTest::keyClick(editor, Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), before);
    QCOMPARE(text(), QString("eins"));
  }

  void decodingRules() {
    QVERIFY(desktop::IsValidUtf8("ascii \xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80"));
    const char* invalid[] = {"\xc3", "\xc3\x28", "\xc0\x80", "\xe0\x80\xaf", "\xed\xa0\x80",
                             "\xf4\x90\x80\x80", "\xff", "\x80"};
    for (const char* s : invalid) QVERIFY2(!desktop::IsValidUtf8(s), s);
    for (int b = 0; b < 256; ++b) {
      const std::string one(1, static_cast<char>(b));
      QCOMPARE(desktop::EncodeWindows1252(desktop::DecodeWindows1252(one)), one);
    }
    QCOMPARE(desktop::BytesToQString("Betreff \xfc"), QString::fromUtf8("Betreff ü"));
    QCOMPARE(desktop::BytesToQString("Betreff \xc3\xbc"), QString::fromUtf8("Betreff ü"));
  }
};

QTEST_MAIN(MemoTest)
#include "MemoTest.moc"
