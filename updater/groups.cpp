#include "groups.h"

#include <stdio.h>

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

void PrintPlan(Updater* updater) {
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

  const Plan plan = updater->plan();
  if (!plan.installs.empty()) {
    printf("\nFiles to install:\n");
    for (const PlanInstall& item : plan.installs) {
      const UpdateFile* f = item.file;
      if (item.sharesPackOf >= 0) {
        printf("  %s (%lld bytes, same pack as %s)\n", f->name.c_str(),
               static_cast<long long>(f->size),
               plan.installs[item.sharesPackOf].file->name.c_str());
      } else if (item.patch >= 0) {
        printf("  %s (%lld bytes, patch of %lld bytes)\n", f->name.c_str(),
               static_cast<long long>(f->size),
               static_cast<long long>(f->patches[item.patch].packSize));
      } else {
        printf("  %s (%lld bytes%s)\n", f->name.c_str(), static_cast<long long>(f->size),
               item.packPresent ? ", already downloaded" : "");
      }
    }
  }
  if (!plan.modeChanges.empty()) {
    printf("\nFiles whose modes change:\n");
    for (const PlanModeChange& change : plan.modeChanges) {
      printf("  %s (%04o to %04o)\n", change.file->name.c_str(), change.from, change.to);
    }
  }
  if (!plan.removals.empty()) {
    printf("\nFiles to remove:\n");
    for (const UpdateFile* f : plan.removals) printf("  %s\n", f->name.c_str());
  }
  if (!plan.obsolete.empty()) {
    printf("\nOutdated files to delete:\n");
    for (const std::string& name : plan.obsolete) printf("  %s\n", name.c_str());
  }

  if (plan.empty()) {
    printf("\nNothing to be done, you are up-to-date\n");
  } else {
    printf("\nTotal to download: %lld bytes in %d file(s), %d already downloaded\n",
           static_cast<long long>(plan.downloadBytes), plan.downloads, plan.alreadyDownloaded);
    if (plan.patches > 0) printf("(%d of them patches to the installed copies)\n", plan.patches);
  }
  if (plan.rollbackAvailable) {
    printf("Rollback available: --rollback puts back the release from before the last update\n");
  }
}
