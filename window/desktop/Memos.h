// Memos (plain text editors of the list files and the log pages) and the
// rich-text view.
//
// A memo's text is bytes. It is shown decoded, line by line: a line that is
// valid UTF-8 as UTF-8, any other as Windows-1252. What the memo gives back
// is byte-identical to what it was given as long as the text is unchanged;
// after edits, every line still showing a text it was given keeps its
// bytes, new lines are written in the encoding of the text it was given
// (UTF-8 unless that was not valid UTF-8), and lines are joined by CR LF,
// whatever breaks the text given used.
#pragma once

#include "platform/StringList.h"
#include "window/desktop/Controls.h"
#include "window/desktop/TextCodec.h"

#include <QPlainTextEdit>
#include <QTextEdit>

#include <string>
#include <string_view>
#include <unordered_map>

namespace desktop {

class TMemo;

enum class TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

// The memo's lines: a last line break opens no line of its own.
class TMemoLines {
 public:
  explicit TMemoLines(TMemo& memo) : memo_(memo) {}

  int Count() const;
  std::string operator[](int i) const { return Strings(i); }
  // Raises platform::ERangeError for an index that names no line.
  std::string Strings(int i) const;
  // Appends a line (after a break of its own when the last line has none).
  void Add(std::string_view line);
  void Clear();
  // Each line followed by CR LF.
  std::string Text() const;
  // Replaces the memo's text.
  void SetText(std::string_view bytes);
  // The file's bytes become the memo's text; raises EFOpenError.
  void LoadFromFile(const std::string& path);
  platform::TStringList ToStringList() const;

 private:
  // The shown lines without the empty one a last break opens.
  QStringList Counted() const;
  TMemo& memo_;
};

class TMemo : public QPlainTextEdit, public TControl {
 public:
  explicit TMemo(QWidget* parent);

  TMemoLines& Lines() { return lines_; }
  const TMemoLines& Lines() const { return lines_; }

  // The whole text as the memo holds it, lines joined by their breaks.
  std::string Text() const;
  void SetText(std::string_view bytes);

  TTextEncoding Encoding() const { return encoding_; }

  void SetWordWrap(bool wrap);
  void SetScrollBars(TScrollStyle style);
  void SetReadOnly(bool readOnly) { setReadOnly(readOnly); }
  // Off (the default): Tab and Shift+Tab move the focus on to the next or
  // previous control, as in every other control of a form; on: Tab is
  // typed into the text. Tabs pasted in are kept either way.
  bool WantTabs() const { return !tabChangesFocus(); }
  void SetWantTabs(bool want) { setTabChangesFocus(!want); }

 protected:
  // Lines pasted or dropped from this program's clipboard text keep the
  // bytes they were copied from.
  void insertFromMimeData(const QMimeData* source) override;

 private:
  friend class TMemoLines;
  // Bytes of one line shown as `shown`.
  std::string EncodeLine(const QString& shown) const;
  QString DecodeLine(std::string_view bytes);
  // The shown lines, the empty last one of a final break included.
  QStringList ShownLines() const;
  void SetShownLines(const QStringList& lines);

  TMemoLines lines_;
  std::string givenBytes_;
  QString givenShown_;
  TTextEncoding encoding_ = TTextEncoding::Utf8;
  std::unordered_map<QString, std::string> givenLines_;
};

// Rich text view. With PlainText set (or for a file that is not RTF) the
// text is shown as it is; else RTF is read into the view's document.
class TRichEdit : public QTextEdit, public TControl {
 public:
  explicit TRichEdit(QWidget* parent);

  bool PlainText() const { return plainText_; }
  void SetPlainText(bool plain) { plainText_ = plain; }
  void SetScrollBars(TScrollStyle style);
  void SetWordWrap(bool wrap);
  // As in TMemo.
  bool WantTabs() const { return !tabChangesFocus(); }
  void SetWantTabs(bool want) { setTabChangesFocus(!want); }

  // Raises EFOpenError when the file cannot be read.
  void LoadFromFile(const std::string& path);
  // RTF (unless PlainText) or plain bytes.
  void LoadFromBytes(std::string_view bytes);
  void SetText(std::string_view bytes);
  // The shown text as plain UTF-8, paragraphs ended by CR LF.
  std::string Text() const;

 private:
  bool plainText_ = false;
};

void ApplyScrollStyle(QAbstractScrollArea* area, TScrollStyle style);

}  // namespace desktop
