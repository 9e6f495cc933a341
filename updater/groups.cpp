#include "groups.h"

#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>

#include "GenLib.h"
#include "hash.h"

namespace {

bool PathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The plan rules of the engine, read from the records: a file is to install when it needs an
// update and has no groups or one at state 1; to remove when all its groups (at least one)
// are at state 2 and it exists in the installation.
bool IsToInstall(const UpdateFile* f) {
  if (!f->needsUpdate) return false;
  if (f->groups.empty()) return true;
  for (const UpdateGroup* g : f->groups) {
    if (g->state == UPDATE_GROUP_INSTALL) return true;
  }
  return false;
}

bool IsToRemove(const UpdateFile* f, const std::string& baseDir) {
  if (f->groups.empty()) return false;
  for (const UpdateGroup* g : f->groups) {
    if (g->state != UPDATE_GROUP_REMOVE) return false;
  }
  return PathExists(baseDir + f->name);
}

}  // namespace

std::string GroupStateWord(int32_t state) {
  switch (state) {
    case UPDATE_GROUP_NOT_SELECTED:
      return "not selected";
    case UPDATE_GROUP_INSTALL:
      return "install";
    case UPDATE_GROUP_REMOVE:
      return "remove";
    default:
      return "unknown (" + std::to_string(state) + ")";
  }
}

bool ApplyGroupChoices(Updater* updater, const std::vector<GroupChoice>& choices) {
  std::vector<UpdateGroup*> found;
  for (const GroupChoice& choice : choices) {
    UpdateGroup* group = updater->findGroup(choice.name.c_str());
    if (!group) {
      std::string known;
      for (UpdateGroup* g = updater->firstGroup(); g; g = g->next) {
        known += known.empty() ? "" : ", ";
        known += g->name;
      }
      if (known.empty()) {
        fprintf(stderr, "Unknown group '%s': this update has no groups\n", choice.name.c_str());
      } else {
        fprintf(stderr, "Unknown group '%s': the groups are %s\n", choice.name.c_str(),
                known.c_str());
      }
      return false;
    }
    found.push_back(group);
  }
  for (size_t i = 0; i < choices.size(); i++) updater->setGroupState(found[i], choices[i].state);
  return true;
}

void PrintPlan(Updater* updater, const char* baseDir) {
  const std::string base = baseDir;
  const char* digestName = updater->infoVersion() <= 1 ? "md5" : "sha256";

  UpdateGroup* first = updater->firstGroup();
  printf("\nPackage groups:%s\n", first ? "" : " none");
  for (UpdateGroup* g = first; g; g = g->next) {
    printf("  %s (%s): %s%s\n", g->dispName.c_str(), g->name.c_str(),
           GroupStateWord(g->state).c_str(), g->isDefault ? " [default group]" : "");
    size_t start = 0;
    while (!g->desc.empty() && start <= g->desc.size()) {
      size_t end = g->desc.find('\n', start);
      if (end == std::string::npos) end = g->desc.size();
      printf("      %s\n", g->desc.substr(start, end - start).c_str());
      start = end + 1;
    }
  }

  std::vector<const UpdateFile*> install, remove;
  for (const UpdateFile* f = updater->firstFile(); f; f = f->next) {
    if (IsToInstall(f)) {
      install.push_back(f);
    } else if (IsToRemove(f, base)) {
      remove.push_back(f);
    }
  }
  std::vector<std::string> outdated = updater->outdatedFiles();

  int64_t total = 0;
  int downloads = 0, alreadyThere = 0;
  if (!install.empty()) {
    printf("\nFiles to install:\n");
    for (const UpdateFile* f : install) {
      // The same test as the update itself makes before downloading a pack.
      std::string packPath = base + "tmp/updater/" + file_part(f->url.c_str());
      char digest[65] = "";
      bool have = f->packChecksum[0] != '\0' &&
                  hash_file(digestName, packPath.c_str(), digest, sizeof(digest)) &&
                  strcasecmp(digest, f->packChecksum) == 0;
      printf("  %s (%lld bytes%s)\n", f->name.c_str(), static_cast<long long>(f->size),
             have ? ", already downloaded" : "");
      if (have) {
        alreadyThere++;
      } else {
        downloads++;
        total += f->size;
      }
    }
  }
  if (!remove.empty()) {
    printf("\nFiles to remove:\n");
    for (const UpdateFile* f : remove) printf("  %s\n", f->name.c_str());
  }
  if (!outdated.empty()) {
    printf("\nOutdated files to delete:\n");
    for (const std::string& name : outdated) printf("  %s\n", name.c_str());
  }

  if (install.empty() && remove.empty() && outdated.empty()) {
    printf("\nNothing to be done, you are up-to-date\n");
    return;
  }
  printf("\nTotal to download: %lld bytes in %d file(s), %d already downloaded\n",
         static_cast<long long>(total), downloads, alreadyThere);
}
