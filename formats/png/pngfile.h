// PNG files (vtlpng) through libpng. Reading gives 8- or 16-bit unsigned grey or RGB
// planes as the file holds them: palettes are expanded to RGB, grey of 1, 2 or 4 bits is
// scaled to 8 bits, alpha and transparency are dropped, and no gamma is applied. Writing
// takes 8- or 16-bit unsigned grey or RGB, with a zlib level and optional Adam7 interlace.
#pragma once

#include <string>
#include <string_view>

#include "fits/fileiocodes.h"

class CImage;
class ProgressSink;

// The format names that reading sets as the original file format.
inline constexpr std::string_view kPngFormatText = "PNG";
inline constexpr std::string_view kPngInterlacedFormatText = "PNG (ｲﾝﾀｰﾚｰｽ)";

// A name that is no regular file, to read or to save over, gives FIO_ERR_FOLDER,
// FIO_ERR_NOT_REGULAR or FIO_ERR_LINK_LOOP instead of FIO_ERR_OPEN or FIO_ERR_CREATE.
class CPng {
 public:
  // Reads the image. 0, or FIO_ERR_OPEN, FIO_ERR_SHORT, FIO_ERR_MEMORY, FIO_ERR_FORMAT.
  // The original bits per pixel are the file's bits per sample (1 to 16; for a palette
  // image, the bits of its indices), the original planes those of the image.
  [[nodiscard]] static int Read(CImage& image, const std::string& path,
                                ProgressSink* progress = nullptr, const std::string& caption = {});
  // Geometry, pixel type and the original-file attributes, without pixels.
  [[nodiscard]] static int ReadHeader(CImage& image, const std::string& path,
                                      ProgressSink* progress = nullptr,
                                      const std::string& caption = {});
  // Writes the image through a temporary file renamed over path. level is zlib's 0 to 9,
  // interlace 0 or 1 (Adam7), bits 8 or 16 and must be the image's own unsigned type; the
  // image has one plane or three (red, green, blue). Returns 0, FIO_ERR_FORMAT for an
  // image or option it cannot write, FIO_ERR_CREATE, FIO_ERR_WRITE or FIO_ERR_MEMORY.
  [[nodiscard]] static int Write(const CImage& image, const std::string& path, int level,
                                 int interlace, int bits, ProgressSink* progress = nullptr,
                                 const std::string& caption = {});
  // 1 when a format name is the interlaced one, else 0.
  static int GetInterlaceMode(std::string_view formatName);
};
