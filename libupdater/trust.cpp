#include "trust.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <tinyxml.h>
#include <unistd.h>

#include <memory>

#include "engine_internal.h"
#include "hash.h"
#include "ini-reader.h"
#include "libupdater.h"
#include "stream_handle.h"
#include "utc_time.h"

namespace {

const char kSignatureSuffix[] = ".minisig";

// Reads a key file whole. With noFollow the file itself must not be a symbolic link and must be a
// regular file: the release's own key file lives in the installation, where a planted link would
// otherwise hand trust to a file outside it.
bool ReadFileText(const std::string& path, bool noFollow, std::string* text, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
  if (fd < 0) {
    if (noFollow && errno == ELOOP) {
      *error = path + ": is a symbolic link, not a key file (replace it with the file itself)";
    } else {
      *error = path + ": " + strerror(errno);
    }
    return false;
  }
  struct stat st;
  if (noFollow && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    *error = path + ": not a regular file";
    return false;
  }
  FILE* f = fdopen(fd, "rb");
  if (!f) {
    *error = path + ": " + strerror(errno);
    close(fd);
    return false;
  }
  char buf[4096];
  size_t n;
  text->clear();
  // Key files are small; anything larger is not one.
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0 && text->size() < kMaxSignatureSize) {
    text->append(buf, n);
  }
  bool ok = !ferror(f);
  fclose(f);
  if (!ok) *error = path + ": read error";
  return ok;
}

bool AddKeys(const std::string& text, const std::string& source,
             std::vector<minisign::PublicKey>* keys, std::string* error) {
  std::string why;
  if (!minisign::ParsePublicKeys(text, keys, &why)) {
    *error = "Error reading trusted keys from " + source + ": " + why;
    return false;
  }
  return true;
}

// The reason a signature failed, as the error line gives it.
std::string Refusal(const std::string& url, const std::string& reason) {
  return url + ": refused: " + reason;
}

}  // namespace

bool ChecksDocuments(const TrustSettings& trust) {
  return !trust.keys.empty() || trust.requireSignature;
}

std::string PackTooLong(const std::string& name, const std::string& url, int64_t packSize) {
  return "The pack of '" + name + "' (" + url + ") is longer than its packsize of " +
         std::to_string(packSize) + " bytes; refused";
}

std::string DocumentTooLarge(const std::string& url, uint64_t limit) {
  return Refusal(
      url, "the document is larger than " + std::to_string(limit) + " bytes (--max-info-size)");
}

bool LoadTrustedKeys(const std::string& builtIn, const std::vector<std::string>& files,
                     const std::string& baseDir, std::vector<minisign::PublicKey>* keys,
                     std::string* error) {
  if (!builtIn.empty() && !AddKeys(builtIn, "the built-in keys", keys, error)) return false;
  std::vector<std::string> paths = files;
  std::string release = baseDir + kReleaseKeysFile;
  struct stat st;
  if (lstat(release.c_str(), &st) == 0) paths.push_back(release);
  for (const std::string& p : paths) {
    std::string text, why;
    if (!ReadFileText(p, p == release, &text, &why)) {
      *error = "Error reading trusted keys from " + why;
      return false;
    }
    if (!AddKeys(text, p, keys, error)) return false;
  }
  return true;
}

bool FetchVerifiedDocument(const TrustSettings& trust, const std::string& url,
                           DownloadProgressCallback progress, const DocumentFetcher& fetchDocument,
                           const TextFetcher& fetchText, const DocumentVerifier& verify,
                           std::string* error) {
  if (trust.keys.empty() && trust.requireSignature) {
    *error = Refusal(url, "a signature is required but no trusted key is known (--trusted-key)");
    return false;
  }
  const std::string sigUrl = url + kSignatureSuffix;
  std::string reason;
  for (int attempt = 0; attempt < 2; attempt++) {
    std::string why;
    FetchOutcome got = fetchDocument(url, trust.maxInfoSize, progress, &why);
    if (got == FetchOutcome::kTooLarge) {
      *error = DocumentTooLarge(url, trust.maxInfoSize);
      return false;
    }
    if (got != FetchOutcome::kOk) {
      *error = why;
      return false;
    }
    if (trust.keys.empty()) return true;
    std::string signature;
    got = fetchText(sigUrl, kMaxSignatureSize, nullptr, &signature, &why);
    if (got == FetchOutcome::kNotFound) {
      reason = "missing signature (" + sigUrl + " not found)";
    } else if (got != FetchOutcome::kOk) {
      reason = "cannot fetch the signature " + sigUrl + " (" + why + ")";
    } else {
      minisign::Verdict v = verify(signature, &why);
      if (v == minisign::Verdict::kValid) return true;
      reason = why;
    }
  }
  *error = Refusal(url, reason);
  return false;
}

std::string ChannelKey(const std::string& url) {
  size_t slash = url.rfind('/');
  return slash == std::string::npos ? url : url.substr(slash + 1);
}

uint64_t StoredSerial(const std::string& iniFile, const std::string& channel) {
  if (iniFile.empty()) return 0;
  char value[32];
  if (!Get_INI_String(iniFile.c_str(), kSerialSection, channel.c_str(), value, sizeof(value), "0"))
    return 0;
  return strtoull(value, nullptr, 10);
}

bool StoreSerial(const std::string& iniFile, const std::string& channel, uint64_t serial) {
  if (iniFile.empty() || serial == 0 || serial <= StoredSerial(iniFile, channel)) return true;
  return Write_INI_String(iniFile.c_str(), kSerialSection, channel.c_str(),
                          std::to_string(serial).c_str()) == 0;
}

bool CheckGuards(const char* serialAttr, const char* expiresAttr, uint64_t stored, int64_t now,
                 uint64_t* serial, std::string* error) {
  *serial = 0;
  if (serialAttr) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(serialAttr, &end, 10);
    if (!*serialAttr || *end || *serialAttr == '-' || errno != 0) {
      *error = std::string("unreadable serial \"") + serialAttr + "\"";
      return false;
    }
    *serial = v;
  }
  if (stored > 0 && !serialAttr) {
    *error = "the document has no serial, but serial " + std::to_string(stored) +
             " was accepted before (an old document?)";
    return false;
  }
  if (*serial < stored) {
    *error = "serial " + std::to_string(*serial) + " is lower than serial " +
             std::to_string(stored) + " accepted before (an old document?)";
    return false;
  }
  if (expiresAttr) {
    int64_t expires = 0;
    if (!ParseUtcTime(expiresAttr, &expires)) {
      *error = std::string("unreadable expiry \"") + expiresAttr + "\"";
      return false;
    }
    if (expires <= now) {
      *error = std::string("the document expired at ") + expiresAttr +
               " (the update server is not being kept up to date)";
      return false;
    }
  }
  return true;
}

// ---- The engine's side ----

namespace {

int64_t SystemNow() { return static_cast<int64_t>(time(nullptr)); }

}  // namespace

void Updater::setTrust(const TrustSettings& trust) {
  AutoMutex hold(lock_);
  trust_ = trust;
}

bool Updater::fetchCheckedInfo() {
  DownloadProgressCallback progress = callbacks_ ? callbacks_->infoProgress : nullptr;
  // Both the document and its signature come through the run's transport.
  auto fetchInto = [this](const std::string& url, TransferSink* sink, uint64_t limit,
                          DownloadProgressCallback onProgress, std::string* why) {
    TransferError failure;
    if (fetchUrl(url, sink, limit, false, onProgress, nullptr, &failure)) return FetchOutcome::kOk;
    if (failure.failure == TransferFailure::kTooLarge) {
      *why = "more than " + std::to_string(limit) + " bytes";
      return FetchOutcome::kTooLarge;
    }
    *why = "ODL reports " + engine::transferErrorText(failure);
    if (failure.failure == TransferFailure::kHttpStatus && failure.status == 404) {
      return FetchOutcome::kNotFound;
    }
    statusf("%s", failure.text.c_str());
    return FetchOutcome::kFailed;
  };
  auto fetchText = [&](const std::string& url, uint64_t limit, DownloadProgressCallback onProgress,
                       std::string* text, std::string* why) {
    StringSink sink;
    FetchOutcome got = fetchInto(url, &sink, limit, onProgress, why);
    text->swap(*sink.mutable_data());
    if (got != FetchOutcome::kOk) text->clear();
    return got;
  };
  // The document goes to a file without a name in the working directory, which no other
  // program can open or change between the check and the parse, so that a large one is never
  // held whole. Where the system makes no such file it is held in memory.
  engine::FilePtr file;
  int fd = open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) {
    file.reset(fdopen(fd, "w+b"));
    if (!file) close(fd);
  }
  std::string text;
  uint64_t size = 0;
  auto fetchDocument = [&](const std::string& url, uint64_t limit,
                           DownloadProgressCallback onProgress, std::string* why) {
    if (!file) {
      FetchOutcome got = fetchText(url, limit, onProgress, &text, why);
      size = text.size();
      return got;
    }
    StreamSink sink(file.get(), "the fetched document");
    if (fseeko(file.get(), 0, SEEK_SET) != 0 || !sink.Truncate(why)) return FetchOutcome::kFailed;
    FetchOutcome got = fetchInto(url, &sink, limit, onProgress, why);
    size = sink.Size();
    if (got == FetchOutcome::kOk && fflush(file.get()) != 0) {
      *why = std::string("Error writing updater-info.xml: ") + strerror(errno);
      return FetchOutcome::kFailed;
    }
    return got;
  };
  auto verify = [&](const std::string& signature, std::string* why) {
    std::string comment, keyId;
    if (!file) {
      return minisign::Verify(trust_.keys, text.data(), text.size(), signature, &comment, &keyId,
                              why);
    }
    return minisign::VerifyFile(trust_.keys, fileno(file.get()), signature, &comment, &keyId, why);
  };
  std::string error;
  if (!FetchVerifiedDocument(trust_, channelUrl_, progress, fetchDocument, fetchText, verify,
                             &error)) {
    return setError("%s", error.c_str());
  }
  if (size == 0 || size >= UINT32_MAX) return setError("Error reading updater-info.xml!");
  closeInfoFile();
  if (file) {
    // The parse reads the checked document from this file in pieces.
    infoFd_ = fcntl(fileno(file.get()), F_DUPFD_CLOEXEC, 0);
    if (infoFd_ < 0) return setError("Error reading updater-info.xml!");
    infoText_.clear();
    return true;
  }
  infoText_.swap(text);
  return true;
}

bool Updater::checkGuards(const TiXmlElement* root) {
  acceptedSerial_ = 0;
  if (trust_.keys.empty()) return true;
  const int64_t now = trust_.now ? trust_.now() : SystemNow();
  const uint64_t stored = StoredSerial(iniFile_, ChannelKey(channelUrl_));
  std::string why;
  if (!CheckGuards(root->Attribute("serial"), root->Attribute("expires"), stored, now,
                   &acceptedSerial_, &why)) {
    return setError("%s: refused: %s", channelUrl_.c_str(), why.c_str());
  }
  return true;
}

bool Updater::recordSerial() {
  AutoMutex hold(lock_);
  if (trust_.keys.empty() || acceptedSerial_ == 0) return true;
  if (!StoreSerial(iniFile_, ChannelKey(channelUrl_), acceptedSerial_)) {
    return setError("Error writing the accepted serial to %s", iniFile_.c_str());
  }
  return true;
}

bool Updater::checkPacks(const Plan& p) {
  if (!ChecksDocuments(trust_)) return true;
  for (const PlanInstall& item : p.installs) {
    const UpdateFile* f = item.file;
    // A copy built from a patch had the patch's digest checked instead, and its own.
    if (f->packChecksum.empty() || item.sharesPackOf >= 0 || f->stagedFromPatch) continue;
    char have[65] = "";
    if (!hash_file(digestName(), item.downloadPath.c_str(), have, sizeof(have)) ||
        !f->packChecksum.equalsNoCase(have)) {
      remove(item.downloadPath.c_str());
      return setError(
          "Checksum does not match for the pack of '%s' (%s); nothing was unpacked or installed",
          f->name.c_str(), f->url.c_str());
    }
  }
  return true;
}
