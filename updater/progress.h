// Terminal progress bars of the command-line updater. The engine calls them back during
// downloads: InfoProgress for the update-information document, FileProgress for each pack
// (its user value is the file's name) when packs come one at a time, DownloadsBar for all packs
// together when several come at once. Each call rewrites the current terminal line (leading
// carriage return, no newline) with a bar fitted to the width of the terminal on standard
// output, 80 columns when that is not a terminal. Lines are built in a buffer of columns + 2
// bytes and never run past it, whatever the counts, name or width.
//
// Thread rules: main thread only (the engine calls DownloadsBar on the thread that runs the
// update, never on its download workers). FileProgress keeps the name of the file last shown,
// and DownloadsBar whether its line is open, in process-wide state without a lock.
#ifndef UPDATER_PROGRESS_H_
#define UPDATER_PROGRESS_H_

#include <stddef.h>
#include <stdint.h>

#include "libupdater.h"

// Column count of the terminal on standard output; 80 when the query fails or reports 0.
int TerminalColumns();

// The terminal width, asked of query at most once per second of the clock: a transfer draws a
// bar for every block it receives, and the width seldom changes.
class WidthCache {
 public:
  WidthCache(int (*query)(), int64_t (*clockNs)()) : query_(query), clockNs_(clockNs) {}
  // The width query gave within the last second, or a fresh one.
  int Columns();

 private:
  int (*query_)();
  int64_t (*clockNs_)();
  int columns_ = 0;
  int64_t askedAt_ = 0;
};

// Builds the line of the plain bar for a terminal of the given width into buf (size bytes,
// always terminated). Returns the length of the text in buf.
size_t FormatPlainBar(char* buf, size_t size, int columns, uint64_t received, uint64_t total);

// Builds the line of the named bar for a terminal of the given width into buf (size bytes,
// always terminated). Returns the length of the text in buf.
size_t FormatNamedBar(char* buf, size_t size, int columns, const char* name, uint64_t received,
                      uint64_t total);

// Progress of the update-information download; prints the plain bar. Always true.
bool InfoProgress(uint64_t received, uint64_t total, void* user);

// Progress of one pack download (user = the file's name as text); prints the named bar,
// starting a new line when the name changes. Always true.
bool FileProgress(uint64_t received, uint64_t total, void* user);

// Builds the line of the overall bar for a terminal of the given width into buf (size bytes,
// always terminated): the bar of received out of total bytes, the counts, then the names of the
// count downloads under way as far as they fit. Returns the length of the text in buf.
size_t FormatOverallBar(char* buf, size_t size, int columns, uint64_t received, uint64_t total,
                        const DownloadShown* running, size_t count);

// Progress of all pack downloads of a run (the engine's downloads progress); redraws the
// overall bar, and ends its line when the downloads are done.
void DownloadsBar(const DownloadsProgress* progress);

// Ends the line of the overall bar when one is open, so that the next line of text starts on a
// line of its own; does nothing otherwise.
void EndProgressLine();

#endif  // UPDATER_PROGRESS_H_
