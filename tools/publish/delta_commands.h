// The diff and apply commands of updater-publish: make a patch between two files, and apply one,
// in the format the publisher puts in sites (docs/delta-format.md).
//
// Thread rules: each runs once, on the main thread.
#ifndef TOOLS_PUBLISH_DELTA_COMMANDS_H_
#define TOOLS_PUBLISH_DELTA_COMMANDS_H_

// `diff OLD NEW PATCH [--level N] [--no-gzip] [--quiet]`; argv[0] is "diff". Returns the exit code:
// 0 on success, 1 when the patch could not be made (message on standard error), 2 for a usage
// error.
int RunDiffCommand(int argc, char** argv);

// `apply OLD PATCH NEW`; argv[0] is "apply". Returns 0 on success, 1 when the patch could not
// be applied (message on standard error, NEW not left behind), 2 for a usage error.
int RunApplyCommand(int argc, char** argv);

#endif  // TOOLS_PUBLISH_DELTA_COMMANDS_H_
