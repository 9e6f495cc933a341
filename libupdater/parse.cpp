// Parsing the channel document into groups, file records and obsolete files, and checking
// every listed file against the installation.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <tinyxml.h>

#include <algorithm>
#include <memory>

#include "GenLib.h"
#include "doc_limits.h"
#include "engine_internal.h"
#include "file_check.h"
#include "hash.h"
#include "libupdater.h"
#include "memleak.h"

#define UPD_SRC "libupdater/parse"

namespace {

// Zero bytes after the document text while TinyXML parses it (see parseInfo).
const size_t kParsePadding = 16;

const char* attrOr(const TiXmlElement* e, const char* name, const char* fallback) {
  const char* v = e->Attribute(name);
  return v ? v : fallback;
}

// A name from the document must stay inside the base directory: relative, no ".." component,
// no backslash, no control character, and it must name something below the base directory.
bool isSafeRelativePath(const char* name) {
  if (!name || !*name || name[0] == '/') return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++) {
    if (*p < 0x20 || *p == 0x7f || *p == '\\') return false;
  }
  const char* comp = name;
  for (;;) {
    const char* end = strchr(comp, '/');
    size_t len = end ? static_cast<size_t>(end - comp) : strlen(comp);
    if (len == 2 && comp[0] == '.' && comp[1] == '.') return false;
    if (!end) {
      // The last component names the file itself.
      if (len == 0 || (len == 1 && comp[0] == '.')) return false;
      break;
    }
    comp = end + 1;
  }
  return true;
}

bool startsWithNoCase(const char* s, const char* prefix) {
  return strncasecmp(s, prefix, strlen(prefix)) == 0;
}

const char* attrOr(const engine::ElementView& e, const char* name, const char* fallback) {
  const char* v = e.Attribute(name);
  return v ? v : fallback;
}

}  // namespace

const char* engine::TreeElementView::Value() const { return e_->Value(); }

const char* engine::TreeElementView::Attribute(const char* name) const {
  return e_->Attribute(name);
}

bool engine::isAbsoluteUrl(const char* url) {
  return startsWithNoCase(url, "http://") || startsWithNoCase(url, "https://") ||
         startsWithNoCase(url, "ftp://");
}

bool Updater::parseInfo() {
  AutoMutex hold(lock_);
  fileCheck_.reset();
  hashedCount_ = 0;
  bool ok = parseDocument();
  finishChecks();
  return ok;
}

bool Updater::parseDocument() {
  // Documents laid out as the publisher writes them are read without a tree of the whole.
  streamed_ = false;
  const bool ok = parseStreamed(&streamed_);
  if (streamed_) return ok;
  // TinyXML steps over a multi-byte character by its lead byte alone, so a damaged sequence at
  // the end of the text makes it read a few bytes past the terminator. It parses a copy padded
  // with zero bytes, where such steps land on zeros and stop.
  std::string padded;
  if (!wholeInfoText(&padded)) return setError("Error reading updater-info.xml!");
  // The parser recurses once per nesting level: a deep document is refused before it.
  int row = 0;
  if (!CheckDocumentDepth(padded.data(), padded.size(), kMaxDocumentDepth, &row)) {
    return setError(
        "Error parsing updater-info.xml (elements nested deeper than %d levels at row %d)",
        kMaxDocumentDepth, row);
  }
  padded.append(kParsePadding, '\0');
  std::unique_ptr<TiXmlDocument> doc(new TiXmlDocument());
  doc->Parse(padded.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (doc->Error()) {
    return setError("Error parsing updater-info.xml (%s at row %d, col %d)", doc->ErrorDesc(),
                    doc->ErrorRow(), doc->ErrorCol());
  }
  TiXmlElement* root = doc->FirstChildElement("update_info");
  if (!root) return setError("Unable to find update_info element!");
  if (!checkGuards(root)) return false;
  return parseRootElements(root);
}

bool Updater::parseRootElements(TiXmlElement* root) {
  infoVersion_ = static_cast<int32_t>(strtol(attrOr(root, "version", "0"), nullptr, 10));
  debugf("Info version: %d", infoVersion_);

  TiXmlElement* info = root->FirstChildElement("info");
  if (!info) return setError("Unable to find info element!");
  appName_ = attrOr(info, "AppName", "");
  author_ = attrOr(info, "Author", "");
  homeUrl_ = attrOr(info, "URL", "");
  if (infoVersion_ > 1) {
    fileBase_ = attrOr(info, "FileBase", "");
    // Further file bases with the same packs; older clients ignore the element.
    mirrors_.clear();
    TiXmlElement* mirrors = root->FirstChildElement("mirrors");
    for (TiXmlElement* m = mirrors ? mirrors->FirstChildElement("mirror") : nullptr; m;
         m = m->NextSiblingElement("mirror")) {
      addMirror(m);
    }
    if (!parseGroups(root->FirstChildElement("groups"))) return false;
  }

  TiXmlElement* files = root->FirstChildElement("files");
  if (!files) return setError("Unable to find files element!");
  debugf("Building file list...");
  if (!parseFiles(files)) return false;
  return parseDeletes(root->FirstChildElement("delete"));
}

bool Updater::parseGroups(TiXmlElement* groups) {
  int index = 0;
  for (TiXmlElement* ge = groups ? groups->FirstChildElement("group") : nullptr; ge;
       ge = ge->NextSiblingElement("group")) {
    if (!parseGroup(ge, ++index)) return false;
  }
  if (groupsHead_ && groupsHead_->next) sortGroups();
  return true;
}

bool Updater::parseGroup(TiXmlElement* ge, int index) {
  const char* name = ge->Attribute("name");
  if (!name) {
    return setError("Missing attribute \"name\" in <group> entry %d of <groups>", index);
  }
  std::string why;
  if (!IsUsableGroupName(name, &why)) {
    return setError("Unusable group name \"%s\" in <group> entry %d of <groups>: %s",
                    EscapeForMessage(name).c_str(), index, why.c_str());
  }
  UpdateGroup* g = new UpdateGroup;
  g->name = name;
  const char* disp = ge->Attribute("dispName");
  g->dispName = (disp && *disp) ? disp : name;
  g->menu = attrOr(ge, "menu", "");
  char desc[1024];
  strlcpy(desc, attrOr(ge, "desc", ""), sizeof(desc));
  str_replace(desc, sizeof(desc), "\\n", "\n");
  g->desc = desc;
  g->priority = static_cast<int32_t>(strtol(attrOr(ge, "priority", "50"), nullptr, 10));
  g->state = static_cast<int32_t>(strtol(attrOr(ge, "default", "0"), nullptr, 10));
  g->isDefault = strtol(attrOr(ge, "defaultgrp", "0"), nullptr, 10) != 0;
  g->state = storedGroupState(g->name, g->state);
  appendGroup(g);
  if (g->isDefault) defaultGroup_ = g;
  return true;
}

void Updater::appendGroup(UpdateGroup* g) {
  g->prev = groupsTail_;
  if (groupsTail_) {
    groupsTail_->next = g;
  } else {
    groupsHead_ = g;
  }
  groupsTail_ = g;
}

// Sets up the check of the installed files and names the checksum attributes of the records.
void Updater::beginFiles(const char** sumAttr, const char** packAttr) {
  fileCheck_.reset();
  if (ConfinedDir* dir = installation()) {
    FileCheck::Options options;
    options.verifyAll = verifyAll_;
    options.threads = hashThreads_;
    if (checkClock_) options.clock = checkClock_;
    fileCheck_.reset(new FileCheck(dir, std::string(engine::kStagingDir) + "/" + engine::kStateFile,
                                   digestName(), options, &Updater::onFileChecked, this));
  }
  const bool current = infoVersion_ > 1;
  *sumAttr = current ? "sha" : "md5";
  *packAttr = current ? "packsha" : "packmd5";
}

void Updater::addMirror(const TiXmlElement* mirror) {
  const char* url = mirror->Attribute("url");
  if (url && engine::isAbsoluteUrl(url)) mirrors_.push_back(url);
}

bool Updater::parseFiles(TiXmlElement* files) {
  const char* sumAttr;
  const char* packAttr;
  beginFiles(&sumAttr, &packAttr);
  int index = 0;
  for (TiXmlElement* fe = files->FirstChildElement(); fe; fe = fe->NextSiblingElement()) {
    if (!parseFileRecord(engine::TreeElementView(fe), fe, ++index, sumAttr, packAttr)) return false;
  }
  return true;
}

bool Updater::parseFileRecord(const engine::ElementView& fe, TiXmlElement* children, int index,
                              const char* sumAttr, const char* packAttr) {
  const char* tag = fe.Value();
  const char* name = fe.Attribute("file");
  if (!name) {
    return setError("Missing attribute \"file\" in <%s> entry %d of <files>", tag, index);
  }
  if (!isSafeRelativePath(name)) {
    return setError(
        "Unsafe file name \"%s\" in <%s> entry %d of <files>: it must be a relative path "
        "inside the base directory",
        name, tag, index);
  }
  if (!fe.Attribute("url")) {
    return setError("Missing attribute \"url\" in <%s> entry %d of <files>", tag, index);
  }
  const char* sum = fe.Attribute(sumAttr);
  if (!sum) {
    return setError("Missing attribute \"%s\" in <%s> entry %d of <files>", sumAttr, tag, index);
  }
  RecordList<UpdateGroup*> groups;
  if (infoVersion_ > 1) groups = readFileGroups(fe);
  std::string url;
  if (!formUrl(fe, index, name, &url)) return false;

  files_.emplace_back();
  UpdateFile* f = &files_.back();
  f->name = texts_.add(name, strlen(name));
  f->url = texts_.add(url);
  f->size = strtoll(attrOr(fe, "size", "0"), nullptr, 10);
  f->modes = static_cast<uint32_t>(strtoul(attrOr(fe, "modes", "0"), nullptr, 10));
  f->packSize = strtoll(attrOr(fe, "packsize", "0"), nullptr, 10);
  f->groups = groups;
  strlcpy(f->key, attrOr(fe, "key", ""), sizeof(f->key));
  f->checksum.set(sum, &texts_);
  f->packChecksum.set(attrOr(fe, packAttr, ""), &texts_);
  if (infoVersion_ > 1 && children) readFilePatches(children, f);

  // The answer may come later, from another check or from finishChecks; the pending count is
  // taken then.
  fileCount_++;
  appendFile(f);
  if (fileCheck_) {
    fileCheck_->check(name, f->checksum.text(), f);
  } else {
    f->needsUpdate = true;  // no installation to look into
  }
  return true;
}

// The download URL: relative ones (version 2+) hang off the file base; every blank becomes
// "%20"; the last component must name a file.
bool Updater::formUrl(const engine::ElementView& fe, int index, const char* name,
                      std::string* out) {
  const char* url = fe.Attribute("url");
  std::string fullUrl = (infoVersion_ > 1 && !engine::isAbsoluteUrl(url)) ? fileBase_ + url : url;
  size_t blanks = std::count(fullUrl.begin(), fullUrl.end(), ' ');
  if (blanks > 0) {
    size_t room = fullUrl.size() + 2 * blanks + 1;
    TrackedBlock buf(zmalloc(static_cast<uint32_t>(room), UPD_SRC, __LINE__), UPD_SRC);
    if (!buf.get()) return setError("Out of memory for the URL of \"%s\"", name);
    strlcpy(buf.chars(), fullUrl.c_str(), room);
    str_replace(buf.chars(), room, " ", "%20");
    fullUrl = buf.chars();
  }
  const char* urlFile = file_part(fullUrl.c_str());
  if (!*urlFile || strcmp(urlFile, ".") == 0 || strcmp(urlFile, "..") == 0) {
    return setError("Unusable download URL \"%s\" in <%s> entry %d of <files>: it names no file",
                    fullUrl.c_str(), fe.Value(), index);
  }
  out->swap(fullUrl);
  return true;
}

// The groups named in the comma-separated "group" attribute that exist, in order; records
// naming the same groups share one list.
RecordList<UpdateGroup*> Updater::readFileGroups(const engine::ElementView& fe) {
  const char* list = attrOr(fe, "group", "");
  std::vector<UpdateGroup*> groups;
  std::string one;
  while (*list) {
    const char* comma = strchr(list, ',');
    size_t len = comma ? static_cast<size_t>(comma - list) : strlen(list);
    if (len > 0) {
      one.assign(list, len);
      UpdateGroup* g = findGroup(one.c_str());
      if (g) groups.push_back(g);
    }
    if (!comma) break;
    list = comma + 1;
  }
  if (groups.empty()) return RecordList<UpdateGroup*>();
  auto known = groupListIndex_.find(groups);
  if (known != groupListIndex_.end()) return RecordList<UpdateGroup*>(known->second);
  groupLists_.push_back(groups);
  groupListIndex_.emplace(std::move(groups), &groupLists_.back());
  return RecordList<UpdateGroup*>(&groupLists_.back());
}

// An answer of the file check: needsUpdate unless the installed copy is a regular file with the
// listed checksum (a differing copy keeps its digest in installedChecksum, for patches); for a
// current copy whose permission bits differ from "modes", modesDiffer.
void Updater::onFileChecked(void* item, bool current, const char* digestHex, const struct stat& st,
                            void* user) {
  UpdateFile* f = static_cast<UpdateFile*>(item);
  f->needsUpdate = !current;
  f->installedChecksum.clear();
  if (!current && digestHex)
    f->installedChecksum.set(digestHex, &static_cast<Updater*>(user)->texts_);
  if (!current || f->modes == 0) return;
  f->installedModes = static_cast<uint32_t>(st.st_mode & 07777);
  f->modesDiffer = f->installedModes != (f->modes & kModesMask);
}

// Waits for the files still being hashed, then counts what is pending.
void Updater::finishChecks() {
  if (fileCheck_) {
    fileCheck_->finish();
    hashedCount_ = static_cast<int32_t>(fileCheck_->hashedCount());
  }
  recountPending();
}

void Updater::appendFile(UpdateFile* f) {
  f->prev = filesTail_;
  if (filesTail_) {
    filesTail_->next = f;
  } else {
    filesHead_ = f;
  }
  filesTail_ = f;
}

bool Updater::parseDeletes(TiXmlElement* del) {
  int index = 0;
  for (TiXmlElement* de = del ? del->FirstChildElement() : nullptr; de;
       de = de->NextSiblingElement()) {
    index++;
    const char* name = de->Attribute("file");
    if (!name) {
      return setError("Missing attribute \"file\" in <%s> entry %d of <delete>", de->Value(),
                      index);
    }
    if (!isSafeRelativePath(name)) {
      return setError(
          "Unsafe file name \"%s\" in <%s> entry %d of <delete>: it must be a relative path "
          "inside the base directory",
          name, de->Value(), index);
    }
    if (installedEntryExists(name)) outdated_.push_back(name);
  }
  return true;
}

// Bottom-up merge sort of the group list. Ties (equal priority and display names equal without
// regard to case, one a prefix of the other, or an empty one) take the right-hand group first.
void Updater::sortGroups() {
  auto before = [](const UpdateGroup* l, const UpdateGroup* r) {
    if (l->priority != r->priority) return l->priority > r->priority;
    size_t n = std::min(l->dispName.size(), r->dispName.size());
    for (size_t k = 0; k < n; k++) {
      int a = tolower(static_cast<unsigned char>(l->dispName[k]));
      int b = tolower(static_cast<unsigned char>(r->dispName[k]));
      if (a != b) return a < b;
    }
    return false;
  };
  UpdateGroup* list = groupsHead_;
  size_t k = 1;
  for (;;) {
    UpdateGroup* p = list;
    UpdateGroup* tail = nullptr;
    list = nullptr;
    int merges = 0;
    while (p) {
      merges++;
      UpdateGroup* q = p;
      size_t psize = 0;
      for (size_t n = 0; n < k && q; n++) {
        psize++;
        q = q->next;
      }
      size_t qsize = k;
      while (psize > 0 || (qsize > 0 && q)) {
        UpdateGroup* e;
        if (psize == 0) {
          e = q;
          q = q->next;
          qsize--;
        } else if (qsize == 0 || !q || before(p, q)) {
          e = p;
          p = p->next;
          psize--;
        } else {
          e = q;
          q = q->next;
          qsize--;
        }
        if (tail) {
          tail->next = e;
        } else {
          list = e;
        }
        e->prev = tail;
        tail = e;
      }
      p = q;
    }
    tail->next = nullptr;
    if (merges <= 1) {
      groupsHead_ = list;
      groupsTail_ = tail;
      return;
    }
    k *= 2;
  }
}
