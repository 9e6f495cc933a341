// Tests of updater-publish: publishes the sample release, checks the documents and packs with an
// independent reader (tests/support/publish_check.py), serves the site with nginx and with the
// built-in server, and runs the real updater against both.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

using testutil::BinPath;
using testutil::FileExists;
using testutil::ReadFileOr;
using testutil::RunProgram;
using testutil::SourcePath;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

const char kChannel[] = "kestrl5-full-debian9.x86_64.info";

std::string Release(const std::string& version) {
  return SourcePath("examples/vantorex-" + version);
}

std::string GroupsFile() { return SourcePath("examples/vantorex.groups.ini"); }

struct Result {
  int code = -1;
  std::string out, err;
};

Result PublishTool(std::vector<std::string> args) {
  args.insert(args.begin(), BinPath("updater-publish"));
  Result r;
  r.code = RunProgram(args, &r.out, &r.err);
  return r;
}

// Publishes release into site with the sample's groups; extra options appended.
Result PublishRelease(const std::string& release, const std::string& site, int port,
                      std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"publish",
                                   release,
                                   site,
                                   "--site-url",
                                   "http://127.0.0.1:" + std::to_string(port) + "/",
                                   "--groups",
                                   GroupsFile(),
                                   "--app",
                                   "Vantorex",
                                   "--author",
                                   "Tests"};
  args.insert(args.end(), extra.begin(), extra.end());
  return PublishTool(args);
}

// Runs the independent reader over a document; its stdout lines on success.
Result CheckSite(const std::string& site, const std::string& release,
                 const std::string& channel = kChannel) {
  Result r;
  r.code = RunProgram({"/usr/bin/python3", SourcePath("tests/support/publish_check.py"),
                       site + "/updates/" + channel, site + "/files", release},
                      &r.out, &r.err);
  return r;
}

// The reader's "file NAME ..." line for name, or empty.
std::string FileLine(const std::string& report, const std::string& name) {
  std::istringstream in(report);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, name.size() + 6, "file " + name + " ") == 0) return line;
  }
  return "";
}

std::string Field(const std::string& line, const std::string& key) {
  size_t p = line.find(" " + key + "=");
  if (p == std::string::npos) return "<none>";
  p += key.size() + 2;
  return line.substr(p, line.find(' ', p) - p);
}

std::vector<std::string> Lines(const std::string& report, const std::string& prefix) {
  std::vector<std::string> out;
  std::istringstream in(report);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line.substr(prefix.size()));
  }
  return out;
}

// Every regular file under dir (relative names), leaving out the updater's own state.
std::map<std::string, std::string> TreeOf(const std::string& dir) {
  std::string out;
  RunProgram({"/usr/bin/find", dir, "-type", "f"}, &out);
  std::map<std::string, std::string> files;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    std::string rel = line.substr(dir.size() + 1);
    if (rel == ".updater.ini" || rel.compare(0, 4, "tmp/") == 0) continue;
    files[rel] = ReadFileOr(line);
  }
  return files;
}

// The files of a release that the sample's default group states install: everything but the
// admin plugins.
std::map<std::string, std::string> DefaultInstall(const std::string& version) {
  std::map<std::string, std::string> files = TreeOf(Release(version));
  for (auto it = files.begin(); it != files.end();) {
    if (it->first.compare(0, 14, "plugins/admin/") == 0) {
      it = files.erase(it);
    } else {
      ++it;
    }
  }
  return files;
}

// updater-publish serve on a free loopback port, stopped on destruction.
class BuiltinServer {
 public:
  explicit BuiltinServer(const std::string& site) {
    std::string port_file = dir_.Sub("port");
    log_ = dir_.Sub("log");
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      std::string bin = BinPath("updater-publish");
      execl(bin.c_str(), bin.c_str(), "serve", site.c_str(), "--port", "0", "--port-file",
            port_file.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200 && port_ == 0; ++i) {
      port_ = atoi(ReadFileOr(port_file, "0").c_str());
      if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~BuiltinServer() { Stop(); }
  // Stops the server; its exit code (0 after a clean stop), or -1 when it had to be killed.
  int Stop() {
    if (pid_ <= 0) return -1;
    pid_t pid = pid_;
    pid_ = -1;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  int port() const { return port_; }
  std::string Log() const { return ReadFileOr(log_); }

 private:
  TempDir dir_;
  std::string log_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Sends raw to 127.0.0.1:port and returns everything the server answers until it closes.
std::string Http(int port, const std::string& raw) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "";
  struct timeval tv = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof(sa));
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string out;
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) == 0 &&
      send(fd, raw.data(), raw.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(raw.size())) {
    shutdown(fd, SHUT_WR);  // the request is complete; a server waiting for more sees the end
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

std::string Get(int port, const std::string& target, const std::string& method = "GET") {
  return Http(port, method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
}

int Status(const std::string& response) {
  if (response.compare(0, 9, "HTTP/1.0 ") != 0) return -1;
  return atoi(response.c_str() + 9);
}

std::string Body(const std::string& response) {
  size_t p = response.find("\r\n\r\n");
  return p == std::string::npos ? "" : response.substr(p + 4);
}

std::string Header(const std::string& response, const std::string& name) {
  size_t p = response.find("\r\n" + name + ": ");
  if (p == std::string::npos) return "";
  p += name.size() + 4;
  return response.substr(p, response.find("\r\n", p) - p);
}

Result RunUpdater(int port, const std::string& dir, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {BinPath("updater"), "--server",
                                   "127.0.0.1:" + std::to_string(port), "-d", dir};
  args.insert(args.end(), extra.begin(), extra.end());
  Result r;
  r.code = RunProgram(args, &r.out, nullptr, dir);
  return r;
}

// ---------------------------------------------------------------------------------------------
// Publishing, checked by the independent reader.

TEST(Publish, SampleReleaseMatchesTheDocumentFormat) {
  TempDir tmp;
  std::string site = tmp.Sub("site");
  Result p = PublishRelease(Release("1.0"), site, 8080);
  ASSERT_EQ(p.code, 0) << p.out << p.err;
  Result c = CheckSite(site, Release("1.0"));
  ASSERT_EQ(c.code, 0) << c.err;

  // Groups come from the groups file, in its order, with their attributes.
  std::vector<std::string> groups = Lines(c.out, "group ");
  ASSERT_EQ(groups.size(), 5u);
  EXPECT_EQ(groups[0], "core dispName=Vantorex bot priority=100 default=1 defaultgrp=1");
  EXPECT_EQ(groups[2], "admin dispName=Admin plugins priority=60 default=0 defaultgrp=0");
  // Patterns pick files; a file in two groups lists both; LICENSE matches none.
  EXPECT_EQ(Field(FileLine(c.out, "vantorex"), "groups"), "core");
  EXPECT_EQ(Field(FileLine(c.out, "lang/en.lang"), "groups"), "core,languages");
  EXPECT_EQ(Field(FileLine(c.out, "lang/de.lang"), "groups"), "languages");
  EXPECT_EQ(Field(FileLine(c.out, "plugins/admin/ban.plugin"), "groups"), "admin");
  EXPECT_EQ(Field(FileLine(c.out, "LICENSE"), "groups"), "");
  // No key without --encrypt; a first release deletes nothing.
  EXPECT_EQ(Field(FileLine(c.out, "vantorex"), "key"), "");
  EXPECT_TRUE(Lines(c.out, "delete ").empty());
  // LICENSE and docs/LICENSE.txt are identical, yet get download paths of their own (the
  // reader refuses shared last components).
  EXPECT_NE(Field(FileLine(c.out, "LICENSE"), "url"),
            Field(FileLine(c.out, "docs/LICENSE.txt"), "url"));
  std::string doc = ReadFileOr(site + "/updates/" + kChannel);
  EXPECT_NE(doc.find("FileBase=\"http://127.0.0.1:8080/files/\""), std::string::npos);
  EXPECT_NE(doc.find("modes=\"493\""), std::string::npos);  // the program is rwxr-xr-x
}

TEST(Publish, MirrorsAreListedInOrder) {
  TempDir tmp;
  std::string site = tmp.Sub("site");
  Result p = PublishRelease(
      Release("1.0"), site, 8080,
      {"--mirror", "http://m1.example/files", "--mirror", "ftp://m2.example/pub/files/"});
  ASSERT_EQ(p.code, 0) << p.out << p.err;
  std::string doc = ReadFileOr(site + "/updates/" + kChannel);
  EXPECT_NE(doc.find("  <mirrors>\n    <mirror url=\"http://m1.example/files/\" />\n"
                     "    <mirror url=\"ftp://m2.example/pub/files/\" />\n  </mirrors>\n"),
            std::string::npos)
      << doc;
  Result bad = PublishRelease(Release("1.0"), tmp.Sub("site2"), 8080, {"--mirror", "m3/files"});
  EXPECT_EQ(bad.code, 1);
  EXPECT_NE(bad.err.find("the mirror 'm3/files/'"), std::string::npos) << bad.err;
}

TEST(Publish, EncryptedPacksUseFreshKeysPerFile) {
  TempDir tmp;
  std::string site = tmp.Sub("site");
  Result p = PublishRelease(Release("1.0"), site, 8080, {"--encrypt"});
  ASSERT_EQ(p.code, 0) << p.out << p.err;
  Result c = CheckSite(site, Release("1.0"));
  ASSERT_EQ(c.code, 0) << c.err;
  std::set<std::string> keys;
  for (const std::string& line : Lines(c.out, "file ")) {
    std::string key = Field(" " + line, "key");
    EXPECT_EQ(key.size(), 16u) << line;
    keys.insert(key);
  }
  EXPECT_EQ(keys.size(), Lines(c.out, "file ").size());
}

TEST(Publish, NextReleaseKeepsUnchangedPacksAndDeletesRemovedFiles) {
  TempDir tmp;
  std::string site = tmp.Sub("site");
  ASSERT_EQ(PublishRelease(Release("1.0"), site, 8080, {"--encrypt"}).code, 0);
  Result c1 = CheckSite(site, Release("1.0"));
  ASSERT_EQ(c1.code, 0) << c1.err;
  Result p = PublishRelease(Release("1.1"), site, 8080, {"--encrypt"});
  ASSERT_EQ(p.code, 0) << p.out << p.err;
  Result c2 = CheckSite(site, Release("1.1"));
  ASSERT_EQ(c2.code, 0) << c2.err;

  std::vector<std::string> deletes = Lines(c2.out, "delete ");
  EXPECT_EQ(deletes, (std::vector<std::string>{"docs/plugins.txt", "plugins/admin/ban.plugin"}));
  // Unchanged files keep pack, URL and key: caches stay warm, leftover packs stay usable.
  for (const char* same : {"plugins/fun/dice.plugin", "LICENSE", "docs/LICENSE.txt"}) {
    EXPECT_EQ(FileLine(c1.out, same), FileLine(c2.out, same)) << same;
  }
  for (const char* changed : {"vantorex", "plugins/fun/trivia.plugin", "docs/CHANGES.txt"}) {
    EXPECT_NE(Field(FileLine(c1.out, changed), "packsha"),
              Field(FileLine(c2.out, changed), "packsha"))
        << changed;
  }
  EXPECT_NE(p.out.find("to delete"), std::string::npos);

  // A damaged kept pack is not trusted: republishing packs the file again.
  std::string url = Field(FileLine(c2.out, "LICENSE"), "url");
  ASSERT_TRUE(WriteFile(site + "/files/" + url, "damaged"));
  ASSERT_EQ(PublishRelease(Release("1.1"), site, 8080, {"--encrypt"}).code, 0);
  Result c3 = CheckSite(site, Release("1.1"));
  ASSERT_EQ(c3.code, 0) << c3.err;
  EXPECT_NE(Field(FileLine(c3.out, "LICENSE"), "url"), url);
}

// Republishing unchanged files with the other pack kind (enciphered after plain, plain after
// enciphered) gives every file a new pack of the kind asked for.
TEST(Publish, RepublishingWithTheOtherPackKindRepacks) {
  struct Case {
    bool firstEncrypted;
    bool secondEncrypted;
  };
  for (const Case& c : {Case{false, true}, Case{true, false}}) {
    SCOPED_TRACE(c.secondEncrypted ? "plain, then enciphered" : "enciphered, then plain");
    TempDir tmp;
    std::string site = tmp.Sub("site");
    auto flags = [](bool encrypted) {
      return encrypted ? std::vector<std::string>{"--encrypt"} : std::vector<std::string>{};
    };
    ASSERT_EQ(PublishRelease(Release("1.0"), site, 8080, flags(c.firstEncrypted)).code, 0);
    Result c1 = CheckSite(site, Release("1.0"));
    ASSERT_EQ(c1.code, 0) << c1.err;
    ASSERT_EQ(PublishRelease(Release("1.0"), site, 8080, flags(c.secondEncrypted)).code, 0);
    Result c2 = CheckSite(site, Release("1.0"));
    ASSERT_EQ(c2.code, 0) << c2.err;
    std::vector<std::string> files = Lines(c2.out, "file ");
    ASSERT_FALSE(files.empty());
    for (const std::string& line : files) {
      SCOPED_TRACE(line);
      EXPECT_EQ(Field(line, "key").empty(), !c.secondEncrypted);
    }
    for (const char* name : {"vantorex", "LICENSE", "plugins/fun/dice.plugin"}) {
      EXPECT_NE(Field(FileLine(c1.out, name), "packsha"), Field(FileLine(c2.out, name), "packsha"))
          << name;
    }
  }
}

TEST(Publish, SameInputGivesSameBytesWithoutEncryption) {
  TempDir tmp;
  // The documents' expiry counts from SOURCE_DATE_EPOCH when it is set.
  setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
  ASSERT_EQ(PublishRelease(Release("1.0"), tmp.Sub("a"), 8080).code, 0);
  ASSERT_EQ(PublishRelease(Release("1.0"), tmp.Sub("b"), 8080).code, 0);
  EXPECT_EQ(TreeOf(tmp.Sub("a")), TreeOf(tmp.Sub("b")));
  EXPECT_NE(ReadFileOr(tmp.Sub("a/updates/") + kChannel).find("expires=\"2023-12-14T22:13:20Z\""),
            std::string::npos);
  // Publishing the same release again over its own site under the same serial changes nothing.
  std::map<std::string, std::string> before = TreeOf(tmp.Sub("a"));
  ASSERT_EQ(PublishRelease(Release("1.0"), tmp.Sub("a"), 8080, {"--serial", "1"}).code, 0);
  unsetenv("SOURCE_DATE_EPOCH");
  EXPECT_EQ(TreeOf(tmp.Sub("a")), before);
  // With encryption the keys differ from run to run.
  ASSERT_EQ(PublishRelease(Release("1.0"), tmp.Sub("c"), 8080, {"--encrypt"}).code, 0);
  ASSERT_EQ(PublishRelease(Release("1.0"), tmp.Sub("d"), 8080, {"--encrypt"}).code, 0);
  EXPECT_NE(ReadFileOr(tmp.Sub("c/updates/") + kChannel),
            ReadFileOr(tmp.Sub("d/updates/") + kChannel));
}

// A publish holds the site's lock: a second one into the same site stops at once, naming the
// lock, and changes nothing; once the lock is free, publishing works and first removes the
// temporary files that a killed publish left (and nothing else).
TEST(Publish, SiteLockAndLeftoversOfAKilledPublish) {
  TempDir tmp;
  std::string site = tmp.Sub("site");
  ASSERT_EQ(PublishRelease(Release("1.0"), site, 8080).code, 0);
  std::map<std::string, std::string> before = TreeOf(site);

  int held = open((site + "/.publish.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  Result blocked = PublishRelease(Release("1.1"), site, 8080);
  EXPECT_EQ(blocked.code, 1);
  EXPECT_NE(blocked.err.find("another publish into " + site + " is running"), std::string::npos)
      << blocked.err;
  EXPECT_EQ(TreeOf(site), before);
  close(held);

  const std::vector<std::string> leftovers = {
      "files/.pack-4242.tmp", "files/.patch-4242.tmp", "files/.old-4242.tmp",
      "updates/" + std::string(kChannel) + ".tmp-4242", "history/000009.info.tmp"};
  const std::vector<std::string> kept = {"files/keep.tmp.txt", "updates/notes.txt"};
  for (const std::string& name : leftovers) ASSERT_TRUE(WriteFile(site + "/" + name, "partial"));
  for (const std::string& name : kept) ASSERT_TRUE(WriteFile(site + "/" + name, "mine"));
  Result p = PublishRelease(Release("1.1"), site, 8080);
  ASSERT_EQ(p.code, 0) << p.err;
  for (const std::string& name : leftovers) EXPECT_FALSE(FileExists(site + "/" + name)) << name;
  for (const std::string& name : kept) EXPECT_EQ(ReadFileOr(site + "/" + name), "mine") << name;
  ASSERT_EQ(CheckSite(site, Release("1.1")).code, 0);
}

TEST(Publish, VersionOneDocumentsAndChannelNames) {
  TempDir tmp;
  std::string site = tmp.Sub("site");
  Result p = PublishRelease(Release("1.0"), site, 8080,
                            {"--info-version", "1", "--type", "3", "--type", "4", "--kind", "basic",
                             "--platform", "foo", "--encrypt"});
  ASSERT_EQ(p.code, 0) << p.out << p.err;
  EXPECT_FALSE(FileExists(site + "/updates/" + kChannel));
  for (const char* channel : {"kestrl-basic-foo.info", "kestrl4-basic-foo.info"}) {
    Result c = CheckSite(site, Release("1.0"), channel);
    ASSERT_EQ(c.code, 0) << channel << ": " << c.err;
    const std::string base = "http://127.0.0.1:8080/files/";
    EXPECT_EQ(Field(FileLine(c.out, "vantorex"), "url").compare(0, base.size(), base), 0);
    EXPECT_EQ(Field(FileLine(c.out, "vantorex"), "groups"), "");
  }
  Result bad = PublishRelease(Release("1.0"), site, 8080, {"--platform", "a/b"});
  EXPECT_NE(bad.code, 0);
  EXPECT_NE(bad.err.find("platform"), std::string::npos);
}

TEST(Publish, LargeFilesAndUnusualNamesRoundTrip) {
  TempDir tmp;
  // Several read and write blocks: text that compresses and random bytes that do not, so the
  // deflate output and the RC4 keystream both run across block boundaries.
  std::string big;
  unsigned x = 12345;
  while (big.size() < 1024 * 1024 + 4096) {
    big += "line " + std::to_string(big.size()) + " of a long log file\n";
    for (int i = 0; i < 64; ++i) {
      x = x * 1103515245u + 12345u;
      big.push_back(static_cast<char>(x >> 24));
    }
  }
  ASSERT_TRUE(WriteFile(tmp.Sub("rel/data/big.bin"), big));
  ASSERT_TRUE(WriteFile(tmp.Sub("rel/a & b <c> \"d\" 'e'.txt"), "xml specials\n"));
  ASSERT_TRUE(WriteFile(tmp.Sub("rel/caf\xc3\xa9 menu.txt"), "utf-8 name\n"));
  for (const char* mode : {"", "--encrypt"}) {
    std::vector<std::string> args = {"publish",    tmp.Sub("rel"),        tmp.Sub("site"),
                                     "--site-url", "http://127.0.0.1:1/", "--no-previous"};
    if (*mode) args.push_back(mode);
    Result r = PublishTool(args);
    ASSERT_EQ(r.code, 0) << r.err;
    Result c = CheckSite(tmp.Sub("site"), tmp.Sub("rel"));
    ASSERT_EQ(c.code, 0) << mode << ": " << c.err;
    EXPECT_EQ(Lines(c.out, "file ").size(), 3u);
  }
}

TEST(Publish, PreviousDocumentCanBeNamedOrIgnored) {
  TempDir tmp;
  ASSERT_EQ(PublishRelease(Release("1.0"), tmp.Sub("old"), 8080).code, 0);
  // --no-previous: a first release, whatever the site holds.
  ASSERT_EQ(PublishRelease(Release("1.0"), tmp.Sub("site"), 8080).code, 0);
  ASSERT_EQ(PublishRelease(Release("1.1"), tmp.Sub("site"), 8080, {"--no-previous"}).code, 0);
  Result c = CheckSite(tmp.Sub("site"), Release("1.1"));
  ASSERT_EQ(c.code, 0) << c.err;
  EXPECT_TRUE(Lines(c.out, "delete ").empty());
  // --previous names the document to compare with, here one from another site.
  Result p = PublishRelease(Release("1.1"), tmp.Sub("fresh"), 8080,
                            {"--previous", tmp.Sub("old/updates/") + kChannel});
  ASSERT_EQ(p.code, 0) << p.err;
  c = CheckSite(tmp.Sub("fresh"), Release("1.1"));
  ASSERT_EQ(c.code, 0) << c.err;
  EXPECT_EQ(Lines(c.out, "delete ").size(), 2u);
  // A previous document that cannot be read stops the publication.
  ASSERT_TRUE(WriteFile(tmp.Sub("broken.info"), "<update_info version=\"2\"><files>"));
  p = PublishRelease(Release("1.1"), tmp.Sub("fresh"), 8080,
                     {"--previous", tmp.Sub("broken.info")});
  EXPECT_EQ(p.code, 1);
  EXPECT_NE(p.err.find("broken.info"), std::string::npos) << p.err;
}

// ---------------------------------------------------------------------------------------------
// Release trees the updater could not install are refused before anything is written.

class RefusedTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteFile(tmp_.Sub("rel/program"), "#!/bin/sh\necho hi\n"));
    ASSERT_TRUE(WriteFile(tmp_.Sub("outside/secret"), "not for publishing\n"));
  }
  Result Publish() {
    return PublishTool(
        {"publish", tmp_.Sub("rel"), tmp_.Sub("site"), "--site-url", "http://127.0.0.1:1/"});
  }
  void ExpectRefused(const std::string& mention) {
    Result r = Publish();
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("refusing release tree"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(mention), std::string::npos) << r.err;
    EXPECT_FALSE(FileExists(tmp_.Sub("site/updates/") + kChannel));
  }
  TempDir tmp_;
};

TEST_F(RefusedTree, ControlCharacterInName) {
  ASSERT_TRUE(WriteFile(tmp_.Sub("rel/bad\x01name"), "x"));
  ExpectRefused("bad\\x01name");
}

TEST_F(RefusedTree, BackslashInName) {
  ASSERT_TRUE(WriteFile(tmp_.Sub("rel/dir\\file"), "x"));
  ExpectRefused("backslash");
}

TEST_F(RefusedTree, InvalidUtf8Name) {
  ASSERT_TRUE(WriteFile(tmp_.Sub("rel/caf\xe9"), "x"));
  ExpectRefused("UTF-8");
}

TEST_F(RefusedTree, EmptyFile) {
  ASSERT_TRUE(WriteFile(tmp_.Sub("rel/empty.txt"), ""));
  ExpectRefused("'empty.txt' is empty");
}

TEST_F(RefusedTree, NameTheUpdaterKeeps) {
  ASSERT_TRUE(WriteFile(tmp_.Sub("rel/tmp/updater/x"), "x"));
  ExpectRefused("keeps for itself");
}

TEST_F(RefusedTree, SymbolicLinkOutOfTheTree) {
  ASSERT_EQ(symlink(tmp_.Sub("outside/secret").c_str(), tmp_.Sub("rel/link").c_str()), 0);
  ExpectRefused("'link' is a symbolic link out of the release tree");
  // A relative link that climbs out is refused the same way.
  unlink(tmp_.Sub("rel/link").c_str());
  ASSERT_EQ(symlink("../outside/secret", tmp_.Sub("rel/link").c_str()), 0);
  ExpectRefused("out of the release tree");
  unlink(tmp_.Sub("rel/link").c_str());
  ASSERT_EQ(symlink("../outside", tmp_.Sub("rel/dirlink").c_str()), 0);
  ExpectRefused("dirlink");
  unlink(tmp_.Sub("rel/dirlink").c_str());
  // A sibling whose name begins with the release root's name is outside all the same.
  ASSERT_TRUE(WriteFile(tmp_.Sub("rel2/secret"), "not for publishing either\n"));
  ASSERT_EQ(symlink("../rel2/secret", tmp_.Sub("rel/sibling").c_str()), 0);
  ExpectRefused("'sibling' is a symbolic link out of the release tree");
  unlink(tmp_.Sub("rel/sibling").c_str());
  ASSERT_EQ(symlink(tmp_.Sub("rel2/secret").c_str(), tmp_.Sub("rel/sibling").c_str()), 0);
  ExpectRefused("'sibling' is a symbolic link out of the release tree");
}

TEST_F(RefusedTree, SymbolicLinkInsideTheTreeIsPublishedAsItsFile) {
  ASSERT_EQ(symlink("program", tmp_.Sub("rel/alias").c_str()), 0);
  Result r = Publish();
  ASSERT_EQ(r.code, 0) << r.err;
  Result c = CheckSite(tmp_.Sub("site"), tmp_.Sub("rel"));
  ASSERT_EQ(c.code, 0) << c.err;
  EXPECT_NE(FileLine(c.out, "alias"), "");
}

TEST_F(RefusedTree, SiteInsideTheReleaseAndBadGroupsFiles) {
  Result r = PublishTool(
      {"publish", tmp_.Sub("rel"), tmp_.Sub("rel/site"), "--site-url", "http://127.0.0.1:1/"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("inside the release tree"), std::string::npos) << r.err;

  ASSERT_TRUE(WriteFile(tmp_.Sub("groups.ini"),
                        "[release]\r\ngroups=core\r\n[group core]\r\ndefault=7\r\nfiles=*\r\n"));
  r = PublishTool({"publish", tmp_.Sub("rel"), tmp_.Sub("site"), "--site-url",
                   "http://127.0.0.1:1/", "--groups", tmp_.Sub("groups.ini")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("default=7"), std::string::npos) << r.err;

  ASSERT_TRUE(WriteFile(tmp_.Sub("groups.ini"), "[release]\r\ngroups=a,b\r\n[group a]\r\n"));
  r = PublishTool({"publish", tmp_.Sub("rel"), tmp_.Sub("site"), "--site-url",
                   "http://127.0.0.1:1/", "--groups", tmp_.Sub("groups.ini")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no files= patterns"), std::string::npos) << r.err;

  // A name the updater would refuse as a key of its state file.
  ASSERT_TRUE(
      WriteFile(tmp_.Sub("groups.ini"), "[release]\r\ngroups=a;b\r\n[group a;b]\r\nfiles=*\r\n"));
  r = PublishTool({"publish", tmp_.Sub("rel"), tmp_.Sub("site"), "--site-url",
                   "http://127.0.0.1:1/", "--groups", tmp_.Sub("groups.ini")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("group name 'a;b' holds one of the characters"), std::string::npos) << r.err;

  r = PublishTool({"publish", tmp_.Sub("rel"), tmp_.Sub("site"), "--file-base", "files/"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("absolute"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------------------------------------
// The built-in server.

class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteFile(tmp_.Sub("site/updates/doc.info"), "<update_info/>\n"));
    ASSERT_TRUE(WriteFile(tmp_.Sub("site/files/ab/pack"), std::string(200000, 'p')));
    ASSERT_TRUE(WriteFile(tmp_.Sub("secret"), "TOP-SECRET\n"));
    ASSERT_EQ(symlink(tmp_.Sub("secret").c_str(), tmp_.Sub("site/escape").c_str()), 0);
    server_.reset(new BuiltinServer(tmp_.Sub("site")));
    ASSERT_GT(server_->port(), 0) << server_->Log();
  }
  int port() const { return server_->port(); }
  TempDir tmp_;
  std::unique_ptr<BuiltinServer> server_;
};

TEST_F(ServeTest, GetHeadAndNotFound) {
  std::string r = Get(port(), "/files/ab/pack");
  EXPECT_EQ(Status(r), 200);
  EXPECT_EQ(Header(r, "Content-Length"), "200000");
  EXPECT_EQ(Body(r), std::string(200000, 'p'));

  r = Get(port(), "/updates/doc.info?x=1", "HEAD");
  EXPECT_EQ(Status(r), 200);
  EXPECT_EQ(Header(r, "Content-Length"), "15");
  EXPECT_EQ(Body(r), "");

  EXPECT_EQ(Status(Get(port(), "/updates/missing.info")), 404);
  EXPECT_EQ(Status(Get(port(), "/updates/")), 404);  // directories are not listed
  EXPECT_EQ(Status(Get(port(), "/files/ab/pack", "POST")), 501);
  EXPECT_EQ(Status(Http(port(), "nonsense\r\n\r\n")), 400);
  EXPECT_EQ(Status(Get(port(), "/files/ab/p%61ck")), 200);  // percent-decoded
  EXPECT_EQ(Status(Get(port(), "/files/ab/pack%")), 400);
}

TEST_F(ServeTest, NeverServesOutsideTheSite) {
  for (const char* target :
       {"/../secret", "/%2e%2e/secret", "/files/..%2f..%2fsecret", "/updates/../../secret",
        "/./../secret", "/escape", "/files/%00", "secret", "/..", "/files/ab/..%5c..%5csecret"}) {
    std::string r = Get(port(), target);
    EXPECT_NE(Status(r), 200) << target;
    EXPECT_NE(Status(r), -1) << target << " got no HTTP answer";
    EXPECT_EQ(r.find("TOP-SECRET"), std::string::npos) << target;
  }
}

TEST_F(ServeTest, ManyConnectionsInARow) {
  int ok = 0;
  for (int i = 0; i < 300; ++i) {
    if (Status(Get(port(), i % 2 ? "/updates/doc.info" : "/nothing")) == (i % 2 ? 200 : 404)) {
      ++ok;
    }
  }
  EXPECT_EQ(ok, 300);
  // Clients that connect and leave without a whole request do not stop the server.
  EXPECT_EQ(Http(port(), ""), "");
  EXPECT_EQ(Http(port(), "GET /updates/doc.info HTTP/1.0\r\n"), "");
  EXPECT_EQ(Status(Get(port(), "/updates/doc.info")), 200);
  // SIGTERM ends it cleanly, every connection closed and every block freed.
  EXPECT_EQ(server_->Stop(), 0) << server_->Log();
  EXPECT_NE(server_->Log().find("Stopped after"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// The real updater against nginx and against the built-in server.

class EndToEnd : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!FileExists(BinPath("updater"))) GTEST_SKIP() << "updater is not built";
    ASSERT_TRUE(testutil::MakeDirs(tmp_.Sub("site")));
    ASSERT_TRUE(testutil::MakeDirs(tmp_.Sub("install")));
    if (GetParam()) {
      ASSERT_TRUE(testutil::HaveNginx());
      nginx_.reset(new testutil::NginxServer(tmp_.Sub("site")));
      ASSERT_TRUE(nginx_->ok()) << nginx_->error();
      port_ = nginx_->port();
    } else {
      builtin_.reset(new BuiltinServer(tmp_.Sub("site")));
      port_ = builtin_->port();
      ASSERT_GT(port_, 0) << builtin_->Log();
    }
  }
  Result Publish(const std::string& version, std::vector<std::string> extra = {}) {
    return PublishRelease(Release(version), tmp_.Sub("site"), port_, extra);
  }
  std::string install() const { return tmp_.Sub("install"); }

  TempDir tmp_;
  std::unique_ptr<testutil::NginxServer> nginx_;
  std::unique_ptr<BuiltinServer> builtin_;
  int port_ = 0;
};

TEST_P(EndToEnd, InstallUpdateAndUpToDate) {
  ASSERT_EQ(Publish("1.0", {"--encrypt"}).code, 0);
  Result r = RunUpdater(port_, install());
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Update Complete!"), std::string::npos) << r.out;
  EXPECT_EQ(TreeOf(install()), DefaultInstall("1.0"));
  struct stat st;
  ASSERT_EQ(stat((install() + "/vantorex").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  ASSERT_EQ(Publish("1.1", {"--encrypt"}).code, 0);
  r = RunUpdater(port_, install());
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("*** Deleting Outdated Files ***"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Deleting docs/plugins.txt: OK"), std::string::npos) << r.out;
  // Only what changed is downloaded again.
  EXPECT_EQ(r.out.find("Unpacking LICENSE"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Unpacking vantorex ..."), std::string::npos) << r.out;
  EXPECT_EQ(TreeOf(install()), DefaultInstall("1.1"));

  r = RunUpdater(port_, install());
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Abort: Nothing to be done, you are up-to-date"), std::string::npos)
      << r.out;
}

TEST_P(EndToEnd, GroupChoicesAndAll) {
  ASSERT_EQ(Publish("1.0").code, 0);
  // The user asked for the admin plugins and against the documentation.
  ASSERT_TRUE(WriteFile(install() + "/.updater.ini", "[groups]\r\nadmin=1\r\ndocs=2\r\n"));
  Result r = RunUpdater(port_, install());
  ASSERT_EQ(r.code, 0) << r.out;
  std::map<std::string, std::string> want = TreeOf(Release("1.0"));
  for (const char* doc :
       {"docs/README.txt", "docs/CHANGES.txt", "docs/plugins.txt", "docs/LICENSE.txt"}) {
    want.erase(doc);
  }
  EXPECT_EQ(TreeOf(install()), want);

  // --all selects every group, and the choice is kept for the next run.
  r = RunUpdater(port_, install(), {"--all"});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(TreeOf(install()), TreeOf(Release("1.0")));
  EXPECT_NE(ReadFileOr(install() + "/.updater.ini").find("docs=1"), std::string::npos);

  // The version 1 form (MD5) works for the same installation.
  ASSERT_EQ(Publish("1.1", {"--info-version", "1"}).code, 0);
  r = RunUpdater(port_, install());
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(TreeOf(install()), TreeOf(Release("1.1")));
}

INSTANTIATE_TEST_SUITE_P(Servers, EndToEnd, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Nginx" : "BuiltinServer";
                         });

}  // namespace
