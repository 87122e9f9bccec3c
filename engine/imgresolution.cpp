// Separable resampling. Each axis has a table of contributions: for every target index
// the source indices and their weights (summing to 1). Rows are resampled along x as
// they are read, kept while a target row still needs them, and combined down the
// columns, so each source row is read once and only a few rows are held.
#include "engine/imgresolution.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <new>
#include <utility>
#include <vector>

#include "engine/imgsample.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"

namespace {

struct Tap {
  int index;
  double weight;
};

// Contributions along one axis from n source pixels to m target pixels.
std::vector<std::vector<Tap>> Taps(int n, int m) {
  std::vector<std::vector<Tap>> taps(static_cast<std::size_t>(m));
  const double s = static_cast<double>(n) / m;
  for (int i = 0; i < m; ++i) {
    auto& t = taps[static_cast<std::size_t>(i)];
    if (n == m) {
      t.push_back({i, 1.0});
    } else if (s > 1.0) {
      const double a = i * s, b = (i + 1) * s;
      for (int k = static_cast<int>(std::floor(a)); k < n && k < b; ++k) {
        const double cover = std::min(b, k + 1.0) - std::max(a, static_cast<double>(k));
        if (cover > 0) t.push_back({k, cover / s});
      }
    } else {
      const double c = std::clamp((i + 0.5) * s - 0.5, 0.0, n - 1.0);
      const int k = std::min(static_cast<int>(c), n - 1);
      const double f = c - k;
      t.push_back({k, 1.0 - f});
      if (f > 0) t.push_back({k + 1, f});
    }
  }
  return taps;
}

}  // namespace

int CImgResolution::Do(const CRalImage* source, int width, int height, int final) {
  const CImage& src = source ? *source : m_Image;
  if (width < 1 || height < 1 || src.IsEmpty() || src.GetWidth() < 1 || src.GetHeight() < 1)
    return 0;
  const int w = src.GetWidth(), h = src.GetHeight();
  bool ok = true;
  try {
    const auto tx = Taps(w, width), ty = Taps(h, height);
    CRalImage result;
    imgsample::MakeLike(&result, src, width, height);
    std::vector<double> in(static_cast<std::size_t>(w)), out(static_cast<std::size_t>(width));
    // Source rows resampled along x, by row number, oldest first.
    std::deque<std::pair<int, std::vector<double>>> rows;
    m_Image.ShowProgressInit(final, "解像度変更中...",
                             static_cast<std::int64_t>(src.GetPlanes()) * height);
    for (int p = 0; p < src.GetPlanes() && ok; ++p) {
      rows.clear();
      for (int j = 0; j < height && ok; ++j) {
        const auto& taps = ty[static_cast<std::size_t>(j)];
        while (!rows.empty() && rows.front().first < taps.front().index) rows.pop_front();
        for (const Tap& t : taps) {
          if (!rows.empty() && rows.back().first >= t.index) continue;
          if (!imgsample::ReadSpan(src, 0, w, t.index, p, in.data())) {
            ok = false;
            break;
          }
          std::vector<double> row(static_cast<std::size_t>(width));
          for (int i = 0; i < width; ++i) {
            double sum = 0;
            for (const Tap& u : tx[static_cast<std::size_t>(i)]) sum += in[u.index] * u.weight;
            row[static_cast<std::size_t>(i)] = sum;
          }
          rows.emplace_back(t.index, std::move(row));
        }
        if (!ok) break;
        std::fill(out.begin(), out.end(), 0.0);
        for (const Tap& t : taps) {
          const auto& row = rows[static_cast<std::size_t>(t.index - rows.front().first)].second;
          for (int i = 0; i < width; ++i) out[i] += row[i] * t.weight;
        }
        ok = imgsample::WriteSpan(result, 0, width, j, p, out.data());
        m_Image.ShowProgress(1);
      }
    }
    if (ok) {
      FollowPixelMove(result, CPixelMove::Resample(w, h, width, height));
      imgsample::Replace(m_Image, result);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  m_Image.ShowProgressEnd();
  return ok ? 1 : 0;
}
