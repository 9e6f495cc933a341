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

// The formatted text; no length limit and no tracked block. "vasprintf error" when the format
// cannot be expanded.
std::string vformat(const char* fmt, va_list args);

// True when anything stands at path, a symbolic link whose target is gone included.
bool pathExists(const std::string& path);

// True when url begins with http://, https:// or ftp:// (any case).
bool isAbsoluteUrl(const char* url);

// True when path ends in suffix.
bool endsWith(const std::string& path, const char* suffix);

}  // namespace engine

#endif  // LIBUPDATER_ENGINE_INTERNAL_H_
