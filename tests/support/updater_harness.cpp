#include "updater_harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <sstream>
#include <thread>

namespace updtest {

namespace {

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Hex(const std::string& data) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(data.size() * 2);
  for (unsigned char c : data) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string JsonAttrs(const std::vector<std::pair<std::string, std::string>>& attrs) {
  std::string out = "{";
  for (size_t i = 0; i < attrs.size(); i++) {
    if (i) out += ",";
    out += JsonString(attrs[i].first) + ":" + JsonString(attrs[i].second);
  }
  return out + "}";
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); i++) {
    if (i) out += ",";
    out += JsonString(items[i]);
  }
  return out + "]";
}

std::string ReleaseJson(const ReleaseSpec& release, const std::string& baseUrl) {
  std::ostringstream j;
  j << "{\"version\":" << release.version << ",\"base_url\":" << JsonString(baseUrl)
    << ",\"channel\":" << JsonString(release.channel) << ",\"info\":" << JsonAttrs(release.info);
  if (!release.groups.empty()) {
    j << ",\"groups\":[";
    for (size_t i = 0; i < release.groups.size(); i++)
      j << (i ? "," : "") << JsonAttrs(release.groups[i]);
    j << "]";
  }
  j << ",\"files\":[";
  for (size_t i = 0; i < release.files.size(); i++) {
    const FixtureFile& f = release.files[i];
    j << (i ? "," : "") << "{\"file\":" << JsonString(f.file)
      << ",\"content_hex\":" << JsonString(Hex(f.content)) << ",\"key\":" << JsonString(f.key);
    if (!f.group.empty()) j << ",\"group\":" << JsonString(f.group);
    if (f.modes >= 0) j << ",\"modes\":" << f.modes;
    if (!f.pack.empty()) j << ",\"pack\":" << JsonString(f.pack);
    if (f.absolute) j << ",\"absolute\":true";
    if (!f.attrs.empty()) j << ",\"attrs\":" << JsonAttrs(f.attrs);
    if (!f.omit.empty()) j << ",\"omit\":" << JsonList(f.omit);
    if (f.hasPackBytes) j << ",\"pack_hex\":" << JsonString(Hex(f.packBytes));
    j << "}";
  }
  j << "]";
  if (release.hasDelete) j << ",\"delete\":" << JsonList(release.deletes);
  if (release.hasRawDocument) j << ",\"raw_document\":" << JsonString(release.rawDocument);
  j << "}";
  return j.str();
}

}  // namespace

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (size_t i = 0; i < size; i++) out[i] = static_cast<char>(gen() & 0xFF);
  return out;
}

std::string DefaultPackName(const std::string& file) {
  std::string out;
  for (char c : file) {
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '_' || c == '-';
    out += keep ? c : '_';
  }
  return out + ".pak";
}

bool BuildRelease(const ReleaseSpec& release, const std::string& root, const std::string& baseUrl,
                  std::string* error) {
  testutil::TempDir scratch;
  std::string config = scratch.Sub("release.json");
  if (!testutil::WriteFile(config, ReleaseJson(release, baseUrl))) {
    if (error) *error = "cannot write " + config;
    return false;
  }
  std::string out, err;
  int code = testutil::RunProgram(
      {"/usr/bin/python3", testutil::SourcePath("tests/support/make_release.py"), config, root},
      &out, &err);
  if (code != 0) {
    if (error) *error = "make_release.py failed (" + std::to_string(code) + "): " + err;
    return false;
  }
  return true;
}

Site::Site(const std::string& extraConf) {
  server_ = std::make_unique<testutil::NginxServer>(root_.path(), extraConf);
}

std::string Site::ServerArg() const { return "127.0.0.1:" + std::to_string(port()); }

std::string Site::PackBase() const { return server_->Url("/packs"); }

std::string Site::PackPath(const std::string& packName) const {
  return root_.Sub("packs/" + packName);
}

bool Site::Publish(const ReleaseSpec& release, std::string* error) {
  return BuildRelease(release, root_.path(), PackBase(), error);
}

std::vector<std::string> Site::Requests() const {
  std::vector<std::string> out;
  std::istringstream log(server_->AccessLog());
  std::string line;
  while (std::getline(log, line)) {
    size_t open = line.find('"');
    size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    if (close != std::string::npos) out.push_back(line.substr(open + 1, close - open - 1));
  }
  return out;
}

std::vector<std::string> Site::RequestConnections() const {
  std::vector<std::string> out;
  std::istringstream log(server_->ConnectionLog());
  std::string line;
  while (std::getline(log, line)) out.push_back(line.substr(0, line.find(' ')));
  return out;
}

std::unique_ptr<testutil::NginxServer> Site::Another(const std::string& extraConf) const {
  return std::make_unique<testutil::NginxServer>(root_.path(), extraConf);
}

RunResult RunUpdater(const std::vector<std::string>& args, const std::string& cwd) {
  testutil::TempDir scratch;
  std::vector<std::string> argv = {testutil::BinPath("updater")};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult r;
  r.code = testutil::RunProgram(argv, &r.out, &r.err, cwd.empty() ? scratch.path() : cwd);
  return r;
}

std::vector<std::string> ProgressSegments(const std::string& out) {
  std::vector<std::string> segs;
  size_t pos = 0;
  while ((pos = out.find('\r', pos)) != std::string::npos) {
    size_t end = out.find_first_of("\r\n", pos + 1);
    if (end == std::string::npos) end = out.size();
    segs.push_back(out.substr(pos, end - pos));
    pos = end;
  }
  return segs;
}

namespace {

// Length of the progress segment starting at out[pos] (a carriage return): a bar
// ("[", '#' and blanks, "]", then " NAME COUNT bytes" or " COUNT bytes") or a byte count
// ("Downloading...: N bytes received" and ten blanks), followed by its padding blanks.
// 0 when no progress text starts there.
size_t ProgressLength(const std::string& out, size_t pos) {
  size_t i = pos + 1;
  auto digitsThenBytes = [&](size_t at) -> size_t {
    // Finds the first " <digits> bytes" at or after `at` on this line; returns its end.
    size_t lineEnd = out.find_first_of("\r\n", at);
    if (lineEnd == std::string::npos) lineEnd = out.size();
    for (size_t k = at; k < lineEnd; k++) {
      size_t d = k;
      if (out[d] == '-') d++;
      size_t start = d;
      while (d < lineEnd && out[d] >= '0' && out[d] <= '9') d++;
      if (d > start && (k == at || out[k - 1] == ' ') && out.compare(d, 6, " bytes") == 0) {
        return d + 6;
      }
    }
    return 0;
  };
  size_t end = 0;
  if (i < out.size() && out[i] == '[') {
    size_t j = i + 1;
    while (j < out.size() && (out[j] == '#' || out[j] == ' ')) j++;
    if (j < out.size() && out[j] == ']') end = digitsThenBytes(j + 1);
  } else if (out.compare(i, 11, "Downloading") == 0) {
    end = digitsThenBytes(i + 11);
    if (end && out.compare(end, 9, " received") == 0) {
      end += 9;
    } else {
      end = 0;
    }
  }
  if (!end) return 0;
  while (end < out.size() && out[end] == ' ') end++;
  return end - pos;
}

}  // namespace

std::vector<std::string> OutputLines(const std::string& out) {
  std::string text;
  for (size_t i = 0; i < out.size();) {
    if (out[i] == '\r') {
      size_t n = ProgressLength(out, i);
      if (n) {
        i += n;
        continue;
      }
    }
    text += out[i++];
  }
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

bool ContainsInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& want) {
  size_t w = 0;
  for (size_t i = 0; i < lines.size() && w < want.size(); i++) {
    if (lines[i] == want[w]) w++;
  }
  return w == want.size();
}

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += "  |" + l + "|\n";
  return out;
}

Background::Background(const std::vector<std::string>& argv, const std::string& cwd) {
  std::string outPath = dir_.Sub("out");
  pid_t pid = fork();
  if (pid < 0) return;
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || o < 0) _exit(127);
    dup2(in, 0);
    dup2(o, 1);
    dup2(o, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  pid_ = pid;
}

Background::~Background() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Background::Kill(int sig) { return pid_ > 0 && kill(pid_, sig) == 0; }

bool Background::Wait(int timeoutMs) {
  if (pid_ <= 0) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) termSignal_ = WTERMSIG(status);
      pid_ = -1;
      return true;
    }
    if (r < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string Background::Output() const { return testutil::ReadFileOr(dir_.Sub("out")); }

int RunOnTerminal(const std::vector<std::string>& argv, const std::string& cwd, int columns,
                  std::string* out, int timeoutMs) {
  out->clear();
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    if (master >= 0) close(master);
    return -1;
  }
  const char* slaveName = ptsname(master);
  if (!slaveName) {
    close(master);
    return -1;
  }
  std::string slavePath = slaveName;
  struct winsize ws = {};
  ws.ws_row = 24;
  ws.ws_col = static_cast<unsigned short>(columns);
  ioctl(master, TIOCSWINSZ, &ws);
  pid_t pid = fork();
  if (pid < 0) {
    close(master);
    return -1;
  }
  if (pid == 0) {
    setsid();
    int slave = open(slavePath.c_str(), O_RDWR);
    int in = open("/dev/null", O_RDONLY);
    if (slave < 0 || in < 0) _exit(127);
    // Raw mode: the program's bytes arrive unchanged (no newline translation).
    struct termios t;
    if (tcgetattr(slave, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
    }
    dup2(in, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    close(master);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  bool timedOut = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    struct pollfd p = {master, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 200)));
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    ssize_t n = read(master, buf, sizeof(buf));
    if (n <= 0) break;  // EIO once the program and its terminal are gone
    out->append(buf, static_cast<size_t>(n));
  }
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  if (timedOut || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int FileMode(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
void ListInto(const std::string& dir, const std::string& rel, std::vector<std::string>* out) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name;
    std::string relName = rel.empty() ? name : rel + "/" + name;
    if (IsDirectory(path)) {
      ListInto(path, relName, out);
    } else {
      out->push_back(relName);
    }
  }
  closedir(d);
}
}  // namespace

std::vector<std::string> ListTree(const std::string& dir) {
  std::vector<std::string> out;
  ListInto(dir, "", &out);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> ListInstalled(const std::string& base) {
  std::vector<std::string> out;
  for (const std::string& name : ListTree(base)) {
    if (name.compare(0, 12, "tmp/updater/") != 0) out.push_back(name);
  }
  return out;
}

std::vector<std::string> ListPacks(const std::string& base) {
  std::vector<std::string> out;
  for (const std::string& name : ListTree(base + "/tmp/updater")) {
    if (name.find('/') == std::string::npos && name != "updater.lock" && name != "stat cache") {
      out.push_back(name);
    }
  }
  return out;
}

bool HasLineStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const auto& l : lines) {
    if (l.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

std::string LineStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const auto& l : lines) {
    if (l.compare(0, prefix.size(), prefix) == 0) return l;
  }
  return "";
}

}  // namespace updtest
