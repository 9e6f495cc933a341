// Reads an update-information document with the installed engine and prints its file count
// and the SHA-256 of the document, taken with the installed support library.
#include <stdio.h>

#include "hash.h"
#include "libupdater.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: consumer DOCUMENT BASEDIR/\n");
    return 2;
  }
  Updater updater;
  UpdaterCallbacks callbacks = {nullptr, nullptr, nullptr, nullptr};
  updater.setup("http://127.0.0.1:1/updates/x.info", argv[2], "consumer", "", &callbacks);
  if (!updater.loadInfoFile(argv[1]) || !updater.parseInfo()) {
    fprintf(stderr, "consumer: %s\n", updater.lastError());
    return 1;
  }
  char digest[65];
  if (!hash_file("sha256", argv[1], digest, sizeof(digest))) return 1;
  printf("files %d sha256 %s\n", updater.fileCount(), digest);
  return 0;
}
