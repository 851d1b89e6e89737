#include "platform/StringList.h"

#include "platform/TextFile.h"

namespace platform {

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  ForEachTextLine(text, [&lines](std::string_view line) { lines.emplace_back(line); });
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
