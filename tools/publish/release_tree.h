// The release tree: walks a release directory into the sorted list of files that a release
// publishes, and refuses what the updater could not install (names it cannot carry or would
// refuse, empty or over-large files, special files) and every symbolic link that leads out of
// the tree. Symbolic links to regular files inside the tree are published as the files they
// name; symbolic links to directories are refused, so the walk never loops.
//
// Thread rules: no shared state.
#ifndef TOOLS_PUBLISH_RELEASE_TREE_H_
#define TOOLS_PUBLISH_RELEASE_TREE_H_

#include <stdint.h>

#include <string>
#include <vector>

struct ReleaseFile {
  std::string name;  // relative to the release root, components joined by "/"
  std::string path;  // where to read it (the link's target for an in-tree symbolic link)
  uint64_t size = 0;
  uint32_t modes = 0;  // permission bits (rwx for user, group, others)
};

// Longest file name (in bytes) accepted: the updater joins it to its base directory in
// 1024-byte buffers.
const size_t kMaxNameLength = 900;

// Empty when name can be published; otherwise the reason it cannot.
std::string CheckFileName(const std::string& name);

// Walks root. True with *files sorted by name (byte order). False when root cannot be read or
// anything in it is refused; *problems then holds one line per refusal.
bool WalkRelease(const std::string& root, std::vector<ReleaseFile>* files,
                 std::vector<std::string>* problems);

#endif  // TOOLS_PUBLISH_RELEASE_TREE_H_
