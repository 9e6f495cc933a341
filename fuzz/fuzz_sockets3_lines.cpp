// Line reading of the socket layer on arbitrary peer bytes: RecvLine is run over a local stream
// pair with buffer sizes taken from the input and checked against a model of what it must
// return and consume. It never writes past its buffer, always terminates it, takes exactly one
// line (LF, else CR) per successful call and nothing on the incomplete and full cases.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_util.h"
#include "sockets3.h"

namespace {

// What RecvLine must do with `pending` bytes queued and a buffer of `size` bytes.
struct Expected {
  int result;
  size_t consumed;
  std::string text;
};

Expected Model(const std::string& pending, size_t size) {
  if (size < 2) return {-2, 0, ""};
  if (pending.empty()) return {-3, 0, ""};
  size_t n = pending.size() < size - 1 ? pending.size() : size - 1;
  std::string peeked = pending.substr(0, n);
  size_t end = peeked.find('\n');
  if (end == std::string::npos) end = peeked.find('\r');
  if (end == std::string::npos) return {n < size - 1 ? -1 : -2, 0, ""};
  std::string line = pending.substr(0, end + 1);
  std::string text(line.c_str());  // the caller sees text up to the first NUL
  while (!text.empty() && text.back() == '\n') text.pop_back();
  while (!text.empty() && text.back() == '\r') text.pop_back();
  return {static_cast<int>(text.size()), end + 1, text};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Orvex_Sockets3* layer = new Orvex_Sockets3();
  fuzzutil::Input in(data, size);
  std::vector<size_t> sizes;
  for (int i = 0; i < 4; i++) sizes.push_back(in.Byte() % 40);
  std::string stream = in.Rest();

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
  // One write, so that a peek sees everything queued at once.
  if (!stream.empty() &&
      write(pair[1], stream.data(), stream.size()) != static_cast<ssize_t>(stream.size())) {
    close(pair[0]);
    close(pair[1]);
    return 0;
  }
  shutdown(pair[1], SHUT_WR);

  ORVEX_SOCKET* h = layer->Create(AF_UNIX, SOCK_STREAM, 0, 0);
  if (h == nullptr) __builtin_trap();
  dup2(pair[0], h->sock);
  close(pair[0]);

  std::string pending = stream;
  for (int round = 0; round < 4096; round++) {
    size_t buf_size = sizes[round % sizes.size()];
    // The buffer sits in its own heap block, so AddressSanitizer sees any write past it.
    std::vector<char> buf(buf_size == 0 ? 1 : buf_size, '#');
    Expected want = Model(pending, buf_size);
    int got = layer->RecvLine(h, buf.data(), static_cast<uint32_t>(buf_size));
    if (got != want.result) __builtin_trap();
    if (got >= 0) {
      if (strnlen(buf.data(), buf.size()) != static_cast<size_t>(got)) __builtin_trap();
      if (want.text != buf.data()) __builtin_trap();
    }
    pending.erase(0, want.consumed);
    if (got == -3 || (got == -2 && pending.empty())) break;
    if (got == -1 || got == -2) {
      // Drop what cannot form a line in this buffer, as a caller would, so the loop advances.
      size_t drop = pending.size() < 7 ? pending.size() : 7;
      std::vector<char> sink(drop + 1);
      if (drop > 0 &&
          layer->Recv(h, sink.data(), static_cast<uint32_t>(drop)) != static_cast<int>(drop)) {
        __builtin_trap();
      }
      pending.erase(0, drop);
    }
  }
  layer->Close(h);
  close(pair[1]);
  return 0;
}
