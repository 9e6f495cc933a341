#include "delta_commands.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "delta.h"

namespace {

bool ParseLevel(const char* text, int* out) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (!*text || *end || v < 1 || v > 22) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

int RunDiffCommand(int argc, char** argv) {
  enum { kLevel = 1000, kQuiet, kNoGzip };
  static const struct option kOptions[] = {{"level", required_argument, nullptr, kLevel},
                                           {"quiet", no_argument, nullptr, kQuiet},
                                           {"no-gzip", no_argument, nullptr, kNoGzip},
                                           {nullptr, 0, nullptr, 0}};
  DeltaMakeOptions options;
  bool quiet = false;
  int c;
  while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    switch (c) {
      case kLevel:
        if (!ParseLevel(optarg, &options.level)) {
          fprintf(stderr, "updater-publish: --level must be from 1 to 22 for diff\n");
          return 2;
        }
        break;
      case kQuiet:
        quiet = true;
        break;
      case kNoGzip:
        options.gzip = false;
        break;
      default:
        fprintf(stderr,
                "Usage: updater-publish diff OLD NEW PATCH [--level N] [--no-gzip] [--quiet]\n");
        return 2;
    }
  }
  if (argc - optind != 3) {
    fprintf(stderr, "updater-publish diff: expected OLD, NEW and PATCH\n");
    return 2;
  }
  DeltaStats stats;
  std::string error;
  if (!DeltaMakeFile(argv[optind], argv[optind + 1], argv[optind + 2], options, &stats, &error)) {
    fprintf(stderr, "updater-publish: %s\n", error.c_str());
    return 1;
  }
  if (!quiet) {
    printf(
        "Wrote %s: %llu bytes (%s%llu entries; control %llu, difference %llu of %llu, extra "
        "%llu of %llu)\n",
        argv[optind + 2], static_cast<unsigned long long>(stats.patch_bytes),
        stats.gzip ? ("gzip contents, recipe " + std::to_string(stats.recipe_bytes) + "; ").c_str()
                   : "",
        static_cast<unsigned long long>(stats.entries),
        static_cast<unsigned long long>(stats.control_packed),
        static_cast<unsigned long long>(stats.diff_packed),
        static_cast<unsigned long long>(stats.diff_bytes),
        static_cast<unsigned long long>(stats.extra_packed),
        static_cast<unsigned long long>(stats.extra_bytes));
  }
  return 0;
}

int RunApplyCommand(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "Usage: updater-publish apply OLD PATCH NEW\n");
    return 2;
  }
  std::string error;
  if (!DeltaApplyFile(argv[1], argv[2], argv[3], &error)) {
    fprintf(stderr, "updater-publish: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
