// Headerless raw files: the user states the pixel type, size, planes, the bytes to skip,
// the byte order and the signedness, and the pixels are taken as they lie. Read only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CImage;
class ProgressSink;

// The layout of a raw file, seven 32-bit fields in this order.
struct RAWIMAGE {
  std::int32_t nBitsPixel;   // 8, 16, 32 integers; -32, -64 reals
  std::int32_t nWidth;       // pixels per row
  std::int32_t nHeight;      // rows per plane
  std::int32_t nPlanes;      // 1 grey, 3 red, green and blue planes one after the other
  std::int32_t nHeaderSize;  // bytes skipped at the start of the file
  std::int32_t nByteOrder;   // 0 least significant byte first, else most significant first
  std::int32_t bSigned;      // non-zero: 16- and 32-bit integers are signed
};

inline constexpr std::string_view kRawFormatName = "Rawイメージ";

class CRawImage {
 public:
  // 0; 3 when the file cannot be opened (or the name's own code when it is no regular
  // file); 4 when the file is shorter than the skip and the pixels; 6 when memory runs
  // out; 7 for a layout that describes no image.
  [[nodiscard]] static int Read(CImage& image, const std::string& path, const RAWIMAGE& raw,
                                ProgressSink* progress = nullptr, const std::string& caption = {});
  static void MakeRequiredFitsHeader(CImage& image);
  // The text cut or padded with blanks to 80 bytes, appended to the image's header.
  static void AddFitsHeader(CImage& image, std::string_view text);
};
