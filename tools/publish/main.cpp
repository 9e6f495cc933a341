// updater-publish: publishes a release tree as a site for the updater, and serves a site locally.
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "delta_commands.h"
#include "publisher.h"
#include "signing.h"
#include "static_server.h"
#include "version_info.h"

namespace {

void Usage(FILE* out) {
  fputs(
      "Usage:\n"
      "  updater-publish publish RELEASE SITE (--site-url URL | --file-base URL) [options]\n"
      "  updater-publish serve SITE [--port N] [--bind ADDRESS] [--port-file FILE] [--quiet]\n"
      "                        [--tls-cert FILE --tls-key FILE]\n"
      "  updater-publish keygen --secret-key FILE --public-key FILE [--password-file FILE]\n"
      "  updater-publish sign DOCUMENT --sign-key FILE [--password-file FILE] [--expires-in DAYS]\n"
      "                  [--serial N]\n"
      "  updater-publish diff OLD NEW PATCH [--level N] [--no-gzip] [--quiet]\n"
      "  updater-publish apply OLD PATCH NEW\n"
      "  updater-publish --help | --version\n"
      "\n"
      "publish: writes the packs of RELEASE under SITE/files/ and its update-information\n"
      "documents under SITE/updates/.\n"
      "  --site-url URL       URL at which SITE is served; packs are at URL/files/\n"
      "  --file-base URL      URL of SITE/files/ itself (instead of --site-url)\n"
      "  --mirror URL         URL of a copy of SITE/files/ that clients try when a pack fails\n"
      "                       (repeatable; tried in the order given)\n"
      "  --groups FILE        package groups (INI file, see README)\n"
      "  --app NAME           application name (default: the release directory's name)\n"
      "  --author TEXT        author (default: empty)\n"
      "  --home-url URL       home page (default: the site URL or file base)\n"
      "  --type T             installation type 3, 4 or 5 (repeatable; default 5)\n"
      "  --kind K             installation kind full or basic (repeatable; default full)\n"
      "  --platform P         platform (repeatable; default debian9.x86_64)\n"
      "  --encrypt            encipher every new pack with RC4 under a fresh random key\n"
      "  --info-version N     document version: 2 (SHA-256, groups; default) or 1 (MD5)\n"
      "  --previous FILE      previous release's document (default: the one in SITE)\n"
      "  --no-previous        publish as a first release: no deletions, no kept packs\n"
      "  --level N            deflate level 1 to 9 (default 6)\n"
      "  --deltas N           patches from each of the last N releases in SITE (default 2;\n"
      "                       0: none)\n"
      "  --delta-max-size MIB no patches for files larger than MIB MiB (default 512)\n"
      "  --quiet              print nothing on success\n"
      "  --sign-key FILE      sign every document with this minisign secret key, writing\n"
      "                       DOCUMENT.minisig beside it (repeatable: one signature per key)\n"
      "  --password-file FILE password of the --sign-key before it (first line of FILE)\n"
      "  --serial N           the documents' serial (default: one more than the previous)\n"
      "  --expires-in DAYS    the documents expire DAYS days from now (default 30)\n"
      "\n"
      "keygen: writes a new key pair in minisign's format; never overwrites a file. The\n"
      "secret key is encrypted with the password on the first line of --password-file, or\n"
      "left unencrypted without it.\n"
      "\n"
      "sign: sets DOCUMENT's serial (one more than it had, or --serial N) and expiry\n"
      "(--expires-in DAYS, default 30) and writes it and DOCUMENT.minisig; options as for\n"
      "publish.\n"
      "\n"
      "serve: answers HTTP/1.0 GET and HEAD requests with the files of SITE.\n"
      "  --port N             port to listen on (default 8080; 0 picks a free one)\n"
      "  --bind ADDRESS       local address to listen on (default 127.0.0.1; * for all)\n"
      "  --port-file FILE     write the port to FILE once listening\n"
      "  --quiet              do not log requests\n"
      "  --tls-cert FILE      serve HTTPS with this certificate (PEM, chain after it)\n"
      "  --tls-key FILE       the certificate's private key (PEM)\n"
      "\n"
      "diff: writes the patch that turns OLD into NEW (zstd level N, 1 to 22; default 19);\n"
      "  between the uncompressed contents of two gzip files unless --no-gzip is given.\n"
      "apply: builds NEW from OLD and PATCH, checking both files' SHA-256 digests.\n",
      out);
}

bool ParseInt(const char* text, long lo, long hi, long* out) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (!*text || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::string BaseName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The signing options shared by publish and sign, numbered from 0 in this order: --sign-key,
// --password-file, --serial, --expires-in. 0 when taken; 2 after a usage message.
int SigningOption(int which, std::vector<SignKeySpec>* keys, uint64_t* serial, int* days) {
  long num = 0;
  switch (which) {
    case 0:
      keys->push_back({optarg, ""});
      return 0;
    case 1:
      if (keys->empty() || !keys->back().password_file.empty()) {
        fprintf(stderr, "updater-publish: --password-file must follow the --sign-key it opens\n");
        return 2;
      }
      keys->back().password_file = optarg;
      return 0;
    case 2: {
      char* end = nullptr;
      errno = 0;
      unsigned long long v = strtoull(optarg, &end, 10);
      if (!*optarg || *end || *optarg == '-' || errno != 0 || v == 0) {
        fprintf(stderr, "updater-publish: --serial must be a positive whole number\n");
        return 2;
      }
      *serial = v;
      return 0;
    }
    default:
      if (!ParseInt(optarg, 1, kMaxExpiresInDays, &num)) {
        fprintf(stderr, "updater-publish: --expires-in must be from 1 to %d days\n",
                kMaxExpiresInDays);
        return 2;
      }
      *days = static_cast<int>(num);
      return 0;
  }
}

// Now, in seconds since the epoch: SOURCE_DATE_EPOCH when it holds a whole number (so that the
// same release and serial give the same bytes), else the clock.
int64_t Now() {
  const char* fixed = getenv("SOURCE_DATE_EPOCH");
  if (fixed && *fixed) {
    char* end = nullptr;
    long long v = strtoll(fixed, &end, 10);
    if (*end == '\0' && v >= 0) return static_cast<int64_t>(v);
  }
  return static_cast<int64_t>(time(nullptr));
}

int RunKeygen(int argc, char** argv) {
  enum { kSecret = 1000, kPublic, kPassword };
  static const struct option kOptions[] = {{"secret-key", required_argument, nullptr, kSecret},
                                           {"public-key", required_argument, nullptr, kPublic},
                                           {"password-file", required_argument, nullptr, kPassword},
                                           {"help", no_argument, nullptr, 'h'},
                                           {nullptr, 0, nullptr, 0}};
  std::string secret, pub, password;
  int c;
  while ((c = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1) {
    switch (c) {
      case kSecret:
        secret = optarg;
        break;
      case kPublic:
        pub = optarg;
        break;
      case kPassword:
        password = optarg;
        break;
      case 'h':
        Usage(stdout);
        return 0;
      default:
        Usage(stderr);
        return 2;
    }
  }
  if (optind != argc || secret.empty() || pub.empty()) {
    fprintf(stderr, "updater-publish keygen: give --secret-key FILE and --public-key FILE\n");
    return 2;
  }
  std::string id, error;
  if (!GenerateKeyFiles(secret, pub, password, &id, &error)) {
    fprintf(stderr, "updater-publish: %s\n", error.c_str());
    return 1;
  }
  printf("Key %s: secret key in %s (%s), public key in %s\n", id.c_str(), secret.c_str(),
         password.empty() ? "not encrypted" : "encrypted", pub.c_str());
  return 0;
}

int RunSign(int argc, char** argv) {
  enum { kSignKey = 1000, kPasswordFile, kSerial, kExpiresIn };
  static const struct option kOptions[] = {
      {"sign-key", required_argument, nullptr, kSignKey},
      {"password-file", required_argument, nullptr, kPasswordFile},
      {"serial", required_argument, nullptr, kSerial},
      {"expires-in", required_argument, nullptr, kExpiresIn},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  SignDocumentOptions opts;
  int c;
  while ((c = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1) {
    if (c >= kSignKey && c <= kExpiresIn) {
      int code = SigningOption(c - kSignKey, &opts.keys, &opts.serial, &opts.expires_in_days);
      if (code != 0) return code;
      continue;
    }
    if (c == 'h') {
      Usage(stdout);
      return 0;
    }
    Usage(stderr);
    return 2;
  }
  if (argc - optind != 1 || opts.keys.empty()) {
    fprintf(stderr, "updater-publish sign: expected DOCUMENT and at least one --sign-key FILE\n");
    return 2;
  }
  opts.document = argv[optind];
  opts.now = Now();
  uint64_t serial = 0;
  std::string error;
  if (!SignDocument(opts, &serial, &error)) {
    fprintf(stderr, "updater-publish: %s\n", error.c_str());
    return 1;
  }
  printf("Signed %s: serial %llu, expires %s; signature in %s%s\n", opts.document.c_str(),
         static_cast<unsigned long long>(serial),
         ExpiryAfter(opts.now, opts.expires_in_days).c_str(), opts.document.c_str(),
         kSignatureSuffix);
  return 0;
}

int RunPublish(int argc, char** argv) {
  enum {
    kSiteUrl = 1000,
    kFileBase,
    kGroups,
    kApp,
    kAuthor,
    kHomeUrl,
    kType,
    kKind,
    kPlatform,
    kEncrypt,
    kInfoVersion,
    kPrevious,
    kNoPrevious,
    kLevel,
    kQuiet,
    kSignKey,
    kPasswordFile,
    kSerial,
    kExpiresIn,
    kDeltas,
    kDeltaMaxSize,
    kMirror
  };
  static const struct option kOptions[] = {
      {"site-url", required_argument, nullptr, kSiteUrl},
      {"file-base", required_argument, nullptr, kFileBase},
      {"groups", required_argument, nullptr, kGroups},
      {"app", required_argument, nullptr, kApp},
      {"author", required_argument, nullptr, kAuthor},
      {"home-url", required_argument, nullptr, kHomeUrl},
      {"type", required_argument, nullptr, kType},
      {"kind", required_argument, nullptr, kKind},
      {"platform", required_argument, nullptr, kPlatform},
      {"encrypt", no_argument, nullptr, kEncrypt},
      {"info-version", required_argument, nullptr, kInfoVersion},
      {"previous", required_argument, nullptr, kPrevious},
      {"no-previous", no_argument, nullptr, kNoPrevious},
      {"level", required_argument, nullptr, kLevel},
      {"quiet", no_argument, nullptr, kQuiet},
      {"sign-key", required_argument, nullptr, kSignKey},
      {"password-file", required_argument, nullptr, kPasswordFile},
      {"serial", required_argument, nullptr, kSerial},
      {"expires-in", required_argument, nullptr, kExpiresIn},
      {"deltas", required_argument, nullptr, kDeltas},
      {"delta-max-size", required_argument, nullptr, kDeltaMaxSize},
      {"mirror", required_argument, nullptr, kMirror},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  PublishOptions opts;
  std::string site_url;
  bool home_set = false;
  long num = 0;
  int c;
  while ((c = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1) {
    switch (c) {
      case kSiteUrl:
        site_url = optarg;
        break;
      case kFileBase:
        opts.file_base = optarg;
        break;
      case kMirror:
        opts.mirrors.push_back(optarg);
        if (opts.mirrors.back().empty() || opts.mirrors.back().back() != '/') {
          opts.mirrors.back() += "/";
        }
        break;
      case kGroups:
        opts.groups_file = optarg;
        break;
      case kApp:
        opts.app = optarg;
        break;
      case kAuthor:
        opts.author = optarg;
        break;
      case kHomeUrl:
        opts.home_url = optarg;
        home_set = true;
        break;
      case kType:
        opts.types.push_back(optarg);
        break;
      case kKind:
        opts.kinds.push_back(optarg);
        break;
      case kPlatform:
        opts.platforms.push_back(optarg);
        break;
      case kEncrypt:
        opts.encrypt = true;
        break;
      case kPrevious:
        opts.previous = optarg;
        break;
      case kNoPrevious:
        opts.no_previous = true;
        break;
      case kQuiet:
        opts.quiet = true;
        break;
      case kSignKey:
      case kPasswordFile:
      case kSerial:
      case kExpiresIn: {
        int code =
            SigningOption(c - kSignKey, &opts.sign_keys, &opts.serial, &opts.expires_in_days);
        if (code != 0) return code;
        break;
      }
      case kInfoVersion:
        if (!ParseInt(optarg, 1, 2, &num)) {
          fprintf(stderr, "updater-publish: --info-version must be 1 or 2\n");
          return 2;
        }
        opts.info_version = static_cast<int>(num);
        break;
      case kLevel:
        if (!ParseInt(optarg, 1, 9, &num)) {
          fprintf(stderr, "updater-publish: --level must be from 1 to 9\n");
          return 2;
        }
        opts.level = static_cast<int>(num);
        break;
      case kDeltas:
        if (!ParseInt(optarg, 0, 16, &num)) {
          fprintf(stderr, "updater-publish: --deltas must be from 0 to 16\n");
          return 2;
        }
        opts.deltas = static_cast<int>(num);
        break;
      case kDeltaMaxSize:
        if (!ParseInt(optarg, 0, 4095, &num)) {
          fprintf(stderr, "updater-publish: --delta-max-size must be from 0 to 4095 (MiB)\n");
          return 2;
        }
        opts.delta_max_size = static_cast<uint64_t>(num) << 20;
        break;
      case 'h':
        Usage(stdout);
        return 0;
      default:
        Usage(stderr);
        return 2;
    }
  }
  if (argc - optind != 2) {
    fprintf(stderr, "updater-publish publish: expected RELEASE and SITE\n");
    Usage(stderr);
    return 2;
  }
  opts.release_dir = argv[optind];
  opts.site_dir = argv[optind + 1];
  if (site_url.empty() == opts.file_base.empty()) {
    fprintf(stderr, "updater-publish publish: give exactly one of --site-url and --file-base\n");
    return 2;
  }
  if (!site_url.empty()) {
    if (site_url.back() != '/') site_url += "/";
    opts.file_base = site_url + kFilesDir + "/";
  } else if (opts.file_base.back() != '/') {
    opts.file_base += "/";
  }
  opts.now = Now();
  if (!home_set) opts.home_url = site_url.empty() ? opts.file_base : site_url;
  if (opts.app.empty()) opts.app = BaseName(opts.release_dir);
  std::string error;
  if (!Publish(opts, &error)) {
    fprintf(stderr, "updater-publish: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

void OnSignal(int) { StaticServer::Stop(); }

int RunServe(int argc, char** argv) {
  enum { kPort = 1000, kBind, kPortFile, kQuiet, kTlsCert, kTlsKey };
  static const struct option kOptions[] = {{"port", required_argument, nullptr, kPort},
                                           {"bind", required_argument, nullptr, kBind},
                                           {"port-file", required_argument, nullptr, kPortFile},
                                           {"quiet", no_argument, nullptr, kQuiet},
                                           {"tls-cert", required_argument, nullptr, kTlsCert},
                                           {"tls-key", required_argument, nullptr, kTlsKey},
                                           {"help", no_argument, nullptr, 'h'},
                                           {nullptr, 0, nullptr, 0}};
  long port = 8080;
  std::string bind_address = "127.0.0.1", port_file, tls_cert, tls_key;
  bool quiet = false;
  int c;
  while ((c = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1) {
    switch (c) {
      case kPort:
        if (!ParseInt(optarg, 0, 65535, &port)) {
          fprintf(stderr, "updater-publish: --port must be from 0 to 65535\n");
          return 2;
        }
        break;
      case kBind:
        bind_address = optarg;
        break;
      case kPortFile:
        port_file = optarg;
        break;
      case kQuiet:
        quiet = true;
        break;
      case kTlsCert:
        tls_cert = optarg;
        break;
      case kTlsKey:
        tls_key = optarg;
        break;
      case 'h':
        Usage(stdout);
        return 0;
      default:
        Usage(stderr);
        return 2;
    }
  }
  if (argc - optind != 1) {
    fprintf(stderr, "updater-publish serve: expected SITE\n");
    Usage(stderr);
    return 2;
  }
  if (tls_cert.empty() != tls_key.empty()) {
    fprintf(stderr, "updater-publish serve: --tls-cert and --tls-key go together\n");
    return 2;
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  StaticServer server(argv[optind], !quiet);
  std::string error;
  if ((!tls_cert.empty() && !server.EnableTls(tls_cert, tls_key, &error)) ||
      !server.Start(bind_address, static_cast<int>(port), &error)) {
    fprintf(stderr, "updater-publish: %s\n", error.c_str());
    return 1;
  }
  if (!port_file.empty()) {
    std::string tmp = port_file + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    bool ok = f && fprintf(f, "%d\n", server.port()) > 0;
    if (f) ok = fclose(f) == 0 && ok;
    if (!ok || rename(tmp.c_str(), port_file.c_str()) != 0) {
      fprintf(stderr, "updater-publish: cannot write %s: %s\n", port_file.c_str(), strerror(errno));
      return 1;
    }
  }
  printf("Serving %s on %s://%s:%d/ (stop with Ctrl-C)\n", argv[optind],
         tls_cert.empty() ? "http" : "https",
         bind_address == "*" ? "0.0.0.0" : bind_address.c_str(), server.port());
  fflush(stdout);
  uint64_t served = server.Run();
  if (!quiet) printf("Stopped after %llu connections\n", static_cast<unsigned long long>(served));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
      strcmp(argv[1], "help") == 0) {
    Usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  if (strcmp(argv[1], "--version") == 0) {
    printf("updater-publish %s%s%s%s\n", VELMOR_VERSION, VELMOR_GIT_DESCRIBE[0] ? " (" : "",
           VELMOR_GIT_DESCRIBE, VELMOR_GIT_DESCRIBE[0] ? ")" : "");
    return 0;
  }
  if (strcmp(argv[1], "publish") == 0) return RunPublish(argc - 1, argv + 1);
  if (strcmp(argv[1], "serve") == 0) return RunServe(argc - 1, argv + 1);
  if (strcmp(argv[1], "keygen") == 0) return RunKeygen(argc - 1, argv + 1);
  if (strcmp(argv[1], "sign") == 0) return RunSign(argc - 1, argv + 1);
  if (strcmp(argv[1], "diff") == 0) return RunDiffCommand(argc - 1, argv + 1);
  if (strcmp(argv[1], "apply") == 0) return RunApplyCommand(argc - 1, argv + 1);
  fprintf(stderr, "updater-publish: unknown command '%s'\n", argv[1]);
  Usage(stderr);
  return 2;
}
