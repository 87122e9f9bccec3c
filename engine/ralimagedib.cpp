// CRalImage::GetDib: the image as shown, through its display levels, as a packed bitmap
// for the bitmap writers and the clipboard: 24 bits, or 8 bits on a grey ramp (one
// plane) or on the dither palette (colour).
#include <algorithm>
#include <new>

#include "dib/dibutil.h"
#include "engine/ralimage.h"

int CRalImage::GetDib(int bits, std::vector<std::uint8_t>* dib, ProgressSink* progress,
                      const std::string& caption) const {
  dib->clear();
  if ((bits != 8 && bits != 24) || IsEmpty() || GetWidth() <= 0 || GetHeight() <= 0) return 0;
  const int planes = GetPlanes() >= 3 ? 3 : 1;
  try {
    CImage shown;
    if (!shown.CopyImageAs(*this, 8, 0, 2, progress, caption)) return 0;
    const bool palette = bits == 8 && planes == 1;
    const int storeBits = palette ? 8 : 24;
    const std::size_t stride = DibStride(GetWidth(), storeBits);
    const std::size_t table = palette ? 256 * 4 : 0;
    const std::uint64_t image = static_cast<std::uint64_t>(stride) * GetHeight();
    if (stride == 0 || image + kBitmapInfoHeaderSize + table > kMaxDibBytes) return 0;
    DibBlock out(kBitmapInfoHeaderSize + table + static_cast<std::size_t>(image), 0);
    BITMAPINFOHEADER h;
    h.biWidth = GetWidth();
    h.biHeight = GetHeight();
    h.biBitCount = static_cast<std::uint16_t>(storeBits);
    h.biSizeImage = static_cast<std::uint32_t>(image);
    h.biClrUsed = palette ? 256 : 0;
    StoreBitmapInfoHeader(h, out.data());
    for (int i = 0; palette && i < 256; ++i) {
      std::uint8_t* q = out.data() + kBitmapInfoHeaderSize + 4 * i;
      q[0] = q[1] = q[2] = static_cast<std::uint8_t>(i);
    }
    std::uint8_t* bitsOut = out.data() + kBitmapInfoHeaderSize + table;
    for (int y = 0; y < GetHeight(); ++y) {
      // Bottom-up: the top image row is the last stored row.
      std::uint8_t* o = bitsOut + static_cast<std::size_t>(GetHeight() - 1 - y) * stride;
      const std::uint8_t* p[3];
      for (int c = 0; c < 3; ++c) {
        p[c] = static_cast<const std::uint8_t*>(shown.GetImageAdr(0, y, c < planes ? c : 0));
        if (!p[c]) return 0;
      }
      if (palette) {
        std::copy(p[0], p[0] + GetWidth(), o);
        continue;
      }
      for (int x = 0; x < GetWidth(); ++x, o += 3) {
        o[0] = p[2][x];
        o[1] = p[1][x];
        o[2] = p[0][x];
      }
    }
    if (bits == 8 && !palette && !DitherDib24(&out)) return 0;
    dib->swap(out);
    return 1;
  } catch (const std::bad_alloc&) {
    dib->clear();
    return 0;
  }
}
