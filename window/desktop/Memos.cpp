#include "window/desktop/Memos.h"

#include "platform/Exceptions.h"
#include "platform/TextFile.h"
#include "window/desktop/Clipboard.h"
#include "window/desktop/RtfReader.h"

#include <QMimeData>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace desktop {
namespace {

// Edited text is written with the break the data files use.
constexpr const char* kLineBreak = "\r\n";

// A break at the very end leaves an empty last line in the editor.
bool EndsWithBreak(std::string_view text) {
  return !text.empty() && (text.back() == '\r' || text.back() == '\n');
}

}  // namespace

void ApplyScrollStyle(QAbstractScrollArea* area, TScrollStyle style) {
  const bool h = style == TScrollStyle::ssHorizontal || style == TScrollStyle::ssBoth;
  const bool v = style == TScrollStyle::ssVertical || style == TScrollStyle::ssBoth;
  area->setHorizontalScrollBarPolicy(h ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  area->setVerticalScrollBarPolicy(v ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
}

// ---- TMemoLines ----

QStringList TMemoLines::Counted() const {
  QStringList shown = memo_.ShownLines();
  if (!shown.isEmpty() && shown.back().isEmpty()) shown.removeLast();
  return shown;
}

int TMemoLines::Count() const { return static_cast<int>(Counted().size()); }

std::string TMemoLines::Strings(int i) const {
  const QStringList shown = Counted();
  if (i < 0 || i >= shown.size()) throw platform::RangeError();
  return memo_.EncodeLine(shown[i]);
}

void TMemoLines::Add(std::string_view line) {
  const QString added = memo_.DecodeLine(line);
  QTextCursor cursor(memo_.document());
  cursor.movePosition(QTextCursor::End);
  if (memo_.document()->isEmpty() || cursor.block().text().isEmpty())
    cursor.insertText(added + QChar(u'\n'));  // the new line ends with a break
  else
    cursor.insertText(QChar(u'\n') + added);
}

void TMemoLines::Clear() { memo_.SetText({}); }

std::string TMemoLines::Text() const {
  // The editor's text is taken once, not once per line.
  std::string text;
  for (const QString& line : Counted()) {
    text += memo_.EncodeLine(line);
    text += kLineBreak;
  }
  return text;
}

void TMemoLines::SetText(std::string_view bytes) { memo_.SetText(bytes); }

void TMemoLines::LoadFromFile(const std::string& path) {
  memo_.SetText(platform::ReadWholeFile(path));
}

platform::TStringList TMemoLines::ToStringList() const {
  platform::TStringList list;
  for (const QString& line : Counted()) list.Add(memo_.EncodeLine(line));
  return list;
}

// ---- TMemo ----

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent), TControl(this), lines_(*this) {
  SetWantTabs(false);
}

QStringList TMemo::ShownLines() const {
  // The raw text keeps what the plain text would change (non-breaking
  // spaces); blocks are separated by the paragraph separator.
  const QString all = document()->toRawText();
  if (all.isEmpty()) return {};
  return all.split(QChar(QChar::ParagraphSeparator));
}

void TMemo::SetShownLines(const QStringList& lines) { setPlainText(lines.join(QChar(u'\n'))); }

QString TMemo::DecodeLine(std::string_view bytes) {
  QString shown = BytesToQString(bytes);
  givenLines_.try_emplace(shown, std::string(bytes));
  return shown;
}

std::string TMemo::EncodeLine(const QString& shown) const {
  const auto it = givenLines_.find(shown);
  if (it != givenLines_.end()) return it->second;
  return Encode(shown, encoding_);
}

void TMemo::SetText(std::string_view bytes) {
  givenLines_.clear();
  encoding_ = DetectEncoding(bytes);
  QStringList shown;
  for (const std::string& line : platform::SplitLines(bytes)) shown.append(DecodeLine(line));
  if (EndsWithBreak(bytes)) shown.append(QString());
  SetShownLines(shown);
  givenBytes_ = std::string(bytes);
  givenShown_ = document()->toRawText();
}

std::string TMemo::Text() const {
  if (document()->toRawText() == givenShown_) return givenBytes_;
  const QStringList shown = ShownLines();
  std::string text;
  for (qsizetype i = 0; i < shown.size(); ++i) {
    if (i > 0) text += kLineBreak;
    text += EncodeLine(shown[i]);
  }
  return text;
}

void TMemo::insertFromMimeData(const QMimeData* source) {
  if (source)
    if (std::optional<std::string> bytes = ClipboardBytes(*source))
      for (const std::string& line : platform::SplitLines(*bytes)) DecodeLine(line);
  QPlainTextEdit::insertFromMimeData(source);
}

void TMemo::SetWordWrap(bool wrap) {
  setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
}

void TMemo::SetScrollBars(TScrollStyle style) { ApplyScrollStyle(this, style); }

// ---- TRichEdit ----

TRichEdit::TRichEdit(QWidget* parent) : QTextEdit(parent), TControl(this) {
  setAcceptRichText(false);
  SetWantTabs(false);
}

void TRichEdit::SetScrollBars(TScrollStyle style) { ApplyScrollStyle(this, style); }

void TRichEdit::SetWordWrap(bool wrap) {
  setLineWrapMode(wrap ? QTextEdit::WidgetWidth : QTextEdit::NoWrap);
}

void TRichEdit::LoadFromFile(const std::string& path) {
  LoadFromBytes(platform::ReadWholeFile(path));
}

void TRichEdit::LoadFromBytes(std::string_view bytes) {
  if (!plainText_ && LooksLikeRtf(bytes)) {
    document()->clear();
    ReadRtf(bytes, document());
  } else {
    SetText(bytes);
  }
}

void TRichEdit::SetText(std::string_view bytes) {
  QStringList shown;
  for (const std::string& line : platform::SplitLines(bytes)) shown.append(BytesToQString(line));
  setPlainText(shown.join(QChar(u'\n')));
}

std::string TRichEdit::Text() const {
  std::string text;
  for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) {
    text += QStringToBytes(b.text());
    text += kLineBreak;
  }
  return text;
}

}  // namespace desktop
