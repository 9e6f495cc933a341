#include "doc_limits.h"

#include <stdio.h>
#include <string.h>

namespace {

// Where the scanner stands in the text.
enum class ScanState {
  kText,         // character data
  kTag,          // inside a start or end tag, outside quotes
  kQuoted,       // inside a quoted attribute value
  kComment,      // <!-- ... -->
  kCData,        // <![CDATA[ ... ]]>
  kInstruction,  // <? ... ?>
  kDeclaration,  // <! ... > other than the two above
};

bool StartsWith(const char* p, const char* end, const char* prefix) {
  size_t n = strlen(prefix);
  return static_cast<size_t>(end - p) >= n && memcmp(p, prefix, n) == 0;
}

}  // namespace

bool CheckDocumentDepth(const char* text, size_t length, int maxDepth, int* row) {
  const char* p = text;
  const char* end = text + length;
  ScanState state = ScanState::kText;
  ScanState afterQuote = ScanState::kTag;
  char quote = 0;
  bool closing = false;  // the tag being read is an end tag
  char previous = 0;     // last character of the tag outside quotes, for "/>"
  int depth = 0;
  int line = 1;
  for (; p < end; p++) {
    const char c = *p;
    if (c == '\n') line++;
    switch (state) {
      case ScanState::kText:
        if (c != '<') break;
        if (StartsWith(p, end, "<!--")) {
          state = ScanState::kComment;
          p += 3;
        } else if (StartsWith(p, end, "<![CDATA[")) {
          state = ScanState::kCData;
          p += 8;
        } else if (StartsWith(p, end, "<?")) {
          state = ScanState::kInstruction;
          p += 1;
        } else if (StartsWith(p, end, "<!")) {
          state = ScanState::kDeclaration;
          p += 1;
        } else {
          closing = p + 1 < end && p[1] == '/';
          if (!closing && ++depth > maxDepth) {
            *row = line;
            return false;
          }
          state = ScanState::kTag;
          previous = 0;
        }
        break;
      case ScanState::kTag:
        if (c == '"' || c == '\'') {
          quote = c;
          afterQuote = ScanState::kTag;
          state = ScanState::kQuoted;
        } else if (c == '<') {
          // A tag left open: whatever the parser makes of it, count the new one too.
          state = ScanState::kText;
          p--;
        } else if (c == '>') {
          if (closing || previous == '/') depth = depth > 0 ? depth - 1 : 0;
          state = ScanState::kText;
        } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
          previous = c;
        }
        break;
      case ScanState::kQuoted:
        if (c == quote) state = afterQuote;
        break;
      case ScanState::kComment:
        if (StartsWith(p, end, "-->")) {
          state = ScanState::kText;
          p += 2;
        }
        break;
      case ScanState::kCData:
        if (StartsWith(p, end, "]]>")) {
          state = ScanState::kText;
          p += 2;
        }
        break;
      case ScanState::kInstruction:
        if (StartsWith(p, end, "?>")) {
          state = ScanState::kText;
          p += 1;
        }
        break;
      case ScanState::kDeclaration:
        if (c == '"' || c == '\'') {
          quote = c;
          afterQuote = ScanState::kDeclaration;
          state = ScanState::kQuoted;
        } else if (c == '>') {
          state = ScanState::kText;
        }
        break;
    }
  }
  return true;
}

bool IsUsableGroupName(const char* name, std::string* why) {
  const size_t n = strlen(name);
  if (n == 0) {
    *why = "it is empty";
    return false;
  }
  if (name[0] == ' ' || name[0] == '\t' || name[n - 1] == ' ' || name[n - 1] == '\t') {
    *why = "it begins or ends with a blank";
    return false;
  }
  for (size_t i = 0; i < n; i++) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7f) {
      *why = "it holds a control character";
      return false;
    }
    if (strchr("=[];", c) != nullptr) {
      *why = std::string("it holds '") + static_cast<char>(c) + "'";
      return false;
    }
  }
  return true;
}

std::string EscapeForMessage(const char* name) {
  std::string out;
  for (const char* p = name; *p; p++) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}
