// The run's guards: private staging directory, run lock, root-only directories, reusable packs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <functional>
#include <memory>
#include <string>

#include "confined_dir.h"
#include "run_guard.h"
#include "test_util.h"

namespace {

using testutil::FileExists;
using testutil::WriteFile;

const uid_t kNobody = 65534;

class RunGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = tmp_.Sub("base");
    outside_ = tmp_.Sub("outside");
    ASSERT_TRUE(testutil::MakeDirs(base_));
    ASSERT_TRUE(testutil::MakeDirs(outside_));
    ASSERT_TRUE(OpenConfinedDir(base_, &dir_).ok());
  }
  mode_t Mode(const std::string& rel) {
    struct stat st;
    return lstat((base_ + "/" + rel).c_str(), &st) == 0 ? st.st_mode : 0;
  }

  testutil::TempDir tmp_;
  std::string base_, outside_;
  std::unique_ptr<ConfinedDir> dir_;
};

TEST_F(RunGuardTest, StagingDirectoryIsPrivateOrRefused) {
  const bool root = geteuid() == 0;
  struct Case {
    const char* name;
    std::function<void()> plant;
    const char* refusal;  // null: accepted
  };
  const Case cases[] = {
      {"missing", [] {}, nullptr},
      {"ours but open to reading",
       [&] { ASSERT_EQ(0, mkdir((base_ + "/tmp/updater").c_str(), 0755)); }, nullptr},
      {"link", [&] { ASSERT_EQ(0, symlink(outside_.c_str(), (base_ + "/tmp/updater").c_str())); },
       "is a symbolic link"},
      {"link above",
       [&] {
         rmdir((base_ + "/tmp").c_str());
         ASSERT_EQ(0, symlink(outside_.c_str(), (base_ + "/tmp").c_str()));
       },
       "\"tmp\": it is a symbolic link"},
      {"file", [&] { ASSERT_TRUE(WriteFile(base_ + "/tmp/updater", "x")); }, "not a directory"},
      {"group-writable",
       [&] {
         ASSERT_EQ(0, mkdir((base_ + "/tmp/updater").c_str(), 0700));
         ASSERT_EQ(0, chmod((base_ + "/tmp/updater").c_str(), 0770));
       },
       "writable by group or others"},
      {"another user's",
       [&] {
         ASSERT_EQ(0, mkdir((base_ + "/tmp/updater").c_str(), 0700));
         ASSERT_EQ(0, chown((base_ + "/tmp/updater").c_str(), kNobody, kNobody));
       },
       root ? "belongs to another user (uid 65534)" : nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!root && std::string(c.name) == "another user's") continue;
    unlink((base_ + "/tmp").c_str());
    testutil::RemoveTree(base_ + "/tmp");
    ASSERT_TRUE(testutil::MakeDirs(base_ + "/tmp"));
    c.plant();
    std::string error;
    bool ok = PrepareStagingDir(dir_.get(), "tmp/updater", &error);
    if (!c.refusal) {
      EXPECT_TRUE(ok) << error;
      EXPECT_TRUE(S_ISDIR(Mode("tmp/updater")));
      EXPECT_EQ(0700u, Mode("tmp/updater") & 07777);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(std::string::npos, error.find(c.refusal)) << error;
      EXPECT_NE(std::string::npos, error.find(base_)) << error;
    }
  }
  EXPECT_FALSE(FileExists(outside_ + "/updater"));
}

TEST_F(RunGuardTest, SecondLockIsRefusedAtOnceNamingTheHolder) {
  std::string error;
  ASSERT_TRUE(PrepareStagingDir(dir_.get(), "tmp/updater", &error)) << error;
  RunLock first, second;
  ASSERT_TRUE(first.Acquire(dir_.get(), "tmp/updater/updater.lock", &error)) << error;
  EXPECT_FALSE(second.Acquire(dir_.get(), "tmp/updater/updater.lock", &error));
  EXPECT_NE(std::string::npos,
            error.find("another update is running (pid " + std::to_string(getpid()) + ")"))
      << error;
  EXPECT_FALSE(second.held());
  first.Release();
  EXPECT_TRUE(second.Acquire(dir_.get(), "tmp/updater/updater.lock", &error)) << error;
  EXPECT_EQ(std::to_string(getpid()) + "\n",
            testutil::ReadFileOr(base_ + "/tmp/updater/updater.lock"));
  second.Release();
  EXPECT_FALSE(FileExists(base_ + "/tmp/updater/updater.lock"));

  // A planted link is never opened, nor is another user's file.
  ASSERT_TRUE(WriteFile(outside_ + "/victim", "keep"));
  ASSERT_EQ(0,
            symlink((outside_ + "/victim").c_str(), (base_ + "/tmp/updater/updater.lock").c_str()));
  EXPECT_FALSE(first.Acquire(dir_.get(), "tmp/updater/updater.lock", &error));
  EXPECT_NE(std::string::npos, error.find("symbolic link")) << error;
  EXPECT_EQ("keep", testutil::ReadFileOr(outside_ + "/victim"));
  if (geteuid() == 0) {
    ASSERT_EQ(0, unlink((base_ + "/tmp/updater/updater.lock").c_str()));
    ASSERT_TRUE(WriteFile(base_ + "/tmp/updater/updater.lock", "1\n"));
    ASSERT_EQ(0, chown((base_ + "/tmp/updater/updater.lock").c_str(), kNobody, kNobody));
    EXPECT_FALSE(first.Acquire(dir_.get(), "tmp/updater/updater.lock", &error));
    EXPECT_NE(std::string::npos, error.find("belongs to another user")) << error;
  }
}

TEST_F(RunGuardTest, RootWritesOnlyWhereRootAloneCanWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_EQ(0, chmod(base_.c_str(), 0755));
  ASSERT_TRUE(testutil::MakeDirs(base_ + "/lib/plugins"));
  struct Case {
    const char* name;
    std::function<void()> share;
    const char* named;  // directory named in the refusal; null: accepted
  };
  const Case cases[] = {
      {"private", [] {}, nullptr},
      {"group-writable base", [&] { chmod(base_.c_str(), 0775); }, ""},
      {"world-writable below", [&] { chmod((base_ + "/lib").c_str(), 0777); }, "/lib"},
      {"owned by another user",
       [&] { ASSERT_EQ(0, chown((base_ + "/lib/plugins").c_str(), kNobody, 0)); }, "/lib/plugins"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    chmod(base_.c_str(), 0755);
    chmod((base_ + "/lib").c_str(), 0755);
    chown((base_ + "/lib/plugins").c_str(), 0, 0);
    c.share();
    std::string error;
    bool ok = CheckRootOnlyDirs(dir_.get(), "lib/plugins/new/x", false, &error);
    EXPECT_EQ(c.named == nullptr, ok) << error;
    if (c.named) {
      EXPECT_NE(std::string::npos, error.find(base_ + c.named + " can be written")) << error;
      EXPECT_NE(std::string::npos, error.find("--allow-shared-dir")) << error;
      EXPECT_TRUE(CheckRootOnlyDirs(dir_.get(), "lib/plugins/new/x", true, &error));
    }
  }
}

TEST_F(RunGuardTest, LeftoverPackIsReusedOnlyWhenOursRegularAndMatching) {
  const std::string sha = testutil::Sha256Hex("pack");
  ASSERT_TRUE(WriteFile(base_ + "/p", "pack"));
  ASSERT_TRUE(WriteFile(outside_ + "/p", "pack"));
  ASSERT_EQ(0, symlink((outside_ + "/p").c_str(), (base_ + "/link").c_str()));
  EXPECT_TRUE(IsReusablePack(dir_.get(), "p", "sha256", sha.c_str()));
  std::string upper = sha;
  for (char& ch : upper) ch = static_cast<char>(toupper(ch));
  EXPECT_TRUE(IsReusablePack(dir_.get(), "p", "sha256", upper.c_str()));
  EXPECT_FALSE(IsReusablePack(dir_.get(), "p", "sha256", ""));
  EXPECT_FALSE(IsReusablePack(dir_.get(), "p", "sha256", testutil::Sha256Hex("other").c_str()));
  EXPECT_FALSE(IsReusablePack(dir_.get(), "link", "sha256", sha.c_str()));
  EXPECT_FALSE(IsReusablePack(dir_.get(), "missing", "sha256", sha.c_str()));
  if (geteuid() == 0) {
    ASSERT_EQ(0, chown((base_ + "/p").c_str(), kNobody, kNobody));
    EXPECT_FALSE(IsReusablePack(dir_.get(), "p", "sha256", sha.c_str()));
  }
}

}  // namespace
