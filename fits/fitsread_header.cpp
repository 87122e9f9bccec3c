// The FITS reader's header steps: every card of the primary header (or of the image
// extension read as the image) interpreted into the image, the linear transformation
// matrix taken from the conventions present or from the old rotation keyword, the
// primary header's keywords carried into an image extension, and the display levels of
// the SI-LMINn and SI-LMAXn keywords.
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <new>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fits/fits.h"
#include "fits/fitscards.h"
#include "fits/fitshdu.h"
#include "fits/fitsread_internal.h"
#include "imagemodel/image.h"
#include "platform/clocale.h"
#include "platform/messagebox.h"
#include "settings/registry.h"

using namespace fitscards;

namespace fitsread {

namespace {

bool IsPixelType(int bits) {
  return bits == 8 || bits == 16 || bits == 32 || bits == -32 || bits == -64;
}

int FitsHeightSetting() {
  int height = 1;
  CRegistry::Read("Dialog\\Enviroment", "FitsHeight", 1, height, CRegistry::TYPE_INT);
  return height;
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

std::string LevelKey(std::string_view format, int n) {
  return FormatC(std::string(format).c_str(), n);
}

}  // namespace

bool IsFileType(int bits) {
  return IsPixelType(bits) || bits == 64;
}

std::string QuotedValue(std::string_view card, std::size_t minQuote) {
  std::string_view value = Value(card);
  std::size_t q = ClosingQuote(value);
  if (q == std::string_view::npos || q < minQuote) return {};
  return std::string(value.substr(0, q + 1));
}

double* MatrixElement(tagMATRIX2_2& m, int i, int j) {
  if (i == 1) return j == 1 ? &m.m11 : &m.m12;
  return j == 1 ? &m.m21 : &m.m22;
}

bool InMatrix(int i) {
  return i == 1 || i == 2;
}

int ReadPrimaryHeader(CImage& img, int fd, int showMessages, std::uint64_t* dataStart,
                      std::uint64_t headerStart) {
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

}  // namespace fitsread

using namespace fitsread;

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
