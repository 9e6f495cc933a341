// Patches in sites: the publisher's patches from earlier releases (which, how many, when they
// are left out), and the updater using them with the full pack as its fallback.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"
#include "updater_harness.h"

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

// ---- The updater with patches ----

// A site served by nginx with releases 1 and 2 published into it, and an installation of
// release 1 made by the updater.
class DeltaUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::HaveNginx()) GTEST_SKIP() << "nginx missing";
    testutil::MakeDirs(tmp_.Sub("site"));
    nginx_.reset(new testutil::NginxServer(tmp_.Sub("site")));
    ASSERT_TRUE(nginx_->ok()) << nginx_->error();
    ASSERT_EQ(Publish(1), 0);
    updtest::RunResult r = Update();
    ASSERT_EQ(r.code, 0) << r.out;
    ASSERT_TRUE(ReadFileOr(tmp_.Sub("inst/bin/app")) == Program(1));
    ASSERT_EQ(Publish(2), 0);
  }

  int Publish(int v, std::vector<std::string> extra = {}) {
    std::string tree = tmp_.Sub("release-" + std::to_string(v));
    for (const auto& f : ReleaseFiles(v)) WriteFile(tree + "/" + f.first, f.second);
    std::vector<std::string> args = {BinPath("updater-publish"),
                                     "publish",
                                     tree,
                                     tmp_.Sub("site"),
                                     "--quiet",
                                     "--site-url",
                                     "http://127.0.0.1:" + std::to_string(nginx_->port()) + "/"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string out;
    return RunProgram(args, &out);
  }

  updtest::RunResult Update(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--server", "127.0.0.1:" + std::to_string(nginx_->port()),
                                     "-d", tmp_.Sub("inst")};
    args.insert(args.end(), extra.begin(), extra.end());
    testutil::MakeDirs(tmp_.Sub("work"));
    return updtest::RunUpdater(args, tmp_.Sub("work"));
  }

  std::string Doc() const { return ReadFileOr(tmp_.Sub("site/updates/") + kChannel); }
  // True when the access log holds a request for the URL (relative to files/).
  bool Fetched(const std::string& url) const {
    return nginx_->AccessLog().find("/files/" + url) != std::string::npos;
  }

  TempDir tmp_;
  std::unique_ptr<testutil::NginxServer> nginx_;
};

TEST_F(DeltaUpdate, ChangedFileComesFromItsPatch) {
  std::string record;
  std::vector<Patch> patches = PatchesOf(Doc(), "bin/app", &record);
  ASSERT_EQ(patches.size(), 1u);
  updtest::RunResult list = Update({"--list"});
  EXPECT_NE(list.out.find("bin/app (" + std::to_string(Program(2).size()) + " bytes, patch of " +
                          patches[0].packsize + " bytes)"),
            std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("(1 of them patches"), std::string::npos) << list.out;
  // The total counts what really goes over the wire: the patch, and the other file's pack.
  std::string blob;
  PatchesOf(Doc(), "data/blob", &blob);
  const long long total = std::stoll(patches[0].packsize) + std::stoll(Attr(blob, "packsize"));
  EXPECT_NE(list.out.find("Total to download: " + std::to_string(total) + " bytes in 2 file(s)"),
            std::string::npos)
      << list.out;

  updtest::RunResult r = Update();
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Patched bin/app"), std::string::npos) << r.out;
  EXPECT_TRUE(ReadFileOr(tmp_.Sub("inst/bin/app")) == Program(2));
  EXPECT_TRUE(ReadFileOr(tmp_.Sub("inst/data/blob")) == ReleaseFiles(2)["data/blob"]);
  EXPECT_TRUE(Fetched(patches[0].url));
  EXPECT_FALSE(Fetched(Attr(record, "url")));
  EXPECT_NE(Update().out.find("Nothing to be done"), std::string::npos);
}

TEST_F(DeltaUpdate, FullPackWhenThePatchDoesNotFit) {
  std::string record;
  std::vector<Patch> patches = PatchesOf(Doc(), "bin/app", &record);
  ASSERT_EQ(patches.size(), 1u);
  // Made for another old file, listed with its true digest and size.
  std::string other = tmp_.Sub("other.patch");
  WriteFile(tmp_.Sub("a"), Program(1));
  WriteFile(tmp_.Sub("b"), Program(1) + "tail");
  std::string out;
  ASSERT_EQ(RunProgram({BinPath("updater-publish"), "diff", "--quiet", tmp_.Sub("a"), tmp_.Sub("b"),
                        other},
                       &out),
            0);
  std::string wrong = ReadFileOr(other);
  std::string damaged = ReadFileOr(tmp_.Sub("site/files/") + patches[0].url);
  damaged[damaged.size() / 2] ^= 0x20;
  struct Case {
    const char* name;
    std::string patch;     // bytes served as the patch
    bool relist;           // list the bytes' own digest and size in the document
    std::string expected;  // reason in the fallback line
  };
  const Case cases[] = {
      {"builds another version", wrong, true, "builds another version"},
      // (the download itself checks the packsha, fetches once more, then gives up)
      {"damaged in transit", damaged, false, "Checksum does not match for the pack of"},
      {"damaged at the source", damaged, true, "damaged"},
  };
  const std::string original_doc = Doc();
  const std::string original_patch = ReadFileOr(tmp_.Sub("site/files/") + patches[0].url);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(tmp_.Sub("site/files/") + patches[0].url, c.patch);
    std::string doc = original_doc;
    if (c.relist) {
      auto swap = [&doc](const std::string& from, const std::string& to) {
        doc.replace(doc.find(from), from.size(), to);
      };
      swap("packsize=\"" + patches[0].packsize + "\"",
           "packsize=\"" + std::to_string(c.patch.size()) + "\"");
      swap("packsha=\"" + patches[0].packsha + "\"",
           "packsha=\"" + testutil::Sha256Hex(c.patch) + "\"");
    }
    WriteFile(tmp_.Sub("site/updates/") + kChannel, doc);
    WriteFile(tmp_.Sub("inst/bin/app"), Program(1));
    updtest::RunResult r = Update();
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("Patch for bin/app not used ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("downloading the full pack instead"), std::string::npos) << r.out;
    EXPECT_TRUE(ReadFileOr(tmp_.Sub("inst/bin/app")) == Program(2));
    EXPECT_TRUE(Fetched(Attr(record, "url")));
  }
  WriteFile(tmp_.Sub("site/files/") + patches[0].url, original_patch);
}

TEST_F(DeltaUpdate, PatchIgnoredForAnotherInstalledCopyOrWhenTurnedOff) {
  std::string record;
  std::vector<Patch> patches = PatchesOf(Doc(), "bin/app", &record);
  ASSERT_EQ(patches.size(), 1u);
  struct Case {
    const char* name;
    std::string installed;
    std::vector<std::string> options;
  };
  const Case cases[] = {
      {"installed copy changed locally", Program(1) + "local change", {}},
      {"deltas turned off", Program(1), {"--no-delta"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(tmp_.Sub("inst/bin/app"), c.installed);
    std::vector<std::string> list_options = c.options;
    list_options.push_back("--list");
    EXPECT_EQ(Update(list_options).out.find("patch of"), std::string::npos);
    updtest::RunResult r = Update(c.options);
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out.find("Patch"), std::string::npos) << r.out;
    EXPECT_TRUE(ReadFileOr(tmp_.Sub("inst/bin/app")) == Program(2));
    EXPECT_FALSE(Fetched(patches[0].url));
  }
}

// A manual page of version v compressed as gzip -9n would: its version line near the start
// changes every compressed byte after it.
std::string Manual(int v) {
  std::string text = "manual of app version " + std::to_string(v) + "\n";
  std::mt19937 rng(7);
  while (text.size() < 60000) text += "option " + std::to_string(rng() % 5000) + " sets a value\n";
  z_stream s = {};
  std::string gz(text.size() + 1024, '\0');
  if (deflateInit2(&s, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return "";
  s.next_in = reinterpret_cast<Bytef*>(&text[0]);
  s.avail_in = static_cast<uInt>(text.size());
  s.next_out = reinterpret_cast<Bytef*>(&gz[0]);
  s.avail_out = static_cast<uInt>(gz.size());
  const bool ok = deflate(&s, Z_FINISH) == Z_STREAM_END;
  gz.resize(s.total_out);
  deflateEnd(&s);
  return ok ? gz : "";
}

TEST_F(DeltaUpdate, GzipFileIsPatchedThroughItsContent) {
  // Release 3 adds the compressed manual, release 4 changes its version.
  for (int v : {3, 4}) {
    ASSERT_TRUE(WriteFile(tmp_.Sub("release-" + std::to_string(v) + "/docs/app.1.gz"), Manual(v)));
    ASSERT_EQ(Publish(v), 0);
    if (v == 3) {
      ASSERT_EQ(Update().code, 0);
    }
  }
  std::string record;
  std::vector<Patch> patches = PatchesOf(Doc(), "docs/app.1.gz", &record);
  ASSERT_EQ(patches.size(), 1u);
  // A patch of the compressed bytes would be about as large as the file.
  EXPECT_LT(std::stoll(patches[0].packsize) * 10, static_cast<long long>(Manual(4).size()));
  updtest::RunResult r = Update();
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Patched docs/app.1.gz"), std::string::npos) << r.out;
  EXPECT_TRUE(ReadFileOr(tmp_.Sub("inst/docs/app.1.gz")) == Manual(4));
  EXPECT_TRUE(Fetched(patches[0].url));
  EXPECT_FALSE(Fetched(Attr(record, "url")));
}

TEST_F(DeltaUpdate, SignedDocumentsStillUsePatches) {
  // Trusted keys make every pack face its digest before anything is installed; a copy built from
  // a patch has had its patch checked instead.
  std::string out;
  ASSERT_EQ(RunProgram({BinPath("updater-publish"), "keygen", "--secret-key", tmp_.Sub("v.key"),
                        "--public-key", tmp_.Sub("v.pub")},
                       &out),
            0)
      << out;
  ASSERT_EQ(Publish(2, {"--sign-key", tmp_.Sub("v.key")}), 0);
  updtest::RunResult r = Update({"--trusted-key", tmp_.Sub("v.pub")});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Patched bin/app"), std::string::npos) << r.out;
  EXPECT_TRUE(ReadFileOr(tmp_.Sub("inst/bin/app")) == Program(2));
}

}  // namespace
