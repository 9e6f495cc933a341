// A pull scanner for plain XML documents of elements and attributes, for reading large
// documents without building a tree or holding the text: next() steps from one start or end tag
// to the next and hands out the element's name and attribute values (decoded into buffers of
// the scanner). The text is either given whole or read from a source in pieces; then the
// scanner holds only the piece it is in (a tag, a comment, or a block of the source).
//
// It reads a deliberately small part of XML and says so instead of guessing: an optional
// <?xml ...?> declaration first, comments, whitespace between tags, start tags with
// name="value" or name='value' attributes (no blanks around "="), empty-element tags, end tags
// without blanks, the five predefined entities in values, and valid UTF-8 in values. Anything
// else (text, CDATA, DOCTYPE, processing instructions, character references, a second root
// element, bytes that are not valid UTF-8, the end of the text inside a tag, tags that do not
// nest) stops the scan with UNSUPPORTED; the caller then reads the document with a full parser,
// which also finds and words any error. Every document the scanner reads to END is well formed.
//
// Thread rules: a scanner belongs to one thread; it only reads the text it was given, which
// must stay unchanged while it is scanned, or calls its source from that thread.
#ifndef VELMOR_XML_SCAN_H_
#define VELMOR_XML_SCAN_H_

#include <stddef.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

class XmlScanner {
 public:
  enum Event {
    START,        // a start tag (or empty-element tag: then an END follows at once)
    END,          // the end of the element opened last
    DONE,         // the root element was closed and only whitespace or comments follow
    UNSUPPORTED,  // the text leaves the part of XML read here (see above)
  };

  // Fills buffer with up to size bytes of the text that follow those given before. Returns the
  // number of bytes, 0 at the end of the text, negative on a read error (the scan then stops
  // with UNSUPPORTED and readFailed() is true).
  typedef std::function<ssize_t(char* buffer, size_t size)> Source;
  // Bytes asked of a source at a time unless the constructor is told otherwise.
  static const size_t kDefaultBlock = 64 * 1024;

  // Scans text[0, size); a NUL byte before size ends the text there.
  XmlScanner(const char* text, size_t size);
  // Scans what source gives, asking for block bytes at a time (at least 1); a NUL byte ends
  // the text there.
  explicit XmlScanner(Source source, size_t block = kDefaultBlock);

  // The next event; after DONE or UNSUPPORTED it returns the same event again.
  Event next();

  // Of the current START: the element's name and its attribute value for name, or null when the
  // element has no such attribute. Valid until the next call of next().
  const std::string& name() const { return name_; }
  const char* attribute(const char* name) const;
  // The current START's attributes in document order.
  size_t attributeCount() const { return attrCount_; }
  const std::string& attributeName(size_t i) const { return attrs_[i].name; }
  const std::string& attributeValue(size_t i) const { return attrs_[i].value; }
  // Nesting depth of the current element (the root is 1).
  size_t depth() const { return stack_.size(); }
  // Offset in the text where scanning stopped, for messages.
  size_t offset() const { return dropped_ + pos_; }
  // Of the current START: whether it is an empty-element tag (its END follows at once), and
  // the 1-based line its '<' stands on.
  bool selfClosing() const { return pendingEnd_; }
  size_t line() const;
  // Whether the source reported a read error.
  bool readFailed() const { return readFailed_; }

 private:
  struct Attribute {
    std::string name;
    std::string value;
  };

  Event fail() { return event_ = UNSUPPORTED; }
  bool skipSpaceAndComments();
  bool readName(std::string* out);
  bool readValue(char quote, std::string* out);
  Event readStartTag();
  Event readEndTag();
  // One event read from the text held; with starved_ set when it met the end of what is held.
  Event step();
  // Drops the bytes before pos_ and appends want bytes of the source or more, in blocks of
  // block_ bytes, stopping early after a block that came short. False on a read error.
  bool readMore(size_t want);

  const char* text_;
  size_t size_;
  size_t pos_ = 0;
  Source source_;  // empty when the text was given whole
  size_t block_ = kDefaultBlock;
  std::string buffer_;       // with a source: the text not yet dropped; text_ points into it
  size_t dropped_ = 0;       // bytes of the text before buffer_
  size_t droppedLines_ = 0;  // line breaks among them
  bool atEnd_ = false;       // the source has nothing more
  bool readFailed_ = false;
  bool starved_ = false;  // the step under way met the end of the text held
  size_t tagStart_ = 0;   // offset in the buffer of the current START's '<'

  Event event_ = START;
  bool started_ = false;
  bool pendingEnd_ = false;  // an empty-element tag owes its END
  bool rootClosed_ = false;
  std::string name_;
  std::vector<Attribute> attrs_;
  size_t attrCount_ = 0;  // attrs_ beyond this are spare buffers from earlier elements
  std::vector<std::string> stack_;
};

#endif  // VELMOR_XML_SCAN_H_
