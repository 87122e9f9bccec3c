// CDirtyRows: which parts of a display bitmap are out of date. Each row is cut into at
// most 64 stripes of columns and keeps one bit per stripe, so that a view showing a few
// columns of a wide image builds (and brings into memory) only the stripes it shows;
// the columns it does not show stay untouched until they are scrolled into view.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

class CDirtyRows {
 public:
  // Narrower stripes would not save memory: a page holds over a thousand bitmap pixels.
  static constexpr int kMinStripe = 256;

  // Every row of a bitmap of width × height out of date.
  void Reset(int width, int height) {
    m_nWidth = std::max(width, 0);
    m_nStripe = std::max(kMinStripe, (m_nWidth + 63) / 64);
    const int stripes = std::max(1, (m_nWidth + m_nStripe - 1) / m_nStripe);
    m_nAll = stripes >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << stripes) - 1;
    m_Rows.assign(static_cast<std::size_t>(std::max(height, 0)), m_nAll);
  }
  void Clear() {
    m_Rows.clear();
    m_nWidth = 0;
  }
  int Height() const { return static_cast<int>(m_Rows.size()); }
  int Width() const { return m_nWidth; }
  int Stripe() const { return m_nStripe; }

  // The stripes that columns [x0, x1) reach; 0 when none.
  std::uint64_t Reach(int x0, int x1) const {
    x0 = std::clamp(x0, 0, m_nWidth);
    x1 = std::clamp(x1, x0, m_nWidth);
    if (x1 <= x0) return 0;
    const int s0 = x0 / m_nStripe, s1 = (x1 - 1) / m_nStripe;
    const std::uint64_t upTo = s1 >= 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << s1) - 1;
    return upTo & ~((std::uint64_t{1} << s0) - 1) & m_nAll;
  }
  // The stripes that columns [x0, x1) cover whole (the last stripe ends at the width).
  std::uint64_t Covered(int x0, int x1) const {
    x0 = std::clamp(x0, 0, m_nWidth);
    x1 = std::clamp(x1, x0, m_nWidth);
    const int first = (x0 + m_nStripe - 1) / m_nStripe;
    const int end = x1 == m_nWidth ? (m_nWidth + m_nStripe - 1) / m_nStripe : x1 / m_nStripe;
    if (end <= first) return 0;
    return Reach(first * m_nStripe, std::min(end * m_nStripe, m_nWidth));
  }
  // The columns of the stripes in mask (non-zero): first column and end.
  int First(std::uint64_t mask) const { return std::countr_zero(mask) * m_nStripe; }
  int End(std::uint64_t mask) const {
    return std::min((63 - std::countl_zero(mask) + 1) * m_nStripe, m_nWidth);
  }

  // The stripes of row y out of date (0 outside the rows).
  std::uint64_t At(int y) const {
    return y >= 0 && y < Height() ? m_Rows[static_cast<std::size_t>(y)] : 0;
  }
  bool IsDirty(int y, std::uint64_t mask) const { return (At(y) & mask) != 0; }
  // Rows [y0, y1) out of date over the stripes of mask (all stripes by default).
  void Mark(int y0, int y1, std::uint64_t mask = ~std::uint64_t{0}) {
    y0 = std::clamp(y0, 0, Height());
    y1 = std::clamp(y1, y0, Height());
    for (int y = y0; y < y1; ++y) m_Rows[static_cast<std::size_t>(y)] |= mask & m_nAll;
  }
  // Rows [y0, y1) built over the stripes of mask.
  void Done(int y0, int y1, std::uint64_t mask) {
    y0 = std::clamp(y0, 0, Height());
    y1 = std::clamp(y1, y0, Height());
    for (int y = y0; y < y1; ++y) m_Rows[static_cast<std::size_t>(y)] &= ~mask;
  }
  // Rows with any stripe out of date.
  int Pending() const {
    return static_cast<int>(
        std::count_if(m_Rows.begin(), m_Rows.end(), [](std::uint64_t r) { return r != 0; }));
  }

 private:
  std::vector<std::uint64_t> m_Rows;
  std::uint64_t m_nAll = 0;
  int m_nWidth = 0;
  int m_nStripe = kMinStripe;
};
