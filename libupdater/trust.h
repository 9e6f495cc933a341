// Trust in update documents: which minisign keys the updater trusts (built in, named on the
// command line, and the .updater-keys file a release installs), fetching a document together
// with its signature (with bounded sizes, and once more when the two do not match because a
// publish came between the requests), and the rollback and freeze guards: the highest serial
// accepted for each channel, kept in the INI file, and the document's expiry.
//
// With no trusted key the engine behaves as it always did: documents are not checked at all.
//
// Thread rules: no shared state; the functions run in the calling thread. The INI functions go
// through the INI module's own lock.
#ifndef LIBUPDATER_TRUST_H_
#define LIBUPDATER_TRUST_H_

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "download_nocurl.h"
#include "minisign.h"

// Largest document read unless the caller sets another limit (64 MiB).
const uint64_t kDefaultMaxInfoSize = 64ULL << 20;
// Largest signature file read.
const uint64_t kMaxSignatureSize = 64 * 1024;
// The key file a release may install in the base directory.
const char kReleaseKeysFile[] = ".updater-keys";
// INI section of the highest accepted serial per channel.
const char kSerialSection[] = "serials";

struct TrustSettings {
  std::vector<minisign::PublicKey> keys;  // empty: documents are not checked
  bool requireSignature = false;          // no key known is then an error
  uint64_t maxInfoSize = kDefaultMaxInfoSize;
  // Seconds since the epoch, for the expiry check; null: the system clock.
  int64_t (*now)() = nullptr;
};

// True when documents are checked: a trusted key is known or a signature is required.
bool ChecksDocuments(const TrustSettings& trust);

// The error line for a pack that is longer than its "packsize".
std::string PackTooLong(const std::string& name, const std::string& url, int64_t packSize);

// The error line for a document over the size limit.
std::string DocumentTooLarge(const std::string& url, uint64_t limit);

// Collects the trusted keys: the built-in key text (may be empty), every file in files, and
// baseDir + ".updater-keys" when it exists. True on success; false with *error naming the file
// (or "built-in keys") and the fault.
bool LoadTrustedKeys(const std::string& builtIn, const std::vector<std::string>& files,
                     const std::string& baseDir, std::vector<minisign::PublicKey>* keys,
                     std::string* error);

// Result of one bounded fetch.
enum class FetchOutcome {
  kOk,
  kTooLarge,  // more than the limit arrived; the text is dropped
  kFailed,    // the transfer failed (kNotFound when the server said so)
  kNotFound,
};

// Fetches url into *text, at most limit bytes. kOk with the text; otherwise *error holds the
// reason (or the limit).
using TextFetcher = std::function<FetchOutcome(const std::string& url, uint64_t limit,
                                               DownloadProgressCallback progress, std::string* text,
                                               std::string* error)>;

// Fetches url into wherever the caller keeps the document (replacing what it held), at most
// limit bytes. kOk when it arrived whole; otherwise *error holds the reason (or the limit).
using DocumentFetcher = std::function<FetchOutcome(
    const std::string& url, uint64_t limit, DownloadProgressCallback progress, std::string* error)>;

// Checks a signature file's text against the document last fetched (minisign::Verify or
// VerifyFile over it).
using DocumentVerifier =
    std::function<minisign::Verdict(const std::string& signature, std::string* error)>;

// Fetches the document at url and, when keys are known, url + ".minisig", and verifies it;
// both are fetched once more when the signature does not verify. fetchDocument keeps the
// document (in memory or in a file, so a large one need not be held), fetchText brings the
// signature, verify checks the two. True when the document fetched last may be used; false
// with *error, one line naming the URL and the reason.
bool FetchVerifiedDocument(const TrustSettings& trust, const std::string& url,
                           DownloadProgressCallback progress, const DocumentFetcher& fetchDocument,
                           const TextFetcher& fetchText, const DocumentVerifier& verify,
                           std::string* error);

// The channel's key in the serial section: the last component of the document URL.
std::string ChannelKey(const std::string& url);

// The highest serial accepted so far for the channel, 0 when none (or no INI file).
uint64_t StoredSerial(const std::string& iniFile, const std::string& channel);

// Keeps serial as the highest accepted for the channel (only ever raises it). True on success
// or when there is no INI file; false when the file cannot be written.
bool StoreSerial(const std::string& iniFile, const std::string& channel, uint64_t serial);

// The rollback and freeze guards for a verified document's root attributes (either may be
// null). True with *serial (0 when the document has none); false with *error naming the
// numbers or the date.
bool CheckGuards(const char* serialAttr, const char* expiresAttr, uint64_t stored, int64_t now,
                 uint64_t* serial, std::string* error);

#endif  // LIBUPDATER_TRUST_H_
