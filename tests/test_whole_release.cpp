// Whole releases: an update that is killed (at every step of the installation-directory layer,
// after any number of bytes from the server, after any delay), cut off by a power failure (every
// write not flushed dropped), refused space (a file-size limit), given a damaged pack, a failing
// rename or a failing allocation, and a rollback killed at every step, each leave the
// installation equal to release 1 or release 2 exactly (contents, modes, directories) once the
// next run has finished any journal it finds; a rerun then completes the update.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "budget_server.h"
#include "confined_dir.h"
#include "fault_dir.h"
#include "ini-reader.h"
#include "journal.h"
#include "libupdater.h"
#include "memleak.h"
#include "test_util.h"
#include "updater_fixture.h"
#include "updater_harness.h"

using namespace updtest;

namespace {

const char kKey[] = "crash-key-012345";

// Path -> "dir", or the permission bits in octal, ":" and the contents. The staging directory
// ("tmp") is left out.
using Tree = std::map<std::string, std::string>;

void SnapshotInto(const std::string& root, const std::string& rel, Tree* tree) {
  std::vector<std::string> names;
  std::unique_ptr<ConfinedDir> dir;
  if (!OpenConfinedDir(root, &dir).ok() || !dir->ListDir(rel, &names).ok()) return;
  for (const std::string& name : names) {
    std::string path = rel.empty() ? name : rel + "/" + name;
    if (path == "tmp") continue;
    struct stat st;
    if (lstat((root + "/" + path).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      (*tree)[path] = "dir";
      SnapshotInto(root, path, tree);
    } else {
      char mode[16];
      snprintf(mode, sizeof(mode), "%04o:", static_cast<unsigned>(st.st_mode & 07777));
      (*tree)[path] = mode + testutil::ReadFileOr(root + "/" + path);
    }
  }
}

Tree Snapshot(const std::string& root) {
  Tree tree;
  SnapshotInto(root, "", &tree);
  return tree;
}

// Writes tree below root (files with their modes, directories).
void WriteTree(const std::string& root, const Tree& tree) {
  testutil::MakeDirs(root);
  for (const auto& e : tree) {
    std::string path = root + "/" + e.first;
    if (e.second == "dir") {
      testutil::MakeDirs(path);
      continue;
    }
    testutil::WriteFile(path, e.second.substr(5));
    chmod(path.c_str(), static_cast<mode_t>(strtoul(e.second.substr(0, 4).c_str(), nullptr, 8)));
  }
}

// The first difference between two trees, or "".
std::string Difference(const Tree& want, const Tree& got) {
  for (const auto& w : want) {
    auto g = got.find(w.first);
    if (g == got.end()) return w.first + " is missing";
    if (g->second != w.second) {
      return w.first + " differs (" + g->second.substr(0, 5) + " " +
             std::to_string(g->second.size()) + " bytes)";
    }
  }
  for (const auto& g : got) {
    if (!want.count(g.first)) return g.first + " should not be there";
  }
  return "";
}

bool Quiet(const char*) { return true; }
bool QuietProgress(uint64_t, uint64_t, void*) { return true; }
UpdaterCallbacks g_quiet = {QuietProgress, QuietProgress, Quiet, Quiet};

// Kills the process at the n-th operation that changes the tree.
class KillingDir : public ConfinedDirWrapper {
 public:
  KillingDir(ConfinedDir* target, int n) : ConfinedDirWrapper(target), left_(n) {}
  DirStatus Create(const std::string& p, mode_t m, std::unique_ptr<DirFile>* f) override {
    Step();
    return ConfinedDirWrapper::Create(p, m, f);
  }
  DirStatus Rename(const std::string& from, const std::string& to) override {
    Step();
    return ConfinedDirWrapper::Rename(from, to);
  }
  DirStatus Unlink(const std::string& p) override {
    Step();
    return ConfinedDirWrapper::Unlink(p);
  }
  DirStatus MakeDir(const std::string& p, mode_t m) override {
    Step();
    return ConfinedDirWrapper::MakeDir(p, m);
  }
  DirStatus RemoveDir(const std::string& p) override {
    Step();
    return ConfinedDirWrapper::RemoveDir(p);
  }
  DirStatus ChangeMode(const std::string& p, mode_t m) override {
    Step();
    return ConfinedDirWrapper::ChangeMode(p, m);
  }
  DirStatus SyncDir(const std::string& p) override {
    Step();
    return ConfinedDirWrapper::SyncDir(p);
  }

 private:
  void Step() {
    if (--left_ == 0) raise(SIGKILL);
  }
  int left_;
};

// A journal reads back as written; one cut short anywhere, or with a damaged line, is refused
// rather than half carried out.
TEST(Journal, RoundTripAndDamageRefused) {
  Journal j;
  j.direction = Journal::kBack;
  j.backupDir = "tmp/updater/undo";
  JournalStep install, modes, remove;
  install.target = "dir with blanks/new file.so";
  install.staged = "tmp/updater/stage/0";
  install.backup = "tmp/updater/undo/0";
  modes.kind = JournalStep::kModes;
  modes.target = "bin/run.sh";
  modes.oldMode = 0644;
  modes.newMode = 0755;
  remove.kind = JournalStep::kRemove;
  remove.target = "old/legacy.so";
  remove.backup = "tmp/updater/undo/2";
  JournalStep added = install;  // nothing was there before it
  added.backup.clear();
  j.steps = {install, modes, remove, added};
  const std::string text = EncodeJournal(j);
  Journal back;
  ASSERT_TRUE(DecodeJournal(text, &back));
  EXPECT_EQ(EncodeJournal(back), text);
  EXPECT_EQ(back.direction, Journal::kBack);
  ASSERT_EQ(back.steps.size(), 4u);
  EXPECT_EQ(back.steps[0].target, install.target);
  EXPECT_EQ(back.steps[1].oldMode, 0644u);
  EXPECT_EQ(back.steps[1].newMode, 0755u);
  EXPECT_EQ(back.steps[3].backup, "");
  // Every cut that loses any of the end line fails (its newline alone does not matter).
  for (size_t cut = 0; cut + 1 < text.size(); cut++) {
    EXPECT_FALSE(DecodeJournal(text.substr(0, cut), &back)) << "cut at " << cut;
  }
  struct Case {
    const char* from;
    const char* to;
  } damaged[] = {
      {"forward", "sideways"}, {"\t644\t", "\t648\t"}, {"\t755\n", "\t17777\n"},
      {"R\t", "X\t"},          {"\nM\t", "\nM\t\t"},
  };
  std::string forward = text;
  forward.replace(forward.find("back"), 4, "forward");
  for (const Case& c : damaged) {
    std::string bad = forward;
    ASSERT_NE(bad.find(c.from), std::string::npos) << c.from;
    bad.replace(bad.find(c.from), strlen(c.from), c.to);
    EXPECT_FALSE(DecodeJournal(bad, &back)) << c.to;
  }
}

class WholeReleaseTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    ReleaseSpec v1, v2;
    v1.groups = {Group("core", "1"), Group("extras", "1")};
    v2.groups = v1.groups;
    for (int i = 0; i < 6; i++) {
      std::string name = "bin/f" + std::to_string(i) + ".dat";
      FixtureFile before =
          File(name, RandomBytes(40000 + 1000 * i, 10 + i), i % 2 ? kKey : "", "core");
      FixtureFile after =
          File(name, RandomBytes(50000 + 3000 * i, 50 + i), i % 3 ? kKey : "", "core");
      after.modes = i == 2 ? 0700 : -1;
      v1.files.push_back(before);
      v2.files.push_back(after);
    }
    // Unchanged, and changed in its modes only.
    v1.files.push_back(File("readme.txt", "read me\n", "", "core"));
    v2.files.push_back(File("readme.txt", "read me\n", "", "core"));
    FixtureFile script = File("bin/run.sh", "#!/bin/sh\n", "", "core");
    script.modes = 0644;
    v1.files.push_back(script);
    script.modes = 0755;
    v2.files.push_back(script);
    // Added in a new directory; obsolete in a directory that the update empties.
    v2.files.push_back(File("plugins/new.so", RandomBytes(70000, 99), kKey, "core"));
    // Added, with a tiny pack: only unpacking it writes more than a few KiB.
    v2.files.push_back(File("docs/added.txt", std::string(5000, 'a'), "", "core"));
    v1.files.push_back(File("old/legacy.so", "legacy\n", "", "core"));
    v2.hasDelete = true;
    v2.deletes = {"old/legacy.so"};
    // A group that the user removes before updating.
    v1.files.push_back(File("extras/skin.dat", RandomBytes(30000, 7), "", "extras"));
    v2.files.push_back(File("extras/skin.dat", RandomBytes(30000, 7), "", "extras"));

    Publish(v2);  // release 2 first, to take its tree
    WriteIni("[groups]\r\ncore=1\r\nextras=2\r\n");
    ASSERT_EQ(Run().code, 0);
    release2_ = Snapshot(install_.path());
    testutil::RemoveTree(install_.path());
    testutil::MakeDirs(install_.path());
    Publish(v1);
    WriteIni("[groups]\r\ncore=1\r\nextras=1\r\n");
    RunResult first = Run();
    ASSERT_EQ(first.code, 0) << Join(OutputLines(first.out));
    release1_ = Snapshot(install_.path());
    ASSERT_EQ(release1_.count("old"), 1u);
    ASSERT_EQ(release2_.count("old"), 0u);  // emptied by the update, so removed
    ASSERT_EQ(release2_.count("extras"), 0u);
    v2_ = v2;
    Publish(v2);
    Reset();
  }

  // Puts the installation back to release 1, or the given tree (nothing in tmp/updater),
  // extras set to remove.
  void Reset() { ResetTo(release1_); }
  void ResetTo(const Tree& tree) {
    testutil::RemoveTree(install_.path());
    WriteTree(install_.path(), tree);
    WriteIni("[groups]\r\ncore=1\r\nextras=2\r\n");
  }

  // "1" or "2" when the installation equals that release, else what differs from both. Entries
  // below the given top-level names are left out of the comparison.
  std::string WhichRelease(const std::set<std::string>& except = {}) const {
    auto without = [&except](Tree t) {
      for (auto it = t.begin(); it != t.end();) {
        it = except.count(it->first.substr(0, it->first.find('/'))) ? t.erase(it) : std::next(it);
      }
      return t;
    };
    Tree now = without(Snapshot(install_.path()));
    std::string one = Difference(without(release1_), now);
    std::string two = Difference(without(release2_), now);
    if (one.empty()) return "1";
    if (two.empty()) return "2";
    return "neither release: " + one + "; " + two;
  }

  // Finishes what a killed run left, as the next run does before it fetches anything, and
  // tells which release the installation is then.
  std::string Settle() {
    Updater u;
    u.setup("http://127.0.0.1:1/none.info", base_.c_str(), "updater", "", nullptr);
    if (!u.finishInterrupted()) return std::string("finishing failed: ") + u.lastError();
    std::string ini = work_.Sub(".updater.ini");
    if (Get_INI_Int(ini.c_str(), "groups", "extras", -1) != 2) return "the INI file lost a choice";
    return WhichRelease();
  }

  std::string Url() const {
    return "http://" + site_->ServerArg() + "/updates/kestrl5-full-debian9.x86_64.info";
  }

  // One whole update in this process, through layer when given. True when it succeeded.
  bool Update(ConfinedDir* layer = nullptr, std::string* error = nullptr) {
    Updater u;
    std::string ini = work_.Sub(".updater.ini");
    u.setup(Url().c_str(), base_.c_str(), "updater", ini.c_str(), &g_quiet);
    if (layer) u.setDirectoryLayer(layer);
    bool ok = u.finishInterrupted() && u.fetchInfo() && u.parseInfo() &&
              (!u.needsUpdate() || u.performUpdate());
    if (error) *error = u.lastError();
    return ok;
  }

  bool RollBack(ConfinedDir* layer = nullptr, std::string* error = nullptr) {
    Updater u;
    u.setup(Url().c_str(), base_.c_str(), "updater", "", &g_quiet);
    if (layer) u.setDirectoryLayer(layer);
    bool ok = u.rollback();
    if (error) *error = u.lastError();
    return ok;
  }

  // Runs body in a child process with a layer that kills it at the n-th change. True when the
  // child was killed, false when it ran to its end first.
  bool KilledAt(int n, const std::function<void(ConfinedDir*)>& body) {
    pid_t pid = fork();
    if (pid == 0) {
      std::unique_ptr<ConfinedDir> posix;
      if (!OpenConfinedDir(install_.path(), &posix).ok()) _exit(2);
      KillingDir killer(posix.get(), n);
      body(&killer);
      _exit(0);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

  // Runs the updater program under a shell with a per-file size limit; its exit code.
  int RunLimited(int limitKb, std::string* out, int* sig) {
    std::string cmd = "(ulimit -f " + std::to_string(limitKb) + "; exec '" +
                      testutil::BinPath("updater") + "' --server " + site_->ServerArg() + " -d '" +
                      install_.path() + "') 2>&1 | cat; exit ${PIPESTATUS[0]}";
    return testutil::RunProgram({"/bin/bash", "-c", cmd}, out, nullptr, work_.path(), sig);
  }

  Tree release1_, release2_;
  ReleaseSpec v2_;
};

// Killed at every change the update makes through the installation-directory layer (staging,
// journal, moving aside, moving in, modes, removing emptied directories, keeping the backup).
TEST_F(WholeReleaseTest, KilledAtEveryStepOfTheUpdate) {
  int kills = 0;
  for (int n = 1; n < 1000; n++) {
    Reset();
    if (!KilledAt(n, [this](ConfinedDir* d) { _exit(Update(d) ? 0 : 1); })) break;
    kills++;
    std::string release = Settle();
    ASSERT_TRUE(release == "1" || release == "2") << "killed at change " << n << ": " << release;
    ASSERT_TRUE(Update()) << "rerun after a kill at change " << n;
    ASSERT_EQ(WhichRelease(), "2") << "rerun after a kill at change " << n;
  }
  RecordProperty("kills", kills);
  EXPECT_GT(kills, 20);
  ASSERT_TRUE(Update());
  EXPECT_EQ(WhichRelease(), "2");
}

// Killed at every change of a rollback: the next run finishes the rollback, and release 1 is
// back whole; a rollback after that has nothing left to undo.
TEST_F(WholeReleaseTest, KilledAtEveryStepOfARollback) {
  int kills = 0;
  for (int n = 1; n < 1000; n++) {
    Reset();
    ASSERT_TRUE(Update());
    ASSERT_EQ(WhichRelease(), "2");
    if (!KilledAt(n, [this](ConfinedDir* d) { _exit(RollBack(d) ? 0 : 1); })) break;
    kills++;
    std::string release = Settle();
    ASSERT_TRUE(release == "1" || release == "2") << "killed at change " << n << ": " << release;
    if (release == "2") {
      ASSERT_TRUE(RollBack()) << "after a kill at change " << n;
    }
    ASSERT_EQ(WhichRelease(), "1") << "after a kill at change " << n;
  }
  RecordProperty("kills", kills);
  EXPECT_GT(kills, 10);
  EXPECT_EQ(WhichRelease(), "1");
  std::string error;
  EXPECT_FALSE(RollBack(nullptr, &error));
  EXPECT_NE(error.find("No earlier release to roll back to"), std::string::npos) << error;
}

// The power fails after n changes: everything not flushed is lost. Whatever the disk then
// holds, the next run makes it one whole release.
TEST_F(WholeReleaseTest, PowerCutAtEveryStepDropsOnlyWhatWasNotFlushed) {
  int cuts = 0;
  for (int n = 1; n < 1000; n++) {
    Reset();
    std::unique_ptr<ConfinedDir> posix;
    ASSERT_TRUE(OpenConfinedDir(install_.path(), &posix).ok());
    FaultInjectingDir faulty(posix.get());
    faulty.TrackUnsynced(true);
    faulty.CutPowerAfter(n);
    bool ok = Update(&faulty);
    bool cut = faulty.powerCut();
    DirStatus dropped = faulty.DropUnsynced();
    ASSERT_TRUE(dropped.ok()) << dropped.message();
    if (!cut) {
      ASSERT_TRUE(ok);
      ASSERT_EQ(WhichRelease(), "2");
      break;
    }
    cuts++;
    std::string release = Settle();
    ASSERT_TRUE(release == "1" || release == "2")
        << "power cut after change " << n << ": " << release;
    ASSERT_TRUE(Update()) << "rerun after a power cut after change " << n;
    ASSERT_EQ(WhichRelease(), "2") << "rerun after a power cut after change " << n;
  }
  EXPECT_GT(cuts, 20);
}

// The n-th rename fails (the first ones stage and journal, later ones move files aside and into
// place): a failed update leaves release 1, or release 2 when only keeping the backup failed.
TEST_F(WholeReleaseTest, RenameFailingAtAnyStepLeavesOneRelease) {
  int failures = 0;
  for (int n = 1; n < 200; n++) {
    Reset();
    std::unique_ptr<ConfinedDir> posix;
    ASSERT_TRUE(OpenConfinedDir(install_.path(), &posix).ok());
    FaultInjectingDir faulty(posix.get());
    faulty.FailNth(DirOp::kRename, n, EIO);
    std::string error;
    bool ok = Update(&faulty, &error);
    if (faulty.injected() == 0) {
      ASSERT_TRUE(ok) << error;
      break;
    }
    failures++;
    std::string release = WhichRelease();
    if (ok) {
      // A file to delete that cannot be moved aside stays (reported, as any failed deletion).
      ASSERT_EQ(WhichRelease({"extras", "old"}), "2") << "rename " << n;
      release = "2";
    } else {
      ASSERT_TRUE(release == "1" || (release == "2" && Exists("tmp/updater/journal")))
          << "rename " << n << " (" << error << "): " << release;
    }
    ASSERT_EQ(Settle() == "1", release == "1") << "rename " << n;
  }
  EXPECT_GT(failures, 10);
}

// The n-th create, chmod, directory creation or write through the layer fails: the update stops
// with release 1 (or release 2 with its journal still to finish), never a mix, and the next run
// settles it. A failing sync is the power-cut test's business.
TEST_F(WholeReleaseTest, CreateChmodMkdirOrWriteFailingAtAnyStepLeavesOneRelease) {
  const struct {
    DirOp op;
    const char* name;
  } kinds[] = {{DirOp::kCreate, "create"},
               {DirOp::kChmod, "chmod"},
               {DirOp::kMakeDir, "mkdir"},
               {DirOp::kWrite, "write"}};
  for (const auto& kind : kinds) {
    int failures = 0;
    for (int n = 1; n < 200; n++) {
      Reset();
      std::unique_ptr<ConfinedDir> posix;
      ASSERT_TRUE(OpenConfinedDir(install_.path(), &posix).ok());
      FaultInjectingDir faulty(posix.get());
      faulty.FailNth(kind.op, n, EIO);
      std::string error;
      bool ok = Update(&faulty, &error);
      if (faulty.injected() == 0) {
        ASSERT_TRUE(ok) << kind.name << " " << n << ": " << error;
        break;
      }
      failures++;
      std::string release = WhichRelease();
      if (ok) {
        ASSERT_EQ(release, "2") << kind.name << " " << n;
      } else {
        ASSERT_TRUE(release == "1" || (release == "2" && Exists("tmp/updater/journal")))
            << kind.name << " " << n << " (" << error << "): " << release;
      }
      ASSERT_EQ(Settle() == "1", release == "1") << kind.name << " " << n;
    }
    EXPECT_GT(failures, 0) << kind.name << " never reached";
  }
}

// A damaged pack stops the update before anything installed changes; the other packs stay for
// the next run, the damaged one goes.
TEST_F(WholeReleaseTest, DamagedPackLeavesReleaseOne) {
  std::string damaged = DefaultPackName("bin/f3.dat");
  std::string good = testutil::ReadFileOr(site_->PackPath(damaged));
  std::string bad = good;
  bad[bad.size() / 2] ^= 0x55;
  ASSERT_TRUE(testutil::WriteFile(site_->PackPath(damaged), bad));
  size_t first = PackRequests().size();
  // One pack at a time, so that every pack kept is a whole one.
  RunResult r = Run({"--parallel", "1"});
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(HasLineStartingWith(OutputLines(r.out), "Update Complete!")) << r.out;
  EXPECT_EQ(WhichRelease(), "1");
  std::vector<std::string> packs = ListPacks(install_.path());
  EXPECT_EQ(std::count(packs.begin(), packs.end(), damaged), 0);
  EXPECT_GE(packs.size(), 1u);
  // The damaged pack fails its packsha as it arrives and is fetched once more.
  auto requestsOf = [&](const std::string& pack, size_t from) {
    std::vector<std::string> all = PackRequests();
    return std::count_if(all.begin() + static_cast<long>(from), all.end(),
                         [&](const std::string& line) { return line.find(pack) != line.npos; });
  };
  EXPECT_EQ(requestsOf(damaged, first), 2);

  ASSERT_TRUE(testutil::WriteFile(site_->PackPath(damaged), good));
  size_t before = PackRequests().size();
  ASSERT_EQ(Run().code, 0);
  EXPECT_EQ(WhichRelease(), "2");
  // The damaged pack again, and none of the packs kept from the failed run.
  EXPECT_EQ(requestsOf(damaged, before), 1);
  for (const std::string& kept : packs) EXPECT_EQ(requestsOf(kept, before), 0) << kept;
}

// The process may write at most k KiB to any one file, as on a full disk: the run fails with an
// error line and no "Update Complete!", release 1 stays, and the process is not killed.
TEST_F(WholeReleaseTest, FileSizeLimitLeavesReleaseOne) {
  int failures = 0;
  for (int limitKb : {0, 1, 4, 16, 24, 40, 64, 128}) {
    Reset();
    std::string out;
    int sig = 0;
    int code = RunLimited(limitKb, &out, &sig);
    ASSERT_EQ(sig, 0) << "limit " << limitKb << " KiB: killed by signal " << sig;
    ASSERT_TRUE(code == 0 || code == 1) << "limit " << limitKb << " KiB: exit " << code;
    std::string release = WhichRelease();
    if (code == 1) {
      failures++;
      ASSERT_EQ(release, "1") << "limit " << limitKb << " KiB\n" << out;
      EXPECT_EQ(out.find("Update Complete!"), std::string::npos) << out;
    } else {
      ASSERT_EQ(release, "2") << "limit " << limitKb << " KiB";
    }
    EXPECT_NE(Ini().find("core=1"), std::string::npos) << "limit " << limitKb << ": " << Ini();
    ASSERT_EQ(Run().code, 0) << "limit " << limitKb;
    ASSERT_EQ(WhichRelease(), "2");
  }
  EXPECT_GT(failures, 3);

  // Only the added file to install: its pack fits under 4 KiB, its unpacked copy does not, and
  // the error of its last write is reported.
  Tree almost = release2_;
  almost.erase("docs");
  almost.erase("docs/added.txt");
  ResetTo(almost);
  std::string out;
  int sig = 0;
  EXPECT_EQ(RunLimited(4, &out, &sig), 1) << out;
  EXPECT_NE(out.find("Error performing update: "), std::string::npos) << out;
  EXPECT_EQ(Difference(almost, Snapshot(install_.path())), "");
}

// The k-th tracked allocation fails: a clear error and release 1, or the finished update; no
// leaked block.
TEST_F(WholeReleaseTest, AllocationFailuresLeaveOneRelease) {
  std::string ini = work_.Sub(".updater.ini");
  int failedCases = 0, finished = 0;
  for (int64_t k = 1; k < 100000; k += (k < 200 ? 1 : k / 8)) {
    Reset();
    uint64_t blocks = zmem_blocks(), bytes = zmem_bytes();
    bool ok = false, performed = false;
    std::string error;
    uint64_t injected;
    {
      Updater u;
      u.setup(Url().c_str(), base_.c_str(), "updater", ini.c_str(), &g_quiet);
      MemLeak_SetFailCountdown(k, false);
      ok = u.fetchInfo() && u.parseInfo() && u.needsUpdate() && (performed = u.performUpdate()) &&
           u.saveGroupStates();
      injected = MemLeak_InjectedFailures();
      MemLeak_SetFailCountdown(0, false);
      error = u.lastError();
    }
    ASSERT_EQ(zmem_blocks(), blocks) << "k=" << k << " leaked";
    ASSERT_EQ(zmem_bytes(), bytes) << "k=" << k;
    // Without memory for reading the INI file the groups keep their defaults (extras: install).
    ASSERT_EQ(WhichRelease({"extras"}), performed ? "2" : "1") << "k=" << k << ": " << error;
    if (injected == 0) {
      ASSERT_TRUE(ok) << "k=" << k << ": " << error;
      finished++;
      break;
    }
    if (!ok) {
      failedCases++;
      EXPECT_FALSE(error.empty()) << "k=" << k << ": a failure without a message";
    }
  }
  RecordProperty("allocation_failure_cases", failedCases);
  EXPECT_GT(failedCases, 10);
  EXPECT_EQ(finished, 1) << "the sweep never reached a run without injected failures";
}

// The server cuts the connection after k bytes of its responses: a clear error and release 1,
// or the finished update; a rerun completes it.
TEST_F(WholeReleaseTest, ConnectionCutAfterKBytes) {
  testutil::BudgetServer server(site_->root());
  ASSERT_TRUE(server.ok());
  std::string error;
  ASSERT_TRUE(BuildRelease(v2_, site_->root(),
                           "http://127.0.0.1:" + std::to_string(server.port()) + "/packs", &error))
      << error;
  // Once the budget is spent the server answers nothing, so retries would only wait.
  std::vector<std::string> args = {"--server",  "127.0.0.1:" + std::to_string(server.port()),
                                   "-d",        install_.path(),
                                   "--retries", "0"};
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
    ASSERT_EQ(WhichRelease(), r.code == 0 ? "2" : "1") << "cut at " << budget;
    if (r.code == 1) {
      failures++;
      std::string all = Join(OutputLines(r.out));
      EXPECT_TRUE(all.find("Error downloading info files: ") != std::string::npos ||
                  all.find("ODL reports") != std::string::npos ||
                  all.find("Error parsing info files") != std::string::npos)
          << "cut at " << budget << " gave no clear error:\n"
          << all;
      EXPECT_EQ(all.find("Update Complete!"), std::string::npos) << all;
    }
    RunResult again = RunUpdater(args, work_.path());
    ASSERT_EQ(again.code, 0) << "cut at " << budget << ", rerun: " << Join(OutputLines(again.out));
    ASSERT_EQ(WhichRelease(), "2") << "cut at " << budget;
  }
  EXPECT_GT(failures, kCuts / 2);
}

// The program itself killed after a growing number of bytes of the server's responses, and
// after growing delays (which also land in staging and the commit): after the next run has
// finished any journal (without a server) the installation is one release; a rerun completes.
TEST_F(WholeReleaseTest, ProgramKilledAfterVaryingByteCountsAndDelays) {
  testutil::BudgetServer server(site_->root());
  ASSERT_TRUE(server.ok());
  std::string error;
  ASSERT_TRUE(BuildRelease(v2_, site_->root(),
                           "http://127.0.0.1:" + std::to_string(server.port()) + "/packs", &error))
      << error;
  std::vector<std::string> argv = {testutil::BinPath("updater"), "--server",
                                   "127.0.0.1:" + std::to_string(server.port()), "-d",
                                   install_.path()};
  server.Arm(-1, nullptr);
  auto start = std::chrono::steady_clock::now();
  RunResult full = RunUpdater(std::vector<std::string>(argv.begin() + 1, argv.end()), work_.path());
  auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
  ASSERT_EQ(full.code, 0) << Join(OutputLines(full.out));
  int64_t total = server.sent();
  ASSERT_GT(total, 300000);

  const int kKills = 120;
  int killed = 0;
  for (int i = 0; i < 2 * kKills; i++) {
    Reset();
    const bool byBytes = i < kKills;
    const int64_t budget = total * i / kKills + (i % 7) * 13;
    std::atomic<Background*> target{nullptr};
    if (byBytes) {
      server.Arm(budget, [&target] {
        // The child may still be starting when the budget runs out.
        for (int spin = 0; spin < 5000 && target.load() == nullptr; spin++) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (Background* bg = target.load()) bg->Kill(SIGKILL);
      });
    }
    {
      Background run(argv, work_.path());
      ASSERT_TRUE(run.started());
      target = &run;
      if (!byBytes) {
        std::this_thread::sleep_for(std::chrono::microseconds(took * (i - kKills + 1) / kKills));
        run.Kill(SIGKILL);
      }
      ASSERT_TRUE(run.Wait(60000)) << "kill " << i;
      server.Arm(-1, nullptr);  // the hook must not outlive the run it points at
      if (run.termSignal() == SIGKILL) killed++;
    }
    RunResult offline = RunOffline();
    EXPECT_EQ(offline.code, 1);
    std::string release = WhichRelease();
    ASSERT_TRUE(release == "1" || release == "2") << "kill " << i << ": " << release;
    RunResult rerun =
        RunUpdater(std::vector<std::string>(argv.begin() + 1, argv.end()), work_.path());
    ASSERT_EQ(rerun.code, 0) << "kill " << i << ": " << Join(OutputLines(rerun.out));
    ASSERT_EQ(WhichRelease(), "2") << "kill " << i;
  }
  RecordProperty("kills", killed);
  EXPECT_GT(killed, kKills / 2);
}

// A rollback from the command line says what it puts back; --list offers it only while there is
// a backup.
TEST_F(WholeReleaseTest, RollbackFromTheCommandLine) {
  ASSERT_EQ(Run().code, 0);
  ASSERT_EQ(WhichRelease(), "2");
  RunResult list = Run({"--list"});
  EXPECT_TRUE(HasLineStartingWith(OutputLines(list.out), "Rollback available: ")) << list.out;

  RunResult r = RunOffline({"--rollback"});
  ASSERT_EQ(r.code, 0) << r.out;
  std::vector<std::string> lines = OutputLines(r.out);
  EXPECT_TRUE(ContainsInOrder(
      lines,
      {"*** Rolling Back the Last Update ***", "", "Restoring old/legacy.so",
       "Restoring extras/skin.dat", "Restoring the modes of bin/run.sh", "Removing plugins/new.so",
       "Restoring bin/f5.dat", "Restoring bin/f0.dat", "", "Rollback Complete!"}))
      << r.out;
  EXPECT_FALSE(HasLineStartingWith(lines, "Downloading update info"));
  EXPECT_EQ(WhichRelease(), "1");

  r = RunOffline({"--rollback"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(HasLineStartingWith(OutputLines(r.out), "Error rolling back: No earlier release"))
      << r.out;
  list = Run({"--list"});
  EXPECT_FALSE(HasLineStartingWith(OutputLines(list.out), "Rollback available: ")) << list.out;
}

// As root, on a small file system the update does not fit: it says how much it needs and how
// much is free before downloading anything, and release 1 stays.
TEST_F(WholeReleaseTest, TooLittleSpaceIsReportedBeforeDownloading) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  testutil::TempDir mount;
  std::string opts = "size=600k,mode=0755";
  std::string out;
  if (testutil::RunProgram({"/bin/mount", "-t", "tmpfs", "-o", opts, "tmpfs", mount.path()},
                           &out) != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  struct Unmount {
    std::string path;
    ~Unmount() {
      std::string out;
      testutil::RunProgram({"/bin/umount", path}, &out);
    }
  } unmount{mount.path()};
  WriteTree(mount.path(), release1_);
  size_t before = PackRequests().size();
  RunResult r = RunUpdater({"--server", site_->ServerArg(), "-d", mount.path()}, work_.path());
  EXPECT_EQ(r.code, 1);
  std::string line =
      LineStartingWith(OutputLines(r.out), "Error performing update: Not enough free space in ");
  EXPECT_NE(line.find("bytes there"), std::string::npos) << r.out;
  EXPECT_NE(line.find("bytes are free"), std::string::npos) << r.out;
  EXPECT_EQ(PackRequests().size(), before);
  EXPECT_EQ(Difference(release1_, Snapshot(mount.path())), "");
}

}  // namespace
