// The celestial solution of an image through wcslib: the header text handed to wcspih,
// the choice of the primary description, wcsfix's corrections of informal headers (as
// astropy and other readers apply them), and a small per-thread cache so that the
// information bar and the profile graph pay for wcspih once per image state.
#include "wcs/celestial.h"

#include <wcslib/wcs.h>
#include <wcslib/wcsfix.h>
#include <wcslib/wcshdr.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "imagemodel/image.h"
#include "platform/clocale.h"

namespace wcs_internal {
namespace {

constexpr std::size_t kCard = 80;

std::string_view Keyword(std::string_view card) {
  std::string_view key = card.substr(0, std::min<std::size_t>(8, card.size()));
  while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
  return key;
}

bool AllDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// "<root><digits>" for one of the roots.
bool IsAxisKeyword(std::string_view key, std::initializer_list<std::string_view> roots) {
  for (std::string_view root : roots)
    if (key.size() > root.size() && key.substr(0, root.size()) == root &&
        AllDigits(key.substr(root.size())))
      return true;
  return false;
}

// "<root><i>_<j>" with digits i and j: *i and *j receive them.
bool IsIndexedKeyword(std::string_view key, std::string_view root, int* i, int* j) {
  if (key.size() < root.size() + 3 || key.substr(0, root.size()) != root) return false;
  const std::string_view rest = key.substr(root.size());
  const std::size_t bar = rest.find('_');
  if (bar == std::string_view::npos || !AllDigits(rest.substr(0, bar)) ||
      !AllDigits(rest.substr(bar + 1)))
    return false;
  *i = std::stoi(std::string(rest.substr(0, bar)));
  *j = std::stoi(std::string(rest.substr(bar + 1)));
  return true;
}

// An axis number of the first two: the image's attributes describe those.
bool FirstTwo(std::string_view digits) {
  return digits == "1" || digits == "2";
}

// What the header text given to wcslib leaves out of the image's header, besides the
// cards of the first two axes that the attributes replace.
struct Omit {
  bool plate = false;       // a plate solution beside a description of its own
  bool projection = false;  // PVi_m of axes 1 and 2: SCAMP's polynomial beside SIP
  bool tables = false;      // distortions kept as lookup tables in other units of the file
  // Axes beyond the second whose values come from a table in another unit of the file
  // (-TAB): their type goes, so that they stand as plain linear axes.
  std::vector<std::string> tabAxes;
};

bool Replaced(std::string_view key, const Omit& omit) {
  if (key == "NAXIS" || key == "LONPOLE" || key == "LATPOLE" || IsAxisKeyword(key, {"NAXIS"}))
    return true;
  for (std::string_view root : {"CTYPE", "CUNIT", "CRPIX", "CRVAL", "CDELT", "CROTA"})
    if (key.size() == root.size() + 1 && key.substr(0, root.size()) == root &&
        FirstTwo(key.substr(root.size())))
      return true;
  int i = 0, j = 0;
  for (const std::string& axis : omit.tabAxes)
    if (key == "CTYPE" + axis || key == "CUNIT" + axis ||
        ((IsIndexedKeyword(key, "PS", &i, &j) || IsIndexedKeyword(key, "PV", &i, &j)) &&
         std::to_string(i) == axis))
      return true;
  if (IsIndexedKeyword(key, "CD", &i, &j) || IsIndexedKeyword(key, "PC", &i, &j))
    return i <= 2 && j <= 2;
  // The old PCiiijjj and CDiiijjj forms.
  if (key.size() == 8 && (key.substr(0, 2) == "PC" || key.substr(0, 2) == "CD") &&
      AllDigits(key.substr(2)))
    return std::stoi(std::string(key.substr(2, 3))) <= 2 &&
           std::stoi(std::string(key.substr(5, 3))) <= 2;
  if (IsIndexedKeyword(key, "PV", &i, &j)) return omit.projection && i <= 2;
  if (omit.tables && (IsAxisKeyword(key, {"CPDIS", "CQDIS", "CPERR", "CQERR", "DP", "DQ"}) ||
                      key.substr(0, 4) == "D2IM" || key == "AXISCORR" || key == "NPOLEXT"))
    return true;
  // A plate solution stands in only where the header has no other.
  return omit.plate && IsFitsPlateSolutionKey(key);
}

// The string value of a card without its quotes and trailing blanks.
std::string StringValue(std::string_view card) {
  const std::size_t open = card.find('\'');
  if (open == std::string_view::npos) return {};
  const std::size_t close = card.find('\'', open + 1);
  std::string v(card.substr(
      open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1));
  while (!v.empty() && v.back() == ' ') v.pop_back();
  return v;
}

// What to leave out of this header, as the coordinate readers do: SCAMP's PVi_m that a
// pipeline kept beside the SIP polynomial it converted them to (unless the PV terms hold
// radial terms, which SIP cannot carry), and distortion lookup tables, which live in
// other units of the file.
Omit OmitFor(const CFitsHeader& header, bool standard) {
  Omit omit;
  omit.plate = standard;
  bool sip = false;
  std::vector<std::pair<int, int>> pv;
  for (const std::string& c : header.Cards()) {
    const std::string_view key = Keyword(c);
    int i = 0, j = 0;
    if (key == "A_ORDER") sip = true;
    if (IsAxisKeyword(key, {"CTYPE"}) && !FirstTwo(key.substr(5)) &&
        StringValue(c).ends_with("-TAB"))
      omit.tabAxes.emplace_back(key.substr(5));
    if (IsIndexedKeyword(key, "PV", &i, &j) && i <= 2) pv.emplace_back(i, j);
    if (IsAxisKeyword(key, {"CPDIS", "CQDIS"}) || key.substr(0, 4) == "D2IM") {
      std::string v = StringValue(c);
      std::transform(v.begin(), v.end(), v.begin(),
                     [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
      if (v == "LOOKUP" || key.substr(0, 4) == "D2IM") omit.tables = true;
    }
  }
  if (sip && !pv.empty()) {
    bool radial = false;
    for (int axis = 1; axis <= 2; ++axis) {
      int top = -1;
      for (const auto& [i, j] : pv)
        if (i == axis) top = std::max(top, j);
      for (const auto& [i, j] : pv)
        if (i == axis && j < top && (j == 3 || j == 11 || j == 23 || j == 39)) radial = true;
    }
    omit.projection = !radial;
  }
  return omit;
}

void AddCard(std::string* text, std::string_view card) {
  std::string padded(card.substr(0, std::min(card.size(), kCard)));
  padded.resize(kCard, ' ');
  *text += padded;
}

void AddReal(std::string* text, const char* key, double v) {
  if (!std::isfinite(v)) return;
  AddCard(text, FormatC("%-8s= %.17G", key, v));
}

void AddString(std::string* text, const char* key, const std::string& quoted) {
  AddCard(text, FormatC("%-8s= %s", key, quoted.c_str()));
}

// What a solution depends on: the attributes of the first two axes and the revision of
// the header's cards.
struct Description {
  std::array<std::string, 2> type, unit;
  std::array<double, 2> crpix{}, crval{}, cdelt{};
  std::array<bool, 2> hasCrpix{}, hasCrval{}, hasCdelt{};
  tagMATRIX2_2 matrix;
  int kind = 0;
  tagMATRIX2_4 pv;
  int pvGiven = 0;
  bool hasLonPole = false, hasLatPole = false;
  double lonPole = 0.0, latPole = 0.0;
  int width = 0, height = 0;
  std::uint64_t revision = 0;

  explicit Description(const CImage& image) {
    for (int a = 0; a < 2; ++a) {
      image.GetCType(a, &type[a]);
      image.GetCUnit(a, &unit[a]);
      hasCrpix[a] = image.GetCRPix(a, &crpix[a]);
      hasCrval[a] = image.GetCRVal(a, &crval[a]);
      hasCdelt[a] = image.GetCDelt(a, &cdelt[a]);
    }
    kind = image.GetLTMtx(&matrix);
    pvGiven = image.GetPVMtx(&pv);
    hasLonPole = image.IsLonPole();
    hasLatPole = image.IsLatPole();
    lonPole = image.GetLonPole();
    latPole = image.GetLatPole();
    width = image.GetWidth();
    height = image.GetHeight();
    revision = image.m_FitsHeader.GetRevision();
  }
  bool operator==(const Description&) const = default;
};

std::string HeaderText(const CImage& image, const Description& d) {
  const CFitsHeader& header = image.m_FitsHeader;
  const Omit omit = OmitFor(header, !d.type[0].empty() || !d.type[1].empty());
  std::string text;
  AddCard(&text, "NAXIS   =                    2");
  AddCard(&text, FormatC("NAXIS1  = %20d", std::max(d.width, 0)));
  AddCard(&text, FormatC("NAXIS2  = %20d", std::max(d.height, 0)));
  static const char* const kType[2] = {"CTYPE1", "CTYPE2"};
  static const char* const kUnit[2] = {"CUNIT1", "CUNIT2"};
  static const char* const kCrpix[2] = {"CRPIX1", "CRPIX2"};
  static const char* const kCrval[2] = {"CRVAL1", "CRVAL2"};
  static const char* const kCdelt[2] = {"CDELT1", "CDELT2"};
  for (int a = 0; a < 2; ++a) {
    if (!d.type[a].empty()) AddString(&text, kType[a], d.type[a]);
    if (!d.unit[a].empty()) AddString(&text, kUnit[a], d.unit[a]);
    if (d.hasCrpix[a]) AddReal(&text, kCrpix[a], d.crpix[a]);
    if (d.hasCrval[a]) AddReal(&text, kCrval[a], d.crval[a]);
    if (d.hasCdelt[a]) AddReal(&text, kCdelt[a], d.cdelt[a]);
  }
  if (d.kind == 1 || d.kind == 2) {
    const char* name = d.kind == 1 ? "CD" : "PC";
    const double e[4] = {d.matrix.m11, d.matrix.m12, d.matrix.m21, d.matrix.m22};
    for (int k = 0; k < 4; ++k)
      AddReal(&text, FormatC("%s%d_%d", name, k / 2 + 1, k % 2 + 1).c_str(), e[k]);
  }
  // Projection parameters: the header's cards as they stand. The attributes hold only
  // eight of them, and PV1_4 … PV1_7 share their places with PV2_0 … PV2_3; they count
  // only for an image whose header names none (a table of world coordinates set them).
  bool headerPv = false;
  for (const std::string& c : header.Cards()) {
    int i = 0, j = 0;
    if (IsIndexedKeyword(Keyword(c), "PV", &i, &j) && i <= 2) headerPv = true;
  }
  if (d.pvGiven && !headerPv && !omit.projection)
    for (int k = 0; k < 8; ++k)
      if (d.pv.m[k / 4][k % 4] != 0.0)
        AddReal(&text, FormatC("PV%d_%d", k / 4 + 1, k % 4).c_str(), d.pv.m[k / 4][k % 4]);
  if (d.hasLonPole) AddReal(&text, "LONPOLE", d.lonPole);
  if (d.hasLatPole) AddReal(&text, "LATPOLE", d.latPole);
  for (const std::string& c : header.Cards()) {
    const std::string_view key = Keyword(c);
    if (key.empty() || key == "END" || key == "COMMENT" || key == "HISTORY") continue;
    if (Replaced(key, omit)) continue;
    if (key == "PLTDECSN") {
      // wcslib reads the sign of a plate's declination only from a padded string: "'-'",
      // as astropy rewrites the card, would put the plate in the other hemisphere.
      AddCard(&text, FormatC("PLTDECSN= '%-8c'", StringValue(c).starts_with('-') ? '-' : '+'));
      continue;
    }
    AddCard(&text, c);
  }
  return text;
}

std::string UpTo(const char* type, char stop) {
  std::string s(type);
  if (const std::size_t at = s.find(stop); at != std::string::npos) s.resize(at);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

class WcslibSolution final : public CelestialSolution {
 public:
  ~WcslibSolution() override {
    if (all_) wcsvfree(&count_, &all_);
  }

  // Null when wcslib finds no primary description, refuses it, or its celestial axes are
  // not the first two.
  static std::unique_ptr<WcslibSolution> Make(const CImage& image, const Description& d) {
    std::string text = HeaderText(image, d);
    auto made = std::unique_ptr<WcslibSolution>(new WcslibSolution);
    int rejected = 0;
    {
      // wcspih's parser keeps state of its own between calls.
      static std::mutex parser;
      std::lock_guard<std::mutex> lock(parser);
      if (wcspih(text.data(), static_cast<int>(text.size() / kCard), WCSHDR_all, 0, &rejected,
                 &made->count_, &made->all_) != 0)
        return nullptr;
    }
    for (int i = 0; i < made->count_; ++i)
      if (made->all_[i].alt[0] == ' ' || made->all_[i].alt[0] == '\0') made->wcs_ = &made->all_[i];
    if (!made->wcs_) return nullptr;
    wcsprm* w = made->wcs_;
    // The corrections of informal headers that readers apply (dates, units, AIPS' NCP and
    // GLS, cylindrical projections, a CD matrix with an empty row); a correction that
    // fails leaves the description as it was.
    // Axes beyond the second are one pixel long, as the image shows one plane of them.
    std::vector<int> naxis(static_cast<std::size_t>(std::max(w->naxis, 2)), 1);
    naxis[0] = d.width;
    naxis[1] = d.height;
    int status[NWCSFIX];
    wcsfix(0, d.width > 0 && d.height > 0 ? naxis.data() : nullptr, w, status);
    if (wcsset(w) != 0) return nullptr;
    if (w->naxis < 2 || w->lng < 0 || w->lat < 0 || w->lng + w->lat != 1) return nullptr;
    made->scratch_.assign(3 * static_cast<std::size_t>(w->naxis), 0.0);
    made->lonType_ = UpTo(w->ctype[w->lng], '-');
    made->latType_ = UpTo(w->ctype[w->lat], '-');
    made->radesys_ = UpTo(w->radesys, ' ');
    made->equinox_ = w->equinox;
    return made;
  }

  bool ToWorld(double x, double y, double* lon, double* lat) const override {
    // Axes beyond the second stand at their first pixel, the plane the image shows.
    const int n = wcs_->naxis;
    double* pixel = scratch_.data();
    double* image = pixel + n;
    double* world = image + n;
    std::fill(pixel, pixel + n, 1.0);
    pixel[0] = x;
    pixel[1] = y;
    double phi = 0.0, theta = 0.0;
    int stat = 0;
    if (wcsp2s(wcs_, 1, n, pixel, image, &phi, &theta, world, &stat) != 0 || stat != 0)
      return false;
    *lon = world[wcs_->lng];
    *lat = world[wcs_->lat];
    return std::isfinite(*lon) && std::isfinite(*lat) && std::fabs(*lat) <= 90.0;
  }

  bool ToPixel(double lon, double lat, double* x, double* y) const override {
    const int n = wcs_->naxis;
    double* pixel = scratch_.data();
    double* image = pixel + n;
    double* world = image + n;
    // Axes beyond the second keep their reference values, as at the plane shown.
    for (int i = 0; i < n; ++i) world[i] = wcs_->crval[i];
    world[wcs_->lng] = lon;
    world[wcs_->lat] = lat;
    double phi = 0.0, theta = 0.0;
    int stat = 0;
    if (wcss2p(wcs_, 1, n, world, &phi, &theta, image, pixel, &stat) != 0 || stat != 0)
      return false;
    *x = pixel[0];
    *y = pixel[1];
    return std::isfinite(*x) && std::isfinite(*y);
  }

  const std::string& RadeSys() const override { return radesys_; }
  double Equinox() const override { return equinox_; }

  const std::string& LongitudeType() const override { return lonType_; }
  const std::string& LatitudeType() const override { return latType_; }

 private:
  WcslibSolution() = default;

  int count_ = 0;
  wcsprm* all_ = nullptr;
  wcsprm* wcs_ = nullptr;                // the primary description, one of all_
  mutable std::vector<double> scratch_;  // pixel, intermediate and world coordinates
  std::string lonType_, latType_;
  std::string radesys_;
  double equinox_ = 0.0;
};

struct Entry {
  Description key;
  std::unique_ptr<WcslibSolution> solution;  // null: no celestial pair
};

}  // namespace

std::string CelestialHeaderText(const CImage& image) {
  return HeaderText(image, Description(image));
}

const CelestialSolution* CelestialFor(const CImage& image) {
  // A few images at a time: the information bar moving between windows, a blink.
  constexpr std::size_t kKept = 6;
  thread_local std::vector<Entry> cache;
  Description key(image);
  for (std::size_t i = 0; i < cache.size(); ++i) {
    if (!(cache[i].key == key)) continue;
    if (i > 0)
      std::rotate(cache.begin(), cache.begin() + static_cast<std::ptrdiff_t>(i),
                  cache.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    return cache.front().solution.get();
  }
  std::unique_ptr<WcslibSolution> solution = WcslibSolution::Make(image, key);
  if (cache.size() >= kKept) cache.pop_back();
  cache.insert(cache.begin(), Entry{std::move(key), std::move(solution)});
  return cache.front().solution.get();
}

}  // namespace wcs_internal
