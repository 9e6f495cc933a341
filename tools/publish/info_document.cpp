#include "info_document.h"

#include <stdlib.h>
#include <strings.h>
#include <tinyxml.h>

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

bool IsAbsoluteUrl(const std::string& url) {
  return strncasecmp(url.c_str(), "http://", 7) == 0 ||
         strncasecmp(url.c_str(), "https://", 8) == 0 || strncasecmp(url.c_str(), "ftp://", 6) == 0;
}

namespace {

void Attr(std::string* out, const char* name, const std::string& value) {
  *out += " ";
  *out += name;
  *out += "=\"";
  *out += XmlEscape(value);
  *out += "\"";
}

std::string AttrText(const TiXmlElement* e, const char* name) {
  const char* v = e->Attribute(name);
  return v ? std::string(v) : std::string();
}

}  // namespace

std::string RenderDocument(const InfoDocument& doc) {
  const bool v2 = doc.version > 1;
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n";
  out += "<update_info version=\"" + std::to_string(doc.version) + "\"";
  if (doc.serial > 0) Attr(&out, "serial", std::to_string(doc.serial));
  if (!doc.expires.empty()) Attr(&out, "expires", doc.expires);
  out += ">\n";
  out += "  <info";
  Attr(&out, "AppName", doc.app);
  Attr(&out, "Author", doc.author);
  Attr(&out, "URL", doc.home_url);
  Attr(&out, "FileBase", doc.file_base);
  out += " />\n";
  if (v2 && !doc.groups.empty()) {
    out += "  <groups>\n";
    for (const GroupSpec& g : doc.groups) {
      out += "    <group";
      Attr(&out, "name", g.name);
      if (!g.disp_name.empty()) Attr(&out, "dispName", g.disp_name);
      if (!g.menu.empty()) Attr(&out, "menu", g.menu);
      if (!g.desc.empty()) Attr(&out, "desc", g.desc);
      Attr(&out, "priority", std::to_string(g.priority));
      Attr(&out, "default", std::to_string(g.default_state));
      Attr(&out, "defaultgrp", std::to_string(g.default_group));
      out += " />\n";
    }
    out += "  </groups>\n";
  }
  out += "  <files>\n";
  for (const DocFile& f : doc.files) {
    out += "    <file";
    Attr(&out, "file", f.name);
    Attr(&out, "size", std::to_string(f.size));
    Attr(&out, "modes", std::to_string(f.modes));
    Attr(&out, "url", v2 || f.url_absolute ? f.url : doc.file_base + f.url);
    if (v2 && !f.groups.empty()) Attr(&out, "group", f.groups);
    Attr(&out, "key", f.key);
    if (v2) {
      Attr(&out, "sha", f.sha);
      Attr(&out, "packsha", f.packsha);
      Attr(&out, "packsize", std::to_string(f.packsize));
    } else {
      Attr(&out, "md5", f.md5);
      Attr(&out, "packmd5", f.packmd5);
      Attr(&out, "packsize", std::to_string(f.packsize));
    }
    if (!v2 || f.patches.empty()) {
      out += " />\n";
      continue;
    }
    out += ">\n";
    for (const DocPatch& p : f.patches) {
      out += "      <patch";
      Attr(&out, "from", p.from);
      Attr(&out, "url", p.url);
      Attr(&out, "packsize", std::to_string(p.packsize));
      Attr(&out, "packsha", p.packsha);
      out += " />\n";
    }
    out += "    </file>\n";
  }
  out += "  </files>\n";
  if (!doc.deletes.empty()) {
    out += "  <delete>\n";
    for (const std::string& d : doc.deletes) {
      out += "    <file";
      Attr(&out, "file", d);
      out += " />\n";
    }
    out += "  </delete>\n";
  }
  out += "</update_info>\n";
  return out;
}

bool ReadDocument(const std::string& path, InfoDocument* doc, std::string* error) {
  *doc = InfoDocument();
  TiXmlDocument xml;
  if (!xml.LoadFile(path.c_str())) {
    *error = "cannot read previous document " + path + " (" + xml.ErrorDesc() + " at row " +
             std::to_string(xml.ErrorRow()) + ", col " + std::to_string(xml.ErrorCol()) + ")";
    return false;
  }
  const TiXmlElement* root = xml.FirstChildElement("update_info");
  const TiXmlElement* info = root ? root->FirstChildElement("info") : nullptr;
  const TiXmlElement* files = root ? root->FirstChildElement("files") : nullptr;
  if (!info || !files) {
    *error = "previous document " + path + " lacks update_info, info or files";
    return false;
  }
  doc->version = atoi(AttrText(root, "version").c_str());
  doc->serial = strtoull(AttrText(root, "serial").c_str(), nullptr, 10);
  doc->expires = AttrText(root, "expires");
  doc->app = AttrText(info, "AppName");
  doc->author = AttrText(info, "Author");
  doc->home_url = AttrText(info, "URL");
  doc->file_base = AttrText(info, "FileBase");
  for (const TiXmlElement* e = files->FirstChildElement(); e; e = e->NextSiblingElement()) {
    DocFile f;
    f.name = AttrText(e, "file");
    f.url = AttrText(e, "url");
    f.key = AttrText(e, "key");
    f.sha = AttrText(e, "sha");
    f.packsha = AttrText(e, "packsha");
    f.md5 = AttrText(e, "md5");
    f.packmd5 = AttrText(e, "packmd5");
    f.groups = AttrText(e, "group");
    f.size = strtoull(AttrText(e, "size").c_str(), nullptr, 10);
    f.packsize = strtoull(AttrText(e, "packsize").c_str(), nullptr, 10);
    f.modes = static_cast<uint32_t>(strtoul(AttrText(e, "modes").c_str(), nullptr, 10));
    if (IsAbsoluteUrl(f.url)) {
      if (!doc->file_base.empty() && f.url.compare(0, doc->file_base.size(), doc->file_base) == 0) {
        f.url = f.url.substr(doc->file_base.size());
      } else {
        f.url_absolute = true;
      }
    }
    for (const TiXmlElement* p = e->FirstChildElement("patch"); p;
         p = p->NextSiblingElement("patch")) {
      DocPatch patch;
      patch.from = AttrText(p, "from");
      patch.url = AttrText(p, "url");
      patch.packsha = AttrText(p, "packsha");
      patch.packsize = strtoull(AttrText(p, "packsize").c_str(), nullptr, 10);
      if (!patch.from.empty() && !patch.url.empty() && !IsAbsoluteUrl(patch.url)) {
        f.patches.push_back(patch);
      }
    }
    if (!f.name.empty()) doc->files.push_back(f);
  }
  if (const TiXmlElement* del = root->FirstChildElement("delete")) {
    for (const TiXmlElement* e = del->FirstChildElement(); e; e = e->NextSiblingElement()) {
      std::string name = AttrText(e, "file");
      if (!name.empty()) doc->deletes.push_back(name);
    }
  }
  return true;
}
