// Document limits: nesting depth counted on the raw text the way the XML parser will see it,
// and group names that could not stay one key of the state file.
#include <gtest/gtest.h>

#include <string>

#include "doc_limits.h"

namespace {

std::string Nest(int depth, const std::string& open = "<a>", const std::string& close = "</a>") {
  std::string s;
  for (int i = 0; i < depth; i++) s += open;
  for (int i = 0; i < depth; i++) s += close;
  return s;
}

TEST(DocumentDepth, CountsElementsNotLookalikes) {
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    int row;
  };
  const std::string deep = "<r>\n" + Nest(64);
  const Case cases[] = {
      {"exactly the limit", Nest(64), true, 0},
      {"one too deep", Nest(65), false, 1},
      {"deep on a later row", deep, false, 2},
      {"attack", Nest(60000), false, 1},
      {"siblings do not add up", "<r>" + std::string(1000, ' ') + Nest(1) + Nest(63) + "</r>", true,
       0},
      {"empty elements close themselves", "<r>" + Nest(100, "<a/>", "") + "</r>", true, 0},
      {"empty element with attributes", "<r>" + Nest(100, "<a x='1' y=\"/\" />", "") + "</r>", true,
       0},
      {"tags inside comments", "<r><!--" + Nest(100, "<a>", "") + "--></r>", true, 0},
      {"tags inside CDATA", "<r><![CDATA[" + Nest(100, "<a>", "") + "]]></r>", true, 0},
      {"declaration and instruction", "<?xml version=\"1.0\"?><!DOCTYPE r><r/>", true, 0},
      {"'>' and '/>' inside quotes", Nest(64, "<a v=\"/>\" w='>'>"), true, 0},
      {"quoted '/>' does not close", Nest(65, "<a v=\"/>\">"), false, 1},
      {"unclosed tags", Nest(65, "<a <", ""), false, 1},
      {"unterminated comment", "<r><!-- " + Nest(100, "<a>", ""), true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int row = 0;
    EXPECT_EQ(c.ok, CheckDocumentDepth(c.text.data(), c.text.size(), kMaxDocumentDepth, &row));
    if (!c.ok) {
      EXPECT_EQ(c.row, row);
    }
  }
}

TEST(GroupName, RefusesWhatWouldBreakTheStateFile) {
  struct Case {
    const char* name;
    const char* reason;  // null: usable
  };
  const Case cases[] = {
      {"core", nullptr},
      {"Fun plugins", nullptr},
      {"a.b-c_d/é", nullptr},
      {"", "empty"},
      {" core", "blank"},
      {"core\t", "blank"},
      {"core\n[x]\ny=1", "control character"},
      {"a\x7f", "control character"},
      {"a=b", "'='"},
      {"[a", "'['"},
      {"a]", "']'"},
      {"a;b", "';'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(EscapeForMessage(c.name));
    std::string why;
    EXPECT_EQ(c.reason == nullptr, IsUsableGroupName(c.name, &why));
    if (c.reason) {
      EXPECT_NE(std::string::npos, why.find(c.reason)) << why;
    }
  }
  EXPECT_EQ("a\\nb\\x01\\\"\\\\", EscapeForMessage("a\nb\x01\"\\"));
}

}  // namespace
