// Staging: downloading the packs of the plan into tmp/updater (one after the other, or several
// at once on the transfer pool's workers) and unpacking, deciphering and verifying them there.
// Nothing installed is touched here.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <memory>
#include <vector>

#include "GenLib.h"
#include "confined_dir.h"
#include "connector.h"
#include "download_nocurl.h"
#include "engine_internal.h"
#include "failure_note.h"
#include "hash.h"
#include "journal.h"
#include "libupdater.h"
#include "memleak.h"
#include "rc4.h"
#include "transfer_pool.h"
#include "transport.h"

#define UPD_SRC "libupdater/stage"

using engine::FilePtr;
using engine::kUnpackBlock;
using engine::UnpackSink;

namespace {

// The digest of the bytes as they are unpacked; the context is released on every way out.
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
};

// Ends a zlib inflate stream when the scope ends.
struct InflateEnd {
  z_stream* z;
  ~InflateEnd() { inflateEnd(z); }
};

// Allowance above zlib's worst case for a pack without "packsize".
const uint64_t kPackMargin = 64 * 1024;

// Length of an open stream, positioned back at its start; -1 when it cannot be found.
off_t streamLength(FILE* fp) {
  off_t length = -1;
  if (fseeko(fp, 0, SEEK_END) == 0) length = ftello(fp);
  if (length > 0 && fseeko(fp, 0, SEEK_SET) != 0) return -1;
  return length;
}

}  // namespace

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

// ---- Downloading ----

namespace {

// Longest time between two drawings of the overall progress, and between two looks at
// whether the job of a worker in a back-off or waiting for its server was stopped.
const unsigned kRefreshMs = 100;
const int64_t kSleepSliceMs = 250;

// The clock of one worker's transport: the run's clock, except that a back-off ends early once
// the job under way is stopped (by a failure earlier in the plan).
class WorkerClock : public TransportClock {
 public:
  explicit WorkerClock(TransportClock* base) : base_(base) {}
  int64_t NowMs() override { return base_->NowMs(); }
  double Random() override { return base_->Random(); }
  int64_t WallSeconds() override { return base_->WallSeconds(); }
  void SleepMs(int64_t ms) override {
    while (ms > 0 && !(job && job->stopped())) {
      const int64_t slice = ms < kSleepSliceMs ? ms : kSleepSliceMs;
      base_->SleepMs(slice);
      ms -= slice;
    }
  }
  // The job the worker runs now; null between jobs.
  engine::DownloadJob* job = nullptr;

 private:
  TransportClock* base_;
};

// What one worker's transport stands on; kept until the pool has ended.
struct WorkerParts {
  std::unique_ptr<TransportConnector> connector;
  std::unique_ptr<WorkerClock> clock;
  const Transport* transport = nullptr;
};

// Bytes the plan expects to download for item.
uint64_t plannedBytes(const PlanInstall& item) {
  const UpdateFile* f = item.file;
  if (item.sharesPackOf >= 0 || item.packPresent) return 0;
  if (item.patch >= 0) return static_cast<uint64_t>(f->patches[item.patch].packSize);
  return static_cast<uint64_t>(f->packSize > 0 ? f->packSize : f->size);
}

}  // namespace

void engine::DownloadJob::say(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = vformat(fmt, args);
  va_end(args);
  if (direct_) {
    direct_->statusf("%s", text.c_str());
  } else {
    lines_.push_back(std::move(text));
  }
}

bool engine::DownloadJob::fail(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  error_ = vformat(fmt, args);
  va_end(args);
  return false;
}

void engine::DownloadJob::finish(bool ok) {
  if (!ok) note_ = LastFailureNote();
  state_.store(ok ? kSucceeded : kFailed);
}

void Updater::setParallel(unsigned transfers) {
  AutoMutex hold(lock_);
  parallel_ = transfers < 1 ? 1 : transfers > kMaxParallel ? kMaxParallel : transfers;
}

void Updater::setDownloadsProgress(void (*show)(const DownloadsProgress* progress)) {
  AutoMutex hold(lock_);
  downloadsProgress_ = show;
}

bool Updater::downloadPacks(const Plan& p) {
  if (p.installs.empty()) return true;
  statusf("*** Downloading Updated Files ***");
  statusf("%s", "");
  makeDirectories((baseDir_ + engine::kStagingDir).c_str());
  return parallel_ > 1 && p.downloads > 1 ? downloadInParallel(p) : downloadSerially(p);
}

bool Updater::downloadSerially(const Plan& p) {
  for (size_t i = 0; i < p.installs.size(); i++) {
    engine::DownloadJob job(i, this, nullptr);
    job.transport = runTransport();
    job.progress = callbacks_ ? callbacks_->fileProgress : nullptr;
    if (!downloadItem(p.installs[i], &job)) return setError("%s", job.error().c_str());
  }
  return true;
}

// The jobs run on the pool's workers; this thread gives out their lines in plan order as they
// end (never those of a job after the first failure: the serial run would not have reached
// it) and draws the progress.
bool Updater::downloadInParallel(const Plan& p) {
  const size_t count = p.installs.size();
  std::atomic<size_t> firstFailure{count};
  std::vector<std::unique_ptr<engine::DownloadJob>> jobs;
  for (size_t i = 0; i < count; i++) {
    jobs.emplace_back(new engine::DownloadJob(i, nullptr, &firstFailure));
    jobs.back()->expected.store(plannedBytes(p.installs[i]));
  }
  TransportClock* clock = transferClock_ ? transferClock_ : SystemTransportClock();
  std::vector<std::unique_ptr<WorkerParts>> workers;
  auto makeTransport = [&]() {
    std::unique_ptr<WorkerParts> parts(new WorkerParts);
    parts->connector.reset(new NetConnector(net_));
    parts->clock.reset(new WorkerClock(clock));
    // A worker waiting for a silent server looks often enough at whether it was stopped.
    TransportSettings settings = transferSettings_;
    if (settings.wait_slice_ms == 0 || settings.wait_slice_ms > kSleepSliceMs) {
      settings.wait_slice_ms = kSleepSliceMs;
    }
    std::unique_ptr<Transport> transport(
        new Transport(settings, parts->connector.get(), parts->clock.get()));
    WorkerClock* current = parts->clock.get();
    transport->SetRetryMessage([current](const std::string& line) {
      if (current->job) current->job->say("%s", line.c_str());
    });
    parts->transport = transport.get();
    workers.push_back(std::move(parts));
    return transport;
  };
  auto run = [&](size_t index, Transport* transport, std::string* error) {
    engine::DownloadJob* job = jobs[index].get();
    WorkerClock* clockOfWorker = nullptr;
    for (const auto& parts : workers) {
      if (parts->transport == transport) clockOfWorker = parts->clock.get();
    }
    if (clockOfWorker) clockOfWorker->job = job;
    job->transport = transport;
    const bool ok = downloadItem(p.installs[index], job);
    if (ok) {
      job->held.store(job->expected.load());
    } else {
      size_t first = firstFailure.load();
      while (index < first && !firstFailure.compare_exchange_weak(first, index)) {
      }
    }
    job->finish(ok);
    if (clockOfWorker) clockOfWorker->job = nullptr;
    *error = job->error();
    return ok;
  };
  size_t shown = 0;  // jobs whose lines are out
  auto showLines = [&]() {
    const size_t first = firstFailure.load();
    const size_t last = first < count ? first + 1 : count;
    for (; shown < last && jobs[shown]->finished(); shown++) {
      for (const std::string& line : jobs[shown]->lines()) statusf("%s", line.c_str());
    }
  };
  bool drawn = false;
  int64_t drawnAt = 0;
  auto tick = [&](const std::vector<size_t>& running) {
    showLines();
    const int64_t now = clock->NowMs();
    if (drawn && now - drawnAt < kRefreshMs && now >= drawnAt) return;
    showDownloads(p, jobs, running, false);
    drawn = true;
    drawnAt = now;
  };

  TransferPool pool(parallel_, makeTransport, kRefreshMs);
  size_t failed = count;
  std::string error;
  const bool ok = pool.run(count, run, tick, &failed, &error);
  showLines();
  showDownloads(p, jobs, std::vector<size_t>(), true);
  if (ok) return true;
  if (failed >= count) return setError("Error downloading the packs: %s", error.c_str());
  // The first failure in plan order is the one the serial run would have met.
  const engine::DownloadJob& first = *jobs[firstFailure.load()];
  SetFailureNote(first.note());
  return setError("%s", first.error().c_str());
}

void Updater::showDownloads(const Plan& p,
                            const std::vector<std::unique_ptr<engine::DownloadJob>>& jobs,
                            const std::vector<size_t>& running, bool done) {
  if (!downloadsProgress_) return;
  DownloadsProgress progress{};
  for (const auto& job : jobs) {
    progress.received += job->held.load();
    progress.total += job->expected.load();
  }
  std::vector<DownloadShown> shown;
  for (size_t index : running) {
    shown.push_back({file_part(p.installs[index].file->name.c_str()), jobs[index]->held.load(),
                     jobs[index]->expected.load()});
  }
  progress.running = shown.data();
  progress.count = shown.size();
  progress.done = done;
  downloadsProgress_(&progress);
}

bool Updater::downloadItem(const PlanInstall& item, engine::DownloadJob* job) {
  if (item.sharesPackOf >= 0 || item.packPresent) {
    job->say("Already have %s, skipping download...", item.file->name.c_str());
    return true;
  }
  if (item.patch >= 0 && stagePatch(item, job)) return true;
  if (job->stopped()) return false;
  return downloadPack(item, job);
}

std::string engine::transferErrorText(const TransferError& error) {
  int32_t code = error.DownloadCode();
  return code >= ODL_ERROR_TLS_UNTRUSTED && !error.text.empty() ? error.text
                                                                : DownloadErrorText(code);
}

Transport* Updater::runTransport() {
  if (!transport_) {
    connector_.reset(new NetConnector(net_));
    transport_.reset(new Transport(transferSettings_, connector_.get(), transferClock_));
    transport_->SetRetryMessage([this](const std::string& line) { statusf("%s", line.c_str()); });
  }
  return transport_.get();
}

bool Updater::fetchUrl(const std::string& url, TransferSink* sink, uint64_t maxBytes, bool resume,
                       DownloadProgressCallback progress, void* user, TransferError* error) {
  TransferRequest request;
  request.url = url;
  request.max_bytes = maxBytes;
  request.resume = resume;
  if (progress) {
    request.progress = [progress, user](uint64_t held, uint64_t total) {
      return progress(held, total, user);
    };
  }
  return runTransport()->Fetch(request, sink, error);
}

std::vector<std::string> Updater::packUrls(const UpdateFile* f) {
  std::vector<std::string> urls{f->url};
  if (fileBase_.empty() || f->url.compare(0, fileBase_.size(), fileBase_) != 0) return urls;
  const std::string rest = f->url.substr(fileBase_.size());
  for (const std::string& mirror : mirrors_) {
    urls.push_back(mirror + (!mirror.empty() && mirror.back() != '/' ? "/" : "") + rest);
  }
  return urls;
}

bool Updater::fetchPack(const PlanInstall& item, const std::string& url, bool resume,
                        engine::DownloadJob* job, TransferError* error, bool* cannotOpen) {
  const UpdateFile* f = item.file;
  // A pack is never longer than the document says, or, where it does not say, than zlib's worst
  // case for the file's size (enciphering keeps the length) and a little more.
  uint64_t most = f->packSize > 0
                      ? static_cast<uint64_t>(f->packSize)
                      : compressBound(static_cast<uLong>(f->size > 0 ? f->size : 0)) + kPackMargin;
  TrackedBlock label(zstrdup(file_part(f->name.c_str()), UPD_SRC, __LINE__), UPD_SRC);
  void* user = label.get() ? label.get() : const_cast<char*>(file_part(f->name.c_str()));
  // What an interrupted run left in the download path is continued, not fetched again.
  uint64_t held = 0;
  FilePtr fp(resume ? openStagingAppend(item.downloadPath, &held)
                    : openStagingStream(item.downloadPath, true));
  if (!fp) {
    *cannotOpen = true;
    return error->Set(TransferFailure::kWrite,
                      "Cannot open " + item.downloadPath + ": " + strerror(errno));
  }
  // Packs are written in large blocks rather than the stream's default small ones; the block
  // outlives the stream.
  TrackedBlock writeBuffer(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  if (writeBuffer.get()) setvbuf(fp.get(), writeBuffer.chars(), _IOFBF, kUnpackBlock);
  StreamSink sink(fp.get(), item.downloadPath, held);
  TransferRequest request;
  request.url = url;
  request.max_bytes = most;
  request.resume = resume;
  request.progress = [job, user](uint64_t received, uint64_t total) {
    job->held.store(received);
    if (total > 0) job->expected.store(total);
    if (job->stopped()) return false;
    return !job->progress || job->progress(received, total, user);
  };
  request.cancelled = [job]() { return job->stopped(); };
  bool ok = job->transport->Fetch(request, &sink, error);
  if (fclose(fp.release()) != 0 && ok) {
    return error->Set(TransferFailure::kWrite,
                      "Error writing " + item.downloadPath + ": " + strerror(errno));
  }
  return ok;
}

// The one place where a pack is fetched: its URL, then each mirror, into its download path;
// a pack that does not match its checksum is fetched once more from its first byte.
bool Updater::downloadPack(const PlanInstall& item, engine::DownloadJob* job) {
  const UpdateFile* f = item.file;
  const std::vector<std::string> urls = packUrls(f);
  TransferError error;
  bool cannotOpen = false;
  for (int round = 0; round < 2; round++) {
    bool ok = false;
    for (size_t i = 0; i < urls.size() && !ok; i++) {
      if (i > 0) job->say("Trying mirror %s for %s", urls[i].c_str(), f->name.c_str());
      ok = fetchPack(item, urls[i], round == 0, job, &error, &cannotOpen);
      if (!ok && job->stopped()) return false;
      if (!ok) job->say("%s", error.text.c_str());
      // A local fault (the disk) is the same at every mirror.
      if (!ok && error.failure == TransferFailure::kWrite) break;
    }
    if (!ok) {
      if (cannotOpen) return job->fail("Error opening %s", item.downloadPath.c_str());
      if (error.failure == TransferFailure::kTooLarge && f->packSize > 0) {
        return job->fail("%s", PackTooLong(f->name, f->url, f->packSize).c_str());
      }
      if (error.failure == TransferFailure::kWrite) {
        return job->fail("Error writing %s: %s", item.downloadPath.c_str(), error.text.c_str());
      }
      return job->fail("ODL reports '%s' while downloading '%s'",
                       engine::transferErrorText(error).c_str(), f->name.c_str());
    }
    char have[65] = "";
    if (f->packChecksum.empty() ||
        (hash_file(digestName(), item.downloadPath.c_str(), have, sizeof(have)) &&
         f->packChecksum.equalsNoCase(have))) {
      return true;
    }
    remove(item.downloadPath.c_str());
    if (round == 0) {
      job->say("The pack of %s does not match its checksum; downloading it again", f->name.c_str());
    }
  }
  return job->fail(
      "Checksum does not match for the pack of '%s' (%s); nothing was unpacked or installed",
      f->name.c_str(), f->url.c_str());
}

// ---- Unpacking ----

namespace {

class StdioSink : public UnpackSink {
 public:
  explicit StdioSink(FILE* fp) : fp_(fp) {}
  bool write(const uint8_t* data, size_t n, int* err) override {
    if (fwrite(data, 1, n, fp_.get()) == n) return true;
    *err = errno ? errno : EIO;
    return false;
  }
  bool finish(int* err) override {
    if (fclose(fp_.release()) == 0) return true;
    *err = errno ? errno : EIO;
    return false;
  }

 private:
  FilePtr fp_;
};

// A staged file: written through the installation-directory layer and synced before closing,
// so it is on disk before the commit renames it into place.
class StagedSink : public UnpackSink {
 public:
  explicit StagedSink(std::unique_ptr<DirFile> file) : file_(std::move(file)) {}
  bool write(const uint8_t* data, size_t n, int* err) override {
    return check(file_->Write(data, n), err);
  }
  bool finish(int* err) override { return check(file_->Sync(), err) && check(file_->Close(), err); }
  DirFile* file() { return file_.get(); }

 private:
  static bool check(const DirStatus& s, int* err) {
    if (!s.ok()) *err = s.code();
    return s.ok();
  }
  std::unique_ptr<DirFile> file_;
};

}  // namespace

bool Updater::stageFiles(const Plan& p) {
  if (p.installs.empty()) return true;
  statusf("%s", "");
  statusf("*** Installing Updated Files ***");
  statusf("%s", "");
  TrackedBlock inBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  TrackedBlock outBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  if (!inBlock.get() || !outBlock.get()) return setError("Out of memory for unpacking");
  DirStatus s = dir_->RemoveTree(journal_paths::kStage);
  if (s.ok()) s = dir_->MakeDirs(journal_paths::kStage, 0700);
  if (!s.ok())
    return setError("Error preparing %s%s (%s)", baseDir_.c_str(), journal_paths::kStage,
                    s.message().c_str());
  for (size_t i = 0; i < p.installs.size(); i++) {
    const PlanInstall& item = p.installs[i];
    if (item.file->stagedFromPatch) {
      if (!adoptPatched(item, stagedPath(i))) return false;
      continue;
    }
    statusf("Unpacking %s ...", item.file->name.c_str());
    if (!stageFile(item, stagedPath(i), inBlock.get(), outBlock.get())) return false;
  }
  s = dir_->SyncDir(journal_paths::kStage);
  if (!s.ok())
    return setError("Error syncing %s%s (%s)", baseDir_.c_str(), journal_paths::kStage,
                    s.message().c_str());
  return true;
}

std::string Updater::stagedPath(size_t index) const {
  return std::string(journal_paths::kStage) + "/" + std::to_string(index);
}

// Unpacks the pack of item into the staged file rel, checking the file checksum on the bytes as
// they are written, and gives the copy its modes. True when the copy is known good and synced;
// false with the error set and both the copy and the (damaged) pack removed.
bool Updater::stageFile(const PlanInstall& item, const std::string& rel, void* inBlock,
                        void* outBlock) {
  const UpdateFile* f = item.file;
  const std::string& source = item.downloadPath;
  const std::string shown = baseDir_ + rel;
  FilePtr in;
  int64_t length = 0;
  if (!openPack(source.c_str(), &in, &length)) return failStaging(item, rel);
  std::unique_ptr<DirFile> file;
  DirStatus s = dir_->Create(rel, 0666, &file);
  if (!s.ok())
    return setError("Error opening %s for write! (%s)", shown.c_str(), s.message().c_str());
  StagedSink sink(std::move(file));
  if (f->modes != 0) {
    // A copy without its modes must not be installed as if it had them.
    s = sink.file()->Chmod(f->modes & kModesMask);
    if (!s.ok()) {
      dir_->Unlink(rel);
      return setError("Error setting the modes of %s to %04o (%s)", shown.c_str(),
                      f->modes & kModesMask, s.message().c_str());
    }
  }
  Digest digest{hash_init(digestName())};
  const bool haveDigest = digest.ctx != nullptr;
  bool unpackedOk =
      inflateInto(in.get(), length, &sink, f->key, f->size, inBlock, outBlock, digest.ctx);
  digest.finish();
  char hex[2 * EVP_MAX_MD_SIZE + 1] = "";
  bin_to_hex(digest.sum, digest.size, hex);
  if (!unpackedOk) return failStaging(item, rel);
  if (!haveDigest || !f->checksum.equalsNoCase(hex)) {
    failStaging(item, rel);
    return setError("Checksum does not match for file '%s'!", file_part(f->name.c_str()));
  }
  return true;
}

// A copy already built from a patch beside the pack joins the staged files, synced like them.
bool Updater::adoptPatched(const PlanInstall& item, const std::string& rel) {
  const std::string built = relativeToBase(item.downloadPath + engine::kUnpackSuffix);
  std::unique_ptr<DirFile> file;
  DirStatus s = dir_->Rename(built, rel);
  if (s.ok()) s = dir_->OpenRead(rel, &file);
  if (s.ok() && item.file->modes != 0) s = file->Chmod(item.file->modes & kModesMask);
  if (s.ok()) s = file->Sync();
  return s.ok() || layerError(s);
}

// A pack that cannot be unpacked is damaged: it goes with its partial copy, so the next run
// fetches it again. Always false, with "Error unpacking" and the pack's path.
bool Updater::failStaging(const PlanInstall& item, const std::string& rel) {
  dir_->Unlink(rel);
  dir_->Unlink(relativeToBase(item.downloadPath));
  return setError("Error unpacking %s", item.downloadPath.c_str());
}

bool Updater::openPack(const char* source, FilePtr* in, int64_t* length) {
  in->reset(openStagingStream(source, false));
  if (!*in) return setError("Error opening %s for read!", source);
  *length = streamLength(in->get());
  if (*length <= 0) {
    return setError("Error reading file data! (%s)",
                    *length == 0 ? "empty file" : strerror(errno ? errno : EIO));
  }
  return true;
}

bool Updater::inflateInto(FILE* in, int64_t length, UnpackSink* out, const char* key, int64_t size,
                          void* inBlock, void* outBlock, HashContext* digest) {
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
  InflateEnd endInflate{&zs};

  uint8_t* inBuf = static_cast<uint8_t*>(inBlock);
  uint8_t* outBuf = static_cast<uint8_t*>(outBlock);
  const uint64_t limit = size > 0 ? static_cast<uint64_t>(size) : 0;
  uint64_t produced = 0;
  uint64_t remaining = static_cast<uint64_t>(length);
  bool ended = false;
  int err = 0;
  while (!ended && remaining > 0) {
    size_t want = remaining < kUnpackBlock ? static_cast<size_t>(remaining) : kUnpackBlock;
    errno = 0;
    size_t got = fread(inBuf, 1, want, in);
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
      if (n > 0 && !out->write(outBuf, n, &err)) {
        return setError("Error writing file data! (%s)", strerror(err));
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
  if (!out->finish(&err)) return setError("Error writing file data! (%s)", strerror(err));
  return true;
}

bool Updater::unpackFile(const char* source, const char* destination, const char* key,
                         int64_t size) {
  AutoMutex hold(lock_);
  TrackedBlock inBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  TrackedBlock outBlock(zmalloc(kUnpackBlock, UPD_SRC, __LINE__), UPD_SRC);
  if (!inBlock.get() || !outBlock.get())
    return setError("Error uncompressing data (%d)", Z_MEM_ERROR);
  // Written beside the destination and renamed over it only when complete, so the source may
  // be the destination itself and a failure leaves the destination as it was.
  std::string temp = std::string(destination) + engine::kUnpackSuffix;
  FilePtr in;
  int64_t length = 0;
  if (!openPack(source, &in, &length)) return false;
  bool ok;
  {
    FILE* fp = fopen(temp.c_str(), "wb");
    if (!fp) return setError("Error opening %s for write!", destination);
    StdioSink sink(fp);
    ok = inflateInto(in.get(), length, &sink, key, size, inBlock.get(), outBlock.get(), nullptr);
  }
  if (!ok) {
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
