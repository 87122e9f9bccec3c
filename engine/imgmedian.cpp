// Row-wise stacking: each Store samples the frame along one destination row (reading only
// the frame rows the row passes over) and appends it; a computation reduces the stored
// values pixel by pixel with imgclip's median and clip.
#include "engine/imgmedian.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <system_error>
#include <thread>

#include "engine/imgclip.h"
#include "engine/imgsample.h"
#include "engine/ralimage.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Positions this close to a pixel are taken as the pixel, as in imgsample::Resample.
constexpr double kSnap = 1e-9;
// Values in a row from which its reduction is worth a second thread.
constexpr std::int64_t kSplitWork = 16384;

// Row v of the frame read from the band that holds it; false when the band does not.
bool ReadFrameSpan(const CImgMedianComposit::Band& frame, int x0, int n, int v, int plane,
                   double* out) {
  const int r = v - frame.first;
  if (r < 0 || r >= frame.rows->GetHeight()) return false;
  if (frame.values) {
    const int k = v - frame.valueFirst;
    if (k < 0 || k >= frame.valueRows || !frame.readable[k]) return false;
    const std::size_t w = static_cast<std::size_t>(frame.rows->GetWidth());
    const double* row =
        frame.values + (static_cast<std::size_t>(k) * frame.rows->GetPlanes() + plane) * w;
    std::copy_n(row + x0, n, out);
    return true;
  }
  return imgsample::ReadSpan(*frame.rows, x0, n, r, plane, out);
}

}  // namespace

CImgMedianComposit::CImgMedianComposit(CRalImage& dest, int final)
    : m_Dest(dest), m_nFinal(final) {}

CImgMedianComposit::~CImgMedianComposit() {
  if (m_bProgress) m_Dest.ShowProgressEnd();
}

int CImgMedianComposit::Store(const CRalImage* frame, int y, double dx, double dy,
                              double rotation) {
  if (!frame) return 0;
  return Store(Band{frame, 0, frame->GetHeight()}, y, dx, dy, rotation);
}

int CImgMedianComposit::Store(const Band& band, int y, double dx, double dy, double rotation) {
  const CRalImage* frame = band.rows;
  if (!frame || frame->IsEmpty() || frame->GetPlanes() < 1 || m_Dest.IsEmpty()) return 0;
  if (band.first < 0 || band.first + frame->GetHeight() > band.height) return 0;
  const int destHeight = m_nDestHeight < 0 ? m_Dest.GetHeight() : m_nDestHeight;
  if (y < m_nDestFirst || y >= destHeight || y - m_nDestFirst >= m_Dest.GetHeight() ||
      (m_nFrames > 0 && y != m_nRow))
    return 0;
  if (!std::isfinite(dx) || !std::isfinite(dy) || !std::isfinite(rotation)) return 0;
  const int w = m_Dest.GetWidth(), planes = m_Dest.GetPlanes();
  const int fw = frame->GetWidth(), fh = band.height;
  try {
    if (!m_bProgress && m_nFinal) {
      m_Dest.ShowProgressInit(1, "中央値合成中...", m_Dest.GetHeight());
      m_bProgress = true;
    }
    // Destination (x, y) → frame (u, v) = c + R(−θ) ((x, y) − d − c), as CImgComposit.
    const double t = rotation * (M_PI / 180.0), c = std::cos(t), s = std::sin(t);
    const double ox = (fw - 1) / 2.0, oy = (fh - 1) / 2.0;
    const double bx = ox - c * (dx + ox) - s * (dy + oy) + s * y;
    const double by = oy + s * (dx + ox) - c * (dy + oy) + c * y;
    // The frame rows this destination row passes over.
    const double v0 = by, v1 = by - s * (w - 1);
    const int top = std::max(0, static_cast<int>(std::floor(std::min(v0, v1) - kSnap)));
    const int bottom = std::min(fh - 1, static_cast<int>(std::ceil(std::max(v0, v1) + kSnap)));
    // The buffer only grows; the values past m_nUsed are left over from earlier rows and
    // every one this frame's slot holds is written below.
    const std::size_t base = m_nUsed, need = base + static_cast<std::size_t>(planes) * w;
    if (m_Values.size() < need) m_Values.resize(need);
    double* const slot = &m_Values[base];
    bool ok = true;
    const double sx = std::round(dx), sy = std::round(dy);
    if (rotation == 0 && dx == sx && dy == sy) {
      // A whole-pixel shift: the frame's row, read straight into place, and no value where
      // the frame does not reach.
      const int fy = y - static_cast<int>(sy);
      int x0 = std::max(0, static_cast<int>(sx));
      int x1 = std::min(w, fw + static_cast<int>(sx));
      if (fy < 0 || fy >= fh || x0 >= x1) x0 = x1 = w;
      for (int p = 0; p < planes && ok; ++p) {
        double* row = slot + static_cast<std::size_t>(p) * w;
        std::fill(row, row + x0, kNaN);
        std::fill(row + x1, row + w, kNaN);
        if (x0 < x1)
          ok = ReadFrameSpan(band, x0 - static_cast<int>(sx), x1 - x0, fy,
                             std::min(p, frame->GetPlanes() - 1), row + x0);
      }
    } else if (top > bottom) {
      std::fill(slot, slot + (need - base), kNaN);
    } else if (rotation == 0 && m_bShiftShortcut) {
      ok = StoreShifted(band, bx, by, slot);
    } else {
      const int rows = bottom - top + 1;
      m_Rows.resize(static_cast<std::size_t>(rows) * fw);
      for (int p = 0; p < planes && ok; ++p) {
        const int fp = std::min(p, frame->GetPlanes() - 1);
        for (int r = 0; r < rows && ok; ++r)
          ok = ReadFrameSpan(band, 0, fw, top + r, fp, &m_Rows[static_cast<std::size_t>(r) * fw]);
        if (!ok) break;
        double* out = slot + static_cast<std::size_t>(p) * w;
        std::fill(out, out + w, kNaN);
        for (int x = 0; x < w; ++x) {
          double u = bx + c * x, v = by - s * x;
          if (std::abs(u - std::round(u)) < kSnap) u = std::round(u);
          if (std::abs(v - std::round(v)) < kSnap) v = std::round(v);
          if (!(u >= 0 && u <= fw - 1 && v >= 0 && v <= fh - 1)) continue;
          const int iu = static_cast<int>(u), iv = static_cast<int>(v);
          const double fu = u - iu, fv = v - iv;
          // Neighbours of zero weight are left out, so a NaN there does not spread.
          double sum = 0;
          for (int j = 0; j < 2; ++j) {
            const double wv = j ? fv : 1 - fv;
            if (wv == 0) continue;
            const double* row = &m_Rows[static_cast<std::size_t>(iv + j - top) * fw];
            for (int i = 0; i < 2; ++i) {
              const double wu = i ? fu : 1 - fu;
              if (wu == 0) continue;
              sum += wu * wv * row[iu + i];
            }
          }
          out[x] = sum;
        }
      }
    }
    if (!ok) return 0;
    m_nUsed = need;
    m_nRow = y;
    ++m_nFrames;
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

// Without rotation the general loop's row position is the same for the whole row (s = 0,
// c = 1 exactly), so its snapping, row weights and frame rows are found once; the column
// position bx + x, its snapping and weights are computed by the same operations in the
// same order as the general loop, so every value is the same double.
bool CImgMedianComposit::StoreShifted(const Band& band, double bx, double by, double* slot) {
  const CRalImage& frame = *band.rows;
  const int w = m_Dest.GetWidth(), planes = m_Dest.GetPlanes();
  const int fw = frame.GetWidth(), fh = band.height;
  // The general loop's snapping, std::round done by truncation: the fraction p − t is
  // exact, so the whole number chosen (halves away from zero) and the distance to it are
  // the same doubles. Beyond 2^52 every double is whole and stays as it is.
  const auto snap = [](double p) {
    if (!(std::abs(p) < 4503599627370496.0)) return p;
    const double t = static_cast<double>(static_cast<long long>(p));
    const double f = p - t;
    const double r = f >= 0.5 ? t + 1 : f <= -0.5 ? t - 1 : t;
    return std::abs(p - r) < kSnap ? r : p;
  };
  double v = snap(by);
  const std::size_t fill = static_cast<std::size_t>(planes) * w;
  if (!(v >= 0 && v <= fh - 1)) {
    std::fill(slot, slot + fill, kNaN);
    return true;
  }
  const int iv = static_cast<int>(v);
  const double fv = v - iv;
  const double wv0 = 1 - fv, wv1 = fv;
  const bool two = wv1 != 0;
  // Columns whose position lies in [0, fw − 1] after snapping: from the first x with
  // bx + x >= −kSnap to the last with bx + x < fw − 1 + kSnap, found by the per-pixel test
  // itself at the ends so that no rounding of the bounds can differ.
  const auto inside = [&](int x) {
    const double u = snap(bx + x);
    return u >= 0 && u <= fw - 1;
  };
  int x0 = static_cast<int>(std::clamp(std::ceil(-bx) - 1, 0.0, static_cast<double>(w)));
  while (x0 < w && !inside(x0)) ++x0;
  while (x0 > 0 && inside(x0 - 1)) --x0;
  int x1 = static_cast<int>(std::clamp(std::floor(fw - 1 - bx) + 2, 0.0, static_cast<double>(w)));
  if (x1 < x0) x1 = x0;
  while (x1 > x0 && !inside(x1 - 1)) --x1;
  while (x1 < w && inside(x1)) ++x1;
  // Positions are monotonic in x, so [x0, x1) holds every inside column.
  // When bx is well away from a whole number (and not so large that bx + x loses the
  // fraction), every bx + x is too: it lies between k + x and k + x + 1 with k = ⌊bx⌋, none
  // is snapped, and neither of its weights is zero (fraction in (0, 1), wv0 = 1 − fv never
  // zero either).
  const double fb = bx - std::floor(bx);
  const bool clean = std::abs(bx) < 1e9 && fw < (1 << 30) && fb > 1e-6 && fb < 1 - 1e-6 && wv0 != 0;
  const int k = clean ? static_cast<int>(std::floor(bx)) : 0;
  m_Rows.resize(static_cast<std::size_t>(two ? 2 : 1) * fw);
  const double* r0 = m_Rows.data();
  const double* r1 = two ? r0 + fw : r0;
  for (int p = 0; p < planes; ++p) {
    const int fp = std::min(p, frame.GetPlanes() - 1);
    double* out = slot + static_cast<std::size_t>(p) * w;
    std::fill(out, out + x0, kNaN);
    std::fill(out + x1, out + w, kNaN);
    if (x0 >= x1) continue;
    if (!ReadFrameSpan(band, 0, fw, iv, fp, m_Rows.data())) return false;
    if (two && !ReadFrameSpan(band, 0, fw, iv + 1, fp, m_Rows.data() + fw)) return false;
    if (clean) {
      // No column is snapped, and both column weights of every pixel are non-zero.
      for (int x = x0; x < x1; ++x) {
        const int iu = x + k;
        const double fu = (bx + x) - iu;
        const double wu0 = 1 - fu, wu1 = fu;
        double sum = 0;
        sum += wu0 * wv0 * r0[iu];
        sum += wu1 * wv0 * r0[iu + 1];
        if (two) {
          sum += wu0 * wv1 * r1[iu];
          sum += wu1 * wv1 * r1[iu + 1];
        }
        out[x] = sum;
      }
      continue;
    }
    for (int x = x0; x < x1; ++x) {
      const double u = snap(bx + x);
      const int iu = static_cast<int>(u);
      const double fu = u - iu;
      const double wu0 = 1 - fu, wu1 = fu;
      // Neighbours of zero weight are left out, so a NaN there does not spread.
      double sum = 0;
      if (wv0 != 0) {
        if (wu0 != 0) sum += wu0 * wv0 * r0[iu];
        if (wu1 != 0) sum += wu1 * wv0 * r0[iu + 1];
      }
      if (two) {
        if (wu0 != 0) sum += wu0 * wv1 * r1[iu];
        if (wu1 != 0) sum += wu1 * wv1 * r1[iu + 1];
      }
      out[x] = sum;
    }
  }
  return true;
}

int CImgMedianComposit::Calc(double* row) {
  return Compute(Mode::kMedian, row);
}
int CImgMedianComposit::CalcClipping(double* row) {
  return Compute(Mode::kClipMedian, row);
}
int CImgMedianComposit::AddAvrCalcClipping(int add, double* row) {
  return Compute(add ? Mode::kClipSum : Mode::kClipMean, row);
}

int CImgMedianComposit::Compute(Mode mode, double* into) {
  const int frames = m_nFrames, y = m_nRow;
  m_nFrames = 0;
  m_nUsed = 0;
  if (frames == 0) return 0;
  const int w = m_Dest.GetWidth(), planes = m_Dest.GetPlanes();
  bool ok = true;
  try {
    std::vector<double> out(static_cast<std::size_t>(w));
    std::vector<double> pix[2] = {std::vector<double>(static_cast<std::size_t>(frames)),
                                  std::vector<double>(static_cast<std::size_t>(frames))};
    if (mode == Mode::kMedian && m_Network.GetCount() != frames)
      m_Network = mediannet::Network(frames);
    const bool network = mode == Mode::kMedian && m_Network.GetCount() == frames;
    const bool keyed =
        mode == Mode::kMedian && frames >= mediannet::kKeyedFrom && frames <= mediannet::kMaxKeyed;
    std::vector<std::int16_t> keys[2];
    if (keyed)
      for (auto& k : keys) k.resize(static_cast<std::size_t>(frames) * mediannet::kColumns);
    const std::size_t stride = static_cast<std::size_t>(planes) * w;
    // The result at column x of plane p, with the scratch buffer pix.
    auto one = [&](int p, int x, double* scratch) {
      const double* values = &m_Values[static_cast<std::size_t>(p) * w + x];
      int n = 0;
      for (int f = 0; f < frames; ++f) {
        const double v = values[f * stride];
        if (std::isfinite(v)) scratch[n++] = v;
      }
      if (n == 0) return kNaN;
      switch (mode) {
        case Mode::kMedian:
          return imgclip::Median(scratch, n);
        case Mode::kClipMedian:
          return imgclip::Median(scratch, imgclip::SigmaClip(scratch, n));
        case Mode::kClipMean:
        case Mode::kClipSum:
          break;
      }
      const int kept = imgclip::SigmaClip(scratch, n);
      const double mean = imgclip::Mean(scratch, kept);
      return mode == Mode::kClipSum ? mean * n : mean;
    };
    // Reduces columns [x0, x1) of plane p into out; allocates nothing, so it may run on a
    // second thread. The plain median takes eight columns at a time, by the keyed
    // selection when the values are whole numbers of a narrow enough range, else through
    // the network, but for a block with a gap, which goes column by column as do the
    // columns left over. A row that turns out not to be whole numbers (a block the
    // network takes but the keys do not) stops trying the keys.
    auto reduce = [&](int p, int x0, int x1, double* scratch, std::int16_t* key) {
      int x = x0;
      if (network || keyed) {
        const double* plane = &m_Values[static_cast<std::size_t>(p) * w];
        bool tryKeys = keyed;
        for (; x + mediannet::kColumns <= x1; x += mediannet::kColumns) {
          if (tryKeys && mediannet::KeyedBlock(plane + x, stride, frames, key, &out[x])) continue;
          if (network && m_Network.Block(plane + x, stride, &out[x])) {
            tryKeys = false;
            continue;
          }
          for (int c = x; c < x + mediannet::kColumns; ++c) out[c] = one(p, c, scratch);
        }
      }
      for (; x < x1; ++x) out[x] = one(p, x, scratch);
    };
    // Both cores share a long row; each pixel's result does not depend on the split. Rows
    // computed into the caller's buffer are not split: the caller shares out the rows.
    const bool split = !into && static_cast<std::int64_t>(w) * frames >= kSplitWork &&
                       std::thread::hardware_concurrency() > 1;
    for (int p = 0; p < planes && ok; ++p) {
      if (split) {
        std::thread second;
        try {
          second = std::thread(reduce, p, w / 2, w, pix[1].data(), keys[1].data());
        } catch (const std::system_error&) {
          reduce(p, w / 2, w, pix[1].data(), keys[1].data());
        }
        reduce(p, 0, w / 2, pix[0].data(), keys[0].data());
        if (second.joinable()) second.join();
      } else {
        reduce(p, 0, w, pix[0].data(), keys[0].data());
      }
      if (into)
        std::copy(out.begin(), out.end(), into + static_cast<std::size_t>(p) * w);
      else
        ok = imgsample::WriteSpan(m_Dest, 0, w, y - m_nDestFirst, p, out.data());
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (m_bProgress) m_Dest.ShowProgress(1);
  return ok ? 1 : 0;
}
