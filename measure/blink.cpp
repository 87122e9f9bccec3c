// The blink comparator's frame list and the preparation of its frames for showing.
#include "measure/blink.h"

#include <cmath>
#include <limits>
#include <new>

#include "display/viewinfo.h"
#include "engine/imgcomposit.h"
#include "engine/ralimage.h"

namespace {

int RoundShift(double v) {
  if (!std::isfinite(v)) return 0;
  const double r = std::round(v);
  if (r >= std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (r <= std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(r);
}

}  // namespace

CBlinkTarget::CBlinkTarget() = default;
CBlinkTarget::~CBlinkTarget() = default;

void CBlinkTarget::Add(CRalImage* image, CImageBuffer::COLOR_MODE mode,
                       CImageBuffer::COLOR_TYPE type) {
  m_Items.emplace_back(image, mode, type);
}

int CBlinkTarget::RemoveAt(int i) {
  if (i < 0 || i >= GetCount()) return 0;
  m_Items.erase(m_Items.begin() + i);
  if (i < GetPreparedCount()) m_Prepared.erase(m_Prepared.begin() + i);
  return 1;
}

void CBlinkTarget::Clear() {
  m_Items.clear();
  m_Prepared.clear();
  m_nCurrent = 0;
}

CBlinkItem* CBlinkTarget::GetBlinkItem() {
  if (m_Items.empty()) return nullptr;
  if (m_nCurrent < 0 || m_nCurrent >= GetCount()) m_nCurrent = 0;
  return &m_Items[static_cast<std::size_t>(m_nCurrent)];
}

CBlinkItem* CBlinkTarget::GetItem(int i) {
  return i >= 0 && i < GetCount() ? &m_Items[static_cast<std::size_t>(i)] : nullptr;
}

void CBlinkTarget::Next() {
  ++m_nCurrent;
  if (m_nCurrent >= GetCount() || m_nCurrent < 0) m_nCurrent = 0;
}

int CBlinkTarget::GetShift(int i, int* x, int* y) const {
  if (i < 0 || i >= GetCount()) return 0;
  const CBlinkItem& item = m_Items[static_cast<std::size_t>(i)];
  if (x) *x = item.m_nShiftX;
  if (y) *y = item.m_nShiftY;
  return 1;
}

int CBlinkTarget::GetShift(int i, double* x, double* y) const {
  if (i < 0 || i >= GetCount()) return 0;
  const CBlinkItem& item = m_Items[static_cast<std::size_t>(i)];
  if (x) *x = item.m_dShiftX;
  if (y) *y = item.m_dShiftY;
  return 1;
}

int CBlinkTarget::SetShift(int i, int x, int y) {
  if (i < 0 || i >= GetCount()) return 0;
  CBlinkItem& item = m_Items[static_cast<std::size_t>(i)];
  item.m_nShiftX = x;
  item.m_nShiftY = y;
  item.m_dShiftX = x;
  item.m_dShiftY = y;
  return 1;
}

int CBlinkTarget::SetShift(int i, double x, double y) {
  if (i < 0 || i >= GetCount()) return 0;
  CBlinkItem& item = m_Items[static_cast<std::size_t>(i)];
  item.m_dShiftX = x;
  item.m_dShiftY = y;
  item.m_nShiftX = RoundShift(x);
  item.m_nShiftY = RoundShift(y);
  return 1;
}

int CBlinkTarget::PrepareFrame(int i, const CRalImage& base, CViewInfo* view, int logScale,
                               ProgressSink* progress) {
  CBlinkItem* item = GetItem(i);
  if (!item || !item->m_pImage || base.IsEmpty()) return 0;
  if (GetPreparedCount() < GetCount()) m_Prepared.resize(static_cast<std::size_t>(GetCount()));
  CBlinkFrame& frame = m_Prepared[static_cast<std::size_t>(i)];
  frame = CBlinkFrame{};
  try {
    auto work = std::make_unique<CRalImage>();
    if (!work->CopyImage(base)) return 0;
    work->SetProgressSink(progress);
    // The frame replaces the window's pixels wherever it has values (weighted method at
    // rate 1), its levels brought onto the window's so the window's display levels show
    // it as its own window does. Values below 0 are kept: a sky near zero must look the
    // same here as there. The shift is applied when the frame is drawn, not here.
    if (!CImgComposit(*work).Do(&base, item->m_pImage, 0.0, 0.0, 0.0, CImgComposit::kWeighted, 1.0,
                                1, 0, 0.0, 0, nullptr, progress ? 1 : 0, IDS_BLINK_PROGRESS))
      return 0;
    work->SetProgressSink(nullptr);
    auto buffer = std::make_unique<CImageBuffer>(1);
    if (!buffer->Create(32, work.get(), nullptr, nullptr, nullptr)) return 0;
    (void)buffer->SetColorMode(item->m_nColorMode, item->m_nColorType);
    (void)buffer->SetLogScale(logScale);
    buffer->SetViewInfo(view);
    buffer->Invalidate(work.get(), nullptr);
    // The bitmap the view shows at its magnification, every row of it.
    const RECT all{0, 0, work->GetWidth(), work->GetHeight()};
    buffer->Prepare(&all);
    frame.image = std::move(work);
    frame.buffer = std::move(buffer);
  } catch (const std::bad_alloc&) {
    frame = CBlinkFrame{};
    return 0;
  }
  return 1;
}

CBlinkFrame* CBlinkTarget::GetPrepared(int i) {
  if (i < 0 || i >= GetPreparedCount()) return nullptr;
  CBlinkFrame& frame = m_Prepared[static_cast<std::size_t>(i)];
  return frame.buffer ? &frame : nullptr;
}
