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

// Prints the groups in display order and the engine's plan: files to install (with size; those
// whose pack already lies in tmp/updater are marked, and so is a file that shares the pack of
// one listed before it, which is not counted again), files whose modes change, files to remove,
// outdated files to delete, the total to download and whether a rollback is available. Reads the
// installation; changes nothing.
void PrintPlan(Updater* updater);

#endif  // UPDATER_GROUPS_H_
