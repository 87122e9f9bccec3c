// Reading and writing JPEG with libjpeg. libjpeg ends a failed call through error_exit,
// which here longjmps back to the function that armed setjmp just before calling it.
// Those functions declare no object with a destructor and the callbacks never throw, so
// the jump skips nothing that needs cleaning up; the codec structures and the file live
// in the callers, whose guards release them on every path. Warnings are counted, not
// printed; the one for a file that ends early turns a finished decode into "too short".
#include "formats/jpeg/jpegfile.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "formats/fio/fileioutil.h"
#include "imagemodel/image.h"
#include "imagemodel/vmmanager.h"
#include "platform/files.h"
#include "platform/progress.h"

namespace {

// Each 8 × 8 block costs at least a bit with Huffman coding, so a header that claims more
// samples than the file could hold (at the densest sampling) is refused before anything
// is allocated. Arithmetic coding can go further below a bit per block.
constexpr std::uint64_t kMaxHuffmanRatio = 2048;
constexpr std::uint64_t kMaxArithmeticRatio = 65536;
constexpr std::uint64_t kRatioSlack = 1 << 16;
// Progressive files keep every coefficient in memory while they decode; beyond this, or
// beyond the pager's memory budget (this memory is not the pager's), libjpeg gives up (it
// has no backing store) and the read fails as memory exhaustion.
constexpr long kMaxDecoderMemory = 1L << 30;
constexpr int kMaxSide = JPEG_MAX_DIMENSION;

struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  bool endedEarly;
};

[[noreturn]] void OnErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

void OnEmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // trace messages
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  if (err->pub.msg_code == JWRN_JPEG_EOF) err->endedEarly = true;
  ++err->pub.num_warnings;
}

void OnOutputMessage(j_common_ptr) {}

void InitErrors(ErrorManager& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = OnErrorExit;
  err.pub.emit_message = OnEmitMessage;
  err.pub.output_message = OnOutputMessage;
  err.endedEarly = false;
}

int ReadFailure(const ErrorManager& err) {
  switch (err.pub.msg_code) {
    case JERR_OUT_OF_MEMORY:
    case JERR_NO_BACKING_STORE:
      return FIO_ERR_MEMORY;
    case JERR_INPUT_EMPTY:
    case JERR_INPUT_EOF:
    case JERR_FILE_READ:
      return FIO_ERR_SHORT;
    default:
      // A file cut inside its header runs into the end marker that the reader puts in
      // place of the missing bytes, and fails for that.
      return err.endedEarly ? FIO_ERR_SHORT : FIO_ERR_FORMAT;
  }
}

int WriteFailure(const ErrorManager& err) {
  switch (err.pub.msg_code) {
    case JERR_OUT_OF_MEMORY:
    case JERR_NO_BACKING_STORE:
      return FIO_ERR_MEMORY;
    case JERR_FILE_WRITE:
      return FIO_ERR_WRITE;
    default:
      return FIO_ERR_FORMAT;
  }
}

class Decompressor {
 public:
  Decompressor() {
    std::memset(&cinfo, 0, sizeof cinfo);
    InitErrors(err);
    cinfo.err = &err.pub;
  }
  ~Decompressor() { jpeg_destroy_decompress(&cinfo); }  // safe on a zeroed structure
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;

  jpeg_decompress_struct cinfo;
  ErrorManager err;
};

class Compressor {
 public:
  Compressor() {
    std::memset(&cinfo, 0, sizeof cinfo);
    InitErrors(err);
    cinfo.err = &err.pub;
  }
  ~Compressor() { jpeg_destroy_compress(&cinfo); }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  jpeg_compress_struct cinfo;
  ErrorManager err;
};

int ReadJpegHeader(Decompressor& d, std::FILE* file) {
  if (setjmp(d.err.jump)) return ReadFailure(d.err);
  jpeg_create_decompress(&d.cinfo);
  d.cinfo.mem->max_memory_to_use = static_cast<long>(
      std::min<std::uint64_t>(kMaxDecoderMemory, CVmManager::Instance().GetMemoryBudget()));
  jpeg_stdio_src(&d.cinfo, file);
  if (jpeg_read_header(&d.cinfo, TRUE) != JPEG_HEADER_OK) return FIO_ERR_FORMAT;
  if (d.cinfo.data_precision != 8) return FIO_ERR_FORMAT;
  if (d.cinfo.num_components == 1)
    d.cinfo.out_color_space = JCS_GRAYSCALE;
  else if (d.cinfo.num_components == 3)
    d.cinfo.out_color_space = JCS_RGB;
  else
    return FIO_ERR_FORMAT;  // CMYK and other component counts
  return FIO_OK;
}

// Rows are stored only while the file has data for them: libjpeg makes up the rows of a
// file that ends early (after a warning), which are not taken. A progressive file has
// read all its scans when decompression starts.
int DecodeRows(Decompressor& d, CImage& image, JSAMPROW row, ProgressScope& scope) {
  if (setjmp(d.err.jump)) return ReadFailure(d.err);
  jpeg_start_decompress(&d.cinfo);
  if (d.err.endedEarly) return FIO_ERR_SHORT;
  const int planes = d.cinfo.output_components;
  const int width = image.GetWidth(), height = image.GetHeight();
  if (static_cast<int>(d.cinfo.output_width) != width ||
      static_cast<int>(d.cinfo.output_height) != height || planes != image.GetPlanes())
    return FIO_ERR_FORMAT;
  while (d.cinfo.output_scanline < d.cinfo.output_height) {
    const int y = static_cast<int>(d.cinfo.output_scanline);
    if (jpeg_read_scanlines(&d.cinfo, &row, 1) != 1 || d.err.endedEarly) return FIO_ERR_SHORT;
    for (int p = 0; p < planes; ++p) {
      auto* dst = static_cast<std::uint8_t*>(image.GetImageAdr(0, y, p));
      if (!dst) return FIO_ERR_MEMORY;
      const JSAMPLE* src = row + p;
      for (int x = 0; x < width; ++x, src += planes) dst[x] = *src;
    }
    scope.Update(y + 1, height);
  }
  jpeg_finish_decompress(&d.cinfo);
  return FIO_OK;
}

int ReadJpeg(CImage& image, const std::string& path, bool pixels, int* progressive,
             ProgressSink* progress, const std::string& caption) {
  std::uint64_t fileSize = 0;
  int code = FIO_OK;
  fileio::FilePtr file = fileio::OpenForReading(path, &fileSize, &code);
  if (!file) return code;
  Decompressor d;
  if (int rc = ReadJpegHeader(d, file.get()); rc != FIO_OK) return rc;

  const int width = static_cast<int>(d.cinfo.image_width);
  const int height = static_cast<int>(d.cinfo.image_height);
  const int planes = d.cinfo.num_components;
  const bool isProgressive = d.cinfo.progressive_mode != 0;
  if (progressive) *progressive = isProgressive ? 1 : 0;
  image.Clear();
  image.SetBitsPixel(8);
  image.SetSigned(0);
  image.SetWidth(width);
  image.SetHeight(height);
  image.SetPlanes(planes);
  image.SetBscale(1.0);
  image.SetBzero(0.0);

  if (pixels) {
    const std::uint64_t samples = static_cast<std::uint64_t>(width) * height * planes;
    const std::uint64_t ratio = d.cinfo.arith_code ? kMaxArithmeticRatio : kMaxHuffmanRatio;
    if (samples > fileSize * ratio + kRatioSlack) return FIO_ERR_SHORT;
    if (!image.AllocImage(progress, caption)) return FIO_ERR_MEMORY;
    std::vector<JSAMPLE> row(static_cast<std::size_t>(width) * planes);
    ProgressScope scope(progress, caption);
    if (int rc = DecodeRows(d, image, row.data(), scope); rc != FIO_OK) return rc;
    if (d.err.endedEarly) return FIO_ERR_SHORT;
    scope.Finish();
    if (!image.SetDefaultLevel()) return FIO_ERR_MEMORY;
  }

  image.SetOwnLevel(0);
  image.SetSaveableFormat(1);
  image.SetSaveableFile(fileio::IsReadOnly(path) ? 0 : 1);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat(isProgressive ? kJpegProgressiveFormatText : kJpegFormatText);
  image.SetOrgBitsPixel(8);
  image.SetOrgPlanes(planes);
  image.SetOrgWidth(width);
  image.SetOrgHeight(height);
  return FIO_OK;
}

int EncodeRows(Compressor& c, std::FILE* file, const CImage& image, int quality, bool progressive,
               JSAMPROW row, ProgressScope& scope) {
  if (setjmp(c.err.jump)) return WriteFailure(c.err);
  jpeg_create_compress(&c.cinfo);
  jpeg_stdio_dest(&c.cinfo, file);
  const int planes = image.GetPlanes();
  const int width = image.GetWidth(), height = image.GetHeight();
  c.cinfo.image_width = static_cast<JDIMENSION>(width);
  c.cinfo.image_height = static_cast<JDIMENSION>(height);
  c.cinfo.input_components = planes;
  c.cinfo.in_color_space = planes == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&c.cinfo);
  jpeg_set_quality(&c.cinfo, quality, TRUE);
  if (progressive) jpeg_simple_progression(&c.cinfo);
  jpeg_start_compress(&c.cinfo, TRUE);
  for (int y = 0; y < height; ++y) {
    for (int p = 0; p < planes; ++p) {
      const auto* src = static_cast<const std::uint8_t*>(image.GetImageAdr(0, y, p));
      if (!src) return FIO_ERR_MEMORY;
      JSAMPLE* dst = row + p;
      for (int x = 0; x < width; ++x, dst += planes) *dst = src[x];
    }
    jpeg_write_scanlines(&c.cinfo, &row, 1);
    scope.Update(y + 1, height);
  }
  jpeg_finish_compress(&c.cinfo);
  return FIO_OK;
}

int WriteJpeg(const CImage& image, const std::string& path, int quality, int progressive,
              ProgressSink* progress, const std::string& caption) {
  const int planes = image.GetPlanes();
  if (image.IsEmpty() || image.GetBitsPixel() != 8 || (planes != 1 && planes != 3) ||
      image.GetWidth() <= 0 || image.GetHeight() <= 0 || image.GetWidth() > kMaxSide ||
      image.GetHeight() > kMaxSide || quality < 1 || quality > 100)
    return FIO_ERR_FORMAT;

  AtomicFile out;
  if (int e = out.Open(path)) return FioCreateCode(e);
  fileio::FilePtr stream = fileio::StreamOnDuplicate(out.fd());
  if (!stream) return FIO_ERR_CREATE;
  int rc = FIO_OK;
  {
    Compressor c;
    std::vector<JSAMPLE> row(static_cast<std::size_t>(image.GetWidth()) * planes);
    ProgressScope scope(progress, caption);
    rc = EncodeRows(c, stream.get(), image, quality, progressive != 0, row.data(), scope);
  }
  if (rc != FIO_OK) return rc;
  if (!fileio::FinishStream(stream)) return FIO_ERR_WRITE;
  return out.Commit() == 0 ? FIO_OK : FIO_ERR_WRITE;
}

}  // namespace

int CJpeg::Read(CImage& image, const std::string& path, ProgressSink* progress,
                const std::string& caption) {
  try {
    return ReadJpeg(image, path, true, nullptr, progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}

int CJpeg::ReadHeader(CImage& image, const std::string& path, int* progressive,
                      ProgressSink* progress, const std::string& caption) {
  try {
    return ReadJpeg(image, path, false, progressive, progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}

int CJpeg::Write(const CImage& image, const std::string& path, int quality, int progressive,
                 ProgressSink* progress, const std::string& caption) {
  try {
    return WriteJpeg(image, path, quality, progressive, progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}

int CJpeg::GetProgressiveMode(std::string_view formatName) {
  return formatName == kJpegProgressiveFormatText ? 1 : 0;
}
