// The light-curve core's rules: the forms of the observation time and what is refused,
// the star flags (edge, lost, saturated), the following of a moving star, which frames
// stay out of the curve and why, the comparisons summed, the order by time and stopping
// from the progress callback. Magnitudes against photutils are the command-line test's.
#include "measure/lightcurve.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "imagemodel/fitsheader.h"

namespace {

std::string Card(const std::string& key, const std::string& value) {
  std::string k = key;
  k.resize(8, ' ');
  return k + "= " + value;
}

CFitsHeader Header(const std::vector<std::pair<std::string, std::string>>& cards) {
  CFitsHeader h;
  for (const auto& [k, v] : cards) h.Add(Card(k, v));
  return h;
}

TEST(LightCurveTime, DateFormsAndDayNumbers) {
  struct Case {
    const char* text;
    double mjd;  // at the time the text gives (0 h without one)
    bool hasTime;
  };
  // Reference days: the MJD epoch, the Unix epoch, J2000.0 (JD 2451545.0), a leap day, the
  // old two-digit form, and a fraction of a second.
  const Case good[] = {
      {"1858-11-17", 0.0, false},
      {"1970-01-01", 40587.0, false},
      {"2000-01-01T12:00:00", 51544.5, true},
      {"2024-02-29T00:00:00", 60369.0, true},
      {"14/03/98", 50886.0, false},
      {"2026-03-14T06:00:00.125", 61113.25 + 0.125 / 86400, true},
  };
  for (const Case& c : good) {
    FitsCalendarTime t;
    ASSERT_TRUE(ParseFitsDate(c.text, &t)) << c.text;
    EXPECT_EQ(t.hasTime, c.hasTime) << c.text;
    EXPECT_NEAR(ModifiedJulianDate(t.year, t.month, t.day, t.seconds), c.mjd, 1e-9) << c.text;
  }
  for (const char* bad :
       {"", "2026", "2026-02-30", "2023-02-29", "2026-13-01", "2026-00-10", "2026-01-01T24:00:00",
        "2026-01-01T12:60:00", "2026-01-01 12:00:00", "2026-01-01T12:00", "2026-01-01T12:00:00.",
        "2026-01-01T12:00:00Z", "32/01/99", "2O26-01-01"}) {
    FitsCalendarTime t;
    EXPECT_FALSE(ParseFitsDate(bad, &t)) << bad;
  }
}

TEST(LightCurveTime, MidExposureFromTheCards) {
  // Time in DATE-OBS: half of EXPTIME is added; UT is ignored then.
  FrameTime t = ReadFrameTime(
      Header({{"DATE-OBS", "'2026-03-14T06:00:00'"}, {"UT", "'01:00:00'"}, {"EXPTIME", "120.0"}}));
  ASSERT_TRUE(t.ok) << t.why;
  EXPECT_NEAR(t.mjd, 61113.25 + 60.0 / 86400, 1e-10);
  EXPECT_NEAR(t.jd, t.mjd + 2400000.5, 1e-9);
  EXPECT_EQ(t.timeCard, "");
  EXPECT_EQ(t.exposureCard, "EXPTIME");

  // Date alone: UT, else TIME-OBS; EXPOSURE when there is no EXPTIME (Fortran exponent).
  t = ReadFrameTime(
      Header({{"DATE-OBS", "'2026-03-14'"}, {"TIME-OBS", "'06:00:00.5'"}, {"EXPOSURE", "3.0D1"}}));
  ASSERT_TRUE(t.ok) << t.why;
  EXPECT_NEAR(t.mjd, 61113.25 + 15.5 / 86400, 1e-10);
  EXPECT_EQ(t.timeCard, "TIME-OBS");
  EXPECT_EQ(t.exposureCard, "EXPOSURE");
  EXPECT_EQ(t.exposure, 30.0);

  // No exposure: the start stands for the middle.
  t = ReadFrameTime(Header({{"DATE-OBS", "'2026-03-14'"}, {"UT", "'06:00:00'"}}));
  ASSERT_TRUE(t.ok);
  EXPECT_NEAR(t.mjd, 61113.25, 1e-10);
  EXPECT_EQ(t.exposureCard, "");

  // Refused, each with its reason.
  const std::vector<std::pair<CFitsHeader, const char*>> refused = {
      {Header({{"EXPTIME", "10.0"}}), "no DATE-OBS"},
      {Header({{"DATE-OBS", "'yesterday'"}}), "is no date"},
      {Header({{"DATE-OBS", "'2026-03-14'"}}), "no UT or TIME-OBS"},
      {Header({{"DATE-OBS", "'2026-03-14'"}, {"UT", "'25:00:00'"}}), "is no time of day"},
      {Header({{"DATE-OBS", "'2026-03-14T06:00:00'"}, {"EXPTIME", "-5.0"}}), "no exposure time"},
  };
  for (const auto& [h, why] : refused) {
    t = ReadFrameTime(h);
    EXPECT_FALSE(t.ok);
    EXPECT_NE(t.why.find(why), std::string::npos) << t.why;
  }
}

// A 96 × 96 frame: sky 100 with a fixed pattern of ±3, Gaussian stars (x, y, peak).
CRalImage Frame(const std::vector<std::array<double, 3>>& stars, const std::string& date = "",
                double sky = 100.0) {
  constexpr int kSide = 96;
  CRalImage image(kSide, kSide, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(kSide);
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      double v = sky + 3.0 * std::sin(1.7 * x + 2.3 * y * y);
      for (const auto& s : stars)
        v += s[2] * std::exp(-((x - s[0]) * (x - s[0]) + (y - s[1]) * (y - s[1])) / 4.0);
      row[static_cast<std::size_t>(x)] = v;
    }
    image.SetPhysicalRow(y, 0, row.data());
  }
  if (!date.empty()) {
    image.m_FitsHeader.Add(Card("DATE-OBS", "'" + date + "'"));
    image.m_FitsHeader.Add(Card("EXPTIME", "10.0"));
  }
  return image;
}

LightCurveParams Params() {
  LightCurveParams p;
  p.starRadius = 4;
  p.skyInner = 7;
  p.skyWidth = 3;
  p.searchRadius = 5;
  return p;
}

TEST(LightCurveStars, FollowedFlaggedOrLost) {
  const CLightCurve curve({}, Params());
  // Found 2.6 px away from where it was looked for; the centre is the star's.
  std::vector<LightCurveStar> stars(4);
  stars[0].x = 30.0, stars[0].y = 40.0;  // the star stands at 32.4, 41.5
  stars[1].x = 60.0, stars[1].y = 60.0;  // nothing there
  stars[2].x = 90.0, stars[2].y = 50.0;  // its ring would leave the frame
  stars[3].x = 60.0, stars[3].y = 25.0;  // a bright star
  const CRalImage image = Frame({{32.4, 41.5, 2000.0}, {60.0, 25.0, 60000.0}, {90, 50, 2000}});
  curve.MeasureFrame(image, 2.0, 20000.0, &stars);
  EXPECT_TRUE(stars[0].measured);
  EXPECT_EQ(stars[0].flags, 0u);
  EXPECT_NEAR(stars[0].x, 32.4, 0.3);
  EXPECT_NEAR(stars[0].y, 41.5, 0.3);
  // The star's counts: 2000 × 4π of the Gaussian, all but a little within radius 4.
  EXPECT_NEAR(stars[0].net, 2000.0 * 4.0 * M_PI, 0.03 * 2000.0 * 4.0 * M_PI);
  EXPECT_GT(stars[0].error, std::sqrt(stars[0].net / 2.0));
  EXPECT_FALSE(stars[1].measured);
  EXPECT_EQ(stars[1].flags, unsigned{kLightCurveLost});
  EXPECT_FALSE(stars[2].measured);
  EXPECT_EQ(stars[2].flags, unsigned{kLightCurveEdge});
  EXPECT_TRUE(stars[3].measured);
  EXPECT_EQ(stars[3].flags, unsigned{kLightCurveSaturated});
  EXPECT_EQ(LightCurveFlagText(kLightCurveEdge | kLightCurveLost), "edge,lost");
}

TEST(LightCurveStars, LostStarLookedForWhereTheOthersWent) {
  // Two stars move by 7 px, beyond one star's reach from where it was but not the
  // other's: the second is found again by the first one's move.
  const CLightCurve curve({}, Params());
  std::vector<LightCurveStar> stars(2);
  stars[0].x = 30.0, stars[0].y = 30.0;
  stars[1].x = 60.0, stars[1].y = 60.0;
  const CRalImage image = Frame({{34.0, 30.0, 3000.0}, {67.0, 60.0, 3000.0}});
  curve.MeasureFrame(image, 1.0, NAN, &stars);
  ASSERT_TRUE(stars[0].measured);
  ASSERT_TRUE(stars[1].measured);
  EXPECT_NEAR(stars[1].x, 67.0, 0.3);
  EXPECT_NEAR(stars[1].y, 60.0, 0.3);
}

TEST(LightCurveRun, FramesLeftOutComparisonsSummedOrderedByTime) {
  // Target at (30, 30), comparisons at (60, 30) and (30, 60); the second comparison leaves
  // the frame in "c" and the target is gone in "d"; "e" has no date, "f" cannot be read.
  std::map<std::string, CRalImage> frames;
  frames["a"] = Frame({{30, 30, 1000}, {60, 30, 2000}, {30, 60, 3000}}, "2026-03-14T03:00:00");
  frames["b"] = Frame({{31, 30, 900}, {61, 30, 2000}, {31, 60, 3000}}, "2026-03-14T01:00:00");
  frames["c"] = Frame({{31, 31, 1000}, {61, 31, 2000}}, "2026-03-14T02:00:00");
  frames["d"] = Frame({{60, 30, 2000}, {30, 60, 3000}}, "2026-03-14T04:00:00");
  frames["e"] = Frame({{30, 30, 1000}, {60, 30, 2000}, {30, 60, 3000}});
  frames["c"].m_FitsHeader.Add(Card("GAIN", "2.5"));
  const LightCurveReader reader = [&](const std::string& file, CRalImage& image, std::string* why) {
    const auto it = frames.find(file);
    if (it == frames.end()) {
      *why = "no such frame";
      return false;
    }
    image = it->second;
    return true;
  };
  CLightCurve curve({{30, 30}, {60, 30}, {30, 60}}, Params());
  std::vector<int> seen;
  const LightCurveResult r = curve.Run({"a", "b", "c", "d", "e", "f"}, reader,
                                       [&](int done, int total, const LightCurveFrame&) {
                                         EXPECT_EQ(total, 6);
                                         seen.push_back(done);
                                         return true;
                                       });
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 6}));
  EXPECT_FALSE(r.stopped);
  // The second comparison is missing from c, so only the first is summed, and said so.
  EXPECT_EQ(r.ensemble, (std::vector<int>{1}));
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_NE(r.notes[0].find("comparison 2"), std::string::npos);
  ASSERT_EQ(r.frames.size(), 6u);
  // Kept by time (b, c, a), then the others in the order given.
  std::vector<std::string> order;
  for (const LightCurveFrame& f : r.frames) order.push_back(f.file + (f.kept ? "+" : "-"));
  EXPECT_EQ(order, (std::vector<std::string>{"b+", "c+", "a+", "d-", "e-", "f-"}));
  EXPECT_EQ(r.keptCount(), 3);
  EXPECT_EQ(r.frames[3].why, "target lost");
  EXPECT_EQ(r.frames[4].why, "no DATE-OBS");
  EXPECT_EQ(r.frames[5].why, "no such frame");
  // c's gain from its header; the others 1.
  EXPECT_TRUE(r.frames[1].gainFromHeader);
  EXPECT_EQ(r.frames[1].gain, 2.5);
  EXPECT_FALSE(r.frames[0].gainFromHeader);
  EXPECT_EQ(r.frames[0].gain, 1.0);
  // b's target is 10 % fainter than a's against the same comparison.
  const LightCurveFrame& a = r.frames[2];
  const LightCurveFrame& b = r.frames[0];
  EXPECT_NEAR(b.mag - a.mag, -2.5 * std::log10(0.9), 0.01);
  EXPECT_DOUBLE_EQ(a.mag, -2.5 * std::log10(a.stars[0].net / a.stars[1].net));
  EXPECT_DOUBLE_EQ(a.compNet, a.stars[1].net);
  EXPECT_GT(a.magError, 0.0);
  // The mid-exposure of a: 03:00:05.
  EXPECT_NEAR(a.time.mjd, 61113.125 + 5.0 / 86400, 1e-10);

  // Stopping after the second frame: two frames, the curve of what was measured.
  const LightCurveResult stopped = curve.Run(
      {"a", "b", "c"}, reader, [](int done, int, const LightCurveFrame&) { return done < 2; });
  EXPECT_TRUE(stopped.stopped);
  EXPECT_EQ(stopped.frames.size(), 2u);
  EXPECT_EQ(stopped.keptCount(), 2);
  EXPECT_EQ(stopped.ensemble, (std::vector<int>{1, 2}));
}

TEST(LightCurveRun, NoComparisonEverMeasured) {
  std::map<std::string, CRalImage> frames;
  frames["a"] = Frame({{30, 30, 1000}}, "2026-03-14T03:00:00");
  const LightCurveReader reader = [&](const std::string& file, CRalImage& image, std::string*) {
    image = frames.at(file);
    return true;
  };
  CLightCurve curve({{30, 30}, {60, 60}}, Params());
  const LightCurveResult r = curve.Run({"a"}, reader);
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_FALSE(r.frames[0].kept);
  EXPECT_EQ(r.frames[0].why, "no comparison measured");
  EXPECT_TRUE(r.ensemble.empty());
}

}  // namespace
