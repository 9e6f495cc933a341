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

bool XmlScanner::haveUnit() const {
  size_t i = pos_;
  for (;;) {
    while (i < size_ && IsSpace(text_[i])) i++;
    if (i >= size_) return atEnd_;
    if (text_[i] != '<') return true;
    // "<!--" takes four bytes to tell from a tag.
    if (size_ - i < 4) return atEnd_;
    if (memcmp(text_ + i, "<!--", 4) == 0) {
      const char* end = static_cast<const char*>(memmem(text_ + i + 4, size_ - i - 4, "-->", 3));
      if (!end) return atEnd_;
      i = static_cast<size_t>(end - text_) + 3;
      continue;
    }
    char quote = 0;
    for (size_t j = i + 1; j < size_; j++) {
      const char c = text_[j];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        return true;
      }
    }
    return atEnd_;
  }
}

bool XmlScanner::readMore() {
  droppedLines_ += static_cast<size_t>(std::count(text_, text_ + pos_, '\n'));
  dropped_ += pos_;
  buffer_.erase(0, pos_);
  pos_ = 0;
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
  text_ = buffer_.data();
  size_ = buffer_.size();
  return !readFailed_;
}

bool XmlScanner::fillUnit() {
  while (!haveUnit()) {
    if (!readMore()) return false;
  }
  return true;
}

const char* XmlScanner::attribute(const char* name) const {
  for (size_t i = 0; i < attrCount_; i++) {
    if (attrs_[i].name == name) return attrs_[i].value.c_str();
  }
  return nullptr;
}

bool XmlScanner::skipSpaceAndComments() {
  while (pos_ < size_) {
    if (IsSpace(text_[pos_])) {
      pos_++;
    } else if (size_ - pos_ >= 4 && memcmp(text_ + pos_, "<!--", 4) == 0) {
      const char* end =
          static_cast<const char*>(memmem(text_ + pos_ + 4, size_ - pos_ - 4, "-->", 3));
      if (!end) return false;
      pos_ = static_cast<size_t>(end - text_) + 3;
    } else {
      break;
    }
  }
  return true;
}

bool XmlScanner::readName(std::string* out) {
  if (pos_ >= size_ || !IsNameStart(text_[pos_])) return false;
  size_t start = pos_;
  while (pos_ < size_ && IsNameChar(text_[pos_])) pos_++;
  out->assign(text_ + start, pos_ - start);
  return true;
}

bool XmlScanner::readValue(char quote, std::string* out) {
  out->clear();
  for (;;) {
    if (pos_ >= size_) return false;
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
      if (!hit) return false;
      out->push_back(hit->value);
      pos_ += hit->length;
      continue;
    }
    size_t n = 1;
    if (c >= 0x80) {
      n = Utf8Length(reinterpret_cast<const unsigned char*>(text_ + pos_), size_ - pos_);
      if (n == 0) return false;
    }
    // Runs of plain characters are copied at once.
    size_t start = pos_;
    pos_ += n;
    while (n == 1 && pos_ < size_) {
      const unsigned char d = static_cast<unsigned char>(text_[pos_]);
      if (d < 0x20 || d >= 0x7f || d == '<' || d == '&' || d == static_cast<unsigned char>(quote))
        break;
      pos_++;
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
    if (!readName(&a.name) || pos_ + 1 >= size_ || text_[pos_] != '=') return fail();
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
  if (!readName(&closing) || pos_ >= size_ || text_[pos_] != '>') return fail();
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
  if (source_ && !fillUnit()) return fail();
  if (!started_) {
    started_ = true;
    // The declaration: version, encoding and standalone pseudo-attributes only.
    if (size_ >= 6 && memcmp(text_, "<?xml", 5) == 0 && IsSpace(text_[5])) {
      pos_ = 5;
      for (;;) {
        while (pos_ < size_ && IsSpace(text_[pos_])) pos_++;
        if (size_ - pos_ >= 2 && text_[pos_] == '?' && text_[pos_ + 1] == '>') {
          pos_ += 2;
          break;
        }
        std::string key, value;
        if (!readName(&key) || (key != "version" && key != "encoding" && key != "standalone") ||
            pos_ + 1 >= size_ || text_[pos_] != '=' || text_[pos_ + 1] != '"') {
          return fail();
        }
        pos_ += 2;
        if (!readValue('"', &value)) return fail();
      }
    }
  }
  if (source_ && !fillUnit()) return fail();
  if (!skipSpaceAndComments()) return fail();
  if (pos_ >= size_) return rootClosed_ ? (event_ = DONE) : fail();
  if (text_[pos_] != '<' || rootClosed_ || size_ - pos_ < 2) return fail();
  if (text_[pos_ + 1] == '/') return readEndTag();
  return readStartTag();
}
