// Automatic display levels.
//
// Method: the pixels of the measured rectangle are sampled on a regular grid (at most
// about 250 000 samples, so large frames cost little). The background is the median of
// the samples and the noise sigma is 1.4826 × the median absolute deviation from it,
// which equals the standard deviation for Gaussian noise but ignores stars and hot
// pixels. When more than half of the samples are equal (a quantised or flat frame) the
// MAD is 0; sigma then comes from iterative 3-sigma clipping of the samples (mean and
// standard deviation, repeated until no sample is rejected, at most 10 rounds). The
// levels are background − Min × sigma and background + Max × sigma, kept inside the
// sampled data range; a frame without spread gets that range itself. Colour images are
// measured on the luminance 0.299 R + 0.587 G + 0.114 B, giving every plane the same
// levels, unless each plane is asked to be measured by itself.
#include "engine/autolevel.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "imagemodel/image.h"
#include "imagemodel/rowpool.h"
#include "imagemodel/vmimage.h"

namespace {

constexpr double kMaxSamples = 250000.0;

struct Levels {
  double low, high;
};

double ClippedSigma(const std::vector<double>& samples) {
  double lo = -HUGE_VAL, hi = HUGE_VAL, sigma = 0;
  for (int round = 0; round < 10; ++round) {
    double sum = 0, sum2 = 0;
    std::int64_t n = 0;
    for (double v : samples)
      if (v >= lo && v <= hi) {
        sum += v;
        sum2 += v * v;
        ++n;
      }
    if (n < 2) break;
    double mean = sum / static_cast<double>(n);
    sigma = std::sqrt(std::max(0.0, sum2 / static_cast<double>(n) - mean * mean));
    double newLo = mean - 3 * sigma, newHi = mean + 3 * sigma;
    if (newLo <= lo && newHi >= hi) break;
    lo = newLo;
    hi = newHi;
  }
  return sigma;
}

Levels FromSamples(std::vector<double>& samples, double minSigma, double maxSigma) {
  const auto [minIt, maxIt] = std::minmax_element(samples.begin(), samples.end());
  const double dataMin = *minIt, dataMax = *maxIt;
  const double background = autolevel::SampleMedian(samples);
  std::vector<double> deviation(samples.size());
  std::transform(samples.begin(), samples.end(), deviation.begin(),
                 [&](double v) { return std::fabs(v - background); });
  double sigma = 1.4826 * autolevel::SampleMedian(deviation);
  if (!(sigma > 0)) sigma = ClippedSigma(samples);
  Levels l{background - minSigma * sigma, background + maxSigma * sigma};
  l.low = std::max(l.low, dataMin);
  l.high = std::min(l.high, dataMax);
  if (!(l.high > l.low)) l = {dataMin, dataMax};
  return l;
}

// The samples of plane g in rectangle r on the grid of `step`, appended in the order of a
// pass along the rows: runs of rows are pinned on this thread (the pager's) and the
// sampled rows among them read on the pool's threads, each into its own place. False
// when a row cannot be read.
bool SamplePinned(const CImage& image, int g, const RECT& r, int step,
                  std::vector<double>* samples) {
  std::vector<int> ys;
  for (int y = r.top; y < r.bottom; y += step) ys.push_back(y);
  const std::size_t perRow = static_cast<std::size_t>((r.right - r.left + step - 1) / step);
  std::vector<double> slots(ys.size() * perRow);
  std::vector<std::size_t> kept(ys.size());
  CRowPins pins(*image.GetStore(), 1);
  std::atomic<bool> ok{true};
  for (std::size_t i = 0; i < ys.size();) {
    const int y0 = ys[i];
    const int rows = pins.Pin(g, y0, r.bottom - y0, 16);
    if (rows <= 0) return false;
    std::size_t j = i;
    while (j < ys.size() && ys[j] < y0 + rows) ++j;
    rowpool::Run(static_cast<int>(j - i), 8, [&](int begin, int end) {
      std::vector<double> row(static_cast<std::size_t>(image.GetWidth()));
      for (int k = begin; k < end; ++k) {
        const std::size_t at = i + static_cast<std::size_t>(k);
        if (!image.GetPhysicalRowAt(pins.Row(ys[at] - y0), row.data())) {
          ok = false;
          return;
        }
        double* out = &slots[at * perRow];
        std::size_t n = 0;
        for (int x = r.left; x < r.right; x += step)
          if (std::isfinite(row[x])) out[n++] = row[x];
        kept[at] = n;
      }
    });
    pins.Release();
    if (!ok) return false;
    i = j;
  }
  for (std::size_t i = 0; i < ys.size(); ++i)
    samples->insert(samples->end(), slots.begin() + static_cast<std::ptrdiff_t>(i * perRow),
                    slots.begin() + static_cast<std::ptrdiff_t>(i * perRow + kept[i]));
  return true;
}

}  // namespace

namespace autolevel {

namespace {

constexpr std::size_t kCountFrom = 4096;              // fewer samples are sorted
constexpr std::size_t kCountInTwoFrom = 65536;        // more are counted on two threads
constexpr double kMostBins = 4194304.0;               // the widest histogram counted
constexpr double kLargestWhole = 4503599627370496.0;  // 2^52: whole numbers stay exact

// The scale (1 or 2) that makes every sample a whole number within a histogram of at
// most kMostBins bins, with lo and hi the smallest and largest samples; 0 when there is
// none (or a sample is −0, whose sign counting could not give back).
int CountingScale(const std::vector<double>& v, double* lo, double* hi) {
  const auto [minIt, maxIt] = std::minmax_element(v.begin(), v.end());
  *lo = *minIt;
  *hi = *maxIt;
  if (!(*minIt >= -kLargestWhole && *maxIt <= kLargestWhole)) return 0;
  for (int scale : {1, 2}) {
    if ((*maxIt - *minIt) * scale >= kMostBins) return 0;
    bool whole = true;
    for (double x : v) {
      const double s = x * scale;
      // Within ±2^52 the conversion to a whole number is exact (and cheaper than trunc).
      if (s != static_cast<double>(static_cast<std::int64_t>(s)) || (x == 0 && std::signbit(x))) {
        whole = false;
        break;
      }
    }
    if (whole) return scale;
  }
  return 0;
}

}  // namespace

double SampleMedian(std::vector<double>& v) {
  const std::size_t n = v.size();
  double lo = 0, hi = 0;
  const int scale = n >= kCountFrom ? CountingScale(v, &lo, &hi) : 0;
  if (scale == 0) {
    auto mid = v.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(v.begin(), mid, v.end());
    double m = *mid;
    if (n % 2 == 0) m = (m + *std::max_element(v.begin(), mid)) / 2.0;
    return m;
  }
  const std::size_t bins = static_cast<std::size_t>((hi - lo) * scale) + 1;
  std::vector<std::uint32_t> counts(bins);
  const auto count = [&](std::size_t begin, std::size_t end, std::uint32_t* into) {
    for (std::size_t i = begin; i < end; ++i) ++into[static_cast<std::size_t>((v[i] - lo) * scale)];
  };
  if (n >= kCountInTwoFrom && bins <= n && rowpool::GetThreads() > 1) {
    // Two halves counted on two threads, then added: the same counts.
    std::vector<std::uint32_t> second(bins);
    rowpool::Run(2, 1, [&](int begin, int end) {
      for (int half = begin; half < end; ++half)
        count(half ? n / 2 : 0, half ? n : n / 2, half ? second.data() : counts.data());
    });
    for (std::size_t b = 0; b < bins; ++b) counts[b] += second[b];
  } else {
    count(0, n, counts.data());
  }
  // The values of ranks n / 2 − 1 and n / 2 in order.
  const std::size_t upper = n / 2;
  double below = 0, m = 0;
  std::size_t seen = 0;
  for (std::size_t bin = 0; bin < counts.size(); ++bin) {
    const std::size_t next = seen + counts[bin];
    const double value = lo + static_cast<double>(bin) / scale;
    if (upper >= 1 && seen <= upper - 1 && upper - 1 < next) below = value;
    if (seen <= upper && upper < next) {
      m = value;
      break;
    }
    seen = next;
  }
  return n % 2 == 0 ? (m + below) / 2.0 : m;
}

}  // namespace autolevel

int CImgAutoLevel::Do(CImage& image, double minSigma, double maxSigma, int perPlane,
                      const RECT* rect) {
  if (image.IsEmpty() || image.GetPlanes() < 1) return 0;
  RECT r{0, 0, image.GetWidth(), image.GetHeight()};
  if (rect) IntersectRect(&r, r, *rect);
  if (r.Width() <= 0 || r.Height() <= 0) return 0;

  const double area = static_cast<double>(r.Width()) * r.Height();
  const int step = std::max(1, static_cast<int>(std::ceil(std::sqrt(area / kMaxSamples))));
  const bool luminance = !perPlane && image.IsColor() && image.GetPlanes() == 3;
  const int groups = luminance ? 1 : image.GetPlanes();

  std::vector<double> row(static_cast<std::size_t>(image.GetWidth()));
  std::vector<double> lum(row.size());
  std::vector<char> blankAt(row.size());
  // A plane measured by itself is sampled from runs of pinned rows on the pool's threads.
  const bool pinned = !luminance && image.GetStore() && rowpool::GetThreads() > 1;
  for (int g = 0; g < groups; ++g) {
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(area / step / step) + 1);
    if (pinned && !SamplePinned(image, g, r, step, &samples)) return 0;
    for (int y = r.top; y < r.bottom && !pinned; y += step) {
      if (luminance) {
        static constexpr double kWeight[3] = {0.299, 0.587, 0.114};
        std::fill(lum.begin(), lum.end(), 0.0);
        std::fill(blankAt.begin(), blankAt.end(), 0);
        for (int p = 0; p < 3; ++p) {
          if (!image.GetPhysicalRow(y, p, row.data())) return 0;
          for (int x = r.left; x < r.right; x += step) {
            blankAt[x] |= row[x] != row[x];  // blank pixels read as NaN
            lum[x] += kWeight[p] * row[x];
          }
        }
        for (int x = r.left; x < r.right; x += step)
          if (std::isfinite(lum[x]) && !blankAt[x]) samples.push_back(lum[x]);
      } else {
        if (!image.GetPhysicalRow(y, g, row.data())) return 0;
        for (int x = r.left; x < r.right; x += step)
          if (std::isfinite(row[x])) samples.push_back(row[x]);
      }
    }
    if (samples.empty()) continue;  // nothing measurable: the levels stay as they are
    Levels l = FromSamples(samples, minSigma, maxSigma);
    if (luminance) {
      for (int p = 0; p < 3; ++p) image.SetLevel(p, l.low, l.high);
    } else {
      image.SetLevel(g, l.low, l.high);
    }
  }
  return 1;
}
