#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "ini-reader.h"
#include "memleak.h"
#include "test_util.h"

namespace {

// The lines, each ending in CR LF.
std::string Crlf(std::initializer_list<const char*> lines) {
  std::string out;
  for (const char* l : lines) out += std::string(l) + "\r\n";
  return out;
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return names;
}

// Runs fn in a child process and returns its exit status (as waitpid reports it). When the
// tests run as root, the child first becomes the unprivileged user "nobody" (65534), so that
// file permissions apply to it.
int RunInChild(bool drop_privileges, const std::function<int()>& fn) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    if (drop_privileges && geteuid() == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(98);
    }
    _exit(fn());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

const uid_t kNobody = 65534;

// Hands path to the user the unprivileged child runs as.
void GiveToChild(const std::string& path) {
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
  }
}

class IniFile : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.Sub("settings.ini"); }
  void Put(const std::string& text) { ASSERT_TRUE(testutil::WriteFile(Path(), text)); }
  std::string Contents() const { return testutil::ReadFileOr(Path(), "<missing>"); }
  // Value of section/key through the file reader, or "<null>".
  std::string Read(const char* section, const char* key, size_t size = 256) {
    std::vector<char> buf(size, 'X');
    char* r = Get_INI_String(Path().c_str(), section, key, buf.data(), size, nullptr);
    if (r == nullptr) return "<null>";
    EXPECT_EQ(r, buf.data());
    return r;
  }
  // Writes key=value into section of text and returns the whole new file.
  std::string WriteInto(const std::string& text, const char* section, const char* key,
                        const char* value) {
    Put(text);
    EXPECT_EQ(Write_INI_String(Path().c_str(), section, key, value), 0);
    return Contents();
  }
  void SetUp() override { blocks_ = zmem_blocks(); }
  void TearDown() override { EXPECT_EQ(zmem_blocks(), blocks_) << "tracked blocks leaked"; }

  testutil::TempDir dir_;
  uint64_t blocks_ = 0;
};

const std::string kAB = Crlf({"[a]", "x=1", "[b]", "y=2"});

}  // namespace

// ---- reading ----

TEST_F(IniFile, MissingFileGivesDefaultOrNullWithZeroedBuffer) {
  char buf[16];
  memset(buf, 'X', sizeof(buf));
  EXPECT_EQ(Get_INI_String(Path().c_str(), "a", "x", buf, sizeof(buf), "dflt"), buf);
  EXPECT_STREQ(buf, "dflt");
  for (size_t i = 5; i < sizeof(buf); i++) EXPECT_EQ(buf[i], 0) << i;

  memset(buf, 'X', sizeof(buf));
  EXPECT_EQ(Get_INI_String(Path().c_str(), "a", "x", buf, sizeof(buf), nullptr), nullptr);
  for (size_t i = 0; i < sizeof(buf); i++) EXPECT_EQ(buf[i], 0) << i;
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "a", "x", -77), -77);
}

TEST_F(IniFile, EmptyFileReadsNothingAndIsNotWritten) {
  Put("");
  char buf[8];
  memset(buf, 'X', sizeof(buf));
  EXPECT_EQ(Get_INI_String(Path().c_str(), "a", "x", buf, sizeof(buf), "dflt"), nullptr);
  for (char c : buf) EXPECT_EQ(c, 'X');  // untouched
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "a", "x", 42), 42);
  EXPECT_EQ(Write_INI_String(Path().c_str(), "a", "x", "1"), -1);
  EXPECT_EQ(Contents(), "");
}

TEST_F(IniFile, KeyAndValueParsing) {
  Put(Crlf({"[s]", "empty=", "  Key  =  some \t  value ", "x=a=b", ";x=1", "#y=2", "n=  12abc",
            "m=abc", "neg=-5", "big=99999999999999999999", "line without equals"}));
  EXPECT_EQ(Read("s", "empty"), "");
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "s", "empty", 9), 0);  // found: 0, not the default
  EXPECT_EQ(Read("s", "key"), "some value");
  EXPECT_EQ(Read("s", "KEY"), "some value");
  EXPECT_EQ(Read("s", "x"), "a=b");
  EXPECT_EQ(Read("s", ";x"), "1");
  EXPECT_EQ(Read("s", "#y"), "2");
  EXPECT_EQ(Read("s", "line without equals"), "<null>");
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "s", "n", 9), 12);
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "s", "m", 9), 0);
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "s", "neg", 9), -5);
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "s", "big", 9), INT64_MAX);
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "s", "nope", 9), 9);
}

TEST_F(IniFile, ValueIsCutToBufferSize) {
  Put(Crlf({"[s]", "k=abcdefghij"}));
  EXPECT_EQ(Read("s", "k", 5), "abcd");
  EXPECT_EQ(Read("s", "k", 1), "");
  // An integer longer than 63 characters is converted from its first 63.
  std::string digits(70, '1');
  Put("[s]\r\nk=" + digits + "\r\n");
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "s", "k", 0), INT64_MAX);
  Put("[s]\r\nk=" + std::string(62, '0') + "7" + "8\r\n");
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "s", "k", 0), 7);
}

TEST_F(IniFile, SectionHeaders) {
  Put(Crlf({"k=top", "[Groups]", "k=1", "[ groups ]", "k=2"}));
  EXPECT_EQ(Read("groups", "k"), "1");
  EXPECT_EQ(Read(" groups ", "k"), "2");
  Put(Crlf({" [groups]", "k=1", "[groupsX]", "k=2", "[groups] trailing text", "k=3"}));
  EXPECT_EQ(Read("groups", "k"), "3");
  // Lines before the first header belong to no section.
  Put(Crlf({"k=top", "[s]", "j=1"}));
  EXPECT_EQ(Read("", "k"), "<null>");
  EXPECT_EQ(Read("s", "k"), "<null>");
}

TEST_F(IniFile, BlockEndsAtBracketLineWithCloser) {
  // '[' without ']' is an ordinary line inside a block; with a ']' anywhere it ends the block.
  Put(Crlf({"[a]", "[x=1", "z]=0", "y=2"}));
  EXPECT_EQ(Read("a", "[x"), "1");
  EXPECT_EQ(Read("a", "y"), "2");
  Put(Crlf({"[a]", "[x]=1", "y=2"}));
  EXPECT_EQ(Read("a", "y"), "<null>");
}

TEST_F(IniFile, RepeatedSectionsAndKeys) {
  // First matching line of the first block that has one.
  Put(Crlf({"[a]", "x=1", "[b]", "[a]", "y=1", "y=2"}));
  EXPECT_EQ(Read("a", "y"), "1");
  // A header of the same section right after the matched block opens no block.
  Put(Crlf({"[a]", "x=1", "[a]", "y=2"}));
  EXPECT_EQ(Read("a", "y"), "<null>");
}

TEST_F(IniFile, NormalisationOfCrTabsBlankLines) {
  Put("\n\r\n[a\r]\nk\t=\tv1\t\t v2\r\r\n\n");
  EXPECT_EQ(Read("a", "k"), "v1 v2");
  EXPECT_EQ(Write_INI_String(Path().c_str(), "a", "other", "o"), 0);
  EXPECT_EQ(Contents(), Crlf({"[a]", "k = v1 v2", "other=o"}));
}

TEST_F(IniFile, MemoryReaderLeavesTextAlone) {
  const char* text = "[s]\r\n\tk  =\t v \r\n";
  std::string before = text;
  char buf[32];
  EXPECT_EQ(Get_INI_String_Memory(text, "S", "K", buf, sizeof(buf), nullptr), buf);
  EXPECT_STREQ(buf, "v");
  EXPECT_EQ(before, text);
  EXPECT_EQ(Get_INI_String_Memory(text, "s", "none", buf, sizeof(buf), "d"), buf);
  EXPECT_STREQ(buf, "d");
  EXPECT_EQ(Get_INI_String_Memory(text, "s", "none", buf, sizeof(buf), nullptr), nullptr);
  EXPECT_EQ(buf[0], 0);
}

TEST_F(IniFile, LockIsRecursiveAndShared) {
  Orvex_Mutex_pthreads* m = Get_INI_Mutex();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m, Get_INI_Mutex());
  Put(Crlf({"[s]", "k=5"}));
  AutoMutex hold(m);
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "s", "k", 0), 5);  // same thread: no deadlock
  EXPECT_TRUE(m->IsLockMine());
}

// ---- writing: whole-file output ----

TEST_F(IniFile, WriteNewKeyBeforeNextSection) {
  EXPECT_EQ(WriteInto(kAB, "a", "z", "5"), Crlf({"[a]", "x=1", "z=5", "", "[b]", "y=2"}));
}

TEST_F(IniFile, WriteReplacesExistingKey) {
  EXPECT_EQ(WriteInto(kAB, "b", "y", "3"), Crlf({"[a]", "x=1", "[b]", "y=3"}));
}

TEST_F(IniFile, WriteAppendsMissingSection) {
  EXPECT_EQ(WriteInto(kAB, "groups", "k", "1"),
            Crlf({"[a]", "x=1", "[b]", "y=2", "[groups]", "k=1"}));
}

TEST_F(IniFile, WriteUsesCallersKeySpelling) {
  EXPECT_EQ(WriteInto(Crlf({"[s]", "foo = 1", "bar = a  b"}), "s", "Foo", "2"),
            Crlf({"[s]", "Foo=2", "bar = a b"}));
}

TEST_F(IniFile, WriteReplacesEveryMatchInEveryBlock) {
  EXPECT_EQ(WriteInto(Crlf({"[a]", "k=1", "K=2", "[b]", "q=1", "[A]", "k=3"}), "a", "k", "9"),
            Crlf({"[a]", "k=9", "k=9", "[b]", "q=1", "[A]", "k=9"}));
  EXPECT_EQ(Read("a", "k"), "9");
}

TEST_F(IniFile, WriteWithSameSectionHeaderAfterBlock) {
  // The header right after the block is copied and opens no block; a later one does.
  EXPECT_EQ(WriteInto(Crlf({"[a]", "x=1", "[a]", "y=2"}), "a", "y", "9"),
            Crlf({"[a]", "x=1", "y=9", "", "[a]", "y=2"}));
  EXPECT_EQ(WriteInto(Crlf({"[a]", "x=1", "[b]", "q=1", "[a]", "y=2"}), "a", "y", "9"),
            Crlf({"[a]", "x=1", "y=9", "", "[b]", "q=1", "[a]", "y=9"}));
}

TEST_F(IniFile, WriteAtEndOfLastBlockAndIntoBlankFile) {
  EXPECT_EQ(WriteInto(Crlf({"[b]", "y=2"}), "b", "n", "7"), Crlf({"[b]", "y=2", "n=7"}));
  EXPECT_EQ(WriteInto("\r\n\r\n\n", "s", "k", "v"), Crlf({"[s]", "k=v"}));
}

TEST_F(IniFile, WriteCreatesMissingFile) {
  EXPECT_EQ(Write_INI_String(Path().c_str(), "groups", "core", "1"), 0);
  EXPECT_EQ(Contents(), "[groups]\r\ncore=1\r\n");
  EXPECT_EQ(Write_INI_Int(Path().c_str(), "groups", "neg", -42), 0);
  EXPECT_EQ(Contents(), "[groups]\r\ncore=1\r\nneg=-42\r\n");
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "groups", "neg", 0), -42);
  EXPECT_EQ(Write_INI_Int(Path().c_str(), "groups", "big", INT64_MIN), 0);
  EXPECT_EQ(Get_INI_Int(Path().c_str(), "groups", "big", 0), INT64_MIN);
  EXPECT_EQ(DirEntries(dir_.path()).size(), 1u);  // no temporary file left behind
}

TEST_F(IniFile, WriteFailsForMissingDirectory) {
  std::string p = dir_.Sub("no/such/dir.ini");
  EXPECT_EQ(Write_INI_String(p.c_str(), "s", "k", "v"), -1);
  EXPECT_FALSE(testutil::FileExists(p));
}

// ---- writing: the old file survives ----

TEST_F(IniFile, WriteKeepsPermissionBits) {
  Put(kAB);
  ASSERT_EQ(chmod(Path().c_str(), 0640), 0);
  EXPECT_EQ(Write_INI_String(Path().c_str(), "a", "x", "2"), 0);
  struct stat after;
  ASSERT_EQ(stat(Path().c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, geteuid());
  EXPECT_EQ(Read("a", "x"), "2");
}

// Links, other users' files and names that would break lines are refused; nothing changes.
TEST_F(IniFile, WriteRefusesLinksForeignFilesAndLineBreakingNames) {
  const std::string victim = dir_.Sub("victim");
  struct Case {
    const char* name;
    std::function<void()> prepare;
    const char* section;
    const char* key;
    const char* value;
    int err;
  };
  const Case cases[] = {
      {"link", [&] { ASSERT_EQ(symlink(victim.c_str(), Path().c_str()), 0); }, "a", "x", "2",
       ELOOP},
      {"dangling link", [&] { ASSERT_EQ(symlink(dir_.Sub("absent").c_str(), Path().c_str()), 0); },
       "a", "x", "2", ELOOP},
      {"directory", [&] { ASSERT_EQ(mkdir(Path().c_str(), 0755), 0); }, "a", "x", "2", EINVAL},
      {"section with ]", [&] { Put(kAB); }, "a]\r\n[b", "x", "2", EINVAL},
      {"line break in section", [&] { Put(kAB); }, "a\nb", "x", "2", EINVAL},
      {"key with =", [&] { Put(kAB); }, "a", "x=y", "2", EINVAL},
      {"key opening a header", [&] { Put(kAB); }, "a", "[b]", "2", EINVAL},
      {"line break in key", [&] { Put(kAB); }, "a", "x\r\ny", "2", EINVAL},
      {"line break in value", [&] { Put(kAB); }, "a", "x", "1\n[evil]\nk=v", EINVAL},
      {"foreign owner",
       [&] {
         Put(kAB);
         GiveToChild(Path());
       },
       "a", "x", "2", geteuid() == 0 ? EPERM : 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.err == 0) continue;  // needs root to hand the file to another user
    testutil::RemoveTree(Path());
    ASSERT_TRUE(testutil::WriteFile(victim, kAB));
    c.prepare();
    struct stat before;
    ASSERT_EQ(lstat(Path().c_str(), &before), 0);
    errno = 0;
    EXPECT_EQ(Write_INI_String(Path().c_str(), c.section, c.key, c.value), -1);
    EXPECT_EQ(errno, c.err);
    struct stat after;
    ASSERT_EQ(lstat(Path().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtime, before.st_mtime);
    EXPECT_EQ(testutil::ReadFileOr(victim), kAB);
    EXPECT_FALSE(testutil::FileExists(dir_.Sub("absent")));
  }
}

TEST_F(IniFile, UnreadableFileIsLeftAlone) {
  Put(kAB);
  ASSERT_EQ(chmod(Path().c_str(), 0200), 0);  // writable, not readable
  GiveToChild(dir_.path());
  GiveToChild(Path());
  std::string path = Path();
  int status =
      RunInChild(true, [&] { return Write_INI_String(path.c_str(), "a", "z", "5") == -1 ? 0 : 1; });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Contents(), kAB);
  struct stat st;
  ASSERT_EQ(stat(Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0200u);
}

TEST_F(IniFile, WriteProtectedFileFailsAndKeepsFile) {
  // Readable but not writable, in a writable directory: the write must be refused as an
  // in-place rewrite would be, not slipped past the file's mode by a rename.
  Put(kAB);
  ASSERT_EQ(chmod(Path().c_str(), 0444), 0);
  GiveToChild(dir_.path());
  GiveToChild(Path());
  std::string path = Path();
  int status =
      RunInChild(true, [&] { return Write_INI_String(path.c_str(), "a", "z", "5") == -1 ? 0 : 1; });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Contents(), kAB);
  struct stat st;
  ASSERT_EQ(stat(Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  EXPECT_EQ(DirEntries(dir_.path()).size(), 1u);
}

TEST_F(IniFile, ReadOnlyDirectoryFailsAndKeepsFile) {
  Put(kAB);
  GiveToChild(dir_.path());
  GiveToChild(Path());
  ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
  std::string path = Path();
  int status =
      RunInChild(true, [&] { return Write_INI_String(path.c_str(), "a", "z", "5") == -1 ? 0 : 1; });
  chmod(dir_.path().c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Contents(), kAB);
  EXPECT_EQ(DirEntries(dir_.path()).size(), 1u);
}

TEST_F(IniFile, WriteBeyondFileSizeLimitFailsAndKeepsFile) {
  // The new text is longer than the limit: the write fails part-way.
  std::string old_text = Crlf({"[a]", "x=1", "[b]", "y=2", "long=0123456789abcdef"});
  Put(old_text);
  std::string path = Path();
  int status = RunInChild(false, [&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {20, 20};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 97;
    return Write_INI_String(path.c_str(), "a", "new", "value") == -1 ? 0 : 1;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Contents(), old_text);
  EXPECT_EQ(DirEntries(dir_.path()).size(), 1u);  // the partial temporary file is gone
}

TEST_F(IniFile, ProcessKilledDuringWriteKeepsFile) {
  std::string old_text = Crlf({"[a]", "x=1", "[b]", "y=2", "long=0123456789abcdef"});
  Put(old_text);
  std::string path = Path();
  int status = RunInChild(false, [&] {
    signal(SIGXFSZ, SIG_DFL);  // exceeding the limit kills the process mid-write
    struct rlimit lim = {20, 20};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 97;
    Write_INI_String(path.c_str(), "a", "new", "value");
    return 0;
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  EXPECT_EQ(Contents(), old_text);
}
