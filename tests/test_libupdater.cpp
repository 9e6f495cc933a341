// Tests of the update engine: the RC4 cipher, the streaming unpacker, parsing of the
// update-information document, the plan, and whole updates against a real nginx on loopback.
// Packs are made by tests/support/engine_packs.py (Python's zlib, RC4 by `openssl enc`), so
// the engine's own unpacking code never judges its own output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "libupdater.h"
#include "memleak.h"
#include "rc4.h"
#include "test_util.h"

using testutil::FileExists;
using testutil::ReadFileOr;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

// ---- Output captured from the engine's callbacks ----

std::vector<std::string> g_status;
std::vector<std::string> g_debug;
std::vector<std::string> g_progressNames;
int g_infoProgressCalls = 0;
// When set, the status callback kills the process as soon as this line is reported.
std::string g_killAt;

bool StatusCb(const char* text) {
  g_status.push_back(text);
  if (!g_killAt.empty() && g_killAt == text) raise(SIGKILL);
  return true;
}
bool DebugCb(const char* text) {
  g_debug.push_back(text);
  return true;
}
bool InfoProgressCb(uint64_t, uint64_t, void* user) {
  g_infoProgressCalls++;
  return user == nullptr;
}
bool FileProgressCb(uint64_t, uint64_t, void* user) {
  std::string name = user ? static_cast<const char*>(user) : "(null)";
  if (g_progressNames.empty() || g_progressNames.back() != name) g_progressNames.push_back(name);
  return true;
}

UpdaterCallbacks g_callbacks = {InfoProgressCb, FileProgressCb, DebugCb, StatusCb};

void ClearCaptured() {
  g_status.clear();
  g_debug.clear();
  g_progressNames.clear();
  g_infoProgressCalls = 0;
  g_killAt.clear();
}

std::string Hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    v.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return v;
}

std::string XmlAttr(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Makes packs of (content, key) pairs with the external tool. Returns false when it failed.
bool MakePacks(const std::vector<std::pair<std::string, std::string>>& contentsAndKeys,
               const std::vector<std::string>& packPaths, const TempDir& scratch) {
  std::vector<std::string> argv = {"/usr/bin/python3",
                                   testutil::SourcePath("tests/support/engine_packs.py")};
  for (size_t i = 0; i < contentsAndKeys.size(); i++) {
    std::string src = scratch.Sub("src" + std::to_string(i));
    if (!WriteFile(src, contentsAndKeys[i].first)) return false;
    argv.push_back(src);
    argv.push_back(packPaths[i]);
    argv.push_back(contentsAndKeys[i].second);
  }
  std::string out;
  return testutil::RunProgram(argv, &out) == 0;
}

std::string MakePack(const std::string& content, const std::string& key) {
  TempDir scratch;
  std::string pack = scratch.Sub("pack");
  if (!MakePacks({{content, key}}, {pack}, scratch)) return "";
  return ReadFileOr(pack);
}

// Bytes that do not compress, so packs are about as long as their content.
std::string Noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>(seed >> 16);
  }
  return s;
}

// ---- A release served by nginx and an installation directory ----

struct Entry {
  std::string name;
  std::string content;
  std::string key;
  std::string group;     // "group" attribute; omitted when empty
  std::string packName;  // defaults to a name derived from the file name
  std::string sizeAttr;  // overrides "size" when not empty
  std::string sumAttr;   // overrides the file checksum when not empty
  std::string extra;     // raw attribute text appended to the element
  bool absoluteUrl = false;
};

class Release {
 public:
  explicit Release(int version = 2) : version_(version), nginx_(docroot_.path()) {}

  bool ok() const { return nginx_.ok(); }
  const testutil::NginxServer& nginx() const { return nginx_; }
  std::string base() const { return base_.path() + "/"; }
  std::string ini() const { return state_.Sub(".updater.ini"); }
  std::string docUrl() const { return nginx_.Url("/updates/test.info"); }
  std::string packUrl(const std::string& pack) const { return nginx_.Url("/packs/" + pack); }
  std::string packPath(const std::string& pack) const { return docroot_.Sub("packs/" + pack); }

  Entry& add(const std::string& name, const std::string& content, const std::string& key = "",
             const std::string& group = "") {
    Entry e;
    e.name = name;
    e.content = content;
    e.key = key;
    e.group = group;
    std::string pack;
    for (char c : name) pack += (isalnum(static_cast<unsigned char>(c)) || c == '.') ? c : '_';
    e.packName = pack + ".pak";
    entries_.push_back(e);
    return entries_.back();
  }
  void addGroup(const std::string& attrs) { groups_.push_back(attrs); }
  void addDelete(const std::string& name) { deletes_.push_back(name); }
  void setVersion(int v) { version_ = v; }

  // Writes the packs and the document into the served tree.
  bool build() {
    std::vector<std::pair<std::string, std::string>> inputs;
    std::vector<std::string> packs;
    testutil::MakeDirs(docroot_.Sub("packs"));
    for (const Entry& e : entries_) {
      inputs.emplace_back(e.content, e.key);
      packs.push_back(packPath(e.packName));
    }
    if (!inputs.empty() && !MakePacks(inputs, packs, scratch_)) return false;
    std::ostringstream doc;
    const bool v2 = version_ > 1;
    doc << "<?xml version=\"1.0\"?>\n<update_info version=\"" << version_ << "\">\n"
        << "  <info AppName=\"Kestrel\" Author=\"Test Vendor\" URL=\"http://example.invalid/\"";
    if (v2) doc << " FileBase=\"" << nginx_.Url("/packs/") << "\"";
    doc << "/>\n";
    if (!groups_.empty()) {
      doc << "  <groups>\n";
      for (const std::string& g : groups_) doc << "    <group " << g << "/>\n";
      doc << "  </groups>\n";
    }
    doc << "  <files>\n";
    for (const Entry& e : entries_) {
      std::string pack = ReadFileOr(packPath(e.packName));
      std::string url = (v2 && !e.absoluteUrl) ? e.packName : packUrl(e.packName);
      doc << "    <file file=\"" << XmlAttr(e.name) << "\" size=\""
          << (e.sizeAttr.empty() ? std::to_string(e.content.size()) : e.sizeAttr) << "\" url=\""
          << XmlAttr(url) << "\" key=\"" << XmlAttr(e.key) << "\"";
      if (!e.group.empty()) doc << " group=\"" << XmlAttr(e.group) << "\"";
      if (v2) {
        doc << " sha=\"" << (e.sumAttr.empty() ? testutil::Sha256Hex(e.content) : e.sumAttr)
            << "\" packsha=\"" << testutil::Sha256Hex(pack) << "\"";
      } else {
        doc << " md5=\"" << (e.sumAttr.empty() ? testutil::Md5Hex(e.content) : e.sumAttr)
            << "\" packmd5=\"" << testutil::Md5Hex(pack) << "\"";
      }
      doc << " " << e.extra << "/>\n";
    }
    doc << "  </files>\n";
    if (!deletes_.empty()) {
      doc << "  <delete>\n";
      for (const std::string& d : deletes_) doc << "    <file file=\"" << XmlAttr(d) << "\"/>\n";
      doc << "  </delete>\n";
    }
    doc << "</update_info>\n";
    document_ = doc.str();
    return WriteFile(docroot_.Sub("updates/test.info"), document_);
  }
  const std::string& document() const { return document_; }
  std::vector<Entry>& entries() { return entries_; }

  // Installed content of a file, or "<missing>".
  std::string installed(const std::string& name) const {
    return ReadFileOr(base() + name, "<missing>");
  }
  // Number of requests for a path in the server's access log.
  int requests(const std::string& path) const {
    std::string log = nginx_.AccessLog();
    int n = 0;
    for (size_t pos = 0; (pos = log.find("GET " + path + " ", pos)) != std::string::npos; pos++) {
      n++;
    }
    return n;
  }

 private:
  int version_;
  TempDir docroot_;
  TempDir base_;
  TempDir state_;
  TempDir scratch_;
  testutil::NginxServer nginx_;
  std::vector<Entry> entries_;
  std::vector<std::string> groups_;
  std::vector<std::string> deletes_;
  std::string document_;
};

// Runs the engine through fetch, parse, (mark all,) perform as the front end does.
struct RunResult {
  bool fetched = false;
  bool parsed = false;
  bool needed = false;
  bool performed = false;
  std::string error;
};

RunResult RunUpdate(const Release& rel, bool markAll = false,
                    const std::string& program = "updater", bool perform = true) {
  ClearCaptured();
  RunResult r;
  Updater u;
  u.setup(rel.docUrl().c_str(), rel.base().c_str(), program.c_str(), rel.ini().c_str(),
          &g_callbacks);
  r.fetched = u.fetchInfo();
  if (r.fetched) r.parsed = u.parseInfo();
  if (r.parsed && markAll) {
    for (UpdateGroup* g = u.firstGroup(); g; g = g->next) u.setGroupState(g, 1);
  }
  if (r.parsed) r.needed = u.needsUpdate();
  if (r.needed && perform) {
    r.performed = u.performUpdate();
    if (r.performed) u.saveGroupStates();
  }
  r.error = u.lastError();
  return r;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

// Each test runs in its own working directory, where fetchInfo keeps its temporary file.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof(buf)), nullptr);
    oldCwd_ = buf;
    ASSERT_EQ(chdir(cwd_.path().c_str()), 0);
    ClearCaptured();
  }
  void TearDown() override { EXPECT_EQ(chdir(oldCwd_.c_str()), 0); }

  // An Updater set up on base() with the given document text loaded from disk.
  void Load(Updater& u, const std::string& document, const std::string& ini = "") {
    WriteFile(cwd_.Sub("doc.xml"), document);
    u.setup("http://127.0.0.1:9/none.info", base().c_str(), "updater", ini.c_str(), &g_callbacks);
    ASSERT_TRUE(u.loadInfoFile(cwd_.Sub("doc.xml").c_str())) << u.lastError();
  }
  std::string base() const { return inst_.path() + "/"; }

  TempDir cwd_;
  TempDir inst_;
  std::string oldCwd_;
};

std::string Doc(const std::string& files, const std::string& groups = "",
                const std::string& extra = "", int version = 2) {
  return "<update_info version=\"" + std::to_string(version) +
         "\"><info AppName=\"A\" Author=\"B\" URL=\"http://h/\" "
         "FileBase=\"http://files.example/base/\"/>" +
         (groups.empty() ? "" : "<groups>" + groups + "</groups>") + "<files>" + files +
         "</files>" + extra + "</update_info>";
}

const char kShaOfEmpty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

}  // namespace

// ---- RC4 ----

TEST(Rc4, MatchesPublishedKeystreams) {
  struct Vector {
    const char* key;
    const char* at0;
    const char* at16;
  } vectors[] = {
      {"0102030405", "b2396305f03dc027ccc3524a0a1118a8", "6982944f18fc82d589c403a47a0d0919"},
      {"0102030405060708090a0b0c0d0e0f10", "9ac7cc9a609d1ef7b2932899cde41b97",
       "5248c4959014126a6e8a84f11d1a9e1c"},
  };
  for (const Vector& v : vectors) {
    std::vector<uint8_t> key = FromHex(v.key);
    Rc4State st;
    ASSERT_TRUE(rc4_init(&st, key.data(), key.size()));
    uint8_t buf[32] = {};
    rc4_crypt(&st, buf, sizeof(buf));
    EXPECT_EQ(Hex(buf, 16), v.at0) << v.key;
    EXPECT_EQ(Hex(buf + 16, 16), v.at16) << v.key;
  }
}

TEST(Rc4, BlockwiseEqualsWholeAndRejectsBadKeys) {
  const uint8_t key[16] = {'k', 'e', 'y'};
  std::string data = Noise(10000, 7);
  std::string whole = data, pieces = data;
  Rc4State a, b;
  ASSERT_TRUE(rc4_init(&a, key, 16));
  ASSERT_TRUE(rc4_init(&b, key, 16));
  rc4_crypt(&a, reinterpret_cast<uint8_t*>(&whole[0]), whole.size());
  size_t pos = 0, step = 1;
  while (pos < pieces.size()) {
    size_t n = std::min(step, pieces.size() - pos);
    rc4_crypt(&b, reinterpret_cast<uint8_t*>(&pieces[pos]), n);
    pos += n;
    step = step * 3 + 1;
  }
  EXPECT_EQ(whole, pieces);
  EXPECT_NE(whole, data);
  Rc4State c;
  EXPECT_FALSE(rc4_init(&c, key, 0));
  std::vector<uint8_t> longKey(257, 1);
  EXPECT_FALSE(rc4_init(&c, longKey.data(), longKey.size()));
}

// ---- Unpacking ----

class UnpackTest : public EngineTest {};

TEST_F(UnpackTest, PlainAndEncipheredPacksInflateToTheOriginal) {
  std::string content = "line one\nline two\n" + Noise(300000, 3) + std::string(200000, 'z');
  for (const std::string& key :
       {std::string(""), std::string("0123456789abcdef"), std::string("short")}) {
    std::string pack = MakePack(content, key);
    ASSERT_FALSE(pack.empty());
    ASSERT_TRUE(WriteFile(base() + "p", pack));
    Updater u;
    ASSERT_TRUE(u.unpackFile((base() + "p").c_str(), (base() + "out").c_str(), key.c_str(),
                             static_cast<int64_t>(content.size())))
        << key << ": " << u.lastError();
    EXPECT_EQ(ReadFileOr(base() + "out"), content) << "key '" << key << "'";
    EXPECT_FALSE(FileExists(base() + "out.unpacked"));
  }
}

TEST_F(UnpackTest, ReplacesThePackInPlaceAndAcceptsALargerSize) {
  std::string content = Noise(700000, 11);
  ASSERT_TRUE(WriteFile(base() + "p", MakePack(content, "k")));
  Updater u;
  std::string p = base() + "p";
  ASSERT_TRUE(u.unpackFile(p.c_str(), p.c_str(), "k", 5000000)) << u.lastError();
  EXPECT_EQ(ReadFileOr(p), content);
}

TEST_F(UnpackTest, OutputLongerThanSizeFailsWithBufError) {
  std::string content = Noise(100000, 5);
  ASSERT_TRUE(WriteFile(base() + "p", MakePack(content, "")));
  WriteFile(base() + "out", "previous");
  Updater u;
  EXPECT_FALSE(u.unpackFile((base() + "p").c_str(), (base() + "out").c_str(), "", 99999));
  EXPECT_STREQ(u.lastError(), "Error uncompressing data (-5)");
  EXPECT_EQ(ReadFileOr(base() + "out"), "previous");
  EXPECT_FALSE(FileExists(base() + "out.unpacked"));
  // Exactly the right size is enough.
  EXPECT_TRUE(u.unpackFile((base() + "p").c_str(), (base() + "out").c_str(), "", 100000));
}

TEST_F(UnpackTest, DamagedOrTruncatedOrWronglyKeyedDataFailsWithDataError) {
  std::string content = Noise(50000, 9) + std::string(50000, 'a');
  std::string pack = MakePack(content, "");
  std::string damaged = pack;
  damaged[damaged.size() / 2] ^= 0x55;
  damaged[damaged.size() / 2 + 1] ^= 0x55;
  std::string truncated = pack.substr(0, pack.size() - 40);
  std::string badHeader = pack;
  badHeader[0] = 0x12;
  for (const std::string& bad : {damaged, truncated, badHeader}) {
    ASSERT_TRUE(WriteFile(base() + "p", bad));
    Updater u;
    EXPECT_FALSE(u.unpackFile((base() + "p").c_str(), (base() + "out").c_str(), "", 1 << 20));
    EXPECT_STREQ(u.lastError(), "Error uncompressing data (-3)");
    EXPECT_FALSE(FileExists(base() + "out"));
  }
  // A pack enciphered with another key does not inflate either.
  ASSERT_TRUE(WriteFile(base() + "p", MakePack(content, "right key")));
  Updater u;
  EXPECT_FALSE(
      u.unpackFile((base() + "p").c_str(), (base() + "out").c_str(), "wrong key", 1 << 20));
  EXPECT_STREQ(u.lastError(), "Error uncompressing data (-3)");
}

TEST_F(UnpackTest, EmptyOutputGivesAnEmptyFile) {
  ASSERT_TRUE(WriteFile(base() + "p", MakePack("", "")));
  WriteFile(base() + "out", "old");
  Updater u;
  ASSERT_TRUE(u.unpackFile((base() + "p").c_str(), (base() + "out").c_str(), "", 0))
      << u.lastError();
  EXPECT_TRUE(FileExists(base() + "out"));
  EXPECT_EQ(ReadFileOr(base() + "out", "<missing>"), "");
}

TEST_F(UnpackTest, UnreadableSourceAndUnwritableDestination) {
  Updater u;
  std::string missing = base() + "missing";
  EXPECT_FALSE(u.unpackFile(missing.c_str(), (base() + "out").c_str(), "", 10));
  EXPECT_EQ(std::string(u.lastError()), "Error opening " + missing + " for read!");
  WriteFile(base() + "empty", "");
  EXPECT_FALSE(u.unpackFile((base() + "empty").c_str(), (base() + "out").c_str(), "", 10));
  EXPECT_EQ(std::string(u.lastError()).rfind("Error reading file data! (", 0), 0u);
  WriteFile(base() + "p", MakePack("abc", ""));
  std::string dest = base() + "no/such/dir/out";
  EXPECT_FALSE(u.unpackFile((base() + "p").c_str(), dest.c_str(), "", 10));
  EXPECT_EQ(std::string(u.lastError()), "Error opening " + dest + " for write!");
  // A destination that cannot be replaced keeps what it holds.
  WriteFile(base() + "taken/inside", "x");
  EXPECT_FALSE(u.unpackFile((base() + "p").c_str(), (base() + "taken").c_str(), "", 10));
  EXPECT_EQ(std::string(u.lastError()).rfind("Error renaming ", 0), 0u) << u.lastError();
  EXPECT_EQ(ReadFileOr(base() + "taken/inside"), "x");
  EXPECT_FALSE(FileExists(base() + "taken.unpacked"));
}

// ---- Object basics ----

TEST_F(EngineTest, LastErrorKeepsOnlyTheLatestFailure) {
  Updater u;
  EXPECT_STREQ(u.lastError(), "");
  EXPECT_FALSE(u.setError("first %d", 1));
  EXPECT_FALSE(u.setError("second %s", std::string(5000, 'x').c_str()));
  EXPECT_EQ(std::string(u.lastError()), "second " + std::string(5000, 'x'));
}

TEST_F(EngineTest, MessagesGoToTheirSlotsOrNowhere) {
  Updater u;
  u.setup("", base().c_str(), "updater", "", &g_callbacks);
  u.debugf("d%d", 1);
  u.statusf("s%s", "2");
  EXPECT_EQ(g_debug, std::vector<std::string>{"d1"});
  EXPECT_EQ(g_status, std::vector<std::string>{"s2"});
  UpdaterCallbacks partial = {nullptr, nullptr, nullptr, StatusCb};
  u.setup("", base().c_str(), "updater", "", &partial);
  u.debugf("dropped");
  u.setup("", base().c_str(), "updater", "", nullptr);
  u.statusf("dropped");
  EXPECT_EQ(g_debug.size(), 1u);
  EXPECT_EQ(g_status.size(), 1u);
}

TEST_F(EngineTest, LoadAndSaveInfoText) {
  Updater u;
  u.setup("", base().c_str(), "updater", "", nullptr);
  EXPECT_FALSE(u.loadInfoFile(cwd_.Sub("missing").c_str()));
  EXPECT_EQ(std::string(u.lastError()), "Error opening " + cwd_.Sub("missing") + "!");
  WriteFile(cwd_.Sub("empty"), "");
  EXPECT_FALSE(u.loadInfoFile(cwd_.Sub("empty").c_str()));
  EXPECT_EQ(std::string(u.lastError()), "Error reading " + cwd_.Sub("empty") + "!");
  WriteFile(cwd_.Sub("nul"), std::string("abc\0def", 7));
  ASSERT_TRUE(u.loadInfoFile(cwd_.Sub("nul").c_str()));
  EXPECT_EQ(u.infoText(), "abc");
  u.saveInfoText(cwd_.Sub("copy").c_str());
  EXPECT_EQ(ReadFileOr(cwd_.Sub("copy")), "abc");
  u.saveInfoText(cwd_.Sub("no/dir/copy").c_str());  // silently skipped
}

TEST_F(EngineTest, SetupStartsOverAndRemovesTheTemporaryDocument) {
  Updater u;
  Load(u, Doc("<f file=\"a\" url=\"a.pak\" key=\"\" sha=\"00\" packsha=\"\"/>",
              "<group name=\"g\"/>"));
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  EXPECT_NE(u.firstFile(), nullptr);
  WriteFile(cwd_.Sub("updater-info.xml"), "stale");
  u.setup("", base().c_str(), "updater", "", nullptr);
  EXPECT_EQ(u.firstFile(), nullptr);
  EXPECT_EQ(u.firstGroup(), nullptr);
  EXPECT_EQ(u.fileCount(), 0);
  EXPECT_EQ(u.infoVersion(), 0);
  EXPECT_FALSE(u.needsUpdate());
  EXPECT_FALSE(FileExists(cwd_.Sub("updater-info.xml")));
  WriteFile(cwd_.Sub("updater-info.xml"), "stale");
  { Updater gone; }
  EXPECT_FALSE(FileExists(cwd_.Sub("updater-info.xml")));
}

// ---- Parsing ----

TEST_F(EngineTest, ParseErrorsNameTheirCause) {
  struct Case {
    std::string doc;
    std::string error;
  } cases[] = {
      {"<update_info version=\"2\">\n<info>\n</update_info>", "Error parsing updater-info.xml ("},
      {"<other/>", "Unable to find update_info element!"},
      {"<update_info version=\"2\"><files/></update_info>", "Unable to find info element!"},
      {"<update_info version=\"2\"><info/><groups><group name=\"g\"/></groups></update_info>",
       "Unable to find files element!"},
  };
  for (const Case& c : cases) {
    Updater u;
    Load(u, c.doc);
    EXPECT_FALSE(u.parseInfo()) << c.doc;
    EXPECT_EQ(std::string(u.lastError()).substr(0, c.error.size()), c.error) << c.doc;
  }
  Updater u;
  Load(u, "<update_info version=\"2\">\n<info>\n</update_info>");
  EXPECT_FALSE(u.parseInfo());
  EXPECT_NE(std::string(u.lastError()).find(" at row 3, col "), std::string::npos) << u.lastError();
  // The groups read before the missing files element stay.
  Updater v;
  Load(v, cases[3].doc);
  EXPECT_FALSE(v.parseInfo());
  ASSERT_NE(v.findGroup("G"), nullptr);
  EXPECT_EQ(v.infoVersion(), 2);
}

TEST_F(EngineTest, ParsesInformationGroupsAndFiles) {
  WriteFile(base() + "same", "same content");
  WriteFile(base() + "UPPER", "x");
  std::string doc = Doc(
      "<file file=\"same\" size=\"12\" modes=\"0755\" url=\"sub dir/same pack.pak\" key=\"k\" "
      "group=\"core,,EXTRAS,nosuch,core\" sha=\"" +
          testutil::Sha256Hex("same content") +
          "\" packsha=\"AB\"/>"
          "<x file=\"new/file\" url=\"FTP://mirror/new\" key=\"\" sha=\"00\" packsha=\"\"/>"
          "<y file=\"UPPER\" url=\"https://h/u\" key=\"0123456789abcdefXYZ\" sha=\"" +
          [] {
            std::string s = testutil::Sha256Hex("x");
            for (char& c : s) c = static_cast<char>(toupper(c));
            return s;
          }() +
          "\" packsha=\"\"/>",
      "<group name=\"core\" dispName=\"Core files\" menu=\"m\" desc=\"one\\ntwo\\nthree\" "
      "priority=\"70\" default=\"1\" defaultgrp=\"1\"/>"
      "<group name=\"extras\" dispName=\"\" defaultgrp=\"1\"/>");
  Updater u;
  Load(u, doc);
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  EXPECT_EQ(g_debug, (std::vector<std::string>{"Info version: 2", "Building file list..."}));
  EXPECT_EQ(u.appName(), "A");
  EXPECT_EQ(u.author(), "B");
  EXPECT_EQ(u.homeUrl(), "http://h/");
  EXPECT_EQ(u.fileBase(), "http://files.example/base/");
  EXPECT_EQ(u.fileCount(), 3);

  UpdateGroup* core = u.findGroup("CORE");
  UpdateGroup* extras = u.findGroup("extras");
  ASSERT_TRUE(core && extras);
  EXPECT_EQ(u.firstGroup(), core);  // higher priority first
  EXPECT_EQ(core->dispName, "Core files");
  EXPECT_EQ(core->menu, "m");
  EXPECT_EQ(core->desc, "one\ntwo\nthree");
  EXPECT_EQ(core->state, 1);
  EXPECT_EQ(extras->dispName, "extras");
  EXPECT_EQ(extras->priority, 50);
  EXPECT_EQ(extras->state, 0);
  EXPECT_EQ(u.defaultGroup(), extras);  // the last one marked

  UpdateFile* f = u.firstFile();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->name, "same");
  EXPECT_EQ(f->url, "http://files.example/base/sub%20dir/same%20pack.pak");
  EXPECT_EQ(f->modes, 755u);
  EXPECT_EQ(f->size, 12);
  EXPECT_FALSE(f->needsUpdate);
  EXPECT_EQ(f->groups, (std::vector<UpdateGroup*>{core, extras, core}));
  EXPECT_STREQ(f->packChecksum.text(), "AB");
  EXPECT_STREQ(f->key, "k");
  ASSERT_NE(f->next, nullptr);
  EXPECT_EQ(f->next->url, "FTP://mirror/new");
  EXPECT_TRUE(f->next->needsUpdate);
  EXPECT_TRUE(f->next->groups.empty());
  UpdateFile* g = f->next->next;
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->prev, f->next);
  EXPECT_FALSE(g->needsUpdate);  // checksum compared without regard to case
  EXPECT_STREQ(g->key, "0123456789abcdef");
  EXPECT_EQ(g->next, nullptr);
  // "new/file" has no groups and is missing: the only pending file.
  EXPECT_EQ(u.pendingCount(), 1);
}

TEST_F(EngineTest, VersionOneReadsMd5AndIgnoresGroupsAndFileBase) {
  WriteFile(base() + "a", "alpha");
  std::string doc =
      Doc("<file file=\"a\" url=\"a.pak\" key=\"\" group=\"g\" md5=\"" + testutil::Md5Hex("alpha") +
              "\"/><file file=\"b\" url=\"b.pak\" key=\"\" md5=\"\"/>",
          "<group name=\"g\" default=\"1\"/>", "", 1);
  Updater u;
  Load(u, doc);
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  EXPECT_EQ(u.firstGroup(), nullptr);
  UpdateFile* a = u.firstFile();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->url, "a.pak");
  EXPECT_FALSE(a->needsUpdate);
  EXPECT_TRUE(a->groups.empty());
  EXPECT_STREQ(a->packChecksum.text(), "");
  ASSERT_NE(a->next, nullptr);
  EXPECT_TRUE(a->next->needsUpdate);  // empty checksum never matches
  EXPECT_EQ(u.pendingCount(), 1);
}

TEST_F(EngineTest, ManyBlanksInAUrlAllBecomePercent20) {
  Updater u;
  Load(u, Doc("<f file=\"a\" url=\"       x       \" key=\"\" sha=\"\" packsha=\"\"/>"));
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  std::string expect = "http://files.example/base/";
  for (int i = 0; i < 7; i++) expect += "%20";
  expect += "x";
  for (int i = 0; i < 7; i++) expect += "%20";
  EXPECT_EQ(u.firstFile()->url, expect);
}

TEST_F(EngineTest, GroupSortFollowsPriorityThenNameWithRightHandTies) {
  Updater u;
  Load(u, Doc("",
              "<group name=\"low\" priority=\"10\"/>"
              "<group name=\"b\" dispName=\"Beta\"/>"
              "<group name=\"high\" priority=\"60\"/>"
              "<group name=\"a\" dispName=\"alpha\"/>"
              "<group name=\"t1\" dispName=\"same\" priority=\"5\"/>"
              "<group name=\"t2\" dispName=\"SAME\" priority=\"5\"/>"
              "<group name=\"t3\" dispName=\"Same\" priority=\"5\"/>"
              "<group name=\"p1\" dispName=\"ab\" priority=\"1\"/>"
              "<group name=\"p2\" dispName=\"abc\" priority=\"1\"/>"));
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  std::vector<std::string> order;
  UpdateGroup* last = nullptr;
  for (UpdateGroup* g = u.firstGroup(); g; g = g->next) {
    EXPECT_EQ(g->prev, last);
    last = g;
    order.push_back(g->name);
  }
  // Equal names and prefixes take the right-hand group first at every merge.
  EXPECT_EQ(order,
            (std::vector<std::string>{"high", "a", "b", "low", "t3", "t2", "t1", "p2", "p1"}));
}

TEST_F(EngineTest, GroupStatesComeFromTheIniFileWhenValid) {
  std::string ini = cwd_.Sub("states.ini");
  WriteFile(ini, "[groups]\r\nthree=3\r\nneg=-1\r\ntwo=2\r\n");
  std::string groups =
      "<group name=\"three\" default=\"1\"/><group name=\"neg\" default=\"1\"/>"
      "<group name=\"two\"/><group name=\"absent\" default=\"1\"/>";
  Updater u;
  Load(u, Doc("", groups), ini);
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  EXPECT_EQ(u.findGroup("three")->state, 0);
  EXPECT_EQ(u.findGroup("neg")->state, 0);
  EXPECT_EQ(u.findGroup("two")->state, 2);
  EXPECT_EQ(u.findGroup("absent")->state, 1);
  u.setGroupState(u.findGroup("three"), 1);
  EXPECT_TRUE(u.saveGroupStates());
  std::string text = ReadFileOr(ini);
  EXPECT_NE(text.find("three=1"), std::string::npos) << text;
  EXPECT_NE(text.find("absent=1"), std::string::npos) << text;
  // Without an INI file name nothing is read or written.
  Updater v;
  Load(v, Doc("", groups));
  ASSERT_TRUE(v.parseInfo());
  EXPECT_EQ(v.findGroup("three")->state, 1);
  EXPECT_TRUE(v.saveGroupStates());
  EXPECT_FALSE(FileExists(cwd_.Sub(".updater.ini")));
}

TEST_F(EngineTest, NamesThatLeaveTheBaseDirectoryFailTheParse) {
  const char* bad[] = {"../evil", "/etc/passwd", "a/../../evil", "a\\..\\b", "",
                       "dir/..",  "tab\tname",   "dir/",         "."};
  for (const char* name : bad) {
    Updater u;
    Load(u, Doc(std::string("<f file=\"") + XmlAttr(name) +
                "\" url=\"x.pak\" key=\"\" sha=\"\" packsha=\"\"/>"));
    EXPECT_FALSE(u.parseInfo()) << name;
    EXPECT_EQ(std::string(u.lastError()),
              std::string("Unsafe file name \"") + name +
                  "\" in <f> entry 1 of <files>: it must be a relative path inside the base "
                  "directory");
  }
  Updater d;
  Load(d, Doc("<f file=\"ok\" url=\"x.pak\" key=\"\" sha=\"\" packsha=\"\"/>", "",
              "<delete><old file=\"fine\"/><old file=\"../../victim\"/></delete>"));
  EXPECT_FALSE(d.parseInfo());
  EXPECT_EQ(std::string(d.lastError()),
            "Unsafe file name \"../../victim\" in <old> entry 2 of <delete>: it must be a "
            "relative path inside the base directory");
  for (const char* url : {"http://h/dir/", "http://h/dir/..", "."}) {
    Updater u;
    Load(u,
         Doc(std::string("<f file=\"ok\" url=\"") + url + "\" key=\"\" sha=\"\" packsha=\"\"/>"));
    EXPECT_FALSE(u.parseInfo()) << url;
    EXPECT_NE(std::string(u.lastError()).find("it names no file"), std::string::npos)
        << u.lastError();
  }
  // Harmless names are accepted.
  Updater ok;
  Load(ok, Doc("<f file=\"a/./b..c/.hidden\" url=\"x.pak\" key=\"\" sha=\"\" packsha=\"\"/>"));
  EXPECT_TRUE(ok.parseInfo()) << ok.lastError();
}

TEST_F(EngineTest, MissingRequiredAttributesFailTheParse) {
  struct Case {
    std::string doc;
    std::string error;
  } cases[] = {
      {Doc("<f url=\"u\" key=\"\" sha=\"\"/>"),
       "Missing attribute \"file\" in <f> entry 1 of <files>"},
      {Doc("<f file=\"a\" url=\"u\" key=\"\" sha=\"\"/><g file=\"b\" key=\"\" sha=\"\"/>"),
       "Missing attribute \"url\" in <g> entry 2 of <files>"},
      {Doc("<f file=\"a\" url=\"u\" key=\"\" packsha=\"\"/>"),
       "Missing attribute \"sha\" in <f> entry 1 of <files>"},
      {Doc("<f file=\"a\" url=\"u\" key=\"\" sha=\"\"/>", "", "", 1),
       "Missing attribute \"md5\" in <f> entry 1 of <files>"},
      {Doc("", "<group name=\"a\"/><group dispName=\"x\"/>"),
       "Missing attribute \"name\" in <group> entry 2 of <groups>"},
      {Doc("", "", "<delete><x/></delete>"),
       "Missing attribute \"file\" in <x> entry 1 of <delete>"},
  };
  for (const Case& c : cases) {
    Updater u;
    Load(u, c.doc);
    EXPECT_FALSE(u.parseInfo()) << c.doc;
    EXPECT_EQ(std::string(u.lastError()), c.error);
  }
}

// ---- The plan ----

TEST_F(EngineTest, GroupStatesDecideWhatIsInstalledOrRemoved) {
  for (const char* n : {"both", "allzero", "removed", "mixed"}) WriteFile(base() + n, "old");
  std::string files =
      "<f file=\"both\" url=\"1\" key=\"\" group=\"A,B\" sha=\"00\" packsha=\"\"/>"
      "<f file=\"allzero\" url=\"2\" key=\"\" group=\"Z\" sha=\"00\" packsha=\"\"/>"
      "<f file=\"removed\" url=\"3\" key=\"\" group=\"B,B\" sha=\"00\" packsha=\"\"/>"
      "<f file=\"gone\" url=\"4\" key=\"\" group=\"B\" sha=\"00\" packsha=\"\"/>"
      "<f file=\"mixed\" url=\"5\" key=\"\" group=\"Z,B\" sha=\"00\" packsha=\"\"/>"
      "<f file=\"nogroup\" url=\"6\" key=\"\" sha=\"" +
      std::string(kShaOfEmpty) + "\" packsha=\"\"/>";
  WriteFile(base() + "nogroup", "");
  Updater u;
  Load(u, Doc(files,
              "<group name=\"A\" default=\"1\"/><group name=\"B\" default=\"2\"/>"
              "<group name=\"Z\"/>"));
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  // both: install; removed: remove; gone: does not exist; allzero, mixed: left alone;
  // nogroup: current.
  EXPECT_EQ(u.pendingCount(), 2);
  EXPECT_TRUE(u.needsUpdate());
  u.setGroupState(u.findGroup("a"), 0);
  EXPECT_EQ(u.pendingCount(), 1);
  u.setGroupState(u.findGroup("b"), 0);
  EXPECT_EQ(u.pendingCount(), 0);
  EXPECT_FALSE(u.needsUpdate());
  for (UpdateGroup* g = u.firstGroup(); g; g = g->next) u.setGroupState(g, 1);
  EXPECT_EQ(u.pendingCount(), 5);  // every file that differs, nothing removed
  u.findGroup("Z")->state = 2;
  u.findGroup("B")->state = 0;
  EXPECT_EQ(u.pendingCount(), 5);
  u.setGroupState(nullptr, 0);  // only recounts: both installs, allzero is removed
  EXPECT_EQ(u.pendingCount(), 2);
  EXPECT_EQ(u.findGroup("nosuch"), nullptr);
}

// Packs whose URLs end alike: the same URL shares the first install's pack, another URL gets a
// path of its own ("~2", "~3" ...), and names that would meet an unpacked copy or the run lock
// are never used.
TEST_F(EngineTest, PlanGivesEachPackOnePathAndFindsSharedPacks) {
  struct Case {
    const char* url;
    int packSize;
    const char* path;  // below tmp/updater/
    int sharesPackOf;
  };
  const Case cases[] = {
      {"a/x.pak", 10, "x.pak", -1},
      {"b/x.pak", 20, "x.pak~2", -1},
      {"a/x.pak", 10, "x.pak", 0},
      {"c/x.pak", 40, "x.pak~3", -1},
      {"b/x.pak", 20, "x.pak~2", 1},
      {"y.unpacked", 60, "y.unpacked~2", -1},
      {"d/updater.lock", 70, "updater.lock~2", -1},
      {"e/x.pak~2", 80, "x.pak~2~2", -1},
      {"http://other.example/a/x.pak", 90, "x.pak~4", -1},
  };
  std::string files;
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
    files += "<f file=\"f" + std::to_string(i) + "\" url=\"" + cases[i].url + "\" packsize=\"" +
             std::to_string(cases[i].packSize) + "\" sha=\"00\"/>";
  }
  Updater u;
  Load(u, Doc(files));
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  const Plan p = u.plan();
  ASSERT_EQ(p.installs.size(), sizeof(cases) / sizeof(cases[0]));
  int64_t bytes = 0;
  for (size_t i = 0; i < p.installs.size(); i++) {
    const PlanInstall& item = p.installs[i];
    EXPECT_EQ(item.downloadPath, base() + "tmp/updater/" + cases[i].path) << i;
    EXPECT_EQ(item.sharesPackOf, cases[i].sharesPackOf) << i;
    EXPECT_EQ(item.file->name, "f" + std::to_string(i));
    if (cases[i].sharesPackOf < 0) bytes += cases[i].packSize;
  }
  EXPECT_EQ(p.downloads, 7);
  EXPECT_EQ(p.downloadBytes, bytes);
  // A copy of the plan outlives the original with its paths.
  Plan copy;
  {
    const Plan original = u.plan();
    copy = original;
  }
  EXPECT_EQ(copy.installs[4].downloadPath, base() + "tmp/updater/x.pak~2");
}

TEST_F(EngineTest, AnExistingObsoleteFileAloneMakesAnUpdateNecessary) {
  WriteFile(base() + "old/one", "1");
  Updater u;
  Load(u, Doc("", "", "<delete><f file=\"old/one\"/><f file=\"old/absent\"/></delete>"));
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  EXPECT_EQ(u.pendingCount(), 0);
  EXPECT_EQ(u.outdatedFiles(), std::vector<std::string>{"old/one"});
  EXPECT_TRUE(u.needsUpdate());
  ASSERT_TRUE(u.performUpdate()) << u.lastError();
  EXPECT_EQ(g_status, (std::vector<std::string>{"", "*** Deleting Outdated Files ***", "",
                                                "Deleting old/one: OK"}));
  EXPECT_FALSE(FileExists(base() + "old/one"));
}

TEST_F(EngineTest, MakeDirectoriesCreatesEveryLevel) {
  Updater u;
  u.makeDirectories((base() + "a//b/c/").c_str());
  struct stat st;
  ASSERT_EQ(stat((base() + "a/b/c").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(chdir(inst_.path().c_str()), 0);
  u.makeDirectories("rel/x");
  EXPECT_TRUE(FileExists(base() + "rel/x"));
  ASSERT_EQ(chdir(cwd_.path().c_str()), 0);
}

// ---- Whole updates against nginx ----

class UpdateTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (!testutil::HaveNginx()) GTEST_SKIP() << "nginx is not installed";
  }
};

// A fetched document is read from its file in pieces: one many pieces long reads exactly as the
// same text loaded whole, and the text can still be had back.
TEST_F(UpdateTest, AFetchedDocumentReadsAsTheSameTextLoaded) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.addGroup("name=\"core\" default=\"1\"");
  rel.addGroup("name=\"extra\"");
  for (int i = 0; i < 1500; i++) {
    const std::string name = "d" + std::to_string(i % 7) + "/file & " + std::to_string(i);
    rel.add(name, "content " + std::to_string(i), i % 5 == 0 ? "0123456789abcdef" : "",
            i % 3 == 0 ? "core,extra" : (i % 3 == 1 ? "extra" : ""));
  }
  ASSERT_TRUE(rel.build());
  ASSERT_GT(rel.document().size(), 4u * 64 * 1024);
  WriteFile(base() + "d3/file & 3", "content 3");  // one current file
  auto reading = [](Updater& u) {
    std::string out;
    for (UpdateFile* f = u.firstFile(); f; f = f->next) {
      out += f->name + "|" + f->url + "|" + f->checksum.text().c_str() + "|" +
             f->packChecksum.text().c_str() + "|" + f->key + "|" + std::to_string(f->size) + "|" +
             std::to_string(f->needsUpdate) + "|";
      for (UpdateGroup* g : f->groups) out += g->name + ",";
      out += "\n";
    }
    return out + std::to_string(u.fileCount()) + " " + std::to_string(u.pendingCount());
  };
  Updater fetched;
  fetched.setup(rel.docUrl().c_str(), base().c_str(), "updater", "", &g_callbacks);
  ASSERT_TRUE(fetched.fetchInfo()) << fetched.lastError();
  ASSERT_TRUE(fetched.parseInfo()) << fetched.lastError();
  EXPECT_TRUE(fetched.streamedLastParse());
  Updater loaded;
  Load(loaded, rel.document());
  ASSERT_TRUE(loaded.parseInfo()) << loaded.lastError();
  const std::string text = reading(fetched);
  EXPECT_EQ(text, reading(loaded));
  EXPECT_NE(text.find("d3/file & 3|"), std::string::npos);
  // A third of the files are of the group not selected, one is current.
  EXPECT_NE(text.find("\n1500 999"), std::string::npos) << text.substr(text.size() - 40);
  EXPECT_EQ(fetched.infoText(), rel.document());
}

TEST_F(UpdateTest, FreshInstallThenNothingToDo) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.add("bin/tool", "#!/bin/sh\necho tool\n", "0123456789abcdef").extra = "modes=\"493\"";
  rel.add("data/big.bin", Noise(1500000, 21));
  rel.add("readme.txt", "read me\n");
  rel.add("empty.txt", "");
  ASSERT_TRUE(rel.build());

  RunResult r = RunUpdate(rel);
  ASSERT_TRUE(r.performed) << r.error;
  EXPECT_GT(g_infoProgressCalls, 0);
  EXPECT_EQ(g_debug, (std::vector<std::string>{"Info version: 2", "Building file list..."}));
  EXPECT_EQ(Joined(g_status),
            "*** Downloading Updated Files ***\n\n"
            "\n*** Installing Updated Files ***\n\n"
            "Unpacking bin/tool ...\nUnpacking data/big.bin ...\n"
            "Unpacking readme.txt ...\nUnpacking empty.txt ...\n"
            "Installing bin/tool ... \nInstalling data/big.bin ... \n"
            "Installing readme.txt ... \nInstalling empty.txt ... \n");
  EXPECT_EQ(g_progressNames,
            (std::vector<std::string>{"tool", "big.bin", "readme.txt", "empty.txt"}));
  for (const Entry& e : rel.entries()) EXPECT_EQ(rel.installed(e.name), e.content) << e.name;
  struct stat st;
  ASSERT_EQ(stat((rel.base() + "bin/tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  // The packs are gone from the download directory, which itself stays.
  EXPECT_TRUE(FileExists(rel.base() + "tmp/updater"));
  for (const Entry& e : rel.entries()) {
    EXPECT_FALSE(FileExists(rel.base() + "tmp/updater/" + e.packName)) << e.packName;
  }
  EXPECT_FALSE(FileExists(cwd_.Sub("updater-info.xml")));

  RunResult again = RunUpdate(rel);
  EXPECT_TRUE(again.parsed) << again.error;
  EXPECT_FALSE(again.needed);
  EXPECT_TRUE(g_status.empty());
}

TEST_F(UpdateTest, ChangedAddedRemovedAndObsoleteFiles) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.addGroup("name=\"core\" default=\"1\"");
  rel.addGroup("name=\"extras\" default=\"2\"");
  rel.add("keep.txt", "unchanged", "", "core");
  rel.add("change.txt", "new text", "key", "core");
  rel.add("add/new.txt", "added", "", "core");
  rel.add("extra.dat", "extra", "", "extras");
  rel.addDelete("obsolete.txt");
  rel.addDelete("never-there.txt");
  ASSERT_TRUE(rel.build());
  WriteFile(rel.base() + "keep.txt", "unchanged");
  WriteFile(rel.base() + "change.txt", "old text");
  WriteFile(rel.base() + "extra.dat", "extra");
  WriteFile(rel.base() + "obsolete.txt", "bye");

  RunResult r = RunUpdate(rel);
  ASSERT_TRUE(r.performed) << r.error;
  EXPECT_EQ(Joined(g_status),
            "*** Downloading Updated Files ***\n\n"
            "\n*** Installing Updated Files ***\n\n"
            "Unpacking change.txt ...\nUnpacking add/new.txt ...\n"
            "Installing change.txt ... \nInstalling add/new.txt ... \n"
            "\n*** Deleting Marked Files ***\n\n"
            "Deleting file: extra.dat\n"
            "\n*** Deleting Outdated Files ***\n\n"
            "Deleting obsolete.txt: OK\n");
  EXPECT_EQ(rel.installed("keep.txt"), "unchanged");
  EXPECT_EQ(rel.installed("change.txt"), "new text");
  EXPECT_EQ(rel.installed("add/new.txt"), "added");
  EXPECT_EQ(rel.installed("extra.dat"), "<missing>");
  EXPECT_EQ(rel.installed("obsolete.txt"), "<missing>");
  EXPECT_EQ(rel.requests("/packs/keep.txt.pak"), 0);
  std::string ini = ReadFileOr(rel.ini());
  EXPECT_NE(ini.find("core=1"), std::string::npos) << ini;
  EXPECT_NE(ini.find("extras=2"), std::string::npos) << ini;

  // The stored choice holds: selecting extras again by hand in the INI file brings it back.
  WriteFile(rel.ini(), "[groups]\r\ncore=1\r\nextras=1\r\n");
  r = RunUpdate(rel);
  ASSERT_TRUE(r.performed) << r.error;
  EXPECT_EQ(rel.installed("extra.dat"), "extra");
  EXPECT_NE(ReadFileOr(rel.ini()).find("extras=1"), std::string::npos);
}

TEST_F(UpdateTest, MarkAllInstallsDeselectedGroups) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.addGroup("name=\"opt\"");
  rel.add("opt.txt", "optional", "", "opt");
  ASSERT_TRUE(rel.build());
  RunResult r = RunUpdate(rel);
  EXPECT_TRUE(r.parsed);
  EXPECT_FALSE(r.needed);
  r = RunUpdate(rel, true);
  ASSERT_TRUE(r.performed) << r.error;
  EXPECT_EQ(rel.installed("opt.txt"), "optional");
  EXPECT_NE(ReadFileOr(rel.ini()).find("opt=1"), std::string::npos);
  r = RunUpdate(rel, true);
  EXPECT_FALSE(r.needed);
}

// A file whose content is current but whose permission bits differ from "modes" gets the bits
// set without a download, under the same group rules as an install.
TEST_F(UpdateTest, ModesOfCurrentFilesAreSetWithoutADownload) {
  struct Case {
    const char* name;
    const char* group;  // "" = no group
    mode_t installed;
    const char* modesAttr;  // "" = attribute omitted
    mode_t after;
  };
  const Case cases[] = {
      {"plain.txt", "", 0644, "modes=\"384\"", 0600},        // differs: set
      {"chosen.txt", "core", 0600, "modes=\"493\"", 0755},   // group at 1: set
      {"unchosen.txt", "opt", 0644, "modes=\"384\"", 0644},  // group at 0: left alone
      {"nomodes.txt", "", 0640, "", 0640},                   // modes 0: left alone
      {"same.txt", "", 0600, "modes=\"384\"", 0600},         // already equal
  };
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.addGroup("name=\"core\" default=\"1\"");
  rel.addGroup("name=\"opt\"");
  for (const Case& c : cases)
    rel.add(c.name, std::string("content of ") + c.name, "", c.group).extra = c.modesAttr;
  ASSERT_TRUE(rel.build());
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteFile(rel.base() + c.name, std::string("content of ") + c.name));
    ASSERT_EQ(chmod((rel.base() + c.name).c_str(), c.installed), 0);
  }

  Updater u;
  u.setup(rel.docUrl().c_str(), rel.base().c_str(), "updater", "", nullptr);
  ASSERT_TRUE(u.fetchInfo() && u.parseInfo()) << u.lastError();
  EXPECT_TRUE(u.needsUpdate());
  EXPECT_EQ(u.pendingCount(), 0);
  Plan p = u.plan();
  EXPECT_TRUE(p.installs.empty());
  ASSERT_EQ(p.modeChanges.size(), 2u);
  EXPECT_EQ(p.modeChanges[0].file->name, "plain.txt");
  EXPECT_EQ(p.modeChanges[0].from, 0644u);
  EXPECT_EQ(p.modeChanges[0].to, 0600u);
  EXPECT_EQ(p.modeChanges[1].file->name, "chosen.txt");

  RunResult r = RunUpdate(rel);
  ASSERT_TRUE(r.performed) << r.error;
  EXPECT_EQ(Joined(g_status),
            "\n*** Setting File Modes ***\n\n"
            "Setting modes of plain.txt to 0600\n"
            "Setting modes of chosen.txt to 0755\n");
  for (const Case& c : cases) {
    struct stat st;
    ASSERT_EQ(stat((rel.base() + c.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.after) << c.name;
    EXPECT_EQ(rel.requests("/packs/" + rel.entries()[&c - cases].packName), 0) << c.name;
  }
  EXPECT_FALSE(RunUpdate(rel).needed);
}

TEST_F(UpdateTest, VersionOneWithMd5AndAbsoluteUrls) {
  Release rel(1);
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.add("one.txt", "version one", "sixteen-byte-key");
  rel.add("two.txt", Noise(70000, 2));
  ASSERT_TRUE(rel.build());
  RunResult r = RunUpdate(rel);
  ASSERT_TRUE(r.performed) << r.error;
  EXPECT_EQ(rel.installed("one.txt"), "version one");
  EXPECT_EQ(rel.installed("two.txt"), rel.entries()[1].content);
}

TEST_F(UpdateTest, APackAlreadyDownloadedIsNotFetchedAgain) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.add("a.txt", "alpha", "k");
  rel.add("b.txt", "beta");
  ASSERT_TRUE(rel.build());
  testutil::MakeDirs(rel.base() + "tmp/updater");
  WriteFile(rel.base() + "tmp/updater/a.txt.pak", ReadFileOr(rel.packPath("a.txt.pak")));
  WriteFile(rel.base() + "tmp/updater/b.txt.pak", "partial leftover");
  RunResult r = RunUpdate(rel);
  ASSERT_TRUE(r.performed) << r.error;
  EXPECT_EQ(g_status[2], "Already have a.txt, skipping download...");
  EXPECT_EQ(rel.requests("/packs/a.txt.pak"), 0);
  // The leftover is continued first; as it was not the start of the pack, the whole pack
  // fails its checksum and is fetched once more from its first byte.
  EXPECT_EQ(rel.requests("/packs/b.txt.pak"), 2);
  EXPECT_EQ(rel.installed("a.txt"), "alpha");
  EXPECT_EQ(rel.installed("b.txt"), "beta");
}

TEST_F(UpdateTest, TheProgramsOwnFileAndAnIrreplaceableFileGoBesideAsUpd) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.add("Updater", "new updater");
  rel.add("blocked", "new blocked");
  ASSERT_TRUE(rel.build());
  WriteFile(rel.base() + "Updater", "running updater");
  // A non-empty directory stands where the file goes: it cannot be replaced.
  WriteFile(rel.base() + "blocked/inside", "keep me");
  RunResult r = RunUpdate(rel, false, "updater");
  ASSERT_TRUE(r.performed) << r.error;
  EXPECT_EQ(Joined(g_status),
            "*** Downloading Updated Files ***\n\n"
            "\n*** Installing Updated Files ***\n\n"
            "Unpacking Updater ...\nUnpacking blocked ...\n"
            "Note: the following file will install to Updater.upd, Vantorex will automatically "
            "rename it to the proper thing next time it is run, or you can manually rename it if "
            "you wish\n"
            "Installing Updater ... \nInstalling blocked ... \n"
            "Note: the following file will install to blocked.upd. You can rename it after the "
            "program has closed.\n");
  EXPECT_EQ(rel.installed("Updater"), "running updater");
  EXPECT_EQ(rel.installed("Updater.upd"), "new updater");
  EXPECT_EQ(rel.installed("blocked/inside"), "keep me");
  EXPECT_EQ(rel.installed("blocked.upd"), "new blocked");
}

TEST_F(UpdateTest, FailedUnpackOrChecksumLeavesTheInstalledFileUntouched) {
  {
    Release rel;
    ASSERT_TRUE(rel.ok()) << rel.nginx().error();
    rel.add("small.txt", std::string(5000, 's')).sizeAttr = "4999";
    ASSERT_TRUE(rel.build());
    WriteFile(rel.base() + "small.txt", "installed");
    RunResult r = RunUpdate(rel);
    EXPECT_FALSE(r.performed);
    EXPECT_EQ(r.error, "Error unpacking " + rel.base() + "tmp/updater/small.txt.pak");
    EXPECT_EQ(rel.installed("small.txt"), "installed");
    EXPECT_FALSE(FileExists(rel.base() + "tmp/updater/small.txt.pak"));
    EXPECT_FALSE(FileExists(rel.base() + "tmp/updater/small.txt.pak.unpacked"));
  }
  {
    Release rel;
    ASSERT_TRUE(rel.ok()) << rel.nginx().error();
    rel.add("first.txt", "first");
    rel.add("dir/wrong.txt", "content").sumAttr = testutil::Sha256Hex("other content");
    rel.add("later.txt", "later");
    ASSERT_TRUE(rel.build());
    WriteFile(rel.base() + "dir/wrong.txt", "installed");
    RunResult r = RunUpdate(rel);
    EXPECT_FALSE(r.performed);
    EXPECT_EQ(r.error, "Checksum does not match for file 'wrong.txt'!");
    EXPECT_EQ(rel.installed("dir/wrong.txt"), "installed");
    // Nothing is installed when one file fails: the run stopped before the commit.
    EXPECT_EQ(rel.installed("first.txt"), "<missing>");
    EXPECT_EQ(rel.installed("later.txt"), "<missing>");
    EXPECT_EQ(g_status.back(), "Unpacking dir/wrong.txt ...");
  }
}

TEST_F(UpdateTest, DownloadAndFetchFailuresAreReported) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.add("a.txt", "a");
  rel.add("b.txt", "b");
  ASSERT_TRUE(rel.build());
  ASSERT_EQ(remove(rel.packPath("b.txt.pak").c_str()), 0);
  RunResult r = RunUpdate(rel);
  EXPECT_FALSE(r.performed);
  EXPECT_EQ(r.error, "ODL reports 'File Not Found' while downloading 'b.txt'");
  EXPECT_EQ(rel.installed("a.txt"), "<missing>");  // nothing installed before all downloads
  EXPECT_TRUE(FileExists(rel.base() + "tmp/updater/a.txt.pak"));

  Updater u;
  u.setup(rel.nginx().Url("/updates/none.info").c_str(), rel.base().c_str(), "updater", "",
          nullptr);
  EXPECT_FALSE(u.fetchInfo());
  EXPECT_STREQ(u.lastError(), "ODL reports File Not Found");
  EXPECT_FALSE(FileExists(cwd_.Sub("updater-info.xml")));
  u.setup("ftp://127.0.0.1/x.info", rel.base().c_str(), "updater", "", nullptr);
  EXPECT_FALSE(u.fetchInfo());
  EXPECT_STREQ(u.lastError(), "ODL reports Invalid URL");
  WriteFile(rel.packPath("../updates/empty.info"), "");
  u.setup(rel.nginx().Url("/updates/empty.info").c_str(), rel.base().c_str(), "updater", "",
          nullptr);
  EXPECT_FALSE(u.fetchInfo());
  EXPECT_STREQ(u.lastError(), "Error reading updater-info.xml!");
  EXPECT_FALSE(FileExists(cwd_.Sub("updater-info.xml")));

  // An unusable pack URL (a host name longer than the client takes) fails before anything is
  // written.
  Updater v;
  WriteFile(cwd_.Sub("doc.xml"), Doc("<f file=\"x\" url=\"https://" + std::string(200, 'h') +
                                     "/x.pak\" key=\"\" sha=\"\" packsha=\"\"/>"));
  v.setup("", rel.base().c_str(), "updater", "", nullptr);
  ASSERT_TRUE(v.loadInfoFile(cwd_.Sub("doc.xml").c_str()));
  ASSERT_TRUE(v.parseInfo()) << v.lastError();
  EXPECT_FALSE(v.performUpdate());
  EXPECT_STREQ(v.lastError(), "ODL reports 'Invalid URL' while downloading 'x'");
}

TEST_F(UpdateTest, RemovalFailuresAreReportedButDoNotFail) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.addGroup("name=\"gone\" default=\"2\"");
  rel.add("dir", "x", "", "gone");
  rel.addDelete("vanishing");
  ASSERT_TRUE(rel.build());
  WriteFile(rel.base() + "dir/occupied", "1");  // a non-empty directory cannot be removed
  WriteFile(rel.base() + "vanishing", "1");
  ClearCaptured();
  Updater u;
  u.setup(rel.docUrl().c_str(), rel.base().c_str(), "updater", "", &g_callbacks);
  ASSERT_TRUE(u.fetchInfo()) << u.lastError();
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  remove((rel.base() + "vanishing").c_str());
  ASSERT_TRUE(u.performUpdate()) << u.lastError();
  ASSERT_EQ(g_status.size(), 9u) << Joined(g_status);
  EXPECT_EQ(g_status[3], "Deleting file: dir");
  EXPECT_EQ(g_status[4].rfind("Error deleting file: ", 0), 0u);
  EXPECT_EQ(g_status[8], "Deleting vanishing: ERROR");
}

TEST_F(UpdateTest, WithoutCallbacksTheUpdateRunsSilently) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.add("quiet.txt", "quiet", "k");
  ASSERT_TRUE(rel.build());
  Updater u;
  u.setup(rel.docUrl().c_str(), rel.base().c_str(), "updater", "", nullptr);
  ASSERT_TRUE(u.fetchInfo()) << u.lastError();
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  ASSERT_TRUE(u.performUpdate()) << u.lastError();
  EXPECT_EQ(rel.installed("quiet.txt"), "quiet");
  EXPECT_TRUE(g_status.empty());
}

// A run killed before the commit leaves release 1; one killed during the commit leaves a
// journal that the next run finishes before anything else, without the server. Either way the
// tree is one whole release, and a rerun completes it from the packs left behind.
TEST_F(UpdateTest, AKilledUpdateIsFinishedOrUntouchedAndARerunCompletes) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  std::vector<std::string> names = {"f1", "f2", "f3", "f4"};
  for (size_t i = 0; i < names.size(); i++) rel.add(names[i], Noise(200000 + i, i + 40), "key");
  ASSERT_TRUE(rel.build());
  auto whole = [&](bool fresh) {
    for (size_t i = 0; i < names.size(); i++) {
      if (rel.installed(names[i]) != (fresh ? rel.entries()[i].content : "old " + names[i])) {
        return false;
      }
    }
    return true;
  };

  struct Case {
    const char* killAt;
    bool committed;  // the commit had begun: the next run finishes it
  } cases[] = {
      {"Unpacking f3 ...", false}, {"Installing f2 ... ", true}, {"Installing f4 ... ", true}};
  for (const Case& c : cases) {
    for (const std::string& n : names) WriteFile(rel.base() + n, "old " + n);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      g_killAt = c.killAt;
      Updater u;
      u.setup(rel.docUrl().c_str(), rel.base().c_str(), "updater", "", &g_callbacks);
      if (u.fetchInfo() && u.parseInfo()) u.performUpdate();
      _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << c.killAt;
    Updater offline;
    offline.setup("http://127.0.0.1:9/none.info", rel.base().c_str(), "updater", "", nullptr);
    ASSERT_TRUE(offline.finishInterrupted()) << offline.lastError();
    EXPECT_TRUE(whole(c.committed)) << "not one whole release after a kill at " << c.killAt;
    EXPECT_FALSE(FileExists(rel.base() + "tmp/updater/journal"));
  }
  int downloadsBefore = 0;
  for (const std::string& n : names) downloadsBefore += rel.requests("/packs/" + n + ".pak");
  for (const std::string& n : names) WriteFile(rel.base() + n, "old " + n);
  RunResult r = RunUpdate(rel);
  ASSERT_TRUE(r.performed) << r.error;
  EXPECT_TRUE(whole(true));
  int downloadsAfter = 0;
  for (const std::string& n : names) downloadsAfter += rel.requests("/packs/" + n + ".pak");
  EXPECT_EQ(downloadsAfter, downloadsBefore);  // every pack left behind was reused
  EXPECT_NE(Joined(g_status).find("Already have"), std::string::npos);
}

TEST_F(UpdateTest, PacksWhoseUrlsEndAlikeDoNotOverwriteEachOther) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.add("one/data.bin", "first content").packName = "data.bin";
  rel.add("copy/data.bin", "first content").packName = "data.bin";  // same pack, same URL
  ASSERT_TRUE(rel.build());
  // A third file whose pack lives elsewhere under the same last name.
  testutil::MakeDirs(rel.packPath("other"));
  std::string otherPack = MakePack("second content", "");
  ASSERT_TRUE(WriteFile(rel.packPath("other/data.bin"), otherPack));
  std::string doc = rel.document();
  std::string extra =
      "    <file file=\"two/data.bin\" size=\"14\" url=\"other/data.bin\" key=\"\" sha=\"" +
      testutil::Sha256Hex("second content") + "\" packsha=\"" + testutil::Sha256Hex(otherPack) +
      "\"/>\n  </files>";
  doc.replace(doc.find("  </files>"), 10, extra);
  ASSERT_TRUE(WriteFile(rel.packPath("../updates/test.info"), doc));

  uint64_t blocksBefore = zmem_blocks();
  RunResult r = RunUpdate(rel);
  ASSERT_TRUE(r.performed) << r.error << "\n" << Joined(g_status);
  EXPECT_EQ(zmem_blocks(), blocksBefore);  // every tracked block was given back
  EXPECT_EQ(rel.installed("one/data.bin"), "first content");
  EXPECT_EQ(rel.installed("copy/data.bin"), "first content");
  EXPECT_EQ(rel.installed("two/data.bin"), "second content");
  EXPECT_EQ(rel.requests("/packs/data.bin"), 1);
  EXPECT_EQ(rel.requests("/packs/other/data.bin"), 1);
  EXPECT_EQ(g_status[2], "Already have copy/data.bin, skipping download...");
  EXPECT_FALSE(FileExists(rel.base() + "tmp/updater/data.bin"));
  EXPECT_FALSE(FileExists(rel.base() + "tmp/updater/data.bin~2"));
}

// The unpacked copy of one pack is written beside it under the pack's name plus a suffix; a
// pack of another file that already bears that name must not be overwritten by it.
TEST_F(UpdateTest, APackNamedLikeAnotherPacksUnpackedCopySurvives) {
  Release rel;
  ASSERT_TRUE(rel.ok()) << rel.nginx().error();
  rel.add("a.txt", "content of a").packName = "data.bin";
  rel.add("b.txt", "content of b").packName = "data.bin.unpacked";
  ASSERT_TRUE(rel.build());

  RunResult r = RunUpdate(rel);
  ASSERT_TRUE(r.performed) << r.error << "\n" << Joined(g_status);
  EXPECT_EQ(rel.installed("a.txt"), "content of a");
  EXPECT_EQ(rel.installed("b.txt"), "content of b");
  EXPECT_EQ(rel.requests("/packs/data.bin"), 1);
  EXPECT_EQ(rel.requests("/packs/data.bin.unpacked"), 1);
  for (const char* left : {"data.bin", "data.bin.unpacked", "data.bin.unpacked.unpacked"}) {
    EXPECT_FALSE(FileExists(rel.base() + "tmp/updater/" + left)) << left;
  }
}

namespace {

Updater* g_shared = nullptr;
std::atomic<bool> g_otherThreadDone{false};
std::atomic<bool> g_otherFinishedInsideOperation{false};
std::thread* g_other = nullptr;
int g_reentered = -1;

// Runs while performUpdate holds the lock: calling back in from the same thread works, and a
// call from another thread must wait until the operation is over.
bool LockProbeCb(const char* text) {
  g_status.push_back(text);
  if (g_other) return true;
  g_reentered = g_shared->pendingCount();
  g_other = new std::thread([] {
    g_shared->fileCount();
    g_otherThreadDone = true;
  });
  for (int i = 0; i < 50 && !g_otherThreadDone; i++) usleep(1000);
  if (g_otherThreadDone) g_otherFinishedInsideOperation = true;
  return true;
}

}  // namespace

TEST_F(EngineTest, OperationsHoldTheLockAcrossCallbacks) {
  WriteFile(base() + "old", "1");
  UpdaterCallbacks probe = {nullptr, nullptr, nullptr, LockProbeCb};
  Updater u;
  g_shared = &u;
  WriteFile(cwd_.Sub("doc.xml"), Doc("", "", "<delete><f file=\"old\"/></delete>"));
  u.setup("", base().c_str(), "updater", "", &probe);
  ASSERT_TRUE(u.loadInfoFile(cwd_.Sub("doc.xml").c_str()));
  ASSERT_TRUE(u.parseInfo()) << u.lastError();
  ASSERT_TRUE(u.performUpdate()) << u.lastError();
  ASSERT_NE(g_other, nullptr);
  g_other->join();
  delete g_other;
  g_other = nullptr;
  EXPECT_EQ(g_reentered, 0);
  EXPECT_TRUE(g_otherThreadDone);
  EXPECT_FALSE(g_otherFinishedInsideOperation);
}

// The k-th tracked allocation fails (or every one from the k-th on): each run must end with
// a clear failure or a complete update, give back every tracked block, and leave each installed
// file wholly old or wholly new.
TEST_F(EngineTest, AllocationFailuresEndCleanly) {
  struct Item {
    std::string name, content, key, pack;
  };
  std::vector<Item> items = {{"a.txt", "alpha alpha alpha", "k", "a.pak"},
                             {"sub dir/b.bin", Noise(600000, 77), "", "b pack.pak"},
                             {"c", "", "sixteen-byte-key", "c.pak"}};
  TempDir staging;
  std::vector<std::pair<std::string, std::string>> inputs;
  std::vector<std::string> packPaths;
  for (const Item& it : items) {
    inputs.emplace_back(it.content, it.key);
    packPaths.push_back(staging.Sub(it.pack));
  }
  ASSERT_TRUE(MakePacks(inputs, packPaths, staging));
  std::string files;
  for (const Item& it : items) {
    files += "<file file=\"" + it.name + "\" size=\"" + std::to_string(it.content.size()) +
             "\" url=\"" + it.pack + "\" key=\"" + it.key + "\" sha=\"" +
             testutil::Sha256Hex(it.content) + "\" packsha=\"" +
             testutil::Sha256Hex(ReadFileOr(staging.Sub(it.pack))) + "\"/>";
  }
  ASSERT_TRUE(
      WriteFile(cwd_.Sub("doc.xml"), Doc(files, "", "<delete><f file=\"obsolete\"/></delete>")));

  int injected = 0, thrownCases = 0;
  for (bool persistent : {false, true}) {
    for (int64_t k = 1; k < 400; k++) {
      TempDir inst;
      std::string base = inst.path() + "/";
      for (const Item& it : items) WriteFile(base + it.name, "old " + it.name);
      WriteFile(base + "obsolete", "x");
      for (const Item& it : items) {
        std::string served = it.pack;
        size_t blank;
        while ((blank = served.find(' ')) != std::string::npos) served.replace(blank, 1, "%20");
        WriteFile(base + "tmp/updater/" + served, ReadFileOr(staging.Sub(it.pack)));
      }
      uint64_t blocks = zmem_blocks();
      bool ok = false;
      std::string error;
      uint64_t failures = 0;
      {
        MemLeak_SetFailCountdown(k, persistent);
        // Running out of memory inside the library's own records may surface as
        // std::bad_alloc; the engine must stay sound on that way out too.
        try {
          Updater u;
          u.setup("", base.c_str(), "updater", "", &g_callbacks);
          ok = u.loadInfoFile(cwd_.Sub("doc.xml").c_str()) && u.parseInfo() && u.performUpdate();
          error = u.lastError();
        } catch (const std::bad_alloc&) {
          thrownCases++;
          ok = false;
          error = "std::bad_alloc";
        }
        failures = MemLeak_InjectedFailures();
        MemLeak_SetFailCountdown(0, false);
      }
      ClearCaptured();
      EXPECT_EQ(zmem_blocks(), blocks) << "k=" << k << " persistent=" << persistent;
      if (!ok) {
        EXPECT_FALSE(error.empty()) << "k=" << k;
      }
      for (const Item& it : items) {
        std::string now = ReadFileOr(base + it.name, "<missing>");
        EXPECT_TRUE(now == "old " + it.name || now == it.content)
            << it.name << " damaged at k=" << k << " persistent=" << persistent;
      }
      if (failures == 0) {
        EXPECT_TRUE(ok) << error;
        for (const Item& it : items) EXPECT_EQ(ReadFileOr(base + it.name), it.content);
        break;
      }
      injected++;
    }
  }
  EXPECT_GT(injected, 3);
  EXPECT_LT(thrownCases, injected);  // most failures come back as values
}
