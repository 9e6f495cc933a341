// Patches: the "patch" elements of a file record, the choice of one for the plan, and building
// the new copy from the installed one in the staging area. Any failure of a patch falls back to
// the file's full pack, with a line that says so; the patch only ever saves bytes.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <tinyxml.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "GenLib.h"
#include "delta.h"
#include "engine_internal.h"
#include "hash.h"
#include "libupdater.h"

namespace {

bool isHexDigest(const char* text) {
  if (!text || strlen(text) != 64) return false;
  for (const char* p = text; *p; p++) {
    if (!isxdigit(static_cast<unsigned char>(*p))) return false;
  }
  return true;
}

// A descriptor closed with its scope.
struct ScopedFd {
  int fd;
  ~ScopedFd() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

void Updater::setUseDeltas(bool on) {
  AutoMutex hold(lock_);
  useDeltas_ = on;
}

// Elements with a missing or malformed attribute, or a URL that names no file, are skipped:
// the full pack stays available for them.
void Updater::readFilePatches(TiXmlElement* fe, UpdateFile* f) {
  std::vector<UpdatePatch> patches;
  for (TiXmlElement* pe = fe->FirstChildElement("patch"); pe;
       pe = pe->NextSiblingElement("patch")) {
    const char* from = pe->Attribute("from");
    const char* url = pe->Attribute("url");
    const char* packsha = pe->Attribute("packsha");
    const char* packsize = pe->Attribute("packsize");
    if (!isHexDigest(from) || !isHexDigest(packsha) || !url || !packsize) continue;
    UpdatePatch p;
    p.url = engine::isAbsoluteUrl(url) ? url : fileBase_ + url;
    const char* last = file_part(p.url.c_str());
    if (!*last || strcmp(last, ".") == 0 || strcmp(last, "..") == 0 ||
        p.url.find(' ') != std::string::npos) {
      continue;
    }
    char* end = nullptr;
    p.packSize = strtoll(packsize, &end, 10);
    if (p.packSize <= 0 || *end) continue;
    strlcpy(p.from, from, sizeof(p.from));
    strlcpy(p.packChecksum, packsha, sizeof(p.packChecksum));
    patches.push_back(p);
  }
  if (patches.empty()) return;
  patchLists_.push_back(std::move(patches));
  f->patches = RecordList<UpdatePatch>(&patchLists_.back());
}

// A file gets its patch when the installed copy is the patch's old version and its pack is its
// own (a pack shared with another file is downloaded anyway).
void Updater::planPatches(Plan* p) {
  if (!useDeltas_) return;
  std::vector<bool> shared(p->installs.size(), false);
  for (const PlanInstall& item : p->installs) {
    if (item.sharesPackOf >= 0) shared[item.sharesPackOf] = true;
  }
  for (size_t i = 0; i < p->installs.size(); i++) {
    PlanInstall& item = p->installs[i];
    const UpdateFile* f = item.file;
    if (item.packPresent || item.sharesPackOf >= 0 || shared[i] || f->installedChecksum.empty()) {
      continue;
    }
    for (size_t k = 0; k < f->patches.size(); k++) {
      if (f->installedChecksum.equalsNoCase(f->patches[k].from)) {
        item.patch = static_cast<int>(k);
        break;
      }
    }
    if (item.patch < 0) continue;
    item.patchPath = p->texts->add(item.downloadPath + ".patch");
    const int64_t full = f->packSize > 0 ? f->packSize : f->size;
    p->downloadBytes += f->patches[item.patch].packSize - full;
    p->patches++;
  }
}

// Downloads the patch of item the way packs are downloaded, checks its digest and applies it to
// the installed copy. True when the verified new copy waits at downloadPath + ".unpacked"; false
// after a line saying why and that the full pack follows, or at once when the job is stopped.
bool Updater::stagePatch(const PlanInstall& item, engine::DownloadJob* job) {
  UpdateFile* f = item.file;
  const UpdatePatch& patch = f->patches[item.patch];
  const std::string unpacked = item.downloadPath + engine::kUnpackSuffix;
  std::string why;

  // A stand-in record sends the patch through the packs' own download path and its rules.
  UpdateFile stand = *f;
  stand.url = TextRef(patch.url.c_str());
  // Downloads run on several threads: the digest, a plain one in lower case, never needs the
  // arena.
  char packsha[sizeof(patch.packChecksum)];
  for (size_t i = 0; i < sizeof(packsha); i++) {
    packsha[i] = static_cast<char>(tolower(static_cast<unsigned char>(patch.packChecksum[i])));
  }
  stand.packChecksum.set(packsha, nullptr);
  stand.packSize = patch.packSize;
  stand.patches = RecordList<UpdatePatch>();
  stand.prev = stand.next = nullptr;
  PlanInstall fetch;
  fetch.file = &stand;
  fetch.downloadPath = item.patchPath;
  char digest[65] = "";
  if (!downloadPack(fetch, job)) {
    why = job->error();
    job->clearError();
  } else if (!hash_file("sha256", item.patchPath.c_str(), digest, sizeof(digest)) ||
             strcasecmp(digest, patch.packChecksum) != 0) {
    why = "the patch's SHA-256 digest does not match";
  } else {
    applyPatch(item, unpacked, &why);
  }
  remove(item.patchPath.c_str());
  if (!why.empty()) {
    remove(unpacked.c_str());
    if (job->stopped()) return false;
    job->say("Patch for %s not used (%s); downloading the full pack instead", f->name.c_str(),
             why.c_str());
    return false;
  }
  job->say("Patched %s (%lld bytes downloaded instead of the full pack)", f->name.c_str(),
           static_cast<long long>(patch.packSize));
  f->stagedFromPatch = true;
  return true;
}

// Builds unpacked from the installed copy and the downloaded patch. The patch must name the
// record's size and digest as its result, and its applier checks the old copy's digest and the
// result's, so a copy it accepts is the file of the record. True on success; false with *why.
bool Updater::applyPatch(const PlanInstall& item, const std::string& unpacked, std::string* why) {
  const UpdateFile* f = item.file;
  const std::string installed = baseDir_ + f->name;
  ScopedFd old{open(installed.c_str(), O_RDONLY | O_CLOEXEC)};
  ScopedFd patchFd{open(item.patchPath.c_str(), O_RDONLY | O_CLOEXEC)};
  if (old.fd < 0 || patchFd.fd < 0) {
    *why = std::string("cannot open ") + (old.fd < 0 ? installed : item.patchPath) + ": " +
           strerror(errno);
    return false;
  }
  DeltaHeader header;
  if (!DeltaReadHeader(patchFd.fd, &header, why)) return false;
  char newSum[65];
  bin_to_hex(header.new_sha256, sizeof(header.new_sha256), newSum);
  if (header.new_size != static_cast<uint64_t>(f->size) || !f->checksum.equalsNoCase(newSum)) {
    *why = "the patch builds another version than the one listed";
    return false;
  }
  ScopedFd out{open(unpacked.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
  if (out.fd < 0) {
    *why = "cannot create " + unpacked + ": " + strerror(errno);
    return false;
  }
  if (!DeltaApplyFd(old.fd, patchFd.fd, out.fd, why)) return false;
  int fd = out.fd;
  out.fd = -1;
  if (close(fd) != 0) {
    *why = "cannot write " + unpacked + ": " + strerror(errno);
    return false;
  }
  if (f->modes != 0) chmod(unpacked.c_str(), f->modes);
  return true;
}
