#include "formats/clipboard/ralclipboard.h"

#include <bit>
#include <cstring>
#include <new>

#include "imagemodel/image.h"
#include "platform/progress.h"

namespace {

ClipboardAccess* g_access = nullptr;

static_assert(std::endian::native == std::endian::little,
              "the private clipboard layout is little-endian, as the machine's own order");

void PutI32(std::uint8_t* p, std::int32_t v) {
  std::memcpy(p, &v, 4);
}
void PutF64(std::uint8_t* p, double v) {
  std::memcpy(p, &v, 8);
}
std::int32_t GetI32(const std::uint8_t* p) {
  std::int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
double GetF64(const std::uint8_t* p) {
  double v;
  std::memcpy(&v, p, 8);
  return v;
}

bool ValidBits(int bits) {
  return bits == 8 || bits == 16 || bits == 32 || bits == -32 || bits == -64;
}

void MarkPasted(CImage& image, int orgBits, int orgPlanes) {
  image.SetOwnLevel(1);
  image.SetSaveableFormat(1);
  image.SetSaveableFile(0);
  image.SetOrgFileName(kClipboardFileName);
  image.SetOrgFileFormat(kClipboardFormatText);
  image.SetOrgBitsPixel(orgBits);
  image.SetOrgPlanes(orgPlanes);
}

}  // namespace

void SetClipboardAccess(ClipboardAccess* access) {
  g_access = access;
}
ClipboardAccess* GetClipboardAccess() {
  return g_access;
}

int CRalClipboard::SetClipMemImg(const CImage& image, std::vector<std::uint8_t>* block,
                                 ProgressSink* progress, const std::string& caption) {
  const int bits = image.GetBitsPixel(), planes = image.GetPlanes();
  if (image.IsEmpty() || !ValidBits(bits) || (planes != 1 && planes != 3)) return FIO_ERR_MEMORY;
  const std::size_t row = static_cast<std::size_t>(image.GetWidth()) * image.GetBytesPixel();
  const std::uint64_t total =
      kClipHeaderSize + static_cast<std::uint64_t>(row) * image.GetHeight() * planes;
  try {
    block->assign(static_cast<std::size_t>(total), 0);
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
  std::uint8_t* h = block->data();
  PutI32(h + 0, bits);
  PutI32(h + 4, image.IsSigned());
  PutI32(h + 8, image.GetDimension());
  PutI32(h + 12, image.GetWidth());
  PutI32(h + 16, image.GetHeight());
  PutI32(h + 20, planes);
  PutF64(h + 24, image.GetBscale());
  PutF64(h + 32, image.GetBzero());
  for (int p = 0; p < planes && image.HasLevel(); ++p) {
    PutF64(h + 40 + 8 * p, image.GetLevelMin(p));
    PutF64(h + 64 + 8 * p, image.GetLevelMax(p));
    PutF64(h + 88 + 8 * p, image.GetLevelRange(p));
  }
  ProgressScope scope(progress, caption);
  std::uint8_t* out = h + kClipHeaderSize;
  const std::int64_t rows = static_cast<std::int64_t>(planes) * image.GetHeight();
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < image.GetHeight(); ++y, out += row) {
      const void* src = image.GetImageAdr(0, y, p);
      if (!src) return FIO_ERR_MEMORY;
      std::memcpy(out, src, row);
      scope.Update(static_cast<std::int64_t>(p) * image.GetHeight() + y + 1, rows);
    }
  return FIO_OK;
}

int CRalClipboard::ReadClipMemImg(CImage& image, const std::vector<std::uint8_t>& block,
                                  ProgressSink* progress, const std::string& caption) {
  // A block cut short or with an impossible header holds no image to paste. The code is
  // the clipboard's own, so the message speaks of the clipboard and not of a file.
  if (block.size() < kClipHeaderSize) return FIO_ERR_CLIPBOARD_EMPTY;
  const std::uint8_t* h = block.data();
  const int bits = GetI32(h), isSigned = GetI32(h + 4), width = GetI32(h + 12),
            height = GetI32(h + 16), planes = GetI32(h + 20);
  if (!ValidBits(bits) || width <= 0 || height <= 0 || (planes != 1 && planes != 3))
    return FIO_ERR_CLIPBOARD_EMPTY;
  const std::size_t row =
      static_cast<std::size_t>(width) * static_cast<std::size_t>(bits < 0 ? -bits : bits) / 8;
  const std::uint64_t need = kClipHeaderSize + static_cast<std::uint64_t>(row) * height * planes;
  if (block.size() < need) return FIO_ERR_CLIPBOARD_EMPTY;

  image.Clear();
  image.SetBitsPixel(bits);
  image.SetSigned(isSigned ? 1 : 0);
  image.SetWidth(width);
  image.SetHeight(height);
  image.SetPlanes(planes);
  image.SetBscale(GetF64(h + 24));
  image.SetBzero(GetF64(h + 32));
  if (!image.AllocImage(progress, caption) || !image.AllocLevel()) return FIO_ERR_MEMORY;
  for (int p = 0; p < planes; ++p) {
    image.SetLevelMin(p, GetF64(h + 40 + 8 * p));
    image.SetLevelMax(p, GetF64(h + 64 + 8 * p));
  }
  ProgressScope scope(progress, caption);
  const std::uint8_t* in = h + kClipHeaderSize;
  const std::int64_t rows = static_cast<std::int64_t>(planes) * height;
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < height; ++y, in += row) {
      void* dst = image.GetImageAdr(0, y, p);
      if (!dst) return FIO_ERR_MEMORY;
      std::memcpy(dst, in, row);
      scope.Update(static_cast<std::int64_t>(p) * height + y + 1, rows);
    }
  MarkPasted(image, bits, planes);
  return FIO_OK;
}

int CRalClipboard::IsReadable() {
  if (!g_access || !g_access->Open()) return 0;
  return g_access->HasPrivate() || g_access->HasBitmap() ? 1 : 0;
}

int CRalClipboard::Read(CImage& image, ProgressSink* progress, const std::string& caption) {
  if (!g_access || !g_access->Open()) return FIO_ERR_CLIPBOARD_OPEN;
  try {
    std::vector<std::uint8_t> block;
    if (g_access->HasPrivate() && g_access->GetPrivate(&block))
      return ReadClipMemImg(image, block, progress, caption);
    DibBlock dib;
    if (!g_access->HasBitmap() || !g_access->GetBitmap(&dib)) return FIO_ERR_CLIPBOARD_EMPTY;
    const int bits = GetDibBitCount(dib);
    if (!image.AttachDIB(dib, progress, caption)) return FIO_ERR_MEMORY;
    MarkPasted(image, bits, 0);
    return FIO_OK;
  } catch (const std::bad_alloc&) {
    return FIO_ERR_MEMORY;
  }
}

int CRalClipboard::Write(const CImage& image, const DibBlock& dib, ProgressSink* progress,
                         const std::string& caption) {
  if (!g_access || !g_access->Open()) return FIO_ERR_CLIPBOARD_OPEN;
  std::vector<std::uint8_t> block;
  if (int rc = SetClipMemImg(image, &block, progress, caption); rc != FIO_OK) return rc;
  return g_access->Place(block, dib) ? FIO_OK : FIO_ERR_CLIPBOARD_WRITE;
}
