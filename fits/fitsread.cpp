// The FITS reader: primary header, data array, level keywords, world-coordinate keywords
// and the table extensions. Every size taken from a header is checked in 64-bit
// arithmetic and against the length of the file before anything is allocated or read.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fits/byteorder.h"
#include "fits/fits.h"
#include "fits/fitscards.h"
#include "fits/fitshdu.h"
#include "imagemodel/image.h"
#include "imagemodel/pixelfold.h"
#include "imagemodel/pixeltype.h"
#include "imagemodel/rowpool.h"
#include "imagemodel/vmimage.h"
#include "platform/clocale.h"
#include "platform/files.h"
#include "platform/memhints.h"
#include "platform/messagebox.h"
#include "platform/progress.h"
#include "settings/registry.h"

using namespace fitscards;

namespace {

// A header longer than this many records is refused rather than read into memory.
constexpr std::uint64_t kMaxHeaderRecords = 10000;
// How many rows one vectored read may carry.
constexpr int kMaxRowsPerRead = 1024;

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The gate this thread's reads wait on for data still being written (see SetDataGate).
thread_local FitsDataGate* g_dataGate = nullptr;

bool DataReady(std::uint64_t end) {
  return !g_dataGate || g_dataGate->WaitFor(end);
}

// Reads up to n bytes at offset; the count read (short only at the end of the file), or
// -1 on an error.
long long ReadAt(int fd, void* buffer, std::size_t n, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return 0;
  std::size_t got = 0;
  auto* p = static_cast<char*>(buffer);
  while (got < n) {
    ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<long long>(got);
}

// Reads exactly the bytes the vectors describe; false on a short read or an error.
bool ReadVectorAt(int fd, iovec* iov, int count, std::uint64_t offset) {
  while (count > 0) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
    ssize_t r = ::preadv(fd, iov, count, static_cast<off_t>(offset));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    offset += static_cast<std::uint64_t>(r);
    auto left = static_cast<std::size_t>(r);
    while (count > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return true;
}

// Reads exactly n bytes of data at offset, from the gate when it supplies them, else
// from the file.
bool ReadDataAt(int fd, void* buffer, std::size_t n, std::uint64_t offset) {
  if (g_dataGate)
    if (const int supplied = g_dataGate->Supply(buffer, n, offset); supplied >= 0)
      return supplied == 1;
  return ReadAt(fd, buffer, n, offset) == static_cast<long long>(n);
}

// ReadVectorAt through the gate: the vectors lie one after another in the file.
bool ReadDataVectorAt(int fd, iovec* iov, int count, std::uint64_t offset) {
  if (g_dataGate && count > 0) {
    const int first = g_dataGate->Supply(iov[0].iov_base, iov[0].iov_len, offset);
    if (first == 0) return false;
    if (first == 1) {
      for (int i = 1; i < count; ++i) {
        offset += iov[i - 1].iov_len;
        if (!ReadDataAt(fd, iov[i].iov_base, iov[i].iov_len, offset)) return false;
      }
      return true;
    }
  }
  return ReadVectorAt(fd, iov, count, offset);
}

std::uint64_t FileSize(int fd, bool* regular) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *regular = false;
    return 0;
  }
  *regular = true;
  return static_cast<std::uint64_t>(st.st_size);
}

bool IsPixelType(int bits) {
  return bits == 8 || bits == 16 || bits == 32 || bits == -32 || bits == -64;
}

// The pixel types of files that can be read: the image's own, and 64-bit integers, which
// the widest image type (doubles) takes.
bool IsFileType(int bits) {
  return IsPixelType(bits) || bits == 64;
}

// 2^53: from here on, doubles no longer hold every integer.
constexpr double kExactIntegerLimit = 9007199254740992.0;

// Whether the last Read on this thread took 64-bit integers that doubles do not hold.
thread_local bool g_int64Rounded = false;

int FitsHeightSetting() {
  int height = 1;
  CRegistry::Read("Dialog\\Enviroment", "FitsHeight", 1, height, CRegistry::TYPE_INT);
  return height;
}

int FitsBottomUpSetting() {
  int bottomUp = 1;
  CRegistry::Read("IO", "FitsBottomUp", 1, bottomUp, CRegistry::TYPE_BOOL);
  return bottomUp;
}

// The most axes a FITS header may declare.
constexpr int kMaxAxes = 999;

// What the card interpreter remembers across the cards of one header.
struct HeaderState {
  int naxis = -1;  // the NAXIS value once its card was seen
  // CROTA1 and CROTA2, the rotation of the old convention, once their cards were seen.
  std::optional<double> crota[2];
  // The lengths of the axes beyond the third (index n - 4 for NAXISn), -1 until seen.
  std::vector<std::int64_t> extraAxes;
};

// The axis number of an "NAXISn" card (n from 1 to 999, "= " in columns 9 and 10), 0
// when the card is no such one.
int AxisOfCard(std::string_view card) {
  if (!Begins(card, "NAXIS") || card.size() < 10 || card.compare(8, 2, "= ") != 0) return 0;
  const std::string_view digits = TrimRight(card.substr(5, 3));
  if (digits.empty() || digits.size() > 3 || digits[0] == '0' ||
      digits.find_first_not_of("0123456789") != std::string_view::npos)
    return 0;
  int n = 0;
  for (char c : digits) n = n * 10 + (c - '0');
  return n;
}

// Axes beyond the third must each be declared with length 1: the data are then those of
// the first three axes. Returns 0, 7 for an axis that is missing or not above 0, or the
// code of an image of more than three dimensions.
int CheckExtraAxes(const HeaderState& state) {
  for (int n = 4; n <= state.naxis; ++n) {
    const std::size_t i = static_cast<std::size_t>(n - 4);
    const std::int64_t length = i < state.extraAxes.size() ? state.extraAxes[i] : -1;
    if (length <= 0) return FITS_INVALID_IMAGE;
    if (length > 1) return FITS_EXTRA_AXIS;
  }
  return FITS_OK;
}

// The string value of a card, quotes included, when its closing quote stands at
// position minQuote or later; empty otherwise.
std::string QuotedValue(std::string_view card, std::size_t minQuote) {
  std::string_view value = Value(card);
  std::size_t q = ClosingQuote(value);
  if (q == std::string_view::npos || q < minQuote) return {};
  return std::string(value.substr(0, q + 1));
}

// Digits of a card at [from, from + count): the number, or -1 when any is not a digit.
int Digits(std::string_view card, std::size_t from, std::size_t count) {
  if (card.size() < from + count) return -1;
  int n = 0;
  for (std::size_t i = from; i < from + count; ++i) {
    if (card[i] < '0' || card[i] > '9') return -1;
    n = n * 10 + (card[i] - '0');
  }
  return n;
}

double* MatrixElement(tagMATRIX2_2& m, int i, int j) {
  if (i == 1) return j == 1 ? &m.m11 : &m.m12;
  return j == 1 ? &m.m21 : &m.m22;
}

bool InMatrix(int i) {
  return i == 1 || i == 2;
}

// Interprets one card of the primary header (80 characters). Returns 0, 7 or 17; the
// caller appends the card when the result is 0.
int InterpretCard(CImage& img, const std::string& card, HeaderState& state) {
  if (Begins(card, "SIMPLE  = ")) {
    std::size_t i = card.find_first_not_of(' ', 10);
    if (i == std::string::npos || (card[i] != 'T' && card[i] != 'F')) return FITS_INVALID_CARD;
    return FITS_OK;
  }
  if (Begins(card, "BITPIX  = ")) {
    img.SetBitsPixel(IntValue(card));
    return FITS_OK;
  }
  if (Begins(card, "NAXIS   = ")) {
    const int n = IntValue(card);
    switch (n) {
      case 1: {
        // A one-dimensional image is shown as that many equal rows.
        const int height = FitsHeightSetting();
        img.SetPlanes(1);
        img.SetHeight(height);
        img.SetOrgHeight(height);
        img.SetFirstFits(1);
        break;
      }
      case 2:
        img.SetPlanes(1);
        break;
      default:
        // Three axes, or more whose lengths beyond the third must be 1 (checked when the
        // header is complete): the planes come with NAXIS3.
        if (n < 3 || n > kMaxAxes) return FITS_INVALID_CARD;
        break;
    }
    state.naxis = n;
    return FITS_OK;
  }
  if (const int axis = AxisOfCard(card)) {
    // An axis beyond NAXIS would make the data array larger than the header says.
    if (state.naxis >= 0 && axis > state.naxis) return FITS_INVALID_IMAGE;
    if (axis > 3) {
      const auto i = static_cast<std::size_t>(axis - 4);
      if (state.extraAxes.size() <= i) state.extraAxes.resize(i + 1, -1);
      state.extraAxes[i] = Int64Value(card);
      return FITS_OK;
    }
    const int n = IntValue(card);
    switch (axis) {
      case 1:
        img.SetWidth(n);
        img.SetOrgWidth(n);
        break;
      case 2:
        img.SetHeight(n);
        img.SetOrgHeight(n);
        break;
      default:
        img.SetPlanes(n);
        break;
    }
    return FITS_OK;
  }
  if (Begins(card, "BZERO   = ")) {
    img.SetBzero(RealValue(card));
    return FITS_OK;
  }
  if (Begins(card, "BSCALE  = ")) {
    img.SetBscale(RealValue(card));
    return FITS_OK;
  }
  if (Begins(card, "BLANK   = ") && !img.IsBlankUsed()) {
    img.SetBlank(IntValue(card));
    img.SetBlankUsed(1);
    return FITS_OK;
  }
  if (Begins(card, "EXTEND  = ")) {
    img.SetExtend(card.size() > 29 && card[29] == 'T' ? 1 : 0);
    return FITS_OK;
  }
  if (Begins(card, "DISPAXIS= ")) {
    const int axis = IntValue(card);
    if (axis < 0 || axis > 2) return FITS_INVALID_CARD;
    img.SetDispAxis(axis);
    return FITS_OK;
  }
  if (Begins(card, "CTYPE1  = ") || Begins(card, "CTYPE2  = ")) {
    // Eight characters or more inside the quotes, as the standard asks of CTYPE.
    std::string type = QuotedValue(card, 9);
    if (!type.empty()) img.SetCType(card[5] - '1', type);
    return FITS_OK;
  }
  if (Begins(card, "CUNIT1  = ") || Begins(card, "CUNIT2  = ")) {
    std::string unit = QuotedValue(card, 2);
    if (!unit.empty()) img.SetCUnit(card[5] - '1', unit);
    return FITS_OK;
  }
  if (Begins(card, "AUTHOR  = ")) {
    std::string quoted = QuotedValue(card, 1);
    if (!quoted.empty()) img.SetAuthor(std::string_view(quoted).substr(1, quoted.size() - 2));
    return FITS_OK;
  }
  if (Begins(card, "RESTFRQ1= ") || Begins(card, "RESTFRQ2= ")) {
    img.SetRestFreq(card[7] - '1', RealValue(card));
    return FITS_OK;
  }
  if (Begins(card, "RESTWAV1= ") || Begins(card, "RESTWAV2= ")) {
    img.SetRestWav(card[7] - '1', RealValue(card));
    return FITS_OK;
  }
  if (Begins(card, "CROTA1  = ") || Begins(card, "CROTA2  = ")) {
    state.crota[card[5] - '1'] = RealValue(card);  // the card stays, to be commented out
    return FITS_OK;
  }
  if (Begins(card, "LONPOLE = ")) {
    img.SetLonPole(RealValue(card));
    return FITS_OK;
  }
  if (Begins(card, "LATPOLE = ")) {
    img.SetLatPole(RealValue(card));
    return FITS_OK;
  }
  for (int axis = 0; axis < 2; ++axis) {
    const char digit = static_cast<char>('1' + axis);
    auto key = [&](const char* name) { return std::string(name) + digit + "  = "; };
    if (Begins(card, key("CRPIX"))) {
      img.SetCRPix(axis, RealValue(card));
      return FITS_OK;
    }
    if (Begins(card, key("CRVAL"))) {
      img.SetCRVal(axis, RealValue(card));
      return FITS_OK;
    }
    if (Begins(card, key("CDELT"))) {
      img.SetCDelt(axis, RealValue(card));
      return FITS_OK;
    }
  }
  const bool indexedForm = card.size() >= 10 && card[3] == '_' && card.compare(5, 5, "   = ") == 0;
  if (indexedForm && Begins(card, "PV")) {
    const int i = Digits(card, 2, 1), m = Digits(card, 4, 1);
    if (i >= 0 && m >= 0) {
      const int element = (i - 1) * 4 + m;
      if (element >= 0 && element <= 7) {
        tagMATRIX2_4 pv;
        img.GetPVMtx(&pv);
        pv.m[element / 4][element % 4] = RealValue(card);
        img.SetPVMtx(pv, 1);
      }
      return FITS_OK;
    }
  }
  if (indexedForm && (Begins(card, "CD") || Begins(card, "PC"))) {
    const int i = Digits(card, 2, 1), j = Digits(card, 4, 1);
    if (i >= 0 && j >= 0) {
      const bool cd = card[0] == 'C';
      const double v = RealValue(card);
      tagMATRIX2_2 m;
      if (cd) {
        // Elements a CD matrix leaves out are 0, not those of the identity.
        if (!img.UsedCD())
          m = {0.0, 0.0, 0.0, 0.0};
        else
          img.GetCDMtx(&m);
        img.SetCD(1);
      } else {
        img.GetPCMtx(&m);
        img.SetPC(1);
      }
      if (InMatrix(i) && InMatrix(j)) {
        *MatrixElement(m, i, j) = v;
      } else if (InMatrix(i) && v != 0.0) {
        // An element that couples a further pixel axis into the first two world axes
        // cannot be represented; the rows of further world axes (PC3_3, PC4_4 of a
        // radio cube) do not touch them and stay as cards.
        return FITS_INVALID_CARD;
      }
      if (cd)
        img.SetCDMtx(m);
      else
        img.SetPCMtx(m);
      return FITS_OK;
    }
  }
  if (Begins(card, "PC") && card.size() >= 10 && card.compare(8, 2, "= ") == 0) {
    // The old PCiiijjj form; PCOUNT and other PC... keywords have no digits there.
    const int i = Digits(card, 2, 3), j = Digits(card, 5, 3);
    if (i >= 0 && j >= 0) {
      const double v = RealValue(card);
      tagMATRIX2_2 m;
      img.GetTolvenaPCMtx(&m);
      img.SetTolvenaPC(1);
      if (InMatrix(i) && InMatrix(j)) {
        *MatrixElement(m, i, j) = v;
        img.SetTolvenaPCMtx(m);
      } else if (InMatrix(i) && v != 0.0) {
        return FITS_INVALID_CARD;
      }
    }
  }
  return FITS_OK;
}

// Attributes that a header sets, back to their defaults, so that a file without one of
// them cannot inherit it from whatever was read into the image before.
void ResetHeaderAttributes(CImage& img) {
  img.SetBitsPixel(0);
  img.SetWidth(0);
  img.SetHeight(0);
  img.SetPlanes(0);
  img.SetOrgWidth(0);
  img.SetOrgHeight(0);
  img.SetFirstFits(0);
  img.SetBscale(1.0);
  img.SetBzero(0.0);
  img.SetBlankUsed(0);
  img.SetBlank(0);
  img.SetExtend(0);
  img.SetLogScale(0);
  img.SetCD(0);
  img.SetPC(0);
  img.SetTolvenaPC(0);
  img.SetCDMtx(tagMATRIX2_2{});
  img.SetPCMtx(tagMATRIX2_2{});
  img.SetTolvenaPCMtx(tagMATRIX2_2{});
  img.ClearPhysicalCoord(-1);
  img.ClearPhysicalCoord(2);
  img.ClearPVMtx();
}

tagMATRIX2_2 ScaledRows(tagMATRIX2_2 m, double d1, double d2) {
  m.m11 *= d1;
  m.m12 *= d1;
  m.m21 *= d2;
  m.m22 *= d2;
  return m;
}

// What a celestial axis type names: 1 longitude, 2 latitude, 0 neither. Only types of
// the form "xxxx-ppp" with a known projection code ppp count (a "-SIP" behind is allowed),
// named "RA--"/"DEC-", "xLON"/"xLAT" or "xxLN"/"xxLT", as the coordinate libraries
// decide; any other axis is linear and takes no rotation. *pair receives what the other
// axis of the pair must share: the projection and the system of the name.
int CelestialAxis(const CImage& img, int axis, std::string* pair) {
  static constexpr std::string_view kProjections[] = {
      "AZP", "SZP", "TAN", "STG", "SIN", "ARC", "ZPN", "ZEA", "AIR", "CYP",
      "CEA", "CAR", "MER", "COP", "COE", "COD", "COO", "SFL", "PAR", "MOL",
      "AIT", "BON", "PCO", "TSC", "CSC", "QSC", "HPX", "XPH"};
  std::string quoted;
  if (!img.GetCType(axis, &quoted) || quoted.size() < 2) return 0;
  std::string_view type = TrimRight(std::string_view(quoted).substr(1, quoted.size() - 2));
  if (type.size() == 12 && type.substr(8) == "-SIP") type = type.substr(0, 8);
  if (type.size() != 8 || type[4] != '-' ||
      std::find(std::begin(kProjections), std::end(kProjections), type.substr(5)) ==
          std::end(kProjections))
    return 0;
  const std::string projection(type.substr(5));
  if (Begins(type, "RA--") || Begins(type, "DEC-")) {
    *pair = "RA/DEC " + projection;
    return type[0] == 'R' ? 1 : 2;
  }
  if (type.substr(1, 3) == "LON" || type.substr(1, 3) == "LAT") {
    *pair = std::string(type.substr(0, 1)) + "LON/LAT " + projection;
    return type[3] == 'N' ? 1 : 2;
  }
  if (type.substr(2, 2) == "LN" || type.substr(2, 2) == "LT") {
    *pair = std::string(type.substr(0, 2)) + "LN/LT " + projection;
    return type[3] == 'N' ? 1 : 2;
  }
  return 0;
}

// Sine and cosine of an angle in degrees, exact at multiples of 90 so that a rotation by
// 0 or 180 gives an exact matrix.
int QuarterTurns(double degrees) {  // 0 to 3, or -1 when not a multiple of 90
  const double turn = std::fmod(degrees, 360.0);
  if (std::fmod(turn, 90.0) != 0.0) return -1;
  return (static_cast<int>(turn / 90.0) + 4) % 4;
}
double SinDegrees(double degrees) {
  static constexpr double kQuarter[4] = {0.0, 1.0, 0.0, -1.0};
  const int q = QuarterTurns(degrees);
  return q >= 0 ? kQuarter[q] : std::sin(degrees * (std::numbers::pi / 180.0));
}
double CosDegrees(double degrees) {
  static constexpr double kQuarter[4] = {1.0, 0.0, -1.0, 0.0};
  const int q = QuarterTurns(degrees);
  return q >= 0 ? kQuarter[q] : std::cos(degrees * (std::numbers::pi / 180.0));
}

// The old rotation keyword as a PC matrix: CROTAn of the latitude axis turns the image
// plane after the increments are applied (the AIPS convention), so with longitude axis i
// and latitude axis j, PCi_i = PCj_j = cos r, PCi_j = -sin r * CDELTj / CDELTi and
// PCj_i = sin r * CDELTi / CDELTj. Without a celestial pair, or without CROTAn on its
// latitude axis, nothing is turned (as the coordinate libraries read such a header).
void MatrixFromRotation(CImage& img, const HeaderState& state) {
  std::string pair[2];
  const int first = CelestialAxis(img, 0, &pair[0]), second = CelestialAxis(img, 1, &pair[1]);
  if (first == 0 || second == 0 || first == second || pair[0] != pair[1]) return;
  const int lng = first == 1 ? 0 : 1, lat = 1 - lng;
  if (!state.crota[lat]) return;
  double delta[2] = {1.0, 1.0};
  img.GetCDelt(0, &delta[0]);
  img.GetCDelt(1, &delta[1]);
  if (delta[0] == 0.0 || delta[1] == 0.0) return;  // singular: no coordinates either way
  const double r = *state.crota[lat];
  const double ratio = delta[lat] / delta[lng];
  double pc[2][2];
  pc[lng][lng] = pc[lat][lat] = CosDegrees(r);
  pc[lng][lat] = -SinDegrees(r) * ratio;
  pc[lat][lng] = SinDegrees(r) / ratio;
  img.SetLTMtx({pc[0][0], pc[0][1], pc[1][0], pc[1][1]}, 2);
}

// Takes the linear transformation matrix from the conventions present and warns when
// they disagree; without any matrix, from the old rotation keyword.
void ChooseMatrix(CImage& img, int showMessages, const HeaderState& state) {
  const bool cd = img.UsedCD(), pc = img.UsedPC(), old = img.UsedTolvenaPC();
  if (!cd && !pc && !old) {
    MatrixFromRotation(img, state);
    return;
  }
  tagMATRIX2_2 cdm, pcm, oldm;
  img.GetCDMtx(&cdm);
  img.GetPCMtx(&pcm);
  img.GetTolvenaPCMtx(&oldm);
  double d1 = 1.0, d2 = 1.0;
  const bool increments = img.GetCDelt(0, &d1) && img.GetCDelt(1, &d2);
  bool agree = true;
  std::string_view name = kFitsCdName;
  if (cd) {
    img.SetLTMtx(cdm, 1);
    if (increments) {
      if (pc) agree = agree && cdm == ScaledRows(pcm, d1, d2);
      if (pc && old) agree = agree && ScaledRows(pcm, d1, d2) == ScaledRows(oldm, d1, d2);
      if (old) agree = agree && cdm == ScaledRows(oldm, d1, d2);
    }
  } else if (pc) {
    img.SetLTMtx(pcm, 2);
    name = kFitsPcName;
    if (old) agree = pcm == oldm;
  } else {
    img.SetLTMtx(oldm, 2);
  }
  if (!agree && showMessages) {
    std::string text(kFitsMatrixMismatch);
    std::size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, name);
    AfxMessageBox(text, MB_OK);
  }
}

// Reads the primary header from the start of fd. *dataStart receives the offset of the
// data array. Returns 0, 4, 7 or 17.
int ReadCards(int fd, std::uint64_t offset, const char* firstRecord,
              std::vector<std::string>* cards, std::uint64_t* end);

// An image extension read as the image: the cards that only place it among the file's
// units go, and the primary header's keywords that it lacks come along, as the file's
// common description of the observation.
int AdoptExtensionHeader(CImage& img, int fd) {
  CFitsHeader& header = img.m_FitsHeader;
  for (const char* key : {"XTENSION", "PCOUNT", "GCOUNT", "INHERIT"}) header.DeleteAll(key);
  std::vector<std::string> primary;
  std::uint64_t end = 0;
  if (int rc = ReadCards(fd, 0, nullptr, &primary, &end)) return rc;
  std::vector<std::string> own = header.Cards();
  int at = header.Find("END");
  if (at < 0) at = header.GetCount();
  for (const std::string& card : InheritedCards(primary, own)) header.InsertAt(at++, card);
  return FITS_OK;
}

int ReadPrimaryHeader(CImage& img, int fd, int showMessages, std::uint64_t* dataStart,
                      std::uint64_t headerStart = 0) {
  img.m_FitsHeader.DeleteAll();
  img.SetSITypeRGB(0);
  ResetHeaderAttributes(img);

  HeaderState state;
  std::array<char, kRecordSize> record;
  std::uint64_t offset = headerStart;
  bool end = false;
  for (std::uint64_t n = 0; !end; ++n) {
    if (n >= kMaxHeaderRecords) return FITS_INVALID_IMAGE;
    if (ReadAt(fd, record.data(), kRecordSize, offset) != static_cast<long long>(kRecordSize))
      return FITS_READ_FAILED;
    offset += kRecordSize;
    for (int c = 0; c < kCardsPerRecord && !end; ++c) {
      std::string card(record.data() + c * kCardSize, kCardSize);
      if (int rc = InterpretCard(img, card, state)) return rc;
      img.m_FitsHeader.Add(card);
      end = Begins(card, "END       ");
    }
  }
  *dataStart = offset;
  // Random groups (GROUPS = T, NAXIS1 = 0) are parameters and arrays, not an image; their
  // further axes are the arrays' own and say nothing of dimensions.
  if (const int groups = img.m_FitsHeader.Find("GROUPS");
      groups >= 0 && Trim(Value(img.m_FitsHeader.GetAt(groups))).substr(0, 1) == "T")
    return FITS_INVALID_IMAGE;
  if (int rc = CheckExtraAxes(state)) return rc;
  if (headerStart > 0)
    if (int rc = AdoptExtensionHeader(img, fd)) return rc;

  // Types the image cannot hold are refused, not read as garbage; 64-bit integers are
  // read into doubles (see ReadImageStep).
  if (!IsFileType(img.GetBitsPixel()) || img.GetWidth() <= 0 || img.GetHeight() <= 0 ||
      img.GetPlanes() <= 0)
    return FITS_INVALID_IMAGE;
  std::uint64_t bytes = 0;
  if (!MulOk(static_cast<std::uint64_t>(img.GetWidth()),
             static_cast<std::uint64_t>(img.GetBytesPixel()), &bytes) ||
      !MulOk(bytes, static_cast<std::uint64_t>(img.GetFirstFits() ? 1 : img.GetHeight()), &bytes) ||
      !MulOk(bytes, static_cast<std::uint64_t>(img.GetPlanes()), &bytes) ||
      !AddOk(bytes, offset, &bytes) ||
      bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
    return FITS_INVALID_IMAGE;

  ChooseMatrix(img, showMessages, state);

  if (int i = img.m_FitsHeader.Find("SI-TYPE"); i >= 0) {
    std::string_view value = Value(img.m_FitsHeader.GetAt(i));
    if (!value.empty() && value.front() == '\'') value.remove_prefix(1);
    if (value.substr(0, 8) != "RGB     ") return FITS_INVALID_IMAGE;
    img.SetSITypeRGB(1);
  }
  img.SetOrgPlanes(img.GetPlanes());
  if (int i = img.m_FitsHeader.Find("SI-LMTD"); i >= 0) {
    std::string_view value = Value(img.m_FitsHeader.GetAt(i)).substr(0, 12);
    std::string method;
    for (char c : value)
      if (c != '\'' && c != ' ') method.push_back(c);
    if (method == "LOG") img.SetLogScale(1);
  }
  return FITS_OK;
}

// The display levels that the header's SI-LMINn and SI-LMAXn cards give one file plane,
// applied as SetLevelMin then SetLevelMax would apply them to fresh levels.
struct KeywordLevel {
  double min = 0.0;
  double max = 1.0;
  void Set(double lo, double hi) {
    if (hi - lo <= 0) hi = lo + 1.0;
    min = lo;
    max = hi;
  }
};

std::string LevelKey(std::string_view format, int n) {
  return FormatC(std::string(format).c_str(), n);
}

// Whether the header carries level keywords for any of its planes. Keywords are cut to
// eight characters, so plane 10 and up share the keywords of their first digit.
bool HasLevelKeywords(const CImage& img) {
  const int planes = img.GetPlanes();
  for (int d = 1; d <= 9 && d <= planes; ++d)
    if (img.m_FitsHeader.Find(LevelKey(kFitsLevelMinKey, d)) >= 0 ||
        img.m_FitsHeader.Find(LevelKey(kFitsLevelMaxKey, d)) >= 0)
      return true;
  return false;
}

KeywordLevel LevelOfFilePlane(const CImage& img, int filePlane) {
  KeywordLevel level;
  const int n = filePlane + 1;
  if (int i = img.m_FitsHeader.Find(LevelKey(kFitsLevelMinKey, n)); i >= 0)
    level.Set(RealValue(img.m_FitsHeader.GetAt(i)), level.max);
  if (int i = img.m_FitsHeader.Find(LevelKey(kFitsLevelMaxKey, n)); i >= 0)
    level.Set(level.min, RealValue(img.m_FitsHeader.GetAt(i)));
  return level;
}

// ---- pixels

// Smallest and largest physical value of one plane, gathered while its rows come in.
struct PlaneRange {
  double min = DBL_MAX;
  double max = -DBL_MAX;
  void Merge(const PlaneRange& o) {
    min = o.min < min ? o.min : min;
    max = o.max > max ? o.max : max;
  }
};

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

// What the data-array step tells Read: which file plane fills each image plane, whether
// the planes of an RGB file were taken out of their order, and the range of each plane.
struct ImageStepResult {
  std::vector<int> source;
  bool rgbReordered = false;
  std::vector<PlaneRange> ranges;
  // Where the data array of every file plane lies, whether its integers were folded into
  // real values, and whether a blank pixel was met while folding.
  std::uint64_t dataStart = 0;
  std::uint64_t dataEnd = 0;
  bool folded = false;
  bool anyBlank = false;
};

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

// With foldBits -32 or -64 the pixels are folded into physical values as they are read
// (as CImage::FoldPhysical would fold them afterwards), so only the folded copy is ever
// in memory; FITS_FOLD_NEEDS_DOUBLES asks the caller to read again into 64-bit floats.
constexpr int FITS_FOLD_NEEDS_DOUBLES = -1;

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

int ReadImageStep(CImage& img, int fd, bool reverse, bool bottomUp, int color, int plane0,
                  int plane1, int plane2, ProgressSink* progress, const std::string& caption,
                  bool wantRanges, ImageStepResult* result, int foldBits = 0) {
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

// ---- extensions

bool IsOwnTableName(std::string_view value) {
  // Compared without the closing quote, so that blanks padded inside it do not hide it.
  for (std::string_view own : {kExtNamePhot, kExtNamePos, kExtNamePhoR})
    if (value.find(own.substr(0, own.size() - 1)) != std::string_view::npos) return true;
  return false;
}

// The column number of a TTYPEn, TBCOLn, TFORMn or TUNITn card; -1 when there is none.
int ColumnNumber(std::string_view card) {
  std::size_t i = 5;
  int n = 0, digits = 0;
  while (i < 8 && i < card.size() && card[i] >= '0' && card[i] <= '9') {
    n = n * 10 + (card[i] - '0');
    ++i;
    ++digits;
  }
  return digits > 0 ? n : -1;
}

// The quoted value of a card, quotes included; empty when it has no pair of quotes.
std::string QuotedPair(std::string_view card) {
  std::string_view value = Value(card);
  std::size_t open = value.find('\'');
  if (open == std::string_view::npos) return {};
  std::size_t close = ClosingQuote(value.substr(open));
  if (close == std::string_view::npos || close == 0) return {};
  return std::string(value.substr(open, close + 1));
}

int InterpretExtensionCard(CFitsExtension& ext, const std::string& card) {
  if (Begins(card, "XTENSION= ")) {
    std::string value = QuotedValue(card, 9);
    if (value.empty()) return FITS_INVALID_IMAGE;
    ext.SetXtension(value);
    return FITS_OK;
  }
  if (Begins(card, "BITPIX  = ")) {
    const int bits = IntValue(card);
    if (bits % 8 != 0) return FITS_INVALID_IMAGE;
    ext.SetBitPix(bits);
    return FITS_OK;
  }
  if (Begins(card, "NAXIS   = ")) {
    const int n = IntValue(card);
    if (n < 0 || n > 999) return FITS_INVALID_IMAGE;
    ext.SetNAxis(n);
    return FITS_OK;
  }
  if (Begins(card, "NAXIS") && card.size() >= 10 && card[5] >= '0' && card[5] <= '9' &&
      card.compare(6, 4, "  = ") == 0) {
    const int axis = card[5] - '0';
    if (axis < 1 || axis > ext.GetNAxis()) return FITS_INVALID_IMAGE;
    ext.SetNAxes(axis - 1, IntValue(card));
    return FITS_OK;
  }
  if (Begins(card, "EXTNAME = ")) {
    // Names shorter than eight characters are legal here, unlike XTENSION values.
    std::string value = QuotedValue(card, 1);
    if (value.empty()) return FITS_INVALID_IMAGE;
    ext.SetExtName(value);
    return FITS_OK;
  }
  if (Begins(card, "TFIELDS = ")) {
    const int n = IntValue(card);
    if (n < 0 || n > 999) return FITS_INVALID_IMAGE;
    ext.SetTFields(n);
    ext.SetSize(n);
    return FITS_OK;
  }
  const bool ttype = Begins(card, "TTYPE"), tbcol = Begins(card, "TBCOL"),
             tform = Begins(card, "TFORM"), tunit = Begins(card, "TUNIT");
  if (ttype || tbcol || tform || tunit) {
    const int column = ColumnNumber(card);
    if (column < 1 || column > ext.GetColumnCount()) return FITS_INVALID_IMAGE;
    if (tbcol) {
      ext.SetTBCol(IntValue(card), column - 1);
      return FITS_OK;
    }
    std::string value = QuotedPair(card);
    if (value.empty()) return FITS_INVALID_IMAGE;
    if (ttype)
      ext.SetTType(value, column - 1);
    else if (tform)
      ext.SetTForm(value, column - 1);
    else
      ext.SetTUnit(value, column - 1);
  }
  return FITS_OK;
}

// Reads the header that starts at offset into cards until its END card. Returns 0, 4
// (a short read after the first record) or 7 (too long); *end is the offset behind it.
int ReadCards(int fd, std::uint64_t offset, const char* firstRecord,
              std::vector<std::string>* cards, std::uint64_t* end) {
  std::array<char, kRecordSize> record;
  for (std::uint64_t n = 0;; ++n) {
    if (n >= kMaxHeaderRecords) return FITS_INVALID_IMAGE;
    const char* data = firstRecord;
    if (n > 0 || !data) {
      if (ReadAt(fd, record.data(), kRecordSize, offset) != static_cast<long long>(kRecordSize))
        return FITS_READ_FAILED;
      data = record.data();
    }
    offset += kRecordSize;
    for (int c = 0; c < kCardsPerRecord; ++c) {
      cards->emplace_back(data + c * kCardSize, kCardSize);
      if (Begins(cards->back(), "END       ")) {
        *end = offset;
        return FITS_OK;
      }
    }
  }
}

// Data units of kept extensions above this many bytes stay in their source file.
std::atomic<std::uint64_t> g_keptInMemoryLimit{std::uint64_t{32} << 20};

// The file being read, shared with the kept extensions whose data stay in it. The
// descriptor is duplicated only when the first such extension turns up.
struct KeptSource {
  int fd = -1;
  FitsFileIdentity identity;
  bool identified = false;
  std::shared_ptr<const CFitsSourceFile> shared;

  std::shared_ptr<const CFitsSourceFile> Get() {
    if (!shared && identified) {
      const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
      if (copy >= 0) shared = std::make_shared<const CFitsSourceFile>(copy, identity);
    }
    return shared;
  }
};

// The extension the last Read on this thread left out because the file ends inside it.
thread_local FitsCutExtension g_cutExtension;
// The extensions the last Read on this thread could not parse and kept as bytes.
thread_local std::vector<FitsCutExtension> g_damagedExtensions;

// The EXTNAME of an extension from the whole cards read of its header, without quotes
// and trailing blanks; empty when they hold none.
std::string ExtName(const std::vector<std::string>& cards) {
  for (const std::string& card : cards) {
    if (!Begins(card, "EXTNAME = ")) continue;
    std::string_view value = Trim(Value(card));
    if (value.empty() || value.front() != '\'') return std::string(value);
    value.remove_prefix(1);
    const std::size_t close = value.find('\'');
    return std::string(TrimRight(value.substr(0, close)));
  }
  return {};
}

std::uint64_t RoundUpToRecord(std::uint64_t n, bool* ok) {
  std::uint64_t up = 0;
  *ok = AddOk(n, kRecordSize - 1, &up);
  return up / kRecordSize * kRecordSize;
}

// Whether the first record of an extension names it, and not as one of the system's own
// tables.
bool HasForeignName(const char* record) {
  for (int c = 0; c < kCardsPerRecord; ++c) {
    std::string_view card(record + c * kCardSize, kCardSize);
    if (Begins(card, "EXTNAME = ") && !IsOwnTableName(Value(card))) return true;
  }
  return false;
}

// Whether a record is header text: printable ASCII only, not all blank, and its first
// card starting with a keyword (upper-case letters, digits, '-' and '_', then blanks).
bool LooksLikeHeader(const char* record) {
  bool blank = true;
  for (std::size_t i = 0; i < kRecordSize; ++i) {
    const unsigned char c = static_cast<unsigned char>(record[i]);
    if (c < 0x20 || c > 0x7E) return false;
    blank = blank && c == ' ';
  }
  if (blank) return false;
  bool ended = false;
  for (std::size_t i = 0; i < 8; ++i) {
    const char c = record[i];
    const bool key = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (c == ' ') {
      ended = true;
    } else if (!key || ended) {
      return false;
    }
  }
  return record[0] != ' ';
}

// Interprets the cards of an extension into ext: 0, or the code of the first card
// refused.
int InterpretExtension(CFitsExtension& ext, const std::vector<std::string>& cards) {
  for (const std::string& card : cards) {
    if (int rc = InterpretExtensionCard(ext, card)) return rc;
    ext.m_Header.Add(card);
  }
  return FITS_OK;
}

// An ASCII table of another program whose columns carry world coordinates: the reader
// takes a cube plane's coordinates from it, so it is interpreted like the system's own.
bool IsPlaneCoordinateTable(const CFitsExtension& ext) {
  std::string_view value = ext.GetXtension();
  const std::size_t close = ClosingQuote(value);
  return !value.empty() && close != std::string_view::npos &&
         TrimRight(value.substr(1, close - 1)) == "TABLE" && ext.IsWCSFromExtension();
}

// Reads the data unit of an interpreted extension and appends the record to the image.
int AppendExtension(CImage& img, int fd, std::uint64_t fileSize, CFitsExtension ext,
                    const std::vector<std::string>& cards, std::uint64_t headerEnd,
                    std::uint64_t* pos) {
  std::uint64_t size = 0, end = 0;
  if (!DataUnitBytes(cards, &size) || !AddOk(headerEnd, size, &end)) return FITS_INVALID_IMAGE;
  if (end > fileSize) return FITS_READ_FAILED;
  std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
  if (size > 0 && ReadAt(fd, data.data(), data.size(), headerEnd) != static_cast<long long>(size))
    return FITS_READ_FAILED;
  ext.SetData(std::move(data));
  img.m_FitsExtensions.push_back(std::move(ext));
  *pos = end;
  return FITS_OK;
}

// Appends the bytes [start, end) of the file as a kept extension whose header is
// [start, headerEnd): the data unit stays in the file when it is large.
int KeepBytes(CImage& img, int fd, std::uint64_t start, std::uint64_t headerEnd, std::uint64_t end,
              KeptSource& source) {
  std::string header(static_cast<std::size_t>(headerEnd - start), '\0');
  if (ReadAt(fd, header.data(), header.size(), start) != static_cast<long long>(header.size()))
    return FITS_READ_FAILED;
  const std::uint64_t length = end - headerEnd;
  std::shared_ptr<const CFitsSourceFile> file;
  if (length > g_keptInMemoryLimit.load()) file = source.Get();
  if (file) {
    img.m_KeptExtensions.emplace_back(std::move(header), std::move(file), headerEnd, length);
  } else {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
    if (length > 0 &&
        ReadAt(fd, data.data(), data.size(), headerEnd) != static_cast<long long>(length))
      return FITS_READ_FAILED;
    img.m_KeptExtensions.emplace_back(std::move(header), std::move(data));
  }
  return FITS_OK;
}

// Whether the record at offset starts an extension: its first card is an XTENSION card.
bool StartsExtension(int fd, std::uint64_t offset) {
  char head[10];
  return ReadAt(fd, head, sizeof head, offset) == static_cast<long long>(sizeof head) &&
         Begins(std::string_view(head, sizeof head), "XTENSION= ");
}

// Keeps a unit whose header cannot be parsed (a damaged XTENSION card, a header without
// END or without the cards that size its data) as the bytes it stands in: up to the end
// its cards give when an extension or the end of the file follows there, else up to the
// next record that starts an extension, or the end of the file. Its bytes are copied
// unchanged when the image is saved, so that neither it nor a later extension is lost;
// it is noted for the caller to tell the user. Returns 29.
int KeepDamagedExtension(CImage& img, int fd, std::uint64_t fileSize, std::uint64_t start,
                         int cardsResult, const std::vector<std::string>& cards,
                         std::uint64_t headerEnd, std::uint64_t* pos, KeptSource& source,
                         int number) {
  std::uint64_t size = 0, dataEnd = 0, end = 0;
  bool ok = cardsResult == FITS_OK && DataUnitBytes(cards, &size) &&
            AddOk(headerEnd, size, &dataEnd) && dataEnd <= fileSize;
  if (ok) end = std::min(RoundUpToRecord(dataEnd, &ok), fileSize);
  if (!ok || (end < fileSize && !StartsExtension(fd, end))) {
    end = start + kRecordSize;
    while (end < fileSize && !StartsExtension(fd, end)) end += kRecordSize;
    end = std::min(end, fileSize);
  }
  if (cardsResult != FITS_OK || headerEnd <= start || headerEnd > end)
    headerEnd = std::min(start + kRecordSize, end);
  if (int rc = KeepBytes(img, fd, start, headerEnd, end, source)) return rc;
  g_damagedExtensions.push_back(FitsCutExtension{number, ExtName(cards)});
  *pos = end;
  return FITS_FOREIGN_EXTENSION;
}

// Keeps an extension the reader does not interpret: its header records and its data
// unit with the padding the file holds; one whose header cannot be interpreted or sized
// is kept as bytes (above). (One that the file ends inside never comes here.) Returns 29.
int KeepExtension(CImage& img, int fd, std::uint64_t fileSize, std::uint64_t start, int cardsResult,
                  const std::vector<std::string>& cards, std::uint64_t headerEnd,
                  std::uint64_t* pos, KeptSource& source, int number) {
  std::uint64_t size = 0, dataEnd = 0;
  bool ok = false;
  const std::uint64_t padded =
      cardsResult == FITS_OK && DataUnitBytes(cards, &size) && AddOk(headerEnd, size, &dataEnd)
          ? RoundUpToRecord(dataEnd, &ok)
          : 0;
  if (!ok || dataEnd > fileSize)
    return KeepDamagedExtension(img, fd, fileSize, start, cardsResult, cards, headerEnd, pos,
                                source, number);
  // A last extension whose padding the file lacks is kept as far as it goes; the writer
  // completes the record.
  const std::uint64_t end = std::min(padded, fileSize);
  if (int rc = KeepBytes(img, fd, start, headerEnd, end, source)) return rc;
  // Sized by its cards, it is carried whole; a type that is no quoted string is still
  // worth telling.
  if (cards.empty() || QuotedValue(cards.front(), 1).empty())
    g_damagedExtensions.push_back(FitsCutExtension{number, ExtName(cards)});
  *pos = end;
  return FITS_FOREIGN_EXTENSION;
}

// One step of the extension loop: reads or keeps the extension at *pos (rounded up to a
// record) and moves *pos behind it. The reader interprets the system's own tables and
// nameless extensions of a single plane read from the file, and in a cube read as one
// plane also another program's table of plane coordinates; a cube read in colour
// interprets none. Everything else is kept unread. Returns 0, 4, 6, 7, 28 or 29 (kept).
int ReadExtension(CImage& img, int fd, std::uint64_t fileSize, std::uint64_t* pos, int filePlanes,
                  int planesRead, bool interpret, KeptSource& source, FitsCutExtension* cut,
                  int number) {
  bool ok = false;
  const std::uint64_t start = RoundUpToRecord(*pos, &ok);
  if (!ok || start >= fileSize) return FITS_NO_MORE_EXTENSION;
  std::array<char, kRecordSize> record;
  const long long got = ReadAt(fd, record.data(), kRecordSize, start);
  // Whatever follows the data without an XTENSION card (blank records, zeros, binary
  // junk) is not an extension; the start of one the file ends inside already counts. A
  // whole record of header text is an extension whose XTENSION card was damaged: it is
  // kept as bytes.
  constexpr std::string_view kXtension = "XTENSION= ";
  const std::string_view head(record.data(),
                              got <= 0 ? 0 : std::min<std::size_t>(got, kXtension.size()));
  if (head.empty() || kXtension.substr(0, head.size()) != head) {
    if (got != static_cast<long long>(kRecordSize) || !LooksLikeHeader(record.data()))
      return FITS_NO_MORE_EXTENSION;
    std::vector<std::string> cards;
    std::uint64_t headerEnd = 0;
    const int cardsResult = ReadCards(fd, start, record.data(), &cards, &headerEnd);
    return KeepDamagedExtension(img, fd, fileSize, start, cardsResult, cards, headerEnd, pos,
                                source, number);
  }

  // An extension the file ends inside, in its header or its data unit, cannot be carried
  // whole: it is left out, and noted so that the caller can tell the user. Nothing can
  // follow it.
  std::vector<std::string> cards;
  auto cutOff = [&]() {
    cut->number = 1;  // this one; the loop knows its place among the extensions
    cut->name = ExtName(cards);
    return FITS_NO_MORE_EXTENSION;
  };
  if (got != static_cast<long long>(kRecordSize)) {
    for (std::size_t at = 0; at + kCardSize <= static_cast<std::size_t>(got); at += kCardSize)
      cards.emplace_back(record.data() + at, kCardSize);
    return cutOff();
  }
  std::uint64_t headerEnd = 0;
  const int cardsResult = ReadCards(fd, start, record.data(), &cards, &headerEnd);
  if (cardsResult == FITS_READ_FAILED) return cutOff();
  std::uint64_t size = 0, dataEnd = 0;
  if (cardsResult == FITS_OK && DataUnitBytes(cards, &size) && AddOk(headerEnd, size, &dataEnd) &&
      dataEnd > fileSize) {
    // Cut short, unless another extension starts before the end: then its size cards
    // are damaged, and it is kept as bytes up to that one.
    for (std::uint64_t at = headerEnd; at < fileSize; at += kRecordSize)
      if (StartsExtension(fd, at))
        return KeepDamagedExtension(img, fd, fileSize, start, cardsResult, cards, headerEnd, pos,
                                    source, number);
    return cutOff();
  }

  const bool cube = filePlanes > 1;
  const bool colour = cube && planesRead > 1;
  if (!interpret || colour || HasForeignName(record.data())) {
    if (cardsResult == FITS_OK && interpret && cube && !colour) {
      CFitsExtension ext;
      if (InterpretExtension(ext, cards) == FITS_OK && IsPlaneCoordinateTable(ext))
        return AppendExtension(img, fd, fileSize, std::move(ext), cards, headerEnd, pos);
    }
    return KeepExtension(img, fd, fileSize, start, cardsResult, cards, headerEnd, pos, source,
                         number);
  }

  if (cardsResult != FITS_OK) return cardsResult;
  CFitsExtension ext;
  if (int rc = InterpretExtension(ext, cards)) return rc;
  return AppendExtension(img, fd, fileSize, std::move(ext), cards, headerEnd, pos);
}

// The width of an ASCII-table field from its TFORM ('A8', 'E15.7', 'I6'); 0 when the
// form gives none.
std::size_t FieldWidth(std::string_view form) {
  std::string_view f = Trim(form);
  while (!f.empty() && (f.front() == '\'' || f.front() == ' ')) f.remove_prefix(1);
  if (f.empty()) return 0;
  f.remove_prefix(1);  // the type letter
  std::size_t width = 0;
  for (char c : f) {
    if (c < '0' || c > '9') break;
    width = width * 10 + static_cast<std::size_t>(c - '0');
    if (width > 1u << 20) return 0;
  }
  return width;
}

// A column name without its quotes and trailing blanks.
std::string_view ColumnName(std::string_view ttype) {
  while (!ttype.empty() && ttype.front() == '\'') ttype.remove_prefix(1);
  while (!ttype.empty() && ttype.back() == '\'') ttype.remove_suffix(1);
  return TrimRight(ttype);
}

// Where the header of unit hdu begins: 0 for the primary; for an extension it must be an
// uncompressed image. Returns 0, 7, or 47 for an image of more than three dimensions.
int UnitHeaderStart(int fd, int hdu, std::uint64_t* start) {
  *start = 0;
  if (hdu == 0) return FITS_OK;
  std::vector<FitsHdu> hdus;
  if (int rc = ListFitsHdus(fd, &hdus)) return rc;
  if (hdu < 0 || hdu >= static_cast<int>(hdus.size())) return FITS_INVALID_IMAGE;
  const FitsHdu& unit = hdus[static_cast<std::size_t>(hdu)];
  if (unit.HasExtraAxis()) return FITS_EXTRA_AXIS;
  if (!unit.IsImage() || unit.compressed) return FITS_INVALID_IMAGE;
  *start = unit.headerStart;
  return FITS_OK;
}

}  // namespace

// ---------------------------------------------------------------- texts

std::string_view CFits::LoadString(int id) {
  switch (id) {
    case IDS_FITS_LEVEL_MIN_KEY:
      return kFitsLevelMinKey;
    case IDS_FITS_LEVEL_MAX_KEY:
      return kFitsLevelMaxKey;
    case IDS_FITS_MIN_COMMENT:
      return kFitsMinComment;
    case IDS_FITS_MAX_COMMENT:
      return kFitsMaxComment;
    case IDS_FITS_MIN_COMMENT_R:
      return kFitsMinCommentR;
    case IDS_FITS_MAX_COMMENT_R:
      return kFitsMaxCommentR;
    case IDS_FITS_MIN_COMMENT_G:
      return kFitsMinCommentG;
    case IDS_FITS_MAX_COMMENT_G:
      return kFitsMaxCommentG;
    case IDS_FITS_MIN_COMMENT_B:
      return kFitsMinCommentB;
    case IDS_FITS_MAX_COMMENT_B:
      return kFitsMaxCommentB;
    case IDS_FITS_SITYPE_RGB:
      return kFitsSiTypeRgb;
    case IDS_FITS_PARAM_RULE:
      return kFitsParamRule;
    case IDS_FITS_PARAM_TITLE:
      return kFitsParamTitle;
    case IDS_FITS_PARAM_RULE_END:
      return kFitsParamRuleEnd;
    case IDS_FITS_FORMAT_NAME:
      return kFitsFormatName;
    case IDS_FITS_MATRIX_MISMATCH:
      return kFitsMatrixMismatch;
    case IDS_FITS_CD_NAME:
      return kFitsCdName;
    case IDS_FITS_PC_NAME:
      return kFitsPcName;
    default:
      return {};
  }
}

std::string_view CFits::ResultText(int code) {
  switch (code) {
    case FITS_OK:
      return "success";
    case FITS_CREATE_FAILED:
      return "the file cannot be created";
    case FITS_OPEN_FAILED:
      return "the file cannot be opened";
    case FITS_READ_FAILED:
      return "the file is shorter than its header or data, or a read failed";
    case FITS_WRITE_FAILED:
      return "writing the file failed";
    case FITS_NO_MEMORY:
      return "there is not enough memory for the image";
    case FITS_INVALID_IMAGE:
      return "the image or an extension is invalid or not supported";
    case FITS_INVALID_CARD:
      return "a header card is invalid";
    case FITS_NO_MORE_EXTENSION:
      return "no further extension";
    case FITS_FOREIGN_EXTENSION:
      return "an extension was kept unread or stepped over";
    case FITS_IS_FOLDER:
      return "the name is a folder, not a file";
    case FITS_NOT_REGULAR:
      return "the name is not a regular file (a device, a FIFO or a socket)";
    case FITS_LINK_LOOP:
      return "the name's symbolic links lead round in a loop";
    case FITS_EXTRA_AXIS:
      return "an axis beyond the third is longer than 1 (more than three dimensions)";
    default:
      return "unknown result";
  }
}

// ---------------------------------------------------------------- reading

int CFits::UpdateHeader(CImage& image, std::string_view card) {
  try {
    std::string text(card.substr(0, kCardSize));
    text.resize(kCardSize, ' ');
    HeaderState state;
    if (int rc = InterpretCard(image, text, state)) return rc;
    image.m_FitsHeader.Add(card);
    return FITS_OK;
  } catch (const std::bad_alloc&) {
    return FITS_NO_MEMORY;
  }
}

int CFits::ReadHeader(CImage& image, const std::string& path, int showMessages, int hdu) {
  try {
    int raw = -1;
    if (int e = OpenRegularFile(path, raw)) return FioCodeOfNameError(e, FITS_OPEN_FAILED);
    ScopedFd fd(raw);
    std::uint64_t dataStart = 0, headerStart = 0;
    if (int rc = UnitHeaderStart(fd.get(), hdu, &headerStart)) return rc;
    return ReadPrimaryHeader(image, fd.get(), showMessages, &dataStart, headerStart);
  } catch (const std::bad_alloc&) {
    return FITS_NO_MEMORY;
  } catch (const std::exception&) {
    return FITS_INVALID_IMAGE;
  }
}

int CFits::ReadImage(CImage& image, int fd, int reverseBytes, int bottomUp, int color, int plane0,
                     int plane1, int plane2, ProgressSink* progress, const std::string& caption) {
  try {
    return ReadImageStep(image, fd, reverseBytes != 0, bottomUp != 0, color, plane0, plane1, plane2,
                         progress, caption, false, nullptr);
  } catch (const std::bad_alloc&) {
    return FITS_NO_MEMORY;
  }
}

namespace {

// Integers folded into real values, every plane of the file in its own order and every
// row read: the image holds exactly the data unit, which a save in the file's own form
// may then copy rather than convert back. Anything less keeps no mark.
void MarkIfWhole(CImage& image, const ImageStepResult& step, int filePlanes, int fileBits,
                 double bscale, double bzero, int blankUsed, int blank, int bottomUp,
                 KeptSource& source) {
  image.ClearUnchanged();
  const bool integer = fileBits == 8 || fileBits == 16 || fileBits == 32;
  if (!step.folded || !integer || image.GetFirstFits() || image.GetPlanes() != filePlanes ||
      step.source.size() != static_cast<std::size_t>(filePlanes))
    return;
  for (int k = 0; k < filePlanes; ++k)
    if (step.source[static_cast<std::size_t>(k)] != k) return;
  StoredDataUnit unit;
  unit.file = source.Get();
  if (!unit.file) return;
  unit.offset = step.dataStart;
  unit.length = step.dataEnd - step.dataStart;
  unit.bits = fileBits;
  unit.bscale = bscale;
  unit.bzero = bzero;
  unit.blankUsed = blankUsed;
  unit.blank = blank;
  unit.anyBlank = step.anyBlank;
  unit.bottomUp = bottomUp;
  image.MarkUnchangedSince(std::move(unit));
}

}  // namespace

int CFits::Read(CImage& image, const std::string& path, int isSigned, int color, int plane0,
                int plane1, int plane2, ProgressSink* progress, const std::string& caption,
                int skipExtensions, int foldBits, int hdu) {
  g_cutExtension = FitsCutExtension{};
  g_damagedExtensions.clear();
  g_int64Rounded = false;
  try {
    int raw = -1;
    struct stat st {};
    if (int e = OpenRegularFile(path, raw, &st)) return FioCodeOfNameError(e, FITS_OPEN_FAILED);
    ScopedFd fd(raw);
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    // What the file looks like before anything is read from it: a kept extension whose
    // data stay in the file is copied at a save only while the file still looks so.
    FitsFileIdentity identity;
    const bool identified = FitsFileIdentity::Of(fd.get(), &identity);
    const int bottomUp = FitsBottomUpSetting();

    std::uint64_t dataStart = 0, headerStart = 0;
    if (int rc = UnitHeaderStart(fd.get(), hdu, &headerStart)) return rc;
    if (int rc = ReadPrimaryHeader(image, fd.get(), 1, &dataStart, headerStart)) return rc;
    // An image from an extension stands alone: the file's other units stay in the file.
    if (hdu > 0) {
      image.m_FitsExtensions.clear();
      image.m_KeptExtensions.clear();
      skipExtensions = 1;
    }

    image.SetSigned(isSigned);
    const int filePlanes = image.GetPlanes();
    image.SetOwnLevel(HasLevelKeywords(image) ? 1 : 0);

    // Pixels are stored in the machine's order; FITS data are big-endian, unless the file
    // is being unpacked for this read in the machine's order.
    const bool reverse =
        std::endian::native == std::endian::little && !(g_dataGate && g_dataGate->NativeOrder());
    if (::lseek(fd.get(), static_cast<off_t>(dataStart), SEEK_SET) < 0) return FITS_READ_FAILED;
    const int fileBits = image.GetBitsPixel();
    const int siTypeRGB = image.IsSITypeRGB();
    const double fileBscale = image.GetBscale(), fileBzero = image.GetBzero();
    const int fileBlankUsed = image.IsBlankUsed(), fileBlank = image.GetBlank();
    // The open file, shared by kept extensions whose data stay in it and by the mark
    // that lets a save copy the pixels' data unit.
    KeptSource source;
    source.fd = fd.get();
    source.identity = identity;
    source.identified = identified;
    ImageStepResult step;
    int rc = ReadImageStep(image, fd.get(), reverse, bottomUp != 0, color, plane0, plane1, plane2,
                           progress, caption, !image.HasOwnLevel(), &step, foldBits);
    if (rc == FITS_FOLD_NEEDS_DOUBLES) {
      // Floats do not hold every value of this file: the data come in again as doubles.
      image.SetPlanes(filePlanes);
      image.SetSITypeRGB(siTypeRGB);
      if (::lseek(fd.get(), static_cast<off_t>(dataStart), SEEK_SET) < 0) return FITS_READ_FAILED;
      rc = ReadImageStep(image, fd.get(), reverse, bottomUp != 0, color, plane0, plane1, plane2,
                         progress, caption, !image.HasOwnLevel(), &step, -64);
    }
    if (rc != FITS_OK) return rc;

    if (image.HasOwnLevel()) {
      // Levels from the keywords: an RGB file read in another plane order takes the
      // levels of the planes it read, otherwise image plane k keeps those of file plane k.
      image.AllocLevel();
      for (int k = 0; k < image.GetPlanes(); ++k) {
        const int from = step.rgbReordered ? step.source[static_cast<std::size_t>(k)] : k;
        if (from >= filePlanes) continue;
        const KeywordLevel level = LevelOfFilePlane(image, from);
        image.SetLevel(k, level.min, level.max);
      }
    }

    if (!skipExtensions) {
      image.m_FitsExtensions.clear();
      image.m_KeptExtensions.clear();
      // Extensions are interpreted only when the header announces them (EXTEND T);
      // a file that has them without saying so keeps them all unread, so that a save
      // does not lose them.
      const bool interpret = image.GetExtend() != 0;
      const off_t after = ::lseek(fd.get(), 0, SEEK_CUR);
      std::uint64_t pos = after < 0 ? fileSize : static_cast<std::uint64_t>(after);
      for (int number = 1;; ++number) {
        FitsCutExtension cut;
        const int rc = ReadExtension(image, fd.get(), fileSize, &pos, filePlanes, image.GetPlanes(),
                                     interpret, source, &cut, number);
        if (rc == FITS_NO_MORE_EXTENSION) {
          if (cut.number != 0) {
            cut.number = number;
            g_cutExtension = std::move(cut);
          }
          break;
        }
        if (rc != FITS_OK && rc != FITS_FOREIGN_EXTENSION) return rc;
      }
      image.SetExtend(image.m_FitsExtensions.empty() && image.m_KeptExtensions.empty() ? 0 : 1);
    }

    if (!image.HasOwnLevel()) {
      // The same levels as SetDefaultLevel, from the ranges gathered while reading.
      image.AllocLevel();
      for (int k = 0; k < image.GetPlanes(); ++k) {
        const PlaneRange& r = step.ranges[static_cast<std::size_t>(k)];
        image.SetLevel(k, r.min, r.max);
      }
    }
    image.SetSaveableFormat(1);
    image.SetSaveableFile(::access(path.c_str(), W_OK) == 0 ? 1 : 0);
    image.SetOrgFileName(path);
    image.SetOrgFileFormat(kFitsFormatName);
    image.SetOrgBitsPixel(fileBits);

    if (filePlanes > 1 && image.GetPlanes() == 1) {
      const int table = WCSFromExtension(image);
      if (table >= 0) UpdateHeaderWCS(image, table, plane0);
    }
    MarkIfWhole(image, step, filePlanes, fileBits, fileBscale, fileBzero, fileBlankUsed, fileBlank,
                bottomUp, source);
    return FITS_OK;
  } catch (const std::bad_alloc&) {
    return FITS_NO_MEMORY;
  } catch (const std::exception&) {
    return FITS_INVALID_IMAGE;
  }
}

int CFits::ReadOwnTables(CImage& image, const std::string& path, int exceptUnit) {
  try {
    int raw = -1;
    struct stat st {};
    if (int e = OpenRegularFile(path, raw, &st)) return FioCodeOfNameError(e, FITS_OPEN_FAILED);
    ScopedFd fd(raw);
    std::vector<FitsHdu> hdus;
    if (int rc = ListFitsHdus(fd.get(), &hdus)) return rc;
    for (const FitsHdu& hdu : hdus) {
      if (hdu.index == 0 || hdu.index == exceptUnit) continue;
      std::vector<std::string> cards;
      std::uint64_t headerEnd = 0, pos = 0;
      if (ReadCards(fd.get(), hdu.headerStart, nullptr, &cards, &headerEnd) != FITS_OK) continue;
      const bool own = std::any_of(cards.begin(), cards.end(), [](const std::string& card) {
        return Begins(card, "EXTNAME = ") && IsOwnTableName(Value(card));
      });
      CFitsExtension ext;
      // A table of ours that cannot be interpreted is left in the file rather than
      // failing the image that was read.
      if (!own || InterpretExtension(ext, cards) != FITS_OK) continue;
      if (int rc = AppendExtension(image, fd.get(), static_cast<std::uint64_t>(st.st_size),
                                   std::move(ext), cards, headerEnd, &pos);
          rc == FITS_NO_MEMORY)
        return rc;
    }
    if (!image.m_FitsExtensions.empty()) image.SetExtend(1);
    return FITS_OK;
  } catch (const std::bad_alloc&) {
    return FITS_NO_MEMORY;
  }
}

bool CFits::GetInt64Rounded() {
  return g_int64Rounded;
}

FitsDataGate* CFits::SetDataGate(FitsDataGate* gate) {
  FitsDataGate* previous = g_dataGate;
  g_dataGate = gate;
  return previous;
}

FitsCutExtension CFits::GetCutExtension() {
  return g_cutExtension;
}

std::vector<FitsCutExtension> CFits::GetDamagedExtensions() {
  return g_damagedExtensions;
}

std::uint64_t CFits::SetKeptInMemoryLimit(std::uint64_t bytes) {
  return g_keptInMemoryLimit.exchange(bytes);
}

int CFits::WCSFromExtension(const CImage& image) {
  for (std::size_t i = 0; i < image.m_FitsExtensions.size(); ++i)
    if (image.m_FitsExtensions[i].IsWCSFromExtension()) return static_cast<int>(i);
  return -1;
}

int CFits::UpdateHeaderWCS(CImage& image, int extension, int row) {
  if (extension < 0 || static_cast<std::size_t>(extension) >= image.m_FitsExtensions.size() ||
      row < 0)
    return 0;
  const CFitsExtension& ext = image.m_FitsExtensions[static_cast<std::size_t>(extension)];
  const std::uint8_t* data = ext.GetData();
  const std::size_t length = ext.GetDataLength();
  if (!data || ext.GetNAxis() < 1) return 0;
  const std::int64_t rowBytes = ext.GetNAxes(0);
  if (rowBytes <= 0) return 0;

  tagMATRIX2_4 pv;
  tagMATRIX2_2 cd{0.0, 0.0, 0.0, 0.0}, pc;
  bool havePV = false, haveCD = false, havePC = false;
  for (int c = 0; c < ext.GetColumnCount(); ++c) {
    const std::string_view name = ColumnName(ext.GetTType(c));
    const std::int64_t column = ext.GetTBCol(c) - 1;
    if (name.empty() || column < 0 || column >= rowBytes) continue;
    const std::int64_t offset = static_cast<std::int64_t>(row) * rowBytes + column;
    if (offset < 0 || static_cast<std::uint64_t>(offset) >= length) continue;
    std::size_t width = FieldWidth(ext.GetTForm(c));
    const auto inRow = static_cast<std::size_t>(rowBytes - column);
    const std::size_t inData = length - static_cast<std::size_t>(offset);
    if (width == 0 || width > inRow) width = inRow;
    width = std::min(width, inData);
    const std::string_view field(reinterpret_cast<const char*>(data) + offset, width);
    const double value = ParseReal(field);

    if (name == "CTYPE1" || name == "CTYPE2" || name == "CUNIT1" || name == "CUNIT2") {
      const std::string text = FormatC("'%8.8s'", std::string(field.substr(0, 8)).c_str());
      const int axis = name[5] - '1';
      if (name[1] == 'T')
        image.SetCType(axis, text);
      else
        image.SetCUnit(axis, text);
    } else if (name == "RESTFRQ1" || name == "RESTFRQ2") {
      image.SetRestFreq(name[7] - '1', value);
    } else if (name == "RESTWAV1" || name == "RESTWAV2") {
      image.SetRestWav(name[7] - '1', value);
    } else if (name == "LONPOLE") {
      image.SetLonPole(value);
    } else if (name == "LATPOLE") {
      image.SetLatPole(value);
    } else if (name.size() == 6 && (name[5] == '1' || name[5] == '2') &&
               (name.substr(0, 5) == "CRPIX" || name.substr(0, 5) == "CRVAL" ||
                name.substr(0, 5) == "CDELT")) {
      const int axis = name[5] - '1';
      if (name[2] == 'P')
        image.SetCRPix(axis, value);
      else if (name[2] == 'V')
        image.SetCRVal(axis, value);
      else
        image.SetCDelt(axis, value);
    } else if (name.size() == 5 && name[2] >= '1' && name[2] <= '2' && name[3] == '_' &&
               name[4] >= '1' && name[4] <= '4' && name.substr(0, 2) == "PV") {
      const int element = (name[2] - '1') * 4 + (name[4] - '0');
      if (element >= 0 && element <= 7) {
        pv.m[element / 4][element % 4] = value;
        havePV = true;
      }
    } else if (name.size() == 5 && InMatrix(name[2] - '0') && name[3] == '_' &&
               InMatrix(name[4] - '0') &&
               (name.substr(0, 2) == "CD" || name.substr(0, 2) == "PC")) {
      tagMATRIX2_2 kindNow;
      if (name[0] == 'C') {
        if (image.GetLTMtx(&kindNow) == 2) continue;
        *MatrixElement(cd, name[2] - '0', name[4] - '0') = value;
        haveCD = true;
      } else {
        *MatrixElement(pc, name[2] - '0', name[4] - '0') = value;
        havePC = true;
      }
    }
  }
  if (havePV) image.SetPVMtx(pv, 1);
  if (haveCD) image.SetLTMtx(cd, 1);
  if (havePC) image.SetLTMtx(pc, 2);
  return 1;
}

// ---------------------------------------------------------------- byte order

void CFits::ByteSwap(std::uint8_t& a, std::uint8_t& b) {
  std::swap(a, b);
}

void CFits::ReverseByteOrderBuffer(void* buffer, int bits, std::size_t count) {
  fitsbytes::ReverseBytes(buffer, bits, count);
}

int CFits::ReverseByteOrderLine(CImage& image, int row, int plane) {
  void* p = image.GetImageAdr(0, row, plane);
  if (!p) return 0;
  ReverseByteOrderBuffer(p, image.GetBitsPixel(), static_cast<std::size_t>(image.GetWidth()));
  return 1;
}

int CFits::ReverseByteOrderPage(CImage& image) {
  for (int p = 0; p < image.GetPlanes(); ++p)
    for (int y = 0; y < image.GetHeight(); ++y)
      if (!ReverseByteOrderLine(image, y, p)) return 0;
  return 1;
}
