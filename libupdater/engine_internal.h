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

#include <memory>
#include <string>

#include "memleak.h"

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
