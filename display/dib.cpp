#include "display/dib.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "imagemodel/vmimage.h"

using namespace dibbytes;

namespace {

bool SupportedBits(int bits) {
  return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// 5 bits widened to 8 by repeating the top bits, so 31 becomes 255.
std::uint8_t Widen5(unsigned v) {
  return static_cast<std::uint8_t>((v << 3) | (v >> 2));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
std::int64_t CeilDiv(std::int64_t a, std::int64_t b) {
  return -FloorDiv(-a, b);
}

// Writes one pixel of a band.
inline void PutBand(std::uint8_t*& out, int bandBits, std::uint8_t b, std::uint8_t g,
                    std::uint8_t r) {
  out[0] = b;
  out[1] = g;
  out[2] = r;
  if (bandBits == 32) {
    out[3] = 0xFF;
    out += 4;
  } else {
    out += 3;
  }
}

void Unpack555ToBand(const std::uint16_t* in, int n, std::uint8_t* out, int bandBits) {
  for (int i = 0; i < n; ++i) {
    const unsigned p = in[i];
    PutBand(out, bandBits, Widen5(p & 31), Widen5((p >> 5) & 31), Widen5((p >> 10) & 31));
  }
}

void IndexedToBand(const std::uint8_t* in, int n, std::uint8_t* out, int bandBits,
                   const std::array<std::uint8_t, 256 * 3>& bgr) {
  for (int i = 0; i < n; ++i) {
    const std::uint8_t* c = &bgr[in[i] * 3u];
    PutBand(out, bandBits, c[0], c[1], c[2]);
  }
}

void BGRToBand(const std::uint8_t* in, int inBytes, int n, std::uint8_t* out, int bandBits) {
  if (inBytes == 3 && bandBits == 24) {
    std::memcpy(out, in, static_cast<std::size_t>(n) * 3);
    return;
  }
  for (int i = 0; i < n; ++i, in += inBytes) PutBand(out, bandBits, in[0], in[1], in[2]);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// CBaseDIB

BITMAPINFOHEADER CBaseDIB::GetHeader() const {
  if (m_Info.size() < kBitmapInfoHeaderSize)
    return BITMAPINFOHEADER{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  return LoadBitmapInfoHeader(m_Info.data());
}

RGBQUAD CBaseDIB::GetColorTableEntry(int i) const {
  RGBQUAD q;
  if (m_nUsage != DIB_RGB_COLORS || i < 0 || i >= m_nColors) return q;
  const std::uint8_t* p = m_Info.data() + kBitmapInfoHeaderSize + 4 * static_cast<std::size_t>(i);
  q.rgbBlue = p[0];
  q.rgbGreen = p[1];
  q.rgbRed = p[2];
  q.rgbReserved = p[3];
  return q;
}

void CBaseDIB::ClearHeader() {
  m_nBitsPixel = 0;
  m_Info.clear();
  m_nUsage = DIB_RGB_COLORS;
  m_nColors = 0;
  m_nStride = 0;
  m_nWidth = 0;
  m_nHeight = 0;
}

bool CBaseDIB::SetHeader(int bits, int width, int height, int usage, const PALETTEENTRY* entries,
                         bool topDown) {
  const int colors = bits == 1 ? 2 : bits == 4 ? 16 : bits == 8 ? 256 : 0;
  const std::int64_t stride = (static_cast<std::int64_t>(width) * bits / 8 + 3) / 4 * 4;
  if (stride > INT_MAX) return false;
  const std::uint64_t image = static_cast<std::uint64_t>(stride) * static_cast<unsigned>(height);

  BITMAPINFOHEADER h;
  h.biWidth = width;
  h.biHeight = topDown ? -height : height;
  h.biBitCount = static_cast<std::uint16_t>(bits);
  h.biCompression = BI_RGB;
  h.biSizeImage = image <= UINT32_MAX ? static_cast<std::uint32_t>(image) : 0;  // 0: not given
  h.biClrUsed = static_cast<std::uint32_t>(colors);
  const std::size_t entrySize = usage == DIB_PAL_COLORS ? 2 : 4;
  m_Info.assign(kBitmapInfoHeaderSize + entrySize * static_cast<std::size_t>(colors), 0);
  StoreBitmapInfoHeader(h, m_Info.data());
  std::uint8_t* table = m_Info.data() + kBitmapInfoHeaderSize;
  for (int i = 0; i < colors; ++i) {
    if (usage == DIB_PAL_COLORS) {
      Put16(table + 2 * i, static_cast<std::uint16_t>(i));
    } else if (entries) {
      table[4 * i + 0] = entries[i].peBlue;
      table[4 * i + 1] = entries[i].peGreen;
      table[4 * i + 2] = entries[i].peRed;
    }
  }
  m_nBitsPixel = bits;
  m_nUsage = usage;
  m_nColors = colors;
  m_nStride = static_cast<std::size_t>(stride);
  m_nWidth = width;
  m_nHeight = height;
  return true;
}

void CBaseDIB::PaletteBGR(std::array<std::uint8_t, 256 * 3>& out) const {
  for (int i = 0; i < 256; ++i) {
    std::uint8_t* c = &out[3 * static_cast<std::size_t>(i)];
    if (m_pPalette) {
      c[0] = m_pPalette[i].peBlue;
      c[1] = m_pPalette[i].peGreen;
      c[2] = m_pPalette[i].peRed;
    } else if (m_nUsage == DIB_RGB_COLORS && m_nColors == 256) {
      const RGBQUAD q = GetColorTableEntry(i);
      c[0] = q.rgbBlue;
      c[1] = q.rgbGreen;
      c[2] = q.rgbRed;
    } else {
      c[0] = c[1] = c[2] = static_cast<std::uint8_t>(i);
    }
  }
}

int CBaseDIB::StretchBlt(int x, int y, int width, int height, int srcX, int srcY, int srcWidth,
                         int srcHeight, const DIBBandSink& sink) const {
  if (IsEmpty() || width <= 0 || height <= 0 || srcWidth <= 0 || srcHeight <= 0) return 1;
  // Clip the source to the bitmap; the destination keeps the scale of the whole request.
  const std::int64_t x0 = std::max<std::int64_t>(srcX, 0);
  const std::int64_t y0 = std::max<std::int64_t>(srcY, 0);
  const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{srcX} + srcWidth, m_nWidth);
  const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{srcY} + srcHeight, m_nHeight);
  if (x0 >= x1 || y0 >= y1) return 1;
  const int cols = static_cast<int>(x1 - x0), rows = static_cast<int>(y1 - y0);
  const int left = static_cast<int>(x + FloorDiv((x0 - srcX) * width, srcWidth));
  const int right = static_cast<int>(x + CeilDiv((x1 - srcX) * width, srcWidth));

  int bandRows = kDIBBandRows;
  if (srcHeight > height && srcHeight % height == 0) {
    // Shrinking by a whole factor: whole groups of source rows per band, so band edges
    // fall on screen rows.
    const int k = srcHeight / height;
    if (k <= kDIBBandRows) bandRows = kDIBBandRows / k * k;
  }
  bandRows = std::min(bandRows, rows);
  const int bandBits = m_nBitsPixel == 24 ? 24 : 32;
  CMemoryDIB band;
  try {
    if (!band.CreateTopDown(bandBits, cols, bandRows)) return 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
  for (int done = 0; done < rows; done += bandRows) {
    const int n = std::min(bandRows, rows - done);
    for (int r = 0; r < n; ++r) {
      std::uint8_t* out = band.GetBits() + band.GetStride() * static_cast<std::size_t>(r);
      if (!CopyRowToBand(static_cast<int>(y0) + done + r, static_cast<int>(x0), cols, out,
                         bandBits))
        std::memset(out, 0, band.GetStride());
    }
    DIBBand b;
    b.bits = band.GetBits();
    b.bitsPerPixel = bandBits;
    b.stride = static_cast<int>(band.GetStride());
    b.width = cols;
    b.height = n;
    b.source = {static_cast<int>(x0), static_cast<int>(y0) + done, static_cast<int>(x1),
                static_cast<int>(y0) + done + n};
    const std::int64_t top = y0 - srcY + done;
    b.destination = {left, static_cast<int>(y + FloorDiv(top * height, srcHeight)), right,
                     static_cast<int>(y + CeilDiv((top + n) * height, srcHeight))};
    if (sink) sink(b);
  }
  return 1;
}

int CBaseDIB::BitBlt(int x, int y, int width, int height, int srcX, int srcY,
                     const DIBBandSink& sink) const {
  return StretchBlt(x, y, width, height, srcX, srcY, width, height, sink);
}

// ---------------------------------------------------------------------------------------
// CMemoryDIB

CMemoryDIB::~CMemoryDIB() {
  Empty();
}

void CMemoryDIB::Empty() {
  std::free(m_pBits);
  m_pBits = nullptr;
  m_bTopDown = false;
  ClearHeader();
}

int CMemoryDIB::Allocate(int bits, int width, int height, int usage, const PALETTEENTRY* entries,
                         bool topDown) {
  Empty();
  if (width <= 0 || height <= 0 || !SupportedBits(bits)) return 0;
  if (!SetHeader(bits, width, height, usage, entries, topDown)) return 0;
  // A DIB section holds at most 2^31 - 1 bytes.
  const std::uint64_t bytes = static_cast<std::uint64_t>(m_nStride) * static_cast<unsigned>(height);
  if (bytes > INT_MAX) {
    Empty();
    return 0;
  }
  m_pBits = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(bytes), 1));
  if (!m_pBits) {
    Empty();
    return 0;
  }
  m_bTopDown = topDown;
  return 1;
}

int CMemoryDIB::Create(int screenBits, int width, int height, const PALETTEENTRY* entries, int) {
  return Allocate(screenBits, width, height, DIB_RGB_COLORS, entries, false);
}

int CMemoryDIB::Create(int screenBits, int width, int height, int) {
  return Allocate(screenBits, width, height, screenBits > 8 ? DIB_RGB_COLORS : DIB_PAL_COLORS,
                  nullptr, false);
}

int CMemoryDIB::CreateTopDown(int screenBits, int width, int height) {
  return Allocate(screenBits, width, height, DIB_RGB_COLORS, nullptr, true);
}

std::uint8_t* CMemoryDIB::Row(int y) const {
  const int row = m_bTopDown ? y : m_nHeight - y - 1;
  return m_pBits + m_nStride * static_cast<std::size_t>(row);
}

std::uint8_t* CMemoryDIB::Adr(int x, int y, int bytes) const {
  if (!m_pBits || x < 0 || y < 0 || x >= m_nWidth || y >= m_nHeight || m_nBitsPixel != 8 * bytes)
    return nullptr;
  return Row(y) + static_cast<std::size_t>(x) * static_cast<unsigned>(bytes);
}

std::uint16_t* CMemoryDIB::GetImageAdr16(int x, int y) const {
  return reinterpret_cast<std::uint16_t*>(Adr(x, y, 2));
}

void CMemoryDIB::SetPixel16(std::uint16_t* p, COLORREF c) {
  *p = static_cast<std::uint16_t>(((GetRValue(c) >> 3) << 10) | ((GetGValue(c) >> 3) << 5) |
                                  (GetBValue(c) >> 3));
}

void CMemoryDIB::SetPixel24(std::uint8_t* p, COLORREF c) {
  p[0] = static_cast<std::uint8_t>(GetBValue(c));
  p[1] = static_cast<std::uint8_t>(GetGValue(c));
  p[2] = static_cast<std::uint8_t>(GetRValue(c));
}

void CMemoryDIB::SetPixel(std::uint8_t* address, COLORREF c) {
  if (!address) return;
  switch (m_nBitsPixel) {
    case 8:
      SetPixel8(address, c);
      break;
    case 16:
      SetPixel16(reinterpret_cast<std::uint16_t*>(address), c);
      break;
    case 24:
    case 32:
      SetPixel24(address, c);
      break;
    default:
      break;
  }
}

void CMemoryDIB::SetPixel(int x, int y, COLORREF c) {
  SetPixel(Adr(x, y, m_nBitsPixel / 8), c);
}

std::vector<std::uint8_t> CMemoryDIB::CreateHDIB() const {
  if (!m_pBits) return {};
  const std::size_t pixels = m_nStride * static_cast<std::size_t>(m_nHeight);
  std::vector<std::uint8_t> out(kBitmapInfoHeaderSize + pixels, 0);
  std::memcpy(out.data(), m_Info.data(), kBitmapInfoHeaderSize);
  std::memcpy(out.data() + kBitmapInfoHeaderSize, m_pBits, pixels);
  return out;
}

bool CMemoryDIB::CopyRowToBand(int y, int x, int n, std::uint8_t* out, int bandBits) const {
  if (!m_pBits || y < 0 || y >= m_nHeight || x < 0 || x + n > m_nWidth) return false;
  const std::uint8_t* row = Row(y);
  switch (m_nBitsPixel) {
    case 8: {
      std::array<std::uint8_t, 256 * 3> bgr;
      PaletteBGR(bgr);
      IndexedToBand(row + x, n, out, bandBits, bgr);
      return true;
    }
    case 16:
      Unpack555ToBand(reinterpret_cast<const std::uint16_t*>(row) + x, n, out, bandBits);
      return true;
    case 24:
      BGRToBand(row + 3 * static_cast<std::size_t>(x), 3, n, out, bandBits);
      return true;
    case 32:
      BGRToBand(row + 4 * static_cast<std::size_t>(x), 4, n, out, bandBits);
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------------------
// CVmDIB

CVmDIB::CVmDIB() = default;
CVmDIB::~CVmDIB() {
  Empty();
}

void CVmDIB::Empty() {
  m_pStore.reset();
  m_nStorageBits = 0;
  ClearHeader();
}

int CVmDIB::Make(int headerBits, int storageBits, int width, int height, int usage,
                 const PALETTEENTRY* entries) {
  Empty();
  if (width <= 0 || height <= 0 || !SupportedBits(headerBits)) return 0;
  if (!SetHeader(headerBits, width, height, usage, entries)) return 0;
  try {
    // Three-byte pixels live in an 8-bit store three times as wide.
    if (storageBits == 24 && width > INT_MAX / 3) throw std::bad_alloc();
    const int storeWidth = storageBits == 24 ? 3 * width : width;
    m_pStore = std::make_unique<CVmImage>(storageBits == 16 ? 16 : 8, storeWidth, height, 1);
  } catch (...) {
    Empty();
    throw;
  }
  m_nStorageBits = storageBits;
  return 1;
}

int CVmDIB::Create(int screenBits, int width, int height, const PALETTEENTRY* entries, int) {
  if (!SupportedBits(screenBits)) {
    Empty();
    return 0;
  }
  return Make(8, 8, width, height, DIB_RGB_COLORS, entries);
}

int CVmDIB::Create(int screenBits, int width, int height, int) {
  const int storage = screenBits == 16 ? 16 : (screenBits == 24 || screenBits == 32) ? 24 : 8;
  return Make(screenBits, storage, width, height, storage == 8 ? DIB_PAL_COLORS : DIB_RGB_COLORS,
              nullptr);
}

void* CVmDIB::GetImageAdr(int x, int y, int plane, int flag) const {
  if (!m_pStore || plane != 0 || x < 0 || y < 0 || x >= m_nWidth || y >= m_nHeight) return nullptr;
  const int storeX = m_nStorageBits == 24 ? 3 * x : x;
  return m_pStore->GetImageAdr(storeX, m_nHeight - y - 1, 0, flag ? 1 : 0, 0, nullptr);
}

void* CVmDIB::LockRow(int x, int y, int* token) const {
  if (!m_pStore || x < 0 || y < 0 || x >= m_nWidth || y >= m_nHeight) return nullptr;
  const int storeX = m_nStorageBits == 24 ? 3 * x : x;
  return m_pStore->GetImageAdr(storeX, m_nHeight - y - 1, 0, 0, 1, token);
}

void CVmDIB::UnlockRow(int token) const {
  if (m_pStore) m_pStore->Unlock(token);
}

void CVmDIB::SetPixel16(std::uint16_t* address, int x, int y, int r, int g, int b) {
  if (((x + y) & 1) == 0) {
    r = std::min(r + 4, 255);
    g = std::min(g + 4, 255);
    b = std::min(b + 4, 255);
  }
  *address = static_cast<std::uint16_t>(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
}

bool CVmDIB::CopyRowToBand(int y, int x, int n, std::uint8_t* out, int bandBits) const {
  const void* row = GetImageAdr(x, y, 0, 1);
  if (!row) return false;
  switch (m_nStorageBits) {
    case 8: {
      std::array<std::uint8_t, 256 * 3> bgr;
      PaletteBGR(bgr);
      IndexedToBand(static_cast<const std::uint8_t*>(row), n, out, bandBits, bgr);
      return true;
    }
    case 16:
      Unpack555ToBand(static_cast<const std::uint16_t*>(row), n, out, bandBits);
      return true;
    case 24:
      BGRToBand(static_cast<const std::uint8_t*>(row), 3, n, out, bandBits);
      return true;
    default:
      return false;
  }
}
