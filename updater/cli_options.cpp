#include "cli_options.h"

#include <ctype.h>
#include <string.h>

#include <string>

const char kShortOptions[] = "345and:hp:t:";

namespace {

// Width of the option column on the usage screen.
const int kOptionColumn = 28;

bool HasShortForm(int value) { return value > 0 && value < 128 && isprint(value); }

}  // namespace

const std::vector<OptionRow>& OptionTable() {
  static const std::vector<OptionRow> table = {
      {"all", 'a', no_argument, nullptr, "Mark all packages before performing upgrade"},
      {"dir", 'd', required_argument, "DIR", "Use alternate base directory"},
      {"help", 'h', no_argument, nullptr, "This screen (exit code 1)"},
      {nullptr, '3', no_argument, nullptr, "Installation type none (channel kestrl-KIND-PLATFORM)"},
      {nullptr, '4', no_argument, nullptr, "Installation type 4 (channel kestrl4-KIND-PLATFORM)"},
      {nullptr, '5', no_argument, nullptr, "Installation type 5, the default"},
      {nullptr, 't', required_argument, "full|basic", "Installation kind (default full)"},
      {nullptr, 'p', required_argument, "PLATFORM",
       "Platform, at most 31 characters (default debian9.x86_64)"},
      {"no-any-key", 'n', no_argument, nullptr, "Accepted for old scripts; changes nothing"},
      {"server", OPT_SERVER, required_argument, "[https://]HOST[:PORT]", "Update server to use"},
      {"list", OPT_LIST, no_argument, nullptr,
       "Show the package groups and what an update would do; change nothing"},
      {"json", OPT_JSON, no_argument, nullptr, "With --list: print only the plan, as JSON"},
      {"check", OPT_CHECK, no_argument, nullptr,
       "Change nothing; exit 100 when an update is available, 0 when up to date"},
      {"install", OPT_INSTALL, required_argument, "GROUP",
       "Install GROUP and keep it up to date (repeatable)"},
      {"remove", OPT_REMOVE, required_argument, "GROUP", "Remove the files of GROUP (repeatable)"},
      {"skip", OPT_SKIP, required_argument, "GROUP",
       "Neither install nor remove GROUP (repeatable)"},
      {"rollback", OPT_ROLLBACK, no_argument, nullptr,
       "Put back the release from before the last update"},
      {"verify", OPT_VERIFY, no_argument, nullptr,
       "Read every installed file to check it, trusting no recorded state"},
      {"hash-threads", OPT_HASH_THREADS, required_argument, "N",
       "Check files on N threads (default: one per core)"},
      {"ca-file", OPT_CA_FILE, required_argument, "FILE",
       "Trust the certificates in FILE (PEM) instead of the system's"},
      {"ca-path", OPT_CA_PATH, required_argument, "DIR",
       "Trust the certificates in DIR (hashed names) instead"},
      {"proxy", OPT_PROXY, required_argument, "URL",
       "Use this HTTP proxy (http://[USER:PASSWORD@]HOST[:PORT]; \"\" for none)"},
      {"noproxy", OPT_NOPROXY, required_argument, "LIST",
       "Hosts reached without proxy (comma-separated suffixes, * for all)"},
      {"allow-shared-dir", OPT_ALLOW_SHARED_DIR, no_argument, nullptr,
       "As root, also write into directories other users can write"},
      {"trusted-key", OPT_TRUSTED_KEY, required_argument, "FILE",
       "Trust the minisign public key(s) in FILE (repeatable)"},
      {"require-signature", OPT_REQUIRE_SIGNATURE, no_argument, nullptr,
       "Refuse to update when no trusted key is known"},
      {"max-info-size", OPT_MAX_INFO_SIZE, required_argument, "BYTES",
       "Refuse update documents larger than BYTES (default 64 MiB)"},
      {"no-delta", OPT_NO_DELTA, no_argument, nullptr, "Download whole files, never patches"},
      {"timeout", OPT_TIMEOUT, required_argument, "SECONDS",
       "Give up connecting, or waiting for data, after SECONDS (default 30)"},
      {"speed-limit", OPT_SPEED_LIMIT, required_argument, "BYTES/S:SECONDS",
       "Give up a download slower than BYTES/S over SECONDS (default 1024:60)"},
      {"retries", OPT_RETRIES, required_argument, "N",
       "Try a failed download N more times (default 3)"},
      {"parallel", OPT_PARALLEL, required_argument, "N",
       "Download up to N packs at once (1 to 16, default 4)"},
      {"quiet", OPT_QUIET, no_argument, nullptr, "Print errors only"},
      {"verbose", OPT_VERBOSE, no_argument, nullptr,
       "Also report URLs, sizes and system errors on standard error"},
      {"version", OPT_VERSION, no_argument, nullptr, "Print the version and exit"},
  };
  return table;
}

const struct option* LongOptions() {
  static const std::vector<struct option> options = [] {
    std::vector<struct option> list;
    for (const OptionRow& row : OptionTable()) {
      if (row.longName) list.push_back({row.longName, row.hasArg, nullptr, row.value});
    }
    list.push_back({nullptr, 0, nullptr, 0});
    return list;
  }();
  return options.data();
}

const char* LongOnlyName(int value) {
  if (HasShortForm(value)) return nullptr;
  for (const OptionRow& row : OptionTable()) {
    if (row.value == value) return row.longName;
  }
  return nullptr;
}

void PrintOptionList(FILE* out) {
  for (const OptionRow& row : OptionTable()) {
    if (row.value == 'a' || row.value == 'd' || row.value == 'h') continue;
    std::string left;
    if (HasShortForm(row.value)) {
      left = std::string("-") + static_cast<char>(row.value);
      if (row.longName) left += std::string(", --") + row.longName;
    } else {
      left = std::string("    --") + row.longName;
    }
    if (row.argName) left += std::string(" ") + row.argName;
    if (left.size() < kOptionColumn) {
      left.resize(kOptionColumn, ' ');
    } else {
      left += "  ";
    }
    fprintf(out, "%s%s\n", left.c_str(), row.help);
  }
}
