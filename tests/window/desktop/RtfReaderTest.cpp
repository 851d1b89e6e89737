// The RTF reader: a table of small documents with what they must show, the
// formats they must carry, and malformed input that must neither crash nor
// hang nor make more text than it holds.
#include "platform/Exceptions.h"
#include "window/desktop/Memos.h"
#include "window/desktop/RtfReader.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

#include <fstream>
#include <string>

using desktop::ReadRtf;

namespace {

QString Read(const std::string& rtf, QTextDocument& doc) {
  doc.clear();
  ReadRtf(rtf, &doc);
  // Paragraphs joined by '|'; line breaks inside a paragraph stay U+2028.
  QStringList blocks;
  for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) blocks << b.text();
  return blocks.join(u'|');
}

QString Read(const std::string& rtf) {
  QTextDocument doc;
  return Read(rtf, doc);
}

// The character format at the first occurrence of `text`.
QTextCharFormat FormatAt(QTextDocument& doc, const QString& text) {
  QTextCursor c = doc.find(text);
  if (c.isNull()) return {};
  QTextCursor at(&doc);
  at.setPosition(c.selectionStart() + 1);
  return at.charFormat();
}

const std::string kSample =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}"
    "{\\f1\\fmodern Courier New;}}{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green0\\blue255;}"
    "{\\*\\generator Riched20 10.0;}{\\stylesheet{\\s0 Normal;}}{\\info{\\title Hilfe}{\\author X}}"
    "\\viewkind4\\uc1\\pard\\qc\\b\\fs30 Mail Vandoler\\b0\\fs20\\par"
    "\\pard Das Programm l\\'f6scht Spam \\u8364? auf dem Server.\\par"
    "{\\pict\\wmetafile8\\picw100 0123456789abcdef}"
    "\\cf1 rot\\cf0 , {\\i kursiv}, {\\ul unterstrichen\\ulnone  nicht}\\line zweite Zeile\\tab Tab\\par"
    "{\\f1 [MAILBOXEN]}\\par}";

}  // namespace

class RtfReaderTest : public QObject {
  Q_OBJECT

 private slots:
  void textOfSmallDocuments_data() {
    QTest::addColumn<QByteArray>("rtf");
    QTest::addColumn<QString>("shown");
    auto row = [](const char* name, const std::string& rtf, const QString& shown) {
      QTest::newRow(name) << QByteArray::fromStdString(rtf) << shown;
    };
    row("plain", "{\\rtf1 Hallo Welt}", "Hallo Welt");
    row("paragraphs", "{\\rtf1 eins\\par zwei\\par}", "eins|zwei|");
    row("line break stays in its paragraph", "{\\rtf1 a\\line b}", QString("a") + QChar(0x2028) + "b");
    row("tab word and tab byte", "{\\rtf1 a\\tab b\tc}", "a\tb\tc");
    row("file line ends are no text", "{\\rtf1 ab\r\ncd\n}", "abcd");
    row("backslash newline is a paragraph", "{\\rtf1 a\\\nb}", "a|b");
    row("escaped specials", "{\\rtf1 \\{x\\} \\\\}", "{x} \\");
    row("hex bytes in Windows-1252", "{\\rtf1 Gr\\'fc\\'dfe \\'80}", QString::fromUtf8("Grüße €"));
    row("raw high bytes in Windows-1252", "{\\rtf1 \xe4\x9f}", QString::fromUtf8("äŸ"));
    row("unicode with one fall-back", "{\\rtf1\\uc1 \\u8364?x}", QString::fromUtf8("€x"));
    row("unicode with no fall-back", "{\\rtf1\\uc0 \\u8364 x}", QString::fromUtf8("€x"));
    row("unicode with two fall-backs", "{\\rtf1\\uc2 \\u8364\\'80\\'80x}", QString::fromUtf8("€x"));
    row("negative unicode value", "{\\rtf1 \\u-3?}", QString(QChar(0xFFFD)));
    row("surrogate pair", "{\\rtf1 \\u-10179?\\u-8704?}", QString::fromUtf8("😀"));
    row("lone surrogate", "{\\rtf1 \\u-10179?x}", QString(QChar(0xFFFD)) + "x");
    row("fall-back skip ends at a brace", "{\\rtf1\\uc3 {\\u8364?}x}", QString::fromUtf8("€x"));
    row("ignorable destination", "{\\rtf1 {\\*\\generator Foo;}Text}", "Text");
    row("unknown ignorable destination", "{\\rtf1 {\\*\\blafasel {inner} x}y}", "y");
    row("tables and style sheet show nothing",
        "{\\rtf1{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red1\\green2\\blue3;}"
        "{\\stylesheet{\\s1 Heading;}}{\\info{\\title T}}Body}",
        "Body");
    row("picture and object skipped", "{\\rtf1 a{\\pict\\pngblip 89504e47}{\\object x}b}", "ab");
    row("header and footer skipped", "{\\rtf1{\\header H}{\\footer F}Text}", "Text");
    row("field shows its result only",
        "{\\rtf1{\\field{\\*\\fldinst HYPERLINK \"x\"}{\\fldrslt Link}}}", "Link");
    row("binary data is skipped by count", "{\\rtf1 a\\bin4 {{{{b}", "ab");
    row("special characters", "{\\rtf1 \\emdash\\endash\\bullet\\lquote\\rquote\\ldblquote\\rdblquote\\~}",
        QString::fromUtf8("—–•‘’“”\u00a0"));
    row("optional hyphen shows nothing", "{\\rtf1 Trenn\\-bar}", "Trennbar");
    row("unknown words are dropped", "{\\rtf1\\wibble42 \\foo x}", "x");
    row("text after the outer group is ignored", "{\\rtf1 a}b{c}", "a");
    row("extra closing braces end the document", "{\\rtf1 a}}}} b", "a");
    row("missing closing braces", "{\\rtf1 {\\b a", "a");
    row("empty", "", "");
    row("a lone backslash at the end", "{\\rtf1 a\\", "a");
    row("broken hex escape", "{\\rtf1 a\\'zzb\\'4", "azzb4");
  }

  void textOfSmallDocuments() {
    QFETCH(QByteArray, rtf);
    QFETCH(QString, shown);
    QCOMPARE(Read(rtf.toStdString()), shown);
  }

  void characterFormats() {
    QTextDocument doc;
    Read("{\\rtf1{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\fmodern Courier New;}}"
         "{\\colortbl;\\red255\\green0\\blue0;}"
         "\\b fett\\b0  normal {\\i kursiv} {\\ul unter\\ulnone  ohne} {\\b gruppe}wieder "
         "\\fs40 gross\\fs20  \\cf1 rot\\cf0  schwarz {\\f1 mono} \\b\\i beides\\plain  schlicht}",
         doc);
    QVERIFY(FormatAt(doc, "fett").fontWeight() == QFont::Bold);
    QVERIFY(FormatAt(doc, "normal").fontWeight() == QFont::Normal);
    QVERIFY(FormatAt(doc, "kursiv").fontItalic());
    QVERIFY(!FormatAt(doc, "normal").fontItalic());
    QVERIFY(FormatAt(doc, "unter").fontUnderline());
    QVERIFY(!FormatAt(doc, "ohne").fontUnderline());
    QVERIFY(FormatAt(doc, "gruppe").fontWeight() == QFont::Bold);
    QVERIFY2(FormatAt(doc, "wieder").fontWeight() == QFont::Normal, "a group's bold ends with it");
    QCOMPARE(FormatAt(doc, "gross").fontPointSize(), 20.0);
    QCOMPARE(FormatAt(doc, "rot").foreground().color(), QColor(255, 0, 0));
    QVERIFY(FormatAt(doc, "schwarz").foreground().style() == Qt::NoBrush);
    QCOMPARE(FormatAt(doc, "mono").fontFamilies().toStringList(), QStringList{"Courier New"});
    QCOMPARE(FormatAt(doc, "normal").fontFamilies().toStringList(), QStringList{"Arial"});
    QVERIFY(FormatAt(doc, "beides").fontItalic() && FormatAt(doc, "beides").fontWeight() == QFont::Bold);
    QVERIFY(!FormatAt(doc, "schlicht").fontItalic());
    QCOMPARE(FormatAt(doc, "schlicht").fontPointSize(), 12.0);
  }

  // Formats are made again when a table that they draw on arrives after
  // text; the reading leaves no undo record behind (it would take many
  // times the text's size).
  void lateTablesAndNoUndoRecord() {
    QTextDocument doc;
    QVERIFY(doc.isUndoRedoEnabled());
    Read("{\\rtf1 vorher{\\fonttbl{\\f0 Courier New;}} nachher {\\cf1 noch}"
         "{\\colortbl;\\red0\\green128\\blue0;} {\\cf1 gruen}\\par zwei}",
         doc);
    QVERIFY(FormatAt(doc, "vorher").fontFamilies().toStringList().isEmpty());
    QCOMPARE(FormatAt(doc, "nachher").fontFamilies().toStringList(), QStringList{"Courier New"});
    QVERIFY(FormatAt(doc, "noch").foreground().style() == Qt::NoBrush);
    QCOMPARE(FormatAt(doc, "gruen").foreground().color(), QColor(0, 128, 0));
    QCOMPARE(doc.availableUndoSteps(), 0);
    QVERIFY(doc.isUndoRedoEnabled());
  }

  void colourTableAutoEntryAndOutOfRangeIndex() {
    QTextDocument doc;
    Read("{\\rtf1{\\colortbl;\\red0\\green0\\blue255;}\\cf1 blau\\cf7 sieben\\cf0 auto}", doc);
    QCOMPARE(FormatAt(doc, "blau").foreground().color(), QColor(0, 0, 255));
    QVERIFY(FormatAt(doc, "sieben").foreground().style() == Qt::NoBrush);
    QVERIFY(FormatAt(doc, "auto").foreground().style() == Qt::NoBrush);
  }

  void paragraphAlignment() {
    QTextDocument doc;
    Read("{\\rtf1\\qc mitte\\par\\pard links\\par\\qr rechts\\par}", doc);
    QCOMPARE(doc.findBlockByNumber(0).blockFormat().alignment(), Qt::AlignHCenter);
    QCOMPARE(doc.findBlockByNumber(1).blockFormat().alignment(), Qt::AlignLeft);
    QCOMPARE(doc.findBlockByNumber(2).blockFormat().alignment(), Qt::AlignRight);
  }

  void sampleHelpDocument() {
    QTextDocument doc;
    const QString shown = Read(kSample, doc);
    QVERIFY2(shown.startsWith("Mail Vandoler|Das Programm l" + QString::fromUtf8("ö") + "scht Spam " +
                              QString::fromUtf8("€") + " auf dem Server.|rot, kursiv"),
             qPrintable(shown));
    QVERIFY(!shown.contains("Riched20"));
    QVERIFY(!shown.contains("Hilfe"));
    QVERIFY(!shown.contains("0123456789"));
    QVERIFY(shown.contains("[MAILBOXEN]"));
    QVERIFY(FormatAt(doc, "Mail Vandoler").fontWeight() == QFont::Bold);
    QCOMPARE(FormatAt(doc, "Mail Vandoler").fontPointSize(), 15.0);
    QCOMPARE(doc.findBlockByNumber(0).blockFormat().alignment(), Qt::AlignHCenter);
  }

  void hugeNumbersAreCut() {
    QTextDocument doc;
    QCOMPARE(Read("{\\rtf1\\fs99999999999999999999999 x\\u99999999999999? y\\uc99999999 \\u65 z}", doc),
             QString("x") + QChar(0xFFFD) + " yA");
    QVERIFY(FormatAt(doc, "x").fontPointSize() <= desktop::kMaxRtfFontHalfPoints / 2.0);
  }

  void deepNestingIsBounded() {
    const size_t depth = 100000;
    const std::string deep = "{\\rtf1 " + std::string(depth, '{') + "tief" + std::string(depth, '}') + "flach}";
    QCOMPARE(Read(deep), QString("flach"));
    // Nesting within the bound is read as usual.
    const size_t ok = desktop::kMaxRtfGroupDepth - 2;
    const std::string nested = "{\\rtf1 " + std::string(ok, '{') + "innen" + std::string(ok, '}') + "}";
    QCOMPARE(Read(nested), QString("innen"));
  }

  void longWordsAndTables() {
    const std::string longWord = "{\\rtf1 \\" + std::string(100000, 'a') + " x}";
    QCOMPARE(Read(longWord), QString("x"));
    std::string manyFonts = "{\\rtf1{\\fonttbl";
    for (int i = 0; i < 5000; ++i) manyFonts += "{\\f" + std::to_string(i) + " " + std::string(300, 'F') + ";}";
    manyFonts += "}\\f4999 x}";
    QCOMPARE(Read(manyFonts), QString("x"));
    const std::string binTooLong = "{\\rtf1 a\\bin999999999 bc}";
    QCOMPARE(Read(binTooLong), QString("a"));
  }

  // Every prefix of the sample and random bytes: no crash, no hang, and
  // never more text than input bytes.
  void truncatedAndGarbageInput() {
    for (size_t n = 0; n <= kSample.size(); ++n) {
      const std::string cut = kSample.substr(0, n);
      QTextDocument doc;
      ReadRtf(cut, &doc);
      QVERIFY(doc.toRawText().size() <= static_cast<qsizetype>(cut.size()) + 1);
    }
    QRandomGenerator random(20240601);
    const std::string alphabet = "{}\\\\\\'*;-0123456789abcdefuparbinfscl \r\n\x80\xff\x00";
    for (int round = 0; round < 3000; ++round) {
      std::string input;
      if (round % 2 == 0) {
        const int len = random.bounded(400);
        for (int i = 0; i < len; ++i)
          input.push_back(round % 4 == 0 ? static_cast<char>(random.bounded(256))
                                         : alphabet[random.bounded(static_cast<int>(alphabet.size()))]);
        input = "{\\rtf1 " + input;
      } else {
        input = kSample;
        const int edits = 1 + random.bounded(8);
        for (int e = 0; e < edits; ++e) {
          const int at = random.bounded(static_cast<int>(input.size()));
          input[static_cast<size_t>(at)] = alphabet[random.bounded(static_cast<int>(alphabet.size()))];
        }
      }
      QTextDocument doc;
      ReadRtf(input, &doc);
      QVERIFY(doc.toRawText().size() <= static_cast<qsizetype>(input.size()) + 1);
    }
  }

  void richEditLoadsRtfOrPlainText() {
    QTemporaryDir dir;
    const std::string rtfPath = (dir.path() + "/info.rtf").toStdString();
    const std::string txtPath = (dir.path() + "/info.txt").toStdString();
    std::ofstream(rtfPath, std::ios::binary) << "{\\rtf1 {\\b Hilfe}\\par Text}";
    std::ofstream(txtPath, std::ios::binary) << "{\\b kein rtf}\r\nZeile";
    desktop::TRichEdit view(nullptr);
    view.LoadFromFile(rtfPath);
    QCOMPARE(view.Text(), std::string("Hilfe\r\nText\r\n"));
    view.LoadFromFile(txtPath);
    QCOMPARE(view.Text(), std::string("{\\b kein rtf}\r\nZeile\r\n"));
    view.SetPlainText(true);
    view.LoadFromFile(rtfPath);
    QCOMPARE(view.Text(), std::string("{\\rtf1 {\\b Hilfe}\\par Text}\r\n"));
    QVERIFY_THROWS_EXCEPTION(platform::EFOpenError, view.LoadFromFile(dir.path().toStdString() + "/none.rtf"));
    QVERIFY(desktop::LooksLikeRtf(" \r\n{\\rtf1}"));
    QVERIFY(!desktop::LooksLikeRtf("{\\rt"));
  }
};

QTEST_MAIN(RtfReaderTest)
#include "RtfReaderTest.moc"
