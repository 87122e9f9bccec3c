// Reading TIFF with libtiff. libtiff's messages go to handlers of this library that only
// note that an error happened (nothing is printed). Before the pixel store is allocated,
// the header's size is checked against the file: every strip or tile must lie inside it,
// and the decoded size must be within what the compression can reach from the bytes of
// the strips or tiles. A compression without such a bound (the fax codings, LZMA, ZSTD
// and others) is decoded once without storing anything first: the image is allocated
// only when every row has come. Data that end before the rows do fail the read instead
// of being filled in. Samples are read row by row (strips) or tile by tile and placed
// through the file's orientation, so that row 0 of the image is the top of the picture.
#include <fcntl.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "formats/fio/fileioutil.h"
#include "formats/tiff/tifffile.h"
#include "formats/tiff/tiffinternal.h"
#include "imagemodel/image.h"
#include "platform/files.h"
#include "platform/progress.h"

namespace {

// The best ratio of decoded to stored bytes each compression can reach, with room to
// spare: PackBits stores 128 equal bytes in 2, zlib stays below about 1032 to 1, LZW
// below about 2731 to 1 (4096 bytes for a 12-bit code), JPEG's Huffman coding spends at
// least two bits on a block of 64 samples. 0 for a compression without a known bound:
// the fax codings give a whole row for one bit, whatever its width.
std::uint64_t MaxRatio(int compression) {
  switch (compression) {
    case COMPRESSION_NONE:
      return 1;
    case COMPRESSION_PACKBITS:
      return 64;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
      return 2048;
    case COMPRESSION_LZW:
      return 4096;
    case COMPRESSION_JPEG:
      return 2048;
    default:
      return 0;
  }
}
constexpr std::uint64_t kRatioSlack = 1 << 16;
// A tile (or scanline) buffer larger than this is not a real file's.
constexpr std::uint64_t kMaxBufferBytes = 256u << 20;

// How the stored rows map onto the picture.
struct Layout {
  int storedWidth = 0, storedHeight = 0;
  int orientation = ORIENTATION_TOPLEFT;
  int bits = 8;
  int planes = 1;
  bool invert = false;  // white is zero
  bool Transposed() const { return orientation >= ORIENTATION_LEFTTOP; }
  bool MirrorX() const {
    return orientation == ORIENTATION_TOPRIGHT || orientation == ORIENTATION_BOTRIGHT;
  }
  bool FlipY() const {
    return orientation == ORIENTATION_BOTRIGHT || orientation == ORIENTATION_BOTLEFT;
  }
  int PictureWidth() const { return Transposed() ? storedHeight : storedWidth; }
  int PictureHeight() const { return Transposed() ? storedWidth : storedHeight; }
  // Where stored pixel (sx, sy) is shown.
  void Place(int sx, int sy, int* x, int* y) const {
    const int w = storedWidth, h = storedHeight;
    switch (orientation) {
      case ORIENTATION_TOPRIGHT:
        *x = w - 1 - sx;
        *y = sy;
        return;
      case ORIENTATION_BOTRIGHT:
        *x = w - 1 - sx;
        *y = h - 1 - sy;
        return;
      case ORIENTATION_BOTLEFT:
        *x = sx;
        *y = h - 1 - sy;
        return;
      case ORIENTATION_LEFTTOP:
        *x = sy;
        *y = sx;
        return;
      case ORIENTATION_RIGHTTOP:
        *x = h - 1 - sy;
        *y = sx;
        return;
      case ORIENTATION_RIGHTBOT:
        *x = h - 1 - sy;
        *y = w - 1 - sx;
        return;
      case ORIENTATION_LEFTBOT:
        *x = sy;
        *y = w - 1 - sx;
        return;
      default:
        *x = sx;
        *y = sy;
        return;
    }
  }
};

// Writes count stored pixels of stored row sy from column sx0. src holds step samples per
// pixel, of which `planes` are taken, starting with image plane firstPlane.
template <typename T>
bool PutRunOf(CImage& image, const Layout& l, int sy, int sx0, int count, const T* src, int step,
              int firstPlane, int planes) {
  const T top = l.invert ? static_cast<T>(~T{0}) : T{0};
  if (!l.Transposed()) {
    const int y = l.FlipY() ? l.storedHeight - 1 - sy : sy;
    for (int p = 0; p < planes; ++p) {
      T* row = static_cast<T*>(image.GetImageAdr(0, y, firstPlane + p));
      if (!row) return false;
      const T* s = src + p;
      if (l.MirrorX()) {
        for (int i = 0; i < count; ++i, s += step) row[l.storedWidth - 1 - (sx0 + i)] = top ^ *s;
      } else {
        for (int i = 0; i < count; ++i, s += step) row[sx0 + i] = top ^ *s;
      }
    }
    return true;
  }
  for (int p = 0; p < planes; ++p) {
    const T* s = src + p;
    for (int i = 0; i < count; ++i, s += step) {
      int x, y;
      l.Place(sx0 + i, sy, &x, &y);
      T* px = static_cast<T*>(image.GetImageAdr(x, y, firstPlane + p));
      if (!px) return false;
      *px = top ^ *s;
    }
  }
  return true;
}

// Without an image the rows are only decoded: the pass that shows that the data are there.
bool PutRun(CImage* image, const Layout& l, int sy, int sx0, int count, const void* src, int step,
            int firstPlane, int planes) {
  if (!image) return true;
  if (l.bits == 8)
    return PutRunOf(*image, l, sy, sx0, count, static_cast<const std::uint8_t*>(src), step,
                    firstPlane, planes);
  return PutRunOf(*image, l, sy, sx0, count, static_cast<const std::uint16_t*>(src), step,
                  firstPlane, planes);
}

struct TiffCloser {
  void operator()(TIFF* tif) const {
    if (tif) TIFFClose(tif);
  }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// What the file holds and how it is to be read.
struct Description {
  std::uint32_t width = 0, height = 0;
  std::uint16_t samples = 1, bits = 1, photometric = PHOTOMETRIC_MINISBLACK;
  std::uint16_t planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT;
  std::uint16_t compression = COMPRESSION_NONE, orientation = ORIENTATION_TOPLEFT;
  bool tiled = false;
  bool viaRgba = false;  // through libtiff's RGBA conversion
  bool lowBits = false;  // grey of 1, 2 or 4 bits in strips, read row by row
  int planes = 1;        // of the image
  int imageBits = 8;
};

int Describe(TIFF* tif, Description* d) {
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &d->width) ||
      !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &d->height) || d->width == 0 || d->height == 0 ||
      d->width > INT_MAX || d->height > INT_MAX)
    return FIO_ERR_FORMAT;
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &d->samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &d->bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &d->planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &d->format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &d->compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &d->orientation);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &d->photometric))
    d->photometric = d->samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  if (d->orientation < ORIENTATION_TOPLEFT || d->orientation > ORIENTATION_LEFTBOT)
    d->orientation = ORIENTATION_TOPLEFT;
  d->tiled = TIFFIsTiled(tif) != 0;
  if (d->samples == 0 || d->bits == 0) return FIO_ERR_FORMAT;

  const bool plainBits = (d->bits == 8 || d->bits == 16) &&
                         (d->format == SAMPLEFORMAT_UINT || d->format == SAMPLEFORMAT_VOID);
  const bool grey =
      d->photometric == PHOTOMETRIC_MINISBLACK || d->photometric == PHOTOMETRIC_MINISWHITE;
  if (d->photometric == PHOTOMETRIC_YCBCR && d->compression == COMPRESSION_JPEG &&
      d->samples == 3 && d->bits == 8) {
    // The JPEG codec converts to RGB itself, whatever the subsampling.
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    d->photometric = PHOTOMETRIC_RGB;
  }
  if (plainBits && grey) {
    d->planes = 1;
  } else if (grey && d->samples == 1 && (d->bits == 1 || d->bits == 2 || d->bits == 4) &&
             !d->tiled && (d->format == SAMPLEFORMAT_UINT || d->format == SAMPLEFORMAT_VOID)) {
    // Row by row rather than through the RGBA conversion, which decodes a whole strip
    // into memory for every band of rows it gives (a fax page is often one strip).
    d->lowBits = true;
    d->planes = 1;
    d->imageBits = 8;
    return FIO_OK;
  } else if (plainBits && d->photometric == PHOTOMETRIC_RGB && d->samples >= 3) {
    d->planes = 3;
  } else {
    if (d->format != SAMPLEFORMAT_UINT && d->format != SAMPLEFORMAT_VOID) return FIO_ERR_FORMAT;
    char message[1024];
    if (!TIFFRGBAImageOK(tif, message)) return FIO_ERR_FORMAT;
    d->viaRgba = true;
    d->planes = grey ? 1 : 3;
    d->imageBits = 8;
    return FIO_OK;
  }
  d->imageBits = d->bits;
  return FIO_OK;
}

// Strips or tiles lying outside the file mean that it was cut short; a decoded size the
// compression could not reach from the strips' or tiles' bytes means a damaged header.
// *verify is set for a compression without a known bound: the rows must be decoded
// before the image is allocated.
int CheckAgainstFile(TIFF* tif, const Description& d, std::uint64_t fileSize, bool* verify) {
  const std::uint64_t rowBytes = (static_cast<std::uint64_t>(d.width) * d.samples * d.bits + 7) / 8;
  const std::uint64_t decoded = rowBytes * d.height;
  const std::uint64_t ratio = MaxRatio(d.compression);
  const int tooShort = d.compression == COMPRESSION_NONE ? FIO_ERR_SHORT : FIO_ERR_FORMAT;
  *verify = ratio == 0;
  if (ratio != 0 && decoded > fileSize * ratio + kRatioSlack) return tooShort;
  const std::uint32_t striles = d.tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  if (striles == 0 || striles > fileSize) return FIO_ERR_FORMAT;
  std::uint64_t stored = 0;
  for (std::uint32_t i = 0; i < striles; ++i) {
    const std::uint64_t offset = TIFFGetStrileOffset(tif, i);
    const std::uint64_t count = TIFFGetStrileByteCount(tif, i);
    if (offset > fileSize || count > fileSize - offset) return FIO_ERR_SHORT;
    stored += count;  // no more than striles × fileSize, far below 2^64
  }
  if (ratio != 0 && decoded > std::min(stored, fileSize) * ratio + kRatioSlack) return tooShort;
  return FIO_OK;
}

// The readers below fill image, or with a null image only decode. Data that end before the
// rows do give FIO_ERR_SHORT at once.
int ReadStrips(TIFF* tif, CImage* image, const Layout& l, const Description& d,
               const tiff_detail::Messages& m, ProgressScope& scope) {
  const tmsize_t size = TIFFScanlineSize(tif);
  if (size <= 0 || static_cast<std::uint64_t>(size) > kMaxBufferBytes) return FIO_ERR_FORMAT;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size) + 16);
  // Samples of fewer than 8 bits spread to 0 to 255 (white 255), as the RGBA conversion
  // shows them.
  std::vector<std::uint8_t> spread(d.lowBits ? static_cast<std::size_t>(d.width) : 0);
  const int maxSample = (1 << d.bits) - 1;
  const bool whiteIsZero = d.photometric == PHOTOMETRIC_MINISWHITE;
  auto expand = [&]() {
    const int perByte = 8 / d.bits;
    for (std::uint32_t x = 0; x < d.width; ++x) {
      const int shift = 8 - d.bits * (static_cast<int>(x % perByte) + 1);
      const int v = (buffer[x / perByte] >> shift) & maxSample;
      spread[x] = static_cast<std::uint8_t>((whiteIsZero ? maxSample - v : v) * 255 / maxSample);
    }
    return spread.data();
  };
  const bool separate = d.planar == PLANARCONFIG_SEPARATE && d.samples > 1;
  const int passes = separate ? l.planes : 1;
  const int height = static_cast<int>(d.height), width = static_cast<int>(d.width);
  for (int s = 0; s < passes; ++s)
    for (int y = 0; y < height; ++y) {
      if (TIFFReadScanline(tif, buffer.data(), static_cast<std::uint32_t>(y),
                           static_cast<std::uint16_t>(s)) < 0)
        return FIO_ERR_FORMAT;
      if (m.endedEarly) return FIO_ERR_SHORT;
      const bool ok = d.lowBits ? !image || PutRun(image, l, y, 0, width, expand(), 1, 0, 1)
                      : separate
                          ? PutRun(image, l, y, 0, width, buffer.data(), 1, s, 1)
                          : PutRun(image, l, y, 0, width, buffer.data(), d.samples, 0, l.planes);
      if (!ok) return FIO_ERR_MEMORY;
      scope.Update(static_cast<std::int64_t>(s) * height + y + 1,
                   static_cast<std::int64_t>(passes) * height);
    }
  return FIO_OK;
}

int ReadTiles(TIFF* tif, CImage* image, const Layout& l, const Description& d,
              const tiff_detail::Messages& m, ProgressScope& scope) {
  std::uint32_t tw = 0, th = 0;
  TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
  TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
  const tmsize_t size = TIFFTileSize(tif);
  if (tw == 0 || th == 0 || size <= 0 || static_cast<std::uint64_t>(size) > kMaxBufferBytes)
    return FIO_ERR_FORMAT;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size) + 16);
  const bool separate = d.planar == PLANARCONFIG_SEPARATE && d.samples > 1;
  const int passes = separate ? l.planes : 1;
  const int step = separate ? 1 : d.samples;
  const std::size_t bytes = d.bits / 8;
  const std::int64_t total = static_cast<std::int64_t>(passes) * ((d.height + th - 1) / th);
  std::int64_t done = 0;
  for (int s = 0; s < passes; ++s)
    for (std::uint32_t ty = 0; ty < d.height; ty += th) {
      for (std::uint32_t tx = 0; tx < d.width; tx += tw) {
        if (TIFFReadTile(tif, buffer.data(), tx, ty, 0, static_cast<std::uint16_t>(s)) < 0)
          return FIO_ERR_FORMAT;
        if (m.endedEarly) return FIO_ERR_SHORT;
        const int count = static_cast<int>(std::min(tw, d.width - tx));
        const std::uint32_t rows = std::min(th, d.height - ty);
        for (std::uint32_t r = 0; r < rows; ++r) {
          const std::uint8_t* src = buffer.data() + static_cast<std::size_t>(r) * tw * step * bytes;
          const bool ok = separate ? PutRun(image, l, static_cast<int>(ty + r),
                                            static_cast<int>(tx), count, src, 1, s, 1)
                                   : PutRun(image, l, static_cast<int>(ty + r),
                                            static_cast<int>(tx), count, src, step, 0, l.planes);
          if (!ok) return FIO_ERR_MEMORY;
        }
      }
      scope.Update(++done, total);
    }
  return FIO_OK;
}

// Anything libtiff can turn into RGBA, a band of rows at a time, in stored order.
int ReadRgba(TIFF* tif, CImage* image, const Layout& l, const tiff_detail::Messages& m,
             ProgressScope& scope) {
  char message[1024];
  TIFFRGBAImage rgba;
  if (!TIFFRGBAImageBegin(&rgba, tif, 1, message)) return FIO_ERR_FORMAT;
  struct End {
    TIFFRGBAImage* img;
    ~End() { TIFFRGBAImageEnd(img); }
  } end{&rgba};
  rgba.req_orientation = rgba.orientation;  // no turning here: Place does it
  const std::uint32_t width = rgba.width, height = rgba.height;
  const std::uint32_t band =
      std::max<std::uint32_t>(1, std::min<std::uint32_t>(height, (4u << 20) / width + 1));
  std::vector<std::uint32_t> raster(static_cast<std::size_t>(width) * band);
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * 3);
  for (std::uint32_t y = 0; y < height; y += band) {
    const std::uint32_t rows = std::min(band, height - y);
    rgba.row_offset = static_cast<int>(y);
    rgba.col_offset = 0;
    if (!TIFFRGBAImageGet(&rgba, raster.data(), width, rows)) return FIO_ERR_FORMAT;
    if (m.endedEarly) return FIO_ERR_SHORT;
    for (std::uint32_t r = 0; r < rows; ++r) {
      const std::uint32_t* px = raster.data() + static_cast<std::size_t>(r) * width;
      for (std::uint32_t x = 0; x < width; ++x) {
        rgb[3 * x] = static_cast<std::uint8_t>(TIFFGetR(px[x]));
        rgb[3 * x + 1] = static_cast<std::uint8_t>(TIFFGetG(px[x]));
        rgb[3 * x + 2] = static_cast<std::uint8_t>(TIFFGetB(px[x]));
      }
      if (!PutRun(image, l, static_cast<int>(y + r), 0, static_cast<int>(width), rgb.data(), 3, 0,
                  l.planes))
        return FIO_ERR_MEMORY;
    }
    scope.Update(y + rows, height);
  }
  return FIO_OK;
}

std::uint64_t Load(const unsigned char* p, int n, bool big) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(p[big ? n - 1 - i : i]) << (8 * i);
  return v;
}

// Bytes per value of a directory entry's type; 0 for a type this check does not know.
std::uint64_t TypeSize(std::uint64_t type) {
  switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
      return 1;
    case 3:
    case 8:
      return 2;
    case 4:
    case 9:
    case 11:
    case 13:
      return 4;
    case 5:
    case 10:
    case 12:
    case 16:
    case 17:
    case 18:
      return 8;
    default:
      return 0;
  }
}

// The first bytes say whether this is a TIFF file at all; its first directory, with the
// values kept outside the entries, must lie inside the file, or the file was cut short.
int CheckSignatureAndDirectory(int fd, std::uint64_t fileSize) {
  unsigned char head[16] = {};
  const ssize_t got = ::pread(fd, head, sizeof head, 0);
  if (got <= 0) return FIO_ERR_SHORT;
  static const unsigned char kMagic[4][4] = {
      {'I', 'I', 42, 0}, {'M', 'M', 0, 42}, {'I', 'I', 43, 0}, {'M', 'M', 0, 43}};
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(got), 4);
  bool prefix = false;
  int kind = -1;
  for (int k = 0; k < 4; ++k)
    if (std::memcmp(head, kMagic[k], n) == 0) {
      prefix = true;
      if (n == 4) kind = k;
    }
  if (!prefix) return FIO_ERR_FORMAT;
  if (kind < 0) return FIO_ERR_SHORT;
  const bool big = kind == 1 || kind == 3;
  const bool bigTiff = kind >= 2;
  if (static_cast<std::size_t>(got) < (bigTiff ? 16u : 8u)) return FIO_ERR_SHORT;

  const int countBytes = bigTiff ? 8 : 2, entryBytes = bigTiff ? 20 : 12, word = bigTiff ? 8 : 4;
  const std::uint64_t ifd = Load(head + (bigTiff ? 8 : 4), word, big);
  if (ifd > fileSize || fileSize - ifd < static_cast<std::uint64_t>(countBytes))
    return FIO_ERR_SHORT;
  unsigned char countField[8];
  if (::pread(fd, countField, static_cast<std::size_t>(countBytes), static_cast<off_t>(ifd)) !=
      countBytes)
    return FIO_ERR_SHORT;
  const std::uint64_t count = Load(countField, countBytes, big);
  const std::uint64_t room = fileSize - ifd - static_cast<std::uint64_t>(countBytes);
  if (count > room / static_cast<std::uint64_t>(entryBytes)) return FIO_ERR_SHORT;
  std::vector<unsigned char> entries(static_cast<std::size_t>(count) * entryBytes);
  if (!entries.empty() &&
      ::pread(fd, entries.data(), entries.size(), static_cast<off_t>(ifd + countBytes)) !=
          static_cast<ssize_t>(entries.size()))
    return FIO_ERR_SHORT;
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* e = entries.data() + i * static_cast<std::uint64_t>(entryBytes);
    const std::uint64_t size = TypeSize(Load(e + 2, 2, big));
    const std::uint64_t values = Load(e + 4, word, big);
    if (size == 0 || values <= static_cast<std::uint64_t>(word) / size) continue;  // inline
    if (values > fileSize / size) return FIO_ERR_SHORT;
    const std::uint64_t offset = Load(e + 4 + word, word, big);
    if (offset > fileSize || values * size > fileSize - offset) return FIO_ERR_SHORT;
  }
  return FIO_OK;
}

int ReadTiff(CImage& image, const std::string& path, bool pixels, ProgressSink* progress,
             const std::string& caption) {
  tiff_detail::SilenceGlobalHandlers();
  int fd = -1;
  struct stat st {};
  if (int e = OpenRegularFile(path, fd, &st)) return FioOpenCode(e);
  const auto fileSize = static_cast<std::uint64_t>(st.st_size);
  if (int rc = CheckSignatureAndDirectory(fd, fileSize); rc != FIO_OK) {
    ::close(fd);
    return rc;
  }
  tiff_detail::Messages messages;
  tiff_detail::OpenOptions options(&messages);
  TiffPtr tif(TIFFFdOpenExt(fd, path.c_str(), "rm", options.get()));
  if (!tif) {
    ::close(fd);
    return messages.outOfMemory ? FIO_ERR_MEMORY : FIO_ERR_FORMAT;
  }

  Description d;
  if (int rc = Describe(tif.get(), &d); rc != FIO_OK) return rc;
  Layout l;
  l.storedWidth = static_cast<int>(d.width);
  l.storedHeight = static_cast<int>(d.height);
  l.orientation = d.orientation;
  l.bits = d.imageBits;
  l.planes = d.planes;
  l.invert = !d.viaRgba && !d.lowBits && d.photometric == PHOTOMETRIC_MINISWHITE;

  image.Clear();
  image.SetBitsPixel(d.imageBits);
  image.SetSigned(0);
  image.SetWidth(l.PictureWidth());
  image.SetHeight(l.PictureHeight());
  image.SetPlanes(d.planes);
  image.SetBscale(1.0);
  image.SetBzero(0.0);

  if (pixels) {
    bool verify = false;
    if (int rc = CheckAgainstFile(tif.get(), d, fileSize, &verify); rc != FIO_OK) return rc;
    auto decode = [&](CImage* into, ProgressScope& scope) {
      int rc = d.viaRgba ? ReadRgba(tif.get(), into, l, messages, scope)
               : d.tiled ? ReadTiles(tif.get(), into, l, d, messages, scope)
                         : ReadStrips(tif.get(), into, l, d, messages, scope);
      if (rc == FIO_ERR_FORMAT && messages.outOfMemory) rc = FIO_ERR_MEMORY;
      return rc;
    };
    if (verify) {
      ProgressScope scope(progress, caption);
      if (int rc = decode(nullptr, scope); rc != FIO_OK) return rc;
    }
    if (!image.AllocImage(progress, caption)) return FIO_ERR_MEMORY;
    ProgressScope scope(progress, caption);
    if (int rc = decode(&image, scope); rc != FIO_OK) return rc;
    scope.Finish();
    if (!image.SetDefaultLevel()) return FIO_ERR_MEMORY;
  }

  image.SetOwnLevel(0);
  image.SetSaveableFormat(1);
  image.SetSaveableFile(fileio::IsReadOnly(path) ? 0 : 1);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat(CTiff::GetFileFormatString(
      d.compression, TIFFIsBigEndian(tif.get()) ? kTiffBigEndianMark : kTiffLittleEndianMark));
  image.SetOrgBitsPixel(d.imageBits);
  image.SetOrgPlanes(d.planes);
  image.SetOrgWidth(image.GetWidth());
  image.SetOrgHeight(image.GetHeight());
  return FIO_OK;
}

}  // namespace

int CTiff::Read(CImage& image, const std::string& path, ProgressSink* progress,
                const std::string& caption) {
  try {
    return ReadTiff(image, path, true, progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}

int CTiff::ReadHeader(CImage& image, const std::string& path, ProgressSink* progress,
                      const std::string& caption) {
  try {
    return ReadTiff(image, path, false, progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}

int CTiff::GetCompressionType(std::string_view formatName) {
  auto names = [&](std::string_view text) {
    return formatName.find("(" + std::string(text) + ",") != std::string_view::npos;
  };
  if (names(kTiffLzwText)) return TIF_COMPRESS_LZW;
  if (names(kTiffPackBitsText)) return TIF_COMPRESS_PACKBITS;
  return TIF_COMPRESS_NONE;
}

int CTiff::GetByteOrderType(std::string_view formatName) {
  return formatName.find(", " + std::string(kTiffBigEndianText) + ")") != std::string_view::npos
             ? TIF_ORDER_BIG_ENDIAN
             : TIF_ORDER_LITTLE_ENDIAN;
}

std::string CTiff::GetFileFormatString(int compressionTag, int byteOrderMark) {
  std::string_view compression;
  switch (compressionTag) {
    case COMPRESSION_NONE:
      compression = kTiffNoneText;
      break;
    case COMPRESSION_LZW:
      compression = kTiffLzwText;
      break;
    case COMPRESSION_PACKBITS:
      compression = kTiffPackBitsText;
      break;
    case COMPRESSION_DEFLATE:
    case COMPRESSION_ADOBE_DEFLATE:
      compression = kTiffDeflateText;
      break;
    case COMPRESSION_JPEG:
    case COMPRESSION_OJPEG:
      compression = kTiffJpegText;
      break;
    default:
      compression = kTiffOtherText;
      break;
  }
  const std::string_view order =
      byteOrderMark == kTiffBigEndianMark ? kTiffBigEndianText : kTiffLittleEndianText;
  return "TIFF (" + std::string(compression) + ", " + std::string(order) + ")";
}
