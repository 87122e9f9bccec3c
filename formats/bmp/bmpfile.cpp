// Bitmap files: a 14-byte file header ("BM", file size, two reserved words, offset to
// the bits), then the packed bitmap. Every header field is checked before it sizes a
// read or an allocation; the bits are bounded by what the file holds.
#include "formats/bmp/bmpfile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/ralimage.h"
#include "formats/fio/fileioutil.h"
#include "imagemodel/image.h"
#include "imagemodel/vmmanager.h"
#include "platform/files.h"
#include "platform/progress.h"

using namespace dibbytes;

namespace {

constexpr std::uint16_t kSignature = 19778;  // "BM"
constexpr std::uint32_t kMaxColors = 4096;
// A run-length code of two bytes gives at most 255 pixels; what a header claims beyond
// that rate from the bits the file holds is not there (skipped pixels are no data).
constexpr std::uint64_t kRlePixelsPerByte = 128;
constexpr std::uint64_t kRleSlackPixels = 1 << 16;

bool ReadExact(std::FILE* f, void* out, std::size_t n) {
  return std::fread(out, 1, n, f) == n;
}

// The headers of a file: the information header (a core header turned into one), the
// colour table as four-byte entries (and the masks of BI_BITFIELDS), and where the bits
// begin when the file has a file header.
struct Headers {
  BITMAPINFOHEADER info;
  std::vector<std::uint8_t> table;
  bool fileHeader = false;
  std::uint32_t bitsOffset = 0;
  bool core = false;
};

int ReadHeaders(std::FILE* f, Headers* out) {
  std::uint8_t head[kBitmapFileHeaderSize];
  const std::size_t got = std::fread(head, 1, sizeof head, f);
  if (got >= 2 && Get16(head) == kSignature) {
    if (got < sizeof head) return FIO_ERR_SHORT;
    out->fileHeader = true;
    out->bitsOffset = Get32(head + 10);
  } else if (std::fseek(f, 0, SEEK_SET) != 0) {
    return FIO_ERR_SHORT;
  }
  std::uint8_t info[kBitmapInfoHeaderSize];
  // A core header is 12 bytes: read those first, so a small core-header file is not cut.
  if (!ReadExact(f, info, kBitmapCoreHeaderSize)) return FIO_ERR_SHORT;
  const std::uint32_t size = Get32(info);
  BITMAPINFOHEADER& h = out->info;
  if (size == kBitmapCoreHeaderSize) {
    const BITMAPCOREHEADER c = LoadBitmapCoreHeader(info);
    h = BITMAPINFOHEADER{};
    h.biWidth = c.bcWidth;
    h.biHeight = c.bcHeight;
    h.biPlanes = c.bcPlanes;
    h.biBitCount = c.bcBitCount;
    h.biClrUsed = h.biClrImportant = static_cast<std::uint32_t>(DibNumColors(info));
    out->core = true;
  } else if (size == kBitmapInfoHeaderSize) {
    if (!ReadExact(f, info + kBitmapCoreHeaderSize, kBitmapInfoHeaderSize - kBitmapCoreHeaderSize))
      return FIO_ERR_SHORT;
    h = LoadBitmapInfoHeader(info);
  } else {
    return FIO_ERR_FORMAT;
  }
  const int bits = h.biBitCount;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    return FIO_ERR_FORMAT;
  if (h.biHeight == INT32_MIN) return FIO_ERR_FORMAT;
  const bool rle = h.biCompression == BI_RLE8 || h.biCompression == BI_RLE4;
  if ((h.biCompression == BI_RLE8 && bits != 8) || (h.biCompression == BI_RLE4 && bits != 4) ||
      (h.biCompression == BI_BITFIELDS && bits != 16 && bits != 32) ||
      h.biCompression > BI_BITFIELDS || (rle && h.biHeight < 0))
    return FIO_ERR_FORMAT;
  if (h.biClrUsed == 0) {
    std::uint8_t stored[kBitmapInfoHeaderSize];
    StoreBitmapInfoHeader(h, stored);
    h.biClrUsed = static_cast<std::uint32_t>(DibNumColors(stored));
  }
  if (h.biClrUsed > kMaxColors) return FIO_ERR_FORMAT;
  // The three masks of BI_BITFIELDS follow the header, before any colour table.
  std::uint8_t masks[12];
  const bool bitfields = h.biCompression == BI_BITFIELDS;
  if (bitfields && !ReadExact(f, masks, sizeof masks)) return FIO_ERR_SHORT;
  const std::size_t entry = out->core ? 3 : 4;
  std::vector<std::uint8_t> raw(h.biClrUsed * entry);
  if (!ReadExact(f, raw.data(), raw.size())) return FIO_ERR_SHORT;
  out->table.assign(h.biClrUsed * 4u, 0);
  for (std::uint32_t i = 0; i < h.biClrUsed; ++i)
    std::memcpy(&out->table[4 * i], &raw[entry * i], 3);
  if (bitfields) out->table.insert(out->table.begin(), masks, masks + sizeof masks);
  return FIO_OK;
}

bool PositiveSize(const BITMAPINFOHEADER& h) {
  return h.biWidth > 0 && h.biHeight != 0;
}

// Grey when every colour in the table has equal red, green and blue; bitmaps without a
// table are counted as colour until their pixels are seen.
bool GreyTable(const Headers& hd) {
  if (hd.info.biBitCount > 8) return false;
  for (std::size_t i = 0; i + 3 < hd.table.size(); i += 4)
    if (hd.table[i] != hd.table[i + 1] || hd.table[i + 1] != hd.table[i + 2]) return false;
  return true;
}

void SetFileAttributes(CImage& image, const std::string& path, const BITMAPINFOHEADER& h) {
  const bool rle = h.biCompression == BI_RLE8 || h.biCompression == BI_RLE4;
  image.SetSaveableFormat(1);
  image.SetSaveableFile(fileio::IsReadOnly(path) ? 0 : 1);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat(rle ? kBmpRleFormatText : kBmpFormatText);
  image.SetOrgBitsPixel(h.biBitCount);
  image.SetOrgPlanes(0);
}

}  // namespace

int CBmp::ReadDIB(const std::string& path, DibBlock* dib) {
  std::uint64_t fileSize = 0;
  int code = FIO_OK;
  fileio::FilePtr file = fileio::OpenForReading(path, &fileSize, &code);
  if (!file) return code;
  Headers hd;
  if (int rc = ReadHeaders(file.get(), &hd); rc != FIO_OK) return rc;
  BITMAPINFOHEADER h = hd.info;
  if (!PositiveSize(h)) return FIO_ERR_FORMAT;
  const std::uint64_t rows = static_cast<std::uint64_t>(
      h.biHeight < 0 ? -static_cast<std::int64_t>(h.biHeight) : h.biHeight);
  if (static_cast<std::uint64_t>(h.biWidth) * rows > kBmpMaxPixels) return FIO_ERR_MEMORY;
  std::uint64_t imageSize = h.biSizeImage;
  if (imageSize == 0)
    imageSize = (static_cast<std::uint64_t>(h.biBitCount) * h.biWidth + 31) / 32 * 4 * rows;

  if (hd.fileHeader) {
    if (hd.bitsOffset > fileSize) return FIO_ERR_SHORT;
    if (std::fseek(file.get(), static_cast<long>(hd.bitsOffset), SEEK_SET) != 0)
      return FIO_ERR_SHORT;
  }
  const long at = std::ftell(file.get());
  if (at < 0) return FIO_ERR_SHORT;
  // The bits are what the file holds from here on, whatever the header claimed.
  const std::uint64_t remaining = fileSize - static_cast<std::uint64_t>(at);
  // The image is made only from bits the file holds: an uncompressed file must hold at
  // least half of its rows (a truncated one reads the rows that are there, the rest
  // zero), a run-length coded one enough codes for its pixels.
  const std::uint64_t rowBytes =
      (static_cast<std::uint64_t>(h.biBitCount) * h.biWidth + 31) / 32 * 4 * rows;
  const bool rle = h.biCompression == BI_RLE8 || h.biCompression == BI_RLE4;
  const std::uint64_t pixels = static_cast<std::uint64_t>(h.biWidth) * rows;
  if (rle ? pixels > remaining * kRlePixelsPerByte + kRleSlackPixels : remaining < rowBytes / 2)
    return FIO_ERR_SHORT;
  if (remaining != imageSize) imageSize = remaining;
  const std::uint64_t total = kBitmapInfoHeaderSize + hd.table.size() + imageSize;
  if (total > kMaxDibBytes) return FIO_ERR_MEMORY;
  // The bitmap, the image's copy of it and its decoded rows are held outside the pager:
  // together they stay within the pager's memory budget.
  const std::uint64_t held = 2 * total + (rle ? rowBytes : 0);
  if (held > CVmManager::Instance().GetMemoryBudget()) return FIO_ERR_MEMORY;
  h.biSize = kBitmapInfoHeaderSize;
  h.biSizeImage = static_cast<std::uint32_t>(imageSize);
  try {
    DibBlock out(static_cast<std::size_t>(total));
    StoreBitmapInfoHeader(h, out.data());
    if (!hd.table.empty())
      std::memcpy(out.data() + kBitmapInfoHeaderSize, hd.table.data(), hd.table.size());
    std::uint8_t* bits = out.data() + kBitmapInfoHeaderSize + hd.table.size();
    const std::size_t got = std::fread(bits, 1, static_cast<std::size_t>(imageSize), file.get());
    out.resize(kBitmapInfoHeaderSize + hd.table.size() + got);
    dib->swap(out);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
  return FIO_OK;
}

int CBmp::Read(CImage& image, const std::string& path, ProgressSink* progress,
               const std::string& caption) {
  DibBlock dib;
  BITMAPINFOHEADER h;
  {
    ProgressScope scope(progress, caption);
    if (int rc = ReadDIB(path, &dib); rc != FIO_OK) return rc;
    h = LoadBitmapInfoHeader(dib.data());
  }
  try {
    if (!image.AttachDIB(dib, progress, caption)) return FIO_ERR_MEMORY;
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
  SetFileAttributes(image, path, h);
  image.SetOrgWidth(image.GetWidth());
  image.SetOrgHeight(image.GetHeight());
  return FIO_OK;
}

int CBmp::ReadHeader(CImage& image, const std::string& path) {
  std::uint64_t fileSize = 0;
  int code = FIO_OK;
  fileio::FilePtr file = fileio::OpenForReading(path, &fileSize, &code);
  if (!file) return code;
  Headers hd;
  try {
    if (int rc = ReadHeaders(file.get(), &hd); rc != FIO_OK) return rc;
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
  const BITMAPINFOHEADER& h = hd.info;
  if (!PositiveSize(h)) return FIO_ERR_HEADER;
  const int height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  image.Empty();
  image.SetBitsPixel(8);
  image.SetSigned(0);
  image.SetWidth(h.biWidth);
  image.SetHeight(height);
  image.SetPlanes(GreyTable(hd) ? 1 : 3);
  image.SetBscale(1.0);
  image.SetBzero(0.0);
  SetFileAttributes(image, path, h);
  image.SetOrgWidth(h.biWidth);
  image.SetOrgHeight(height);
  return FIO_OK;
}

int CBmp::WriteDIB(const std::string& path, const DibBlock& dib) {
  DibLayout l;
  if (!GetDibLayout(dib, &l)) return FIO_ERR_MEMORY;
  // A block may be larger than its bitmap (one dithered in place keeps the 24-bit size):
  // the file holds the header, the colour table and the rows the header describes.
  std::size_t used = dib.size();
  if (l.header.biCompression == BI_RGB)
    used = std::min(used, l.bitsOffset + l.imageBytes);
  else if (l.header.biSizeImage != 0)
    used = std::min<std::size_t>(used, l.bitsOffset + l.header.biSizeImage);
  const std::uint64_t fileSize = used + kBitmapFileHeaderSize;
  if (fileSize > UINT32_MAX) return FIO_ERR_MEMORY;
  std::uint8_t head[kBitmapFileHeaderSize] = {};
  Put16(head, kSignature);
  Put32(head + 2, static_cast<std::uint32_t>(fileSize));
  Put32(head + 10, static_cast<std::uint32_t>(kBitmapFileHeaderSize + l.bitsOffset));
  AtomicFile out;
  if (int e = out.Open(path)) return FioCreateCode(e);
  if (out.Write(head, sizeof head) != 0 || out.Write(dib.data(), used) != 0) return FIO_ERR_WRITE;
  return out.Commit() == 0 ? FIO_OK : FIO_ERR_WRITE;
}

int CBmp::Write(const CRalImage& image, const std::string& path, int bits, ProgressSink* progress,
                const std::string& caption) {
  ProgressScope scope(progress, caption);
  scope.SetPercent(10);
  DibBlock dib;
  if (!image.GetDib(bits == 8 ? 8 : 24, &dib)) return FIO_ERR_MEMORY;
  scope.SetPercent(50);
  const int rc = WriteDIB(path, dib);
  if (rc == FIO_OK) scope.SetPercent(100);
  return rc;
}
