#include "progress.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "memleak.h"

namespace {

// Appends to a fixed buffer, keeping at most `limit` characters and the terminator; whatever
// does not fit is dropped.
class LineBuilder {
 public:
  LineBuilder(char* buf, size_t size, size_t limit) : buf_(buf), limit_(limit) {
    if (size == 0) {
      buf_ = nullptr;
      limit_ = 0;
      return;
    }
    if (limit_ > size - 1) limit_ = size - 1;
    buf_[0] = '\0';
  }

  void Append(const char* text) {
    for (; text && *text && len_ < limit_; text++) buf_[len_++] = *text;
    Terminate();
  }

  void Repeat(char c, long count) {
    for (long i = 0; i < count && len_ < limit_; i++) buf_[len_++] = c;
    Terminate();
  }

  void Printf(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (!buf_ || len_ >= limit_) return;
    va_list args;
    va_start(args, fmt);
    // vsnprintf cuts at the room left, terminator included.
    int n = vsnprintf(buf_ + len_, limit_ - len_ + 1, fmt, args);
    va_end(args);
    if (n > 0)
      len_ += (static_cast<size_t>(n) < limit_ - len_) ? static_cast<size_t>(n) : limit_ - len_;
    Terminate();
  }

  // Pads with blanks up to `width` characters.
  void PadTo(size_t width) {
    if (len_ < width) Repeat(' ', static_cast<long>(width - len_));
  }

  size_t length() const { return len_; }

 private:
  void Terminate() {
    if (buf_) buf_[len_] = '\0';
  }

  char* buf_;
  size_t limit_;
  size_t len_ = 0;
};

// The number of '#' for received out of total on a bar of `width`: never below 0 nor above
// the bar, so a count past the total shows a full bar.
long FilledCells(uint64_t received, uint64_t total, long width) {
  if (width <= 0 || total == 0) return 0;
  double filled = static_cast<double>(received) / static_cast<double>(total) * width;
  if (filled < 1) return 0;
  if (filled >= width) return width;
  return static_cast<long>(filled);
}

void AppendBar(LineBuilder* line, long width, long filled) {
  line->Append("[");
  line->Repeat('#', filled);
  if (filled < width) line->Repeat(' ', width - filled);
}

int64_t MonotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

WidthCache g_width(TerminalColumns, MonotonicNs);

// Prints one progress line built for the current terminal width.
template <typename Format>
void PrintLine(Format format) {
  int columns = g_width.Columns();
  size_t size = static_cast<size_t>(columns) + 2;
  char* buf = static_cast<char*>(zmalloc(static_cast<uint32_t>(size), __FILE__, __LINE__));
  if (!buf) return;
  size_t len = format(buf, size, columns);
  fwrite(buf, 1, len, stdout);
  fflush(stdout);
  zfree(buf, __FILE__, __LINE__);
}

// Name of the file that the named bar showed last; empty before the first call.
char g_lastName[1024] = "";

// The overall bar is on the current line, which no newline has ended yet.
bool g_overallOpen = false;

}  // namespace

int WidthCache::Columns() {
  const int64_t now = clockNs_();
  if (columns_ == 0 || now - askedAt_ >= 1000000000 || now < askedAt_) {
    columns_ = query_();
    askedAt_ = now;
  }
  return columns_;
}

int TerminalColumns() {
  struct winsize ws;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0) return 80;
  return ws.ws_col;
}

size_t FormatPlainBar(char* buf, size_t size, int columns, uint64_t received, uint64_t total) {
  if (columns < 1) columns = 1;
  LineBuilder line(buf, size, static_cast<size_t>(columns));
  if (total == 0) {
    line.Printf("\rDownloading: %lu bytes received          ",
                static_cast<unsigned long>(received));
    return line.length();
  }
  long width = columns - 20;
  if (width < 0) width = 0;
  line.Append("\r");
  AppendBar(&line, width, FilledCells(received, total, width));
  line.Printf("] %lu bytes", static_cast<unsigned long>(received));
  line.PadTo(static_cast<size_t>(columns));
  return line.length();
}

size_t FormatNamedBar(char* buf, size_t size, int columns, const char* name, uint64_t received,
                      uint64_t total) {
  if (columns < 1) columns = 1;
  if (!name) name = "";
  LineBuilder line(buf, size, static_cast<size_t>(columns));
  if (total == 0) {
    line.Printf("\rDownloading %s: %ld bytes received          ", name,
                static_cast<long>(received));
    return line.length();
  }
  char count[32];
  snprintf(count, sizeof(count), "%ld", static_cast<long>(received));
  long width = columns - 11 - static_cast<long>(strlen(name)) - static_cast<long>(strlen(count));
  if (width > columns - 35) width = columns - 35;
  if (width < 0) width = 0;
  line.Append("\r");
  AppendBar(&line, width, FilledCells(received, total, width));
  line.Printf("] %s %s bytes", name, count);
  line.PadTo(static_cast<size_t>(columns));
  return line.length();
}

bool InfoProgress(uint64_t received, uint64_t total, void* /*user*/) {
  PrintLine([&](char* buf, size_t size, int columns) {
    return FormatPlainBar(buf, size, columns, received, total);
  });
  return true;
}

bool FileProgress(uint64_t received, uint64_t total, void* user) {
  const char* name = user ? static_cast<const char*>(user) : "";
  // A name longer than the buffer is remembered cut; compare only what could be kept.
  if (strncasecmp(name, g_lastName, sizeof(g_lastName) - 1) != 0) {
    if (g_lastName[0] != '\0') fputc('\n', stdout);
    snprintf(g_lastName, sizeof(g_lastName), "%s", name);
  }
  PrintLine([&](char* buf, size_t size, int columns) {
    return FormatNamedBar(buf, size, columns, name, received, total);
  });
  return true;
}

size_t FormatOverallBar(char* buf, size_t size, int columns, uint64_t received, uint64_t total,
                        const DownloadShown* running, size_t count) {
  if (columns < 1) columns = 1;
  LineBuilder line(buf, size, static_cast<size_t>(columns));
  line.Append("\r");
  // A third of the line for the bar, none on a narrow terminal or before the total is known.
  long width = columns >= 40 && total > 0 ? columns / 3 : 0;
  if (width > 0) {
    AppendBar(&line, width, FilledCells(received, total, width));
    line.Append("] ");
  }
  if (total > 0) {
    line.Printf("%llu of %llu bytes", static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(total));
  } else {
    line.Printf("%llu bytes", static_cast<unsigned long long>(received));
  }
  for (size_t i = 0; i < count; i++) {
    line.Append(i == 0 ? ": " : ", ");
    line.Append(running[i].name);
  }
  line.PadTo(static_cast<size_t>(columns));
  return line.length();
}

void DownloadsBar(const DownloadsProgress* progress) {
  PrintLine([&](char* buf, size_t size, int columns) {
    return FormatOverallBar(buf, size, columns, progress->received, progress->total,
                            progress->running, progress->count);
  });
  g_overallOpen = !progress->done;
  if (progress->done) {
    fputc('\n', stdout);
    fflush(stdout);
  }
}

void EndProgressLine() {
  if (!g_overallOpen) return;
  fputc('\n', stdout);
  g_overallOpen = false;
}
