#include "xml_scan.h"

#include <string.h>

#include <algorithm>

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

bool IsNameChar(char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':';
}

// Length of the valid UTF-8 sequence at p (at most left bytes), or 0.
size_t Utf8Length(const unsigned char* p, size_t left) {
  size_t n;
  if (p[0] >= 0xc2 && p[0] <= 0xdf) {
    n = 2;
  } else if (p[0] >= 0xe0 && p[0] <= 0xef) {
    n = 3;
  } else if (p[0] >= 0xf0 && p[0] <= 0xf4) {
    n = 4;
  } else {
    return 0;
  }
  if (n > left) return 0;
  for (size_t i = 1; i < n; i++) {
    if ((p[i] & 0xc0) != 0x80) return 0;
  }
  // Overlong three- and four-byte forms, surrogates and code points past U+10FFFF.
  if (p[0] == 0xe0 && p[1] < 0xa0) return 0;
  if (p[0] == 0xed && p[1] >= 0xa0) return 0;
  if (p[0] == 0xf0 && p[1] < 0x90) return 0;
  if (p[0] == 0xf4 && p[1] >= 0x90) return 0;
  return n;
}

// Bytes that are copied as they are inside a value (the quote aside): printable ASCII other
// than '<' and '&'.
struct PlainTable {
  bool plain[256];
  PlainTable() {
    for (int c = 0; c < 256; c++) plain[c] = c >= 0x20 && c < 0x7f && c != '<' && c != '&';
  }
};
const PlainTable kPlain;

struct Entity {
  const char* text;
  size_t length;
  char value;
};
const Entity kEntities[] = {
    {"&amp;", 5, '&'}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&quot;", 6, '"'}, {"&apos;", 6, '\''},
};

}  // namespace

XmlScanner::XmlScanner(const char* text, size_t size)
    : text_(text), size_(text ? strnlen(text, size) : 0), atEnd_(true) {}

XmlScanner::XmlScanner(Source source, size_t block)
    : text_(""), size_(0), source_(std::move(source)), block_(block ? block : 1) {}

size_t XmlScanner::line() const {
  return droppedLines_ + static_cast<size_t>(std::count(text_, text_ + tagStart_, '\n')) + 1;
}

bool XmlScanner::readMore(size_t want) {
  for (const char* p = text_; (p = static_cast<const char*>(memchr(p, '\n', text_ + pos_ - p)));
       p++) {
    droppedLines_++;
  }
  dropped_ += pos_;
  buffer_.erase(0, pos_);
  pos_ = 0;
  for (size_t got = 0; got < want && !atEnd_;) {
    const size_t had = buffer_.size();
    buffer_.resize(had + block_);
    ssize_t n = source_(&buffer_[had], block_);
    if (n < 0) {
      readFailed_ = true;
      n = 0;
    }
    buffer_.resize(had + static_cast<size_t>(n));
    if (n == 0) atEnd_ = true;
    // The text ends at a NUL byte.
    const size_t nul = buffer_.find('\0', had);
    if (nul != std::string::npos) {
      buffer_.resize(nul);
      atEnd_ = true;
    }
    got += static_cast<size_t>(n);
    if (static_cast<size_t>(n) < block_) break;  // what came so far is read first
  }
  text_ = buffer_.data();
  size_ = buffer_.size();
  return !readFailed_;
}

const char* XmlScanner::attribute(const char* name) const {
  const size_t n = strlen(name);
  for (size_t i = 0; i < attrCount_; i++) {
    const std::string& a = attrs_[i].name;
    if (a.size() == n && memcmp(a.data(), name, n) == 0) return attrs_[i].value.c_str();
  }
  return nullptr;
}

bool XmlScanner::skipSpaceAndComments() {
  while (pos_ < size_) {
    if (IsSpace(text_[pos_])) {
      pos_++;
    } else if (text_[pos_] != '<') {
      break;
    } else if (size_ - pos_ < 4) {
      starved_ = true;  // perhaps the start of a comment
      break;
    } else if (memcmp(text_ + pos_, "<!--", 4) == 0) {
      const char* end =
          static_cast<const char*>(memmem(text_ + pos_ + 4, size_ - pos_ - 4, "-->", 3));
      if (!end) {
        starved_ = true;
        return false;
      }
      pos_ = static_cast<size_t>(end - text_) + 3;
    } else {
      break;
    }
  }
  return true;
}

bool XmlScanner::readName(std::string* out) {
  if (pos_ >= size_) starved_ = true;
  if (pos_ >= size_ || !IsNameStart(text_[pos_])) return false;
  size_t start = pos_;
  while (pos_ < size_ && IsNameChar(text_[pos_])) pos_++;
  if (pos_ == size_) starved_ = true;  // the name may go on
  out->assign(text_ + start, pos_ - start);
  return true;
}

bool XmlScanner::readValue(char quote, std::string* out) {
  out->clear();
  for (;;) {
    if (pos_ >= size_) {
      starved_ = true;
      return false;
    }
    const unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c == static_cast<unsigned char>(quote)) {
      pos_++;
      return true;
    }
    if (c < 0x20 || c == 0x7f || c == '<') return false;
    if (c == '&') {
      const Entity* hit = nullptr;
      for (const Entity& e : kEntities) {
        if (size_ - pos_ >= e.length && memcmp(text_ + pos_, e.text, e.length) == 0) hit = &e;
      }
      if (!hit) {
        if (size_ - pos_ < 6) starved_ = true;  // perhaps an entity cut short
        return false;
      }
      out->push_back(hit->value);
      pos_ += hit->length;
      continue;
    }
    size_t n = 1;
    if (c >= 0x80) {
      n = Utf8Length(reinterpret_cast<const unsigned char*>(text_ + pos_), size_ - pos_);
      if (n == 0) {
        if (size_ - pos_ < 4) starved_ = true;  // perhaps a character cut short
        return false;
      }
    }
    // Runs of plain characters are copied at once.
    size_t start = pos_;
    pos_ += n;
    if (n == 1) {
      while (pos_ < size_ && kPlain.plain[static_cast<unsigned char>(text_[pos_])] &&
             text_[pos_] != quote) {
        pos_++;
      }
    }
    out->append(text_ + start, pos_ - start);
  }
}

XmlScanner::Event XmlScanner::readStartTag() {
  tagStart_ = pos_;
  pos_++;  // '<'
  if (!readName(&name_)) return fail();
  attrCount_ = 0;
  for (;;) {
    bool spaced = false;
    while (pos_ < size_ && IsSpace(text_[pos_])) {
      pos_++;
      spaced = true;
    }
    if (pos_ + 1 >= size_) starved_ = true;
    if (pos_ >= size_) return fail();
    if (text_[pos_] == '/') {
      if (pos_ + 1 >= size_ || text_[pos_ + 1] != '>') return fail();
      pos_ += 2;
      stack_.push_back(name_);
      pendingEnd_ = true;
      return event_ = START;
    }
    if (text_[pos_] == '>') {
      pos_++;
      stack_.push_back(name_);
      return event_ = START;
    }
    if (!spaced) return fail();
    if (attrCount_ == attrs_.size()) attrs_.emplace_back();
    Attribute& a = attrs_[attrCount_];
    if (!readName(&a.name)) return fail();
    if (pos_ + 1 >= size_) starved_ = true;
    if (pos_ + 1 >= size_ || text_[pos_] != '=') return fail();
    const char quote = text_[pos_ + 1];
    if (quote != '"' && quote != '\'') return fail();
    pos_ += 2;
    if (!readValue(quote, &a.value)) return fail();
    for (size_t i = 0; i < attrCount_; i++) {
      if (attrs_[i].name == a.name) return fail();
    }
    attrCount_++;
  }
}

XmlScanner::Event XmlScanner::readEndTag() {
  pos_ += 2;  // "</"
  std::string closing;
  if (!readName(&closing)) return fail();
  if (pos_ >= size_) starved_ = true;
  if (pos_ >= size_ || text_[pos_] != '>') return fail();
  if (stack_.empty() || stack_.back() != closing) return fail();
  pos_++;
  stack_.pop_back();
  if (stack_.empty()) rootClosed_ = true;
  name_.swap(closing);
  attrCount_ = 0;
  return event_ = END;
}

XmlScanner::Event XmlScanner::next() {
  if (event_ == DONE || event_ == UNSUPPORTED) return event_;
  if (pendingEnd_) {
    pendingEnd_ = false;
    stack_.pop_back();
    if (stack_.empty()) rootClosed_ = true;
    attrCount_ = 0;
    return event_ = END;
  }
  for (;;) {
    const size_t start = pos_;
    const bool wasStarted = started_;
    starved_ = false;
    const Event e = step();
    // A step that failed where the text held so far ran out is taken again with more of it.
    if (e != UNSUPPORTED || !starved_ || atEnd_) return e;
    pos_ = start;
    started_ = wasStarted;
    event_ = START;
    // As much again as is held of the piece, so that a long one is read over a few times only.
    if (!readMore(std::max(block_, size_ - start))) return fail();
  }
}

XmlScanner::Event XmlScanner::step() {
  if (!started_) {
    started_ = true;
    // The declaration: version, encoding and standalone pseudo-attributes only.
    if (size_ < 6) starved_ = true;
    if (size_ >= 6 && memcmp(text_, "<?xml", 5) == 0 && IsSpace(text_[5])) {
      pos_ = 5;
      for (;;) {
        while (pos_ < size_ && IsSpace(text_[pos_])) pos_++;
        if (size_ - pos_ < 2) {
          starved_ = true;
          return fail();
        }
        if (text_[pos_] == '?' && text_[pos_ + 1] == '>') {
          pos_ += 2;
          break;
        }
        std::string key, value;
        if (!readName(&key)) return fail();
        if (pos_ + 1 >= size_) starved_ = true;
        if ((key != "version" && key != "encoding" && key != "standalone") || pos_ + 1 >= size_ ||
            text_[pos_] != '=' || text_[pos_ + 1] != '"') {
          return fail();
        }
        pos_ += 2;
        if (!readValue('"', &value)) return fail();
      }
    }
  }
  if (!skipSpaceAndComments()) return fail();
  if (pos_ >= size_) {
    if (!atEnd_) {
      starved_ = true;
      return fail();
    }
    return rootClosed_ ? (event_ = DONE) : fail();
  }
  if (size_ - pos_ < 2) starved_ = true;
  if (text_[pos_] != '<' || rootClosed_ || size_ - pos_ < 2) return fail();
  if (text_[pos_ + 1] == '/') return readEndTag();
  return readStartTag();
}
