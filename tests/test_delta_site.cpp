// Patches in sites: the publisher's patches from earlier releases (which, how many, when they
// are left out), and the updater using them with the full pack as its fallback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

using testutil::BinPath;
using testutil::ReadFileOr;
using testutil::RunProgram;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

const char kChannel[] = "kestrl5-full-debian9.x86_64.info";

std::string Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() % 7 == 0 ? rng() : rng() % 16);
  return s;
}

// A program-like file of version v: the same body with a few bytes patched per version, so
// that each version differs from the others in small places.
std::string Program(int v) {
  std::string s = Random(120000, 42);
  for (size_t at = 1000; at < s.size(); at += 9973) s[at + v] = static_cast<char>('A' + v);
  s.insert(5000, "version " + std::to_string(v) + "\n");
  return s;
}

// Release v: a program that changes a little, a file that changes completely, one that never
// changes.
std::map<std::string, std::string> ReleaseFiles(int v) {
  return {{"bin/app", Program(v)},
          {"data/blob", Random(20000, 100 + v)},
          {"docs/readme.txt", "read me\n"}};
}

struct Patch {
  std::string from, url, packsize, packsha;
};

std::string Attr(const std::string& line, const std::string& name) {
  size_t p = line.find(" " + name + "=\"");
  if (p == std::string::npos) return "";
  p += name.size() + 3;
  return line.substr(p, line.find('"', p) - p);
}

// The patches listed under the record of name in the document text, and the record's line.
std::vector<Patch> PatchesOf(const std::string& doc, const std::string& name,
                             std::string* record = nullptr) {
  std::vector<Patch> out;
  size_t at = doc.find("<file file=\"" + name + "\"");
  if (at == std::string::npos) return out;
  size_t end = doc.find('\n', at);
  if (record) *record = doc.substr(at, end - at);
  if (doc.compare(end - 2, 2, "/>") == 0) return out;
  size_t close = doc.find("</file>", end);
  for (size_t p = doc.find("<patch", end); p < close; p = doc.find("<patch", p + 1)) {
    std::string line = doc.substr(p, doc.find('\n', p) - p);
    out.push_back(
        {Attr(line, "from"), Attr(line, "url"), Attr(line, "packsize"), Attr(line, "packsha")});
  }
  return out;
}

struct Result {
  int code = -1;
  std::string out;
};

class DeltaSite : public ::testing::Test {
 protected:
  // Writes release v into its own tree and publishes it into the site.
  Result Publish(int v, std::vector<std::string> extra = {}) {
    std::string tree = tmp_.Sub("release-" + std::to_string(v));
    for (const auto& f : ReleaseFiles(v)) WriteFile(tree + "/" + f.first, f.second);
    std::vector<std::string> args = {
        BinPath("updater-publish"), "publish", tree, Site(), "--site-url", "http://127.0.0.1:9/"};
    args.insert(args.end(), extra.begin(), extra.end());
    Result r;
    r.code = RunProgram(args, &r.out);
    return r;
  }
  std::string Site() const { return tmp_.Sub("site"); }
  std::string Doc() const { return ReadFileOr(Site() + "/updates/" + kChannel); }

  // Applies a listed patch to old content with the publisher's own command.
  std::string ApplyListed(const Patch& p, const std::string& old_content) {
    WriteFile(tmp_.Sub("old"), old_content);
    std::string out;
    int code = RunProgram({BinPath("updater-publish"), "apply", tmp_.Sub("old"),
                           Site() + "/files/" + p.url, tmp_.Sub("new")},
                          &out);
    return code == 0 ? ReadFileOr(tmp_.Sub("new")) : "<failed: " + out + ">";
  }

  TempDir tmp_;
};

TEST_F(DeltaSite, PatchesFromTheLastReleasesApplyToTheirOldVersions) {
  ASSERT_EQ(Publish(1).code, 0);
  EXPECT_TRUE(PatchesOf(Doc(), "bin/app").empty());  // nothing to patch from yet
  ASSERT_EQ(Publish(2).code, 0);
  auto r = Publish(3);
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Patches: 2 made"), std::string::npos) << r.out;

  std::string doc = Doc(), record;
  std::vector<Patch> patches = PatchesOf(doc, "bin/app", &record);
  ASSERT_EQ(patches.size(), 2u) << doc;
  // Newest release first; each patch named by its digest and turning its version into 3.
  const int versions[] = {2, 1};
  for (size_t n = 0; n < 2; ++n) {
    SCOPED_TRACE(n);
    const Patch& p = patches[n];
    EXPECT_EQ(p.from, testutil::Sha256Hex(Program(versions[n])));
    EXPECT_EQ(p.url, p.packsha.substr(0, 2) + "/" + p.packsha);
    std::string bytes = ReadFileOr(Site() + "/files/" + p.url);
    EXPECT_EQ(testutil::Sha256Hex(bytes), p.packsha);
    EXPECT_EQ(std::to_string(bytes.size()), p.packsize);
    EXPECT_LT(bytes.size() * 100, std::stoull(Attr(record, "packsize")) * 60);
    EXPECT_TRUE(ApplyListed(p, Program(versions[n])) == Program(3));
  }
  // A file rewritten from scratch gets no patch (not below 60 % of its pack); an unchanged
  // one has nothing to patch.
  EXPECT_TRUE(PatchesOf(doc, "data/blob").empty());
  EXPECT_TRUE(PatchesOf(doc, "docs/readme.txt").empty());
  EXPECT_NE(r.out.find("2 not smaller than 60%"), std::string::npos) << r.out;
}

TEST_F(DeltaSite, OptionsLimitThePatches) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    size_t patches;
  };
  const Case cases[] = {
      {"default: two releases back", {}, 2},
      {"one release back", {"--deltas", "1"}, 1},
      {"turned off", {"--deltas", "0"}, 0},
      {"files above the size limit", {"--delta-max-size", "0"}, 0},
      {"a first release", {"--no-previous"}, 0},
      {"enciphered packs", {"--encrypt"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::RemoveTree(Site());
    ASSERT_EQ(Publish(1, c.options).code, 0);
    ASSERT_EQ(Publish(2, c.options).code, 0);
    auto r = Publish(3, c.options);
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(PatchesOf(Doc(), "bin/app").size(), c.patches) << Doc();
  }
}

TEST_F(DeltaSite, RepublishingKeepsPatchesAndAReleaseThatLostItsPackGetsNone) {
  ASSERT_EQ(Publish(1).code, 0);
  ASSERT_EQ(Publish(2).code, 0);
  std::vector<Patch> first = PatchesOf(Doc(), "bin/app");
  ASSERT_EQ(first.size(), 1u);
  // The same release again: the patch is taken over, not made again.
  auto r = Publish(2);
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("0 made, 1 kept"), std::string::npos) << r.out;
  std::vector<Patch> again = PatchesOf(Doc(), "bin/app");
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].url, first[0].url);

  // Release 1's pack of the program is gone: no patch from it, the rest goes on.
  std::string doc1 = ReadFileOr(Site() + "/history/000001.info"), record;
  PatchesOf(doc1, "bin/app", &record);
  ASSERT_EQ(unlink((Site() + "/files/" + Attr(record, "url")).c_str()), 0);
  r = Publish(3);
  ASSERT_EQ(r.code, 0) << r.out;
  std::vector<Patch> third = PatchesOf(Doc(), "bin/app");
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(third[0].from, testutil::Sha256Hex(Program(2)));
  EXPECT_NE(r.out.find("1 without a usable old version"), std::string::npos) << r.out;
}

}  // namespace
