#include "window/desktop/RtfReader.h"

#include "window/desktop/TextCodec.h"

#include <QColor>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace desktop {
namespace {

constexpr int kDefaultHalfPoints = 24;  // 12 pt
constexpr int64_t kParamLimit = INT32_MAX;

enum class Dest { Text, Skip, FontTable, ColorTable };

struct GroupState {
  Dest dest = Dest::Text;
  bool bold = false;
  bool italic = false;
  bool underline = false;
  bool strike = false;
  int halfPoints = kDefaultHalfPoints;
  int font = -1;
  int color = 0;
  int uc = 1;
  Qt::Alignment align = Qt::AlignLeft;
};

struct FontEntry {
  std::string name;
  QFont::StyleHint hint = QFont::AnyStyle;
};

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Destinations whose text is never shown.
bool IsSkippedDestination(std::string_view w) {
  static const char* const kSkipped[] = {
      "stylesheet", "info", "pict", "object", "objdata", "header", "headerl", "headerr",
      "headerf", "footer", "footerl", "footerr", "footerf", "footnote", "fldinst", "xe",
      "tc", "txe", "rxe", "bkmkstart", "bkmkend", "listtable", "listoverridetable",
      "revtbl", "rsidtbl", "generator", "filetbl", "pgdsctbl", "private", "datafield",
      "themedata", "colorschememapping", "latentstyles", "datastore", "xmlnstbl",
      "author", "operator", "title", "subject", "keywords", "comment", "doccomm",
      "creatim", "revtim", "printim", "buptim", "template", "nonshppict", "shp",
      "shpinst", "annotation", "atnid", "atnauthor", "userprops", "docvar", "mmathPr",
      "listtext", "pntext", "pntxta", "pntxtb", "fchars", "lchars", "blipuid",
  };
  for (const char* s : kSkipped)
    if (w == s) return true;
  return false;
}

class Reader {
 public:
  Reader(std::string_view input, QTextDocument* document)
      : in_(input), cursor_(document) {
    cursor_.movePosition(QTextCursor::End);
    stack_.push_back(GroupState{});
  }

  void Run() {
    while (pos_ < in_.size() && !done_) Step();
    Flush();
  }

 private:
  GroupState& Top() { return stack_.back(); }

  void Step() {
    const char c = in_[pos_];
    if (c == '{') {
      ++pos_;
      OpenGroup();
    } else if (c == '}') {
      ++pos_;
      CloseGroup();
    } else if (c == '\\') {
      ++pos_;
      Control();
    } else {
      ++pos_;
      if (c == '\r' || c == '\n') return;  // line ends of the file are no text
      if (ConsumeSkip()) return;
      Char(c);
    }
  }

  bool Ignoring() const { return overDepth_ > 0; }

  void OpenGroup() {
    skip_ = 0;
    if (Ignoring() || stack_.size() >= kMaxRtfGroupDepth) {
      ++overDepth_;
      return;
    }
    stack_.push_back(Top());
    started_ = true;
  }

  void CloseGroup() {
    skip_ = 0;
    if (overDepth_ > 0) {
      --overDepth_;
      return;
    }
    if (Top().dest == Dest::FontTable) CommitFont();
    if (stack_.size() <= 1) {  // a brace that closes nothing ends the document
      done_ = true;
      return;
    }
    Flush();
    stack_.pop_back();
    if (stack_.size() == 1 && started_) done_ = true;  // the outer group is closed
  }

  // A fall-back character after \uN is skipped here.
  bool ConsumeSkip() {
    if (skip_ <= 0) return false;
    --skip_;
    return true;
  }

  void Control() {
    if (pos_ >= in_.size()) return;
    const char c = in_[pos_];
    if (!IsLetter(c)) {
      ++pos_;
      Symbol(c);
      return;
    }
    const size_t start = pos_;
    while (pos_ < in_.size() && IsLetter(in_[pos_])) ++pos_;
    std::string_view word = in_.substr(start, pos_ - start);
    if (word.size() > kMaxRtfControlWordLength) word = std::string_view("?unknown?");
    bool hasParam = false;
    bool negative = false;
    int64_t value = 0;
    if (pos_ < in_.size() && in_[pos_] == '-' && pos_ + 1 < in_.size() && IsDigit(in_[pos_ + 1])) {
      negative = true;
      ++pos_;
    }
    while (pos_ < in_.size() && IsDigit(in_[pos_])) {
      hasParam = true;
      value = std::min<int64_t>(value * 10 + (in_[pos_] - '0'), kParamLimit);
      ++pos_;
    }
    if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;  // the delimiter belongs to the word
    const int param = static_cast<int>(negative ? -value : value);
    if (word == "bin") {
      // Binary data follows: skip exactly that many bytes, if there are.
      const size_t n = hasParam && param > 0 ? static_cast<size_t>(param) : 0;
      pos_ += std::min(n, in_.size() - pos_);
      return;
    }
    if (Ignoring()) return;
    if (word == "u" && hasParam) {
      if (ConsumeSkip()) return;
      Unicode(param);
      return;
    }
    if (ConsumeSkip()) return;
    Word(word, hasParam, param);
  }

  void Symbol(char c) {
    if (Ignoring()) return;
    switch (c) {
      case '\\': case '{': case '}':
        if (!ConsumeSkip()) Char(c);
        return;
      case '\'': {
        int hi = pos_ < in_.size() ? HexValue(in_[pos_]) : -1;
        int lo = pos_ + 1 < in_.size() ? HexValue(in_[pos_ + 1]) : -1;
        if (hi < 0 || lo < 0) return;  // a broken escape shows nothing
        pos_ += 2;
        if (ConsumeSkip()) return;
        Char(static_cast<char>(hi * 16 + lo));
        return;
      }
      case '*':
        Top().dest = Dest::Skip;
        return;
      case '~':
        if (!ConsumeSkip()) Emit(QChar(0x00A0));
        return;
      case '_':
        if (!ConsumeSkip()) Emit(QChar(0x2011));
        return;
      case '-':
        ConsumeSkip();
        return;
      case '\r': case '\n':
        if (!ConsumeSkip()) Paragraph();
        return;
      case '\t':
        if (!ConsumeSkip()) Emit(QChar(u'\t'));
        return;
      default:
        ConsumeSkip();
        return;
    }
  }

  void Word(std::string_view w, bool hasParam, int param) {
    GroupState& s = Top();
    const bool on = !hasParam || param != 0;
    if (w == "fonttbl") { s.dest = Dest::FontTable; return; }
    if (w == "colortbl") { s.dest = Dest::ColorTable; colorPending_ = false; return; }
    if (IsSkippedDestination(w)) { s.dest = Dest::Skip; return; }
    if (s.dest == Dest::Skip) return;
    if (s.dest == Dest::FontTable) {
      if (w == "f" && hasParam) { CommitFont(); tableFont_ = param; }
      else if (w == "fswiss" || w == "fnil") fontHint_ = QFont::SansSerif;
      else if (w == "froman") fontHint_ = QFont::Serif;
      else if (w == "fmodern") fontHint_ = QFont::TypeWriter;
      else if (w == "fscript") fontHint_ = QFont::Cursive;
      else if (w == "fdecor") fontHint_ = QFont::Decorative;
      return;
    }
    if (s.dest == Dest::ColorTable) {
      const int v = std::clamp(param, 0, 255);
      if (w == "red") { red_ = v; colorPending_ = true; }
      else if (w == "green") { green_ = v; colorPending_ = true; }
      else if (w == "blue") { blue_ = v; colorPending_ = true; }
      return;
    }
    if (w == "par" || w == "sect" || w == "page") { Paragraph(); return; }
    if (w == "line") { Emit(QChar(QChar::LineSeparator)); return; }
    if (w == "tab") { Emit(QChar(u'\t')); return; }
    if (w == "b") { s.bold = on; return; }
    if (w == "i") { s.italic = on; return; }
    if (w == "ul") { s.underline = on; return; }
    if (w == "ulnone") { s.underline = false; return; }
    if (w == "strike") { s.strike = on; return; }
    if (w == "fs") {
      if (hasParam && param > 0) s.halfPoints = std::min(param, kMaxRtfFontHalfPoints);
      return;
    }
    if (w == "f") { if (hasParam) s.font = param; return; }
    if (w == "deff") {
      if (hasParam) defaultFont_ = param;
      formatValid_ = false;
      return;
    }
    if (w == "cf") { if (hasParam) s.color = param; return; }
    if (w == "uc") { if (hasParam) s.uc = std::clamp(param, 0, 16); return; }
    if (w == "plain") {
      s.bold = s.italic = s.underline = s.strike = false;
      s.halfPoints = kDefaultHalfPoints;
      s.font = -1;
      s.color = 0;
      return;
    }
    if (w == "pard") { s.align = Qt::AlignLeft; SetAlign(s.align); return; }
    if (w == "ql") { s.align = Qt::AlignLeft; SetAlign(s.align); return; }
    if (w == "qr") { s.align = Qt::AlignRight; SetAlign(s.align); return; }
    if (w == "qc") { s.align = Qt::AlignHCenter; SetAlign(s.align); return; }
    if (w == "qj") { s.align = Qt::AlignJustify; SetAlign(s.align); return; }
    if (w == "emdash") { Emit(QChar(0x2014)); return; }
    if (w == "endash") { Emit(QChar(0x2013)); return; }
    if (w == "bullet") { Emit(QChar(0x2022)); return; }
    if (w == "lquote") { Emit(QChar(0x2018)); return; }
    if (w == "rquote") { Emit(QChar(0x2019)); return; }
    if (w == "ldblquote") { Emit(QChar(0x201C)); return; }
    if (w == "rdblquote") { Emit(QChar(0x201D)); return; }
    if (w == "emspace") { Emit(QChar(0x2003)); return; }
    if (w == "enspace") { Emit(QChar(0x2002)); return; }
    // Every other word changes nothing that is shown.
  }

  void Unicode(int param) {
    // Values are signed 16-bit numbers; negative ones stand for 65536 more.
    int code = param < 0 ? param + 65536 : param;
    skip_ = Top().uc;
    if (code < 0 || code > 0xFFFF) code = 0xFFFD;
    const auto unit = static_cast<char16_t>(code);
    if (QChar::isHighSurrogate(unit)) {
      FlushSurrogate();
      highSurrogate_ = unit;
      return;
    }
    if (QChar::isLowSurrogate(unit)) {
      if (highSurrogate_) {
        const char16_t pair[2] = {highSurrogate_, unit};
        highSurrogate_ = 0;
        EmitText(QString(reinterpret_cast<const QChar*>(pair), 2));
      } else {
        Emit(QChar(0xFFFD));
      }
      return;
    }
    Emit(QChar(unit));
  }

  void Char(char c) {
    GroupState& s = Top();
    if (Ignoring() || s.dest == Dest::Skip) return;
    if (s.dest == Dest::FontTable) {
      if (c == ';') {
        CommitFont();
      } else if (fontName_.size() < kMaxRtfFontNameLength) {
        fontName_.push_back(c);
      }
      return;
    }
    if (s.dest == Dest::ColorTable) {
      if (c == ';') CommitColor();
      return;
    }
    const auto b = static_cast<unsigned char>(c);
    if (b == '\t') {
      Emit(QChar(u'\t'));
      return;
    }
    if (b < 0x20) return;
    Emit(DecodeWindows1252(std::string_view(&c, 1)).at(0));
  }

  void CommitFont() {
    if (tableFont_ >= 0 && fonts_.size() < kMaxRtfTableEntries) {
      std::string name = fontName_;
      while (!name.empty() && name.back() == ' ') name.pop_back();
      while (!name.empty() && name.front() == ' ') name.erase(name.begin());
      fonts_[tableFont_] = FontEntry{name, fontHint_};
      formatValid_ = false;
    }
    tableFont_ = -1;
    fontName_.clear();
    fontHint_ = QFont::AnyStyle;
  }

  void CommitColor() {
    if (colors_.size() < kMaxRtfTableEntries)
      colors_.push_back(colorPending_ ? QColor(red_, green_, blue_) : QColor());
    formatValid_ = false;
    red_ = green_ = blue_ = 0;
    colorPending_ = false;
  }

  void Emit(QChar ch) { EmitText(QString(ch)); }

  void EmitText(const QString& text) {
    GroupState& s = Top();
    if (Ignoring() || s.dest != Dest::Text) return;
    if (!text.isEmpty() && !text.at(0).isLowSurrogate()) FlushSurrogate();
    // The format is built again only when the state that makes it changed.
    if (!FormatIsFor(s)) {
      if (!pending_.isEmpty()) Flush();
      pendingFormat_ = FormatOf(s);
      formatState_ = s;
      formatValid_ = true;
    }
    pending_ += text;
  }

  void FlushSurrogate() {
    if (!highSurrogate_) return;
    highSurrogate_ = 0;
    pending_ += QChar(0xFFFD);
  }

  void Paragraph() {
    if (Top().dest != Dest::Text) return;
    Flush();
    cursor_.insertBlock();
    SetAlign(Top().align);
  }

  void SetAlign(Qt::Alignment align) {
    if (Top().dest != Dest::Text) return;
    Flush();
    QTextBlockFormat format = cursor_.blockFormat();
    if (format.alignment() == align) return;
    format.setAlignment(align);
    cursor_.setBlockFormat(format);
  }

  void Flush() {
    if (highSurrogate_) {
      highSurrogate_ = 0;
      pending_ += QChar(0xFFFD);
    }
    if (pending_.isEmpty()) return;
    cursor_.insertText(pending_, pendingFormat_);
    pending_.clear();
  }

  bool FormatIsFor(const GroupState& s) const {
    const GroupState& f = formatState_;
    return formatValid_ && f.bold == s.bold && f.italic == s.italic && f.underline == s.underline &&
           f.strike == s.strike && f.halfPoints == s.halfPoints && f.font == s.font && f.color == s.color;
  }

  QTextCharFormat FormatOf(const GroupState& s) const {
    QTextCharFormat f;
    f.setFontWeight(s.bold ? QFont::Bold : QFont::Normal);
    f.setFontItalic(s.italic);
    f.setFontUnderline(s.underline);
    f.setFontStrikeOut(s.strike);
    f.setFontPointSize(s.halfPoints / 2.0);
    const int font = s.font >= 0 ? s.font : defaultFont_;
    const auto it = fonts_.find(font);
    if (it != fonts_.end() && !it->second.name.empty()) {
      f.setFontFamilies({DecodeWindows1252(it->second.name)});
      f.setFontStyleHint(it->second.hint);
    }
    if (s.color > 0 && static_cast<size_t>(s.color) < colors_.size() &&
        colors_[static_cast<size_t>(s.color)].isValid())
      f.setForeground(colors_[static_cast<size_t>(s.color)]);
    return f;
  }

  std::string_view in_;
  size_t pos_ = 0;
  QTextCursor cursor_;
  std::vector<GroupState> stack_;
  size_t overDepth_ = 0;
  bool started_ = false;
  bool done_ = false;
  int skip_ = 0;
  char16_t highSurrogate_ = 0;

  QString pending_;
  QTextCharFormat pendingFormat_;
  GroupState formatState_;  // the state pendingFormat_ was built from
  bool formatValid_ = false;

  std::map<int, FontEntry> fonts_;
  int defaultFont_ = 0;  // without \deff the first font is the default
  int tableFont_ = -1;
  std::string fontName_;
  QFont::StyleHint fontHint_ = QFont::AnyStyle;

  std::vector<QColor> colors_;
  int red_ = 0, green_ = 0, blue_ = 0;
  bool colorPending_ = false;
};

}  // namespace

bool LooksLikeRtf(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) <= ' ') ++i;
  return bytes.substr(i, 5) == "{\\rtf";
}

void ReadRtf(std::string_view rtf, QTextDocument* document) {
  if (!document) return;
  // The text goes in as one edit, laid out once at its end; an undo record
  // of every piece would take many times the text's size.
  const bool undo = document->isUndoRedoEnabled();
  document->setUndoRedoEnabled(false);
  QTextCursor edit(document);
  edit.beginEditBlock();
  Reader(rtf, document).Run();
  edit.endEditBlock();
  document->setUndoRedoEnabled(undo);
}

}  // namespace desktop
