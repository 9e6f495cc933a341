// The installation is the only place an update writes: end-to-end runs of the updater against
// installations holding planted links, planted staging files and state files, hostile
// documents, a second run at the same time, and (as root) directories other users can write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "confined_dir.h"
#include "run_guard.h"
#include "test_util.h"
#include "updater_fixture.h"
#include "updater_harness.h"

using namespace updtest;
using testutil::FileExists;
using testutil::ReadFileOr;
using testutil::WriteFile;

namespace {

const uid_t kNobody = 65534;

std::string Lines(const RunResult& r) { return Join(OutputLines(r.out)) + "stderr: " + r.err; }

bool Mentions(const RunResult& r, const std::string& text) {
  return r.out.find(text) != std::string::npos;
}

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

class ConfinementTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    outside_ = outsideDir_.path();
    ASSERT_TRUE(WriteFile(outside_ + "/victim", "victim"));
    ASSERT_EQ(0, chmod((outside_ + "/victim").c_str(), 0644));
  }
  void Link(const std::string& target, const std::string& rel) {
    ASSERT_TRUE(testutil::MakeDirs(base_ + rel.substr(0, rel.rfind('/') + 1)));
    ASSERT_EQ(0, symlink(target.c_str(), (base_ + rel).c_str())) << rel;
  }
  // Nothing outside the installation changed: the victim is as it was and nothing new appeared.
  void ExpectOutsideUntouched() {
    EXPECT_EQ("victim", ReadFileOr(outside_ + "/victim"));
    EXPECT_EQ(0644, ModeOf(outside_ + "/victim"));
    EXPECT_EQ(std::vector<std::string>{"victim"}, ListTree(outside_));
  }

  testutil::TempDir outsideDir_;
  std::string outside_;
};

// Each link planted in the installation, and what the run must make of it.
TEST_F(ConfinementTest, LinksInTheInstallationAreNeverFollowed) {
  struct Case {
    const char* name;
    std::function<void(ReleaseSpec*)> setup;
    std::vector<std::string> extraArgs;
    int code;
    std::string mention;  // in the output
  };
  const std::string rootPath = outside_.substr(1);  // the outside directory seen from "/"
  const Case cases[] = {
      {"linked directory on the way",
       [&](ReleaseSpec* rel) {
         Link(outside_, "lib");
         rel->files.push_back(File("lib/victim", "written through the link"));
       },
       {},
       1,
       "\"lib\" is a symbolic link (to \"" + outside_ + "\")"},
      {"link to /",
       [&](ReleaseSpec* rel) {
         Link("/", "sys");
         rel->files.push_back(File("sys/" + rootPath + "/new", "x"));
       },
       {},
       1,
       "\"sys\" is a symbolic link (to \"/\")"},
      {"dangling directory link",
       [&](ReleaseSpec* rel) {
         Link(outside_ + "/made", "d");
         rel->files.push_back(File("d/x", "x"));
       },
       {},
       1,
       "\"d\" is a symbolic link"},
      {"link in the final place",
       [&](ReleaseSpec* rel) {
         Link(outside_ + "/victim", "a.txt");
         FixtureFile f = File("a.txt", "installed\n");
         f.modes = 0755;
         rel->files.push_back(f);
       },
       {},
       0,
       "Update Complete!"},
      {"dangling link in the final place",
       [&](ReleaseSpec* rel) {
         Link(outside_ + "/made", "b.txt");
         rel->files.push_back(File("b.txt", "installed\n"));
       },
       {},
       0,
       "Update Complete!"},
      {"obsolete file behind a link",
       [&](ReleaseSpec* rel) {
         Link(outside_, "old");
         rel->hasDelete = true;
         rel->deletes = {"old/victim"};
       },
       {},
       1,
       "\"old\" is a symbolic link"},
      {"removed group behind a link",
       [&](ReleaseSpec* rel) {
         Link(outside_, "ex");
         rel->groups = {Group("extras", "1")};
         rel->files.push_back(File("ex/victim", "victim", "", "extras"));
       },
       {"--remove", "extras"},
       1,
       "\"ex\" is a symbolic link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::RemoveTree(install_.path());
    ASSERT_TRUE(testutil::MakeDirs(install_.path()));
    unlink(work_.Sub(".updater.ini").c_str());
    ReleaseSpec rel;
    rel.files.push_back(File("keep.txt", "keep\n"));
    c.setup(&rel);
    Publish(rel);
    RunResult r = Run(c.extraArgs);
    EXPECT_EQ(c.code, r.code) << Lines(r);
    EXPECT_TRUE(Mentions(r, c.mention)) << c.mention << "\n" << Lines(r);
    ExpectOutsideUntouched();
    if (c.code == 0) {
      for (const char* name : {"a.txt", "b.txt"}) {
        if (IsLink(base_ + name)) ADD_FAILURE() << name << " is still a link";
      }
    } else {
      EXPECT_FALSE(Exists("keep.txt")) << "a refused run changes nothing";
    }
  }
}

// Files planted in the staging directory, or a staging directory that is not private.
TEST_F(ConfinementTest, PlantedStagingDirectoryIsRefused) {
  const bool root = geteuid() == 0;
  ReleaseSpec rel;
  FixtureFile f = File("tool", "the tool\n");
  f.modes = 0755;
  rel.files.push_back(f);
  Publish(rel);
  const std::string pack = DefaultPackName("tool");
  struct Case {
    const char* name;
    std::function<void()> plant;
    std::string mention;
  };
  const Case cases[] = {
      {"staging directory is a link", [&] { Link(outside_, "tmp/updater"); },
       "is a symbolic link (to " + outside_ + ")"},
      {"tmp is a link", [&] { Link(outside_, "tmp"); }, "symbolic link (to \"" + outside_ + "\")"},
      {"world-writable staging directory",
       [&] {
         ASSERT_TRUE(testutil::MakeDirs(base_ + "tmp/updater"));
         ASSERT_EQ(0, chmod((base_ + "tmp/updater").c_str(), 0777));
       },
       "is writable by group or others (mode 0777)"},
      {"another user's staging directory with planted packs",
       [&] {
         ASSERT_TRUE(testutil::MakeDirs(base_ + "tmp/updater"));
         ASSERT_EQ(0, chmod((base_ + "tmp/updater").c_str(), 0700));
         Link(outside_ + "/victim", "tmp/updater/" + pack);
         Link(outside_ + "/victim", "tmp/updater/" + pack + ".unpacked");
         ASSERT_EQ(0, chown((base_ + "tmp/updater").c_str(), kNobody, kNobody));
       },
       "belongs to another user (uid 65534)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!root && std::string(c.name).find("another user") != std::string::npos) continue;
    testutil::RemoveTree(install_.path());
    ASSERT_TRUE(testutil::MakeDirs(install_.path()));
    c.plant();
    RunResult r = Run();
    EXPECT_EQ(1, r.code) << Lines(r);
    EXPECT_TRUE(Mentions(r, c.mention)) << c.mention << "\n" << Lines(r);
    EXPECT_FALSE(Mentions(r, "Got info files")) << "refused before the fetch";
    EXPECT_FALSE(Exists("tool"));
    ExpectOutsideUntouched();
  }
}

// A leftover pack that is a link is never reused nor written through, even where its target
// holds the right bytes.
TEST_F(ConfinementTest, LeftoverPackLinkIsNotReused) {
  ReleaseSpec rel;
  rel.files.push_back(File("tool", "the tool\n"));
  Publish(rel);
  const std::string pack = DefaultPackName("tool");
  ASSERT_TRUE(testutil::MakeDirs(base_ + "tmp/updater"));
  ASSERT_EQ(0, chmod((base_ + "tmp/updater").c_str(), 0700));
  const std::string served = ReadFileOr(site_->PackPath(pack));
  ASSERT_FALSE(served.empty());
  ASSERT_TRUE(WriteFile(outside_ + "/pack", served));
  const struct timeval old[2] = {{946684800, 0}, {946684800, 0}};  // 2000-01-01
  ASSERT_EQ(0, utimes((outside_ + "/pack").c_str(), old));
  Link(outside_ + "/pack", "tmp/updater/" + pack);
  RunResult r = Run();
  ASSERT_EQ(0, r.code) << Lines(r);
  EXPECT_EQ("the tool\n", Installed("tool"));
  EXPECT_EQ(1u, PackRequests().size()) << "downloaded, not taken from the link";
  EXPECT_EQ(served, ReadFileOr(outside_ + "/pack"));
  struct stat st;
  ASSERT_EQ(0, stat((outside_ + "/pack").c_str(), &st));
  EXPECT_EQ(946684800, st.st_mtime) << "written through the link";
}

TEST_F(ConfinementTest, StateFileIsNeverWrittenThroughALinkOrForAnotherUser) {
  ReleaseSpec rel;
  rel.groups = {Group("core", "1")};
  rel.files.push_back(File("core.txt", "core\n", "", "core"));
  Publish(rel);
  struct Case {
    const char* name;
    std::function<void()> plant;
    std::string mention;
  };
  const Case cases[] = {
      {"link to a file",
       [&] {
         ASSERT_EQ(0, symlink((outside_ + "/victim").c_str(), work_.Sub(".updater.ini").c_str()));
       },
       "it is a symbolic link"},
      {"dangling link",
       [&] {
         ASSERT_EQ(0, symlink((outside_ + "/made").c_str(), work_.Sub(".updater.ini").c_str()));
       },
       "it is a symbolic link"},
      {"another user's file",
       [&] {
         ASSERT_TRUE(WriteFile(work_.Sub(".updater.ini"), "[groups]\r\ncore=1\r\n"));
         ASSERT_EQ(0, chown(work_.Sub(".updater.ini").c_str(), kNobody, kNobody));
       },
       "it belongs to another user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (geteuid() != 0 && std::string(c.name) == "another user's file") continue;
    unlink(work_.Sub(".updater.ini").c_str());
    c.plant();
    RunResult r = Run({"--install", "core"});
    EXPECT_EQ(1, r.code) << Lines(r);
    EXPECT_TRUE(Mentions(r, "Refusing to write the group states to .updater.ini: " + c.mention))
        << Lines(r);
    EXPECT_FALSE(Exists("core.txt")) << "refused before anything is installed";
    ExpectOutsideUntouched();
  }
}

// A state file that is the user's own but cannot take the choices (an empty one) keeps them
// from being remembered, as it always has, and stops nothing.
TEST_F(ConfinementTest, AnEmptyStateFileDoesNotStopTheUpdate) {
  ReleaseSpec rel;
  rel.groups = {Group("core", "1")};
  rel.files.push_back(File("core.txt", "core\n", "", "core"));
  Publish(rel);
  ASSERT_TRUE(WriteFile(work_.Sub(".updater.ini"), ""));
  RunResult r = Run({"--install", "core"});
  EXPECT_EQ(0, r.code) << Lines(r);
  EXPECT_TRUE(Mentions(r, "Update Complete!")) << Lines(r);
  EXPECT_EQ("core\n", Installed("core.txt"));
  EXPECT_EQ("", ReadFileOr(work_.Sub(".updater.ini")));
}

// Documents that would write other lines into the state file, or crash the parser.
TEST_F(ConfinementTest, HostileDocumentsFailTheParse) {
  const std::string head =
      "<update_info version=\"2\"><info AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"d/\"/>";
  std::string deep = "<update_info version=\"2\">\n";
  for (int i = 0; i < 60000; i++) deep += "<a>";
  struct Case {
    std::string doc;
    std::string line;
  };
  const Case cases[] = {
      {head + "<groups><group name=\"core&#10;[evil]&#10;x=1\"/></groups><files/></update_info>",
       "Error parsing info files: Unusable group name \"core\\n[evil]\\nx=1\" in <group> entry 1 "
       "of <groups>: it holds a control character"},
      {head + "<groups><group name=\"ok\"/><group name=\" a=b\"/></groups><files/></update_info>",
       "Error parsing info files: Unusable group name \" a=b\" in <group> entry 2 of <groups>: "
       "it begins or ends with a blank"},
      {deep,
       "Error parsing info files: Error parsing updater-info.xml (elements nested deeper than 64 "
       "levels at row 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ReleaseSpec rel;
    rel.hasRawDocument = true;
    rel.rawDocument = c.doc;
    Publish(rel);
    RunResult r = Run({"--install", "ok"});
    EXPECT_EQ(1, r.code) << Lines(r);
    EXPECT_TRUE(ContainsInOrder(OutputLines(r.out), {c.line})) << Lines(r);
    EXPECT_FALSE(FileExists(work_.Sub(".updater.ini")));
  }
}

// A run that holds the lock (here the test itself) makes another stop at once.
TEST_F(ConfinementTest, SecondRunStopsAtOnceWhileTheLockIsHeld) {
  ReleaseSpec rel;
  rel.files.push_back(File("a.txt", "a\n"));
  Publish(rel);
  std::unique_ptr<ConfinedDir> dir;
  ASSERT_TRUE(OpenConfinedDir(install_.path(), &dir).ok());
  std::string error;
  ASSERT_TRUE(PrepareStagingDir(dir.get(), "tmp/updater", &error)) << error;
  RunLock held;
  ASSERT_TRUE(held.Acquire(dir.get(), std::string("tmp/updater/") + kRunLockName, &error)) << error;
  RunResult refused = Run();
  EXPECT_EQ(1, refused.code) << Lines(refused);
  EXPECT_TRUE(Mentions(refused, "Error: another update is running (pid " +
                                    std::to_string(getpid()) + ") in " + base_))
      << Lines(refused);
  EXPECT_FALSE(Mentions(refused, "Got info files"));
  EXPECT_TRUE(site_->Requests().empty()) << "not even the document is fetched";
  EXPECT_FALSE(Exists("a.txt"));
  EXPECT_FALSE(FileExists(work_.Sub(".updater.ini")));

  held.Release();
  RunResult r = Run();
  EXPECT_EQ(0, r.code) << Lines(r);
  EXPECT_EQ("a\n", Installed("a.txt"));
  EXPECT_FALSE(Exists("tmp/updater/updater.lock")) << "the lock file goes with the run";
}

// Two real runs: the second is refused naming the first, which completes.
TEST_F(ConfinementTest, TwoRunsAtOnceTheFirstCompletes) {
  site_ = std::make_unique<Site>("location /packs/slow { limit_rate 200k; }");
  ASSERT_TRUE(site_->ok()) << site_->error();
  const std::string big = RandomBytes(1 << 20, 5);
  ReleaseSpec rel;
  FixtureFile f = File("big.bin", big);
  f.pack = "slow-big.pak";
  rel.files = {f, File("small.txt", "small\n")};
  Publish(rel);

  Background first(
      {testutil::BinPath("updater"), "--server", site_->ServerArg(), "-d", install_.path()},
      work_.path());
  ASSERT_TRUE(first.started());
  // Wait (bounded) until the first run is downloading, which it does under its lock.
  const std::string partial = base_ + "tmp/updater/slow-big.pak";
  bool downloading = false;
  for (int i = 0; i < 3000 && !downloading; i++) {
    struct stat st;
    downloading = stat(partial.c_str(), &st) == 0 && st.st_size > 0;
    if (!downloading) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(downloading) << first.Output();
  const std::string holder = ReadFileOr(base_ + "tmp/updater/updater.lock");
  ASSERT_FALSE(holder.empty());

  RunResult second = Run();
  EXPECT_EQ(1, second.code) << Lines(second);
  EXPECT_TRUE(Mentions(
      second, "another update is running (pid " + holder.substr(0, holder.find('\n')) + ")"))
      << Lines(second);

  ASSERT_TRUE(first.Wait(300000)) << first.Output();
  EXPECT_EQ(0, first.exitCode()) << first.Output();
  EXPECT_EQ(testutil::Sha256Hex(big), testutil::Sha256Hex(Installed("big.bin")));
  EXPECT_EQ("small\n", Installed("small.txt"));
}

// As root, directories that other users can write are refused unless --allow-shared-dir.
TEST_F(ConfinementTest, RootRefusesDirectoriesOthersCanWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  ReleaseSpec rel;
  rel.files = {File("lib/x", "x\n")};
  Publish(rel);
  struct Case {
    const char* name;
    std::function<void()> share;
    std::string named;
  };
  const Case cases[] = {
      {"world-writable base", [&] { ASSERT_EQ(0, chmod(install_.path().c_str(), 0777)); },
       install_.path() + "/"},
      {"subdirectory of another user",
       [&] {
         ASSERT_TRUE(testutil::MakeDirs(base_ + "lib"));
         ASSERT_EQ(0, chown((base_ + "lib").c_str(), kNobody, kNobody));
       },
       base_ + "lib"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::RemoveTree(install_.path());
    ASSERT_TRUE(testutil::MakeDirs(install_.path()));
    ASSERT_EQ(0, chmod(install_.path().c_str(), 0755));
    c.share();
    RunResult r = Run();
    EXPECT_EQ(1, r.code) << Lines(r);
    EXPECT_TRUE(Mentions(r, "Refusing to update as root: " + c.named +
                                " can be written by users "
                                "other than root"))
        << Lines(r);
    EXPECT_TRUE(Mentions(r, "--allow-shared-dir")) << Lines(r);
    EXPECT_FALSE(Exists("lib/x"));

    RunResult allowed = Run({"--allow-shared-dir"});
    EXPECT_EQ(0, allowed.code) << Lines(allowed);
    EXPECT_EQ("x\n", Installed("lib/x"));
  }
}

}  // namespace
