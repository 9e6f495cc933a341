// Fuzzed update-information documents against a scratch installation: parsing never crashes,
// a document read element by element reads as it does through the tree,
// every accepted file name stays inside the base directory, and neither the parse nor an update
// that removes every group opens, creates, renames or deletes anything outside the scratch
// area (the guard traps on any such call, and on any connection off loopback).
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "fuzz_util.h"
#include "guard.h"
#include "libupdater.h"
#include "memleak.h"

namespace {

void Put(const std::string& path, const char* text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f) {
    fputs(text, f);
    fclose(f);
  }
}

bool SafeName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    if (slash == std::string::npos) slash = name.size();
    if (name.compare(start, slash - start, "..") == 0 && slash - start == 2) return false;
    start = slash + 1;
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

// What a parse of the document at path gives (result, error, groups, records), and whether it
// was read element by element.
std::string Reading(const std::string& path, const std::string& base, bool* streamed) {
  Updater u;
  u.setup("http://127.0.0.1:1/x.info", base.c_str(), "updater", "", nullptr);
  if (!u.loadInfoFile(path.c_str())) return "unloadable";
  std::string out = u.parseInfo() ? "ok" : std::string("failed: ") + u.lastError();
  *streamed = u.streamedLastParse();
  for (UpdateGroup* g = u.firstGroup(); g; g = g->next) {
    out += "\ngroup " + g->name + "|" + g->dispName + "|" + g->desc + "|" +
           std::to_string(g->state) + "|" + std::to_string(g->priority);
  }
  for (UpdateFile* f = u.firstFile(); f; f = f->next) {
    out += "\nfile " + f->name + "|" + f->url + "|" + f->checksum.text().c_str() + "|" +
           f->packChecksum.text().c_str() + "|" + f->key + "|" + std::to_string(f->size) + "|" +
           std::to_string(f->needsUpdate) + "|" + std::to_string(f->groups.size()) + "|" +
           std::to_string(f->patches.size());
  }
  for (const std::string& name : u.outdatedFiles()) out += "\nobsolete " + name;
  return out;
}

// A document read element by element must read the same through the tree: the same document
// with a text element after the root's start tag (same meaning) is left to the tree reading.
void CompareReadings(const uint8_t* data, size_t size, const std::string& scratch,
                     const std::string& base) {
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t root = text.find("<update_info");
  size_t end = root == std::string::npos ? root : text.find('>', root);
  if (end == std::string::npos) return;
  std::string tree = scratch + "/tree.xml";
  Put(tree, (text.substr(0, end + 1) + "<n>t</n>" + text.substr(end + 1)).c_str());
  bool streamed = false, treeStreamed = true;
  std::string a = Reading(scratch + "/doc.xml", base, &streamed);
  if (!streamed) return;
  std::string b = Reading(tree, base, &treeStreamed);
  if (!treeStreamed && a != b) {
    fprintf(stderr, "streamed reading:\n%s\ntree reading:\n%s\n", a.c_str(), b.c_str());
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& scratch = fuzzutil::EnterScratch();
  fuzzguard::AllowedDir() = scratch;
  mkdir((scratch + "/base").c_str(), 0755);
  mkdir((scratch + "/base/dir").c_str(), 0755);
  std::string base = scratch + "/base/";
  Put(base + "a.txt", "alpha\n");
  Put(base + "dir/b.txt", "beta\n");
  Put(base + "updater", "program\n");
  std::string doc = scratch + "/doc.xml";
  FILE* f = fopen(doc.c_str(), "wb");
  fwrite(data, 1, size, f);
  fclose(f);

  uint64_t blocks = zmem_blocks();
  if (memchr(data, 0, size) == nullptr) CompareReadings(data, size, scratch, base);
  {
    Updater u;
    UpdaterCallbacks cb = {nullptr, nullptr, nullptr, nullptr};
    std::string ini = scratch + "/.updater.ini";
    u.setup("http://127.0.0.1:1/updates/kestrl5-full-debian9.x86_64.info", base.c_str(), "updater",
            ini.c_str(), &cb);
    if (u.loadInfoFile(doc.c_str()) && u.parseInfo()) {
      for (UpdateFile* file = u.firstFile(); file; file = file->next) {
        if (!SafeName(file->name)) {
          fprintf(stderr, "accepted an unsafe name: %s\n", file->name.c_str());
          __builtin_trap();
        }
      }
      for (UpdateGroup* g = u.firstGroup(); g; g = g->next) {
        u.setGroupState(g, UPDATE_GROUP_REMOVE);
      }
      if (u.needsUpdate()) u.performUpdate();
    }
  }
  if (zmem_blocks() != blocks) __builtin_trap();
  return 0;
}
