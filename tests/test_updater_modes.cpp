// The updater's modes for scripts and unattended use: --version, --check exit codes,
// --list --json read by Python's json module, --quiet, --verbose, the detail line on standard
// error after each error, and a build without a server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "test_util.h"
#include "updater_fixture.h"
#include "updater_harness.h"

using namespace updtest;
using testutil::ReadFileOr;
using testutil::WriteFile;

namespace {

std::string Lines(const RunResult& r) { return Join(OutputLines(r.out)) + "stderr: " + r.err; }

// Lines of text, without the empty last one.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

class ModesTest : public UpdaterTest {
 protected:
  // A release with two groups (one not selected), a file shared by pack, and an obsolete name.
  void PublishGrouped() {
    ReleaseSpec rel;
    rel.groups = {Group("core", "1", {{"dispName", "Core \"bot\" \\"}, {"desc", "a\\nb"}}),
                  Group("extra", "0")};
    rel.files = {File("bin/tool", "tool v1\n", "", "core"), File("naïve \"q\".txt", "x\n"),
                 File("extra.dat", "extra\n", "", "extra")};
    rel.hasDelete = true;
    rel.deletes = {"old.txt"};
    Publish(rel);
  }
};

TEST_F(ModesTest, VersionOfBothPrograms) {
  const std::regex form(R"(^(updater|updater-publish) 2\.01( \(.+\))?\n$)");
  for (const char* program : {"updater", "updater-publish"}) {
    SCOPED_TRACE(program);
    std::string out;
    EXPECT_EQ(testutil::RunProgram({testutil::BinPath(program), "--version"}, &out), 0);
    EXPECT_TRUE(std::regex_match(out, form)) << out;
    EXPECT_EQ(out.compare(0, strlen(program) + 1, std::string(program) + " "), 0) << out;
  }
  EXPECT_TRUE(site_->Requests().empty());
}

// --check: 100 when an update is available, 0 when up to date, 1 on error; never changes the
// installation or the stored choices.
TEST_F(ModesTest, CheckExitCodes) {
  ReleaseSpec rel;
  rel.groups = {Group("core", "1")};
  rel.files = {File("a.txt", "a\n", "", "core")};
  struct Case {
    const char* name;
    bool publish;
    bool installFirst;
    std::vector<std::string> extra;
    int code;
    const char* lastLine;
  };
  const std::vector<Case> cases = {
      {"nothing published", false, false, {"--check"}, 1, nullptr},
      {"fresh installation", true, false, {"--check"}, 100, "An update is available"},
      {"quiet", true, false, {"--check", "--quiet"}, 100, nullptr},
      {"with the plan", true, false, {"--check", "--list"}, 100, "Total to download"},
      {"group skipped",
       true,
       false,
       {"--check", "--skip", "core"},
       0,
       "Abort: Nothing to be done, you are up-to-date"},
      {"up to date", true, true, {"--check"}, 0, "Abort: Nothing to be done, you are up-to-date"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::TempDir dir;
    auto run = [&](std::vector<std::string> extra) {
      std::vector<std::string> args = {"--server", site_->ServerArg(), "-d", dir.path()};
      args.insert(args.end(), extra.begin(), extra.end());
      return RunUpdater(args, work_.path());
    };
    unlink(work_.Sub(".updater.ini").c_str());
    if (c.publish) Publish(rel);
    if (c.installFirst) {
      RunResult first = run({});
      ASSERT_EQ(first.code, 0) << Lines(first);
      unlink(work_.Sub(".updater.ini").c_str());
    }
    size_t packs = PackRequests().size();
    RunResult r = run(c.extra);
    EXPECT_EQ(r.code, c.code) << Lines(r);
    std::vector<std::string> lines = OutputLines(r.out);
    if (c.lastLine) {
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back().compare(0, strlen(c.lastLine), c.lastLine), 0) << Lines(r);
    } else if (c.code != 1) {
      EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(PackRequests().size(), packs) << "--check downloads no pack";
    EXPECT_EQ(testutil::FileExists(dir.Sub("a.txt")), c.installFirst);
    EXPECT_EQ(Ini(), "") << "--check stores no choice";
  }
}

// The plan as JSON, read by Python's json module: the document is all there is on standard
// output, and its members say what --list says.
TEST_F(ModesTest, ListJsonIsOneDocumentForPython) {
  PublishGrouped();
  WriteFile(base_ + "old.txt", "obsolete\n");
  ASSERT_TRUE(testutil::MakeDirs(base_ + "bin"));
  WriteFile(base_ + "bin/tool", "tool v0\n");
  WriteIni("[groups]\nextra=2\n");
  WriteFile(base_ + "extra.dat", "extra\n");

  RunResult r = Run({"--list", "--json"});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  std::string json = work_.Sub("plan.json");
  WriteFile(json, r.out);
  // Prints one summary line per fact, so that a wrong member shows which one.
  const char* script = R"(
import json, sys
text = open(sys.argv[1], encoding="utf-8").read()
plan = json.loads(text)
print("schema", plan["schema"], plan["document_version"], plan["up_to_date"])
print("channel", plan["channel"].rsplit("/", 1)[1])
for g in plan["groups"]:
    print("group", g["name"], g["display_name"], repr(g["description"]), g["state"],
          g["state_code"], g["default_group"], g["priority"])
for f in plan["install"]:
    print("install", f["file"], f["size"], f["url"].split("/")[-2], f["pack"].startswith("tmp/updater/"),
          f["downloaded"], f["same_pack_as"], f["groups"])
print("remove", plan["remove"])
print("delete", plan["delete"])
print("download", plan["download"]["bytes"], plan["download"]["files"],
      plan["download"]["already_downloaded"])
)";
  std::string out, err;
  ASSERT_EQ(testutil::RunProgram({"/usr/bin/env", "python3", "-c", script, json}, &out, &err), 0)
      << err << "\n"
      << r.out;
  EXPECT_EQ(SplitLines(out), (std::vector<std::string>{
                                 "schema 1 2 False",
                                 "channel kestrl5-full-debian9.x86_64.info",
                                 "group core Core \"bot\" \\ 'a\\nb' install 1 False 50",
                                 "group extra extra '' remove 2 False 50",
                                 "install bin/tool 8 packs True False None ['core']",
                                 "install naïve \"q\".txt 2 packs True False None []",
                                 "remove ['extra.dat']",
                                 "delete ['old.txt']",
                                 "download 10 2 0",
                             }))
      << r.out;

  // Failures leave standard output empty: the error lines go to standard error.
  RunResult bad =
      RunUpdater({"--server", site_->ServerArg(), "-p", "none", "--list", "--json"}, work_.path());
  EXPECT_EQ(bad.code, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_NE(bad.err.find("Error downloading info files: ODL reports File Not Found"),
            std::string::npos)
      << bad.err;
  RunResult alone = Run({"--json"});
  EXPECT_EQ(alone.code, 1);
  EXPECT_NE(alone.err.find("--list"), std::string::npos) << alone.err;
}

// --quiet prints errors only; --verbose adds details on standard error and leaves standard
// output as it is.
TEST_F(ModesTest, QuietAndVerbose) {
  ReleaseSpec rel;
  rel.files = {File("a.txt", "aaaa\n"), File("b.txt", "bb\n")};
  Publish(rel);

  RunResult quiet = Run({"--quiet"});
  EXPECT_EQ(quiet.code, 0) << Lines(quiet);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(Installed("a.txt"), "aaaa\n");

  std::string terminal;
  ASSERT_EQ(RunOnTerminal({testutil::BinPath("updater"), "--server", site_->ServerArg(), "-d",
                           install_.path(), "--quiet"},
                          work_.path(), 80, &terminal),
            0);
  EXPECT_EQ(terminal, "") << "no bars with --quiet, even on a terminal";

  RunResult failed =
      RunUpdater({"--server", site_->ServerArg(), "-p", "gone", "--quiet"}, work_.path());
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.out, "\nError downloading info files: ODL reports File Not Found\n");
  EXPECT_EQ(SplitLines(failed.err).size(), 1u) << failed.err;

  testutil::TempDir other;
  RunResult plain = RunUpdater({"--server", site_->ServerArg(), "-d", other.path()}, work_.path());
  testutil::TempDir third;
  RunResult verbose =
      RunUpdater({"--server", site_->ServerArg(), "-d", third.path(), "--verbose"}, work_.path());
  EXPECT_EQ(verbose.code, 0) << Lines(verbose);
  EXPECT_EQ(OutputLines(verbose.out), OutputLines(plain.out));
  const std::string url = "http://" + site_->ServerArg();
  EXPECT_TRUE(ContainsInOrder(
      SplitLines(verbose.err),
      {"updater: channel " + url + "/updates/kestrl5-full-debian9.x86_64.info",
       "updater: installation " + third.path() + "/",
       "updater: fetching " + url + "/updates/kestrl5-full-debian9.x86_64.info",
       "updater: fetched " + url + "/updates/kestrl5-full-debian9.x86_64.info",
       "updater: install a.txt: 5 bytes from " + site_->PackBase() + "/" + DefaultPackName("a.txt"),
       "updater: install b.txt: 3 bytes from " + site_->PackBase() + "/" +
           DefaultPackName("b.txt")}))
      << verbose.err;
}

// After each error line, one line on standard error: where, why (the system's reason when
// there is one) and what to try.
TEST_F(ModesTest, ErrorDetailLines) {
  ReleaseSpec rel;
  rel.files = {File("a.txt", "a\n")};
  Publish(rel);
  const std::string channel = "/updates/kestrl5-full-debian9.x86_64.info";
  int closed = testutil::FreePort();
  testutil::TempDir unwritable;
  ASSERT_EQ(chmod(unwritable.path().c_str(), 0555), 0);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string cwd;
    std::string errorLine;
    std::vector<std::string> detail;  // in this order on the one line
  };
  std::vector<Case> cases = {
      {"nothing listening",
       {"--server", "127.0.0.1:" + std::to_string(closed), "--retries", "0"},
       work_.path(),
       "Error downloading info files: ODL reports Error Connecting to Host",
       {"updater: http://127.0.0.1:" + std::to_string(closed) + channel + ": ",
        "Connection refused (check --server)"}},
      {"no such channel",
       {"--server", site_->ServerArg(), "-4"},
       work_.path(),
       "Error downloading info files: ODL reports File Not Found",
       {"updater: http://" + site_->ServerArg() +
        "/updates/kestrl4-full-debian9.x86_64.info: ODL reports File Not Found (check "
        "--server and the channel options -3/-4/-5, -t and -p)"}},
      {"pack missing",
       {"--server", site_->ServerArg()},
       work_.path(),
       "Error performing update: ODL reports 'File Not Found' while downloading",
       {"updater: " + site_->PackBase() + "/" + DefaultPackName("a.txt") + ": ODL reports"}},
  };
  if (geteuid() != 0) {
    // Permission bits do not stop root.
    cases.push_back({"working directory not writable",
                     {"--server", site_->ServerArg()},
                     unwritable.path(),
                     "Error downloading info files: Error opening updater-info.xml",
                     {"updater: " + unwritable.path() +
                      "/updater-info.xml: Error opening updater-info.xml (run the updater in "
                      "a directory it can write to)"}});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "pack missing") {
      ASSERT_EQ(unlink(site_->PackPath(DefaultPackName("a.txt")).c_str()), 0);
    }
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-d", install_.path()});
    RunResult r = RunUpdater(args, c.cwd);
    EXPECT_EQ(r.code, 1);
    std::vector<std::string> lines = OutputLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().compare(0, c.errorLine.size(), c.errorLine), 0) << Lines(r);
    std::vector<std::string> err = SplitLines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;
    size_t at = 0;
    for (const std::string& piece : c.detail) {
      at = err[0].find(piece, at);
      EXPECT_NE(at, std::string::npos) << "want: " << piece << "\ngot: " << err[0];
      if (at == std::string::npos) break;
      at += piece.size();
    }
    EXPECT_EQ(err[0].compare(0, c.detail[0].size(), c.detail[0]), 0) << err[0];
  }
  chmod(unwritable.path().c_str(), 0755);
}

#ifndef UPDATER_DEFAULT_SERVER
#define UPDATER_DEFAULT_SERVER ""
#endif

// Without a server built in and without --server the updater says how to set one and stops
// before any name lookup or download.
TEST_F(ModesTest, NoServerBuiltIn) {
  if (UPDATER_DEFAULT_SERVER[0] != '\0') GTEST_SKIP() << "built with a default server";
  RunResult r = RunUpdater({"-d", install_.path()}, work_.path());
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(OutputLines(r.out),
            (std::vector<std::string>{"*** Velmoras' Updater 2.01 (CLI) ***", ""}));
  std::vector<std::string> err = SplitLines(r.err);
  ASSERT_EQ(err.size(), 1u) << r.err;
  EXPECT_NE(err[0].find("--server"), std::string::npos);
  EXPECT_NE(err[0].find("-DUPDATER_DEFAULT_SERVER"), std::string::npos);
  EXPECT_FALSE(testutil::FileExists(work_.Sub("updater-info.xml")));

  // A rollback needs no server: it goes on (and here finds no backup to put back).
  RunResult rollback = RunUpdater({"-d", install_.path(), "--rollback"}, work_.path());
  EXPECT_EQ(rollback.err.find("No update server"), std::string::npos) << rollback.err;
  EXPECT_NE(rollback.out.find("Error rolling back: "), std::string::npos) << Lines(rollback);
}

}  // namespace
