// Whole-file reading and writing and line appending. File contents are bytes:
// nothing is re-encoded on the way in or out.
//
// Only regular files (or links to them) are read or appended to, and no open
// ever waits: a FIFO without a writer or reader, a device or a folder at a
// data file's place is refused at once.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// True for a regular file, or a link that ends at one.
bool FileExists(const std::string& path);

// Raises EFOpenError with the path when the file cannot be opened or read,
// or is no regular file.
std::string ReadWholeFile(const std::string& path);

// Calls `line` for every line of the file, in order, with the line ends of
// SplitLines (CR LF, a lone CR or LF; a last line without an end counts).
// The file is read piece by piece, so only the longest line is held whole.
// Raises EFOpenError as ReadWholeFile does.
void ForEachLine(const std::string& path, const std::function<void(std::string_view)>& line);

// Replaces the file by the bytes; raises EFCreateError with the path on any
// failure. The bytes go to a temporary file in the same folder first, which
// is renamed over the old file only once it is complete, so a failure never
// leaves a truncated file. A link is kept: the file it leads to is replaced,
// in that file's folder. A new file gets `newFileMode` (an existing one
// keeps its mode).
void WriteWholeFile(const std::string& path, std::string_view bytes, unsigned newFileMode = 0644);

// Opens for appending, creating the file when it is missing (never
// truncating), writes the bytes and closes. Meant for files of lines that
// several processes append to, such as a log:
// - The bytes go in whole or not at all: a write that stops part-way (a full
//   disk) is cut off again, under an advisory lock (flock) of the file that
//   every append here holds from its look at the file's end to the cut.
// - Only our own bytes are ever cut: the cut is made only while the file
//   still ends with them. Where a writer that takes no lock appended right
//   after our part, or the cut fails (an append-only file), the part stays.
// - Bytes start on a line of their own: after a file that does not end in a
//   line end (such a part, another program's torn line), CR LF goes first;
//   after a lone CR, LF alone.
// - No append waits long: a lock that another process holds is waited for
//   half a second at most, after which the bytes go in without it.
// Returns false on any failure, and for anything but a regular file.
bool AppendToFile(const std::string& path, std::string_view bytes);

// The system calls under AppendToFile, replaceable so that a test can put
// something between them (a short write, another writer's line, a cut that
// fails) without relying on timing. Each default passes the call on as is.
class AppendCalls {
 public:
  virtual ~AppendCalls() = default;
  // flock(fd, LOCK_EX | LOCK_NB): one attempt, never waiting.
  virtual int TryLock(int fd);
  virtual ssize_t Write(int fd, const void* bytes, size_t size);
  virtual int Truncate(int fd, off_t length);
};

// nullptr restores the defaults. Install it while no append runs.
void SetAppendCalls(AppendCalls* calls);

// The path a chain of links at `path` ends at (`path` itself when it is no
// link); a link whose end is missing gives the missing path.
std::string LinkTarget(const std::string& path);

}  // namespace platform
