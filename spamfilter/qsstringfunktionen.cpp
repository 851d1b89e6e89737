#include "spamfilter/qsstringfunktionen.h"

#include <algorithm>

#include "platform/Convert.h"
#include "platform/Exceptions.h"

KELVO_CORE_BEGIN

namespace {

std::string_view Kurz(std::string_view text) { return text.substr(0, std::min(text.size(), kKurzTextLaenge)); }

// 0-based position of the first occurrence, npos when there is none. An
// empty separator is never found.
size_t Finde(std::string_view text, std::string_view separator) {
  if (separator.empty() || text.empty()) return std::string_view::npos;
  return text.find(separator);
}

}  // namespace

std::string StrNach(std::string_view text, std::string_view separator) {
  text = Kurz(text);
  separator = Kurz(separator);
  size_t p = Finde(text, separator);
  if (p == std::string_view::npos) return {};
  return std::string(text.substr(p + separator.size()));
}

std::string StrVor(std::string_view text, std::string_view separator) {
  text = Kurz(text);
  separator = Kurz(separator);
  size_t p = Finde(text, separator);
  if (p == std::string_view::npos) return std::string(text);
  return std::string(text.substr(0, p));
}

void StrTeilen(std::string_view text, std::string& vor, std::string_view separator, std::string& nach) {
  separator = Kurz(separator);
  size_t p = Finde(text, separator);
  // Both parts are built before either output is assigned: `text` may view
  // one of the outputs.
  std::string before, after;
  if (p == std::string_view::npos) {
    before = std::string(text);
  } else {
    if (p + 1 > kTeilenMaxPosition) throw platform::RangeError();
    before = std::string(text.substr(0, p));
    after = std::string(text.substr(p + separator.size()));
  }
  vor = std::move(before);
  nach = std::move(after);
}

int32_t ListenIndex(std::string_view item, std::string_view liste, char sep) {
  std::string l;
  l.reserve(liste.size() + 2);
  l += sep;
  l += platform::UpperCase(liste);
  l += sep;
  std::string i;
  i.reserve(item.size() + 2);
  i += sep;
  i += platform::UpperCase(item);
  i += sep;
  size_t p = l.find(i);
  if (p == std::string::npos) return 0;
  return static_cast<int32_t>(std::count(l.begin(), l.begin() + static_cast<std::ptrdiff_t>(p) + 1, sep));
}

KELVO_CORE_END
