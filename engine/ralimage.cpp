#include "engine/ralimage.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <new>
#include <vector>

#include "imagemodel/pixeltype.h"
#include "imagemodel/rowpool.h"
#include "imagemodel/vmimage.h"

namespace {

// The bins of GetHistGram.
class HistBins {
 public:
  HistBins(double low, double high, int bins, std::uint32_t* counts)
      : m_dLow(low),
        m_dHigh(high),
        m_dRange(high - low),
        m_dBins(bins),
        m_nLast(bins - 1),
        m_pCounts(counts) {}
  void Add(double v) {
    if (!(v >= m_dLow && v <= m_dHigh)) return;  // NaN fails too
    // Rounding may carry a value just below high to bins; it belongs to the last bin, as
    // high itself does.
    const double t = (v - m_dLow) / m_dRange * m_dBins;
    ++m_pCounts[t < m_dBins ? static_cast<int>(t) : m_nLast];
  }

 private:
  double m_dLow, m_dHigh, m_dRange, m_dBins;
  int m_nLast;
  std::uint32_t* m_pCounts;
};

// Stored values of one row turned physical and counted, without a row buffer.
template <typename T>
void CountRawRow(const T* row, int left, int right, double bscale, double bzero, bool blankUsed,
                 int blank, HistBins& bins) {
  for (int x = left; x < right; ++x) {
    if (pixeltype::IsBlankStored(row[x], blankUsed, blank)) continue;
    bins.Add(static_cast<double>(row[x]) * bscale + bzero);
  }
}

}  // namespace

CRalImage::CRalImage(const CImage& src, ProgressSink* progress, const std::string& caption)
    : CImage(src, progress, caption) {}

CRalImage::CRalImage(int width, int height, int bits, int planes, double bscale, double bzero,
                     int isSigned, ProgressSink* progress, const std::string& caption)
    : CImage(bits, width, height, planes, bscale, bzero, isSigned, progress, caption) {}

CRalImage& CRalImage::operator=(const CRalImage& src) {
  CopyImage(src);
  return *this;
}

int CRalImage::Create(const CImage& src, ProgressSink* progress, const std::string& caption) {
  try {
    return CImage::Create(src, progress, caption);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int CRalImage::CopyImage(const CImage& src, ProgressSink* progress, const std::string& caption) {
  try {
    CImage::CopyImage(src, progress, caption);
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

void CRalImage::Swap(CRalImage& other) {
  CImage::Swap(other);
  std::swap(m_DataMin, other.m_DataMin);
  std::swap(m_DataMax, other.m_DataMax);
}

void CRalImage::Init() {
  Clear();
  InitStdPt();
  m_DataMin.clear();
  m_DataMax.clear();
}

int CRalImage::CalcMinMax() {
  std::vector<double> mins, maxs;
  for (int p = 0; p < GetPlanes(); ++p) {
    double lo, hi;
    if (!GetMinMax(p, &lo, &hi)) return 0;
    mins.push_back(lo);
    maxs.push_back(hi);
  }
  m_DataMin = std::move(mins);
  m_DataMax = std::move(maxs);
  return 1;
}

double CRalImage::GetDataMin(int plane) const {
  return plane >= 0 && static_cast<std::size_t>(plane) < m_DataMin.size() ? m_DataMin[plane] : 0.0;
}

double CRalImage::GetDataMax(int plane) const {
  return plane >= 0 && static_cast<std::size_t>(plane) < m_DataMax.size() ? m_DataMax[plane] : 0.0;
}

namespace {

// The sum and count of the values of a plane that `keep` takes, as a loop over the rows
// in order gives them. Rows are read a run at a time on this thread (the pager's) and
// summed on the pool's threads; when every value taken is a whole number and the sum of
// their magnitudes stays below 2^53, every partial sum is exact, so any order gives the
// loop's sum (the largest magnitude times the count bounds that sum). Otherwise the loop
// itself runs. False when a row cannot be read.
template <typename Keep>
bool PlaneSum(const CImage& image, int plane, Keep keep, double* sum, std::int64_t* count) {
  constexpr double kExact = 9007199254740992.0;  // 2^53
  constexpr int kRows = 64;
  const int width = image.GetWidth(), height = image.GetHeight();
  struct Part {
    double sum = 0, largest = 0;
    std::int64_t count = 0;
    bool whole = true;
  };
  double total = 0, largest = 0;
  std::int64_t taken = 0;
  bool whole = true;
  CRowPins pins(*image.GetStore(), 1);
  for (int y = 0; y < height && whole;) {
    int n = pins.Pin(plane, y, kRows, 8);
    if (n <= 0) n = pins.Pin(plane, y, 1, 1);
    if (n <= 0) return false;
    const int parts = std::max(1, std::min(rowpool::GetThreads(), n));
    std::vector<Part> part(static_cast<std::size_t>(parts));
    std::atomic<bool> read{true};
    rowpool::Run(parts, 1, [&](int b, int e) {
      std::vector<double> row(static_cast<std::size_t>(width));
      for (int k = b; k < e; ++k) {
        // Four sums, exact whenever the result is used, so that each addition need not
        // wait for the one before; the largest magnitude bounds every partial sum.
        constexpr double kRound = 6755399441055744.0;  // 1.5 × 2^52: rounds to whole numbers
        double sums[4] = {0, 0, 0, 0}, largest = 0;
        std::int64_t count = 0;
        bool whole = true;
        for (int i = n * k / parts; i < n * (k + 1) / parts; ++i) {
          if (!image.GetPhysicalRowAt(pins.Row(i), row.data())) {
            read = false;
            return;
          }
          for (int x = 0; x < width; ++x) {
            const double v = row[static_cast<std::size_t>(x)];
            const bool kept = keep(v);
            const double t = kept ? v : 0.0;
            sums[x & 3] += t;
            largest = std::max(largest, std::fabs(t));
            whole &= (t + kRound) - kRound == t;
            count += kept;
          }
        }
        part[static_cast<std::size_t>(k)] = {(sums[0] + sums[1]) + (sums[2] + sums[3]), largest,
                                             count, whole};
      }
    });
    pins.Release();
    if (!read) return false;
    for (const Part& q : part) {
      total += q.sum;
      largest = std::max(largest, q.largest);
      taken += q.count;
      whole = whole && q.whole && largest * static_cast<double>(taken) < kExact;
    }
    y += n;
  }
  if (whole) {
    *sum = total;
    *count = taken;
    return true;
  }
  std::vector<double> row(static_cast<std::size_t>(width));
  double s = 0;
  std::int64_t c = 0;
  for (int y = 0; y < height; ++y) {
    if (!image.GetPhysicalRow(y, plane, row.data())) return false;
    for (double v : row) {
      if (!keep(v)) continue;
      s += v;
      ++c;
    }
  }
  *sum = s;
  *count = c;
  return true;
}

}  // namespace

double CRalImage::GetAvrGrayRaw(int plane) const {
  if (IsEmpty() || plane < 0 || plane >= GetPlanes()) return 0.0;
  double sum = 0.0;
  std::int64_t count = 0;
  // Blank pixels read as NaN and are left out.
  if (!PlaneSum(
          *this, plane, [](double v) { return v == v; }, &sum, &count))
    return 0.0;
  return count ? sum / static_cast<double>(count) : 0.0;
}

int CRalImage::GetHistGram(int mode, int plane, double low, double high, int bins,
                           std::vector<std::uint32_t>* counts, const RECT* rect) const {
  if (!counts || (mode != 0 && mode != 1) || bins <= 0 || !std::isfinite(low) ||
      !std::isfinite(high) || !(high > low) || IsEmpty())
    return 0;
  const bool luminance = mode == 1 && GetPlanes() >= 3;
  if (mode == 1 && !luminance) plane = 0;
  if (!luminance && (plane < 0 || plane >= GetPlanes())) return 0;
  RECT r{0, 0, GetWidth(), GetHeight()};
  if (rect) IntersectRect(&r, r, *rect);
  try {
    counts->assign(static_cast<std::size_t>(bins), 0);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (r.left >= r.right || r.top >= r.bottom) return 1;
  HistBins hist(low, high, bins, counts->data());
  const bool blankUsed = IsBlankUsed() != 0;

  if (!luminance) {
    bool known = true;
    for (int y = r.top; y < r.bottom && known; ++y) {
      const void* adr = GetImageAdr(0, y, plane);
      if (!adr) return 0;
      known = pixeltype::WithPixelType(GetBitsPixel(), IsSigned(), [&](auto zero) {
        CountRawRow(static_cast<const decltype(zero)*>(adr), r.left, r.right, GetBscale(),
                    GetBzero(), blankUsed, GetBlank(), hist);
      });
    }
    return known ? 1 : 0;
  }

  // The three rows of a pixel may lie in different blocks, so each is read into a buffer and
  // folded into the luminance before the next is asked for.
  static constexpr double kWeight[3] = {0.299, 0.587, 0.114};
  const std::size_t width = static_cast<std::size_t>(GetWidth());
  try {
    std::vector<double> row(width), lum(width);
    std::vector<char> blankAt(width);
    for (int y = r.top; y < r.bottom; ++y) {
      std::fill(lum.begin() + r.left, lum.begin() + r.right, 0.0);
      std::fill(blankAt.begin() + r.left, blankAt.begin() + r.right, 0);
      for (int p = 0; p < 3; ++p) {
        if (!GetPhysicalRow(y, p, row.data())) return 0;
        for (int x = r.left; x < r.right; ++x) {
          blankAt[x] |= row[x] != row[x];  // blank pixels read as NaN
          lum[x] += kWeight[p] * row[x];
        }
      }
      for (int x = r.left; x < r.right; ++x)
        if (!blankAt[x]) hist.Add(lum[x]);
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

double CRalImage::GetPhysicalValue(double x, double y) const {
  int axis = 0;
  if (!GetDispAxis(&axis)) return x + 1.0;
  return GetAxisValue(axis - 1, x, y);
}

double CRalImage::GetAxisValue(int axis, double x, double y) const {
  const double pixel = (axis == 0 ? x : y) + 1.0;
  double crpix, crval, cdelt;
  GetCRPix(axis, &crpix);
  GetCRVal(axis, &crval);
  GetCDelt(axis, &cdelt);
  return crval + cdelt * (pixel - crpix);
}

double CRalImage::GetPixelBright(int x, int y) const {
  if (GetPlanes() < 3) return GetPixel(x, y, 0);
  return 0.299 * GetPixel(x, y, 0) + 0.587 * GetPixel(x, y, 1) + 0.114 * GetPixel(x, y, 2);
}

// Rows pinned at a time by Calibrate: at most this many blocks of each store, and rows
// enough for each pool thread to have a share worth starting it for.
namespace {
constexpr int kCalibrateBlocks = 8;
constexpr int kCalibrateRows = 256;
constexpr int kCalibrateRowsPerThread = 16;
}  // namespace

template <typename F>
int CRalImage::Calibrate(const CImage& frame, int showProgress, const std::string& caption,
                         F combine) {
  if (IsEmpty() || frame.IsEmpty() || frame.GetWidth() != GetWidth() ||
      frame.GetHeight() != GetHeight() || frame.GetPlanes() < 1)
    return 0;
  const int width = GetWidth(), height = GetHeight();
  ShowProgressInit(showProgress, caption, static_cast<std::int64_t>(GetPlanes()) * height);
  // The rows of both images are pinned here a run at a time and the run is shared among
  // the pool's threads; every row is computed on its own, so any number of threads gives
  // the same pixels. The pager and the progress stay on this thread.
  CRowPins out(*GetStore(), 0), in(*frame.GetStore(), 1);
  int ok = 1;
  for (int p = 0; p < GetPlanes() && ok; ++p) {
    const int fp = std::min(p, frame.GetPlanes() - 1);
    for (int y = 0; y < height;) {
      int n = 0;
      // A pager short of room takes one block of each at a time.
      for (int blocks : {kCalibrateBlocks, 1}) {
        n = in.Pin(fp, y, kCalibrateRows, blocks);
        if (n > 0) n = out.Pin(p, y, n, blocks);
        if (n > 0) break;
      }
      if (n <= 0) {
        ok = 0;
        break;
      }
      std::atomic<bool> failed{false};
      rowpool::Run(n, kCalibrateRowsPerThread, [&](int b, int e) {
        std::vector<double> row(static_cast<std::size_t>(width)), other(row.size());
        for (int i = b; i < e; ++i) {
          if (!frame.GetPhysicalRowAt(in.Row(i), other.data()) ||
              !GetPhysicalRowAt(out.Row(i), row.data())) {
            failed = true;
            return;
          }
          combine(row.data(), other.data(), width, fp);
          if (!SetPhysicalRowAt(out.Row(i), row.data())) {
            failed = true;
            return;
          }
        }
      });
      in.Release();
      out.Release();
      if (failed) {
        ok = 0;
        break;
      }
      y += n;
      ShowProgress(n);
    }
  }
  ShowProgressEnd();
  return ok;
}

int CRalImage::DarkClbrtn(const CImage& dark, int showProgress) {
  return Calibrate(dark, showProgress, "ダーク補正中...",
                   [](double* v, const double* d, int n, int) {
                     for (int x = 0; x < n; ++x) v[x] -= d[x];
                   });
}

int CRalImage::GetFlatMeans(const CImage& flat, std::vector<double>* means) {
  // Finite values only: a flat's blank (NaN) and infinite pixels do not count.
  std::vector<double> out(static_cast<std::size_t>(std::max(flat.GetPlanes(), 0)));
  for (int p = 0; p < flat.GetPlanes(); ++p) {
    double sum = 0;
    std::int64_t count = 0;
    if (!PlaneSum(
            flat, p, [](double v) { return std::isfinite(v); }, &sum, &count))
      return 0;
    out[p] = count ? sum / static_cast<double>(count) : 0.0;
  }
  if (means) *means = std::move(out);
  return 1;
}

int CRalImage::FlatClbrtn(const CImage& flat, int showProgress) {
  std::vector<double> means;
  if (!GetFlatMeans(flat, &means)) return 0;
  return FlatClbrtn(flat, means, showProgress);
}

int CRalImage::FlatClbrtn(const CImage& flat, const std::vector<double>& means, int showProgress) {
  // Each flat plane is normalised to its mean, so the image keeps its level.
  if (static_cast<int>(means.size()) != flat.GetPlanes()) return 0;
  return Calibrate(flat, showProgress, "フラット補正中...",
                   [&](double* v, const double* f, int n, int fp) {
                     const double mean = means[static_cast<std::size_t>(fp)];
                     for (int x = 0; x < n; ++x)
                       if (f[x] > 0) v[x] = v[x] * mean / f[x];
                   });
}

namespace {

// Whether the fused pass can take an image: unscaled 32-bit floats, whose stored value
// is the physical one rounded to float.
bool PlainFloats(const CImage& image) {
  return !image.IsEmpty() && image.GetBitsPixel() == -32 && image.GetBscale() == 1.0 &&
         image.GetBzero() == 0.0;
}

// One row of the fused pass. Each subtraction is done in doubles and rounded to float,
// which is what storing it does between the separate steps; the flat's quotient is
// taken where the flat is positive, as (value × mean) / flat.
template <bool kBias, bool kDark, bool kFlat>
void CalibrateRow(float* row, const float* bias, const float* dark, const float* flat, double mean,
                  int n) {
  for (int x = 0; x < n; ++x) {
    double v = row[x];
    if constexpr (kBias) v = static_cast<float>(v - static_cast<double>(bias[x]));
    if constexpr (kDark) v = static_cast<float>(v - static_cast<double>(dark[x]));
    if constexpr (kFlat) {
      const double f = flat[x];
      const double q = v * mean / f;
      v = f > 0 ? q : v;
    }
    row[x] = static_cast<float>(v);
  }
}

using RowKernel = void (*)(float*, const float*, const float*, const float*, double, int);

RowKernel PickKernel(bool bias, bool dark, bool flat) {
  static constexpr RowKernel kKernels[8] = {
      CalibrateRow<false, false, false>, CalibrateRow<false, false, true>,
      CalibrateRow<false, true, false>,  CalibrateRow<false, true, true>,
      CalibrateRow<true, false, false>,  CalibrateRow<true, false, true>,
      CalibrateRow<true, true, false>,   CalibrateRow<true, true, true>};
  return kKernels[(bias ? 4 : 0) + (dark ? 2 : 0) + (flat ? 1 : 0)];
}

}  // namespace

int CRalImage::CalibrateInOnePass(const CImage* bias, const CImage* dark, const CImage* flat,
                                  const std::vector<double>* flatMeans, int showProgress) {
  if (!PlainFloats(*this)) return -1;
  const CImage* frames[3] = {bias, dark, flat};
  for (const CImage* f : frames) {
    if (!f) continue;
    if (f == this || !PlainFloats(*f) || f->GetWidth() != GetWidth() ||
        f->GetHeight() != GetHeight() || f->GetPlanes() < 1)
      return -1;
  }
  if (flat && (!flatMeans || static_cast<int>(flatMeans->size()) != flat->GetPlanes())) return -1;
  const RowKernel kernel = PickKernel(bias != nullptr, dark != nullptr, flat != nullptr);
  const int width = GetWidth(), height = GetHeight();
  ShowProgressInit(showProgress, "ダーク補正中...",
                   static_cast<std::int64_t>(GetPlanes()) * height);
  // As in Calibrate: the rows of every image pinned a run at a time, the run shared among
  // the pool's threads; the pager and the progress stay on this thread.
  CRowPins out(*GetStore(), 0);
  std::unique_ptr<CRowPins> in[3];
  for (int k = 0; k < 3; ++k)
    if (frames[k]) in[k] = std::make_unique<CRowPins>(*frames[k]->GetStore(), 1);
  int ok = 1;
  for (int p = 0; p < GetPlanes() && ok; ++p) {
    int fp[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k)
      if (frames[k]) fp[k] = std::min(p, frames[k]->GetPlanes() - 1);
    const double mean = flat ? (*flatMeans)[static_cast<std::size_t>(fp[2])] : 0.0;
    for (int y = 0; y < height;) {
      int n = 0;
      for (int blocks : {kCalibrateBlocks, 1}) {
        n = kCalibrateRows;
        for (int k = 0; k < 3 && n > 0; ++k)
          if (in[k]) n = in[k]->Pin(fp[k], y, n, blocks);
        if (n > 0) n = out.Pin(p, y, n, blocks);
        if (n > 0) break;
        for (auto& pins : in)
          if (pins) pins->Release();
        out.Release();
      }
      if (n <= 0) {
        ok = 0;
        break;
      }
      auto rowOf = [&](int k, int i) {
        return in[k] ? static_cast<const float*>(in[k]->Row(i)) : nullptr;
      };
      rowpool::Run(n, kCalibrateRowsPerThread, [&](int b, int e) {
        for (int i = b; i < e; ++i)
          kernel(static_cast<float*>(out.Row(i)), rowOf(0, i), rowOf(1, i), rowOf(2, i), mean,
                 width);
      });
      for (auto& pins : in)
        if (pins) pins->Release();
      out.Release();
      y += n;
      ShowProgress(n);
    }
  }
  ShowProgressEnd();
  return ok;
}

void CRalImage::ShowProgressInit(int show, const std::string& caption, std::int64_t steps) {
  ShowProgressEnd();
  if (!show || !m_pProgress) return;
  m_pProgressScope = std::make_unique<ProgressScope>(m_pProgress, caption);
  m_nProgressTotal = steps;
  m_nProgressDone = 0;
}

void CRalImage::ShowProgress(std::int64_t steps) {
  if (!m_pProgressScope) return;
  m_nProgressDone += steps;
  m_pProgressScope->Update(m_nProgressDone, m_nProgressTotal);
}

void CRalImage::ShowProgressEnd() {
  m_pProgressScope.reset();
}
