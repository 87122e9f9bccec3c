// The dither palette and threshold matrix follow the design's fixed tables; the
// run-length codes are those of the Windows bitmap format (BI_RLE8, BI_RLE4).
#include "dib/dibutil.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

using namespace dibbytes;

namespace {

constexpr std::uint8_t kRedGreenLevels[8] = {0, 36, 73, 109, 146, 182, 219, 255};
constexpr std::uint8_t kBlueLevels[4] = {0, 85, 170, 255};
// Indexed [x mod 4][y mod 4].
constexpr int kThreshold[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

// Allocates a block of n bytes, zero-filled; false when n is too large or memory runs out.
bool Allocate(DibBlock& block, std::uint64_t n) {
  if (n > kMaxDibBytes) return false;
  try {
    block.assign(static_cast<std::size_t>(n), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// A fresh 24-bit header: biSizeImage as given, every other field 0.
void Put24Header(std::uint8_t* out, int width, int height, std::uint32_t sizeImage) {
  BITMAPINFOHEADER h;
  h.biSize = 40;
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = 24;
  h.biSizeImage = sizeImage;
  StoreBitmapInfoHeader(h, out);
}

// Reads pixel x of a row of 1, 4 or 8 bits.
int IndexAt(const std::uint8_t* row, int x, int bits) {
  switch (bits) {
    case 1:
      return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case 4:
      return (x & 1) ? row[x >> 1] & 0x0F : row[x >> 1] >> 4;
    default:
      return row[x];
  }
}

// Level index of v in a level table: i + 1 when 16 (v − level[i]) / (level[i + 1] −
// level[i]) reaches the threshold, else i, for the first interval holding v.
int Quantise(int v, const std::uint8_t* levels, int count, int threshold) {
  for (int i = 0; i + 1 < count; ++i) {
    if (v >= levels[i] && v <= levels[i + 1]) {
      const int step = 16 * (v - levels[i]) / (levels[i + 1] - levels[i]);
      return step >= threshold ? i + 1 : i;
    }
  }
  return count - 1;
}

}  // namespace

std::size_t DibStride(std::int64_t width, int bits) {
  if (width < 0 || bits <= 0 || bits > 32) return 0;
  const std::uint64_t rowBits = static_cast<std::uint64_t>(width) * static_cast<unsigned>(bits);
  const std::uint64_t stride = (rowBits + 31) / 32 * 4;
  if (stride > kMaxDibBytes) return 0;
  return static_cast<std::size_t>(stride);
}

int DibNumColors(const std::uint8_t* header) {
  const std::uint32_t size = Get32(header);
  int bits;
  if (size == kBitmapCoreHeaderSize) {
    bits = Get16(header + 10);
  } else {
    const std::uint32_t used = Get32(header + 32);
    if (used != 0) return used > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(used);
    bits = Get16(header + 14);
  }
  switch (bits) {
    case 1:
      return 2;
    case 4:
      return 16;
    case 8:
      return 256;
    default:
      return 0;
  }
}

std::size_t PaletteSize(const std::uint8_t* header) {
  const std::size_t entry = Get32(header) == kBitmapCoreHeaderSize ? 3 : 4;
  return static_cast<std::size_t>(DibNumColors(header)) * entry;
}

bool GetDibLayout(const DibBlock& dib, DibLayout* out) {
  if (dib.size() < kBitmapInfoHeaderSize) return false;
  DibLayout l;
  l.header = LoadBitmapInfoHeader(dib.data());
  const BITMAPINFOHEADER& h = l.header;
  if (h.biSize != kBitmapInfoHeaderSize || h.biWidth <= 0 || h.biHeight == 0 ||
      h.biHeight == INT32_MIN)
    return false;
  const int bits = h.biBitCount;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  l.width = h.biWidth;
  l.height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  l.topDown = h.biHeight < 0;
  const std::uint64_t colors = h.biClrUsed ? h.biClrUsed : (bits <= 8 ? 1u << bits : 0u);
  if (colors > 4096) return false;  // no bitmap indexes more than 256; a larger count is damage
  l.colors = static_cast<int>(colors);
  l.tableBytes = static_cast<std::size_t>(colors) * 4;
  if (h.biCompression == BI_BITFIELDS && (bits == 16 || bits == 32)) l.tableBytes += 12;
  l.bitsOffset = kBitmapInfoHeaderSize + l.tableBytes;
  if (l.bitsOffset > dib.size()) return false;
  l.stride = DibStride(l.width, bits);
  if (l.stride == 0) return false;
  const std::uint64_t image =
      static_cast<std::uint64_t>(l.stride) * static_cast<unsigned>(l.height);
  if (image > kMaxDibBytes) return false;
  l.imageBytes = static_cast<std::size_t>(image);
  *out = l;
  return true;
}

int GetDibBitCount(const DibBlock& dib) {
  return dib.size() >= kBitmapInfoHeaderSize ? Get16(dib.data() + 14) : 0;
}

std::size_t GetDibAlign(const DibBlock& dib) {
  DibLayout l;
  return GetDibLayout(dib, &l) ? l.stride : 0;
}

DibPalette CreateDibPalette(const DibBlock& dib) {
  DibLayout l;
  if (!GetDibLayout(dib, &l)) return {};
  DibPalette out;
  if (l.header.biBitCount <= 8) {
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(l.colors), 256);
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t* q = dib.data() + kBitmapInfoHeaderSize + 4 * i;
      out[i] = PALETTEENTRY{q[2], q[1], q[0], 0};
    }
    return out;
  }
  constexpr std::uint8_t kRed[8] = {0, 32, 64, 96, 128, 160, 192, 255};
  out.resize(256);
  for (int i = 0; i < 256; ++i) out[i] = PALETTEENTRY{kRed[i % 8], 0, 0, 0};
  return out;
}

DibPalette CreateDitherPalette() {
  DibPalette out(256);
  for (int i = 0; i < 256; ++i)
    out[i] =
        PALETTEENTRY{kRedGreenLevels[i & 7], kRedGreenLevels[(i >> 3) & 7], kBlueLevels[i >> 6], 0};
  return out;
}

int DecordRle(DibBlock* dib) {
  if (dib->size() < kBitmapInfoHeaderSize) return 0;
  const BITMAPINFOHEADER h = LoadBitmapInfoHeader(dib->data());
  const bool rle8 = h.biBitCount == 8 && h.biCompression == BI_RLE8;
  const bool rle4 = h.biBitCount == 4 && h.biCompression == BI_RLE4;
  if (!rle8 && !rle4) return 1;
  DibLayout l;
  if (!GetDibLayout(*dib, &l) || l.topDown) return 0;

  DibBlock out;
  if (!Allocate(out, static_cast<std::uint64_t>(l.bitsOffset) + l.imageBytes)) return 0;
  std::memcpy(out.data(), dib->data(), l.bitsOffset);
  const std::uint8_t* in = dib->data() + l.bitsOffset;
  const std::uint8_t* const end = dib->data() + dib->size();
  std::uint8_t* const bits = out.data() + l.bitsOffset;
  const int width = l.width, height = l.height;
  int x = 0, y = 0;  // y counts stored rows, the first one first

  auto put = [&](int value) {
    if (x < width && y < height) {
      std::uint8_t* row = bits + static_cast<std::size_t>(y) * l.stride;
      if (rle8) {
        row[x] = static_cast<std::uint8_t>(value);
      } else if (x & 1) {
        row[x >> 1] = static_cast<std::uint8_t>((row[x >> 1] & 0xF0) | (value & 0x0F));
      } else {
        row[x >> 1] = static_cast<std::uint8_t>((row[x >> 1] & 0x0F) | (value << 4));
      }
    }
    ++x;
  };

  while (y < height && end - in >= 2) {
    const int n = in[0], v = in[1];
    in += 2;
    if (n > 0) {
      // A run never reaches past its row; the rest of it is dropped.
      const int count = std::min(n, std::max(0, width - x));
      for (int i = 0; i < count; ++i) put(rle8 ? v : ((i & 1) ? v & 0x0F : v >> 4));
      x += n - count;
      continue;
    }
    if (v == 0) {  // end of row
      x = 0;
      ++y;
    } else if (v == 1) {  // end of bitmap
      break;
    } else if (v == 2) {  // delta
      if (end - in < 2) break;
      x += in[0];
      y += in[1];
      in += 2;
    } else {  // literal run of v pixels, padded to a 16-bit boundary
      const std::size_t bytes =
          rle8 ? static_cast<std::size_t>(v) : (static_cast<std::size_t>(v) + 1) / 2;
      const std::size_t padded = (bytes + 1) & ~std::size_t{1};
      const std::size_t have = static_cast<std::size_t>(end - in);
      for (int i = 0; i < v; ++i) {
        const std::size_t at = rle8 ? static_cast<std::size_t>(i) : static_cast<std::size_t>(i) / 2;
        if (at >= have) break;
        put(rle8 ? in[at] : ((i & 1) ? in[at] & 0x0F : in[at] >> 4));
      }
      in += std::min(padded, have);
    }
  }

  BITMAPINFOHEADER nh = h;
  nh.biCompression = BI_RGB;
  nh.biSizeImage = static_cast<std::uint32_t>(l.imageBytes);
  StoreBitmapInfoHeader(nh, out.data());
  dib->swap(out);
  return 1;
}

int ConvertDibTo24(DibBlock* dib) {
  DibLayout l;
  if (!GetDibLayout(*dib, &l)) return 0;
  const int bits = l.header.biBitCount;
  if (bits != 1 && bits != 4 && bits != 8) return 1;
  if (l.header.biCompression != BI_RGB) return 0;
  const std::size_t stride = DibStride(l.width, 24);
  if (stride == 0) return 0;
  const std::uint64_t total = kBitmapInfoHeaderSize + static_cast<std::uint64_t>(stride) * l.height;
  if (total > UINT32_MAX) return 0;
  DibBlock out;
  if (!Allocate(out, total)) return 0;
  Put24Header(out.data(), l.width, l.header.biHeight, static_cast<std::uint32_t>(total));
  const std::uint8_t* table = dib->data() + kBitmapInfoHeaderSize;
  for (int y = 0; y < l.height; ++y) {
    const std::size_t at = l.bitsOffset + static_cast<std::size_t>(y) * l.stride;
    if (at + l.stride > dib->size()) break;  // rows the block does not hold stay black
    const std::uint8_t* row = dib->data() + at;
    std::uint8_t* o = out.data() + kBitmapInfoHeaderSize + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < l.width; ++x, o += 3) {
      const int i = IndexAt(row, x, bits);
      if (i >= l.colors) continue;
      o[0] = table[4 * i];
      o[1] = table[4 * i + 1];
      o[2] = table[4 * i + 2];
    }
  }
  dib->swap(out);
  return 1;
}

int StretchDib(DibBlock* dib, int width, int height, int smooth) {
  DibLayout l;
  if (!GetDibLayout(*dib, &l) || l.header.biBitCount != 24 || width <= 0 || height <= 0) return 0;
  if (l.bitsOffset + l.imageBytes > dib->size()) return 0;
  const std::size_t stride = DibStride(width, 24);
  if (stride == 0) return 0;
  const std::uint64_t image = static_cast<std::uint64_t>(stride) * static_cast<unsigned>(height);
  if (image + kBitmapInfoHeaderSize > kMaxDibBytes) return 0;
  DibBlock out;
  if (!Allocate(out, image + kBitmapInfoHeaderSize)) return 0;
  // Row i of the result is counted in storage order like the source's, so a bottom-up
  // bitmap stays bottom-up and a top-down one top-down.
  Put24Header(out.data(), width, l.topDown ? -height : height,
              static_cast<std::uint32_t>(smooth ? image : image + kBitmapInfoHeaderSize));
  const std::uint8_t* src = dib->data() + l.bitsOffset;
  std::uint8_t* dst = out.data() + kBitmapInfoHeaderSize;
  const int ow = l.width, oh = l.height;
  auto s = [&](int x, int y, int c) {
    return src[static_cast<std::size_t>(y) * l.stride + 3u * x + c];
  };
  for (int i = 0; i < height; ++i) {
    std::uint8_t* o = dst + static_cast<std::size_t>(i) * stride;
    if (!smooth) {
      // trunc(i / (new / old)) in doubles, as the design computes it.
      const int sy = std::min(oh - 1, static_cast<int>(i / (static_cast<double>(height) / oh)));
      for (int j = 0; j < width; ++j) {
        const int sx = std::min(ow - 1, static_cast<int>(j / (static_cast<double>(width) / ow)));
        for (int c = 0; c < 3; ++c) o[3 * j + c] = s(sx, sy, c);
      }
      continue;
    }
    const double t = static_cast<double>(i) * oh / height;
    const int y0 = std::min(static_cast<int>(std::floor(t)), oh - 1);
    const int y1 = std::min(y0 + 1, oh - 1);
    const double fy = t - std::floor(t);
    for (int j = 0; j < width; ++j) {
      const double u = static_cast<double>(j) * ow / width;
      const int x0 = std::min(static_cast<int>(std::floor(u)), ow - 1);
      const int x1 = std::min(x0 + 1, ow - 1);
      const double fx = u - std::floor(u);
      for (int c = 0; c < 3; ++c) {
        const double v = s(x0, y0, c) * (1 - fx) * (1 - fy) + s(x1, y0, c) * fx * (1 - fy) +
                         s(x0, y1, c) * (1 - fx) * fy + s(x1, y1, c) * fx * fy;
        o[3 * j + c] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
      }
    }
  }
  dib->swap(out);
  return 1;
}

int DitherDib24(DibBlock* dib) {
  DibLayout l;
  if (!GetDibLayout(*dib, &l) || l.header.biBitCount != 24 || l.header.biCompression != BI_RGB)
    return 0;
  if (l.bitsOffset + l.imageBytes > dib->size()) return 0;
  const std::size_t stride = DibStride(l.width, 8);
  const std::uint64_t need =
      kBitmapInfoHeaderSize + 256 * 4 + static_cast<std::uint64_t>(stride) * l.height;
  // The 8-bit form is smaller than the 24-bit one except for the colour table; a block
  // too small for that grows, one large enough keeps its size.
  DibBlock out;
  if (!Allocate(out, std::max<std::uint64_t>(need, dib->size()))) return 0;
  BITMAPINFOHEADER h = l.header;
  h.biBitCount = 8;
  h.biClrUsed = 256;
  // The header describes the 8-bit rows, not the block, which may keep the 24-bit size.
  h.biSizeImage = static_cast<std::uint32_t>(static_cast<std::uint64_t>(stride) * l.height);
  StoreBitmapInfoHeader(h, out.data());
  const DibPalette palette = CreateDitherPalette();
  for (int i = 0; i < 256; ++i) {
    std::uint8_t* q = out.data() + kBitmapInfoHeaderSize + 4 * i;
    q[0] = palette[i].peBlue;
    q[1] = palette[i].peGreen;
    q[2] = palette[i].peRed;
  }
  const std::uint8_t* src = dib->data() + l.bitsOffset;
  std::uint8_t* dst = out.data() + kBitmapInfoHeaderSize + 256 * 4;
  for (int y = 0; y < l.height; ++y) {
    const std::uint8_t* s = src + static_cast<std::size_t>(y) * l.stride;
    std::uint8_t* o = dst + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < l.width; ++x, s += 3) {
      const int t = kThreshold[x & 3][y & 3];
      const int b = Quantise(s[0], kBlueLevels, 4, t);
      const int g = Quantise(s[1], kRedGreenLevels, 8, t);
      const int r = Quantise(s[2], kRedGreenLevels, 8, t);
      o[x] = static_cast<std::uint8_t>(b * 64 + g * 8 + r);
    }
  }
  dib->swap(out);
  return 1;
}

int GetStretchOptimizedDib(int screenBits, DibBlock* dib, int width, int height, int smooth) {
  if (!DecordRle(dib) || !ConvertDibTo24(dib)) return 0;
  if (width != 0 && height != 0 && !StretchDib(dib, width, height, smooth)) return 0;
  if (screenBits > 8) return 1;
  return DitherDib24(dib);
}

int GetOptimizedDib(int screenBits, DibBlock* dib) {
  return GetStretchOptimizedDib(screenBits, dib, 0, 0, 0);
}
