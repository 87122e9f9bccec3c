// Reading and writing PNG with libpng. libpng reports errors by longjmp, so every libpng
// call runs inside a function that armed setjmp just before. Those functions declare no
// object with a destructor, and the callbacks that libpng calls (data, error, memory)
// never throw; a longjmp therefore skips nothing that needs cleaning up. What is owned
// (the file, libpng's structures, the row buffer) lives in the callers and is released
// on every path. The callbacks note why a failure happened, which picks the error code.
#include "formats/png/pngfile.h"

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "formats/fio/fileioutil.h"
#include "imagemodel/image.h"
#include "platform/files.h"
#include "platform/progress.h"

namespace {

// zlib cannot do better than about 1032 to 1; a header that claims more pixels than the
// file's image data chunks could hold at that ratio is refused before anything is
// allocated for them (other chunks, however large, hold no pixels).
constexpr std::uint64_t kMaxDeflateRatio = 1032;
constexpr std::uint64_t kDeflateSlack = 4096;
constexpr png_uint_32 kMaxSide = 1000000;
constexpr png_alloc_size_t kMaxChunkBytes = 16u << 20;

struct State {
  std::FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  bool shortRead = false;
  bool ioFailed = false;
  bool outOfMemory = false;

  // The file's own layout.
  png_uint_32 width = 0, height = 0;
  int fileBitDepth = 0, colorType = 0, interlace = 0;
  // The rows as libpng hands them over after the transformations.
  int channels = 0, bitDepth = 0, passes = 1;
  std::size_t rowBytes = 0;

  int ReadFailure() const {
    if (outOfMemory) return FIO_ERR_MEMORY;
    if (shortRead || ioFailed) return FIO_ERR_SHORT;
    return FIO_ERR_FORMAT;
  }
  int WriteFailure() const { return outOfMemory ? FIO_ERR_MEMORY : FIO_ERR_WRITE; }
};

State* StateOf(png_structp png) {
  return static_cast<State*>(png_get_error_ptr(png));
}

[[noreturn]] void OnError(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}
void OnWarning(png_structp, png_const_charp) {}

png_voidp OnMalloc(png_structp png, png_alloc_size_t size) {
  void* p = std::malloc(size);
  if (!p) static_cast<State*>(png_get_mem_ptr(png))->outOfMemory = true;
  return p;
}
void OnFree(png_structp, png_voidp p) {
  std::free(p);
}

void OnReadData(png_structp png, png_bytep data, std::size_t length) {
  State* s = StateOf(png);
  if (std::fread(data, 1, length, s->file) != length) {
    (std::ferror(s->file) ? s->ioFailed : s->shortRead) = true;
    png_error(png, "read");
  }
}

void OnWriteData(png_structp png, png_bytep data, std::size_t length) {
  State* s = StateOf(png);
  if (std::fwrite(data, 1, length, s->file) != length) {
    s->ioFailed = true;
    png_error(png, "write");
  }
}
void OnFlush(png_structp) {}

// Bytes of the IDAT chunks of the file, read from the chunk headers that follow the
// signature (the file position that libpng reads from is not moved).
std::uint64_t ImageDataBytes(std::FILE* file, std::uint64_t fileSize) {
  const int fd = ::fileno(file);
  std::uint64_t at = 8, bytes = 0;
  unsigned char head[8];
  while (at + sizeof head <= fileSize && ::pread(fd, head, sizeof head, static_cast<off_t>(at)) ==
                                             static_cast<ssize_t>(sizeof head)) {
    const std::uint64_t length = png_get_uint_32(head);
    if (std::memcmp(head + 4, "IDAT", 4) == 0) bytes += std::min(length, fileSize - at);
    if (std::memcmp(head + 4, "IEND", 4) == 0) break;
    at += 12 + length;  // length, type, data, CRC
  }
  return bytes;
}

int FileChannels(int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB:
      return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return 4;
    default:
      return 1;  // grey, palette indices
  }
}

// libpng's structures for reading or writing, freed with the guard.
class PngHandle {
 public:
  PngHandle(State& s, bool write) : s_(s), write_(write) {
    s.png = write ? png_create_write_struct_2(PNG_LIBPNG_VER_STRING, &s, OnError, OnWarning, &s,
                                              OnMalloc, OnFree)
                  : png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &s, OnError, OnWarning, &s,
                                             OnMalloc, OnFree);
    if (s.png) s.info = png_create_info_struct(s.png);
  }
  ~PngHandle() {
    if (write_)
      png_destroy_write_struct(&s_.png, s_.info ? &s_.info : nullptr);
    else
      png_destroy_read_struct(&s_.png, s_.info ? &s_.info : nullptr, nullptr);
  }
  PngHandle(const PngHandle&) = delete;
  PngHandle& operator=(const PngHandle&) = delete;
  bool ok() const { return s_.png && s_.info; }

 private:
  State& s_;
  bool write_;
};

// Reads the chunks up to the image data and sets up the transformations that give grey or
// RGB rows of 8 or 16 bits.
int ReadInfo(State& s) {
  if (setjmp(png_jmpbuf(s.png))) return s.ReadFailure();
  png_set_read_fn(s.png, nullptr, OnReadData);
  png_set_user_limits(s.png, kMaxSide, kMaxSide);
  png_set_chunk_malloc_max(s.png, kMaxChunkBytes);
  png_set_sig_bytes(s.png, 8);
  png_read_info(s.png, s.info);
  png_get_IHDR(s.png, s.info, &s.width, &s.height, &s.fileBitDepth, &s.colorType, &s.interlace,
               nullptr, nullptr);
  if (s.colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(s.png);
  if (s.colorType == PNG_COLOR_TYPE_GRAY && s.fileBitDepth < 8)
    png_set_expand_gray_1_2_4_to_8(s.png);
  png_set_strip_alpha(s.png);  // also the alpha that a palette's transparency would add
  s.passes = png_set_interlace_handling(s.png);
  png_read_update_info(s.png, s.info);
  s.channels = png_get_channels(s.png, s.info);
  s.bitDepth = png_get_bit_depth(s.png, s.info);
  s.rowBytes = png_get_rowbytes(s.png, s.info);
  return FIO_OK;
}

// Rows of interleaved samples (16 bits big-endian) to and from the image's planes.
bool ScatterRow(CImage& image, int y, const png_byte* row, int channels, int bitDepth) {
  const int width = image.GetWidth();
  for (int p = 0; p < channels; ++p) {
    void* dst = image.GetImageAdr(0, y, p);
    if (!dst) return false;
    const png_byte* src = row + (bitDepth / 8) * p;
    if (bitDepth == 8) {
      auto* d = static_cast<std::uint8_t*>(dst);
      for (int x = 0; x < width; ++x, src += channels) d[x] = *src;
    } else {
      auto* d = static_cast<std::uint16_t*>(dst);
      for (int x = 0; x < width; ++x, src += 2 * channels)
        d[x] = static_cast<std::uint16_t>(src[0] << 8 | src[1]);
    }
  }
  return true;
}

bool GatherRow(const CImage& image, int y, png_byte* row, int channels, int bitDepth) {
  const int width = image.GetWidth();
  for (int p = 0; p < channels; ++p) {
    const void* src = image.GetImageAdr(0, y, p);
    if (!src) return false;
    png_byte* dst = row + (bitDepth / 8) * p;
    if (bitDepth == 8) {
      auto* s = static_cast<const std::uint8_t*>(src);
      for (int x = 0; x < width; ++x, dst += channels) *dst = s[x];
    } else {
      auto* s = static_cast<const std::uint16_t*>(src);
      for (int x = 0; x < width; ++x, dst += 2 * channels) {
        dst[0] = static_cast<png_byte>(s[x] >> 8);
        dst[1] = static_cast<png_byte>(s[x]);
      }
    }
  }
  return true;
}

// Whether row y of an Adam7 pass holds pixels of that pass.
bool RowInPass(png_uint_32 y, png_uint_32 width, int pass) {
  return PNG_ROW_IN_INTERLACE_PASS(y, pass) && PNG_PASS_COLS(width, pass) != 0;
}

// Decodes every row into the image. An interlaced image comes in seven passes, each of
// which fills some pixels of some rows: such a row is first gathered from the image so
// that libpng can add the pass's pixels to what earlier passes left there.
int ReadRows(State& s, CImage& image, png_bytep row, ProgressScope& scope) {
  if (setjmp(png_jmpbuf(s.png))) return s.ReadFailure();
  const std::int64_t total = static_cast<std::int64_t>(s.passes) * s.height;
  for (int pass = 0; pass < s.passes; ++pass) {
    for (png_uint_32 y = 0; y < s.height; ++y) {
      const int iy = static_cast<int>(y);
      if (s.passes > 1 && !RowInPass(y, s.width, pass)) {
        png_read_row(s.png, nullptr, nullptr);
        continue;
      }
      if (s.passes > 1 && !GatherRow(image, iy, row, s.channels, s.bitDepth)) return FIO_ERR_MEMORY;
      png_read_row(s.png, row, nullptr);
      if (!ScatterRow(image, iy, row, s.channels, s.bitDepth)) return FIO_ERR_MEMORY;
      scope.Update(static_cast<std::int64_t>(pass) * s.height + y + 1, total);
    }
  }
  return FIO_OK;
}

int ReadPng(CImage& image, const std::string& path, bool pixels, ProgressSink* progress,
            const std::string& caption) {
  std::uint64_t fileSize = 0;
  int code = FIO_OK;
  fileio::FilePtr file = fileio::OpenForReading(path, &fileSize, &code);
  if (!file) return code;
  png_byte signature[8];
  const std::size_t got = std::fread(signature, 1, sizeof signature, file.get());
  if (got == 0 || png_sig_cmp(signature, 0, got) != 0)
    return got == 0 ? FIO_ERR_SHORT : FIO_ERR_FORMAT;
  if (got < sizeof signature) return FIO_ERR_SHORT;

  State s;
  s.file = file.get();
  PngHandle handle(s, false);
  if (!handle.ok()) return FIO_ERR_MEMORY;
  if (int rc = ReadInfo(s); rc != FIO_OK) return rc;
  if ((s.channels != 1 && s.channels != 3) || (s.bitDepth != 8 && s.bitDepth != 16))
    return FIO_ERR_FORMAT;

  const int width = static_cast<int>(s.width), height = static_cast<int>(s.height);
  image.Clear();
  image.SetBitsPixel(s.bitDepth);
  image.SetSigned(0);
  image.SetWidth(width);
  image.SetHeight(height);
  image.SetPlanes(s.channels);
  image.SetBscale(1.0);
  image.SetBzero(0.0);

  if (pixels) {
    // The compressed rows (one filter byte each) must fit in the file at zlib's best.
    const std::uint64_t packedRow =
        (static_cast<std::uint64_t>(s.width) * FileChannels(s.colorType) * s.fileBitDepth + 7) / 8;
    const std::uint64_t packed = (packedRow + 1) * s.height;
    if (packed > ImageDataBytes(file.get(), fileSize) * kMaxDeflateRatio + kDeflateSlack)
      return FIO_ERR_SHORT;
    if (!image.AllocImage(progress, caption)) return FIO_ERR_MEMORY;
    std::vector<png_byte> row(s.rowBytes);
    ProgressScope scope(progress, caption);
    if (int rc = ReadRows(s, image, row.data(), scope); rc != FIO_OK) return rc;
    scope.Finish();
    if (!image.SetDefaultLevel()) return FIO_ERR_MEMORY;
  }

  image.SetOwnLevel(0);
  image.SetSaveableFormat(1);
  image.SetSaveableFile(fileio::IsReadOnly(path) ? 0 : 1);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat(s.interlace == PNG_INTERLACE_ADAM7 ? kPngInterlacedFormatText
                                                            : kPngFormatText);
  image.SetOrgBitsPixel(s.fileBitDepth);
  image.SetOrgPlanes(s.channels);
  image.SetOrgWidth(width);
  image.SetOrgHeight(height);
  return FIO_OK;
}

int WriteRows(State& s, const CImage& image, int level, bool interlace, png_bytep row,
              ProgressScope& scope) {
  if (setjmp(png_jmpbuf(s.png))) return s.WriteFailure();
  png_set_write_fn(s.png, nullptr, OnWriteData, OnFlush);
  png_set_IHDR(s.png, s.info, s.width, s.height, s.bitDepth,
               s.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
               interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(s.png, level);
  png_write_info(s.png, s.info);
  const int passes = interlace ? png_set_interlace_handling(s.png) : 1;
  const std::int64_t total = static_cast<std::int64_t>(passes) * s.height;
  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < s.height; ++y) {
      // libpng takes whole rows and picks each pass's pixels itself; rows that a pass
      // skips need not be gathered.
      if ((passes == 1 || RowInPass(y, s.width, pass)) &&
          !GatherRow(image, static_cast<int>(y), row, s.channels, s.bitDepth)) {
        s.outOfMemory = true;
        return FIO_ERR_MEMORY;
      }
      png_write_row(s.png, row);
      scope.Update(static_cast<std::int64_t>(pass) * s.height + y + 1, total);
    }
  }
  png_write_end(s.png, s.info);
  return FIO_OK;
}

int WritePng(const CImage& image, const std::string& path, int level, int interlace, int bits,
             ProgressSink* progress, const std::string& caption) {
  const int planes = image.GetPlanes();
  if (image.IsEmpty() || (bits != 8 && bits != 16) || image.GetBitsPixel() != bits ||
      (bits == 16 && image.IsSigned()) || (planes != 1 && planes != 3) || image.GetWidth() <= 0 ||
      image.GetHeight() <= 0 || level < 0 || level > 9 ||
      static_cast<std::uint64_t>(image.GetWidth()) > kMaxSide ||
      static_cast<std::uint64_t>(image.GetHeight()) > kMaxSide)
    return FIO_ERR_FORMAT;

  AtomicFile out;
  if (int e = out.Open(path)) return FioCreateCode(e);
  fileio::FilePtr stream = fileio::StreamOnDuplicate(out.fd());
  if (!stream) return FIO_ERR_CREATE;

  State s;
  s.file = stream.get();
  s.width = static_cast<png_uint_32>(image.GetWidth());
  s.height = static_cast<png_uint_32>(image.GetHeight());
  s.channels = planes;
  s.bitDepth = bits;
  int rc = FIO_OK;
  {
    PngHandle handle(s, true);
    if (!handle.ok()) return FIO_ERR_MEMORY;
    std::vector<png_byte> row(static_cast<std::size_t>(s.width) * planes * (bits / 8));
    ProgressScope scope(progress, caption);
    rc = WriteRows(s, image, level, interlace != 0, row.data(), scope);
  }
  if (rc != FIO_OK) return rc;
  if (!fileio::FinishStream(stream)) return FIO_ERR_WRITE;
  return out.Commit() == 0 ? FIO_OK : FIO_ERR_WRITE;
}

}  // namespace

int CPng::Read(CImage& image, const std::string& path, ProgressSink* progress,
               const std::string& caption) {
  try {
    return ReadPng(image, path, true, progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}

int CPng::ReadHeader(CImage& image, const std::string& path, ProgressSink* progress,
                     const std::string& caption) {
  try {
    return ReadPng(image, path, false, progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}

int CPng::Write(const CImage& image, const std::string& path, int level, int interlace, int bits,
                ProgressSink* progress, const std::string& caption) {
  try {
    return WritePng(image, path, level, interlace, bits, progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}

int CPng::GetInterlaceMode(std::string_view formatName) {
  return formatName == kPngInterlacedFormatText ? 1 : 0;
}
