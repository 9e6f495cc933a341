// Parsing large documents without a tree of the whole document and without holding its text.
// The scanner (xml_scan.h) reads the text once, in pieces from the fetched file (or from the
// text held), and hands one element at a time to the same parse steps the tree reading uses: a
// record without children straight from the scanner, anything else as a small TinyXML element
// of its own. The same pass checks what the tree reading checks first: that elements nest at
// most kMaxDocumentDepth deep, that the text is well formed (as far as the scanner reads), and
// that it is laid out as the publisher writes it (one root "update_info" whose "info",
// "groups", "files" and "delete" come in that order). An error in a record is therefore only
// reported once the rest of the text has passed those checks; a document that fails them is
// given up, everything built from it dropped, and read by the tree reading, which words every
// syntax error as before. Debug lines are held back until the pass is kept.
#include <errno.h>
#include <stdlib.h>
#include <tinyxml.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "doc_limits.h"
#include "engine_internal.h"
#include "file_check.h"
#include "libupdater.h"
#include "xml_scan.h"

namespace {

// Where the driver is in the document.
enum class Section { kNone, kGroups, kMirrors, kFiles, kDelete, kOther };

using Outcome = engine::StreamOutcome;

// A TinyXML element with the scanner's current element's name and attributes.
std::unique_ptr<TiXmlElement> ElementOf(const XmlScanner& s) {
  std::unique_ptr<TiXmlElement> e(new TiXmlElement(s.name()));
  for (size_t i = 0; i < s.attributeCount(); i++) {
    e->SetAttribute(s.attributeName(i), s.attributeValue(i));
  }
  return e;
}

// The scanner's current element as the parse steps read it.
class ScannerElementView : public engine::ElementView {
 public:
  explicit ScannerElementView(const XmlScanner& s) : s_(s) {}
  const char* Value() const override { return s_.name().c_str(); }
  const char* Attribute(const char* name) const override { return s_.attribute(name); }

 private:
  const XmlScanner& s_;
};

// The layout the streaming reading takes: one root "update_info", an "info" element, a
// "files" element, and the first "info", "groups", "files" and "delete" below the root in
// that order.
class LayoutCheck {
 public:
  // Whether the element the scanner just started keeps the layout.
  bool start(const XmlScanner& s) {
    if (s.depth() == 1) return s.name() == "update_info";
    if (s.depth() != 2) return true;
    static const char* const kOrder[] = {"info", "groups", "files", "delete"};
    for (int rank = 0; rank < 4; rank++) {
      if (s.name() != kOrder[rank] || seen_[rank]) continue;
      if (rank < last_) return false;
      seen_[rank] = true;
      last_ = rank;
    }
    return true;
  }
  // Whether the text held the elements it must.
  bool complete() const { return seen_[0] && seen_[2]; }

 private:
  int last_ = -1;  // rank of the last first occurrence seen
  bool seen_[4] = {false, false, false, false};
};

// Reads the fetched file at increasing offsets.
class FileSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {}
  ssize_t operator()(char* buffer, size_t size) {
    ssize_t n;
    do {
      n = pread(fd_, buffer, size, offset_);
    } while (n < 0 && errno == EINTR);
    if (n > 0) offset_ += n;
    return n;
  }

 private:
  int fd_;
  off_t offset_ = 0;
};

}  // namespace

bool Updater::parseStreamed(bool* handled) {
  *handled = false;
  // A second parse without a reset adds to what the first built; the tree reading does that.
  if (filesHead_ || groupsHead_) return true;
  std::unique_ptr<XmlScanner> s(infoFd_ >= 0 ? new XmlScanner(FileSource(infoFd_))
                                             : new XmlScanner(infoText_.data(), infoText_.size()));
  std::vector<std::string> held;
  heldDebug_ = &held;
  const std::string errorBefore = lastError_;
  int row = 0;
  const Outcome outcome = streamDocument(s.get(), &row);
  heldDebug_ = nullptr;
  switch (outcome) {
    case Outcome::kUnsupported:
      discardParsed();
      lastError_ = errorBefore;
      return true;
    case Outcome::kTooDeep:
      discardParsed();
      *handled = true;
      return setError(
          "Error parsing updater-info.xml (elements nested deeper than %d levels at row %d)",
          kMaxDocumentDepth, row);
    case Outcome::kRead:
    case Outcome::kFailed:
      break;
  }
  *handled = true;
  for (const std::string& line : held) debugf("%s", line.c_str());
  return outcome == Outcome::kRead;
}

engine::StreamOutcome Updater::streamDocument(XmlScanner* scanner, int* row) {
  XmlScanner& s = *scanner;
  LayoutCheck layout;
  Section section = Section::kNone;
  bool infoDone = false, groupsDone = false, filesDone = false, deleteDone = false;
  bool mirrorsDone = false;
  bool failed = false;  // a step failed: the rest is only checked
  mirrors_.clear();
  int index = 0;
  const char* sumAttr = nullptr;
  const char* packAttr = nullptr;
  // The record being read (depth 3 of the files or delete section) and its children; a record
  // without children is read at its start tag instead.
  std::unique_ptr<TiXmlElement> record;
  bool recordRead = false;
  for (;;) {
    XmlScanner::Event e = s.next();
    if (e == XmlScanner::UNSUPPORTED) return Outcome::kUnsupported;
    if (e == XmlScanner::DONE) {
      if (!layout.complete()) return Outcome::kUnsupported;
      return failed ? Outcome::kFailed : Outcome::kRead;
    }
    if (e == XmlScanner::START) {
      if (s.depth() > static_cast<size_t>(kMaxDocumentDepth)) {
        *row = static_cast<int>(s.line());
        return Outcome::kTooDeep;
      }
      if (!layout.start(s)) return Outcome::kUnsupported;
    }
    if (failed) continue;
    const size_t depth = e == XmlScanner::START ? s.depth() : s.depth() + 1;
    if (e == XmlScanner::START && depth == 1) {
      std::unique_ptr<TiXmlElement> root = ElementOf(s);
      if (!checkGuards(root.get())) {
        failed = true;
        continue;
      }
      const char* version = root->Attribute("version");
      infoVersion_ = static_cast<int32_t>(strtol(version ? version : "0", nullptr, 10));
      debugf("Info version: %d", infoVersion_);
    } else if (e == XmlScanner::START && depth == 2) {
      section = Section::kOther;
      if (s.name() == "info" && !infoDone) {
        infoDone = true;
        const char* v;
        appName_ = (v = s.attribute("AppName")) ? v : "";
        author_ = (v = s.attribute("Author")) ? v : "";
        homeUrl_ = (v = s.attribute("URL")) ? v : "";
        if (infoVersion_ > 1) fileBase_ = (v = s.attribute("FileBase")) ? v : "";
      } else if (s.name() == "groups" && !groupsDone) {
        groupsDone = true;
        if (infoVersion_ > 1) section = Section::kGroups;
      } else if (s.name() == "mirrors" && !mirrorsDone) {
        mirrorsDone = true;
        if (infoVersion_ > 1) section = Section::kMirrors;
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
      if (section == Section::kDelete && !parseDeletes(record.get())) failed = true;
      record.reset();
      section = Section::kNone;
    } else if (e == XmlScanner::START && depth == 3) {
      if (section == Section::kGroups && s.name() == "group") {
        if (!parseGroup(ElementOf(s).get(), ++index)) failed = true;
      } else if (section == Section::kMirrors && s.name() == "mirror") {
        addMirror(ElementOf(s).get());
      } else if (section == Section::kFiles && s.selfClosing()) {
        recordRead = true;
        if (!parseFileRecord(ScannerElementView(s), nullptr, ++index, sumAttr, packAttr)) {
          failed = true;
        }
      } else if (section == Section::kFiles) {
        record = ElementOf(s);
      } else if (section == Section::kDelete) {
        record->LinkEndChild(ElementOf(s).release());
      }
    } else if (e == XmlScanner::END && depth == 3 && section == Section::kFiles) {
      // The record is complete with its children (patches): read it now.
      if (!recordRead && !parseFileRecord(engine::TreeElementView(record.get()), record.get(),
                                          ++index, sumAttr, packAttr)) {
        failed = true;
      }
      recordRead = false;
      record.reset();
    } else if (e == XmlScanner::START && depth == 4 && section == Section::kFiles) {
      record->LinkEndChild(ElementOf(s).release());
    }
  }
}
