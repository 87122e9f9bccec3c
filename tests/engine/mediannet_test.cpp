// The median network and the keyed selection beside the selection they stand in for
// (imgclip::Median, which imgstack_test holds to numpy): a few hundred counts of each
// (with some far deeper, the network's largest included), on values with ties, of both
// signs, spanning the widest range the keys take and in sorted orders, and the refusal of
// blocks either cannot take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/imgclip.h"
#include "engine/mediannet.h"

namespace {

using mediannet::kColumns;
using mediannet::KeyedBlock;
using mediannet::kMaxKeyed;
using mediannet::kMaxValues;
using mediannet::Network;

// A stride wider than the block, as the rows of a stack leave between frames.
constexpr std::size_t kStride = kColumns + 5;

TEST(MedianNetwork, EqualsSelectionForManyCounts) {
  std::mt19937 rng(20);
  std::uniform_int_distribution<int> few(-3, 3);
  std::normal_distribution<double> wide(0.0, 1e4);
  // Every count to 300, then those about the powers of two and the largest.
  std::vector<int> counts;
  for (int n = 1; n <= 300; ++n) counts.push_back(n);
  for (int n : {383, 511, 512, 513, 700, kMaxValues - 1, kMaxValues}) counts.push_back(n);
  for (int n : counts) {
    const Network net(n);
    ASSERT_EQ(net.GetCount(), n);
    for (int trial = 0; trial < (n <= 300 ? 8 : 5); ++trial) {
      std::vector<double> in(n * kStride, std::numeric_limits<double>::quiet_NaN());
      for (int c = 0; c < kColumns; ++c) {
        std::vector<double> column(n);
        // (+ 0.0 makes a −0 from the rounding +0, which every network takes.)
        for (double& v : column) v = trial % 2 ? few(rng) : std::round(wide(rng) * 8) / 8 + 0.0;
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

// Whole numbers for the keyed selection, column c of trial t: few distinct values (many
// ties), a wide spread round a large negative offset, exactly the widest span (the least
// and greatest key both present), values near the ends of the int32 range, and sorted
// orders either way.
std::vector<double> WholeColumn(int n, int trial, int c, std::mt19937& rng) {
  std::vector<double> column(n);
  std::uniform_int_distribution<int> few(-3, 3), wide(0, 65535);
  const double offset = c % 2 ? -1e9 : 1234;
  switch (trial % 5) {
    case 0:
      for (double& v : column) v = few(rng);
      break;
    case 1:
    case 3:
      for (double& v : column) v = offset + wide(rng);
      if (n >= 2) {
        column[0] = offset;
        column[n - 1] = offset + 65535;
      }
      std::shuffle(column.begin(), column.end(), rng);
      break;
    case 2:
      for (double& v : column) v = c < 4 ? 2147483644.0 + few(rng) : -2147483645.0 + few(rng);
      break;
    case 4:
      for (double& v : column) v = wide(rng) - 30000;
      break;
  }
  if (trial == 3) std::sort(column.begin(), column.end());
  if (trial == 8) std::sort(column.begin(), column.end(), std::greater<>());
  return column;
}

void ExpectKeyedEqualsSelection(int n, int trials, std::mt19937& rng) {
  std::vector<std::int16_t> keys(static_cast<std::size_t>(n) * kColumns);
  for (int trial = 0; trial < trials; ++trial) {
    std::vector<double> in(n * kStride, std::numeric_limits<double>::quiet_NaN());
    for (int c = 0; c < kColumns; ++c) {
      const std::vector<double> column = WholeColumn(n, trial, c, rng);
      for (int f = 0; f < n; ++f) in[f * kStride + c] = column[f];
    }
    double out[kColumns];
    ASSERT_TRUE(KeyedBlock(in.data(), kStride, n, keys.data(), out)) << n << ", trial " << trial;
    for (int c = 0; c < kColumns; ++c) {
      std::vector<double> column(n);
      for (int f = 0; f < n; ++f) column[f] = in[f * kStride + c];
      const double want = imgclip::Median(column.data(), n);
      // Bit for bit, as the stack's result depends on it.
      EXPECT_EQ(std::memcmp(&out[c], &want, sizeof want), 0)
          << "count " << n << ", trial " << trial << ", column " << c << ": " << out[c] << " for "
          << want;
    }
  }
}

TEST(KeyedSelection, EqualsSelectionForEveryCountToThreeHundred) {
  std::mt19937 rng(21);
  for (int n = 1; n <= 300; ++n) ExpectKeyedEqualsSelection(n, 10, rng);
}

TEST(KeyedSelection, EqualsSelectionForDeepStacks) {
  std::mt19937 rng(22);
  for (int n : {511, 512, 1000, 4097, kMaxKeyed - 1, kMaxKeyed})
    ExpectKeyedEqualsSelection(n, 5, rng);
}

struct KeyRefusal {
  const char* name;
  int count;
  double value;  // put at frame count / 2 of column 5; the others hold 100 + frame
};

class KeyedSelectionRefusal : public ::testing::TestWithParam<KeyRefusal> {};

TEST_P(KeyedSelectionRefusal, LeavesTheBlockToTheNetworkOrSelection) {
  const KeyRefusal r = GetParam();
  const int n = std::max(r.count, 1);
  std::vector<double> in(n * kStride);
  for (int f = 0; f < n; ++f)
    for (int c = 0; c < kColumns; ++c) in[f * kStride + c] = 100 + f;
  in[n / 2 * kStride + 5] = r.value;
  std::vector<std::int16_t> keys(static_cast<std::size_t>(n) * kColumns);
  double out[kColumns];
  std::fill(out, out + kColumns, -7.0);
  EXPECT_FALSE(KeyedBlock(in.data(), kStride, r.count, keys.data(), out));
  for (double v : out) EXPECT_EQ(v, -7.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyedSelectionRefusal,
    ::testing::Values(KeyRefusal{"NaN", 100, std::numeric_limits<double>::quiet_NaN()},
                      KeyRefusal{"PlusInf", 100, std::numeric_limits<double>::infinity()},
                      KeyRefusal{"MinusInf", 65, -std::numeric_limits<double>::infinity()},
                      KeyRefusal{"Fraction", 100, 150.5}, KeyRefusal{"TinyFraction", 3, 100 + 1e-9},
                      KeyRefusal{"MinusZero", 100, -0.0},
                      // 100 … 199 beside 100 + 65536: one more than the keys span.
                      KeyRefusal{"SpanTooWide", 100, 100 + 65536.0},
                      KeyRefusal{"PastInt32", 20, 4294967296.0 + 150},
                      KeyRefusal{"NoValues", 0, 100}, KeyRefusal{"TooMany", kMaxKeyed + 1, 150}),
    [](const auto& info) { return std::string(info.param.name); });

// Shallower networks take −0 as any other value (the medians still equal the selection's
// as numbers), and deeper ones take +0.
TEST(MedianNetwork, TakesZerosWhereItAlwaysDid) {
  for (const auto& [n, zero] : {std::pair{mediannet::kZeroSignFrom - 1, -0.0}, std::pair{7, -0.0},
                                std::pair{mediannet::kZeroSignFrom, 0.0}, std::pair{300, 0.0}}) {
    std::vector<double> in(n * kStride);
    for (int f = 0; f < n; ++f)
      for (int c = 0; c < kColumns; ++c) in[f * kStride + c] = f % 3 ? zero : c - 4.0;
    double out[kColumns];
    ASSERT_TRUE(Network(n).Block(in.data(), kStride, out)) << n << " " << zero;
    for (int c = 0; c < kColumns; ++c) {
      std::vector<double> column(n);
      for (int f = 0; f < n; ++f) column[f] = in[f * kStride + c];
      EXPECT_EQ(out[c], imgclip::Median(column.data(), n)) << n << ", column " << c;
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
                      // −0 in networks deeper than those that always took it.
                      Refusal{mediannet::kZeroSignFrom, 30, 6, -0.0},
                      Refusal{kMaxValues, 0, 0, -0.0},
                      // Counts no network is made for.
                      Refusal{0, -1, 0, 0}, Refusal{kMaxValues + 1, -1, 0, 0}),
    [](const auto& info) {
      const Refusal& r = info.param;
      if (r.frame < 0) return "Count" + std::to_string(r.count);
      const char* what = std::isnan(r.value) ? "NaN"
                         : r.value == 0      ? "MinusZero"
                         : r.value > 0       ? "PlusInf"
                                             : "MinusInf";
      return "Count" + std::to_string(r.count) + what + "AtFrame" + std::to_string(r.frame) +
             "Column" + std::to_string(r.column);
    });

}  // namespace
