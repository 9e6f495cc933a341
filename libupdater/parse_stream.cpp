// Parsing large documents without a tree of the whole document. The scanner (xml_scan.h) reads
// the text twice: once to make sure it is well formed and laid out as the publisher writes it
// (one root "update_info" whose "info", "groups", "files" and "delete" come in that order), then
// to hand one element at a time, as a small TinyXML element of its own, to the same parse steps
// the tree reading uses. Memory so stays bounded by the records kept, not by the document.
// Anything the scanner does not read, and any other layout, goes to the tree reading, which
// words every syntax error as before.
#include <stdlib.h>
#include <tinyxml.h>

#include <memory>
#include <string>

#include "libupdater.h"
#include "xml_scan.h"

namespace {

// Where the driver is in the document.
enum class Section { kNone, kGroups, kFiles, kDelete, kOther };

// A TinyXML element with the scanner's current element's name and attributes.
std::unique_ptr<TiXmlElement> ElementOf(const XmlScanner& s) {
  std::unique_ptr<TiXmlElement> e(new TiXmlElement(s.name()));
  for (size_t i = 0; i < s.attributeCount(); i++) {
    e->SetAttribute(s.attributeName(i), s.attributeValue(i));
  }
  return e;
}

// Whether text is laid out as the streaming reading expects: well formed (as far as the
// scanner reads), one root "update_info", an "info" element, a "files" element, and the first
// "info", "groups", "files" and "delete" below the root in that order.
bool StreamableLayout(const std::string& text) {
  XmlScanner s(text.data(), text.size());
  int last = -1;  // rank of the last first occurrence seen
  bool seen[4] = {false, false, false, false};
  for (;;) {
    XmlScanner::Event e = s.next();
    if (e == XmlScanner::UNSUPPORTED) return false;
    if (e == XmlScanner::DONE) return seen[0] && seen[2];
    if (e != XmlScanner::START) continue;
    if (s.depth() == 1 && s.name() != "update_info") return false;
    if (s.depth() != 2) continue;
    static const char* const kOrder[] = {"info", "groups", "files", "delete"};
    for (int rank = 0; rank < 4; rank++) {
      if (s.name() != kOrder[rank] || seen[rank]) continue;
      if (rank < last) return false;
      seen[rank] = true;
      last = rank;
    }
  }
}

}  // namespace

bool Updater::parseStreamed(bool* handled) {
  *handled = false;
  if (!StreamableLayout(infoText_)) return true;
  *handled = true;

  XmlScanner s(infoText_.data(), infoText_.size());
  Section section = Section::kNone;
  bool infoDone = false, groupsDone = false, filesDone = false, deleteDone = false;
  int index = 0;
  const char* sumAttr = nullptr;
  const char* packAttr = nullptr;
  // The record being read (depth 3 of the files or delete section) and its children.
  std::unique_ptr<TiXmlElement> record;
  for (;;) {
    XmlScanner::Event e = s.next();
    if (e == XmlScanner::DONE || e == XmlScanner::UNSUPPORTED) break;
    const size_t depth = e == XmlScanner::START ? s.depth() : s.depth() + 1;
    if (e == XmlScanner::START && depth == 1) {
      std::unique_ptr<TiXmlElement> root = ElementOf(s);
      if (!checkGuards(root.get())) return false;
      const char* version = root->Attribute("version");
      infoVersion_ = static_cast<int32_t>(strtol(version ? version : "0", nullptr, 10));
      debugf("Info version: %d", infoVersion_);
    } else if (e == XmlScanner::START && depth == 2) {
      section = Section::kOther;
      if (s.name() == "info" && !infoDone) {
        infoDone = true;
        std::unique_ptr<TiXmlElement> info = ElementOf(s);
        const char* v;
        appName_ = (v = info->Attribute("AppName")) ? v : "";
        author_ = (v = info->Attribute("Author")) ? v : "";
        homeUrl_ = (v = info->Attribute("URL")) ? v : "";
        if (infoVersion_ > 1) fileBase_ = (v = info->Attribute("FileBase")) ? v : "";
      } else if (s.name() == "groups" && !groupsDone) {
        groupsDone = true;
        if (infoVersion_ > 1) section = Section::kGroups;
      } else if (s.name() == "files" && !filesDone) {
        filesDone = true;
        section = Section::kFiles;
        debugf("Building file list...");
        beginFiles(&sumAttr, &packAttr);
      } else if (s.name() == "delete" && !deleteDone) {
        deleteDone = true;
        section = Section::kDelete;
        record.reset(new TiXmlElement("delete"));
      }
      index = 0;
    } else if (e == XmlScanner::END && depth == 2) {
      if (section == Section::kGroups && groupsHead_ && groupsHead_->next) sortGroups();
      if (section == Section::kDelete && !parseDeletes(record.get())) return false;
      record.reset();
      section = Section::kNone;
    } else if (e == XmlScanner::START && depth == 3) {
      if (section == Section::kGroups && s.name() == "group") {
        if (!parseGroup(ElementOf(s).get(), ++index)) return false;
      } else if (section == Section::kFiles) {
        record = ElementOf(s);
      } else if (section == Section::kDelete) {
        record->LinkEndChild(ElementOf(s).release());
      }
    } else if (e == XmlScanner::END && depth == 3 && section == Section::kFiles) {
      // The record is complete with its children (patches): read it now.
      if (!parseFileRecord(record.get(), ++index, sumAttr, packAttr)) return false;
      record.reset();
    } else if (e == XmlScanner::START && depth == 4 && section == Section::kFiles) {
      record->LinkEndChild(ElementOf(s).release());
    }
  }
  return true;
}
