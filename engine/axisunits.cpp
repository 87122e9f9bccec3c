// The spectral-axis questions of the engine's image: which axis is spectral, what its type
// and unit are, the factor of a unit's SI prefix, and whether the axis converts to a
// wavelength. Axis types are those of the FITS spectral world-coordinate paper
// (Greisen et al. 2006, FITS paper III); header values may still carry their quotes.
#include <array>
#include <cctype>
#include <string>
#include <string_view>

#include "engine/ralimage.h"

namespace {

constexpr std::array<std::string_view, 10> kSpectralTypes = {
    "FREQ", "ENER", "WAVN", "VRAD", "WAVE", "VOPT", "ZOPT", "AWAV", "VELO", "BETA"};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A header text without its quotes and surrounding blanks.
std::string_view Unquote(std::string_view s) {
  s = Trim(s);
  if (!s.empty() && s.front() == '\'') s.remove_prefix(1);
  if (!s.empty() && s.back() == '\'') s.remove_suffix(1);
  return Trim(s);
}

bool StartsWith(std::string_view s, std::string_view p) {
  return s.substr(0, p.size()) == p;
}
bool EndsWith(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

// "log(" in either case, as the header editor writes it and as other programs do.
bool IsLogUnit(std::string_view u) {
  if (u.size() < 5 || u.back() != ')') return false;
  return std::tolower(static_cast<unsigned char>(u[0])) == 'l' &&
         std::tolower(static_cast<unsigned char>(u[1])) == 'o' &&
         std::tolower(static_cast<unsigned char>(u[2])) == 'g' && u[3] == '(';
}

// The factor of an SI prefix, 0 when the text is none.
double PrefixFactor(std::string_view p) {
  struct Prefix {
    std::string_view text;
    double factor;
  };
  static constexpr Prefix kPrefixes[] = {
      {"", 1.0},          {"Y", 1e24},  {"Z", 1e21},  {"E", 1e18},
      {"P", 1e15},        {"T", 1e12},  {"G", 1e9},   {"M", 1e6},
      {"k", 1e3},         {"h", 1e2},   {"da", 1e1},  {"d", 1e-1},
      {"c", 1e-2},        {"m", 1e-3},  {"u", 1e-6},  {"\xCE\xBC", 1e-6},  // Greek small mu
      {"\xC2\xB5", 1e-6},                                                  // micro sign
      {"n", 1e-9},        {"p", 1e-12}, {"f", 1e-15}, {"a", 1e-18},
      {"z", 1e-21},       {"y", 1e-24}};
  for (const Prefix& x : kPrefixes)
    if (x.text == p) return x.factor;
  return 0.0;
}

// Factor of a prefixed unit with the given base ("km" and "m" give 1e3), 0 otherwise.
double Prefixed(std::string_view u, std::string_view base) {
  if (!EndsWith(u, base)) return 0.0;
  return PrefixFactor(u.substr(0, u.size() - base.size()));
}

bool IsSpectralType(std::string_view t) {
  for (std::string_view s : kSpectralTypes)
    if (t == s) return true;
  return false;
}

}  // namespace

bool CRalImage::GetAxisInfo(int axis, std::string* type, std::string* unit, int* isLog) const {
  if (type) type->clear();
  if (unit) unit->clear();
  if (isLog) *isLog = 0;
  std::string stored;
  if ((axis != 0 && axis != 1) || !GetCType(axis, &stored)) return false;
  const std::string_view t = Unquote(stored);
  if (t.empty()) return false;
  // Characters 1 to 4 are the type, 6 to 8 the algorithm code ("WAVE-LOG").
  std::string_view name = t.substr(0, 4);
  while (!name.empty() && (name.back() == '-' || name.back() == ' ')) name.remove_suffix(1);
  std::string_view code = t.size() > 5 && t[4] == '-' ? Trim(t.substr(5, 3)) : std::string_view{};
  std::string storedUnit;
  GetCUnit(axis, &storedUnit);
  const std::string_view u = Unquote(storedUnit);
  if (type) type->assign(name);
  if (unit) unit->assign(u);
  if (isLog) *isLog = (code == "LOG" || IsLogUnit(u)) ? 1 : 0;
  return true;
}

std::string CRalImage::CTypeToStr(std::string_view type) {
  struct Name {
    std::string_view type, name;
  };
  static constexpr Name kNames[] = {
      {"FREQ", "周波数"},     {"ENER", "ｴﾈﾙｷﾞｰ"},   {"WAVN", "波数"},
      {"VRAD", "電波速度"},   {"WAVE", "波長"},       {"VOPT", "光学速度"},
      {"ZOPT", "赤方偏移"},   {"AWAV", "空気波長"},   {"VELO", "視線速度"},
      {"BETA", "速度比"},     {"LINEAR", "線形"}};
  const std::string_view t = Unquote(type);
  for (const Name& n : kNames)
    if (n.type == t) return std::string(n.name);
  return std::string(t);
}

bool CRalImage::IsSpectrum(int* axis) const {
  auto spectral = [this](int a) {
    std::string type;
    return GetAxisInfo(a, &type, nullptr, nullptr) && IsSpectralType(type);
  };
  int disp = 0;
  int found = -1;
  if (GetDispAxis(&disp) && spectral(disp - 1)) found = disp - 1;
  for (int a = 0; a < 2 && found < 0; ++a)
    if (spectral(a)) found = a;
  if (found < 0) return false;
  if (axis) *axis = found;
  return true;
}

double CRalImage::AnalyzeUnitPrefix(std::string_view unit, std::string* base) {
  std::string_view u = Unquote(unit);
  if (IsLogUnit(u)) u = Trim(u.substr(4, u.size() - 5));
  auto give = [base](std::string_view name, double factor) {
    if (base) base->assign(factor != 0.0 ? name : std::string_view{});
    return factor;
  };
  if (u.empty()) return give("", 1.0);
  if (u == "Angstrom" || u == "angstrom" || u == "\xC3\x85" /* Å */) return give("Angstrom", 1.0);
  if (u == "erg") return give("erg", 1.0);
  // Wavenumbers: "/cm", "cm-1", "cm^-1"; a length per unit, so the factor inverts.
  std::string_view per;
  if (StartsWith(u, "/"))
    per = u.substr(1);
  else if (EndsWith(u, "^-1"))
    per = u.substr(0, u.size() - 3);
  else if (EndsWith(u, "-1"))
    per = u.substr(0, u.size() - 2);
  if (!per.empty()) {
    const double length = Prefixed(Trim(per), "m");
    return give("m-1", length != 0.0 ? 1.0 / length : 0.0);
  }
  for (std::string_view b : {"Hz", "eV", "J", "m"}) {
    const double f = Prefixed(u, b);
    if (f != 0.0) return give(b, f);
  }
  return give("", 0.0);
}

bool CRalImage::IsSpectrumFalseColorSupported() const {
  int axis = 0;
  std::string type, unit, base;
  if (!IsSpectrum(&axis) || !GetAxisInfo(axis, &type, &unit, nullptr)) return false;
  if (AnalyzeUnitPrefix(unit, &base) == 0.0) return false;
  if (type == "FREQ") return base.empty() || base == "Hz";
  if (type == "ENER") return base.empty() || base == "J" || base == "eV" || base == "erg";
  if (type == "WAVN") return base.empty() || base == "m-1";
  if (type == "WAVE" || type == "AWAV") return base.empty() || base == "m" || base == "Angstrom";
  return false;  // velocities and redshifts need rest values the display does not use
}
