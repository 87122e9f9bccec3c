// CImage::AttachDIB: an 8-bit image of one plane (grey) or three (red, green, blue) built
// from a packed bitmap of 1, 4, 8, 16, 24 or 32 bits, run-length decoded first.
#include <algorithm>
#include <cstring>
#include <new>

#include "dib/dibutil.h"
#include "imagemodel/image.h"
#include "platform/progress.h"

namespace {

// One channel of a BI_BITFIELDS pixel: the mask's bits moved down and brought to 8 bits
// (5-bit fields are multiplied by 8, as the plain 5-5-5 layout is).
struct Field {
  std::uint32_t mask = 0;
  int shift = 0;
  int width = 0;
  explicit Field(std::uint32_t m) : mask(m) {
    if (!m) return;
    while (!((m >> shift) & 1)) ++shift;
    while (shift + width < 32 && ((m >> (shift + width)) & 1)) ++width;
  }
  std::uint8_t Of(std::uint32_t p) const {
    if (!mask) return 0;
    const std::uint32_t v = (p & mask) >> shift;
    return static_cast<std::uint8_t>(width >= 8 ? v >> (width - 8) : v << (8 - width));
  }
};

}  // namespace

int CImage::AttachDIB(const DibBlock& source, ProgressSink* progress, const std::string& caption) {
  DibBlock dib;
  try {
    dib = source;
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (!DecordRle(&dib)) return 0;
  DibLayout l;
  if (!GetDibLayout(dib, &l)) return 0;
  const int bits = l.header.biBitCount;
  const std::uint32_t comp = l.header.biCompression;
  if (comp != BI_RGB && !(comp == BI_BITFIELDS && (bits == 16 || bits == 32))) return 0;

  const std::uint8_t* table = dib.data() + kBitmapInfoHeaderSize;
  Field red(bits == 16 ? 0x7C00u : 0xFF0000u), green(bits == 16 ? 0x03E0u : 0x00FF00u),
      blue(bits == 16 ? 0x001Fu : 0x0000FFu);
  if (comp == BI_BITFIELDS) {
    red = Field(dibbytes::Get32(table));
    green = Field(dibbytes::Get32(table + 4));
    blue = Field(dibbytes::Get32(table + 8));
  }
  // Stored row y (storage order), or null past the end of a truncated block: such rows
  // read as zero bytes.
  const std::vector<std::uint8_t> zeros(l.stride, 0);
  auto rowAt = [&](int y) -> const std::uint8_t* {
    const std::size_t at = l.bitsOffset + static_cast<std::size_t>(y) * l.stride;
    if (at > dib.size()) return zeros.data();
    if (at + l.stride <= dib.size()) return dib.data() + at;
    return nullptr;
  };
  std::vector<std::uint8_t> partial;
  auto row = [&](int y) -> const std::uint8_t* {
    const std::uint8_t* r = rowAt(y);
    if (r) return r;
    const std::size_t at = l.bitsOffset + static_cast<std::size_t>(y) * l.stride;
    partial.assign(l.stride, 0);
    std::memcpy(partial.data(), dib.data() + at, dib.size() - at);
    return partial.data();
  };
  // The colour of pixel x of a stored row, as blue, green, red.
  auto pixel = [&](const std::uint8_t* r, int x, std::uint8_t* bgr) {
    if (bits <= 8) {
      int i;
      if (bits == 1)
        i = (r[x >> 3] >> (7 - (x & 7))) & 1;
      else if (bits == 4)
        i = (x & 1) ? r[x >> 1] & 0x0F : r[x >> 1] >> 4;
      else
        i = r[x];
      if (i < l.colors) {
        std::memcpy(bgr, table + 4 * i, 3);
      } else {
        bgr[0] = bgr[1] = bgr[2] = 0;
      }
      return;
    }
    if (comp == BI_RGB && bits == 24) {
      std::memcpy(bgr, r + 3 * x, 3);
      return;
    }
    const std::uint32_t p = bits == 16 ? dibbytes::Get16(r + 2 * x) : dibbytes::Get32(r + 4 * x);
    bgr[0] = blue.Of(p);
    bgr[1] = green.Of(p);
    bgr[2] = red.Of(p);
  };

  bool grey = true;
  if (bits <= 8) {
    const int used = std::min(l.colors, 256);
    for (int i = 0; i < used && grey; ++i) {
      const std::uint8_t* q = table + 4 * i;
      grey = q[0] == q[1] && q[1] == q[2];
    }
  } else {
    std::uint8_t bgr[3];
    for (int y = 0; y < l.height && grey; ++y) {
      const std::uint8_t* r = row(y);
      for (int x = 0; x < l.width && grey; ++x) {
        pixel(r, x, bgr);
        grey = bgr[0] == bgr[1] && bgr[1] == bgr[2];
      }
    }
  }

  Clear();
  SetBitsPixel(8);
  SetSigned(0);
  SetWidth(l.width);
  SetHeight(l.height);
  SetPlanes(grey ? 1 : 3);
  SetBscale(1.0);
  SetBzero(0.0);
  if (!AllocImage(progress, caption) || !AllocLevel()) throw std::bad_alloc();

  ProgressScope scope(progress, caption);
  std::uint8_t bgr[3];
  for (int y = 0; y < l.height; ++y) {
    // Image row 0 is the top of the picture: the last stored row of a bottom-up bitmap.
    const std::uint8_t* r = row(l.topDown ? y : l.height - 1 - y);
    std::uint8_t* planes[3] = {};
    for (int p = 0; p < GetPlanes(); ++p) {
      planes[p] = static_cast<std::uint8_t*>(GetImageAdr(0, y, p));
      if (!planes[p]) throw std::bad_alloc();
    }
    for (int x = 0; x < l.width; ++x) {
      pixel(r, x, bgr);
      planes[0][x] = bgr[2];
      if (!grey) {
        planes[1][x] = bgr[1];
        planes[2][x] = bgr[0];
      }
    }
    scope.Update(y + 1, l.height);
  }
  for (int p = 0; p < GetPlanes(); ++p) SetLevel(p, 0.0, 255.0);
  SetOwnLevel(1);
  return 1;
}
