#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/Convert.h"
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

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelvo-platform-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const char* name) const { return dir_ + "/" + name; }
  std::string dir_;
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
  ::chmod(dir_.c_str(), 0500);
  bool root = ::geteuid() == 0;
  if (!root) {
    EXPECT_THROW(WriteWholeFile(Path("keep.txt"), "new"), EFCreateError);
    EXPECT_EQ(ReadWholeFile(Path("keep.txt")), "old");
  }
  ::chmod(dir_.c_str(), 0700);
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
