#include "groups.h"

#include <openssl/evp.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>

#include <memory>

namespace {

bool PathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Lower-case hex digest of the file at path ("md5" or "sha256"); empty when it cannot be read.
std::string FileDigest(const char* digestName, const std::string& path) {
  const EVP_MD* md = EVP_get_digestbyname(digestName);
  if (!md) return "";
  std::unique_ptr<FILE, int (*)(FILE*)> fp(fopen(path.c_str(), "rb"), fclose);
  if (!fp) return "";
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return "";
  unsigned char block[65536];
  size_t n;
  while ((n = fread(block, 1, sizeof(block), fp.get())) > 0) {
    if (EVP_DigestUpdate(ctx.get(), block, n) != 1) return "";
  }
  if (ferror(fp.get())) return "";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < len; i++) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

// The part of a URL after its last "/", or after its last backslash when it has no "/".
std::string LastComponent(const std::string& url) {
  size_t pos = url.rfind('/');
  if (pos == std::string::npos) pos = url.rfind('\\');
  return pos == std::string::npos ? url : url.substr(pos + 1);
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
      std::string packPath = base + "tmp/updater/" + LastComponent(f->url);
      bool have = f->packChecksum[0] != '\0' &&
                  strcasecmp(FileDigest(digestName, packPath).c_str(), f->packChecksum) == 0;
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
