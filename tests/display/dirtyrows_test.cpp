// The out-of-date map of a display bitmap: the stripes a column range reaches or covers,
// checked column by column against a plain per-column model over widths around the
// stripe boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "display/dirtyrows.h"

namespace {

struct Model {
  int width, stripe;
  // Stripes that hold a column of [x0, x1), and those all of whose columns are in it.
  std::uint64_t Reach(int x0, int x1) const {
    std::uint64_t m = 0;
    for (int c = std::max(x0, 0); c < std::min(x1, width); ++c)
      m |= std::uint64_t{1} << (c / stripe);
    return m;
  }
  std::uint64_t Covered(int x0, int x1) const {
    std::uint64_t m = 0;
    for (int s = 0; s * stripe < width; ++s) {
      bool all = true;
      for (int c = s * stripe; c < std::min((s + 1) * stripe, width) && all; ++c)
        all = c >= x0 && c < x1;
      if (all) m |= std::uint64_t{1} << s;
    }
    return m;
  }
};

class DirtyRowsWidthTest : public ::testing::TestWithParam<int> {};

TEST_P(DirtyRowsWidthTest, ReachAndCoverAgreeWithTheColumns) {
  const int width = GetParam();
  CDirtyRows d;
  d.Reset(width, 3);
  // At most 64 stripes, none narrower than the minimum.
  ASSERT_GE(d.Stripe(), CDirtyRows::kMinStripe);
  ASSERT_LE((width + d.Stripe() - 1) / d.Stripe(), 64);
  const Model m{width, d.Stripe()};
  EXPECT_EQ(d.At(0), m.Reach(0, width));
  std::mt19937 rng(static_cast<unsigned>(width));
  std::vector<std::pair<int, int>> ranges = {
      {0, width},          {0, 1},         {width - 1, width}, {-5, width + 9},
      {d.Stripe(), width}, {1, width - 1}, {width, width + 3}, {7, 7}};
  std::uniform_int_distribution<int> pick(-3, width + 3);
  for (int i = 0; i < 200; ++i) {
    int a = pick(rng), b = pick(rng);
    ranges.emplace_back(std::min(a, b), std::max(a, b));
  }
  for (const auto& [x0, x1] : ranges) {
    ASSERT_EQ(d.Reach(x0, x1), m.Reach(x0, x1)) << x0 << ".." << x1;
    ASSERT_EQ(d.Covered(x0, x1), m.Covered(x0, x1)) << x0 << ".." << x1;
    const std::uint64_t r = d.Reach(x0, x1);
    if (r) {
      // The columns of the reached stripes hold the range.
      EXPECT_LE(d.First(r), std::max(x0, 0));
      EXPECT_GE(d.End(r), std::min(x1, width));
      EXPECT_LE(d.End(r), width);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, DirtyRowsWidthTest,
                         ::testing::Values(1, 255, 256, 257, 511, 1000, 16383, 16384, 16385, 20000,
                                           70001));

}  // namespace
