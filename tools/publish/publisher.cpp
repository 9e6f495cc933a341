#include "publisher.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "GenLib.h"
#include "groups_file.h"
#include "info_document.h"
#include "pack_writer.h"
#include "patch_maker.h"
#include "release_tree.h"
#include "site_files.h"

namespace {

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (!realpath(path.c_str(), buf)) return std::string();
  return buf;
}

}  // namespace

bool WriteAtomically(const std::string& path, const std::string& text, std::string* error) {
  return WriteDurably(path, text, error);
}

namespace {

// A relative pack URL from an earlier document that may be looked up under the files directory.
bool SafeRelativeUrl(const std::string& url) { return !url.empty() && CheckFileName(url).empty(); }

bool SameHex(const std::string& a, const std::string& b) {
  return !a.empty() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

// Documents kept in the site's history (at least as many as anyone asks --deltas for).
const size_t kHistoryKeep = 16;

class Publication {
 public:
  Publication(const PublishOptions& opts) : opts_(opts), v2_(opts.info_version > 1) {}

  bool Run(std::string* error) {
    if (!CheckOptions(error)) return false;
    std::vector<std::string> problems;
    if (!WalkRelease(opts_.release_dir, &files_, &problems)) {
      *error = "refusing release tree " + opts_.release_dir + ":";
      for (size_t n = 0; n < problems.size() && n < 50; ++n) *error += "\n  " + problems[n];
      if (problems.size() > 50) {
        *error += "\n  ... and " + std::to_string(problems.size() - 50) + " more";
      }
      return false;
    }
    if (!opts_.groups_file.empty() && !LoadGroups(opts_.groups_file, &groups_, error)) {
      return false;
    }
    files_dir_ = Join(opts_.site_dir, kFilesDir);
    updates_dir_ = Join(opts_.site_dir, kUpdatesDir);
    for (const std::string& d : {opts_.site_dir, files_dir_, updates_dir_}) {
      if (!make_directories(d.c_str(), 0755)) {
        *error = "cannot create directory " + d + ": " + strerror(errno);
        return false;
      }
    }
    std::string real_site = RealPath(opts_.site_dir);
    std::string real_release = RealPath(opts_.release_dir);
    if (real_site == real_release ||
        real_site.compare(0, real_release.size() + 1, real_release + "/") == 0) {
      *error = "the site " + opts_.site_dir + " lies inside the release tree " + opts_.release_dir +
               "; it would publish itself";
      return false;
    }
    // One publish at a time; what a killed one left half written goes first.
    if (!lock_.Acquire(opts_.site_dir, error)) return false;
    for (const std::string& d : {files_dir_, updates_dir_, Join(opts_.site_dir, kHistoryDir)}) {
      RemoveLeftoverTemps(d);
    }
    if (!LoadPrevious(error) || !PickSerial(error)) return false;
    if (!LoadSignKeys(opts_.sign_keys, &sign_keys_, error)) return false;
    doc_files_.resize(files_.size());
    done_.assign(files_.size(), false);
    if (!KeepUnchanged(error) || !PackTheRest(error) || !MakePatches(error)) return false;
    return WriteDocuments(error);
  }

 private:
  bool CheckOptions(std::string* error) {
    if (opts_.info_version != 1 && opts_.info_version != 2) {
      *error = "the document version must be 1 or 2";
      return false;
    }
    if (opts_.level < 1 || opts_.level > 9) {
      *error = "the compression level must be from 1 to 9";
      return false;
    }
    if (!IsAbsoluteUrl(opts_.file_base)) {
      *error = "the file base '" + opts_.file_base +
               "' must be an absolute http://, https:// or ftp:// URL";
      return false;
    }
    for (const std::string& mirror : opts_.mirrors) {
      if (!IsAbsoluteUrl(mirror) || mirror.find_first_of("\"<>& \t\r\n") != std::string::npos) {
        *error = "the mirror '" + mirror + "' must be an absolute http://, https:// or ftp:// URL";
        return false;
      }
    }
    return ChannelNames(opts_, &channels_, error);
  }

  bool LoadPrevious(std::string* error) {
    if (opts_.no_previous) return true;
    std::string path = opts_.previous;
    if (path.empty()) {
      path = Join(updates_dir_, channels_[0]);
      if (!Exists(path)) return true;
    }
    InfoDocument prev;
    if (!ReadDocument(path, &prev, error)) return false;
    previous_path_ = path;
    prev_version_ = prev.version;
    prev_serial_ = prev.serial;
    for (DocFile& f : prev.files) prev_files_[f.name] = f;
    have_previous_ = true;
    return true;
  }

  // One more than the highest serial of the previous document and of the site's documents, or
  // the one asked for, which may not be lower.
  bool PickSerial(std::string* error) {
    uint64_t highest = prev_serial_;
    for (const std::string& c : channels_) {
      std::string text;
      if (ReadText(Join(updates_dir_, c), &text)) highest = std::max(highest, SerialOf(text));
    }
    if (opts_.serial != 0 && opts_.serial < highest) {
      *error = "serial " + std::to_string(opts_.serial) + " is lower than the previous serial " +
               std::to_string(highest) + "; clients would refuse the documents";
      return false;
    }
    serial_ = opts_.serial != 0 ? opts_.serial : highest + 1;
    return true;
  }

  static bool ReadText(const std::string& path, std::string* text) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text->append(buf, n);
    fclose(f);
    return true;
  }

  DocFile BaseRecord(const ReleaseFile& f) const {
    DocFile d;
    d.name = f.name;
    d.size = f.size;
    d.modes = f.modes;
    d.groups = GroupsOfFile(groups_, f.name);
    return d;
  }

  // A file whose name, size and content match the previous release keeps that release's pack
  // when the pack is still in the site, still has the digest the document gave it, and is
  // enciphered exactly when this publication enciphers.
  bool KeepUnchanged(std::string* error) {
    if (!have_previous_) return true;
    const bool prev_v2 = prev_version_ > 1;
    for (size_t n = 0; n < files_.size(); ++n) {
      const ReleaseFile& f = files_[n];
      auto it = prev_files_.find(f.name);
      if (it == prev_files_.end()) continue;
      const DocFile& p = it->second;
      if (p.url_absolute || !SafeRelativeUrl(p.url) || p.size != f.size ||
          p.key.empty() == opts_.encrypt || (prev_v2 ? p.sha : p.md5).empty() ||
          (prev_v2 ? p.packsha : p.packmd5).empty() ||
          used_names_.count(file_part(p.url.c_str()))) {
        continue;
      }
      DigestKinds kinds;
      kinds.sha256 = true;
      kinds.md5 = !v2_ || !prev_v2;
      FileDigests fd, pd;
      if (!DigestFile(f.path, kinds, &fd, error)) return false;
      if (!SameHex(prev_v2 ? p.sha : p.md5, prev_v2 ? fd.sha256 : fd.md5)) continue;
      std::string pack_path = Join(files_dir_, p.url);
      std::string ignored;
      if (!DigestFile(pack_path, kinds, &pd, &ignored)) continue;
      if (!SameHex(prev_v2 ? p.packsha : p.packmd5, prev_v2 ? pd.sha256 : pd.md5)) continue;
      DocFile d = BaseRecord(f);
      d.url = p.url;
      d.key = p.key;
      d.sha = fd.sha256;
      d.md5 = fd.md5;
      d.packsha = pd.sha256;
      d.packmd5 = pd.md5;
      d.packsize = pd.size;
      doc_files_[n] = d;
      done_[n] = true;
      used_names_.insert(file_part(p.url.c_str()));
      ++kept_;
    }
    return true;
  }

  bool PackTheRest(std::string* error) {
    DigestKinds kinds;
    kinds.sha256 = true;
    kinds.md5 = !v2_;
    std::set<std::string> made_dirs;
    const std::string tmp = Join(files_dir_, ".pack-" + std::to_string(getpid()) + ".tmp");
    for (size_t n = 0; n < files_.size(); ++n) {
      if (done_[n]) continue;
      const ReleaseFile& f = files_[n];
      DocFile d = BaseRecord(f);
      if (opts_.encrypt) {
        d.key = RandomPackKey();
        if (d.key.empty()) {
          *error = "cannot draw a random key for " + f.name;
          return false;
        }
      }
      FileDigests fd, pd;
      if (!WritePack(f.path, tmp, d.key, opts_.level, f.size, kinds, &fd, &pd, error)) {
        return false;
      }
      // Identical content without a key gives an identical pack; each file still needs a
      // download path of its own, so later ones get a numbered name.
      std::string name = pd.sha256;
      for (int k = 2; used_names_.count(name); ++k) name = pd.sha256 + "-" + std::to_string(k);
      used_names_.insert(name);
      std::string sub = name.substr(0, 2);
      std::string dir = Join(files_dir_, sub);
      if (!made_dirs.count(sub)) {
        if (!make_directories(dir.c_str(), 0755)) {
          *error = "cannot create directory " + dir + ": " + strerror(errno);
          unlink(tmp.c_str());
          return false;
        }
        made_dirs.insert(sub);
      }
      std::string dest = Join(dir, name);
      if (rename(tmp.c_str(), dest.c_str()) != 0) {
        *error = "cannot rename " + tmp + " to " + dest + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
      }
      d.url = sub + "/" + name;
      d.sha = fd.sha256;
      d.md5 = fd.md5;
      d.packsha = pd.sha256;
      d.packmd5 = pd.md5;
      d.packsize = pd.size;
      doc_files_[n] = d;
      ++packed_;
    }
    // The packs' names are on disk before any document lists them.
    for (const std::string& sub : made_dirs) {
      if (!SyncPath(Join(files_dir_, sub), error)) return false;
    }
    return made_dirs.empty() || SyncPath(files_dir_, error);
  }

  // Patches from the versions of each file in the last opts_.deltas releases of the site.
  bool MakePatches(std::string* error) {
    if (!v2_ || opts_.no_previous || opts_.deltas <= 0) return true;
    std::vector<InfoDocument> releases;
    if (!LoadReleases(opts_.site_dir, previous_path_, static_cast<size_t>(opts_.deltas), &releases,
                      error)) {
      return false;
    }
    if (releases.empty()) return true;
    PatchMaker maker(files_dir_, opts_.delta_max_size);
    for (size_t n = 0; n < files_.size(); ++n) {
      auto prev = prev_files_.find(files_[n].name);
      const DocFile* reusable = prev == prev_files_.end() ? nullptr : &prev->second;
      if (!maker.AddPatches(files_[n].path, doc_files_[n].packsize, releases, reusable,
                            &doc_files_[n], error)) {
        return false;
      }
    }
    patch_counts_ = maker.counts();
    return true;
  }

  bool WriteDocuments(std::string* error) {
    InfoDocument doc;
    doc.version = opts_.info_version;
    doc.serial = serial_;
    doc.expires = ExpiryAfter(opts_.now, opts_.expires_in_days);
    doc.app = opts_.app;
    doc.author = opts_.author;
    doc.home_url = opts_.home_url;
    doc.file_base = opts_.file_base;
    doc.mirrors = opts_.mirrors;
    doc.groups = groups_;
    doc.files = doc_files_;
    std::set<std::string> names;
    for (const ReleaseFile& f : files_) names.insert(f.name);
    for (const auto& p : prev_files_) {
      if (names.count(p.first)) continue;
      // A name the updater would refuse would make it refuse the whole document.
      if (!CheckFileName(p.first).empty()) {
        if (!opts_.quiet)
          printf("Not listing '%s' for deletion: not a usable name\n", p.first.c_str());
        continue;
      }
      doc.deletes.push_back(p.first);
    }
    const std::string text = RenderDocument(doc);
    for (const std::string& c : channels_) {
      const std::string path = Join(updates_dir_, c);
      const std::string sig_path = path + kSignatureSuffix;
      std::string signature;
      if (!sign_keys_.empty() && !SignatureFor(sign_keys_, text, c, opts_.now, &signature, error)) {
        return false;
      }
      if (!WriteAtomically(path, text, error)) return false;
      if (!sign_keys_.empty()) {
        if (!WriteAtomically(sig_path, signature, error)) return false;
      } else if (unlink(sig_path.c_str()) == 0 && !opts_.quiet) {
        // A signature of an earlier document would only make clients refuse this one.
        printf("Removed %s: it signed the previous document\n", sig_path.c_str());
      }
    }
    if (v2_ && !SaveToHistory(opts_.site_dir, text, kHistoryKeep, error)) return false;
    if (!opts_.quiet) {
      printf("Published %zu files from %s: %zu packed, %zu unchanged and kept, %zu to delete\n",
             files_.size(), opts_.release_dir.c_str(), packed_, kept_, doc.deletes.size());
      printf("Serial %llu, expires %s\n", static_cast<unsigned long long>(serial_),
             doc.expires.c_str());
      const PatchCounts& pc = patch_counts_;
      if (pc.made + pc.reused + pc.too_large + pc.skipped > 0) {
        printf(
            "Patches: %zu made, %zu kept from the previous release, %zu not smaller than 60%% "
            "of the full pack, %zu without a usable old version\n",
            pc.made, pc.reused, pc.too_large, pc.skipped);
      }
      for (const std::string& c : channels_) {
        printf("Wrote %s%s\n", Join(updates_dir_, c).c_str(),
               sign_keys_.empty() ? "" : " and its signature");
      }
      fflush(stdout);
    }
    return true;
  }

  const PublishOptions& opts_;
  const bool v2_;
  std::vector<std::string> channels_;
  std::vector<ReleaseFile> files_;
  std::vector<GroupSpec> groups_;
  std::string files_dir_, updates_dir_;
  SiteLock lock_;
  bool have_previous_ = false;
  int prev_version_ = 0;
  uint64_t prev_serial_ = 0;
  uint64_t serial_ = 0;
  std::vector<minisign::SecretKey> sign_keys_;
  std::map<std::string, DocFile> prev_files_;
  std::vector<DocFile> doc_files_;
  std::vector<bool> done_;
  std::string previous_path_;
  PatchCounts patch_counts_;
  std::set<std::string> used_names_;
  size_t kept_ = 0, packed_ = 0;
};

bool ValidPlatform(const std::string& p) {
  if (p.empty() || p.size() > 31) return false;
  for (char c : p) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool ChannelNames(const PublishOptions& opts, std::vector<std::string>* names, std::string* error) {
  names->clear();
  std::vector<std::string> types = opts.types.empty() ? std::vector<std::string>{"5"} : opts.types;
  std::vector<std::string> kinds =
      opts.kinds.empty() ? std::vector<std::string>{"full"} : opts.kinds;
  std::vector<std::string> platforms =
      opts.platforms.empty() ? std::vector<std::string>{"debian9.x86_64"} : opts.platforms;
  for (const std::string& t : types) {
    if (t != "3" && t != "4" && t != "5") {
      *error = "installation type '" + t + "' must be 3, 4 or 5";
      return false;
    }
  }
  for (const std::string& k : kinds) {
    if (strcasecmp(k.c_str(), "full") != 0 && strcasecmp(k.c_str(), "basic") != 0) {
      *error = "installation kind '" + k + "' must be full or basic";
      return false;
    }
  }
  for (const std::string& p : platforms) {
    if (!ValidPlatform(p)) {
      *error = "platform '" + p + "' must be 1 to 31 letters, digits, dots, dashes or underscores";
      return false;
    }
  }
  std::set<std::string> seen;
  for (const std::string& t : types) {
    for (const std::string& k : kinds) {
      for (const std::string& p : platforms) {
        std::string kind = strcasecmp(k.c_str(), "full") == 0 ? "full" : "basic";
        std::string name =
            "kestrl" + std::string(t == "3" ? "" : t) + "-" + kind + "-" + p + ".info";
        if (seen.insert(name).second) names->push_back(name);
      }
    }
  }
  return true;
}

bool Publish(const PublishOptions& opts, std::string* error) {
  return Publication(opts).Run(error);
}
