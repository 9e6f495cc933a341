// Tests of the publisher's keys and signatures: keygen, signed publication (checked with the real
// minisign), serials and expiry on the documents, offline signing with the `sign` command, and
// the refusals that must leave the site as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

#include "minisign.h"
#include "test_util.h"
#include "utc_time.h"

using testutil::BinPath;
using testutil::FileExists;
using testutil::ReadFileOr;
using testutil::RunProgram;
using testutil::SourcePath;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

const char kDoc[] = "updates/kestrl5-full-debian9.x86_64.info";
const minisign::KdfCost kTestCost = {1 << 20, 1 << 24};

struct Result {
  int code = -1;
  std::string out, err;
};

Result Tool(std::vector<std::string> args) {
  args.insert(args.begin(), BinPath("updater-publish"));
  Result r;
  r.code = RunProgram(args, &r.out, &r.err);
  return r;
}

Result Publish(const std::string& version, const std::string& site,
               std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"publish",
                                   SourcePath("examples/vantorex-" + version),
                                   site,
                                   "--site-url",
                                   "http://127.0.0.1:1/",
                                   "--quiet"};
  args.insert(args.end(), extra.begin(), extra.end());
  return Tool(args);
}

// minisign -V of a document against a public key file.
bool MinisignAccepts(const std::string& pub, const std::string& doc) {
  std::string out;
  return RunProgram({"/usr/bin/minisign", "-V", "-q", "-p", pub, "-m", doc}, &out) == 0;
}

std::string RootAttr(const std::string& text, const std::string& name) {
  size_t root = text.find("<update_info");
  size_t end = text.find('>', root);
  size_t at = text.find(" " + name + "=\"", root);
  if (root == std::string::npos || at == std::string::npos || at > end) return "";
  at += name.size() + 3;
  return text.substr(at, text.find('"', at) - at);
}

class PublishSigning : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FileExists("/usr/bin/minisign")) GTEST_SKIP() << "minisign is not installed";
  }
  std::string P(const std::string& rel) const { return dir_.Sub(rel); }
  TempDir dir_;
};

TEST_F(PublishSigning, KeygenWritesMinisignKeysAndNeverOverwrites) {
  Result r = Tool({"keygen", "--secret-key", P("a.key"), "--public-key", P("a.pub")});
  ASSERT_EQ(r.code, 0) << r.out;
  struct stat st;
  ASSERT_EQ(stat(P("a.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // minisign signs with our secret key; the signature verifies under our public key.
  ASSERT_TRUE(WriteFile(P("doc"), "data"));
  std::string out;
  ASSERT_EQ(RunProgram({"/usr/bin/minisign", "-S", "-s", P("a.key"), "-m", P("doc")}, &out), 0)
      << out;
  EXPECT_TRUE(MinisignAccepts(P("a.pub"), P("doc")));

  const std::string key = ReadFileOr(P("a.key")), pub = ReadFileOr(P("a.pub"));
  for (const auto& pair : std::vector<std::vector<std::string>>{{P("a.key"), P("new.pub")},
                                                                {P("new.key"), P("a.pub")}}) {
    r = Tool({"keygen", "--secret-key", pair[0], "--public-key", pair[1]});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("refusing to overwrite"), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadFileOr(P("a.key")), key);
  EXPECT_EQ(ReadFileOr(P("a.pub")), pub);
  EXPECT_FALSE(FileExists(P("new.key")));
  EXPECT_FALSE(FileExists(P("new.pub")));
}

TEST_F(PublishSigning, SignedPublicationsCarrySerialExpiryAndPackSizes) {
  ASSERT_EQ(Tool({"keygen", "--secret-key", P("k.key"), "--public-key", P("k.pub")}).code, 0);
  const std::string site = P("site"), doc = P("site/") + kDoc;
  const int64_t before = static_cast<int64_t>(time(nullptr));
  Result r = Publish("1.0", site, {"--sign-key", P("k.key")});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(MinisignAccepts(P("k.pub"), doc));
  std::string text = ReadFileOr(doc);
  EXPECT_EQ(RootAttr(text, "serial"), "1");
  int64_t expires = 0;
  ASSERT_TRUE(ParseUtcTime(RootAttr(text, "expires"), &expires)) << text;
  const int64_t month = 30 * 86400;
  EXPECT_GE(expires, before + month);
  EXPECT_LE(expires, static_cast<int64_t>(time(nullptr)) + month);

  // Serials: one more each time, or the one asked for; never lower.
  struct Step {
    std::vector<std::string> extra;
    int code;
    const char* serial;  // after the step
  };
  const std::string key = P("k.key");
  const std::vector<Step> steps = {
      {{"--sign-key", key}, 0, "2"},
      {{"--sign-key", key, "--serial", "10"}, 0, "10"},
      {{"--sign-key", key, "--serial", "9"}, 1, "10"},
      {{"--sign-key", key, "--serial", "10"}, 0, "10"},
      {{"--sign-key", key, "--no-previous"}, 0, "11"},
      {{"--sign-key", key, "--expires-in", "0"}, 2, "11"},
      {{"--password-file", key, "--sign-key", key}, 2, "11"},
  };
  for (const Step& s : steps) {
    r = Publish("1.1", site, s.extra);
    EXPECT_EQ(r.code, s.code) << s.extra[2] << ": " << r.out;
    EXPECT_EQ(RootAttr(ReadFileOr(doc), "serial"), s.serial);
    EXPECT_TRUE(MinisignAccepts(P("k.pub"), doc));
  }

  // Every file record's packsize is the size of its pack.
  text = ReadFileOr(doc);
  size_t records = 0;
  for (size_t at = text.find("<file file="); at != std::string::npos;
       at = text.find("<file file=", at + 1)) {
    size_t end = text.find("/>", at);
    std::string rec = text.substr(at, end - at);
    std::string url = RootAttr("<update_info " + rec.substr(6), "url");
    std::string size = RootAttr("<update_info " + rec.substr(6), "packsize");
    struct stat st;
    ASSERT_EQ(stat((site + "/files/" + url).c_str(), &st), 0) << rec;
    EXPECT_EQ(size, std::to_string(st.st_size)) << rec;
    records++;
  }
  EXPECT_GT(records, 5u);

  // Publishing unsigned afterwards takes the stale signature away.
  ASSERT_EQ(Publish("1.1", site).code, 0);
  EXPECT_FALSE(FileExists(doc + ".minisig"));
}

TEST_F(PublishSigning, OfflineSignWithMinisignKeyAndEncryptedKey) {
  std::string out, error, keyText;
  // A key made by minisign itself, and an encrypted key of ours.
  ASSERT_EQ(RunProgram({"/usr/bin/minisign", "-G", "-W", "-p", P("m.pub"), "-s", P("m.key")}, &out),
            0)
      << out;
  minisign::SecretKey secret;
  minisign::PublicKey pub;
  const std::string password = "s3cret words";
  ASSERT_TRUE(minisign::GenerateKeyPair(&secret, &pub, &error)) << error;
  ASSERT_TRUE(minisign::FormatSecretKey(secret, &password, kTestCost, &keyText, &error)) << error;
  ASSERT_TRUE(WriteFile(P("e.key"), keyText));
  ASSERT_TRUE(WriteFile(P("e.pub"), minisign::FormatPublicKey(pub)));
  ASSERT_TRUE(WriteFile(P("pw"), password + "\n"));
  ASSERT_TRUE(WriteFile(P("bad-pw"), "guess\n"));

  // A document published elsewhere, its root tag written by hand.
  const std::string body = "\n  <info AppName=\"A &gt; B\" />\n  <files />\n</update_info>\n";
  const std::string doc = P("kestrl5-full-debian9.x86_64.info");
  ASSERT_TRUE(WriteFile(doc,
                        "<?xml version='1.0'?>\n<update_info version='2' serial=\"7\"\n"
                        "  expires='2001-01-01T00:00:00Z' >" +
                            body));
  Result r = Tool({"sign", doc, "--sign-key", P("m.key"), "--sign-key", P("e.key"),
                   "--password-file", P("pw"), "--expires-in", "3"});
  ASSERT_EQ(r.code, 0) << r.out;
  std::string text = ReadFileOr(doc);
  EXPECT_EQ(RootAttr(text, "serial"), "8");
  int64_t expires = 0;
  ASSERT_TRUE(ParseUtcTime(RootAttr(text, "expires"), &expires)) << text;
  EXPECT_GT(expires, static_cast<int64_t>(time(nullptr)) + 2 * 86400);
  EXPECT_NE(text.find("<update_info version='2' serial=\"8\""), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - body.size()), body);
  EXPECT_EQ(text.find("2001-01-01"), std::string::npos) << text;
  // minisign reads the first block (the minisign key's); both verify here.
  EXPECT_TRUE(MinisignAccepts(P("m.pub"), doc));
  std::vector<minisign::PublicKey> keys;
  ASSERT_TRUE(minisign::ParsePublicKeys(ReadFileOr(P("m.pub")), &keys, &error));
  for (const auto& key : {keys[0], pub}) {
    std::string comment, id;
    EXPECT_EQ(minisign::Verify({key}, text.data(), text.size(), ReadFileOr(doc + ".minisig"),
                               &comment, &id, &error),
              minisign::Verdict::kValid)
        << error;
  }

  // Refusals leave document and signature as they were.
  const std::string sig = ReadFileOr(doc + ".minisig");
  struct Refusal {
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Refusal> refusals = {
      {{"--sign-key", P("e.key")}, "password"},
      {{"--sign-key", P("e.key"), "--password-file", P("bad-pw")}, "wrong password"},
      {{"--sign-key", P("m.pub")}, "not a minisign secret key"},
      {{"--sign-key", P("m.key"), "--serial", "3"}, "lower"},
      {{"--sign-key", P("missing.key")}, "missing.key"},
  };
  for (const Refusal& f : refusals) {
    std::vector<std::string> args = {"sign", doc};
    args.insert(args.end(), f.args.begin(), f.args.end());
    r = Tool(args);
    EXPECT_EQ(r.code, 1) << f.says;
    EXPECT_NE(r.err.find(f.says), std::string::npos) << r.err;
    EXPECT_EQ(ReadFileOr(doc), text);
    EXPECT_EQ(ReadFileOr(doc + ".minisig"), sig);
  }
  ASSERT_TRUE(WriteFile(P("not-a-doc"), "<html/>"));
  EXPECT_EQ(Tool({"sign", P("not-a-doc"), "--sign-key", P("m.key")}).code, 1);
  EXPECT_FALSE(FileExists(P("not-a-doc.minisig")));
}

TEST(UtcTime, RoundTripAndRefusals) {
  for (int64_t t : {int64_t{0}, int64_t{951782400} /* 2000-02-29 */, int64_t{4102444799}}) {
    int64_t back = -1;
    ASSERT_TRUE(ParseUtcTime(FormatUtcTime(t), &back)) << FormatUtcTime(t);
    EXPECT_EQ(back, t);
  }
  EXPECT_EQ(FormatUtcTime(951782400), "2000-02-29T00:00:00Z");
  int64_t t;
  for (const char* bad : {"", "2001-02-29T00:00:00Z", "2000-13-01T00:00:00Z",
                          "2000-01-01T24:00:00Z", "2000-01-01 00:00:00Z", "2000-01-01T00:00:00",
                          "2000-01-01T00:00:00Z ", "+000-01-01T00:00:00Z"}) {
    EXPECT_FALSE(ParseUtcTime(bad, &t)) << bad;
  }
}

TEST(UtcTime, HttpDates) {
  struct Case {
    const char* text;
    int64_t seconds;  // -1: refused
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
      {"Tue, 29 Feb 2000 00:00:00 GMT", 951782400},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Thu, 29 Feb 2001 00:00:00 GMT", -1},
      {"Sun, 06 Nvo 1994 08:49:37 GMT", -1},
      {"Sun, 06 anF 1994 08:49:37 GMT", -1},
      {"Sun, 06 Nov 1994 08:49:37 UTC", -1},
      {"Sunday, 06-Nov-94 08:49:37 GMT", -1},
      {"Sun Nov  6 08:49:37 1994", -1},
      {"120", -1},
  };
  for (const Case& c : cases) {
    int64_t t = -1;
    EXPECT_EQ(ParseHttpDate(c.text, &t), c.seconds >= 0) << c.text;
    if (c.seconds >= 0) {
      EXPECT_EQ(t, c.seconds) << c.text;
    }
  }
}

}  // namespace
