// The header editor's rules: card layout, block moves, the dispersion-axis settings and
// the printed pages.
#include "fits/headeredit.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "platform/clocale.h"

namespace headeredit {

namespace {

std::string_view Trim(std::string_view s) {
  const auto b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  const auto e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

// The END keyword alone on its card.
bool IsEndCard(std::string_view card) {
  return StartsWith(card, "END") && Trim(card.substr(3)).empty();
}

bool Valid(const CFitsHeader& header, int first, int last) {
  return first >= 0 && first <= last && last < header.GetCount();
}

}  // namespace

std::string PadCard(std::string_view text) {
  std::string card(text.substr(0, std::min<std::size_t>(text.size(), kCardColumns)));
  card.resize(kCardColumns, ' ');
  return card;
}

std::string StringValue(std::string_view quoted) {
  quoted = Trim(quoted);
  if (quoted.empty() || quoted.front() != '\'') return std::string(quoted);
  std::string out;
  for (std::size_t i = 1; i < quoted.size(); ++i) {
    if (quoted[i] != '\'') {
      out += quoted[i];
      continue;
    }
    if (i + 1 < quoted.size() && quoted[i + 1] == '\'') {
      out += '\'';
      ++i;
      continue;
    }
    break;  // the closing quote
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

CardParts ParseCard(std::string_view card) {
  CardParts parts;
  parts.keyword = std::string(Trim(card.substr(0, std::min<std::size_t>(card.size(), 8))));
  if (card.size() < 10 || card.compare(8, 2, "= ") != 0) {
    parts.comment = card.size() > 8 ? std::string(Trim(card.substr(8))) : std::string();
    return parts;
  }
  parts.valued = true;
  std::string_view rest = card.substr(10);
  const std::size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) return parts;
  std::size_t end = std::string_view::npos;  // where the value ends
  if (rest[start] == '\'') {
    parts.isString = true;
    std::size_t i = start + 1;
    for (; i < rest.size(); ++i) {
      if (rest[i] != '\'') continue;
      if (i + 1 < rest.size() && rest[i + 1] == '\'') {
        ++i;
        continue;
      }
      break;
    }
    end = std::min(i + 1, rest.size());
    parts.value = StringValue(rest.substr(start, end - start));
  } else {
    end = rest.find('/', start);
    parts.value = std::string(Trim(
        rest.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start)));
  }
  if (end != std::string_view::npos && end < rest.size()) {
    const std::size_t slash = rest.find('/', end);
    if (slash != std::string_view::npos) parts.comment = std::string(Trim(rest.substr(slash + 1)));
  }
  return parts;
}

int InsertCard(CFitsHeader& header, int first, std::string_view text) {
  const std::string card = PadCard(text);
  if (first < 0 || first >= header.GetCount()) {
    // Nothing selected: last, but before an END card, after which nothing is read.
    int at = header.GetCount();
    while (at > 0 && header.GetAt(at - 1).find_first_not_of(' ') == std::string::npos) --at;
    if (at > 0 && IsEndCard(header.GetAt(at - 1)))
      --at;
    else
      at = header.GetCount();
    header.InsertAt(at, card);
    return at;
  }
  header.InsertAt(first, card);
  return first;
}

int DeleteCards(CFitsHeader& header, std::vector<int> indices) {
  std::sort(indices.begin(), indices.end(), std::greater<>());
  indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
  int deleted = 0;
  for (int i : indices)
    if (i >= 0) deleted += header.DeleteAt(i);
  return deleted;
}

bool MoveBlockUp(CFitsHeader& header, int first, int last) {
  if (!Valid(header, first, last) || first == 0) return false;
  const std::string above = header.GetAt(first - 1);
  header.DeleteAt(first - 1);
  header.InsertAt(last, above);
  return true;
}

bool MoveBlockDown(CFitsHeader& header, int first, int last) {
  if (!Valid(header, first, last) || last >= header.GetCount() - 1) return false;
  const std::string below = header.GetAt(last + 1);
  header.DeleteAt(last + 1);
  header.InsertAt(first, below);
  return true;
}

// ---- dispersion axis

const std::vector<AxisTypeEntry>& AxisTypes() {
  static const std::vector<AxisTypeEntry> types = {
      {"", kUndefinedType}, {"WAVE", "波長(真空中)"}, {"AWAV", "波長(空気中)"},
      {"FREQ", "周波数"},   {"ENER", "エネルギー"},   {"WAVN", "波数"},
  };
  return types;
}

const std::vector<AxisTypeEntry>& AxisUnits(int typeIndex) {
  static const std::vector<AxisTypeEntry> none;
  static const std::vector<AxisTypeEntry> wavelength = {
      {"Angstrom", "Angstrom"}, {"nm", "nm"}, {"um", "μm"}, {"mm", "mm"}, {"cm", "cm"}, {"m", "m"},
      {"log(m)", "log(m)"},
  };
  static const std::vector<AxisTypeEntry> frequency = {
      {"THz", "THz"}, {"GHz", "GHz"}, {"MHz", "MHz"}, {"log(Hz)", "log(Hz)"}};
  static const std::vector<AxisTypeEntry> energy = {{"eV", "eV"}, {"keV", "keV"}};
  static const std::vector<AxisTypeEntry> wavenumber = {
      {"/cm", "/cm (カイザー)"}, {"/mm", "/mm"}, {"/um", "/μm"}};
  switch (typeIndex) {
    case 1:
    case 2:
      return wavelength;
    case 3:
      return frequency;
    case 4:
      return energy;
    case 5:
      return wavenumber;
    default:
      return none;
  }
}

int FindAxisType(std::string_view type) {
  std::string t = Upper(StringValue(type));
  if (t.size() > 4 && StartsWith(t.substr(4), "-LOG") && Trim(t.substr(8)).empty()) t.resize(4);
  const auto& types = AxisTypes();
  for (std::size_t i = 0; i < types.size(); ++i)
    if (t == types[i].value) return static_cast<int>(i);
  return -1;
}

int FindAxisUnit(int typeIndex, std::string_view unit) {
  const std::string u = StringValue(unit);
  const auto& units = AxisUnits(typeIndex);
  for (std::size_t i = 0; i < units.size(); ++i)
    if (u == units[i].value) return static_cast<int>(i);
  return -1;
}

std::string OtherText(std::string_view text) {
  return "その他(" + std::string(text) + ")";
}

std::string FormatAxisNumber(double value, bool referencePixel) {
  const std::string text = referencePixel ? FormatC("%20.1f", value) : FormatC("%20.8f", value);
  std::string s(Trim(text));
  const std::size_t point = s.find('.');
  if (point == std::string::npos) return s;
  while (s.size() > point + 1 && s.back() == '0') s.pop_back();
  if (s.back() == '.') s += '0';
  return s;
}

AxisSettings LoadAxisSettings(const CImage& image) {
  AxisSettings s;
  int axis = 0;
  s.axis = image.GetDispAxis(&axis) ? axis : 0;
  for (int i = 0; i < 2; ++i) {
    std::string text;
    image.GetCType(i, &text);
    s.type[i] = StringValue(text);
    image.GetCUnit(i, &text);
    s.unit[i] = StringValue(text);
    image.GetCRPix(i, &s.crpix[i]);
    double v = 0.0;
    if (image.GetCRVal(i, &v)) s.crval[i] = v;
    if (image.GetCDelt(i, &v)) s.cdelt[i] = v;
  }
  tagMATRIX2_2 m;
  if (image.GetLTMtx(&m) != 0) {
    s.matrix = true;
    s.mtx = m;
  }
  return s;
}

int ApplyAxisSettings(CImage& image, const AxisSettings& s) {
  if (s.axis != 1 && s.axis != 2) {
    image.ClearPhysicalCoord(-1);
    return kAxisOk;
  }
  if (s.matrix && s.mtx.m11 * s.mtx.m22 - s.mtx.m12 * s.mtx.m21 == 0.0) return kAxisSingular;
  const int i = s.axis - 1;
  // Both axes are cleared; the chosen one is written again below.
  image.ClearPhysicalCoord(2);
  std::string type = s.type[i];
  const std::string& unit = s.unit[i];
  if (StartsWith(unit, "log(")) {
    // A "-LOG" already there is not doubled.
    if (!(type.size() >= 4 && Upper(type.substr(type.size() - 4)) == "-LOG")) type += "-LOG";
  }
  image.SetCType(i, FormatC("'%-8.8s'", type.c_str()));
  image.SetCUnit(i, unit.empty() ? std::string("' '") : "'" + unit + "'");
  image.SetDispAxis(s.axis);
  image.SetCRPix(0, s.crpix[0]);
  image.SetCRPix(1, s.crpix[1]);
  image.SetCRVal(i, s.crval[i]);
  image.SetCDelt(i, s.cdelt[i]);
  if (s.matrix)
    image.SetLTMtx(s.mtx, 2);
  else
    image.ClearLTMtx();
  return kAxisOk;
}

// ---- printing

std::vector<std::vector<std::string>> PrintPages(const CFitsHeader& header, std::string_view title,
                                                 int linesPerPage) {
  const int perPage = std::max(1, linesPerPage - 4);
  std::vector<std::vector<std::string>> pages;
  int next = 0;
  do {
    std::vector<std::string> page;
    page.push_back("FITS Header [" + std::string(title) + "]  Page " +
                   std::to_string(pages.size() + 1));
    page.emplace_back();
    page.emplace_back(kRuler1);
    page.emplace_back(kRuler2);
    for (int n = 0; n < perPage && next < header.GetCount(); ++n)
      page.push_back(header.GetAt(next++));
    pages.push_back(std::move(page));
  } while (next < header.GetCount());
  return pages;
}

}  // namespace headeredit
