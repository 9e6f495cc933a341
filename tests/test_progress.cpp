// The progress display asks for the terminal width at most once a second of its clock, and its
// overall bar of parallel downloads fits the width whatever the counts and names.
#include <gtest/gtest.h>

#include "progress.h"

namespace {

int g_queries = 0;
int g_width = 80;
int64_t g_nowNs = 0;
int Query() {
  g_queries++;
  return g_width;
}
int64_t Clock() { return g_nowNs; }

TEST(WidthCacheTest, AsksAtMostOnceASecond) {
  WidthCache cache(Query, Clock);
  struct Step {
    int64_t atMs;
    int width;  // what the terminal says from then on
    int queries;
    int seen;
  } steps[] = {
      {1000, 80, 1, 80},                        // first use asks
      {1500, 120, 1, 80},                       // within the second: the remembered width
      {1999, 120, 1, 80}, {2000, 120, 2, 120},  // a second later: asked again
      {2100, 60, 2, 120}, {1000, 60, 3, 60},    // a clock that went back asks again
  };
  for (const Step& s : steps) {
    g_nowNs = s.atMs * 1000000;
    g_width = s.width;
    EXPECT_EQ(cache.Columns(), s.seen) << s.atMs;
    EXPECT_EQ(g_queries, s.queries) << s.atMs;
  }
}

TEST(OverallBarTest, FitsTheWidth) {
  const DownloadShown two[] = {{"a.so", 10, 20}, {"b.txt", 0, 0}};
  struct Case {
    int columns;
    uint64_t received, total;
    size_t count;
    const char* line;
  } cases[] = {
      {45, 50, 100, 2, "\r[#######        ] 50 of 100 bytes: a.so, b.t"},
      {45, 100, 100, 0, "\r[###############] 100 of 100 bytes          "},
      {45, 7, 0, 1, "\r7 bytes: a.so                               "},  // total not known yet
      {39, 50, 100, 1, "\r50 of 100 bytes: a.so                 "},     // too narrow for a bar
      {12, 500, 1000, 2, "\r500 of 1000"},
      {1, 5, 10, 0, "\r"},
      {45, 150, 100, 0, "\r[###############] 150 of 100 bytes          "},  // past the total
  };
  for (const Case& c : cases) {
    char buf[64];
    size_t len = FormatOverallBar(buf, sizeof(buf), c.columns, c.received, c.total, two, c.count);
    EXPECT_EQ(std::string(buf, len), c.line) << c.columns << " " << c.received;
    EXPECT_EQ(len, static_cast<size_t>(c.columns));
  }
  // A buffer smaller than the width is never overrun.
  char small[8];
  EXPECT_EQ(FormatOverallBar(small, sizeof(small), 80, 1, 2, two, 2), 7u);
  EXPECT_EQ(std::string(small), "\r[#####");
}

}  // namespace
