// bench-hashfile [DIGEST] PATH: prints the hex digest of PATH computed through hash_file, in the
// form sha256sum prints ("HEX  PATH"). DIGEST defaults to sha256. Used by bench/run.sh to time
// hash_file against openssl dgst.
#include <cstdio>
#include <cstring>

#include "hash.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: %s [DIGEST] PATH\n", argv[0]);
    return 2;
  }
  const char* digest = argc == 3 ? argv[1] : "sha256";
  const char* path = argv[argc - 1];
  char text[129];
  memset(text, 0, sizeof(text));
  if (!hash_file(digest, path, text, sizeof(text))) {
    fprintf(stderr, "%s: cannot compute %s of %s\n", argv[0], digest, path);
    return 1;
  }
  printf("%s  %s\n", text, path);
  return 0;
}
