// Binary deltas: round trips over generated pairs, and patches that are truncated, damaged or
// meant for another old file refused with a reason.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <string>

#include "delta.h"
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

std::string Make(const std::string& old_data, const std::string& new_data) {
  std::string patch, error;
  DeltaMakeOptions options;
  options.level = 3;
  EXPECT_TRUE(DeltaMake(reinterpret_cast<const uint8_t*>(old_data.data()), old_data.size(),
                        reinterpret_cast<const uint8_t*>(new_data.data()), new_data.size(), options,
                        &patch, nullptr, &error))
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

}  // namespace
