#include "platform/Convert.h"

#include "platform/Exceptions.h"

namespace platform {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr size_t kMaxHexDigits = 8;

}  // namespace

std::optional<int32_t> TryStrToInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  std::string_view s = text.substr(i);
  if (s.empty()) return std::nullopt;

  size_t hexStart = 0;
  if (s[0] == '$' || s[0] == 'x' || s[0] == 'X') {
    hexStart = 1;
  } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    hexStart = 2;
  }
  if (hexStart > 0) {
    std::string_view digits = s.substr(hexStart);
    if (digits.empty() || digits.size() > kMaxHexDigits) return std::nullopt;
    uint32_t value = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return std::nullopt;
      value = (value << 4) | static_cast<uint32_t>(d);
    }
    return static_cast<int32_t>(value);
  }

  bool negative = false;
  size_t p = 0;
  if (s[0] == '-' || s[0] == '+') {
    negative = s[0] == '-';
    p = 1;
  }
  if (p >= s.size()) return std::nullopt;
  int64_t value = 0;
  for (; p < s.size(); ++p) {
    char c = s[p];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;  // stop before overflow
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

int32_t StrToInt(std::string_view text) {
  if (auto v = TryStrToInt(text)) return *v;
  throw ConvertError(std::string(text));
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

namespace {

std::string_view Trimmed(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
  return text.substr(b, e - b);
}

void UpInPlace(std::string& text) {
  for (char& c : text) c = UpCase(c);
}

}  // namespace

std::string Trim(std::string_view text) { return std::string(Trimmed(text)); }

std::string UpperCase(std::string_view text) {
  std::string r(text);
  UpInPlace(r);
  return r;
}

void AssignUpperTrimmed(std::string_view text, std::string& out) {
  out.assign(Trimmed(text));
  UpInPlace(out);
}

}  // namespace platform
