// The engine's downloads through the transport: a pack cut in one run is continued by the next,
// packs come from the mirrors when the primary is dead, and a pack longer than its "packsize"
// is refused.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "budget_server.h"
#include "libupdater.h"
#include "test_clock.h"
#include "test_util.h"
#include "updater_harness.h"

using testutil::ReadFileOr;
using testutil::SteppingClock;
using testutil::TempDir;
using updtest::BuildRelease;
using updtest::DefaultPackName;
using updtest::FixtureFile;
using updtest::RandomBytes;
using updtest::ReleaseSpec;

namespace {

const bool kSigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
const char kChannel[] = "/updates/kestrl5-full-debian9.x86_64.info";

FixtureFile Plain(const std::string& name, const std::string& content) {
  FixtureFile f;
  f.file = name;
  f.content = content;
  return f;
}

std::vector<std::string> g_lines;
bool Collect(const char* text) {
  g_lines.push_back(text);
  return true;
}

size_t CountStartingWith(const std::string& prefix) {
  size_t n = 0;
  for (const std::string& line : g_lines) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

size_t CountContaining(const std::string& text) {
  size_t n = 0;
  for (const std::string& line : g_lines) n += line.find(text) != std::string::npos ? 1 : 0;
  return n;
}

class EngineTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    g_lines.clear();
    ASSERT_TRUE(getcwd(old_cwd_, sizeof(old_cwd_)));
    // fetchInfo keeps its temporary document in the working directory.
    ASSERT_EQ(chdir(cwd_.path().c_str()), 0);
  }
  void TearDown() override { EXPECT_EQ(chdir(old_cwd_), 0); }

  // One whole run of the engine; the error text, empty on success.
  std::string Update(const std::string& doc_url, const TransportSettings& settings,
                     TransportClock* clock = nullptr) {
    UpdaterCallbacks cb = {nullptr, nullptr, Collect, Collect};
    Updater u;
    u.setup(doc_url.c_str(), base().c_str(), "updater", "", &cb);
    u.setTransfer(settings, clock);
    bool ok = u.fetchInfo() && u.parseInfo() && (!u.needsUpdate() || u.performUpdate());
    return ok ? "" : std::string("failed: ") + u.lastError();
  }
  std::string base() const { return install_.path() + "/"; }

  TempDir root_, install_, cwd_;
  char old_cwd_[4096];
};

TEST_F(EngineTransfer, PackCutInOneRunIsContinuedByTheNext) {
  testutil::BudgetServer server(root_.path());
  ASSERT_TRUE(server.ok());
  const std::string host = "http://127.0.0.1:" + std::to_string(server.port());
  ReleaseSpec rel;
  const std::string content = RandomBytes(600000, 5);
  rel.files = {Plain("big.bin", content)};
  std::string error;
  ASSERT_TRUE(BuildRelease(rel, root_.path(), host + "/packs", &error)) << error;
  const size_t pack_size = ReadFileOr(root_.Sub("packs/" + DefaultPackName("big.bin"))).size();
  const size_t doc_size = ReadFileOr(root_.path() + kChannel).size();
  ASSERT_GT(pack_size, 500000u);

  TransportSettings settings;
  settings.retries = 0;
  server.Arm(static_cast<int64_t>(doc_size) + 250000, nullptr);
  EXPECT_NE(Update(host + kChannel, settings), "");
  const int64_t first = server.sent();
  const std::string partial = base() + "tmp/updater/" + DefaultPackName("big.bin");
  EXPECT_GT(ReadFileOr(partial).size(), 100000u);
  EXPECT_LT(ReadFileOr(partial).size(), pack_size);

  server.Arm(-1, nullptr);
  EXPECT_EQ(Update(host + kChannel, settings), "");
  EXPECT_EQ(ReadFileOr(base() + "big.bin"), content);
  // Each byte of the pack went over the wire about once: both documents, one pack, headers.
  EXPECT_LT(static_cast<size_t>(first + server.sent()), 2 * doc_size + pack_size + 2048);
}

TEST_F(EngineTransfer, DeadPrimaryAndMirrors) {
  testutil::NginxServer nginx(root_.path());
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  const std::string dead = "http://127.0.0.1:" + std::to_string(testutil::FreePort());
  const std::string also_dead = "http://127.0.0.1:" + std::to_string(testutil::FreePort());
  ReleaseSpec rel;
  rel.files = {Plain("a.txt", "from a mirror\n")};
  std::string error;
  ASSERT_TRUE(BuildRelease(rel, root_.path(), dead + "/packs", &error)) << error;
  const std::string doc = ReadFileOr(root_.path() + kChannel);
  ASSERT_NE(doc.find("<files"), std::string::npos);
  struct Case {
    const char* name;
    std::vector<std::string> mirrors;
    bool ok;
    size_t sleeps;
  } cases[] = {
      {"second mirror works", {also_dead + "/packs/", nginx.Url("/packs")}, true, 4},
      {"every mirror dead", {also_dead + "/packs/"}, false, 4},
  };
  for (const Case& c : cases) {
    std::string list = "<mirrors>";
    for (const std::string& m : c.mirrors) list += "<mirror url=\"" + m + "\"/>";
    std::string patched = doc;
    patched.insert(patched.find("<files"), list + "</mirrors>\n");
    ASSERT_TRUE(testutil::WriteFile(root_.path() + kChannel, patched));
    testutil::RemoveTree(install_.path());
    testutil::MakeDirs(install_.path());
    g_lines.clear();

    SteppingClock clock(1);
    TransportSettings settings;
    settings.retries = 2;
    std::string result = Update(nginx.Url(kChannel), settings, &clock);
    if (c.ok) {
      EXPECT_EQ(result, "") << c.name;
      EXPECT_EQ(ReadFileOr(base() + "a.txt"), "from a mirror\n") << c.name;
    } else {
      EXPECT_EQ(result, "failed: ODL reports 'Error Connecting to Host' while downloading 'a.txt'")
          << c.name;
    }
    EXPECT_EQ(CountStartingWith("Trying mirror "), c.mirrors.size()) << c.name;
    EXPECT_EQ(CountContaining("Connection refused; retry "), c.sleeps) << c.name;
    // Two retries at each dead place, each announced, none slept for real.
    EXPECT_EQ(clock.sleeps.size(), c.sleeps) << c.name;
  }
}

TEST_F(EngineTransfer, PackLongerThanItsPacksizeIsRefused) {
  testutil::NginxServer nginx(root_.path());
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  ReleaseSpec rel;
  FixtureFile f = Plain("a.bin", RandomBytes(50000, 3));
  f.attrs = {{"packsize", "1000"}};
  rel.files = {f};
  std::string error;
  ASSERT_TRUE(BuildRelease(rel, root_.path(), nginx.Url("/packs"), &error)) << error;
  TransportSettings settings;
  const std::string result = Update(nginx.Url(kChannel), settings);
  EXPECT_EQ(result.rfind("failed: The pack of 'a.bin' (", 0), 0u) << result;
  EXPECT_NE(result.find("is longer than its packsize of 1000 bytes"), std::string::npos) << result;
  EXPECT_LE(ReadFileOr(base() + "tmp/updater/" + DefaultPackName("a.bin")).size(), 1000u);
  EXPECT_EQ(CountStartingWith("127.0.0.1:" + std::to_string(nginx.port()) +
                              " sends more than the limit of 1000 bytes"),
            1u);
}

}  // namespace
