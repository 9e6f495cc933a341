// Fault injection through a whole update: the k-th tracked allocation fails, the connection is
// cut after k bytes, the process may write at most k bytes per file. Swept over k, every case
// must end with a clear error or a finished update, no crash, no leaked block, and every
// installed file wholly its old or its new version.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <set>

#include "budget_server.h"
#include "libupdater.h"
#include "memleak.h"
#include "test_util.h"
#include "updater_fixture.h"
#include "updater_harness.h"

using namespace updtest;

namespace {

const char kKey[] = "fault-key-012345";

class FaultTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    ReleaseSpec v1, v2;
    v1.groups = {Group("core", "1")};
    v2.groups = v1.groups;
    for (int i = 0; i < 4; i++) {
      std::string name = "lib/m" + std::to_string(i) + ".so";
      old_[name] = RandomBytes(20000 + 5000 * i, 300 + i);
      new_[name] = RandomBytes(30000 + 7000 * i, 400 + i);
      v1.files.push_back(File(name, old_[name], "", "core"));
      v2.files.push_back(File(name, new_[name], i % 2 ? kKey : "", "core"));
    }
    new_["added.txt"] = std::string(5000, 'a');
    v2.files.push_back(File("added.txt", new_["added.txt"], "", "core"));
    old_["obsolete.txt"] = "obsolete\n";
    v1.files.push_back(File("obsolete.txt", old_["obsolete.txt"], "", "core"));
    v2.hasDelete = true;
    v2.deletes = {"obsolete.txt"};
    Publish(v1);
    RunResult r = Run();
    ASSERT_EQ(r.code, 0) << Join(OutputLines(r.out));
    for (const auto& rel : ListTree(install_.path())) template_[rel] = Installed(rel);
    v2_ = v2;
    Publish(v2);
  }

  // The installation as the first release left it; with onlyAdded, every changed file already
  // new, so that the update has only added.txt to install.
  void Reset(bool onlyAdded = false) {
    testutil::RemoveTree(install_.path());
    testutil::MakeDirs(install_.path());
    for (const auto& f : template_) testutil::WriteFile(base_ + f.first, f.second);
    if (onlyAdded) {
      for (const auto& f : new_) {
        if (f.first != "added.txt") testutil::WriteFile(base_ + f.first, f.second);
      }
    }
    WriteIni("[groups]\r\ncore=1\r\n");
  }

  // "" when every file is wholly old, wholly new or (where allowed) absent.
  std::string CheckWhole() const {
    std::set<std::string> names;
    for (const auto& f : old_) names.insert(f.first);
    for (const auto& f : new_) names.insert(f.first);
    for (const auto& name : names) {
      if (!Exists(name)) continue;  // every name here is absent in one of the releases or may be
      std::string got = Installed(name);
      bool ok =
          (old_.count(name) && got == old_.at(name)) || (new_.count(name) && got == new_.at(name));
      if (!ok) return name + " is damaged (" + std::to_string(got.size()) + " bytes)";
    }
    for (const auto& f : old_) {
      if (!new_.count(f.first) || Exists(f.first)) continue;
      return f.first + " vanished";
    }
    return "";
  }

  bool IsNew() const {
    for (const auto& f : new_) {
      if (Installed(f.first) != f.second) return false;
    }
    return !Exists("obsolete.txt");
  }

  std::map<std::string, std::string> old_, new_, template_;
  ReleaseSpec v2_;
};

bool Quiet(const char*) { return true; }
bool QuietProgress(uint64_t, uint64_t, void*) { return true; }

// The engine in this process, with the k-th tracked allocation failing.
TEST_F(FaultTest, AllocationFailuresDuringAWholeUpdate) {
  UpdaterCallbacks cb = {QuietProgress, QuietProgress, Quiet, Quiet};
  std::string url = "http://" + site_->ServerArg() + "/updates/kestrl5-full-debian9.x86_64.info";
  std::string ini = work_.Sub(".updater.ini");
  int failed_cases = 0, finished = 0;
  for (int64_t k = 1; k < 100000; k += (k < 200 ? 1 : k / 8)) {
    Reset();
    uint64_t blocks = zmem_blocks(), bytes = zmem_bytes();
    bool ok = false;
    std::string error;
    uint64_t injected;
    {
      Updater u;
      u.setup(url.c_str(), base_.c_str(), "updater", ini.c_str(), &cb);
      MemLeak_SetFailCountdown(k, false);
      ok = u.fetchInfo() && u.parseInfo() && (!u.needsUpdate() || u.performUpdate()) &&
           u.saveGroupStates();
      injected = MemLeak_InjectedFailures();
      MemLeak_SetFailCountdown(0, false);
      error = u.lastError();
    }
    ASSERT_EQ(zmem_blocks(), blocks) << "k=" << k << " leaked";
    ASSERT_EQ(zmem_bytes(), bytes) << "k=" << k;
    ASSERT_EQ(CheckWhole(), "") << "k=" << k;
    if (injected == 0) {
      ASSERT_TRUE(ok) << "k=" << k << ": " << error;
      ASSERT_TRUE(IsNew());
      finished++;
      break;
    }
    if (!ok) {
      failed_cases++;
      EXPECT_FALSE(error.empty()) << "k=" << k << ": a failure without a message";
    }
  }
  RecordProperty("allocation_failure_cases", failed_cases);
  EXPECT_GT(failed_cases, 10);
  EXPECT_EQ(finished, 1) << "the sweep never reached a run without injected failures";
}

// The server cuts the connection after k bytes of its responses.
TEST_F(FaultTest, ConnectionCutAfterKBytes) {
  testutil::BudgetServer server(site_->root());
  ASSERT_TRUE(server.ok());
  std::string error;
  ASSERT_TRUE(BuildRelease(v2_, site_->root(),
                           "http://127.0.0.1:" + std::to_string(server.port()) + "/packs", &error))
      << error;
  std::vector<std::string> args = {"--server", "127.0.0.1:" + std::to_string(server.port()), "-d",
                                   install_.path()};
  Reset();
  server.Arm(-1, nullptr);
  RunResult full = RunUpdater(args, work_.path());
  ASSERT_EQ(full.code, 0) << Join(OutputLines(full.out));
  int64_t total = server.sent();
  int failures = 0;
  const int kCuts = 60;
  for (int i = 0; i < kCuts; i++) {
    Reset();
    int64_t budget = total * i / kCuts + i;
    server.Arm(budget, nullptr);
    RunResult r = RunUpdater(args, work_.path());
    server.Arm(-1, nullptr);
    ASSERT_TRUE(r.code == 0 || r.code == 1) << "cut at " << budget << ": " << r.code;
    ASSERT_EQ(CheckWhole(), "") << "cut at " << budget;
    if (r.code == 1) {
      failures++;
      std::vector<std::string> lines = OutputLines(r.out);
      std::string all = Join(lines);
      EXPECT_TRUE(all.find("Error downloading info files: ") != std::string::npos ||
                  all.find("ODL reports") != std::string::npos ||
                  all.find("Error parsing info files") != std::string::npos)
          << "cut at " << budget << " gave no clear error:\n"
          << all;
    }
    RunResult again = RunUpdater(args, work_.path());
    ASSERT_EQ(again.code, 0) << "cut at " << budget << ", rerun: " << Join(OutputLines(again.out));
    ASSERT_TRUE(IsNew()) << "cut at " << budget;
  }
  EXPECT_GT(failures, kCuts / 2);
}

// The updater may write at most k bytes to any one file (as on a nearly full disk): downloads,
// unpacking and the INI file fail cleanly with an error line, the process is not killed by the
// limit's signal, and nothing installed is damaged.
TEST_F(FaultTest, FileSizeLimitWhileUpdating) {
  struct Case {
    int limit_kb;
    bool onlyAdded;
  };
  // With only added.txt (5000 bytes, a tiny pack) to install under a 4 KiB limit, the last
  // buffered bytes of the unpacked file fail only when it is closed.
  const Case cases[] = {{0, false},  {1, false},  {4, false},   {16, false}, {24, false},
                        {40, false}, {64, false}, {128, false}, {4, true}};
  int failures = 0;
  for (const Case& c : cases) {
    const int limit_kb = c.limit_kb;
    Reset(c.onlyAdded);
    // Only the updater runs under the limit; its output goes through cat, which has none.
    std::string cmd = "(ulimit -f " + std::to_string(limit_kb) + "; exec '" +
                      testutil::BinPath("updater") + "' --server " + site_->ServerArg() + " -d '" +
                      install_.path() + "') 2>&1 | cat; exit ${PIPESTATUS[0]}";
    std::string out;
    int sig = 0;
    int code = testutil::RunProgram({"/bin/bash", "-c", cmd}, &out, nullptr, work_.path(), &sig);
    ASSERT_EQ(sig, 0) << "limit " << limit_kb << " KiB: killed by signal " << sig;
    ASSERT_TRUE(code == 0 || code == 1) << "limit " << limit_kb << " KiB: exit " << code;
    ASSERT_EQ(CheckWhole(), "") << "limit " << limit_kb << " KiB";
    if (c.onlyAdded) {
      EXPECT_EQ(code, 1) << out;
      EXPECT_NE(out.find("Error performing update: "), std::string::npos) << out;
    }
    std::string ini = Ini();
    EXPECT_TRUE(ini.empty() || ini.find("core=1") != std::string::npos)
        << "limit " << limit_kb << " KiB damaged the INI file: " << ini;
    if (code == 1) {
      failures++;
      std::vector<std::string> lines = OutputLines(out);
      ASSERT_FALSE(lines.empty());
    }
    RunResult again = Run();
    ASSERT_EQ(again.code, 0) << "limit " << limit_kb << ": " << Join(OutputLines(again.out));
    ASSERT_TRUE(IsNew());
  }
  EXPECT_GT(failures, 3);
}

}  // namespace
