// Whole-number conversion and the byte-wise text helpers of the run-time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Decimal with optional sign inside the 32-bit signed range, or "$", "x",
// "X", "0x", "0X" followed by 1 to 8 hex digits taken as the 32 bits.
// Leading blanks are accepted. Anything else gives no value.
std::optional<int32_t> TryStrToInt(std::string_view text);

// As TryStrToInt, but raises EConvertError naming the text as given.
int32_t StrToInt(std::string_view text);

std::string IntToStr(int64_t value);

// Characters with codes 0 to 32 are removed at both ends.
std::string Trim(std::string_view text);

// Only the letters a to z change; every other byte stays as it is.
std::string UpperCase(std::string_view text);
// Inline: header scans compare every line's first bytes through it.
inline char UpCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
// Trim, then UpperCase, into `out`: its room is kept, so a caller that does
// this for every entry of a list reuses one text.
void AssignUpperTrimmed(std::string_view text, std::string& out);

}  // namespace platform
