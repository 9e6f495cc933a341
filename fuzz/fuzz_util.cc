#include "fuzz_util.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace fuzzutil {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

std::string* g_scratch = nullptr;

void RemoveScratch() {
  if (g_scratch) nftw(g_scratch->c_str(), RemoveEntry, 32, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string& ScratchDir() {
  if (!g_scratch) {
    char templ[] = "/tmp/velmor-fuzz-XXXXXX";
    if (!mkdtemp(templ)) abort();
    g_scratch = new std::string(templ);
    atexit(RemoveScratch);
  }
  return *g_scratch;
}

uint8_t Input::Byte() {
  if (size_ == 0) return 0;
  uint8_t b = *data_++;
  size_--;
  return b;
}

std::string Input::Piece(size_t max_len) {
  size_t n = Byte();
  if (max_len > 255) n = n * 256 + Byte();
  n %= max_len + 1;
  if (n > size_) n = size_;
  std::string s(reinterpret_cast<const char*>(data_), n);
  data_ += n;
  size_ -= n;
  return s;
}

std::string Input::Rest() {
  std::string s(reinterpret_cast<const char*>(data_), size_);
  data_ += size_;
  size_ = 0;
  return s;
}

}  // namespace fuzzutil
