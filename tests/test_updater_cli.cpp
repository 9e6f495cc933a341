// End-to-end tests of the updater program: the real binary against a real nginx on loopback,
// with releases built by tests/support/make_release.py (Python's zlib and its own RC4).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "test_util.h"
#include "updater_fixture.h"
#include "updater_harness.h"

using namespace updtest;
using testutil::FileExists;
using testutil::ReadFileOr;
using testutil::WriteFile;

namespace {

const char kKey[] = "k3Y-0123456789ab";  // 16 characters
const char kOtherKey[] = "another-key-1234";

std::string Lines(const RunResult& r) { return Join(OutputLines(r.out)) + "stderr: " + r.err; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Installing and updating

class CliInstallTest : public UpdaterTest {};

TEST_F(CliInstallTest, FreshInstallThenNothingToBeDone) {
  ReleaseSpec rel;
  rel.files.push_back(File("a.txt", "plain text file\n"));
  FixtureFile tool = File("bin/tool", RandomBytes(200000, 7), kKey);
  tool.modes = 493;
  rel.files.push_back(tool);
  rel.files.push_back(File("empty.dat", ""));
  Publish(rel);
  WriteFile(work_.Sub("updater-info.xml"), "left over from before");

  RunResult r = Run();
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(OutputLines(r.out),
            Concat(Head(2), {"", "*** Downloading Updated Files ***", "", "",
                             "*** Installing Updated Files ***", "", "Unpacking a.txt ...",
                             "Unpacking bin/tool ...", "Unpacking empty.dat ...",
                             "Installing a.txt ... ", "Installing bin/tool ... ",
                             "Installing empty.dat ... ", "", "Update Complete!"}))
      << Lines(r);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Installed("a.txt"), "plain text file\n");
  EXPECT_EQ(Installed("bin/tool"), RandomBytes(200000, 7));
  EXPECT_EQ(FileMode(base_ + "bin/tool"), 0755);
  EXPECT_EQ(Installed("empty.dat"), "");
  // The packs are gone once installed; the download directory itself stays.
  EXPECT_TRUE(IsDirectory(base_ + "tmp/updater"));
  EXPECT_EQ(ListPacks(base_), std::vector<std::string>{});
  EXPECT_FALSE(FileExists(work_.Sub("updater-info.xml")));
  EXPECT_FALSE(FileExists(base_ + "updater-info.xml"));
  EXPECT_EQ(PackRequests().size(), 3u);

  RunResult again = Run();
  EXPECT_EQ(again.code, 0) << Lines(again);
  EXPECT_EQ(OutputLines(again.out),
            Concat(Head(2), {"", "Abort: Nothing to be done, you are up-to-date"}))
      << Lines(again);
  EXPECT_EQ(PackRequests().size(), 3u) << "a current installation downloads no pack";
}

TEST_F(CliInstallTest, ChangedAddedRemovedGroupAndObsoleteFiles) {
  ReleaseSpec one;
  one.groups = {Group("core", "1", {{"dispName", "Core"}}),
                Group("extras", "1", {{"dispName", "Extras"}})};
  one.files = {File("core/a.txt", "a version 1\n", kKey, "core"),
               File("extras/e.txt", "extra\n", "", "extras"), File("old.txt", "obsolete soon\n")};
  Publish(one);
  RunResult first = Run();
  ASSERT_EQ(first.code, 0) << Lines(first);
  ASSERT_EQ(Installed("old.txt"), "obsolete soon\n");
  ASSERT_EQ(Installed("extras/e.txt"), "extra\n");
  WriteFile(base_ + "untouched.txt", "not part of the product\n");

  ReleaseSpec two = one;
  two.files = {File("core/a.txt", "a version 2, longer than before\n", kKey, "core"),
               File("core/new.txt", "added in 2\n", "", "core"),
               File("extras/e.txt", "extra\n", "", "extras")};
  two.hasDelete = true;
  two.deletes = {"old.txt", "never-installed.txt"};
  Publish(two);
  WriteIni("[groups]\r\ncore=1\r\nextras=2\r\n");

  RunResult r = Run();
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_TRUE(ContainsInOrder(
      OutputLines(r.out),
      {"*** Downloading Updated Files ***", "*** Installing Updated Files ***", "",
       "Unpacking core/a.txt ...", "Unpacking core/new.txt ...", "Installing core/a.txt ... ",
       "Installing core/new.txt ... ", "", "*** Deleting Marked Files ***", "",
       "Deleting file: extras/e.txt", "", "*** Deleting Outdated Files ***", "",
       "Deleting old.txt: OK", "", "Update Complete!"}))
      << Lines(r);
  EXPECT_FALSE(HasLineStartingWith(OutputLines(r.out), "Deleting never-installed.txt"));
  EXPECT_EQ(Installed("core/a.txt"), "a version 2, longer than before\n");
  EXPECT_EQ(Installed("core/new.txt"), "added in 2\n");
  EXPECT_FALSE(Exists("extras/e.txt"));
  EXPECT_FALSE(Exists("old.txt"));
  EXPECT_EQ(Installed("untouched.txt"), "not part of the product\n");
  auto ini = IniGroups();
  EXPECT_EQ(ini["core"], "1");
  EXPECT_EQ(ini["extras"], "2");

  // Removed files stay removed: the next run has nothing to do.
  RunResult again = Run();
  EXPECT_EQ(again.code, 0);
  EXPECT_TRUE(
      ContainsInOrder(OutputLines(again.out), {"Abort: Nothing to be done, you are up-to-date"}))
      << Lines(again);
}

TEST_F(CliInstallTest, OnlyOutdatedFilesToDelete) {
  ReleaseSpec rel;
  rel.files = {File("keep.txt", "kept\n")};
  rel.hasDelete = true;
  rel.deletes = {"stale.log"};
  Publish(rel);
  WriteFile(base_ + "keep.txt", "kept\n");
  WriteFile(base_ + "stale.log", "old log\n");
  RunResult r = Run();
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(OutputLines(r.out), Concat(Head(2), {"", "", "*** Deleting Outdated Files ***", "",
                                                 "Deleting stale.log: OK", "", "Update Complete!"}))
      << Lines(r);
  EXPECT_FALSE(Exists("stale.log"));
  EXPECT_EQ(Installed("keep.txt"), "kept\n");
}

TEST_F(CliInstallTest, Version1DocumentWithMd5) {
  ReleaseSpec rel;
  rel.version = 1;
  // Version 1 reads no groups: a group that would remove the file has no effect.
  rel.groups = {Group("gone", "2")};
  rel.files = {File("one.txt", "first\n", "", "gone"),
               File("lib/two.bin", RandomBytes(5000, 3), kKey)};
  Publish(rel);
  std::string doc = ReadFileOr(site_->root() + "/updates/kestrl5-full-debian9.x86_64.info");
  ASSERT_NE(doc.find("md5=\"" + testutil::Md5Hex("first\n") + "\""), std::string::npos) << doc;
  ASSERT_EQ(doc.find("sha="), std::string::npos) << doc;

  RunResult r = Run();
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_TRUE(ContainsInOrder(
      OutputLines(r.out),
      Concat(Head(1), {"", "*** Downloading Updated Files ***", "Installing one.txt ... ",
                       "Installing lib/two.bin ... ", "", "Update Complete!"})))
      << Lines(r);
  EXPECT_EQ(Installed("one.txt"), "first\n");
  EXPECT_EQ(Installed("lib/two.bin"), RandomBytes(5000, 3));

  // A local change is found by MD5 and repaired.
  WriteFile(base_ + "one.txt", "tampered\n");
  RunResult again = Run();
  ASSERT_EQ(again.code, 0) << Lines(again);
  EXPECT_TRUE(
      ContainsInOrder(OutputLines(again.out), {"Unpacking one.txt ...", "Update Complete!"}))
      << Lines(again);
  EXPECT_FALSE(HasLineStartingWith(OutputLines(again.out), "Unpacking lib/two.bin"));
  EXPECT_EQ(Installed("one.txt"), "first\n");
}

TEST_F(CliInstallTest, PackAlreadyDownloadedIsNotFetchedAgain) {
  ReleaseSpec rel;
  rel.files = {File("have.txt", RandomBytes(30000, 11), kKey), File("stale.txt", "fresh copy\n")};
  Publish(rel);
  // One pack complete from an earlier run, one left half written.
  std::string havePack = ReadFileOr(site_->PackPath(DefaultPackName("have.txt")));
  ASSERT_FALSE(havePack.empty());
  WriteFile(base_ + "tmp/updater/" + DefaultPackName("have.txt"), havePack);
  WriteFile(base_ + "tmp/updater/" + DefaultPackName("stale.txt"), "partial");

  RunResult r = Run();
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_TRUE(ContainsInOrder(
      OutputLines(r.out),
      {"*** Downloading Updated Files ***", "", "Already have have.txt, skipping download...",
       "*** Installing Updated Files ***", "Installing have.txt ... ", "Installing stale.txt ... ",
       "Update Complete!"}))
      << Lines(r);
  // The half-written pack is continued; it was not the start of the pack, so the whole fails its
  // checksum and is fetched once more.
  std::vector<std::string> packs = PackRequests();
  ASSERT_EQ(packs.size(), 2u);
  EXPECT_NE(packs[0].find(DefaultPackName("stale.txt")), std::string::npos);
  EXPECT_NE(packs[1].find(DefaultPackName("stale.txt")), std::string::npos);
  EXPECT_EQ(Installed("have.txt"), RandomBytes(30000, 11));
  EXPECT_EQ(Installed("stale.txt"), "fresh copy\n");
  EXPECT_EQ(ListPacks(base_), std::vector<std::string>{});
}

TEST_F(CliInstallTest, FileNamedLikeTheProgramInstallsBesideIt) {
  ReleaseSpec rel;
  rel.files = {File("UPDATER", "new updater binary\n"), File("other", "x\n")};
  Publish(rel);
  RunResult r = Run();
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_TRUE(ContainsInOrder(
      OutputLines(r.out),
      {"Note: the following file will install to UPDATER.upd, Vantorex will automatically rename "
       "it to the proper thing next time it is run, or you can manually rename it if you wish",
       "Update Complete!"}))
      << Lines(r);
  EXPECT_EQ(Installed("UPDATER.upd"), "new updater binary\n");
  EXPECT_FALSE(Exists("UPDATER"));
  EXPECT_EQ(Installed("other"), "x\n");
}

TEST_F(CliInstallTest, DestinationThatCannotBeReplacedGetsSideFile) {
  ReleaseSpec rel;
  rel.files = {File("data/blob", "blob contents\n", kKey), File("after.txt", "after\n")};
  Publish(rel);
  // A non-empty directory stands where the file belongs.
  WriteFile(base_ + "data/blob/inside.txt", "keep me\n");
  RunResult r = Run();
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_TRUE(ContainsInOrder(OutputLines(r.out),
                              {"Note: the following file will install to data/blob.upd. You can "
                               "rename it after the program has closed.",
                               "Update Complete!"}))
      << Lines(r);
  EXPECT_EQ(Installed("data/blob.upd"), "blob contents\n");
  EXPECT_EQ(Installed("data/blob/inside.txt"), "keep me\n");
  EXPECT_EQ(Installed("after.txt"), "after\n");
}

TEST_F(CliInstallTest, SizeLargerThanTheFileWritesOnlyTheFile) {
  ReleaseSpec rel;
  FixtureFile f = File("big-size.txt", "twelve bytes");
  f.attrs = {{"size", "100000"}};
  rel.files = {f};
  Publish(rel);
  RunResult r = Run();
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(Installed("big-size.txt"), "twelve bytes");
}

TEST_F(CliInstallTest, LargeFileUnpacksCompletely) {
  // Larger than any single buffer a streaming unpacker would use, in both pack kinds.
  std::string big = RandomBytes(3 << 20, 5) + std::string(2 << 20, 'z');
  ReleaseSpec rel;
  rel.files = {File("big.rc4", big, kKey), File("big.plain", big)};
  Publish(rel);
  RunResult r = Run();
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(testutil::Sha256Hex(Installed("big.rc4")), testutil::Sha256Hex(big));
  EXPECT_EQ(testutil::Sha256Hex(Installed("big.plain")), testutil::Sha256Hex(big));
}

TEST_F(CliInstallTest, WorkingDirectoryIsTheDefaultBase) {
  ReleaseSpec rel;
  rel.files = {File("here.txt", "in cwd\n")};
  Publish(rel);
  RunResult r = RunUpdater({"--server", site_->ServerArg()}, install_.path());
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(Installed("here.txt"), "in cwd\n");
  // The INI file and the temporary document live in the working directory, here the base.
  EXPECT_FALSE(Exists("updater-info.xml"));

  // -d with a trailing "/" names the same directory.
  WriteFile(base_ + "here.txt", "changed\n");
  RunResult withSlash = RunUpdater({"--server", site_->ServerArg(), "--dir", base_}, work_.path());
  ASSERT_EQ(withSlash.code, 0) << Lines(withSlash);
  EXPECT_EQ(Installed("here.txt"), "in cwd\n");
  EXPECT_EQ(ListInstalled(install_.path()), (std::vector<std::string>{"here.txt"}));
}

// ---------------------------------------------------------------------------------------------
// Group states

class CliGroupStateTest : public UpdaterTest {
 protected:
  void PublishGroups() {
    ReleaseSpec rel;
    rel.groups = {Group("core", "1", {{"dispName", "Core"}}),
                  Group("extras", "0", {{"dispName", "Extras"}}),
                  Group("docs", "0", {{"dispName", "Docs"}, {"priority", "60"}})};
    rel.files = {File("core/a", "core a\n", "", "core"),
                 File("extras/x", "extra x\n", kKey, "extras"),
                 File("docs/d", "docs d\n", "", "docs"),
                 File("shared/s", "shared s\n", "", "extras,docs"), File("nogroup", "always\n")};
    Publish(rel);
  }
};

TEST_F(CliGroupStateTest, StatesKeptAcrossRuns) {
  PublishGroups();
  RunResult r1 = Run();
  ASSERT_EQ(r1.code, 0) << Lines(r1);
  EXPECT_EQ(ListInstalled(install_.path()), (std::vector<std::string>{"core/a", "nogroup"}));
  auto ini = IniGroups();
  EXPECT_EQ(ini["core"], "1");
  EXPECT_EQ(ini["extras"], "0");
  EXPECT_EQ(ini["docs"], "0");
  // States are saved in the groups' display order: priority 60 first, then by name.
  std::string text = Ini();
  EXPECT_LT(text.find("docs="), text.find("core="));
  EXPECT_LT(text.find("core="), text.find("extras="));

  // Choosing extras by hand installs its files and those it shares.
  WriteIni("[groups]\r\ndocs=0\r\ncore=1\r\nextras=1\r\n");
  RunResult r2 = Run();
  ASSERT_EQ(r2.code, 0) << Lines(r2);
  EXPECT_EQ(ListInstalled(install_.path()),
            (std::vector<std::string>{"core/a", "extras/x", "nogroup", "shared/s"}));
  EXPECT_EQ(IniGroups()["extras"], "1");

  // Removing extras deletes its own file; the shared file has a group at 0 and stays.
  WriteIni("[groups]\r\ndocs=0\r\ncore=1\r\nextras=2\r\n");
  RunResult r3 = Run();
  ASSERT_EQ(r3.code, 0) << Lines(r3);
  EXPECT_TRUE(ContainsInOrder(OutputLines(r3.out),
                              {"*** Deleting Marked Files ***", "", "Deleting file: extras/x"}))
      << Lines(r3);
  EXPECT_EQ(ListInstalled(install_.path()),
            (std::vector<std::string>{"core/a", "nogroup", "shared/s"}));
  EXPECT_EQ(IniGroups()["extras"], "2");

  RunResult r4 = Run();
  EXPECT_EQ(r4.code, 0);
  EXPECT_TRUE(
      ContainsInOrder(OutputLines(r4.out), {"Abort: Nothing to be done, you are up-to-date"}))
      << Lines(r4);
}

TEST_F(CliGroupStateTest, InvalidStoredStateCountsAsNotSelected) {
  PublishGroups();
  WriteIni("[groups]\r\ncore=7\r\nextras=-1\r\n");
  RunResult r = Run();
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(ListInstalled(install_.path()), (std::vector<std::string>{"nogroup"}));
  EXPECT_EQ(IniGroups()["core"], "0");
}

TEST_F(CliGroupStateTest, AllSelectsEveryGroup) {
  PublishGroups();
  WriteIni("[groups]\r\ncore=0\r\nextras=2\r\ndocs=0\r\n");
  RunResult r = Run({"--all"});
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(ListInstalled(install_.path()),
            (std::vector<std::string>{"core/a", "docs/d", "extras/x", "nogroup", "shared/s"}));
  auto ini = IniGroups();
  EXPECT_EQ(ini["core"], "1");
  EXPECT_EQ(ini["extras"], "1");
  EXPECT_EQ(ini["docs"], "1");

  RunResult again = Run({"-a"});
  EXPECT_EQ(again.code, 0);
  EXPECT_TRUE(
      ContainsInOrder(OutputLines(again.out), {"Abort: Nothing to be done, you are up-to-date"}))
      << Lines(again);
}

// ---------------------------------------------------------------------------------------------
// Failures: one line naming the cause, exit code 1

class CliFailureTest : public UpdaterTest {
 protected:
  void ExpectFailure(const RunResult& r, const std::string& line) {
    EXPECT_EQ(r.code, 1) << Lines(r);
    std::vector<std::string> lines = OutputLines(r.out);
    EXPECT_TRUE(ContainsInOrder(lines, {"", line})) << "want: " << line << "\n" << Lines(r);
    EXPECT_FALSE(HasLineStartingWith(lines, "Update Complete!"));
  }
  void PublishRaw(const std::string& doc) {
    ReleaseSpec rel;
    rel.hasRawDocument = true;
    rel.rawDocument = doc;
    Publish(rel);
  }
};

TEST_F(CliFailureTest, DocumentMissingOnServer) {
  ExpectFailure(Run(), "Error downloading info files: ODL reports File Not Found");
  EXPECT_FALSE(FileExists(work_.Sub("updater-info.xml")));
}

TEST_F(CliFailureTest, ServerNotListening) {
  int port = testutil::FreePort();
  RunResult r = RunUpdater(
      {"--server", "127.0.0.1:" + std::to_string(port), "-d", install_.path(), "--retries", "0"},
      work_.path());
  ExpectFailure(r, "Error downloading info files: ODL reports Error Connecting to Host");
  // A line names the server and the reason.
  EXPECT_NE(r.out.find("127.0.0.1:" + std::to_string(port) + ": Connection refused"),
            std::string::npos)
      << Lines(r);
}

TEST_F(CliFailureTest, EmptyDocument) {
  PublishRaw("");
  ExpectFailure(Run(), "Error downloading info files: Error reading updater-info.xml!");
  EXPECT_FALSE(FileExists(work_.Sub("updater-info.xml")));
}

TEST_F(CliFailureTest, TemporaryDocumentCannotBeCreated) {
  PublishRaw("<update_info version=\"2\"/>");
  WriteFile(work_.Sub("updater-info.xml/blocker"), "a directory stands in the way");
  ExpectFailure(Run(), "Error downloading info files: Error opening updater-info.xml");
}

TEST_F(CliFailureTest, DocumentsThatDoNotParse) {
  PublishRaw("<update_info version=\"2\"><info AppName=\"x\"</update_info>");
  RunResult bad = Run();
  EXPECT_EQ(bad.code, 1);
  std::string line = LineStartingWith(OutputLines(bad.out),
                                      "Error parsing info files: Error parsing updater-info.xml (");
  EXPECT_NE(line.find(" at row 1, col "), std::string::npos) << Lines(bad);

  PublishRaw("<?xml version=\"1.0\"?>\n<other/>\n");
  ExpectFailure(Run(), "Error parsing info files: Unable to find update_info element!");
  PublishRaw("<update_info version=\"2\"><files/></update_info>");
  ExpectFailure(Run(), "Error parsing info files: Unable to find info element!");
  PublishRaw(
      "<update_info version=\"2\"><info AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"d/\"/>"
      "</update_info>");
  ExpectFailure(Run(), "Error parsing info files: Unable to find files element!");
  EXPECT_EQ(ListInstalled(install_.path()), std::vector<std::string>{});
}

TEST_F(CliFailureTest, PackMissingOnServer) {
  ReleaseSpec rel;
  rel.files = {File("first.txt", "1\n"), File("lost.txt", "2\n"), File("third.txt", "3\n")};
  Publish(rel);
  ASSERT_EQ(unlink(site_->PackPath(DefaultPackName("lost.txt")).c_str()), 0);
  // One pack at a time, so that the pack after the missing one is never asked for.
  ExpectFailure(
      Run({"--parallel", "1"}),
      "Error performing update: ODL reports 'File Not Found' while downloading 'lost.txt'");
  // Nothing is installed when a download fails; the pack already fetched is kept for next time.
  EXPECT_FALSE(Exists("first.txt"));
  EXPECT_TRUE(Exists("tmp/updater/" + DefaultPackName("first.txt")));
  EXPECT_EQ(PackRequests().size(), 2u);
}

TEST_F(CliFailureTest, PackAddressTheClientCannotUse) {
  ReleaseSpec rel;
  FixtureFile f = File("secure.txt", "s\n");
  f.attrs = {{"url", "https://" + std::string(200, 'h') + "/packs/secure.pak"}};
  rel.files = {File("before.txt", "b\n"), f};
  Publish(rel);
  ExpectFailure(
      Run(), "Error performing update: ODL reports 'Invalid URL' while downloading 'secure.txt'");
  EXPECT_FALSE(Exists("before.txt"));
}

TEST_F(CliFailureTest, DownloadPathCannotBeOpened) {
  ReleaseSpec rel;
  rel.files = {File("a.txt", "a\n")};
  Publish(rel);
  WriteFile(base_ + "tmp/updater/" + DefaultPackName("a.txt") + "/x", "directory in the way");
  ExpectFailure(Run(), "Error performing update: Error opening " + base_ + "tmp/updater/" +
                           DefaultPackName("a.txt"));
}

TEST_F(CliFailureTest, DamagedPackLeavesInstalledFileAlone) {
  ReleaseSpec rel;
  FixtureFile f = File("keep.txt", "new contents\n");
  f.hasPackBytes = true;
  f.packBytes = "this is not a zlib stream at all";
  rel.files = {f};
  Publish(rel);
  WriteFile(base_ + "keep.txt", "old contents\n");
  std::string pack = base_ + "tmp/updater/" + DefaultPackName("keep.txt");
  // The pack does not match its "packsha": fetched twice, then refused before unpacking.
  RunResult r = Run();
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(
      HasLineStartingWith(OutputLines(r.out),
                          "Error performing update: Checksum does not match for the pack of "
                          "'keep.txt'"))
      << Lines(r);
  EXPECT_EQ(PackRequests().size(), 2u);
  EXPECT_EQ(Installed("keep.txt"), "old contents\n");
  EXPECT_FALSE(FileExists(pack));
}

TEST_F(CliFailureTest, WrongKeyFailsToUnpack) {
  ReleaseSpec rel;
  FixtureFile f = File("secret.txt", RandomBytes(4000, 2), kKey);
  f.attrs = {{"key", kOtherKey}};
  rel.files = {f};
  Publish(rel);
  ExpectFailure(Run(), "Error performing update: Error unpacking " + base_ + "tmp/updater/" +
                           DefaultPackName("secret.txt"));
  EXPECT_FALSE(Exists("secret.txt"));
}

TEST_F(CliFailureTest, SizeSmallerThanTheFile) {
  ReleaseSpec rel;
  FixtureFile f = File("short.txt", "twelve bytes");
  f.attrs = {{"size", "11"}};
  rel.files = {f};
  Publish(rel);
  WriteFile(base_ + "short.txt", "previous\n");
  ExpectFailure(Run(), "Error performing update: Error unpacking " + base_ + "tmp/updater/" +
                           DefaultPackName("short.txt"));
  EXPECT_EQ(Installed("short.txt"), "previous\n");
}

// The whole digest counts: one that is right only in part (as far as an MD5 would reach, or
// but for its last digit) fails the file like a wholly wrong one.
TEST_F(CliFailureTest, ChecksumMismatch) {
  const std::string content = "what the pack holds\n";
  const std::string right = testutil::Sha256Hex(content);
  const std::string other = testutil::Sha256Hex("what the document promised\n");
  struct Case {
    const char* name;
    std::string sha;
  };
  const std::vector<Case> cases = {
      {"wholly wrong", other},
      {"right in the first 32 digits only", right.substr(0, 32) + other.substr(32)},
      {"wrong in the last digit", right.substr(0, 63) + (right[63] == '0' ? "1" : "0")},
      {"cut to 32 digits", right.substr(0, 32)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseSpec rel;
    FixtureFile f = File("dir/wrong.txt", content);
    f.attrs = {{"sha", c.sha}};
    rel.files = {f};
    Publish(rel);
    WriteFile(base_ + "dir/wrong.txt", "installed before\n");
    ExpectFailure(Run(), "Error performing update: Checksum does not match for file 'wrong.txt'!");
    EXPECT_EQ(Installed("dir/wrong.txt"), "installed before\n");
    EXPECT_EQ(ListPacks(base_), std::vector<std::string>{});
  }
}

TEST_F(CliFailureTest, RenameFails) {
  ReleaseSpec rel;
  rel.files = {File("blocked/x.txt", "x\n")};
  Publish(rel);
  // A plain file where the directory should be: nothing can be created below it.
  WriteFile(base_ + "blocked", "not a directory\n");
  RunResult r = Run();
  EXPECT_EQ(r.code, 1) << Lines(r);
  std::string line =
      LineStartingWith(OutputLines(r.out), "Error performing update: Error renaming ");
  EXPECT_NE(line.find("Not a directory"), std::string::npos) << Lines(r);
  EXPECT_EQ(Installed("blocked"), "not a directory\n");
}

// Names that would reach outside the installation are refused before anything is touched.
TEST_F(CliFailureTest, HostileNamesAreRefused) {
  testutil::TempDir outside;
  WriteFile(outside.Sub("victim.txt"), "must survive\n");
  // The installation is a directory next to the victim, so "../victim.txt" would hit it.
  std::string base = outside.Sub("install");
  testutil::MakeDirs(base);
  WriteFile(base + "/inside.txt", "inside\n");

  struct Case {
    std::string what;
    ReleaseSpec rel;
    std::string named;  // text the error must contain
  };
  std::vector<Case> cases;
  {
    Case c{"parent file", {}, "../evil.txt"};
    c.rel.files = {File("ok.txt", "ok\n"), File("../evil.txt", "evil\n")};
    cases.push_back(c);
  }
  {
    Case c{"nested parent", {}, "sub/../../evil.txt"};
    c.rel.files = {File("sub/../../evil.txt", "evil\n")};
    cases.push_back(c);
  }
  {
    Case c{"absolute file", {}, outside.Sub("evil.txt")};
    c.rel.files = {File(outside.Sub("evil.txt"), "evil\n")};
    cases.push_back(c);
  }
  {
    Case c{"backslash", {}, "..\\evil.txt"};
    c.rel.files = {File("..\\evil.txt", "evil\n")};
    cases.push_back(c);
  }
  {
    Case c{"control character", {}, "bad"};
    c.rel.files = {File("bad\tname", "evil\n")};
    cases.push_back(c);
  }
  {
    Case c{"empty name", {}, "file"};
    c.rel.files = {File("", "evil\n")};
    cases.push_back(c);
  }
  {
    Case c{"delete outside", {}, "../victim.txt"};
    c.rel.files = {File("ok.txt", "ok\n")};
    c.rel.hasDelete = true;
    c.rel.deletes = {"../victim.txt"};
    cases.push_back(c);
  }
  {
    Case c{"delete absolute", {}, outside.Sub("victim.txt")};
    c.rel.files = {File("ok.txt", "ok\n")};
    c.rel.hasDelete = true;
    c.rel.deletes = {outside.Sub("victim.txt")};
    cases.push_back(c);
  }
  {
    Case c{"url ending in ..", {}, ".."};
    FixtureFile f = File("u.txt", "u\n");
    f.attrs = {{"url", "sub/.."}};
    c.rel.files = {f};
    cases.push_back(c);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Publish(c.rel);
    RunResult r = RunUpdater({"--server", site_->ServerArg(), "-d", base}, work_.path());
    EXPECT_EQ(r.code, 1) << Lines(r);
    std::string line = LineStartingWith(OutputLines(r.out), "Error parsing info files: ");
    EXPECT_NE(line.find(c.named), std::string::npos) << Lines(r);
    EXPECT_EQ(ReadFileOr(outside.Sub("victim.txt")), "must survive\n");
    EXPECT_FALSE(FileExists(outside.Sub("evil.txt")));
    EXPECT_EQ(ListTree(outside.path()),
              (std::vector<std::string>{"install/inside.txt", "victim.txt"}));
  }
  EXPECT_EQ(PackRequests().size(), 0u);
}

TEST_F(CliFailureTest, MissingRequiredAttributesAreNamed) {
  struct Case {
    std::string omit;
    std::string element;
  };
  for (const Case& c : std::vector<Case>{{"file", "file"}, {"url", "url"}, {"sha", "sha"}}) {
    SCOPED_TRACE(c.omit);
    ReleaseSpec rel;
    FixtureFile f = File("a.txt", "a\n");
    f.omit = {c.omit};
    rel.files = {f};
    Publish(rel);
    RunResult r = Run();
    EXPECT_EQ(r.code, 1) << Lines(r);
    std::string line = LineStartingWith(OutputLines(r.out), "Error parsing info files: ");
    EXPECT_NE(line.find(c.element), std::string::npos) << Lines(r);
  }
  ReleaseSpec rel;
  rel.groups = {{{"dispName", "Nameless"}}};
  rel.files = {File("a.txt", "a\n")};
  Publish(rel);
  RunResult r = Run();
  EXPECT_EQ(r.code, 1) << Lines(r);
  std::string line = LineStartingWith(OutputLines(r.out), "Error parsing info files: ");
  EXPECT_NE(line.find("name"), std::string::npos) << Lines(r);
  EXPECT_EQ(ListInstalled(install_.path()), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------------------------
// Interrupted runs

class CliInterruptTest : public UpdaterTest {};

// Killed while a pack is being downloaded: nothing installed is damaged, and the rerun reuses
// the packs that were complete.
TEST_F(CliInterruptTest, KilledDuringDownloadThenRerun) {
  site_ = std::make_unique<Site>("location /packs/slow { limit_rate 100k; }");
  ASSERT_TRUE(site_->ok()) << site_->error();
  ReleaseSpec old;
  old.files = {File("a.txt", "old a\n"), File("b.txt", "old b\n")};
  Publish(old);
  ASSERT_EQ(Run().code, 0);

  std::string bigContent = RandomBytes(1 << 20, 9);
  ReleaseSpec rel;
  rel.files = {File("a.txt", "new a\n", kKey), File("b.txt", "new b\n")};
  FixtureFile big = File("big.bin", bigContent);
  big.pack = "slow-big.pak";
  rel.files.push_back(big);
  Publish(rel);

  Background run(
      {testutil::BinPath("updater"), "--server", site_->ServerArg(), "-d", install_.path()},
      work_.path());
  ASSERT_TRUE(run.started());
  std::string partial = base_ + "tmp/updater/slow-big.pak";
  bool downloading = false;
  for (int i = 0; i < 1000 && !downloading; i++) {
    struct stat st;
    downloading = stat(partial.c_str(), &st) == 0 && st.st_size > 0;
    if (!downloading) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(downloading) << run.Output();
  ASSERT_TRUE(run.Kill(SIGKILL));
  ASSERT_TRUE(run.Wait(10000));
  EXPECT_EQ(run.termSignal(), SIGKILL);
  EXPECT_EQ(Installed("a.txt"), "old a\n");
  EXPECT_EQ(Installed("b.txt"), "old b\n");
  EXPECT_FALSE(Exists("big.bin"));

  // Rerun through a server without the rate limit; the document names its packs there.
  auto fast = site_->Another();
  ASSERT_TRUE(fast->ok()) << fast->error();
  std::string error;
  ASSERT_TRUE(BuildRelease(rel, site_->root(), fast->Url("/packs"), &error)) << error;
  RunResult r =
      RunUpdater({"--server", "127.0.0.1:" + std::to_string(fast->port()), "-d", install_.path()},
                 work_.path());
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_TRUE(ContainsInOrder(OutputLines(r.out),
                              {"Already have a.txt, skipping download...",
                               "Already have b.txt, skipping download...", "Update Complete!"}))
      << Lines(r);
  EXPECT_EQ(Installed("a.txt"), "new a\n");
  EXPECT_EQ(Installed("b.txt"), "new b\n");
  EXPECT_EQ(testutil::Sha256Hex(Installed("big.bin")), testutil::Sha256Hex(bigContent));
  std::string log = fast->AccessLog();
  EXPECT_EQ(log.find(DefaultPackName("a.txt")), std::string::npos) << log;
  EXPECT_NE(log.find("slow-big.pak"), std::string::npos) << log;
}

// Killed at spread-out moments of the install phase: once the next run has finished what the
// kill cut short, the installation is one whole release, and a final run completes the update.
TEST_F(CliInterruptTest, KilledDuringInstallLeavesWholeFiles) {
  const int kFiles = 12;
  ReleaseSpec old, rel;
  std::vector<std::string> oldContent, newContent;
  for (int i = 0; i < kFiles; i++) {
    std::string name = "f" + std::to_string(i) + ".bin";
    oldContent.push_back(RandomBytes(100000, 100 + i));
    newContent.push_back(RandomBytes(600000 + i, 200 + i));
    old.files.push_back(File(name, oldContent.back()));
    rel.files.push_back(File(name, newContent.back(), i % 2 ? kKey : ""));
  }
  Publish(old);
  ASSERT_EQ(Run().code, 0);

  Publish(rel);
  // Keep a copy of the new packs so that every attempt starts with all of them downloaded.
  std::vector<std::pair<std::string, std::string>> packs;
  for (int i = 0; i < kFiles; i++) {
    std::string name = DefaultPackName("f" + std::to_string(i) + ".bin");
    packs.push_back({name, ReadFileOr(site_->PackPath(name))});
  }

  // How long an uninterrupted install takes here, to spread the kills over it.
  auto restore = [&]() {
    for (int i = 0; i < kFiles; i++) {
      WriteFile(base_ + "f" + std::to_string(i) + ".bin", oldContent[i]);
    }
    for (const auto& p : packs) WriteFile(base_ + "tmp/updater/" + p.first, p.second);
  };
  restore();
  auto start = std::chrono::steady_clock::now();
  RunResult full = Run();
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
  ASSERT_EQ(full.code, 0) << Lines(full);

  const int kAttempts = 8;
  int sawMixed = 0;
  for (int attempt = 0; attempt < kAttempts; attempt++) {
    restore();
    Background run(
        {testutil::BinPath("updater"), "--server", site_->ServerArg(), "-d", install_.path()},
        work_.path());
    ASSERT_TRUE(run.started());
    std::this_thread::sleep_for(std::chrono::milliseconds(took * attempt / kAttempts));
    run.Kill(SIGKILL);
    ASSERT_TRUE(run.Wait(10000));
    // A run that cannot reach the server finishes a commit that the kill cut short: the tree is
    // then one whole release.
    RunOffline();
    int older = 0, newer = 0;
    for (int i = 0; i < kFiles; i++) {
      std::string got = Installed("f" + std::to_string(i) + ".bin");
      newer += got == newContent[i];
      older += got == oldContent[i];
    }
    EXPECT_TRUE(newer == kFiles || older == kFiles)
        << "attempt " << attempt << ": " << newer << " new and " << older << " old of " << kFiles;
    if (newer == kFiles) sawMixed++;
    // Whatever was left behind, a rerun finishes the job.
    RunResult rerun = Run();
    ASSERT_EQ(rerun.code, 0) << Lines(rerun);
    for (int i = 0; i < kFiles; i++) {
      ASSERT_EQ(Installed("f" + std::to_string(i) + ".bin"), newContent[i])
          << "attempt " << attempt;
    }
  }
  // Not asserted (it depends on timing): how many kills landed after the commit had begun.
  RecordProperty("kills_after_commit_began", sawMixed);
}

// ---------------------------------------------------------------------------------------------
// Command line, channel and terminal output

class CliCommandLineTest : public UpdaterTest {
 protected:
  // Runs with the options and returns the channel document path that was requested.
  std::string RequestedChannel(const std::vector<std::string>& opts, RunResult* result = nullptr) {
    size_t before = site_->Requests().size();
    RunResult r = Run(opts);
    if (result) *result = r;
    std::vector<std::string> req = site_->Requests();
    if (req.size() != before + 1) return "<" + std::to_string(req.size() - before) + " requests>";
    return req.back();
  }
};

TEST_F(CliCommandLineTest, ChannelPathFromOptions) {
  RunResult r;
  EXPECT_EQ(RequestedChannel({}, &r), "GET /updates/kestrl5-full-debian9.x86_64.info HTTP/1.1");
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(
      ContainsInOrder(OutputLines(r.out), {"Downloading update info files for: debian9.x86_64"}));
  EXPECT_EQ(RequestedChannel({"-3", "-t", "basic", "-p", "foo"}, &r),
            "GET /updates/kestrl-basic-foo.info HTTP/1.1");
  EXPECT_TRUE(ContainsInOrder(OutputLines(r.out), {"Downloading update info files for: foo"}));
  EXPECT_EQ(RequestedChannel({"-4"}), "GET /updates/kestrl4-full-debian9.x86_64.info HTTP/1.1");
  // Later options override earlier ones.
  EXPECT_EQ(RequestedChannel({"-3", "-5", "-t", "basic", "-t", "FULL"}),
            "GET /updates/kestrl5-full-debian9.x86_64.info HTTP/1.1");
  EXPECT_EQ(RequestedChannel({"-n", "extra-word"}),
            "GET /updates/kestrl5-full-debian9.x86_64.info HTTP/1.1");
  // A platform of 31 characters fits.
  std::string p31(31, 'p');
  EXPECT_EQ(RequestedChannel({"-p", p31}), "GET /updates/kestrl5-full-" + p31 + ".info HTTP/1.1");
}

TEST_F(CliCommandLineTest, UnknownTypeIsReportedAndIgnored) {
  RunResult r;
  EXPECT_EQ(RequestedChannel({"-t", "basic", "-t", "huge"}, &r),
            "GET /updates/kestrl5-basic-debian9.x86_64.info HTTP/1.1");
  EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "Unknown type, must be -t basic or -t full\n");
}

TEST_F(CliCommandLineTest, LongPlatformIsRefused) {
  RunResult r = Run({"-p", std::string(32, 'p')});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("too long"), std::string::npos) << r.err;
  EXPECT_EQ(site_->Requests().size(), 0u);
}

TEST_F(CliCommandLineTest, BadServerIsRefused) {
  for (const std::string& bad :
       {std::string(""), std::string("host/path"), std::string("h:0"), std::string("h:65536"),
        std::string("h:99999"), std::string("h:100000"), std::string("a b"), std::string(":80"),
        std::string("h:"), std::string("h:8x"), std::string("user@host"), std::string(200, 'h')}) {
    SCOPED_TRACE(bad);
    RunResult r = RunUpdater({"--server", bad, "-d", install_.path()}, work_.path());
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Invalid server"), std::string::npos) << r.err;
    EXPECT_EQ(OutputLines(r.out).size(), 2u) << Lines(r);
  }
}

// Ports up to 65535 are valid: the updater goes on to fetch (from nothing listening here).
TEST_F(CliCommandLineTest, GoodServerIsTried) {
  for (const std::string& good : {std::string("127.0.0.1:65535"), std::string("127.0.0.1:1"),
                                  std::string("127.0.0.1"), std::string("127.0.0.1:00080")}) {
    SCOPED_TRACE(good);
    RunResult r =
        RunUpdater({"--server", good, "-d", install_.path(), "--retries", "0"}, work_.path());
    EXPECT_EQ(r.err.find("Invalid server"), std::string::npos) << r.err;
    EXPECT_TRUE(
        ContainsInOrder(OutputLines(r.out), {"Downloading update info files for: debian9.x86_64"}))
        << Lines(r);
  }
}

TEST_F(CliCommandLineTest, HelpScreen) {
  const std::vector<std::string> usage = {
      "Command line options:", "", "-a, --all\t\tMark all packages before performing upgrade",
      "-d, --dir\t\tUse alternate base directory instead of current working directory",
      "-h, --help\t\tThis screen"};
  for (const char* opt : {"-h", "--help"}) {
    SCOPED_TRACE(opt);
    RunResult r = RunUpdater({opt}, work_.path());
    EXPECT_EQ(r.code, 1);
    std::vector<std::string> lines = OutputLines(r.out);
    ASSERT_GE(lines.size(), 7u) << Lines(r);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 7),
              Concat({"*** Velmoras' Updater 2.01 (CLI) ***", ""}, usage));
    // Every other option follows, short and long, with its argument.
    std::vector<std::string> rest(lines.begin() + 7, lines.end());
    for (const char* head :
         {"-3 ", "-4 ", "-5 ", "-t full|basic ", "-p PLATFORM ", "-n, --no-any-key ",
          "    --server [https://]HOST[:PORT] ", "    --list ", "    --json ", "    --check ",
          "    --install GROUP ", "    --remove GROUP ", "    --skip GROUP ", "    --quiet ",
          "    --verbose ", "    --version "}) {
      EXPECT_TRUE(HasLineStartingWith(rest, head)) << head << "\n" << Lines(r);
    }
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(CliCommandLineTest, OptionErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"-d"}, "Option -d requires an argument."},
      {{"-p"}, "Option -p requires an argument."},
      {{"-t"}, "Option -t requires an argument."},
      {{"--dir"}, "Option -d requires an argument."},
      {{"--server"}, "Option --server requires an argument."},
      {{"--install"}, "Option --install requires an argument."},
      {{"-x"}, "Unknown option `-x'."},
      {{"-a", "-Z"}, "Unknown option `-Z'."},
      {{"--bogus"}, "Unknown option character `\\x0'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> args = {"--server", site_->ServerArg()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = RunUpdater(args, work_.path());
    EXPECT_EQ(r.code, 1);
    // The option parser's own diagnostic comes first, then our line.
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), c.line + "\n") << r.err;
    EXPECT_TRUE(
        ContainsInOrder(OutputLines(r.out), {"Command line options:", "-h, --help\t\tThis screen"}))
        << Lines(r);
  }
  EXPECT_EQ(site_->Requests().size(), 0u);
}

TEST_F(CliCommandLineTest, LongBaseDirectoryIsRefused) {
  RunResult r = RunUpdater({"--server", site_->ServerArg(), "-d", "/" + std::string(1100, 'd')},
                           work_.path());
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("too long"), std::string::npos) << r.err;
  EXPECT_EQ(site_->Requests().size(), 0u);
}

// A directory of 1023 characters with its "/" already at the end fits the base directory
// exactly and is used; one character more, or a missing "/" that would not fit, is refused.
TEST_F(CliCommandLineTest, BaseDirectoryThatFitsExactlyIsUsed) {
  ReleaseSpec rel;
  rel.files = {File("a.txt", "fits\n")};
  Publish(rel);
  testutil::TempDir top;
  std::string dir = top.path();
  while (dir.size() < 1022) {
    size_t room = 1022 - dir.size() - 1;  // after the next "/"
    dir += "/" + std::string(std::min<size_t>(room == 0 ? 1 : room, 200), 'd');
  }
  ASSERT_EQ(dir.size(), 1022u);
  ASSERT_TRUE(testutil::MakeDirs(dir));

  RunResult r = RunUpdater({"--server", site_->ServerArg(), "-d", dir + "/"}, work_.path());
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(ReadFileOr(dir + "/a.txt"), "fits\n");

  size_t requests = site_->Requests().size();
  ASSERT_TRUE(testutil::MakeDirs(dir + "e"));
  RunResult missingSlash =
      RunUpdater({"--server", site_->ServerArg(), "-d", dir + "e"}, work_.path());
  EXPECT_EQ(missingSlash.code, 1);
  EXPECT_NE(missingSlash.err.find("too long"), std::string::npos) << missingSlash.err;
  EXPECT_EQ(site_->Requests().size(), requests);
}

// Progress bars on a real terminal: every line fits the window, whatever its width.
TEST_F(CliCommandLineTest, ProgressBarsFitTheTerminal) {
  std::string longName = std::string(150, 'n') + ".txt";
  ReleaseSpec rel;
  rel.files = {File("a.txt", RandomBytes(300000, 4)), File(longName, "long name\n")};
  Publish(rel);
  std::string docSize = std::to_string(
      ReadFileOr(site_->root() + "/updates/kestrl5-full-debian9.x86_64.info").size());
  std::string aCount = std::to_string(ReadFileOr(site_->PackPath(DefaultPackName("a.txt"))).size());

  for (int columns : {80, 132, 41, 20, 12, 3, 1}) {
    SCOPED_TRACE("columns " + std::to_string(columns));
    testutil::TempDir dir;
    std::string out;
    // One pack at a time: a bar per file (the overall bar of parallel downloads is tested
    // with them).
    int code = RunOnTerminal({testutil::BinPath("updater"), "--server", site_->ServerArg(), "-d",
                              dir.path(), "--parallel", "1"},
                             work_.path(), columns, &out);
    ASSERT_EQ(code, 0) << out;
    EXPECT_EQ(ReadFileOr(dir.Sub(longName)), "long name\n");
    std::vector<std::string> segs = ProgressSegments(out);
    ASSERT_GE(segs.size(), 3u) << out;
    for (const auto& s : segs) {
      EXPECT_LE(s.size(), static_cast<size_t>(columns)) << "[" << s << "]";
    }
    // Finished bars, where the width leaves room for them.
    auto padded = [&](std::string line) {
      if (line.size() < static_cast<size_t>(columns)) line.append(columns - line.size(), ' ');
      return line.substr(0, columns);
    };
    std::string plain =
        padded("\r[" + std::string(std::max(columns - 20, 0), '#') + "] " + docSize + " bytes");
    EXPECT_NE(std::find(segs.begin(), segs.end(), plain), segs.end()) << "want [" << plain << "]";
    long width = std::min<long>(columns - 11 - 5 - static_cast<long>(aCount.size()), columns - 35);
    if (width < 0) width = 0;
    std::string named = padded("\r[" + std::string(width, '#') + "] a.txt " + aCount + " bytes");
    EXPECT_NE(std::find(segs.begin(), segs.end(), named), segs.end()) << "want [" << named << "]";
  }
}

// Without a terminal there are no bars; the message lines are those of a terminal run.
TEST_F(CliCommandLineTest, NoProgressBarsWithoutTerminal) {
  ReleaseSpec rel;
  rel.files = {File("b.txt", "bbb\n"), File("c.txt", "ccc\n")};
  Publish(rel);
  RunResult r = Run();
  ASSERT_EQ(r.code, 0) << Lines(r);
  EXPECT_EQ(r.out.find('\r'), std::string::npos) << r.out;
  EXPECT_EQ(OutputLines(r.out),
            Concat(Head(2), {"", "*** Downloading Updated Files ***", "", "",
                             "*** Installing Updated Files ***", "", "Unpacking b.txt ...",
                             "Unpacking c.txt ...", "Installing b.txt ... ",
                             "Installing c.txt ... ", "", "Update Complete!"}))
      << Lines(r);
}

// A server that sends no length: the bars show only the byte count, still cut to the width.
TEST_F(CliCommandLineTest, ProgressWithoutSize) {
  // Server-side includes drop the Content-Length header of every response.
  site_ = std::make_unique<Site>("ssi on; ssi_types *;");
  ASSERT_TRUE(site_->ok()) << site_->error();
  ReleaseSpec rel;
  rel.files = {File("a.txt", "no length known\n")};
  Publish(rel);
  std::string docSize = std::to_string(
      ReadFileOr(site_->root() + "/updates/kestrl5-full-debian9.x86_64.info").size());
  std::string packSize =
      std::to_string(ReadFileOr(site_->PackPath(DefaultPackName("a.txt"))).size());

  std::string out;
  ASSERT_EQ(
      RunOnTerminal({testutil::BinPath("updater"), "--server", site_->ServerArg(), "-d", base_},
                    work_.path(), 80, &out),
      0)
      << out;
  EXPECT_EQ(Installed("a.txt"), "no length known\n");
  std::vector<std::string> segs = ProgressSegments(out);
  EXPECT_NE(std::find(segs.begin(), segs.end(),
                      "\rDownloading: " + docSize + " bytes received          "),
            segs.end())
      << out;
  EXPECT_NE(std::find(segs.begin(), segs.end(),
                      "\rDownloading a.txt: " + packSize + " bytes received          "),
            segs.end())
      << out;

  testutil::TempDir dir;
  ASSERT_EQ(RunOnTerminal(
                {testutil::BinPath("updater"), "--server", site_->ServerArg(), "-d", dir.path()},
                work_.path(), 16, &out),
            0)
      << out;
  segs = ProgressSegments(out);
  ASSERT_FALSE(segs.empty());
  for (const auto& s : segs) EXPECT_LE(s.size(), 16u) << "[" << s << "]";
  EXPECT_EQ(segs.front(), ("\rDownloading: " + docSize).substr(0, 16)) << out;
}

// A working directory that no longer exists is reported; the run goes on with "./".
TEST_F(CliCommandLineTest, WorkingDirectoryGone) {
  ReleaseSpec rel;
  rel.files = {File("a.txt", "a\n")};
  Publish(rel);
  std::string gone = work_.Sub("gone");
  ASSERT_TRUE(testutil::MakeDirs(gone));
  std::string out;
  int code = testutil::RunProgram(
      {"/bin/sh", "-c", "cd \"$1\" && rmdir \"$1\" && exec \"$2\" --server \"$3\"", "sh", gone,
       testutil::BinPath("updater"), site_->ServerArg()},
      &out);
  // Neither the temporary document nor anything else can be created in a deleted directory.
  EXPECT_EQ(code, 1) << out;
  EXPECT_TRUE(ContainsInOrder(
      OutputLines(out),
      {"*** Velmoras' Updater 2.01 (CLI) ***", "", "Error getting current working directory!",
       "Downloading update info files for: debian9.x86_64", "",
       "Error downloading info files: Error opening updater-info.xml"}))
      << out;
}

// The fixture tool's RC4 must be the published cipher, or the pack tests prove nothing.
TEST(CliFixtureTool, Rc4MatchesPublishedKeystreams) {
  std::string out;
  EXPECT_EQ(
      testutil::RunProgram({"/usr/bin/python3",
                            testutil::SourcePath("tests/support/make_release.py"), "--self-test"},
                           &out),
      0)
      << out;
  // And it agrees with OpenSSL's RC4 where the legacy provider offers it.
  testutil::TempDir dir;
  std::string plain = RandomBytes(1000, 42);
  WriteFile(dir.Sub("plain"), plain);
  std::string keyHex;
  for (char c : std::string(kKey)) {
    char buf[3];
    snprintf(buf, sizeof(buf), "%02x", static_cast<unsigned char>(c));
    keyHex += buf;
  }
  std::string err;
  int code = testutil::RunProgram(
      {"/usr/bin/openssl", "enc", "-rc4", "-K", keyHex, "-nosalt", "-provider", "legacy",
       "-provider", "default", "-in", dir.Sub("plain"), "-out", dir.Sub("openssl")},
      &out, &err);
  if (code != 0) GTEST_SKIP() << "openssl has no RC4 here: " << err;
  code = testutil::RunProgram(
      {"/bin/sh", "-c", "exec /usr/bin/python3 \"$1\" --rc4 \"$2\" <\"$3\" >\"$4\"", "sh",
       testutil::SourcePath("tests/support/make_release.py"), kKey, dir.Sub("plain"),
       dir.Sub("python")},
      &out);
  ASSERT_EQ(code, 0) << out;
  EXPECT_EQ(ReadFileOr(dir.Sub("python")), ReadFileOr(dir.Sub("openssl")));
  EXPECT_NE(ReadFileOr(dir.Sub("python")), plain);
}
