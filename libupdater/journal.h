// The commit journal: what one commit will move where, delete and re-mode, written and flushed
// before the installation changes, so that a run killed during the commit can be finished
// (forward) or undone (back) by the next one. A finished forward journal is kept beside the
// backups it names as the manifest of the last update, from which a rollback is made.
//
// Each step is written so that doing it again, or undoing it again, after any part of it was
// done gives the same result; the state of the tree tells how far a step got.
//
// Thread rules: plain values and functions without state.
#ifndef LIBUPDATER_JOURNAL_H_
#define LIBUPDATER_JOURNAL_H_

#include <stdint.h>

#include <string>
#include <vector>

// Paths below the base directory used by the commit.
namespace journal_paths {
extern const char kJournal[];   // the journal of the commit or rollback under way
extern const char kStage[];     // verified new files, named by their step
extern const char kUndo[];      // what the commit under way moves aside
extern const char kBackup[];    // what the last finished update moved aside, and its manifest
extern const char kManifest[];  // name of the manifest inside kUndo or kBackup
}  // namespace journal_paths

struct JournalStep {
  enum Kind {
    kInstall,  // staged -> target; what was at target (if anything) -> backup
    kRemove,   // target -> backup
    kModes,    // permission bits of target: oldMode -> newMode
  };
  Kind kind = kInstall;
  std::string target;  // relative to the base directory
  std::string staged;  // kInstall: the verified new file
  std::string backup;  // kInstall, kRemove: where the old file goes; empty when nothing was there
  uint32_t oldMode = 0;
  uint32_t newMode = 0;
};

struct Journal {
  enum Direction { kForward, kBack };
  Direction direction = kForward;
  // The directory holding the backups the steps name (kUndo or kBackup); a finished rollback
  // removes it.
  std::string backupDir;
  std::vector<JournalStep> steps;
};

// The text of a journal: a header line, one line a step (tab-separated; names never hold
// control characters), and an end line.
std::string EncodeJournal(const Journal& j);
// Reads a journal text. True on success; false when it is damaged or cut short.
bool DecodeJournal(const std::string& text, Journal* j);

#endif  // LIBUPDATER_JOURNAL_H_
