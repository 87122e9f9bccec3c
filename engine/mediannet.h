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
constexpr int kMaxValues = 1024;
// Networks for more values than this refuse a block holding −0, leaving it to the
// selection: which of equal zeros of either sign a stack that deep gives is the
// selection's choice, whatever the method.
constexpr int kZeroSignFrom = 65;
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
  // f < GetCount(). Writes out[c] and returns true when every value is finite (and, from
  // kZeroSignFrom values, none is −0); returns false (out untouched) when one is not, or
  // when the network is refused.
  bool Block(const double* in, std::size_t stride, double* out) const;

 private:
  int m_nCount = 0;
  std::vector<std::uint16_t> m_Pairs;  // (i, j), i < j, in order of application
};

// The same medians by a bitwise selection on 16-bit keys, for columns of whole numbers:
// each column's values, less the column's smallest, become keys 0 … 65535, and the
// middle key(s) are found one bit at a time from the top by counting the keys below a
// threshold, eight columns in one pass over the values. The time grows with the count
// alone (and with the number of bits the column's range needs), with no network to build.
// The keys map back to the very values they came from, so the result is the one the
// selection gives, (a + b) / 2 for an even count included.
//
// Block takes n values, 1 ≤ n ≤ kMaxKeyed, of kColumns columns laid out as for
// Network::Block, with keys pointing at n × kColumns scratch keys. Writes out[c] and
// returns true when every value is a whole number (not −0) and each column's values span
// at most 65535; returns false (out untouched) otherwise, or for n out of range.
constexpr int kMaxKeyed = 16384;
// The count from which the keyed selection is quicker than the network (below it the
// network's few compare-exchanges cost less than making the keys).
constexpr int kKeyedFrom = 20;
bool KeyedBlock(const double* in, std::size_t stride, int n, std::int16_t* keys, double* out);

}  // namespace mediannet
