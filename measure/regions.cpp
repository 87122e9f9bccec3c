// Region files of the measurement tools: writing the marks as DS9 shapes and reading
// circles and points back. Sizes on the sky are turned into pixels with the scale of the
// image's celestial coordinates at the shape's centre.
#include "measure/regions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>

#include "engine/ralimage.h"
#include "graph/drawline.h"
#include "imagemodel/image.h"
#include "measure/aperture.h"
#include "measure/aperturerect.h"
#include "measure/phottable.h"
#include "measure/positioning.h"
#include "platform/clocale.h"
#include "platform/files.h"
#include "wcs/celestial.h"

namespace {

using wcs_internal::CelestialSolution;

constexpr double kDeg = std::numbers::pi / 180.0;
// Positions further off the image than this are refused, as the tools keep ints.
constexpr double kMaxPixel = 1e9;

double FitsX(double x) {
  return PhotShownX(x);
}
double FitsY(const CImage& image, double y) {
  return PhotShownY(image, y);
}

// Angular distance in arc seconds (haversine, good at small separations).
double Separation(double lon1, double lat1, double lon2, double lat2) {
  const double s1 = std::sin((lat2 - lat1) * kDeg / 2.0);
  const double s2 = std::sin((lon2 - lon1) * kDeg / 2.0);
  const double h = s1 * s1 + std::cos(lat1 * kDeg) * std::cos(lat2 * kDeg) * s2 * s2;
  return 2.0 * std::asin(std::min(1.0, std::sqrt(h))) / kDeg * 3600.0;
}

// The arc seconds per pixel along x and y at FITS pixel (x, y); false off the projection.
bool Scale(const CelestialSolution& sky, double x, double y, double* sx, double* sy) {
  double l0, b0, l1, b1, l2, b2;
  if (!sky.ToWorld(x, y, &l0, &b0) || !sky.ToWorld(x + 1.0, y, &l1, &b1) ||
      !sky.ToWorld(x, y + 1.0, &l2, &b2))
    return false;
  *sx = Separation(l0, b0, l1, b1);
  *sy = Separation(l0, b0, l2, b2);
  return *sx > 0.0 && *sy > 0.0;
}

// The DS9 name of the image's celestial system, or empty when DS9 has none for it.
std::string SkySystem(const CelestialSolution& sky) {
  const std::string& lon = sky.LongitudeType();
  if (lon == "GLON") return "galactic";
  if (lon == "ELON") return "ecliptic";
  if (lon != "RA") return {};
  const std::string& sys = sky.RadeSys();
  if (sys == "ICRS") return "icrs";
  if (sys == "FK5" || sys.empty()) return sky.Equinox() == 2000.0 ? "fk5" : std::string();
  if (sys == "FK4" || sys == "FK4-NO-E") return sky.Equinox() == 1950.0 ? "fk4" : std::string();
  return {};
}

std::string Properties(const RegionShape& s, const char* extra) {
  std::string p;
  if (extra) p += extra;
  if (!s.color.empty()) p += (p.empty() ? "color=" : " color=") + s.color;
  if (!s.label.empty()) p += (p.empty() ? "text={" : " text={") + s.label + "}";
  return p.empty() ? std::string() : " # " + p;
}

}  // namespace

const char* RegionErrorText(int code) {
  switch (code) {
    case kRegionOk:
      return "no error";
    case kRegionErrSyntax:
      return "not a region file line";
    case kRegionErrNoWcs:
      return "the image has no celestial coordinates";
    case kRegionErrSystem:
      return "coordinate system not usable with this image";
    case kRegionErrRange:
      return "position or size out of range";
    case kRegionErrRead:
      return "the region file cannot be read";
    case kRegionErrWrite:
      return "the region file cannot be written";
  }
  return "unknown error";
}

std::string RegionSkySystem(const CImage& image) {
  const CelestialSolution* wcs = wcs_internal::CelestialFor(image);
  return wcs ? SkySystem(*wcs) : std::string();
}

std::string RegionSkyProblem(const CImage& image) {
  const CelestialSolution* wcs = wcs_internal::CelestialFor(image);
  if (!wcs) return RegionErrorText(kRegionErrNoWcs);
  if (!SkySystem(*wcs).empty()) return {};
  return "its celestial axes (" + wcs->LongitudeType() + ", " + wcs->LatitudeType() +
         (wcs->RadeSys().empty() ? std::string() : ", " + wcs->RadeSys()) +
         PhotFormat(", equinox %g) have no region file system", wcs->Equinox());
}

void AddApertureRegions(const CAperture& aperture, const CImage& image,
                        std::vector<RegionShape>* shapes) {
  for (int i = 0; i < aperture.GetMarkCount(); ++i) {
    const CApertureMark& m = aperture.GetMark(i);
    if (m.m_bDeleted) continue;
    RegionShape s;
    s.x = FitsX(m.m_dCx);
    s.y = FitsY(image, m.m_dCy);
    if (m.m_nType == CApertureMark::STAR) {
      s.kind = RegionShape::kCircle;
      s.a = m.m_dOuterX;
      s.label = std::to_string(m.m_nNumber);
      s.color = "magenta";
    } else {
      s.kind = RegionShape::kAnnulus;
      s.a = std::max(m.m_dInnerX, 0.0);
      s.b = m.m_dOuterX;
      s.color = "green";
    }
    shapes->push_back(std::move(s));
  }
}

void AddRectRegions(const CApertureRect& rect, const CImage& image,
                    std::vector<RegionShape>* shapes) {
  int number = 0;
  for (int i = 0; i < rect.GetItemCount(); ++i) {
    const CApertureRectItem& r = rect.GetItem(i);
    if (r.m_bDeleted) continue;
    // The box covers the pixels left … right and top … bottom whole.
    RegionShape s;
    s.kind = RegionShape::kBox;
    s.x = FitsX((r.m_nLeft + r.m_nRight) / 2.0);
    s.y = FitsY(image, (r.m_nTop + r.m_nBottom) / 2.0);
    s.a = r.m_nRight - r.m_nLeft + 1.0;
    s.b = r.m_nBottom - r.m_nTop + 1.0;
    s.label = std::to_string(++number);
    s.color = "yellow";
    shapes->push_back(std::move(s));
  }
}

void AddPositionRegions(const CPositioning& pos, const CImage& image,
                        std::vector<RegionShape>* shapes) {
  int number = 0;
  for (int i = 0; i < pos.GetItemCount(); ++i) {
    const CPositioningItem& p = pos.GetItem(i);
    if (p.m_bDeleted) continue;
    RegionShape s;
    s.kind = RegionShape::kPoint;
    s.x = FitsX(p.m_dX);
    s.y = FitsY(image, p.m_dY);
    s.label = std::to_string(++number);
    s.color = "cyan";
    shapes->push_back(std::move(s));
  }
}

void AddLineRegions(const CGraph2D& lines, const CImage& image, std::vector<RegionShape>* shapes) {
  for (int i = 0; i < lines.GetSize(); ++i) {
    const CDrawLineGraph2D& l = lines.GetLine(i);
    if (l.m_nState != 2) continue;
    double x1, y1, x2, y2, width;
    l.GetProfile(&x1, &y1, &x2, &y2, &width);
    RegionShape s;
    s.kind = width > 1.0 ? RegionShape::kProjection : RegionShape::kLine;
    s.x = FitsX(x1);
    s.y = FitsY(image, y1);
    s.x2 = FitsX(x2);
    s.y2 = FitsY(image, y2);
    s.a = width;
    s.color = "cyan";
    shapes->push_back(std::move(s));
  }
}

int FormatRegions(const std::vector<RegionShape>& shapes, const CImage& image, bool sky,
                  std::string* out, std::string* detail) {
  detail->clear();
  const CelestialSolution* wcs = sky ? wcs_internal::CelestialFor(image) : nullptr;
  std::string system = "image";
  if (sky) {
    if (!wcs) return kRegionErrNoWcs;
    system = SkySystem(*wcs);
    if (system.empty()) {
      *detail = RegionSkyProblem(image);
      return kRegionErrSystem;
    }
  }
  std::string text =
      "# Region file format: DS9 version 4.1\n"
      "global color=green dashlist=8 3 width=1 font=\"helvetica 10 normal roman\" select=1 "
      "highlite=1 dash=0 fixed=0 edit=1 move=1 delete=1 include=1 source=1\n" +
      system + "\n";
  // Image positions to 1e-4 pixel; sky positions to 1e-9 degree (4 micro-arcseconds).
  auto pos = [&](double x, double y, std::string* t) {
    if (!sky) {
      *t += PhotFormat("%.4f,%.4f", x, y);
      return true;
    }
    double lon, lat;
    if (!wcs->ToWorld(x, y, &lon, &lat)) return false;
    *t += PhotFormat("%.9f,%+.9f", lon, lat);
    return true;
  };
  // A size along x (or y) at a FITS position.
  auto size = [&](double x, double y, double pixels, bool alongY, std::string* t) {
    if (!sky) {
      *t += PhotFormat("%.4f", pixels);
      return true;
    }
    double sx, sy;
    if (!Scale(*wcs, x, y, &sx, &sy)) return false;
    *t += PhotFormat("%.4f\"", pixels * (alongY ? sy : sx));
    return true;
  };
  // Radii: the mean scale of the two axes.
  auto radius = [&](double x, double y, double pixels, std::string* t) {
    if (!sky) return size(x, y, pixels, false, t);
    double sx, sy;
    if (!Scale(*wcs, x, y, &sx, &sy)) return false;
    *t += PhotFormat("%.4f\"", pixels * std::sqrt(sx * sy));
    return true;
  };
  for (const RegionShape& s : shapes) {
    std::string line;
    bool ok = true;
    switch (s.kind) {
      case RegionShape::kCircle:
        line = "circle(";
        ok = pos(s.x, s.y, &line) && (line += ",", radius(s.x, s.y, s.a, &line));
        line += ")" + Properties(s, nullptr);
        break;
      case RegionShape::kAnnulus:
        line = "annulus(";
        ok = pos(s.x, s.y, &line) && (line += ",", radius(s.x, s.y, s.a, &line)) &&
             (line += ",", radius(s.x, s.y, s.b, &line));
        line += ")" + Properties(s, nullptr);
        break;
      case RegionShape::kBox: {
        line = "box(";
        ok = pos(s.x, s.y, &line) && (line += ",", size(s.x, s.y, s.a, false, &line)) &&
             (line += ",", size(s.x, s.y, s.b, true, &line));
        // On the sky the angle runs from west towards north, so the box keeps the image's
        // axes as DS9 turns it back onto the pixels.
        double angle = 0.0;
        if (ok && sky) {
          double l0, b0, l1, b1;
          ok = wcs->ToWorld(s.x, s.y, &l0, &b0) && wcs->ToWorld(s.x + 1.0, s.y, &l1, &b1);
          double dl = std::remainder(l1 - l0, 360.0);
          angle = std::atan2(b1 - b0, -dl * std::cos(b0 * kDeg)) / kDeg;
          if (angle < 0.0) angle += 360.0;
        }
        line += PhotFormat(",%.6f)", angle) + Properties(s, nullptr);
        break;
      }
      case RegionShape::kPoint:
        line = "point(";
        ok = pos(s.x, s.y, &line);
        line += ")" + Properties(s, "point=x");
        break;
      case RegionShape::kLine:
        line = "line(";
        ok = pos(s.x, s.y, &line) && (line += ",", pos(s.x2, s.y2, &line));
        line += ")" + Properties(s, "line=0 0");
        break;
      case RegionShape::kProjection:
        // A band's profile: DS9 keeps projections as a comment line of their own.
        line = "# projection(";
        ok = pos(s.x, s.y, &line) && (line += ",", pos(s.x2, s.y2, &line)) &&
             (line += ",", radius(s.x, s.y, s.a, &line));
        line += ")";
        if (!s.color.empty()) line += " color=" + s.color;
        break;
    }
    if (!ok) {
      *detail = PhotFormat("no sky position at pixel %.2f,%.2f", s.x, s.y);
      return kRegionErrRange;
    }
    text += line + "\n";
  }
  *out = std::move(text);
  return kRegionOk;
}

int WriteRegionFile(const std::string& path, const std::vector<RegionShape>& shapes,
                    const CImage& image, bool sky, std::string* detail) {
  detail->clear();
  std::string text;
  if (const int rc = FormatRegions(shapes, image, sky, &text, detail); rc != kRegionOk) return rc;
  AtomicFile file;
  int err = file.Open(path);
  if (err == 0) err = file.Write(text.data(), text.size());
  if (err == 0) err = file.Commit();
  if (err != 0) {
    file.Discard();
    *detail = path + ": " + FileErrorText(err);
    return kRegionErrWrite;
  }
  return kRegionOk;
}

// ------------------------------------------------------------------------------ reading

namespace {

enum class System { kImage, kPhysical, kSky, kOther };

std::string Lower(std::string_view s) {
  std::string t(s);
  for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return t;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// A whole plain decimal number.
bool Number(std::string_view s, double* v) {
  std::size_t end = 0;
  return ParseDecimalDouble(s, v, &end) && end == s.size();
}

// Sexagesimal "a:b:c" or "a[hd]b[m']c[s\"]"; *sign is -1 for a leading minus (also "-0").
bool Sexagesimal(std::string_view s, bool* hours, double* v) {
  double sign = 1.0;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    sign = s.front() == '-' ? -1.0 : 1.0;
    s.remove_prefix(1);
  }
  double parts[3] = {0.0, 0.0, 0.0};
  int n = 0;
  *hours = false;
  while (!s.empty()) {
    if (n == 3) return false;
    std::size_t end = 0;
    if (!ParseDecimalDouble(s, &parts[n], &end, false) || parts[n] < 0.0) return false;
    s.remove_prefix(end);
    if (!s.empty()) {
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s.front())));
      if (n == 0 && c == 'h') *hours = true;
      const bool sep = c == ':' || (n == 0 && (c == 'h' || c == 'd')) ||
                       (n == 1 && (c == 'm' || c == '\'')) || (n == 2 && (c == 's' || c == '"'));
      if (!sep) return false;
      s.remove_prefix(1);
    }
    ++n;
  }
  if (n < 2 && !*hours) return false;
  *v = sign * (parts[0] + parts[1] / 60.0 + parts[2] / 3600.0);
  return true;
}

// A longitude or latitude in degrees: a number (with an optional trailing d) or
// sexagesimal, in hours for an equatorial longitude written with colons or h.
bool Angle(std::string_view s, bool longitude, bool equatorial, double* deg) {
  if (Number(s, deg)) return true;
  if (s.size() > 1 && (s.back() == 'd' || s.back() == 'D') &&
      Number(s.substr(0, s.size() - 1), deg))
    return true;
  bool hours = false;
  if (!Sexagesimal(s, &hours, deg)) return false;
  if (hours || (longitude && equatorial)) *deg *= 15.0;
  return true;
}

struct Reader {
  const CImage& image;
  RegionImport* out;
  std::string* detail;
  System system = System::kPhysical;  // DS9's own default
  const CelestialSolution* wcs = nullptr;
  bool equatorial = false;
  // Physical to FITS image pixels: image = LTM phys + LTV.
  double ltm[2][2] = {{1.0, 0.0}, {0.0, 1.0}};
  double ltv[2] = {0.0, 0.0};
  int lineNo = 0;
  bool lastCircle = false;  // the shape before was a circle (for a following annulus)

  int Fail(int code, const std::string& what) {
    *detail = "line " + std::to_string(lineNo) + ": " + what;
    return code;
  }

  void ReadPhysical() {
    const auto real = [&](const char* key, double* v) {
      const int at = image.m_FitsHeader.Find(key);
      double r;
      if (at >= 0 && FitsCardReal(image.m_FitsHeader.GetAt(at), &r)) *v = r;
    };
    real("LTM1_1", &ltm[0][0]);
    real("LTM1_2", &ltm[0][1]);
    real("LTM2_1", &ltm[1][0]);
    real("LTM2_2", &ltm[1][1]);
    real("LTV1", &ltv[0]);
    real("LTV2", &ltv[1]);
  }

  // A system name; kOther with code set when it names one that cannot be used here.
  bool SetSystem(const std::string& word, int* code) {
    *code = kRegionOk;
    if (word == "image") {
      system = System::kImage;
      return true;
    }
    if (word == "physical") {
      system = System::kPhysical;
      return true;
    }
    static const char* const kSky[] = {"fk5",   "j2000",    "icrs",     "fk4",
                                       "b1950", "galactic", "ecliptic", "wcs"};
    static const char* const kOtherSystems[] = {"linear", "amplifier", "detector"};
    bool isSky = std::find_if(std::begin(kSky), std::end(kSky),
                              [&](const char* s) { return word == s; }) != std::end(kSky);
    // wcsa … wcsz: the image's alternative descriptions, which are not read here.
    const bool alternative =
        word.size() == 4 && word.starts_with("wcs") && std::isalpha((unsigned char)word[3]);
    if (!isSky && !alternative &&
        std::find_if(std::begin(kOtherSystems), std::end(kOtherSystems),
                     [&](const char* s) { return word == s; }) == std::end(kOtherSystems))
      return false;
    system = System::kOther;
    if (alternative || !isSky) {
      *code = Fail(kRegionErrSystem, "coordinate system '" + word + "' is not supported");
      return true;
    }
    if (!wcs) {
      *code = Fail(kRegionErrNoWcs,
                   "'" + word + "' positions, but " + RegionErrorText(kRegionErrNoWcs));
      return true;
    }
    // The file's system must be the image's own (fk5 and icrs, which differ by less than
    // 0.03 arc seconds, stand for each other).
    const std::string own = SkySystem(*wcs);
    std::string want = word == "j2000" ? "fk5" : word == "b1950" ? "fk4" : word;
    if (want == "wcs") want = own;
    const bool same =
        want == own || (want == "icrs" && own == "fk5") || (want == "fk5" && own == "icrs");
    if (own.empty() || !same) {
      *code = Fail(kRegionErrSystem, "coordinate system '" + word + "' is not the image's (" +
                                         (own.empty() ? wcs->LongitudeType() : own) + ")");
      return true;
    }
    system = System::kSky;
    equatorial = want == "fk5" || want == "icrs" || want == "fk4";
    return true;
  }

  // A position: FITS pixel (*fx, *fy).
  int Position(std::string_view a, std::string_view b, double* fx, double* fy) {
    if (system == System::kSky) {
      double lon, lat;
      if (!Angle(a, true, equatorial, &lon) || !Angle(b, false, equatorial, &lat))
        return Fail(kRegionErrSyntax,
                    "not a sky position: '" + std::string(a) + "," + std::string(b) + "'");
      if (!(std::fabs(lat) <= 90.0) || !wcs->ToPixel(lon, lat, fx, fy))
        return Fail(kRegionErrRange, "the sky position " + std::string(a) + "," + std::string(b) +
                                         " has no pixel on this image");
    } else {
      double x, y;
      if (!Number(a, &x) || !Number(b, &y))
        return Fail(kRegionErrSyntax,
                    "not a pixel position: '" + std::string(a) + "," + std::string(b) + "'");
      if (system == System::kPhysical) {
        *fx = ltm[0][0] * x + ltm[0][1] * y + ltv[0];
        *fy = ltm[1][0] * x + ltm[1][1] * y + ltv[1];
      } else {
        *fx = x;
        *fy = y;
      }
    }
    if (!(std::fabs(*fx) <= kMaxPixel && std::fabs(*fy) <= kMaxPixel))
      return Fail(kRegionErrRange, "position beyond 1e9 pixels");
    return kRegionOk;
  }

  // A size at FITS pixel (fx, fy), in pixels: the system's unit (degrees on the sky) or
  // one given by a mark: " arc seconds, ' arc minutes, d degrees, r radians, i or p pixels.
  int Size(std::string_view s, double fx, double fy, double* pixels) {
    char unit = 0;
    if (!s.empty() && std::string_view("\"'drip").find(s.back()) != std::string_view::npos) {
      unit = s.back();
      s.remove_suffix(1);
    }
    const bool marked = unit != 0;
    double v;
    if (!Number(s, &v)) return Fail(kRegionErrSyntax, "not a size: '" + std::string(s) + "'");
    if (!unit) unit = system == System::kSky ? 'd' : 'p';
    if (unit == 'i' || unit == 'p') {
      // Physical pixels are scaled by the physical-to-image matrix.
      *pixels = system == System::kPhysical && !marked
                    ? v * std::sqrt(std::fabs(ltm[0][0] * ltm[1][1] - ltm[0][1] * ltm[1][0]))
                    : v;
    } else {
      if (!wcs) return Fail(kRegionErrNoWcs, "an angular size, but the image has no sky");
      double sx, sy;
      if (!Scale(*wcs, fx, fy, &sx, &sy))
        return Fail(kRegionErrRange, "no sky scale at the shape's position");
      const double arcsec = unit == '"'    ? v
                            : unit == '\'' ? v * 60.0
                            : unit == 'd'  ? v * 3600.0
                                           : v / kDeg * 3600.0;
      *pixels = arcsec / std::sqrt(sx * sy);
    }
    if (!(*pixels > 0.0 && *pixels <= 1e6))
      return Fail(kRegionErrRange, "size out of range: '" + std::string(s) + "'");
    return kRegionOk;
  }

  int Statement(std::string_view st) {
    st = Trim(st);
    if (st.empty()) return kRegionOk;
    if (st.front() == '+' || st.front() == '-') st = Trim(st.substr(1));
    std::size_t n = 0;
    while (n < st.size() && (std::isalnum(static_cast<unsigned char>(st[n])) || st[n] == '_')) ++n;
    std::string word = Lower(st.substr(0, n));
    std::string_view rest = Trim(st.substr(n));
    if (word == "global") return kRegionOk;
    if (rest.empty()) {
      int code;
      if (SetSystem(word, &code)) return code;
    }
    // Points drawn with another symbol: "circle point(…)" and the like.
    static const char* const kSymbols[] = {"circle", "box",   "diamond",  "cross",
                                           "x",      "arrow", "boxcircle"};
    if (std::find_if(std::begin(kSymbols), std::end(kSymbols),
                     [&](const char* s) { return word == s; }) != std::end(kSymbols) &&
        Lower(rest.substr(0, 5)) == "point") {
      word = "point";
      rest = Trim(rest.substr(5));
    }
    static const char* const kOtherShapes[] = {
        "ellipse", "box",     "polygon", "line",   "vector", "text",      "ruler",
        "compass", "segment", "panda",   "epanda", "bpanda", "composite", "projection"};
    const bool other =
        std::find_if(std::begin(kOtherShapes), std::end(kOtherShapes),
                     [&](const char* s) { return word == s; }) != std::end(kOtherShapes);
    if (word != "circle" && word != "point" && word != "annulus" && !other)
      return Fail(kRegionErrSyntax, "unknown shape or statement '" + std::string(st) + "'");
    // The arguments, in parentheses or after blanks, separated by commas or blanks.
    std::string_view args = rest;
    if (!args.empty() && args.front() == '(') {
      const std::size_t close = args.find(')');
      if (close == std::string_view::npos || !Trim(args.substr(close + 1)).empty())
        return Fail(kRegionErrSyntax, "unbalanced parentheses in '" + std::string(st) + "'");
      args = args.substr(1, close - 1);
    }
    std::vector<std::string_view> a;
    for (std::size_t i = 0; i < args.size();) {
      while (i < args.size() && (args[i] == ',' || std::isspace((unsigned char)args[i]))) ++i;
      const std::size_t start = i;
      while (i < args.size() && args[i] != ',' && !std::isspace((unsigned char)args[i])) ++i;
      if (i > start) a.push_back(args.substr(start, i - start));
    }
    const bool wasCircle = lastCircle;
    lastCircle = false;
    if (other) {
      ++out->skipped;
      return kRegionOk;
    }
    if (system == System::kOther)
      return Fail(kRegionErrSystem, "a shape in a coordinate system that is not usable here");
    const std::size_t want = word == "point" ? 2 : word == "circle" ? 3 : 4;
    if (a.size() < want || (word != "annulus" && a.size() != want))
      return Fail(kRegionErrSyntax,
                  word + " takes " + std::to_string(want) + " values: '" + std::string(st) + "'");
    double fx, fy;
    if (const int rc = Position(a[0], a[1], &fx, &fy); rc != kRegionOk) return rc;
    const double x = PhotImageX(fx), y = PhotImageY(image, fy);
    if (word == "point") {
      out->points.push_back({x, y});
      return kRegionOk;
    }
    double r1;
    if (const int rc = Size(a[2], fx, fy, &r1); rc != kRegionOk) return rc;
    if (word == "circle") {
      out->circles.push_back({x, y, r1, -1.0, -1.0});
      lastCircle = true;
      return kRegionOk;
    }
    // An annulus of one ring round the circle just read is that circle's sky.
    double r2;
    if (a.size() == 4 && wasCircle) {
      if (const int rc = Size(a[3], fx, fy, &r2); rc != kRegionOk) return rc;
      RegionImport::Circle& c = out->circles.back();
      if (std::fabs(c.x - x) < 1e-3 && std::fabs(c.y - y) < 1e-3 && r2 > r1) {
        c.skyInner = r1;
        c.skyOuter = r2;
        return kRegionOk;
      }
    }
    ++out->skipped;
    return kRegionOk;
  }

  // A comment that holds a shape DS9 keeps as a comment (a projection, a text, …).
  void Comment(std::string_view c) {
    c = Trim(c);
    std::size_t n = 0;
    while (n < c.size() && std::isalpha(static_cast<unsigned char>(c[n]))) ++n;
    const std::string word = Lower(c.substr(0, n));
    if (n > 0 && n < c.size() && c[n] == '(' &&
        (word == "projection" || word == "text" || word == "ruler" || word == "compass" ||
         word == "composite" || word == "vector" || word == "segment" || word == "circle" ||
         word == "point" || word == "box" || word == "ellipse" || word == "polygon" ||
         word == "line" || word == "annulus"))
      ++out->skipped;
  }
};

}  // namespace

int ParseRegions(std::string_view text, const CImage& image, RegionImport* out,
                 std::string* detail) {
  *out = RegionImport{};
  detail->clear();
  Reader r{image, out, detail};
  r.wcs = wcs_internal::CelestialFor(image);
  r.ReadPhysical();
  while (!text.empty()) {
    ++r.lineNo;
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.find('\0') != std::string_view::npos)
      return r.Fail(kRegionErrSyntax, "binary data, not region text");
    // Properties and comments follow a '#'; statements before it are cut at ';'.
    const std::size_t hash = line.find('#');
    std::string_view body = line.substr(0, hash);
    if (hash != std::string_view::npos) {
      // A line that is only a comment may carry a shape DS9 writes as one.
      if (Trim(body).empty()) r.Comment(line.substr(hash + 1));
    }
    while (true) {
      const std::size_t semi = body.find(';');
      if (const int rc = r.Statement(body.substr(0, semi)); rc != kRegionOk) return rc;
      if (semi == std::string_view::npos) break;
      body = body.substr(semi + 1);
    }
  }
  return kRegionOk;
}

int ReadRegionFile(const std::string& path, const CImage& image, RegionImport* out,
                   std::string* detail) {
  std::string text;
  if (const int err = ReadFileToString(path, kRegionMaxFileBytes, text); err != 0) {
    *detail = path + ": " + FileErrorText(err);
    return kRegionErrRead;
  }
  return ParseRegions(text, image, out, detail);
}

int ImportApertures(const RegionImport& regions, CAperture* aperture, CRalImage* image) {
  int shape, method, starR, skyIR, skyDR, searchG, searchR;
  aperture->GetParams(&shape, &method, &starR, &skyIR, &skyDR, &searchG, &searchR);
  int added = 0;
  for (const RegionImport::Circle& c : regions.circles) {
    double inner = c.skyInner, outer = c.skyOuter;
    if (inner < 0.0) {
      // The tool's sky ring, moved out as far as the star is larger than its setting.
      inner = std::max<double>(skyIR, c.r + std::max(skyIR - starR, 1));
      outer = inner + std::max(skyDR, 0);
    }
    added += aperture->AddMeasurement(c.x, c.y, c.r, inner, outer, image);
  }
  aperture->UpdateItems();
  return added;
}

int ImportPositions(const RegionImport& regions, CPositioning* pos, CRalImage* image) {
  if (!image || image->IsEmpty()) return 0;
  pos->SetImage(image);
  int added = 0;
  for (const RegionImport::Point& p : regions.points) {
    CPositioningItem item;
    item.m_nMethod = CPositioningItem::CENTROID;
    item.m_nAreaMode = CPositioning::SEMI;
    item.m_dX = p.x;
    item.m_dY = p.y;
    // The measuring square of a click there, for the list and the drawing.
    const RECT sq =
        pos->CentroidSquare(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
    item.m_nLeft = sq.left;
    item.m_nTop = sq.top;
    item.m_nRight = sq.right;
    item.m_nBottom = sq.bottom;
    added += pos->AddItem(item);
  }
  return added;
}
