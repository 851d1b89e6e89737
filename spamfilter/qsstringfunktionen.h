// Small text helpers used by the parsers of both list files and by the log
// writer: split at the first separator, and look up a whole item in a
// separator-separated keyword list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "spamfilter/CoreBuild.h"

KELVO_CORE_BEGIN

// Longest text StrNach and StrVor look at; longer texts are cut before the
// search. The list parsers rely on this cut.
inline constexpr size_t kKurzTextLaenge = 255;
// Highest separator position StrTeilen can report (an 8-bit position).
inline constexpr size_t kTeilenMaxPosition = 255;

// Text after the first occurrence of `separator`; empty when it does not
// occur (an empty separator never occurs).
std::string StrNach(std::string_view text, std::string_view separator);

// Text before the first occurrence of `separator`; the whole (cut) text when
// it does not occur.
std::string StrVor(std::string_view text, std::string_view separator);

// Splits at the first occurrence: `vor` gets the part before, `nach` the part
// after. Without the separator `vor` is the whole text and `nach` is empty.
// A separator found beyond position 255 raises ERangeError before either
// output is written.
void StrTeilen(std::string_view text, std::string& vor, std::string_view separator, std::string& nach);

// 1-based number of the element of `liste` (elements separated by `sep`) that
// equals `item`, ignoring the case of a-z only; 0 when none does.
int32_t ListenIndex(std::string_view item, std::string_view liste, char sep);

KELVO_CORE_END
