// The median of a small, fixed count of values in many columns at once, by a network of
// compare-exchanges run on several columns side by side.
//
// The network is Batcher's odd-even merge sort for the count, keeping only the
// compare-exchanges that lead to the middle position(s). Each compare-exchange moves
// values without computing new ones, so the middle values are exactly those a selection
// (imgclip::Median) finds, and the even count's result is the same (a + b) / 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mediannet {

// The largest count a network is made for; deeper stacks go through imgclip::Median.
constexpr int kMaxValues = 64;
// Columns reduced by one call of Network::Block.
constexpr int kColumns = 8;

class Network {
 public:
  // A network for n values, 1 ≤ n ≤ kMaxValues (other n give a network that refuses
  // every block).
  explicit Network(int n);

  int GetCount() const { return m_nCount; }
  // The number of compare-exchanges kept.
  int GetSize() const { return static_cast<int>(m_Pairs.size()); }

  // The medians of kColumns columns: value f of column c at in[f × stride + c], for
  // f < GetCount(). Writes out[c] and returns true when every value is finite; returns
  // false (out untouched) when one is not, or when the network is refused.
  bool Block(const double* in, std::size_t stride, double* out) const;

 private:
  int m_nCount = 0;
  std::vector<std::uint16_t> m_Pairs;  // (i, j), i < j, in order of application
};

}  // namespace mediannet
