// Documents read element by element must give exactly what the tree reading gives: the same
// result, error text, messages, groups, records and obsolete files. Each document is parsed as
// it is (streamed) and with a harmless text element added (which the streaming reading leaves
// to the tree reading), and the two readings are compared.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "libupdater.h"
#include "test_util.h"

using testutil::TempDir;
using testutil::WriteFile;

namespace {

std::vector<std::string> g_debug;
bool Debug(const char* text) {
  g_debug.push_back(text);
  return true;
}
UpdaterCallbacks g_callbacks = {nullptr, nullptr, Debug, nullptr};

// Everything a parse leaves behind, as text.
std::string Reading(const std::string& document, const std::string& base, const std::string& cwd,
                    bool* streamed = nullptr) {
  WriteFile(cwd + "/doc.xml", document);
  g_debug.clear();
  Updater u;
  u.setup("http://127.0.0.1:9/x.info", base.c_str(), "updater", "", &g_callbacks);
  if (!u.loadInfoFile((cwd + "/doc.xml").c_str())) return "load failed";
  std::string out = u.parseInfo() ? "ok\n" : "failed: " + std::string(u.lastError()) + "\n";
  if (streamed) *streamed = u.streamedLastParse();
  for (const std::string& line : g_debug) out += "debug " + line + "\n";
  out += "version " + std::to_string(u.infoVersion()) + " app " + u.appName() + " author " +
         u.author() + " url " + u.homeUrl() + " base " + u.fileBase() + "\n";
  for (UpdateGroup* g = u.firstGroup(); g; g = g->next) {
    out += "group " + g->name + "|" + g->dispName + "|" + g->menu + "|" + g->desc + "|" +
           std::to_string(g->state) + "|" + std::to_string(g->priority) + "|" +
           std::to_string(g->isDefault) + "\n";
  }
  for (UpdateFile* f = u.firstFile(); f; f = f->next) {
    out += "file " + f->name + "|" + f->url + "|" + f->checksum.text().c_str() + "|" +
           f->packChecksum.text().c_str() + "|" + f->key + "|" + std::to_string(f->size) + "|" +
           std::to_string(f->modes) + "|" + std::to_string(f->needsUpdate) + "|";
    for (UpdateGroup* g : f->groups) out += g->name + ",";
    for (const UpdatePatch& p : f->patches) out += " patch " + p.url + " " + p.from;
    out += "\n";
  }
  for (const std::string& name : u.outdatedFiles()) out += "obsolete " + name + "\n";
  out += "pending " + std::to_string(u.pendingCount());
  return out;
}

// The document with a text element after the root's start tag: same meaning, tree reading.
std::string ForTree(const std::string& document) {
  size_t root = document.find("<update_info");
  size_t end = document.find('>', root);
  return document.substr(0, end + 1) + "<note>read by the tree</note>" + document.substr(end + 1);
}

const std::string kSha = std::string(64, 'a');

TEST(ParseStreamTest, StreamedAndTreeReadingsAgree) {
  TempDir base, cwd;
  WriteFile(base.path() + "/present.txt", "x");
  WriteFile(base.path() + "/old/one", "1");
  const std::string info =
      "<info AppName=\"A &amp; B\" Author='C' URL=\"http://h/\" FileBase=\"http://f/b/\"/>";
  const std::string groups =
      "<groups><group name=\"core\" dispName=\"Core\" desc=\"a\\nb\" priority=\"70\" "
      "default=\"1\" defaultgrp=\"1\"/><other/><group name=\"extra\"/></groups>";
  const std::string file = "<file file=\"present.txt\" url=\"p.pak\" sha=\"" + kSha +
                           "\" packsha=\"bb\" size=\"1\" modes=\"420\" group=\"core,extra,none\" "
                           "key=\"k\"/>";
  const std::string patched = "<f file=\"dir/x y\" url=\"dir/x y.pak\" sha=\"" + kSha +
                              "\"><patch from=\"" + kSha + "\" url=\"x.patch\" packsha=\"" + kSha +
                              "\" packsize=\"10\"/><ignored><patch/></ignored></f>";
  const std::string deletes = "<delete><d file=\"old/one\"/><d file=\"old/gone\"/></delete>";
  std::string tooDeep;
  for (int i = 0; i < 70; i++) tooDeep += "\n<d" + std::to_string(i) + ">";
  for (int i = 69; i >= 0; i--) tooDeep += "</d" + std::to_string(i) + ">";
  auto doc = [&](const std::string& body, int version = 2) {
    return "<?xml version=\"1.0\"?>\n<!-- c -->\n<update_info version=\"" +
           std::to_string(version) + "\">\n" + body + "\n</update_info>\n";
  };
  const std::vector<std::string> documents = {
      doc(info + groups + "<files>" + file + patched + "</files>" + deletes),
      doc(info + "<files>" + file + "</files>", 1),
      doc(info + "<files></files>"),
      doc(info + groups + "<files/>" + deletes + "<files><file file=\"late\"/></files>"),
      doc("<extra a=\"1\"/>" + info + "<unknown><deep x=\"1\"/></unknown>" + groups + "<files>" +
          file + "</files>"),
      // Semantic errors, found after the records before them are built.
      doc(info + groups + "<files>" + file + "<file url=\"u\" sha=\"s\"/></files>"),
      doc(info + groups + "<files>" + file + "<file file=\"../out\" url=\"u\" sha=\"s\"/></files>"),
      doc(info + "<files><file file=\"a\" sha=\"s\"/></files>"),
      doc(info + "<files><file file=\"a\" url=\"u\"/></files>"),
      doc(info + "<files><file file=\"a\" url=\"dir/\" sha=\"s\"/></files>"),
      doc(info + "<groups><group dispName=\"no name\"/></groups><files/>"),
      doc(info + "<files/><delete><d/></delete>"),
      doc(info + "<files/><delete><d file=\"/abs\"/></delete>"),
      // Nested too deep after records were built, also after a record's error: the depth
      // error, as the tree reading gives it before anything else.
      doc(info + "<files>" + file + "</files>" + tooDeep),
      doc(info + "<files><file url=\"u\" sha=\"s\"/></files>" + tooDeep),
      // Layouts left to the tree reading either way, also when found after records were built
      // or after a record's error.
      doc(groups + info + "<files>" + file + "</files>"),
      doc(info + groups),
      doc("<files/>"),
      doc(info + "<files>" + file + "</files>" + groups),
      doc(info + "<files>" + file + "<file url=\"u\" sha=\"s\"/>" + file + "</files><n>t</n>"),
      doc(info + "<files><file file=\"../out\" url=\"u\" sha=\"s\"/></files><n") + "<broken",
      doc(info + "<files>" + file + "</files>") + "<second/>",
  };
  const size_t streamable = documents.size() - 7;
  for (size_t i = 0; i < documents.size(); i++) {
    const std::string& d = documents[i];
    bool streamed = false, treeStreamed = true;
    EXPECT_EQ(Reading(d, base.path() + "/", cwd.path(), &streamed),
              Reading(ForTree(d), base.path() + "/", cwd.path(), &treeStreamed))
        << d;
    EXPECT_EQ(streamed, i < streamable) << d;
    EXPECT_FALSE(treeStreamed) << d;
  }
  // The first document really is read: two records, one obsolete file, its patch.
  std::string first = Reading(documents[0], base.path() + "/", cwd.path());
  EXPECT_NE(first.find("file dir/x y|http://f/b/dir/x%20y.pak"), std::string::npos) << first;
  EXPECT_NE(first.find("patch http://f/b/x.patch"), std::string::npos) << first;
  EXPECT_NE(first.find("obsolete old/one"), std::string::npos) << first;
  // The depth error names the row of the first element too deep, and nothing read stays.
  std::string deep = Reading(documents[streamable - 2], base.path() + "/", cwd.path());
  EXPECT_EQ(deep.substr(0, deep.find('\n')),
            "failed: Error parsing updater-info.xml (elements nested deeper than 64 levels at "
            "row 68)")
      << deep;
  EXPECT_EQ(deep.find("file "), std::string::npos) << deep;
  EXPECT_EQ(deep.find("debug "), std::string::npos) << deep;
}

}  // namespace
