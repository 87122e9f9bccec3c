// Helpers of the display tests: float images made from a function, and the colour of a
// bitmap pixel read back from whatever the bitmap stores.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "display/dib.h"
#include "engine/ralimage.h"

struct Bgr {
  int b = -1, g = -1, r = -1;
  bool operator==(const Bgr&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Bgr& c) {
  return os << "(r " << c.r << ", g " << c.g << ", b " << c.b << ")";
}

// A float image whose plane p, pixel (x, y) is f(x, y, p), with the given levels on every
// plane.
inline std::unique_ptr<CRalImage> MakeImage(int width, int height, int planes,
                                            const std::function<float(int, int, int)>& f,
                                            double low = 0, double high = 255) {
  auto img = std::make_unique<CRalImage>(width, height, -32, planes, 1.0, 0.0, 1);
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < height; ++y) {
      auto* row = static_cast<float*>(img->GetImageAdr(0, y, p));
      for (int x = 0; x < width; ++x) row[x] = f(x, y, p);
    }
  for (int p = 0; p < planes; ++p) img->SetLevel(p, low, high);
  return img;
}

// What the bitmap stores at image pixel (x, y), as blue, green, red for 24 and 32 bits;
// the raw byte or word in b for 8 and 16 bits.
inline Bgr StoredPixel(CBaseDIB* dib, int x, int y) {
  Bgr c;
  if (auto* vm = dynamic_cast<CVmDIB*>(dib)) {
    const void* p = vm->GetImageAdr(x, y, 0, 1);
    if (!p) return c;
    switch (vm->GetStorageBits()) {
      case 8:
        c.b = *static_cast<const std::uint8_t*>(p);
        break;
      case 16:
        c.b = *static_cast<const std::uint16_t*>(p);
        break;
      default: {
        const auto* q = static_cast<const std::uint8_t*>(p);
        c = {q[0], q[1], q[2]};
      }
    }
  } else if (auto* mem = dynamic_cast<CMemoryDIB*>(dib)) {
    const std::uint8_t* q = mem->GetPixelAdr(x, y);
    if (!q) return c;
    switch (mem->GetBitCount()) {
      case 8:
        c.b = q[0];
        break;
      case 16:
        c.b = q[0] | (q[1] << 8);
        break;
      default:
        c = {q[0], q[1], q[2]};
    }
  }
  return c;
}

inline Bgr Grey(int v) {
  return {v, v, v};
}
