// The progress display asks for the terminal width at most once a second of its clock.
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

}  // namespace
