// Crash consistency of a real update: the updater is killed with SIGKILL at hundreds of
// moments (after a growing number of bytes received from the server, and after growing
// delays), and after every kill each installed file must be wholly its old or its new version,
// ".updater.ini" must still hold the user's choices, and a rerun must finish the update.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "budget_server.h"
#include "ini-reader.h"
#include "test_util.h"
#include "updater_fixture.h"
#include "updater_harness.h"

using namespace updtest;

namespace {

const char kKey[] = "crash-key-012345";

// What may stand at one path: any of these contents, or nothing when absent_ok.
struct Allowed {
  std::set<std::string> contents;
  bool absent_ok = false;
};

class CrashTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    ReleaseSpec v1, v2;
    v1.groups = {Group("core", "1"), Group("extras", "1")};
    v2.groups = v1.groups;
    for (int i = 0; i < 6; i++) {
      std::string name = "bin/f" + std::to_string(i) + ".dat";
      std::string before = RandomBytes(40000 + 1000 * i, 10 + i);
      std::string after = RandomBytes(50000 + 3000 * i, 50 + i);
      v1.files.push_back(File(name, before, i % 2 ? kKey : "", "core"));
      v2.files.push_back(File(name, after, i % 3 ? kKey : "", "core"));
      old_[name] = before;
      new_[name] = after;
    }
    // Unchanged between the releases.
    v1.files.push_back(File("readme.txt", "read me\n", "", "core"));
    v2.files.push_back(File("readme.txt", "read me\n", "", "core"));
    old_["readme.txt"] = new_["readme.txt"] = "read me\n";
    // Added in the second release.
    std::string added = RandomBytes(70000, 99);
    v2.files.push_back(File("plugins/new.so", added, kKey, "core"));
    new_["plugins/new.so"] = added;
    // Obsolete in the second release.
    v1.files.push_back(File("old/legacy.so", "legacy\n", "", "core"));
    old_["old/legacy.so"] = "legacy\n";
    v2.hasDelete = true;
    v2.deletes = {"old/legacy.so"};
    // A group that the user removes before updating.
    v1.files.push_back(File("extras/skin.dat", RandomBytes(30000, 7), "", "extras"));
    v2.files.push_back(File("extras/skin.dat", RandomBytes(30000, 7), "", "extras"));
    old_["extras/skin.dat"] = RandomBytes(30000, 7);

    Publish(v1);
    RunResult first = Run();
    ASSERT_EQ(first.code, 0) << Join(OutputLines(first.out));
    for (const auto& f : old_) ASSERT_EQ(Installed(f.first), f.second) << f.first;
    template_ = SnapshotInstall();
    v2_ = v2;
    Publish(v2);
  }

  std::map<std::string, std::string> SnapshotInstall() const {
    std::map<std::string, std::string> snap;
    for (const auto& rel : ListTree(install_.path())) snap[rel] = Installed(rel);
    return snap;
  }

  // Puts the installation back to the first release, with the extras group set to remove.
  void Reset() {
    testutil::RemoveTree(install_.path());
    testutil::MakeDirs(install_.path());
    for (const auto& f : template_) testutil::WriteFile(base_ + f.first, f.second);
    WriteIni("[groups]\r\ncore=1\r\nextras=2\r\n");
  }

  // Checks the state after a kill; returns a description of the first fault, or "".
  std::string CheckWhole() const {
    std::map<std::string, Allowed> allowed;
    for (const auto& f : old_) {
      allowed[f.first].contents.insert(f.second);
      allowed[f.first].absent_ok = true;
    }
    for (const auto& f : new_) {
      allowed[f.first].contents.insert(f.second);
      if (!old_.count(f.first)) allowed[f.first].absent_ok = true;
    }
    allowed["readme.txt"].absent_ok = false;
    for (const auto& a : allowed) {
      if (!Exists(a.first)) {
        if (!a.second.absent_ok) return a.first + " is missing";
        continue;
      }
      if (!a.second.contents.count(Installed(a.first))) {
        return a.first + " is neither its old nor its new version (" +
               std::to_string(Installed(a.first).size()) + " bytes)";
      }
    }
    for (const auto& rel : ListTree(install_.path())) {
      if (allowed.count(rel) || rel.compare(0, 12, "tmp/updater/") == 0) continue;
      return "unexpected file " + rel;
    }
    std::string ini = work_.Sub(".updater.ini");
    if (Get_INI_Int(ini.c_str(), "groups", "extras", -1) != 2) {
      return ".updater.ini lost the user's choice: " + Ini();
    }
    return "";
  }

  // After a kill: rerun (at most three times) until the update completes, then compare.
  std::string Finish() {
    RunResult r;
    for (int i = 0; i < 3; i++) {
      r = Run();
      if (r.code == 0) break;
    }
    if (r.code != 0) return "rerun failed: " + Join(OutputLines(r.out));
    for (const auto& f : new_) {
      if (Installed(f.first) != f.second) return "after rerun " + f.first + " is not new";
    }
    if (Exists("old/legacy.so")) return "after rerun the obsolete file is still there";
    if (Exists("extras/skin.dat")) return "after rerun the removed group's file is still there";
    return "";
  }

  std::map<std::string, std::string> old_, new_, template_;
  ReleaseSpec v2_;
};

// Kills the updater after a growing number of bytes of the server's responses.
TEST_F(CrashTest, KilledAfterVaryingByteCounts) {
  testutil::BudgetServer server(site_->root());
  ASSERT_TRUE(server.ok());
  // The packs, too, come from the counting server.
  std::string error;
  ASSERT_TRUE(BuildRelease(v2_, site_->root(),
                           "http://127.0.0.1:" + std::to_string(server.port()) + "/packs", &error))
      << error;
  std::vector<std::string> args = {"--server", "127.0.0.1:" + std::to_string(server.port()), "-d",
                                   install_.path()};
  // How many bytes a whole update takes.
  Reset();
  server.Arm(-1, nullptr);
  RunResult full = RunUpdater(args, work_.path());
  ASSERT_EQ(full.code, 0) << Join(OutputLines(full.out));
  int64_t total = server.sent();
  ASSERT_GT(total, 300000);

  const int kKills = 200;
  int killed = 0;
  for (int i = 0; i < kKills; i++) {
    Reset();
    int64_t budget = total * i / kKills + (i % 7) * 13;
    std::atomic<Background*> target{nullptr};
    server.Arm(budget, [&target] {
      // The child may still be starting when the budget runs out.
      for (int spin = 0; spin < 5000 && target.load() == nullptr; spin++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (Background* bg = target.load()) bg->Kill(SIGKILL);
    });
    {
      Background run(
          [&] {
            std::vector<std::string> argv = {testutil::BinPath("updater")};
            argv.insert(argv.end(), args.begin(), args.end());
            return argv;
          }(),
          work_.path());
      ASSERT_TRUE(run.started());
      target = &run;
      ASSERT_TRUE(run.Wait(60000)) << "budget " << budget;
      server.Arm(-1, nullptr);  // the hook must not outlive the run it points at
      if (run.termSignal() == SIGKILL) killed++;
    }
    std::string fault = CheckWhole();
    ASSERT_EQ(fault, "") << "killed after " << budget << " of " << total << " bytes";
    fault = Finish();
    ASSERT_EQ(fault, "") << "killed after " << budget << " of " << total << " bytes";
  }
  RecordProperty("kills", killed);
  EXPECT_GT(killed, kKills / 2);
}

// Kills the updater after a growing delay, which also lands in the unpacking, installing and
// deleting that follow the downloads.
TEST_F(CrashTest, KilledAfterVaryingDelays) {
  Reset();
  auto start = std::chrono::steady_clock::now();
  RunResult full = Run();
  auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
  ASSERT_EQ(full.code, 0) << Join(OutputLines(full.out));

  const int kKills = 120;
  int killed = 0;
  for (int i = 0; i < kKills; i++) {
    Reset();
    std::vector<std::string> argv = {testutil::BinPath("updater"), "--server", site_->ServerArg(),
                                     "-d", install_.path()};
    Background run(argv, work_.path());
    ASSERT_TRUE(run.started());
    std::this_thread::sleep_for(std::chrono::microseconds(took * (i + 1) / kKills));
    if (run.Kill(SIGKILL)) {
      ASSERT_TRUE(run.Wait(60000));
      if (run.termSignal() == SIGKILL) killed++;
    } else {
      ASSERT_TRUE(run.Wait(60000));
    }
    std::string fault = CheckWhole();
    ASSERT_EQ(fault, "") << "killed after " << took * (i + 1) / kKills << " us of " << took;
    fault = Finish();
    ASSERT_EQ(fault, "") << "killed after " << took * (i + 1) / kKills << " us of " << took;
  }
  RecordProperty("kills", killed);
}

}  // namespace
