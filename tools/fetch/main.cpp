// updater-fetch [--ca-file FILE] [--ca-path DIR] [--proxy URL] [--noproxy LIST] URL OUTFILE
//
// Downloads one file with the project's download client: http://host[:port]/path or
// https://host[:port]/path (the server's certificate verified; redirects followed, never from
// https to http; proxies from the options or the environment) or
// ftp://[user[:password]@]host[:port]/path (passive mode, anonymous unless a user is given). On
// a terminal a progress line is kept up to date. On failure the client's error text goes to
// standard error and the exit code is 1.
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "download_nocurl.h"

namespace {

const char kUsage[] =
    "usage: updater-fetch URL OUTFILE\n"
    "       options before URL: --ca-file FILE, --ca-path DIR, --proxy URL, --noproxy LIST\n";

enum { OPT_CA_FILE = 256, OPT_CA_PATH, OPT_PROXY, OPT_NOPROXY };

const struct option kOptions[] = {
    {"ca-file", required_argument, nullptr, OPT_CA_FILE},
    {"ca-path", required_argument, nullptr, OPT_CA_PATH},
    {"proxy", required_argument, nullptr, OPT_PROXY},
    {"noproxy", required_argument, nullptr, OPT_NOPROXY},
    {nullptr, 0, nullptr, 0},
};

// Reads the options into *net. False (message printed) on an unknown option or a missing
// argument.
bool ParseOptions(int argc, char** argv, NetOptions* net) {
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    switch (c) {
      case OPT_CA_FILE:
        net->ca_file = optarg;
        break;
      case OPT_CA_PATH:
        net->ca_path = optarg;
        break;
      case OPT_PROXY:
        net->proxy_given = true;
        net->proxy = optarg;
        break;
      case OPT_NOPROXY:
        net->noproxy_given = true;
        net->noproxy = optarg;
        break;
      default:
        fprintf(stderr, "updater-fetch: unknown option or missing argument: %s\n",
                argv[optind - 1]);
        return false;
    }
  }
  return true;
}

// Size of the destination file's output buffer (see main).
const size_t kOutputBufferSize = 128 * 1024;

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

// Splits ftp://[user[:password]@]host[:port]/path. False when the address has no host or path.
bool ParseFtpAddress(const char* url, std::string* user, std::string* password, bool* has_user,
                     std::string* host, int* port, std::string* path) {
  std::string rest(url + 6);
  size_t slash = rest.find('/');
  if (slash == std::string::npos || slash == 0) return false;
  std::string authority = rest.substr(0, slash);
  *path = rest.substr(slash);
  size_t at = authority.rfind('@');
  *has_user = at != std::string::npos;
  if (*has_user) {
    std::string credentials = authority.substr(0, at);
    authority = authority.substr(at + 1);
    size_t colon = credentials.find(':');
    *user = credentials.substr(0, colon);
    *password = colon == std::string::npos ? "" : credentials.substr(colon + 1);
  }
  *port = 21;
  size_t colon = authority.find(':');
  if (colon != std::string::npos) {
    *port = atoi(authority.c_str() + colon + 1);
    authority.resize(colon);
  }
  *host = authority;
  return !host->empty();
}

}  // namespace

int main(int argc, char** argv) {
  NetOptions net;
  if (!ParseOptions(argc, argv, &net) || argc - optind != 2) {
    fprintf(stderr, "%s", kUsage);
    return 1;
  }
  // A server that goes away mid-request must end in an error text, not a signal.
  signal(SIGPIPE, SIG_IGN);
  const char* url = argv[optind];
  const char* out_path = argv[optind + 1];
  Progress progress;
  progress.enabled = isatty(STDOUT_FILENO) != 0;
  DownloadProgressCallback callback = progress.enabled ? ShowProgress : nullptr;

  std::unique_ptr<OrvexDownloadNoCurl> client;
  if (strncasecmp(url, "ftp://", 6) == 0) {
    std::string user, password, host, path;
    bool has_user = false;
    int port = 0;
    if (!ParseFtpAddress(url, &user, &password, &has_user, &host, &port, &path)) {
      fprintf(stderr, "updater-fetch: Invalid URL\n");
      return 1;
    }
    client.reset(new OrvexDownloadNoCurl(ODL_PROTOCOL_FTP, host.c_str(), port, path.c_str(),
                                         callback, has_user ? user.c_str() : nullptr,
                                         has_user ? password.c_str() : nullptr, &progress));
  } else {
    client.reset(new OrvexDownloadNoCurl(url, callback, nullptr, nullptr, &progress));
    client->SetFollowRedirects(true);
    client->SetNetOptions(net);
  }
  if (client->GetError() != ODL_ERROR_NONE) {
    fprintf(stderr, "updater-fetch: %s\n", client->GetErrorString());
    return 1;
  }

  FILE* fp = fopen(out_path, "wb");
  if (!fp) {
    fprintf(stderr, "updater-fetch: File Access Error: %s: %s\n", out_path, strerror(errno));
    return 1;
  }
  // The client hands over blocks of at most 16 KiB. Collecting them into 128 KiB writes costs
  // one copy but far less kernel time per byte than writing each block on its own; much larger
  // writes are slower again, once the buffer no longer stays in the processor's cache.
  static char output_buffer[kOutputBufferSize];
  setvbuf(fp, output_buffer, _IOFBF, sizeof(output_buffer));

  bool ok = client->DownloadToFP(fp);
  if (progress.printed) printf("\n");
  int rc = 0;
  if (!ok) {
    fprintf(stderr, "updater-fetch: %s\n", client->GetErrorDetail());
    rc = 1;
  }
  if (fclose(fp) != 0 && rc == 0) {
    fprintf(stderr, "updater-fetch: Error writing file: %s: %s\n", out_path, strerror(errno));
    rc = 1;
  }
  return rc;
}
