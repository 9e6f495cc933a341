#include "libupdater.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <tinyxml.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <memory>

#include "GenLib.h"
#include "download_nocurl.h"
#include "hash.h"
#include "ini-reader.h"
#include "memleak.h"
#include "rc4.h"

#define UPD_SRC "libupdater/libupdater"

namespace {

// Temporary document file of fetchInfo, in the working directory.
const char kInfoFile[] = "updater-info.xml";
// Block size of the streaming unpacker (input and output each).
const size_t kUnpackBlock = 256 * 1024;
// Suffix of the unpacked file while it is being written and verified.
const char kUnpackSuffix[] = ".unpacked";

// Closes a stdio stream when the scope ends.
struct FileCloser {
  void operator()(FILE* fp) const {
    if (fp) fclose(fp);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Releases a tracked block when the scope ends.
struct TrackedBlock {
  explicit TrackedBlock(void* p) : ptr(p) {}
  ~TrackedBlock() {
    if (ptr) zfree(ptr, UPD_SRC, __LINE__);
  }
  TrackedBlock(const TrackedBlock&) = delete;
  TrackedBlock& operator=(const TrackedBlock&) = delete;
  void* ptr;
};

// Formats into a standard string, which has no length limit and needs no tracked block.
std::string vformat(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = vsnprintf(small, sizeof(small), fmt, copy);
  va_end(copy);
  if (n < 0) return "vasprintf error";
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
  std::string s(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&s[0], s.size(), fmt, args);
  s.resize(static_cast<size_t>(n));
  return s;
}

bool pathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

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

}  // namespace

Updater::Updater() : lock_(DEFAULT_LOCK_TIMEOUT) {}

Updater::~Updater() {
  AutoMutex hold(lock_);
  reset();
}

bool Updater::setup(const char* channelUrl, const char* baseDir, const char* programName,
                    const char* iniFile, UpdaterCallbacks* callbacks) {
  AutoMutex hold(lock_);
  reset();
  channelUrl_ = channelUrl ? channelUrl : "";
  baseDir_ = baseDir ? baseDir : "";
  programName_ = programName ? programName : "";
  iniFile_ = iniFile ? iniFile : "";
  callbacks_ = callbacks;
  return true;
}

void Updater::reset() {
  AutoMutex hold(lock_);
  while (filesHead_) {
    UpdateFile* next = filesHead_->next;
    delete filesHead_;
    filesHead_ = next;
  }
  filesTail_ = nullptr;
  while (groupsHead_) {
    UpdateGroup* next = groupsHead_->next;
    delete groupsHead_;
    groupsHead_ = next;
  }
  groupsTail_ = nullptr;
  outdated_.clear();
  fileCount_ = 0;
  pendingCount_ = 0;
  infoVersion_ = 0;
  defaultGroup_ = nullptr;
  callbacks_ = nullptr;
  channelUrl_.clear();
  baseDir_.clear();
  iniFile_.clear();
  appName_.clear();
  author_.clear();
  homeUrl_.clear();
  remove(kInfoFile);
}

const char* Updater::lastError() {
  AutoMutex hold(lock_);
  return lastError_.c_str();
}

bool Updater::setError(const char* fmt, ...) {
  AutoMutex hold(lock_);
  va_list args;
  va_start(args, fmt);
  lastError_ = vformat(fmt, args);
  va_end(args);
  return false;
}

void Updater::message(bool (*slot)(const char*), const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char* text = zvmprintf(fmt, copy);
  va_end(copy);
  if (text) {
    slot(text);
    zfree(text, UPD_SRC, __LINE__);
  } else {
    // No tracked memory left: the line still gets through.
    slot(vformat(fmt, args).c_str());
  }
}

void Updater::debugf(const char* fmt, ...) {
  AutoMutex hold(lock_);
  if (!callbacks_ || !callbacks_->debugMessage) return;
  va_list args;
  va_start(args, fmt);
  message(callbacks_->debugMessage, fmt, args);
  va_end(args);
}

void Updater::statusf(const char* fmt, ...) {
  AutoMutex hold(lock_);
  if (!callbacks_ || !callbacks_->statusMessage) return;
  va_list args;
  va_start(args, fmt);
  message(callbacks_->statusMessage, fmt, args);
  va_end(args);
}

// ---- Fetching the document and the group states ----

bool Updater::fetchInfo() {
  AutoMutex hold(lock_);
  if (ChecksDocuments(trust_)) return fetchCheckedInfo();
  DownloadProgressCallback progress = callbacks_ ? callbacks_->infoProgress : nullptr;
  std::unique_ptr<OrvexDownloadNoCurl> client(
      new OrvexDownloadNoCurl(channelUrl_.c_str(), progress, nullptr, nullptr, nullptr));
  if (client->GetError() != 0) return setError("ODL reports %s", client->GetErrorString());

  // The temporary document is closed and removed on every way out.
  struct TempDocument {
    FILE* fp;
    ~TempDocument() {
      if (fp) {
        fclose(fp);
        remove(kInfoFile);
      }
    }
  } temp{fopen(kInfoFile, "w+b")};
  FILE* fp = temp.fp;
  if (!fp) return setError("Error opening updater-info.xml");
  bool over = false;
  if (!DownloadBounded(client.get(), fp, trust_.maxInfoSize, &over)) {
    if (over) return setError("%s", DocumentTooLarge(channelUrl_, trust_.maxInfoSize).c_str());
    return setError("ODL reports %s", client->GetErrorString());
  }
  off_t size = ftello(fp);
  fseeko(fp, 0, SEEK_SET);
  bool ok = false;
  if (size > 0 && size < static_cast<off_t>(UINT32_MAX)) {
    TrackedBlock buf(zmalloc(static_cast<uint32_t>(size) + 1, UPD_SRC, __LINE__));
    if (buf.ptr && fread(buf.ptr, 1, static_cast<size_t>(size), fp) == static_cast<size_t>(size)) {
      static_cast<char*>(buf.ptr)[size] = '\0';
      infoText_ = static_cast<char*>(buf.ptr);
      ok = true;
    }
  }
  if (!ok) return setError("Error reading updater-info.xml!");
  return true;
}

bool Updater::loadInfoFile(const char* path) {
  AutoMutex hold(lock_);
  FilePtr fp(fopen(path, "rb"));
  if (!fp) return setError("Error opening %s!", path);
  off_t size = -1;
  if (fseeko(fp.get(), 0, SEEK_END) == 0) size = ftello(fp.get());
  fseeko(fp.get(), 0, SEEK_SET);
  if (size <= 0 || size >= static_cast<off_t>(UINT32_MAX))
    return setError("Error reading %s!", path);
  TrackedBlock buf(zmalloc(static_cast<uint32_t>(size) + 1, UPD_SRC, __LINE__));
  if (!buf.ptr ||
      fread(buf.ptr, 1, static_cast<size_t>(size), fp.get()) != static_cast<size_t>(size))
    return setError("Error reading %s!", path);
  static_cast<char*>(buf.ptr)[size] = '\0';
  infoText_ = static_cast<char*>(buf.ptr);
  return true;
}

void Updater::saveInfoText(const char* path) {
  AutoMutex hold(lock_);
  FilePtr fp(fopen(path, "wb"));
  if (!fp) return;
  fwrite(infoText_.data(), 1, infoText_.size(), fp.get());
}

bool Updater::saveGroupStates() {
  AutoMutex hold(lock_);
  if (iniFile_.empty()) return true;
  for (UpdateGroup* g = groupsHead_; g; g = g->next) {
    char value[16];
    snprintf(value, sizeof(value), "%d", g->state);
    Write_INI_String(iniFile_.c_str(), "groups", g->name.c_str(), value);
  }
  return true;
}

// ---- Parsing ----

// Zero bytes after the document text while TinyXML parses it (see parseInfo).
const size_t kParsePadding = 16;

bool Updater::parseInfo() {
  AutoMutex hold(lock_);
  std::unique_ptr<TiXmlDocument> doc(new TiXmlDocument());
  // TinyXML steps over a multi-byte character by its lead byte alone, so a damaged sequence at
  // the end of the text makes it read a few bytes past the terminator. It parses a copy padded
  // with zero bytes, where such steps land on zeros and stop.
  std::string padded;
  padded.reserve(infoText_.size() + kParsePadding);
  padded.assign(infoText_).append(kParsePadding, '\0');
  doc->Parse(padded.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (doc->Error()) {
    return setError("Error parsing updater-info.xml (%s at row %d, col %d)", doc->ErrorDesc(),
                    doc->ErrorRow(), doc->ErrorCol());
  }
  TiXmlElement* root = doc->FirstChildElement("update_info");
  if (!root) return setError("Unable to find update_info element!");
  if (!checkGuards(root)) return false;
  infoVersion_ = static_cast<int32_t>(strtol(attrOr(root, "version", "0"), nullptr, 10));
  debugf("Info version: %d", infoVersion_);

  TiXmlElement* info = root->FirstChildElement("info");
  if (!info) return setError("Unable to find info element!");
  appName_ = attrOr(info, "AppName", "");
  author_ = attrOr(info, "Author", "");
  homeUrl_ = attrOr(info, "URL", "");

  const bool current = infoVersion_ > 1;
  if (current) {
    fileBase_ = attrOr(info, "FileBase", "");
    TiXmlElement* groups = root->FirstChildElement("groups");
    int index = 0;
    for (TiXmlElement* ge = groups ? groups->FirstChildElement("group") : nullptr; ge;
         ge = ge->NextSiblingElement("group")) {
      index++;
      const char* name = ge->Attribute("name");
      if (!name) {
        return setError("Missing attribute \"name\" in <group> entry %d of <groups>", index);
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
      if (!iniFile_.empty()) {
        int64_t stored = Get_INI_Int(iniFile_.c_str(), "groups", g->name.c_str(), g->state);
        g->state = (stored >= 0 && stored <= 2) ? static_cast<int32_t>(stored) : 0;
      }
      g->prev = groupsTail_;
      if (groupsTail_) {
        groupsTail_->next = g;
      } else {
        groupsHead_ = g;
      }
      groupsTail_ = g;
      if (g->isDefault) defaultGroup_ = g;
    }
    if (groupsHead_ && groupsHead_->next) sortGroups();
  }

  TiXmlElement* files = root->FirstChildElement("files");
  if (!files) return setError("Unable to find files element!");
  debugf("Building file list...");

  const char* digestName = current ? "sha256" : "md5";
  const char* sumAttr = current ? "sha" : "md5";
  const char* packAttr = current ? "packsha" : "packmd5";
  std::string localPath;
  int index = 0;
  for (TiXmlElement* fe = files->FirstChildElement(); fe; fe = fe->NextSiblingElement()) {
    index++;
    const char* tag = fe->Value();
    const char* name = fe->Attribute("file");
    if (!name) {
      return setError("Missing attribute \"file\" in <%s> entry %d of <files>", tag, index);
    }
    if (!isSafeRelativePath(name)) {
      return setError(
          "Unsafe file name \"%s\" in <%s> entry %d of <files>: it must be a relative path "
          "inside the base directory",
          name, tag, index);
    }
    const char* url = fe->Attribute("url");
    if (!url) return setError("Missing attribute \"url\" in <%s> entry %d of <files>", tag, index);
    const char* sum = fe->Attribute(sumAttr);
    if (!sum) {
      return setError("Missing attribute \"%s\" in <%s> entry %d of <files>", sumAttr, tag, index);
    }

    std::unique_ptr<UpdateFile> f(new UpdateFile);
    f->name = name;
    f->size = strtoll(attrOr(fe, "size", "0"), nullptr, 10);
    f->modes = static_cast<uint32_t>(strtoul(attrOr(fe, "modes", "0"), nullptr, 10));
    f->packSize = strtoll(attrOr(fe, "packsize", "0"), nullptr, 10);

    std::string fullUrl;
    if (current && !startsWithNoCase(url, "http://") && !startsWithNoCase(url, "https://") &&
        !startsWithNoCase(url, "ftp://")) {
      fullUrl = fileBase_ + url;
    } else {
      fullUrl = url;
    }
    if (current) {
      const char* list = attrOr(fe, "group", "");
      while (*list) {
        const char* comma = strchr(list, ',');
        size_t len = comma ? static_cast<size_t>(comma - list) : strlen(list);
        if (len > 0) {
          std::string item(list, len);
          UpdateGroup* g = findGroup(item.c_str());
          if (g) f->groups.push_back(g);
        }
        if (!comma) break;
        list = comma + 1;
      }
    }
    // Every blank becomes "%20"; the buffer has room for all of them.
    size_t blanks = 0;
    for (char c : fullUrl) blanks += (c == ' ');
    if (blanks > 0) {
      size_t room = fullUrl.size() + 2 * blanks + 1;
      TrackedBlock buf(zmalloc(static_cast<uint32_t>(room), UPD_SRC, __LINE__));
      if (!buf.ptr) return setError("Out of memory for the URL of \"%s\"", name);
      strlcpy(static_cast<char*>(buf.ptr), fullUrl.c_str(), room);
      str_replace(static_cast<char*>(buf.ptr), room, " ", "%20");
      fullUrl = static_cast<char*>(buf.ptr);
    }
    const char* urlFile = file_part(fullUrl.c_str());
    if (!*urlFile || strcmp(urlFile, ".") == 0 || strcmp(urlFile, "..") == 0) {
      return setError("Unusable download URL \"%s\" in <%s> entry %d of <files>: it names no file",
                      fullUrl.c_str(), tag, index);
    }
    f->url = fullUrl;
    strlcpy(f->key, attrOr(fe, "key", ""), sizeof(f->key));
    strlcpy(f->checksum, sum, sizeof(f->checksum));
    strlcpy(f->packChecksum, attrOr(fe, packAttr, ""), sizeof(f->packChecksum));

    localPath.assign(baseDir_).append(f->name);
    char digest[65] = "";
    bool hashed = hash_file(digestName, localPath.c_str(), digest, sizeof(digest));
    // A file that could be hashed exists; anything else (missing, unreadable) needs an update.
    f->needsUpdate = !(hashed && strcasecmp(digest, f->checksum) == 0);

    if (isToInstall(f.get()) || isToRemove(f.get())) pendingCount_++;
    fileCount_++;
    UpdateFile* rec = f.release();
    rec->prev = filesTail_;
    if (filesTail_) {
      filesTail_->next = rec;
    } else {
      filesHead_ = rec;
    }
    filesTail_ = rec;
  }

  TiXmlElement* del = root->FirstChildElement("delete");
  index = 0;
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
    if (pathExists(baseDir_ + name)) outdated_.push_back(name);
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

// ---- Selection and plan ----

bool Updater::isToInstall(const UpdateFile* f) const {
  if (!f->needsUpdate) return false;
  if (f->groups.empty()) return true;
  for (const UpdateGroup* g : f->groups) {
    if (g->state == UPDATE_GROUP_INSTALL) return true;
  }
  return false;
}

bool Updater::isToRemove(const UpdateFile* f) const {
  if (f->groups.empty()) return false;
  for (const UpdateGroup* g : f->groups) {
    if (g->state != UPDATE_GROUP_REMOVE) return false;
  }
  return pathExists(baseDir_ + f->name);
}

void Updater::recountPending() {
  pendingCount_ = 0;
  for (UpdateFile* f = filesHead_; f; f = f->next) {
    if (isToInstall(f) || isToRemove(f)) pendingCount_++;
  }
}

UpdateGroup* Updater::firstGroup() {
  AutoMutex hold(lock_);
  return groupsHead_;
}

UpdateFile* Updater::firstFile() {
  AutoMutex hold(lock_);
  return filesHead_;
}

UpdateGroup* Updater::findGroup(const char* name) {
  AutoMutex hold(lock_);
  if (!name) return nullptr;
  for (UpdateGroup* g = groupsHead_; g; g = g->next) {
    if (strcasecmp(g->name.c_str(), name) == 0) return g;
  }
  return nullptr;
}

void Updater::setGroupState(UpdateGroup* group, int32_t state) {
  AutoMutex hold(lock_);
  if (group) group->state = state;
  recountPending();
}

bool Updater::needsUpdate() {
  AutoMutex hold(lock_);
  return pendingCount_ > 0 || !outdated_.empty();
}

int32_t Updater::infoVersion() {
  AutoMutex hold(lock_);
  return infoVersion_;
}

int32_t Updater::fileCount() {
  AutoMutex hold(lock_);
  return fileCount_;
}

int32_t Updater::pendingCount() {
  AutoMutex hold(lock_);
  return pendingCount_;
}

std::vector<std::string> Updater::outdatedFiles() {
  AutoMutex hold(lock_);
  return outdated_;
}

UpdateGroup* Updater::defaultGroup() {
  AutoMutex hold(lock_);
  return defaultGroup_;
}

std::string Updater::appName() {
  AutoMutex hold(lock_);
  return appName_;
}

std::string Updater::author() {
  AutoMutex hold(lock_);
  return author_;
}

std::string Updater::homeUrl() {
  AutoMutex hold(lock_);
  return homeUrl_;
}

std::string Updater::fileBase() {
  AutoMutex hold(lock_);
  return fileBase_;
}

std::string Updater::infoText() {
  AutoMutex hold(lock_);
  return infoText_;
}

// ---- Performing the update ----

void Updater::makeDirectories(const char* path) {
  AutoMutex hold(lock_);
  if (!path) return;
  struct stat whole;
  if (stat(path, &whole) == 0 && S_ISDIR(whole.st_mode)) return;
  std::string prefix;
  if (path[0] == '/') prefix = "/";
  const char* p = path;
  while (*p) {
    while (*p == '/') p++;
    if (!*p) break;
    const char* end = strchr(p, '/');
    size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    prefix.append(p, len);
    struct stat st;
    if (stat(prefix.c_str(), &st) != 0) mkdir(prefix.c_str(), 0755);
    p += len;
  }
}

bool Updater::unpackTo(const char* source, const char* destination, const char* shownDestination,
                       const char* key, int64_t size, void* inBlock, void* outBlock,
                       HashContext* digest) {
  FilePtr in(fopen(source, "rb"));
  if (!in) return setError("Error opening %s for read!", source);
  off_t length = -1;
  if (fseeko(in.get(), 0, SEEK_END) == 0) length = ftello(in.get());
  if (length <= 0 || fseeko(in.get(), 0, SEEK_SET) != 0) {
    return setError("Error reading file data! (%s)",
                    length == 0 ? "empty file" : strerror(errno ? errno : EIO));
  }
  FilePtr out(fopen(destination, "wb"));
  if (!out) return setError("Error opening %s for write!", shownDestination);

  Rc4State rc4;
  const bool encrypted = key && key[0] != '\0';
  if (encrypted) {
    // The key is always 16 bytes; a shorter text is padded with NUL bytes.
    uint8_t k16[16] = {};
    memcpy(k16, key, strnlen(key, sizeof(k16)));
    rc4_init(&rc4, k16, sizeof(k16));
  }

  z_stream zs;
  memset(&zs, 0, sizeof(zs));
  if (inflateInit(&zs) != Z_OK) return setError("Error uncompressing data (%d)", Z_MEM_ERROR);
  struct InflateEnd {
    z_stream* z;
    ~InflateEnd() { inflateEnd(z); }
  } endInflate{&zs};

  uint8_t* inBuf = static_cast<uint8_t*>(inBlock);
  uint8_t* outBuf = static_cast<uint8_t*>(outBlock);
  const uint64_t limit = size > 0 ? static_cast<uint64_t>(size) : 0;
  uint64_t produced = 0;
  uint64_t remaining = static_cast<uint64_t>(length);
  bool ended = false;
  while (!ended && remaining > 0) {
    size_t want = remaining < kUnpackBlock ? static_cast<size_t>(remaining) : kUnpackBlock;
    errno = 0;
    size_t got = fread(inBuf, 1, want, in.get());
    if (got != want) {
      return setError("Error reading file data! (%s)", errno ? strerror(errno) : "short read");
    }
    remaining -= got;
    if (encrypted) rc4_crypt(&rc4, inBuf, got);
    zs.next_in = inBuf;
    zs.avail_in = static_cast<uInt>(got);
    do {
      zs.next_out = outBuf;
      zs.avail_out = static_cast<uInt>(kUnpackBlock);
      int ret = inflate(&zs, Z_NO_FLUSH);
      if (ret == Z_NEED_DICT) ret = Z_DATA_ERROR;
      if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) {
        return setError("Error uncompressing data (%d)", ret);
      }
      size_t n = kUnpackBlock - zs.avail_out;
      if (produced + n > limit) return setError("Error uncompressing data (%d)", Z_BUF_ERROR);
      produced += n;
      if (n > 0 && fwrite(outBuf, 1, n, out.get()) != n) {
        return setError("Error writing file data! (%s)", strerror(errno ? errno : EIO));
      }
      if (n > 0 && digest) hash_update(digest, outBuf, n);
      if (ret == Z_STREAM_END) {
        ended = true;
        break;
      }
      if (ret == Z_BUF_ERROR) break;  // no progress possible until more input arrives
    } while (zs.avail_in > 0 || zs.avail_out == 0);
  }
  if (!ended) {
    // The data stopped before the end of the stream: with room left for output the data is
    // damaged, with the output already at its limit it is too long for it.
    return setError("Error uncompressing data (%d)",
                    produced >= limit ? Z_BUF_ERROR : Z_DATA_ERROR);
  }
  FILE* raw = out.release();
  if (fclose(raw) != 0) {
    return setError("Error writing file data! (%s)", strerror(errno ? errno : EIO));
  }
  return true;
}

bool Updater::unpackFile(const char* source, const char* destination, const char* key,
                         int64_t size) {
  AutoMutex hold(lock_);
  TrackedBlock inBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__));
  TrackedBlock outBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__));
  if (!inBlock.ptr || !outBlock.ptr) return setError("Error uncompressing data (%d)", Z_MEM_ERROR);
  // Written beside the destination and renamed over it only when complete, so the source may
  // be the destination itself and a failure leaves the destination as it was.
  std::string temp = std::string(destination) + kUnpackSuffix;
  if (!unpackTo(source, temp.c_str(), destination, key, size, inBlock.ptr, outBlock.ptr, nullptr)) {
    remove(temp.c_str());
    return false;
  }
  if (rename(temp.c_str(), destination) != 0) {
    int err = errno;
    remove(temp.c_str());
    return setError("Error renaming %s to %s (%s)", temp.c_str(), destination, strerror(err));
  }
  return true;
}

bool Updater::installFile(UpdateFile* f, const char* digestName, bool keepPack, void* inBlock,
                          void* outBlock) {
  const std::string& source = f->downloadPath;
  std::string dest = baseDir_ + f->name;
  const bool self = strcasecmp(f->name.c_str(), programName_.c_str()) == 0;
  if (self) {
    dest += ".upd";
    statusf(
        "Note: the following file will install to %s.upd, Vantorex will automatically rename it "
        "to the proper thing next time it is run, or you can manually rename it if you wish",
        f->name.c_str());
  }
  size_t slash = dest.rfind('/');
  if (slash != std::string::npos && slash > 0) makeDirectories(dest.substr(0, slash).c_str());

  // The replacement is unpacked and verified beside the pack; the installed copy is replaced
  // in one rename only when it is known good. The pack stays until then, so a run that is cut
  // short finds it again. The digest is taken from the bytes as they are written.
  std::string unpacked = source + kUnpackSuffix;
  statusf("Unpacking %s ...", f->name.c_str());
  // The digest context is released on every way out.
  struct Digest {
    HashContext* ctx;
    uint8_t sum[EVP_MAX_MD_SIZE] = {};
    size_t size = 0;
    void finish() {
      if (!ctx) return;
      size = static_cast<size_t>(ctx->digest_size);
      hash_finish(ctx, sum, sizeof(sum));
      ctx = nullptr;
    }
    ~Digest() { finish(); }
  } digest{hash_init(digestName)};
  const bool haveDigest = digest.ctx != nullptr;
  if (!checkPack(f, digestName)) return false;
  bool unpackedOk = unpackTo(source.c_str(), unpacked.c_str(), unpacked.c_str(), f->key, f->size,
                             inBlock, outBlock, digest.ctx);
  digest.finish();
  char hex[2 * EVP_MAX_MD_SIZE + 1] = "";
  bin_to_hex(digest.sum, digest.size, hex);
  if (!unpackedOk) {
    remove(unpacked.c_str());
    remove(source.c_str());
    return setError("Error unpacking %s", source.c_str());
  }
  if (!haveDigest || strcasecmp(hex, f->checksum) != 0) {
    remove(unpacked.c_str());
    remove(source.c_str());
    return setError("Checksum does not match for file '%s'!", file_part(f->name.c_str()));
  }
  // Never setuid, setgid or sticky, never writable by others.
  if (f->modes != 0) chmod(unpacked.c_str(), f->modes & kModesMask);

  statusf("Installing %s ... ", f->name.c_str());
  if (rename(unpacked.c_str(), dest.c_str()) != 0) {
    int err = errno;
    if (self) {
      remove(unpacked.c_str());
      return setError("Error renaming %s to %s (%s)\n", unpacked.c_str(), dest.c_str(),
                      strerror(err));
    }
    // The installed copy cannot be replaced (something else stands in its place, or the
    // directory refuses it): install beside it.
    dest += ".upd";
    statusf(
        "Note: the following file will install to %s.upd. You can rename it after the "
        "program has closed.",
        f->name.c_str());
    remove(dest.c_str());
    if (rename(unpacked.c_str(), dest.c_str()) != 0) {
      err = errno;
      remove(unpacked.c_str());
      return setError("Error renaming %s to %s (%s)\n", unpacked.c_str(), dest.c_str(),
                      strerror(err));
    }
  }
  if (!keepPack) remove(source.c_str());
  return true;
}

bool Updater::performUpdate() {
  AutoMutex hold(lock_);
  if (!iniFile_.empty()) saveGroupStates();
  if (!recordSerial()) return false;
  const char* digestName = infoVersion_ <= 1 ? "md5" : "sha256";
  const std::string tmpDir = baseDir_ + "tmp/updater";

  std::map<std::string, std::string> packUrls;  // download path -> URL fetched into it
  std::map<std::string, int> packUsers;         // download path -> files still to install
  TrackedBlock writeBuffer(nullptr);
  bool first = true;
  for (UpdateFile* f = filesHead_; f; f = f->next) {
    if (!isToInstall(f)) continue;
    if (first) {
      statusf("*** Downloading Updated Files ***");
      statusf("%s", "");
      first = false;
    }
    makeDirectories(tmpDir.c_str());
    // Files whose URLs end alike would share a download path: the same URL shares its pack,
    // another URL gets a path of its own. A name ending like an unpacked copy is not used
    // either, or unpacking another pack beside it would overwrite it.
    const std::string base = tmpDir + "/" + file_part(f->url.c_str());
    auto taken = [&](const std::string& path) {
      if (path.size() >= sizeof(kUnpackSuffix) - 1 &&
          path.compare(path.size() - (sizeof(kUnpackSuffix) - 1), std::string::npos,
                       kUnpackSuffix) == 0) {
        return true;
      }
      auto it = packUrls.find(path);
      return it != packUrls.end() && it->second != f->url;
    };
    f->downloadPath = base;
    for (int n = 2; taken(f->downloadPath); n++) f->downloadPath = base + "~" + std::to_string(n);
    auto used = packUrls.find(f->downloadPath);
    packUsers[f->downloadPath]++;
    if (used != packUrls.end()) {
      statusf("Already have %s, skipping download...", f->name.c_str());
      continue;
    }
    packUrls[f->downloadPath] = f->url;
    char have[65] = "";
    hash_file(digestName, f->downloadPath.c_str(), have, sizeof(have));
    if (f->packChecksum[0] && strcasecmp(f->packChecksum, have) == 0) {
      statusf("Already have %s, skipping download...", f->name.c_str());
      continue;
    }
    TrackedBlock label(zstrdup(file_part(f->name.c_str()), UPD_SRC, __LINE__));
    void* user = label.ptr ? label.ptr : const_cast<char*>(file_part(f->name.c_str()));
    std::unique_ptr<OrvexDownloadNoCurl> client(new OrvexDownloadNoCurl(
        f->url.c_str(), callbacks_ ? callbacks_->fileProgress : nullptr, nullptr, nullptr, user));
    if (client->GetError() != 0) {
      return setError("ODL reports '%s' while downloading '%s'", client->GetErrorString(),
                      f->name.c_str());
    }
    FilePtr fp(fopen(f->downloadPath.c_str(), "wb"));
    if (!fp) return setError("Error opening %s", f->downloadPath.c_str());
    // Packs are written in large blocks rather than the stream's default small ones.
    if (!writeBuffer.ptr) writeBuffer.ptr = zmalloc(kUnpackBlock, UPD_SRC, __LINE__);
    if (writeBuffer.ptr) {
      setvbuf(fp.get(), static_cast<char*>(writeBuffer.ptr), _IOFBF, kUnpackBlock);
    }
    if (!client->DownloadToFP(fp.get())) {
      return setError("ODL reports '%s' while downloading '%s'", client->GetErrorString(),
                      f->name.c_str());
    }
  }

  first = true;
  TrackedBlock inBlock(nullptr), outBlock(nullptr);
  for (UpdateFile* f = filesHead_; f; f = f->next) {
    if (!isToInstall(f)) continue;
    if (first) {
      statusf("%s", "");
      statusf("*** Installing Updated Files ***");
      statusf("%s", "");
      first = false;
      inBlock.ptr = zmalloc(kUnpackBlock, UPD_SRC, __LINE__);
      outBlock.ptr = zmalloc(kUnpackBlock, UPD_SRC, __LINE__);
      if (!inBlock.ptr || !outBlock.ptr) return setError("Out of memory for unpacking");
    }
    bool keepPack = --packUsers[f->downloadPath] > 0;
    if (!installFile(f, digestName, keepPack, inBlock.ptr, outBlock.ptr)) return false;
  }

  first = true;
  for (UpdateFile* f = filesHead_; f; f = f->next) {
    if (!isToRemove(f)) continue;
    if (first) {
      statusf("%s", "");
      statusf("*** Deleting Marked Files ***");
      statusf("%s", "");
      first = false;
    }
    statusf("Deleting file: %s", f->name.c_str());
    if (remove((baseDir_ + f->name).c_str()) != 0)
      statusf("Error deleting file: %s", strerror(errno));
  }

  if (!outdated_.empty()) {
    statusf("%s", "");
    statusf("*** Deleting Outdated Files ***");
    statusf("%s", "");
    for (const std::string& name : outdated_) {
      bool ok = remove((baseDir_ + name).c_str()) == 0;
      statusf("Deleting %s: %s", name.c_str(), ok ? "OK" : "ERROR");
    }
  }
  return true;
}
