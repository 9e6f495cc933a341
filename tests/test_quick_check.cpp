// The engine's quick check end to end: releases served by a real nginx, installed by the
// engine, then checked again with and without --verify after changes that keep some or all of
// a file's stat data. The recording clock is injected, so no test waits for the racy window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "libupdater.h"
#include "test_util.h"
#include "updater_fixture.h"
#include "updater_harness.h"

using namespace updtest;
using testutil::ReadFileOr;
using testutil::WriteFile;

namespace {

int64_t g_now = 0;
int64_t TestClock() { return g_now; }
const int64_t kSecond = 1000000000;

int64_t RealNow() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec * kSecond + ts.tv_nsec;
}

void TouchLike(const std::string& path, const std::string& reference) {
  ASSERT_TRUE(testutil::CopyFileTimes(path, reference)) << path;
}

class QuickCheckTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    ReleaseSpec rel;
    rel.files = {File("same.txt", "stays as it is\n"), File("edited.txt", "edit me\n"),
                 File("dir/replaced.bin", RandomBytes(3000, 5))};
    Publish(rel);
    // Recorded long after every file was written: nothing is racy.
    g_now = RealNow() + 3600 * kSecond;
  }

  // An engine that has fetched and parsed the release for the installation.
  std::unique_ptr<Updater> Parsed(bool verifyAll) {
    std::unique_ptr<Updater> u(new Updater);
    std::string url = "http://" + site_->ServerArg() + "/updates/kestrl5-full-debian9.x86_64.info";
    u->setup(url.c_str(), base_.c_str(), "updater", "", nullptr);
    u->setCheckOptions(verifyAll, 2, TestClock);
    EXPECT_TRUE(u->fetchInfo()) << u->lastError();
    EXPECT_TRUE(u->parseInfo()) << u->lastError();
    return u;
  }

  // Names of the files the parse found out of date, in document order.
  static std::vector<std::string> Outdated(Updater* u) {
    std::vector<std::string> out;
    for (UpdateFile* f = u->firstFile(); f; f = f->next) {
      if (f->needsUpdate) out.push_back(f->name);
    }
    return out;
  }

  void Install() {
    std::unique_ptr<Updater> u = Parsed(false);
    EXPECT_EQ(u->hashedCount(), 0);  // nothing there to read
    ASSERT_TRUE(u->performUpdate()) << u->lastError();
  }
};

TEST_F(QuickCheckTest, InstalledFilesAreTakenFromTheirRecordsUntilVerify) {
  Install();
  std::unique_ptr<Updater> plain = Parsed(false);
  EXPECT_EQ(plain->hashedCount(), 0);
  EXPECT_EQ(Outdated(plain.get()), std::vector<std::string>{});
  EXPECT_FALSE(plain->needsUpdate());
  std::unique_ptr<Updater> verify = Parsed(true);
  EXPECT_EQ(verify->hashedCount(), 3);
  EXPECT_EQ(Outdated(verify.get()), std::vector<std::string>{});
}

TEST_F(QuickCheckTest, ChangesThatKeepSizeAndTimesAreFound) {
  Install();
  // Same size, modification time put back as touch -r would: the status-change time moves.
  WriteFile(base_ + "edited.txt", "edit ME\n");
  TouchLike(base_ + "edited.txt", base_ + "same.txt");
  // Replaced by another file of the same size and times: another inode.
  std::string other = RandomBytes(3000, 6);
  WriteFile(base_ + "dir/new", other);
  TouchLike(base_ + "dir/new", base_ + "dir/replaced.bin");
  ASSERT_EQ(rename((base_ + "dir/new").c_str(), (base_ + "dir/replaced.bin").c_str()), 0);
  const std::vector<std::string> changed = {"edited.txt", "dir/replaced.bin"};

  std::unique_ptr<Updater> plain = Parsed(false);
  EXPECT_EQ(Outdated(plain.get()), changed);
  EXPECT_EQ(plain->hashedCount(), 2);  // the unchanged file is not read
  std::unique_ptr<Updater> verify = Parsed(true);
  EXPECT_EQ(Outdated(verify.get()), changed);
  EXPECT_EQ(verify->hashedCount(), 3);
  // The update puts them right and records them again.
  ASSERT_TRUE(verify->performUpdate()) << verify->lastError();
  EXPECT_EQ(ReadFileOr(base_ + "edited.txt"), "edit me\n");
  std::unique_ptr<Updater> after = Parsed(false);
  EXPECT_EQ(Outdated(after.get()), std::vector<std::string>{});
  EXPECT_EQ(after->hashedCount(), 0);
}

TEST_F(QuickCheckTest, ADamagedStateFileIsIgnored) {
  Install();
  const std::string state = base_ + kStateFile;
  std::string bytes = ReadFileOr(state);
  ASSERT_GT(bytes.size(), 100u);
  struct Damage {
    const char* what;
    std::string content;
  } damages[] = {
      {"a byte flipped", bytes.substr(0, 50) + static_cast<char>(bytes[50] ^ 4) + bytes.substr(51)},
      {"cut short", bytes.substr(0, bytes.size() / 2)},
      {"foreign text", "same.txt 15 0 0 0 0 0 0 deadbeef\n"},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    WriteFile(state, d.content);
    // The same bytes under another name would pass for the real thing if it were trusted.
    WriteFile(base_ + "edited.txt", "EDIT me\n");
    TouchLike(base_ + "edited.txt", base_ + "same.txt");
    std::unique_ptr<Updater> plain = Parsed(false);
    EXPECT_EQ(plain->hashedCount(), 3);
    EXPECT_EQ(Outdated(plain.get()), std::vector<std::string>{"edited.txt"});
    WriteFile(base_ + "edited.txt", "edit me\n");
  }
}

TEST_F(QuickCheckTest, FilesChangedJustBeforeTheirRecordingAreReadAgain) {
  // Recorded at the moment they were installed: within the racy window, so not trusted.
  g_now = RealNow();
  Install();
  for (int run = 0; run < 2; run++) {
    std::unique_ptr<Updater> plain = Parsed(false);
    EXPECT_EQ(plain->hashedCount(), 3) << run;
    plain->saveFileStates();
  }
  // Once the window has passed, the next check records them for good.
  g_now = RealNow() + 3600 * kSecond;
  std::unique_ptr<Updater> settled = Parsed(false);
  EXPECT_EQ(settled->hashedCount(), 3);
  ASSERT_TRUE(settled->saveFileStates()) << settled->lastError();
  EXPECT_EQ(Parsed(false)->hashedCount(), 0);
}

}  // namespace
