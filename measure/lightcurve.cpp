// Light curves: frame times from the header, stars followed by their centres of gravity,
// the aperture tool's disc and ring measured on each frame, and the differential
// magnitudes of the target against the sum of the comparisons.
#include "measure/lightcurve.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "engine/imgpixelinfo.h"
#include "engine/ralimage.h"
#include "fits/headeredit.h"
#include "imagemodel/fitsheader.h"
#include "measure/aperture.h"
#include "measure/phottable.h"
#include "wcs/celestial.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A star must stand this many of its own standard errors above its sky to be taken.
constexpr double kMinSignalToNoise = 3.0;
// Centroid steps before the search gives up: each recentres the square on the last
// centre, and the centre settles on a whole pixel within two or three.
constexpr int kCentroidSteps = 10;

int Trunc(double v) {
  return static_cast<int>(std::trunc(v));
}

bool Digits(std::string_view s, std::size_t at, std::size_t n, int* v) {
  if (at + n > s.size()) return false;
  int r = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    r = r * 10 + (s[i] - '0');
  }
  *v = r;
  return true;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 of a proleptic Gregorian date (Hinnant's days_from_civil).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

// The value text of the first card with the keyword (string quotes removed); false when
// there is no such card or it has no value.
bool CardValue(const CFitsHeader& header, std::string_view keyword, std::string* value) {
  const int i = header.Find(keyword);
  if (i < 0) return false;
  const headeredit::CardParts parts = headeredit::ParseCard(header.GetAt(i));
  if (!parts.valued || parts.value.empty()) return false;
  *value = parts.value;
  return true;
}

// A real number card (Fortran's D exponent read as E); false when missing or no number.
bool CardNumber(const CFitsHeader& header, std::string_view keyword, double* v) {
  std::string text;
  if (!CardValue(header, keyword, &text)) return false;
  std::replace(text.begin(), text.end(), 'D', 'E');
  std::replace(text.begin(), text.end(), 'd', 'e');
  char* end = nullptr;
  const double r = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !std::isfinite(r)) return false;
  *v = r;
  return true;
}

}  // namespace

// ---- Times

bool ParseFitsTimeOfDay(std::string_view s, double* seconds) {
  int h, m, sec;
  if (s.size() < 8 || s[2] != ':' || s[5] != ':' || !Digits(s, 0, 2, &h) || !Digits(s, 3, 2, &m) ||
      !Digits(s, 6, 2, &sec) || h > 23 || m > 59 || sec > 60)
    return false;
  double fraction = 0.0;
  if (s.size() > 8) {
    if (s[8] != '.' || s.size() == 9) return false;
    double scale = 0.1;
    for (std::size_t i = 9; i < s.size(); ++i, scale /= 10) {
      if (s[i] < '0' || s[i] > '9') return false;
      fraction += (s[i] - '0') * scale;
    }
  }
  *seconds = h * 3600.0 + m * 60.0 + sec + fraction;
  return true;
}

bool ParseFitsDate(std::string_view s, FitsCalendarTime* out) {
  FitsCalendarTime t;
  if (s.size() >= 10 && s[4] == '-' && s[7] == '-') {
    if (!Digits(s, 0, 4, &t.year) || !Digits(s, 5, 2, &t.month) || !Digits(s, 8, 2, &t.day))
      return false;
    if (s.size() > 10) {
      if (s[10] != 'T' || !ParseFitsTimeOfDay(s.substr(11), &t.seconds)) return false;
      t.hasTime = true;
    }
  } else if (s.size() == 8 && s[2] == '/' && s[5] == '/') {
    // The form before 2000: DD/MM/YY of the twentieth century.
    if (!Digits(s, 0, 2, &t.day) || !Digits(s, 3, 2, &t.month) || !Digits(s, 6, 2, &t.year))
      return false;
    t.year += 1900;
  } else {
    return false;
  }
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month))
    return false;
  *out = t;
  return true;
}

double ModifiedJulianDate(int year, int month, int day, double seconds) {
  // 1970-01-01 is MJD 40587.
  const long long days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + 40587;
  return static_cast<double>(days) + seconds / 86400.0;
}

FrameTime ReadFrameTime(const CFitsHeader& header) {
  FrameTime ft;
  std::string date;
  if (!CardValue(header, "DATE-OBS", &date)) {
    ft.why = "no DATE-OBS";
    return ft;
  }
  ft.dateCard = "DATE-OBS";
  ft.startText = date;
  FitsCalendarTime t;
  if (!ParseFitsDate(date, &t)) {
    ft.why = "DATE-OBS '" + date + "' is no date";
    return ft;
  }
  if (!t.hasTime) {
    // The time of day stands in a card of its own.
    std::string time;
    for (const char* key : {"UT", "TIME-OBS"}) {
      if (!CardValue(header, key, &time)) continue;
      if (!ParseFitsTimeOfDay(time, &t.seconds)) {
        ft.why = std::string(key) + " '" + time + "' is no time of day";
        return ft;
      }
      ft.timeCard = key;
      ft.startText += "T" + time;
      break;
    }
    if (ft.timeCard.empty()) {
      ft.why = "DATE-OBS '" + date + "' has no time and there is no UT or TIME-OBS";
      return ft;
    }
  }
  for (const char* key : {"EXPTIME", "EXPOSURE"}) {
    double e;
    if (!CardNumber(header, key, &e)) continue;
    if (e < 0.0 || e > 1e7) {
      ft.why = std::string(key) + " is no exposure time";
      return ft;
    }
    ft.exposure = e;
    ft.exposureCard = key;
    break;
  }
  ft.mjd = ModifiedJulianDate(t.year, t.month, t.day, t.seconds + ft.exposure / 2.0);
  ft.jd = ft.mjd + 2400000.5;
  ft.ok = true;
  return ft;
}

// ---- Measuring

std::string LightCurveFlagText(unsigned flags) {
  std::string s;
  auto add = [&](unsigned bit, const char* name) {
    if (!(flags & bit)) return;
    if (!s.empty()) s += ',';
    s += name;
  };
  add(kLightCurveEdge, "edge");
  add(kLightCurveSaturated, "saturated");
  add(kLightCurveLost, "lost");
  return s;
}

int LightCurveResult::keptCount() const {
  return static_cast<int>(
      std::count_if(frames.begin(), frames.end(), [](const LightCurveFrame& f) { return f.kept; }));
}

CLightCurve::CLightCurve(std::vector<std::pair<double, double>> stars, LightCurveParams params)
    : m_Start(std::move(stars)), m_Params(params) {}

bool CLightCurve::Centroid(const CRalImage& image, double* x, double* y) const {
  const int h = m_Params.searchRadius;
  const double x0 = *x, y0 = *y;
  int ix = Trunc(*x + 0.5), iy = Trunc(*y + 0.5);
  for (int step = 0; step < kCentroidSteps; ++step) {
    const RECT area{ix - h, iy - h, ix + h + 1, iy + h + 1};
    double cx, cy;
    if (!image.GetCenterOfGravity(cx, cy, &area)) return false;
    // Ran off: further than the square reaches from where the search began.
    if (std::hypot(cx - x0, cy - y0) > h) return false;
    const int nx = Trunc(cx + 0.5), ny = Trunc(cy + 0.5);
    *x = cx;
    *y = cy;
    if (nx == ix && ny == iy) return true;
    ix = nx;
    iy = ny;
  }
  return false;
}

void CLightCurve::MeasureStar(const CRalImage& image, double gain, double saturation,
                              LightCurveStar* s) const {
  s->measured = false;
  s->flags = 0;
  s->net = s->error = s->skyMean = s->skySigma = 0.0;
  s->starPixels = s->skyPixels = 0;
  const double skyOuter = m_Params.skyInner + m_Params.skyWidth;
  // How far from its centre pixel a star's search and measurement reach.
  const int reach = std::max(
      m_Params.searchRadius,
      Trunc(std::min(std::max(skyOuter, m_Params.starRadius), CApertureMark::kMaxRadius) + 0.5));
  auto nearEdge = [&](double x, double y) {
    const int ix = Trunc(x + 0.5), iy = Trunc(y + 0.5);
    return !(std::isfinite(x) && std::isfinite(y)) || ix - reach < 0 || iy - reach < 0 ||
           ix + reach >= image.GetWidth() || iy + reach >= image.GetHeight();
  };
  if (nearEdge(s->x, s->y)) {
    s->flags |= kLightCurveEdge;
    return;
  }
  double x = s->x, y = s->y;
  if (!Centroid(image, &x, &y)) {
    s->flags |= kLightCurveLost;
    return;
  }
  if (nearEdge(x, y)) {
    s->flags |= kLightCurveEdge;
    return;
  }
  s->x = x;
  s->y = y;

  // The aperture tool's own disc and ring, as a semi-automatic measurement makes them.
  CApertureMark star;
  star.m_nType = CApertureMark::STAR;
  star.SetGeometry(x, y, m_Params.starRadius, m_Params.starRadius, -1.0, -1.0, &image);
  CApertureMark sky;
  sky.m_nType = CApertureMark::SKY;
  sky.SetGeometry(x, y, skyOuter, skyOuter, m_Params.skyInner, m_Params.skyInner, &image);
  // Ring pixels inside the disc stay out of the sky, as the photometry result has it.
  double overlapSum = 0.0;
  const int overlap = sky.Overlap(star, image, &overlapSum);
  const int nSky = sky.m_nPixels - overlap;
  const int nStar = star.m_nPixels;
  if (nSky <= 0 || nStar <= 0) {
    s->flags |= kLightCurveLost;
    return;
  }
  const double skyMean = (sky.m_dTotal - overlapSum) / nSky;
  s->net = star.m_dTotal - skyMean * nStar;
  s->skyMean = skyMean;
  s->skySigma = sky.m_dStdDev;
  s->starPixels = nStar;
  s->skyPixels = nSky;
  // Photon noise of the star in counts (net / gain electrons), the sky's scatter over the
  // disc's pixels, and the error of the sky mean taken from nSky pixels:
  //   σ² = net / gain + nStar σ_sky² (1 + nStar / nSky).
  const double sky2 = s->skySigma * s->skySigma;
  s->error = std::sqrt(std::max(s->net, 0.0) / gain +
                       nStar * sky2 * (1.0 + static_cast<double>(nStar) / nSky));

  if (std::isfinite(saturation)) {
    const RECT box = star.GetBox(image);
    std::vector<double> row(static_cast<std::size_t>(std::max(box.Width(), 0)));
    for (int py = box.top; py < box.bottom && !(s->flags & kLightCurveSaturated); ++py) {
      if (!ReadPhysicalSpan(image, box.left, py, box.Width(), 0, row.data())) continue;
      for (int px = box.left; px < box.right; ++px)
        if (star.Contains(px, py) && row[static_cast<std::size_t>(px - box.left)] >= saturation) {
          s->flags |= kLightCurveSaturated;
          break;
        }
    }
  }
  if (!(s->net > kMinSignalToNoise * s->error)) {
    s->flags |= kLightCurveLost;
    return;
  }
  s->measured = true;
}

void CLightCurve::MeasureFrame(const CRalImage& image, double gain, double saturation,
                               std::vector<LightCurveStar>* stars) const {
  std::vector<LightCurveStar> before = *stars;
  std::vector<double> dx, dy;
  for (std::size_t i = 0; i < stars->size(); ++i) {
    MeasureStar(image, gain, saturation, &(*stars)[i]);
    if ((*stars)[i].measured) {
      dx.push_back((*stars)[i].x - before[i].x);
      dy.push_back((*stars)[i].y - before[i].y);
    }
  }
  if (dx.empty()) return;
  // A star not found where it stood is looked for again where the others went: the
  // median of their moves, so that one star gone astray does not carry the rest.
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
  };
  const double mx = median(dx), my = median(dy);
  if (std::fabs(mx) < 0.5 && std::fabs(my) < 0.5) return;
  for (std::size_t i = 0; i < stars->size(); ++i) {
    LightCurveStar& s = (*stars)[i];
    if (s.measured) continue;
    LightCurveStar again = before[i];
    again.x += mx;
    again.y += my;
    MeasureStar(image, gain, saturation, &again);
    if (again.measured) s = again;
  }
}

LightCurveResult CLightCurve::Run(const std::vector<std::string>& files,
                                  const LightCurveReader& reader,
                                  const LightCurveProgress& progress) {
  LightCurveResult result;
  // Where each star was last found; a star lost in a frame is looked for next time where
  // it stood before.
  std::vector<LightCurveStar> last(m_Start.size());
  for (std::size_t i = 0; i < m_Start.size(); ++i) {
    last[i].x = m_Start[i].first;
    last[i].y = m_Start[i].second;
  }
  const int total = static_cast<int>(files.size());
  for (int n = 0; n < total; ++n) {
    LightCurveFrame frame;
    frame.index = n;
    frame.file = files[static_cast<std::size_t>(n)];
    CRalImage image;
    std::string why;
    if (!reader(frame.file, image, &why)) {
      frame.why = why.empty() ? "cannot be read" : why;
    } else if (image.IsEmpty() || image.IsColor()) {
      frame.why = "not a one-plane image";
    } else {
      frame.time = ReadFrameTime(image.m_FitsHeader);
      double g;
      if (std::isfinite(m_Params.gain)) {
        frame.gain = m_Params.gain;
      } else if (CardNumber(image.m_FitsHeader, "GAIN", &g) && g > 0.0) {
        frame.gain = g;
        frame.gainFromHeader = true;
      }
      double level;
      if (std::isfinite(m_Params.saturation))
        frame.saturation = m_Params.saturation;
      else if (CardNumber(image.m_FitsHeader, "SATURATE", &level))
        frame.saturation = level;
      frame.stars = last;
      bool placed = true;
      if (m_Params.world) {
        // Where the frame's own coordinates put each star, in its pixels.
        const wcs_internal::CelestialSolution* sky = wcs_internal::CelestialFor(image);
        for (std::size_t i = 0; sky && i < m_Start.size(); ++i) {
          double fx, fy;
          if (!sky->ToPixel(m_Start[i].first, m_Start[i].second, &fx, &fy)) {
            frame.stars[i].x = frame.stars[i].y = kNaN;  // off the projection: the edge
            continue;
          }
          frame.stars[i].x = PhotImageX(fx);
          frame.stars[i].y = PhotImageY(image, fy);
        }
        if (!sky) {
          placed = false;
          frame.why = "no celestial coordinates";
        }
      }
      if (placed) MeasureFrame(image, frame.gain, frame.saturation, &frame.stars);
      for (std::size_t i = 0; i < last.size(); ++i)
        if (frame.stars[i].measured) last[i] = frame.stars[i];
      if (!frame.time.ok && frame.why.empty()) frame.why = frame.time.why;
    }
    result.frames.push_back(std::move(frame));
    if (progress && !progress(n + 1, total, result.frames.back())) {
      result.stopped = true;
      break;
    }
  }
  Finish(&result);
  return result;
}

void CLightCurve::Finish(LightCurveResult* result) {
  auto& frames = result->frames;
  result->ensemble.clear();
  result->notes.clear();
  auto reason = [](const LightCurveStar& s) {
    return s.flags & kLightCurveEdge ? std::string("near the edge") : std::string("lost");
  };
  // Frames the curve may take: read, timed and with the target measured.
  std::vector<LightCurveFrame*> candidates;
  for (LightCurveFrame& f : frames) {
    f.kept = false;
    if (!f.why.empty() || f.stars.empty()) continue;
    if (!f.stars[0].measured) {
      f.why = "target " + reason(f.stars[0]);
      continue;
    }
    candidates.push_back(&f);
  }
  const std::size_t nStars = frames.empty() ? 0 : [&] {
    std::size_t n = 0;
    for (const LightCurveFrame& f : frames) n = std::max(n, f.stars.size());
    return n;
  }();
  // The comparisons summed must be the same in every frame, or the curve would jump where
  // one drops out: those measured in every candidate frame; failing that, the one
  // measured most often, the frames without it left out.
  std::vector<int> measuredIn(nStars, 0);
  for (const LightCurveFrame* f : candidates)
    for (std::size_t c = 1; c < f->stars.size(); ++c) measuredIn[c] += f->stars[c].measured;
  for (std::size_t c = 1; c < nStars; ++c)
    if (!candidates.empty() && measuredIn[c] == static_cast<int>(candidates.size()))
      result->ensemble.push_back(static_cast<int>(c));
  if (result->ensemble.empty() && nStars > 1) {
    const auto best = std::max_element(measuredIn.begin() + 1, measuredIn.end());
    if (*best > 0) result->ensemble.push_back(static_cast<int>(best - measuredIn.begin()));
  }
  for (std::size_t c = 1; c < nStars; ++c) {
    if (std::find(result->ensemble.begin(), result->ensemble.end(), static_cast<int>(c)) !=
        result->ensemble.end())
      continue;
    result->notes.push_back("comparison " + std::to_string(c) +
                            " left out of the sum: measured in " + std::to_string(measuredIn[c]) +
                            " of " + std::to_string(candidates.size()) + " frames");
  }
  for (LightCurveFrame* f : candidates) {
    if (result->ensemble.empty()) {
      f->why = "no comparison measured";
      continue;
    }
    double sum = 0.0, var = 0.0;
    for (int c : result->ensemble) {
      const LightCurveStar& s = f->stars[static_cast<std::size_t>(c)];
      if (!s.measured) {
        f->why = "comparison " + std::to_string(c) + " " + reason(s);
        break;
      }
      sum += s.net;
      var += s.error * s.error;
    }
    if (!f->why.empty()) continue;
    const LightCurveStar& t = f->stars[0];
    // m = −2.5 log10(T / C), C the sum of the comparisons; to first order
    //   σ_m = 2.5 / ln 10 · √((σ_T / T)² + (σ_C / C)²),  σ_C² = Σ σ_i².
    f->compNet = sum;
    f->compError = std::sqrt(var);
    f->mag = -2.5 * std::log10(t.net / sum);
    f->magError = 2.5 / std::log(10.0) * std::hypot(t.error / t.net, f->compError / sum);
    f->kept = true;
  }
  std::stable_sort(frames.begin(), frames.end(),
                   [](const LightCurveFrame& a, const LightCurveFrame& b) {
                     if (a.kept != b.kept) return a.kept;
                     if (a.kept) return a.time.mjd < b.time.mjd;
                     return a.index < b.index;
                   });
}
