#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "GenLib.h"
#include "memleak.h"
#include "test_util.h"

namespace {

// Sets an environment variable for the length of a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) {
    char buf[4096];
    if (getcwd(buf, sizeof(buf)) != nullptr) old_ = buf;
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~ScopedCwd() {
    if (!old_.empty()) {
      EXPECT_EQ(chdir(old_.c_str()), 0);
    }
  }

 private:
  std::string old_;
};

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

// ---- strlcpy / strlcat ----

TEST(BoundedCopy, StrlcpyCutsTerminatesAndReportsSourceLength) {
  char buf[8];
  memset(buf, 'X', sizeof(buf));
  EXPECT_EQ(strlcpy(buf, "abcdef", 4), 6u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[4], 'X');  // nothing written past the given size

  memset(buf, 'X', sizeof(buf));
  EXPECT_EQ(strlcpy(buf, "abcdef", 0), 6u);
  for (char c : buf) EXPECT_EQ(c, 'X');

  EXPECT_EQ(strlcpy(buf, "abcdefg", 8), 7u);  // exact fit
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(strlcpy(buf, "", 8), 0u);
  EXPECT_STREQ(buf, "");
}

TEST(BoundedCopy, StrlcatAppendsWithinSize) {
  char buf[1024] = "dir";
  EXPECT_EQ(strlcat(buf, "/", sizeof(buf)), 4u);
  EXPECT_STREQ(buf, "dir/");

  char small[8];
  memset(small, 'X', sizeof(small));
  strlcpy(small, "ab", 5);
  EXPECT_EQ(strlcat(small, "cdef", 5), 6u);  // cut: result would have been 6
  EXPECT_STREQ(small, "abcd");
  EXPECT_EQ(small[5], 'X');

  // Destination already full to size - 1: nothing appended, still terminated.
  char full[4] = "abc";
  EXPECT_EQ(strlcat(full, "xyz", 4), 6u);
  EXPECT_STREQ(full, "abc");
}

TEST(BoundedCopy, StrlcatWithoutTerminatorWritesNothing) {
  char buf[1025];
  memset(buf, 'A', 1024);
  buf[1024] = 'Z';
  EXPECT_EQ(strlcat(buf, "/", 1024), 1025u);
  for (int i = 0; i < 1024; i++) ASSERT_EQ(buf[i], 'A') << i;
  EXPECT_EQ(buf[1024], 'Z');
  EXPECT_EQ(strlcat(buf, "abc", 0), 3u);  // size 0: destination length counts as 0
}

// ---- str_replace ----

TEST(StrReplace, ShrinksTextInPlace) {
  char buf[1024] = "line1\\nline2\\n\\n";
  EXPECT_EQ(str_replace(buf, sizeof(buf), "\\n", "\n"), 3u);
  EXPECT_STREQ(buf, "line1\nline2\n\n");
}

TEST(StrReplace, StopsAtFirstReplacementThatDoesNotFit) {
  char buf[8];
  memset(buf, 'Q', sizeof(buf));
  strlcpy(buf, "a.b.c", 7);
  // First: "aXXb.c" needs 7 bytes and fits in 7; the second would need 8.
  EXPECT_EQ(str_replace(buf, 7, ".", "XX"), 1u);
  EXPECT_STREQ(buf, "aXXb.c");
  EXPECT_EQ(buf[7], 'Q');

  char exact[8] = "a.b.c";
  EXPECT_EQ(str_replace(exact, sizeof(exact), ".", "XX"), 2u);
  EXPECT_STREQ(exact, "aXXbXXc");
}

TEST(StrReplace, LeftToRightNeverRescanningInsertedText) {
  char buf[64] = "aaa";
  EXPECT_EQ(str_replace(buf, sizeof(buf), "aa", "b"), 1u);
  EXPECT_STREQ(buf, "ba");

  char spaces[64] = "x   y";
  EXPECT_EQ(str_replace(spaces, sizeof(spaces), "  ", " "), 1u);
  EXPECT_STREQ(spaces, "x  y");

  char grow[64] = "aaa";
  EXPECT_EQ(str_replace(grow, sizeof(grow), "a", "aa"), 3u);
  EXPECT_STREQ(grow, "aaaaaa");

  char del[64] = "a-b-c-";
  EXPECT_EQ(str_replace(del, sizeof(del), "-", ""), 3u);
  EXPECT_STREQ(del, "abc");
}

TEST(StrReplace, RefusesEmptyPatternAndUnterminatedBuffer) {
  char buf[16] = "abc";
  EXPECT_EQ(str_replace(buf, sizeof(buf), "", "x"), 0u);
  EXPECT_STREQ(buf, "abc");
  char raw[4] = {'a', 'a', 'a', 'a'};
  EXPECT_EQ(str_replace(raw, sizeof(raw), "a", "b"), 0u);
  EXPECT_EQ(std::string(raw, 4), "aaaa");
}

// ---- paths and file positions ----

TEST(FilePart, SlashWinsOverBackslash) {
  const char* p = "a/b\\c";
  EXPECT_EQ(file_part(p), p + 2);
  EXPECT_STREQ(file_part("c:\\x\\y.txt"), "y.txt");
  const char* name = "name";
  EXPECT_EQ(file_part(name), name);
  const char* dir = "dir/";
  EXPECT_EQ(file_part(dir), dir + 4);
  EXPECT_STREQ(file_part("/usr/lib/x.so"), "x.so");
  char writable[] = "p/q";
  char* w = file_part(writable);
  EXPECT_EQ(w, writable + 2);
  EXPECT_STREQ(file_part_w(L"a/b\\c"), L"b\\c");
  EXPECT_STREQ(file_part_w(L"c:\\x\\y.txt"), L"y.txt");
  EXPECT_STREQ(file_part_w(L"name"), L"name");
}

TEST(FilePosition, SeeksAndTellsBeyond4GiB) {
  testutil::TempDir dir;
  std::string path = dir.Sub("f");
  ASSERT_TRUE(testutil::WriteFile(path, "0123456789"));
  FILE* fp = fopen(path.c_str(), "rb");
  ASSERT_NE(fp, nullptr);
  const int64_t far = (int64_t{5} << 30) + 3;
  EXPECT_EQ(fseek64(fp, far, SEEK_SET), 0);
  EXPECT_EQ(ftell64(fp), far);
  EXPECT_EQ(fseek64(fp, -3, SEEK_END), 0);
  EXPECT_EQ(ftell64(fp), 7);
  EXPECT_EQ(fgetc(fp), '7');
  EXPECT_EQ(fseek64(fp, 1, SEEK_CUR), 0);
  EXPECT_EQ(fgetc(fp), '9');
  EXPECT_EQ(fseek64(fp, -100, SEEK_SET), -1);
  fclose(fp);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FILE* pipe_fp = fdopen(fds[0], "rb");
  ASSERT_NE(pipe_fp, nullptr);
  EXPECT_EQ(ftell64(pipe_fp), -1);
  EXPECT_EQ(fseek64(pipe_fp, 0, SEEK_SET), -1);
  fclose(pipe_fp);
  close(fds[1]);
  EXPECT_EQ(ftell64(nullptr), -1);
}

// ---- StrTokenizer ----

TEST(StrTokenizer, TokensRangesAndTrailingSeparator) {
  uint64_t blocks = zmem_blocks();
  {
    StrTokenizer tok(",a,b,,c,", ',');
    ASSERT_EQ(tok.NumTok(), 4u);
    EXPECT_EQ(tok.stdGetSingleTok(1), "a");
    EXPECT_EQ(tok.stdGetSingleTok(3), "c");
    EXPECT_EQ(tok.stdGetSingleTok(4), "");
    EXPECT_EQ(tok.stdGetSingleTok(5), "");
    EXPECT_EQ(tok.stdGetTok(0, 2), "a,b");
    EXPECT_EQ(tok.stdGetTok(2, 99), "b,c,");
    EXPECT_EQ(tok.stdGetTok(3, 2), "");
    char* s = tok.GetTok(1, 3);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "a,b,c");
    tok.FreeString(s);
    char* one = tok.GetSingleTok(2);
    ASSERT_NE(one, nullptr);
    EXPECT_STREQ(one, "b");
    zfree(one, __FILE__, __LINE__);
    char* none = tok.GetSingleTok(9);
    ASSERT_NE(none, nullptr);
    EXPECT_STREQ(none, "");
    tok.FreeString(none);
  }
  EXPECT_EQ(zmem_blocks(), blocks);
}

TEST(StrTokenizer, CopyAndInPlaceModes) {
  char text[] = "x y z";
  {
    StrTokenizer copy(text, ' ', true);
    EXPECT_EQ(copy.NumTok(), 3u);
    EXPECT_STREQ(text, "x y z");
  }
  {
    StrTokenizer in_place(text, ' ', false);
    EXPECT_EQ(in_place.NumTok(), 3u);
    EXPECT_EQ(in_place.stdGetTok(1, 3), "x y z");
    EXPECT_STREQ(text, "x");  // cut up in place
  }
  StrTokenizer empty("", ',');
  EXPECT_EQ(empty.NumTok(), 0u);
  EXPECT_EQ(empty.stdGetTok(1, 5), "");
  StrTokenizer only_seps(",,,", ',');
  EXPECT_EQ(only_seps.NumTok(), 1u);
  EXPECT_EQ(only_seps.stdGetSingleTok(1), "");
  StrTokenizer null_text(static_cast<const char*>(nullptr), ',');
  EXPECT_EQ(null_text.NumTok(), 0u);
}

// ---- small helpers ----

TEST(StringHelpers, TrimLowerEmptyClamp) {
  char a[] = "  \txx \n";
  EXPECT_STREQ(strtrim(a, " \t\n", TRIM_LEFT), "xx \n");
  char b[] = "  \txx \n";
  EXPECT_STREQ(strtrim(b, " \t\n", TRIM_RIGHT), "  \txx");
  char c[] = "--x-x--";
  EXPECT_STREQ(strtrim(c, "-", TRIM_LEFT | TRIM_RIGHT), "x-x");
  char d[] = "----";
  EXPECT_STREQ(strtrim(d, "-", TRIM_LEFT | TRIM_RIGHT), "");

  char e[] = "MiXeD 123 \xC4Z";
  EXPECT_EQ(strlwr(e), e);
  EXPECT_STREQ(e, "mixed 123 \xC4z");

  EXPECT_TRUE(str_is_empty(nullptr));
  EXPECT_TRUE(str_is_empty(""));
  EXPECT_FALSE(str_is_empty(" "));

  EXPECT_EQ(clamp(5, 1, 10), 5);
  EXPECT_EQ(clamp(-5, 1, 10), 1);
  EXPECT_EQ(clamp(50, 1, 10), 10);
  EXPECT_EQ(clamp(INT64_MIN, INT64_MIN + 1, 0), INT64_MIN + 1);
}

TEST(Wildcard, MatchesStarsAndQuestionMarks) {
  EXPECT_EQ(wildcard_match("*.txt", "a.txt"), 1);
  EXPECT_EQ(wildcard_match("*.txt", "a.TXT"), 0);
  EXPECT_EQ(wildcard_matchi("*.txt", "a.TXT"), 1);
  EXPECT_EQ(wildcard_match("?", ""), 0);
  EXPECT_EQ(wildcard_match("*", ""), 1);
  EXPECT_EQ(wildcard_match("", ""), 1);
  EXPECT_EQ(wildcard_match("", "a"), 0);
  EXPECT_EQ(wildcard_match("a*b*c", "aXbYbZc"), 1);  // needs backtracking past the first b
  EXPECT_EQ(wildcard_match("a*b*c", "aXbYbZ"), 0);
  EXPECT_EQ(wildcard_match("a?c", "abc"), 1);
  EXPECT_EQ(wildcard_match("a?c", "ac"), 0);
  EXPECT_EQ(wildcard_match("*a", "bab"), 0);
  EXPECT_EQ(wildcard_match("**x*", "yyx"), 1);
  EXPECT_EQ(wildcard_match("abc", "abcd"), 0);
  EXPECT_EQ(wildcard_matchi("\xC4*", "\xE4x"), 0);  // only ASCII letters fold
  // A pattern that makes naive recursion explode still finishes.
  std::string text(3000, 'a');
  EXPECT_EQ(wildcard_match("*a*a*a*a*a*a*a*a*b", text.c_str()), 0);
  EXPECT_EQ(wildcard_match(nullptr, "a"), 0);
}

TEST(Wildcard, MatchList) {
  EXPECT_EQ(wildcard_match_list("*.txt;*.ini", "SETTINGS.INI", ";"), 1);
  EXPECT_EQ(wildcard_match_list("*.txt;*.ini", "a.doc", ";"), 0);
  EXPECT_EQ(wildcard_match_list("*.txt, *.doc", "a.doc", ", "), 1);
  EXPECT_EQ(wildcard_match_list(";;", "", ";"), 0);  // empty patterns are not patterns
  EXPECT_EQ(wildcard_match_list("", "", ";"), 0);
}

TEST(QuoteString, EscapesQuotesAndCuts) {
  char buf[64];
  EXPECT_EQ(quote_string("say \"hi\"", buf, sizeof(buf)), buf);
  EXPECT_STREQ(buf, "\"say \\\"hi\\\"\"");
  EXPECT_STREQ(quote_string("", buf, sizeof(buf)), "\"\"");
  char small[8];
  memset(small, 'X', sizeof(small));
  quote_string("abcdefgh", small, 5);
  EXPECT_STREQ(small, "\"abc");
  EXPECT_EQ(small[5], 'X');
}

TEST(WcsReplace, RescansFromStartUntilDoneOrFull) {
  wchar_t buf[32] = L"aXa";
  EXPECT_EQ(wcs_replace(buf, 32, L"a", L"bb"), 2u);
  EXPECT_STREQ(buf, L"bbXbb");

  // Each pass finds the pair that the last one made: "aab" -> "ab" -> "b".
  wchar_t chain[32] = L"aab";
  EXPECT_EQ(wcs_replace(chain, 32, L"ab", L"b"), 2u);
  EXPECT_STREQ(chain, L"b");

  // A replacement that contains the pattern grows until the text no longer fits.
  wchar_t grow[8] = L"a";
  EXPECT_EQ(wcs_replace(grow, 8, L"a", L"aa"), 6u);
  EXPECT_STREQ(grow, L"aaaaaaa");

  wchar_t same[8] = L"aaa";
  EXPECT_EQ(wcs_replace(same, 8, L"a", L"a"), 0u);
  EXPECT_STREQ(same, L"aaa");
}

// ---- per-user directory ----

TEST(UserDir, FromHomeCreatedOnce) {
  testutil::TempDir dir;
  uint64_t blocks = zmem_blocks();
  {
    ScopedEnv home("HOME", dir.path().c_str());
    char* p = get_user_dir("x");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p), dir.path() + "/.x/");
    EXPECT_TRUE(IsDir(dir.path() + "/.x"));
    struct stat st;
    ASSERT_EQ(stat((dir.path() + "/.x").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0700, 0700u);
    EXPECT_EQ(st.st_mode & 0777 & ~0755u, 0u);
    zfree(p, __FILE__, __LINE__);

    ASSERT_TRUE(testutil::WriteFile(dir.path() + "/.x/keep", "k"));
    p = get_user_dir("x");  // exists already: used as it is
    EXPECT_EQ(std::string(p), dir.path() + "/.x/");
    EXPECT_TRUE(testutil::FileExists(dir.path() + "/.x/keep"));
    zfree(p, __FILE__, __LINE__);

    char* f = get_user_file("x", "settings.ini");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::string(f), dir.path() + "/.x/settings.ini");
    zfree(f, __FILE__, __LINE__);
  }
  {
    std::string with_slash = dir.path() + "/";
    ScopedEnv home("HOME", with_slash.c_str());
    char* p = get_user_dir("y");
    EXPECT_EQ(std::string(p), dir.path() + "/.y/");
    zfree(p, __FILE__, __LINE__);
  }
  EXPECT_EQ(zmem_blocks(), blocks);
}

TEST(UserDir, WithoutHomeUsesWorkingDirectory) {
  testutil::TempDir dir;
  ScopedCwd cwd(dir.path());
  char real[4096];
  ASSERT_NE(getcwd(real, sizeof(real)), nullptr);
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    ScopedEnv home("HOME", value);
    char* p = get_user_dir("app");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p), std::string(real) + "/.app/");
    EXPECT_TRUE(IsDir(std::string(real) + "/.app"));
    zfree(p, __FILE__, __LINE__);
  }
}

TEST(UserDir, MissingParentIsNotCreated) {
  testutil::TempDir dir;
  std::string home = dir.path() + "/absent";
  ScopedEnv env("HOME", home.c_str());
  char* p = get_user_dir("x");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p), home + "/.x/");
  EXPECT_FALSE(IsDir(home));
  zfree(p, __FILE__, __LINE__);
}

TEST(MakeDirectories, CreatesWhatIsMissingAndRefusesFilesOnTheWay) {
  testutil::TempDir dir;
  ASSERT_TRUE(testutil::WriteFile(dir.Sub("file"), "x"));
  ASSERT_EQ(0, symlink(dir.Sub("file").c_str(), dir.Sub("filelink").c_str()));
  struct Case {
    std::string path;
    bool ok;
    int err;
  };
  const Case cases[] = {
      {dir.Sub("a/b/c"), true, 0},
      {dir.Sub("a/b/c"), true, 0},  // existing: kept
      {dir.Sub("a//d/"), true, 0},
      {dir.path() + "/./e", true, 0},
      {dir.Sub("file/x"), false, ENOTDIR},
      {dir.Sub("file"), false, ENOTDIR},
      {dir.Sub("filelink/y"), false, ENOTDIR},
      {"", false, ENOENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    errno = 0;
    EXPECT_EQ(c.ok, make_directories(c.path.c_str(), 0750));
    if (c.ok) {
      EXPECT_TRUE(IsDir(c.path));
    } else {
      EXPECT_EQ(c.err, errno);
    }
  }
  struct stat st;
  ASSERT_EQ(0, stat(dir.Sub("a/b").c_str(), &st));
  EXPECT_EQ(0u, st.st_mode & 0027);
}

// ---- clock, conversions, byte order ----

TEST(MsecClock, CountsUpFromProcessStart) {
  int64_t a = msec_clock();
  EXPECT_GE(a, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  int64_t b = msec_clock();
  EXPECT_GE(b - a, 119);  // whole milliseconds, truncated
}

TEST(WideNarrow, RoundTripAndErrors) {
  uint64_t blocks = zmem_blocks();
  const char* old = setlocale(LC_CTYPE, nullptr);
  std::string saved = old != nullptr ? old : "C";
  if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";

  char* m = wcs_to_mbs(L"h\u00e9llo");
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(m, "h\xC3\xA9llo");
  zfree(m, __FILE__, __LINE__);
  wchar_t* w = mbs_to_wcs("h\xC3\xA9llo");
  ASSERT_NE(w, nullptr);
  EXPECT_STREQ(w, L"h\u00e9llo");
  zfree(w, __FILE__, __LINE__);

  w = mbs_to_wcs("bad \xFF byte");
  EXPECT_STREQ(w, L"ERROR in mbstowcs");
  zfree(w, __FILE__, __LINE__);
  const wchar_t surrogate[] = {L'a', static_cast<wchar_t>(0xD800), 0};
  m = wcs_to_mbs(surrogate);
  EXPECT_STREQ(m, "ERROR in wcstombs");
  zfree(m, __FILE__, __LINE__);

  setlocale(LC_CTYPE, saved.c_str());
  EXPECT_EQ(zmem_blocks(), blocks);
}

TEST(ByteOrder, SwapsAndConversions) {
  EXPECT_EQ(byteswap16(0x1234), 0x3412);
  EXPECT_EQ(byteswap32(0x11223344u), 0x44332211u);
  EXPECT_EQ(byteswap64(0x0102030405060708ull), 0x0807060504030201ull);
  EXPECT_EQ(host_to_le32(0x11223344u), 0x11223344u);
  EXPECT_EQ(le_to_host64(0x0102030405060708ull), 0x0102030405060708ull);
  uint32_t be = host_to_be32(0x11223344u);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(&be)[0], 0x11);  // most significant first
  EXPECT_EQ(be_to_host32(be), 0x11223344u);
  EXPECT_EQ(be_to_host16(host_to_be16(0x1234)), 0x1234);
  EXPECT_EQ(host_to_be64(1), 0x0100000000000000ull);
}

// ---- UTF-8 ----

TEST(Utf8, AcceptsWellFormedText) {
  for (const char* ok :
       {"", "plain ascii", "caf\xC3\xA9", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEF\xBF\xBD",
        "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xE2\x82\xAC and \xF0\x9F\x98\x80"}) {
    EXPECT_EQ(utf8_validate(ok), nullptr) << ok;
    EXPECT_TRUE(utf8_is_valid(ok));
  }
}

TEST(Utf8, PointsAtFirstIllFormedSequence) {
  struct Case {
    const char* text;
    size_t offset;
  } cases[] = {
      {"\xE0\x80\x80", 0},                                          // overlong three-byte form
      {"ab\xC0\x80", 2},                                            // overlong two-byte form
      {"\xC1\xBF", 0},         {"x\xED\xA0\x80", 1},                // surrogate
      {"\xEF\xBF\xBE", 0},                                          // U+FFFE
      {"ok\xEF\xBF\xBF", 2},                                        // U+FFFF
      {"\xF0\x8F\xBF\xBF", 0},                                      // overlong four-byte form
      {"\xF4\x90\x80\x80", 0},                                      // above U+10FFFF
      {"\xF5\x80\x80\x80", 0}, {"\xFF", 0},          {"a\x80", 1},  // lone continuation byte
      {"a\xE2\x82", 1},                                             // cut short by the terminator
      {"\xC3\xA9\xC3", 2},     {"\xE2\x28\xA1", 0},  // second byte not a continuation
      {"\xF0\x9F\x98\x28", 0},                       // fourth byte not a continuation
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf8_validate(c.text), c.text + c.offset) << c.text;
    EXPECT_FALSE(utf8_is_valid(c.text));
  }
}
