// Tests of the minisign-format module: keys and signatures exchanged both ways with the real
// minisign program, and a table of signatures that must not verify.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "minisign.h"
#include "test_util.h"

using testutil::ReadFileOr;
using testutil::RunProgram;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

// Cheap scrypt cost for tests (16 MiB); the file format carries it, so minisign uses it too.
const minisign::KdfCost kTestCost = {1 << 20, 1 << 24};
const char kMinisign[] = "/usr/bin/minisign";

bool HaveMinisign() { return testutil::FileExists(kMinisign); }

// Runs minisign through the shell so that a password can come from a file on standard input.
int Minisign(const std::string& args, std::string* out, const std::string& stdinFile = "") {
  std::string cmd = std::string(kMinisign) + " " + args + " < " +
                    (stdinFile.empty() ? std::string("/dev/null") : stdinFile);
  return RunProgram({"/bin/sh", "-c", cmd}, out);
}

std::vector<minisign::PublicKey> Keys(const std::string& text) {
  std::vector<minisign::PublicKey> keys;
  std::string error;
  EXPECT_TRUE(minisign::ParsePublicKeys(text, &keys, &error)) << error;
  return keys;
}

// The verdict on data held in memory; the same data read from a file must get the same one.
minisign::Verdict Check(const std::vector<minisign::PublicKey>& keys, const std::string& data,
                        const std::string& sig, std::string* comment = nullptr) {
  std::string c, id, error;
  minisign::Verdict v = minisign::Verify(keys, data.data(), data.size(), sig, &c, &id, &error);
  if (comment) *comment = c;
  int fd = memfd_create("signed", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  std::string fileComment, fileId, fileError;
  EXPECT_EQ(minisign::VerifyFile(keys, fd, sig, &fileComment, &fileId, &fileError), v);
  EXPECT_EQ(fileComment, c);
  EXPECT_EQ(fileError, error);
  close(fd);
  return v;
}

std::string MustSign(const minisign::SecretKey& key, const std::string& data,
                     minisign::Algorithm alg = minisign::Algorithm::kPrehashed,
                     const std::string& comment = "timestamp:1\tfile:doc\thashed") {
  std::string sig, error;
  EXPECT_TRUE(minisign::Sign(key, data.data(), data.size(), alg, comment, &sig, &error)) << error;
  return sig;
}

class MinisignInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveMinisign()) GTEST_SKIP() << "minisign is not installed";
  }
  std::string Path(const std::string& name) const { return dir_.Sub(name); }
  TempDir dir_;
};

TEST_F(MinisignInterop, MinisignSignaturesVerifyInBothAlgorithms) {
  std::string out;
  ASSERT_EQ(Minisign("-G -W -p " + Path("k.pub") + " -s " + Path("k.key"), &out), 0) << out;
  const std::string data = "release document\n";
  ASSERT_TRUE(WriteFile(Path("doc"), data));
  std::vector<minisign::PublicKey> keys = Keys(ReadFileOr(Path("k.pub")));
  ASSERT_EQ(keys.size(), 1u);
  for (const char* flag : {"", "-l"}) {
    SCOPED_TRACE(flag);
    ASSERT_EQ(Minisign(std::string("-S ") + flag + " -s " + Path("k.key") + " -m " + Path("doc") +
                           " -t 'serial 7'",
                       &out),
              0)
        << out;
    std::string sig = ReadFileOr(Path("doc.minisig")), comment;
    EXPECT_EQ(Check(keys, data, sig, &comment), minisign::Verdict::kValid);
    EXPECT_EQ(comment, "serial 7");
    EXPECT_EQ(Check(keys, data + "x", sig), minisign::Verdict::kBadSignature);
  }
}

TEST_F(MinisignInterop, MinisignKeySignsHereAndMinisignVerifies) {
  std::string out, error;
  ASSERT_EQ(Minisign("-G -W -p " + Path("k.pub") + " -s " + Path("k.key"), &out), 0) << out;
  minisign::SecretKey key;
  ASSERT_TRUE(minisign::ParseSecretKey(ReadFileOr(Path("k.key")), nullptr, &key, &error)) << error;
  std::vector<minisign::PublicKey> keys = Keys(ReadFileOr(Path("k.pub")));
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(minisign::FormatPublicKey(keys[0]), minisign::FormatPublicKey(minisign::PublicOf(key)));
  const std::string data(100000, 'q');
  ASSERT_TRUE(WriteFile(Path("doc"), data));
  for (auto alg : {minisign::Algorithm::kPrehashed, minisign::Algorithm::kLegacy}) {
    ASSERT_TRUE(WriteFile(Path("doc.minisig"), MustSign(key, data, alg, "made here")));
    EXPECT_EQ(Minisign("-V -p " + Path("k.pub") + " -m " + Path("doc"), &out), 0) << out;
    EXPECT_NE(out.find("made here"), std::string::npos) << out;
  }
}

TEST_F(MinisignInterop, KeysMadeHereSignWithMinisign) {
  struct Case {
    const char* name;
    const char* password;  // null: unencrypted
  };
  for (const Case& c : {Case{"plain", nullptr}, Case{"encrypted", "correct horse"}}) {
    SCOPED_TRACE(c.name);
    minisign::SecretKey key;
    minisign::PublicKey pub;
    std::string error, text, out;
    ASSERT_TRUE(minisign::GenerateKeyPair(&key, &pub, &error)) << error;
    std::string password = c.password ? c.password : "";
    ASSERT_TRUE(
        minisign::FormatSecretKey(key, c.password ? &password : nullptr, kTestCost, &text, &error))
        << error;
    ASSERT_TRUE(WriteFile(Path("our.key"), text));
    ASSERT_TRUE(WriteFile(Path("our.pub"), minisign::FormatPublicKey(pub)));
    ASSERT_TRUE(WriteFile(Path("pw"), password + "\n"));
    ASSERT_TRUE(WriteFile(Path("doc"), "signed by minisign with our key"));
    ASSERT_EQ(Minisign("-S -s " + Path("our.key") + " -m " + Path("doc"), &out, Path("pw")), 0)
        << out;
    EXPECT_EQ(Check({pub}, "signed by minisign with our key", ReadFileOr(Path("doc.minisig"))),
              minisign::Verdict::kValid);
    EXPECT_EQ(Minisign("-V -p " + Path("our.pub") + " -m " + Path("doc"), &out), 0) << out;
    // minisign shows the same key id as we do.
    EXPECT_NE(ReadFileOr(Path("our.pub")).find(minisign::KeyIdText(pub.id)), std::string::npos);

    // Read back: the right password gives the same key, a wrong one is told apart.
    minisign::SecretKey back;
    ASSERT_TRUE(minisign::ParseSecretKey(text, c.password ? &password : nullptr, &back, &error))
        << error;
    EXPECT_EQ(minisign::FormatPublicKey(minisign::PublicOf(back)), minisign::FormatPublicKey(pub));
    if (c.password) {
      std::string wrong = "wrong";
      EXPECT_FALSE(minisign::ParseSecretKey(text, &wrong, &back, &error));
      EXPECT_NE(error.find("wrong password"), std::string::npos) << error;
      EXPECT_FALSE(minisign::ParseSecretKey(text, nullptr, &back, &error));
      EXPECT_NE(error.find("password is needed"), std::string::npos) << error;
    }
  }
}

// Flips the byte at offset into the base64 line `line` (0-based) of a signature file.
std::string FlipInLine(const std::string& sig, int line, size_t offset) {
  size_t pos = 0;
  for (int i = 0; i < line; i++) pos = sig.find('\n', pos) + 1;
  std::string out = sig;
  out[pos + offset] = out[pos + offset] == 'A' ? 'B' : 'A';
  return out;
}

TEST(MinisignVerify, RefusalTable) {
  minisign::SecretKey key, other;
  minisign::PublicKey pub, otherPub;
  std::string error;
  ASSERT_TRUE(minisign::GenerateKeyPair(&key, &pub, &error)) << error;
  ASSERT_TRUE(minisign::GenerateKeyPair(&other, &otherPub, &error)) << error;
  const std::string data = "<update_info version=\"2\" serial=\"4\"/>\n";
  const std::string good = MustSign(key, data);
  std::string large;
  for (int i = 0; large.size() < 200 * 1024; i++)
    large += "<file name=\"f" + std::to_string(i) + "\"/>\n";
  std::string changedComment = good;
  changedComment.replace(changedComment.find("timestamp:1"), 11, "timestamp:2");
  struct Case {
    const char* name;
    std::string data, sig;
    minisign::Verdict want;
  };
  const std::vector<Case> cases = {
      {"valid", data, good, minisign::Verdict::kValid},
      {"legacy valid", data, MustSign(key, data, minisign::Algorithm::kLegacy),
       minisign::Verdict::kValid},
      {"flipped document byte", std::string(data).replace(5, 1, "X"), good,
       minisign::Verdict::kBadSignature},
      {"flipped signature byte", data, FlipInLine(good, 1, 40), minisign::Verdict::kBadSignature},
      {"flipped global signature byte", data, FlipInLine(good, 3, 10),
       minisign::Verdict::kBadComment},
      {"trusted comment changed", data, changedComment, minisign::Verdict::kBadComment},
      {"another key", data, MustSign(other, data), minisign::Verdict::kUnknownKey},
      {"empty", data, "", minisign::Verdict::kMalformed},
      {"html error page", data, "<html>404</html>\n", minisign::Verdict::kMalformed},
      {"cut short", data, good.substr(0, good.size() / 2), minisign::Verdict::kMalformed},
      {"old key then new key", data, MustSign(other, data) + good, minisign::Verdict::kValid},
      {"large, read in several blocks", large, MustSign(key, large), minisign::Verdict::kValid},
      {"large legacy", large, MustSign(key, large, minisign::Algorithm::kLegacy),
       minisign::Verdict::kValid},
      {"large, last byte changed", large.substr(0, large.size() - 1) + "!", MustSign(key, large),
       minisign::Verdict::kBadSignature},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Check({pub}, c.data, c.sig), c.want);
  }
  // A signature by a key id we trust but made with another secret key is a bad signature.
  minisign::SecretKey forged = other;
  memcpy(forged.id, key.id, sizeof(forged.id));
  EXPECT_EQ(Check({pub}, data, MustSign(forged, data)), minisign::Verdict::kBadSignature);
  // Either of two trusted keys will do.
  EXPECT_EQ(Check({otherPub, pub}, data, good), minisign::Verdict::kValid);
}

TEST(MinisignKeys, PublicKeyFilesAndDamagedSecretKeys) {
  minisign::SecretKey a, b;
  minisign::PublicKey pa, pb;
  std::string error, text;
  ASSERT_TRUE(minisign::GenerateKeyPair(&a, &pa, &error)) << error;
  ASSERT_TRUE(minisign::GenerateKeyPair(&b, &pb, &error)) << error;
  // Two key files one after the other (a key change) give both keys.
  std::vector<minisign::PublicKey> keys =
      Keys(minisign::FormatPublicKey(pa) + "\n" + minisign::FormatPublicKey(pb));
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(minisign::KeyIdText(keys[1].id), minisign::KeyIdText(pb.id));
  for (const char* bad : {"", "untrusted comment: nothing\n", "RWQ=\n", "not base64 at all\n"}) {
    keys.clear();
    EXPECT_FALSE(minisign::ParsePublicKeys(bad, &keys, &error)) << bad;
  }
  ASSERT_TRUE(minisign::FormatSecretKey(a, nullptr, kTestCost, &text, &error)) << error;
  minisign::SecretKey back;
  ASSERT_TRUE(minisign::ParseSecretKey(text, nullptr, &back, &error)) << error;
  // Damage inside the key bytes is caught by the checksum.
  size_t line = text.find('\n') + 1;
  std::string damaged = text;
  damaged[line + 120] = damaged[line + 120] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(minisign::ParseSecretKey(damaged, nullptr, &back, &error));
  EXPECT_FALSE(minisign::ParseSecretKey(minisign::FormatPublicKey(pa), nullptr, &back, &error));
}

}  // namespace
