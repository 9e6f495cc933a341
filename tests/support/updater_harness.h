// Helpers for end-to-end tests of the updater program: release fixtures built by
// tests/support/make_release.py (its own zlib and RC4, not the engine's), a real nginx on
// loopback that serves them, runs of build/bin/updater (plain, in the background to be killed,
// or on a pseudo-terminal of a chosen width), and reading its output as lines.
//
// Not thread-safe; each test builds its own objects.
#ifndef TESTS_SUPPORT_UPDATER_HARNESS_H_
#define TESTS_SUPPORT_UPDATER_HARNESS_H_

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace updtest {

// One file of a release.
struct FixtureFile {
  std::string file;       // installed name
  std::string content;    // bytes of the file
  std::string key;        // RC4 key text; empty = plain pack
  std::string group;      // "group" attribute; empty = none
  int modes = -1;         // "modes" attribute; -1 = none
  std::string pack;       // pack file name under packs/; empty = derived from the name
  bool absolute = false;  // absolute URL even in version 2
  std::vector<std::pair<std::string, std::string>> attrs;  // attributes added or overridden
  std::vector<std::string> omit;                           // attributes left out
  bool hasPackBytes = false;  // serve packBytes instead of the pack built from content
  std::string packBytes;
};

// A whole release: document version, groups (each a list of attributes), files, obsolete names.
struct ReleaseSpec {
  int version = 2;
  std::string channel = "kestrl5-full-debian9.x86_64";
  std::vector<std::vector<std::pair<std::string, std::string>>> groups;
  std::vector<FixtureFile> files;
  bool hasDelete = false;
  std::vector<std::string> deletes;
  std::vector<std::pair<std::string, std::string>> info;  // <info> attributes added/overridden
  bool hasRawDocument = false;
  std::string rawDocument;
};

// Pseudo-random bytes (incompressible), the same for the same seed.
std::string RandomBytes(size_t size, unsigned seed);
// Name of the pack that BuildRelease writes for a file without a pack name of its own.
std::string DefaultPackName(const std::string& file);

// Writes the release into root (packs/NAME and updates/CHANNEL.info) with pack URLs under
// baseUrl (".../packs"). Returns false with *error set when the tool fails.
bool BuildRelease(const ReleaseSpec& release, const std::string& root, const std::string& baseUrl,
                  std::string* error);

// A scratch web root served by a real nginx on loopback.
class Site {
 public:
  explicit Site(const std::string& extraConf = "");
  bool ok() const { return server_ && server_->ok(); }
  std::string error() const { return server_ ? server_->error() : "no server"; }
  const std::string& root() const { return root_.path(); }
  int port() const { return server_->port(); }
  // "127.0.0.1:PORT", the argument of --server.
  std::string ServerArg() const;
  std::string PackBase() const;
  // Builds the release into the root. False with *error on failure.
  bool Publish(const ReleaseSpec& release, std::string* error = nullptr);
  // Path of a pack in the root.
  std::string PackPath(const std::string& packName) const;
  // Request lines ("GET /path HTTP/1.0") of the access log so far.
  std::vector<std::string> Requests() const;
  // The connections the requests so far came over (nginx's serial numbers), one per request.
  std::vector<std::string> RequestConnections() const;
  // Starts a second nginx over the same root with other settings (the first keeps running).
  std::unique_ptr<testutil::NginxServer> Another(const std::string& extraConf = "") const;

 private:
  testutil::TempDir root_;
  std::unique_ptr<testutil::NginxServer> server_;
};

struct RunResult {
  int code = -1;
  std::string out;  // standard output as written
  std::string err;  // standard error
};

// Runs build/bin/updater with the arguments, in cwd (default: a fresh scratch directory).
RunResult RunUpdater(const std::vector<std::string>& args, const std::string& cwd = "");

// Standard output as lines, with the carriage-return progress segments taken out (each
// progress line so leaves an empty line behind, closed by the newline that ended it).
std::vector<std::string> OutputLines(const std::string& out);
// The progress segments of the output: each text from a carriage return up to the next
// carriage return or newline.
std::vector<std::string> ProgressSegments(const std::string& out);

// True when `want` occurs in `lines` in this order (other lines may come between).
bool ContainsInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& want);
// Whether a line starts with prefix; the first such line, or "".
bool HasLineStartingWith(const std::vector<std::string>& lines, const std::string& prefix);
std::string LineStartingWith(const std::vector<std::string>& lines, const std::string& prefix);
// Lines joined with newlines, for failure messages.
std::string Join(const std::vector<std::string>& lines);

// A program started in the background with its standard output and error in files.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const std::string& cwd);
  ~Background();  // kills the program if it still runs
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  bool started() const { return pid_ > 0; }
  // Sends the signal; true when it was delivered.
  bool Kill(int sig);
  // Waits for the end, at most timeoutMs; true when it ended. The exit code or signal is kept.
  bool Wait(int timeoutMs);
  int exitCode() const { return exitCode_; }
  int termSignal() const { return termSignal_; }
  std::string Output() const;

 private:
  testutil::TempDir dir_;
  pid_t pid_ = -1;
  int exitCode_ = -1;
  int termSignal_ = 0;
};

// Runs the program on a pseudo-terminal whose window has the given column count; returns the
// exit code (-1 when it could not run or did not end within timeoutMs) and the terminal output.
int RunOnTerminal(const std::vector<std::string>& argv, const std::string& cwd, int columns,
                  std::string* out, int timeoutMs = 60000);

// Mode bits (permissions) of the path, or -1.
int FileMode(const std::string& path);
bool IsDirectory(const std::string& path);
// Names of all regular files under dir, relative, sorted.
std::vector<std::string> ListTree(const std::string& dir);
// ListTree of an installation without the updater's staging directory (tmp/updater/).
std::vector<std::string> ListInstalled(const std::string& base);
// Names of the packs lying in the staging directory of the installation base (its regular
// files; the run lock, the stat cache and the backup and staging areas below it left out),
// sorted.
std::vector<std::string> ListPacks(const std::string& base);

}  // namespace updtest

#endif  // TESTS_SUPPORT_UPDATER_HARNESS_H_
