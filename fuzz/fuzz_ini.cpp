// INI files on arbitrary text: reads never crash, and a write followed by a read of the same
// key returns the value written (as the format normalises it).
#include <stdio.h>
#include <string.h>

#include <string>

#include "fuzz_util.h"
#include "ini-reader.h"
#include "memleak.h"

namespace {

// Keeps only bytes that the format can carry in the given role.
std::string Clean(const std::string& s, const char* banned) {
  std::string out;
  for (char c : s) {
    if (c == '\0' || strchr(banned, c)) continue;
    out += c;
  }
  return out;
}

// What a reader sees of a written value: CRs gone, TABs as spaces, single spaces, trimmed.
std::string Normalise(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '\r') continue;
    if (c == '\t') c = ' ';
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out += c;
  }
  size_t b = out.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  size_t e = out.find_last_not_of(' ');
  return out.substr(b, e - b + 1);
}

bool PlainName(const std::string& s) {
  if (s.empty() || s.front() == ' ' || s.back() == ' ' || s.front() == '[') return false;
  for (size_t i = 0; i < s.size(); i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7f) return false;
    if (c == ' ' && i > 0 && s[i - 1] == ' ') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Input in(data, size);
  std::string section = Clean(in.Piece(24), "]\n");
  std::string key = Clean(in.Piece(24), "=\n");
  std::string value = Clean(in.Piece(64), "\n");
  std::string text = Clean(in.Rest(), "");

  uint64_t blocks_before = zmem_blocks();
  std::string path = fuzzutil::ScratchDir() + "/fuzz.ini";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);

  char out[128];
  char mem_out[128];
  char* from_file =
      Get_INI_String(path.c_str(), section.c_str(), key.c_str(), out, sizeof(out), nullptr);
  char* from_mem = Get_INI_String_Memory(text.c_str(), section.c_str(), key.c_str(), mem_out,
                                         sizeof(mem_out), nullptr);
  if (!text.empty() && (from_file == nullptr) != (from_mem == nullptr)) __builtin_trap();
  if (from_file && strcmp(out, mem_out) != 0) __builtin_trap();
  Get_INI_Int(path.c_str(), section.c_str(), key.c_str(), -1);

  if (PlainName(section) && PlainName(key)) {
    int rc = Write_INI_String(path.c_str(), section.c_str(), key.c_str(), value.c_str());
    if (rc == 0) {
      char back[256];
      if (!Get_INI_String(path.c_str(), section.c_str(), key.c_str(), back, sizeof(back),
                          nullptr)) {
        __builtin_trap();
      }
      if (Normalise(value) != back) __builtin_trap();
    } else if (!text.empty()) {
      __builtin_trap();  // only an empty file is refused
    }
  }
  if (zmem_blocks() != blocks_before) __builtin_trap();
  return 0;
}
