#include "display/imagebuffer.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "display/colortables.h"
#include "display/viewinfo.h"
#include "engine/falsecolor.h"
#include "engine/ralimage.h"
#include "imagemodel/rowpool.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

int ClampInt(std::int64_t v) {
  return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX));
}

// A double as float without the undefined conversion of values beyond the float range:
// those become infinite, which the byte mapping saturates anyway.
inline float ToFloat(double d) {
  if (d > FLT_MAX) return kInf;
  if (d < -FLT_MAX) return -kInf;
  return static_cast<float>(d);
}

// ---- linear display bytes of a row: the rule of CRalImage::GetPixelGray256, written so
// the compiler can vectorise it (selects instead of early returns).
void MapLinear(const float* in, std::uint8_t* out, int n, float low, float high, float scale) {
  for (int i = 0; i < n; ++i) {
    const float v = in[i];
    float t = (v - low) * scale;
    t = t >= 0.0f ? t : 0.0f;  // NaN becomes 0 here
    t = t <= 254.0f ? t : 254.0f;
    int b = static_cast<int>(t);
    b = v >= high ? 255 : b;
    b = v <= low ? 0 : b;
    out[i] = static_cast<std::uint8_t>(b);
  }
}

// ---- logarithmic display bytes of a row.
// log10 per pixel is slow, so the map is tabulated: the byte is a non-decreasing step
// function of the value, fixed by its steps (the smallest float giving each byte 1 to
// 254, found by bisection over float bit patterns against LogPixel itself so that the
// table agrees with LogPixel everywhere, and the maximum level for 255). Positive floats
// order like their bit patterns, and the pattern grows almost linearly with the
// logarithm, so buckets of equal pattern width hold about equally many steps: with
// enough buckets none holds more than one. A pixel is then clamped to the levels (NaN to
// the minimum), and costs one bucket's byte plus one compare with the bucket's step,
// without a branch.
class LogMapper {
 public:
  void Init(float levelLow, float levelHigh) {
    CImageBuffer::LogLevels(levelLow, levelHigh, &low_, &high_, &scale_, &logLow_);
    single_ = false;
    if (!(low_ > 0.0f && high_ > low_ && std::isfinite(high_) && std::isfinite(scale_) &&
          scale_ > 0.0f && std::isfinite(logLow_)))
      return;
    const std::uint32_t lo = Bits(low_), hi = Bits(high_);
    for (int k = 1; k < 255; ++k) {
      // Smallest pattern in (lo, hi) whose byte is at least k; hi when none.
      std::uint32_t a = lo + 1, b = hi;
      while (a < b) {
        const std::uint32_t mid = a + (b - a) / 2;
        if (Ref(FromBits(mid)) >= k)
          b = mid;
        else
          a = mid + 1;
      }
      step_[k] = FromBits(a);
    }
    step_[0] = -kInf;
    step_[255] = high_;
    const std::uint32_t span = hi - lo;
    shift_ = 0;
    while ((span >> shift_) > (1u << 11)) ++shift_;
    for (;;) {
      if (FillBuckets(lo, span)) {
        single_ = true;
        return;
      }
      if (shift_ == 0 || (span >> shift_) >= (1u << 20)) return;
      --shift_;
    }
  }

  void MapRow(const float* in, std::uint8_t* out, int n) const {
    if (!single_) {
      // Degenerate levels, or steps bunched closer than buckets can part: the rule itself.
      for (int i = 0; i < n; ++i)
        out[i] =
            static_cast<std::uint8_t>(CImageBuffer::LogPixel(low_, high_, scale_, logLow_, in[i]));
      return;
    }
    const std::uint8_t* byte = byte_.data();
    const float* next = next_.data();
    int i = 0;
#if defined(__SSE2__)
    // Clamping and bucket numbers four at a time; the table reads stay scalar.
    const __m128 lo = _mm_set1_ps(low_), hi = _mm_set1_ps(high_);
    const __m128i base = _mm_set1_epi32(static_cast<int>(base_));
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(shift_));
    for (; i + 4 <= n; i += 4) {
      // max(lo, v) takes lo for NaN (the second operand wins when either is NaN).
      const __m128 c = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(in + i), lo), hi);
      const __m128i q = _mm_srl_epi32(_mm_sub_epi32(_mm_castps_si128(c), base), shift);
      alignas(16) float cs[4];
      alignas(16) std::uint32_t qs[4];
      _mm_store_ps(cs, c);
      _mm_store_si128(reinterpret_cast<__m128i*>(qs), q);
      for (int k = 0; k < 4; ++k)
        out[i + k] = static_cast<std::uint8_t>(byte[qs[k]] + (cs[k] >= next[qs[k]] ? 1 : 0));
    }
#endif
    for (; i < n; ++i) {
      const float c = std::min(high_, std::max(low_, in[i]));  // NaN becomes the minimum
      const std::uint32_t q = (Bits(c) - base_) >> shift_;
      out[i] = static_cast<std::uint8_t>(byte[q] + (c >= next[q] ? 1 : 0));
    }
  }

 private:
  static std::uint32_t Bits(float f) {
    return std::bit_cast<std::uint32_t>(f);
  }
  static float FromBits(std::uint32_t u) {
    return std::bit_cast<float>(u);
  }
  int Ref(float v) const {
    return CImageBuffer::LogPixel(low_, high_, scale_, logLow_, v);
  }

  // For every bucket the byte at its start and the next step; true when no bucket
  // holds more than one step.
  bool FillBuckets(std::uint32_t lo, std::uint32_t span) {
    base_ = lo;
    const std::uint32_t count = (span >> shift_) + 1;
    byte_.assign(count, 0);
    next_.assign(count, kInf);
    int k = 0;  // steps at or below the value in hand
    auto climb = [&](float x) {
      while (k < 255 && x >= step_[static_cast<std::size_t>(k) + 1]) ++k;
      return k;
    };
    for (std::uint32_t q = 0; q < count; ++q) {
      const int first = climb(FromBits(lo + (q << shift_)));
      byte_[q] = static_cast<std::uint8_t>(first);
      if (first < 255) next_[q] = step_[static_cast<std::size_t>(first) + 1];
      const std::uint64_t end = std::uint64_t{q + 1} << shift_;  // first pattern past q
      const float last = end > span ? high_ : FromBits(lo + static_cast<std::uint32_t>(end) - 1);
      if (climb(last) - first > 1) return false;
    }
    return true;
  }

  float low_ = 1, high_ = 100, scale_ = 127.5f, logLow_ = 0;
  bool single_ = false;
  std::uint32_t base_ = 0;
  unsigned shift_ = 0;
  std::vector<std::uint8_t> byte_;
  std::vector<float> next_;
  std::array<float, 256> step_{};
};

// ---- pixel rows as floats

template <typename T>
void RowToFloat(const void* src, float* out, int n, int step, double bscale, double bzero) {
  const T* p = static_cast<const T*>(src);
  const std::size_t s = static_cast<std::size_t>(step);
  if (bscale == 1.0 && bzero == 0.0) {
    for (int i = 0; i < n; ++i) out[i] = ToFloat(static_cast<double>(p[i * s]));
  } else {
    for (int i = 0; i < n; ++i) out[i] = ToFloat(static_cast<double>(p[i * s]) * bscale + bzero);
  }
}

// Physical values of every step-th pixel of a row stretch as floats. False for an unknown
// pixel type.
bool ConvertRow(const void* src, int bits, int isSigned, int n, int step, double bscale,
                double bzero, float* out) {
  switch (bits) {
    case 8:
      RowToFloat<std::uint8_t>(src, out, n, step, bscale, bzero);
      return true;
    case 16:
      if (isSigned)
        RowToFloat<std::int16_t>(src, out, n, step, bscale, bzero);
      else
        RowToFloat<std::uint16_t>(src, out, n, step, bscale, bzero);
      return true;
    case 32:
      if (isSigned)
        RowToFloat<std::int32_t>(src, out, n, step, bscale, bzero);
      else
        RowToFloat<std::uint32_t>(src, out, n, step, bscale, bzero);
      return true;
    case -32:
      RowToFloat<float>(src, out, n, step, bscale, bzero);
      return true;
    case -64:
      RowToFloat<double>(src, out, n, step, bscale, bzero);
      return true;
    default:
      return false;
  }
}

// ---- storage packing

inline std::uint16_t Pack555(int r, int g, int b) {
  return static_cast<std::uint16_t>(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
}

inline std::uint8_t Pack332(int r, int g, int b) {
  return static_cast<std::uint8_t>((b & 0xC0) | ((g >> 2) & 0x38) | (r >> 5));
}

// Writes n three-byte pixels, colour(i) giving pixel i as blue | green << 8 | red << 16.
// Plain stores write four bytes per pixel, the fourth being overwritten by the next
// pixel; the last pixel goes byte by byte, so nothing past the n pixels is touched. With
// stream set (large rebuilds, whose rows leave the cache before anyone reads them),
// 16-byte-aligned runs of 16 pixels go out as three non-temporal 16-byte stores, which
// do not first read the destination lines: the rebuild then moves about as many bytes
// as a copy would. The pixels before such a run go byte by byte, so no plain store
// overlaps a streamed one.
template <typename Colour>
void Store24(int n, std::uint8_t* out, bool stream, Colour colour) {
  int i = 0;
  auto one = [&](int k) {
    const std::uint32_t c = colour(k);
    out[0] = static_cast<std::uint8_t>(c);
    out[1] = static_cast<std::uint8_t>(c >> 8);
    out[2] = static_cast<std::uint8_t>(c >> 16);
    out += 3;
  };
#if defined(__SSE2__)
  if (stream) {
    while (i < n && (reinterpret_cast<std::uintptr_t>(out) & 15) != 0) one(i++);
    for (; i + 16 <= n; i += 16, out += 48) {
      std::uint32_t w[12];
      for (int g = 0; g < 4; ++g) {
        const std::uint32_t c0 = colour(i + 4 * g), c1 = colour(i + 4 * g + 1),
                            c2 = colour(i + 4 * g + 2), c3 = colour(i + 4 * g + 3);
        w[3 * g] = c0 | (c1 << 24);
        w[3 * g + 1] = (c1 >> 8) | (c2 << 16);
        w[3 * g + 2] = (c2 >> 16) | (c3 << 8);
      }
      // Built in registers: storing the words and loading them back as one vector would
      // stall on store forwarding.
      auto* dst = reinterpret_cast<__m128i*>(out);
      for (int k = 0; k < 3; ++k)
        _mm_stream_si128(
            dst + k, _mm_set_epi32(static_cast<int>(w[4 * k + 3]), static_cast<int>(w[4 * k + 2]),
                                   static_cast<int>(w[4 * k + 1]), static_cast<int>(w[4 * k])));
    }
  }
#else
  (void)stream;
#endif
  for (; i + 1 < n; ++i, out += 3) {
    const std::uint32_t c = colour(i);
    std::memcpy(out, &c, 4);
  }
  if (i < n) one(i);
}

// One-plane bytes through a colour table of 256 entries, each blue | green << 8 | red << 16.
// Four-byte pixels keep their fourth byte.
void PackGray(const std::uint8_t* v, int n, const std::uint32_t* bgr, int bytesPerPixel,
              bool stream, std::uint8_t* out) {
  if (bytesPerPixel == 3) {
    Store24(n, out, stream, [&](int i) { return bgr[v[i]]; });
  } else {
    for (int i = 0; i < n; ++i, out += 4) {
      const std::uint32_t c = bgr[v[i]];
      out[0] = static_cast<std::uint8_t>(c);
      out[1] = static_cast<std::uint8_t>(c >> 8);
      out[2] = static_cast<std::uint8_t>(c >> 16);
    }
  }
}

// One-plane bytes to 5-5-5 through two tables: even and odd x + y.
void PackGray16(const std::uint8_t* v, int n, int parity, const std::uint16_t* even,
                const std::uint16_t* odd, std::uint16_t* out) {
  const std::uint16_t* t[2] = {even, odd};
  for (int i = 0; i < n; ++i) out[i] = t[(parity + i) & 1][v[i]];
}

// The colour-mode step of colour images on whole rows (ChangeColorTo).
void ColorModeRows(int mode, std::uint8_t* r, std::uint8_t* g, std::uint8_t* b, int n) {
  switch (mode) {
    case CImageBuffer::CM_POSITIVE:
      break;
    case CImageBuffer::CM_GRAY:
    case CImageBuffer::CM_GRAY_NEGATIVE: {
      const int flip = mode == CImageBuffer::CM_GRAY_NEGATIVE ? 255 : 0;
      for (int i = 0; i < n; ++i) {
        // Weights 306, 601, 117 of 1024: 0.299, 0.587, 0.114 that add up exactly.
        const int y = (306 * r[i] + 601 * g[i] + 117 * b[i]) >> 10;
        const std::uint8_t v = static_cast<std::uint8_t>(flip ? 255 - y : y);
        r[i] = g[i] = b[i] = v;
      }
      break;
    }
    default:  // negative
      for (int i = 0; i < n; ++i) {
        r[i] = static_cast<std::uint8_t>(255 - r[i]);
        g[i] = static_cast<std::uint8_t>(255 - g[i]);
        b[i] = static_cast<std::uint8_t>(255 - b[i]);
      }
      break;
  }
}

// Colour rows into storage.
void PackColor(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b, int n,
               int storageBits, bool dither, bool stream, int x0, int y, void* dst) {
  switch (storageBits) {
    case 8: {
      auto* out = static_cast<std::uint8_t*>(dst);
      for (int i = 0; i < n; ++i) out[i] = Pack332(r[i], g[i], b[i]);
      break;
    }
    case 16: {
      auto* out = static_cast<std::uint16_t*>(dst);
      if (dither) {
        for (int i = 0; i < n; ++i) CVmDIB::SetPixel16(out + i, x0 + i, y, r[i], g[i], b[i]);
      } else {
        for (int i = 0; i < n; ++i) out[i] = Pack555(r[i], g[i], b[i]);
      }
      break;
    }
    case 24:
      Store24(n, static_cast<std::uint8_t*>(dst), stream, [&](int i) {
        return static_cast<std::uint32_t>(b[i]) | (static_cast<std::uint32_t>(g[i]) << 8) |
               (static_cast<std::uint32_t>(r[i]) << 16);
      });
      break;
    case 32: {
      auto* out = static_cast<std::uint8_t*>(dst);
      for (int i = 0; i < n; ++i, out += 4) {
        out[0] = b[i];
        out[1] = g[i];
        out[2] = r[i];
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Construction and the bitmap

CImageBuffer::CImageBuffer(int useVm) : m_bVm(useVm != 0) {
  if (m_bVm)
    m_pBitmap = std::make_unique<CVmDIB>();
  else
    m_pBitmap = std::make_unique<CMemoryDIB>();
}

CImageBuffer::~CImageBuffer() {
  Empty();
}

void CImageBuffer::Empty() {
  m_pBitmap->Empty();
  m_FullDirty.Clear();
  m_pReduced.reset();
  m_ReducedDirty.Clear();
}

void CImageBuffer::MakeGrayPalette(PALETTEENTRY* entries) {
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(i);
    entries[i] = {v, v, v, 0};
  }
}

void CImageBuffer::MakeColorPalette(PALETTEENTRY* entries) {
  // Each field spread over 0..255: 3 bits of red and green, 2 of blue.
  for (int i = 0; i < 256; ++i) {
    const int r = i & 7, g = (i >> 3) & 7, b = (i >> 6) & 3;
    entries[i] = {static_cast<std::uint8_t>(r * 255 / 7), static_cast<std::uint8_t>(g * 255 / 7),
                  static_cast<std::uint8_t>(b * 255 / 3), 0};
  }
}

bool CImageBuffer::IsColorImage() const {
  return m_pImage && m_pImage->GetPlanes() >= 3;
}

int CImageBuffer::Create(int screenBits, CRalImage* image, const PALETTEENTRY* colorPalette,
                         const PALETTEENTRY* grayPalette, PALETTEENTRY* entries) {
  m_pColorPalette = colorPalette;
  m_pGrayPalette = grayPalette;
  m_pImage = image;
  m_nScreenBits = screenBits;
  if (!image) {
    Empty();
    return 0;
  }
  try {
    if (screenBits == 8) {
      PALETTEENTRY* out = entries ? entries : m_Entries.data();
      const PALETTEENTRY* from = IsColorImage() ? colorPalette : grayPalette;
      if (from)
        std::copy(from, from + 256, out);
      else if (IsColorImage())
        MakeColorPalette(out);
      else
        MakeGrayPalette(out);
      if (out != m_Entries.data()) std::copy(out, out + 256, m_Entries.begin());
      return Created(m_pBitmap->Create(screenBits, image->GetWidth(), image->GetHeight(), out, 1));
    }
    return Created(m_pBitmap->Create(screenBits, image->GetWidth(), image->GetHeight(), 1));
  } catch (const std::bad_alloc&) {
    Empty();
    return 0;
  }
}

int CImageBuffer::Created(int result) {
  // A new bitmap has no row built yet, and the reduced one is for the old image.
  m_pReduced.reset();
  m_ReducedDirty.Clear();
  m_FullDirty.Reset(m_pBitmap->GetWidth(), m_pBitmap->GetHeight());
  return result;
}

int CImageBuffer::ChangePalette(CRalImage* image, PALETTEENTRY* entries) {
  if (m_nScreenBits != 8) return 1;
  return Create(m_nScreenBits, image, m_pColorPalette, m_pGrayPalette, entries);
}

// ---------------------------------------------------------------------------------------
// Modes and levels

int CImageBuffer::SetColorMode(COLOR_MODE mode, COLOR_TYPE type) {
  if (mode == m_nColorMode && type == m_nColorType) return 0;
  if (type < CT_VERMILION || type > CT_RAINBOW) return 0;
  bool allowed;
  if (m_pImage && m_pImage->GetPlanes() == 1) {
    allowed = mode == CM_POSITIVE || mode == CM_NEGATIVE || mode == CM_FALSE_COLOR ||
              mode == CM_FALSE_COLOR_NEGATIVE ||
              (mode == CM_SPECTRUM && m_pImage->IsSpectrumFalseColorSupported());
  } else {
    allowed = mode >= CM_POSITIVE && mode <= CM_GRAY_NEGATIVE;
  }
  if (!allowed) return 0;
  m_nColorMode = mode;
  m_nColorType = type;
  return 1;
}

int CImageBuffer::SetLogScale(int on) {
  const int v = on ? 1 : 0;
  if (v == m_bLogScale) return 0;
  m_bLogScale = v;
  return 1;
}

void CImageBuffer::GetLevel(float* low, float* high) const {
  float l = 0, h = 0;
  if (m_pImage && m_pImage->GetPlanes() < 3) {
    l = ToFloat(m_pImage->GetLevelMin(0));
    h = ToFloat(m_pImage->GetLevelMax(0));
  } else if (m_pImage) {
    static constexpr double kWeight[3] = {0.299, 0.587, 0.114};
    double sl = 0, sh = 0;
    for (int p = 0; p < 3; ++p) {
      sl += kWeight[p] * m_pImage->GetLevelMin(p);
      sh += kWeight[p] * m_pImage->GetLevelMax(p);
    }
    l = ToFloat(sl);
    h = ToFloat(sh);
  }
  if (low) *low = l;
  if (high) *high = h;
}

void CImageBuffer::SetLevel(float low, float high) {
  if (!m_pImage) return;
  const int planes = std::min(m_pImage->GetPlanes(), 3);
  if (planes <= 1) {
    m_pImage->SetLevel(0, low, high);
    return;
  }
  float L, H;
  GetLevel(&L, &H);
  const double range = static_cast<double>(H) - L;
  if (!(range > 0) || !std::isfinite(range)) {
    // No weighted range to take shares of: every plane gets the levels as they are.
    for (int p = 0; p < planes; ++p) m_pImage->SetLevel(p, low, high);
    return;
  }
  const double a = (static_cast<double>(low) - L) / range;
  const double b = (static_cast<double>(high) - H) / range;
  for (int p = 0; p < planes; ++p) {
    const double mn = m_pImage->GetLevelMin(p), mx = m_pImage->GetLevelMax(p);
    m_pImage->SetLevel(p, mn + a * (mx - mn), mx + b * (mx - mn));
  }
}

void CImageBuffer::UpdateLevelSliderRange() {
  float L, H;
  GetLevel(&L, &H);
  const float d = (H - L) * 0.1818181872f;
  m_fSliderMin = L - d;
  m_fSliderMax = H + d;
}

void CImageBuffer::GetLevelSliderRange(float* low, float* high) const {
  if (low) *low = m_fSliderMin;
  if (high) *high = m_fSliderMax;
}

void CImageBuffer::FillLevelCache() {
  m_fPlaneMin = {0, 0, 0};
  m_fPlaneMax = {0, 0, 0};
  m_fPlaneScale = {0, 0, 0};
  if (!m_pImage) return;
  const int planes = IsColorImage() ? 3 : 1;
  for (int p = 0; p < planes; ++p) {
    m_fPlaneMin[p] = ToFloat(m_pImage->GetLevelMin(p));
    m_fPlaneMax[p] = ToFloat(m_pImage->GetLevelMax(p));
    const double range = m_pImage->GetLevelRange(p);
    m_fPlaneScale[p] = range != 0.0 ? ToFloat(255.0 / range) : 0.0f;
  }
  m_fGrayMin = m_fPlaneMin[0];
  m_fGrayMax = m_fPlaneMax[0];
  m_fGrayScale = m_fPlaneScale[0];
}

// ---------------------------------------------------------------------------------------
// Mapping steps

void CImageBuffer::LogLevels(float levelLow, float levelHigh, float* low, float* high, float* scale,
                             float* logLow) {
  float l = levelLow, h = levelHigh;
  if (h > 0 && l <= 0) l = h * 0.01f;  // two decades below the maximum
  if (h <= 0) {
    l = 1;
    h = 100;
  }
  const double ll = std::log10(static_cast<double>(l));
  *low = l;
  *high = h;
  *logLow = ToFloat(ll);
  *scale = ToFloat(255.0 / (std::log10(static_cast<double>(h)) - static_cast<double>(*logLow)));
}

int CImageBuffer::LogPixel(float low, float high, float scale, float logLow, float value) {
  if (value <= low) return 0;
  if (value >= high) return 255;
  if (!(value > 0.0f)) return 0;  // NaN, or levels that were never made positive
  // In double: adjacent floats then differ in log10 by far more than its rounding error,
  // so the byte never falls as the value rises (the tabulated rows rely on that).
  const double t = (std::log10(static_cast<double>(value)) - static_cast<double>(logLow)) * scale;
  if (!(t >= 0.0)) return 0;
  return t < 254.0 ? static_cast<int>(t) : 254;
}

void CImageBuffer::ChangeGrayTo(int* r, int* g, int* b, double x, double y) const {
  const int value = *r;
  switch (m_nColorMode) {
    case CM_POSITIVE:
    case CM_GRAY:
      *r = *g = *b = std::min(value, 255);
      break;
    case CM_NEGATIVE:
    case CM_GRAY_NEGATIVE:
      *r = *g = *b = std::max(255 - value, 0);
      break;
    case CM_FALSE_COLOR:
    case CM_FALSE_COLOR_NEGATIVE: {
      int v = m_nColorMode == CM_FALSE_COLOR ? std::min(value, 255) : std::max(255 - value, 0);
      v = std::clamp(v, 0, 255);
      if (m_nColorType == CT_RAINBOW) {
        float fr = 0, fg = 0, fb = 0;
        CImgFalseColor().GetFalseColor(v, 1, 1, &fr, &fg, &fb);
        *r = static_cast<int>(fr);
        *g = static_cast<int>(fg);
        *b = static_cast<int>(fb);
      } else {
        const RGBCOLOR c = FalseColorTable(m_nColorType)[static_cast<std::size_t>(v)];
        *r = c.r;
        *g = c.g;
        *b = c.b;
      }
      break;
    }
    case CM_SPECTRUM:
      ChangeSpectrumTo(r, g, b, x, y);
      break;
  }
}

void CImageBuffer::ChangeColorTo(int* r, int* g, int* b) const {
  switch (m_nColorMode) {
    case CM_POSITIVE:
      *r = std::min(*r, 255);
      *g = std::min(*g, 255);
      *b = std::min(*b, 255);
      break;
    case CM_GRAY:
    case CM_GRAY_NEGATIVE: {
      const int y = (306 * *r + 601 * *g + 117 * *b) >> 10;
      *r = *g = *b = m_nColorMode == CM_GRAY ? std::min(y, 255) : std::max(255 - y, 0);
      break;
    }
    default:
      *r = std::max(255 - *r, 0);
      *g = std::max(255 - *g, 0);
      *b = std::max(255 - *b, 0);
      break;
  }
}

CImageBuffer::SpectralAxis CImageBuffer::MakeSpectralAxis(const CRalImage& image) {
  SpectralAxis s;
  int axis = 0;
  std::string type, unit, base;
  int isLog = 0;
  if (!image.IsSpectrumFalseColorSupported() || !image.IsSpectrum(&axis) ||
      !image.GetAxisInfo(axis, &type, &unit, &isLog))
    return s;
  s.prefix = CRalImage::AnalyzeUnitPrefix(unit, &base);
  s.isLog = isLog != 0;
  tagMATRIX2_2 m;
  const int kind = image.GetLTMtx(&m);
  const double row0 = axis == 0 ? m.m11 : m.m21, row1 = axis == 0 ? m.m12 : m.m22;
  double cdelt = 1.0;
  image.GetCDelt(axis, &cdelt);
  // A CD matrix (kind 1) carries the scale itself; otherwise CDELT scales the matrix row.
  const double scale = kind == 1 ? 1.0 : cdelt;
  s.mx = row0 * scale;
  s.my = row1 * scale;
  image.GetCRPix(0, &s.crpix1);
  image.GetCRPix(1, &s.crpix2);
  image.GetCRVal(axis, &s.crval);
  if (type == "FREQ")
    s.convert = SpectralAxis::kFrequency;
  else if (type == "WAVN")
    s.convert = SpectralAxis::kWavenumber;
  else if (type == "ENER")
    s.convert = base == "eV"    ? SpectralAxis::kElectronVolt
                : base == "erg" ? SpectralAxis::kErg
                                : SpectralAxis::kJoule;
  else
    s.convert = base == "Angstrom" ? SpectralAxis::kAngstrom : SpectralAxis::kMetre;
  s.valid = true;
  return s;
}

double CImageBuffer::SpectralAxis::Wavelength(double x, double y) const {
  if (!valid) return std::numeric_limits<double>::quiet_NaN();
  // FITS pixel positions are 1-based: image pixel x is FITS pixel x + 1.
  double v = crval + (x + 1.0 - crpix1) * mx + (y + 1.0 - crpix2) * my;
  if (isLog) v = std::pow(10.0, v);
  v *= prefix;
  switch (convert) {
    case kAngstrom:
      return CRalImage::CalcAngstrom2m(v);
    case kFrequency:
      return CRalImage::CalcFreq2WL(v);
    case kJoule:
      return CRalImage::CalcEner2WL(v);
    case kElectronVolt:
      return CRalImage::CalcEner2WL(CRalImage::CalcEV2J(v));
    case kErg:
      return CRalImage::CalcEner2WL(CRalImage::CalcErg2J(v));
    case kWavenumber:
      return CRalImage::CalcWavn2WL(v);
    case kMetre:
      break;
  }
  return v;
}

double CImageBuffer::GetSpectrumWavelength(double x, double y) const {
  if (!m_pImage) return std::numeric_limits<double>::quiet_NaN();
  return MakeSpectralAxis(*m_pImage).Wavelength(x, y);
}

COLORREF CImageBuffer::GetSpectrumColor(double wavelength) {
  const auto& table = SpectrumColorTable();
  const RGBCOLOR grey{128, 128, 128};
  auto rgb = [](RGBCOLOR c) { return RGB(c.r, c.g, c.b); };
  if (std::isnan(wavelength) || wavelength > 8.3e-7) return rgb(grey);
  if (wavelength < kSpectrumFirstWavelength) return rgb(table[0]);
  double t = (wavelength - kSpectrumFirstWavelength) / 1e-9;
  // A wavelength written in decimal (410e-9) is rarely exact in binary; within a
  // millionth of a nanometre it is taken as the whole nanometre, so table rows show as
  // they are.
  const double whole = std::nearbyint(t);
  if (std::fabs(t - whole) < 1e-6) t = whole;
  const int i = static_cast<int>(t);
  if (i >= kSpectrumTableSize - 1) return rgb(grey);
  // Blend with weights out of 256, so a whole nanometre gives its entry exactly.
  const int f = static_cast<int>((t - i) * 256.0);
  const RGBCOLOR a = table[static_cast<std::size_t>(i)], b = table[static_cast<std::size_t>(i) + 1];
  auto mix = [f](int p, int q) { return (p * (256 - f) + q * f) >> 8; };
  return RGB(mix(a.r, b.r), mix(a.g, b.g), mix(a.b, b.b));
}

void CImageBuffer::ChangeSpectrumTo(int* r, int* g, int* b, double x, double y) const {
  const int v = std::clamp(*r, 0, 255);
  const double lambda = GetSpectrumWavelength(x, y);
  if (std::isnan(lambda)) {
    *r = *g = *b = v;  // no spectral axis after all: grey
    return;
  }
  const COLORREF c = GetSpectrumColor(lambda);
  *r = (GetRValue(c) * v) >> 8;
  *g = (GetGValue(c) * v) >> 8;
  *b = (GetBValue(c) * v) >> 8;
}

// ---------------------------------------------------------------------------------------
// Rebuild

namespace {

// Pixels per chunk of rows handed to the threads: enough to pay for starting one, few
// enough that the pinned blocks stay a small part of the pager's memory.
constexpr std::int64_t kChunkPixels = 1 << 18;
constexpr int kMaxChunkRows = 64;
// Fewer pixels than this are not worth waking another thread for.
constexpr std::int64_t kMinPixelsPerThread = 1 << 14;

// What mapping a row needs, fixed for one rebuild.
struct RowMapper {
  int bits = -32, isSigned = 1;
  double bscale = 1, bzero = 0;
  bool direct = false;  // float pixels without scaling, read in place
  int planes = 1;
  bool color = false;
  bool spectral = false;
  const CImageBuffer::SpectralAxis* axis = nullptr;
  bool logScale = false;
  const std::array<LogMapper, 3>* logMap = nullptr;
  std::array<float, 3> low{}, high{}, scale{};
  int mode = CImageBuffer::CM_POSITIVE;
  int storageBits = 24;
  bool dither = false;
  bool stream = false;
  std::array<std::uint32_t, 256> bgr{};
  std::array<std::uint16_t, 256> even{}, odd{};
  int n = 0;     // pixels per row
  int step = 1;  // image pixels from one bitmap pixel to the next
};

// One bitmap row: the pinned image rows of its planes (at its first pixel) and its
// pinned storage.
struct RowJob {
  std::array<const void*, 3> src{};
  void* dst = nullptr;
  int srcX0 = 0, srcY = 0;  // image pixel of the first bitmap pixel
  int dstX0 = 0, dstY = 0;  // that bitmap pixel
};

struct RowScratch {
  std::array<std::vector<float>, 3> values;
  std::array<std::vector<std::uint8_t>, 3> bytes;
  void Size(int n) {
    for (auto& v : values) v.resize(static_cast<std::size_t>(n));
    for (auto& b : bytes) b.resize(static_cast<std::size_t>(n));
  }
};

// Maps one row: touches only the job's pinned memory and the scratch, so rows may be
// mapped on several threads at once.
void MapRow(const RowMapper& m, const RowJob& job, RowScratch& sc) {
  const int n = m.n;
  std::array<const float*, 3> rows{};
  for (int p = 0; p < m.planes; ++p) {
    if (m.direct && m.step == 1) {
      rows[p] = static_cast<const float*>(job.src[p]);
    } else {
      if (!ConvertRow(job.src[p], m.bits, m.isSigned, n, m.step, m.bscale, m.bzero,
                      sc.values[p].data()))
        return;
      rows[p] = sc.values[p].data();
    }
    if (m.logScale)
      (*m.logMap)[p].MapRow(rows[p], sc.bytes[p].data(), n);
    else
      MapLinear(rows[p], sc.bytes[p].data(), n, m.low[p], m.high[p], m.scale[p]);
  }
  std::uint8_t* r = sc.bytes[0].data();
  std::uint8_t* g = sc.bytes[1].data();
  std::uint8_t* b = sc.bytes[2].data();
  const int x0 = job.dstX0, y = job.dstY;
  if (m.color) {
    ColorModeRows(m.mode, r, g, b, n);
    PackColor(r, g, b, n, m.storageBits, m.dither, m.stream, x0, y, job.dst);
  } else if (m.spectral && m.storageBits != 8) {
    // Hue from the wavelength, brightness from the display byte.
    for (int i = 0; i < n; ++i) {
      const COLORREF c = CImageBuffer::GetSpectrumColor(
          m.axis->Wavelength(job.srcX0 + static_cast<double>(i) * m.step, job.srcY));
      const int k = r[i];
      r[i] = static_cast<std::uint8_t>((GetRValue(c) * k) >> 8);
      g[i] = static_cast<std::uint8_t>((GetGValue(c) * k) >> 8);
      b[i] = static_cast<std::uint8_t>((GetBValue(c) * k) >> 8);
    }
    PackColor(r, g, b, n, m.storageBits, m.dither, m.stream, x0, y, job.dst);
  } else if (m.storageBits == 8) {
    std::memcpy(job.dst, r, static_cast<std::size_t>(n));
  } else if (m.storageBits == 16) {
    PackGray16(r, n, (x0 + y) & 1, m.even.data(), m.odd.data(),
               static_cast<std::uint16_t*>(job.dst));
  } else {
    PackGray(r, n, m.bgr.data(), m.storageBits / 8, m.stream, static_cast<std::uint8_t*>(job.dst));
  }
}

void MapJobs(const RowMapper& m, const RowJob* jobs, std::size_t count, RowScratch& sc) {
  for (std::size_t i = 0; i < count; ++i) MapRow(m, jobs[i], sc);
#if defined(__SSE2__)
  _mm_sfence();  // this thread's streamed rows are in memory before anyone reads them
#endif
}

std::int64_t CeilDiv64(std::int64_t a, std::int64_t b) {
  return -FloorDiv(-a, b);
}

}  // namespace

int CImageBuffer::ThreadCount() const {
  return m_nThreads > 0 ? m_nThreads : rowpool::GetThreads();
}

int CImageBuffer::ViewMag() const {
  return m_pView ? m_pView->GetMag() : 1;
}

void CImageBuffer::MapRows(CBaseDIB& dib, int step, int y0, int y1, int x0, int x1,
                           int showProgress, CDirtyRows* dirty) {
  CRalImage* image = m_pImage;
  if (!image) return;
  FillLevelCache();
  const bool report = showProgress >= 0;
  // The bitmap pixels whose image pixels exist.
  const int W = image->GetWidth(), H = image->GetHeight();
  const int xEnd = std::min<std::int64_t>(x1, CeilDiv64(W, step));
  const int yEnd = std::min<std::int64_t>(y1, CeilDiv64(H, step));
  const int n = xEnd - x0;
  const std::uint64_t covered = dirty ? dirty->Covered(x0, x1) : 0;
  auto done = [&](int from, int to) {
    if (dirty) dirty->Done(from, to, covered);
  };
  if (n <= 0 || yEnd <= y0 || image->IsEmpty() || image->GetPlanes() < 1 || x0 < 0 || y0 < 0) {
    done(y0, y1);
    if (report)
      for (int y = y0; y < y1; ++y) image->ShowProgress(1);
    return;
  }
  auto* vm = dynamic_cast<CVmDIB*>(&dib);
  auto* mem = dynamic_cast<CMemoryDIB*>(&dib);
  const bool paged = vm != nullptr;

  RowMapper m;
  m.color = IsColorImage();
  m.planes = m.color ? 3 : 1;
  m.bits = image->GetBitsPixel();
  m.isSigned = image->IsSigned();
  m.bscale = image->GetBscale();
  m.bzero = image->GetBzero();
  m.direct = m.bits == -32 && m.bscale == 1.0 && m.bzero == 0.0;
  // The in-memory bitmap is built with linear bytes and no colour mode.
  m.logScale = paged && m_bLogScale;
  m.mode = paged ? m_nColorMode : CM_POSITIVE;
  m.storageBits = paged ? vm->GetStorageBits() : dib.GetBitCount();
  m.dither = paged && m.storageBits == 16;
  m.low = m_fPlaneMin;
  m.high = m_fPlaneMax;
  m.scale = m_fPlaneScale;
  m.n = n;
  m.step = step;

  std::array<LogMapper, 3> logMap;
  if (m.logScale)
    for (int p = 0; p < m.planes; ++p) logMap[p].Init(m_fPlaneMin[p], m_fPlaneMax[p]);
  m.logMap = &logMap;

  // One-plane images: the colour of each display byte, once per rebuild.
  // (Without an axis that converts, the spectral mode shows grey, as ChangeSpectrumTo.)
  const SpectralAxis axis =
      !m.color && m.mode == CM_SPECTRUM ? MakeSpectralAxis(*image) : SpectralAxis{};
  m.spectral = axis.valid;
  m.axis = &axis;
  if (!m.color && !m.spectral) {
    CImageBuffer probe(0);
    probe.m_nColorMode = static_cast<COLOR_MODE>(m.mode);
    probe.m_nColorType = m_nColorType;
    for (int v = 0; v < 256; ++v) {
      int r = v, g = 0, b = 0;
      probe.ChangeGrayTo(&r, &g, &b, 0, 0);
      const auto i = static_cast<std::size_t>(v);
      m.bgr[i] = static_cast<std::uint32_t>(b) | (static_cast<std::uint32_t>(g) << 8) |
                 (static_cast<std::uint32_t>(r) << 16);
      CVmDIB::SetPixel16(&m.even[i], 0, 0, r, g, b);
      CVmDIB::SetPixel16(&m.odd[i], 1, 0, r, g, b);
      if (!m.dither) m.even[i] = Pack555(r, g, b);
    }
    if (!m.dither) m.odd = m.even;
  }
  // Bitmaps of more than a million pixels are written past the cache, also band by band
  // during a preview: the bands together cover far more than the cache holds.
  m.stream = static_cast<std::int64_t>(dib.GetWidth()) * dib.GetHeight() >= (std::int64_t{1} << 20);

  const int threads = std::max(1, ThreadCount());
  const int chunkRows =
      static_cast<int>(std::clamp<std::int64_t>(kChunkPixels / n, threads, kMaxChunkRows));
  std::vector<RowJob> jobs;
  std::vector<int> srcTokens, dstTokens;
  jobs.reserve(static_cast<std::size_t>(chunkRows));

  int y = y0;
  while (y < yEnd) {
    // Pin the chunk's rows on this thread: the pager is not to be called from others.
    const int chunkStart = y;
    jobs.clear();
    while (y < yEnd && static_cast<int>(jobs.size()) < chunkRows) {
      RowJob job;
      job.srcX0 = x0 * step;
      job.srcY = y * step;
      job.dstX0 = x0;
      job.dstY = y;
      const std::size_t srcMark = srcTokens.size(), dstMark = dstTokens.size();
      bool ok = true;
      for (int p = 0; p < m.planes && ok; ++p) {
        int token = -1;
        job.src[p] = image->GetImageAdr(job.srcX0, job.srcY, p, IMG_READONLY | IMG_LOCK, &token);
        if (job.src[p])
          srcTokens.push_back(token);
        else
          ok = false;
      }
      if (ok) {
        int token = -1;
        job.dst = paged ? vm->LockRow(x0, y, &token) : static_cast<void*>(mem->GetPixelAdr(x0, y));
        if (job.dst && paged) dstTokens.push_back(token);
        ok = job.dst != nullptr;
      }
      if (!ok) {
        for (std::size_t i = srcMark; i < srcTokens.size(); ++i) image->Unlock(srcTokens[i]);
        for (std::size_t i = dstMark; i < dstTokens.size(); ++i) vm->UnlockRow(dstTokens[i]);
        srcTokens.resize(srcMark);
        dstTokens.resize(dstMark);
        // With rows of the chunk pinned, try again once they are let go; alone, the row
        // cannot be had and is left as it was.
        if (jobs.empty()) ++y;
        break;
      }
      jobs.push_back(job);
      ++y;
    }
    // The chunk's rows shared among the row pool's threads, each with a share of at least
    // kMinPixelsPerThread pixels; the pixels written never overlap.
    rowpool::Run(
        static_cast<int>(jobs.size()),
        static_cast<int>(std::max<std::int64_t>(1, CeilDiv64(kMinPixelsPerThread, n))),
        [&](int begin, int end) {
          thread_local RowScratch scratch;
          scratch.Size(n);
          MapJobs(m, jobs.data() + begin, static_cast<std::size_t>(end - begin), scratch);
        },
        threads);
    for (int token : srcTokens) image->Unlock(token);
    for (int token : dstTokens) vm->UnlockRow(token);
    srcTokens.clear();
    dstTokens.clear();
    done(chunkStart, y);
    if (report)
      for (int r = chunkStart; r < y; ++r) image->ShowProgress(1);
  }
  // Rows the image does not reach are done too.
  done(yEnd, y1);
  if (report)
    for (int r = yEnd; r < y1; ++r) image->ShowProgress(1);
}

void CImageBuffer::Update(CRalImage* image, const RECT* area, int showProgress) {
  m_pImage = image;
  m_bShowProgress = showProgress;
  const int W = m_pBitmap->GetWidth(), H = m_pBitmap->GetHeight();
  if (W <= 0 || H <= 0) {
    m_nFirstColumn = m_nEndColumn = m_nFirstRow = m_nEndRow = 0;
  } else if (area) {
    m_nFirstColumn = std::min(std::max(area->left, 0), W - 1);
    m_nEndColumn = std::min(std::max(area->right, 0), W);
    m_nFirstRow = std::min(std::max(area->top, 0), H - 1);
    m_nEndRow = std::min(std::max(area->bottom, 0), H);
  } else {
    m_nFirstColumn = 0;
    m_nEndColumn = W;
    m_nFirstRow = 0;
    m_nEndRow = H;
  }
  FillLevelCache();
  if (!image) return;

  image->ShowProgressInit(showProgress, kProgressCaption, std::max(m_nEndRow - m_nFirstRow, 0));
  if (m_pReduced && m_nEndRow > m_nFirstRow) {
    const int k = m_nReduction;
    m_ReducedDirty.Mark(m_nFirstRow / k, static_cast<int>(CeilDiv64(m_nEndRow, k)));
  }
  if (W > 0 && H > 0) {
    if (m_FullDirty.Height() != H || m_FullDirty.Width() != W) m_FullDirty.Reset(W, H);
    MapRows(*m_pBitmap, 1, m_nFirstRow, m_nEndRow, m_nFirstColumn, m_nEndColumn, showProgress,
            &m_FullDirty);
  }
  if (showProgress) image->ShowProgressEnd();
}

void CImageBuffer::UpdateShown(CRalImage* image, const RECT* area, int showProgress) {
  const int mag = ViewMag();
  if (!m_bVm || mag >= 1 || !image) {
    Update(image, area, showProgress);
    return;
  }
  // Clamped as Update clamps it.
  m_pImage = image;
  m_bShowProgress = showProgress;
  const int W = m_pBitmap->GetWidth(), H = m_pBitmap->GetHeight();
  if (W <= 0 || H <= 0) return;
  m_nFirstColumn = area ? std::min(std::max(area->left, 0), W - 1) : 0;
  m_nEndColumn = area ? std::min(std::max(area->right, 0), W) : W;
  m_nFirstRow = area ? std::min(std::max(area->top, 0), H - 1) : 0;
  m_nEndRow = area ? std::min(std::max(area->bottom, 0), H) : H;
  FillLevelCache();
  // Below code 1 the view shows the reduced bitmap: only its rows are built now.
  CBaseDIB* reduced = EnsureReduced(2 - mag);
  if (reduced) {
    const int k = m_nReduction;
    const int ry0 = m_nFirstRow / k;
    const int ry1 = static_cast<int>(CeilDiv64(m_nEndRow, k));
    image->ShowProgressInit(showProgress, kProgressCaption, std::max(ry1 - ry0, 0));
    // The full bitmap's rows there are built when next shown.
    if (m_FullDirty.Height() != H || m_FullDirty.Width() != W) m_FullDirty.Reset(W, H);
    m_FullDirty.Mark(m_nFirstRow, m_nEndRow);
    MapRows(*reduced, k, ry0, ry1, m_nFirstColumn / k, static_cast<int>(CeilDiv64(m_nEndColumn, k)),
            showProgress, &m_ReducedDirty);
    if (showProgress) image->ShowProgressEnd();
    return;
  }

  Update(image, area, showProgress);
}

// ---------------------------------------------------------------------------------------
// Building on demand

void CImageBuffer::Invalidate(CRalImage* image, const RECT* area) {
  m_pImage = image;
  const int W = m_pBitmap->GetWidth(), H = m_pBitmap->GetHeight();
  if (H <= 0) return;
  if (m_FullDirty.Height() != H || m_FullDirty.Width() != W) m_FullDirty.Reset(W, H);
  const int top = area ? std::clamp(area->top, 0, H) : 0;
  const int bottom = area ? std::clamp(area->bottom, 0, H) : H;
  if (bottom <= top) return;
  m_FullDirty.Mark(top, bottom);
  if (m_pReduced) {
    const int k = m_nReduction;
    m_ReducedDirty.Mark(top / k, static_cast<int>(CeilDiv64(bottom, k)));
  }
}

CBaseDIB* CImageBuffer::EnsureReduced(int k) {
  if (m_pReduced && m_nReduction == k && !m_pReduced->IsEmpty()) return m_pReduced.get();
  m_pReduced.reset();
  m_ReducedDirty.Clear();
  const int W = m_pBitmap->GetWidth(), H = m_pBitmap->GetHeight();
  if (!m_pImage || W <= 0 || H <= 0 || k < 2) return nullptr;
  const int rw = static_cast<int>(CeilDiv64(W, k)), rh = static_cast<int>(CeilDiv64(H, k));
  std::unique_ptr<CBaseDIB> dib;
  if (m_bVm)
    dib = std::make_unique<CVmDIB>();
  else
    dib = std::make_unique<CMemoryDIB>();
  try {
    const int ok = m_nScreenBits == 8 ? dib->Create(8, rw, rh, m_Entries.data(), 1)
                                      : dib->Create(m_nScreenBits, rw, rh, 1);
    if (!ok) return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  m_pReduced = std::move(dib);
  m_nReduction = k;
  m_ReducedDirty.Reset(rw, rh);
  return m_pReduced.get();
}

void CImageBuffer::BuildDirty(CBaseDIB& dib, int step, CDirtyRows& dirty, int y0, int y1, int x0,
                              int x1) {
  const std::uint64_t wanted = dirty.Reach(x0, x1);
  if (!wanted) return;
  y0 = std::clamp(y0, 0, dirty.Height());
  y1 = std::clamp(y1, 0, dirty.Height());
  for (int y = y0; y < y1;) {
    if (!dirty.IsDirty(y, wanted)) {
      ++y;
      continue;
    }
    // A run of rows out of date over the wanted stripes, built over the stripes any of
    // them needs (one that was built already is built again to the same pixels).
    std::uint64_t need = dirty.At(y) & wanted;
    int end = y + 1;
    while (end < y1 && dirty.IsDirty(end, wanted)) need |= dirty.At(end++) & wanted;
    MapRows(dib, step, y, end, dirty.First(need), dirty.End(need), -1, &dirty);
    y = end;
  }
}

void CImageBuffer::Prepare(const RECT* area) {
  const int W = m_pBitmap->GetWidth(), H = m_pBitmap->GetHeight();
  if (!m_pImage || W <= 0 || H <= 0) return;
  if (m_FullDirty.Height() != H || m_FullDirty.Width() != W) m_FullDirty.Reset(W, H);
  RECT a = area ? *area : m_pView ? m_pView->GetVisibleImageRect() : RECT{0, 0, W, H};
  const int mag = ViewMag();
  if (m_bVm && mag < 1) {
    if (CBaseDIB* reduced = EnsureReduced(2 - mag)) {
      const int k = m_nReduction;
      BuildDirty(*reduced, k, m_ReducedDirty, a.top / std::max(k, 1),
                 static_cast<int>(CeilDiv64(a.bottom, k)), a.left / std::max(k, 1),
                 static_cast<int>(CeilDiv64(a.right, k)));
      return;
    }
  }
  BuildDirty(*m_pBitmap, 1, m_FullDirty, a.top, a.bottom, a.left, a.right);
}

void CImageBuffer::BuildAll(const RECT* area) {
  const int W = m_pBitmap->GetWidth(), H = m_pBitmap->GetHeight();
  if (!m_pImage || H <= 0) return;
  if (m_FullDirty.Height() != H || m_FullDirty.Width() != W) m_FullDirty.Reset(W, H);
  BuildDirty(*m_pBitmap, 1, m_FullDirty, area ? area->top : 0, area ? area->bottom : H,
             area ? area->left : 0, area ? area->right : W);
}

int CImageBuffer::BuildIdle(std::int64_t maxPixels) {
  const int W = m_pBitmap->GetWidth(), H = m_pBitmap->GetHeight();
  if (!m_pImage || !m_pView || W <= 0 || H <= 0) return 0;
  if (m_FullDirty.Height() != H || m_FullDirty.Width() != W) m_FullDirty.Reset(W, H);
  const int mag = ViewMag();
  CBaseDIB* dib = m_pBitmap.get();
  CDirtyRows* dirty = &m_FullDirty;
  int k = 1;
  if (m_bVm && mag < 1) {
    if (CBaseDIB* reduced = EnsureReduced(2 - mag)) {
      dib = reduced;
      dirty = &m_ReducedDirty;
      k = m_nReduction;
    }
  }
  const RECT vis = m_pView->GetVisibleImageRect();
  const int rows = dirty->Height();
  const int top = std::clamp(vis.top / k, 0, rows);
  const int bottom = std::clamp(static_cast<int>(CeilDiv64(vis.bottom, k)), top, rows);
  // Only the visible columns: the others are built when scrolled into view, so that a
  // wide image keeps out of memory the parts of its bitmap nobody looked at.
  const std::uint64_t wanted =
      dirty->Reach(vis.left / k, static_cast<int>(CeilDiv64(vis.right, k)));
  if (!wanted) return 0;
  const int reach = std::max(bottom - top, 1);
  const int lo = std::max(top - reach, 0), hi = std::min(bottom + reach, rows);
  // The out-of-date row nearest the visible rows; the run from it grows away from them.
  int best = -1, bestDistance = INT_MAX;
  for (int y = lo; y < hi; ++y) {
    if (!dirty->IsDirty(y, wanted)) continue;
    const int d = y < top ? top - y : y >= bottom ? y - bottom + 1 : 0;
    if (d < bestDistance || (d == bestDistance && y >= bottom)) {
      best = y;
      bestDistance = d;
    }
  }
  if (best < 0) return 0;
  const int span = std::max(dirty->End(wanted) - dirty->First(wanted), 1);
  const int budget =
      static_cast<int>(std::clamp<std::int64_t>(maxPixels / span, 1, std::max(hi - lo, 1)));
  int first = best, end = best + 1;
  std::uint64_t need = dirty->At(best) & wanted;
  if (best < top) {
    while (first > lo && end - first < budget && dirty->IsDirty(first - 1, wanted))
      need |= dirty->At(--first) & wanted;
  } else {
    while (end < hi && end - first < budget && dirty->IsDirty(end, wanted))
      need |= dirty->At(end++) & wanted;
  }
  MapRows(*dib, k, first, end, dirty->First(need), dirty->End(need), -1, dirty);
  for (int y = lo; y < hi; ++y)
    if (dirty->IsDirty(y, wanted)) return 1;
  return 0;
}

int CImageBuffer::GetPendingRows() const {
  return m_FullDirty.Pending();
}

int CImageBuffer::GetPendingReducedRows() const {
  return m_ReducedDirty.Pending();
}

// ---------------------------------------------------------------------------------------
// Screen geometry

void CImageBuffer::SetViewInfo(CViewInfo* view) {
  m_pView = view;
}

void CImageBuffer::UpdateClientSize(int width, int height) {
  m_nClientWidth = std::max(width, 0);
  m_nClientHeight = std::max(height, 0);
}

void CImageBuffer::SetScrollOffset(int x, int y) {
  m_nScrollX = x;
  m_nScrollY = y;
}

CImageBuffer::Geometry CImageBuffer::GetGeometry() const {
  Geometry g;
  g.mag = m_pView ? m_pView->GetMag() : 1;
  int w = m_pBitmap->GetWidth(), h = m_pBitmap->GetHeight();
  if ((w <= 0 || h <= 0) && m_pImage) {
    w = m_pImage->GetWidth();
    h = m_pImage->GetHeight();
  }
  const int m = g.mag;
  auto reduce = [m](int n) { return m < 1 ? (n + (2 - m) - 1) / (2 - m) : n; };
  g.reduced = {reduce(w), reduce(h)};
  g.render = m >= 2 ? SIZE{ClampInt(std::int64_t{g.reduced.cx} * m),
                           ClampInt(std::int64_t{g.reduced.cy} * m)}
                    : g.reduced;
  g.offsetX = std::max((m_nClientWidth - g.render.cx) / 2, 0);
  g.offsetY = std::max((m_nClientHeight - g.render.cy) / 2, 0);
  return g;
}

SIZE CImageBuffer::GetRenderSize() const {
  return GetGeometry().render;
}
SIZE CImageBuffer::GetReducedSize() const {
  return GetGeometry().reduced;
}

POINT CImageBuffer::CalcScreenPt(POINT p) const {
  const Geometry g = GetGeometry();
  const int m = g.mag;
  auto axis = [m](int v, int offset, int scroll) {
    const std::int64_t s = m >= 1 ? std::int64_t{v} * m + (m - 1) / 2 : FloorDiv(v, 2 - m);
    return ClampInt(s + offset - scroll);
  };
  return {axis(p.x, g.offsetX, m_nScrollX), axis(p.y, g.offsetY, m_nScrollY)};
}

POINT CImageBuffer::CalcScreenPt(double x, double y) const {
  const Geometry g = GetGeometry();
  const int m = g.mag;
  auto axis = [m](double v, int offset, int scroll) {
    if (!std::isfinite(v)) return offset - scroll;
    std::int64_t s;
    if (m < 1) {
      const double t = std::trunc(std::clamp(v + 0.5, -1e15, 1e15));
      s = FloorDiv(static_cast<std::int64_t>(t), 2 - m);
    } else {
      s = static_cast<std::int64_t>(std::trunc(std::clamp(v * m, -1e15, 1e15))) + (m - 1) / 2;
    }
    return ClampInt(s + offset - scroll);
  };
  return {axis(x, g.offsetX, m_nScrollX), axis(y, g.offsetY, m_nScrollY)};
}

int CImageBuffer::CalcScreenPtLeft(int x, int) const {
  const Geometry g = GetGeometry();
  const int m = g.mag;
  const std::int64_t s = m >= 1 ? std::int64_t{x} * m : FloorDiv(x, 2 - m);
  return ClampInt(s + g.offsetX - m_nScrollX);
}

int CImageBuffer::CalcScreenPtRight(int x, int) const {
  const Geometry g = GetGeometry();
  const int m = g.mag;
  const std::int64_t s = m >= 1 ? (std::int64_t{x} + 1) * m - 1 : FloorDiv(x, 2 - m);
  return ClampInt(s + g.offsetX - m_nScrollX);
}

int CImageBuffer::CalcScreenPtTop(int, int y) const {
  const Geometry g = GetGeometry();
  const int m = g.mag;
  const std::int64_t s = m >= 1 ? std::int64_t{y} * m : FloorDiv(y, 2 - m);
  return ClampInt(s + g.offsetY - m_nScrollY);
}

int CImageBuffer::CalcScreenPtBottom(int, int y) const {
  const Geometry g = GetGeometry();
  const int m = g.mag;
  const std::int64_t s = m >= 1 ? (std::int64_t{y} + 1) * m - 1 : FloorDiv(y, 2 - m);
  return ClampInt(s + g.offsetY - m_nScrollY);
}

POINT CImageBuffer::CalcCenteringScrollPos(POINT p) const {
  const Geometry g = GetGeometry();
  const double f = CViewInfo::nMagTofMag(g.mag);
  auto axis = [f](int v, int render, int client) {
    if (render <= client) return 0;
    return ClampInt(static_cast<std::int64_t>(std::trunc(v * f - client / 2)));
  };
  return {axis(p.x, g.render.cx, m_nClientWidth), axis(p.y, g.render.cy, m_nClientHeight)};
}

int CImageBuffer::OnGetSelectedRect(RECT* rect) const {
  if (rect) *rect = {0, 0, m_pBitmap->GetWidth(), m_pBitmap->GetHeight()};
  return -1;
}
