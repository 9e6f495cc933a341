// The installation-directory layer: no operation follows a symbolic link or leaves the base
// directory, with openat2 and with the component walk; and the fault-injecting layer fails what
// it is told to and rolls a tree back to what a power cut would leave.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "confined_dir.h"
#include "fault_dir.h"
#include "test_util.h"

namespace {

using testutil::FileExists;
using testutil::ReadFileOr;
using testutil::WriteFile;

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// A base directory and, beside it, a directory that links must never reach.
class ConfinedDirTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ConfinedDirUseWalkOnly(GetParam());
    base_ = tmp_.Sub("base");
    outside_ = tmp_.Sub("outside");
    ASSERT_TRUE(WriteFile(outside_ + "/x", "victim"));
    ASSERT_TRUE(WriteFile(base_ + "/real/file", "inside"));
    ASSERT_EQ(0, symlink(outside_.c_str(), (base_ + "/lib").c_str()));
    ASSERT_EQ(0, symlink("/", (base_ + "/root").c_str()));
    ASSERT_EQ(0, symlink((outside_ + "/missing").c_str(), (base_ + "/dangling").c_str()));
    ASSERT_EQ(0, symlink((outside_ + "/x").c_str(), (base_ + "/real/filelink").c_str()));
    DirStatus s = OpenConfinedDir(base_, &dir_);
    ASSERT_TRUE(s.ok()) << s.message();
  }
  void TearDown() override { ConfinedDirUseWalkOnly(false); }

  testutil::TempDir tmp_;
  std::string base_, outside_;
  std::unique_ptr<ConfinedDir> dir_;
};

// Every operation on an entry behind a linked directory fails naming the link, and nothing
// outside changes.
TEST_P(ConfinedDirTest, LinkedDirectoryOnTheWayIsNeverFollowed) {
  struct Case {
    const char* name;
    std::function<DirStatus(ConfinedDir*, const std::string&)> op;
  };
  std::unique_ptr<DirFile> file;
  struct stat st;
  std::string text;
  const Case cases[] = {
      {"stat", [&](ConfinedDir* d, const std::string& p) { return d->Stat(p, &st); }},
      {"open", [&](ConfinedDir* d, const std::string& p) { return d->OpenRead(p, &file); }},
      {"create", [&](ConfinedDir* d, const std::string& p) { return d->Create(p, 0644, &file); }},
      {"open-or-create",
       [&](ConfinedDir* d, const std::string& p) { return d->OpenOrCreate(p, 0644, &file); }},
      {"rename-from",
       [&](ConfinedDir* d, const std::string& p) { return d->Rename(p, "real/moved"); }},
      {"rename-to",
       [&](ConfinedDir* d, const std::string& p) { return d->Rename("real/file", p); }},
      {"unlink", [&](ConfinedDir* d, const std::string& p) { return d->Unlink(p); }},
      {"mkdir", [&](ConfinedDir* d, const std::string& p) { return d->MakeDir(p + "d", 0755); }},
      {"mkdirs", [&](ConfinedDir* d, const std::string& p) { return d->MakeDirs(p + "/d", 0755); }},
      {"rmdir", [&](ConfinedDir* d, const std::string& p) { return d->RemoveDir(p); }},
      {"chmod", [&](ConfinedDir* d, const std::string& p) { return d->ChangeMode(p, 04755); }},
      {"sync", [&](ConfinedDir* d, const std::string& p) { return d->SyncDir(p); }},
      {"read", [&](ConfinedDir* d, const std::string& p) { return d->ReadFile(p, 100, &text); }},
      {"replace",
       [&](ConfinedDir* d, const std::string& p) { return d->ReplaceFile(p, "evil", 0644); }},
  };
  struct Way {
    const char* path;
    const char* link;
  };
  const Way ways[] = {{"lib/x", "lib"},
                      {"./lib//x", "lib"},
                      {"root/etc/passwd", "root"},
                      {"dangling/x", "dangling"},
                      {"real/filelink/x", "real/filelink"}};
  for (const Case& c : cases) {
    for (const Way& w : ways) {
      SCOPED_TRACE(std::string(c.name) + " " + w.path);
      DirStatus s = c.op(dir_.get(), w.path);
      ASSERT_FALSE(s.ok());
      EXPECT_EQ(ELOOP, s.code()) << s.message();
      EXPECT_EQ(w.link, s.link());
      EXPECT_NE(std::string::npos, s.message().find(std::string("\"") + w.link + "\""))
          << s.message();
      EXPECT_NE(std::string::npos, s.message().find("symbolic link")) << s.message();
    }
  }
  EXPECT_EQ("victim", ReadFileOr(outside_ + "/x"));
  EXPECT_EQ(0644u, ModeOf(outside_ + "/x") & 0777);
  EXPECT_FALSE(FileExists(outside_ + "/missing"));
  EXPECT_FALSE(FileExists(outside_ + "/d"));
  EXPECT_EQ("inside", ReadFileOr(base_ + "/real/file"));
}

// A link in the final place is handled as the link itself.
TEST_P(ConfinedDirTest, LinkInTheFinalPlaceIsTheLinkItself) {
  std::unique_ptr<DirFile> file;
  DirStatus s = dir_->OpenRead("real/filelink", &file);
  EXPECT_EQ(ELOOP, s.code());
  EXPECT_EQ("real/filelink", s.link());
  EXPECT_NE(std::string::npos, s.message().find(outside_ + "/x")) << s.message();
  EXPECT_EQ(ELOOP, dir_->OpenOrCreate("real/filelink", 0600, &file).code());
  EXPECT_EQ(ELOOP, dir_->ChangeMode("real/filelink", 04755).code());
  EXPECT_EQ(EEXIST, dir_->Create("real/filelink", 0600, &file).code());
  EXPECT_EQ(EEXIST, dir_->Create("dangling", 0600, &file).code());
  EXPECT_FALSE(FileExists(outside_ + "/missing"));

  struct stat st;
  ASSERT_TRUE(dir_->Stat("lib", &st).ok());
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  std::string target;
  ASSERT_TRUE(dir_->ReadLink("lib", &target).ok());
  EXPECT_EQ(outside_, target);

  // Replacing goes over the link; removing removes the link.
  ASSERT_TRUE(dir_->ReplaceFile("real/filelink", "new", 0640).ok());
  EXPECT_FALSE(IsLink(base_ + "/real/filelink"));
  EXPECT_EQ("new", ReadFileOr(base_ + "/real/filelink"));
  EXPECT_EQ(0640u, ModeOf(base_ + "/real/filelink"));
  ASSERT_TRUE(dir_->Unlink("dangling").ok());
  ASSERT_TRUE(dir_->Unlink("root").ok());
  ASSERT_TRUE(dir_->Rename("real/file", "lib").ok());
  EXPECT_EQ("inside", ReadFileOr(base_ + "/lib"));
  EXPECT_EQ("victim", ReadFileOr(outside_ + "/x"));
  EXPECT_TRUE(FileExists("/etc"));
}

TEST_P(ConfinedDirTest, PathsOutsideTheBaseAreRefused) {
  std::unique_ptr<DirFile> file;
  for (const char* path : {"/etc/passwd", "../outside/x", "real/../../outside/x", "", ".", "//"}) {
    SCOPED_TRACE(path);
    DirStatus s = dir_->OpenRead(path, &file);
    EXPECT_EQ(EINVAL, s.code());
    EXPECT_NE(std::string::npos, s.message().find("not a relative path")) << s.message();
    EXPECT_EQ(EINVAL, dir_->Unlink(path).code());
    EXPECT_EQ(EINVAL, dir_->ReplaceFile(path, "x", 0644).code());
  }
  EXPECT_EQ("victim", ReadFileOr(outside_ + "/x"));
}

// Listing names what is in a directory and never lists through a link; removing a tree
// removes links as links and leaves their targets alone.
TEST_P(ConfinedDirTest, ListAndRemoveTreeStayInside) {
  ASSERT_TRUE(WriteFile(base_ + "/real/sub/deep", "d"));
  std::vector<std::string> names;
  DirStatus s = dir_->ListDir("real", &names);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(names, (std::vector<std::string>{"file", "filelink", "sub"}));
  EXPECT_EQ(dir_->ListDir("lib", &names).code(), ELOOP);
  EXPECT_EQ(dir_->ListDir("real/file", &names).code(), ENOTDIR);

  EXPECT_TRUE(dir_->RemoveTree("lib").ok());  // the link goes, not what it points to
  EXPECT_FALSE(IsLink(base_ + "/lib"));
  EXPECT_EQ(ReadFileOr(outside_ + "/x"), "victim");
  s = dir_->RemoveTree("real");
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_FALSE(FileExists(base_ + "/real"));
  EXPECT_EQ(ReadFileOr(outside_ + "/x"), "victim");
  EXPECT_TRUE(dir_->RemoveTree("real").ok());  // nothing there is fine
}

TEST_P(ConfinedDirTest, FilesAndDirectoriesAreMadeWithTheirModes) {
  ASSERT_TRUE(dir_->MakeDirs("a/b/c", 0700).ok());
  ASSERT_TRUE(dir_->MakeDirs("a//b/./c", 0700).ok());  // already there
  EXPECT_EQ(0700u, ModeOf(base_ + "/a/b") & 0777);
  EXPECT_EQ(ENOTDIR, dir_->MakeDirs("real/file/x", 0755).code());
  EXPECT_EQ(EEXIST, dir_->MakeDir("a", 0755).code());

  std::unique_ptr<DirFile> file;
  ASSERT_TRUE(dir_->Create("a/b/c/f", 0600, &file).ok());
  ASSERT_TRUE(file->Write("hello", 5).ok());
  ASSERT_TRUE(file->Chmod(04751).ok());
  ASSERT_TRUE(file->Sync().ok());
  ASSERT_TRUE(file->Close().ok());
  EXPECT_EQ(04751u, ModeOf(base_ + "/a/b/c/f"));
  EXPECT_EQ(EEXIST, dir_->Create("a/b/c/f", 0600, &file).code());

  std::string text;
  ASSERT_TRUE(dir_->ReadFile("a/b/c/f", 5, &text).ok());
  EXPECT_EQ("hello", text);
  EXPECT_EQ(EFBIG, dir_->ReadFile("a/b/c/f", 4, &text).code());
  EXPECT_EQ(EISDIR, dir_->OpenRead("a", &file).code());

  // A file the owner may not read still gets its modes.
  ASSERT_TRUE(dir_->ChangeMode("a/b/c/f", 0200).ok());
  ASSERT_TRUE(dir_->ChangeMode("a/b/c/f", 0644).ok());
  EXPECT_EQ(0644u, ModeOf(base_ + "/a/b/c/f"));
  ASSERT_TRUE(dir_->SyncDir("a/b").ok());
  ASSERT_TRUE(dir_->SyncDir("").ok());
  ASSERT_TRUE(dir_->Unlink("a/b/c/f").ok());
  ASSERT_TRUE(dir_->RemoveDir("a/b/c").ok());
  EXPECT_EQ(ENOTEMPTY, dir_->RemoveDir("a").code());
}

INSTANTIATE_TEST_SUITE_P(Resolution, ConfinedDirTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Walk" : "Openat2";
                         });

class FaultDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = tmp_.Sub("base");
    ASSERT_TRUE(WriteFile(base_ + "/old", "old text"));
    ASSERT_TRUE(OpenConfinedDir(base_, &posix_).ok());
    faults_.reset(new FaultInjectingDir(posix_.get()));
  }
  // Writes text to a new file, syncing it when asked.
  DirStatus Put(const std::string& path, const std::string& text, bool sync) {
    std::unique_ptr<DirFile> file;
    DirStatus s = faults_->Create(path, 0644, &file);
    if (s.ok()) s = file->Write(text.data(), text.size());
    if (s.ok() && sync) s = file->Sync();
    return s;
  }

  testutil::TempDir tmp_;
  std::string base_;
  std::unique_ptr<ConfinedDir> posix_;
  std::unique_ptr<FaultInjectingDir> faults_;
};

TEST_F(FaultDirTest, TheNthCallOfAKindFails) {
  struct Case {
    DirOp op;
    std::function<DirStatus(int)> call;
  };
  const Case cases[] = {
      {DirOp::kCreate, [&](int i) { return Put("c" + std::to_string(i), "x", false); }},
      {DirOp::kWrite,
       [&](int i) {
         std::unique_ptr<DirFile> f;
         DirStatus s = faults_->Create("w" + std::to_string(i), 0644, &f);
         return s.ok() ? f->Write("x", 1) : s;
       }},
      {DirOp::kChmod, [&](int) { return faults_->ChangeMode("old", 0600); }},
      {DirOp::kSync, [&](int) { return faults_->SyncDir(""); }},
      {DirOp::kMakeDir, [&](int i) { return faults_->MakeDir("d" + std::to_string(i), 0755); }},
      {DirOp::kRename,
       [&](int) {
         return FileExists(base_ + "/old") ? faults_->Rename("old", "r")
                                           : faults_->Rename("r", "old");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.op));
    const int before = faults_->calls(c.op);
    faults_->FailNth(c.op, 2, ENOSPC);
    EXPECT_TRUE(c.call(1).ok());
    DirStatus s = c.call(2);
    EXPECT_EQ(ENOSPC, s.code()) << s.message();
    s = c.call(3);
    EXPECT_TRUE(s.ok()) << s.message();  // one-shot
    EXPECT_EQ(before + 3, faults_->calls(c.op));
  }
  EXPECT_EQ(6, faults_->injected());
  // The failed rename was not done: old went to r and came back once.
  EXPECT_TRUE(FileExists(base_ + "/old"));
  EXPECT_FALSE(FileExists(base_ + "/r"));

  faults_->FailNth(DirOp::kUnlink, 1, EACCES, true);
  EXPECT_EQ(EACCES, faults_->Unlink("old").code());
  EXPECT_EQ(EACCES, faults_->Unlink("old").code());
  faults_->ClearFaults();
  EXPECT_TRUE(faults_->Unlink("old").ok());
}

TEST_F(FaultDirTest, PowerCutStopsEveryOperationAfterN) {
  faults_->CutPowerAfter(2);
  EXPECT_TRUE(faults_->MakeDir("a", 0755).ok());
  EXPECT_TRUE(faults_->MakeDir("b", 0755).ok());
  EXPECT_FALSE(faults_->powerCut());
  EXPECT_EQ(EIO, faults_->MakeDir("c", 0755).code());
  EXPECT_TRUE(faults_->powerCut());
  struct stat st;
  EXPECT_EQ(EIO, faults_->Stat("a", &st).code());
  EXPECT_FALSE(FileExists(base_ + "/c"));
}

// The usual replace-by-rename, cut at each step: what the disk holds afterwards is the old
// file until the directory sync, the new one whole after it, never a mix or an empty file.
TEST_F(FaultDirTest, DropUnsyncedLeavesWhatADiskWouldHold) {
  const std::string newText(100000, 'n');
  for (int steps = 0; steps <= 6; steps++) {
    SCOPED_TRACE(steps);
    ASSERT_TRUE(WriteFile(base_ + "/old", "old text"));
    faults_->TrackUnsynced(true);
    faults_->CutPowerAfter(steps);
    std::unique_ptr<DirFile> file;
    DirStatus s = faults_->Create("old.new", 0644, &file);
    if (s.ok()) s = file->Write(newText.data(), newText.size());
    if (s.ok()) s = file->Chmod(0755);
    if (s.ok()) s = file->Sync();
    if (s.ok()) s = faults_->Rename("old.new", "old");
    if (s.ok()) s = faults_->SyncDir("");
    const bool finished = s.ok();
    ASSERT_TRUE(faults_->DropUnsynced().ok());
    EXPECT_EQ(steps == 0 || steps >= 6, finished);
    EXPECT_EQ(finished ? newText : "old text", ReadFileOr(base_ + "/old"));
    EXPECT_FALSE(FileExists(base_ + "/old.new"));
  }
}

TEST_F(FaultDirTest, DropUnsyncedCutsUnsyncedDataAndRestoresRemovals) {
  ASSERT_TRUE(faults_->MakeDir("kept", 0755).ok());  // before tracking: durable
  faults_->TrackUnsynced(true);
  ASSERT_TRUE(Put("kept/synced", "0123456789", true).ok());
  ASSERT_TRUE(faults_->SyncDir("kept").ok());
  {
    std::unique_ptr<DirFile> f;
    ASSERT_TRUE(faults_->OpenOrCreate("kept/synced", 0644, &f).ok());
    ASSERT_EQ(10, lseek(f->fd(), 0, SEEK_END));
    ASSERT_TRUE(f->Write("tail", 4).ok());  // never synced
  }
  ASSERT_TRUE(Put("kept/unsynced", "lost", true).ok());  // data synced, name not
  ASSERT_TRUE(faults_->Unlink("old").ok());
  ASSERT_TRUE(faults_->MakeDir("newdir", 0755).ok());
  ASSERT_TRUE(faults_->Rename("kept", "moved").ok());
  ASSERT_TRUE(faults_->DropUnsynced().ok());
  EXPECT_EQ("0123456789", ReadFileOr(base_ + "/kept/synced"));
  EXPECT_FALSE(FileExists(base_ + "/kept/unsynced"));
  EXPECT_FALSE(FileExists(base_ + "/moved"));
  EXPECT_FALSE(FileExists(base_ + "/newdir"));
  EXPECT_EQ("old text", ReadFileOr(base_ + "/old"));
}

}  // namespace
