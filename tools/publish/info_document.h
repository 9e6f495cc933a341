// The update-information document that the updater downloads for its channel: rendering it from
// a release, and reading back the one of the previous release (for its delete list and for the
// packs that unchanged files keep). Version 2 carries SHA-256 checksums, groups and URLs relative
// to "FileBase"; version 1 carries MD5 checksums, absolute URLs and no groups.
//
// Thread rules: no shared state.
#ifndef TOOLS_PUBLISH_INFO_DOCUMENT_H_
#define TOOLS_PUBLISH_INFO_DOCUMENT_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "groups_file.h"

// A patch from an older version of a file (docs/delta-format.md), under the file base.
struct DocPatch {
  std::string from;     // SHA-256 of the old file, hex
  std::string url;      // relative to the file base
  std::string packsha;  // SHA-256 of the patch, hex
  uint64_t packsize = 0;
};

struct DocFile {
  std::string name;
  std::string url;  // relative to the file base (or absolute when url_absolute)
  bool url_absolute = false;
  std::string key;
  std::string sha, packsha, md5, packmd5;  // hex; those the version carries
  std::string groups;                      // comma-separated group names
  uint64_t size = 0;
  uint64_t packsize = 0;  // bytes of the pack
  uint32_t modes = 0;
  std::vector<DocPatch> patches;  // version 2 only
};

struct InfoDocument {
  int version = 2;
  uint64_t serial = 0;  // "serial": 0 = none
  std::string expires;  // "expires" (YYYY-MM-DDTHH:MM:SSZ); empty = none
  std::string app, author, home_url, file_base;
  std::vector<GroupSpec> groups;
  std::vector<DocFile> files;
  std::vector<std::string> deletes;
};

// The XML text of doc, in a fixed layout, so that the same document always gives the same bytes.
std::string RenderDocument(const InfoDocument& doc);

// Reads the document at path. True on success; false with *error naming the file and the fault.
// Relative URLs, and absolute ones that begin with the document's file base, come back relative.
bool ReadDocument(const std::string& path, InfoDocument* doc, std::string* error);

// Text with the five XML special characters written as entities, for use in an attribute.
std::string XmlEscape(const std::string& text);

// True when url begins with a scheme the updater fetches directly (http, https, ftp; any case).
bool IsAbsoluteUrl(const std::string& url);

#endif  // TOOLS_PUBLISH_INFO_DOCUMENT_H_
