// Binary deltas: round trips over generated pairs, and patches that are truncated, damaged or
// meant for another old file refused with a reason. Patches between gzip files through their
// uncompressed contents: files made by zlib and by the system's gzip at several levels are
// recompressed exactly, files that cannot be reproduced fall back to a patch of their bytes, and
// damaged gzip patches are refused.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "delta.h"
#include "gzip_member.h"
#include "test_util.h"

namespace {

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Text-like bytes with repeats, the kind of content where matches are found everywhere.
std::string Wordy(size_t n, uint32_t seed) {
  static const std::string kWords[] = {"alpha ",  "beta ",      "gamma ",
                                       "delta\n", "\x7f\x45LF", std::string("\0\0\0\0", 4)};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s.append(kWords[rng() % 6]);
  s.resize(n);
  return s;
}

// An in-memory file descriptor holding data, positioned at its start.
int MemFd(const std::string& data) {
  int fd = memfd_create("delta-test", MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
    close(fd);
    return -1;
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string FdContents(int fd) {
  std::string s;
  char buf[65536];
  ssize_t n;
  lseek(fd, 0, SEEK_SET);
  while ((n = read(fd, buf, sizeof(buf))) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

// Applies patch to old in memory. True with *out on success; false with *error.
bool Apply(const std::string& old_data, const std::string& patch, std::string* out,
           std::string* error) {
  int old_fd = MemFd(old_data), patch_fd = MemFd(patch), out_fd = MemFd("");
  bool ok = DeltaApplyFd(old_fd, patch_fd, out_fd, error);
  *out = FdContents(out_fd);
  close(old_fd);
  close(patch_fd);
  close(out_fd);
  return ok;
}

std::string Make(const std::string& old_data, const std::string& new_data, bool gzip = true,
                 DeltaStats* stats = nullptr) {
  std::string patch, error;
  DeltaMakeOptions options;
  options.level = 3;
  options.gzip = gzip;
  EXPECT_TRUE(DeltaMake(reinterpret_cast<const uint8_t*>(old_data.data()), old_data.size(),
                        reinterpret_cast<const uint8_t*>(new_data.data()), new_data.size(), options,
                        &patch, stats, &error))
      << error;
  return patch;
}

struct Pair {
  const char* name;
  std::string old_data, new_data;
  double max_ratio;  // patch bytes / new bytes at most (0: not checked)
};

std::vector<Pair> GeneratedPairs() {
  std::string base = RandomBytes(200000, 1);
  std::string wordy = Wordy(150000, 2);
  std::vector<Pair> pairs;
  pairs.push_back({"both empty", "", "", 0});
  pairs.push_back({"empty old", "", RandomBytes(5000, 3), 0});
  pairs.push_back({"empty new", base, "", 0});
  pairs.push_back({"identical", base, base, 0.01});
  pairs.push_back({"one byte", "a", "b", 0});
  // Blocks moved around: the patch refers back to them instead of carrying them.
  pairs.push_back({"shifted blocks", base,
                   base.substr(150000) + base.substr(0, 70000) + RandomBytes(1000, 4) +
                       base.substr(70000, 80000),
                   0.05});
  // Scattered single-byte changes, as relocated code has them.
  std::string edited = base;
  for (size_t i = 100; i < edited.size(); i += 997) edited[i] = static_cast<char>(edited[i] + 7);
  pairs.push_back({"scattered edits", base, edited, 0.05});
  std::string inserted = wordy;
  inserted.insert(50000, "a brand new paragraph of text in the middle\n");
  inserted.erase(120000, 300);
  pairs.push_back({"insert and delete in text", wordy, inserted, 0.05});
  pairs.push_back({"unrelated random", RandomBytes(30000, 5), RandomBytes(40000, 6), 1.01});
  pairs.push_back({"new is a prefix of old", base, base.substr(0, 123457), 0.01});
  pairs.push_back({"old is a prefix of new", base.substr(0, 99999), base, 0.6});
  return pairs;
}

TEST(Delta, RoundTripsOverGeneratedPairs) {
  for (const Pair& p : GeneratedPairs()) {
    SCOPED_TRACE(p.name);
    std::string patch = Make(p.old_data, p.new_data);
    std::string out, error;
    ASSERT_TRUE(Apply(p.old_data, patch, &out, &error)) << error;
    EXPECT_TRUE(out == p.new_data);
    if (p.max_ratio > 0) {
      EXPECT_LE(patch.size(), p.max_ratio * p.new_data.size() + kDeltaHeaderSize + 64);
    }
  }
}

TEST(Delta, PatchForAnotherOldFileIsRefused) {
  std::string old_data = Wordy(20000, 7), new_data = Wordy(21000, 8);
  std::string patch = Make(old_data, new_data);
  std::string other = old_data;
  other[5000] ^= 1;
  for (const std::string& wrong : {other, old_data.substr(1), std::string()}) {
    std::string out, error;
    EXPECT_FALSE(Apply(wrong, patch, &out, &error));
    EXPECT_NE(error.find("another old file"), std::string::npos) << error;
    EXPECT_TRUE(out.empty());
  }
}

TEST(Delta, TruncatedPatchIsRefusedAtEveryLength) {
  std::string old_data = RandomBytes(3000, 9), new_data = old_data;
  new_data.insert(1000, RandomBytes(300, 10));
  new_data[2500] ^= 0x55;
  std::string patch = Make(old_data, new_data);
  for (size_t len = 0; len < patch.size(); ++len) {
    std::string out, error;
    EXPECT_FALSE(Apply(old_data, patch.substr(0, len), &out, &error)) << "length " << len;
    EXPECT_FALSE(error.empty());
  }
  std::string out, error;
  EXPECT_FALSE(Apply(old_data, patch + "x", &out, &error));
  EXPECT_NE(error.find("does not match"), std::string::npos) << error;
}

TEST(Delta, DamagedPatchNeverYieldsAWrongFile) {
  std::string old_data = RandomBytes(3000, 11), new_data = old_data;
  new_data.insert(700, RandomBytes(200, 12));
  for (size_t i = 1500; i < 1600; ++i) new_data[i] = static_cast<char>(new_data[i] + 1);
  std::string patch = Make(old_data, new_data);
  size_t refused = 0;
  for (size_t at = 0; at < patch.size(); ++at) {
    for (uint8_t flip : {0x01, 0x80, 0xff}) {
      std::string bad = patch;
      bad[at] = static_cast<char>(bad[at] ^ flip);
      std::string out, error;
      if (Apply(old_data, bad, &out, &error)) {
        EXPECT_TRUE(out == new_data) << "byte " << at << " flipped with " << int(flip);
      } else {
        EXPECT_FALSE(error.empty());
        ++refused;
      }
    }
  }
  EXPECT_GT(refused, patch.size() * 2);
}

TEST(Delta, HeaderFaultsNameTheirCause) {
  std::string old_data = Wordy(5000, 13), new_data = Wordy(5200, 14);
  std::string patch = Make(old_data, new_data);
  struct Case {
    const char* name;
    std::string patch;
    const char* reason;
  };
  std::string magic = patch, version = patch;
  magic[0] = 'X';
  version[8] = 2;  // the header checksum catches this before the version is read
  const Case cases[] = {
      {"empty", "", "truncated"},
      {"short header", patch.substr(0, 60), "truncated"},
      {"magic", magic, "wrong magic"},
      {"version", version, "checksum"},
      {"text", std::string(200, 'a'), "wrong magic"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out, error;
    EXPECT_FALSE(Apply(old_data, c.patch, &out, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(Delta, FileCommandsRoundTripAndLeaveNothingOnFailure) {
  testutil::TempDir dir;
  std::string old_data = Wordy(40000, 15), new_data = old_data;
  new_data.replace(1000, 50, "fifty bytes of replacement text that differ here..");
  ASSERT_TRUE(testutil::WriteFile(dir.Sub("old"), old_data));
  ASSERT_TRUE(testutil::WriteFile(dir.Sub("new"), new_data));
  std::string out;
  ASSERT_EQ(testutil::RunProgram({testutil::BinPath("updater-publish"), "diff", "--quiet",
                                  dir.Sub("old"), dir.Sub("new"), dir.Sub("patch")},
                                 &out),
            0)
      << out;
  ASSERT_EQ(testutil::RunProgram({testutil::BinPath("updater-publish"), "apply", dir.Sub("old"),
                                  dir.Sub("patch"), dir.Sub("out")},
                                 &out),
            0)
      << out;
  EXPECT_TRUE(testutil::ReadFileOr(dir.Sub("out")) == new_data);

  // Applied to the new file instead of the old one: refused, and no output left behind.
  EXPECT_EQ(testutil::RunProgram({testutil::BinPath("updater-publish"), "apply", dir.Sub("new"),
                                  dir.Sub("patch"), dir.Sub("out2")},
                                 &out),
            1);
  EXPECT_NE(out.find("another old file"), std::string::npos) << out;
  EXPECT_FALSE(testutil::FileExists(dir.Sub("out2")));
  std::string error;
  EXPECT_FALSE(DeltaMakeFile(dir.Sub("missing"), dir.Sub("new"), dir.Sub("p2"), DeltaMakeOptions(),
                             nullptr, &error));
  EXPECT_NE(error.find(dir.Sub("missing")), std::string::npos) << error;
  EXPECT_FALSE(testutil::FileExists(dir.Sub("p2")));
}

// ---------------------------------------------------------------------------------------------
// Gzip files.

// Text-like bytes: a skewed choice among a few thousand made-up words, with markup lines, so
// that deflate finds matches everywhere and gzip ends its blocks at points of its own.
std::string Text(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> words(3000);
  for (std::string& w : words) {
    for (size_t len = 2 + rng() % 8; w.size() < len;) w += static_cast<char>('a' + rng() % 26);
  }
  std::string s;
  while (s.size() < n) {
    s += words[rng() % (rng() % words.size() + 1)];
    s += rng() % 12 == 0 ? "\n.PP\n" : " ";
  }
  s.resize(n);
  return s;
}

// A gzip file of raw made by zlib itself (its gzip wrapper: no name, time 0).
std::string ZlibGzip(const std::string& raw, int level, int mem_level, int strategy) {
  z_stream s = {};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, 31, mem_level, strategy), Z_OK);
  std::string out(deflateBound(&s, raw.size()) + 64, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  s.avail_in = static_cast<uInt>(raw.size());
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// A gzip file of raw made by the system's gzip with the given options (stdin is not ours to
// give, so it compresses a file).
std::string SystemGzip(const std::string& raw, const std::string& options) {
  testutil::TempDir dir;
  const std::string path = dir.Sub("content");
  EXPECT_TRUE(testutil::WriteFile(path, raw));
  std::string out;
  EXPECT_EQ(testutil::RunProgram({"/bin/gzip", options, path}, &out), 0) << out;
  return testutil::ReadFileOr(path + ".gz");
}

// Two versions of a document: the version string near the start and one paragraph change.
struct Versions {
  std::string old_raw, new_raw;
};
Versions TwoVersions(size_t n, uint32_t seed) {
  Versions v;
  const std::string body = Text(n, seed);
  v.old_raw = "OpenSSL 3.0.17 manual\n" + body;
  v.new_raw = "OpenSSL 3.0.22 manual\n" + body;
  v.new_raw.insert(v.new_raw.size() / 2, "\n.PP\nA paragraph that is new in this version.\n");
  return v;
}

struct Maker {
  const char* name;
  std::string (*compress)(const std::string& raw);
  // gzip below level 9 fills blocks larger than zlib's at its hash size: large files of it
  // are not reproducible, and get a byte patch.
  bool large_reproducible;
};

const Maker kReproducible[] = {
    {"zlib -1", [](const std::string& r) { return ZlibGzip(r, 1, 8, Z_DEFAULT_STRATEGY); }, true},
    {"zlib -6", [](const std::string& r) { return ZlibGzip(r, 6, 8, Z_DEFAULT_STRATEGY); }, true},
    {"zlib -9", [](const std::string& r) { return ZlibGzip(r, 9, 8, Z_DEFAULT_STRATEGY); }, true},
    {"zlib -9, memory level 9",
     [](const std::string& r) { return ZlibGzip(r, 9, 9, Z_DEFAULT_STRATEGY); }, true},
    {"gzip -9n", [](const std::string& r) { return SystemGzip(r, "-9n"); }, true},
    {"gzip -6n", [](const std::string& r) { return SystemGzip(r, "-6n"); }, false},
    // Without -n gzip stores the name and time: the header is kept literally.
    {"gzip -9 with name", [](const std::string& r) { return SystemGzip(r, "-9"); }, true},
};

TEST(DeltaGzip, ReproducibleFilesGoThroughTheirContents) {
  for (size_t size : {size_t{6000}, size_t{300000}}) {
    const Versions v = TwoVersions(size, static_cast<uint32_t>(size));
    for (const Maker& m : kReproducible) {
      SCOPED_TRACE(std::string(m.name) + ", " + std::to_string(size) + " bytes");
      const std::string old_gz = m.compress(v.old_raw), new_gz = m.compress(v.new_raw);
      DeltaStats gz_stats, byte_stats;
      const std::string patch = Make(old_gz, new_gz, true, &gz_stats);
      const std::string bytes = Make(old_gz, new_gz, false, &byte_stats);
      EXPECT_FALSE(byte_stats.gzip);
      if (size < 100000 || m.large_reproducible) {
        EXPECT_TRUE(gz_stats.gzip);
        EXPECT_LT(patch.size() * 4, bytes.size());
      }
      std::string out, error;
      ASSERT_TRUE(Apply(old_gz, patch, &out, &error)) << error;
      EXPECT_TRUE(out == new_gz);
    }
  }
}

TEST(DeltaGzip, LargeGzipFilesNeedTheirBlockEnds) {
  // A start of long repeats between pairs of letters: gzip ends a block early there (where its
  // estimate says the block compresses well), which zlib never does; every later block then
  // starts elsewhere than zlib's, and only the noted block ends give the file back.
  std::mt19937 rng(4);
  std::string phrases[8];
  for (std::string& p : phrases) {
    while (p.size() < 30) p += static_cast<char>('a' + rng() % 26);
  }
  std::string raw;
  for (int i = 0; i < 2000; ++i) {
    raw += static_cast<char>('a' + rng() % 26);
    raw += static_cast<char>('a' + rng() % 26);
    raw += phrases[rng() % 8];
  }
  raw += Text(300000, 3);
  const std::string gz = SystemGzip(raw, "-9n");
  const uint8_t* data = reinterpret_cast<const uint8_t*>(gz.data());
  std::vector<uint8_t> content;
  std::vector<uint64_t> ends;
  size_t head = 0;
  std::string error;
  ASSERT_TRUE(GzipInflate(data, gz.size(), kGzipMaxRawSize, &content, &head, &ends, &error))
      << error;
  ASSERT_FALSE(ends.empty());
  GzipRecipe recipe;
  ASSERT_TRUE(GzipFindRecipe(data, gz.size(), content, head, ends, &recipe));
  EXPECT_EQ(recipe.block_ends, ends);
  EXPECT_EQ(recipe.level, 9);
}

TEST(DeltaGzip, UnreproducibleOrBrokenFilesGetAByteRoundTrip) {
  const Versions v = TwoVersions(20000, 5);
  const std::string old_gz = SystemGzip(v.old_raw, "-9n"), new_gz = SystemGzip(v.new_raw, "-9n");
  std::string bad_crc = new_gz;
  bad_crc[bad_crc.size() - 6] ^= 1;
  struct Case {
    const char* name;
    std::string old_data, new_data;
  };
  const Case cases[] = {
      {"strategy zlib is not asked for", old_gz, ZlibGzip(v.new_raw, 1, 8, Z_HUFFMAN_ONLY)},
      {"two members", old_gz, new_gz + new_gz},
      {"data after the member", old_gz, new_gz + std::string(4, '\0')},
      {"wrong CRC-32", old_gz, bad_crc},
      {"truncated new", old_gz, new_gz.substr(0, new_gz.size() - 9)},
      {"old is not gzip", v.old_raw, new_gz},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeltaStats stats;
    const std::string patch = Make(c.old_data, c.new_data, true, &stats);
    EXPECT_FALSE(stats.gzip);
    std::string out, error;
    ASSERT_TRUE(Apply(c.old_data, patch, &out, &error)) << error;
    EXPECT_TRUE(out == c.new_data);
  }
}

TEST(DeltaGzip, InflateNamesWhatIsWrong) {
  const std::string gz = ZlibGzip(Text(5000, 6), 9, 8, Z_DEFAULT_STRATEGY);
  std::string reserved = gz, method = gz, long_name = gz.substr(0, 10);
  reserved[3] = static_cast<char>(0x20);
  method[2] = 7;
  long_name[3] = 8;  // FNAME, never terminated
  long_name += std::string(100, 'n');
  struct Case {
    const char* name;
    std::string data;
    uint64_t max_raw;
    const char* reason;
  };
  const Case cases[] = {
      {"reserved flag", reserved, kGzipMaxRawSize, "not a gzip file"},
      {"other method", method, kGzipMaxRawSize, "not a gzip file"},
      {"unterminated name", long_name, kGzipMaxRawSize, "not a gzip file"},
      {"larger than allowed", gz, 4999, "more than 4999 bytes"},
      {"no trailer", gz.substr(0, gz.size() - 3), kGzipMaxRawSize, "truncated"},
      {"stream cut", gz.substr(0, gz.size() / 2), kGzipMaxRawSize, "truncated"},
      {"length wrong", gz.substr(0, gz.size() - 1) + "\x01", kGzipMaxRawSize, "length"},
      {"two members", gz + gz, kGzipMaxRawSize, "after its first member"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> raw;
    size_t head = 0;
    std::string error;
    EXPECT_FALSE(GzipInflate(reinterpret_cast<const uint8_t*>(c.data.data()), c.data.size(),
                             c.max_raw, &raw, &head, nullptr, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

// Sets the header's checksum right after a change to its bytes.
void FixHeaderCrc(std::string* patch) {
  const uint32_t crc = static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(patch->data()), kDeltaHeaderSize - 4));
  for (int i = 0; i < 4; ++i)
    (*patch)[kDeltaHeaderSize - 4 + i] = static_cast<char>(crc >> (8 * i));
}

TEST(DeltaGzip, DamagedGzipPatchIsRefusedOrExact) {
  const Versions v = TwoVersions(3000, 7);
  const std::string old_gz = SystemGzip(v.old_raw, "-9n"), new_gz = SystemGzip(v.new_raw, "-9n");
  DeltaStats stats;
  const std::string patch = Make(old_gz, new_gz, true, &stats);
  ASSERT_TRUE(stats.gzip);
  for (size_t len = 0; len < patch.size(); ++len) {
    std::string out, error;
    EXPECT_FALSE(Apply(old_gz, patch.substr(0, len), &out, &error)) << "length " << len;
  }
  // Every byte after the header: the recipe is not covered by the header's checksum, so only
  // the digest of the result can catch some of its faults.
  size_t refused = 0;
  for (size_t at = kDeltaHeaderSize; at < patch.size(); ++at) {
    for (uint8_t flip : {0x01, 0x80}) {
      std::string bad = patch, out, error;
      bad[at] = static_cast<char>(bad[at] ^ flip);
      if (Apply(old_gz, bad, &out, &error)) {
        EXPECT_TRUE(out == new_gz) << "byte " << at;
      } else {
        ++refused;
        EXPECT_FALSE(error.empty());
      }
    }
  }
  EXPECT_GT(refused, patch.size() - kDeltaHeaderSize);
  // The flag and the recipe length go together; another flag is unknown.
  std::string no_flag = patch, no_length = patch, unknown = patch;
  no_flag[12] &= ~2;
  no_length[120] = no_length[121] = no_length[122] = no_length[123] = 0;
  unknown[12] |= 4;
  for (std::string* bad : {&no_flag, &no_length, &unknown}) {
    FixHeaderCrc(bad);
    std::string out, error;
    EXPECT_FALSE(Apply(old_gz, *bad, &out, &error));
    EXPECT_NE(error.find("does not know"), std::string::npos) << error;
  }
}

}  // namespace
