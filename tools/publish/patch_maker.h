// Patches in a site: for each changed file of a new release, one patch from the version of the
// file in each of the last few releases the site holds (docs/delta-format.md). The old contents
// come from unpacking the old packs that are still in the site; the releases come from the
// site's history, a copy of every document published (SITE/history/NNNNNN.info).
//
// Thread rules: one publication at a time per site; no shared state.
#ifndef TOOLS_PUBLISH_PATCH_MAKER_H_
#define TOOLS_PUBLISH_PATCH_MAKER_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "info_document.h"

const char* const kHistoryDir = "history";

// The documents of the last count releases of the site, newest first: current (the document
// the site serves now, when not empty) and then the history, each set of file contents once.
// Documents of version 1 are left out (they carry no SHA-256). True on success (also when
// there is no history); false with *error when a history document cannot be read.
bool LoadReleases(const std::string& site_dir, const std::string& current, size_t count,
                  std::vector<InfoDocument>* releases, std::string* error);

// Adds text as the newest document of the site's history (unless the newest is the same text)
// and removes all but the newest keep copies. True on success; false with *error naming the path.
bool SaveToHistory(const std::string& site_dir, const std::string& text, size_t keep,
                   std::string* error);

struct PatchCounts {
  size_t made = 0, reused = 0;  // patches listed
  size_t too_large = 0;         // not smaller than the limit share of the full pack
  size_t skipped = 0;           // file too large, old pack missing or damaged
};

class PatchMaker {
 public:
  // files_dir: SITE/files; max_size: files above it get no patches.
  PatchMaker(const std::string& files_dir, uint64_t max_size);
  ~PatchMaker();
  PatchMaker(const PatchMaker&) = delete;
  PatchMaker& operator=(const PatchMaker&) = delete;

  // Lists in record->patches a patch from each different older version of the file that the
  // releases hold, for the new file at path (record->sha and record->size filled, its full
  // pack pack_size bytes). A patch listed for the same change in reusable (the previous
  // record of the same content) is kept when its file is still intact. A patch that is not
  // smaller than 60 % of the full pack is not kept. True on success (also when no patch was
  // made); false with *error only when the site cannot be written.
  bool AddPatches(const std::string& path, uint64_t pack_size,
                  const std::vector<InfoDocument>& releases, const DocFile* reusable,
                  DocFile* record, std::string* error);

  const PatchCounts& counts() const { return counts_; }

 private:
  bool OldContent(const DocFile& old);
  bool StorePatch(const std::string& from, DocFile* record, std::string* error);
  bool Reuse(const DocFile* reusable, const std::string& from, DocFile* record);

  std::string files_dir_, old_tmp_, patch_tmp_;
  uint64_t max_size_;
  PatchCounts counts_;
};

#endif  // TOOLS_PUBLISH_PATCH_MAKER_H_
