#include "groups_file.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "GenLib.h"
#include "ini-reader.h"

namespace {

// Values are read into a buffer this large; a longer value would be cut, so it is refused.
const size_t kValueBuffer = 64 * 1024;

// The value of key in section, or def when the key is absent. *too_long is set when the value
// filled the whole buffer and may have been cut.
std::string IniValue(const std::string& path, const std::string& section, const char* key,
                     const char* def, bool* too_long) {
  std::string buf(kValueBuffer, '\0');
  if (!Get_INI_String(path.c_str(), section.c_str(), key, &buf[0], kValueBuffer, def)) {
    return std::string();
  }
  size_t len = strlen(buf.c_str());
  if (len >= kValueBuffer - 1) *too_long = true;
  buf.resize(len);
  return buf;
}

bool ParseLong(const std::string& text, long lo, long hi, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Empty when name can be a group name; otherwise why not. Group names are keys of the updater's
// INI file and items of the comma-separated "group" attribute.
std::string CheckGroupName(const std::string& name) {
  if (name.empty()) return "an empty group name";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return "group name '" + name + "' holds a control character";
    if (c == ',' || c == '=' || c == '[' || c == ']' || c == ';' || c == ' ') {
      return "group name '" + name + "' holds one of the characters , = [ ] ; or a blank";
    }
  }
  if (!utf8_is_valid(name.c_str())) return "group name '" + name + "' is not valid UTF-8";
  return std::string();
}

}  // namespace

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    size_t a = start, b = end;
    while (a < b && (text[a] == ' ' || text[a] == '\t')) ++a;
    while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\t')) --b;
    if (b > a) out.push_back(text.substr(a, b - a));
    start = end + 1;
  }
  return out;
}

bool LoadGroups(const std::string& path, std::vector<GroupSpec>* groups, std::string* error) {
  groups->clear();
  if (access(path.c_str(), R_OK) != 0) {
    *error = "cannot read groups file " + path + ": " + strerror(errno);
    return false;
  }
  bool too_long = false;
  std::vector<std::string> names = SplitList(IniValue(path, "release", "groups", "", &too_long));
  if (names.empty()) {
    *error = "groups file " + path + " lists no groups (key groups= in section [release])";
    return false;
  }
  for (const std::string& name : names) {
    std::string why = CheckGroupName(name);
    if (!why.empty()) {
      *error = "groups file " + path + ": " + why;
      return false;
    }
    for (const GroupSpec& g : *groups) {
      if (strcasecmp(g.name.c_str(), name.c_str()) == 0) {
        *error = "groups file " + path + ": group '" + name + "' is listed twice";
        return false;
      }
    }
    const std::string section = "group " + name;
    GroupSpec g;
    g.name = name;
    g.disp_name = IniValue(path, section, "dispName", "", &too_long);
    g.menu = IniValue(path, section, "menu", "", &too_long);
    g.desc = IniValue(path, section, "desc", "", &too_long);
    struct {
      const char* key;
      long lo, hi;
      long* out;
    } numbers[] = {{"priority", -2147483647L - 1, 2147483647L, &g.priority},
                   {"default", 0, 2, &g.default_state},
                   {"defaultgrp", 0, 1, &g.default_group}};
    for (auto& n : numbers) {
      std::string v = IniValue(path, section, n.key, "", &too_long);
      if (!v.empty() && !ParseLong(v, n.lo, n.hi, n.out)) {
        *error = "groups file " + path + ": [" + section + "] " + n.key + "=" + v +
                 " is not a whole number from " + std::to_string(n.lo) + " to " +
                 std::to_string(n.hi);
        return false;
      }
    }
    g.patterns = SplitList(IniValue(path, section, "files", "", &too_long));
    if (too_long) {
      *error = "groups file " + path + ": a value in [" + section + "] is too long";
      return false;
    }
    if (g.patterns.empty()) {
      *error = "groups file " + path + ": [" + section + "] has no files= patterns";
      return false;
    }
    groups->push_back(g);
  }
  return true;
}

std::string GroupsOfFile(const std::vector<GroupSpec>& groups, const std::string& name) {
  std::string out;
  for (const GroupSpec& g : groups) {
    for (const std::string& p : g.patterns) {
      if (wildcard_match(p.c_str(), name.c_str())) {
        if (!out.empty()) out += ",";
        out += g.name;
        break;
      }
    }
  }
  return out;
}
