// JPEG files (vtljpg) through libjpeg. Reading gives 8-bit unsigned grey (one component)
// or RGB (three components, converted from YCbCr); writing takes 8-bit unsigned grey or
// RGB with a quality and, optionally, progressive coding.
#pragma once

#include <string>
#include <string_view>

#include "fits/fileiocodes.h"

class CImage;
class ProgressSink;

// The format names that reading sets as the original file format.
inline constexpr std::string_view kJpegFormatText = "JPEG";
inline constexpr std::string_view kJpegProgressiveFormatText = "JPEG (ﾌﾟﾛｸﾞﾚｯｼﾌﾞ)";

// A name that is no regular file, to read or to save over, gives FIO_ERR_FOLDER,
// FIO_ERR_NOT_REGULAR or FIO_ERR_LINK_LOOP instead of FIO_ERR_OPEN or FIO_ERR_CREATE.
class CJpeg {
 public:
  // Reads the image. 0, or FIO_ERR_OPEN, FIO_ERR_SHORT (also for a file that ends before
  // its last row), FIO_ERR_MEMORY, FIO_ERR_FORMAT (not a JPEG file, or one of CMYK or
  // 12-bit samples).
  [[nodiscard]] static int Read(CImage& image, const std::string& path,
                                ProgressSink* progress = nullptr, const std::string& caption = {});
  // Geometry, pixel type and the original-file attributes, without pixels; progressive,
  // when given, receives 1 for a progressive file and 0 otherwise.
  [[nodiscard]] static int ReadHeader(CImage& image, const std::string& path,
                                      int* progressive = nullptr, ProgressSink* progress = nullptr,
                                      const std::string& caption = {});
  // Writes the image through a temporary file renamed over path. quality is 1 to 100
  // (the save options give 10 to 100), progressive 0 or 1; the image is 8-bit with one
  // plane or three (red, green, blue) and at most 65500 pixels a side. Returns 0,
  // FIO_ERR_FORMAT for an image or option it cannot write, FIO_ERR_CREATE, FIO_ERR_WRITE
  // or FIO_ERR_MEMORY.
  [[nodiscard]] static int Write(const CImage& image, const std::string& path, int quality,
                                 int progressive, ProgressSink* progress = nullptr,
                                 const std::string& caption = {});
  // 1 when a format name is the progressive one, else 0.
  static int GetProgressiveMode(std::string_view formatName);
};
