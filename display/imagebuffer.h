// CImageBuffer: the display buffer of an image window. It maps the pixels of a CRalImage
// through the image's display levels (linear, or logarithmic over at most the two decades
// below the maximum), a colour mode and a colour type into a display bitmap with one
// bitmap pixel per image pixel, and rebuilds the bitmap, or a rectangle of it, when
// levels, mode or pixels change. Magnification and scrolling are applied only when the
// bitmap is drawn (CViewInfo); the buffer answers the screen positions of image pixels
// for drawing marks.
//
// Display byte of a value v with levels low, high and scale = 255 / (high − low):
// 0 at or below low, 255 at or above high, otherwise (v − low) × scale truncated and kept
// at or below 254; NaN gives 0. Logarithmic: the same on log10 with low raised to 1 % of
// high when not positive, and levels 1 .. 100 when high is not positive.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "display/dib.h"
#include "display/dibtypes.h"
#include "display/dirtyrows.h"
#include "platform/wintypes.h"

class CRalImage;
class CViewInfo;

class CImageBuffer {
 public:
  enum COLOR_MODE {
    CM_POSITIVE = 0,              // grey ramp; colour images in colour
    CM_NEGATIVE = 1,              // inverted
    CM_GRAY = 2,                  // colour images: luminance in grey
    CM_GRAY_NEGATIVE = 3,         // colour images: inverted luminance
    CM_FALSE_COLOR = 4,           // one-plane images: the colour type's table
    CM_FALSE_COLOR_NEGATIVE = 5,  // the same read at 255 − value
    CM_SPECTRUM = 6,              // one-plane spectra: the colour of each pixel's wavelength
  };
  enum COLOR_TYPE { CT_VERMILION = 0, CT_CYAN = 1, CT_BLACKBODY = 2, CT_RAINBOW = 3 };

  // Menu texts of the colour modes and types, and the caption of the rebuild's progress.
  static constexpr const char* kMenuGray = "ｸﾞﾚｰｽｹｰﾙ(&G)";
  static constexpr const char* kMenuGrayNegative = "ｸﾞﾚｰｽｹｰﾙ(反転)(&I)";
  static constexpr const char* kMenuColor = "ｶﾗｰ(&C)";
  static constexpr const char* kMenuColorNegative = "ｶﾗｰ(反転)(&N)";
  static constexpr const char* kMenuSpectrum = "ｽﾍﾟｸﾄﾙ擬似ｶﾗｰ(&S)";
  static constexpr const char* kMenuVermilion = "朱赤(&A)";
  static constexpr const char* kMenuCyan = "ｼｱﾝ(&C)";
  static constexpr const char* kMenuBlackBody = "黒体放射(&B)";
  static constexpr const char* kMenuRainbow = "ﾚｲﾝﾎﾞｰ(&R)";
  static constexpr int IDS_DISPLAY_PROGRESS = 6508;
  static constexpr const char* kProgressCaption = "表示処理中...";

  // useVm non-zero: a paged bitmap (CVmDIB, what every image window uses); 0: one block of
  // memory (CMemoryDIB).
  explicit CImageBuffer(int useVm);
  ~CImageBuffer();
  CImageBuffer(const CImageBuffer&) = delete;
  CImageBuffer& operator=(const CImageBuffer&) = delete;

  // Creates the bitmap at the image's size for a screen of screenBits (8, 16, 24, 32).
  // On an 8-bit screen the 256 entries of the grey palette (images of fewer than three
  // planes) or of the colour palette are copied into entries (when given) and the
  // bitmap gets them as its colour table; a palette not given is the grey ramp or the
  // 3-3-2 colour cube. Both palettes are borrowed. Returns the bitmap's result; 0 also
  // when the paged storage cannot be had (the bitmap is then empty).
  int Create(int screenBits, CRalImage* image, const PALETTEENTRY* colorPalette,
             const PALETTEENTRY* grayPalette, PALETTEENTRY* entries);
  // On an 8-bit screen, creates the bitmap again with the palette that fits the image.
  // Elsewhere nothing is to be done and the result is 1.
  int ChangePalette(CRalImage* image, PALETTEENTRY* entries);
  // Rebuilds the bitmap over area (image pixels, right and bottom exclusive; null: the
  // whole bitmap), clamped to the bitmap. Progress goes through the image's progress
  // display under the caption "表示処理中..." when showProgress is non-zero. Rows whose
  // pixels cannot be brought in are left as they were; the rebuild itself never fails.
  void Update(CRalImage* image, const RECT* area, int showProgress);
  // The same for the bitmap the view shows: at a reduced magnification (code below 1) of
  // a paged buffer, only the reduced bitmap's rows over area are built, and the full
  // bitmap's rows there are left to be built when they are next needed.
  void UpdateShown(CRalImage* image, const RECT* area, int showProgress);

  // ---- building on demand
  // Marks the rows of area (image pixels; null: the whole image) as out of date in both
  // bitmaps, without computing anything: each row is built when it is first shown, or
  // by BuildIdle.
  void Invalidate(CRalImage* image, const RECT* area);
  // Builds what is still out of date of the rows and columns the view shows over area
  // (image pixels; the view's visible rectangle when null): in the full bitmap from
  // code 1 up, in the reduced bitmap (made at the reduction 2 − m when it is not there)
  // below. Columns outside area stay as they are, and out of memory.
  void Prepare(const RECT* area = nullptr);
  // Builds everything of the full bitmap over area (null: all) still out of date, for
  // readers of the whole bitmap (printing, the clipboard).
  void BuildAll(const RECT* area = nullptr);
  // One idle step: builds out-of-date rows of the bitmap the view shows, nearest the
  // visible rows first, within one visible height above and below them, over the
  // visible columns only, about maxPixels pixels at most. Returns 1 while such rows
  // remain.
  int BuildIdle(std::int64_t maxPixels);
  // Rows of the full bitmap (or of the reduced one) with any column still out of date.
  int GetPendingRows() const;
  int GetPendingReducedRows() const;
  // The reduced bitmap: pixel (j, i) shows image pixel (j × k, i × k), k = 2 − m. Null
  // until a view below code 1 asks for it.
  CBaseDIB* GetReducedDIB() const { return m_pReduced.get(); }
  int GetReduction() const { return m_pReduced ? m_nReduction : 1; }
  // Threads that map rows (1 or more; 0: as many as the row pool has). The bitmap is the
  // same for any count.
  void SetThreadCount(int n) { m_nThreads = n; }

  // 0 when both equal the current ones or the pair is not allowed, else stores them and
  // returns 1. One-plane images take modes 0, 1, 4, 5, and 6 when the image supports the
  // spectral false colour; others (and no image) take modes 0 to 3. Types 0 to 3.
  int SetColorMode(COLOR_MODE mode, COLOR_TYPE type);
  COLOR_MODE GetColorMode() const { return m_nColorMode; }
  COLOR_TYPE GetColorType() const { return m_nColorType; }
  int SetLogScale(int on);
  int IsLogScale() const { return m_bLogScale; }

  // Levels as the level dialog sees them: plane 0's for images of fewer than three planes,
  // otherwise the luminance-weighted levels 0.299 R + 0.587 G + 0.114 B.
  void GetLevel(float* low, float* high) const;
  // One-plane images: the levels of plane 0. Colour images: all planes move together so
  // that the weighted levels become (low, high), each plane keeping its share of the range.
  void SetLevel(float low, float high);
  // The slider offers the levels widened by 2/11 of their range on either side.
  void UpdateLevelSliderRange();
  void GetLevelSliderRange(float* low, float* high) const;

  void SetViewInfo(CViewInfo* view);
  CViewInfo* GetViewInfo() const { return m_pView; }
  // The client size of the window and the screen offset of its visible area.
  void UpdateClientSize(int width, int height);
  void SetScrollOffset(int x, int y);

  CBaseDIB* GetDIB() const { return m_pBitmap.get(); }
  CRalImage* GetImagePtr() const { return m_pImage; }
  int GetWidth() const { return m_pBitmap->GetWidth(); }
  int GetHeight() const { return m_pBitmap->GetHeight(); }
  int GetBitCount() const { return m_pBitmap->GetBitCount(); }
  // The size of the image on the screen at the view's magnification.
  SIZE GetRenderSize() const;
  SIZE GetReducedSize() const;
  void Empty();

  // Screen positions of image positions (see the view state for the codes): the centre
  // of a pixel's block, and its first and last screen pixel.
  POINT CalcScreenPt(POINT p) const;
  POINT CalcScreenPt(double x, double y) const;
  int CalcScreenPtLeft(POINT p) const { return CalcScreenPtLeft(p.x, p.y); }
  int CalcScreenPtLeft(int x, int y) const;
  int CalcScreenPtRight(POINT p) const { return CalcScreenPtRight(p.x, p.y); }
  int CalcScreenPtRight(int x, int y) const;
  int CalcScreenPtTop(POINT p) const { return CalcScreenPtTop(p.x, p.y); }
  int CalcScreenPtTop(int x, int y) const;
  int CalcScreenPtBottom(POINT p) const { return CalcScreenPtBottom(p.x, p.y); }
  int CalcScreenPtBottom(int x, int y) const;
  // The scroll position that puts image point p in the middle of the client area, on each
  // axis where the image is larger than the client area (else 0).
  POINT CalcCenteringScrollPos(POINT p) const;
  // The whole image (0, 0, width, height); returns −1.
  int OnGetSelectedRect(RECT* rect) const;

  // ---- the mapping steps
  // The logarithmic levels and constants from display levels: low raised to 1 % of high
  // when high > 0 and low ≤ 0; 1 and 100 when high ≤ 0; logLow = log10(low), scale =
  // 255 / (log10(high) − logLow).
  static void LogLevels(float levelLow, float levelHigh, float* low, float* high, float* scale,
                        float* logLow);
  // The logarithmic display byte of value with constants from LogLevels.
  static int LogPixel(float low, float high, float scale, float logLow, float value);
  // One-plane colour step; *r holds the display value on entry. x, y: the image pixel
  // (0-based), used by the spectral mode.
  void ChangeGrayTo(int* r, int* g, int* b, double x, double y) const;
  // Colour-image colour step on the three display values.
  void ChangeColorTo(int* r, int* g, int* b) const;
  // The spectral colour of pixel (x, y) at the brightness *r (on entry).
  void ChangeSpectrumTo(int* r, int* g, int* b, double x, double y) const;
  // The wavelength in metres of image pixel (x, y) (0-based) on the spectral axis; NaN
  // when the image has no axis that converts.
  double GetSpectrumWavelength(double x, double y) const;
  // The colour of a wavelength in metres, red in the low byte: the first table colour
  // below 360 nm, grey (128, 128, 128) above 830 nm, at 829 nm and beyond or for NaN,
  // between whole nanometres a blend of the two neighbouring entries.
  static COLORREF GetSpectrumColor(double wavelength);

  // The 256-entry grey ramp, and the 3-3-2 colour cube whose index has red in bits 0 to 2,
  // green in bits 3 to 5 and blue in bits 6 and 7.
  static void MakeGrayPalette(PALETTEENTRY* entries);
  static void MakeColorPalette(PALETTEENTRY* entries);

  // What one pixel of the spectral axis needs: the affine part of the coordinate and how
  // it becomes a wavelength.
  struct SpectralAxis {
    bool valid = false;
    double crpix1 = 1, crpix2 = 1;  // 1-based reference pixel
    double mx = 0, my = 0;          // coordinate per pixel in x and y (matrix row × CDELT)
    double crval = 0;
    bool isLog = false;
    double prefix = 1;
    enum Convert { kMetre, kAngstrom, kFrequency, kJoule, kElectronVolt, kErg, kWavenumber };
    Convert convert = kMetre;
    double Wavelength(double x, double y) const;
  };
  static SpectralAxis MakeSpectralAxis(const CRalImage& image);

 private:
  struct Geometry {
    int mag;
    SIZE reduced, render;
    int offsetX, offsetY;
  };
  Geometry GetGeometry() const;
  void FillLevelCache();
  bool IsColorImage() const;
  // Maps image rows into a bitmap: destination rows [y0, y1) and columns [x0, x1) of dib
  // show image pixel (x × step, y × step). dirty (may be null) loses the stripes of every
  // row built that [x0, x1) covers whole.
  void MapRows(CBaseDIB& dib, int step, int y0, int y1, int x0, int x1, int showProgress,
               CDirtyRows* dirty);
  // Builds what is out of date in rows [y0, y1) over the stripes that columns [x0, x1)
  // reach, and nothing of the other columns.
  void BuildDirty(CBaseDIB& dib, int step, CDirtyRows& dirty, int y0, int y1, int x0, int x1);
  // The reduced bitmap at reduction k, made (all rows out of date) when missing or of
  // another reduction. Null when it cannot be had.
  CBaseDIB* EnsureReduced(int k);
  int ViewMag() const;
  int Created(int result);
  int ThreadCount() const;

  const PALETTEENTRY* m_pColorPalette = nullptr;
  const PALETTEENTRY* m_pGrayPalette = nullptr;
  std::unique_ptr<CBaseDIB> m_pBitmap;
  bool m_bVm = true;
  int m_nScreenBits = 32;
  int m_nFirstRow = 0, m_nEndRow = 0;
  int m_nFirstColumn = 0, m_nEndColumn = 0;
  int m_bShowProgress = 0;
  CRalImage* m_pImage = nullptr;
  CViewInfo* m_pView = nullptr;
  std::array<float, 3> m_fPlaneMin{0, 0, 0};
  std::array<float, 3> m_fPlaneMax{0, 0, 0};
  std::array<float, 3> m_fPlaneScale{0, 0, 0};
  float m_fGrayMax = 0, m_fGrayMin = 0, m_fGrayScale = 0;
  int m_nScrollX = 0, m_nScrollY = 0;
  int m_nClientWidth = 0, m_nClientHeight = 0;
  COLOR_MODE m_nColorMode = CM_POSITIVE;
  COLOR_TYPE m_nColorType = CT_VERMILION;
  float m_fSliderMin = 0, m_fSliderMax = 255;
  int m_bLogScale = 0;
  std::array<PALETTEENTRY, 256> m_Entries{};  // used when the caller gives none
  // What is out of date in the full bitmap and in the reduced one.
  CDirtyRows m_FullDirty;
  std::unique_ptr<CBaseDIB> m_pReduced;
  int m_nReduction = 1;
  CDirtyRows m_ReducedDirty;
  int m_nThreads = 0;
};
