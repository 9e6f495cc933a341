// Package groups of a release, read from a groups file in the project's INI format:
//
//   [release]
//   groups=core, plugins, docs        (the groups, in this order)
//
//   [group core]
//   dispName=Core program             (optional; the updater shows the name otherwise)
//   menu=Program                      (optional)
//   desc=First line\nSecond line      (optional; a backslash-n starts a new line)
//   priority=100                      (optional, default 50; higher is shown first)
//   default=1                         (optional, default 0: 0 not selected, 1 install, 2 remove)
//   defaultgrp=1                      (optional, default 0)
//   files=vantorex, lib/*             (wildcard patterns: * any run, ? any one character)
//
// A file belongs to every group with a pattern that matches its whole name (letter case
// counts); a file that no pattern matches has no group.
//
// Thread rules: no shared state; reads go through the INI module's own lock.
#ifndef TOOLS_PUBLISH_GROUPS_FILE_H_
#define TOOLS_PUBLISH_GROUPS_FILE_H_

#include <string>
#include <vector>

struct GroupSpec {
  std::string name, disp_name, menu, desc;
  long priority = 50;
  long default_state = 0;
  long default_group = 0;
  std::vector<std::string> patterns;
};

// Reads the groups file at path. True with *groups in file order; false with *error naming the
// file and what is wrong with it.
bool LoadGroups(const std::string& path, std::vector<GroupSpec>* groups, std::string* error);

// Comma-separated names of the groups whose patterns match name, in group order; empty when none.
std::string GroupsOfFile(const std::vector<GroupSpec>& groups, const std::string& name);

// Splits text at commas and trims blanks around each item; empty items are dropped.
std::vector<std::string> SplitList(const std::string& text);

#endif  // TOOLS_PUBLISH_GROUPS_FILE_H_
