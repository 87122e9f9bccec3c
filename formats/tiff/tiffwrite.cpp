// Writing TIFF with libtiff: one chunky image of grey or RGB samples in strips of about
// 8 KB, written through a duplicate of a temporary file's descriptor and renamed over the
// target only when libtiff has flushed the directory without an error.
#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "formats/tiff/tifffile.h"
#include "formats/tiff/tiffinternal.h"
#include "imagemodel/image.h"
#include "platform/files.h"
#include "platform/progress.h"

namespace {

constexpr char kSoftware[] = "Vantorel";

struct TiffCloser {
  void operator()(TIFF* tif) const {
    if (tif) TIFFClose(tif);
  }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// Interleaves one row of the image's planes into buf (native byte order: libtiff swaps
// samples itself when the file's order differs).
template <typename T>
bool GatherRow(const CImage& image, int y, T* buf) {
  const int width = image.GetWidth(), planes = image.GetPlanes();
  for (int p = 0; p < planes; ++p) {
    const T* src = static_cast<const T*>(image.GetImageAdr(0, y, p));
    if (!src) return false;
    T* dst = buf + p;
    for (int x = 0; x < width; ++x, dst += planes) *dst = src[x];
  }
  return true;
}

int WriteRows(TIFF* tif, const CImage& image, ProgressScope& scope) {
  const int width = image.GetWidth(), height = image.GetHeight(), planes = image.GetPlanes();
  const int bits = image.GetBitsPixel();
  std::vector<std::uint16_t> row(static_cast<std::size_t>(width) * planes);  // room for either
  for (int y = 0; y < height; ++y) {
    const bool ok = bits == 8 ? GatherRow(image, y, reinterpret_cast<std::uint8_t*>(row.data()))
                              : GatherRow(image, y, row.data());
    if (!ok) return FIO_ERR_MEMORY;
    if (TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0) < 0)
      return FIO_ERR_WRITE;
    scope.Update(y + 1, height);
  }
  return FIO_OK;
}

int WriteTiff(const CImage& image, const std::string& path, int compression, int byteOrder,
              ProgressSink* progress, const std::string& caption) {
  const int bits = image.GetBitsPixel(), planes = image.GetPlanes();
  if (image.IsEmpty() || (bits != 8 && bits != 16) || (bits == 16 && image.IsSigned()) ||
      (planes != 1 && planes != 3) || image.GetWidth() <= 0 || image.GetHeight() <= 0)
    return FIO_ERR_FORMAT;
  std::uint16_t tag;
  switch (compression) {
    case TIF_COMPRESS_NONE:
      tag = COMPRESSION_NONE;
      break;
    case TIF_COMPRESS_LZW:
      tag = COMPRESSION_LZW;
      break;
    case TIF_COMPRESS_PACKBITS:
      tag = COMPRESSION_PACKBITS;
      break;
    default:
      return FIO_ERR_FORMAT;
  }
  if (byteOrder != TIF_ORDER_LITTLE_ENDIAN && byteOrder != TIF_ORDER_BIG_ENDIAN)
    return FIO_ERR_FORMAT;

  tiff_detail::SilenceGlobalHandlers();
  AtomicFile out;
  if (int e = out.Open(path)) return FioCreateCode(e);
  const int fd = ::fcntl(out.fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return FIO_ERR_CREATE;
  tiff_detail::Messages messages;
  tiff_detail::OpenOptions options(&messages);
  TiffPtr tif(TIFFFdOpenExt(fd, out.temp_path().c_str(),
                            byteOrder == TIF_ORDER_BIG_ENDIAN ? "wb" : "wl", options.get()));
  if (!tif) {
    ::close(fd);
    return messages.outOfMemory ? FIO_ERR_MEMORY : FIO_ERR_CREATE;
  }

  TIFF* t = tif.get();
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(image.GetWidth()));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(image.GetHeight()));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(bits));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(planes));
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, planes == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(t, TIFFTAG_COMPRESSION, tag);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  TIFFSetField(t, TIFFTAG_SOFTWARE, kSoftware);

  int rc;
  {
    ProgressScope scope(progress, caption);
    rc = WriteRows(t, image, scope);
  }
  if (rc == FIO_OK && !TIFFFlush(t)) rc = FIO_ERR_WRITE;
  if (rc == FIO_ERR_WRITE && messages.outOfMemory) rc = FIO_ERR_MEMORY;
  tif.reset();  // closes the duplicate descriptor
  if (rc != FIO_OK) return rc;
  return out.Commit() == 0 ? FIO_OK : FIO_ERR_WRITE;
}

}  // namespace

int CTiff::Write(const CImage& image, const std::string& path, int compression, int byteOrder,
                 ProgressSink* progress, const std::string& caption) {
  try {
    return WriteTiff(image, path, compression, byteOrder, progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}
