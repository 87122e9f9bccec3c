// CWCS on hand-made coordinate descriptions: the cases where the rules themselves decide
// (exact reference point, wrap of the longitude, which projection parameters count, the
// standard's defaults, which keywords and codes are required, what is kept between calls).
// The values are checked against wcslib through astropy by wcs_peer_check.py and
// wcs_corpus_check.py.
#include "wcs/wcs.h"

#include "platform/clocale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Axis {
  std::string type, unit;
  std::optional<double> crpix, crval, cdelt, restWav;
};

struct Header {
  Axis ax[2];
  int matrixKind = 1;  // 0 none, 1 CD, 2 PC
  tagMATRIX2_2 m{-0.001, 0.0, 0.0, 0.001};
  std::optional<double> pv1, pv2, lonPole;
};

CImage Make(const Header& h) {
  CImage img;
  for (int i = 0; i < 2; ++i) {
    const Axis& a = h.ax[i];
    if (!a.type.empty()) img.SetCType(i, "'" + a.type + "'");
    if (!a.unit.empty()) img.SetCUnit(i, "'" + a.unit + "'");
    if (a.crpix) img.SetCRPix(i, *a.crpix);
    if (a.crval) img.SetCRVal(i, *a.crval);
    if (a.cdelt) img.SetCDelt(i, *a.cdelt);
    if (a.restWav) img.SetRestWav(i, *a.restWav);
  }
  if (h.matrixKind) img.SetLTMtx(h.m, h.matrixKind);
  if (h.pv1 || h.pv2) {
    tagMATRIX2_4 pv;
    pv.m[1][1] = h.pv1.value_or(0.0);
    pv.m[1][2] = h.pv2.value_or(0.0);
    img.SetPVMtx(pv, 1);
  }
  if (h.lonPole) img.SetLonPole(*h.lonPole);
  return img;
}

Header Tan() {
  Header h;
  h.ax[0] = {"RA---TAN", "", 100.0, 10.0, std::nullopt, std::nullopt};
  h.ax[1] = {"DEC--TAN", "", 100.0, 20.0, std::nullopt, std::nullopt};
  return h;
}

Header Spectrum(const std::string& type, const std::string& unit, double crval, double cdelt) {
  Header h;
  h.ax[0] = {type, unit, 1.0, crval, cdelt, std::nullopt};
  h.ax[1] = {"", "", 1.0, 0.0, 1.0, std::nullopt};
  h.matrixKind = 2;
  h.m = {};
  return h;
}

struct Result {
  int ok;
  tagAD ad;
  unsigned kind;
  int first, second;
};

// The flags start at -7 so that an untouched flag shows.
Result Convert(const Header& h, tagSFPoint p) {
  const CImage img = Make(h);
  Result r{0, {-5.0, -5.0}, 99u, -7, -7};
  r.ok = CWCS().ToWCS2(&img, p, &r.ad, &r.kind, &r.first, &r.second);
  return r;
}

// ---- what succeeds
struct Success {
  const char* name;
  Header header;
  tagSFPoint p;
  unsigned kind;
  int first, second;
  double a, d, tolerance;
};

void PrintTo(const Success& c, std::ostream* os) {
  *os << c.name;
}

class WcsSuccess : public ::testing::TestWithParam<Success> {};

TEST_P(WcsSuccess, GivesTheExpectedValue) {
  const Success& c = GetParam();
  const Result r = Convert(c.header, c.p);
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.kind, c.kind);
  EXPECT_EQ(r.first, c.first);
  EXPECT_EQ(r.second, c.second);
  if (c.tolerance == 0.0) {
    EXPECT_EQ(r.ad.a, c.a);
    EXPECT_EQ(r.ad.d, c.d);
  } else {
    EXPECT_NEAR(r.ad.a, c.a, c.tolerance * std::max(1.0, std::fabs(c.a)));
    EXPECT_NEAR(r.ad.d, c.d, c.tolerance * std::max(1.0, std::fabs(c.d)));
  }
}

Header With(Header h, auto change) {
  change(h);
  return h;
}

// Along the equator of a TAN image with its reference on the equator, x = −(180/π)·tan Δα.
const double kFiveDegreesWest = 180.0 / std::numbers::pi * std::tan(5.0 * std::numbers::pi / 180);

INSTANTIATE_TEST_SUITE_P(
    Cases, WcsSuccess,
    ::testing::Values(
        Success{"ReferencePixelIsExactlyCrval", Tan(), {100, 100}, 0, 1, 1, 10.0, 20.0, 0.0},
        Success{"ReferenceNearPoleStaysExact",
                With(Tan(), [](Header& h) { h.ax[1].crval = 89.99999; }),
                {100, 100},
                0,
                1,
                1,
                10.0,
                89.99999,
                0.0},
        // α_p = 3: five degrees west wraps to 358, just below α_p + 360.
        Success{"LongitudeWrapsBelowAlphaP",
                With(Tan(),
                     [](Header& h) {
                       h.ax[0].crval = 3.0;
                       h.ax[1].crval = 0.0;
                     }),
                {100 + kFiveDegreesWest / 0.001, 100},
                0,
                1,
                1,
                358.0,
                0.0,
                1e-12},
        Success{"SinAtReferenceIsExact",
                With(Tan(),
                     [](Header& h) {
                       h.ax[0].type = "RA---SIN";
                       h.ax[1].type = "DEC--SIN";
                       h.pv1 = 0.2, h.pv2 = -0.1;
                     }),
                {100, 100},
                0,
                1,
                1,
                10.0,
                20.0,
                0.0},
        Success{"FreqLinear",
                Spectrum("FREQ", "Hz", 1.4e9, 1e6),
                {11, 1},
                1,
                1,
                -7,
                1.41e9,
                0.0,
                1e-15},
        Success{"WaveLogAtReference",
                Spectrum("WAVE-LOG", "m", -6.0, 0.01),
                {1, 1},
                2,
                1,
                -7,
                1e-6,
                0.0,
                1e-15},
        // Without CDELT2 the first axis still has its value; the second has 0 for CDELT2.
        Success{"PcWithoutCdelt2KeepsTheFirstAxis",
                With(Spectrum("FREQ", "Hz", 1.4e9, 1e6),
                     [](Header& h) {
                       h.ax[1] = {"", "", std::nullopt, std::nullopt, std::nullopt, std::nullopt};
                     }),
                {11, 1},
                1,
                1,
                -7,
                1.41e9,
                0.0,
                1e-15},
        // A spectral second axis beside a longitude with no latitude.
        Success{"SpectralSecondAxis",
                With(Tan(),
                     [](Header& h) {
                       h.ax[1] = {"FREQ", "Hz", 1.0, 1.4e9, std::nullopt, std::nullopt};
                       h.m = {1.0, 0.0, 0.0, 1e6};
                     }),
                {100, 11},
                1,
                -7,
                1,
                0.0,
                1.41e9,
                1e-15},
        // Without a matrix the standard's unit PC matrix holds.
        Success{"SpectralWithoutMatrix",
                With(Spectrum("FREQ", "Hz", 1.4e9, 1e6), [](Header& h) { h.matrixKind = 0; }),
                {11, 1},
                1,
                1,
                -7,
                1.41e9,
                0.0,
                1e-15},
        // A spectral second axis of a PC image without CDELT2: its intermediate coordinate
        // is 0 wherever the pixel lies, so each form gives the value of CRVAL2 (a CDELT2
        // taken as 1 would move it by the pixel's distance from CRPIX2).
        Success{
            "PcWithoutCdelt2SecondAxisLinear",
            With(Spectrum("FREQ", "Hz", 1.4e9, 1e6),
                 [](Header& h) { h.ax[1] = {"WAVE", "m", 1.0, 5e-7, std::nullopt, std::nullopt}; }),
            {11, 6},
            1,
            1,
            1,
            1.41e9,
            5e-7,
            1e-15},
        Success{"PcWithoutCdelt2SecondAxisLog",
                With(Spectrum("FREQ", "Hz", 1.4e9, 1e6),
                     [](Header& h) {
                       h.ax[1] = {"WAVE-LOG", "m", 1.0, -6.0, std::nullopt, std::nullopt};
                     }),
                {11, 6},
                2,
                1,
                1,
                1.41e9,
                1e-6,
                1e-15},
        Success{"PcWithoutCdelt2SecondAxisNonLinear",
                With(Spectrum("FREQ", "Hz", 1.4e9, 1e6),
                     [](Header& h) {
                       h.ax[1] = {"VELO-F2V", "m/s", 1.0, 1.2e6, std::nullopt, 0.21106114};
                     }),
                {11, 6},
                3,
                1,
                1,
                1.41e9,
                1.2e6,
                1e-12},
        // The other way round: without CDELT1 the first axis stays at CRVAL1 and the second
        // steps by its own CDELT2.
        Success{"PcWithoutCdelt1SecondAxisSteps",
                With(Spectrum("FREQ", "Hz", 1.4e9, 1e6),
                     [](Header& h) {
                       h.ax[0].cdelt.reset();
                       h.ax[1] = {"WAVE", "m", 1.0, 5e-7, 1e-9, std::nullopt};
                     }),
                {11, 6},
                1,
                1,
                1,
                1.4e9,
                5.05e-7,
                1e-15},
        // Sampled linearly in frequency: a velocity axis at the reference is its CRVAL.
        Success{"VeloF2VAtReference",
                With(Spectrum("VELO-F2V", "m/s", 1.2e6, 1e3),
                     [](Header& h) { h.ax[0].restWav = 0.21106114; }),
                {1, 1},
                3,
                1,
                -7,
                1.2e6,
                0.0,
                1e-12}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- projections that must agree or differ by their parameters
double Distance(tagAD a, tagAD b) {
  return std::hypot(a.a - b.a, a.d - b.d);
}

TEST(WcsProjection, StgAndTanIgnoreTheirParametersAndAzpReducesToThem) {
  const tagSFPoint p{1400.0, -300.0};
  auto at = [&](const char* code, std::optional<double> mu, std::optional<double> gamma) {
    Header h = With(Tan(), [&](Header& x) {
      x.ax[0].type = std::string("RA---") + code;
      x.ax[1].type = std::string("DEC--") + code;
      x.pv1 = mu, x.pv2 = gamma;
    });
    const Result r = Convert(h, p);
    EXPECT_EQ(r.ok, 1) << code;
    return r.ad;
  };
  const tagAD stg = at("STG", std::nullopt, std::nullopt);
  EXPECT_EQ(Distance(at("STG", 5.0, std::nullopt), stg), 0.0);
  EXPECT_LT(Distance(at("AZP", 1.0, 0.0), stg), 1e-12);  // μ = 1 is STG
  const tagAD tan = at("TAN", std::nullopt, std::nullopt);
  EXPECT_EQ(Distance(at("TAN", 5.0, 30.0), tan), 0.0);
  EXPECT_LT(Distance(at("AZP", 0.0, 0.0), tan), 1e-12);  // μ = 0 is TAN
}

// AZP with both μ and γ, and the slant SIN with ξ and η, at points far from the reference,
// where the sign of γ or η moves the result by 0.002° to 0.8°. The values are wcslib's,
// computed once with Debian's python3-astropy (astropy.wcs.WCS.all_pix2world, origin 1)
// on the same header: CRPIX 100 100, CRVAL 10 20, CD1_1 −0.001, CD2_2 0.001, PV2_1 μ or ξ
// and PV2_2 γ or η.
TEST(WcsProjection, AzpAndSlantSinGiveWcslibsValues) {
  struct Case {
    const char* code;
    double pv1, pv2;
    tagSFPoint p;
    double lon, lat;
  };
  const Case cases[] = {
      {"AZP", 0.5, 30.0, {1400, -300}, 8.61653527862915, 19.647463933452006},
      {"AZP", 0.5, 30.0, {-2500, 4200}, 12.763784102336237, 23.442650670987415},
      {"AZP", 0.5, 30.0, {350, 9100}, 9.733935511362592, 27.385667945598296},
      {"AZP", 2.0, -20.0, {1400, -300}, 8.620970184549257, 19.619107663125956},
      {"AZP", 2.0, -20.0, {-2500, 4200}, 12.864367047368678, 23.860631168538397},
      {"SIN", 0.2, -0.1, {1400, -300}, 8.616498441360607, 19.596235786264362},
      {"SIN", 0.2, -0.1, {350, 9100}, 9.548066582761374, 29.110228295318084},
      {"SIN", 0.0, 0.3, {1400, -300}, 8.619995834949943, 19.58978748632043},
      {"SIN", 0.0, 0.3, {-2500, 4200}, 12.847684046962945, 24.020672979016883},
  };
  for (const Case& c : cases) {
    const Header h = With(Tan(), [&](Header& x) {
      x.ax[0].type = std::string("RA---") + c.code;
      x.ax[1].type = std::string("DEC--") + c.code;
      x.pv1 = c.pv1, x.pv2 = c.pv2;
    });
    const Result r = Convert(h, c.p);
    ASSERT_EQ(r.ok, 1) << c.code << " " << c.pv1 << " " << c.pv2;
    EXPECT_NEAR(r.ad.a, c.lon, 1e-9)
        << c.code << " " << c.pv1 << " " << c.pv2 << " at " << c.p.x << "," << c.p.y;
    EXPECT_NEAR(r.ad.d, c.lat, 1e-9)
        << c.code << " " << c.pv1 << " " << c.pv2 << " at " << c.p.x << "," << c.p.y;
  }
}

TEST(WcsEntry, ToWcsCountsPixelsFromZero) {
  const CImage img = Make(Tan());
  tagAD a, b;
  unsigned k = 0;
  int f = 0, s = 0;
  ASSERT_EQ(CWCS().ToWCS(&img, POINT{99, 99}, &a, &k, &f, &s), 1);
  ASSERT_EQ(CWCS().ToWCS2(&img, tagSFPoint{100, 100}, &b, &k, &f, &s), 1);
  EXPECT_EQ(a.a, b.a);
  EXPECT_EQ(a.d, b.d);
}

// ---- what fails: result 0, out (0, 0), flags untouched
struct Failure {
  const char* name;
  Header header;
};

void PrintTo(const Failure& c, std::ostream* os) {
  *os << c.name;
}

class WcsFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(WcsFailure, LeavesNoValue) {
  const Result r = Convert(GetParam().header, {150.0, 80.0});
  EXPECT_EQ(r.ok, 0);
  EXPECT_EQ(r.ad.a, 0.0);
  EXPECT_EQ(r.ad.d, 0.0);
  EXPECT_EQ(r.first, -7);
  EXPECT_EQ(r.second, -7);
}

Header Pc(Header h) {
  h.matrixKind = 2;
  h.m = {};
  h.ax[0].cdelt = -0.001;
  h.ax[1].cdelt = 0.001;
  return h;
}

Header NonLinear(const std::string& type, const std::string& unit) {
  return With(Spectrum(type, unit, 1.0, 0.01), [](Header& h) { h.ax[0].restWav = 5e-7; });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WcsFailure,
    ::testing::Values(
        Failure{"NoCtype1", With(Tan(), [](Header& h) { h.ax[0].type.clear(); })},
        Failure{"RaWithoutDec", With(Tan(), [](Header& h) { h.ax[1].type.clear(); })},
        Failure{"SinBeyondTheHorizon", With(Tan(),
                                            [](Header& h) {
                                              h.ax[0].type = "RA---SIN";
                                              h.m = {-2.0, 0, 0, 2.0};
                                            })},
        // ARC reaches 180° from its reference and no further.
        Failure{"ArcBeyond180Degrees", With(Tan(),
                                            [](Header& h) {
                                              h.ax[0].type = "RA---ARC";
                                              h.ax[1].type = "DEC--ARC";
                                              h.m = {-4.0, 0, 0, 4.0};
                                            })},
        // A reference latitude beyond the pole: wcslib refuses the description.
        // Projection codes that differ between the axes.
        Failure{"MixedProjections", With(Tan(), [](Header& h) { h.ax[0].type = "RA---SIN"; })},
        Failure{"IllConditioned", With(Tan(),
                                       [](Header& h) {
                                         h.ax[0].crval = -690.7;
                                         h.ax[1].crval = 172.18;
                                       })},
        Failure{"SpectralPcWithoutAnyCdelt",
                With(Spectrum("WAVE-LOG", "m", -6, 0.01),
                     [](Header& h) { h.ax[0].cdelt.reset(), h.ax[1].cdelt.reset(); })},
        Failure{"VradInKmPerSecond", NonLinear("VRAD-W2F", "km/s")},
        Failure{"FreqInGHz", NonLinear("FREQ-W2F", "GHz")},
        Failure{"WaveInMicrons", NonLinear("WAVE-F2W", "um")},
        Failure{"ZoptWithAUnit", NonLinear("ZOPT-F2W", "m")},
        Failure{"EnerRefusesF2W", NonLinear("ENER-F2W", "J")},
        Failure{"BetaRefusesV2F", NonLinear("BETA-V2F", "")},
        Failure{"VoptRefusesW2F", NonLinear("VOPT-W2F", "m/s")},
        Failure{"VeloWithoutRestValue",
                With(NonLinear("VELO-F2V", "m/s"), [](Header& h) { h.ax[0].restWav.reset(); })},
        Failure{"VradWithoutRestValue",
                With(NonLinear("VRAD-W2F", "m/s"), [](Header& h) { h.ax[0].restWav.reset(); })}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the standard's defaults, the same description in other words
tagAD At(const CImage& img, tagSFPoint p) {
  tagAD ad;
  unsigned kind = 99;
  int f = 0, s = 0;
  EXPECT_EQ(CWCS().ToWCS2(&img, p, &ad, &kind, &f, &s), 1);
  EXPECT_EQ(kind, WCS_KIND_CELESTIAL);
  EXPECT_EQ(f, 1);
  EXPECT_EQ(s, 1);
  return ad;
}

void ExpectSame(const CImage& a, const CImage& b, const char* what) {
  for (const tagSFPoint p : {tagSFPoint{100, 100}, tagSFPoint{-300, 40}, tagSFPoint{820, 611}}) {
    const tagAD x = At(a, p), y = At(b, p);
    EXPECT_NEAR(x.a, y.a, 1e-11) << what;
    EXPECT_NEAR(x.d, y.d, 1e-11) << what;
  }
}

TEST(WcsDefaults, WhatTheDescriptionLeavesOutTakesTheStandardsValue) {
  // No matrix: the unit PC matrix with the increments.
  Header cdelt = Pc(Tan());
  cdelt.matrixKind = 0;
  ExpectSame(Make(cdelt), Make(Pc(Tan())), "unit PC matrix");
  // No increments: 1.
  Header pcOnly = Pc(Tan());
  pcOnly.ax[0].cdelt.reset(), pcOnly.ax[1].cdelt.reset();
  pcOnly.m = {-0.001, 0.0, 0.0, 0.001};
  ExpectSame(Make(pcOnly), Make(Tan()), "CDELT 1");
  // No reference pixel or value: 0.
  Header zero = Tan();
  zero.ax[0].crpix.reset(), zero.ax[1].crval.reset();
  Header zeroGiven = Tan();
  zeroGiven.ax[0].crpix = 0.0, zeroGiven.ax[1].crval = 0.0;
  ExpectSame(Make(zero), Make(zeroGiven), "CRPIX and CRVAL 0");
  // Without LONPOLE the pole stands at φp = 0 when δ0 ≥ θ0 (90° for zenithal
  // projections) and at 180° otherwise.
  for (double dec : {90.0, 45.0, -90.0}) {
    Header plain = Tan();
    plain.ax[1].crval = dec;
    Header given = plain;
    given.lonPole = dec >= 90.0 ? 0.0 : 180.0;
    ExpectSame(Make(plain), Make(given), "LONPOLE");
  }
  // A SIP type without SIP coefficients is the plain projection.
  Header sip = Tan();
  sip.ax[0].type = "RA---TAN-SIP", sip.ax[1].type = "DEC--TAN-SIP";
  ExpectSame(Make(sip), Make(Tan()), "-SIP without terms");
}

TEST(WcsDefaults, RestValueFromTheHeaderWhenTheAxisHasNone) {
  const Header velo = With(NonLinear("VELO-F2V", "m/s"), [](Header& h) {
    h.ax[0].crval = 1.2e6;
    h.ax[0].cdelt = 5e3;
  });
  const double rest = 5e-7;
  auto value = [](const CImage& img) {
    tagAD ad;
    unsigned kind = 0;
    int f = 0, s = 0;
    EXPECT_EQ(CWCS().ToWCS2(&img, tagSFPoint{40, 1}, &ad, &kind, &f, &s), 1);
    return ad.a;
  };
  const double byAxis = value(Make(velo));
  Header bare = velo;
  bare.ax[0].restWav.reset();
  for (const std::string& card :
       {FormatC("RESTWAV = %.17G", rest), FormatC("RESTFRQ = %.17G", 299792458.0 / rest),
        FormatC("RESTFREQ= %.17G", 299792458.0 / rest)}) {
    CImage img = Make(bare);
    img.m_FitsHeader.Add(card);
    EXPECT_NEAR(value(img), byAxis, 1e-9 * std::fabs(byAxis)) << card;
  }
}

// ---- what the computation reads, and what it keeps between calls
TEST(WcsDescription, LongitudeComesFirstWhicheverAxisCarriesIt) {
  Header swapped = Tan();
  std::swap(swapped.ax[0], swapped.ax[1]);
  swapped.m = {0.0, 0.001, -0.001, 0.0};  // the same sky with the axes exchanged
  const tagAD a = At(Make(swapped), {100, 100});
  EXPECT_NEAR(a.a, 10.0, 1e-12);
  EXPECT_NEAR(a.d, 20.0, 1e-12);
  std::string lon, lat;
  ASSERT_TRUE(WcsCelestialAxisTypes(Make(swapped), &lon, &lat));
  EXPECT_EQ(lon, "RA");
  EXPECT_EQ(lat, "DEC");
  EXPECT_FALSE(WcsCelestialAxisTypes(Make(Spectrum("FREQ", "Hz", 1.4e9, 1e6)), &lon, &lat));
}

TEST(WcsDescription, ChangesToAttributesAndCardsAreSeenAtOnce) {
  CImage img = Make(Tan());
  const tagSFPoint p{400, 300};
  const tagAD before = At(img, p);
  img.SetCRVal(0, 11.0);
  const tagAD moved = At(img, p);
  EXPECT_NEAR(moved.a, before.a + 1.0, 1e-9);
  // A SIP term added to the header bends the sky at once, and goes with the card.
  img.SetCType(0, "'RA---TAN-SIP'");
  img.SetCType(1, "'DEC--TAN-SIP'");
  const tagAD plain = At(img, p);
  img.m_FitsHeader.Add("A_ORDER =                    2");
  img.m_FitsHeader.Add("B_ORDER =                    2");
  img.m_FitsHeader.Add("A_2_0   =                 1E-4");
  const tagAD bent = At(img, p);
  // x offset 300 px, so 9 px more: 0.009° along the first axis.
  EXPECT_GT(std::hypot(bent.a - plain.a, bent.d - plain.d), 0.005);
  img.m_FitsHeader.DeleteAll("A_2_0");
  const tagAD back = At(img, p);
  EXPECT_EQ(back.a, plain.a);
  EXPECT_EQ(back.d, plain.d);
  // A copy gives the same; so does an image that shares nothing with it.
  const CImage copy(img);
  EXPECT_EQ(At(copy, p).a, back.a);
}

// A scanned survey plate's own solution: taken where the header has no other.
TEST(WcsDescription, PlateSolutionStandsInForMissingAxisTypes) {
  static const char* const kPlate[] = {
      "PLTRAH  =                   14", "PLTRAM  =                   37",
      "PLTRAS  =  4.6882530000000E+01", "PLTDECSN= '-'",  // as astropy rewrites it
      "PLTDECD =                   60", "PLTDECM =                   12",
      "PLTDECS =  5.9287610000000E+01", "EQUINOX =  2.0000000000000E+03",
      "PLTSCALE=  6.7200000000000E+01", "XPIXELSZ=  2.5284450000000E+01",
      "YPIXELSZ=  2.5284450000000E+01", "PPO3    =  1.7661698338150E+05",
      "PPO6    =  1.7719356115606E+05", "CNPIX1  =                 8860",
      "CNPIX2  =                 1708", "AMDX1   =  6.7226158492105E+01",
      "AMDX2   = -2.3024540155842E-01", "AMDX3   =  1.0901493794544E+00",
      "AMDY1   =  6.7233319780690E+01", "AMDY2   =  2.2606735154764E-01",
      "AMDY3   = -5.2719954923422E-01"};
  CImage plate;
  plate.SetWidth(100);
  plate.SetHeight(100);
  for (const char* card : kPlate) plate.m_FitsHeader.Add(card);
  const tagAD ad = At(plate, {50, 50});
  // The plate centre is 14h37m46.9s −60°12′59″, the image 1.9° from it.
  EXPECT_GT(ad.a, 200.0);
  EXPECT_LT(ad.a, 230.0);
  EXPECT_GT(ad.d, -65.0);
  EXPECT_LT(ad.d, -58.0);
  std::string lon, lat;
  ASSERT_TRUE(WcsCelestialAxisTypes(plate, &lon, &lat));
  EXPECT_EQ(lon, "RA");
  // Beside axis types of its own, the header's own description wins.
  CImage both = Make(Tan());
  for (const char* card : kPlate) both.m_FitsHeader.Add(card);
  const tagAD standard = At(both, {100, 100});
  EXPECT_EQ(standard.a, 10.0);
  EXPECT_EQ(standard.d, 20.0);
}

}  // namespace
