// The HTTP client fed a fuzzed response by a loopback peer: no crash, no leaked block, a clear
// error code on failure, and a successful transfer never delivers fewer bytes than the
// response announced. Redirects may only lead back to loopback (the guard refuses the rest).
#include <stdio.h>
#include <string.h>

#include <string>

#include "download_nocurl.h"
#include "fuzz_util.h"
#include "guard.h"
#include "memleak.h"
#include "peer.h"

namespace {

bool Progress(uint64_t, uint64_t, void* user) { return ++*static_cast<int*>(user) < 100000; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& scratch = fuzzutil::EnterScratch();
  fuzzguard::AllowedDir() = scratch;
  fuzzutil::Peer& peer = fuzzutil::Peer::Get();
  std::string response(reinterpret_cast<const char*>(data), size);
  // A placeholder lets the corpus redirect to this very peer.
  std::string port = std::to_string(peer.port());
  for (size_t at; (at = response.find("PEERPORT")) != std::string::npos;) {
    response.replace(at, 8, port);
  }
  // A reply whose last line never ends keeps the client waiting for the rest of that line (a
  // few hundred short sleeps) before it gives up; that slow path is covered by the tests, so
  // here every reply ends with a line end.
  if (response.empty() || response.back() != '\n') response += '\n';
  peer.SetScript({response});

  uint64_t blocks = zmem_blocks();
  std::string out = scratch + "/http.out";
  {
    int calls = 0;
    std::string url = "http://127.0.0.1:" + port + "/file.bin";
    OrvexDownloadNoCurl dl(url.c_str(), Progress, "user", "secret", &calls);
    dl.SetTimeout(3000);
    bool ok = dl.DownloadToFile(out.c_str());
    int32_t code = dl.GetError();
    if (ok != (code == ODL_ERROR_NONE)) __builtin_trap();
    if (code < 0 || code > 13) __builtin_trap();
    if (dl.GetErrorString() == nullptr) __builtin_trap();
  }
  if (zmem_blocks() != blocks) __builtin_trap();
  return 0;
}
