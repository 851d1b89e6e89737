// Whole-file reading and writing and line appending. File contents are bytes:
// nothing is re-encoded on the way in or out.
#pragma once

#include <string>
#include <string_view>

namespace platform {

bool FileExists(const std::string& path);

// Raises EFOpenError with the path when the file cannot be opened or read.
std::string ReadWholeFile(const std::string& path);

// Replaces the file by the bytes; raises EFCreateError with the path on any
// failure. The bytes go to a temporary file in the same folder first, which
// is renamed over the old file only once it is complete, so a failure never
// leaves a truncated file. A new file gets `newFileMode` (an existing one
// keeps its mode).
void WriteWholeFile(const std::string& path, std::string_view bytes, unsigned newFileMode = 0644);

// Opens for appending, creating the file when it is missing (never
// truncating), writes the bytes and closes. Returns false on any failure.
bool AppendToFile(const std::string& path, std::string_view bytes);

}  // namespace platform
