#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/fixtures/TempFolder.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <stdexcept>
#include <utility>
#include <set>
#include <string>

#include "platform/Convert.h"
#include "platform/Digest.h"
#include "platform/Exceptions.h"
#include "platform/Runtime.h"
#include "platform/StringList.h"
#include "platform/TextFile.h"

using namespace platform;

TEST(StrToInt, AcceptedAndRefusedSpellings) {
  struct Case {
    const char* text;
    std::optional<int32_t> value;
  } cases[] = {
      {"0", 0},
      {"123", 123},
      {"+7", 7},
      {"-7", -7},
      {"   42", 42},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"$10", 16},
      {"x1f", 31},
      {"XFF", 255},
      {"0x10", 16},
      {"0XaB", 171},
      {"$FFFFFFFF", -1},
      {"$80000000", INT32_MIN},
      {"$123456789", std::nullopt},  // nine hex digits
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"$G", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"-", std::nullopt},
      {"12 ", std::nullopt},  // trailing blank is refused
      {"1.5", std::nullopt},
      {"1e3", std::nullopt},
      {"\t5", std::nullopt},  // only blanks may lead
      {"--5", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TryStrToInt(c.text), c.value) << "text '" << c.text << "'";
  }
}

TEST(StrToInt, ErrorNamesTheTextAsGiven) {
  try {
    StrToInt(" 12x");
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "' 12x' ist kein g\xC3\xBCltiger Integerwert");
    EXPECT_STREQ(e.ClassName(), "EConvertError");
  }
  try {
    StrToInt("");
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "'' ist kein g\xC3\xBCltiger Integerwert");
  }
}

TEST(TextHelpers, TrimAndUpperCaseTouchOnlyWhatTheyMay) {
  EXPECT_EQ(Trim(" \t\r\n abc \x01\x20"), "abc");
  EXPECT_EQ(Trim(std::string("\0x\0", 3)), "x");
  EXPECT_EQ(Trim("\xA0x\xA0"), "\xA0x\xA0");  // bytes above 127 are not blanks
  EXPECT_EQ(UpperCase("abz AZ \xE4\xC3\xA4 {}"), "ABZ AZ \xE4\xC3\xA4 {}");
  // Both at once into a reused text: nothing of the text before stays,
  // whether the next one is longer, shorter or empty.
  std::string out = "previous text";
  for (const std::string_view text : {" \t abz AZ \xE4\xC3\xA4 {}\x01", "  ab  ", "\r\n", "\xA0x\xA0 very much longer text"}) {
    SCOPED_TRACE(std::string(text));
    AssignUpperTrimmed(text, out);
    EXPECT_EQ(out, UpperCase(Trim(text)));
  }
}

// The digest of a header: any one byte changed, a byte more or less, the
// same bytes in another order give another value; fed in pieces, it gives
// what the whole text gives, wherever the text is cut.
TEST(Digest, EveryByteCountsWhereverTheTextIsCut) {
  const std::string text = std::string("X-A: a\rX-B: b\r\n\0\xff", 17) + std::string(300, 'z') + "Subject: q\r\n";
  TDigest64 ganz;
  ganz.Add(text);
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    TDigest64 teile;
    teile.Add(std::string_view(text).substr(0, cut));
    teile.Add(std::string_view(text).substr(cut, 5));
    if (cut + 5 < text.size()) teile.Add(std::string_view(text).substr(cut + 5));
    EXPECT_EQ(teile.Value(), ganz.Value()) << cut;
  }
  auto digest = [](std::string_view bytes) {
    TDigest64 d;
    d.Add(bytes);
    return d.Value();
  };
  // One byte changed, at every place (the unfinished last word included),
  // to a zero byte and to its neighbour value.
  for (size_t at = 0; at < text.size(); ++at) {
    for (const char to : {'\0', static_cast<char>(text[at] + 1)}) {
      if (to == text[at]) continue;
      std::string other = text;
      other[at] = to;
      EXPECT_NE(digest(other), ganz.Value()) << at;
    }
  }
  // Texts a sum or an exclusive or of bytes or of words cannot tell apart,
  // and a zero byte more at the end or none at all.
  const std::pair<std::string_view, std::string_view> pairs[] = {
      {"ab", "ba"},
      {"X-A: a\rX-B: b\r\n", "X-A: a\r\nX-B: b\r\n"},
      {"AAAAAAAABBBBBBBB", "BBBBBBBBAAAAAAAA"},
      {"abc", std::string_view("abc\0", 4)},
      {"", std::string_view("\0", 1)},
      {"12345678", std::string_view("12345678\0", 9)},
  };
  for (const auto& [a, b] : pairs) EXPECT_NE(digest(a), digest(b)) << a;
  // Every text of one byte, and every longer start of the text and the
  // empty one, has a value of its own.
  std::set<uint64_t> values;
  for (int c = 0; c < 256; ++c) values.insert(digest(std::string(1, static_cast<char>(c))));
  for (size_t n = 0; n <= text.size(); ++n)
    if (n != 1) values.insert(digest(std::string_view(text).substr(0, n)));
  EXPECT_EQ(values.size(), 256 + text.size());
}

TEST(StringList, EveryKindOfLineEndEndsALine) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\nb", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"a\r\rb", {"a", "", "b"}},
      {"a\n\r\nb", {"a", "", "b"}},
      {"\r\n", {""}},
      {"a\n\rb", {"a", "", "b"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLines(c.text), c.lines) << c.text;
  TStringList l({"x", "", "y"});
  EXPECT_EQ(l.Text(), "x\r\n\r\ny\r\n");
}

namespace {

// Runs `op` in a child process (its limits and user are the child's alone)
// and returns what it printed, or "stalled" when it has not finished after a
// long while (a blocked open).
std::string Bounded(const std::function<std::string()>& op) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string out = op();
    (void)!::write(fds[1], out.data(), out.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  pollfd p{fds[0], POLLIN, 0};
  for (;;) {
    if (::poll(&p, 1, 30000) <= 0) {
      ::kill(pid, SIGKILL);
      out = "stalled";
      break;
    }
    char buf[256];
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return out;
}

// Keeps this process (a child of Bounded) from writing more than `bytes`
// bytes into any file, with the signal of a write past that ignored.
void LimitFileSize(rlim_t bytes) {
  struct rlimit small {bytes, bytes};
  ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
}

}  // namespace

class FileTest : public ::testing::Test {
 protected:
  std::string Path(const char* name) const { return folder_.File(name); }
  fixtures::TempFolder folder_{"kelvo-platform"};
  const std::string dir_ = folder_.Path();
};

TEST_F(FileTest, BytesSurviveAReadAndWriteUnchanged) {
  static constexpr char kBytes[] = "Gr\xFC\xDF\x65 \xC3\xA4\r\nzwei\rdrei\n\0vier";
  const std::string bytes(kBytes, sizeof kBytes - 1);  // with the NUL inside
  WriteWholeFile(Path("a.txt"), bytes);
  EXPECT_EQ(ReadWholeFile(Path("a.txt")), bytes);
}

TEST_F(FileTest, MissingFileGivesTheOpenError) {
  try {
    ReadWholeFile(Path("missing.txt"));
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Datei " + Path("missing.txt") + " kann nicht ge\xC3\xB6" "ffnet werden");
  }
  EXPECT_FALSE(FileExists(Path("missing.txt")));
  EXPECT_FALSE(FileExists(dir_));  // a folder is no file
}

TEST_F(FileTest, FailedWriteLeavesTheOldFileAlone) {
  WriteWholeFile(Path("keep.txt"), "old");
  struct Case {
    const char* name;
    std::function<void()> limit;  // run in the child before the write
  } cases[] = {
      // The file itself could be written in place; its folder takes no new
      // one. Root writes anywhere, so the child runs as an ordinary user.
      {"folder that takes no new file",
       [this] {
         ::chmod(dir_.c_str(), 0555);
         ::chmod(Path("keep.txt").c_str(), 0666);
         if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(4);
       }},
      // The new bytes do not fit: a write in place would have cut the file.
      {"file-size limit below the new content",
       [] {
         LimitFileSize(4);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Bounded([&] {
                c.limit();
                try {
                  WriteWholeFile(Path("keep.txt"), "new content");
                  return std::string("written");
                } catch (const EFCreateError& e) {
                  return std::string("EFCreateError:") + e.Message();
                }
              }),
              "EFCreateError:Datei " + Path("keep.txt") + " kann nicht erstellt werden");
    ::chmod(dir_.c_str(), 0700);
    EXPECT_EQ(ReadWholeFile(Path("keep.txt")), "old");
    EXPECT_EQ(folder_.Names(), std::vector<std::string>{"keep.txt"}) << "no half-written file stays behind";
  }
  // A folder that does not exist cannot take the file, for root as well.
  try {
    WriteWholeFile(Path("nofolder/x.txt"), "new");
    FAIL();
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Datei " + Path("nofolder/x.txt") + " kann nicht erstellt werden");
  }
  EXPECT_EQ(ReadWholeFile(Path("keep.txt")), "old");
}

TEST_F(FileTest, NewFileModeAppliesOnlyToNewFiles) {
  WriteWholeFile(Path("secret.txt"), "pw", 0600);
  struct stat st {};
  ASSERT_EQ(::stat(Path("secret.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ::chmod(Path("secret.txt").c_str(), 0640);
  WriteWholeFile(Path("secret.txt"), "pw2", 0600);
  ASSERT_EQ(::stat(Path("secret.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FileTest, AppendCreatesAndOnlyGrows) {
  EXPECT_TRUE(AppendToFile(Path("log.txt"), "one\r\n"));
  EXPECT_TRUE(AppendToFile(Path("log.txt"), "two\r\n"));
  EXPECT_EQ(ReadWholeFile(Path("log.txt")), "one\r\ntwo\r\n");
  EXPECT_FALSE(AppendToFile(Path("nofolder/log.txt"), "x"));
}

TEST(Runtime, DateTimeTextHasTheGermanDefaultForm) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(DateTimeToStr(1796886309), "10.12.2026 07:05:09");
  EXPECT_EQ(DateTimeToStr(0), "01.01.1970 00:00:00");
}

TEST(Runtime, ProgramFolderIsTheExecutablesFolder) {
  std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(FileExists(folder + ProgramFileName()));
  EXPECT_EQ(ProgramFileName(), "platform_tests");
}

// ---- data files that are no regular files, short writes, links ----

namespace {

std::string ReadOutcome(const std::string& path) {
  try {
    return "read:" + ReadWholeFile(path);
  } catch (const EFOpenError& e) {
    return "EFOpenError:" + e.Message();
  }
}

struct stat Lstat(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

}  // namespace

TEST_F(FileTest, NothingButARegularFileIsReadOrAppendedToAndNothingWaits) {
  struct Case {
    const char* name;
    std::function<void(const std::string& at)> make;
    bool regular;  // a regular file (or a link to one) stands there
  } cases[] = {
      {"FIFO without a writer or reader", [](const std::string& at) { ::mkfifo(at.c_str(), 0644); }, false},
      {"folder", [](const std::string& at) { ::mkdir(at.c_str(), 0755); }, false},
      {"link to a device", [](const std::string& at) { (void)!::symlink("/dev/zero", at.c_str()); }, false},
      {"link to a FIFO", [this](const std::string& at) {
         ::mkfifo(Path("fifo2").c_str(), 0644);
         (void)!::symlink(Path("fifo2").c_str(), at.c_str());
       }, false},
      {"link to a file", [this](const std::string& at) {
         WriteWholeFile(Path("real.txt"), "inhalt\r\n");
         (void)!::symlink("real.txt", at.c_str());
       }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string at = Path(("data-" + std::to_string(&c - cases)).c_str());
    c.make(at);
    const struct stat before = Lstat(at);
    EXPECT_EQ(FileExists(at), c.regular);
    EXPECT_EQ(Bounded([&] { return ReadOutcome(at); }),
              c.regular ? "read:inhalt\r\n" : "EFOpenError:Datei " + at + " kann nicht ge\xC3\xB6" "ffnet werden");
    EXPECT_EQ(Bounded([&] { return AppendToFile(at, "zeile\r\n") ? "appended" : "skipped"; }),
              c.regular ? "appended" : "skipped");
    const struct stat after = Lstat(at);
    EXPECT_EQ(after.st_mode, before.st_mode) << "the thing itself stays what it was";
    if (c.regular) {
      EXPECT_EQ(ReadWholeFile(Path("real.txt")), "inhalt\r\nzeile\r\n");
    }
  }
}

TEST_F(FileTest, AFifoWithAPeerIsSkippedToo) {
  const std::string at = Path("fifo");
  ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0);
  // Someone holds both ends open: an open would not wait now, but it is
  // still no file, so nothing is written into it or read from it.
  int reader = ::open(at.c_str(), O_RDONLY | O_NONBLOCK);
  int writer = ::open(at.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_GE(writer, 0);
  EXPECT_EQ(Bounded([&] { return AppendToFile(at, "zeile\r\n") ? "appended" : "skipped"; }), "skipped");
  EXPECT_EQ(Bounded([&] { return ReadOutcome(at).substr(0, 11); }), "EFOpenError");
  char buf[16];
  EXPECT_EQ(::read(reader, buf, sizeof buf), -1) << "nothing arrived at the reader";
  ::close(reader);
  ::close(writer);
}

// A line that the file cannot take whole leaves the file as it was, so the
// next line does not run into a fragment.
TEST_F(FileTest, AppendIsWholeOrNothing) {
  const std::string log = Path("log.txt");
  ASSERT_TRUE(AppendToFile(log, "erste\r\n"));
  EXPECT_EQ(Bounded([&] {
              LimitFileSize(7 + 3);  // 3 bytes more than the file holds
              return AppendToFile(log, "zweite Zeile\r\n") ? "appended" : "failed";
            }),
            "failed");
  EXPECT_EQ(ReadWholeFile(log), "erste\r\n");
  ASSERT_TRUE(AppendToFile(log, "dritte\r\n"));
  EXPECT_EQ(ReadWholeFile(log), "erste\r\ndritte\r\n");
}

// ---- several writers of one file of lines ----

namespace {

// The calls under AppendToFile with the moments between them open to a
// test: what another writer does there, how much of our line the disk
// takes, whether the cut back succeeds. Installed while it lives; each
// moment's step runs once.
class ScriptedAppend : public AppendCalls {
 public:
  ScriptedAppend() { SetAppendCalls(this); }
  ~ScriptedAppend() override { SetAppendCalls(nullptr); }

  std::function<void()> beforeLock, beforeWrite, afterWrite, atCut;
  size_t room = SIZE_MAX;  // bytes of ours that go in before the disk is full
  int lockError = 0;       // the lock fails with this, when set
  bool cutFails = false;

  int TryLock(int fd) override {
    if (beforeLock) std::exchange(beforeLock, nullptr)();
    if (lockError != 0) {
      errno = lockError;
      return -1;
    }
    return AppendCalls::TryLock(fd);
  }
  ssize_t Write(int fd, const void* bytes, size_t size) override {
    if (beforeWrite) std::exchange(beforeWrite, nullptr)();
    const size_t n = std::min(size, room);
    if (n == 0) {
      errno = ENOSPC;
      return -1;
    }
    room -= n;
    const ssize_t done = AppendCalls::Write(fd, bytes, n);
    if (afterWrite) std::exchange(afterWrite, nullptr)();
    return done;
  }
  int Truncate(int fd, off_t length) override {
    if (atCut) std::exchange(atCut, nullptr)();
    if (cutFails) {
      errno = EPERM;
      return -1;
    }
    return AppendCalls::Truncate(fd, length);
  }
};

// Another process's line, as a writer that takes no lock appends it (an
// older program), or as one that held the lock and is done by now.
void AppendAsAnotherWriter(const std::string& path, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

// Whether a writer that keeps to the lock would have to wait now.
std::string LockState(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return "no file";
  const bool taken = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return taken ? "taken" : "free";
}

}  // namespace

// Two writers of one log. Our line meets a full disk after 3 bytes; the
// other writer's first line goes in at one moment of our append, its second
// one after it. Neither of its lines is lost, and ours is not left behind
// in part where it could be taken back.
TEST_F(FileTest, AShortWriteTakesBackOnlyItsOwnBytes) {
  const std::string log = Path("log.txt");
  struct Case {
    const char* name;
    std::function<void()> ScriptedAppend::*moment;
    std::string after;  // the log once both are done
  } cases[] = {
      {"while ours waits for the lock", &ScriptedAppend::beforeLock, "alt\r\nfremd 1\r\nfremd 2\r\n"},
      {"after our lock, before our write (a writer without the lock)", &ScriptedAppend::beforeWrite,
       "alt\r\nfremd 1\r\nfremd 2\r\n"},
      // Only a writer without the lock gets in here (see the next test); our
      // part cannot go then without its line, so both stay.
      {"right after our part (a writer without the lock)", &ScriptedAppend::afterWrite,
       "alt\r\nzwefremd 1\r\nfremd 2\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteWholeFile(log, "alt\r\n");
    {
      ScriptedAppend calls;
      calls.room = 3;
      calls.*c.moment = [&] { AppendAsAnotherWriter(log, "fremd 1\r\n"); };
      EXPECT_FALSE(AppendToFile(log, "zweite Zeile\r\n"));
    }
    EXPECT_TRUE(AppendToFile(log, "fremd 2\r\n"));
    EXPECT_EQ(ReadWholeFile(log), c.after);
  }
}

// An append keeps the lock through its write and its cut, so no writer that
// keeps to the lock can come in there; the lock goes with the append.
TEST_F(FileTest, AnAppendHoldsTheLockFromItsWriteToItsCut) {
  const std::string log = Path("log.txt");
  WriteWholeFile(log, "alt\r\n");
  std::vector<std::string> seen;
  auto note = [&](const char* moment) { return [&seen, &log, moment] { seen.push_back(moment + LockState(log)); }; };
  {
    ScriptedAppend calls;
    calls.room = 3;
    calls.beforeLock = note("before the lock: ");
    calls.beforeWrite = note("before the write: ");
    calls.afterWrite = note("after the write: ");
    calls.atCut = note("at the cut: ");
    EXPECT_FALSE(AppendToFile(log, "zweite Zeile\r\n"));
  }
  note("afterwards: ")();
  EXPECT_EQ(seen, (std::vector<std::string>{"before the lock: free", "before the write: taken",
                                            "after the write: taken", "at the cut: taken", "afterwards: free"}));
  EXPECT_EQ(ReadWholeFile(log), "alt\r\n");
}

// A lock that another process keeps, or a file system without locks, costs
// a line nothing: it goes in all the same.
TEST_F(FileTest, NoLockStopsALine) {
  const std::string log = Path("log.txt");
  WriteWholeFile(log, "alt\r\n");
  int holder = ::open(log.c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Bounded([&] { return AppendToFile(log, "eins\r\n") ? "appended" : "skipped"; }), "appended");
  ::close(holder);
  {
    ScriptedAppend calls;
    calls.lockError = ENOLCK;
    EXPECT_TRUE(AppendToFile(log, "zwei\r\n"));
  }
  EXPECT_EQ(ReadWholeFile(log), "alt\r\neins\r\nzwei\r\n");
}

// Where a part stays (the cut fails) or the file ends in another program's
// torn line, the next line still starts on a line of its own: with CR LF
// before it, or with LF alone after a CR, which makes a line torn between
// its CR and LF whole.
TEST_F(FileTest, ALineNeverRunsIntoAFragment) {
  const std::string log = Path("log.txt");
  struct Case {
    const char* name;
    std::string old;
    size_t room;  // of "zweite Zeile\r\n" with what goes before it
    bool cutFails;
    std::string fragmentBeforeLock;  // comes in while ours waits for the lock
    std::string after;               // the log once "dritte" has followed
  } cases[] = {
      {"our line torn mid-way, the cut refused", "alt\r\n", 3, true, "", "alt\r\nzwe\r\ndritte\r\n"},
      {"our line torn between CR and LF, the cut refused", "alt\r\n", 13, true, "",
       "alt\r\nzweite Zeile\r\ndritte\r\n"},
      {"an old log ending in a torn line", "alt\r\nfremd", SIZE_MAX, false, "",
       "alt\r\nfremd\r\nzweite Zeile\r\ndritte\r\n"},
      {"a torn line that comes in while ours waits for the lock", "alt\r\n", SIZE_MAX, false, "fremd",
       "alt\r\nfremd\r\nzweite Zeile\r\ndritte\r\n"},
      {"the line end put first is taken back with our part", "alt\r\nfremd", 1, false, "",
       "alt\r\nfremd\r\ndritte\r\n"},
      {"only the CR put first goes in, the cut refused", "alt\r\nfremd", 1, true, "", "alt\r\nfremd\r\ndritte\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteWholeFile(log, c.old);
    {
      ScriptedAppend calls;
      calls.room = c.room;
      calls.cutFails = c.cutFails;
      if (!c.fragmentBeforeLock.empty()) {
        calls.beforeLock = [&] { AppendAsAnotherWriter(log, c.fragmentBeforeLock); };
      }
      EXPECT_EQ(AppendToFile(log, "zweite Zeile\r\n"), c.room == SIZE_MAX);
    }
    EXPECT_TRUE(AppendToFile(log, "dritte\r\n"));
    EXPECT_EQ(ReadWholeFile(log), c.after);
  }
}

// The same with a real file that refuses the cut: append-only, on a disk
// that takes 3 more bytes.
TEST_F(FileTest, APartLeftInAnAppendOnlyFileEndsBeforeTheNextLine) {
  const std::string log = Path("log.txt");
  ASSERT_TRUE(AppendToFile(log, "erste\r\n"));
  int fd = ::open(log.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    ::close(fd);
    GTEST_SKIP() << "no file flags here";
  }
  const int plain = flags;
  flags |= FS_APPEND_FL;
  if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) {
    ::close(fd);
    GTEST_SKIP() << "cannot make an append-only file (needs root)";
  }
  // The flag goes again whatever happens, or the folder could not be removed.
  struct Plain {
    int fd, flags;
    ~Plain() {
      ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
      ::close(fd);
    }
  } restore{fd, plain};
  EXPECT_EQ(Bounded([&] {
              LimitFileSize(7 + 3);
              return AppendToFile(log, "zweite Zeile\r\n") ? "appended" : "failed";
            }),
            "failed");
  EXPECT_EQ(ReadWholeFile(log), "erste\r\nzwe") << "the cut was refused";
  ASSERT_TRUE(AppendToFile(log, "dritte\r\n"));
  EXPECT_EQ(ReadWholeFile(log), "erste\r\nzwe\r\ndritte\r\n");
}

// The look at the last byte needs reading; a log that may only be written
// to takes its lines as before.
TEST_F(FileTest, ALogThatMayOnlyBeWrittenToStillTakesLines) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: appends as another user";
  const std::string log = Path("log.txt");
  WriteWholeFile(log, "alt\r\n");
  constexpr uid_t kNobody = 65534;
  ASSERT_EQ(::chown(log.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(log.c_str(), 0200), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0711), 0);
  EXPECT_EQ(Bounded([&]() -> std::string {
              if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) return "still root";
              if (::open(log.c_str(), O_RDONLY) >= 0) return "readable";
              return AppendToFile(log, "zeile\r\n") ? "appended" : "skipped";
            }),
            "appended");
  EXPECT_EQ(ReadWholeFile(log), "alt\r\nzeile\r\n");
}

// Saving through a link replaces the file the link leads to, in that file's
// folder, with that file's mode; the link stays a link.
TEST_F(FileTest, SavingThroughALinkKeepsTheLink) {
  ASSERT_EQ(::mkdir(Path("echt").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(Path("prog").c_str(), 0755), 0);
  struct Case {
    const char* name;
    std::string link;
    std::vector<std::pair<std::string, std::string>> chain;  // link -> where it points
    std::string target;
    bool targetExists;
    unsigned mode;  // of the target afterwards
  } cases[] = {
      {"absolute link", Path("prog/a.txt"), {{Path("prog/a.txt"), Path("echt/a.txt")}}, Path("echt/a.txt"), true,
       0640},
      {"relative link", Path("prog/b.txt"), {{Path("prog/b.txt"), "../echt/b.txt"}}, Path("echt/b.txt"), true,
       0604},
      {"link to a link", Path("prog/c.txt"),
       {{Path("prog/c.txt"), "c2.txt"}, {Path("prog/c2.txt"), Path("echt/c.txt")}}, Path("echt/c.txt"), true,
       0600},
      {"dangling link", Path("prog/d.txt"), {{Path("prog/d.txt"), "../echt/d.txt"}}, Path("echt/d.txt"), false,
       0600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.targetExists) {
      WriteWholeFile(c.target, "alt");
      ::chmod(c.target.c_str(), c.mode);
    }
    for (const auto& [from, to] : c.chain) ASSERT_EQ(::symlink(to.c_str(), from.c_str()), 0);
    EXPECT_EQ(std::filesystem::path(LinkTarget(c.link)).lexically_normal(), c.target);
    WriteWholeFile(c.link, "neu\r\n", 0600);
    EXPECT_TRUE(S_ISLNK(Lstat(c.link).st_mode));
    EXPECT_EQ(ReadWholeFile(c.target), "neu\r\n");
    EXPECT_EQ(ReadWholeFile(c.link), "neu\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(c.target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode);
  }
  // No temporary file is left behind in either folder.
  std::vector<std::string> names;
  for (const char* folder : {"echt", "prog"})
    for (const auto& e : std::filesystem::directory_iterator(Path(folder))) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "a.txt", "b.txt", "b.txt", "c.txt", "c.txt", "c2.txt",
                                             "d.txt", "d.txt"}));
}

TEST(Failures, TheRunTimeNamesEveryFailure) {
  struct Case {
    const char* name;
    std::function<void()> raise;
    const char* className;
    std::string message;
  } cases[] = {
      {"out of memory", [] { throw std::bad_alloc(); }, "EOutOfMemory", "Zu wenig Arbeitsspeicher"},
      {"too large an array", [] { throw std::bad_array_new_length(); }, "EOutOfMemory",
       "Zu wenig Arbeitsspeicher"},
      {"the run-time's own", [] { throw FileOpenError("x"); }, "EFOpenError",
       "Datei x kann nicht ge\xC3\xB6" "ffnet werden"},
      {"a plain Exception", [] { throw Exception("Connection closed by server"); }, "Exception",
       "Connection closed by server"},
      {"anything else", [] { throw std::runtime_error("kaputt"); }, "Exception", "kaputt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.raise();
      ADD_FAILURE() << "nothing raised";
    } catch (const std::exception& e) {
      EXPECT_STREQ(FailureClassName(e), c.className);
      EXPECT_EQ(FailureMessage(e), c.message);
    }
  }
  EXPECT_STREQ(OutOfMemory().ClassName(), "EOutOfMemory");
  EXPECT_NE(dynamic_cast<const EHeapException*>(&static_cast<const Exception&>(OutOfMemory())), nullptr);
}

// Reading a file line by line, piece by piece, gives exactly the lines of
// the whole text, also where a line end or a line spans two pieces.
TEST_F(FileTest, LinesReadPieceByPieceAreTheLinesOfTheWholeText) {
  constexpr size_t kPiece = 65536;  // what one read takes
  const std::string upTo = std::string(kPiece - 1, 'a');
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"CR LF across two pieces", upTo + "\r\nb\r\n"},
      {"CR at a piece's end, then a line", upTo + "\rb"},
      {"CR at a piece's end, then CR", upTo + "\r\rb"},
      {"LF at a piece's end", upTo + "\nb"},
      {"a line longer than two pieces", "x\r\n" + std::string(3 * kPiece, 'z') + "\r\ny"},
      {"empty lines and a last line without end", "\r\n\n\r\r\nletzte"},
      {"ends in CR", "eins\r"},
      {"empty", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteWholeFile(Path("lines.txt"), c.text);
    std::vector<std::string> lines;
    ForEachLine(Path("lines.txt"), [&](std::string_view l) { lines.emplace_back(l); });
    EXPECT_EQ(lines, SplitLines(c.text));
  }
  EXPECT_THROW(ForEachLine(Path("missing.txt"), [](std::string_view) {}), EFOpenError);
  ::mkfifo(Path("fifo").c_str(), 0644);
  EXPECT_EQ(Bounded([&] {
              try {
                ForEachLine(Path("fifo"), [](std::string_view) {});
                return "read";
              } catch (const EFOpenError&) {
                return "EFOpenError";
              }
            }),
            "EFOpenError");
}
