// The plan of one update: what performUpdate will do to the installation, computed once by
// Updater::plan from the parsed records, the group states and what lies on disk. The update
// carries it out and `updater --list` prints it; neither applies rules of its own.
//
// Thread rules: a Plan is a plain value. Its record pointers belong to the Updater that made it
// and stay valid until that Updater's next setup, reset or destruction. Its paths live in the
// plan's own text arena, which every copy of the plan shares: they stay valid while one does.
#ifndef LIBUPDATER_PLAN_H_
#define LIBUPDATER_PLAN_H_

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "lean_text.h"

struct UpdateFile;

// A file to install from its pack.
struct PlanInstall {
  UpdateFile* file = nullptr;
  // Where the pack is stored: staging directory + "/" + last component of the URL, with "~2",
  // "~3" ... appended when another URL of the same plan ends alike or the name ends like an
  // unpacked copy.
  TextRef downloadPath;
  // Index in Plan::installs of the earlier file whose pack (same URL) this one shares, or -1.
  int sharesPackOf = -1;
  // Index in file->patches of the patch to try first (its "from" is the installed copy's
  // digest), or -1; the full pack is the fallback. The patch is stored at patchPath.
  int patch = -1;
  TextRef patchPath;
  // The pack already lies at downloadPath with the expected pack checksum (own packs only).
  bool packPresent = false;
};

// A file whose content is current but whose permission bits differ from its "modes".
struct PlanModeChange {
  UpdateFile* file = nullptr;
  uint32_t from = 0;  // permission bits installed now
  uint32_t to = 0;    // "modes" of the release
};

struct Plan {
  std::vector<PlanInstall> installs;        // document order
  std::vector<PlanModeChange> modeChanges;  // document order
  std::vector<UpdateFile*> removals;        // files of groups at state 2 that exist
  std::vector<std::string> obsolete;        // "delete" entries that existed when parsed
  // Bytes to download: "packsize" of each pack and patch (a pack without one counts "size").
  int64_t downloadBytes = 0;
  int32_t downloads = 0;           // packs and patches to download
  int32_t patches = 0;             // of those, patches
  int32_t alreadyDownloaded = 0;   // own packs already present
  bool rollbackAvailable = false;  // a backup of the release before can be restored
  // Keeps the texts of downloadPath and patchPath.
  std::shared_ptr<TextArena> texts = std::make_shared<TextArena>();

  // True when the plan changes nothing in the installation.
  bool empty() const {
    return installs.empty() && modeChanges.empty() && removals.empty() && obsolete.empty();
  }
};

#endif  // LIBUPDATER_PLAN_H_
