// The quick check: the stat cache's state file (round trip, damaged and foreign files ignored,
// the racy rule) and FileCheck's answers with and without the cache, on one and several threads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "confined_dir.h"
#include "file_check.h"
#include "hash.h"
#include "stat_cache.h"
#include "test_util.h"
#include "work_pool.h"

using testutil::ReadFileOr;
using testutil::Sha256Hex;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

// The injected clock: g_now nanoseconds since the epoch.
int64_t g_now = 0;
int64_t TestClock() { return g_now; }
const int64_t kSecond = 1000000000;

struct stat StatOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

int64_t MtimeNs(const std::string& path) {
  struct stat st = StatOf(path);
  return st.st_mtim.tv_sec * kSecond + st.st_mtim.tv_nsec;
}

void TouchLike(const std::string& path, const std::string& reference) {
  ASSERT_TRUE(testutil::CopyFileTimes(path, reference)) << path;
}

class StatCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_st_ = StatOf(dir_.path());
    g_now = MtimeNs(dir_.path()) + 100 * kSecond;
  }
  StatCache Make(const char* digest = "sha256") {
    return StatCache(digest, dir_st_, TestClock, 2 * kSecond);
  }
  FileStat Stat(int64_t size, int64_t mtime) {
    FileStat f;
    f.size = size;
    f.mtimeSec = mtime;
    f.ctimeSec = mtime;
    f.inode = 7;
    f.device = 9;
    return f;
  }

  TempDir dir_;
  struct stat dir_st_;
};

TEST_F(StatCacheTest, SavedRecordsComeBackAndOnlyExactStatDataMatch) {
  StatCache c = Make();
  uint8_t d1[32], d2[32];
  memset(d1, 1, sizeof(d1));
  memset(d2, 2, sizeof(d2));
  const int64_t old = g_now / kSecond - 60;
  // Out of order and repeated: the last record of a name counts.
  ASSERT_TRUE(c.record("z/last", Stat(5, old), d1, 32));
  ASSERT_TRUE(c.record("a", Stat(3, old), d1, 32));
  ASSERT_TRUE(c.record("z/last", Stat(6, old), d2, 32));
  StatCache back = Make();
  std::string why;
  ASSERT_TRUE(back.parse(c.serialize(), &why)) << why;
  EXPECT_EQ(back.size(), 2u);
  uint8_t got[32];
  size_t size = 0;
  ASSERT_TRUE(back.lookup("z/last", Stat(6, old), got, &size));
  EXPECT_EQ(size, 32u);
  EXPECT_EQ(memcmp(got, d2, 32), 0);
  EXPECT_TRUE(back.lookup("a", Stat(3, old), got, &size));
  EXPECT_FALSE(back.lookup("b", Stat(3, old), got, &size));
  struct Change {
    const char* what;
    void (*apply)(FileStat*);
  } changes[] = {
      {"size", [](FileStat* f) { f->size++; }},
      {"mtime ns", [](FileStat* f) { f->mtimeNsec++; }},
      {"mtime s", [](FileStat* f) { f->mtimeSec--; }},
      {"ctime ns", [](FileStat* f) { f->ctimeNsec++; }},
      {"ctime s", [](FileStat* f) { f->ctimeSec++; }},
      {"inode", [](FileStat* f) { f->inode++; }},
      {"device", [](FileStat* f) { f->device++; }},
  };
  for (const Change& ch : changes) {
    FileStat f = Stat(3, old);
    ch.apply(&f);
    EXPECT_FALSE(back.lookup("a", f, got, &size)) << ch.what;
  }
  back.forget("a");
  EXPECT_FALSE(back.lookup("a", Stat(3, old), got, &size));
}

TEST_F(StatCacheTest, DamagedOrForeignStateFilesAreIgnored) {
  StatCache c = Make();
  uint8_t d[32] = {};
  ASSERT_TRUE(c.record("file", Stat(1, g_now / kSecond - 60), d, 32));
  const std::string bytes = c.serialize();
  ASSERT_GT(bytes.size(), 60u);

  std::string flipped = bytes;
  flipped[bytes.size() / 2] ^= 0x20;
  std::string badMagic = bytes;
  badMagic[0] = 'X';
  struct Case {
    std::string what;
    std::string content;
  } cases[] = {
      {"empty", ""},
      {"truncated", bytes.substr(0, bytes.size() - 1)},
      {"header only", bytes.substr(0, 12)},
      {"one byte changed", flipped},
      {"other format", badMagic},
      {"text", "file 1 2 3\n"},
  };
  for (const Case& k : cases) {
    StatCache back = Make();
    std::string why;
    EXPECT_FALSE(back.parse(k.content, &why)) << k.what;
    EXPECT_EQ(back.size(), 0u) << k.what;
    EXPECT_NE(why, "") << k.what;
  }
  // Made for another digest or another directory.
  StatCache md5 = Make("md5");
  std::string why;
  EXPECT_FALSE(md5.parse(bytes, &why));
  EXPECT_NE(why.find("digest"), std::string::npos) << why;
  struct stat other = dir_st_;
  other.st_ino++;
  StatCache elsewhere("sha256", other, TestClock);
  EXPECT_FALSE(elsewhere.parse(bytes, &why));
  EXPECT_NE(why.find("directory"), std::string::npos) << why;
  StatCache fine = Make();
  EXPECT_TRUE(fine.parse(bytes, &why)) << why;
}

TEST_F(StatCacheTest, RacyStatDataAreNotRecorded) {
  StatCache c = Make();
  uint8_t d[32] = {};
  const int64_t now = g_now / kSecond;
  FileStat fresh = Stat(1, now - 1);  // within the 2-second window
  EXPECT_FALSE(c.record("f", fresh, d, 32));
  FileStat freshCtime = Stat(1, now - 60);
  freshCtime.ctimeSec = now;
  EXPECT_FALSE(c.record("f", freshCtime, d, 32));
  FileStat settled = Stat(1, now - 3);
  EXPECT_TRUE(c.record("f", settled, d, 32));
  // A racy record replaces nothing: the older record of the name is dropped.
  EXPECT_FALSE(c.record("f", fresh, d, 32));
  size_t size;
  EXPECT_FALSE(c.lookup("f", settled, d, &size));
  EXPECT_EQ(c.size(), 0u);
}

// ---- FileCheck ----

class FileCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = dir_.path() + "/";
    ASSERT_TRUE(OpenConfinedDir(dir_.path(), &layer_).ok());
    ASSERT_TRUE(testutil::MakeDirs(base_ + "tmp/updater"));
  }

  struct Answer {
    bool current = false;
    bool exists = false;
    std::string digest;  // what the file holds, when known
    int count = 0;
  };
  static void Collect(void* item, bool current, const char* digestHex, const struct stat& st,
                      void* user) {
    auto* answers = static_cast<std::map<std::string, Answer>*>(user);
    Answer& a = (*answers)[static_cast<const char*>(item)];
    a.current = current;
    a.exists = st.st_mode != 0;
    a.digest = digestHex ? digestHex : "";
    a.count++;
  }

  // Checks every name against its expected contents; returns the answers and the hash count.
  std::map<std::string, Answer> Check(const std::map<std::string, std::string>& expected,
                                      bool verifyAll, unsigned threads, size_t* hashed,
                                      bool save = true) {
    std::map<std::string, Answer> answers;
    FileCheck::Options o;
    o.verifyAll = verifyAll;
    o.threads = threads;
    o.clock = TestClock;
    FileCheck check(layer_.get(), kState, "sha256", o, Collect, &answers);
    for (const auto& e : expected) {
      check.check(e.first, Sha256Hex(e.second).c_str(), const_cast<char*>(e.first.c_str()));
    }
    check.finish();
    *hashed = check.hashedCount();
    std::string error;
    if (save) {
      EXPECT_TRUE(check.save(&error)) << error;
    }
    return answers;
  }
  std::string state() const { return base_ + kState; }
  static constexpr const char* kState = "tmp/updater/stat cache";
  // Lets the clock run past the racy window of every file written so far.
  void Settle() { g_now = MtimeNs(dir_.path()) + 600 * kSecond; }

  TempDir dir_;
  std::string base_;
  std::unique_ptr<ConfinedDir> layer_;
};

TEST_F(FileCheckTest, ChangedFilesAreFoundWhateverStatDataTheyKeep) {
  WriteFile(base_ + "same.txt", "unchanged");
  WriteFile(base_ + "edited.txt", "before!!");
  WriteFile(base_ + "replaced.txt", "old one");
  WriteFile(base_ + "ref", "reference for the times");
  TouchLike(base_ + "edited.txt", base_ + "ref");
  TouchLike(base_ + "replaced.txt", base_ + "ref");
  Settle();
  std::map<std::string, std::string> expected = {{"same.txt", "unchanged"},
                                                 {"edited.txt", "before!!"},
                                                 {"replaced.txt", "old one"},
                                                 {"missing.txt", "x"}};
  size_t hashed = 0;
  auto first = Check(expected, false, 2, &hashed);
  EXPECT_EQ(hashed, 3u);
  EXPECT_TRUE(first["same.txt"].current);
  EXPECT_FALSE(first["missing.txt"].current);
  EXPECT_FALSE(first["missing.txt"].exists);
  EXPECT_EQ(first["missing.txt"].digest, "");
  EXPECT_EQ(first["same.txt"].digest, Sha256Hex("unchanged"));
  // Nothing changed: nothing is read.
  auto second = Check(expected, false, 2, &hashed);
  EXPECT_EQ(hashed, 0u);
  for (const auto& e : expected) {
    EXPECT_EQ(second[e.first].current, first[e.first].current) << e.first;
    EXPECT_EQ(second[e.first].count, 1) << e.first;
    EXPECT_EQ(second[e.first].digest, first[e.first].digest) << e.first;
  }

  // Same size, times put back: the status-change time still moved.
  WriteFile(base_ + "edited.txt", "after!!!");
  TouchLike(base_ + "edited.txt", base_ + "ref");
  // Replaced by another file of the same size and times: another inode.
  WriteFile(base_ + "new copy", "new one");
  TouchLike(base_ + "new copy", base_ + "ref");
  ASSERT_EQ(rename((base_ + "new copy").c_str(), (base_ + "replaced.txt").c_str()), 0);
  Settle();
  for (bool verifyAll : {false, true}) {
    SCOPED_TRACE(verifyAll ? "verify" : "plain");
    auto third = Check(expected, verifyAll, 2, &hashed, false);
    EXPECT_EQ(hashed, verifyAll ? 3u : 2u);
    EXPECT_TRUE(third["same.txt"].current);
    EXPECT_FALSE(third["edited.txt"].current);
    EXPECT_EQ(third["edited.txt"].digest, Sha256Hex("after!!!"));
    EXPECT_FALSE(third["replaced.txt"].current);
  }
}

TEST_F(FileCheckTest, OnlyVerifyReadsAFileWhoseRecordMatches) {
  // A record whose digest is not the file's (as after a change that kept every stat datum):
  // the plain check believes the record, --verify reads the file.
  WriteFile(base_ + "f", "real contents");
  Settle();
  {
    struct stat dir = StatOf(dir_.path());
    StatCache c("sha256", dir, TestClock);
    uint8_t other[32];
    memset(other, 0xab, sizeof(other));
    ASSERT_TRUE(c.record("f", file_stat_from(StatOf(base_ + "f")), other, 32));
    ASSERT_TRUE(WriteFile(state(), c.serialize()));
  }
  size_t hashed = 0;
  auto plain = Check({{"f", "real contents"}}, false, 1, &hashed, false);
  EXPECT_EQ(hashed, 0u);
  EXPECT_FALSE(plain["f"].current);
  auto verify = Check({{"f", "real contents"}}, true, 1, &hashed);
  EXPECT_EQ(hashed, 1u);
  EXPECT_TRUE(verify["f"].current);
  // --verify recorded the true digest: the plain check now agrees without reading.
  auto after = Check({{"f", "real contents"}}, false, 1, &hashed);
  EXPECT_EQ(hashed, 0u);
  EXPECT_TRUE(after["f"].current);
}

TEST_F(FileCheckTest, RacyFilesAreHashedAgainAndADamagedStateIsIgnored) {
  WriteFile(base_ + "f", "contents");
  // Recorded within the racy window of its modification time: not trusted next time.
  g_now = MtimeNs(base_ + "f") + kSecond / 2;
  size_t hashed = 0;
  Check({{"f", "contents"}}, false, 1, &hashed);
  EXPECT_EQ(hashed, 1u);
  Check({{"f", "contents"}}, false, 1, &hashed);
  EXPECT_EQ(hashed, 1u);
  Settle();
  Check({{"f", "contents"}}, false, 1, &hashed);
  Check({{"f", "contents"}}, false, 1, &hashed);
  EXPECT_EQ(hashed, 0u);

  const std::string good = ReadFileOr(state());
  std::string bytes = good;
  bytes[bytes.size() - 40] ^= 1;
  WriteFile(state(), bytes);
  auto answers = Check({{"f", "contents"}}, false, 1, &hashed);
  EXPECT_EQ(hashed, 1u);
  EXPECT_TRUE(answers["f"].current);
  // A good state reached through a symbolic link is not read either.
  WriteFile(base_ + "elsewhere", good);
  ASSERT_EQ(unlink(state().c_str()), 0);
  ASSERT_EQ(symlink((base_ + "elsewhere").c_str(), state().c_str()), 0);
  Check({{"f", "contents"}}, false, 1, &hashed, false);
  EXPECT_EQ(hashed, 1u);
}

TEST_F(FileCheckTest, ThreadsGiveTheSameAnswersAsOne) {
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 60; i++) {
    std::string name = "d" + std::to_string(i % 4) + "/f" + std::to_string(i);
    std::string body(static_cast<size_t>(i * 997 % 70000), static_cast<char>('a' + i % 26));
    WriteFile(base_ + name, body);
    expected[name] = (i % 3 == 0) ? body + "?" : body;
  }
  testutil::MakeDirs(base_ + "a directory");
  expected["a directory"] = "";
  // Links are never followed, not even to a file with the expected contents.
  ASSERT_EQ(symlink("d1/f1", (base_ + "a link").c_str()), 0);
  expected["a link"] = expected["d1/f1"];
  size_t hashed = 0;
  auto one = Check(expected, true, 1, &hashed, false);
  for (unsigned threads : {2u, 4u, 0u}) {
    auto many = Check(expected, true, threads, &hashed, false);
    EXPECT_EQ(hashed, 60u);
    for (const auto& e : expected) {
      EXPECT_EQ(many[e.first].current, one[e.first].current) << e.first;
      EXPECT_EQ(many[e.first].current, e.first[0] == 'd' && std::stoi(e.first.substr(4)) % 3 != 0)
          << e.first;
      EXPECT_EQ(many[e.first].count, 1) << e.first;
    }
  }
}

// Counts the stat calls that reach the tree.
class StatCounter : public ConfinedDirWrapper {
 public:
  using ConfinedDirWrapper::ConfinedDirWrapper;
  DirStatus Stat(const std::string& path, struct stat* st) override {
    stats++;
    return ConfinedDirWrapper::Stat(path, st);
  }
  int stats = 0;
};

// Files of a fresh installation: one look per missing directory, not per file; a directory
// made after finish() is looked into again.
TEST_F(FileCheckTest, MissingDirectoriesAreLookedIntoOncePerBatch) {
  WriteFile(base_ + "here/present.txt", "p");
  StatCounter counter(layer_.get());
  std::map<std::string, Answer> answers;
  FileCheck check(&counter, kState, "sha256", FileCheck::Options(), Collect, &answers);
  std::vector<std::string> names = {"a/b/one",          "a/b/two",          "a/c/three",
                                    "a/four",           "here/gone/five",   "here/gone/six",
                                    "here/present.txt", "here/missing.txt", "top"};
  for (int i = 0; i < 20; i++) names.push_back("a/d/e/more" + std::to_string(i));
  for (const std::string& n : names)
    check.check(n, Sha256Hex("p").c_str(), const_cast<char*>(n.c_str()));
  check.finish();
  for (const std::string& n : names) {
    EXPECT_EQ(answers[n].count, 1) << n;
    EXPECT_EQ(answers[n].exists, n == "here/present.txt") << n;
    EXPECT_EQ(answers[n].current, n == "here/present.txt") << n;
  }
  // The base directory; a/b/one, a/b, a; here/gone/five, here/gone, here; here/present.txt;
  // here/missing.txt, here; top. Nothing for the other files below a.
  EXPECT_EQ(counter.stats, 11);
  WriteFile(base_ + "a/b/one", "p");
  WriteFile(base_ + "here/gone/six", "p");
  answers.clear();
  for (const std::string& n : names)
    check.check(n, Sha256Hex("p").c_str(), const_cast<char*>(n.c_str()));
  check.finish();
  EXPECT_TRUE(answers["a/b/one"].current);
  EXPECT_TRUE(answers["here/gone/six"].current);
  EXPECT_FALSE(answers["a/b/two"].exists);
  EXPECT_FALSE(answers["here/gone/five"].exists);
}

TEST_F(FileCheckTest, InstalledFilesAreRecordedWithTheirDigest) {
  WriteFile(base_ + "new", "installed");
  Settle();
  std::map<std::string, Answer> answers;
  FileCheck::Options o;
  o.clock = TestClock;
  {
    FileCheck check(layer_.get(), kState, "sha256", o, Collect, &answers);
    check.recordInstalled("new", Sha256Hex("installed").c_str());
    check.recordInstalled("gone", Sha256Hex("x").c_str());
    check.recordInstalled("new2", "not hex");
    std::string error;
    ASSERT_TRUE(check.save(&error)) << error;
  }
  size_t hashed = 0;
  auto back = Check({{"new", "installed"}}, false, 1, &hashed);
  EXPECT_EQ(hashed, 0u);
  EXPECT_TRUE(back["new"].current);
}

TEST_F(FileCheckTest, RecordsOfFilesNoLongerListedAreDropped) {
  WriteFile(base_ + "kept", "kept");
  WriteFile(base_ + "dropped", "dropped");
  Settle();
  size_t hashed = 0;
  Check({{"kept", "kept"}, {"dropped", "dropped"}}, false, 1, &hashed);
  EXPECT_EQ(hashed, 2u);
  const size_t before = ReadFileOr(state()).size();
  // A release without "dropped": its record goes with the next save.
  Check({{"kept", "kept"}}, false, 1, &hashed);
  EXPECT_EQ(hashed, 0u);
  EXPECT_LT(ReadFileOr(state()).size(), before);
  Check({{"kept", "kept"}, {"dropped", "dropped"}}, false, 1, &hashed);
  EXPECT_EQ(hashed, 1u);
}

TEST(WorkPoolTest, RunsEveryJobOnceAndWaits) {
  for (unsigned threads : {1u, 3u}) {
    WorkPool pool(threads, 2);
    std::vector<int> hits(200, 0);
    for (size_t i = 0; i < hits.size(); i++) pool.submit([&hits, i] { hits[i]++; });
    pool.wait();
    EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), 200) << threads;
  }
  EXPECT_GE(WorkPool::coreCount(), 1u);
}

}  // namespace
