// Update-information documents of any shape: parsing never crashes or leaks, and every name it
// accepts for installing or deleting stays inside the base directory.
#include <string.h>

#include <string>

#include "fuzz_util.h"
#include "libupdater.h"
#include "memleak.h"

namespace {

// True when name is relative, has no ".." component, no backslash and no control character.
bool StaysInside(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '\\') return false;
  }
  size_t start = 0;
  for (;;) {
    size_t end = name.find('/', start);
    std::string comp = name.substr(start, end == std::string::npos ? end : end - start);
    if (comp == "..") return false;
    if (end == std::string::npos) return !comp.empty() && comp != ".";
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzzutil::ScratchDir();
  std::string doc(reinterpret_cast<const char*>(data), size);
  std::string path = dir + "/doc.xml";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  fwrite(doc.data(), 1, doc.size(), f);
  fclose(f);

  uint64_t blocksBefore = zmem_blocks();
  {
    Updater u;
    u.setup("http://127.0.0.1:9/x.info", (dir + "/base/").c_str(), "updater", "", nullptr);
    if (u.loadInfoFile(path.c_str()) && u.parseInfo()) {
      int count = 0;
      for (UpdateFile* file = u.firstFile(); file; file = file->next) {
        if (!StaysInside(file->name)) __builtin_trap();
        if (strchr(file->url.c_str(), ' ')) __builtin_trap();
        if (strlen(file->checksum.text()) > 64 || strlen(file->key) > 16) __builtin_trap();
        count++;
      }
      if (count != u.fileCount()) __builtin_trap();
      for (const std::string& name : u.outdatedFiles()) {
        if (!StaysInside(name)) __builtin_trap();
      }
      int32_t previous = INT32_MAX;
      for (UpdateGroup* g = u.firstGroup(); g; g = g->next) {
        if (g->priority > previous) __builtin_trap();  // sorted by priority, highest first
        previous = g->priority;
        u.setGroupState(g, 1);
      }
      u.needsUpdate();
    }
  }
  if (zmem_blocks() != blocksBefore) __builtin_trap();
  return 0;
}
