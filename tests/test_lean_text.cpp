// The compact texts of the file records: digests kept as bytes must give back exactly the text
// they were set from, whatever the document wrote; arena texts must stay put and whole.
#include <ctype.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lean_text.h"

namespace {

TEST(LeanTextTest, DigestsGiveBackTheTextTheyWereSetFrom) {
  const std::string sha(64, 'a');
  const std::string md5 = "d41d8cd98f00b204e9800998ecf8427e";
  struct Case {
    std::string set;
    std::string text;  // what text() gives back
    bool arena;        // kept in the arena (not a plain digest)
  };
  const Case cases[] = {
      {"", "", false},
      {sha, sha, false},
      {"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855",
       "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855", false},
      {md5, md5, false},
      {"0123456789", "0123456789", true},
      {"0123456789012345678901234567890123456789012345678901234567890123",
       "0123456789012345678901234567890123456789012345678901234567890123", false},
      {"AB", "AB", true},
      {"s", "s", true},
      {"e3b0C44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
       "e3b0C44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", true},  // mixed case
      {sha.substr(0, 63), sha.substr(0, 63), true},
      {sha + "b", sha, false},  // cut at 64 characters
      {"g" + sha.substr(1), "g" + sha.substr(1), true},
      {"not a digest at all", "not a digest at all", true},
  };
  for (const Case& c : cases) {
    TextArena arena;
    DigestText d;
    d.set(c.set.c_str(), &arena);
    EXPECT_EQ(std::string(d.text()), c.text) << c.set;
    EXPECT_EQ(d.empty(), c.text.empty()) << c.set;
    EXPECT_EQ(arena.capacity() > 0, c.arena) << c.set;
    // Compared without regard to case, as the engine compares digests.
    std::string flipped = c.text;
    for (char& ch : flipped) ch = islower(ch) ? toupper(ch) : tolower(ch);
    EXPECT_TRUE(d.equalsNoCase(flipped.c_str())) << c.set;
    EXPECT_FALSE(d.equalsNoCase((c.text + "0").c_str())) << c.set;
    // A copy (a stand-in record) reads the same.
    DigestText copy = d;
    EXPECT_STREQ(copy.text(), d.text()) << c.set;
  }
  DigestText d;
  d.set(nullptr, nullptr);
  EXPECT_TRUE(d.empty());
  const uint8_t bytes[] = {0x00, 0x7f, 0x80, 0xff};
  d.setBytes(bytes, sizeof(bytes));
  EXPECT_STREQ(d.text(), "007f80ff");
  d.clear();
  EXPECT_STREQ(d.text(), "");
}

TEST(LeanTextTest, ArenaTextsStayWholeAcrossBlocks) {
  TextArena arena;
  std::vector<std::string> texts;
  std::vector<TextRef> refs;
  // Enough texts to fill several blocks, one longer than a block, and empty ones.
  for (size_t i = 0; i < 40000; i++) {
    std::string t = "dir" + std::to_string(i % 97) + "/file" + std::to_string(i) + ".dat";
    if (i == 20000) t = std::string(TextArena::kBlock + 10, 'x');
    if (i % 1000 == 7) t.clear();
    texts.push_back(t);
    refs.push_back(arena.add(t));
  }
  EXPECT_GT(arena.capacity(), 2 * TextArena::kBlock);
  for (size_t i = 0; i < texts.size(); i++) {
    ASSERT_EQ(refs[i], texts[i]) << i;
    ASSERT_EQ(refs[i].size(), texts[i].size()) << i;
    ASSERT_EQ(refs[i].empty(), texts[i].empty()) << i;
  }
  // A reference reads like the string it replaces.
  TextRef r = arena.add("http://h/base/pack.z");
  EXPECT_EQ("<" + r + ">", "<http://h/base/pack.z>");
  EXPECT_EQ(r + std::string("~2"), "http://h/base/pack.z~2");
  EXPECT_EQ(r.compare(0, 9, "http://h/"), 0);
  EXPECT_EQ(r.substr(9), "base/pack.z");
  EXPECT_NE(r, "http://h/base/pack");
  EXPECT_EQ(TextRef(), "");
  EXPECT_EQ(TextRef(nullptr), TextRef());
  arena.clear();
  EXPECT_EQ(arena.capacity(), 0u);
}

}  // namespace
