// Stacking a band of rows: the destination rows first … first + count − 1 computed as the
// whole run computes them, each frame read only over the rows that band draws on. The
// per-pixel work is the engine's own (CImgMedianComposit for the median and clipped
// paths, imgsample's resampling and CImgComposit for the add path), told where the band
// lies in the whole frame and destination, so every value is the one a whole run writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "batch/batchcomposit.h"
#include "batch/batchtexts.h"
#include "engine/imgcalc.h"
#include "engine/imgcomposit.h"
#include "engine/imgmedian.h"
#include "engine/imgsample.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "platform/files.h"
#include "platform/messagebox.h"
#include "platform/progress.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The layout of a FITS file whose primary array is one plain plane of pixels.
struct PlainFits {
  int bits = 0, width = 0, height = 0;
  double bscale = 1, bzero = 0;
  bool blankUsed = false;
  long long blank = 0;
  std::uint64_t dataStart = 0;
};

bool ReadAll(int fd, void* buffer, std::size_t n, std::uint64_t offset) {
  auto* p = static_cast<char*>(buffer);
  while (n > 0) {
    const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(offset));
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

// The value of a card "KEYWORD = value / comment" as a number; false when it is none.
bool CardNumber(const char* card, double* value) {
  if (std::strncmp(card + 8, "= ", 2) != 0) return false;
  const std::string text(card + 10, 70);
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) return false;
  while (*end == ' ') ++end;
  return *end == '\0' || *end == '/';
}

// Reads the primary header of the file at path when it describes an image of one plane
// that this module reads row range by row range: 8, 16 or 32-bit integers or 32 or
// 64-bit floats, NAXIS 2 (or further axes of length 1). A bracketed unit, a packed or
// compressed file, a cube, anything unusual: false, and the caller reads the file whole.
bool ReadPlainFits(const std::string& path, PlainFits* out) {
  std::string file = path;
  if (CRalImageIO::GetFileTypeOfDocumentName(&file) != FILETYPE_FITS || file != path) return false;
  int raw = -1;
  if (OpenRegularFile(path, raw) != 0) return false;
  ScopedFd fd(raw);
  char block[2880];
  long long naxis = -1, axes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  bool simple = false, end = false;
  std::uint64_t offset = 0;
  for (int blocks = 0; blocks < 10000 && !end; ++blocks, offset += sizeof block) {
    if (!ReadAll(fd.get(), block, sizeof block, offset)) return false;
    for (int c = 0; c < 36 && !end; ++c) {
      const char* card = block + c * 80;
      std::string key(card, 8);
      key.erase(key.find_last_not_of(' ') + 1);
      if (offset == 0 && c == 0) {
        simple = key == "SIMPLE" && card[29] == 'T';
        if (!simple) return false;
        continue;
      }
      double v = 0;
      if (key == "END") {
        end = true;
      } else if (key == "BITPIX") {
        if (!CardNumber(card, &v)) return false;
        out->bits = static_cast<int>(v);
      } else if (key == "NAXIS") {
        if (!CardNumber(card, &v)) return false;
        naxis = static_cast<long long>(v);
      } else if (key.size() == 6 && key.starts_with("NAXIS") && key[5] >= '1' && key[5] <= '8') {
        if (!CardNumber(card, &v)) return false;
        axes[key[5] - '1'] = static_cast<long long>(v);
      } else if (key == "BSCALE") {
        if (!CardNumber(card, &out->bscale)) return false;
      } else if (key == "BZERO") {
        if (!CardNumber(card, &out->bzero)) return false;
      } else if (key == "BLANK") {
        if (!CardNumber(card, &v)) return false;
        out->blankUsed = true;
        out->blank = static_cast<long long>(v);
      } else if (key == "GROUPS" || key == "PCOUNT" || key == "GCOUNT") {
        return false;
      }
    }
  }
  if (!end || naxis < 2 || naxis > 8) return false;
  for (int a = 2; a < naxis; ++a)
    if (axes[a] != 1) return false;
  if (axes[0] < 1 || axes[1] < 1 || axes[0] > (1 << 28) || axes[1] > (1 << 28)) return false;
  if (out->bits != 8 && out->bits != 16 && out->bits != 32 && out->bits != -32 && out->bits != -64)
    return false;
  if (out->bscale == 0 || !std::isfinite(out->bscale) || !std::isfinite(out->bzero)) return false;
  out->width = static_cast<int>(axes[0]);
  out->height = static_cast<int>(axes[1]);
  out->dataStart = offset;
  struct stat st {};
  const std::uint64_t bytes = static_cast<std::uint64_t>(axes[0]) * axes[1] * (std::abs(out->bits) / 8);
  return ::fstat(fd.get(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) >= offset + bytes;
}

// Rows first … first + count − 1 of a plain FITS image, in the order the reader puts them
// in memory (bottom-up unless the setting says otherwise), as their stored values with the
// file's scaling and blank value: ReadSpan gives the physical values a whole read gives.
bool ReadPlainRows(const std::string& path, const PlainFits& layout, int first, int count,
                   CRalImage& rows) {
  const int bytes = std::abs(layout.bits) / 8;
  const bool isSigned = layout.bits != 8;
  CRalImage band(layout.width, count, layout.bits, 1, layout.bscale, layout.bzero, isSigned ? 1 : 0);
  band.SetBlankUsed(layout.blankUsed && layout.bits > 0 ? 1 : 0);
  if (layout.blankUsed && layout.bits > 0) band.SetBlank(static_cast<int>(layout.blank));
  band.SetOrgFileFormat("FITS");
  const bool bottomUp = FitsRowsBottomUp(band);
  const int h = layout.height;
  // The file rows of the band, in file order: one read.
  const int fileFirst = bottomUp ? h - (first + count) : first;
  const std::size_t rowBytes = static_cast<std::size_t>(layout.width) * bytes;
  std::vector<unsigned char> buffer(rowBytes * static_cast<std::size_t>(count));
  int raw = -1;
  if (OpenRegularFile(path, raw) != 0) return false;
  ScopedFd fd(raw);
  if (!ReadAll(fd.get(), buffer.data(), buffer.size(),
               layout.dataStart + static_cast<std::uint64_t>(fileFirst) * rowBytes))
    return false;
  for (int r = 0; r < count; ++r) {
    const int fileRow = bottomUp ? h - 1 - (first + r) : first + r;
    const unsigned char* in = buffer.data() + static_cast<std::size_t>(fileRow - fileFirst) * rowBytes;
    auto* row = static_cast<unsigned char*>(band.GetImageAdr(0, r, 0));
    if (!row) return false;
    // FITS is big-endian.
    for (std::size_t i = 0; i < rowBytes; i += bytes)
      for (int b = 0; b < bytes; ++b) row[i + b] = in[i + bytes - 1 - b];
  }
  rows.Swap(band);
  // The scaling and blank value with the pixels they describe.
  rows.SetBitsPixel(layout.bits);
  rows.SetSigned(isSigned ? 1 : 0);
  rows.SetBscale(layout.bscale);
  rows.SetBzero(layout.bzero);
  rows.SetBlankUsed(layout.blankUsed && layout.bits > 0 ? 1 : 0);
  if (layout.blankUsed && layout.bits > 0) rows.SetBlank(static_cast<int>(layout.blank));
  rows.SetOrgFileFormat("FITS");
  return true;
}

// Which rows of a frame fw × fh placed by `shift` the destination rows y0 … y1 (of a
// destination w wide) draw on: the rows under the band's corners, as the engine maps
// them, widened by two rows for the interpolation and for rounding; clamped to the frame.
void FrameWindow(const StackShift& shift, int fw, int fh, int w, int y0, int y1, int* lo,
                 int* hi) {
  const double t = shift.rotation * (M_PI / 180.0), c = std::cos(t), s = std::sin(t);
  const double ox = (fw - 1) / 2.0, oy = (fh - 1) / 2.0;
  const double by = oy + s * (shift.dx + ox) - c * (shift.dy + oy);
  double vmin = 1e300, vmax = -1e300;
  for (const double x : {0.0, w - 1.0})
    for (const double y : {static_cast<double>(y0), static_cast<double>(y1)}) {
      const double v = by + c * y - s * x;
      vmin = std::min(vmin, v);
      vmax = std::max(vmax, v);
    }
  const double top = std::floor(vmin) - 2, bottom = std::ceil(vmax) + 2;
  *lo = static_cast<int>(std::clamp(top, 0.0, fh - 1.0));
  *hi = static_cast<int>(std::clamp(bottom, 0.0, fh - 1.0));
}

// Copies rows first … first + count − 1 of src into dst, made like src and count rows tall.
bool CopyRows(const CRalImage& src, int first, int count, CRalImage& dst) {
  imgsample::MakeLike(&dst, src, src.GetWidth(), count);
  const std::size_t rowBytes =
      static_cast<std::size_t>(src.GetWidth()) * static_cast<std::size_t>(src.GetBytesPixel());
  for (int p = 0; p < src.GetPlanes(); ++p)
    for (int r = 0; r < count; ++r) {
      const void* in = src.GetImageAdr(0, first + r, p);
      if (!in) return false;
      // Copied first: asking the pager for the other address may page this one out.
      std::vector<unsigned char> row(static_cast<const unsigned char*>(in),
                                     static_cast<const unsigned char*>(in) + rowBytes);
      void* out = dst.GetImageAdr(0, r, p);
      if (!out) return false;
      std::memcpy(out, row.data(), rowBytes);
    }
  return true;
}

}  // namespace

bool ReadFrameSize(const std::string& path, int* width, int* height, bool* bottomUp) {
  PlainFits layout;
  if (ReadPlainFits(path, &layout)) {
    *width = layout.width, *height = layout.height;
    CRalImage probe;
    probe.SetOrgFileFormat("FITS");
    *bottomUp = FitsRowsBottomUp(probe);
    return true;
  }
  CRalImage image;
  if (!ReadBatchFrame(path, image)) return false;
  *width = image.GetWidth(), *height = image.GetHeight();
  *bottomUp = batch::IsBottomUp(image);
  return true;
}

bool ReadFrameRows(const std::string& path, int first, int count, CRalImage& rows) {
  try {
    PlainFits layout;
    if (ReadPlainFits(path, &layout)) {
      if (first < 0 || count < 1 || first + count > layout.height) return false;
      return ReadPlainRows(path, layout, first, count, rows);
    }
    CRalImage whole;
    if (!ReadBatchFrame(path, whole)) return false;
    if (first < 0 || count < 1 || first + count > whole.GetHeight()) return false;
    CRalImage band;
    if (!CopyRows(whole, first, count, band)) return false;
    rows.Swap(band);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

int CBatchComposit::BandPath() {
  const int n = static_cast<int>(m_Targets.size());
  if (!m_pDest) return 0;
  const int h = m_pDest->GetHeight();
  if (m_nFirstRow < 0 || m_nRowCount < 1 || m_nFirstRow + m_nRowCount > h) {
    Fail(-1, "the rows asked for are not all in the destination");
    return 0;
  }
  if (m_Settings.align && !m_bShiftsGiven) {
    Fail(-1, "a band of an aligned stack needs the placements measured beforehand");
    return 0;
  }
  if (!m_bShiftsGiven) m_Shifts.assign(static_cast<std::size_t>(n), {0, 0, 0, true});
  if (static_cast<int>(m_Shifts.size()) != n) {
    Fail(-1, "the placements given are not one for each file");
    return 0;
  }
  try {
    m_pBand = std::make_unique<CRalImage>();
    if (!CopyRows(*m_pDest, m_nFirstRow, m_nRowCount, *m_pBand)) return 0;
  } catch (const std::bad_alloc&) {
    Fail(-1, "out of memory");
    return 0;
  }
  // The model was read whole for the destination's attributes; only its rows stay.
  m_pWork.reset();
  if (m_pNewImage) {
    m_pNewImage.reset();
    m_pDest = nullptr;
  }
  m_nDestHeight = h;
  try {
    const bool rows = m_Settings.method == BatchCompositSettings::kMedian || m_Settings.clipping;
    return rows ? BandRowPath() : BandAddPath();
  } catch (const std::bad_alloc&) {
    Fail(-1, "out of memory");
    return 0;
  }
}

// The rows of target i that the band draws on, placed by its shift: *rows holds frame rows
// *first … of a frame *height tall; *width its width. With exact, a frame laid unshifted
// on the destination's grid gives exactly the band's rows. False (failure recorded) when
// it cannot be read.
bool CBatchComposit::FetchBand(int i, std::unique_ptr<CRalImage>* rows, int* first, int* width,
                               int* height, bool exact) {
  const int y0 = m_nFirstRow, y1 = m_nFirstRow + m_nRowCount - 1;
  const BatchTarget& target = m_Targets[static_cast<std::size_t>(i)];
  StackShift& shift = m_Shifts[static_cast<std::size_t>(i)];
  int fw = 0, fh = 0;
  bool bottomUp = false;
  if (target.image) {
    fw = target.image->GetWidth(), fh = target.image->GetHeight();
    bottomUp = batch::IsBottomUp(*target.image);
  } else if (!ReadFrameSize(target.path, &fw, &fh, &bottomUp)) {
    Fail(i, "could not be read");
    return false;
  }
  // Unaligned, a frame is laid as Align lays it: rows of a bottom-up frame counted from
  // the bottom, so one taller than the destination lies lower. (Placements given carry it.)
  if (!m_bShiftsGiven) shift = {0, bottomUp ? -static_cast<double>(fh - m_nDestHeight) : 0.0, 0, true};
  const int w = m_pBand->GetWidth();
  int lo = y0, hi = y1;
  const bool same = shift.dx == 0 && shift.dy == 0 && shift.rotation == 0 && fw == w &&
                    fh == m_nDestHeight;
  if (!(exact && same)) FrameWindow(shift, fw, fh, w, y0, y1, &lo, &hi);
  auto image = std::make_unique<CRalImage>();
  const bool ok = target.image ? CopyRows(*target.image, lo, hi - lo + 1, *image)
                               : ReadFrameRows(target.path, lo, hi - lo + 1, *image);
  if (!ok) {
    Fail(i, "could not be read");
    return false;
  }
  *rows = std::move(image);
  *first = lo, *width = fw, *height = fh;
  return true;
}

int CBatchComposit::BandRowPath() {
  const int n = static_cast<int>(m_Targets.size());
  const int y0 = m_nFirstRow, y1 = m_nFirstRow + m_nRowCount - 1;
  struct Frame {
    std::unique_ptr<CRalImage> rows;
    CImgMedianComposit::Band band;
    StackShift shift;
  };
  std::vector<Frame> frames;
  {
    ProgressScope progress(m_pProgress, std::string(batch_text::kRunning));
    for (int i = 0; i < n; ++i) {
      if (AbortRequested()) return 0;
      progress.Update(i + 1, n);
      Frame f;
      int width = 0;
      if (!FetchBand(i, &f.rows, &f.band.first, &width, &f.band.height, false)) {
        Report(i, {}, false);
        continue;
      }
      f.shift = m_Shifts[static_cast<std::size_t>(i)];
      f.band.rows = f.rows.get();
      if (!f.shift.aligned) {
        Fail(i, "could not be aligned (it could not be placed when the shifts were measured); "
                "combined unshifted");
        m_Unaligned.push_back(i);
      }
      Report(i, {}, f.shift.aligned);
      frames.push_back(std::move(f));
    }
  }
  CImgMedianComposit combine(*m_pBand, 0);
  combine.SetDestRows(y0, m_nDestHeight);
  for (int y = y0; y <= y1; ++y) {
    for (const Frame& f : frames)
      if (!combine.Store(f.band, y, f.shift.dx, f.shift.dy, f.shift.rotation)) {
        Fail(-1, "row " + std::to_string(y) + " could not be gathered");
        return 0;
      }
    if (!CombineRow(combine, y) || AbortRequested()) return 0;
  }
  return 1;
}

int CBatchComposit::BandAddPath() {
  const int n = static_cast<int>(m_Targets.size());
  const int w = m_pBand->GetWidth(), count = m_nRowCount;
  CRalImage work(*m_pBand);
  ProgressScope progress(m_pProgress, std::string(batch_text::kRunning));
  for (int i = 0; i < n; ++i) {
    if (AbortRequested()) return 0;
    progress.Update(i + 1, n);
    if (i == m_nDestIndex) {
      Report(i, {}, true);
      continue;
    }
    const StackShift& shift = m_Shifts[static_cast<std::size_t>(i)];
    std::unique_ptr<CRalImage> rows;
    int first = 0, width = 0, height = 0;
    if (!FetchBand(i, &rows, &first, &width, &height, true)) {
      Report(i, {}, false);
      continue;
    }
    // As CImgComposit: a frame of the destination's size laid unshifted is read as it is,
    // any other is resampled onto the destination's grid first.
    const bool direct = shift.dx == 0 && shift.dy == 0 && shift.rotation == 0 && width == w &&
                        height == m_nDestHeight;
    if (!shift.aligned) {
      Fail(i, "could not be aligned (it could not be placed when the shifts were measured); "
              "added unshifted");
      m_Unaligned.push_back(i);
    }
    const CRalImage* other = rows.get();
    std::unique_ptr<CRalImage> placed;
    if (!direct) {
      placed = std::make_unique<CRalImage>(w, count, -64, rows->GetPlanes(), 1.0, 0.0, 1);
      const double t = shift.rotation * (M_PI / 180.0), c = std::cos(t), s = std::sin(t);
      const double ox = (width - 1) / 2.0, oy = (height - 1) / 2.0;
      imgsample::Affine map{c, s, -s, c, 0, 0};
      map.bx = ox - c * (shift.dx + ox) - s * (shift.dy + oy);
      map.by = oy + s * (shift.dx + ox) - c * (shift.dy + oy);
      if (!imgsample::ResampleRows(*rows, {m_nFirstRow, first, height}, *placed, map, kNaN)) {
        Fail(i, "could not be placed on the rows asked for");
        return 0;
      }
      other = placed.get();
    }
    if (!CImgComposit(*m_pBand).Do(&work, other, 0, 0, 0, CImgComposit::kAdd, 0.0, 0, 0, 0.0, 0,
                                   nullptr, 0, -1)) {
      Fail(i, "could not be added (out of memory)");
      return 0;
    }
    work = *m_pBand;
    Report(i, {}, shift.aligned);
  }
  if (m_Settings.method == BatchCompositSettings::kAverage) {
    work = *m_pBand;
    if (!CImgCalculation(*m_pBand).Do(n, CImgCalculation::kDivide, 0, &work, nullptr, 0)) return 0;
  }
  return 1;
}
