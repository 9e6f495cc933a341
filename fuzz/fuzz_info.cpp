// Fuzzed update-information documents against a scratch installation: parsing never crashes,
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
