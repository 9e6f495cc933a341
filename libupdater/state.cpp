// What the engine keeps between runs and reads from outside: the channel document (fetched or
// loaded from a file) and the group states in the INI file.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>

#include "download_nocurl.h"
#include "engine_internal.h"
#include "ini-reader.h"
#include "libupdater.h"
#include "memleak.h"

#define UPD_SRC "libupdater/state"

using engine::FilePtr;

namespace {

// The whole stream from its current position to the end as text, through a tracked block.
// True on success; false when the size is 0, 4 GiB or more, or the read fails.
bool readWhole(FILE* fp, off_t size, std::string* text) {
  if (size <= 0 || size >= static_cast<off_t>(UINT32_MAX)) return false;
  TrackedBlock buf(zmalloc(static_cast<uint32_t>(size) + 1, UPD_SRC, __LINE__), UPD_SRC);
  if (!buf.get() || fread(buf.get(), 1, static_cast<size_t>(size), fp) != static_cast<size_t>(size))
    return false;
  buf.chars()[size] = '\0';
  *text = buf.chars();
  return true;
}

// The temporary document file, closed and removed on every way out.
struct TempDocument {
  FILE* fp;
  ~TempDocument() {
    if (fp) {
      fclose(fp);
      remove(engine::kInfoFile);
    }
  }
};

}  // namespace

bool Updater::fetchInfo() {
  AutoMutex hold(lock_);
  if (ChecksDocuments(trust_)) return fetchCheckedInfo();
  DownloadProgressCallback progress = callbacks_ ? callbacks_->infoProgress : nullptr;
  TransportUrl url;
  TransferError error;
  if (!TransportUrl::Parse(channelUrl_, &url, &error) || url.scheme == "ftp") {
    return setError("ODL reports %s", DownloadErrorText(ODL_ERROR_INVALID_URL));
  }

  TempDocument temp{fopen(engine::kInfoFile, "w+b")};
  if (!temp.fp) return setError("Error opening updater-info.xml");
  StreamSink sink(temp.fp, "updater-info.xml");
  if (!fetchUrl(channelUrl_, &sink, trust_.maxInfoSize, false, progress, nullptr, &error)) {
    if (error.failure == TransferFailure::kTooLarge) {
      return setError("%s", DocumentTooLarge(channelUrl_, trust_.maxInfoSize).c_str());
    }
    statusf("%s", error.text.c_str());
    if (error.failure == TransferFailure::kWrite) {
      return setError("Error writing updater-info.xml: %s", error.text.c_str());
    }
    return setError("ODL reports %s", engine::transferErrorText(error).c_str());
  }
  if (fflush(temp.fp) != 0) return setError("Error writing updater-info.xml: %s", strerror(errno));
  off_t size = ftello(temp.fp);
  if (size <= 0 || size >= static_cast<off_t>(UINT32_MAX)) {
    return setError("Error reading updater-info.xml!");
  }
  // The parse reads the document from the file in pieces; the file stays open after its name
  // is removed.
  closeInfoFile();
  infoFd_ = fcntl(fileno(temp.fp), F_DUPFD_CLOEXEC, 0);
  if (infoFd_ >= 0) {
    infoText_.clear();
    return true;
  }
  fseeko(temp.fp, 0, SEEK_SET);
  if (!readWhole(temp.fp, size, &infoText_)) return setError("Error reading updater-info.xml!");
  return true;
}

void Updater::closeInfoFile() {
  if (infoFd_ >= 0) close(infoFd_);
  infoFd_ = -1;
}

bool Updater::wholeInfoText(std::string* text) {
  if (infoFd_ < 0) {
    *text = infoText_;
    return true;
  }
  text->clear();
  char block[64 * 1024];
  for (;;) {
    ssize_t n = pread(infoFd_, block, sizeof(block), static_cast<off_t>(text->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    text->append(block, static_cast<size_t>(n));
  }
  // As the text held: it ends at a NUL byte.
  text->resize(strnlen(text->data(), text->size()));
  return true;
}

bool Updater::loadInfoFile(const char* path) {
  AutoMutex hold(lock_);
  FilePtr fp(fopen(path, "rb"));
  if (!fp) return setError("Error opening %s!", path);
  off_t size = -1;
  if (fseeko(fp.get(), 0, SEEK_END) == 0) size = ftello(fp.get());
  fseeko(fp.get(), 0, SEEK_SET);
  std::string text;
  if (!readWhole(fp.get(), size, &text)) return setError("Error reading %s!", path);
  closeInfoFile();
  infoText_.swap(text);
  return true;
}

void Updater::saveInfoText(const char* path) {
  AutoMutex hold(lock_);
  FilePtr fp(fopen(path, "wb"));
  if (!fp) return;
  std::string text;
  if (wholeInfoText(&text)) fwrite(text.data(), 1, text.size(), fp.get());
}

bool Updater::saveGroupStates() {
  AutoMutex hold(lock_);
  if (iniFile_.empty()) return true;
  int unwritten = 0;
  for (UpdateGroup* g = groupsHead_; g; g = g->next) {
    char value[16];
    snprintf(value, sizeof(value), "%d", g->state);
    if (Write_INI_String(iniFile_.c_str(), "groups", g->name.c_str(), value) == 0) continue;
    const int err = errno;
    if (err == ELOOP) {
      return setError(
          "Refusing to write the group states to %s: it is a symbolic link; remove it "
          "and run again",
          iniFile_.c_str());
    }
    if (err == EPERM) {
      return setError(
          "Refusing to write the group states to %s: it belongs to another user; "
          "remove it or run as its owner",
          iniFile_.c_str());
    }
    // Any other failure (an empty or unreadable file among them) leaves the file as it was and
    // costs only the remembered choices, as it always has: the update itself goes on.
    unwritten = err ? err : EIO;
  }
  if (unwritten != 0) {
    debugf("Group states not written to %s (%s)", iniFile_.c_str(), strerror(unwritten));
  }
  return true;
}

int32_t Updater::storedGroupState(const std::string& name, int32_t fallback) {
  if (iniFile_.empty()) return fallback;
  int64_t stored = Get_INI_Int(iniFile_.c_str(), "groups", name.c_str(), fallback);
  return (stored >= 0 && stored <= 2) ? static_cast<int32_t>(stored) : 0;
}
