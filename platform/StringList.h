// The run-time's string list: lines of bytes, with the text form that joins
// every line with CR LF.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

class TStringList {
 public:
  TStringList() = default;
  explicit TStringList(std::vector<std::string> lines) : lines_(std::move(lines)) {}

  int Count() const { return static_cast<int>(lines_.size()); }
  const std::string& operator[](int i) const { return lines_.at(static_cast<size_t>(i)); }
  std::string& operator[](int i) { return lines_.at(static_cast<size_t>(i)); }
  void Add(std::string line) { lines_.push_back(std::move(line)); }
  void Clear() { lines_.clear(); }

  // Every line followed by CR LF.
  std::string Text() const;
  // CR LF, a lone CR and a lone LF each end a line; a last line without an
  // end still counts, an end at the very end opens no empty line.
  void SetText(std::string_view text);

  // Raises EFOpenError when the file cannot be read.
  void LoadFromFile(const std::string& path);
  // Writes Text() whole; raises EFCreateError when it cannot be written.
  void SaveToFile(const std::string& path) const;

  const std::vector<std::string>& Lines() const { return lines_; }
  std::vector<std::string>& Lines() { return lines_; }

 private:
  std::vector<std::string> lines_;
};

// Hands `f` each line of `text` as a view into it, split as SetText splits.
template <class F>
void ForEachTextLine(std::string_view text, F&& f) {
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    f(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) f(text.substr(start));
}

std::vector<std::string> SplitLines(std::string_view text);

}  // namespace platform
