// The command-line updater: reads the options, forms the channel URL of the installation and
// drives one Updater through fetch, parse, plan and perform, printing what the engine reports.
#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "GenLib.h"
#include "groups.h"
#include "libupdater.h"
#include "progress.h"
#include "trust.h"
#include "trusted_keys.h"

#ifndef UPDATER_DEFAULT_SERVER
#define UPDATER_DEFAULT_SERVER "updates.example.invalid"
#endif

namespace {

// Values returned by getopt_long for the options that have no short form.
enum LongOnlyOption {
  OPT_SERVER = 1000,
  OPT_LIST,
  OPT_INSTALL,
  OPT_REMOVE,
  OPT_SKIP,
  OPT_ROLLBACK,
  OPT_CA_FILE,
  OPT_CA_PATH,
  OPT_PROXY,
  OPT_NOPROXY,
  OPT_ALLOW_SHARED_DIR,
  OPT_TRUSTED_KEY,
  OPT_REQUIRE_SIGNATURE,
  OPT_MAX_INFO_SIZE,
  OPT_NO_DELTA,
};

const struct option kLongOptions[] = {
    {"all", no_argument, nullptr, 'a'},
    {"no-any-key", no_argument, nullptr, 'n'},
    {"dir", required_argument, nullptr, 'd'},
    {"help", no_argument, nullptr, 'h'},
    {"server", required_argument, nullptr, OPT_SERVER},
    {"list", no_argument, nullptr, OPT_LIST},
    {"install", required_argument, nullptr, OPT_INSTALL},
    {"remove", required_argument, nullptr, OPT_REMOVE},
    {"skip", required_argument, nullptr, OPT_SKIP},
    {"rollback", no_argument, nullptr, OPT_ROLLBACK},
    {"ca-file", required_argument, nullptr, OPT_CA_FILE},
    {"ca-path", required_argument, nullptr, OPT_CA_PATH},
    {"proxy", required_argument, nullptr, OPT_PROXY},
    {"noproxy", required_argument, nullptr, OPT_NOPROXY},
    {"allow-shared-dir", no_argument, nullptr, OPT_ALLOW_SHARED_DIR},
    {"trusted-key", required_argument, nullptr, OPT_TRUSTED_KEY},
    {"require-signature", no_argument, nullptr, OPT_REQUIRE_SIGNATURE},
    {"max-info-size", required_argument, nullptr, OPT_MAX_INFO_SIZE},
    {"no-delta", no_argument, nullptr, OPT_NO_DELTA},
    {nullptr, 0, nullptr, 0},
};

// Longest host[:port] accepted by --server; the download client keeps at most 127 characters
// of host name.
const size_t kMaxServerLength = 127;

struct Settings {
  char baseDir[1024];
  char channelUrl[256];
  char typeLetter[2];
  char kind[8];
  char platform[32];
  bool markAll;
  bool noAnyKey;
  // Our own additions: server override, plan preview and group choices.
  std::string server;
  bool list;
  bool rollback;
  bool noDelta;
  bool allowSharedDir;
  std::vector<GroupChoice> choices;
  // Trusted certificates and proxies.
  NetOptions net;
  // Trust in the update documents.
  std::vector<std::string> trustedKeyFiles;
  TrustSettings trust;
};

bool PrintLine(const char* text) {
  printf("%s\n", text);
  return true;
}

UpdaterCallbacks g_callbacks = {InfoProgress, FileProgress, PrintLine, PrintLine};

[[noreturn]] void Usage() {
  printf("Command line options:\n\n");
  printf("-a, --all\t\tMark all packages before performing upgrade\n");
  printf("-d, --dir\t\tUse alternate base directory instead of current working directory\n");
  printf("-h, --help\t\tThis screen\n");
  printf("    --server [https://]HOST[:PORT]\tFetch updates from this server instead of %s\n",
         UPDATER_DEFAULT_SERVER);
  printf("    --list\t\tShow the package groups and what an update would do; change nothing\n");
  printf("    --install GROUP\tInstall GROUP and keep it up to date (repeatable)\n");
  printf("    --remove GROUP\tRemove the files of GROUP (repeatable)\n");
  printf("    --skip GROUP\tNeither install nor remove GROUP (repeatable)\n");
  printf("    --rollback\t\tPut back the release from before the last update\n");
  printf("    --ca-file FILE\tTrust the certificates in FILE (PEM) instead of the system's\n");
  printf("    --ca-path DIR\tTrust the certificates in DIR (hashed names) instead\n");
  printf(
      "    --proxy URL\t\tUse this HTTP proxy (http://[USER:PASSWORD@]HOST[:PORT]; \"\" for "
      "none)\n");
  printf("    --noproxy LIST\tHosts reached without proxy (comma-separated suffixes, * for all)\n");
  printf("    --allow-shared-dir\tAs root, also write into directories other users can write\n");
  printf("    --trusted-key FILE\tTrust the minisign public key(s) in FILE (repeatable)\n");
  printf("    --require-signature\tRefuse to update when no trusted key is known\n");
  printf("    --max-info-size BYTES\tRefuse update documents larger than BYTES (default %llu)\n",
         static_cast<unsigned long long>(kDefaultMaxInfoSize));
  printf("    --no-delta\t\tDownload whole files, never patches\n");
  fflush(stdout);
  exit(1);
}

const char* LongOnlyName(int value) {
  for (const struct option* o = kLongOptions; o->name; o++) {
    if (o->val == value && value >= OPT_SERVER) return o->name;
  }
  return nullptr;
}

// The scheme of a server given as "https://HOST[:PORT]" or "http://HOST[:PORT]" (a "/" after
// it is dropped) and the HOST[:PORT] part; "http" for a server given without a scheme.
std::string SplitServer(std::string* server) {
  std::string scheme = "http";
  for (const char* prefix : {"https://", "http://"}) {
    size_t len = strlen(prefix);
    if (strncasecmp(server->c_str(), prefix, len) == 0) {
      scheme.assign(prefix, len - 3);
      server->erase(0, len);
      if (!server->empty() && server->back() == '/') server->pop_back();
      break;
    }
  }
  return scheme;
}

// HOST or HOST:PORT with a host of letters, digits, dots, hyphens and underscores and a port
// from 1 to 65535, after an optional "https://" or "http://".
bool ValidServer(std::string server) {
  SplitServer(&server);
  if (server.empty() || server.size() > kMaxServerLength) return false;
  size_t colon = server.find(':');
  std::string host = server.substr(0, colon);
  if (host.empty()) return false;
  for (char c : host) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') return false;
  }
  if (colon == std::string::npos) return true;
  std::string port = server.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  for (char c : port) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  }
  long value = strtol(port.c_str(), nullptr, 10);
  return value >= 1 && value <= 65535;
}

void ParseOptions(int argc, char** argv, Settings* s) {
  int c;
  while ((c = getopt_long(argc, argv, "345and:hp:t:", kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 'a':
        s->markAll = true;
        break;
      case 'n':
        s->noAnyKey = true;
        break;
      case 'd': {
        // A cut path would name another directory; refuse what does not fit with its "/".
        size_t len = strlen(optarg);
        const size_t most = sizeof(s->baseDir) - 1;
        if (len > most || (len == most && optarg[len - 1] != '/')) {
          fprintf(stderr,
                  "Base directory is too long (%zu characters, at most %zu allowed, or %zu "
                  "ending in \"/\")\n",
                  len, most - 1, most);
          exit(1);
        }
        strlcpy(s->baseDir, optarg, sizeof(s->baseDir));
        break;
      }
      case '3':
        s->typeLetter[0] = '\0';
        break;
      case '4':
        snprintf(s->typeLetter, sizeof(s->typeLetter), "4");
        break;
      case '5':
        snprintf(s->typeLetter, sizeof(s->typeLetter), "5");
        break;
      case 'p':
        if (strlen(optarg) >= sizeof(s->platform)) {
          fprintf(stderr, "Platform name is too long (%zu characters, at most %zu allowed): %s\n",
                  strlen(optarg), sizeof(s->platform) - 1, optarg);
          exit(1);
        }
        strlcpy(s->platform, optarg, sizeof(s->platform));
        break;
      case 't':
        if (strcasecmp(optarg, "full") == 0) {
          snprintf(s->kind, sizeof(s->kind), "full");
        } else if (strcasecmp(optarg, "basic") == 0) {
          snprintf(s->kind, sizeof(s->kind), "basic");
        } else {
          fprintf(stderr, "Unknown type, must be -t basic or -t full\n");
        }
        break;
      case OPT_SERVER:
        if (!ValidServer(optarg)) {
          fprintf(stderr, "Invalid server '%s': must be [https://]HOST[:PORT]\n", optarg);
          exit(1);
        }
        s->server = optarg;
        break;
      case OPT_LIST:
        s->list = true;
        break;
      case OPT_NO_DELTA:
        s->noDelta = true;
        break;
      case OPT_INSTALL:
        s->choices.push_back({optarg, UPDATE_GROUP_INSTALL});
        break;
      case OPT_REMOVE:
        s->choices.push_back({optarg, UPDATE_GROUP_REMOVE});
        break;
      case OPT_SKIP:
        s->choices.push_back({optarg, UPDATE_GROUP_NOT_SELECTED});
        break;
      case OPT_ROLLBACK:
        s->rollback = true;
        break;
      case OPT_CA_FILE:
        s->net.ca_file = optarg;
        break;
      case OPT_CA_PATH:
        s->net.ca_path = optarg;
        break;
      case OPT_PROXY:
        s->net.proxy_given = true;
        s->net.proxy = optarg;
        break;
      case OPT_NOPROXY:
        s->net.noproxy_given = true;
        s->net.noproxy = optarg;
        break;
      case OPT_ALLOW_SHARED_DIR:
        s->allowSharedDir = true;
        break;
      case OPT_TRUSTED_KEY:
        s->trustedKeyFiles.push_back(optarg);
        break;
      case OPT_REQUIRE_SIGNATURE:
        s->trust.requireSignature = true;
        break;
      case OPT_MAX_INFO_SIZE: {
        char* end = nullptr;
        errno = 0;
        unsigned long long v = strtoull(optarg, &end, 10);
        if (!*optarg || *end || *optarg == '-' || errno != 0 || v == 0) {
          fprintf(stderr, "Invalid --max-info-size '%s': must be a number of bytes above 0\n",
                  optarg);
          exit(1);
        }
        s->trust.maxInfoSize = v;
        break;
      }
      case '?':
        if (optopt == 'd' || optopt == 'p' || optopt == 't') {
          fprintf(stderr, "Option -%c requires an argument.\n", optopt);
        } else if (LongOnlyName(optopt)) {
          fprintf(stderr, "Option --%s requires an argument.\n", LongOnlyName(optopt));
        } else if (optopt >= 0 && optopt < 256 && isprint(optopt)) {
          fprintf(stderr, "Unknown option `-%c'.\n", optopt);
        } else {
          fprintf(stderr, "Unknown option character `\\x%x'.\n", optopt);
        }
        Usage();
      case 'h':
      default:
        Usage();
    }
  }
}

// --rollback: the release before the last update comes back from its backup; no server needed.
int RollBack(Updater* updater) {
  printf("\n");
  if (!updater->rollback()) {
    printf("\nError rolling back: %s\n", updater->lastError());
    return 1;
  }
  printf("\nRollback Complete!\n");
  return 0;
}

int Run(int argc, char** argv) {
  signal(SIGSEGV, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  // A write past the file-size limit then fails with EFBIG and is reported like a full disk,
  // instead of killing the process in the middle of an update.
  signal(SIGXFSZ, SIG_IGN);

  Settings s{};
  snprintf(s.typeLetter, sizeof(s.typeLetter), "5");
  snprintf(s.kind, sizeof(s.kind), "full");
  s.server = UPDATER_DEFAULT_SERVER;

  printf("*** Velmoras' Updater 2.01 (CLI) ***\n\n");

  if (!getcwd(s.baseDir, sizeof(s.baseDir))) {
    printf("Error getting current working directory!\n");
    snprintf(s.baseDir, sizeof(s.baseDir), "./");
  }

  ParseOptions(argc, argv, &s);

  if (s.platform[0] == '\0') snprintf(s.platform, sizeof(s.platform), "debian9.x86_64");

  std::string scheme = SplitServer(&s.server);
  snprintf(s.channelUrl, sizeof(s.channelUrl), "%s://%s/updates/kestrl%s-%s-%s.info",
           scheme.c_str(), s.server.c_str(), s.typeLetter, s.kind, s.platform);

  if (!s.rollback) printf("Downloading update info files for: %s\n", s.platform);

  size_t len = strlen(s.baseDir);
  if ((len == 0 || s.baseDir[len - 1] != '/') &&
      strlcat(s.baseDir, "/", sizeof(s.baseDir)) >= sizeof(s.baseDir)) {
    // Without its "/" every path formed from it would name something else.
    fprintf(stderr, "Base directory is too long: %s\n", s.baseDir);
    return 1;
  }

  std::string keyError;
  if (!LoadTrustedKeys(kBuiltInTrustedKeys, s.trustedKeyFiles, s.baseDir, &s.trust.keys,
                       &keyError)) {
    printf("\n%s\n", keyError.c_str());
    return 1;
  }

  Updater updater;
  updater.setup(s.channelUrl, s.baseDir, file_part(argc > 0 ? argv[0] : ""), ".updater.ini",
                &g_callbacks);
  updater.setNetOptions(s.net);
  updater.setTrust(s.trust);
  updater.setUseDeltas(!s.noDelta);
  updater.setAllowSharedDir(s.allowSharedDir);
  // A run that may change the installation holds its lock from before the document is fetched
  // to the end; a second one stops here, having touched nothing.
  if (!s.list && !updater.beginRun()) {
    printf("\nError: %s\n", updater.lastError());
    return 1;
  }

  if (s.rollback) return RollBack(&updater);
  // A commit or rollback that a killed run left half done is finished before anything else,
  // also when the server cannot be reached (--list changes nothing, so it leaves it).
  if (!s.list && !updater.finishInterrupted()) {
    printf("\nError finishing the interrupted update: %s\n", updater.lastError());
    return 1;
  }

  if (!updater.fetchInfo()) {
    printf("\nError downloading info files: %s\n", updater.lastError());
    return 1;
  }

  printf("\nGot info files... parsing...\n");
  if (!updater.parseInfo()) {
    printf("\nError parsing info files: %s\n", updater.lastError());
    return 1;
  }

  if (s.markAll) {
    for (UpdateGroup* g = updater.firstGroup(); g; g = g->next) {
      updater.setGroupState(g, UPDATE_GROUP_INSTALL);
    }
  }
  if (!ApplyGroupChoices(&updater, s.choices)) return 1;

  if (s.list) {
    PrintPlan(&updater);
    return 0;
  }

  if (!updater.needsUpdate()) {
    // Choices named on the command line hold for later runs even when nothing is to be done now.
    if (!s.choices.empty() && !updater.saveGroupStates()) {
      printf("\nError: %s\n", updater.lastError());
      return 1;
    }
    updater.recordSerial();
    printf("\nAbort: Nothing to be done, you are up-to-date\n");
    return 0;
  }

  printf("\n");
  if (!updater.performUpdate()) {
    printf("\nError performing update: %s\n", updater.lastError());
    return 1;
  }

  if (!updater.saveGroupStates()) {
    printf("\nError: %s\n", updater.lastError());
    return 1;
  }
  printf("\nUpdate Complete!\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int code = Run(argc, argv);
  fflush(stdout);
  return code;
}
