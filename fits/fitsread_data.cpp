// The FITS reader's data-array step: the rows of the planes read into the image's store
// a run at a time, their byte order reversed and the range of each plane gathered as they
// come in, and the scaling folded into physical values while reading when asked (64-bit
// integers always, into doubles).
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "fits/byteorder.h"
#include "fits/fits.h"
#include "fits/fitscards.h"
#include "fits/fitsread_internal.h"
#include "imagemodel/image.h"
#include "imagemodel/pixelfold.h"
#include "imagemodel/pixeltype.h"
#include "imagemodel/rowpool.h"
#include "imagemodel/vmimage.h"
#include "platform/memhints.h"
#include "platform/progress.h"

using namespace fitscards;

namespace fitsread {

namespace {

// How many rows one vectored read may carry.
constexpr int kMaxRowsPerRead = 1024;

// 2^53: from here on, doubles no longer hold every integer.
constexpr double kExactIntegerLimit = 9007199254740992.0;

// How the data-array step keeps the range of each plane, so that the levels equal those
// of SetDefaultLevel without a second pass over the pixels: in raw values when the
// scaling is finite, not zero, and no blank is in use (one comparison per pixel, the
// extremes scaled at the end, as the scaling is monotonic), else in physical values with
// blanks skipped. Either way the result is that of comparing every physical value with
// limits that start at the largest finite doubles, as CImage::GetMinMax does.
struct RangeRule {
  bool wanted = false;
  bool perPixel = false;
  double bscale = 1.0, bzero = 0.0;
  bool blank = false;
  int blankValue = 0;
};

// Raw range of a row, NaN skipped; lo and hi start at the previous values.
template <typename T>
void RawRange(const T* p, int n, T& lo, T& hi) {
  T l = lo, h = hi;
  for (int i = 0; i < n; ++i) {
    const T v = p[i];
    l = v < l ? v : l;
    h = v > h ? v : h;
  }
  lo = l;
  hi = h;
}

#if defined(__SSE2__)
// For reals the compiler may not reorder the comparisons above (NaN, signed zeros), so
// they are done four or two lanes at a time by hand: MINPS and MAXPS return their second
// operand when the first is NaN, exactly as the scalar form does. Only the choice between
// -0.0 and +0.0 may differ from a pixel-by-pixel scan.
template <>
void RawRange<float>(const float* p, int n, float& lo, float& hi) {
  __m128 l = _mm_set1_ps(lo), h = _mm_set1_ps(hi);
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 v = _mm_loadu_ps(p + i);
    l = _mm_min_ps(v, l);
    h = _mm_max_ps(v, h);
  }
  alignas(16) float ls[4], hs[4];
  _mm_store_ps(ls, l);
  _mm_store_ps(hs, h);
  float a = lo, b = hi;
  for (int k = 0; k < 4; ++k) {
    a = ls[k] < a ? ls[k] : a;
    b = hs[k] > b ? hs[k] : b;
  }
  for (; i < n; ++i) {
    a = p[i] < a ? p[i] : a;
    b = p[i] > b ? p[i] : b;
  }
  lo = a;
  hi = b;
}

template <>
void RawRange<double>(const double* p, int n, double& lo, double& hi) {
  __m128d l = _mm_set1_pd(lo), h = _mm_set1_pd(hi);
  int i = 0;
  for (; i + 2 <= n; i += 2) {
    const __m128d v = _mm_loadu_pd(p + i);
    l = _mm_min_pd(v, l);
    h = _mm_max_pd(v, h);
  }
  alignas(16) double ls[2], hs[2];
  _mm_store_pd(ls, l);
  _mm_store_pd(hs, h);
  double a = lo, b = hi;
  for (int k = 0; k < 2; ++k) {
    a = ls[k] < a ? ls[k] : a;
    b = hs[k] > b ? hs[k] : b;
  }
  for (; i < n; ++i) {
    a = p[i] < a ? p[i] : a;
    b = p[i] > b ? p[i] : b;
  }
  lo = a;
  hi = b;
}
#endif

template <typename T>
void PhysicalRange(const T* p, int n, const RangeRule& rule, PlaneRange& range) {
  for (int i = 0; i < n; ++i) {
    // Blank pixels are those whose stored value is the blank value.
    if (pixeltype::IsBlankStored(p[i], rule.blank, rule.blankValue)) continue;
    const double v = static_cast<double>(p[i]) * rule.bscale + rule.bzero;
    if (v < range.min) range.min = v;
    if (v > range.max) range.max = v;
  }
}

// Reverses the byte order of one row in place and widens the plane's range by its
// values. T is the stored pixel type, U the unsigned type of the same size.
template <typename T, typename U>
struct RowWork {
  T lo = std::numeric_limits<T>::has_infinity ? std::numeric_limits<T>::infinity()
                                              : std::numeric_limits<T>::max();
  T hi = std::numeric_limits<T>::has_infinity ? -std::numeric_limits<T>::infinity()
                                              : std::numeric_limits<T>::lowest();
  bool any = false;

  void Row(void* row, int n, bool reverse, const RangeRule& rule, PlaneRange& range) {
    if constexpr (sizeof(T) > 1) {
      if (reverse) fitsbytes::ReverseRun<U>(row, static_cast<std::size_t>(n));
    }
    if (!rule.wanted) return;
    const T* p = static_cast<const T*>(row);
    if (rule.perPixel) {
      PhysicalRange(p, n, rule, range);
    } else {
      RawRange(p, n, lo, hi);
      any = true;
    }
  }

  // Takes the range of rows that came after this one's (ties keep the earlier value).
  void Merge(const RowWork& o) {
    lo = o.lo < lo ? o.lo : lo;
    hi = o.hi > hi ? o.hi : hi;
    any = any || o.any;
  }

  // Folds the raw range into physical values (the scaling is finite and not zero here).
  void Finish(const RangeRule& rule, PlaneRange& range) const {
    if (!rule.wanted || rule.perPixel || !any) return;
    // A float plane whose pixels are all NaN leaves the range untouched.
    if (!(lo <= hi)) return;
    const double a = static_cast<double>(lo) * rule.bscale + rule.bzero;
    const double b = static_cast<double>(hi) * rule.bscale + rule.bzero;
    range.min = std::min(range.min, rule.bscale > 0 ? a : b);
    range.max = std::max(range.max, rule.bscale > 0 ? b : a);
  }
};

// Calls f with a RowWork of the stored type of the image's pixels.
template <typename F>
bool WithRowWork(int bits, int isSigned, F&& f) {
  switch (bits) {
    case 8: {
      RowWork<std::uint8_t, std::uint8_t> w;
      return f(w);
    }
    case 16:
      if (isSigned) {
        RowWork<std::int16_t, std::uint16_t> w;
        return f(w);
      } else {
        RowWork<std::uint16_t, std::uint16_t> w;
        return f(w);
      }
    case 32:
      if (isSigned) {
        RowWork<std::int32_t, std::uint32_t> w;
        return f(w);
      } else {
        RowWork<std::uint32_t, std::uint32_t> w;
        return f(w);
      }
    case -32: {
      RowWork<float, std::uint32_t> w;
      return f(w);
    }
    case -64: {
      RowWork<double, std::uint64_t> w;
      return f(w);
    }
    case 64: {
      RowWork<std::int64_t, std::uint64_t> w;
      return f(w);
    }
    default:
      return false;
  }
}

// Reading with the scaling folded in: the rows of the file come into a buffer of about
// this many bytes, and from there into the image's store as physical values.
constexpr std::size_t kFoldBufferBytes = std::size_t{4} << 20;
constexpr int kFoldBlocks = 16;
constexpr int kFoldRowsPerThread = 4;

// The pixel type a fold into `foldBits` (-32 or -64) takes for stored pixels of this type
// and scaling, 0 when the pixels are read as they are stored (real pixels unscaled and of
// the type asked for). *check is set when 32-bit floats may not hold every value, so that
// each row is looked at as it comes in.
int FoldTarget(int bits, int isSigned, double bscale, double bzero, int foldBits, bool* check) {
  *check = false;
  // 64-bit integers always go into doubles, the widest type an image has.
  if (bits == 64) return -64;
  if (foldBits != -32 && foldBits != -64) return 0;
  const bool real = bits == -32 || bits == -64;
  const bool scaled = bscale != 1.0 || bzero != 0.0;
  if (foldBits == -32)
    pixeltype::WithPixelType(bits, isSigned, [&](auto zero) {
      *check = !pixelfold::FloatsHoldWithoutLooking<decltype(zero)>(bscale, bzero);
    });
  if (real && !scaled && foldBits == bits && !*check) return 0;
  return foldBits;
}

// Folds a row of 64-bit integers into doubles and tells whether every value came out
// exact. With a whole-number offset and no scale (the unsigned convention, BZERO = 2^63,
// among them) the sum is taken in 128-bit integers and rounded once, as an exact sum
// would be; otherwise raw × bscale + bzero in doubles, exact while within 2^53.
bool FoldInt64Row(const std::int64_t* raw, int n, double bscale, double bzero, bool blankUsed,
                  int blank, double* out) {
  bool exact = true;
  const bool whole = bscale == 1.0 && bzero == std::trunc(bzero) && std::fabs(bzero) <= 0x1p64;
  const auto offset = whole ? static_cast<__int128>(bzero) : 0;
  for (int x = 0; x < n; ++x) {
    if (blankUsed && raw[x] == blank) {
      out[x] = std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    if (whole) {
      const __int128 sum = static_cast<__int128>(raw[x]) + offset;
      out[x] = static_cast<double>(sum);
      // Doubles up to 2^65 in size convert back to 128-bit integers without overflow.
      exact = exact && static_cast<__int128>(out[x]) == sum;
    } else {
      out[x] = static_cast<double>(raw[x]) * bscale + bzero;
      exact = exact && std::fabs(static_cast<double>(raw[x])) <= kExactIntegerLimit &&
              std::fabs(out[x]) <= kExactIntegerLimit;
    }
  }
  return exact;
}

}  // namespace

thread_local bool g_int64Rounded = false;

int ReadImageStep(CImage& img, int fd, bool reverse, bool bottomUp, int color, int plane0,
                  int plane1, int plane2, ProgressSink* progress, const std::string& caption,
                  bool wantRanges, ImageStepResult* result, int foldBits) {
  const int filePlanes = img.GetPlanes();
  if (!IsFileType(img.GetBitsPixel()) || img.GetWidth() <= 0 || img.GetHeight() <= 0 ||
      filePlanes <= 0)
    return FITS_INVALID_IMAGE;

  std::vector<int> source;
  bool reordered = false;
  if (filePlanes > 1) {
    if (color) {
      source = {plane0, plane1, plane2};
      reordered = !(plane0 == 0 && plane1 == 1 && plane2 == 2);
    } else {
      source = {plane0};
      reordered = true;
    }
    for (int p : source)
      if (p < 0 || p >= filePlanes) return FITS_INVALID_IMAGE;
    img.SetPlanes(static_cast<int>(source.size()));
  } else {
    source = {0};
  }
  const bool rgbReordered = img.IsSITypeRGB() && reordered;
  if (rgbReordered) img.SetSITypeRGB(0);

  // Sizes: the whole data array the header declares must lie inside the file before the
  // store is made, so that a small file cannot claim a huge image.
  bool regular = false;
  const std::uint64_t fileSize = FileSize(fd, &regular);
  if (!regular) return FITS_READ_FAILED;
  const off_t here = ::lseek(fd, 0, SEEK_CUR);
  if (here < 0) return FITS_READ_FAILED;
  const auto dataStart = static_cast<std::uint64_t>(here);
  const int height = img.GetHeight();
  const int rows = img.GetFirstFits() ? 1 : height;
  std::uint64_t rowBytes = 0, planeBytes = 0, dataEnd = 0;
  if (!MulOk(static_cast<std::uint64_t>(img.GetWidth()),
             static_cast<std::uint64_t>(img.GetBytesPixel()), &rowBytes) ||
      !MulOk(rowBytes, static_cast<std::uint64_t>(rows), &planeBytes) ||
      !MulOk(planeBytes, static_cast<std::uint64_t>(filePlanes), &dataEnd) ||
      !AddOk(dataEnd, dataStart, &dataEnd) ||
      dataEnd > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
    return FITS_INVALID_IMAGE;
  if (dataEnd > fileSize) return FITS_READ_FAILED;

  const int fileBits = img.GetBitsPixel(), fileSigned = img.IsSigned();
  bool checkFloats = false;
  const int foldTarget =
      FoldTarget(fileBits, fileSigned, img.GetBscale(), img.GetBzero(), foldBits, &checkFloats);
  if (foldTarget) img.SetBitsPixel(foldTarget);
  // Every pixel is read into place below (a file too short was refused above), so the
  // store need not be cleared first.
  if (!img.AllocImage(nullptr, {}, false)) {
    img.SetBitsPixel(fileBits);
    return FITS_NO_MEMORY;
  }
  img.SetBitsPixel(fileBits);
  CVmImage* store = img.GetStore();
  const int rowsPerBlock = store->GetRowsPerBlock();
  const std::size_t stride = store->GetStride();
  const int imagePlanes = img.GetPlanes();
  const int width = img.GetWidth();

  RangeRule rule;
  rule.wanted = wantRanges;
  rule.bscale = img.GetBscale();
  rule.bzero = img.GetBzero();
  rule.blank = img.IsBlankUsed() != 0;
  rule.blankValue = img.GetBlank();
  rule.perPixel =
      rule.blank || !std::isfinite(rule.bscale) || rule.bscale == 0.0 || !std::isfinite(rule.bzero);
  std::vector<PlaneRange> ranges(static_cast<std::size_t>(imagePlanes));

  ProgressScope scope(progress, caption);
  const std::int64_t totalRows = static_cast<std::int64_t>(imagePlanes) * rows;
  std::vector<iovec> iov(kMaxRowsPerRead);
  auto imageRow = [&](int fileRow) { return bottomUp ? height - 1 - fileRow : fileRow; };

  const std::size_t imageRowBytes =
      static_cast<std::size_t>(width) *
      static_cast<std::size_t>(foldTarget ? -foldTarget / 8 : img.GetBytesPixel());
  bool floatsHold = true;
  std::atomic<bool> rounded{false};
  std::atomic<bool> sawBlank{false};
  std::vector<std::uint8_t> staging;
  if (foldTarget)
    staging.resize(std::max<std::size_t>(static_cast<std::size_t>(rowBytes),
                                         kFoldBufferBytes / rowBytes * rowBytes));
  // One plane folded as it is read: a run of file rows into the buffer with one read,
  // then each row byte-swapped, measured and folded into its pinned image row, the rows
  // shared among the pool's threads. Ranges are gathered per share and joined in row
  // order, so they do not depend on how many threads there were.
  auto foldPlane = [&](auto& work, int k, std::uint64_t planeStart) {
    using Work = std::remove_reference_t<decltype(work)>;
    using T = std::remove_cv_t<std::remove_reference_t<decltype(work.lo)>>;
    const double bscale = img.GetBscale(), bzero = img.GetBzero();
    const bool blankUsed = img.IsBlankUsed() != 0;
    const int blank = img.GetBlank();
    const int batch = static_cast<int>(staging.size() / rowBytes);
    CRowPins pins(*store, 0);
    int r = 0;
    while (r < rows) {
      int n = std::min(batch, rows - r);
      int y0 = 0;
      for (;;) {
        y0 = bottomUp ? imageRow(r + n - 1) : imageRow(r);
        const int pinned = pins.Pin(k, y0, n, kFoldBlocks);
        if (pinned <= 0) return false;
        if (pinned >= n) break;
        n = pinned;
      }
      const std::size_t bytes = static_cast<std::size_t>(n) * static_cast<std::size_t>(rowBytes);
      const std::uint64_t at = planeStart + static_cast<std::uint64_t>(r) * rowBytes;
      if (!DataReady(at + bytes) || !ReadDataAt(fd, staging.data(), bytes, at)) return false;
      struct Share {
        int begin;
        Work work;
        PlaneRange range;
      };
      std::vector<Share> shares;
      std::mutex joining;
      std::atomic<bool> holds{true};
      rowpool::Run(n, kFoldRowsPerThread, [&](int b, int e) {
        Share mine{b, Work{}, PlaneRange{}};
        // The share's rows lie in runs within blocks: their pages are mapped in one call
        // per run, on this thread, instead of one fault per page while folding.
        for (int i = b; i < e;) {
          auto* first = static_cast<std::uint8_t*>(pins.Row(imageRow(r + i) - y0));
          int j = i + 1;
          while (j < e &&
                 static_cast<std::uint8_t*>(pins.Row(imageRow(r + j) - y0)) ==
                     first + (bottomUp ? -1 : 1) * static_cast<std::ptrdiff_t>((j - i) * stride))
            ++j;
          const std::ptrdiff_t span =
              static_cast<std::ptrdiff_t>(j - i - 1) * static_cast<std::ptrdiff_t>(stride);
          PrefaultForWrite(
              bottomUp ? first - span : first,
              static_cast<std::size_t>(span) + static_cast<std::size_t>(imageRowBytes));
          i = j;
        }
        for (int i = b; i < e; ++i) {
          std::uint8_t* raw = staging.data() + static_cast<std::size_t>(i) * rowBytes;
          mine.work.Row(raw, width, reverse, rule, mine.range);
          const T* values = reinterpret_cast<const T*>(raw);
          if constexpr (std::is_same_v<T, std::int64_t>) {
            if (!FoldInt64Row(values, width, bscale, bzero, blankUsed, blank,
                              static_cast<double*>(pins.Row(imageRow(r + i) - y0))))
              rounded.store(true, std::memory_order_relaxed);
            continue;
          }
          if (checkFloats &&
              !pixelfold::FloatsHoldRow(values, width, bscale, bzero, blankUsed, blank))
            holds.store(false, std::memory_order_relaxed);
          void* out = pins.Row(imageRow(r + i) - y0);
          // Blank pixels come out as NaN; whether there were any decides how a save that
          // writes the stored values back declares its blank value.
          auto fold = [&](auto* to) {
            pixelfold::FoldRow(values, width, bscale, bzero, blankUsed, blank, to);
            if (blankUsed && !sawBlank.load(std::memory_order_relaxed) &&
                std::any_of(to, to + width, [](auto v) { return v != v; }))
              sawBlank.store(true, std::memory_order_relaxed);
          };
          if (foldTarget == -32)
            fold(static_cast<float*>(out));
          else
            fold(static_cast<double*>(out));
        }
        std::lock_guard<std::mutex> lock(joining);
        shares.push_back(std::move(mine));
      });
      pins.Release();
      if (!holds.load()) {
        floatsHold = false;
        return false;
      }
      std::sort(shares.begin(), shares.end(),
                [](const Share& a, const Share& b) { return a.begin < b.begin; });
      for (const Share& share : shares) {
        work.Merge(share.work);
        ranges[static_cast<std::size_t>(k)].Merge(share.range);
      }
      r += n;
      scope.Update(static_cast<std::int64_t>(k) * rows + r, totalRows);
    }
    return true;
  };

  const bool ok = WithRowWork(fileBits, fileSigned, [&](auto& work) {
    for (int k = 0; k < imagePlanes; ++k) {
      work = std::remove_reference_t<decltype(work)>{};
      const std::uint64_t planeStart =
          dataStart + static_cast<std::uint64_t>(source[static_cast<std::size_t>(k)]) * planeBytes;
      int r = foldTarget ? rows : 0;
      if (foldTarget && !foldPlane(work, k, planeStart)) return false;
      while (r < rows) {
        // A run of file rows whose image rows share one block: one vectored read.
        const int y0 = imageRow(r);
        const std::int64_t storeRow0 = y0 + static_cast<std::int64_t>(k) * height;
        const std::int64_t block = storeRow0 / rowsPerBlock;
        int n = 1;
        while (n < kMaxRowsPerRead && r + n < rows &&
               (imageRow(r + n) + static_cast<std::int64_t>(k) * height) / rowsPerBlock == block)
          ++n;
        int token = -1;
        auto* base = static_cast<std::uint8_t*>(img.GetImageAdr(0, y0, k, IMG_LOCK, &token));
        if (!base) return false;
        for (int i = 0; i < n; ++i) {
          iov[static_cast<std::size_t>(i)].iov_base =
              base + static_cast<std::ptrdiff_t>(imageRow(r + i) - y0) *
                         static_cast<std::ptrdiff_t>(stride);
          iov[static_cast<std::size_t>(i)].iov_len = static_cast<std::size_t>(rowBytes);
        }
        PrefaultForWrite(
            base + static_cast<std::ptrdiff_t>(std::min(imageRow(r), imageRow(r + n - 1)) - y0) *
                       static_cast<std::ptrdiff_t>(stride),
            static_cast<std::size_t>(n) * stride);
        const std::uint64_t at = planeStart + static_cast<std::uint64_t>(r) * rowBytes;
        const bool got = DataReady(at + static_cast<std::uint64_t>(n) * rowBytes) &&
                         ReadDataVectorAt(fd, iov.data(), n, at);
        if (got) {
          for (int i = 0; i < n; ++i) {
            work.Row(base + static_cast<std::ptrdiff_t>(imageRow(r + i) - y0) *
                                static_cast<std::ptrdiff_t>(stride),
                     width, reverse, rule, ranges[static_cast<std::size_t>(k)]);
            scope.Update(static_cast<std::int64_t>(k) * rows + r + i + 1, totalRows);
          }
        }
        img.Unlock(token);
        if (!got) return false;
        r += n;
      }
      work.Finish(rule, ranges[static_cast<std::size_t>(k)]);
      if (rows == 1 && height > 1) {
        // A one-dimensional image: its single row is repeated down the plane.
        const int from = imageRow(0);
        int token = -1;
        auto* src = static_cast<std::uint8_t*>(img.GetImageAdr(0, from, k, IMG_LOCK, &token));
        if (!src) return false;
        bool copied = true;
        for (int y = 0; y < height && copied; ++y) {
          if (y == from) continue;
          void* dst = img.GetImageAdr(0, y, k);
          if (!dst)
            copied = false;
          else
            std::memcpy(dst, src, imageRowBytes);
        }
        img.Unlock(token);
        if (!copied) return false;
      }
    }
    return true;
  });
  scope.Finish();
  if (!ok) return floatsHold ? FITS_READ_FAILED : FITS_FOLD_NEEDS_DOUBLES;

  if (foldTarget) {
    // The image now holds physical values; the file's scaling and blank value are kept
    // for a save that writes the data back as they were stored.
    // 64-bit integers have no stored form to go back to: they are saved as doubles.
    const bool integer = fileBits > 0 && fileBits != 64;
    if ((img.GetBscale() != 1.0 || img.GetBzero() != 0.0) && fileBits != 64)
      img.SetOrgScaling(img.GetBscale(), img.GetBzero());
    if (integer && img.IsBlankUsed()) img.SetOrgBlank(1, img.GetBlank());
    if (rounded.load()) g_int64Rounded = true;
    img.SetBitsPixel(foldTarget);
    img.SetBscale(1.0);
    img.SetBzero(0.0);
    img.SetBlankUsed(0);
    img.SetBlank(0);
  }

  // Behind the data array of every file plane, where the extensions begin.
  ::lseek(fd, static_cast<off_t>(dataEnd), SEEK_SET);

  if (result) {
    result->source = std::move(source);
    result->rgbReordered = rgbReordered;
    result->ranges = std::move(ranges);
    result->dataStart = dataStart;
    result->dataEnd = dataEnd;
    result->folded = foldTarget != 0;
    result->anyBlank = sawBlank.load();
  }
  return FITS_OK;
}

}  // namespace fitsread

using namespace fitsread;

bool CFits::GetInt64Rounded() {
  return g_int64Rounded;
}
