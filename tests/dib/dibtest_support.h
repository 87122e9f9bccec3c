// Packed bitmaps made in code for the bitmap tests.
#pragma once

#include <cstdint>
#include <vector>

#include "dib/dibutil.h"

namespace dibtest {

// A bitmap with the given header fields, colour table (blue, green, red per entry) and
// bits appended as they are.
inline DibBlock Make(int width, int height, int bits, std::uint32_t compression,
                     const std::vector<RGBQUAD>& table, const std::vector<std::uint8_t>& data,
                     std::uint32_t clrUsed = 0) {
  BITMAPINFOHEADER h;
  h.biWidth = width;
  h.biHeight = height;
  h.biBitCount = static_cast<std::uint16_t>(bits);
  h.biCompression = compression;
  h.biSizeImage = static_cast<std::uint32_t>(data.size());
  h.biClrUsed = clrUsed;
  DibBlock out(kBitmapInfoHeaderSize);
  StoreBitmapInfoHeader(h, out.data());
  for (const RGBQUAD& q : table) {
    out.push_back(q.rgbBlue);
    out.push_back(q.rgbGreen);
    out.push_back(q.rgbRed);
    out.push_back(0);
  }
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

inline std::vector<RGBQUAD> GreyTable(int n) {
  std::vector<RGBQUAD> t(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    const auto v = static_cast<std::uint8_t>(i * 255 / (n > 1 ? n - 1 : 1));
    t[i] = RGBQUAD{v, v, v, 0};
  }
  return t;
}

}  // namespace dibtest
