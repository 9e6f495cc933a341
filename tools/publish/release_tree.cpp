#include "release_tree.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#include "GenLib.h"

namespace {

// realpath() as a std::string; empty when the path cannot be resolved.
std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (!realpath(path.c_str(), buf)) return std::string();
  return buf;
}

bool IsInside(const std::string& real_root, const std::string& real_path) {
  if (real_root == "/") return true;
  return real_path.size() > real_root.size() &&
         real_path.compare(0, real_root.size(), real_root) == 0 &&
         real_path[real_root.size()] == '/';
}

// The name shown in messages: control characters as \xNN, so the message itself stays readable.
std::string Printable(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\x%02x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

class Walker {
 public:
  Walker(const std::string& real_root, std::vector<ReleaseFile>* files,
         std::vector<std::string>* problems)
      : real_root_(real_root), files_(files), problems_(problems) {}

  void Walk(const std::string& dir, const std::string& prefix) {
    DIR* d = opendir(dir.c_str());
    if (!d) {
      problems_->push_back("cannot read directory " + dir + ": " + strerror(errno));
      return;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) Visit(dir + "/" + n, prefix + n);
  }

 private:
  void Visit(const std::string& path, const std::string& name) {
    const std::string shown = "'" + Printable(name) + "'";
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      problems_->push_back("cannot examine " + Printable(path) + ": " + strerror(errno));
      return;
    }
    if (S_ISDIR(st.st_mode)) {
      Walk(path, name + "/");
      return;
    }
    std::string read_path = path;
    if (S_ISLNK(st.st_mode)) {
      std::string target = RealPath(path);
      if (target.empty()) {
        problems_->push_back(shown + " is a symbolic link that leads nowhere");
        return;
      }
      if (!IsInside(real_root_, target)) {
        problems_->push_back(shown + " is a symbolic link out of the release tree (to " + target +
                             ")");
        return;
      }
      if (stat(target.c_str(), &st) != 0) {
        problems_->push_back("cannot examine " + target + ": " + strerror(errno));
        return;
      }
      if (S_ISDIR(st.st_mode)) {
        problems_->push_back(shown + " is a symbolic link to a directory; only links to " +
                             "files are published");
        return;
      }
      read_path = target;
    }
    if (!S_ISREG(st.st_mode)) {
      problems_->push_back(shown + " is not a regular file");
      return;
    }
    std::string why = CheckFileName(name);
    if (!why.empty()) {
      problems_->push_back(why);
      return;
    }
    if (st.st_size == 0) {
      problems_->push_back(shown + " is empty; the updater cannot install an empty file");
      return;
    }
    if (static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFull) {
      problems_->push_back(shown + " is 4 GiB or larger; the updater unpacks files of " +
                           "at most 4294967295 bytes");
      return;
    }
    ReleaseFile f;
    f.name = name;
    f.path = read_path;
    f.size = static_cast<uint64_t>(st.st_size);
    f.modes = static_cast<uint32_t>(st.st_mode & 0777);
    files_->push_back(f);
  }

  std::string real_root_;
  std::vector<ReleaseFile>* files_;
  std::vector<std::string>* problems_;
};

}  // namespace

std::string CheckFileName(const std::string& name) {
  const std::string shown = "'" + Printable(name) + "'";
  if (name.empty()) return "an empty file name cannot be published";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return shown + " holds a control character";
    if (c == '\\') return shown + " holds a backslash, which the updater refuses in file names";
  }
  if (!utf8_is_valid(name.c_str())) return shown + " is not valid UTF-8";
  if (name.size() > kMaxNameLength) {
    return shown + " is longer than " + std::to_string(kMaxNameLength) + " bytes";
  }
  if (name[0] == '/') return shown + " is an absolute path";
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") {
      return shown + " has an empty, \".\" or \"..\" component";
    }
    start = end + 1;
  }
  if (name == ".updater.ini" || name == "updater-info.xml" || name == "tmp/updater" ||
      name.compare(0, 12, "tmp/updater/") == 0) {
    return shown + " is a name the updater keeps for itself";
  }
  return std::string();
}

bool WalkRelease(const std::string& root, std::vector<ReleaseFile>* files,
                 std::vector<std::string>* problems) {
  files->clear();
  std::string real_root = RealPath(root);
  struct stat st;
  if (real_root.empty() || stat(real_root.c_str(), &st) != 0) {
    problems->push_back("cannot open release tree " + root + ": " + strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    problems->push_back("release tree " + root + " is not a directory");
    return false;
  }
  size_t before = problems->size();
  Walker(real_root, files, problems).Walk(real_root, "");
  std::sort(files->begin(), files->end(),
            [](const ReleaseFile& a, const ReleaseFile& b) { return a.name < b.name; });
  if (files->empty() && problems->size() == before) {
    problems->push_back("release tree " + root + " holds no files");
  }
  return problems->size() == before;
}
