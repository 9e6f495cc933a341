// The updater's option table: one row per option, short and long, with its argument and the
// words shown for it on the usage screen. The getopt_long table and the option list that
// follows the fixed lines of the usage screen are both made from it, so an option added here
// shows up in both. New options of the updater are long ones only (the short option string
// stays "345and:hp:t:"); give them a value from LongOnlyOption.
//
// Thread rules: the table is constant; the functions keep no state and may be called from any
// thread.
#ifndef UPDATER_CLI_OPTIONS_H_
#define UPDATER_CLI_OPTIONS_H_

#include <getopt.h>
#include <stdio.h>

#include <vector>

// Values returned by getopt_long for the options that have no short form.
enum LongOnlyOption {
  OPT_SERVER = 1000,
  OPT_LIST,
  OPT_INSTALL,
  OPT_REMOVE,
  OPT_SKIP,
  OPT_VERSION,
  OPT_QUIET,
  OPT_VERBOSE,
  OPT_CHECK,
  OPT_JSON,
  OPT_TRUSTED_KEY,
  OPT_REQUIRE_SIGNATURE,
  OPT_MAX_INFO_SIZE,
  OPT_CA_FILE,
  OPT_CA_PATH,
  OPT_PROXY,
  OPT_NOPROXY,
  OPT_ALLOW_SHARED_DIR,
  OPT_NO_DELTA,
  OPT_VERIFY,
  OPT_HASH_THREADS,
  OPT_ROLLBACK,
  OPT_TIMEOUT,
  OPT_SPEED_LIMIT,
  OPT_RETRIES,
  OPT_PARALLEL,
};

// One option. A row without a long name is a short option only; a row whose value is not a
// printable character is a long option only.
struct OptionRow {
  const char* longName;  // without the leading "--"; null for short-only options
  int value;             // short letter, or a LongOnlyOption value
  int hasArg;            // no_argument or required_argument
  const char* argName;   // shown after the option ("DIR"); null when it takes none
  const char* help;      // a few words for the usage screen
};

// The short option string handed to getopt_long.
extern const char kShortOptions[];

// Every option, in the order of the usage screen.
const std::vector<OptionRow>& OptionTable();

// The long options of the table for getopt_long, ended by the all-zero entry. The pointers
// stay valid for the life of the process.
const struct option* LongOptions();

// Long name of a long-only option value, or null when the value has no long-only row.
const char* LongOnlyName(int value);

// Writes one line per option of the table, except the three that the fixed lines of the usage
// screen already describe (-a, -d, -h): "-n, --no-any-key", "-t full|basic" or
// "    --server HOST[:PORT]", padded to one column, then its words.
void PrintOptionList(FILE* out);

#endif  // UPDATER_CLI_OPTIONS_H_
