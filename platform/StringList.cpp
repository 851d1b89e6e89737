#include "platform/StringList.h"

#include "platform/TextFile.h"

namespace platform {

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      ++i;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string TStringList::Text() const {
  std::string t;
  size_t total = 0;
  for (const auto& l : lines_) total += l.size() + 2;
  t.reserve(total);
  for (const auto& l : lines_) {
    t += l;
    t += "\r\n";
  }
  return t;
}

void TStringList::SetText(std::string_view text) { lines_ = SplitLines(text); }

void TStringList::LoadFromFile(const std::string& path) { SetText(ReadWholeFile(path)); }

void TStringList::SaveToFile(const std::string& path) const { WriteWholeFile(path, Text()); }

}  // namespace platform
