#include "groups.h"

#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>

#include <map>
#include <utility>

#include "GenLib.h"
#include "hash.h"

namespace {

// Anything at the path, a symbolic link whose target is gone included, as the update sees it.
bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
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

PlanView BuildPlanView(Updater* updater, const char* baseDir) {
  const std::string base = baseDir;
  const char* digestName = updater->infoVersion() <= 1 ? "md5" : "sha256";
  PlanView plan;
  for (const UpdateFile* f = updater->firstFile(); f; f = f->next) {
    if (IsToInstall(f)) {
      plan.install.push_back({f, "", false, nullptr});
    } else if (IsToRemove(f, base)) {
      plan.remove.push_back(f);
    }
  }
  plan.outdated = updater->outdatedFiles();

  // Download path -> the URL and the first file whose pack goes there.
  std::map<std::string, std::pair<std::string, const UpdateFile*>> packs;
  for (PlannedInstall& item : plan.install) {
    const UpdateFile* f = item.file;
    // The pack's path as the update chooses it: files with the same URL share one pack;
    // another URL whose last component is taken, or a name ending in ".unpacked", gets
    // "~2", "~3" ... appended.
    const std::string packBase = base + "tmp/updater/" + file_part(f->url.c_str());
    auto taken = [&](const std::string& path) {
      static const std::string kUnpacked = ".unpacked";
      if (path.size() >= kUnpacked.size() &&
          path.compare(path.size() - kUnpacked.size(), std::string::npos, kUnpacked) == 0) {
        return true;
      }
      auto it = packs.find(path);
      return it != packs.end() && it->second.first != f->url;
    };
    std::string packPath = packBase;
    for (int n = 2; taken(packPath); n++) packPath = packBase + "~" + std::to_string(n);
    item.packPath = packPath;
    auto shared = packs.find(packPath);
    if (shared != packs.end()) {
      item.sharesPackWith = shared->second.second;
      continue;
    }
    packs[packPath] = {f->url, f};
    // The same test as the update itself makes before downloading a pack.
    char digest[65] = "";
    item.downloaded = f->packChecksum[0] != '\0' &&
                      hash_file(digestName, packPath.c_str(), digest, sizeof(digest)) &&
                      strcasecmp(digest, f->packChecksum) == 0;
    if (item.downloaded) {
      plan.alreadyDownloaded++;
    } else {
      plan.downloads++;
      plan.downloadBytes += f->size;
    }
  }
  return plan;
}

void PrintPlan(Updater* updater, const char* baseDir) {
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

  const PlanView plan = BuildPlanView(updater, baseDir);
  if (!plan.install.empty()) {
    printf("\nFiles to install:\n");
    for (const PlannedInstall& item : plan.install) {
      const UpdateFile* f = item.file;
      if (item.sharesPackWith) {
        printf("  %s (%lld bytes, same pack as %s)\n", f->name.c_str(),
               static_cast<long long>(f->size), item.sharesPackWith->name.c_str());
      } else {
        printf("  %s (%lld bytes%s)\n", f->name.c_str(), static_cast<long long>(f->size),
               item.downloaded ? ", already downloaded" : "");
      }
    }
  }
  if (!plan.remove.empty()) {
    printf("\nFiles to remove:\n");
    for (const UpdateFile* f : plan.remove) printf("  %s\n", f->name.c_str());
  }
  if (!plan.outdated.empty()) {
    printf("\nOutdated files to delete:\n");
    for (const std::string& name : plan.outdated) printf("  %s\n", name.c_str());
  }

  if (plan.empty()) {
    printf("\nNothing to be done, you are up-to-date\n");
    return;
  }
  printf("\nTotal to download: %lld bytes in %d file(s), %d already downloaded\n",
         static_cast<long long>(plan.downloadBytes), plan.downloads, plan.alreadyDownloaded);
}
