// TIFF files (vtltif) through libtiff. Reading gives 8- or 16-bit unsigned grey or RGB
// planes from strips or tiles, chunky or planar, in any compression libtiff decodes, with
// rows turned to the orientation the file asks for; palette, bilevel and other colour
// models come through libtiff's RGBA conversion as 8-bit RGB (or grey). Writing takes
// 8- or 16-bit unsigned grey or RGB, uncompressed, LZW or PackBits, in either byte order.
#pragma once

#include <string>
#include <string_view>

#include "fits/fileiocodes.h"

class CImage;
class ProgressSink;

// Compression of Write, in the order of the save options' list.
inline constexpr int TIF_COMPRESS_NONE = 0;
inline constexpr int TIF_COMPRESS_LZW = 1;
inline constexpr int TIF_COMPRESS_PACKBITS = 2;
// Byte order of Write.
inline constexpr int TIF_ORDER_LITTLE_ENDIAN = 0;  // "IBM PC形式"
inline constexpr int TIF_ORDER_BIG_ENDIAN = 1;     // "Macintosh形式"

// The values of the Compression tag and of the byte-order mark that format names carry.
inline constexpr int kTiffTagNone = 1;
inline constexpr int kTiffTagLzw = 5;
inline constexpr int kTiffTagPackBits = 32773;
inline constexpr int kTiffLittleEndianMark = 0x4949;  // "II"
inline constexpr int kTiffBigEndianMark = 0x4D4D;     // "MM"

// Parts of the format names: "TIFF (" + compression + ", " + byte order + ")".
inline constexpr std::string_view kTiffNoneText = "無圧縮";
inline constexpr std::string_view kTiffLzwText = "LZW圧縮";
inline constexpr std::string_view kTiffPackBitsText = "Packbits圧縮";
inline constexpr std::string_view kTiffDeflateText = "Deflate圧縮";
inline constexpr std::string_view kTiffJpegText = "JPEG圧縮";
inline constexpr std::string_view kTiffOtherText = "その他の圧縮";
inline constexpr std::string_view kTiffLittleEndianText = "IBM PC形式";
inline constexpr std::string_view kTiffBigEndianText = "Macintosh形式";

// A name that is no regular file, to read or to save over, gives FIO_ERR_FOLDER,
// FIO_ERR_NOT_REGULAR or FIO_ERR_LINK_LOOP instead of FIO_ERR_OPEN or FIO_ERR_CREATE.
class CTiff {
 public:
  // Reads the first image of the file. 0, or FIO_ERR_OPEN, FIO_ERR_SHORT, FIO_ERR_MEMORY,
  // FIO_ERR_FORMAT (not a TIFF file, or samples that are signed, floating point or wider
  // than 16 bits).
  [[nodiscard]] static int Read(CImage& image, const std::string& path,
                                ProgressSink* progress = nullptr, const std::string& caption = {});
  // Geometry, pixel type and the original-file attributes, without pixels.
  [[nodiscard]] static int ReadHeader(CImage& image, const std::string& path,
                                      ProgressSink* progress = nullptr,
                                      const std::string& caption = {});
  // Writes the image through a temporary file renamed over path: compression one of
  // TIF_COMPRESS_*, byteOrder one of TIF_ORDER_*; the image is 8- or 16-bit unsigned with
  // one plane or three (red, green, blue). Returns 0, FIO_ERR_FORMAT for an image or
  // option it cannot write, FIO_ERR_CREATE, FIO_ERR_WRITE or FIO_ERR_MEMORY.
  [[nodiscard]] static int Write(const CImage& image, const std::string& path, int compression,
                                 int byteOrder, ProgressSink* progress = nullptr,
                                 const std::string& caption = {});

  // The TIF_COMPRESS_* value of a format name; TIF_COMPRESS_NONE for anything that is
  // neither LZW nor PackBits.
  static int GetCompressionType(std::string_view formatName);
  // The TIF_ORDER_* value of a format name; little-endian unless it names big-endian.
  static int GetByteOrderType(std::string_view formatName);
  // The format name of a file with a Compression tag value and a byte-order mark, such as
  // "TIFF (LZW圧縮, Macintosh形式)".
  static std::string GetFileFormatString(int compressionTag, int byteOrderMark);
};
