#include "platform/TextFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include "platform/Exceptions.h"

namespace platform {

namespace {

// Links followed before a chain counts as a loop, as the system does.
constexpr int kMaxLinkDepth = 40;
// Bytes read per call.
constexpr size_t kReadChunk = 65536;

// Opens without waiting (a FIFO, a device) and keeps the descriptor only
// for a regular file.
int OpenRegular(const std::string& path, int flags, mode_t mode = 0) {
  struct stat st {};
  // Something other than a file is not even opened: some devices act on an open.
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return -1;
  int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Bytes written before a failure, all of them on success.
size_t WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

std::string FolderOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

// How long an append waits for another writer's lock at most.
constexpr auto kLockPatience = std::chrono::milliseconds(500);

// flock, not fcntl: its lock belongs to the open file, so two appends of one
// process keep each other out as two processes do, and no other descriptor
// of the file that closes drops it. A holder keeps it for one line only;
// one that keeps it longer (a stopped process, a hung network file system)
// must not stop the program, so after a bounded wait the line goes in
// without the lock, guarded by the cut's own check. A file system without
// locks is not waited for at all.
void TakeAppendLock(AppendCalls& calls, int fd) {
  const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (calls.TryLock(fd) == 0) return;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

// What must go before a line so that it starts on a line of its own: nothing
// after a line end, LF after a CR (a line torn between its CR and LF, which
// the LF makes whole), CR LF after anything else (a fragment). Nothing when
// the file cannot be read.
std::string_view LineStartRepair(int fd, off_t size) {
  if (size <= 0) return {};
  char lastByte = 0;
  ssize_t n;
  do {
    n = ::pread(fd, &lastByte, 1, size - 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1 || lastByte == '\n') return {};
  return lastByte == '\r' ? "\n" : "\r\n";
}

AppendCalls systemCalls;
std::atomic<AppendCalls*> appendCalls{&systemCalls};

}  // namespace

int AppendCalls::TryLock(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB); }
ssize_t AppendCalls::Write(int fd, const void* bytes, size_t size) { return ::write(fd, bytes, size); }
int AppendCalls::Truncate(int fd, off_t length) { return ::ftruncate(fd, length); }

void SetAppendCalls(AppendCalls* calls) { appendCalls.store(calls != nullptr ? calls : &systemCalls); }

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ReadWholeFile(const std::string& path) {
  int fd = OpenRegular(path, O_RDONLY);
  if (fd < 0) throw FileOpenError(path);
  auto readSome = [&](char* into, size_t room) {
    for (;;) {
      ssize_t n = ::read(fd, into, room);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) throw FileOpenError(path);
    }
  };
  std::string data;
  try {
    // The block is as large as the file, so reading it takes no second copy.
    struct stat st {};
    ::fstat(fd, &st);
    data.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < data.size()) {
      size_t n = readSome(data.data() + got, data.size() - got);
      if (n == 0) break;
      got += n;
    }
    data.resize(got);
    // A file that grew since it was measured is read to its end.
    char buf[kReadChunk];
    while (size_t n = readSome(buf, sizeof buf)) data.append(buf, n);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  return data;
}

void ForEachLine(const std::string& path, const std::function<void(std::string_view)>& line) {
  int fd = OpenRegular(path, O_RDONLY);
  if (fd < 0) throw FileOpenError(path);
  try {
    std::string carry;  // the start of a line that goes on in the next piece
    bool afterCr = false;  // the last piece ended in CR: a leading LF belongs to it
    std::string buf(kReadChunk, '\0');
    for (;;) {
      ssize_t got = ::read(fd, buf.data(), buf.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw FileOpenError(path);
      if (got == 0) break;
      const std::string_view piece(buf.data(), static_cast<size_t>(got));
      size_t i = 0;
      if (afterCr && piece[0] == '\n') i = 1;
      afterCr = false;
      size_t start = i;
      for (; i < piece.size(); ++i) {
        const char c = piece[i];
        if (c != '\r' && c != '\n') continue;
        if (carry.empty()) {
          line(piece.substr(start, i - start));
        } else {
          carry.append(piece.substr(start, i - start));
          line(carry);
          carry.clear();
        }
        if (c == '\r') {
          if (i + 1 < piece.size()) {
            if (piece[i + 1] == '\n') ++i;
          } else {
            afterCr = true;
          }
        }
        start = i + 1;
      }
      carry.append(piece.substr(start));
    }
    if (!carry.empty()) line(carry);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
}

std::string LinkTarget(const std::string& path) {
  std::string current = path;
  for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    char buf[PATH_MAX];
    ssize_t n = ::readlink(current.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return current;
    std::string next(buf, static_cast<size_t>(n));
    current = next[0] == '/' ? next : FolderOf(current) + "/" + next;
  }
  return current;
}

void WriteWholeFile(const std::string& path, std::string_view bytes, unsigned newFileMode) {
  if (path.empty()) throw FileCreateError(path);
  // The file behind a link is replaced, in its own folder, and the link stays.
  const std::string target = LinkTarget(path);
  struct stat old {};
  bool exists = ::stat(target.c_str(), &old) == 0;
  mode_t mode = exists ? (old.st_mode & 07777) : static_cast<mode_t>(newFileMode);

  std::string tmpl = FolderOf(target) + "/.kelvo-save-XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) throw FileCreateError(path);
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) == bytes.size() && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(tmpl.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(tmpl.c_str());
    throw FileCreateError(path);
  }
}

bool AppendToFile(const std::string& path, std::string_view bytes) {
  if (path.empty()) return false;
  // Reading serves only the look at the last byte: a log that may only be
  // written to still takes its lines, without that look.
  errno = 0;
  int fd = OpenRegular(path, O_RDWR | O_APPEND | O_CREAT, 0644);
  if (fd < 0 && errno == EACCES) fd = OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0) return false;
  AppendCalls& calls = *appendCalls.load();
  // Every writer of a log through here holds its lock from the look at the
  // file's end to the cut, so none comes between those steps of another
  // (kelvorun runs from cron, several at once on one program folder, and
  // vandomat's batch runs share the log). A writer that takes no lock (an
  // older program) still can; the cut below is safe against it on its own.
  TakeAppendLock(calls, fd);
  std::string repaired;
  std::string_view out = bytes;
  struct stat st {};
  if (!bytes.empty() && ::fstat(fd, &st) == 0) {
    const std::string_view before = LineStartRepair(fd, st.st_size);
    if (!before.empty()) {
      repaired.reserve(before.size() + bytes.size());
      repaired.append(before).append(bytes);
      out = repaired;
    }
  }
  // Where our bytes are: O_APPEND puts each piece at the file's end as it
  // is then, and leaves the offset just past it. This, not the end seen
  // before the write, is where a cut may start: a writer without the lock
  // may have appended in between.
  off_t first = -1, last = -1;
  bool oneRun = true;  // no other bytes between our pieces
  size_t written = 0;
  while (written < out.size()) {
    ssize_t n = calls.Write(fd, out.data() + written, out.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end < n) {
      oneRun = false;
    } else if (first < 0) {
      first = end - n;
    } else if (end - n != last) {
      oneRun = false;
    }
    last = end;
    written += static_cast<size_t>(n);
  }
  const bool ok = written == out.size();
  // A part of a line would run into the next one: it goes again, but only
  // while the file still ends with it, so no other writer's bytes go with
  // it. Where it stays (the cut fails, or another line came after it), the
  // next append starts with a line end.
  if (!ok && written > 0 && oneRun && first >= 0 && ::fstat(fd, &st) == 0 && st.st_size == last) {
    while (calls.Truncate(fd, first) != 0 && errno == EINTR) {
    }
  }
  // Closing drops the lock.
  return (::close(fd) == 0) && ok;
}

}  // namespace platform
