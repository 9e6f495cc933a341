#include "patch_maker.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "delta.h"
#include "libupdater.h"
#include "pack_writer.h"
#include "release_tree.h"
#include "site_files.h"

namespace {

// A patch is listed only when it is smaller than this share of the full pack.
const uint64_t kPatchSharePercent = 60;

bool SameHex(const std::string& a, const std::string& b) {
  return !a.empty() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

// History documents are numbered from 1: NNNNNN.info. Returns their numbers, ascending.
std::vector<long> HistoryNumbers(const std::string& dir) {
  std::vector<long> numbers;
  DIR* d = opendir(dir.c_str());
  if (!d) return numbers;
  while (struct dirent* e = readdir(d)) {
    char* end = nullptr;
    long n = strtol(e->d_name, &end, 10);
    if (n > 0 && end != e->d_name && strcmp(end, ".info") == 0) numbers.push_back(n);
  }
  closedir(d);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::string HistoryName(const std::string& dir, long n) {
  char name[32];
  snprintf(name, sizeof(name), "/%06ld.info", n);
  return dir + name;
}

bool ReadText(const std::string& path, std::string* text) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[65536];
  size_t n;
  text->clear();
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text->append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

}  // namespace

bool LoadReleases(const std::string& site_dir, const std::string& current, size_t count,
                  std::vector<InfoDocument>* releases, std::string* error) {
  releases->clear();
  std::vector<std::string> paths;
  if (!current.empty()) paths.push_back(current);
  const std::string dir = site_dir + "/" + kHistoryDir;
  std::vector<long> numbers = HistoryNumbers(dir);
  for (auto it = numbers.rbegin(); it != numbers.rend(); ++it) {
    paths.push_back(HistoryName(dir, *it));
  }
  // A release published again (with a new serial, say) counts once.
  std::set<std::string> seen;
  for (const std::string& path : paths) {
    if (releases->size() >= count) break;
    InfoDocument doc;
    if (!ReadDocument(path, &doc, error)) return false;
    if (doc.version < 2) continue;
    std::string contents;
    for (const DocFile& f : doc.files) contents += f.name + '\0' + f.sha + '\n';
    if (seen.insert(contents).second) releases->push_back(doc);
  }
  return true;
}

bool SaveToHistory(const std::string& site_dir, const std::string& text, size_t keep,
                   std::string* error) {
  const std::string dir = site_dir + "/" + kHistoryDir;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create directory " + dir + ": " + strerror(errno);
    return false;
  }
  std::vector<long> numbers = HistoryNumbers(dir);
  std::string newest;
  if (!numbers.empty() && ReadText(HistoryName(dir, numbers.back()), &newest) && newest == text) {
    return true;  // the same document published again
  }
  const std::string path = HistoryName(dir, numbers.empty() ? 1 : numbers.back() + 1);
  if (!WriteDurably(path, text, error)) return false;
  numbers.push_back(0);  // the one just written
  for (size_t n = 0; n + keep < numbers.size(); ++n) unlink(HistoryName(dir, numbers[n]).c_str());
  return true;
}

PatchMaker::PatchMaker(const std::string& files_dir, uint64_t max_size)
    : files_dir_(files_dir),
      old_tmp_(files_dir + "/.old-" + std::to_string(getpid()) + ".tmp"),
      patch_tmp_(files_dir + "/.patch-" + std::to_string(getpid()) + ".tmp"),
      max_size_(max_size) {}

PatchMaker::~PatchMaker() {
  unlink(old_tmp_.c_str());
  unlink(patch_tmp_.c_str());
}

bool PatchMaker::AddPatches(const std::string& path, uint64_t pack_size,
                            const std::vector<InfoDocument>& releases, const DocFile* reusable,
                            DocFile* record, std::string* error) {
  std::set<std::string> done;
  for (const InfoDocument& release : releases) {
    const DocFile* old = nullptr;
    for (const DocFile& f : release.files) {
      if (f.name == record->name) old = &f;
    }
    if (!old || old->sha.empty() || SameHex(old->sha, record->sha)) continue;
    std::string from = old->sha;
    for (char& c : from) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (!done.insert(from).second) continue;
    if (Reuse(reusable, from, record)) continue;
    if (record->size > max_size_ || old->size > max_size_ || old->size > kDeltaMaxOldSize ||
        old->url_absolute || old->url.empty() || !CheckFileName(old->url).empty() ||
        !OldContent(*old)) {
      ++counts_.skipped;
      continue;
    }
    DeltaStats stats;
    if (!DeltaMakeFile(old_tmp_, path, patch_tmp_, DeltaMakeOptions(), &stats, error)) {
      return false;
    }
    if (stats.patch_bytes * 100 >= pack_size * kPatchSharePercent) {
      ++counts_.too_large;
      continue;
    }
    if (!StorePatch(from, record, error)) return false;
  }
  return true;
}

// Unpacks the old version's pack into old_tmp_ and checks its digest. False when the pack is
// missing or does not give the file the record names.
bool PatchMaker::OldContent(const DocFile& old) {
  Updater unpacker;
  const std::string pack = files_dir_ + "/" + old.url;
  if (!unpacker.unpackFile(pack.c_str(), old_tmp_.c_str(), old.key.c_str(),
                           static_cast<int64_t>(old.size))) {
    return false;
  }
  FileDigests digests;
  std::string ignored;
  return DigestFile(old_tmp_, DigestKinds(), &digests, &ignored) && digests.size == old.size &&
         SameHex(digests.sha256, old.sha);
}

// Moves the patch made into place under its digest and lists it.
bool PatchMaker::StorePatch(const std::string& from, DocFile* record, std::string* error) {
  FileDigests digests;
  if (!DigestFile(patch_tmp_, DigestKinds(), &digests, error)) return false;
  const std::string sub = digests.sha256.substr(0, 2);
  const std::string dir = files_dir_ + "/" + sub;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create directory " + dir + ": " + strerror(errno);
    return false;
  }
  const std::string dest = dir + "/" + digests.sha256;
  if (!SyncPath(patch_tmp_, error)) return false;
  if (rename(patch_tmp_.c_str(), dest.c_str()) != 0) {
    *error = "cannot rename " + patch_tmp_ + " to " + dest + ": " + strerror(errno);
    return false;
  }
  if (!SyncPath(dir, error)) return false;
  DocPatch p;
  p.from = from;
  p.url = sub + "/" + digests.sha256;
  p.packsha = digests.sha256;
  p.packsize = digests.size;
  record->patches.push_back(p);
  ++counts_.made;
  return true;
}

// A patch for the same change listed by the previous document, when its file is still intact.
bool PatchMaker::Reuse(const DocFile* reusable, const std::string& from, DocFile* record) {
  if (!reusable || !SameHex(reusable->sha, record->sha)) return false;
  for (const DocPatch& p : reusable->patches) {
    if (!SameHex(p.from, from) || !CheckFileName(p.url).empty()) continue;
    FileDigests digests;
    std::string ignored;
    if (!DigestFile(files_dir_ + "/" + p.url, DigestKinds(), &digests, &ignored) ||
        !SameHex(digests.sha256, p.packsha) || digests.size != p.packsize) {
      continue;
    }
    record->patches.push_back(p);
    ++counts_.reused;
    return true;
  }
  return false;
}
