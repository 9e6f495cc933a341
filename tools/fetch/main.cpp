// updater-fetch [OPTIONS] URL OUTFILE
//
// Downloads one file with the project's transport: http://host[:port]/path or
// https://host[:port]/path (HTTP/1.1; the server's certificate verified against --ca-file,
// --ca-path or the system store; redirects followed, never from https to http; proxies from
// --proxy/--noproxy or the environment) or ftp://[user[:password]@]host[:port]/path (passive
// mode, anonymous unless a user is given), with the connect and stall time-outs, the crawl
// limit and the retries of the options (--timeout, --speed-limit, --retries) and at most
// --max-size bytes.
// OUTFILE is written from its start; a retry continues where the failed attempt stopped. On a
// terminal a progress line is kept up to date. Each retry is announced on standard error. On
// failure the download client's error text and a line naming what failed go to standard error
// and the exit code is 1.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "connector.h"
#include "download_nocurl.h"
#include "proxy.h"
#include "transport.h"

namespace {

struct Progress {
  bool enabled = false;
  int64_t last_ms = -1;
  bool printed = false;
};

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool ShowProgress(uint64_t received, uint64_t total, void* user_data) {
  Progress* progress = static_cast<Progress*>(user_data);
  int64_t now = NowMs();
  bool done = total > 0 && received >= total;
  if (!done && progress->last_ms >= 0 && now - progress->last_ms < 200) return true;
  progress->last_ms = now;
  if (total > 0) {
    printf("\r%llu of %llu bytes (%d%%)   ", static_cast<unsigned long long>(received),
           static_cast<unsigned long long>(total),
           static_cast<int>(received >= total ? 100 : received * 100 / total));
  } else {
    printf("\r%llu bytes   ", static_cast<unsigned long long>(received));
  }
  fflush(stdout);
  progress->printed = true;
  return true;
}

const char kUsage[] =
    "usage: updater-fetch [--timeout SECONDS] [--speed-limit BYTES/S:SECONDS] [--retries N]\n"
    "                     [--max-size BYTES] [--ca-file FILE] [--ca-path DIR] [--proxy URL]\n"
    "                     [--noproxy LIST] URL OUTFILE\n";

// Reads the options before URL and OUTFILE. False (after a message) for an unknown option or a
// bad value.
bool ParseOptions(int argc, char** argv, TransportSettings* settings, uint64_t* max_bytes,
                  NetOptions* net, std::vector<const char*>* operands) {
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (strncmp(arg, "--", 2) != 0 || arg[2] == '\0') {
      operands->push_back(arg);
      continue;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = false;
    if (strcmp(arg, "--timeout") == 0) {
      ok = ParseTimeoutOption(value, &settings->connect_timeout_ms);
      settings->stall_timeout_ms = settings->connect_timeout_ms;
    } else if (strcmp(arg, "--speed-limit") == 0) {
      ok = ParseSpeedLimitOption(value, &settings->speed_limit_bytes, &settings->speed_time_s);
    } else if (strcmp(arg, "--retries") == 0) {
      ok = ParseRetriesOption(value, &settings->retries);
    } else if (strcmp(arg, "--ca-file") == 0 || strcmp(arg, "--ca-path") == 0 ||
               strcmp(arg, "--proxy") == 0 || strcmp(arg, "--noproxy") == 0) {
      ok = value != nullptr;
      if (ok && arg[2] == 'c') (arg[5] == 'f' ? net->ca_file : net->ca_path) = value;
      if (ok && strcmp(arg, "--proxy") == 0) {
        net->proxy_given = true;
        net->proxy = value;
      }
      if (ok && strcmp(arg, "--noproxy") == 0) {
        net->noproxy_given = true;
        net->noproxy = value;
      }
    } else if (strcmp(arg, "--max-size") == 0) {
      char* end = nullptr;
      errno = 0;
      unsigned long long n = value ? strtoull(value, &end, 10) : 0;
      ok = value && *value >= '0' && *value <= '9' && *end == '\0' && errno == 0 && n > 0;
      if (ok) *max_bytes = n;
    } else {
      fprintf(stderr, "updater-fetch: unknown option %s\n%s", arg, kUsage);
      return false;
    }
    if (!ok) {
      fprintf(stderr, "updater-fetch: bad value for %s: %s\n", arg, value ? value : "(none)");
      return false;
    }
    i++;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  TransportSettings settings;
  uint64_t max_bytes = 0;
  NetOptions net;
  std::vector<const char*> operands;
  if (!ParseOptions(argc, argv, &settings, &max_bytes, &net, &operands)) return 1;
  if (operands.size() != 2) {
    fprintf(stderr, "%s", kUsage);
    return 1;
  }
  // A server that goes away mid-request must end in an error text, not a signal.
  signal(SIGPIPE, SIG_IGN);
  const char* url = operands[0];
  const char* out_path = operands[1];
  Progress progress;
  progress.enabled = isatty(STDOUT_FILENO) != 0;

  TransportUrl parsed;
  TransferError error;
  if (!TransportUrl::Parse(url, &parsed, &error) ||
      (parsed.scheme != "http" && parsed.scheme != "https" && parsed.scheme != "ftp")) {
    fprintf(stderr, "updater-fetch: Invalid URL\n");
    return 1;
  }
  FileSink sink(out_path, false);
  std::string why;
  if (!sink.Open(&why)) {
    fprintf(stderr, "updater-fetch: File Access Error: %s\n", why.c_str());
    return 1;
  }
  NetConnector connector(net);
  Transport transport(settings, &connector);
  transport.SetRetryMessage(
      [](const std::string& line) { fprintf(stderr, "updater-fetch: %s\n", line.c_str()); });
  TransferRequest request;
  request.url = url;
  request.max_bytes = max_bytes;
  if (progress.enabled) {
    request.progress = [&progress](uint64_t held, uint64_t total) {
      return ShowProgress(held, total, &progress);
    };
  }
  bool ok = transport.Fetch(request, &sink, &error);
  if (progress.printed) printf("\n");
  int rc = 0;
  if (!ok) {
    // The client's error text first, then what exactly failed.
    fprintf(stderr, "updater-fetch: %s\nupdater-fetch: %s\n",
            DownloadErrorText(error.DownloadCode()), error.text.c_str());
    rc = 1;
  }
  if (!sink.Close(&why) && rc == 0) {
    fprintf(stderr, "updater-fetch: Error writing file: %s\n", why.c_str());
    rc = 1;
  }
  return rc;
}
