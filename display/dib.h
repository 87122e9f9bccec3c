// Display bitmaps: device-independent bitmaps in the screen's pixel format, rows bottom-up
// and padded to 4 bytes, with a header in the exact Windows layout.
//  - CBaseDIB: the header, the colour table and the geometry, and banded drawing: the
//    bitmap is handed to a painter in bands of at most 50 rows converted to 24- or
//    32-bit pixels, so no full-size screen bitmap is ever made.
//  - CMemoryDIB: pixels in one block of memory (small bitmaps, band buffers, clipboard).
//  - CVmDIB: rows in a paged one-plane CVmImage, so bitmaps of images larger than
//    memory are paged like the images themselves.
// The screen's bit depth comes in as a number: 24 or 32 on a real screen, 8 (palette)
// and 16 (5-5-5) for tests of those paths.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "display/dibtypes.h"

class CVmImage;

// Rows per band when a bitmap is drawn.
inline constexpr int kDIBBandRows = 50;

class CBaseDIB {
 public:
  CBaseDIB() = default;
  CBaseDIB(const CBaseDIB&) = delete;
  CBaseDIB& operator=(const CBaseDIB&) = delete;
  virtual ~CBaseDIB() = default;

  int GetWidth() const { return m_nWidth; }
  int GetHeight() const { return m_nHeight; }
  // The screen's bits per pixel, which the header describes.
  int GetBitCount() const { return m_nBitsPixel; }
  bool IsEmpty() const { return m_nWidth <= 0 || m_nHeight <= 0; }
  // Bytes per bitmap row: ((width × bits) / 8 + 3) rounded down to a multiple of 4.
  std::size_t GetStride() const { return m_nStride; }
  int GetColorUsage() const { return m_nUsage; }
  int GetColorCount() const { return m_nColors; }
  // The BITMAPINFO block: the 40-byte header, then the colour table (RGBQUADs, or 16-bit
  // palette indices with DIB_PAL_COLORS). Empty while the bitmap is.
  const std::vector<std::uint8_t>& GetBitmapInfo() const { return m_Info; }
  BITMAPINFOHEADER GetHeader() const;
  // Entry i of an RGBQUAD colour table; black outside it.
  RGBQUAD GetColorTableEntry(int i) const;

  // Both forms call Empty first and return 1, or 0 (bitmap empty) when the width or
  // height is not positive, the bit depth is not 8, 16, 24 or 32, or memory runs out.
  // The palette form fills the colour table from 256 entries (red, green, blue turned
  // into the blue, green, red of the table) and uses DIB_RGB_COLORS.
  virtual int Create(int screenBits, int width, int height, const PALETTEENTRY* entries,
                     int flag) = 0;
  virtual int Create(int screenBits, int width, int height, int flag) = 0;
  virtual void Empty() = 0;

  // The palette that 8-bit pixels are shown through (256 entries, borrowed; null: the
  // colour table, or a grey ramp without one).
  void SetColorPalette(const PALETTEENTRY* palette) { m_pPalette = palette; }

  // Draws the source rectangle (bitmap pixels, top-down image rows) onto the destination
  // rectangle (screen), band by band: each band of at most 50 source rows is converted
  // into a buffer of the screen's format (32-bit for 8-, 16- and 32-bit screens, 24-bit
  // for 24-bit screens) and handed to sink with its screen rectangle: from destination y
  // + floor(rows done × destination height / source height) to destination y +
  // ceil(rows done and band rows × destination height / source height), so bands
  // neither gap nor, at whole-number scales, overlap. When the source shrinks by a
  // whole factor the band height is a multiple of it. The source is clipped to the
  // bitmap (the destination follows). Returns 0 when the band buffer cannot be had,
  // else 1 (also when nothing was to be drawn).
  int StretchBlt(int x, int y, int width, int height, int srcX, int srcY, int srcWidth,
                 int srcHeight, const DIBBandSink& sink) const;
  // The same without scaling.
  int BitBlt(int x, int y, int width, int height, int srcX, int srcY,
             const DIBBandSink& sink) const;

 protected:
  // Sets the header and the geometry for the given bits per pixel; usage and colour
  // table as given (entries may be null: a zero table, or identity indices with
  // DIB_PAL_COLORS). topDown makes the header's height negative. False when the size
  // cannot be described (a stride beyond 2^31 bytes).
  bool SetHeader(int bits, int width, int height, int usage, const PALETTEENTRY* entries,
                 bool topDown = false);
  void ClearHeader();
  // Writes n pixels of image row y from column x into out as bandBits pixels (24 or 32).
  // False when the row cannot be reached (the band then shows black there).
  virtual bool CopyRowToBand(int y, int x, int n, std::uint8_t* out, int bandBits) const = 0;
  // The colour an 8-bit pixel shows.
  void PaletteBGR(std::array<std::uint8_t, 256 * 3>& out) const;

  int m_nBitsPixel = 0;
  std::vector<std::uint8_t> m_Info;
  int m_nUsage = DIB_RGB_COLORS;
  int m_nColors = 0;
  std::size_t m_nStride = 0;
  int m_nWidth = 0;
  int m_nHeight = 0;
  const PALETTEENTRY* m_pPalette = nullptr;
};

class CMemoryDIB : public CBaseDIB {
 public:
  CMemoryDIB() = default;
  ~CMemoryDIB() override;
  int Create(int screenBits, int width, int height, const PALETTEENTRY* entries, int flag) override;
  int Create(int screenBits, int width, int height, int flag = 1) override;
  // A top-down bitmap (negative header height): row y lies at y × stride. Used for the
  // bands handed to painters, which take rows top first.
  int CreateTopDown(int screenBits, int width, int height);
  void Empty() override;

  // The pixel memory, GetStride() × height bytes, zero when created; null when empty.
  std::uint8_t* GetBits() const { return m_pBits; }
  bool IsTopDown() const { return m_bTopDown; }
  // Address of pixel (x, y) (y counted from the top) by pixel size; null outside.
  std::uint8_t* GetImageAdr8(int x, int y) const { return Adr(x, y, 1); }
  std::uint16_t* GetImageAdr16(int x, int y) const;
  std::uint8_t* GetImageAdr24(int x, int y) const { return Adr(x, y, 3); }
  std::uint8_t* GetImageAdr32(int x, int y) const { return Adr(x, y, 4); }
  // Address of pixel (x, y) whatever the pixel size; null outside.
  std::uint8_t* GetPixelAdr(int x, int y) const { return Adr(x, y, m_nBitsPixel / 8); }
  // Store a colour whose low byte is red: 8 bits the low byte (a palette index); 16 bits
  // 5-5-5 with red in bits 10 to 14; 24 and 32 bits blue, green, red (the fourth byte of
  // a 32-bit pixel is left alone).
  static void SetPixel8(std::uint8_t* p, COLORREF c) { *p = static_cast<std::uint8_t>(c); }
  static void SetPixel16(std::uint16_t* p, COLORREF c);
  static void SetPixel24(std::uint8_t* p, COLORREF c);
  static void SetPixel32(std::uint8_t* p, COLORREF c) { SetPixel24(p, c); }
  void SetPixel(int x, int y, COLORREF c);
  void SetPixel(std::uint8_t* address, COLORREF c);
  // The 40-byte header followed by the pixels (no colour table), as the clipboard's
  // bitmap format has it; empty when the bitmap is.
  std::vector<std::uint8_t> CreateHDIB() const;

 protected:
  bool CopyRowToBand(int y, int x, int n, std::uint8_t* out, int bandBits) const override;

 private:
  int Allocate(int bits, int width, int height, int usage, const PALETTEENTRY* entries,
               bool topDown);
  std::uint8_t* Row(int y) const;
  std::uint8_t* Adr(int x, int y, int bytes) const;
  std::uint8_t* m_pBits = nullptr;  // calloc'd, so large bitmaps cost only what is touched
  bool m_bTopDown = false;
};

class CVmDIB : public CBaseDIB {
 public:
  CVmDIB();
  ~CVmDIB() override;
  // Storage: 16 bits on a 16-bit screen, 24 bits (three bytes) on 24- and 32-bit screens,
  // else 8 bits with DIB_PAL_COLORS. The palette form stores 8 bits with an RGB table.
  // Both throw std::bad_alloc when the paged storage cannot be created (a row wider than
  // a pager block, or the pager refusing the blocks).
  int Create(int screenBits, int width, int height, const PALETTEENTRY* entries, int flag) override;
  int Create(int screenBits, int width, int height, int flag = 1) override;
  void Empty() override;

  int GetStorageBits() const { return m_nStorageBits; }
  CVmImage* GetStore() const { return m_pStore.get(); }
  // Storage address of pixel (x, y), y counted from the top of the image (the store
  // keeps rows bottom-up like the bitmap); valid to the end of the row until the next
  // pager call. flag non-zero: read-only. Null outside the bitmap or when the block
  // cannot be brought in.
  void* GetImageAdr(int x, int y, int plane = 0, int flag = 0) const;
  // The same for writing, with its block pinned in memory until UnlockRow(*token), so
  // that the row may be filled while other pager calls are made.
  void* LockRow(int x, int y, int* token) const;
  void UnlockRow(int token) const;
  // Packs a colour into a 16-bit storage pixel, 5-5-5 with red in bits 10 to 14, after
  // adding 4 to each channel (at most 255) where x + y is even: this ordered dither
  // spreads the 3 bits that 5-5-5 drops over neighbouring pixels.
  static void SetPixel16(std::uint16_t* address, int x, int y, int r, int g, int b);

 protected:
  bool CopyRowToBand(int y, int x, int n, std::uint8_t* out, int bandBits) const override;

 private:
  int Make(int headerBits, int storageBits, int width, int height, int usage,
           const PALETTEENTRY* entries);
  std::unique_ptr<CVmImage> m_pStore;
  int m_nStorageBits = 0;
};
