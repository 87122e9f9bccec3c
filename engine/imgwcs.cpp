// How a mirror acts on the coordinate description. Pixel coordinates enter it only as the
// offsets u = p1 − CRPIX1, v = p2 − CRPIX2: the world position is
//   x = M · (u + f(u, v), v + g(u, v)),  f = Σ A_pq u^p v^q,  g = Σ B_pq u^p v^q,
// with M the CD matrix (or PC scaled by CDELT) and f, g the SIP terms, zero without
// them. Mirroring axis 1 maps p1 to n + 1 − p1; with CRPIX1' = n + 1 − CRPIX1 that is
// u' = −u, so x stays the same when column 1 of M changes sign and the corrections obey
// f'(u', v') = −f(−u', v') and g'(u', v') = g(−u', v'): A_pq takes the sign −(−1)^p and
// B_pq the sign (−1)^p. The inverse polynomials AP and BP, in the offsets
// M⁻¹ · x, mirror the same way. For axis 2 the roles of u and v, p and q, A and B trade.
#include "engine/imgwcs.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "imagemodel/image.h"

namespace {

bool AllDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// Parses "digits_digits", as in the indices of CDi_j or A_p_q.
bool IndexPair(std::string_view s, int* a, int* b) {
  const std::size_t bar = s.find('_');
  if (bar == std::string_view::npos) return false;
  const std::string_view first = s.substr(0, bar), second = s.substr(bar + 1);
  if (!AllDigits(first) || !AllDigits(second) || first.size() > 2 || second.size() > 2)
    return false;
  *a = std::stoi(std::string(first));
  *b = std::stoi(std::string(second));
  return true;
}

std::string_view Trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// The keyword field of a card without its trailing blanks.
std::string_view KeywordOf(std::string_view card) {
  return Trim(card.substr(0, std::min<std::size_t>(8, card.size())));
}

// A real value as FITS writes it, Fortran's D exponent included; false for anything
// that is not one finite number.
bool ParseReal(std::string_view text, double* v) {
  std::string s(Trim(text));
  if (!s.empty() && s[0] == '+') {
    s.erase(0, 1);
    if (!s.empty() && s[0] == '-') return false;
  }
  for (char& c : s)
    if (c == 'D' || c == 'd') c = 'E';
  const char* end = s.data() + s.size();
  const auto [ptr, ec] = std::from_chars(s.data(), end, *v);
  return !s.empty() && ec == std::errc() && ptr == end && std::isfinite(*v);
}

// −v, never a negative zero (which a card would show as "-0.0").
double Negated(double v) {
  return v == 0.0 ? 0.0 : -v;
}

void NegateColumn(tagMATRIX2_2* m, int column) {
  if (column == 0) {
    m->m11 = Negated(m->m11);
    m->m21 = Negated(m->m21);
  } else {
    m->m12 = Negated(m->m12);
    m->m22 = Negated(m->m22);
  }
}

// Rewrites a numeric card with the value f gives for it, keeping its comment. A value
// that cannot be read is left as it stands.
template <typename F>
void RewriteCardValue(std::string& card, F f) {
  if (card.size() <= 10 || card.compare(8, 2, "= ") != 0) return;
  const std::string_view field = std::string_view(card).substr(10);
  const std::size_t slash = field.find('/');
  double v = 0;
  if (!ParseReal(field.substr(0, slash), &v)) return;
  const std::string comment =
      slash == std::string_view::npos ? std::string() : std::string(Trim(field.substr(slash)));
  std::string out = FitsValueCard(KeywordOf(card), FitsRealText(f(v)));
  if (!comment.empty()) out += " " + comment;
  out.resize(80, ' ');
  card = out;
}

void NegateCardValue(std::string& card) {
  RewriteCardValue(card, Negated);
}

// Turns the sign of every SIP coefficient that the mirror of axis (1 or 2) turns.
void MirrorSip(CFitsHeader& header, int axis) {
  for (int i = 0; i < header.GetCount(); ++i) {
    int corrects = 0, p = 0, q = 0;
    if (!FitsSipTerm(KeywordOf(header.GetAt(i)), &corrects, &p, &q)) continue;
    const int power = axis == 1 ? p : q;
    const bool negate = (power % 2 == 1) != (corrects == axis);
    if (!negate) continue;
    std::string card = header.GetAt(i);
    NegateCardValue(card);
    header.SetAt(i, card);
  }
}

std::vector<std::string> CoordinateCards(const CFitsHeader& header) {
  std::vector<std::string> cards;
  for (const std::string& card : header.Cards())
    if (CImgWcs::IsCoordinateKeyword(KeywordOf(card))) cards.push_back(card);
  return cards;
}

}  // namespace

bool CImgWcs::HasWorldCoordinates(const CImage& image) {
  if (image.GetLTMtx(nullptr) != 0) return true;
  std::string text;
  for (int a = 0; a < 2; ++a) {
    double v;
    if (image.GetCType(a, &text) || image.GetCRPix(a, &v) || image.GetCRVal(a, &v) ||
        image.GetCDelt(a, &v))
      return true;
  }
  return false;
}

bool CImgWcs::IsCoordinateKeyword(std::string_view key) {
  if (IsFitsPlateSolutionKey(key)) return true;
  for (const char* k : {"WCSAXES", "WCSAXIS", "WCSNAME", "LONPOLE", "LATPOLE", "EQUINOX", "EPOCH",
                        "RADESYS", "RADECSYS", "DISPAXIS", "RESTFRQ", "RESTFREQ", "RESTWAV",
                        "A_ORDER", "B_ORDER", "AP_ORDER", "BP_ORDER", "A_DMAX", "B_DMAX"})
    if (key == k) return true;
  for (const char* k : {"CTYPE", "CUNIT", "CRPIX", "CRVAL", "CDELT", "CROTA", "RESTFRQ", "RESTWAV"})
    if (key.substr(0, std::string_view(k).size()) == k &&
        AllDigits(key.substr(std::string_view(k).size())))
      return true;
  int a = 0, b = 0;
  if (key.size() > 2 && (key.substr(0, 2) == "CD" || key.substr(0, 2) == "PC" ||
                         key.substr(0, 2) == "PV" || key.substr(0, 2) == "PS"))
    if (IndexPair(key.substr(2), &a, &b)) return true;
  // The old PCiiijjj form of the matrix.
  if (key.size() == 8 && key.substr(0, 2) == "PC" && AllDigits(key.substr(2))) return true;
  int corrects = 0;
  return FitsSipTerm(key, &corrects, &a, &b);
}

// A plate solution places the image on the plate by the corner of the scan (CNPIX1,
// CNPIX2, in plate pixels): moving the grid by (dx, dy) moves the corner by as much.
void CImgWcs::ShiftPlateSolution(CImage& image, double dx, double dy) {
  CFitsHeader& header = image.m_FitsHeader;
  for (int i = 0; i < header.GetCount(); ++i) {
    const std::string_view key = KeywordOf(header.GetAt(i));
    const double d = key == "CNPIX1" ? dx : key == "CNPIX2" ? dy : 0.0;
    if (d == 0.0) continue;
    std::string card = header.GetAt(i);
    RewriteCardValue(card, [d](double v) { return v + d; });
    header.SetAt(i, card);
  }
}

void CImgWcs::DropPlateSolution(CImage& image) {
  CFitsHeader& header = image.m_FitsHeader;
  for (int i = header.GetCount() - 1; i >= 0; --i)
    if (IsFitsPlateSolutionKey(KeywordOf(header.GetAt(i)))) header.DeleteAt(i);
}

void CImgWcs::Mirror(CImage& image, int axis) {
  if (axis != 1 && axis != 2) return;
  // A one-dimensional image is written as one row: it has no second FITS axis.
  if (axis == 2 && image.GetFirstFits() && image.GetPlanes() <= 1) return;
  DropPlateSolution(image);
  if (!HasWorldCoordinates(image)) return;
  const int i = axis - 1;
  const double n = axis == 1 ? image.GetWidth() : image.GetHeight();

  // The model answers 1.0 for a reference pixel that is not given, but a file without
  // CRPIX puts it at 0, and that is where every reader of the saved file takes it.
  double crpix = 0.0;
  if (!image.GetCRPix(i, &crpix)) crpix = 0.0;
  image.SetCRPix(i, n + 1.0 - crpix);

  tagMATRIX2_2 m;
  const int kind = image.GetLTMtx(&m);
  if (kind == 1 || kind == 2) {
    NegateColumn(&m, i);
    image.SetLTMtx(m, kind);
  } else {
    double cdelt = 1.0;
    image.GetCDelt(i, &cdelt);
    image.SetCDelt(i, Negated(cdelt));
  }
  // The matrices as the header gave them follow, so that they still agree.
  if (image.UsedCD()) {
    image.GetCDMtx(&m);
    NegateColumn(&m, i);
    image.SetCDMtx(m);
  }
  if (image.UsedPC()) {
    image.GetPCMtx(&m);
    NegateColumn(&m, i);
    image.SetPCMtx(m);
  }
  if (image.UsedTolvenaPC()) {
    image.GetTolvenaPCMtx(&m);
    NegateColumn(&m, i);
    image.SetTolvenaPCMtx(m);
  }
  MirrorSip(image.m_FitsHeader, axis);
}

void CImgWcs::Shift(CImage& image, double dx, double dy) {
  // A one-dimensional image is written as one row: it has no second FITS axis.
  const bool oneDimensional = image.GetFirstFits() && image.GetPlanes() <= 1;
  ShiftPlateSolution(image, dx, oneDimensional ? 0.0 : dy);
  if (!HasWorldCoordinates(image)) return;
  for (int i = 0; i < 2; ++i) {
    const double d = i == 0 ? dx : dy;
    if (d == 0.0 || (i == 1 && oneDimensional)) continue;
    double crpix = 0.0;
    if (!image.GetCRPix(i, &crpix)) crpix = 0.0;
    image.SetCRPix(i, crpix - d);
  }
}

void CImgWcs::CopyFrom(CImage& image, const CImage& source) {
  if (&image == &source) return;
  image.CopyWorldCoordinates(source);
  const std::vector<std::string> wanted = CoordinateCards(source.m_FitsHeader);
  if (CoordinateCards(image.m_FitsHeader) == wanted) return;
  CFitsHeader& header = image.m_FitsHeader;
  for (int i = header.GetCount() - 1; i >= 0; --i)
    if (IsCoordinateKeyword(KeywordOf(header.GetAt(i)))) header.DeleteAt(i);
  // The source's cards go where the header ends, before its END card if it has one.
  int at = header.Find("END");
  if (at < 0) at = header.GetCount();
  for (const std::string& card : wanted) header.InsertAt(at++, card);
}
