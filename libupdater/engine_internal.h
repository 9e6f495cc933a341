// Helpers shared by the engine's source files (parse, plan, stage, commit, state); not part of
// the public interface. Each file defines UPD_SRC, its own name for the allocator's records.
//
// Thread rules: the helpers keep no state; callers hold the Updater's lock where they touch it.
#ifndef LIBUPDATER_ENGINE_INTERNAL_H_
#define LIBUPDATER_ENGINE_INTERNAL_H_

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "download_nocurl.h"
#include "failure_note.h"
#include "memleak.h"

class Transport;
class Updater;
struct TransferError;
class TiXmlElement;

namespace engine {

// Temporary document file of fetchInfo, in the working directory.
extern const char kInfoFile[];
// Block size of the streaming unpacker (input and output each) and of pack writes.
const size_t kUnpackBlock = 256 * 1024;
// Suffix of the unpacked file while it is being written and verified.
extern const char kUnpackSuffix[];
// Staging directory below the base directory.
extern const char kStagingDir[];
// State file of the quick check in the staging directory. Its name has a blank, which no pack
// name can have (blanks in URLs become "%20"), so no download path ever meets it.
extern const char kStateFile[];

// Closes a stdio stream when the scope ends.
struct FileCloser {
  void operator()(FILE* fp) const {
    if (fp) fclose(fp);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Where unpacked bytes go.
class UnpackSink {
 public:
  virtual ~UnpackSink() = default;
  // Writes all n bytes. True, or false with the system's error number in *err.
  virtual bool write(const uint8_t* data, size_t n, int* err) = 0;
  // Completes the output (closing, and syncing where it is a staged file). True, or false with
  // the system's error number in *err.
  virtual bool finish(int* err) = 0;
};

// The name and attributes of one element of the document, read from a tree element or from
// the scanner's current element.
class ElementView {
 public:
  virtual ~ElementView() = default;
  // The element's name.
  virtual const char* Value() const = 0;
  // The attribute's value, or null when the element has none of that name.
  virtual const char* Attribute(const char* name) const = 0;
};

// A tree element as the parse steps read it.
class TreeElementView : public ElementView {
 public:
  explicit TreeElementView(const TiXmlElement* e) : e_(e) {}
  const char* Value() const override;
  const char* Attribute(const char* name) const override;

 private:
  const TiXmlElement* e_;
};

// How a streamed pass over the document ended.
enum class StreamOutcome {
  kRead,         // read to the end, every step succeeded
  kFailed,       // read to the end; a step failed (lastError says why)
  kTooDeep,      // elements nest deeper than kMaxDocumentDepth
  kUnsupported,  // left to the tree reading
};

// One pack download of the stage step (the file's patch first where it has one), as one worker
// runs it: the transport it uses, where its status lines go and how it ended. Run serially, it
// speaks through the updater at once; run beside others, it keeps its lines for the thread that
// runs the pool, which gives them out in plan order.
//
// Thread rules: the fields belong to the thread running the job, except held, expected and the
// end state, which the pool's thread reads at any time (finished() before anything else).
class DownloadJob {
 public:
  DownloadJob(size_t index, Updater* direct, const std::atomic<size_t>* firstFailure)
      : index_(index), direct_(direct), firstFailure_(firstFailure) {}
  DownloadJob(const DownloadJob&) = delete;
  DownloadJob& operator=(const DownloadJob&) = delete;

  // A status line: out through the updater now, or kept in lines().
  void say(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Sets the error line of the job; always false.
  bool fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // True once a job earlier in the plan failed: this one is given up without a word, as the
  // serial run would never have started it.
  bool stopped() const { return firstFailure_ && firstFailure_->load() < index_; }
  // Marks the job ended (ok or not), keeping the thread's failure note of a failure.
  void finish(bool ok);
  bool finished() const { return state_.load() != kRunning; }
  bool succeeded() const { return state_.load() == kSucceeded; }

  size_t index() const { return index_; }
  const std::vector<std::string>& lines() const { return lines_; }
  const std::string& error() const { return error_; }
  void clearError() { error_.clear(); }
  const FailureNote& note() const { return note_; }

  Transport* transport = nullptr;
  // Progress of each transfer (serial runs only; the pool's thread draws the others).
  DownloadProgressCallback progress = nullptr;
  // Bytes of the transfer under way: held so far and expected in all (0 when not known).
  std::atomic<uint64_t> held{0};
  std::atomic<uint64_t> expected{0};

 private:
  enum State { kRunning, kSucceeded, kFailed };
  size_t index_;
  Updater* direct_;
  const std::atomic<size_t>* firstFailure_;
  std::vector<std::string> lines_;
  std::string error_;
  FailureNote note_;
  std::atomic<int> state_{kRunning};
};

// The formatted text; no length limit and no tracked block. "vasprintf error" when the format
// cannot be expanded.
std::string vformat(const char* fmt, va_list args);

// The text an "ODL reports" line gives for a failed transfer: the download client's error text,
// or for certificate, proxy and redirect failures the transport's text naming host and cause.
std::string transferErrorText(const TransferError& error);

// True when anything stands at path, a symbolic link whose target is gone included.
bool pathExists(const std::string& path);

// True when url begins with http://, https:// or ftp:// (any case).
bool isAbsoluteUrl(const char* url);

// True when path ends in suffix.
bool endsWith(const std::string& path, const char* suffix);

}  // namespace engine

#endif  // LIBUPDATER_ENGINE_INTERNAL_H_
