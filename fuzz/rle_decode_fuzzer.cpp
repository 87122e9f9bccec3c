// Feeds arbitrary run-length streams to the decoder: the first three bytes choose the
// width, the height and RLE4 or RLE8, the rest is the stream. A decoded bitmap must have
// exactly its plain layout, and must then turn into an image.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dib/dibutil.h"
#include "imagemodel/image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const int width = 1 + data[0] % 64;
  const int height = 1 + data[1] % 64;
  const bool four = data[2] & 1;
  const int bits = four ? 4 : 8;
  const int colors = four ? 16 : 256;
  BITMAPINFOHEADER h;
  h.biWidth = width;
  h.biHeight = height;
  h.biBitCount = static_cast<std::uint16_t>(bits);
  h.biCompression = four ? BI_RLE4 : BI_RLE8;
  h.biSizeImage = static_cast<std::uint32_t>(size - 3);
  DibBlock dib(kBitmapInfoHeaderSize + 4u * colors);
  StoreBitmapInfoHeader(h, dib.data());
  for (int i = 0; i < colors; ++i) dib[kBitmapInfoHeaderSize + 4 * i + (i % 3)] = 255;
  dib.insert(dib.end(), data + 3, data + size);

  if (DecordRle(&dib) != 1) __builtin_trap();
  DibLayout l;
  if (!GetDibLayout(dib, &l) || l.header.biCompression != BI_RGB ||
      dib.size() != l.bitsOffset + l.imageBytes || l.header.biSizeImage != l.imageBytes)
    __builtin_trap();
  CImage image;
  if (image.AttachDIB(dib) != 1 || image.GetWidth() != width || image.GetHeight() != height)
    __builtin_trap();
  return 0;
}
