// Tests of the updater's trust in update documents, end to end: sites made by updater-publish
// (signed by it or by the real minisign), served by nginx, and the real updater with trusted
// keys. A table of hostile documents checks that each is refused with one error line naming the
// document and the reason, and that nothing was downloaded, installed, deleted or written.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "libupdater.h"
#include "minisign.h"
#include "scripted_server.h"
#include "test_util.h"
#include "trust.h"
#include "updater_harness.h"

using testutil::BinPath;
using testutil::FileExists;
using testutil::ReadFileOr;
using testutil::RunProgram;
using testutil::SourcePath;
using testutil::TempDir;
using testutil::WriteFile;
using updtest::RunResult;
using updtest::RunUpdater;

namespace {

const char kDoc[] = "updates/kestrl5-full-debian9.x86_64.info";

// Every regular file under dir with its content and mode, and every directory.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const std::string& name : updtest::ListTree(dir)) {
    out[name] =
        std::to_string(updtest::FileMode(dir + "/" + name)) + ":" + ReadFileOr(dir + "/" + name);
  }
  return out;
}

struct Key {
  minisign::SecretKey secret;
  std::string secretFile, publicFile;
};

Key MakeKey(const TempDir& dir, const std::string& name) {
  Key k;
  minisign::PublicKey pub;
  std::string error, text;
  EXPECT_TRUE(minisign::GenerateKeyPair(&k.secret, &pub, &error)) << error;
  EXPECT_TRUE(
      minisign::FormatSecretKey(k.secret, nullptr, minisign::kSensitiveCost, &text, &error));
  k.secretFile = dir.Sub(name + ".key");
  k.publicFile = dir.Sub(name + ".pub");
  EXPECT_TRUE(WriteFile(k.secretFile, text));
  EXPECT_TRUE(WriteFile(k.publicFile, minisign::FormatPublicKey(pub)));
  return k;
}

std::string SignText(const Key& k, const std::string& text, const std::string& comment) {
  std::string sig, error;
  EXPECT_TRUE(minisign::Sign(k.secret, text.data(), text.size(), minisign::Algorithm::kPrehashed,
                             comment, &sig, &error))
      << error;
  return sig;
}

// Replaces the first occurrence of from (which must occur) in text.
std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class UpdaterTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::HaveNginx()) GTEST_SKIP() << "nginx is not installed";
    ASSERT_TRUE(site_.ok()) << site_.error();
    vendor_ = MakeKey(keys_, "vendor");
    other_ = MakeKey(keys_, "other");
  }

  RunResult Publish(const std::string& release, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        BinPath("updater-publish"),          "publish", release, site_.root(), "--site-url",
        "http://" + site_.ServerArg() + "/", "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult r;
    r.code = RunProgram(args, &r.out, &r.err);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    return r;
  }

  RunResult Update(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--server", site_.ServerArg(), "-d", install_.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunUpdater(args, work_.path());
  }

  std::string DocPath() const { return site_.root() + "/" + kDoc; }
  std::string DocUrl() const { return "http://" + site_.ServerArg() + "/" + kDoc; }

  updtest::Site site_;
  TempDir keys_, install_, work_;
  Key vendor_, other_;
};

TEST_F(UpdaterTrust, HostileDocumentsAreRefusedAndNothingIsTouched) {
  // Release 1.0 (serial 1), then 1.1 (serial 2) installed: the client has seen serial 2.
  Publish(SourcePath("examples/vantorex-1.0"), {"--sign-key", vendor_.secretFile});
  const std::string doc1 = ReadFileOr(DocPath()), sig1 = ReadFileOr(DocPath() + ".minisig");
  Publish(SourcePath("examples/vantorex-1.1"), {"--sign-key", vendor_.secretFile});
  const std::string doc2 = ReadFileOr(DocPath()), sig2 = ReadFileOr(DocPath() + ".minisig");
  RunResult r = Update({"--trusted-key", vendor_.publicFile, "-a"});
  ASSERT_EQ(r.code, 0) << r.out;
  ASSERT_NE(ReadFileOr(work_.Sub(".updater.ini")).find("kestrl5-full-debian9.x86_64.info=2"),
            std::string::npos);

  const std::string comment = "timestamp:1\tfile:kestrl5-full-debian9.x86_64.info\thashed";
  const std::string noSerial = Replace(doc2, " serial=\"2\"", "");
  const std::string expired = Replace(Replace(doc2, " serial=\"2\"", " serial=\"3\""), "expires=\"",
                                      "expires=\"2001-01-01T00:00:00Z\" was=\"");
  std::string flippedSig = sig2;
  const size_t flip = sig2.find('\n') + 1 + 40;  // inside the signature bytes
  flippedSig[flip] = flippedSig[flip] == 'A' ? 'B' : 'A';
  struct Case {
    const char* name;
    std::string doc, sig;  // sig empty: no signature file
    std::string says;
    std::vector<std::string> extra;
  };
  const std::vector<Case> cases = {
      {"unsigned", doc2, "", "missing signature", {}},
      {"flipped byte in the document",
       Replace(doc2, "AppName=\"v", "AppName=\"w"),
       sig2,
       "bad signature",
       {}},
      {"flipped byte in the signature", doc2, flippedSig, "bad signature", {}},
      {"valid signature by another key",
       doc2,
       SignText(other_, doc2, comment),
       "unknown key id",
       {}},
      {"trusted comment changed",
       doc2,
       Replace(sig2, "timestamp:", "timestamp:9"),
       "trusted comment was altered",
       {}},
      {"older serial", doc1, sig1, "serial 1 is lower than serial 2", {}},
      {"no serial once one was seen",
       noSerial,
       SignText(vendor_, noSerial, comment),
       "has no serial, but serial 2",
       {}},
      {"expired",
       expired,
       SignText(vendor_, expired, comment),
       "expired at 2001-01-01T00:00:00Z",
       {}},
      {"document over the size limit",
       doc2,
       sig2,
       "larger than 2000 bytes",
       {"--max-info-size", "2000"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteFile(DocPath(), c.doc));
    unlink((DocPath() + ".minisig").c_str());
    if (!c.sig.empty()) {
      ASSERT_TRUE(WriteFile(DocPath() + ".minisig", c.sig));
    }
    const auto installed = Snapshot(install_.path());
    const auto work = Snapshot(work_.path());
    const size_t requests = site_.Requests().size();

    std::vector<std::string> args = {"--trusted-key", vendor_.publicFile, "-a"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    r = Update(args);
    EXPECT_EQ(r.code, 1) << r.out;
    std::vector<std::string> errors;
    for (const std::string& line : updtest::OutputLines(r.out)) {
      if (line.find("Error") != std::string::npos) errors.push_back(line);
    }
    ASSERT_EQ(errors.size(), 1u) << r.out;
    EXPECT_NE(errors[0].find(DocUrl()), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].find(c.says), std::string::npos) << errors[0];
    // The detail line on standard error names the document once.
    EXPECT_NE(r.err.find("updater: " + DocUrl() + ": refused: "), std::string::npos) << r.err;
    EXPECT_EQ(Snapshot(install_.path()), installed);
    EXPECT_EQ(Snapshot(work_.path()), work);
    for (size_t i = requests; i < site_.Requests().size(); i++) {
      EXPECT_EQ(site_.Requests()[i].find("/files/"), std::string::npos) << site_.Requests()[i];
    }
  }

  // The genuine document is still accepted afterwards, and without a key nothing is checked.
  ASSERT_TRUE(WriteFile(DocPath(), doc2));
  ASSERT_TRUE(WriteFile(DocPath() + ".minisig", sig2));
  r = Update({"--trusted-key", vendor_.publicFile});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Nothing to be done"), std::string::npos) << r.out;
  ASSERT_TRUE(WriteFile(DocPath(), doc1));
  unlink((DocPath() + ".minisig").c_str());
  r = Update({"-a"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Update Complete!"), std::string::npos) << r.out;
  // --require-signature makes the missing key an error.
  r = Update({"--require-signature"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("no trusted key is known"), std::string::npos) << r.out;
}

// Packs of a genuine document that the server (or a mirror) replaced: refused before anything is
// deciphered, inflated or installed.
TEST_F(UpdaterTrust, HostilePacksAreRefusedBeforeUnpacking) {
  Publish(SourcePath("examples/vantorex-1.0"), {"--sign-key", vendor_.secretFile});
  ASSERT_EQ(Update({"--trusted-key", vendor_.publicFile, "-a"}).code, 0);
  Publish(SourcePath("examples/vantorex-1.1"), {"--sign-key", vendor_.secretFile});
  const std::string doc = ReadFileOr(DocPath());
  // The pack of the program, which changes from 1.0 to 1.1.
  size_t at = doc.find("file=\"vantorex\"");
  ASSERT_NE(at, std::string::npos);
  size_t url = doc.find("url=\"", at) + 5;
  const std::string packUrl =
      "http://" + site_.ServerArg() + "/files/" + doc.substr(url, doc.find('"', url) - url);
  const std::string pack = site_.root() + "/files/" + doc.substr(url, doc.find('"', url) - url);
  const std::string genuine = ReadFileOr(pack);
  const std::string other = ReadFileOr(site_.root() + "/files/" +
                                       doc.substr(doc.find("url=\"") + 5, 67));  // another pack
  struct Case {
    const char* name;
    std::string bytes;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"another pack in its place", other, "Checksum does not match for the pack of 'vantorex'"},
      {"pack longer than its packsize", genuine + std::string(100000, 'x'),
       "The pack of 'vantorex' (" + packUrl + ") is longer than its packsize of " +
           std::to_string(genuine.size()) + " bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WriteFile(pack, c.bytes));
    const auto before = Snapshot(install_.path());
    RunResult r = Update({"--trusted-key", vendor_.publicFile, "-a"});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    // Whatever was downloaded stays in the staging area and is gone again; nothing installed.
    auto after = Snapshot(install_.path());
    for (auto it = after.begin(); it != after.end();) {
      it = it->first.compare(0, 4, "tmp/") == 0 ? after.erase(it) : std::next(it);
    }
    auto kept = before;
    for (auto it = kept.begin(); it != kept.end();) {
      it = it->first.compare(0, 4, "tmp/") == 0 ? kept.erase(it) : std::next(it);
    }
    EXPECT_EQ(after, kept);
    for (const auto& f : Snapshot(install_.path())) {
      EXPECT_EQ(f.first.find(".unpacked"), std::string::npos) << f.first;
    }
  }
  ASSERT_TRUE(WriteFile(pack, genuine));
  EXPECT_EQ(Update({"--trusted-key", vendor_.publicFile, "-a"}).code, 0);
}

// The engine's clock is injectable: the same genuine document is current now and expired in 2100.
TEST_F(UpdaterTrust, ExpiryFollowsTheEnginesClock) {
  Publish(SourcePath("examples/vantorex-1.0"), {"--sign-key", vendor_.secretFile});
  TrustSettings trust;
  std::string error;
  ASSERT_TRUE(LoadTrustedKeys("", {vendor_.publicFile}, install_.path() + "/", &trust.keys, &error))
      << error;
  struct Case {
    int64_t (*now)();
    bool accepted;
  };
  const Case cases[] = {{nullptr, true}, {[]() -> int64_t { return 4102444800; }, false}};
  for (const Case& c : cases) {
    trust.now = c.now;
    Updater updater;
    updater.setup(DocUrl().c_str(), (install_.path() + "/").c_str(), "updater", "", nullptr);
    updater.setTrust(trust);
    ASSERT_TRUE(updater.fetchInfo()) << updater.lastError();
    EXPECT_EQ(updater.parseInfo(), c.accepted) << updater.lastError();
    if (!c.accepted) {
      EXPECT_NE(std::string(updater.lastError()).find("expired at"), std::string::npos)
          << updater.lastError();
    }
  }
}

TEST_F(UpdaterTrust, SignedUpdateThroughAPatch) {
  TempDir release;
  const std::string big = updtest::RandomBytes(200000, 7);
  ASSERT_TRUE(WriteFile(release.Sub("data.bin"), big));
  Publish(release.path(), {"--sign-key", vendor_.secretFile});
  ASSERT_EQ(Update({"--trusted-key", vendor_.publicFile}).code, 0);
  ASSERT_TRUE(
      WriteFile(release.Sub("data.bin"), big.substr(0, 1000) + "changed" + big.substr(1007)));
  Publish(release.path(), {"--sign-key", vendor_.secretFile});
  RunResult r = Update({"--trusted-key", vendor_.publicFile});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Patched data.bin"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFileOr(install_.Sub("data.bin")).substr(1000, 7), "changed");
}

TEST_F(UpdaterTrust, MinisignSignedDocumentsAndKeyRotation) {
  if (!FileExists("/usr/bin/minisign")) GTEST_SKIP() << "minisign is not installed";
  std::string out;
  ASSERT_EQ(RunProgram({"/usr/bin/minisign", "-G", "-W", "-p", keys_.Sub("m.pub"), "-s",
                        keys_.Sub("m.key")},
                       &out),
            0)
      << out;
  // Documents signed by minisign itself, prehashed and legacy, are accepted.
  Publish(SourcePath("examples/vantorex-1.0"));
  ASSERT_EQ(RunProgram({"/usr/bin/minisign", "-S", "-l", "-s", keys_.Sub("m.key"), "-m", DocPath()},
                       &out),
            0)
      << out;
  RunResult r = Update({"--trusted-key", keys_.Sub("m.pub")});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(FileExists(install_.Sub("vantorex")));

  // Release 1.1 ships .updater-keys with the minisign key and the vendor's new key; it is
  // signed by minisign, the key the client knows.
  TempDir release;
  ASSERT_EQ(
      RunProgram({"/bin/cp", "-a", SourcePath("examples/vantorex-1.1") + "/.", release.path()},
                 &out),
      0);
  ASSERT_TRUE(WriteFile(release.Sub(".updater-keys"),
                        ReadFileOr(keys_.Sub("m.pub")) + ReadFileOr(vendor_.publicFile)));
  Publish(release.path());
  ASSERT_EQ(
      RunProgram({"/usr/bin/minisign", "-S", "-s", keys_.Sub("m.key"), "-m", DocPath()}, &out), 0);
  r = Update({"--trusted-key", keys_.Sub("m.pub")});
  ASSERT_EQ(r.code, 0) << r.out;
  ASSERT_TRUE(FileExists(install_.Sub(".updater-keys")));

  // From now on the new key alone signs; the client follows without being told.
  ASSERT_TRUE(WriteFile(release.Sub("docs/NEWS.txt"), "signed by the new key\n"));
  Publish(release.path(), {"--sign-key", vendor_.secretFile});
  r = Update({"--trusted-key", keys_.Sub("m.pub")});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(ReadFileOr(install_.Sub("docs/NEWS.txt")), "signed by the new key\n");
  // A damaged key file stops the run before anything is fetched.
  ASSERT_TRUE(WriteFile(install_.Sub(".updater-keys"), "garbage\n"));
  r = Update();
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find(".updater-keys: line 1 is not a minisign public key"), std::string::npos)
      << r.out;
  // A link in its place, even to a good key file outside the installation, is not followed.
  ASSERT_EQ(unlink(install_.Sub(".updater-keys").c_str()), 0);
  ASSERT_EQ(symlink(keys_.Sub("m.pub").c_str(), install_.Sub(".updater-keys").c_str()), 0);
  r = Update();
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find(".updater-keys: is a symbolic link"), std::string::npos) << r.out;
}

TEST(UpdaterLimits, EndlessDocumentIsCutAtTheLimit) {
  // Every answer is an endless body of blanks, written until the client hangs up (or 1 GiB).
  testutil::ScriptedServer server(
      [](testutil::ScriptConn& conn, int) {
        conn.ReadRequest();
        if (!conn.Send("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<update_info ")) return;
        const std::string blanks(64 * 1024, ' ');
        for (int n = 0; n < 16384 && conn.Send(blanks); n++) {
        }
      },
      2);
  ASSERT_TRUE(server.ok());
  TempDir keys, install, work;
  minisign::SecretKey secret;
  minisign::PublicKey pub;
  std::string error;
  ASSERT_TRUE(minisign::GenerateKeyPair(&secret, &pub, &error)) << error;
  ASSERT_TRUE(WriteFile(keys.Sub("k.pub"), minisign::FormatPublicKey(pub)));
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/" + kDoc;
  // Without a key (the document goes through a temporary file) and with one.
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{}, std::vector<std::string>{"--trusted-key", keys.Sub("k.pub")}}) {
    std::vector<std::string> args = {"--server",
                                     "127.0.0.1:" + std::to_string(server.port()),
                                     "-d",
                                     install.path(),
                                     "--max-info-size",
                                     "1000000"};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult r = RunUpdater(args, work.path());
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find(url + ": refused: the document is larger than 1000000 bytes"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(updtest::ListTree(install.path()), std::vector<std::string>{});
    EXPECT_EQ(updtest::ListTree(work.path()), std::vector<std::string>{});
  }
}

// A document and its signature fetched while a publish replaces both: the pair is fetched once
// more, and only once.
TEST(UpdaterTrustFetch, DocumentAndSignatureFetchedOnceMoreWhenTheyDisagree) {
  minisign::SecretKey secret;
  minisign::PublicKey pub;
  std::string error;
  ASSERT_TRUE(minisign::GenerateKeyPair(&secret, &pub, &error)) << error;
  TempDir keys;
  ASSERT_TRUE(WriteFile(keys.Sub("k.pub"), minisign::FormatPublicKey(pub)));
  auto doc = [](int serial) {
    return "<update_info version=\"2\" serial=\"" + std::to_string(serial) +
           "\"><info AppName=\"a\" FileBase=\"http://127.0.0.1:1/\"/><files/></update_info>\n";
  };
  const std::string newDoc = doc(2);
  std::string newSig;
  ASSERT_TRUE(minisign::Sign(secret, newDoc.data(), newDoc.size(), minisign::Algorithm::kPrehashed,
                             "t", &newSig, &error));
  struct Case {
    const char* name;
    int staleAnswers;  // how many document requests still get the old document
    int code;
    int documentRequests;
  };
  for (const Case& c : {Case{"publish in between", 1, 0, 2}, Case{"stays stale", 99, 1, 2}}) {
    SCOPED_TRACE(c.name);
    std::atomic<int> docRequests{0};
    testutil::ScriptedServer server(
        [&](testutil::ScriptConn& conn, int) {
          std::string req = conn.ReadRequest();
          std::string body;
          if (req.find(".minisig ") != std::string::npos) {
            body = newSig;
          } else {
            body = docRequests++ < c.staleAnswers ? doc(1) : newDoc;
          }
          conn.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n\r\n" + body);
        },
        8);
    ASSERT_TRUE(server.ok());
    TempDir install, work;
    RunResult r = RunUpdater({"--server", "127.0.0.1:" + std::to_string(server.port()), "-d",
                              install.path(), "--trusted-key", keys.Sub("k.pub")},
                             work.path());
    EXPECT_EQ(r.code, c.code) << r.out;
    EXPECT_EQ(docRequests.load(), c.documentRequests);
    if (c.code != 0) {
      EXPECT_NE(r.out.find("bad signature"), std::string::npos) << r.out;
    }
  }
}

TEST(TrustGuards, SerialAndExpiryTable) {
  const int64_t now = 1800000000;  // 2027-01-15T08:00:00Z
  struct Case {
    const char* serial;
    const char* expires;
    uint64_t stored;
    bool ok;
    const char* says;
  };
  const Case cases[] = {
      {nullptr, nullptr, 0, true, ""},
      {"5", "2027-01-15T08:00:01Z", 5, true, ""},
      {"6", nullptr, 5, true, ""},
      {"4", nullptr, 5, false, "serial 4 is lower than serial 5"},
      {nullptr, nullptr, 5, false, "no serial, but serial 5"},
      {"x", nullptr, 0, false, "unreadable serial"},
      {"-1", nullptr, 0, false, "unreadable serial"},
      {"99999999999999999999999", nullptr, 0, false, "unreadable serial"},
      {"6", "2027-01-15T08:00:00Z", 5, false, "expired at 2027-01-15T08:00:00Z"},
      {"6", "tomorrow", 5, false, "unreadable expiry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.serial ? c.serial : "-") + " " + (c.expires ? c.expires : "-"));
    uint64_t serial = 0;
    std::string error;
    EXPECT_EQ(CheckGuards(c.serial, c.expires, c.stored, now, &serial, &error), c.ok);
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(TrustGuards, StoredSerialOnlyRises) {
  TempDir dir;
  const std::string ini = dir.Sub("state.ini");
  EXPECT_EQ(StoredSerial(ini, "a.info"), 0u);
  EXPECT_TRUE(StoreSerial(ini, "a.info", 7));
  EXPECT_TRUE(StoreSerial(ini, "a.info", 3));
  EXPECT_TRUE(StoreSerial(ini, "b.info", 1));
  EXPECT_EQ(StoredSerial(ini, "a.info"), 7u);
  EXPECT_EQ(StoredSerial(ini, "b.info"), 1u);
  EXPECT_EQ(ChannelKey("http://h:1/updates/kestrl5-full-x.info"), "kestrl5-full-x.info");
}

}  // namespace

namespace {

TEST(UpdaterModes, SpecialBitsAndWriteForOthersAreNeverSet) {
  if (!testutil::HaveNginx()) GTEST_SKIP() << "nginx is not installed";
  updtest::Site site;
  ASSERT_TRUE(site.ok()) << site.error();
  struct Case {
    const char* file;
    int modes;  // as the document gives it
    int want;   // as installed
  };
  const Case cases[] = {
      {"setuid", 04755, 0755}, {"setgid", 02755, 0755},  {"sticky", 01775, 0775},
      {"all", 07777, 0775},    {"world-rw", 0666, 0664}, {"plain", 0640, 0640},
  };
  updtest::ReleaseSpec release;
  for (const Case& c : cases) {
    updtest::FixtureFile f;
    f.file = c.file;
    f.content = std::string("content of ") + c.file;
    f.modes = c.modes;
    release.files.push_back(f);
  }
  std::string error;
  ASSERT_TRUE(site.Publish(release, &error)) << error;
  TempDir install, work;
  RunResult r = RunUpdater({"--server", site.ServerArg(), "-d", install.path()}, work.path());
  ASSERT_EQ(r.code, 0) << r.out;
  for (const Case& c : cases) {
    EXPECT_EQ(updtest::FileMode(install.Sub(c.file)) & 07777, c.want) << c.file;
  }
}

}  // namespace
