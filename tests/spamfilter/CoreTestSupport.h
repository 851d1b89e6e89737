// Helpers of the filter core's tests: a private program folder, and small
// builders for sessions and string lists.
#pragma once

#include <initializer_list>
#include <string>

#include "platform/Runtime.h"
#include "platform/StringList.h"
#include "platform/TextFile.h"
#include "spamfilter/DataFiles.h"
#include "tests/fixtures/TempFolder.h"

namespace coretest {

// A fresh folder that the data-file paths point at while the object lives.
class ProgramFolder : public fixtures::TempFolder {
 public:
  explicit ProgramFolder(const std::string& prefix = "kelvo-core") : TempFolder(prefix) { DatenpfadeSetzen(Path()); }
  ~ProgramFolder() { DatenpfadeSetzen(platform::ProgramFolder()); }
};

inline platform::TStringList Lines(std::initializer_list<std::string> lines) {
  platform::TStringList l;
  for (const auto& s : lines) l.Add(s);
  return l;
}

}  // namespace coretest
