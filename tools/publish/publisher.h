// Publishing a release: walks the release tree, packs every new or changed file into the site's
// file base (packs named by their own SHA-256, so no two files share a download path), keeps
// the pack, URL and key of every file unchanged since the previous release, lists the files the
// previous release had and this one has not for deletion, and writes one update-information
// document per channel under the site's updates/ directory. Documents are written last and
// each by an atomic rename, so a client never sees a document whose packs are not in place.
// Every document carries a serial one above the previous one and an expiry; with signing keys
// each gets its minisign signature file beside it.
//
// Thread rules: one publication at a time per site; no shared state.
#ifndef TOOLS_PUBLISH_PUBLISHER_H_
#define TOOLS_PUBLISH_PUBLISHER_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "signing.h"

struct PublishOptions {
  std::string release_dir;
  std::string site_dir;
  std::string file_base;    // absolute URL under which site_dir/files/ is served
  std::string groups_file;  // empty: no groups
  std::string app, author, home_url;
  std::vector<std::string> types;      // "3" (no letter), "4", "5"
  std::vector<std::string> kinds;      // "full", "basic"
  std::vector<std::string> platforms;  // e.g. "debian9.x86_64"
  bool encrypt = false;
  int info_version = 2;  // 1 (MD5, absolute URLs, no groups) or 2
  std::string previous;  // previous release's document; empty: the site's own
  bool no_previous = false;
  int level = 6;   // deflate level, 1 to 9
  int deltas = 2;  // patches from this many earlier releases (0: none)
  uint64_t delta_max_size = uint64_t{512} << 20;  // no patches for larger files
  bool quiet = false;
  uint64_t serial = 0;  // 0: one more than the highest serial in the site or previous document
  int expires_in_days = kDefaultExpiresInDays;
  std::vector<SignKeySpec> sign_keys;  // empty: documents are not signed
  int64_t now = 0;                     // seconds since the epoch, for "expires" and signatures
};

// The directory of a site that holds the packs, and the one that holds the documents.
const char* const kFilesDir = "files";
const char* const kUpdatesDir = "updates";

// Document file names for every combination of type, kind and platform, in that nesting order.
// False with *error when a value is not one the updater can ask for.
bool ChannelNames(const PublishOptions& opts, std::vector<std::string>* names, std::string* error);

// Writes text to path through a temporary file in the same directory and a rename, so readers
// see the old or the new file, never a part of one. True on success; false with *error.
bool WriteAtomically(const std::string& path, const std::string& text, std::string* error);

// Publishes as described above; prints a summary on standard output unless quiet. True on
// success; false with *error (a refused release tree lists every refusal, one per line).
bool Publish(const PublishOptions& opts, std::string* error);

#endif  // TOOLS_PUBLISH_PUBLISHER_H_
