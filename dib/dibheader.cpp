#include "dib/dibheader.h"

using namespace dibbytes;

void StoreBitmapInfoHeader(const BITMAPINFOHEADER& h, std::uint8_t* out) {
  Put32(out + 0, h.biSize);
  Put32(out + 4, static_cast<std::uint32_t>(h.biWidth));
  Put32(out + 8, static_cast<std::uint32_t>(h.biHeight));
  Put16(out + 12, h.biPlanes);
  Put16(out + 14, h.biBitCount);
  Put32(out + 16, h.biCompression);
  Put32(out + 20, h.biSizeImage);
  Put32(out + 24, static_cast<std::uint32_t>(h.biXPelsPerMeter));
  Put32(out + 28, static_cast<std::uint32_t>(h.biYPelsPerMeter));
  Put32(out + 32, h.biClrUsed);
  Put32(out + 36, h.biClrImportant);
}

BITMAPINFOHEADER LoadBitmapInfoHeader(const std::uint8_t* in) {
  BITMAPINFOHEADER h;
  h.biSize = Get32(in + 0);
  h.biWidth = static_cast<std::int32_t>(Get32(in + 4));
  h.biHeight = static_cast<std::int32_t>(Get32(in + 8));
  h.biPlanes = Get16(in + 12);
  h.biBitCount = Get16(in + 14);
  h.biCompression = Get32(in + 16);
  h.biSizeImage = Get32(in + 20);
  h.biXPelsPerMeter = static_cast<std::int32_t>(Get32(in + 24));
  h.biYPelsPerMeter = static_cast<std::int32_t>(Get32(in + 28));
  h.biClrUsed = Get32(in + 32);
  h.biClrImportant = Get32(in + 36);
  return h;
}

BITMAPCOREHEADER LoadBitmapCoreHeader(const std::uint8_t* in) {
  BITMAPCOREHEADER h;
  h.bcSize = Get32(in + 0);
  h.bcWidth = Get16(in + 4);
  h.bcHeight = Get16(in + 6);
  h.bcPlanes = Get16(in + 8);
  h.bcBitCount = Get16(in + 10);
  return h;
}
