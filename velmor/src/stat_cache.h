// The quick check's memory: for each file it was told about, the stat data the file had (size,
// modification and status-change times to the nanosecond, inode, device) and the digest of its
// contents then. A later run that finds the same stat data takes the file as unchanged without
// reading it, as rsync's quick check and git's index do.
//
// The cache is kept in one state file (its owner writes it whole and renames it into place, so
// a reader sees the old state or the new one). A state that is truncated, damaged (its
// trailing CRC-32 does not match), of another format, for another digest or for another
// directory is ignored: the cache then starts empty and every file is hashed again.
//
// Racy files: a file that is changed again within the timestamp granularity of the moment its
// stat data were recorded may keep the same times and size. Such a record is never trusted:
// record() does not keep stat data whose modification or status-change time lies within
// racyWindowNs of the recording clock, so the file is hashed again by the next run.
//
// Thread rules: a StatCache is used by one thread at a time; it keeps no shared state.
#ifndef VELMOR_STAT_CACHE_H_
#define VELMOR_STAT_CACHE_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <string>
#include <vector>

// Stat data of one file as the quick check compares them.
struct FileStat {
  int64_t size = 0;
  int64_t mtimeSec = 0;
  int64_t mtimeNsec = 0;
  int64_t ctimeSec = 0;
  int64_t ctimeNsec = 0;
  uint64_t inode = 0;
  uint64_t device = 0;

  bool operator==(const FileStat& o) const;
  bool operator!=(const FileStat& o) const { return !(*this == o); }
};

// The stat data of st.
FileStat file_stat_from(const struct stat& st);

// Nanoseconds since the epoch on the system's real-time clock.
int64_t realtime_now_ns();

class StatCache {
 public:
  // Digests of at most this many bytes are kept (SHA-256 and MD5 fit).
  static const size_t kMaxDigest = 32;
  // Default racy window: covers file systems that keep whole or even seconds.
  static const int64_t kDefaultRacyWindowNs = 2000000000;
  // Larger state files are not read (some 4 million records of long names).
  static const size_t kMaxStateSize = size_t{1} << 30;

  // digestName names the digest the records hold ("sha256", "md5"); a state file made for
  // another digest is foreign. directory is the tree the names are relative to: a state file
  // made for another directory (by device and inode) is foreign. clock gives the time of
  // recording in nanoseconds since the epoch (realtime_now_ns unless a test injects another).
  StatCache(const std::string& digestName, const struct stat& directory,
            int64_t (*clock)() = realtime_now_ns, int64_t racyWindowNs = kDefaultRacyWindowNs);

  // Takes the records from the bytes of a state file, replacing what the cache holds. True when
  // they were read; false with the cache empty and the reason in *why (when why is not null)
  // when they are damaged or foreign. The caller goes on with the empty cache either way.
  bool parse(const std::string& data, std::string* why);

  // The recorded digest (digestSize bytes into digest, which holds kMaxDigest) of name when the
  // cache has a record with exactly the stat data st. True on a match; false otherwise.
  bool lookup(const std::string& name, const FileStat& st, uint8_t* digest,
              size_t* digestSize) const;

  // Records name with its stat data and digest (size bytes, at most kMaxDigest). A racy file
  // (above), or a digest that is too long, is not recorded; any older record of name is dropped
  // then. True when recorded.
  bool record(const std::string& name, const FileStat& st, const uint8_t* digest, size_t size);

  // Drops the record of name, if any.
  void forget(const std::string& name);

  // Drops every record that no lookup() found and no record() wrote since the cache was read
  // (files no longer listed, or gone). Returns the number dropped.
  size_t dropUnused();

  // The bytes of the state file that holds the records.
  std::string serialize() const;

  // Number of records.
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::string name;
    FileStat st;
    uint8_t digestSize = 0;
    uint8_t digest[kMaxDigest] = {};
    mutable bool used = false;  // looked up or recorded since the cache was read
  };

  // Index of the record of name, or entries_.size() when there is none; sorts first if needed.
  size_t find(const std::string& name) const;
  bool parseRecords(const std::string& data, std::string* why);
  void sortIfNeeded() const;

  std::string digestName_;
  uint64_t dirDevice_;
  uint64_t dirInode_;
  int64_t (*clock_)();
  int64_t racyWindowNs_;
  // Sorted by name when sorted_ is true; record() appends and clears it.
  mutable std::vector<Entry> entries_;
  mutable bool sorted_ = true;
};

#endif  // VELMOR_STAT_CACHE_H_
