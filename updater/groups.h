// Group choices and plan preview of the command-line updater: applies the --install, --remove
// and --skip choices to the engine's groups, and prints the groups and the plan that a run
// would carry out (--list) without changing anything.
//
// Thread rules: main thread only; every engine call takes the Updater's own lock.
#ifndef UPDATER_GROUPS_H_
#define UPDATER_GROUPS_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "libupdater.h"

// One state chosen on the command line for a group, by name.
struct GroupChoice {
  std::string name;
  int32_t state;
};

// Checks every name with findGroup first; when one is unknown, writes an error naming it and
// the groups that exist to standard error and returns false with no state changed. Otherwise
// sets the states in the given order (a later choice for a group wins) and returns true.
bool ApplyGroupChoices(Updater* updater, const std::vector<GroupChoice>& choices);

// The word shown for a group state: "not selected", "install", "remove", or "unknown (N)".
std::string GroupStateWord(int32_t state);

// One file the plan installs. Files with the same pack path share one download: the later
// ones name the first in sharesPackWith and count neither as a download nor as downloaded.
struct PlannedInstall {
  const UpdateFile* file;
  std::string packPath;              // where the pack lies or will lie (tmp/updater/...)
  bool downloaded;                   // the pack is already there with its checksum
  const UpdateFile* sharesPackWith;  // first file of the same pack, or null
};

// What an update would do, read from the engine's records and the installation.
struct PlanView {
  std::vector<PlannedInstall> install;
  std::vector<const UpdateFile*> remove;  // files of removed groups that exist
  std::vector<std::string> outdated;      // obsolete names of the document
  int64_t downloadBytes = 0;              // sizes of the packs still to download
  int downloads = 0;
  int alreadyDownloaded = 0;
  bool empty() const { return install.empty() && remove.empty() && outdated.empty(); }
};

// The plan of the current group states. baseDir ends in "/". Reads the installation (lstat and
// the digests of packs in tmp/updater); changes nothing.
PlanView BuildPlanView(Updater* updater, const char* baseDir);

// Prints the groups in display order and the plan: files to install (with size; those whose
// pack already lies in tmp/updater are marked, and so is a file that shares the pack of one
// listed before it, which is not counted again), files to remove, outdated files to delete,
// and the total to download. baseDir ends in "/". Reads the installation; changes nothing.
void PrintPlan(Updater* updater, const char* baseDir);

#endif  // UPDATER_GROUPS_H_
