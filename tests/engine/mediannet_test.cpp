// The median network beside the selection it stands in for (imgclip::Median, which
// imgstack_test holds to numpy): every count the network is made for, on values with
// ties, of both signs and in sorted orders, and its refusal of blocks it cannot take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/imgclip.h"
#include "engine/mediannet.h"

namespace {

using mediannet::kColumns;
using mediannet::kMaxValues;
using mediannet::Network;

// A stride wider than the block, as the rows of a stack leave between frames.
constexpr std::size_t kStride = kColumns + 5;

TEST(MedianNetwork, EqualsSelectionForEveryCount) {
  std::mt19937 rng(20);
  std::uniform_int_distribution<int> few(-3, 3);
  std::normal_distribution<double> wide(0.0, 1e4);
  for (int n = 1; n <= kMaxValues; ++n) {
    const Network net(n);
    ASSERT_EQ(net.GetCount(), n);
    for (int trial = 0; trial < 8; ++trial) {
      std::vector<double> in(n * kStride, std::numeric_limits<double>::quiet_NaN());
      for (int c = 0; c < kColumns; ++c) {
        std::vector<double> column(n);
        for (double& v : column) v = trial % 2 ? few(rng) : std::round(wide(rng) * 8) / 8;
        // Already sorted, either way, in two of the trials.
        if (trial == 2) std::sort(column.begin(), column.end());
        if (trial == 4) std::sort(column.begin(), column.end(), std::greater<>());
        for (int f = 0; f < n; ++f) in[f * kStride + c] = column[f];
      }
      double out[kColumns];
      ASSERT_TRUE(net.Block(in.data(), kStride, out)) << n;
      for (int c = 0; c < kColumns; ++c) {
        std::vector<double> column(n);
        for (int f = 0; f < n; ++f) column[f] = in[f * kStride + c];
        EXPECT_EQ(out[c], imgclip::Median(column.data(), n))
            << "count " << n << ", trial " << trial << ", column " << c;
      }
    }
  }
}

struct Refusal {
  int count;
  int frame, column;  // where the value that is not finite lies; -1 for none
  double value;
};

class MedianNetworkRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(MedianNetworkRefusal, LeavesTheBlockToTheSelection) {
  const Refusal r = GetParam();
  std::vector<double> in(std::max(r.count, 1) * kStride, 1.0);
  if (r.frame >= 0) in[r.frame * kStride + r.column] = r.value;
  double out[kColumns];
  std::fill(out, out + kColumns, -7.0);
  EXPECT_FALSE(Network(r.count).Block(in.data(), kStride, out));
  for (double v : out) EXPECT_EQ(v, -7.0);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
INSTANTIATE_TEST_SUITE_P(
    Cases, MedianNetworkRefusal,
    ::testing::Values(Refusal{20, 0, 0, std::numeric_limits<double>::quiet_NaN()},
                      Refusal{20, 19, kColumns - 1, kInf}, Refusal{7, 3, 4, -kInf},
                      Refusal{1, 0, 1, std::numeric_limits<double>::quiet_NaN()},
                      Refusal{kMaxValues, kMaxValues - 1, 2, kInf},
                      // Counts no network is made for.
                      Refusal{0, -1, 0, 0}, Refusal{kMaxValues + 1, -1, 0, 0}),
    [](const auto& info) {
      const Refusal& r = info.param;
      if (r.frame < 0) return "Count" + std::to_string(r.count);
      const char* what = std::isnan(r.value) ? "NaN" : r.value > 0 ? "PlusInf" : "MinusInf";
      return "Count" + std::to_string(r.count) + what + "AtFrame" + std::to_string(r.frame) +
             "Column" + std::to_string(r.column);
    });

}  // namespace
