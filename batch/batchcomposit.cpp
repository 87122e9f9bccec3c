// The stacking run: a destination prepared from a model, then either the add path (each
// frame composited onto the destination in turn) or the row path (every frame's row y
// gathered, then combined).
#include "batch/batchcomposit.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>

#include "batch/batchtexts.h"
#include "engine/imgcalc.h"
#include "engine/imgcentroid.h"
#include "engine/imgcomposit.h"
#include "engine/imgmedian.h"
#include "engine/imgsample.h"
#include "engine/ralimage.h"
#include "imagemodel/rowpool.h"
#include "platform/progress.h"

CBatchComposit::CBatchComposit(const BatchCompositSettings& settings,
                               std::vector<BatchTarget> targets)
    : CBatchRun(std::move(targets)), m_Settings(settings) {}

CBatchComposit::~CBatchComposit() = default;

int CBatchComposit::MakeNewDestination(const CRalImage* active) {
  const int n = static_cast<int>(m_Targets.size());
  int model = -1;
  for (int i = 0; i < n && active; ++i)
    if (m_Targets[i].image == active) model = i;
  std::unique_ptr<CRalImage> holder;
  const CRalImage* source = model >= 0 ? active : nullptr;
  for (int i = 0; i < n && !source; ++i) {
    if (m_Targets[i].image) {
      source = m_Targets[i].image;
    } else {
      auto image = std::make_unique<CRalImage>();
      if (!m_Reader(m_Targets[i].path, *image)) continue;
      holder = std::move(image);
      source = holder.get();
    }
    model = i;
  }
  if (!source) return 0;
  try {
    m_pNewImage = std::make_unique<CRalImage>(*source);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  m_pNewImage->SetOrgFileName(source->GetOrgFileName());
  m_pNewImage->SetOrgFileFormat(source->GetOrgFileFormat());
  m_pDest = m_pNewImage.get();
  m_nDestIndex = model;
  return 1;
}

void CBatchComposit::SetDestination(CRalImage* destination, int destinationIndex) {
  m_pNewImage.reset();
  m_pDest = destination;
  m_nDestIndex = destinationIndex;
}

int CBatchComposit::CheckValue() {
  if (!m_pDest) return 0;
  // The destination's centre is measured as every frame's is, above its sky. A destination
  // with nothing above its sky stays without a reference point, and every frame is then
  // reported as not aligned.
  if (m_Settings.align && m_Settings.alignMethod == 0 && !m_pDest->IsValidStdPt(0)) {
    double x = 0, y = 0;
    if (CenterOfGravityAboveSky(*m_pDest, x, y)) m_pDest->SetStdPt(0, CfPoint(x, y));
  }
  try {
    m_pWork = std::make_unique<CRalImage>(*m_pDest);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

bool CBatchComposit::Align(CRalImage& target, double* dx, double* dy, double* rotation,
                           std::string* why) {
  *dx = *dy = *rotation = 0;
  bool ok = true;
  if (!m_Settings.align) {
  } else if (m_Settings.alignMethod == 0) {
    // A frame whose centre cannot be measured is not placed by a reference point it may
    // still carry from an earlier run.
    double x = 0, y = 0;
    if (!CenterOfGravityAboveSky(target, x, y)) {
      ok = false;
      *why = "nothing stands above its sky";
    } else if (!m_pDest->IsValidStdPt(0)) {
      ok = false;
      *why = "nothing stands above the sky of the destination";
    } else {
      target.SetStdPt(0, CfPoint(x, y));
      ok = m_pDest->GetFitPrm(target, dx, dy, rotation) != 0;
    }
  } else if (m_pMatching) {
    ok = m_pMatching->Do(&target, dx, dy, &m_Settings.matching, 0) != 0;
    if (!ok) *why = "no confident match found";
  } else {
    ok = CImgMatching(*m_pDest).Do(&target, dx, dy, &m_Settings.matching, 0) != 0;
    if (!ok) *why = "no confident match found";
  }
  // Rows of a bottom-up frame are counted from the bottom of the picture: a frame taller
  // than the destination by h rows lies h rows lower.
  if (batch::IsBottomUp(target)) *dy -= target.GetHeight() - m_pDest->GetHeight();
  return ok;
}

void CBatchComposit::SetShifts(std::vector<StackShift> shifts) {
  m_Shifts = std::move(shifts);
  m_bShiftsGiven = true;
}

void CBatchComposit::SetRows(int first, int count) {
  m_nFirstRow = first;
  m_nRowCount = count;
}

bool CBatchComposit::Place(int index, CRalImage& target, double* dx, double* dy, double* rotation,
                           std::string* why) {
  if (m_Shifts.size() < m_Targets.size()) m_Shifts.resize(m_Targets.size(), {0, 0, 0, false});
  StackShift& shift = m_Shifts[static_cast<std::size_t>(index)];
  if (m_bShiftsGiven) {
    *dx = shift.dx, *dy = shift.dy, *rotation = shift.rotation;
    if (!shift.aligned) *why = "it could not be placed when the shifts were measured";
    return shift.aligned;
  }
  const bool ok = Align(target, dx, dy, rotation, why);
  shift = {*dx, *dy, *rotation, ok};
  return ok;
}

int CBatchComposit::MeasureShifts() {
  if (!m_pDest) return 0;
  // The add path measures each frame against the sum so far: its placements come only
  // from the run itself, one frame in memory at a time.
  const bool rows = m_Settings.method == BatchCompositSettings::kMedian || m_Settings.clipping;
  if (m_Settings.align && !rows) {
    if (!m_pWork) return 0;
    return AddPath();
  }
  const int n = static_cast<int>(m_Targets.size());
  m_Shifts.assign(static_cast<std::size_t>(n), {0, 0, 0, false});
  if (!m_Settings.align) {
    for (StackShift& s : m_Shifts) s.aligned = true;
    return 1;
  }
  // As the row path measures: against the destination as it stands, its prepared
  // spectrum made once.
  if (m_Settings.alignMethod != 0) {
    m_pMatching = std::make_unique<CImgMatching>(*m_pDest);
    m_pMatching->KeepReference(true);
  }
  ProgressScope progress(m_pProgress, std::string(batch_text::kRunning));
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<CRalImage> holder;
    // Read as the row path reads them, so that both measure the same placements.
    CRalImage* image = i == m_nDestIndex && m_pNewImage ? m_pDest
                       : m_FrameReader && m_pMatching && !m_Targets[i].image
                           ? Fetch(i, &holder, &m_FrameReader)
                           : Fetch(i, &holder);
    if (AbortRequested()) return 0;
    progress.Update(i + 1, n);
    if (!image) {
      Report(i, {}, false);
      continue;
    }
    double dx, dy, rotation;
    std::string why;
    if (!Place(i, *image, &dx, &dy, &rotation, &why)) {
      Fail(i, "could not be aligned (" + why + ")");
      m_Unaligned.push_back(i);
    }
    Report(i, {}, m_Shifts[static_cast<std::size_t>(i)].aligned);
  }
  m_pMatching.reset();
  return 1;
}

int CBatchComposit::ImageProc() {
  if (m_nRowCount >= 0) return BandPath();
  if (!m_pDest || !m_pWork) return 0;
  if (m_pNewImage) m_pDest->SetProgressSink(m_pEngineProgress);
  const bool rows = m_Settings.method == BatchCompositSettings::kMedian || m_Settings.clipping;
  return rows ? RowPath() : AddPath();
}

int CBatchComposit::AddPath() {
  const int n = static_cast<int>(m_Targets.size());
  ProgressScope progress(m_pProgress, std::string(batch_text::kRunning));
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<CRalImage> holder;
    CRalImage* target = i == m_nDestIndex ? nullptr : Fetch(i, &holder);
    if (AbortRequested()) return 0;
    progress.Update(i + 1, n);
    if (i == m_nDestIndex) {
      if (m_Shifts.size() < m_Targets.size()) m_Shifts.resize(m_Targets.size(), {0, 0, 0, false});
      m_Shifts[static_cast<std::size_t>(i)] = {0, 0, 0, true};
      Report(i, {}, true);
      continue;
    }
    if (!target) {
      Report(i, {}, false);
      continue;
    }
    double dx, dy, rotation;
    std::string why;
    const bool aligned = Place(i, *target, &dx, &dy, &rotation, &why);
    if (!aligned) {
      Fail(i, "could not be aligned (" + why + "); added unshifted");
      m_Unaligned.push_back(i);
    }
    if (AbortRequested()) return 0;
    if (target == m_pDest) {
      Report(i, {}, aligned);
      continue;
    }
    if (!CImgComposit(*m_pDest).Do(m_pWork.get(), target, dx, dy, rotation, CImgComposit::kAdd, 0.0,
                                   0, 0, 0.0, 0, nullptr, 1, -1)) {
      Fail(i, "could not be added (out of memory)");
      return 0;
    }
    *m_pWork = *m_pDest;
    Report(i, {}, aligned);
  }
  if (m_Settings.method == BatchCompositSettings::kAverage) {
    *m_pWork = *m_pDest;
    // The sum is divided by the number of entries, whether or not each could be used.
    if (!CImgCalculation(*m_pDest).Do(n, CImgCalculation::kDivide, 0, m_pWork.get(), nullptr, 1))
      return 0;
  }
  return 1;
}

int CBatchComposit::RowPath() {
  const int n = static_cast<int>(m_Targets.size());
  struct Frame {
    CRalImage* image = nullptr;
    std::unique_ptr<CRalImage> holder;
    double dx = 0, dy = 0, rotation = 0;
  };
  // Every frame read and aligned once; the pager keeps what does not fit in memory. The
  // destination does not change while the frames are aligned: its prepared spectrum is
  // made once for all of them.
  std::vector<Frame> frames(n);
  if (m_Settings.align && m_Settings.alignMethod != 0) {
    m_pMatching = std::make_unique<CImgMatching>(*m_pDest);
    m_pMatching->KeepReference(true);
  }
  {
    ProgressScope progress(m_pProgress, std::string(batch_text::kRunning));
    for (int i = 0; i < n; ++i) {
      Frame& f = frames[i];
      if (i == m_nDestIndex && m_pNewImage)
        f.image = m_pDest;
      else if (m_FrameReader && (!m_Settings.align || m_bShiftsGiven || m_pMatching) &&
               !m_Targets[i].image)
        f.image = Fetch(i, &f.holder, &m_FrameReader);
      else
        f.image = Fetch(i, &f.holder);
      if (AbortRequested()) return 0;
      progress.Update(i + 1, n);
      if (!f.image) {
        Report(i, {}, false);
        continue;
      }
      std::string why;
      const bool aligned = Place(i, *f.image, &f.dx, &f.dy, &f.rotation, &why);
      if (!aligned) {
        Fail(i, "could not be aligned (" + why + "); combined unshifted");
        m_Unaligned.push_back(i);
      }
      Report(i, {}, aligned);
      if (AbortRequested()) return 0;
    }
  }
  // The destination's rows are overwritten as the run goes, and a shifted frame samples
  // other rows than the one being written: the destination's own entry takes part through
  // the working copy made before the run.
  m_pMatching.reset();
  for (Frame& f : frames)
    if (f.image == m_pDest) f.image = m_pWork.get();
  if (rowpool::GetThreads() > 1 &&
      std::all_of(frames.begin(), frames.end(), [](const Frame& f) { return f.rotation == 0; })) {
    std::vector<Placed> placed;
    for (const Frame& f : frames)
      if (f.image) placed.push_back({f.image, f.dx, f.dy});
    return CombineBands(placed);
  }
  CImgMedianComposit combine(*m_pDest, 1);
  for (int y = 0; y < m_pDest->GetHeight(); ++y) {
    for (const Frame& f : frames)
      if (f.image) combine.Store(f.image, y, f.dx, f.dy, f.rotation);
    if (!CombineRow(combine, y) || AbortRequested()) return 0;
  }
  return 1;
}

int CBatchComposit::CombineBands(const std::vector<Placed>& frames) {
  const int w = m_pDest->GetWidth(), h = m_pDest->GetHeight(), planes = m_pDest->GetPlanes();
  const std::size_t rowValues = static_cast<std::size_t>(w) * planes;
  // Rows a band: the frames' rows it reads (a few more than its own, as doubles) kept to
  // about 16 MB.
  std::size_t frameRow = 1;
  for (const Placed& f : frames)
    frameRow += static_cast<std::size_t>(f.image->GetWidth()) * f.image->GetPlanes();
  const int band =
      static_cast<int>(std::clamp<std::size_t>((std::size_t{2} << 20) / frameRow, 4, 64)) - 3;
  struct Rows {
    std::vector<double> values;
    std::vector<unsigned char> readable;
    CImgMedianComposit::Band band;
  };
  int ok = 1;
  m_pDest->ShowProgressInit(1, "中央値合成中...", h);
  try {
    std::vector<Rows> read(frames.size());
    std::vector<double> out(static_cast<std::size_t>(band) * rowValues);
    std::vector<unsigned char> done(static_cast<std::size_t>(band));
    // Combinations for the pool's threads, each taken by one run of rows at a time (room
    // for all of them made here: a worker thread must not throw).
    std::mutex spareLock;
    std::vector<std::unique_ptr<CImgMedianComposit>> spare;
    spare.reserve(static_cast<std::size_t>(rowpool::GetThreads()) + 1);
    for (int y0 = 0; y0 < h && ok; y0 += band) {
      const int y1 = std::min(h, y0 + band);
      // Every frame row that rows y0 … y1 − 1 draw on (a row or two beyond, for the
      // interpolation and the snapping of positions).
      for (std::size_t i = 0; i < frames.size(); ++i) {
        const CRalImage& image = *frames[i].image;
        const int fh = image.GetHeight(), fw = image.GetWidth(), fp = image.GetPlanes();
        const double dy = frames[i].dy;
        // A shift that is not finite places nothing (Store refuses it): no rows.
        const int lo = std::isfinite(dy)
                           ? static_cast<int>(std::clamp(std::floor(y0 - dy) - 2, 0.0, double(fh)))
                           : 0;
        const int hi =
            std::isfinite(dy)
                ? static_cast<int>(std::clamp(std::ceil(y1 - 1 - dy) + 2, -1.0, fh - 1.0))
                : -1;
        const int count = std::max(0, hi - lo + 1);
        Rows& r = read[i];
        r.values.resize(static_cast<std::size_t>(count) * fw * fp);
        r.readable.assign(static_cast<std::size_t>(count), 1);
        for (int k = 0; k < count; ++k)
          for (int p = 0; p < fp; ++p)
            if (!imgsample::ReadSpan(image, 0, fw, lo + k, p,
                                     &r.values[(static_cast<std::size_t>(k) * fp + p) * fw]))
              r.readable[k] = 0;
        r.band = {&image, 0, fh, r.values.data(), r.readable.data(), lo, count};
      }
      std::fill(done.begin(), done.end(), 0);
      rowpool::Run(y1 - y0, 1, [&](int begin, int end) {
        std::unique_ptr<CImgMedianComposit> combine;
        {
          std::lock_guard<std::mutex> lock(spareLock);
          if (!spare.empty()) {
            combine = std::move(spare.back());
            spare.pop_back();
          }
        }
        if (!combine) combine.reset(new (std::nothrow) CImgMedianComposit(*m_pDest, 0));
        if (!combine) return;  // its rows stay not done
        for (int k = begin; k < end; ++k) {
          for (std::size_t i = 0; i < frames.size(); ++i)
            combine->Store(read[i].band, y0 + k, frames[i].dx, frames[i].dy, 0);
          done[k] = Reduce(*combine, &out[static_cast<std::size_t>(k) * rowValues]) != 0;
        }
        std::lock_guard<std::mutex> lock(spareLock);
        spare.push_back(std::move(combine));
      });
      for (int y = y0; y < y1 && ok; ++y) {
        const double* row = &out[static_cast<std::size_t>(y - y0) * rowValues];
        bool written = done[y - y0] != 0;
        for (int p = 0; p < planes && written; ++p)
          written =
              imgsample::WriteSpan(*m_pDest, 0, w, y, p, row + static_cast<std::size_t>(p) * w);
        m_pDest->ShowProgress(1);
        if (!written) {
          Fail(-1, "row " + std::to_string(y) + " could not be combined");
          ok = 0;
        }
      }
      if (AbortRequested()) ok = 0;
    }
  } catch (const std::bad_alloc&) {
    Fail(-1, "out of memory");
    ok = 0;
  }
  m_pDest->ShowProgressEnd();
  return ok;
}

int CBatchComposit::Reduce(CImgMedianComposit& combine, double* row) const {
  if (m_Settings.method == BatchCompositSettings::kMedian)
    return m_Settings.clipping ? combine.CalcClipping(row) : combine.Calc(row);
  // The clipped mean; for the add, times the count, on the scale of the sum.
  return combine.AddAvrCalcClipping(m_Settings.method == BatchCompositSettings::kAdd ? 1 : 0, row);
}

int CBatchComposit::CombineRow(CImgMedianComposit& combine, int y) {
  const int ok = Reduce(combine, nullptr);
  if (!ok) Fail(-1, "row " + std::to_string(y) + " could not be combined");
  return ok ? 1 : 0;
}
