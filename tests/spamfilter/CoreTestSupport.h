// Helpers of the filter core's tests: a private program folder, and small
// builders for sessions and string lists.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>

#include "platform/Runtime.h"
#include "platform/StringList.h"
#include "platform/TextFile.h"
#include "spamfilter/DataFiles.h"

namespace coretest {

// A fresh folder that the data-file paths point at while the object lives.
class ProgramFolder {
 public:
  ProgramFolder() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelvo-core-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl + "/";
    DatenpfadeSetzen(path_);
  }
  ~ProgramFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    DatenpfadeSetzen(platform::ProgramFolder());
  }
  ProgramFolder(const ProgramFolder&) = delete;
  ProgramFolder& operator=(const ProgramFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + name; }
  void Write(const std::string& name, const std::string& bytes) const { platform::WriteWholeFile(File(name), bytes); }
  std::string Read(const std::string& name) const { return platform::ReadWholeFile(File(name)); }

 private:
  std::string path_;
};

inline platform::TStringList Lines(std::initializer_list<std::string> lines) {
  platform::TStringList l;
  for (const auto& s : lines) l.Add(s);
  return l;
}

}  // namespace coretest
