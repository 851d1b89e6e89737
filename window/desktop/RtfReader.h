// A small reader for RTF, enough for help texts written by a word
// processor: groups, paragraphs and line breaks, tabs, bold, italic,
// underline, font sizes, the font and colour tables, \'hh bytes in
// Windows-1252, \uN characters with their \ucN fall-backs, paragraph
// alignment, and skipping of the destinations it does not show (\*, the
// style sheet, document info, pictures, objects, headers, footers, ...).
//
// The file is untrusted input: the reader never fails and never reads past
// the end; it bounds the group nesting and the tables it keeps and reads in
// one pass, so a truncated, unbalanced or garbage file gives some document
// in time linear in its size.
#pragma once

#include <cstddef>
#include <string_view>

class QTextDocument;

namespace desktop {

// Groups nested deeper than this are read as ignored content.
constexpr size_t kMaxRtfGroupDepth = 128;
// Entries kept of the font table and of the colour table.
constexpr size_t kMaxRtfTableEntries = 1024;
// Characters kept of a font name.
constexpr size_t kMaxRtfFontNameLength = 128;
// Letters that make up a control word; longer words are unknown words.
constexpr size_t kMaxRtfControlWordLength = 32;
// Font sizes are in half points; larger ones are cut to this.
constexpr int kMaxRtfFontHalfPoints = 1638;

// True for bytes that start (after blanks) with "{\rtf".
bool LooksLikeRtf(std::string_view bytes);

// Appends the text of the RTF to the document (clear it first for a fresh
// view). Never throws for any input.
void ReadRtf(std::string_view rtf, QTextDocument* document);

}  // namespace desktop
