#include "imagemodel/image.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "imagemodel/pixelfold.h"
#include "imagemodel/pixeltype.h"
#include "imagemodel/rowpool.h"
#include "imagemodel/vmmanager.h"
#include "platform/progress.h"

namespace {

using pixeltype::WithPixelType;

// Raw values of one row as doubles; blank pixels (stored value equal to the blank value
// of an integer type) come out as NaN.
bool ReadRawRow(const void* row, int bits, int isSigned, int width, double* out,
                bool blankUsed = false, int blank = 0) {
  return WithPixelType(bits, isSigned, [&](auto zero) {
    using T = decltype(zero);
    const T* p = static_cast<const T*>(row);
    if constexpr (std::is_integral_v<T>) {
      if (blankUsed) {
        for (int x = 0; x < width; ++x)
          out[x] = pixeltype::IsBlankStored(p[x], true, blank)
                       ? std::numeric_limits<double>::quiet_NaN()
                       : static_cast<double>(p[x]);
        return;
      }
    }
    for (int x = 0; x < width; ++x) out[x] = static_cast<double>(p[x]);
  });
}

struct Range {
  double min;
  double max;
};

Range IntegerRange(int bits, int isSigned) {
  switch (bits) {
    case 8:
      return {0.0, 255.0};
    case 16:
      return isSigned ? Range{-32768.0, 32767.0} : Range{0.0, 65535.0};
    default:
      return isSigned ? Range{-2147483648.0, 2147483647.0} : Range{0.0, 4294967295.0};
  }
}

// Clamps into the target range and truncates toward zero; NaN becomes the minimum.
double ClampTruncate(double v, Range r) {
  if (!(v >= r.min)) return r.min;
  if (v > r.max) return r.max;
  return std::trunc(v);
}

// Rows pinned at a time by the batch loops below: at most this many blocks of each store,
// and rows enough for every thread to have a share worth starting it for.
constexpr int kBatchBlocks = 8;
constexpr int kBatchRows = 512;
constexpr int kRowsPerThread = 4;

// Runs f(in, out) over every row of every plane: in is the row of src, out the same row
// of dst (null when there is none). The rows are pinned on this thread a batch at a time
// and each batch is shared among the pool's threads; progress goes by rows. False when a
// row cannot be brought in.
template <typename F>
bool ForEachRowPair(CVmImage& src, CVmImage* dst, ProgressSink* progress,
                    const std::string& caption, F f) {
  ProgressScope scope(progress, caption);
  const int height = src.GetHeight(), planes = src.GetPlanes();
  const std::int64_t total = static_cast<std::int64_t>(planes) * height;
  CRowPins in(src, 1);
  std::optional<CRowPins> out;
  if (dst) out.emplace(*dst, 0);
  for (int p = 0; p < planes; ++p) {
    for (int y = 0; y < height;) {
      int n = 0;
      // A pager short of room takes one block of each at a time.
      for (int blocks : {kBatchBlocks, 1}) {
        n = in.Pin(p, y, kBatchRows, blocks);
        if (n > 0 && out) n = out->Pin(p, y, n, blocks);
        if (n > 0) break;
      }
      if (n <= 0) return false;
      rowpool::Run(n, kRowsPerThread, [&](int b, int e) {
        for (int i = b; i < e; ++i)
          f(static_cast<const void*>(in.Row(i)), out ? out->Row(i) : nullptr);
      });
      in.Release();
      if (out) out->Release();
      y += n;
      scope.Update(static_cast<std::int64_t>(p) * height + y, total);
    }
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- lifetime and copies

CImage::CImage() = default;

CImage::CImage(int bits, int width, int height, int planes, double bscale, double bzero,
               int isSigned, ProgressSink* progress, const std::string& caption)
    : m_nBitsPixel(bits),
      m_bSigned(isSigned),
      m_nDimension(planes > 1 ? 3 : 2),
      m_nWidth(width),
      m_nHeight(height),
      m_nPlanes(planes),
      m_dBscale(bscale),
      m_dBzero(bzero) {
  m_pStore = NewStore(bits, width, height, planes, progress, caption);
  const auto n = static_cast<std::size_t>(std::max(planes, 0));
  m_LevelMin.assign(n, 0.0);
  m_LevelMax.assign(n, 0.0);
  m_LevelRange.assign(n, 0.0);
  m_OrgLevelMin.assign(n, 0.0);
  m_OrgLevelMax.assign(n, 0.0);
}

CImage::CImage(const CImage& src, ProgressSink* progress, const std::string& caption) {
  CopyImage(src, progress, caption);
  ApplyCopyConstructorRules(src);
}

CImage& CImage::operator=(const CImage& src) { return CopyImage(src); }

CImage::~CImage() { Empty(); }

std::unique_ptr<CVmImage> CImage::NewStore(int bits, int width, int height, int planes,
                                           ProgressSink* progress, const std::string& caption,
                                           bool cleared) const {
  return std::make_unique<CVmImage>(bits, width, height, planes, progress, caption, cleared);
}

int CImage::AllocImage(ProgressSink* progress, const std::string& caption, bool cleared) {
  try {
    m_pStore =
        NewStore(m_nBitsPixel, m_nWidth, m_nHeight, m_nPlanes, progress, caption, cleared);
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

void CImage::Empty() {
  m_pUnchanged.reset();
  m_pStore.reset();
  m_LevelMin.clear();
  m_LevelMax.clear();
  m_LevelRange.clear();
  m_OrgLevelMin.clear();
  m_OrgLevelMax.clear();
  m_FitsHeader.DeleteAll();
}

void CImage::Clear() {
  CImage fresh;
  CopyImage(fresh);
  m_FitsExtensions.clear();
  m_KeptExtensions.clear();
  m_bSITypeRGB = 0;
  m_strAuthor.clear();
  m_bAuthor = 0;
  ClearPVMtx();
  m_dLatPole = 0;
  m_bLatPole = 0;
  m_dRestFreq = {0, 0};
  m_bRestFreq = {0, 0};
  m_dRestWav = {0, 0};
  m_bRestWav = {0, 0};
  m_bTolvenaPC = m_bPC = m_bCD = 0;
  m_TolvenaPCMtx = m_PCMtx = m_CDMtx = tagMATRIX2_2{};
}

template <typename Other, typename F>
void CImage::ForEachSharedAttribute(CImage& a, Other& b, F f) {
  f(a.m_nBitsPixel, b.m_nBitsPixel);
  f(a.m_bSigned, b.m_bSigned);
  f(a.m_nDimension, b.m_nDimension);
  f(a.m_nWidth, b.m_nWidth);
  f(a.m_nHeight, b.m_nHeight);
  f(a.m_nPlanes, b.m_nPlanes);
  f(a.m_dBscale, b.m_dBscale);
  f(a.m_dBzero, b.m_dBzero);
  f(a.m_bExtend, b.m_bExtend);
  f(a.m_nDispAxis, b.m_nDispAxis);
  f(a.m_strCType, b.m_strCType);
  f(a.m_strCUnit, b.m_strCUnit);
  f(a.m_dCRPix, b.m_dCRPix);
  f(a.m_bCRPix, b.m_bCRPix);
  f(a.m_dCRVal, b.m_dCRVal);
  f(a.m_bCRVal, b.m_bCRVal);
  f(a.m_dCDelt, b.m_dCDelt);
  f(a.m_bCDelt, b.m_bCDelt);
  f(a.m_LTMtx, b.m_LTMtx);
  f(a.m_nLTKind, b.m_nLTKind);
  f(a.m_LevelMin, b.m_LevelMin);
  f(a.m_LevelMax, b.m_LevelMax);
  f(a.m_LevelRange, b.m_LevelRange);
  f(a.m_OrgLevelMin, b.m_OrgLevelMin);
  f(a.m_OrgLevelMax, b.m_OrgLevelMax);
  f(a.m_bOwnLevel, b.m_bOwnLevel);
  f(a.m_bSaveableFormat, b.m_bSaveableFormat);
  f(a.m_bSaveableFile, b.m_bSaveableFile);
  f(a.m_strOrgFileName, b.m_strOrgFileName);
  f(a.m_strOrgFileFormat, b.m_strOrgFileFormat);
  f(a.m_nOrgBitsPixel, b.m_nOrgBitsPixel);
  f(a.m_nOrgPlanes, b.m_nOrgPlanes);
  f(a.m_nOrgWidth, b.m_nOrgWidth);
  f(a.m_nOrgHeight, b.m_nOrgHeight);
  f(a.m_dOrgBscale, b.m_dOrgBscale);
  f(a.m_dOrgBzero, b.m_dOrgBzero);
  f(a.m_bOrgScaling, b.m_bOrgScaling);
  f(a.m_bOrgBlank, b.m_bOrgBlank);
  f(a.m_nOrgBlank, b.m_nOrgBlank);
}

void CImage::CopySharedAttributes(const CImage& src) {
  ForEachSharedAttribute(*this, src, [](auto& to, const auto& from) { to = from; });
}

CImage& CImage::CopyImage(const CImage& src, ProgressSink* progress, const std::string& caption) {
  if (&src != this) CopyFrom(src, true, progress, caption);
  return *this;
}

void CImage::CopyFrom(const CImage& src, bool pixels, ProgressSink* progress,
                      const std::string& caption) {
  std::unique_ptr<CVmImage> store;
  std::vector<CFitsExtension> extensions;
  std::vector<CFitsKeptExtension> kept;
  try {
    if (src.m_pStore && pixels) {
      store = NewStore(src.m_nBitsPixel, src.m_nWidth, src.m_nHeight, src.m_nPlanes, nullptr, {});
      if (!store->CopyPixels(*src.m_pStore, progress, caption)) throw std::bad_alloc();
    }
    extensions = src.m_FitsExtensions;
    kept = src.m_KeptExtensions;
  } catch (const std::bad_alloc&) {
    m_FitsHeader.DeleteAll();
    throw;
  }
  m_pUnchanged.reset();
  m_pStore = std::move(store);
  m_FitsHeader = src.m_FitsHeader;
  m_FitsExtensions = std::move(extensions);
  m_KeptExtensions = std::move(kept);
  CopySharedAttributes(src);
  m_bBlankUsed = src.m_bBlankUsed;
  m_nBlank = src.m_nBlank;
  m_bOverwriteAllowed = src.m_bOverwriteAllowed;
  m_strUndoDialogName = src.m_strUndoDialogName;
  m_nUndoMode = src.m_nUndoMode;
  m_bContourMap = src.m_bContourMap;
  m_nFirstFitsHeight = src.m_nFirstFitsHeight;
  m_bFirstFits = src.m_bFirstFits;
  m_bLogScale = src.m_bLogScale;
  m_dLonPole = src.m_dLonPole;
  m_bLonPole = src.m_bLonPole;
}

void CImage::ApplyCopyConstructorRules(const CImage& src) {
  // A copy made by construction also keeps the colour order and the author, but not
  // LONPOLE.
  m_bSITypeRGB = src.m_bSITypeRGB;
  m_strAuthor = src.m_strAuthor;
  m_bAuthor = src.m_bAuthor;
  m_dLonPole = 0;
  m_bLonPole = 0;
}

int CImage::Create(const CImage& src, ProgressSink* progress, const std::string& caption) {
  if (&src == this) return 1;
  Empty();
  if (src.m_pStore)
    m_pStore =
        NewStore(src.m_nBitsPixel, src.m_nWidth, src.m_nHeight, src.m_nPlanes, progress, caption);
  m_FitsHeader = src.m_FitsHeader;
  m_FitsExtensions = src.m_FitsExtensions;
  m_KeptExtensions = src.m_KeptExtensions;
  CopySharedAttributes(src);
  m_bBlankUsed = src.m_bBlankUsed;
  m_nBlank = src.m_nBlank;
  m_bSITypeRGB = src.m_bSITypeRGB;
  return 1;
}

void CImage::Swap(CImage& other) {
  if (&other == this) return;
  // An exchange is how undo and redo put pixels back; no mark survives it.
  m_pUnchanged.reset();
  other.m_pUnchanged.reset();
  std::swap(m_pStore, other.m_pStore);
  std::swap(m_FitsHeader, other.m_FitsHeader);
  std::swap(m_FitsExtensions, other.m_FitsExtensions);
  std::swap(m_KeptExtensions, other.m_KeptExtensions);
  ForEachSharedAttribute(*this, other, [](auto& a, auto& b) { std::swap(a, b); });
  std::swap(m_bOverwriteAllowed, other.m_bOverwriteAllowed);
}

void CImage::MarkUnchangedSince(StoredDataUnit unit) {
  m_pUnchanged.reset();
  if (!m_pStore || !unit.file) return;
  auto mark = std::make_shared<UnchangedMark>();
  mark->unit = std::move(unit);
  mark->serial = m_pStore->GetSerial();
  mark->writes = m_pStore->GetWriteCount();
  mark->bits = m_nBitsPixel;
  mark->isSigned = m_bSigned;
  mark->width = m_nWidth;
  mark->height = m_nHeight;
  mark->planes = m_nPlanes;
  mark->firstFits = m_bFirstFits;
  mark->bscale = m_dBscale;
  mark->bzero = m_dBzero;
  mark->blankUsed = m_bBlankUsed;
  mark->orgBits = m_nOrgBitsPixel;
  mark->orgScaling = m_bOrgScaling;
  mark->orgBscale = m_dOrgBscale;
  mark->orgBzero = m_dOrgBzero;
  mark->orgBlankUsed = m_bOrgBlank;
  mark->orgBlank = m_nOrgBlank;
  m_pUnchanged = std::move(mark);
}

const StoredDataUnit* CImage::GetUnchangedSource() const {
  const UnchangedMark* m = m_pUnchanged.get();
  if (!m || !m_pStore) return nullptr;
  const bool same = m->serial == m_pStore->GetSerial() && m->writes == m_pStore->GetWriteCount() &&
                    m->bits == m_nBitsPixel && m->isSigned == m_bSigned && m->width == m_nWidth &&
                    m->height == m_nHeight && m->planes == m_nPlanes &&
                    m->firstFits == m_bFirstFits && m->bscale == m_dBscale &&
                    m->bzero == m_dBzero && m->blankUsed == m_bBlankUsed &&
                    m->orgBits == m_nOrgBitsPixel && m->orgScaling == m_bOrgScaling &&
                    m->orgBscale == m_dOrgBscale && m->orgBzero == m_dOrgBzero &&
                    m->orgBlankUsed == m_bOrgBlank && m->orgBlank == m_nOrgBlank;
  if (!same || !m->unit.file->IsUnchanged()) return nullptr;
  return &m->unit;
}

int CImage::ChangeSize(int width, int height, ProgressSink* progress, const std::string& caption) {
  if (width == m_nWidth && height == m_nHeight && m_pStore) return 1;
  try {
    m_pStore = NewStore(m_nBitsPixel, width, height, m_nPlanes, progress, caption);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  m_nWidth = width;
  m_nHeight = height;
  return 1;
}

int CImage::ChangePlanes(int planes, ProgressSink* progress, const std::string& caption) {
  if (planes == m_nPlanes || (m_nDimension == 2 && planes == 1)) return 1;
  auto store = NewStore(m_nBitsPixel, m_nWidth, m_nHeight, planes, progress, caption);
  const auto n = static_cast<std::size_t>(std::max(planes, 0));
  std::vector<double> min(n, 0.0), max(n, 1.0), range(n, 1.0);
  m_pStore = std::move(store);
  SetPlanes(planes);
  m_LevelMin = std::move(min);
  m_LevelMax = std::move(max);
  m_LevelRange = std::move(range);
  return 1;
}

// ---------------------------------------------------------------- pixels

void* CImage::GetImageAdr(int x, int y, int plane, int flags, int* lockToken) {
  if (!m_pStore) return nullptr;
  return m_pStore->GetImageAdr(x, y, plane, flags & IMG_READONLY, flags & IMG_LOCK, lockToken);
}

const void* CImage::GetImageAdr(int x, int y, int plane) const {
  if (!m_pStore) return nullptr;
  return m_pStore->GetImageAdr(x, y, plane, 1, 0, nullptr);
}

void CImage::Unlock(int lockToken) {
  if (m_pStore) m_pStore->Unlock(lockToken);
}

void CImage::UnlockAll() {
  if (m_pStore) m_pStore->UnlockAll();
}

double CImage::GetPixel(const void* address) const {
  double raw = 0.0;
  bool blank = false;
  if (!address || !WithPixelType(m_nBitsPixel, m_bSigned, [&](auto zero) {
        const auto v = *static_cast<const decltype(zero)*>(address);
        blank = pixeltype::IsBlankStored(v, m_bBlankUsed != 0, m_nBlank);
        raw = static_cast<double>(v);
      }))
    return 0.0;
  return blank ? std::numeric_limits<double>::quiet_NaN() : raw * m_dBscale + m_dBzero;
}

double CImage::GetPixel(int x, int y, int plane) const {
  return GetPixel(GetImageAdr(x, y, plane));
}

int CImage::GetPhysicalRow(int y, int plane, double* out) const {
  return GetPhysicalRowAt(GetImageAdr(0, y, plane), out);
}

int CImage::GetPhysicalRowAt(const void* adr, double* out) const {
  if (!adr || !ReadRawRow(adr, m_nBitsPixel, m_bSigned, m_nWidth, out, m_bBlankUsed != 0, m_nBlank))
    return 0;
  if (m_dBscale != 1.0 || m_dBzero != 0.0)
    for (int x = 0; x < m_nWidth; ++x) out[x] = out[x] * m_dBscale + m_dBzero;
  return 1;
}

int CImage::SetPhysicalRow(int y, int plane, const double* values) {
  return SetPhysicalRowAt(GetImageAdr(0, y, plane), values);
}

int CImage::SetPhysicalRowAt(void* adr, const double* values) const {
  if (!adr) return 0;
  const double scale = m_dBscale != 0.0 ? m_dBscale : 1.0;
  return WithPixelType(m_nBitsPixel, m_bSigned, [&](auto zero) {
    using T = decltype(zero);
    T* out = static_cast<T*>(adr);
    for (int x = 0; x < m_nWidth; ++x) {
      double raw = (values[x] - m_dBzero) / scale;
      if constexpr (std::is_floating_point_v<T>) {
        out[x] = static_cast<T>(raw);
      } else if (raw != raw && m_bBlankUsed &&
                 static_cast<double>(m_nBlank) >= static_cast<double>(std::numeric_limits<T>::min()) &&
                 static_cast<double>(m_nBlank) <= static_cast<double>(std::numeric_limits<T>::max())) {
        out[x] = static_cast<T>(m_nBlank);  // NaN is what a blank pixel reads as
      } else {
        const Range r{static_cast<double>(std::numeric_limits<T>::min()),
                      static_cast<double>(std::numeric_limits<T>::max())};
        out[x] = static_cast<T>(ClampTruncate(std::nearbyint(raw), r));
      }
    }
  }) ? 1 : 0;
}

std::uint64_t CImage::GetImageSize() const {
  return GetPixelCount() * static_cast<std::uint64_t>(GetBytesPixel());
}

std::uint64_t CImage::GetPixelCount() const {
  if (m_nPlanes <= 0 || m_nHeight <= 0 || m_nWidth <= 0) return 0;
  return static_cast<std::uint64_t>(m_nPlanes) * static_cast<std::uint64_t>(m_nHeight) *
         static_cast<std::uint64_t>(m_nWidth);
}

// ---------------------------------------------------------------- world coordinates

bool CImage::GetDispAxis(int* axis) const {
  if (axis) *axis = m_nDispAxis;
  return m_nDispAxis == 1 || m_nDispAxis == 2;
}

void CImage::SetCType(int axis, std::string_view type) {
  if (AxisOk(axis)) m_strCType[axis] = std::string(type);
}

bool CImage::GetCType(int axis, std::string* type) const {
  std::string value = AxisOk(axis) ? m_strCType[axis] : std::string();
  if (type) *type = value;
  return !value.empty();
}

void CImage::SetCUnit(int axis, std::string_view unit) {
  if (AxisOk(axis)) m_strCUnit[axis] = std::string(unit);
}

bool CImage::GetCUnit(int axis, std::string* unit) const {
  std::string value = AxisOk(axis) ? m_strCUnit[axis] : std::string();
  if (unit) *unit = value;
  return !value.empty();
}

namespace {

// A per-axis value that remembers whether it was given.
void SetGiven(std::array<double, 2>& values, std::array<int, 2>& given, int axis, double v) {
  if (axis != 0 && axis != 1) return;
  values[axis] = v;
  given[axis] = 1;
}

bool GetGiven(const std::array<double, 2>& values, const std::array<int, 2>& given, int axis,
              double* out, double fallback) {
  const bool isGiven = (axis == 0 || axis == 1) && given[axis];
  if (out) *out = isGiven ? values[axis] : fallback;
  return isGiven;
}

}  // namespace

// The reference pixel is kept as FITS counts it, 1-based: x - 1 + 1 is not always x in
// floating point, and a save must write back the value it read.
void CImage::SetCRPix(int axis, double x) { SetGiven(m_dCRPix, m_bCRPix, axis, x); }

bool CImage::GetCRPix(int axis, double* x) const {
  return GetGiven(m_dCRPix, m_bCRPix, axis, x, 1.0);
}

void CImage::SetCRVal(int axis, double v) { SetGiven(m_dCRVal, m_bCRVal, axis, v); }

bool CImage::GetCRVal(int axis, double* v) const {
  return GetGiven(m_dCRVal, m_bCRVal, axis, v, 0.0);
}

void CImage::SetCDelt(int axis, double v) { SetGiven(m_dCDelt, m_bCDelt, axis, v); }

bool CImage::GetCDelt(int axis, double* v) const {
  return GetGiven(m_dCDelt, m_bCDelt, axis, v, 1.0);
}

void CImage::SetLTMtx(const tagMATRIX2_2& m, int kind) {
  m_LTMtx = m;
  m_nLTKind = kind;
}

int CImage::GetLTMtx(tagMATRIX2_2* m) const {
  if (m) *m = m_nLTKind == 0 ? tagMATRIX2_2{} : m_LTMtx;
  return m_nLTKind;
}

void CImage::SetPVMtx(const tagMATRIX2_4& m, int given) {
  m_PVMtx = m;
  m_bPVMtx = given;
}

int CImage::GetPVMtx(tagMATRIX2_4* m) const {
  if (m) *m = m_bPVMtx ? m_PVMtx : tagMATRIX2_4{};
  return m_bPVMtx;
}

void CImage::ClearPVMtx() {
  m_PVMtx = tagMATRIX2_4{};
  m_bPVMtx = 0;
}

void CImage::SetLonPole(double v) {
  m_dLonPole = v;
  m_bLonPole = 1;
}

void CImage::SetLatPole(double v) {
  m_dLatPole = v;
  m_bLatPole = 1;
}

void CImage::SetRestFreq(int i, double v) { SetGiven(m_dRestFreq, m_bRestFreq, i, v); }

int CImage::GetRestFreq(int i, double* v) const {
  return GetGiven(m_dRestFreq, m_bRestFreq, i, v, m_dRestFreq[AxisOk(i) ? i : 0]) ? 1 : 0;
}

void CImage::SetRestWav(int i, double v) { SetGiven(m_dRestWav, m_bRestWav, i, v); }

int CImage::GetRestWav(int i, double* v) const {
  return GetGiven(m_dRestWav, m_bRestWav, i, v, m_dRestWav[AxisOk(i) ? i : 0]) ? 1 : 0;
}

void CImage::SetAuthor(std::string_view author) {
  m_strAuthor = std::string(author);
  m_bAuthor = 1;
}

int CImage::GetAuthor(std::string* author) const {
  if (author) *author = m_strAuthor;
  return m_bAuthor;
}

void CImage::ClearPhysicalCoord(int n) {
  if (n < 0) {
    m_nDispAxis = 0;
    m_bCRPix = {0, 0};
    m_nLTKind = 0;
    n = 1;
  }
  for (int i = 0; i < std::min(n, 2); ++i) {
    m_strCType[i].clear();
    m_strCUnit[i].clear();
    m_bCRVal[i] = 0;
    m_bCDelt[i] = 0;
  }
}

void CImage::CopyWorldCoordinates(const CImage& src) {
  if (&src == this) return;
  m_nDispAxis = src.m_nDispAxis;
  m_strCType = src.m_strCType;
  m_strCUnit = src.m_strCUnit;
  m_dCRPix = src.m_dCRPix;
  m_bCRPix = src.m_bCRPix;
  m_dCRVal = src.m_dCRVal;
  m_bCRVal = src.m_bCRVal;
  m_dCDelt = src.m_dCDelt;
  m_bCDelt = src.m_bCDelt;
  m_LTMtx = src.m_LTMtx;
  m_nLTKind = src.m_nLTKind;
  m_PVMtx = src.m_PVMtx;
  m_bPVMtx = src.m_bPVMtx;
  m_dLonPole = src.m_dLonPole;
  m_bLonPole = src.m_bLonPole;
  m_dLatPole = src.m_dLatPole;
  m_bLatPole = src.m_bLatPole;
  m_dRestFreq = src.m_dRestFreq;
  m_bRestFreq = src.m_bRestFreq;
  m_dRestWav = src.m_dRestWav;
  m_bRestWav = src.m_bRestWav;
  m_bTolvenaPC = src.m_bTolvenaPC;
  m_bPC = src.m_bPC;
  m_bCD = src.m_bCD;
  m_TolvenaPCMtx = src.m_TolvenaPCMtx;
  m_PCMtx = src.m_PCMtx;
  m_CDMtx = src.m_CDMtx;
}

// ---------------------------------------------------------------- levels

int CImage::AllocLevel() {
  try {
    const auto n = static_cast<std::size_t>(std::max(m_nPlanes, 0));
    m_LevelMin.assign(n, 0.0);
    m_LevelMax.assign(n, 1.0);
    m_LevelRange.assign(n, 1.0);
    return 1;
  } catch (const std::bad_alloc&) {
    m_LevelMin.clear();
    m_LevelMax.clear();
    m_LevelRange.clear();
    return 0;
  }
}

int CImage::AllocOrgDefaultLevel() {
  try {
    const auto n = static_cast<std::size_t>(std::max(m_nPlanes, 0));
    m_OrgLevelMin.assign(n, 0.0);
    m_OrgLevelMax.assign(n, 1.0);
    return 1;
  } catch (const std::bad_alloc&) {
    m_OrgLevelMin.clear();
    m_OrgLevelMax.clear();
    return 0;
  }
}

void CImage::EnsureLevels() {
  const auto n = static_cast<std::size_t>(std::max(m_nPlanes, 0));
  if (m_LevelMin.size() < n || m_LevelMax.size() < n || m_LevelRange.size() < n) AllocLevel();
}

void CImage::SetLevel(int p, double min, double max) {
  EnsureLevels();
  if (p < 0 || static_cast<std::size_t>(p) >= m_LevelMin.size()) return;
  if (max - min <= 0) max = min + 1.0;
  m_LevelMin[p] = min;
  m_LevelMax[p] = max;
  m_LevelRange[p] = max - min;
}

void CImage::SetLevelMin(int p, double min) {
  EnsureLevels();
  if (p < 0 || static_cast<std::size_t>(p) >= m_LevelMin.size()) return;
  SetLevel(p, min, m_LevelMax[p]);
}

void CImage::SetLevelMax(int p, double max) {
  EnsureLevels();
  if (p < 0 || static_cast<std::size_t>(p) >= m_LevelMin.size()) return;
  SetLevel(p, m_LevelMin[p], max);
}

int CImage::SetDefaultLevel() {
  if (!AllocLevel()) return 0;
  for (int p = 0; p < m_nPlanes; ++p) {
    double min, max;
    if (!GetMinMax(p, &min, &max)) return 0;
    SetLevel(p, min, max);
  }
  return 1;
}

void CImage::SetOrgDefaultLevel(int p, double min, double max) {
  const auto n = static_cast<std::size_t>(std::max(m_nPlanes, 0));
  if (m_OrgLevelMin.size() < n || m_OrgLevelMax.size() < n) AllocOrgDefaultLevel();
  if (p < 0 || static_cast<std::size_t>(p) >= m_OrgLevelMin.size()) return;
  if (max - min <= 0) max = min + 1.0;
  m_OrgLevelMin[p] = min;
  m_OrgLevelMax[p] = max;
}

int CImage::GetMinMax(int p, double* min, double* max) const {
  return ScanRange(p, min, max, nullptr);
}

int CImage::ScanRange(int p, double* min, double* max, bool* anyBlank) const {
  double lo = DBL_MAX, hi = -DBL_MAX;
  int first = p < 0 ? 0 : p;
  int last = p < 0 ? m_nPlanes - 1 : p;
  const bool real = m_nBitsPixel == -32 || m_nBitsPixel == -64;
  bool blankSeen = false;
  if ((!m_bBlankUsed || real) && (!real || m_dBscale > 0)) {
    // Without blanks the extremes of the raw values give those of the physical values,
    // since raw × BSCALE + BZERO is monotonic: scan the stored type directly. As in the
    // scan below, +inf never becomes the minimum nor -inf the maximum, and NaN neither.
    bool anyLo = false, anyHi = false;
    double rawLo = 0, rawHi = 0;
    for (int plane = first; plane <= last && m_pStore; ++plane) {
      for (int y = 0; y < m_nHeight; ++y) {
        const void* adr = GetImageAdr(0, y, plane);
        if (!adr) return 0;
        if (!WithPixelType(m_nBitsPixel, m_bSigned, [&](auto zero) {
              using T = decltype(zero);
              using L = std::numeric_limits<T>;
              const T* v = static_cast<const T*>(adr);
              T rowLo = L::has_infinity ? L::infinity() : L::max();
              T rowHi = L::has_infinity ? -L::infinity() : L::lowest();
              for (int x = 0; x < m_nWidth; ++x) {
                rowLo = v[x] < rowLo ? v[x] : rowLo;
                rowHi = v[x] > rowHi ? v[x] : rowHi;
              }
              if constexpr (std::is_floating_point_v<T>) {
                // NaN, the blank of real pixels, is looked for only when asked about.
                if (anyBlank && !blankSeen)
                  for (int x = 0; x < m_nWidth && !blankSeen; ++x) blankSeen = v[x] != v[x];
              }
              const bool hasLo = L::has_infinity ? rowLo != L::infinity() : m_nWidth > 0;
              const bool hasHi = L::has_infinity ? rowHi != -L::infinity() : m_nWidth > 0;
              if (hasLo && (!anyLo || rowLo < rawLo)) rawLo = static_cast<double>(rowLo);
              if (hasHi && (!anyHi || rowHi > rawHi)) rawHi = static_cast<double>(rowHi);
              anyLo = anyLo || hasLo;
              anyHi = anyHi || hasHi;
            }))
          return 0;
      }
    }
    // A negative scale (integer types only here) swaps which end is which.
    const bool flip = m_dBscale < 0;
    if (flip ? anyHi : anyLo) lo = (flip ? rawHi : rawLo) * m_dBscale + m_dBzero;
    if (flip ? anyLo : anyHi) hi = (flip ? rawLo : rawHi) * m_dBscale + m_dBzero;
  } else {
    // Blank pixels read as NaN here and, like NaN, take no part.
    std::vector<double> row(static_cast<std::size_t>(std::max(m_nWidth, 0)));
    for (int plane = first; plane <= last && m_pStore; ++plane) {
      for (int y = 0; y < m_nHeight; ++y) {
        if (!GetPhysicalRow(y, plane, row.data())) return 0;
        for (double v : row) {
          if (v != v) {
            blankSeen = true;
            continue;
          }
          if (v < lo) lo = v;
          if (v > hi) hi = v;
        }
      }
    }
  }
  if (min) *min = lo;
  if (max) *max = hi;
  if (anyBlank) *anyBlank = blankSeen;
  return 1;
}

// ---------------------------------------------------------------- pixel type conversion

bool CImage::IsBitsChangeable(int bits, int isSigned) const {
  return IsBitsChangeableRaw(bits, isSigned, m_LevelMin.data(), m_LevelMax.data(),
                             static_cast<int>(std::min(m_LevelMin.size(), m_LevelMax.size())));
}

bool CImage::IsBitsChangeableRaw(int bits, int /*isSigned*/, const double* minima,
                                 const double* maxima, int count) const {
  if (bits < 0) return true;
  // One entry per plane; never read past what the caller gave.
  const int n = std::min(count, m_nPlanes);
  double lo = DBL_MAX, hi = -DBL_MAX;
  for (int p = 0; p < n; ++p) {
    lo = std::min(lo, minima[p]);
    hi = std::max(hi, maxima[p]);
  }
  if (n <= 0) return true;
  return std::ldexp(1.0, bits) >= hi - lo;
}

int CImage::ChangeBits(int bits, int isSigned, int mode, ProgressSink* progress,
                       const std::string& caption) {
  if ((bits == m_nBitsPixel && isSigned == m_bSigned) ||
      ((bits == 8 || bits == -32 || bits == -64) && bits == m_nBitsPixel)) {
    m_bSigned = isSigned;
    return 1;
  }
  return ConvertFrom(*this, bits, isSigned, mode, false, progress, caption);
}

int CImage::CopyImageAs(const CImage& src, int bits, int isSigned, int mode,
                        ProgressSink* progress, const std::string& caption, int nanAsBlank) {
  if (&src == this) return ChangeBits(bits, isSigned, mode, progress, caption);
  const bool sameType = (bits == src.m_nBitsPixel && isSigned == src.m_bSigned) ||
                        ((bits == 8 || bits == -32 || bits == -64) && bits == src.m_nBitsPixel);
  try {
    CopyFrom(src, sameType, progress, caption);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (sameType) {
    m_bSigned = isSigned;
    return 1;
  }
  return ConvertFrom(src, bits, isSigned, mode, nanAsBlank != 0, progress, caption);
}

int CImage::ConvertFrom(const CImage& src, int bits, int isSigned, int mode, bool nanAsBlank,
                        ProgressSink* progress, const std::string& caption) {
  try {
    if (bits == 8 || bits == 16 || bits == 32)
      return ConvertToInteger(src, bits, isSigned, mode, nanAsBlank, progress, caption);
    if (bits == -32 || bits == -64) return ConvertToReal(src, bits, isSigned, progress, caption);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 0;
}

template <typename WriteRow>
bool CImage::ConvertRows(const CImage& src, CVmImage& store, ProgressSink* progress,
                         const std::string& caption, WriteRow writeRow) {
  ProgressScope scope(progress, caption);
  const int width = src.m_nWidth, height = src.m_nHeight, planes = src.m_nPlanes;
  std::vector<double> row(static_cast<std::size_t>(width));
  const std::int64_t rows = static_cast<std::int64_t>(planes) * height;
  for (int p = 0; p < planes; ++p) {
    for (int y = 0; y < height; ++y) {
      const void* from = src.GetImageAdr(0, y, p);
      if (!from || !ReadRawRow(from, src.m_nBitsPixel, src.m_bSigned, width, row.data(),
                               src.m_bBlankUsed != 0, src.m_nBlank))
        return false;
      void* to = store.GetImageAdr(0, y, p, 0, 0, nullptr);
      if (!to) return false;
      writeRow(row.data(), to);
      scope.Update(static_cast<std::int64_t>(p) * height + y + 1, rows);
    }
  }
  return true;
}

void CImage::InstallConverted(const CImage& src, std::unique_ptr<CVmImage> store, int bits,
                              int isSigned, double bscale, double bzero, int blankUsed,
                              int blank) {
  m_pStore = std::move(store);
  m_nWidth = src.m_nWidth;
  m_nHeight = src.m_nHeight;
  m_nPlanes = src.m_nPlanes;
  m_nBitsPixel = bits;
  m_bSigned = isSigned;
  m_dBscale = bscale;
  m_dBzero = bzero;
  m_bBlankUsed = blankUsed;
  m_nBlank = blankUsed ? blank : 0;
}

namespace {

// A blank value for an integer type that the converted data [lo, hi] do not take: the
// preferred one (the file's own) when it is free, else an end of the range that is free.
// False when the data fill the whole range.
bool FreeBlank(Range target, double lo, double hi, bool hasPreferred, int preferred, int* blank) {
  const bool dataless = !(lo <= hi);
  if (hasPreferred && preferred >= target.min && preferred <= target.max &&
      (dataless || preferred < lo || preferred > hi)) {
    *blank = preferred;
    return true;
  }
  if (dataless || lo > target.min) {
    *blank = static_cast<int>(target.min);
    return true;
  }
  if (hi < target.max) {
    *blank = static_cast<int>(target.max);
    return true;
  }
  return false;
}

}  // namespace

int CImage::ConvertToInteger(const CImage& src, int bits, int isSigned, int mode,
                             bool nanAsBlank, ProgressSink* progress,
                             const std::string& caption) {
  // The new store is filled from the source and installed only when complete, so a
  // failure at any point leaves the image as it was.
  auto store = NewStore(bits, src.m_nWidth, src.m_nHeight, src.m_nPlanes, nullptr, {});

  const Range target = IntegerRange(bits, isSigned);
  const bool raw =
      mode == 0 || (mode != 2 && mode != 3 && src.IsBitsChangeable(bits, isSigned));
  double offset = 0.0, lo = 0.0, hi = 0.0;
  bool anyBlank = false;
  if (raw || mode == 3) {
    if (!src.ScanRange(-1, &lo, &hi, nanAsBlank ? &anyBlank : nullptr)) return 0;
  } else {
    lo = DBL_MAX;
    hi = -DBL_MAX;
    for (int p = 0; p < src.m_nPlanes; ++p) {
      lo = std::min(lo, src.GetLevelMin(p));
      hi = std::max(hi, src.GetLevelMax(p));
    }
    if (nanAsBlank && !src.ScanRange(-1, nullptr, nullptr, &anyBlank)) return 0;
  }
  // Blank pixels (NaN) are written as a blank value that no data pixel takes: in the raw
  // conversion a value outside the converted data (the file's own blank when it is
  // free), with the data kept off the lowest value only when they fill the whole range;
  // in the scaled ones the lowest value, the data being scaled into the rest.
  const bool useBlank = nanAsBlank && anyBlank;
  int blank = 0;
  int orgBlank = 0;
  const bool hasOrgBlank = src.GetOrgBlank(&orgBlank) != 0;
  Range data = target;
  if (raw) {
    // Shift the data into the target range only when they do not already lie in it.
    if (lo <= hi && !(lo >= target.min && hi <= target.max)) offset = target.min - lo;
    if (useBlank && !FreeBlank(target, ClampTruncate(lo + offset, target),
                               ClampTruncate(hi + offset, target), hasOrgBlank, orgBlank,
                               &blank)) {
      blank = static_cast<int>(target.min);
      data.min = target.min + 1;
    }
  } else {
    if (!(hi - lo > 0)) hi = lo + 1.0;  // a flat range would divide by zero
    if (useBlank) {
      blank = static_cast<int>(target.min);
      data.min = target.min + 1;
    }
  }
  const double scale = raw ? 1.0 : (data.max - data.min) / (hi - lo);
  const double srcScale = src.m_dBscale, srcZero = src.m_dBzero;
  const int width = src.m_nWidth;

  const bool ok = ConvertRows(src, *store, progress, caption, [&](const double* row, void* to) {
    WithPixelType(bits, isSigned, [&](auto zero) {
      using T = decltype(zero);
      T* out = static_cast<T*>(to);
      for (int x = 0; x < width; ++x) {
        double v = row[x] * srcScale + srcZero;
        if (useBlank && v != v) {
          out[x] = static_cast<T>(blank);
          continue;
        }
        v = raw ? v + offset : (v - lo) * scale + data.min;
        out[x] = static_cast<T>(ClampTruncate(v, data));
      }
    });
  });
  if (!ok) return 0;
  if (raw) {
    InstallConverted(src, std::move(store), bits, isSigned, 1.0, -offset, useBlank, blank);
  } else {
    const double bscale = (hi - lo) / (data.max - data.min);
    InstallConverted(src, std::move(store), bits, isSigned, bscale, lo - bscale * data.min,
                     useBlank, blank);
  }
  return 1;
}

int CImage::ChangeBitsScaled(int bits, int isSigned, double bscale, double bzero,
                             ProgressSink* progress, const std::string& caption) {
  return ConvertScaled(*this, bits, isSigned, bscale, bzero, false, progress, caption);
}

int CImage::CopyImageScaled(const CImage& src, int bits, int isSigned, double bscale,
                            double bzero, ProgressSink* progress, const std::string& caption,
                            int nanAsBlank) {
  if (&src == this) return ChangeBitsScaled(bits, isSigned, bscale, bzero, progress, caption);
  try {
    CopyFrom(src, false, progress, caption);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return ConvertScaled(src, bits, isSigned, bscale, bzero, nanAsBlank != 0, progress, caption);
}

namespace {

// The stored form of a conversion with the given scaling: NaN is written as the file's
// own blank value when the type holds it, else as the lowest value of the type.
StoredForm FormFor(const CImage& src, int bits, int isSigned, double bscale, double bzero) {
  StoredForm form;
  form.bits = bits;
  form.isSigned = isSigned;
  form.bscale = bscale;
  form.bzero = bzero;
  if (bits > 0) {
    const Range target = IntegerRange(bits, isSigned);
    form.blank = static_cast<int>(target.min);
    int own = 0;
    if (src.GetOrgBlank(&own) && own >= target.min && own <= target.max) form.blank = own;
  }
  return form;
}

bool UsableScaling(int bits, double bscale, double bzero) {
  return (bits == 8 || bits == 16 || bits == 32 || bits == -32 || bits == -64) && bscale != 0.0 &&
         std::isfinite(bscale) && std::isfinite(bzero);
}

// Whether what a conversion met lets it stand: nothing outside the type, NaN only where
// it may become the blank value, and then no data value on that blank value.
bool StoreSucceeded(const pixelfold::StoreFlags& f, bool nanAsBlank) {
  return !f.outside && (!f.nan || (nanAsBlank && !f.taken));
}

}  // namespace

int CImage::StoreRow(const void* in, const StoredForm& form, void* out, bool* outside, bool* nan,
                     bool* taken) const {
  pixelfold::StoreFlags flags;
  const bool known = WithPixelType(m_nBitsPixel, m_bSigned, [&](auto zs) {
    using S = decltype(zs);
    WithPixelType(form.bits, form.isSigned, [&](auto zt) {
      using T = decltype(zt);
      pixelfold::StoreRow(static_cast<const S*>(in), m_nWidth, m_dBscale, m_dBzero, form.bscale,
                          form.bzero, form.blank, static_cast<T*>(out), flags);
    });
  });
  if (outside) *outside = flags.outside;
  if (nan) *nan = flags.nan;
  if (taken) *taken = flags.taken;
  return known ? 1 : 0;
}

int CImage::CheckStoredForm(int bits, int isSigned, double bscale, double bzero, int nanAsBlank,
                            StoredForm* form, ProgressSink* progress,
                            const std::string& caption) const {
  if (!UsableScaling(bits, bscale, bzero) || !m_pStore) return 0;
  StoredForm f = FormFor(*this, bits, isSigned, bscale, bzero);
  const int bytes = (bits < 0 ? -bits : bits) / 8;
  const std::size_t rowBytes = static_cast<std::size_t>(m_nWidth) * static_cast<std::size_t>(bytes);
  // Each thread converts into a scratch row of its own; only the flags are kept.
  std::mutex merge;
  pixelfold::StoreFlags all;
  const bool ok = ForEachRowPair(*m_pStore, nullptr, progress, caption, [&](const void* in, void*) {
    thread_local std::vector<std::uint8_t> scratch;
    if (scratch.size() < rowBytes) scratch.resize(rowBytes);
    bool outside = false, nan = false, taken = false;
    StoreRow(in, f, scratch.data(), &outside, &nan, &taken);
    if (outside || nan || taken) {
      std::lock_guard<std::mutex> lock(merge);
      all.Merge({outside, nan, taken});
    }
  });
  if (!ok) return 0;
  if (!StoreSucceeded(all, nanAsBlank != 0)) return 0;
  f.blankUsed = bits > 0 && all.nan ? 1 : 0;
  if (!f.blankUsed) f.blank = 0;
  if (form) *form = f;
  return 1;
}

int CImage::ConvertScaled(const CImage& src, int bits, int isSigned, double bscale, double bzero,
                          bool nanAsBlank, ProgressSink* progress, const std::string& caption) {
  if (!UsableScaling(bits, bscale, bzero) || !src.m_pStore) return 0;
  try {
    auto store = NewStore(bits, src.m_nWidth, src.m_nHeight, src.m_nPlanes, nullptr, {});
    const StoredForm form = FormFor(src, bits, isSigned, bscale, bzero);
    std::mutex merge;
    pixelfold::StoreFlags all;
    const bool ok = ForEachRowPair(*src.m_pStore, store.get(), progress, caption,
                                   [&](const void* in, void* out) {
                                     bool outside = false, nan = false, taken = false;
                                     src.StoreRow(in, form, out, &outside, &nan, &taken);
                                     if (outside || nan || taken) {
                                       std::lock_guard<std::mutex> lock(merge);
                                       all.Merge({outside, nan, taken});
                                     }
                                   });
    if (!ok || !StoreSucceeded(all, nanAsBlank)) return 0;
    const int blankUsed = bits > 0 && all.nan ? 1 : 0;
    InstallConverted(src, std::move(store), bits, isSigned, bscale, bzero, blankUsed,
                     blankUsed ? form.blank : 0);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

int CImage::ConvertToReal(const CImage& src, int bits, int isSigned, ProgressSink* progress,
                          const std::string& caption) {
  auto store = NewStore(bits, src.m_nWidth, src.m_nHeight, src.m_nPlanes, nullptr, {});
  const int width = src.m_nWidth;
  // Raw values carry over unscaled, so BSCALE and BZERO stay valid; blank pixels become
  // NaN, the blank of real pixels.
  const bool ok = ConvertRows(src, *store, progress, caption, [&](const double* row, void* to) {
    if (bits == -32)
      std::transform(row, row + width, static_cast<float*>(to),
                     [](double v) { return static_cast<float>(v); });
    else
      std::copy(row, row + width, static_cast<double*>(to));
  });
  if (!ok) return 0;
  InstallConverted(src, std::move(store), bits, isSigned, src.m_dBscale, src.m_dBzero, 0, 0);
  return 1;
}

// ---------------------------------------------------------------- folding the scaling

int CImage::FloatsHoldValues() const {
  const double s = m_dBscale, z = m_dBzero;
  const bool blankUsed = m_bBlankUsed != 0;
  int holds = 1;
  const bool known = WithPixelType(m_nBitsPixel, m_bSigned, [&](auto zero) {
    using T = decltype(zero);
    if (pixelfold::FloatsHoldWithoutLooking<T>(s, z) || !m_pStore) return;
    std::atomic<bool> all{true};
    const bool read = ForEachRowPair(*m_pStore, nullptr, nullptr, {}, [&](const void* row, void*) {
      if (all.load(std::memory_order_relaxed) &&
          !pixelfold::FloatsHoldRow(static_cast<const T*>(row), m_nWidth, s, z, blankUsed,
                                    m_nBlank))
        all.store(false, std::memory_order_relaxed);
    });
    holds = !read ? -1 : (all.load() ? 1 : 0);
  });
  return known ? holds : -1;
}

int CImage::FoldPhysical(int bits, ProgressSink* progress, const std::string& caption) {
  if ((bits != -32 && bits != -64) || !m_pStore) return 0;
  const bool real = m_nBitsPixel == -32 || m_nBitsPixel == -64;
  const bool scaled = m_dBscale != 1.0 || m_dBzero != 0.0;
  const bool blank = !real && m_bBlankUsed;
  int target = bits;
  if (bits == -32) {
    const int holds = FloatsHoldValues();
    if (holds < 0) return 0;
    target = holds ? -32 : -64;
  }
  if (real && !scaled && target == m_nBitsPixel) {
    m_bBlankUsed = 0;  // real pixels have NaN, not a blank value
    m_nBlank = 0;
    return 1;
  }
  try {
    auto store = NewStore(target, m_nWidth, m_nHeight, m_nPlanes, nullptr, {});
    const double s = m_dBscale, z = m_dBzero;
    const int width = m_nWidth, blankValue = m_nBlank;
    // Every row is folded on its own, so the rows may go to several threads.
    bool folded = false;
    WithPixelType(m_nBitsPixel, m_bSigned, [&](auto zero) {
      using T = decltype(zero);
      folded =
          ForEachRowPair(*m_pStore, store.get(), progress, caption, [&](const void* in, void* out) {
            const T* raw = static_cast<const T*>(in);
            if (target == -32)
              pixelfold::FoldRow(raw, width, s, z, blank, blankValue, static_cast<float*>(out));
            else
              pixelfold::FoldRow(raw, width, s, z, blank, blankValue, static_cast<double*>(out));
          });
    });
    if (!folded) return 0;
    if (scaled) SetOrgScaling(s, z);  // a plain save writes the data back with it
    if (blank) SetOrgBlank(1, m_nBlank);
    InstallConverted(*this, std::move(store), target, m_bSigned, 1.0, 0.0, 0, 0);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return 1;
}

bool CImage::RawConversionFlattens(int bits, int isSigned, double lo, double hi) const {
  if (bits != 8 && bits != 16 && bits != 32) return false;
  if (!(lo < hi) || !std::isfinite(lo) || !std::isfinite(hi)) return false;
  const Range target = IntegerRange(bits, isSigned);
  const double offset = lo >= target.min && hi <= target.max ? 0.0 : target.min - lo;
  const double first = ClampTruncate(lo + offset, target);
  const double last = ClampTruncate(hi + offset, target);
  // The conversion is monotonic: one value at both ends means one value everywhere.
  if (first == last) return true;
  constexpr std::size_t kHandful = 16, kMany = 64;
  if (last - first + 1 >= static_cast<double>(kHandful)) return false;
  // Few levels remain: it matters only when the data had many.
  std::vector<double> seen;
  std::vector<double> row(static_cast<std::size_t>(std::max(m_nWidth, 0)));
  for (int p = 0; p < m_nPlanes; ++p)
    for (int y = 0; y < m_nHeight; ++y) {
      if (!GetPhysicalRow(y, p, row.data())) return false;
      for (double v : row) {
        if (v != v) continue;
        auto at = std::lower_bound(seen.begin(), seen.end(), v);
        if (at != seen.end() && *at == v) continue;
        seen.insert(at, v);
        if (seen.size() >= kMany) return true;
      }
    }
  return false;
}
