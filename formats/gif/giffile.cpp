// GIF through giflib: the records up to the first image description are read (extensions
// passed over), the image decoded row by row into its place on the screen. Interlaced
// rows come in four passes: every 8th row from 0, every 8th from 4, every 4th from 2,
// every 2nd from 1.
#include "formats/gif/giffile.h"

#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "dib/dibutil.h"
#include "engine/ralimage.h"
#include "formats/fio/fileioutil.h"
#include "imagemodel/image.h"
#include "platform/files.h"
#include "platform/progress.h"

namespace {

constexpr int kPassStart[4] = {0, 4, 2, 1};

// LZW codes are at most 12 bits and stand for at most 4096 pixels, so no byte of a file
// can give more than 4096 / 1.5 pixels. A screen larger than the whole file could fill at
// that rate is not allocated: the file cannot hold what it claims.
constexpr std::uint64_t kLzwPixelsPerByte = 2731;
constexpr std::uint64_t kLzwSlackPixels = 1 << 16;
constexpr int kPassStep[4] = {8, 8, 4, 2};

// Rows in the order the file holds them.
std::vector<int> RowOrder(int height, bool interlaced) {
  std::vector<int> rows;
  rows.reserve(static_cast<std::size_t>(height));
  if (!interlaced) {
    for (int y = 0; y < height; ++y) rows.push_back(y);
    return rows;
  }
  for (int p = 0; p < 4; ++p)
    for (int y = kPassStart[p]; y < height; y += kPassStep[p]) rows.push_back(y);
  return rows;
}

struct DecoderCloser {
  void operator()(GifFileType* g) const {
    int error = 0;
    if (g) DGifCloseFile(g, &error);
  }
};
using Decoder = std::unique_ptr<GifFileType, DecoderCloser>;

// Opens the file and reads up to the first image description. bool87 says whether the
// signature was "GIF87a" (in any case).
int OpenToImage(const std::string& path, Decoder* out, bool* is87,
                std::uint64_t* fileSize = nullptr) {
  std::uint64_t size = 0;
  int code = FIO_OK;
  fileio::FilePtr file = fileio::OpenForReading(path, &size, &code);
  if (!file) return code;
  if (fileSize) *fileSize = size;
  char sig[6] = {};
  const std::size_t got = std::fread(sig, 1, sizeof sig, file.get());
  *is87 = got == 6 && (sig[0] | 0x20) == 'g' && (sig[1] | 0x20) == 'i' && (sig[2] | 0x20) == 'f' &&
          sig[3] == '8' && sig[4] == '7' && (sig[5] | 0x20) == 'a';
  const int fd = ::dup(::fileno(file.get()));
  if (fd < 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
    if (fd >= 0) ::close(fd);
    return FIO_ERR_OPEN;
  }
  int error = 0;
  Decoder gif(DGifOpenFileHandle(fd, &error));  // owns fd from here, also on failure
  if (!gif) return error == D_GIF_ERR_NOT_ENOUGH_MEM ? FIO_ERR_MEMORY : FIO_ERR_FORMAT;
  for (;;) {
    GifRecordType type;
    if (DGifGetRecordType(gif.get(), &type) != GIF_OK) return FIO_ERR_FORMAT;
    if (type == IMAGE_DESC_RECORD_TYPE) {
      if (DGifGetImageDesc(gif.get()) != GIF_OK) return FIO_ERR_FORMAT;
      break;
    }
    if (type != EXTENSION_RECORD_TYPE) return FIO_ERR_FORMAT;
    int ext = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif.get(), &ext, &block) != GIF_OK) return FIO_ERR_FORMAT;
    while (block) {
      if (DGifGetExtensionNext(gif.get(), &block) != GIF_OK) return FIO_ERR_FORMAT;
    }
  }
  const GifImageDesc& d = gif->Image;
  if (d.Left < 0 || d.Top < 0 || d.Width <= 0 || d.Height <= 0 ||
      static_cast<std::int64_t>(d.Left) + d.Width > gif->SWidth ||
      static_cast<std::int64_t>(d.Top) + d.Height > gif->SHeight)
    return FIO_ERR_FORMAT;
  *out = std::move(gif);
  return FIO_OK;
}

std::string_view FormatOf(bool is87, bool interlaced) {
  if (is87) return interlaced ? kGif87aInterlacedText : kGif87aText;
  return interlaced ? kGif89aInterlacedText : kGif89aText;
}

int ReadGif(CImage& image, const std::string& path, ProgressSink* progress,
            const std::string& caption) {
  Decoder gif;
  bool is87 = false;
  std::uint64_t fileSize = 0;
  if (int rc = OpenToImage(path, &gif, &is87, &fileSize); rc != FIO_OK) return rc;
  const int width = gif->SWidth, height = gif->SHeight;
  const std::uint64_t pixels =
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
  if (pixels > fileSize * kLzwPixelsPerByte + kLzwSlackPixels) return FIO_ERR_FORMAT;
  if (pixels > kGifMaxPixels) return FIO_ERR_MEMORY;
  const GifImageDesc d = gif->Image;
  const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif->SColorMap;
  // Without any colour map an index is shown as that grey.
  auto colour = [&](const ColorMapObject* m, int i, int c) -> std::uint8_t {
    if (!m) return static_cast<std::uint8_t>(i);
    if (i >= m->ColorCount) return 0;
    const GifColorType& e = m->Colors[i];
    return c == 0 ? e.Red : c == 1 ? e.Green : e.Blue;
  };

  image.Clear();
  image.SetBitsPixel(8);
  image.SetSigned(0);
  image.SetWidth(width);
  image.SetHeight(height);
  image.SetPlanes(3);
  image.SetBscale(1.0);
  image.SetBzero(0.0);
  if (!image.AllocImage(progress, caption) || !image.AllocLevel()) return FIO_ERR_MEMORY;

  ProgressScope scope(progress, caption);
  const ColorMapObject* screenMap = gif->SColorMap ? gif->SColorMap : map;
  for (int c = 0; c < 3; ++c) {
    const std::uint8_t bg = colour(screenMap, gif->SBackGroundColor, c);
    for (int y = 0; y < height; ++y) {
      auto* row = static_cast<std::uint8_t*>(image.GetImageAdr(0, y, c));
      if (!row) return FIO_ERR_MEMORY;
      std::fill_n(row, width, bg);
      scope.Update(static_cast<std::int64_t>(c) * height + y + 1, 6LL * height);
    }
  }
  int rc = FIO_OK;
  std::vector<GifPixelType> line(static_cast<std::size_t>(d.Width));
  const std::vector<int> rows = RowOrder(d.Height, d.Interlace);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (DGifGetLine(gif.get(), line.data(), d.Width) != GIF_OK) {
      rc = FIO_ERR_FORMAT;
      break;
    }
    for (int c = 0; c < 3; ++c) {
      auto* row = static_cast<std::uint8_t*>(image.GetImageAdr(d.Left, d.Top + rows[i], c));
      if (!row) return FIO_ERR_MEMORY;
      for (int x = 0; x < d.Width; ++x) row[x] = colour(map, line[x], c);
    }
    scope.Update(static_cast<std::int64_t>(rows.size()) + static_cast<std::int64_t>(i) + 1,
                 2 * static_cast<std::int64_t>(rows.size()));
  }
  for (int p = 0; p < 3; ++p) image.SetLevel(p, 0.0, 255.0);
  if (rc != FIO_OK) return rc;
  image.SetOwnLevel(1);
  image.SetSaveableFormat(1);
  image.SetSaveableFile(fileio::IsReadOnly(path) ? 0 : 1);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat(FormatOf(is87, d.Interlace));
  image.SetOrgBitsPixel(8);
  image.SetOrgPlanes(0);
  image.SetOrgWidth(width);
  image.SetOrgHeight(height);
  return FIO_OK;
}

struct EncoderState {
  GifFileType* gif = nullptr;
  ~EncoderState() {
    int error = 0;
    if (gif) EGifCloseFile(gif, &error);
  }
};

int WriteGif(const CRalImage& image, const std::string& path, int variant, ProgressSink* progress,
             const std::string& caption) {
  ProgressScope scope(progress, caption);
  scope.SetPercent(30);
  DibBlock dib;
  if (!image.GetDib(8, &dib)) return FIO_ERR_MEMORY;
  DibLayout l;
  if (!GetDibLayout(dib, &l) || l.header.biBitCount != 8) return FIO_ERR_MEMORY;
  if (l.width > 65535 || l.height > 65535) return FIO_ERR_FORMAT;
  std::vector<GifColorType> colours(256);
  const std::uint8_t* table = dib.data() + kBitmapInfoHeaderSize;
  for (int i = 0; i < std::min(l.colors, 256); ++i)
    colours[i] = GifColorType{table[4 * i + 2], table[4 * i + 1], table[4 * i]};
  ColorMapObject* map = GifMakeMapObject(256, colours.data());
  if (!map) return FIO_ERR_MEMORY;

  AtomicFile out;
  if (int e = out.Open(path)) {
    GifFreeMapObject(map);
    return FioCreateCode(e);
  }
  const int fd = ::fcntl(out.fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    GifFreeMapObject(map);
    return FIO_ERR_CREATE;
  }
  const bool interlaced = variant == 1 || variant == 3;
  int rc = FIO_OK;
  {
    EncoderState s;
    int error = 0;
    s.gif = EGifOpenFileHandle(fd, &error);
    if (!s.gif) {
      ::close(fd);
      GifFreeMapObject(map);
      return FIO_ERR_CREATE;
    }
    EGifSetGifVersion(s.gif, variant >= 2);
    const bool ok = EGifPutScreenDesc(s.gif, l.width, l.height, 8, 0, map) == GIF_OK &&
                    EGifPutImageDesc(s.gif, 0, 0, l.width, l.height, interlaced, nullptr) == GIF_OK;
    GifFreeMapObject(map);
    if (!ok) return FIO_ERR_WRITE;
    const std::vector<int> rows = RowOrder(l.height, interlaced);
    std::vector<GifPixelType> line(static_cast<std::size_t>(l.width));
    for (std::size_t i = 0; i < rows.size(); ++i) {
      // Image row r is stored row height − 1 − r of a bottom-up bitmap.
      const int stored = l.topDown ? rows[i] : l.height - 1 - rows[i];
      std::memcpy(line.data(),
                  dib.data() + l.bitsOffset + static_cast<std::size_t>(stored) * l.stride,
                  line.size());
      if (EGifPutLine(s.gif, line.data(), l.width) != GIF_OK) {
        rc = FIO_ERR_WRITE;
        break;
      }
      scope.Update(static_cast<std::int64_t>(rows.size()) + static_cast<std::int64_t>(i) + 1,
                   2 * static_cast<std::int64_t>(rows.size()));
    }
    GifFileType* g = s.gif;
    s.gif = nullptr;
    if (EGifCloseFile(g, &error) != GIF_OK && rc == FIO_OK) rc = FIO_ERR_WRITE;
  }
  if (rc != FIO_OK) return rc;
  return out.Commit() == 0 ? FIO_OK : FIO_ERR_WRITE;
}

}  // namespace

int CGif::Read(CImage& image, const std::string& path, ProgressSink* progress,
               const std::string& caption) {
  try {
    return ReadGif(image, path, progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}

int CGif::ReadHeader(CImage& image, const std::string& path) {
  Decoder gif;
  bool is87 = false;
  try {
    if (OpenToImage(path, &gif, &is87) != FIO_OK) return FIO_ERR_HEADER;
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
  image.Empty();
  image.SetBitsPixel(8);
  image.SetSigned(0);
  image.SetWidth(gif->SWidth);
  image.SetHeight(gif->SHeight);
  image.SetPlanes(3);
  image.SetBscale(1.0);
  image.SetBzero(0.0);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat(FormatOf(is87, gif->Image.Interlace));
  image.SetOrgBitsPixel(8);
  image.SetOrgPlanes(3);
  image.SetOrgWidth(gif->SWidth);
  image.SetOrgHeight(gif->SHeight);
  return FIO_OK;
}

int CGif::Write(const CRalImage& image, const std::string& path, int variant,
                ProgressSink* progress, const std::string& caption) {
  try {
    return WriteGif(image, path, std::clamp(variant, 0, 3), progress, caption);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}

int CGif::GetType(std::string_view text) {
  if (text.find(kGif87aInterlacedText) != std::string_view::npos) return 1;
  if (text.find(kGif89aInterlacedText) != std::string_view::npos) return 3;
  if (text.find(kGif87aText) != std::string_view::npos) return 0;
  return 2;
}

std::string_view CGif::GetTypeString(int variant) {
  switch (variant) {
    case 0:
      return kGif87aText;
    case 1:
      return kGif87aInterlacedText;
    case 3:
      return kGif89aInterlacedText;
    default:
      return kGif89aText;
  }
}
