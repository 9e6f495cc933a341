#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "hash.h"
#include "memleak.h"
#include "stream_handle.h"
#include "test_util.h"

namespace {

using testutil::TempDir;
using testutil::WriteFile;

// Switches the allocation countdown off again whatever happens in the test.
struct FailCountdown {
  FailCountdown(int64_t k, bool persistent) { MemLeak_SetFailCountdown(k, persistent); }
  ~FailCountdown() { MemLeak_SetFailCountdown(0, false); }
};

std::string HashOf(const char* name, const std::string& data) {
  char text[129];
  memset(text, 0, sizeof(text));
  EXPECT_TRUE(hash_buffer(name, data.data(), data.size(), text, sizeof(text))) << name;
  return text;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

struct Vector {
  std::string input;
  const char* digest;
};

TEST(HashVectors, Md5Rfc1321Suite) {
  const Vector vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {std::string(
           "12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Vector& v : vectors) EXPECT_EQ(v.digest, HashOf("md5", v.input)) << v.input;
}

TEST(HashVectors, Sha256Fips180Examples) {
  const Vector vectors[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(v.digest, HashOf("sha256", v.input)) << v.input.substr(0, 20);
  }
}

TEST(HashVectors, OtherOpenSslNamesWork) {
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", HashOf("sha1", "abc"));
  EXPECT_EQ(testutil::Sha256Hex("abc"), HashOf("SHA256", "abc"));
}

TEST(HashFile, MatchesIndependentDigestsAcrossBlockBoundaries) {
  TempDir dir;
  // Sizes around the read block and well past it, plus the empty file.
  for (size_t size : {size_t{0}, size_t{1}, size_t{32767}, size_t{32768}, size_t{32769},
                      size_t{65536}, size_t{3 * 65536 + 17}, size_t{1000003}}) {
    std::string data = RandomBytes(size, static_cast<unsigned>(size));
    std::string path = dir.Sub("f" + std::to_string(size));
    ASSERT_TRUE(WriteFile(path, data));
    char sha[65], md5[33];
    EXPECT_TRUE(hash_file("sha256", path.c_str(), sha, sizeof(sha))) << size;
    EXPECT_EQ(testutil::Sha256Hex(data), sha) << size;
    EXPECT_TRUE(hash_file("md5", path.c_str(), md5, sizeof(md5))) << size;
    EXPECT_EQ(testutil::Md5Hex(data), md5) << size;
  }
}

TEST(HashFile, TextBufferMustHoldTheWholeDigest) {
  TempDir dir;
  std::string path = dir.Sub("abc");
  ASSERT_TRUE(WriteFile(path, "abc"));
  char text[80];
  memset(text, 'x', sizeof(text));
  EXPECT_FALSE(hash_file("sha256", path.c_str(), text, 64));
  EXPECT_EQ(std::string(80, 'x'), std::string(text, 80));
  EXPECT_FALSE(hash_file("md5", path.c_str(), text, 32));
  EXPECT_EQ(std::string(80, 'x'), std::string(text, 80));

  EXPECT_TRUE(hash_file("sha256", path.c_str(), text, 65));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", std::string(text));
  EXPECT_EQ('x', text[65]);
  memset(text, 'x', sizeof(text));
  EXPECT_TRUE(hash_file("md5", path.c_str(), text, 33));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", std::string(text));
  EXPECT_EQ('x', text[33]);

  memset(text, 'x', sizeof(text));
  EXPECT_FALSE(hash_buffer("sha256", "abc", 3, text, 64));
  EXPECT_EQ(std::string(80, 'x'), std::string(text, 80));
}

TEST(HashFile, MissingOrUnreadableFileLeavesTextAlone) {
  TempDir dir;
  char text[65];
  memset(text, 'x', sizeof(text));
  EXPECT_FALSE(hash_file("sha256", dir.Sub("missing").c_str(), text, sizeof(text)));
  EXPECT_EQ(std::string(65, 'x'), std::string(text, 65));
  // A directory opens for reading but cannot be read.
  EXPECT_FALSE(hash_file("sha256", dir.path().c_str(), text, sizeof(text)));
  EXPECT_FALSE(hash_file("sha256", nullptr, text, sizeof(text)));
}

TEST(HashNames, UnknownNameFailsEverywhereWithoutLeaks) {
  TempDir dir;
  std::string path = dir.Sub("abc");
  ASSERT_TRUE(WriteFile(path, "abc"));
  uint64_t before = zmem_blocks();
  char text[129];
  memset(text, 'x', sizeof(text));
  EXPECT_EQ(nullptr, hash_init("no-such-digest"));
  EXPECT_EQ(nullptr, hash_init(nullptr));
  EXPECT_FALSE(hash_buffer("no-such-digest", "abc", 3, text, sizeof(text)));
  EXPECT_FALSE(hash_file("no-such-digest", path.c_str(), text, sizeof(text)));
  StreamHandle* h = CreateMemoryHandle(3);
  EXPECT_FALSE(hash_handle("no-such-digest", h, text, sizeof(text)));
  h->close(h);
  FILE* fp = fopen(path.c_str(), "rb");
  ASSERT_NE(nullptr, fp);
  EXPECT_FALSE(hash_fp("no-such-digest", fp, text, sizeof(text)));
  fclose(fp);
  EXPECT_EQ(std::string(129, 'x'), std::string(text, 129));
  EXPECT_EQ(before, zmem_blocks());
}

TEST(HashHandle, DigestsTheWholeStreamWhereverItStands) {
  std::string data = RandomBytes(100000, 7);
  StreamHandle* h = WrapMemoryHandle(&data[0], data.size());
  h->seek(h, 12345, 0);
  char text[65];
  EXPECT_TRUE(hash_handle("sha256", h, text, sizeof(text)));
  EXPECT_EQ(testutil::Sha256Hex(data), text);
  EXPECT_EQ(static_cast<int64_t>(data.size()), h->tell(h));
  h->close(h);

  // An empty stream gives the digest of no bytes.
  h = CreateMemoryHandle(0);
  EXPECT_TRUE(hash_handle("md5", h, text, sizeof(text)));
  EXPECT_STREQ("d41d8cd98f00b204e9800998ecf8427e", text);
  h->close(h);
}

// A memory handle whose tell claims ten bytes more than the block holds, so the last read
// comes up short.
int64_t LongTell(StreamHandle* h) { return static_cast<MemoryBuffer*>(h->data)->size + 10; }

TEST(HashHandle, ShortReadFailsButKeepsTheDigestOfWhatWasRead) {
  // A stream shorter than its first block: the short read feeds nothing.
  std::string small = "abcdefghij";
  StreamHandle* h = WrapMemoryHandle(&small[0], small.size());
  h->tell = LongTell;
  char text[65];
  memset(text, 'x', sizeof(text));
  EXPECT_FALSE(hash_handle("sha256", h, text, sizeof(text)));
  EXPECT_EQ(testutil::Sha256Hex(""), text);
  h->close(h);

  // A longer stream: the text holds the digest of the whole blocks before the short one.
  std::string data = RandomBytes(70000, 9);
  h = WrapMemoryHandle(&data[0], data.size());
  h->tell = LongTell;
  memset(text, 'x', sizeof(text));
  EXPECT_FALSE(hash_handle("sha256", h, text, sizeof(text)));
  size_t fed = std::string::npos;
  for (size_t k = 4096; k < data.size(); k += 4096) {
    if (testutil::Sha256Hex(data.substr(0, k)) == text) fed = k;
  }
  EXPECT_NE(std::string::npos, fed) << "not the digest of a prefix of whole blocks: " << text;
  h->close(h);
}

int64_t FailingSeek(StreamHandle*, int64_t, int) { return -1; }
int64_t FailingTell(StreamHandle*) { return -1; }

TEST(HashHandle, StreamThatCannotBeMeasuredFails) {
  std::string data = "abc";
  StreamHandle* h = WrapMemoryHandle(&data[0], data.size());
  h->seek = FailingSeek;
  char text[65];
  EXPECT_FALSE(hash_handle("sha256", h, text, sizeof(text)));
  h->close(h);
  h = WrapMemoryHandle(&data[0], data.size());
  h->tell = FailingTell;
  EXPECT_FALSE(hash_handle("sha256", h, text, sizeof(text)));
  h->close(h);

  // A pipe cannot be measured either; its digest must not pass for that of an empty stream.
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  ASSERT_EQ(3, write(fds[1], "abc", 3));
  close(fds[1]);
  FILE* fp = fdopen(fds[0], "rb");
  ASSERT_NE(nullptr, fp);
  EXPECT_FALSE(hash_fp("sha256", fp, text, sizeof(text)));
  fclose(fp);
  EXPECT_FALSE(hash_handle("sha256", nullptr, text, sizeof(text)));
}

TEST(HashFp, LeavesTheStreamOpenAfterTheBytesRead) {
  TempDir dir;
  std::string path = dir.Sub("data");
  std::string data = RandomBytes(50000, 3);
  ASSERT_TRUE(WriteFile(path, data));
  FILE* fp = fopen(path.c_str(), "rb");
  ASSERT_NE(nullptr, fp);
  ASSERT_EQ(0, fseeko(fp, 999, SEEK_SET));
  char text[33];
  EXPECT_TRUE(hash_fp("md5", fp, text, sizeof(text)));
  EXPECT_EQ(testutil::Md5Hex(data), text);
  EXPECT_EQ(50000, ftello(fp));
  ASSERT_EQ(0, fseeko(fp, 0, SEEK_SET));
  EXPECT_EQ(static_cast<unsigned char>(data[0]), fgetc(fp));
  EXPECT_EQ(0, fclose(fp));
  EXPECT_FALSE(hash_fp("md5", nullptr, text, sizeof(text)));
}

TEST(HashContext, IncrementalEqualsOneShot) {
  std::string data = RandomBytes(10000, 11);
  HashContext* ctx = hash_init("sha256");
  ASSERT_NE(nullptr, ctx);
  EXPECT_EQ(32, ctx->digest_size);
  EXPECT_EQ(64, ctx->block_size);
  for (size_t pos = 0; pos < data.size(); pos += 777) {
    EXPECT_EQ(1, hash_update(ctx, data.data() + pos, std::min<size_t>(777, data.size() - pos)));
  }
  unsigned char digest[32];
  EXPECT_TRUE(hash_finish(ctx, digest, sizeof(digest)));
  char text[65];
  EXPECT_EQ(testutil::Sha256Hex(data), std::string(bin_to_hex(digest, 32, text)));

  ctx = hash_init("md5");
  ASSERT_NE(nullptr, ctx);
  EXPECT_EQ(16, ctx->digest_size);
  EXPECT_TRUE(hash_finish(ctx, digest, sizeof(digest)));
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", std::string(bin_to_hex(digest, 16, text)));
}

TEST(HashContext, FinishIntoSmallBufferTruncatesAndSays) {
  uint64_t blocks = zmem_blocks();
  HashContext* ctx = hash_init("md5");
  ASSERT_NE(nullptr, ctx);
  hash_update(ctx, "abc", 3);
  unsigned char out[16];
  memset(out, 0xEE, sizeof(out));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(hash_finish(ctx, out, 10));
  EXPECT_EQ("VSL: Output buffer too small in hash_finish()!\n",
            testing::internal::GetCapturedStdout());
  char text[33];
  EXPECT_EQ("900150983cd24fb0d696", std::string(bin_to_hex(out, 10, text)));
  for (int i = 10; i < 16; ++i) EXPECT_EQ(0xEE, out[i]) << "byte " << i;
  EXPECT_EQ(blocks, zmem_blocks());
}

TEST(Hex, BinToHex) {
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
  char text[8];
  memset(text, '#', sizeof(text));
  EXPECT_EQ(text, bin_to_hex(bytes, 3, text));
  EXPECT_STREQ("00abff", text);
  EXPECT_EQ('#', text[7]);
  EXPECT_STREQ("", bin_to_hex(bytes, 0, text));
}

TEST(Hex, BinToHexHasNoLengthCap) {
  const size_t n = 70000;
  std::string bytes = RandomBytes(n, 5);
  std::vector<char> text(2 * n + 1 + 4, '#');
  bin_to_hex(bytes.data(), n, text.data());
  EXPECT_EQ(2 * n, strlen(text.data()));
  for (size_t i = 2 * n + 1; i < text.size(); ++i) EXPECT_EQ('#', text[i]);
  char pair[3];
  for (size_t i = 0; i < n; i += 997) {
    snprintf(pair, sizeof(pair), "%02x", static_cast<unsigned char>(bytes[i]));
    ASSERT_EQ(std::string(pair), std::string(&text[2 * i], 2)) << "byte " << i;
  }
  snprintf(pair, sizeof(pair), "%02x", static_cast<unsigned char>(bytes[n - 1]));
  EXPECT_EQ(std::string(pair), std::string(&text[2 * n - 2], 2));
}

TEST(Hex, HexToBin) {
  unsigned char out[4];
  memset(out, 0xEE, sizeof(out));
  EXPECT_TRUE(hex_to_bin("00ABff", out, 3));
  EXPECT_EQ(0x00, out[0]);
  EXPECT_EQ(0xAB, out[1]);
  EXPECT_EQ(0xFF, out[2]);
  EXPECT_EQ(0xEE, out[3]);

  // The rest of a larger buffer is zeroed.
  memset(out, 0xEE, sizeof(out));
  EXPECT_TRUE(hex_to_bin("7f", out, 4));
  EXPECT_EQ(0x7F, out[0]);
  EXPECT_EQ(0, out[1]);
  EXPECT_EQ(0, out[3]);

  // Odd length and a too-small buffer fail with the output zeroed.
  memset(out, 0xEE, sizeof(out));
  EXPECT_FALSE(hex_to_bin("abc", out, 4));
  for (unsigned char b : out) EXPECT_EQ(0, b);
  memset(out, 0xEE, sizeof(out));
  EXPECT_FALSE(hex_to_bin("0102030405", out, 4));
  for (unsigned char b : out) EXPECT_EQ(0, b);
  EXPECT_FALSE(hex_to_bin(nullptr, out, 4));

  // Characters that are not hex digits count as 0.
  EXPECT_TRUE(hex_to_bin("zzg1", out, 2));
  EXPECT_EQ(0x00, out[0]);
  EXPECT_EQ(0x01, out[1]);
  EXPECT_TRUE(hex_to_bin("", out, 0));
}

TEST(Hex, DigitValues) {
  const char digits[] = "0123456789abcdef";
  const char upper[] = "0123456789ABCDEF";
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(i, hex_digit_value(digits[i]));
    EXPECT_EQ(i, hex_digit_value(upper[i]));
  }
  for (char c : {'g', 'G', 'z', ' ', '\0', '/', ':', '@', '`', '\xff'}) {
    EXPECT_EQ(0, hex_digit_value(c)) << static_cast<int>(c);
  }
}

// With the k-th tracked allocation failing, every entry point either gives the right digest
// or a plain false with the text untouched, and leaks nothing.
TEST(HashFaults, AllocationFailuresAreFailuresNotCrashes) {
  TempDir dir;
  std::string path = dir.Sub("abc");
  ASSERT_TRUE(WriteFile(path, "abc"));
  const std::string want = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  for (int entry = 0; entry < 4; ++entry) {
    bool succeeded = false;
    for (int64_t k = 1; k <= 5 && !succeeded; ++k) {
      uint64_t blocks = zmem_blocks();
      FILE* fp = fopen(path.c_str(), "rb");
      ASSERT_NE(nullptr, fp);
      StreamHandle* h = WrapMemoryHandle(const_cast<char*>("abc"), 3);
      char text[65];
      memset(text, 'x', sizeof(text));
      bool ok;
      {
        FailCountdown fail(k, true);
        switch (entry) {
          case 0:
            ok = hash_buffer("sha256", "abc", 3, text, sizeof(text));
            break;
          case 1:
            ok = hash_file("sha256", path.c_str(), text, sizeof(text));
            break;
          case 2:
            ok = hash_fp("sha256", fp, text, sizeof(text));
            break;
          default:
            ok = hash_handle("sha256", h, text, sizeof(text));
            break;
        }
      }
      h->close(h);
      fclose(fp);
      if (ok) {
        EXPECT_EQ(want, std::string(text)) << "entry " << entry << " k=" << k;
        succeeded = true;
      } else {
        EXPECT_EQ(std::string(65, 'x'), std::string(text, 65)) << "entry " << entry << " k=" << k;
      }
      EXPECT_EQ(blocks, zmem_blocks()) << "entry " << entry << " k=" << k;
    }
    EXPECT_TRUE(succeeded) << "entry " << entry;
  }
  {
    FailCountdown fail(1, true);
    EXPECT_EQ(nullptr, hash_init("md5"));
  }
}

}  // namespace
