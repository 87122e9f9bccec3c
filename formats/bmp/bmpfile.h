// Windows bitmap files (vtlbmp). Reading takes a bitmap file (with or without its
// 14-byte file header; a 40-byte information header or the older 12-byte core header;
// 1, 4, 8, 16, 24 or 32 bits; RLE4 and RLE8; bottom-up or top-down) into an 8-bit image
// of one plane (grey) or three. Writing stores the image as shown, 8 or 24 bits.
#pragma once

#include <string>
#include <string_view>

#include "dib/dibutil.h"
#include "fits/fileiocodes.h"

class CImage;
class CRalImage;
class ProgressSink;

// The format names that reading sets as the original file format.
inline constexpr std::string_view kBmpFormatText = "BMP (無圧縮)";      // 7001
inline constexpr std::string_view kBmpRleFormatText = "BMP (RLE圧縮)";  // 7002

// No bitmap read has more pixels than this; a header that claims more gives
// FIO_ERR_MEMORY before anything is allocated for it.
inline constexpr std::uint64_t kBmpMaxPixels = std::uint64_t{1} << 28;

class CBmp {
 public:
  // Reads the file into the image. 0, or FIO_ERR_OPEN (and the codes for names that are
  // no regular file), FIO_ERR_SHORT (headers cut short, bits that cannot fill the image),
  // FIO_ERR_FORMAT (a header size other than 12 or 40, an impossible header),
  // FIO_ERR_MEMORY (also a bitmap that would not fit the pager's memory budget).
  [[nodiscard]] static int Read(CImage& image, const std::string& path,
                                ProgressSink* progress = nullptr, const std::string& caption = {});
  // The geometry and the original-file attributes from the headers: 0, or FIO_ERR_HEADER
  // when they give no positive width and height (and the reading codes above).
  [[nodiscard]] static int ReadHeader(CImage& image, const std::string& path);
  // Writes the image as shown through its levels, bits 8 or 24, through a temporary file
  // renamed over path: 0, FIO_ERR_CREATE, FIO_ERR_WRITE, FIO_ERR_MEMORY (no bitmap).
  [[nodiscard]] static int Write(const CRalImage& image, const std::string& path, int bits,
                                 ProgressSink* progress = nullptr, const std::string& caption = {});

  // The packed bitmap that a file holds: a 40-byte header (a core header converted), the
  // colour table as four-byte entries, the bits. A truncated file gives the bits it has,
  // as long as it holds at least half of the rows; a run-length coded one must hold at
  // least a byte for 128 pixels. Less is FIO_ERR_SHORT, before anything is allocated.
  [[nodiscard]] static int ReadDIB(const std::string& path, DibBlock* dib);
  // A file header and then the packed bitmap, written through a temporary file.
  [[nodiscard]] static int WriteDIB(const std::string& path, const DibBlock& dib);
};
