// The patch applier on arbitrary bytes: it never crashes, leaks or reads outside the old file,
// and whatever it accepts is exactly the file the patch names. Three shapes of input:
//   mode 0  old file and raw patch bytes;
//   mode 1  the same with the header checksum made right, so the fuzzer reaches the streams;
//   mode 2  a genuine patch between two fuzzed files, damaged at one fuzzed byte: applying it
//           either fails or gives the new file;
//   mode 3  the same between two gzip files of fuzzed contents (zlib at a fuzzed level), so
//           that damage falls into a recompression recipe and the streams of the contents.
#include <openssl/evp.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <string>

#include "delta.h"
#include "fuzz_util.h"

namespace {

int MemFd(const std::string& data) {
  int fd = memfd_create("fuzz-delta", MFD_CLOEXEC);
  if (fd < 0) abort();
  if (!data.empty() && write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
    abort();
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string Contents(int fd) {
  std::string s;
  char buf[65536];
  ssize_t n;
  lseek(fd, 0, SEEK_SET);
  while ((n = read(fd, buf, sizeof(buf))) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

// Applies; true with *out when accepted.
bool Apply(const std::string& old_data, const std::string& patch, std::string* out) {
  int old_fd = MemFd(old_data), patch_fd = MemFd(patch), out_fd = MemFd("");
  std::string error;
  bool ok = DeltaApplyFd(old_fd, patch_fd, out_fd, &error);
  if (!ok && error.empty()) __builtin_trap();
  *out = Contents(out_fd);
  close(old_fd);
  close(patch_fd);
  close(out_fd);
  return ok;
}

// A gzip file of data made by zlib at level (1 to 9).
std::string Gzip(const std::string& data, int level) {
  z_stream s = {};
  if (deflateInit2(&s, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) abort();
  std::string out(deflateBound(&s, data.size()) + 32, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = static_cast<uInt>(out.size());
  if (deflate(&s, Z_FINISH) != Z_STREAM_END) abort();
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// An accepted output must have the size and digest the header names.
void CheckAccepted(const std::string& patch, const std::string& out) {
  if (patch.size() < kDeltaHeaderSize) __builtin_trap();
  uint64_t size = 0;
  for (int i = 7; i >= 0; --i) size = (size << 8) | static_cast<uint8_t>(patch[24 + i]);
  unsigned char digest[32];
  EVP_Digest(out.data(), out.size(), digest, nullptr, EVP_sha256(), nullptr);
  if (size != out.size() || memcmp(digest, patch.data() + 64, 32) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Input in(data, size);
  uint8_t mode = in.Byte() % 4;
  std::string old_data = in.Piece(1024);
  std::string out;
  if (mode >= 2) {
    std::string new_data = in.Piece(1024);
    if (mode == 3) {
      const int level = 1 + in.Byte() % 9;
      old_data = Gzip(old_data, level);
      new_data = Gzip(new_data, level);
    }
    size_t at = in.Byte() * 256 + in.Byte();
    uint8_t flip = in.Byte();
    std::string patch, error;
    DeltaMakeOptions options;
    options.level = 1;
    if (!DeltaMake(reinterpret_cast<const uint8_t*>(old_data.data()), old_data.size(),
                   reinterpret_cast<const uint8_t*>(new_data.data()), new_data.size(), options,
                   &patch, nullptr, &error)) {
      __builtin_trap();
    }
    if (!Apply(old_data, patch, &out) || out != new_data) __builtin_trap();
    patch[at % patch.size()] ^= flip;
    if (Apply(old_data, patch, &out) && out != new_data) __builtin_trap();
    return 0;
  }
  std::string patch = in.Rest();
  if (mode == 1 && patch.size() >= kDeltaHeaderSize) {
    uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(patch.data()), kDeltaHeaderSize - 4));
    for (int i = 0; i < 4; ++i) patch[kDeltaHeaderSize - 4 + i] = static_cast<char>(crc >> (8 * i));
  }
  if (Apply(old_data, patch, &out)) CheckAccepted(patch, out);
  return 0;
}
