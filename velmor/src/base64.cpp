#include "base64.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of an alphabet character, or -1 for any other character.
int SextetOf(char ch) {
  if (ch >= 'A' && ch <= 'Z') return ch - 'A';
  if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
  if (ch >= '0' && ch <= '9') return ch - '0' + 52;
  if (ch == '+') return 62;
  if (ch == '/') return 63;
  return -1;
}

}  // namespace

size_t base64_encode(const void* input, size_t length, char* output) {
  const unsigned char* in = static_cast<const unsigned char*>(input);
  char* out = output;
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    unsigned int group = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    *out++ = kAlphabet[(group >> 18) & 0x3F];
    *out++ = kAlphabet[(group >> 12) & 0x3F];
    *out++ = kAlphabet[(group >> 6) & 0x3F];
    *out++ = kAlphabet[group & 0x3F];
  }
  size_t rest = length - i;
  if (rest == 1) {
    unsigned int group = in[i] << 16;
    *out++ = kAlphabet[(group >> 18) & 0x3F];
    *out++ = kAlphabet[(group >> 12) & 0x3F];
    *out++ = '=';
    *out++ = '=';
  } else if (rest == 2) {
    unsigned int group = (in[i] << 16) | (in[i + 1] << 8);
    *out++ = kAlphabet[(group >> 18) & 0x3F];
    *out++ = kAlphabet[(group >> 12) & 0x3F];
    *out++ = kAlphabet[(group >> 6) & 0x3F];
    *out++ = '=';
  }
  *out = '\0';
  return static_cast<size_t>(out - output);
}

int64_t base64_decode(const char* input, size_t length, void* output) {
  if (length == 0) return 0;
  if (input == nullptr || length < 4 || length % 4 != 0) return -1;
  // At most two trailing "=" are padding; any other "=" is a fault below.
  size_t n = length;
  if (input[n - 1] == '=') {
    --n;
    if (input[n - 1] == '=') --n;
  }
  unsigned char* out = static_cast<unsigned char*>(output);
  int64_t written = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    int a = SextetOf(input[i]), b = SextetOf(input[i + 1]);
    int c = SextetOf(input[i + 2]), d = SextetOf(input[i + 3]);
    if (a < 0 || b < 0 || c < 0 || d < 0) return -1;
    unsigned int group = (a << 18) | (b << 12) | (c << 6) | d;
    out[written++] = static_cast<unsigned char>(group >> 16);
    out[written++] = static_cast<unsigned char>(group >> 8);
    out[written++] = static_cast<unsigned char>(group);
  }
  size_t rest = n - i;
  if (rest >= 2) {
    int a = SextetOf(input[i]), b = SextetOf(input[i + 1]);
    int c = rest == 3 ? SextetOf(input[i + 2]) : 0;
    if (a < 0 || b < 0 || c < 0) return -1;
    unsigned int group = (a << 18) | (b << 12) | (c << 6);
    out[written++] = static_cast<unsigned char>(group >> 16);
    if (rest == 3) out[written++] = static_cast<unsigned char>(group >> 8);
  }
  return written;
}
