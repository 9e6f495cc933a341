// Packs downloaded several at once (--parallel): the same installation and the same lines as one
// at a time, a failure in one download while others run stops the run as a serial failure
// does (nothing installed, what arrived kept for the next run), each worker keeps its
// connection alive, and on a terminal one bar shows all packs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"
#include "updater_fixture.h"
#include "updater_harness.h"

using testutil::ReadFileOr;
using testutil::WriteFile;
using updtest::DefaultPackName;
using updtest::File;
using updtest::FixtureFile;
using updtest::ListInstalled;
using updtest::ListPacks;
using updtest::RandomBytes;
using updtest::ReleaseSpec;
using updtest::RunResult;

namespace {

// Every file of an installation with its content (the staging directory left out).
std::map<std::string, std::string> Tree(const std::string& base) {
  std::map<std::string, std::string> out;
  for (const std::string& name : ListInstalled(base)) out[name] = ReadFileOr(base + "/" + name);
  return out;
}

class ParallelTest : public updtest::UpdaterTest {
 protected:
  void SetUp() override {
    // Packs come slowly enough for several to be under way at once.
    site_ = std::make_unique<updtest::Site>("location /packs/ { limit_rate 2m; }");
    ASSERT_TRUE(site_->ok()) << site_->error();
    base_ = install_.path() + "/";
  }

  // Twelve files: small and large, plain and enciphered, two sharing one pack.
  ReleaseSpec Release() const {
    ReleaseSpec rel;
    rel.files.push_back(File("readme.txt", "read me\n"));
    rel.files.push_back(File("lib/one.so", RandomBytes(150000, 1), "0123456789abcdef"));
    FixtureFile shared1 = File("share/a.dat", "the same bytes\n");
    FixtureFile shared2 = File("share/b.dat", "the same bytes\n");
    shared1.pack = shared2.pack = "same.pak";
    rel.files.push_back(shared1);
    rel.files.push_back(shared2);
    for (int i = 0; i < 8; i++) {
      rel.files.push_back(
          File("data/f" + std::to_string(i) + ".bin", RandomBytes(60000 + 20000 * i, 10 + i)));
    }
    return rel;
  }

  // Starts over: an empty installation and working directory.
  void Reset() {
    testutil::RemoveTree(install_.path());
    testutil::MakeDirs(install_.path());
    unlink(work_.Sub(".updater.ini").c_str());
  }

  RunResult RunParallel(int n) { return Run({"--parallel", std::to_string(n)}); }

  std::string Staged(const std::string& file) const {
    return base_ + "tmp/updater/" + DefaultPackName(file);
  }
};

TEST_F(ParallelTest, SameInstallationAndLinesAsOneAtATime) {
  Publish(Release());
  // What an earlier run left: one pack half fetched, one whole.
  auto leftovers = [&]() {
    testutil::MakeDirs(base_ + "tmp/updater");
    const std::string half = ReadFileOr(site_->PackPath(DefaultPackName("data/f3.bin")));
    ASSERT_TRUE(WriteFile(Staged("data/f3.bin"), half.substr(0, half.size() / 2)));
    ASSERT_TRUE(WriteFile(Staged("data/f5.bin"),
                          ReadFileOr(site_->PackPath(DefaultPackName("data/f5.bin")))));
  };
  Reset();
  leftovers();
  const RunResult serial = RunParallel(1);
  ASSERT_EQ(serial.code, 0) << serial.out << serial.err;
  const std::map<std::string, std::string> installed = Tree(install_.path());
  ASSERT_EQ(installed.size(), 12u);
  EXPECT_EQ(installed.at("lib/one.so"), RandomBytes(150000, 1));
  EXPECT_TRUE(updtest::ContainsInOrder(
      updtest::OutputLines(serial.out),
      {"Already have share/b.dat, skipping download...",
       "Already have data/f5.bin, skipping download...", "Update Complete!"}))
      << serial.out;

  for (int n : {2, 4, 16}) {
    SCOPED_TRACE("--parallel " + std::to_string(n));
    Reset();
    leftovers();
    const RunResult r = RunParallel(n);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, serial.out);
    EXPECT_EQ(r.err, serial.err);
    EXPECT_EQ(Tree(install_.path()), installed);
    EXPECT_EQ(ListPacks(install_.path()), std::vector<std::string>{});
  }
}

TEST_F(ParallelTest, FailureInOneDownloadStopsTheRunCleanly) {
  const std::string broken = "data/f1.bin";  // the sixth file; larger ones run beside it
  const char* const kBeforeTheFailure[] = {"readme.txt", "lib/one.so", "data/f0.bin"};
  struct Case {
    const char* name;
    std::function<void(const std::string& pack)> breakPack;
    const char* errorLine;
  } cases[] = {
      {"pack missing", [](const std::string& pack) { unlink(pack.c_str()); },
       "Error performing update: ODL reports 'File Not Found' while downloading 'data/f1.bin'"},
      {"pack damaged every time",
       [](const std::string& pack) {
         std::string bytes = ReadFileOr(pack);
         bytes[bytes.size() / 2] ^= 0x55;
         WriteFile(pack, bytes);
       },
       "Error performing update: Checksum does not match for the pack of 'data/f1.bin' ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string pack = site_->PackPath(DefaultPackName(broken));
    RunResult serial;
    for (int n : {1, 4}) {
      SCOPED_TRACE("--parallel " + std::to_string(n));
      Publish(Release());
      const std::string good = ReadFileOr(pack);
      c.breakPack(pack);
      Reset();
      // A whole pack of a file after the failure, which a serial run never reaches.
      testutil::MakeDirs(base_ + "tmp/updater");
      ASSERT_TRUE(WriteFile(Staged("data/f2.bin"),
                            ReadFileOr(site_->PackPath(DefaultPackName("data/f2.bin")))));
      const RunResult r = RunParallel(n);
      EXPECT_EQ(r.code, 1);
      EXPECT_TRUE(updtest::HasLineStartingWith(updtest::OutputLines(r.out), c.errorLine)) << r.out;
      if (n == 1) {
        serial = r;
      } else {
        // The same lines, the same detail line on standard error.
        EXPECT_EQ(r.out, serial.out);
        EXPECT_EQ(r.err, serial.err);
      }
      // Nothing installed; the packs before the failure are kept whole for the next run.
      EXPECT_EQ(ListInstalled(install_.path()), std::vector<std::string>{});
      for (const char* before : kBeforeTheFailure) {
        EXPECT_EQ(ReadFileOr(Staged(before)), ReadFileOr(site_->PackPath(DefaultPackName(before))))
            << before;
      }
      // The next run, with the pack repaired, finishes the installation.
      ASSERT_TRUE(WriteFile(pack, good));
      const size_t before = PackRequests().size();
      const RunResult again = RunParallel(n);
      ASSERT_EQ(again.code, 0) << again.out << again.err;
      EXPECT_EQ(ListInstalled(install_.path()).size(), 12u);
      EXPECT_EQ(ReadFileOr(base_ + broken), RandomBytes(80000, 11));
      // Whole packs of the failed run are not fetched again.
      std::vector<std::string> requests = PackRequests();
      for (const char* name : kBeforeTheFailure) {
        const std::string packName = DefaultPackName(name);
        EXPECT_EQ(std::count_if(requests.begin() + static_cast<long>(before), requests.end(),
                                [&](const std::string& line) {
                                  return line.find("/" + packName + " ") != std::string::npos;
                                }),
                  0)
            << name;
      }
    }
  }
}

TEST_F(ParallelTest, EachWorkerKeepsItsConnectionAlive) {
  Publish(Release());
  for (int n : {1, 4}) {
    SCOPED_TRACE("--parallel " + std::to_string(n));
    Reset();
    const size_t before = site_->RequestConnections().size();
    ASSERT_EQ(RunParallel(n).code, 0);
    std::vector<std::string> connections = site_->RequestConnections();
    connections.erase(connections.begin(), connections.begin() + static_cast<long>(before));
    // The document and eleven packs (two files share one).
    EXPECT_EQ(connections.size(), 12u);
    const std::set<std::string> distinct(connections.begin(), connections.end());
    // One connection for the document and serial downloads, one for each worker.
    EXPECT_LE(distinct.size(), static_cast<size_t>(n == 1 ? 1 : n + 1));
  }
}

TEST_F(ParallelTest, CountOutsideOneToSixteenIsRefused) {
  Publish(Release());
  for (const char* value : {"0", "17", "-1", "x", "4x", ""}) {
    SCOPED_TRACE(value);
    const RunResult r = Run({"--parallel", value});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err,
              std::string("Invalid --parallel '") + value + "': must be a number from 1 to 16\n");
    EXPECT_TRUE(site_->Requests().empty());
  }
}

// On a terminal: one line for all packs, fitted to the window, ending with every byte counted.
TEST_F(ParallelTest, OneBarForAllPacksOnATerminal) {
  Publish(Release());
  uint64_t total = 0;
  std::set<std::string> packs;
  for (const FixtureFile& f : Release().files) {
    packs.insert(f.pack.empty() ? DefaultPackName(f.file) : f.pack);
  }
  for (const std::string& p : packs) total += ReadFileOr(site_->PackPath(p)).size();
  const std::string counts = std::to_string(total) + " of " + std::to_string(total) + " bytes";
  for (int columns : {100, 45, 12}) {
    SCOPED_TRACE("columns " + std::to_string(columns));
    Reset();
    std::string out;
    int code = updtest::RunOnTerminal({testutil::BinPath("updater"), "--server", site_->ServerArg(),
                                       "-d", install_.path(), "--parallel", "4"},
                                      work_.path(), columns, &out);
    ASSERT_EQ(code, 0) << out;
    std::vector<std::string> segs = updtest::ProgressSegments(out);
    for (const std::string& s : segs) EXPECT_LE(s.size(), static_cast<size_t>(columns)) << s;
    // No bar per file; the last one shows all bytes (as far as the width allows).
    for (const std::string& s : segs) EXPECT_EQ(s.find("] readme.txt"), std::string::npos) << s;
    ASSERT_FALSE(segs.empty());
    const std::string last = segs.back();
    std::string want = "\r";
    if (columns >= 40) want += "[" + std::string(columns / 3, '#') + "] ";
    want += counts;
    want.resize(std::min<size_t>(want.size(), columns));
    EXPECT_EQ(last.substr(0, want.size()), want) << out;
    EXPECT_EQ(Tree(install_.path()).size(), 12u);
  }
  // A line given while the bar is drawn stands on a line of its own, not after the bar.
  ASSERT_EQ(unlink(site_->PackPath(DefaultPackName("data/f4.bin")).c_str()), 0);
  Reset();
  std::string out;
  int code = updtest::RunOnTerminal({testutil::BinPath("updater"), "--server", site_->ServerArg(),
                                     "-d", install_.path(), "--parallel", "4"},
                                    work_.path(), 100, &out);
  EXPECT_EQ(code, 1) << out;
  const std::vector<std::string> lines = updtest::OutputLines(out);
  EXPECT_TRUE(updtest::HasLineStartingWith(
      lines, "127.0.0.1:" + std::to_string(site_->port()) + " answered 404 Not Found for /packs/"))
      << out;
  EXPECT_TRUE(updtest::HasLineStartingWith(
      lines, "Error performing update: ODL reports 'File Not Found' while downloading"))
      << out;
}

}  // namespace
