// The streaming XML scanner against TinyXML: every document the scanner reads to the end must
// be one TinyXML reads without error into the same elements and attribute values; what the
// scanner does not read must be reported, never misread.
#include <gtest/gtest.h>
#include <string.h>
#include <tinyxml.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "xml_scan.h"

namespace {

// One line per start tag ("<name a=v b=w") and per end tag ("</name").
void Walk(const TiXmlElement* e, std::vector<std::string>* out) {
  std::string line = "<" + std::string(e->Value());
  for (const TiXmlAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
    line += std::string(" ") + a->Name() + "=" + a->Value();
  }
  out->push_back(line);
  for (const TiXmlElement* c = e->FirstChildElement(); c; c = c->NextSiblingElement()) {
    Walk(c, out);
  }
  out->push_back("</" + std::string(e->Value()));
}

// TinyXML's reading of text; false when it reports an error.
bool ParseWithTinyXml(const std::string& text, std::vector<std::string>* out) {
  TiXmlDocument doc;
  std::string padded = text + std::string(16, '\0');
  doc.Parse(padded.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (doc.Error()) return false;
  for (const TiXmlElement* e = doc.FirstChildElement(); e; e = e->NextSiblingElement()) {
    Walk(e, out);
  }
  return true;
}

// Block sizes the scanner reads a source in (0: the text given whole). Pieces of 1 and 7 bytes
// split every tag, comment, entity and multi-byte character somewhere.
const size_t kBlocks[] = {0, 1, 7, 4096};

// The scanner's reading, from the text whole or from a source giving block bytes at a time;
// false when it stops with UNSUPPORTED.
bool Scan(const std::string& text, std::vector<std::string>* out, size_t block = 0) {
  size_t given = 0;
  XmlScanner whole(text.data(), text.size());
  XmlScanner pieces(
      [&](char* buffer, size_t size) -> ssize_t {
        EXPECT_EQ(size, block);
        const size_t n = std::min(size, text.size() - given);
        memcpy(buffer, text.data() + given, n);
        given += n;
        return static_cast<ssize_t>(n);
      },
      block);
  XmlScanner& s = block ? pieces : whole;
  for (;;) {
    switch (s.next()) {
      case XmlScanner::START: {
        std::string line = "<" + s.name();
        for (size_t i = 0; i < s.attributeCount(); i++) {
          line += " " + s.attributeName(i) + "=" + s.attributeValue(i);
          if (s.attribute(s.attributeName(i).c_str()) != s.attributeValue(i)) {
            ADD_FAILURE() << "attribute() disagrees for " << s.attributeName(i);
          }
        }
        out->push_back(line);
        break;
      }
      case XmlScanner::END:
        out->push_back("</" + s.name());
        break;
      case XmlScanner::DONE:
        return true;
      case XmlScanner::UNSUPPORTED:
        return false;
    }
  }
}

// A document the scanner reads must read the same with TinyXML, and the same in pieces.
void ExpectSameReading(const std::string& text, size_t block = 0) {
  std::vector<std::string> scanned, parsed;
  if (!Scan(text, &scanned, block)) return;
  ASSERT_TRUE(ParseWithTinyXml(text, &parsed)) << "scanner accepted what TinyXML refuses:\n"
                                               << text;
  ASSERT_EQ(scanned, parsed) << text;
}

const char kDocument[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- made by hand -->\n"
    "<update_info version=\"2\">\n"
    "  <info AppName=\"A &amp; B\" Author='O&apos;Neil' URL=\"http://h/?a=1&amp;b=&lt;2&gt;\" "
    "FileBase=\"x&quot;y\"/>\n"
    "  <groups><group name=\"g\" desc=\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 "
    "a>b\"/></groups>\n"
    "  <files>\n"
    "    <file file=\"a b.txt\" sha=\"00\" url=\"a.pak\"/>\n"
    "    <x.y-z:w file='q' url=\"\"></x.y-z:w>\n"
    "    <!-- between -- records -->\n"
    "    <file file=\"n\"><nested deep=\"1\"/></file>\n"
    "  </files>\n"
    "</update_info>\n"
    "<!-- after -->\n";

TEST(XmlScanTest, ReadsTheSupportedPartAsTinyXmlDoes) {
  for (size_t block : kBlocks) {
    SCOPED_TRACE("block " + std::to_string(block));
    std::vector<std::string> scanned;
    ASSERT_TRUE(Scan(kDocument, &scanned, block));
    EXPECT_EQ(scanned.size(), 18u);
    EXPECT_EQ(scanned[1],
              "<info AppName=A & B Author=O'Neil URL=http://h/?a=1&b=<2> FileBase=x\"y");
    ExpectSameReading(kDocument, block);
  }
  for (const char* text : {
           "<a/>",
           "<a></a>",
           "<a x=\"\" y=''/>",
           "\n\t<a\n x=\"1\"\r\n\ty=\"2\"\n/>\n",
           "<?xml version=\"1.0\"?><a/>",
           "<a><b><c/></b><b/></a>",
       }) {
    for (size_t block : kBlocks) {
      std::vector<std::string> out;
      EXPECT_TRUE(Scan(text, &out, block)) << text << " block " << block;
      ExpectSameReading(text, block);
    }
  }
}

TEST(XmlScanTest, StopsAtWhatItDoesNotRead) {
  for (const char* text : {
           "",
           "   ",
           "<!-- only a comment -->",
           "<a>",
           "<a/><b/>",
           "<a/>text",
           "<a>text</a>",
           "<a><![CDATA[x]]></a>",
           "<!DOCTYPE a><a/>",
           "<a x=\"&#65;\"/>",
           "<a x=\"&unknown;\"/>",
           "<a x=\"a&b\"/>",
           "<a x=\"1\" x=\"2\"/>",
           "<a></b>",
           "<a></a >",
           "<a x = \"1\"/>",
           "<a x=1/>",
           "<a x=\"1\"y=\"2\"/>",
           "<a x=\"\xc3\"/>",
           "<a x=\"\xc0\xaf\"/>",
           "<a x=\"\xed\xa0\x80\"/>",
           "<a x=\"tab\there\"/>",
           "<a x=\"<\"/>",
           "<a x=\"open",
           "<1a/>",
           "<a><?pi x?></a>",
           "<?xml version=\"1.0\" other=\"x\"?><a/>",
           "<a/><!-- open",
           "\xef\xbb\xbf<a/>",
           "<a/ >",
       }) {
    for (size_t block : kBlocks) {
      std::vector<std::string> out;
      EXPECT_FALSE(Scan(text, &out, block)) << text << " block " << block;
    }
  }
  // The text ends at its first NUL byte.
  for (size_t block : kBlocks) {
    std::vector<std::string> out;
    EXPECT_FALSE(Scan(std::string("<a>\0</a>", 8), &out, block)) << block;
    EXPECT_TRUE(Scan(std::string("<a/>\0<b", 7), &out, block)) << block;
  }
}

TEST(XmlScanTest, TellsLinesEmptyTagsAndReadErrors) {
  const std::string text =
      "<?xml version=\"1.0\"?>\n<!-- a\n b -->\n<a>\n  <b/>\n\n  <c>\n</c></a>";
  for (size_t block : kBlocks) {
    SCOPED_TRACE("block " + std::to_string(block));
    size_t given = 0;
    XmlScanner whole(text.data(), text.size());
    XmlScanner pieces(
        [&](char* buffer, size_t size) -> ssize_t {
          const size_t n = std::min(size, text.size() - given);
          memcpy(buffer, text.data() + given, n);
          given += n;
          return static_cast<ssize_t>(n);
        },
        block);
    XmlScanner& s = block ? pieces : whole;
    std::vector<std::string> seen;
    for (XmlScanner::Event e = s.next(); e == XmlScanner::START || e == XmlScanner::END;
         e = s.next()) {
      if (e == XmlScanner::START) {
        seen.push_back(s.name() + ":" + std::to_string(s.line()) + (s.selfClosing() ? "/" : ""));
      }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"a:4", "b:5/", "c:7"}));
    EXPECT_EQ(s.next(), XmlScanner::DONE);
    EXPECT_FALSE(s.readFailed());
  }
  // A source that fails stops the scan where it failed, and says so.
  int calls = 0;
  XmlScanner failing(
      [&](char* buffer, size_t size) -> ssize_t {
        if (calls++ > 0) return -1;
        const char start[] = "<a><b/>";
        memcpy(buffer, start, std::min(size, sizeof(start) - 1));
        return static_cast<ssize_t>(std::min(size, sizeof(start) - 1));
      },
      64);
  EXPECT_EQ(failing.next(), XmlScanner::START);
  EXPECT_EQ(failing.next(), XmlScanner::START);
  EXPECT_EQ(failing.next(), XmlScanner::END);
  EXPECT_EQ(failing.next(), XmlScanner::UNSUPPORTED);
  EXPECT_TRUE(failing.readFailed());
}

TEST(XmlScanTest, MutatedDocumentsNeverReadDifferentlyFromTinyXml) {
  // Deterministic mutations of a realistic document: single bytes replaced, inserted and
  // deleted, drawn from the characters that matter to the grammar.
  const std::string alphabet = "<>/=\"'&;!?- \n\tax:._\xc3\xa9\x80\xff";
  std::mt19937 rng(18);
  const std::string seed = kDocument;
  int accepted = 0;
  for (int round = 0; round < 4000; round++) {
    std::string text = seed;
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < edits; k++) {
      size_t at = rng() % text.size();
      char c = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0:
          text[at] = c;
          break;
        case 1:
          text.insert(at, 1, c);
          break;
        default:
          text.erase(at, 1);
      }
    }
    std::vector<std::string> scanned, inPieces;
    const bool read = Scan(text, &scanned);
    if (read) accepted++;
    ExpectSameReading(text);
    // Read in pieces, the text gives the same events and stops at the same place.
    EXPECT_EQ(Scan(text, &inPieces, kBlocks[1 + round % 3]), read) << text;
    EXPECT_EQ(inPieces, scanned) << text;
    if (HasFatalFailure()) return;
  }
  // The comparison must have had something to compare.
  EXPECT_GT(accepted, 200);
}

}  // namespace
