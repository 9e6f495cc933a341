// The passive-FTP client driven by a fuzzed reply script from a loopback peer: the input's
// lines are the server's replies, one per command the client sends (the first is the greeting);
// "PASVPORT" stands for the peer's data port as "p1,p2", and the bytes after a line holding
// only "DATA" are what the data connection carries. No crash, no leaked block, and a result
// that agrees with the error code.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "download_nocurl.h"
#include "fuzz_util.h"
#include "guard.h"
#include "memleak.h"
#include "peer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& scratch = fuzzutil::EnterScratch();
  fuzzguard::AllowedDir() = scratch;
  fuzzutil::Peer& peer = fuzzutil::Peer::Get();
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string payload;
  size_t cut = text.find("\nDATA\n");
  if (cut != std::string::npos) {
    payload = text.substr(cut + 6);
    text.erase(cut + 1);
  }
  std::string pasv =
      std::to_string(peer.data_port() / 256) + "," + std::to_string(peer.data_port() % 256);
  for (size_t at; (at = text.find("PASVPORT")) != std::string::npos;) text.replace(at, 8, pasv);
  std::vector<std::string> replies;
  size_t start = 0;
  while (start < text.size() && replies.size() < 64) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size() - 1;
    replies.push_back(text.substr(start, nl - start + 1));
    start = nl + 1;
  }
  peer.SetScript(replies);
  peer.SetData(payload);

  uint64_t blocks = zmem_blocks();
  std::string out = scratch + "/ftp.out";
  {
    OrvexDownloadNoCurl dl(ODL_PROTOCOL_FTP, "127.0.0.1", peer.port(), "/pub/file.bin", nullptr,
                           "user", "pass", nullptr);
    dl.SetTimeout(3000);
    bool ok = dl.DownloadToFile(out.c_str());
    if (ok && dl.GetError() != ODL_ERROR_NONE) __builtin_trap();
    if (dl.GetErrorString() == nullptr) __builtin_trap();
  }
  if (zmem_blocks() != blocks) __builtin_trap();
  return 0;
}
