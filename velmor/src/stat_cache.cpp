#include "stat_cache.h"

#include <string.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>

namespace {

// State file layout, all numbers little-endian:
//   magic "VLMSTAT1"; u8 length + digest name; u64 directory device; u64 directory inode;
//   u64 record count; per record (names strictly ascending): u16 length + name, i64 size,
//   i64 mtime seconds, u32 mtime nanoseconds, i64 ctime seconds, u32 ctime nanoseconds,
//   u64 inode, u64 device, u8 digest length + digest;
//   then the CRC-32 of everything before it (a check against damage, read on every run, so a
//   cheap one: whoever can write the file can also forge any checksum of it).
const char kMagic[8] = {'V', 'L', 'M', 'S', 'T', 'A', 'T', '2'};
const size_t kTrailer = 4;

uint32_t Crc32(const char* data, size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (size > 0) {
    const uInt n = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data), n);
    data += n;
    size -= n;
  }
  return static_cast<uint32_t>(crc);
}

void PutU(std::string* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; i++) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// Reads little-endian numbers and byte runs from a text, failing once past its end.
class Reader {
 public:
  Reader(const std::string& data, size_t end) : data_(data), end_(end) {}
  bool u(int bytes, uint64_t* v) {
    if (end_ - pos_ < static_cast<size_t>(bytes)) return false;
    *v = 0;
    for (int i = 0; i < bytes; i++) {
      *v |= static_cast<uint64_t>(static_cast<uint8_t>(data_[pos_ + i])) << (8 * i);
    }
    pos_ += static_cast<size_t>(bytes);
    return true;
  }
  bool i64(int64_t* v) {
    uint64_t raw;
    if (!u(8, &raw)) return false;
    *v = static_cast<int64_t>(raw);
    return true;
  }
  bool bytes(size_t n, const char** p) {
    if (end_ - pos_ < n) return false;
    *p = data_.data() + pos_;
    pos_ += n;
    return true;
  }
  bool atEnd() const { return pos_ == end_; }

 private:
  const std::string& data_;
  size_t end_;
  size_t pos_ = 0;
};

bool Fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

}  // namespace

bool FileStat::operator==(const FileStat& o) const {
  return size == o.size && mtimeSec == o.mtimeSec && mtimeNsec == o.mtimeNsec &&
         ctimeSec == o.ctimeSec && ctimeNsec == o.ctimeNsec && inode == o.inode &&
         device == o.device;
}

FileStat file_stat_from(const struct stat& st) {
  FileStat f;
  f.size = static_cast<int64_t>(st.st_size);
  f.mtimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
  f.mtimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  f.ctimeSec = static_cast<int64_t>(st.st_ctim.tv_sec);
  f.ctimeNsec = static_cast<int64_t>(st.st_ctim.tv_nsec);
  f.inode = static_cast<uint64_t>(st.st_ino);
  f.device = static_cast<uint64_t>(st.st_dev);
  return f;
}

int64_t realtime_now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

StatCache::StatCache(const std::string& digestName, const struct stat& directory,
                     int64_t (*clock)(), int64_t racyWindowNs)
    : digestName_(digestName),
      dirDevice_(static_cast<uint64_t>(directory.st_dev)),
      dirInode_(static_cast<uint64_t>(directory.st_ino)),
      clock_(clock ? clock : realtime_now_ns),
      racyWindowNs_(racyWindowNs) {}

bool StatCache::parse(const std::string& data, std::string* why) {
  entries_.clear();
  sorted_ = true;
  if (data.size() > kMaxStateSize) return Fail(why, "too large");
  if (!parseRecords(data, why)) {
    entries_.clear();
    return false;
  }
  return true;
}

bool StatCache::parseRecords(const std::string& data, std::string* why) {
  if (data.size() < sizeof(kMagic) + kTrailer || memcmp(data.data(), kMagic, sizeof(kMagic)) != 0) {
    return Fail(why, "not a state file of this format");
  }
  const size_t body = data.size() - kTrailer;
  uint64_t stored;
  Reader trailer(data, data.size());
  const char* skip;
  trailer.bytes(body, &skip);
  trailer.u(4, &stored);
  if (stored != Crc32(data.data(), body)) return Fail(why, "damaged (checksum mismatch)");

  Reader in(data, body);
  const char* p;
  uint64_t len, device, inode, count;
  in.bytes(sizeof(kMagic), &p);
  if (!in.u(1, &len) || !in.bytes(len, &p)) return Fail(why, "truncated header");
  if (std::string(p, len) != digestName_) return Fail(why, "made for another digest");
  if (!in.u(8, &device) || !in.u(8, &inode) || !in.u(8, &count))
    return Fail(why, "truncated header");
  if (device != dirDevice_ || inode != dirInode_) return Fail(why, "made for another directory");
  // Each record takes at least 48 bytes: a count beyond that is damage, not a reason to reserve.
  if (count > body / 48) return Fail(why, "record count out of range");
  entries_.reserve(count);
  for (uint64_t i = 0; i < count; i++) {
    Entry e;
    uint64_t mns, cns, dsize;
    if (!in.u(2, &len) || len == 0 || !in.bytes(len, &p)) return Fail(why, "damaged record");
    e.name.assign(p, len);
    if (!in.i64(&e.st.size) || !in.i64(&e.st.mtimeSec) || !in.u(4, &mns) ||
        !in.i64(&e.st.ctimeSec) || !in.u(4, &cns) || !in.u(8, &e.st.inode) ||
        !in.u(8, &e.st.device) || !in.u(1, &dsize) || dsize == 0 || dsize > kMaxDigest ||
        !in.bytes(dsize, &p)) {
      return Fail(why, "damaged record");
    }
    if (mns >= 1000000000 || cns >= 1000000000) return Fail(why, "damaged record");
    e.st.mtimeNsec = static_cast<int64_t>(mns);
    e.st.ctimeNsec = static_cast<int64_t>(cns);
    e.digestSize = static_cast<uint8_t>(dsize);
    memcpy(e.digest, p, dsize);
    if (!entries_.empty() && !(entries_.back().name < e.name)) {
      return Fail(why, "records out of order");
    }
    entries_.push_back(std::move(e));
  }
  if (!in.atEnd()) return Fail(why, "trailing bytes");
  return true;
}

void StatCache::sortIfNeeded() const {
  if (sorted_) return;
  // Later records of a name replace earlier ones: keep the last of each run of equal names.
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const Entry& a, const Entry& b) { return a.name < b.name; });
  std::vector<Entry> unique;
  unique.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); i++) {
    if (i + 1 < entries_.size() && entries_[i + 1].name == entries_[i].name) continue;
    unique.push_back(std::move(entries_[i]));
  }
  entries_.swap(unique);
  sorted_ = true;
}

size_t StatCache::find(const std::string& name) const {
  sortIfNeeded();
  auto it = std::lower_bound(entries_.begin(), entries_.end(), name,
                             [](const Entry& e, const std::string& n) { return e.name < n; });
  if (it == entries_.end() || it->name != name) return entries_.size();
  return static_cast<size_t>(it - entries_.begin());
}

bool StatCache::lookup(const std::string& name, const FileStat& st, uint8_t* digest,
                       size_t* digestSize) const {
  size_t i = find(name);
  if (i == entries_.size()) return false;
  entries_[i].used = true;
  if (entries_[i].st != st) return false;
  memcpy(digest, entries_[i].digest, entries_[i].digestSize);
  *digestSize = entries_[i].digestSize;
  return true;
}

bool StatCache::record(const std::string& name, const FileStat& st, const uint8_t* digest,
                       size_t size) {
  const int64_t now = clock_();
  auto recent = [&](int64_t sec, int64_t nsec) {
    return sec * 1000000000 + nsec > now - racyWindowNs_;
  };
  if (name.empty() || name.size() > 0xffff || size == 0 || size > kMaxDigest ||
      recent(st.mtimeSec, st.mtimeNsec) || recent(st.ctimeSec, st.ctimeNsec)) {
    forget(name);
    return false;
  }
  auto fill = [&](Entry* e) {
    e->used = true;
    e->st = st;
    e->digestSize = static_cast<uint8_t>(size);
    memcpy(e->digest, digest, size);
  };
  if (sorted_) {
    size_t i = find(name);
    if (i != entries_.size()) {
      fill(&entries_[i]);
      return true;
    }
  }
  // Appended out of order, the records are sorted (and repeats dropped) on the next look-up.
  if (!entries_.empty() && !(entries_.back().name < name)) sorted_ = false;
  entries_.emplace_back();
  entries_.back().name = name;
  fill(&entries_.back());
  return true;
}

void StatCache::forget(const std::string& name) {
  size_t i = find(name);
  if (i != entries_.size()) entries_.erase(entries_.begin() + static_cast<ptrdiff_t>(i));
}

size_t StatCache::dropUnused() {
  const size_t before = entries_.size();
  entries_.erase(
      std::remove_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.used; }),
      entries_.end());
  return before - entries_.size();
}

std::string StatCache::serialize() const {
  sortIfNeeded();
  std::string out(kMagic, sizeof(kMagic));
  PutU(&out, digestName_.size(), 1);
  out += digestName_;
  PutU(&out, dirDevice_, 8);
  PutU(&out, dirInode_, 8);
  PutU(&out, entries_.size(), 8);
  for (const Entry& e : entries_) {
    PutU(&out, e.name.size(), 2);
    out += e.name;
    PutU(&out, static_cast<uint64_t>(e.st.size), 8);
    PutU(&out, static_cast<uint64_t>(e.st.mtimeSec), 8);
    PutU(&out, static_cast<uint64_t>(e.st.mtimeNsec), 4);
    PutU(&out, static_cast<uint64_t>(e.st.ctimeSec), 8);
    PutU(&out, static_cast<uint64_t>(e.st.ctimeNsec), 4);
    PutU(&out, e.st.inode, 8);
    PutU(&out, e.st.device, 8);
    PutU(&out, e.digestSize, 1);
    out.append(reinterpret_cast<const char*>(e.digest), e.digestSize);
  }
  PutU(&out, Crc32(out.data(), out.size()), 4);
  return out;
}
