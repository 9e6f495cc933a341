// The command-line updater: reads the options, forms the channel URL of the installation and
// drives one Updater through fetch, parse, plan and perform, printing what the engine reports.
#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "GenLib.h"
#include "cli_options.h"
#include "failure_note.h"
#include "groups.h"
#include "libupdater.h"
#include "plan_json.h"
#include "progress.h"
#include "trust.h"
#include "trusted_keys.h"
#include "version_info.h"

// Host[:port] of the update server built in; empty when the build names none.
#ifndef UPDATER_DEFAULT_SERVER
#define UPDATER_DEFAULT_SERVER ""
#endif

namespace {

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
  // Our own additions: server override, plan preview, group choices and output modes.
  std::string server;
  bool list;
  bool json;
  bool check;
  bool quiet;
  bool verbose;
  bool version;
  bool noDelta;
  bool rollback;
  bool allowSharedDir;
  std::vector<GroupChoice> choices;
  bool verify;
  unsigned hashThreads;  // 0: one per core
  unsigned parallel;     // downloads at once
  // Trusted certificates and proxies.
  NetOptions net;
  // Trust in the update documents.
  std::vector<std::string> trustedKeyFiles;
  TrustSettings trust;
  TransportSettings transfer;
};

// What goes to the terminal: set once from the options, before the engine runs.
struct OutputMode {
  bool messages = true;  // banner, status and result lines on standard output
  bool verbose = false;  // details on standard error
  bool json = false;     // standard output holds the JSON document only
};
OutputMode g_mode;

// Packs downloaded at once unless --parallel says otherwise.
const unsigned kDefaultParallel = 4;

const char kBanner[] = "*** Velmoras' Updater 2.01 (CLI) ***\n\n";

bool PrintLine(const char* text) {
  EndProgressLine();
  printf("%s\n", text);
  return true;
}

// Writes a detail line on standard error when --verbose is given.
void Verbose(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Verbose(const char* fmt, ...) {
  if (!g_mode.verbose) return;
  va_list args;
  va_start(args, fmt);
  fflush(stdout);
  fputs("updater: ", stderr);
  vfprintf(stderr, fmt, args);
  fputc('\n', stderr);
  va_end(args);
}

// Detail lines of the support library (addresses fetched, system reasons), for --verbose.
void DetailToStderr(const char* line) { Verbose("%s", line); }

[[noreturn]] void Usage() {
  printf("Command line options:\n\n");
  printf("-a, --all\t\tMark all packages before performing upgrade\n");
  printf("-d, --dir\t\tUse alternate base directory instead of current working directory\n");
  printf("-h, --help\t\tThis screen\n");
  PrintOptionList(stdout);
  fflush(stdout);
  exit(1);
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
  while ((c = getopt_long(argc, argv, kShortOptions, LongOptions(), nullptr)) != -1) {
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
      case OPT_JSON:
        s->json = true;
        break;
      case OPT_CHECK:
        s->check = true;
        break;
      case OPT_QUIET:
        s->quiet = true;
        break;
      case OPT_VERBOSE:
        s->verbose = true;
        break;
      case OPT_VERSION:
        s->version = true;
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
      case OPT_VERIFY:
        s->verify = true;
        break;
      case OPT_HASH_THREADS: {
        char* end = nullptr;
        long n = strtol(optarg, &end, 10);
        if (!*optarg || *end || n < 1 || n > 256) {
          fprintf(stderr, "Invalid thread count '%s': must be a number from 1 to 256\n", optarg);
          exit(1);
        }
        s->hashThreads = static_cast<unsigned>(n);
        break;
      }
      case OPT_PARALLEL: {
        char* end = nullptr;
        long n = strtol(optarg, &end, 10);
        if (!*optarg || *end || n < 1 || n > static_cast<long>(Updater::kMaxParallel)) {
          fprintf(stderr, "Invalid --parallel '%s': must be a number from 1 to %u\n", optarg,
                  Updater::kMaxParallel);
          exit(1);
        }
        s->parallel = static_cast<unsigned>(n);
        break;
      }
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
      case OPT_TIMEOUT:
        if (!ParseTimeoutOption(optarg, &s->transfer.connect_timeout_ms)) {
          fprintf(stderr, "Invalid --timeout '%s': must be whole seconds from 1 to 86400\n",
                  optarg);
          exit(1);
        }
        s->transfer.stall_timeout_ms = s->transfer.connect_timeout_ms;
        break;
      case OPT_SPEED_LIMIT:
        if (!ParseSpeedLimitOption(optarg, &s->transfer.speed_limit_bytes,
                                   &s->transfer.speed_time_s)) {
          fprintf(stderr,
                  "Invalid --speed-limit '%s': must be BYTES/S:SECONDS, for example 1024:60\n",
                  optarg);
          exit(1);
        }
        break;
      case OPT_RETRIES:
        if (!ParseRetriesOption(optarg, &s->transfer.retries)) {
          fprintf(stderr, "Invalid --retries '%s': must be a number from 0 to 100\n", optarg);
          exit(1);
        }
        break;
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

// Where a run failed: the step whose error line was printed.
enum class Step { kFetch, kParse, kPerform };

// The text between the last "(" and ")" of an engine message, where it puts the system's reason
// ("Error writing file data! (No space left on device)"); empty when there is none.
std::string ReasonInParentheses(const std::string& text) {
  size_t close = text.rfind(')');
  size_t open = close == std::string::npos ? std::string::npos : text.rfind('(', close);
  if (open == std::string::npos) return "";
  return text.substr(open + 1, close - open - 1);
}

bool IsPermissionText(const std::string& reason) {
  return reason == strerror(EACCES) || reason == strerror(EPERM) || reason == strerror(EROFS);
}

// The line on standard error that follows an error line: where (URL or path), the system's
// reason when there is one, and what to try.
void PrintErrorDetail(Step step, const Settings& s, const std::string& engineText) {
  // A refused document: the engine's text names the document and the reason itself.
  const std::string refused = std::string(s.channelUrl) + ": refused: ";
  if (engineText.compare(0, refused.size(), refused) == 0) {
    fflush(stdout);
    fprintf(stderr, "updater: %s\n", engineText.c_str());
    return;
  }
  FailureNote note = LastFailureNote();
  std::string target = note.target;
  std::string reason = note.reason.empty() ? ReasonInParentheses(engineText) : note.reason;
  std::string hint;
  if (step == Step::kPerform) {
    if (target.empty()) target = s.baseDir;
  } else if (engineText.find("Error opening updater-info.xml") != std::string::npos) {
    // The document is written to the working directory while it is read.
    char cwd[1024];
    target = std::string(getcwd(cwd, sizeof(cwd)) ? cwd : ".") + "/updater-info.xml";
    hint = "run the updater in a directory it can write to";
  } else {
    if (target.empty()) target = s.channelUrl;
    if (step == Step::kFetch && engineText.find("Not Found") != std::string::npos) {
      hint = "check --server and the channel options -3/-4/-5, -t and -p";
    } else if (step == Step::kFetch && !note.reason.empty()) {
      hint = "check --server";
    }
  }
  if (IsPermissionText(reason)) {
    hint = std::string("permission denied: run as the owner of ") + s.baseDir;
  }
  std::string line = "updater: " + target + ": " + (reason.empty() ? engineText : reason);
  if (!hint.empty()) line += " (" + hint + ")";
  fflush(stdout);
  fprintf(stderr, "%s\n", line.c_str());
}

// Prints an error line of the run (on standard output, or on standard error when standard
// output holds the JSON document) and its detail line; returns exit code 1.
int Fail(Step step, const char* format, Updater* updater, const Settings& s) {
  std::string text = updater->lastError();
  FILE* out = g_mode.json ? stderr : stdout;
  fprintf(out, format, text.c_str());
  PrintErrorDetail(step, s, text);
  return 1;
}

// --rollback: the release before the last update comes back from its backup; no server needed.
int RollBack(Updater* updater, const Settings& s) {
  if (g_mode.messages) printf("\n");
  ClearFailureNote();
  if (!updater->rollback()) return Fail(Step::kPerform, "Error rolling back: %s\n", updater, s);
  if (g_mode.messages) printf("\nRollback Complete!\n");
  return 0;
}

void PrintVersion() {
  printf("updater %s%s%s%s\n", VELMOR_VERSION, VELMOR_GIT_DESCRIBE[0] ? " (" : "",
         VELMOR_GIT_DESCRIBE, VELMOR_GIT_DESCRIBE[0] ? ")" : "");
}

// Lines that tell what will be fetched, for --verbose.
void ReportPlan(Updater* updater) {
  Verbose("document version %d, %d file(s), %d pending", updater->infoVersion(),
          updater->fileCount(), updater->pendingCount());
  const Plan plan = updater->plan();
  for (const PlanInstall& item : plan.installs) {
    Verbose("install %s: %lld bytes from %s%s", item.file->name.c_str(),
            static_cast<long long>(item.file->size), item.file->url.c_str(),
            item.packPresent || item.sharesPackOf >= 0 ? " (pack already there)" : "");
  }
  for (const PlanModeChange& change : plan.modeChanges) {
    Verbose("modes of %s: %04o to %04o", change.file->name.c_str(), change.from, change.to);
  }
  for (const UpdateFile* f : plan.removals) Verbose("remove %s", f->name.c_str());
  for (const std::string& name : plan.obsolete) Verbose("delete %s", name.c_str());
}

// The output modes, read before the banner: a first pass over the options without the option
// parser's diagnostics (the real pass reports them).
void ReadOutputModes(int argc, char** argv, Settings* s) {
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, kShortOptions, LongOptions(), nullptr)) != -1) {
    if (c == OPT_QUIET) s->quiet = true;
    if (c == OPT_JSON) s->json = true;
    if (c == OPT_VERSION) s->version = true;
  }
  opterr = 1;
  optind = 0;
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
  s.parallel = kDefaultParallel;

  ReadOutputModes(argc, argv, &s);
  if (s.version) {
    PrintVersion();
    return 0;
  }
  if (!s.quiet && !s.json) printf("%s", kBanner);

  if (!getcwd(s.baseDir, sizeof(s.baseDir))) {
    if (!s.quiet && !s.json) printf("Error getting current working directory!\n");
    snprintf(s.baseDir, sizeof(s.baseDir), "./");
  }

  ParseOptions(argc, argv, &s);
  if (s.json && !s.list) {
    fprintf(stderr, "--json prints the plan of --list: give both\n");
    return 1;
  }
  g_mode.json = s.json;
  g_mode.messages = !s.quiet && !s.json;
  g_mode.verbose = s.verbose;
  if (s.verbose) SetDetailSink(DetailToStderr);
  // Progress bars are for people watching a terminal, not for logs and pipes.
  const bool bars = g_mode.messages && isatty(STDOUT_FILENO);
  UpdaterCallbacks callbacks = {bars ? InfoProgress : nullptr, bars ? FileProgress : nullptr,
                                g_mode.messages ? PrintLine : nullptr,
                                g_mode.messages ? PrintLine : nullptr};

  // A rollback works from the installation's backup alone.
  if (s.server.empty() && !s.rollback) {
    fprintf(
        stderr,
        "No update server is built into this updater: give one with --server "
        "[https://]HOST[:PORT], or build with -DUPDATER_DEFAULT_SERVER=[https://]HOST[:PORT]\n");
    return 1;
  }

  if (s.platform[0] == '\0') snprintf(s.platform, sizeof(s.platform), "debian9.x86_64");

  std::string scheme = SplitServer(&s.server);
  snprintf(s.channelUrl, sizeof(s.channelUrl), "%s://%s/updates/kestrl%s-%s-%s.info",
           scheme.c_str(), s.server.c_str(), s.typeLetter, s.kind, s.platform);

  if (g_mode.messages && !s.rollback) {
    printf("Downloading update info files for: %s\n", s.platform);
  }

  size_t len = strlen(s.baseDir);
  if ((len == 0 || s.baseDir[len - 1] != '/') &&
      strlcat(s.baseDir, "/", sizeof(s.baseDir)) >= sizeof(s.baseDir)) {
    // Without its "/" every path formed from it would name something else.
    fprintf(stderr, "Base directory is too long: %s\n", s.baseDir);
    return 1;
  }
  Verbose("channel %s", s.channelUrl);
  Verbose("installation %s", s.baseDir);

  std::string keyError;
  if (!LoadTrustedKeys(kBuiltInTrustedKeys, s.trustedKeyFiles, s.baseDir, &s.trust.keys,
                       &keyError)) {
    fprintf(g_mode.json ? stderr : stdout, "\n%s\n", keyError.c_str());
    return 1;
  }

  Updater updater;
  updater.setup(s.channelUrl, s.baseDir, file_part(argc > 0 ? argv[0] : ""), ".updater.ini",
                &callbacks);
  updater.setTransfer(s.transfer);
  updater.setNetOptions(s.net);
  updater.setTrust(s.trust);
  updater.setUseDeltas(!s.noDelta);
  updater.setParallel(s.parallel);
  updater.setDownloadsProgress(bars ? DownloadsBar : nullptr);
  updater.setAllowSharedDir(s.allowSharedDir);
  // A run that may change the installation holds its lock from before the document is fetched
  // to the end; a second one stops here, having touched nothing.
  if (!s.list && !updater.beginRun()) {
    return Fail(Step::kPerform, "\nError: %s\n", &updater, s);
  }

  updater.setCheckOptions(s.verify, s.hashThreads);

  if (s.rollback) return RollBack(&updater, s);
  // A commit or rollback that a killed run left half done is finished before anything else,
  // also when the server cannot be reached (--list and --check change nothing, so they leave
  // it).
  ClearFailureNote();
  if (!s.list && !s.check && !updater.finishInterrupted()) {
    return Fail(Step::kPerform, "\nError finishing the interrupted update: %s\n", &updater, s);
  }

  ClearFailureNote();
  if (!updater.fetchInfo()) {
    return Fail(Step::kFetch, "\nError downloading info files: %s\n", &updater, s);
  }

  if (g_mode.messages) printf("\nGot info files... parsing...\n");
  ClearFailureNote();
  if (!updater.parseInfo()) {
    return Fail(Step::kParse, "\nError parsing info files: %s\n", &updater, s);
  }

  if (s.markAll) {
    for (UpdateGroup* g = updater.firstGroup(); g; g = g->next) {
      updater.setGroupState(g, UPDATE_GROUP_INSTALL);
    }
  }
  if (!ApplyGroupChoices(&updater, s.choices)) return 1;
  if (g_mode.verbose) ReportPlan(&updater);

  if (s.list) {
    if (s.json) {
      fputs(PlanJson(&updater, s.baseDir, s.channelUrl).c_str(), stdout);
    } else if (g_mode.messages) {
      PrintPlan(&updater);
    }
    if (s.check) return updater.needsUpdate() ? 100 : 0;
    return 0;
  }

  if (s.check) {
    // Nothing is changed, the group choices of the command line included.
    bool pending = updater.needsUpdate();
    if (g_mode.messages) {
      printf(pending ? "\nAn update is available\n"
                     : "\nAbort: Nothing to be done, you are up-to-date\n");
    }
    return pending ? 100 : 0;
  }

  if (!updater.needsUpdate()) {
    // Choices named on the command line hold for later runs even when nothing is to be done now.
    if (!s.choices.empty() && !updater.saveGroupStates()) {
      return Fail(Step::kPerform, "\nError: %s\n", &updater, s);
    }
    // What this run learnt about the installed files spares the next run from reading them;
    // a state that cannot be kept only costs the next run some reading.
    updater.saveFileStates();
    updater.recordSerial();
    if (g_mode.messages) printf("\nAbort: Nothing to be done, you are up-to-date\n");
    return 0;
  }

  if (g_mode.messages) printf("\n");
  ClearFailureNote();
  if (!updater.performUpdate()) {
    return Fail(Step::kPerform, "\nError performing update: %s\n", &updater, s);
  }

  if (!updater.saveGroupStates()) {
    return Fail(Step::kPerform, "\nError: %s\n", &updater, s);
  }
  if (g_mode.messages) printf("\nUpdate Complete!\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int code = Run(argc, argv);
  fflush(stdout);
  return code;
}
