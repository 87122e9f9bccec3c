// The FITS writer: composes the primary header from the image's attributes and the
// cards that came with it, writes it in 2880-byte records, then the data array in
// big-endian order and every extension. Saving goes through a temporary file that
// replaces the target only once everything was written and flushed.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>
#include <tuple>
#include <vector>

#include "fits/fits.h"
#include "fits/fitscards.h"
#include "imagemodel/image.h"
#include "imagemodel/rowpool.h"
#include "imagemodel/vmimage.h"
#include "platform/clocale.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "settings/registry.h"

using namespace fitscards;

namespace {

// How many bytes of rows are gathered before they go to the file.
constexpr std::size_t kChunkBytes = 1 << 20;

// Collects cards into 2880-byte records and writes each full record.
class RecordWriter {
 public:
  explicit RecordWriter(AtomicFile& file) : file_(file) {}

  // Cut or padded to 80 characters.
  [[nodiscard]] bool Add(std::string_view card) {
    char* slot = record_ + fill_;
    const std::size_t n = std::min(card.size(), kCardSize);
    std::memcpy(slot, card.data(), n);
    std::memset(slot + n, ' ', kCardSize - n);
    fill_ += kCardSize;
    if (fill_ < kRecordSize) return true;
    fill_ = 0;
    return file_.Write(record_, kRecordSize) == 0;
  }

  // Fills the open record with blank cards and writes it.
  [[nodiscard]] bool Close() {
    if (fill_ == 0) return true;
    std::memset(record_ + fill_, ' ', kRecordSize - fill_);
    fill_ = 0;
    return file_.Write(record_, kRecordSize) == 0;
  }

 private:
  AtomicFile& file_;
  char record_[kRecordSize];
  std::size_t fill_ = 0;
};

// Writes count fill bytes.
bool WriteFill(AtomicFile& file, std::uint64_t count, char fill = '\0') {
  char bytes[kRecordSize];
  std::memset(bytes, fill, sizeof bytes);
  while (count > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, kRecordSize));
    if (file.Write(bytes, n) != 0) return false;
    count -= n;
  }
  return true;
}

std::uint64_t PaddingFor(std::uint64_t bytes) {
  return (kRecordSize - bytes % kRecordSize) % kRecordSize;
}

std::string UtcNow() {
  const time_t now = ::time(nullptr);
  struct tm utc {};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

// The cards still to be placed, with the operations the composition needs. Keywords
// compare on their first eight characters padded with blanks, as FITS defines them. A
// long string value goes on over CONTINUE cards; they belong to the card before them and
// are moved and erased with it.
class Remaining {
 public:
  explicit Remaining(const CFitsHeader& header) : cards_(header.Cards()) {}

  int Find(std::string_view keyword) const {
    for (std::size_t i = 0; i < cards_.size(); ++i)
      if (IsKeyword(cards_[i], keyword)) return static_cast<int>(i);
    return -1;
  }
  // How many cards from i on make up card i: itself and the CONTINUE cards behind it.
  std::size_t Extent(std::size_t i) const {
    std::size_t n = 1;
    while (i + n < cards_.size() && IsKeyword(cards_[i + n], "CONTINUE")) ++n;
    return n;
  }
  void EraseAt(std::size_t i) {
    const auto first = cards_.begin() + static_cast<std::ptrdiff_t>(i);
    cards_.erase(first, first + static_cast<std::ptrdiff_t>(Extent(i)));
  }
  // Every card of the keyword with its CONTINUE cards (and only those: blank-keyword
  // commentary cards that follow stay).
  void Erase(std::string_view keyword) {
    for (std::size_t i = 0; i < cards_.size();) {
      if (IsKeyword(cards_[i], keyword))
        EraseAt(i);
      else
        ++i;
    }
  }
  std::vector<std::string>& cards() { return cards_; }

 private:
  std::vector<std::string> cards_;
};

class Composer {
 public:
  // form, when given, is the stored type, scaling and blank value the data are written
  // in instead of the image's own.
  Composer(const CImage& img, const StoredForm* form)
      : img_(img),
        form_(form),
        rest_(img.m_FitsHeader),
        now_(UtcNow()),
        keepCards_(CFits::GetKeepCards()) {}

  CFitsHeader Compose();

 private:
  void Add(std::string_view card) { out_.Add(card); }
  void Blank() { out_.Add(""); }
  // Remaining card i as it stands, with its CONTINUE cards.
  void AddWhole(std::size_t i) {
    const std::size_t n = rest_.Extent(i);
    for (std::size_t k = 0; k < n; ++k) Add(rest_.cards()[i + k]);
  }
  // The first card of the keyword, as it stands; then every card of it goes.
  bool Move(std::string_view keyword) {
    const int i = rest_.Find(keyword);
    if (i >= 0) AddWhole(static_cast<std::size_t>(i));
    rest_.Erase(keyword);
    return i >= 0;
  }
  // A card with a real value that reads back as exactly v; fixed is the format kept
  // when it is exact. False, and no card, when v is not finite: FITS has no text for it,
  // and leaving the keyword out lets a reader take its default instead of refusing the
  // file.
  bool AddReal(std::string_view keyword, double v, const char* fixed, std::string_view comment) {
    const std::string card = RealCard(keyword, v, fixed, comment);
    if (!card.empty()) Add(card);
    return !card.empty();
  }
  void AddCommented(std::string_view card);
  // A string value padded to 21 columns; a longer one is kept whole rather than cut
  // through its closing quote.
  static std::string Padded21(const std::string& quoted) {
    return quoted.size() >= 21 ? quoted : FormatC("%-21.21s", quoted.c_str());
  }
  // Reals in exponent form use a capital E: FITS does not allow a lower-case exponent.
  void WorldCoordinates();
  bool Distortion();
  bool PlateSolution();
  void Observation();
  void KeepUnplaced();
  void Parameters();
  void CommentOut();
  void AnnounceLongStrings();

  int Bits() const { return form_ ? form_->bits : img_.GetBitsPixel(); }
  double Bscale() const { return form_ ? form_->bscale : img_.GetBscale(); }
  double Bzero() const { return form_ ? form_->bzero : img_.GetBzero(); }
  int BlankUsed() const { return form_ ? form_->blankUsed : img_.IsBlankUsed(); }
  int BlankValue() const { return form_ ? form_->blank : img_.GetBlank(); }

  const CImage& img_;
  const StoredForm* form_;
  Remaining rest_;
  const std::string now_;
  const bool keepCards_;
  CFitsHeader out_;
};

CFitsHeader Composer::Compose() {
  rest_.Erase("END");
  const int planes = img_.GetPlanes();
  const bool oneDimensional = img_.GetFirstFits() && planes <= 1;
  int dimension = img_.GetDimension();
  if (dimension != 2 && dimension != 3) dimension = planes > 1 ? 3 : 2;

  Add(FormatC("SIMPLE  = %20.20s", "T"));
  Add(FormatC("BITPIX  = %20d / # of bits storing pixel values", Bits()));
  Add(FormatC("NAXIS   = %20d / # of axes in frame", oneDimensional ? 1 : dimension));
  // These keywords are written from the image; a carried copy would contradict them.
  for (const char* key :
       {"SIMPLE", "BITPIX", "NAXIS", "EXTEND", "ORIGIN", "DATE", "BZERO", "BSCALE"})
    rest_.Erase(key);
  rest_.Erase("LONGSTRN");  // written below when the header needs it

  Add(FormatC("NAXIS1  = %20d / # of pixels/row", img_.GetWidth()));
  if (img_.GetOrgWidth() == img_.GetWidth()) {
    rest_.Erase("NAXIS1");
  } else {
    // A cropped image keeps its original width in a card that will be commented out.
    const int i = rest_.Find("NAXIS1");
    if (i >= 0)
      rest_.cards()[static_cast<std::size_t>(i)] =
          FormatC("NAXIS1  = %20d / # of pixels/row", img_.GetOrgWidth());
  }
  if (!oneDimensional) {
    Add(FormatC("NAXIS2  = %20d / # of rows in frame", img_.GetHeight()));
    if (img_.GetOrgHeight() == img_.GetHeight()) {
      rest_.Erase("NAXIS2");
    } else {
      const int i = rest_.Find("NAXIS2");
      if (i >= 0)
        rest_.cards()[static_cast<std::size_t>(i)] =
            FormatC("NAXIS2  = %20d / # of rows in frame", img_.GetOrgHeight());
    }
  }
  if (dimension == 3 && !oneDimensional) {
    Add(FormatC("NAXIS3  = %20d / # of planes in image", planes));
    rest_.Erase("NAXIS3");
  }
  Add(FormatC("EXTEND  =                    %c / There maybe standard extensions",
              img_.m_FitsExtensions.empty() && img_.m_KeptExtensions.empty() ? 'F' : 'T'));
  Blank();
  Add(FormatC("ORIGIN  = %-21.21s/ FITS file originator", "'Vantorel'"));
  Add(FormatC("DATE    = %-21.21s/ Date FITS file was generated (UTC)",
              ("'" + now_ + "'").c_str()));
  Blank();
  AddReal("BZERO", Bzero(), "%20.8f", "Real = VAL x BSCALE + BZERO");
  AddReal("BSCALE", Bscale(), "%20.8f", "Real = VAL x BSCALE + BZERO");
  if (Bits() < 0) {
    // FITS allows BLANK for integer data only; floating-point data mark missing values
    // with NaN, so a carried card would only make the file invalid.
    rest_.Erase("BLANK");
  } else if (BlankUsed()) {
    Add(FormatC("BLANK   = %20d / Value used for NULL pixels", BlankValue()));
    rest_.Erase("BLANK");
  }
  if (!Move("BUNIT"))
    Add(FormatC("BUNIT   = %-21.21s/ Unit of original pixel values", "'        '"));
  Blank();
  WorldCoordinates();
  Observation();
  if (keepCards_) KeepUnplaced();
  Parameters();
  CommentOut();
  AnnounceLongStrings();
  Add("END");
  return out_;
}

// Long string values carried over CONTINUE cards need the convention announced, or
// validators warn; the announcement stands before the first card that uses it.
void Composer::AnnounceLongStrings() {
  for (int i = 0; i < out_.GetCount(); ++i) {
    if (!IsKeyword(out_.GetAt(i), "CONTINUE")) continue;
    int owner = i - 1;
    while (owner > 0 && IsKeyword(out_.GetAt(owner), "CONTINUE")) --owner;
    out_.InsertAt(
        owner, FormatC("LONGSTRN= %-21.21s/ Long strings go on over CONTINUE cards", "'OGIP 1.0'"));
    return;
  }
}

void Composer::WorldCoordinates() {
  bool any = false;
  // WCSAXES must come before every other coordinate keyword. Only the first two axes are
  // written, so a count above 2 would announce axes whose keywords are missing; it stays
  // behind with them among the commented-out cards.
  if (const int i = rest_.Find("WCSAXES");
      i >= 0 && IntValue(rest_.cards()[static_cast<std::size_t>(i)]) <= 2)
    any |= Move("WCSAXES");
  any |= Move("WCSAXIS");
  any |= Move("WCSNAME");
  int axis = 0;
  if (img_.GetDispAxis(&axis)) {
    Add(FormatC("DISPAXIS= %20d / Dispersion axis in frame", axis));
    rest_.Erase("DISPAXIS");
    any = true;
  }
  if (Move("EQUINOX")) {
    any = true;
  } else if (const int i = rest_.Find("EPOCH"); i >= 0) {
    // EPOCH, the old name, is read as the equinox when EQUINOX is missing, but validators
    // reject it; its value goes on under the new name. Beside an EQUINOX it means nothing
    // and stays among the commented-out cards.
    const std::string& card = rest_.cards()[static_cast<std::size_t>(i)];
    if (card.size() > 10 && card.compare(8, 2, "= ") == 0) {
      Add("EQUINOX " + card.substr(8));
      rest_.Erase("EPOCH");
      any = true;
    }
  }
  std::string text;
  static const char* const kTypeComment[2] = {"/ Type of physical coord. on X",
                                              "/ Type of physical coord. on Y"};
  static const char* const kUnitComment[2] = {"/ Unit of physical coord. on X",
                                              "/ Unit of physical coord. on Y"};
  for (int a = 0; a < 2; ++a) {
    if (!img_.GetCType(a, &text)) continue;
    Add(FormatC("CTYPE%d  = %s%s", a + 1, Padded21(text).c_str(), kTypeComment[a]));
    rest_.Erase(FormatC("CTYPE%d", a + 1));
    any = true;
  }
  for (int a = 0; a < 2; ++a) {
    if (!img_.GetCUnit(a, &text)) continue;
    Add(FormatC("CUNIT%d  = %s%s", a + 1, Padded21(text).c_str(), kUnitComment[a]));
    rest_.Erase(FormatC("CUNIT%d", a + 1));
    any = true;
  }
  // PVi_m, then PSi_m, for axes 1 and 2 and m from 0 to 99, each in that order (m = 0 is
  // a projection parameter too: the constant term of a zenithal polynomial, the offset of
  // a longitude axis). Only the keywords present are looked up, not all 400.
  std::vector<std::string> projection;
  for (const std::string& card : rest_.cards()) {
    const std::string_view key =
        TrimRight(std::string_view(card).substr(0, std::min<std::size_t>(8, card.size())));
    if (key.size() < 5 || key[0] != 'P' || (key[1] != 'V' && key[1] != 'S') ||
        (key[2] != '1' && key[2] != '2') || key[3] != '_' || key.size() > 6)
      continue;
    const std::string_view digits = key.substr(4);
    if (digits.find_first_not_of("0123456789") != std::string_view::npos ||
        (digits[0] == '0' && digits.size() > 1))
      continue;
    projection.emplace_back(key);
  }
  auto order = [](const std::string& k) {
    return std::make_tuple(k[1] == 'S', k[2], std::stoi(k.substr(4)));
  };
  std::sort(projection.begin(), projection.end(),
            [&](const std::string& a, const std::string& b) { return order(a) < order(b); });
  projection.erase(std::unique(projection.begin(), projection.end()), projection.end());
  for (const std::string& key : projection) any |= Move(key);
  double v = 0;
  static const char* const kAxis[2] = {"X", "Y"};
  for (int a = 0; a < 2; ++a) {
    if (!img_.GetCRPix(a, &v)) continue;
    any |= AddReal(FormatC("CRPIX%d", a + 1), v, "%20.8f",
                   std::string("Reference pixel in ") + kAxis[a]);
    rest_.Erase(FormatC("CRPIX%d", a + 1));
  }
  for (int a = 0; a < 2; ++a) {
    if (!img_.GetCRVal(a, &v)) continue;
    any |= AddReal(FormatC("CRVAL%d", a + 1), v, "%14.6E",
                   std::string("Physical value of the reference pixel ") + kAxis[a]);
    rest_.Erase(FormatC("CRVAL%d", a + 1));
  }
  for (int a = 0; a < 2; ++a) {
    if (!img_.GetCDelt(a, &v)) continue;
    any |=
        AddReal(FormatC("CDELT%d", a + 1), v, "%14.6E", std::string("Pixel size on ") + kAxis[a]);
    rest_.Erase(FormatC("CDELT%d", a + 1));
  }
  tagMATRIX2_2 m;
  const int kind = img_.GetLTMtx(&m);
  const double e[4] = {m.m11, m.m12, m.m21, m.m22};
  // A matrix with an element that cannot be written is left out whole: a reader would
  // take the missing element as 0 (CD) or from the identity (PC), another matrix.
  if ((kind == 1 || kind == 2) &&
      std::all_of(e, e + 4, [](double x) { return std::isfinite(x); })) {
    const char* name = kind == 1 ? "CD" : "PC";
    for (int k = 0; k < 4; ++k)
      AddReal(FormatC("%s%d_%d", name, k / 2 + 1, k % 2 + 1), e[k], "%14.6E",
              "Coordinate transformation matrix");
    any = true;
  }
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) {
      rest_.Erase(FormatC("CD%d_%d", i, j));
      rest_.Erase(FormatC("PC%d_%d", i, j));
    }
  any |= Distortion();
  any |= PlateSolution();
  for (const char* key :
       {"LONPOLE", "LATPOLE", "RADESYS", "RADECSYS", "MJD-OBS", "SPECSYS", "SSYSOBS", "OBSGEO-X",
        "OBSGEO-Y", "OBSGEO-Z", "MJD-AVG", "VSOURCE", "ZSOURCE", "VELOSYS", "RESTFRQ", "RESTWAV"})
    any |= Move(key);
  if (any) Blank();
}

// The SIP distortion polynomials that correct the linear matrix: for A, B, AP and BP the
// order card, then the coefficients X_p_q in the order they came.
bool Composer::Distortion() {
  bool any = false;
  for (const std::string_view prefix : {"A", "B", "AP", "BP"}) {
    any |= Move(std::string(prefix) + "_ORDER");
    std::vector<std::string> keys;
    for (const std::string& card : rest_.cards()) {
      const std::string_view key =
          TrimRight(std::string_view(card).substr(0, std::min<std::size_t>(8, card.size())));
      int corrects = 0, p = 0, q = 0;
      if (FitsSipTerm(key, &corrects, &p, &q) && key[prefix.size()] == '_' && Begins(key, prefix))
        keys.emplace_back(key);
    }
    for (const std::string& key : keys) any |= Move(key);
  }
  return any;
}

// The solution of a scanned photographic plate (the sky surveys' headers), in its order:
// coordinate libraries take the sky from these cards, so they stay live beside the
// image's own matrix.
bool Composer::PlateSolution() {
  bool any = false;
  for (const std::string& key : FitsPlateSolutionKeys()) any |= Move(key);
  return any;
}

void Composer::Observation() {
  bool any = false;
  any |= Move("DATE-OBS");
  any |= Move("UT");
  for (std::size_t i = 0; i < rest_.cards().size();) {
    if (Begins(rest_.cards()[i], "UT-")) {
      AddWhole(i);
      rest_.EraseAt(i);
      any = true;
    } else {
      ++i;
    }
  }
  for (const char* key : {"EXPTIME", "TELESCOP", "INSTRUME", "OBSERVER", "OBSERVAT", "OBJECT"})
    any |= Move(key);
  std::string author;
  if (img_.GetAuthor(&author)) {
    Add(FormatC("AUTHOR  = '%s'", author.c_str()));
    // An author that came over CONTINUE cards and was not changed keeps them.
    if (const int i = rest_.Find("AUTHOR"); i >= 0) {
      const std::string& card = rest_.cards()[static_cast<std::size_t>(i)];
      const std::string_view value = Value(card);
      const std::size_t close = ClosingQuote(value);
      if (close != std::string_view::npos && close >= 1 && value.substr(1, close - 1) == author)
        for (std::size_t k = 1; k < rest_.Extent(static_cast<std::size_t>(i)); ++k)
          Add(rest_.cards()[static_cast<std::size_t>(i) + k]);
    }
    rest_.Erase("AUTHOR");
    any = true;
  }
  for (const char* key : {"REFERENC", "RA", "RA2000", "DEC", "DEC2000"}) any |= Move(key);
  if (any) Blank();
}

// Keywords that describe the data unit, its checksums or where its pixels lie: written
// from the image, or meaningless once the pixels were changed or moved, so that a
// carried copy of them would contradict the file. They are never kept live.
bool DescribesData(std::string_view key) {
  static constexpr std::string_view kExact[] = {
      "SIMPLE",  "BITPIX",  "EXTEND",  "END",      "BLANK",    "BSCALE",   "BZERO",    "BUNIT",
      "GROUPS",  "PCOUNT",  "GCOUNT",  "XTENSION", "TFIELDS",  "THEAP",    "CHECKSUM", "DATASUM",
      "DATAMIN", "DATAMAX", "EPOCH",   "EQUINOX",  "DISPAXIS", "LONGSTRN", "RADECSYS", "ORIGIN",
      "DATE",    "INHERIT", "EXTNAME", "EXTVER",   "EXTLEVEL", "ZIMAGE"};
  for (std::string_view k : kExact)
    if (key == k) return true;
  // Families with an axis, column or alternate-description suffix.
  static constexpr std::string_view kPrefix[] = {
      "NAXIS",   "CTYPE", "CUNIT", "CRPIX", "CRVAL",   "CDELT",   "CROTA",
      "CRDER",   "CSYER", "CNAME", "WCSAX", "WCSNAME", "LONPOLE", "LATPOLE",
      "RADESYS", "WAT",   "LTV",   "LTM",   "TTYPE",   "TFORM",   "TBCOL",
      "TUNIT",   "TNULL", "TSCAL", "TZERO", "TDISP",   "TDIM",    "SI-"};
  for (std::string_view p : kPrefix)
    if (key.starts_with(p)) return true;
  // What is left of the distortion polynomials: A_ORDER, A_DMAX, A_p_q, ... of A, B, AP, BP.
  for (std::string_view p : {"A_", "B_", "AP_", "BP_"})
    if (key.starts_with(p) && key.size() > p.size() &&
        ((key[p.size()] >= '0' && key[p.size()] <= '9') || key.substr(p.size()) == "ORDER" ||
         key.substr(p.size()) == "DMAX"))
      return true;
  // PCi_j, CDi_j, PVi_m, PSi_m and the old PC00i00j form: the linear matrix and the
  // projection.
  if (key.size() >= 3 && (key.starts_with("PC") || key.starts_with("CD") || key.starts_with("PV") ||
                          key.starts_with("PS")))
    return key[2] >= '0' && key[2] <= '9';
  return false;
}

// Cards that the groups above did not place stay live here, in their order, when they are
// valid FITS keyword cards: the first card of a keyword with its CONTINUE cards (a later
// card of the same keyword, which readers would not see, is commented out), and every
// HISTORY card. COMMENT cards stay with the commented-out cards, where an earlier save
// put them; so saving the saved file again gives the same cards.
void Composer::KeepUnplaced() {
  auto& cards = rest_.cards();
  std::vector<std::string> kept;
  bool any = false;
  for (std::size_t i = 0; i < cards.size();) {
    const std::string_view key =
        TrimRight(std::string_view(cards[i]).substr(0, std::min<std::size_t>(8, cards[i].size())));
    const std::size_t extent = rest_.Extent(i);
    bool keep = !key.empty() && key != "COMMENT" && key != "CONTINUE" && !DescribesData(key) &&
                std::find(kept.begin(), kept.end(), key) == kept.end();
    for (std::size_t k = 0; keep && k < extent; ++k) keep = IsValidKeywordCard(cards[i + k]);
    if (!keep) {
      i += extent;
      continue;
    }
    if (key != "HISTORY") kept.emplace_back(key);
    AddWhole(i);
    rest_.EraseAt(i);
    any = true;
  }
  if (any) Blank();
}

void Composer::Parameters() {
  Add(kFitsParamRule);
  Add(kFitsParamTitle);
  Add(kFitsParamRuleEnd);
  if (img_.GetDimension() > 2) Add(kFitsSiTypeRgb);
  const int planes = std::min(img_.GetPlanes(), 3);
  static constexpr std::string_view kMin[3] = {kFitsMinCommentR, kFitsMinCommentG,
                                               kFitsMinCommentB};
  static constexpr std::string_view kMax[3] = {kFitsMaxCommentR, kFitsMaxCommentG,
                                               kFitsMaxCommentB};
  for (int n = 1; n <= planes; ++n) {
    const bool single = img_.GetPlanes() == 1;
    const std::string minComment(single ? kFitsMinComment : kMin[n - 1]);
    const std::string maxComment(single ? kFitsMaxComment : kMax[n - 1]);
    const std::string minKey = FormatC(std::string(kFitsLevelMinKey).c_str(), n);
    const std::string maxKey = FormatC(std::string(kFitsLevelMaxKey).c_str(), n);
    Add(FormatC("%-8.8s= %20.20s%-50.50s", minKey.c_str(),
                FormatC("%14.6E", img_.GetLevelMin(n - 1)).c_str(), minComment.c_str()));
    Add(FormatC("%-8.8s= %20.20s%-50.50s", maxKey.c_str(),
                FormatC("%14.6E", img_.GetLevelMax(n - 1)).c_str(), maxComment.c_str()));
  }
  rest_.Erase("SI-TYPE");
  for (int n = 1; n <= 3; ++n) {
    rest_.Erase(FormatC("SI-LMIN%d", n));
    rest_.Erase(FormatC("SI-LMAX%d", n));
  }
  if (img_.GetLogScale()) {
    Add(FormatC("SI-LMTD = '%-10.10s'         / METHOD OF LEVEL", "LOG"));
    rest_.Erase("SI-LMTD");
  }
}

// A card as comment cards: "COMMENT " and the card, continued on further COMMENT cards
// when it is longer than the 72 columns one of them holds, so that nothing of it is lost.
// A piece that is followed by another never ends in blanks (they begin the next piece),
// so the pieces joined give the card back even where trailing blanks are ignored.
void Composer::AddCommented(std::string_view card) {
  constexpr std::size_t kRoom = kCardSize - 8;
  while (!card.empty()) {
    std::size_t n = std::min(card.size(), kRoom);
    if (n < card.size()) {
      std::size_t keep = n;
      while (keep > 0 && card[keep - 1] == ' ') --keep;
      if (keep > 0) n = keep;
    }
    Add("COMMENT " + std::string(card.substr(0, n)));
    card.remove_prefix(n);
  }
}

void Composer::CommentOut() {
  auto& cards = rest_.cards();
  auto equals = [&](std::size_t i, std::string_view text) {
    return i < cards.size() && TrimRight(cards[i]) == TrimRight(text);
  };
  // The parameter block of an earlier save.
  for (std::size_t i = 0; i + 2 < cards.size();) {
    if (equals(i, kFitsParamRule) && equals(i + 1, kFitsParamTitle) &&
        equals(i + 2, kFitsParamRuleEnd))
      cards.erase(cards.begin() + static_cast<std::ptrdiff_t>(i),
                  cards.begin() + static_cast<std::ptrdiff_t>(i) + 3);
    else
      ++i;
  }
  Blank();

  // Cards from the banner of an earlier save on were commented out then; only those
  // before it, and uncommented cards behind it, need it now.
  std::size_t end = cards.size();
  for (std::size_t i = 0; i + 2 < cards.size(); ++i)
    if (equals(i, kFitsParamRule) && Begins(cards[i + 1], kFitsCommentOutBanner) &&
        equals(i + 2, kFitsParamRule))
      end = i;
  auto isComment = [](std::string_view c) { return Begins(c, "COMMENT"); };
  auto isEmpty = [](std::string_view c) { return TrimRight(c).empty(); };
  bool earlier = false, later = false;
  for (std::size_t i = 0; i < end; ++i) earlier = earlier || !isEmpty(cards[i]);
  for (std::size_t i = end; i < cards.size(); ++i)
    later = later || (!isComment(cards[i]) && !isEmpty(cards[i]));

  if (earlier || later) {
    Add(kFitsParamRule);
    Add(std::string(kFitsCommentOutBanner) + now_);
    Add(kFitsParamRule);
    if (earlier) {
      for (std::size_t i = 0; i < end; ++i) {
        const std::string_view c = TrimRight(cards[i]);
        if (c.empty() || isComment(c))
          Add(c);
        else
          AddCommented(c);
      }
    }
    Blank();
    for (std::size_t i = end; i < cards.size();) {
      if (!isComment(cards[i]) && !isEmpty(cards[i])) {
        AddCommented(TrimRight(cards[i]));
        cards.erase(cards.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
  }
  while (out_.GetCount() > 0 && isEmpty(out_.GetAt(out_.GetCount() - 1)))
    out_.DeleteAt(out_.GetCount() - 1);
  Blank();
  for (std::size_t i = end; i < cards.size(); ++i) Add(cards[i]);
}

// Bytes of the data unit an extension's cards declare; the record's own fields when its
// cards say nothing usable.
std::uint64_t ExtensionDataBytes(const CFitsExtension& ext) {
  std::uint64_t bytes = 0;
  if (DataUnitBytes(ext.m_Header.Cards(), &bytes)) return bytes;
  return ext.GetDataSize();
}

bool IsAsciiTable(const CFitsExtension& ext) {
  // The value as written, which need not start in the first column allowed it.
  std::string_view value = Trim(ext.GetXtension());
  if (value.empty() && ext.m_Header.GetCount() > 0 && IsKeyword(ext.m_Header.GetAt(0), "XTENSION"))
    value = Trim(Value(ext.m_Header.GetAt(0)));
  const std::size_t close = ClosingQuote(value);
  if (value.empty() || value.front() != '\'' || close == std::string_view::npos) return false;
  return TrimRight(value.substr(1, close - 1)) == "TABLE";
}

bool IsPixelType(int bits) {
  return bits == 8 || bits == 16 || bits == 32 || bits == -32 || bits == -64;
}

}  // namespace

namespace {
int g_keepCardsOverride = -1;
}  // namespace

void CFits::SetKeepCardsOverride(int keep) {
  g_keepCardsOverride = keep < 0 ? -1 : (keep ? 1 : 0);
}

bool CFits::GetKeepCards() {
  if (g_keepCardsOverride >= 0) return g_keepCardsOverride != 0;
  int v = 0;
  CRegistry::Read(kFitsKeepCardsSection, kFitsKeepCardsName, 0, v, CRegistry::TYPE_BOOL);
  return v != 0;
}

CFitsHeader CFits::FormatHeader(const CImage& image, const StoredForm* form) {
  return Composer(image, form).Compose();
}

int CFits::WriteHeader(const CImage& image, AtomicFile& file, const StoredForm* form) {
  try {
    const CFitsHeader header = FormatHeader(image, form);
    RecordWriter records(file);
    for (const std::string& card : header.Cards())
      if (!records.Add(card)) return FITS_WRITE_FAILED;
    return records.Close() ? FITS_OK : FITS_WRITE_FAILED;
  } catch (const std::bad_alloc&) {
    return FITS_WRITE_FAILED;
  }
}

namespace {

// Whether rows stored in `form`, in FITS byte order and row order bottomUp, would be the
// bytes of the data unit the image's pixels are unchanged from.
const StoredDataUnit* UnchangedDataUnit(const CImage& image, const StoredForm& form,
                                        int reverseBytes, int bottomUp) {
  const StoredDataUnit* unit = image.GetUnchangedSource();
  if (!unit || image.GetFirstFits()) return nullptr;
  const int bigEndian = std::endian::native == std::endian::little ? 1 : 0;
  if (reverseBytes != bigEndian || (bottomUp != 0) != (unit->bottomUp != 0)) return nullptr;
  // Blank pixels go out as the form's blank value: the file's own, or none to write.
  const bool blankSame = form.blankUsed
                             ? unit->anyBlank && unit->blankUsed && form.blank == unit->blank
                             : !unit->anyBlank;
  const std::uint64_t bytes =
      static_cast<std::uint64_t>(image.GetWidth()) * static_cast<std::uint64_t>(image.GetHeight()) *
      static_cast<std::uint64_t>(image.GetPlanes()) * static_cast<std::uint64_t>(unit->bits / 8);
  if (form.bits != unit->bits || form.bscale != unit->bscale || form.bzero != unit->bzero ||
      !blankSame || bytes != unit->length)
    return nullptr;
  return unit;
}

// Copies the data unit from the file the pixels were read from; the file must look as it
// did when read before and after the copy, so that no changed byte goes out.
int CopyDataUnit(const StoredDataUnit& unit, AtomicFile& file, int pad, ProgressSink* progress,
                 const std::string& caption) {
  ProgressScope scope(progress, caption);
  const CFitsSourceFile& source = *unit.file;
  constexpr std::uint64_t kPiece = std::uint64_t{32} << 20;
  for (std::uint64_t done = 0; done < unit.length;) {
    const std::uint64_t n = std::min(unit.length - done, kPiece);
    if (!source.IsUnchanged() || file.CopyFrom(source.GetFd(), unit.offset + done, n) != 0) {
      scope.Finish();
      return FITS_WRITE_FAILED;
    }
    // As for converted rows: start writing these bytes out while the next are copied.
    const off_t end = ::lseek(file.fd(), 0, SEEK_CUR);
    if (end >= static_cast<off_t>(n))
      (void)::sync_file_range(file.fd(), end - static_cast<off_t>(n), static_cast<off_t>(n),
                              SYNC_FILE_RANGE_WRITE);
    done += n;
    scope.Update(static_cast<std::int64_t>(done >> 10),
                 static_cast<std::int64_t>(unit.length >> 10));
  }
  scope.Finish();
  if (!source.IsUnchanged()) return FITS_WRITE_FAILED;
  if (pad && !WriteFill(file, PaddingFor(unit.length))) return FITS_WRITE_FAILED;
  return FITS_OK;
}

}  // namespace

int CFits::WriteImage(const CImage& image, AtomicFile& file, int reverseBytes, int pad,
                      int bottomUp, ProgressSink* progress, const std::string& caption,
                      const StoredForm* form) {
  const int bits = form ? form->bits : image.GetBitsPixel();
  if (!IsPixelType(bits) || image.IsEmpty() || image.GetWidth() <= 0) return FITS_WRITE_FAILED;
  // Pixels unchanged since they were read from a data unit of this very form: the unit
  // itself goes out, without converting each value back.
  if (form)
    if (const StoredDataUnit* unit = UnchangedDataUnit(image, *form, reverseBytes, bottomUp))
      return CopyDataUnit(*unit, file, pad, progress, caption);
  const int width = image.GetWidth();
  const std::size_t rowBytes =
      static_cast<std::size_t>(width) * static_cast<std::size_t>((bits < 0 ? -bits : bits) / 8);
  // Rows are gathered into one buffer of about a megabyte (at least one row).
  std::vector<std::uint8_t> buffer(std::max(rowBytes, kChunkBytes / rowBytes * rowBytes));
  const int batch = static_cast<int>(buffer.size() / rowBytes);
  auto flush = [&](std::size_t bytes) {
    const bool ok = bytes == 0 || file.Write(buffer.data(), bytes) == 0;
    // Start writing these bytes out while the next rows are prepared, so that the flush
    // that ends the save has less left to wait for. Only a hint; its failure changes
    // nothing.
    const off_t end = ok && bytes > 0 ? ::lseek(file.fd(), 0, SEEK_CUR) : -1;
    if (end >= static_cast<off_t>(bytes))
      (void)::sync_file_range(file.fd(), end - static_cast<off_t>(bytes), static_cast<off_t>(bytes),
                              SYNC_FILE_RANGE_WRITE);
    return ok;
  };

  const int planes = image.GetPlanes();
  const int height = image.GetHeight();
  const int rows = image.GetFirstFits() && planes <= 1 ? 1 : height;
  const std::int64_t total = static_cast<std::int64_t>(planes) * rows;
  std::uint64_t written = 0;
  ProgressScope scope(progress, caption);
  CVmImage* store = image.GetStore();
  CRowPins pins(*store, 1);
  auto imageRow = [&](int r) { return bottomUp ? rows - 1 - r : r; };
  for (int p = 0; p < planes; ++p) {
    for (int r = 0; r < rows;) {
      // A run of file rows whose image rows are pinned together; each row is stored (or
      // copied) into its place in the buffer and put in file order, the rows shared among
      // the pool's threads.
      int n = std::min(batch, rows - r);
      int y0 = 0;
      for (;;) {
        y0 = bottomUp ? imageRow(r + n - 1) : imageRow(r);
        const int pinned = pins.Pin(p, y0, n, 16);
        if (pinned <= 0) {
          scope.Finish();
          return FITS_WRITE_FAILED;
        }
        if (pinned >= n) break;
        n = pinned;
      }
      rowpool::Run(n, 4, [&](int b, int e) {
        for (int i = b; i < e; ++i) {
          std::uint8_t* to = buffer.data() + static_cast<std::size_t>(i) * rowBytes;
          const void* from = pins.Row(imageRow(r + i) - y0);
          if (form)
            image.StoreRow(from, *form, to);
          else
            std::memcpy(to, from, rowBytes);
          if (reverseBytes) ReverseByteOrderBuffer(to, bits, static_cast<std::size_t>(width));
        }
      });
      pins.Release();
      const std::size_t bytes = static_cast<std::size_t>(n) * rowBytes;
      if (!flush(bytes)) {
        scope.Finish();
        return FITS_WRITE_FAILED;
      }
      written += bytes;
      r += n;
      scope.Update(static_cast<std::int64_t>(p) * rows + r, total);
    }
  }
  if (pad && !WriteFill(file, PaddingFor(written))) {
    scope.Finish();
    return FITS_WRITE_FAILED;
  }
  return FITS_OK;
}

int CFits::WriteExtension(const CImage& image, AtomicFile& file) {
  try {
    for (const CFitsExtension& ext : image.m_FitsExtensions) {
      RecordWriter records(file);
      for (const std::string& card : ext.m_Header.Cards()) {
        if (IsKeyword(card, "END")) continue;
        if (!records.Add(card)) return FITS_WRITE_FAILED;
      }
      if (!records.Add("END") || !records.Close()) return FITS_WRITE_FAILED;
      const std::uint64_t size = ExtensionDataBytes(ext);
      if (size == 0) continue;
      // The data unit as declared: what the record holds, then fill should it hold less.
      // ASCII tables are filled with blanks, everything else with zeros.
      const char fill = IsAsciiTable(ext) ? ' ' : '\0';
      const std::uint64_t held = std::min<std::uint64_t>(size, ext.GetDataLength());
      if ((held > 0 && file.Write(ext.GetData(), static_cast<std::size_t>(held)) != 0) ||
          !WriteFill(file, size - held, fill) || !WriteFill(file, PaddingFor(size), fill))
        return FITS_WRITE_FAILED;
    }
    // The kept extensions exactly as they were read; a record the source left incomplete
    // is completed with blanks (header) or zeros (data).
    for (const CFitsKeptExtension& kept : image.m_KeptExtensions) {
      const std::string_view header = kept.GetHeader();
      if (file.Write(header.data(), header.size()) != 0 ||
          !WriteFill(file, PaddingFor(header.size()), ' ') ||
          !kept.CopyData([&](const void* p, std::size_t n) { return file.Write(p, n) == 0; }) ||
          !WriteFill(file, PaddingFor(kept.GetDataLength())))
        return FITS_WRITE_FAILED;
    }
    return FITS_OK;
  } catch (const std::bad_alloc&) {
    return FITS_WRITE_FAILED;
  }
}

int CFits::Write(const CImage& image, const std::string& path, ProgressSink* progress,
                 const std::string& caption, const StoredForm* form) {
  try {
    // Kept data units copied from a source file that has since been changed in place
    // would not be the bytes that were read: refuse before anything is written.
    for (const CFitsKeptExtension& kept : image.m_KeptExtensions)
      if (kept.GetSourceFile() && !kept.GetSourceFile()->IsUnchanged()) return FITS_WRITE_FAILED;
    AtomicFile file;
    if (int e = file.Open(path)) return FioCodeOfNameError(e, FITS_CREATE_FAILED);
    if (int rc = WriteInto(image, file, progress, caption, form)) return rc;
    if (file.Commit() != 0) return FITS_WRITE_FAILED;
    return FITS_OK;
  } catch (const std::bad_alloc&) {
    return FITS_WRITE_FAILED;
  }
}

int CFits::WriteInto(const CImage& image, AtomicFile& file, ProgressSink* progress,
                     const std::string& caption, const StoredForm* form) {
  try {
    // Write checks this before it creates anything; a caller that opened the file has not.
    for (const CFitsKeptExtension& kept : image.m_KeptExtensions)
      if (kept.GetSourceFile() && !kept.GetSourceFile()->IsUnchanged()) return FITS_WRITE_FAILED;
    const int bottomUp = [] {
      int v = 1;
      CRegistry::Read("IO", "FitsBottomUp", 1, v, CRegistry::TYPE_BOOL);
      return v;
    }();
    // Pixels are stored in the machine's order; FITS data are big-endian.
    const int reverse = std::endian::native == std::endian::little ? 1 : 0;
    if (int rc = WriteHeader(image, file, form)) return rc;
    if (int rc = WriteImage(image, file, reverse, 1, bottomUp, progress, caption, form)) return rc;
    return WriteExtension(image, file);
  } catch (const std::bad_alloc&) {
    return FITS_WRITE_FAILED;
  }
}
