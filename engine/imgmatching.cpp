// Phase correlation of two frames: reading (block means for large frames), hot-pixel
// suppression, tapering, FFTW's real-to-complex transforms, the weighted phase of the
// cross-power spectrum, a confidence test on the correlation surface and the sub-pixel
// refinement.
#include "engine/imgmatching.h"

#include <fftw3.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/imgsample.h"
#include "engine/ralimage.h"
#include "imagemodel/rowpool.h"
#include "imagemodel/vmimage.h"

namespace {

using Cx = std::complex<double>;

// An allocator that leaves the new elements of a resize unwritten: the large working arrays
// are written whole by loops on the pool's threads before anything reads them, so their
// pages are first touched there, on every core, rather than cleared on this thread first.
// Only for types that any bytes may stand for (doubles and complex doubles).
template <class T>
struct Unwritten : std::allocator<T> {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
  template <class U>
  struct rebind {
    using other = Unwritten<U>;
  };
  Unwritten() = default;
  template <class U>
  Unwritten(const Unwritten<U>&) noexcept {}
  template <class U>
  void construct(U*) noexcept {}
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
};
template <class T>
using Buffer = std::vector<T, Unwritten<T>>;

constexpr double kBandSigma = 0.15;  // cycles per pixel

struct Frame {
  int w = 0, h = 0;
  Buffer<double> v;  // as read; then what goes into the transform
};

// A rectangle of a frame in its pixels.
struct Window {
  int x = 0, y = 0, w = 0, h = 0;
  bool operator==(const Window&) const = default;
};

Window Whole(const CImage& image) {
  return {0, 0, image.GetWidth(), image.GetHeight()};
}

// Plane means of a window of the image, block-averaged by bin; a block with no finite pixel
// is NaN.
bool ReadFrame(const CImage& image, int bin, Frame* f, const Window& at) {
  f->w = at.w / bin;
  f->h = at.h / bin;
  if (f->w < 8 || f->h < 8) return false;
  const int planes = image.GetPlanes(), width = image.GetWidth(), iw = f->w * bin;
  f->v.resize(static_cast<std::size_t>(f->w) * f->h);
  // Row `by` of the frame from the image's rows: rows(p, k, buffer) gives the window's part
  // of row k of the block in plane p, read into buffer, or null.
  const auto reduce = [&](int by, const auto& rows, std::vector<double>& buffer,
                          std::vector<double>& sum, std::vector<double>& count) {
    double* o = &f->v[static_cast<std::size_t>(by) * f->w];
    if (bin == 1 && planes == 1) {
      // The mean of one value: (0 + x) / 1, which is x but for −0, which becomes +0; an
      // infinite value has no mean and becomes NaN.
      const double* r = rows(0, 0, buffer);
      if (!r) return false;
      for (int x = 0; x < f->w; ++x)
        o[x] = std::isfinite(r[x]) ? r[x] + 0.0 : std::numeric_limits<double>::quiet_NaN();
      return true;
    }
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(count.begin(), count.end(), 0.0);
    for (int p = 0; p < planes; ++p)
      for (int k = 0; k < bin; ++k) {
        const double* row = rows(p, k, buffer);
        if (!row) return false;
        // Each block's pixels go into its sum left to right, as a pass along the row puts
        // them; a value left out adds +0, which changes no sum (none is ever −0).
        for (int bx = 0; bx < f->w; ++bx) {
          const double* r = &row[static_cast<std::size_t>(bx) * bin];
          double s = sum[bx], c = count[bx];
          for (int j = 0; j < bin; ++j) {
            const bool finite = std::isfinite(r[j]);
            s += finite ? r[j] : 0.0;
            c += finite ? 1.0 : 0.0;
          }
          sum[bx] = s;
          count[bx] = c;
        }
      }
    for (int x = 0; x < f->w; ++x)
      o[x] = count[x] > 0 ? sum[x] / count[x] : std::numeric_limits<double>::quiet_NaN();
    return true;
  };
  std::vector<double> buffer(static_cast<std::size_t>(width)), sum(static_cast<std::size_t>(f->w)),
      count(sum.size());
  const auto serial = [&](int by) {
    return reduce(
        by,
        [&](int p, int k, std::vector<double>& b) -> const double* {
          return imgsample::ReadSpan(image, at.x, iw, at.y + by * bin + k, p, b.data()) ? b.data()
                                                                                        : nullptr;
        },
        buffer, sum, count);
  };
  if (planes != 1 || !image.GetStore()) {
    for (int by = 0; by < f->h; ++by)
      if (!serial(by)) return false;
    return true;
  }
  // One plane: its rows are pinned a run at a time on this thread (the pager's) and reduced
  // on the pool's threads, each row of the frame the same way whichever thread takes it.
  constexpr int kRows = 512;  // bounded by the 8 pager blocks pinned at a time
  CRowPins pins(*image.GetStore(), 1);
  for (int by = 0; by < f->h;) {
    const int blocks = pins.Pin(0, at.y + by * bin, std::min(kRows, (f->h - by) * bin), 8) / bin;
    if (blocks == 0) {
      pins.Release();
      if (!serial(by)) return false;
      ++by;
      continue;
    }
    std::atomic<bool> read{true};
    rowpool::Run(blocks, 4, [&](int b, int e) {
      std::vector<double> buf(static_cast<std::size_t>(width)), s(sum.size()), c(sum.size());
      for (int k = b; k < e && read; ++k) {
        const auto rows = [&](int, int j, std::vector<double>& into) -> const double* {
          return image.GetPhysicalRowAt(pins.Row(k * bin + j), into.data()) ? into.data() + at.x
                                                                            : nullptr;
        };
        if (!reduce(by + k, rows, buf, s, c)) read = false;
      }
    });
    pins.Release();
    if (!read) return false;
    by += blocks;
  }
  return true;
}

// The value of rank n / 2 among the n values that are not NaN (0 when there is none) of
// `rows` rows of `len` values, row(y, buffer) giving row y (in buffer or elsewhere). A
// sample brackets that rank, and only the values inside the bracket are kept in band and
// selected from; when the bracket misses, the whole set is. Either way the value is the
// exact one, and band holds about the bracket's share of the values, not all of them.
template <class Row>
double MedianOf(int rows, int len, const Row& row, std::vector<double>& band) {
  const std::size_t n = static_cast<std::size_t>(rows) * len;
  std::vector<double> buffer(static_cast<std::size_t>(len)), sample;
  // A prime stride, so that the sample of a frame goes through all its columns rather than
  // the few that a stride sharing a factor with the width would meet again and again (a
  // frame with columns that differ would put the bracket beside the median).
  const auto prime = [](std::size_t k) {
    for (std::size_t d = 2; d * d <= k; ++d)
      if (k % d == 0) return false;
    return true;
  };
  std::size_t stride = std::max<std::size_t>(1, n / 16384);
  while (stride > 1 && !prime(stride)) ++stride;
  for (int y = 0; y < rows; ++y) {
    // The sample's positions in this row, counted over all the values.
    std::size_t i = (static_cast<std::size_t>(y) * len + stride - 1) / stride * stride;
    const std::size_t rowEnd = static_cast<std::size_t>(y + 1) * len;
    if (i >= rowEnd) continue;
    const double* r = row(y, buffer.data());
    for (; i < rowEnd; i += stride) {
      const double x = r[i - static_cast<std::size_t>(y) * len];
      if (!std::isnan(x)) sample.push_back(x);
    }
  }
  if (sample.size() >= 64) {
    std::sort(sample.begin(), sample.end());
    const std::size_t m = sample.size(), at = m / 2;
    // The rank's sampling error is about √m / 2 samples: the bracket is eight of them wide.
    const std::size_t margin = 8 + static_cast<std::size_t>(2 * std::sqrt(static_cast<double>(m)));
    const double lo = sample[at > margin ? at - margin : 0];
    const double hi = sample[std::min(m - 1, at + margin)];
    // Without branches: every value of a row is written after those kept so far, and
    // kept when it lies in the bracket; band grows by at most a row at a time.
    std::size_t below = 0, nan = 0, kept = 0;
    band.clear();
    for (int y = 0; y < rows; ++y) {
      if (band.size() < kept + len) band.resize(std::max(kept + len, 2 * band.size()));
      const double* r = row(y, buffer.data());
      double* out = band.data();
      for (int j = 0; j < len; ++j) {
        const double x = r[j];
        below += x < lo;
        nan += x != x;
        out[kept] = x;
        kept += (x >= lo) & (x <= hi);
      }
    }
    const std::size_t k = (n - nan) / 2;
    if (k >= below && k - below < kept) {
      double* out = band.data();
      std::nth_element(out, out + (k - below), out + kept);
      return out[k - below];
    }
  }
  band.clear();
  for (int y = 0; y < rows; ++y) {
    const double* r = row(y, buffer.data());
    for (int j = 0; j < len; ++j)
      if (!std::isnan(r[j])) band.push_back(r[j]);
  }
  if (band.empty()) return 0.0;
  std::nth_element(band.begin(), band.begin() + static_cast<std::ptrdiff_t>(band.size() / 2),
                   band.end());
  return band[band.size() / 2];
}

// The median of the values of a w × h frame.
double MedianOf(const Buffer<double>& v, int w, int h, std::vector<double>& band) {
  return MedianOf(
      h, w, [&](int y, double*) { return &v[static_cast<std::size_t>(y) * w]; }, band);
}

// Fills gaps with the median, filters 3 × 3 by the median, subtracts the median,
// compresses and tapers.
// The working arrays of Prepare, kept from one frame to the next.
struct PrepareArrays {
  Buffer<double> filtered;
  std::vector<double> band[2];
};

void Prepare(Frame* f, PrepareArrays* arrays) {
  const int w = f->w, h = f->h;
  Buffer<double>& out = arrays->filtered;
  std::atomic<bool> gaps{false};
  rowpool::Run(h, 64, [&](int begin, int end) {
    const double* p = f->v.data();
    if (std::any_of(p + static_cast<std::size_t>(begin) * w, p + static_cast<std::size_t>(end) * w,
                    [](double x) { return std::isnan(x); }))
      gaps = true;
  });
  if (gaps) {
    const double fill = MedianOf(f->v, w, h, arrays->band[0]);
    for (double& x : f->v)
      if (std::isnan(x)) x = fill;
  }
  out.resize(f->v.size());
  const double* in = f->v.data();
  // The 3 × 3 median by sorted columns: with each column of the window sorted, the median
  // of the nine is the median of the largest of the lows, the median of the middles and
  // the smallest of the highs, and each column's sort serves the three windows it is in.
  // Columns and rows beyond the frame repeat its edge.
  rowpool::Run(h, 16, [&](int begin, int end) {
    std::vector<double> lo(static_cast<std::size_t>(w)), mid(lo.size()), hi(lo.size());
    for (int y = begin; y < end; ++y) {
      const double* rows[3];
      for (int j = 0; j < 3; ++j)
        rows[j] = in + static_cast<std::size_t>(std::clamp(y + j - 1, 0, h - 1)) * w;
      for (int x = 0; x < w; ++x) {
        const double a = rows[0][x], b = rows[1][x], c = rows[2][x];
        const double ab = std::min(a, b), ba = std::max(a, b);
        lo[x] = std::min(ab, c);
        const double rest = std::max(ab, c);
        mid[x] = std::min(ba, rest);
        hi[x] = std::max(ba, rest);
      }
      double* o = &out[static_cast<std::size_t>(y) * w];
      auto med3 = [](double a, double b, double c) {
        return std::max(std::min(a, b), std::min(std::max(a, b), c));
      };
      auto window = [&](int xl, int x, int xr) {
        const double l = std::max({lo[xl], lo[x], lo[xr]});
        const double m = med3(mid[xl], mid[x], mid[xr]);
        const double u = std::min({hi[xl], hi[x], hi[xr]});
        return med3(l, m, u);
      };
      o[0] = window(0, 0, std::min(1, w - 1));
      for (int x = 1; x + 1 < w; ++x) o[x] = window(x - 1, x, x + 1);
      if (w > 1) o[w - 1] = window(w - 2, w - 1, w - 1);
    }
  });
  // The level, and the pixel noise from the median absolute difference of neighbours,
  // which the sky's slope does not touch: two medians, one on each thread. Values beyond a
  // few noise levels are compressed (asinh), so that every star takes part and no single
  // bright star decides.
  double level = 0, devMedian = 0;
  rowpool::Run(2, 1, [&](int begin, int end) {
    for (int task = begin; task < end; ++task) {
      if (task == 0) {
        level = MedianOf(out, w, h, arrays->band[0]);
        continue;
      }
      // The differences are made a row at a time as the median reads them.
      devMedian = MedianOf(
          h, w - 1,
          [&](int y, double* d) {
            const double* r = in + static_cast<std::size_t>(y) * w;
            for (int x = 0; x + 1 < w; ++x) d[x] = std::abs(r[x + 1] - r[x]);
            return static_cast<const double*>(d);
          },
          arrays->band[1]);
    }
  });
  const double noise = 1.4826 * devMedian / std::sqrt(2.0);
  const double scale = std::max(1e-12, 3 * noise);
  auto taper = [](int i, int n) {
    const int m = std::max(1, n / 8);
    const int d = std::min(i, n - 1 - i);
    return d >= m ? 1.0 : 0.5 * (1 - std::cos(M_PI * (d + 0.5) / m));
  };
  std::vector<double> tx(static_cast<std::size_t>(w));
  for (int x = 0; x < w; ++x) tx[x] = taper(x, w);
  // Frames of integer pixels take few distinct values: whole numbers with one plane and no
  // reduction (the filter's medians are pixels), and quarters or sixteenths of them when
  // blocks of 2 × 2 or 4 × 4 are averaged. Their compressed values come from a table made
  // with the same arithmetic (lo + i / q is the value itself, exactly), which gives the
  // same numbers for a fraction of the cost. The least and largest values and the finest
  // of those steps that every value takes are found on the pool's threads.
  constexpr int kNoSteps = 1 << 20;
  double lo = std::numeric_limits<double>::infinity(), highest = -lo;
  int need = 1;
  std::mutex merge;
  rowpool::Run(h, 16, [&](int begin, int end) {
    double l = std::numeric_limits<double>::infinity(), u = -l;
    int n = 1;
    for (const double *p = out.data() + static_cast<std::size_t>(begin) * w,
                      *e = out.data() + static_cast<std::size_t>(end) * w;
         p != e; ++p) {
      const double x = *p;
      l = std::min(l, x);
      u = std::max(u, x);
      if (n == kNoSteps) continue;
      if (!(std::abs(x) < 0x1p40)) {
        n = kNoSteps;
        continue;
      }
      // The steps per unit that x is a whole number of (exact: a power of two).
      while (n <= 16) {
        const double k = x * n;
        if (k == static_cast<double>(static_cast<std::int64_t>(k))) break;
        n *= 4;
      }
      if (n > 16) n = kNoSteps;
    }
    std::lock_guard<std::mutex> lock(merge);
    lo = std::min(lo, l);
    highest = std::max(highest, u);
    need = std::max(need, n);
  });
  const double span = highest - lo;
  // The steps of the table: the finest that every value needs, unless the table would be
  // longer than a quarter of the frame.
  double q = 0;
  if (need <= 16 && span * need <= static_cast<double>(out.size() / 4)) q = need;
  std::vector<double>& table = arrays->band[0];
  if (q > 0) {
    table.resize(static_cast<std::size_t>(span * q) + 1);
    rowpool::Run(static_cast<int>(table.size()), 4096, [&](int begin, int end) {
      for (int i = begin; i < end; ++i)
        table[i] = std::asinh((lo + static_cast<double>(i) / q - level) / scale);
    });
  }
  rowpool::Run(h, 16, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      const double ty = taper(y, h);
      double* o = &out[static_cast<std::size_t>(y) * w];
      if (q > 0)
        for (int x = 0; x < w; ++x)
          o[x] = table[static_cast<std::size_t>((o[x] - lo) * q)] * ty * tx[x];
      else
        for (int x = 0; x < w; ++x) o[x] = std::asinh((o[x] - level) / scale) * ty * tx[x];
    }
  });
  f->v.swap(out);
}

// FFTW plans, made once per kind and size and kept for the program's life (the planner
// is not thread safe: plans are made under a lock; executing one is). FFTW_ESTIMATE does
// not touch the arrays while planning, and FFTW_UNALIGNED lets a plan run on any row.
enum PlanKind { kRowsForward, kRowsInverse, kColumnsForward, kColumnsInverse };

fftw_plan GetPlan(PlanKind kind, int n, int howmany, int stride, void* in, void* out) {
  // Destroyed at exit with FFTW's own tables.
  struct Plans {
    std::mutex mutex;
    std::map<std::tuple<int, int, int, int>, fftw_plan> map;
    ~Plans() {
      for (auto& [key, plan] : map)
        if (plan) fftw_destroy_plan(plan);
      fftw_cleanup();
    }
  };
  static Plans plans;
  std::lock_guard<std::mutex> lock(plans.mutex);
  fftw_plan& plan = plans.map[{kind, n, howmany, stride}];
  if (plan) return plan;
  const unsigned flags = FFTW_ESTIMATE | FFTW_UNALIGNED;
  auto* cin = static_cast<fftw_complex*>(in);
  auto* cout = static_cast<fftw_complex*>(out);
  switch (kind) {
    case kRowsForward:
      plan = fftw_plan_many_dft_r2c(1, &n, 1, static_cast<double*>(in), nullptr, 1, n, cout,
                                    nullptr, 1, n / 2 + 1, flags);
      break;
    case kRowsInverse:
      plan = fftw_plan_many_dft_c2r(1, &n, 1, cin, nullptr, 1, n / 2 + 1, static_cast<double*>(out),
                                    nullptr, 1, n, flags);
      break;
    case kColumnsForward:
    case kColumnsInverse:
      plan = fftw_plan_many_dft(1, &n, howmany, cin, nullptr, stride, 1, cout, nullptr, stride, 1,
                                kind == kColumnsForward ? FFTW_FORWARD : FFTW_BACKWARD, flags);
      break;
  }
  if (!plan) throw std::bad_alloc();
  return plan;
}

fftw_complex* AsFftw(Cx* p) {
  return reinterpret_cast<fftw_complex*>(p);
}

// The columns of a gh × cw half spectrum transformed in place, in blocks of adjacent
// columns (each block always the same way, whichever thread takes it).
void TransformColumns(Buffer<Cx>& g, int cw, int gh, bool inverse) {
  constexpr int kBlock = 8;
  const int blocks = (cw + kBlock - 1) / kBlock;
  const PlanKind kind = inverse ? kColumnsInverse : kColumnsForward;
  const int last = cw - (blocks - 1) * kBlock;
  const fftw_plan full = GetPlan(kind, gh, kBlock, cw, g.data(), g.data());
  const fftw_plan tail = GetPlan(kind, gh, last, cw, g.data(), g.data());
  rowpool::Run(blocks, 4, [&](int begin, int end) {
    for (int b = begin; b < end; ++b) {
      fftw_complex* p = AsFftw(&g[static_cast<std::size_t>(b) * kBlock]);
      fftw_execute_dft(b == blocks - 1 ? tail : full, p, p);
    }
  });
}

// The half spectrum (gh rows of gw / 2 + 1) of a prepared frame zero-padded to gw × gh.
void Forward(const Frame& f, int gw, int gh, Buffer<Cx>* spec) {
  const int cw = gw / 2 + 1;
  // Every element of the frame's rows is written by their transforms; only the rows below
  // the frame are cleared (a kept spectrum is not cleared as a whole for each frame).
  spec->resize(static_cast<std::size_t>(gh) * cw);
  std::fill(spec->begin() + static_cast<std::ptrdiff_t>(f.h) * cw, spec->end(), Cx(0));
  std::vector<double> probe(static_cast<std::size_t>(gw));
  const fftw_plan rows = GetPlan(kRowsForward, gw, 1, 1, probe.data(), spec->data());
  rowpool::Run(f.h, 16, [&](int begin, int end) {
    std::vector<double> row(static_cast<std::size_t>(gw), 0.0);
    for (int y = begin; y < end; ++y) {
      std::copy_n(&f.v[static_cast<std::size_t>(y) * f.w], f.w, row.begin());
      fftw_execute_dft_r2c(rows, row.data(), AsFftw(&(*spec)[static_cast<std::size_t>(y) * cw]));
    }
  });
  // The rows below the frame are zeros, and so are their transforms.
  TransformColumns(*spec, cw, gh, false);
}

// The real gw × gh inverse (unnormalised) of a half spectrum, which it destroys.
void Inverse(Buffer<Cx>& spec, int gw, int gh, Buffer<double>* surface) {
  const int cw = gw / 2 + 1;
  TransformColumns(spec, cw, gh, true);
  surface->resize(static_cast<std::size_t>(gw) * gh);
  const fftw_plan rows = GetPlan(kRowsInverse, gw, 1, 1, spec.data(), surface->data());
  rowpool::Run(gh, 16, [&](int begin, int end) {
    for (int y = begin; y < end; ++y)
      fftw_execute_dft_c2r(rows, AsFftw(&spec[static_cast<std::size_t>(y) * cw]),
                           &(*surface)[static_cast<std::size_t>(y) * gw]);
  });
}

int Pow2AtLeast(int n) {
  int p = 1;
  while (p < n) p <<= 1;
  return p;
}

int Signed(int k, int n) {
  return k > n / 2 ? k - n : k;
}

constexpr int kGrid = 7;   // positions along each axis of a refinement grid
constexpr int kLanes = 8;  // kGrid padded to whole vectors; the last lane is not used

// t[ky][i] = Σ_kx R(ky, kx) ex[kx][i] for the rows ky of [begin, end): the sum over kx in
// order, for every position (the sums stay in registers over the row). Each lane is
// computed with the same operations in the same order on any processor (a multiply and
// a subtraction or addition, never fused), so the clone for wider vectors gives the same
// numbers as the plain one.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void GridRows(const Cx* spec, int cw, int begin, int end, const double* exr, const double* exi,
              double* tr, double* ti) {
  // Four lanes a vector (two halves on processors with narrower vectors), the lanes of a
  // vector holding positions side by side; a row's coefficient is the same in every lane.
  typedef double V4 __attribute__((vector_size(32)));
  static_assert(kLanes == 8);
  const auto load = [](V4& v, const double* p) { std::memcpy(&v, p, sizeof v); };
  for (int ky = begin; ky < end; ++ky) {
    const Cx* r = &spec[static_cast<std::size_t>(ky) * cw];
    V4 sr0 = {}, sr1 = {}, si0 = {}, si1 = {};
    for (int kx = 0; kx < cw; ++kx) {
      const double re = r[kx].real(), im = r[kx].imag();
      const V4 a = {re, re, re, re}, b = {im, im, im, im};
      const double* er = &exr[static_cast<std::size_t>(kx) * kLanes];
      const double* ei = &exi[static_cast<std::size_t>(kx) * kLanes];
      V4 er0, er1, ei0, ei1;
      load(er0, er);
      load(er1, er + 4);
      load(ei0, ei);
      load(ei1, ei + 4);
      sr0 += a * er0 - b * ei0;
      sr1 += a * er1 - b * ei1;
      si0 += a * ei0 + b * er0;
      si1 += a * ei1 + b * er1;
    }
    double sr[kLanes], si[kLanes];
    std::memcpy(sr, &sr0, sizeof sr0);
    std::memcpy(sr + 4, &sr1, sizeof sr1);
    std::memcpy(si, &si0, sizeof si0);
    std::memcpy(si + 4, &si1, sizeof si1);
    std::copy_n(sr, kGrid, &tr[static_cast<std::size_t>(ky) * kGrid]);
    std::copy_n(si, kGrid, &ti[static_cast<std::size_t>(ky) * kGrid]);
  }
}

// The surface Re Σ R(ky, kx) e^{2πi (kx x / gw + ky y / gh)} on a kGrid × kGrid grid of
// positions (x0 + i step, y0 + j step), from the half spectrum: the columns kx in
// (gw/2, gw) are the conjugates of those in (0, gw/2) and count twice. Sets *bi, *bj to
// the best position's indices (the first of equals, rows first).
void GridBest(const Buffer<Cx>& spec, int gw, int gh, double x0, double y0, double step, int* bi,
              int* bj) {
  constexpr int n = kGrid;
  const int cw = gw / 2 + 1;
  // ex[kx][i]: the positions run along the rows, so the products below go along them.
  std::vector<double> exr(static_cast<std::size_t>(cw) * kLanes, 0.0), exi(exr.size(), 0.0);
  for (int kx = 0; kx < cw; ++kx)
    for (int i = 0; i < n; ++i) {
      const double c = kx == 0 || 2 * kx == gw ? 1.0 : 2.0;
      const Cx e = std::polar(c, 2 * M_PI * kx * (x0 + i * step) / gw);
      exr[static_cast<std::size_t>(kx) * kLanes + i] = e.real();
      exi[static_cast<std::size_t>(kx) * kLanes + i] = e.imag();
    }
  std::vector<double> tr(static_cast<std::size_t>(gh) * n), ti(tr.size());
  rowpool::Run(gh, 32, [&](int begin, int end) {
    GridRows(spec.data(), cw, begin, end, exr.data(), exi.data(), tr.data(), ti.data());
  });
  std::vector<double> acc(static_cast<std::size_t>(n) * n);
  rowpool::Run(n, 4, [&](int begin, int end) {
    for (int j = begin; j < end; ++j) {
      double* a = &acc[static_cast<std::size_t>(j) * n];
      std::fill(a, a + n, 0.0);
      const double y = y0 + j * step;
      for (int ky = 0; ky < gh; ++ky) {
        const double phase = 2 * M_PI * Signed(ky, gh) * y / gh;
        const double c = std::cos(phase), s = std::sin(phase);
        const double* r = &tr[static_cast<std::size_t>(ky) * n];
        const double* q = &ti[static_cast<std::size_t>(ky) * n];
        for (int i = 0; i < n; ++i) a[i] += r[i] * c - q[i] * s;
      }
    }
  });
  double best = -std::numeric_limits<double>::infinity();
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      if (acc[static_cast<std::size_t>(j) * n + i] > best) {
        best = acc[static_cast<std::size_t>(j) * n + i];
        *bi = i;
        *bj = j;
      }
}

// Refines (*px, *py), a point of the 1/100-pixel lattice near the peak, to the best point
// of the 1/400-pixel lattice near it by grids from coarse to fine; a grid whose best point
// lies on its border moves there and is evaluated again (a few times at most).
void Refine(const Buffer<Cx>& spec, int gw, int gh, double* px, double* py) {
  constexpr int half = kGrid / 2;
  for (const double step : {0.01, 0.0025}) {
    for (int moves = 0; moves < 4; ++moves) {
      int bi = half, bj = half;
      GridBest(spec, gw, gh, *px - half * step, *py - half * step, step, &bi, &bj);
      *px += (bi - half) * step;
      *py += (bj - half) * step;
      const bool border = bi == 0 || bj == 0 || bi == kGrid - 1 || bj == kGrid - 1;
      if (!border) break;
    }
  }
}

// The reduction of two frames of these sizes: a power of two that brings the longest
// side down to kMaxSide.
int BinFor(const CRalImage& a, const CRalImage& b, int maxSide) {
  const int side = std::max({a.GetWidth(), a.GetHeight(), b.GetWidth(), b.GetHeight()});
  int bin = 1;
  while (side / bin > maxSide) bin *= 2;
  return bin;
}

}  // namespace

// The reference as prepared and transformed for one reduction and grid, and (for reduced
// frames) the spectrum of the window of it that the full-resolution pass last used.
struct CImgMatching::Reference {
  int bin = 0, gw = 0, gh = 0;
  Buffer<Cx> spec;  // its half spectrum, gh × (gw / 2 + 1)
  Window fine;      // empty until a full-resolution pass has been made
  Buffer<Cx> fineSpec;
};

// Working arrays kept from one target to the next, so that a run of targets does not map
// and fault in fresh pages for each.
struct CImgMatching::Scratch {
  Frame frame;
  PrepareArrays prepare;
  Buffer<double> surface;
  Buffer<Cx> cross, work, fineCross;
};

namespace {

// The correlation peak of a target against a reference spectrum on a gw × gh grid.
struct Peak {
  double score = 0, ratio = 0;
  double sx = 0, sy = 0;  // the peak to the nearest hundredth of a pixel, signed
};

// Transforms the prepared target, forms the weighted phase of the cross-power spectrum
// (left in *cross for the refinement), and finds the peak of its inverse and the
// surface's statistics outside the peak.
Peak Correlate(const Buffer<Cx>& refSpec, const Frame& tgt, int gw, int gh, Buffer<Cx>* cross,
               Buffer<Cx>* work, Buffer<double>* surface) {
  const int cw = gw / 2 + 1;
  Buffer<Cx>& a = *cross;
  Forward(tgt, gw, gh, &a);
  std::vector<double> wx(static_cast<std::size_t>(cw)), wy(static_cast<std::size_t>(gh));
  const double band = 2 * kBandSigma * kBandSigma;
  for (int kx = 0; kx < cw; ++kx) {
    const double fx = static_cast<double>(kx) / gw;
    wx[kx] = std::exp(-fx * fx / band);
  }
  for (int ky = 0; ky < gh; ++ky) {
    const double fy = static_cast<double>(Signed(ky, gh)) / gh;
    wy[ky] = std::exp(-fy * fy / band);
  }
  // The inverse destroys its input: each row also goes into *work as it is made.
  work->resize(a.size());
  rowpool::Run(gh, 32, [&](int begin, int end) {
    for (int ky = begin; ky < end; ++ky) {
      const Cx* s = &refSpec[static_cast<std::size_t>(ky) * cw];
      Cx* t = &a[static_cast<std::size_t>(ky) * cw];
      Cx* copy = &(*work)[static_cast<std::size_t>(ky) * cw];
      for (int kx = 0; kx < cw; ++kx) {
        const double re = s[kx].real() * t[kx].real() + s[kx].imag() * t[kx].imag();
        const double im = s[kx].imag() * t[kx].real() - s[kx].real() * t[kx].imag();
        const double mag = std::sqrt(re * re + im * im);
        const double k = mag > 1e-300 ? wy[ky] * wx[kx] / mag : 0.0;
        t[kx] = Cx(re * k, im * k);
        copy[kx] = t[kx];
      }
    }
  });
  Buffer<double>& c = *surface;
  Inverse(*work, gw, gh, &c);
  // The peak: the first of the largest values, found per row on the pool's threads and
  // then over the rows in order, which is the first in the whole surface.
  std::vector<std::size_t> rowPeak(static_cast<std::size_t>(gh));
  rowpool::Run(gh, 32, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      const double* row = &c[static_cast<std::size_t>(y) * gw];
      int best = 0;
      for (int x = 1; x < gw; ++x)
        if (row[x] > row[best]) best = x;
      rowPeak[y] = static_cast<std::size_t>(y) * gw + best;
    }
  });
  std::size_t peak = rowPeak[0];
  for (int y = 1; y < gh; ++y)
    if (c[rowPeak[y]] > c[peak]) peak = rowPeak[y];
  const int px = static_cast<int>(peak % gw), py = static_cast<int>(peak / gw);
  // Surface statistics outside the peak's 5 × 5 neighbourhood: sums of each row along
  // it on the pool's threads, then of the rows in order (the same figures whatever the
  // threads).
  struct RowSums {
    double sum = 0, sum2 = 0, count = 0, second = -std::numeric_limits<double>::infinity();
  };
  std::vector<RowSums> rows(static_cast<std::size_t>(gh));
  rowpool::Run(gh, 32, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      const bool nearRow = std::abs(Signed((y - py + gh) % gh, gh)) <= 2;
      const double* row = &c[static_cast<std::size_t>(y) * gw];
      RowSums r;
      if (!nearRow) {
        // Without the test of every column.
        for (int x = 0; x < gw; ++x) {
          const double v = row[x];
          r.sum += v;
          r.sum2 += v * v;
          r.second = std::max(r.second, v);
        }
        r.count = gw;
      } else {
        for (int x = 0; x < gw; ++x) {
          if (std::abs(Signed((x - px + gw) % gw, gw)) <= 2) continue;
          const double v = row[x];
          r.sum += v;
          r.sum2 += v * v;
          r.second = std::max(r.second, v);
          r.count += 1;
        }
      }
      rows[y] = r;
    }
  });
  double sum = 0, sum2 = 0, count = 0, second = -std::numeric_limits<double>::infinity();
  for (const RowSums& r : rows) {
    sum += r.sum;
    sum2 += r.sum2;
    count += r.count;
    second = std::max(second, r.second);
  }
  Peak out;
  const double mean = sum / count;
  const double sd = std::sqrt(std::max(0.0, sum2 / count - mean * mean));
  out.score = sd > 0 ? (c[peak] - mean) / sd : 0.0;
  out.ratio = second > mean ? (c[peak] - mean) / (second - mean) : 0.0;
  // The refinement starts from the vertex of Gaussians (parabolas through the logarithms;
  // through the values when one is not positive) through the peak and its neighbours on
  // the surface, taken to the nearest hundredth of a pixel.
  auto at = [&](int x, int y) {
    return c[static_cast<std::size_t>((y + gh) % gh) * gw + (x + gw) % gw];
  };
  auto vertex = [](double before, double top, double after) {
    if (before > 0 && after > 0 && top > 0) {
      before = std::log(before);
      after = std::log(after);
      top = std::log(top);
    }
    const double curve = before - 2 * top + after;
    const double t = curve < 0 ? 0.5 * (before - after) / curve : 0.0;
    return std::round(std::clamp(t, -0.5, 0.5) / 0.01) * 0.01;
  };
  out.sx = Signed(px, gw) + vertex(at(px - 1, py), c[peak], at(px + 1, py));
  out.sy = Signed(py, gh) + vertex(at(px, py - 1), c[peak], at(px, py + 1));
  return out;
}

// The window of the reference measured again at full resolution: at most kFineSide on a
// side, centred, cut to the part that the target (laid by the whole-pixel shift kx, ky)
// also covers. Empty when too little is left.
Window FineWindow(const CImage& ref, const CImage& tgt, int kx, int ky) {
  const int fw = std::min(ref.GetWidth(), CImgMatching::kFineSide),
            fh = std::min(ref.GetHeight(), CImgMatching::kFineSide);
  const int x0 = std::max((ref.GetWidth() - fw) / 2, kx),
            y0 = std::max((ref.GetHeight() - fh) / 2, ky);
  const int x1 = std::min((ref.GetWidth() - fw) / 2 + fw, kx + tgt.GetWidth()),
            y1 = std::min((ref.GetHeight() - fh) / 2 + fh, ky + tgt.GetHeight());
  if (x1 - x0 < 64 || y1 - y0 < 64) return {};
  return {x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

CImgMatching::CImgMatching(CRalImage& image) : m_Image(image) {}

CImgMatching::~CImgMatching() = default;

void CImgMatching::KeepReference(bool keep) {
  m_bKeep = keep;
  if (!keep) m_pReference.reset();
}

int CImgMatching::Do(const CRalImage* target, double* dx, double* dy, const MatchingParams* params,
                     int final) {
  if (dx) *dx = 0;
  if (dy) *dy = 0;
  m_dScore = 0;
  if (!target || target->IsEmpty() || m_Image.IsEmpty() || target->GetPlanes() < 1 ||
      m_Image.GetPlanes() < 1)
    return 0;
  const MatchingParams prm = params ? *params : MatchingParams{};
  const double minScore = prm.minScore > 0 ? prm.minScore : kMinScore;
  int ok = 0;
  m_Image.ShowProgressInit(final, "画像マッチング中...", 4);
  try {
    if (!m_pScratch) m_pScratch = std::make_unique<Scratch>();
    Scratch& scratch = *m_pScratch;
    const int bin = BinFor(m_Image, *target, kMaxSide);
    const int rw = m_Image.GetWidth() / bin, rh = m_Image.GetHeight() / bin;
    const int gw = Pow2AtLeast(std::max(rw, target->GetWidth() / bin)),
              gh = Pow2AtLeast(std::max(rh, target->GetHeight() / bin));
    std::unique_ptr<Reference> made;
    Reference* ref = m_pReference.get();
    if (!ref || ref->bin != bin || ref->gw != gw || ref->gh != gh) {
      ref = nullptr;
      // Read into the target's arrays, which are free until the target is read.
      Frame& frame = scratch.frame;
      if (ReadFrame(m_Image, bin, &frame, Whole(m_Image))) {
        made = std::make_unique<Reference>();
        made->bin = bin;
        made->gw = gw;
        made->gh = gh;
        Prepare(&frame, &scratch.prepare);
        Forward(frame, gw, gh, &made->spec);
        ref = made.get();
      }
    }
    Frame& tgt = scratch.frame;
    if (ref && ReadFrame(*target, bin, &tgt, Whole(*target))) {
      Prepare(&tgt, &scratch.prepare);
      m_Image.ShowProgress(1);
      const Peak peak =
          Correlate(ref->spec, tgt, gw, gh, &scratch.cross, &scratch.work, &scratch.surface);
      m_Image.ShowProgress(1);
      m_dScore = peak.score;
      const bool confident =
          (peak.score >= minScore && peak.ratio >= kMinPeakRatio) ||
          (peak.score >= std::max(minScore, kStrongScore) && peak.ratio >= kStrongPeakRatio);
      double sx = peak.sx, sy = peak.sy;
      bool refined = false;
      if (confident && bin > 1) {
        // Block means lose the sub-pixel detail of stars a few pixels wide: the shift found
        // on them is taken to the whole pixel, and the rest is measured at full resolution
        // on a window of the two frames that this shift lays on each other.
        const int kx = static_cast<int>(std::lround(peak.sx * bin)),
                  ky = static_cast<int>(std::lround(peak.sy * bin));
        const Window fine = FineWindow(m_Image, *target, kx, ky);
        const int fgw = Pow2AtLeast(fine.w), fgh = Pow2AtLeast(fine.h);
        // A window of the reference is kept with its spectrum (an empty one is never kept).
        bool have = fine.w > 0 && ref->fine == fine;
        if (fine.w > 0 && !have) {
          Frame& frame = tgt;  // matched already; read again below
          if (ReadFrame(m_Image, 1, &frame, fine)) {
            Prepare(&frame, &scratch.prepare);
            ref->fine = {};  // until its spectrum is whole
            Forward(frame, fgw, fgh, &ref->fineSpec);
            ref->fine = fine;
            have = true;
          }
        }
        if (have && ReadFrame(*target, 1, &tgt, {fine.x - kx, fine.y - ky, fine.w, fine.h})) {
          Prepare(&tgt, &scratch.prepare);
          const Peak rest = Correlate(ref->fineSpec, tgt, fgw, fgh, &scratch.fineCross,
                                      &scratch.work, &scratch.surface);
          // The rest lies within a pixel or so; a peak further out is not this shift's.
          if (std::abs(rest.sx) <= 2.5 && std::abs(rest.sy) <= 2.5) {
            double fx = rest.sx, fy = rest.sy;
            Refine(scratch.fineCross, fgw, fgh, &fx, &fy);
            sx = kx + fx;
            sy = ky + fy;
            refined = true;
          }
        }
      }
      if (confident && !refined) {
        // Refined on the grid of the frames as they were matched.
        Refine(scratch.cross, gw, gh, &sx, &sy);
        sx *= bin;
        sy *= bin;
      }
      if (confident &&
          (prm.maxShift <= 0 || (std::abs(sx) <= prm.maxShift && std::abs(sy) <= prm.maxShift))) {
        if (dx) *dx = sx;
        if (dy) *dy = sy;
        ok = 1;
      }
      m_Image.ShowProgress(1);
    }
    if (made && m_bKeep) m_pReference = std::move(made);
  } catch (const std::bad_alloc&) {
    ok = 0;
  }
  m_Image.ShowProgressEnd();
  return ok;
}
