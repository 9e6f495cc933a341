// End-to-end tests of choosing groups and previewing the plan from the command line
// (--list, --install, --remove, --skip), with the real updater against nginx on loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "test_util.h"
#include "updater_fixture.h"
#include "updater_harness.h"

using namespace updtest;
using testutil::ReadFileOr;
using testutil::WriteFile;

namespace {

std::string Lines(const RunResult& r) { return Join(OutputLines(r.out)) + "stderr: " + r.err; }

// Every regular file under dir with its contents.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& rel : ListTree(dir)) out[rel] = ReadFileOr(dir + "/" + rel);
  return out;
}

// The lines after the parse.
std::vector<std::string> AfterParse(const std::vector<std::string>& lines) {
  for (size_t i = 0; i < lines.size(); i++) {
    if (lines[i] == "Building file list...") {
      return std::vector<std::string>(lines.begin() + i + 1, lines.end());
    }
  }
  return {};
}

}  // namespace

class CliGroupOptionsTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    if (HasFatalFailure()) return;
    ReleaseSpec rel;
    rel.groups = {Group("core", "1",
                        {{"dispName", "Core Files"},
                         {"defaultgrp", "1"},
                         {"desc", "Main program\\nand libraries"}}),
                  Group("extras", "0", {{"dispName", "Extras"}}),
                  Group("docs", "0", {{"dispName", "Docs"}, {"priority", "60"}})};
    rel.files = {File("core/a", "core a\n", "", "core"),
                 File("extras/x", "extra x!\n", "k3Y-0123456789ab", "extras"),
                 File("docs/d", "docs d\n", "", "docs"),
                 File("shared/s", "shared s\n", "", "extras,docs"), File("nogroup", "always\n")};
    rel.hasDelete = true;
    rel.deletes = {"obsolete.txt"};
    Publish(rel);
  }

  std::string Groups() const {
    auto ini = IniGroups();
    return "core=" + ini["core"] + " extras=" + ini["extras"] + " docs=" + ini["docs"];
  }
};

TEST_F(CliGroupOptionsTest, ListOnFreshInstallation) {
  RunResult r = Run({"--list"});
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(AfterParse(OutputLines(r.out)),
            (std::vector<std::string>{
                "", "Package groups:", "  Docs (docs): not selected",
                "  Core Files (core): install [default group]", "      Main program",
                "      and libraries", "  Extras (extras): not selected", "",
                "Files to install:", "  core/a (7 bytes)", "  nogroup (7 bytes)", "",
                "Total to download: 14 bytes in 2 file(s), 0 already downloaded"}))
      << Lines(r);
  EXPECT_EQ(ListInstalled(install_.path()), std::vector<std::string>{});
  EXPECT_FALSE(testutil::FileExists(base_ + "tmp"));
  EXPECT_FALSE(testutil::FileExists(work_.Sub(".updater.ini")));
  EXPECT_FALSE(testutil::FileExists(work_.Sub("updater-info.xml")));
  EXPECT_EQ(PackRequests().size(), 0u);
}

TEST_F(CliGroupOptionsTest, ListShowsWholePlanAndTouchesNothing) {
  ASSERT_EQ(Run({"--all"}).code, 0);
  // Now: core/a outdated locally, extras to be removed, an obsolete file present, and the pack
  // of core/a already downloaded by an interrupted run.
  WriteFile(base_ + "core/a", "locally changed\n");
  WriteFile(base_ + "obsolete.txt", "old\n");
  WriteIni("[groups]\r\ndocs=1\r\ncore=1\r\nextras=2\r\n");
  WriteFile(base_ + "tmp/updater/" + DefaultPackName("core/a"),
            ReadFileOr(site_->PackPath(DefaultPackName("core/a"))));
  WriteFile(base_ + "tmp/updater/" + DefaultPackName("nogroup"), "incomplete");
  testutil::RemoveTree(base_ + "nogroup");
  auto before = Snapshot(install_.path());
  std::string iniBefore = Ini();
  size_t packRequestsBefore = PackRequests().size();

  RunResult r = Run({"--list"});
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(AfterParse(OutputLines(r.out)),
            (std::vector<std::string>{
                "",
                "Package groups:",
                "  Docs (docs): install",
                "  Core Files (core): install [default group]",
                "      Main program",
                "      and libraries",
                "  Extras (extras): remove",
                "",
                "Files to install:",
                "  core/a (7 bytes, already downloaded)",
                "  nogroup (7 bytes)",
                "",
                "Files to remove:",
                "  extras/x",
                "",
                "Outdated files to delete:",
                "  obsolete.txt",
                "",
                "Total to download: 7 bytes in 1 file(s), 1 already downloaded",
                "Rollback available: --rollback puts back the release from before the last "
                "update"}))
      << Lines(r);
  EXPECT_EQ(Snapshot(install_.path()), before);
  EXPECT_EQ(Ini(), iniBefore);
  EXPECT_EQ(PackRequests().size(), packRequestsBefore);
  EXPECT_FALSE(testutil::FileExists(work_.Sub("updater-info.xml")));

  // The run itself then does what the preview said.
  RunResult run = Run();
  ASSERT_EQ(run.code, 0) << Lines(run);
  EXPECT_EQ(ListInstalled(install_.path()),
            (std::vector<std::string>{"core/a", "docs/d", "nogroup", "shared/s"}));
  EXPECT_EQ(PackRequests().size(), packRequestsBefore + 1);
}

TEST_F(CliGroupOptionsTest, ListWhenUpToDate) {
  ASSERT_EQ(Run().code, 0);
  RunResult r = Run({"--list"});
  ASSERT_EQ(r.code, 0) << Lines(r);
  std::vector<std::string> after = AfterParse(OutputLines(r.out));
  ASSERT_GE(after.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(after.end() - 3, after.end()),
            (std::vector<std::string>{"", "Nothing to be done, you are up-to-date",
                                      "Rollback available: --rollback puts back the release from "
                                      "before the last update"}))
      << Lines(r);
}

TEST_F(CliGroupOptionsTest, InstallRemoveAndSkipAreStored) {
  ASSERT_EQ(Run().code, 0);
  EXPECT_EQ(Groups(), "core=1 extras=0 docs=0");

  // Names match without regard to case.
  RunResult install = Run({"--install", "EXTRAS"});
  ASSERT_EQ(install.code, 0) << Lines(install);
  EXPECT_EQ(ListInstalled(install_.path()),
            (std::vector<std::string>{"core/a", "extras/x", "nogroup", "shared/s"}));
  EXPECT_EQ(Groups(), "core=1 extras=1 docs=0");

  RunResult remove = Run({"--remove", "extras"});
  ASSERT_EQ(remove.code, 0) << Lines(remove);
  EXPECT_TRUE(ContainsInOrder(OutputLines(remove.out), {"Deleting file: extras/x"}))
      << Lines(remove);
  // shared/s also belongs to docs (not selected), so it is not removed.
  EXPECT_EQ(ListInstalled(install_.path()),
            (std::vector<std::string>{"core/a", "nogroup", "shared/s"}));
  EXPECT_EQ(Groups(), "core=1 extras=2 docs=0");

  // Nothing is to be done, but the choice holds for later runs.
  RunResult skip = Run({"--skip", "extras"});
  ASSERT_EQ(skip.code, 0) << Lines(skip);
  EXPECT_TRUE(
      ContainsInOrder(OutputLines(skip.out), {"Abort: Nothing to be done, you are up-to-date"}))
      << Lines(skip);
  EXPECT_EQ(Groups(), "core=1 extras=0 docs=0");
  EXPECT_EQ(ListInstalled(install_.path()),
            (std::vector<std::string>{"core/a", "nogroup", "shared/s"}));
}

TEST_F(CliGroupOptionsTest, ChoicesApplyInOrderAfterAll) {
  // --all selects everything first; the later choices win, the last one for a group counts.
  RunResult r = Run({"--skip", "docs", "--all", "--install", "docs", "--skip", "docs", "--remove",
                     "core", "--install", "core"});
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(Groups(), "core=1 extras=1 docs=0");
  EXPECT_EQ(ListInstalled(install_.path()),
            (std::vector<std::string>{"core/a", "extras/x", "nogroup", "shared/s"}));
}

TEST_F(CliGroupOptionsTest, UnknownGroupChangesNothing) {
  ASSERT_EQ(Run().code, 0);
  auto before = Snapshot(install_.path());
  std::string iniBefore = Ini();
  size_t requests = PackRequests().size();

  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--install", "nope"},
                                             {"--remove", "core", "--install", "nope"},
                                             {"--list", "--skip", "Core", "--remove", "nope"}}) {
    SCOPED_TRACE(args[1]);
    RunResult r = Run(args);
    EXPECT_EQ(r.code, 1) << Lines(r);
    EXPECT_EQ(r.err, "Unknown group 'nope': the groups are docs, core, extras\n");
    EXPECT_EQ(Snapshot(install_.path()), before);
    EXPECT_EQ(Ini(), iniBefore);
    EXPECT_EQ(PackRequests().size(), requests);
    EXPECT_FALSE(ContainsInOrder(OutputLines(r.out), {"Package groups:"}));
  }
}

TEST_F(CliGroupOptionsTest, ListWithChoicesShowsResultNotStored) {
  ASSERT_EQ(Run().code, 0);
  std::string iniBefore = Ini();
  RunResult r = Run({"--list", "--remove", "core", "--install", "docs"});
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(
      AfterParse(OutputLines(r.out)),
      (std::vector<std::string>{"", "Package groups:", "  Docs (docs): install",
                                "  Core Files (core): remove [default group]", "      Main program",
                                "      and libraries", "  Extras (extras): not selected", "",
                                "Files to install:", "  docs/d (7 bytes)", "  shared/s (9 bytes)",
                                "", "Files to remove:", "  core/a", "",
                                "Total to download: 16 bytes in 2 file(s), 0 already downloaded",
                                "Rollback available: --rollback puts back the release from "
                                "before the last update"}))
      << Lines(r);
  EXPECT_EQ(Ini(), iniBefore);
  EXPECT_EQ(ListInstalled(install_.path()), (std::vector<std::string>{"core/a", "nogroup"}));
}

// A symbolic link whose target is gone still stands in the installation: the update deletes
// it, so the preview lists it among the files to remove.
TEST_F(CliGroupOptionsTest, ListAndUpdateAgreeOnADanglingLink) {
  ASSERT_EQ(Run({"--all"}).code, 0);
  ASSERT_EQ(unlink((base_ + "extras/x").c_str()), 0);
  ASSERT_EQ(symlink("no-such-target", (base_ + "extras/x").c_str()), 0);

  RunResult list = Run({"--list", "--remove", "extras"});
  ASSERT_EQ(list.code, 0) << Lines(list);
  EXPECT_TRUE(ContainsInOrder(AfterParse(OutputLines(list.out)),
                              {"Files to remove:", "  extras/x", "",
                               "Total to download: 0 bytes in 0 file(s), 0 already downloaded"}))
      << Lines(list);

  RunResult run = Run({"--remove", "extras"});
  ASSERT_EQ(run.code, 0) << Lines(run);
  EXPECT_TRUE(ContainsInOrder(OutputLines(run.out), {"Deleting file: extras/x"})) << Lines(run);
  struct stat st;
  EXPECT_NE(lstat((base_ + "extras/x").c_str(), &st), 0);
}

class CliNoGroupsTest : public UpdaterTest {};

TEST_F(CliNoGroupsTest, ChoosingAGroupOfAnUpdateWithoutGroupsFails) {
  ReleaseSpec rel;
  rel.files = {File("only.txt", "only\n")};
  Publish(rel);
  RunResult r = Run({"--install", "core"});
  EXPECT_EQ(r.code, 1) << Lines(r);
  EXPECT_EQ(r.err, "Unknown group 'core': this update has no groups\n");
  EXPECT_EQ(ListInstalled(install_.path()), std::vector<std::string>{});

  RunResult list = Run({"--list"});
  ASSERT_EQ(list.code, 0) << Lines(list);
  EXPECT_TRUE(ContainsInOrder(OutputLines(list.out), {"Package groups: none", "",
                                                      "Files to install:", "  only.txt (5 bytes)"}))
      << Lines(list);
}

class CliListPackPathsTest : public UpdaterTest {};

// Packs whose URLs end alike: the preview looks for each pack where the update keeps it, and
// counts a pack that two files share once.
TEST_F(CliListPackPathsTest, ListFindsPacksWhereTheUpdateKeepsThem) {
  ReleaseSpec rel;
  FixtureFile one = File("one/data.bin", "first content\n");
  one.pack = "first.pack";
  one.attrs = {{"url", "one/data.bin"}};
  FixtureFile two = File("two/data.bin", "second content\n");
  two.pack = "second.pack";
  two.attrs = {{"url", "two/data.bin"}};
  FixtureFile copy = File("copy/data.bin", "first content\n");
  copy.pack = "first.pack";
  copy.attrs = {{"url", "one/data.bin"}};
  rel.files = {one, two, copy};
  Publish(rel);
  for (const char* dir : {"one", "two"}) testutil::MakeDirs(site_->PackPath(dir));
  ASSERT_TRUE(
      WriteFile(site_->PackPath("one/data.bin"), ReadFileOr(site_->PackPath("first.pack"))));
  ASSERT_TRUE(
      WriteFile(site_->PackPath("two/data.bin"), ReadFileOr(site_->PackPath("second.pack"))));
  // The second pack already lies where the update puts it: its last name is taken by the first.
  ASSERT_TRUE(
      WriteFile(base_ + "tmp/updater/data.bin~2", ReadFileOr(site_->PackPath("second.pack"))));

  RunResult r = Run({"--list"});
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(AfterParse(OutputLines(r.out)),
            (std::vector<std::string>{
                "", "Package groups: none", "", "Files to install:", "  one/data.bin (14 bytes)",
                "  two/data.bin (15 bytes, already downloaded)",
                "  copy/data.bin (14 bytes, same pack as one/data.bin)", "",
                "Total to download: 14 bytes in 1 file(s), 1 already downloaded"}))
      << Lines(r);

  // The update does what the preview said: one download, the other pack taken from disk.
  RunResult run = Run();
  ASSERT_EQ(run.code, 0) << Lines(run);
  EXPECT_EQ(PackRequests().size(), 1u);
  EXPECT_EQ(Installed("two/data.bin"), "second content\n");
  EXPECT_EQ(Installed("copy/data.bin"), "first content\n");
}

// --list shows a file whose content is current but whose permission bits differ, and the run
// then sets them without fetching anything.
TEST_F(UpdaterTest, ListShowsModeChangesAndTheRunMakesThem) {
  ReleaseSpec rel;
  FixtureFile secret = File("secret.conf", "token\n");
  secret.attrs = {{"modes", "384"}};
  rel.files = {secret};
  Publish(rel);
  ASSERT_EQ(Run().code, 0);
  ASSERT_EQ(chmod((base_ + "secret.conf").c_str(), 0644), 0);
  size_t requests = PackRequests().size();

  RunResult r = Run({"--list"});
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(AfterParse(OutputLines(r.out)),
            (std::vector<std::string>{"", "Package groups: none", "", "Files whose modes change:",
                                      "  secret.conf (0644 to 0600)", "",
                                      "Total to download: 0 bytes in 0 file(s), 0 already "
                                      "downloaded",
                                      "Rollback available: --rollback puts back the release "
                                      "from before the last update"}))
      << Lines(r);

  ASSERT_EQ(Run().code, 0);
  struct stat st;
  ASSERT_EQ(stat((base_ + "secret.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(PackRequests().size(), requests);
}
