#include "imagemodel/fitsheader.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>

#include "platform/clocale.h"

namespace {

const std::string kEmpty;

std::string_view FirstEight(std::string_view card) {
  return card.substr(0, 8);
}

// Cuts to at most n bytes without splitting a UTF-8 character, then pads to n bytes.
std::string FixedWidth(std::string_view text, std::size_t n) {
  std::string out;
  if (text.size() <= n) {
    out = std::string(text);
  } else {
    std::size_t cut = n;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    out = std::string(text.substr(0, cut));
  }
  out.resize(n, ' ');
  return out;
}

}  // namespace

std::string FitsKeyword(std::string_view keyword) {
  return FixedWidth(keyword, 8);
}

bool IsCardKeyword(std::string_view card, std::string_view keyword) {
  for (std::size_t i = 0; i < 8; ++i) {
    const char a = i < card.size() ? card[i] : ' ';
    const char b = i < keyword.size() ? keyword[i] : ' ';
    if (a != b) return false;
  }
  return true;
}

std::string FitsRealText(double v) {
  if (v == 0.0) return "0.0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
  const std::string shortest(buffer, result.ptr);
  const std::size_t e = shortest.find('e');
  std::string mantissa = shortest.substr(0, e);
  if (mantissa.find('.') == std::string::npos) mantissa += ".0";
  return e == std::string::npos ? mantissa : mantissa + "E" + shortest.substr(e + 1);
}

std::string FitsValueCard(std::string_view keyword, std::string_view value) {
  std::string card = FitsKeyword(keyword) + "= ";
  if (value.size() < 20) card.append(20 - value.size(), ' ');
  card += value;
  return card;
}

bool FitsSipTerm(std::string_view keyword, int* corrects, int* p, int* q) {
  const std::size_t prefix = keyword.substr(0, 3) == "AP_" || keyword.substr(0, 3) == "BP_" ? 2
                             : keyword.substr(0, 2) == "A_" || keyword.substr(0, 2) == "B_" ? 1
                                                                                            : 0;
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (prefix == 0 || keyword.size() != prefix + 4 || !digit(keyword[prefix + 1]) ||
      keyword[prefix + 2] != '_' || !digit(keyword[prefix + 3]))
    return false;
  *corrects = keyword[0] == 'A' ? 1 : 2;
  *p = keyword[prefix + 1] - '0';
  *q = keyword[prefix + 3] - '0';
  return true;
}

bool FitsCardReal(std::string_view card, double* v) {
  if (card.size() <= 10 || card.substr(8, 2) != "= ") return false;
  std::string_view field = card.substr(10);
  field = field.substr(0, field.find('/'));
  const std::size_t first = field.find_first_not_of(' ');
  if (first == std::string_view::npos) return false;
  std::string s(field.substr(first, field.find_last_not_of(' ') - first + 1));
  for (char& c : s)
    if (c == 'D' || c == 'd') c = 'E';
  if (s[0] == '+') s.erase(0, 1);
  const char* end = s.data() + s.size();
  const auto [ptr, ec] = std::from_chars(s.data(), end, *v);
  return !s.empty() && ec == std::errc() && ptr == end && std::isfinite(*v);
}

const std::vector<std::string>& FitsPlateSolutionKeys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> k = {"PLTRAH",   "PLTRAM",   "PLTRAS",  "PLTDECSN",
                                  "PLTDECD",  "PLTDECM",  "PLTDECS", "PLTSCALE",
                                  "XPIXELSZ", "YPIXELSZ", "CNPIX1",  "CNPIX2"};
    for (int i = 1; i <= 6; ++i) k.push_back("PPO" + std::to_string(i));
    for (const char* axis : {"AMDX", "AMDY"})
      for (int i = 1; i <= 20; ++i) k.push_back(axis + std::to_string(i));
    return k;
  }();
  return keys;
}

bool IsFitsPlateSolutionKey(std::string_view keyword) {
  const std::vector<std::string>& keys = FitsPlateSolutionKeys();
  return std::find(keys.begin(), keys.end(), keyword) != keys.end();
}

void CFitsHeader::Changed() {
  // Revision 0 is the empty header that was never changed.
  static std::atomic<std::uint64_t> next{1};
  m_nRevision = next.fetch_add(1, std::memory_order_relaxed);
}

void CFitsHeader::Add(std::string_view text) {
  m_Cards.push_back(FixedWidth(text, 80));
  Changed();
}

void CFitsHeader::InsertAt(int i, std::string_view text) {
  if (i < 0) i = 0;
  Changed();
  if (static_cast<std::size_t>(i) >= m_Cards.size()) {
    m_Cards.resize(static_cast<std::size_t>(i) + 1);
    m_Cards[static_cast<std::size_t>(i)] = std::string(text);
  } else {
    m_Cards.insert(m_Cards.begin() + i, std::string(text));
  }
}

void CFitsHeader::SetAt(int i, std::string_view text) {
  if (i >= 0 && static_cast<std::size_t>(i) < m_Cards.size()) {
    m_Cards[static_cast<std::size_t>(i)] = std::string(text);
    Changed();
  }
}

const std::string& CFitsHeader::GetAt(int i) const {
  if (i < 0 || static_cast<std::size_t>(i) >= m_Cards.size()) return kEmpty;
  return m_Cards[static_cast<std::size_t>(i)];
}

int CFitsHeader::DeleteAt(int i) {
  if (i < 0 || static_cast<std::size_t>(i) >= m_Cards.size()) return 0;
  m_Cards.erase(m_Cards.begin() + i);
  Changed();
  return 1;
}

int CFitsHeader::Find(std::string_view keyword) const {
  const std::string key = FitsKeyword(keyword);
  for (std::size_t i = 0; i < m_Cards.size(); ++i)
    if (FirstEight(m_Cards[i]) == key) return static_cast<int>(i);
  return -1;
}

void CFitsHeader::DeleteAll() {
  m_Cards.clear();
  Changed();
}

void CFitsHeader::DeleteAll(std::string_view keyword) {
  const std::string key = FitsKeyword(keyword);
  Changed();
  for (std::size_t i = m_Cards.size(); i-- > 0;) {
    if (i >= m_Cards.size() || FirstEight(m_Cards[i]) != key) continue;
    m_Cards.erase(m_Cards.begin() + static_cast<std::ptrdiff_t>(i));
    // Continuation cards carry on the removed card under a blank keyword.
    while (i < m_Cards.size() && m_Cards[i].size() >= 10 &&
           m_Cards[i].compare(0, 10, "          ") == 0)
      m_Cards.erase(m_Cards.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void CFitsHeader::SetNaxis1(int n) {
  int i = Find("NAXIS1");
  if (i >= 0) SetAt(i, FormatC("NAXIS1  = %20d / # of pixels/row", n));
}

void CFitsHeader::SetNaxis2(int n) {
  int i = Find("NAXIS2");
  if (i >= 0) SetAt(i, FormatC("NAXIS2  = %20d / # of rows in frame", n));
}

void CFitsExtension::CopyExtension(const CFitsExtension& src) {
  if (this == &src) return;
  *this = CFitsExtension{};  // clear, freeing the data block
  if (!src.m_Data) return;
  m_strXtension = src.m_strXtension;
  m_nBitPix = src.m_nBitPix;
  m_nNAxis = src.m_nNAxis;
  m_NAxes = src.m_NAxes;
  m_strExtName = src.m_strExtName;
  m_nTFields = src.m_nTFields;
  m_TType = src.m_TType;
  m_TBCol = src.m_TBCol;
  m_TForm = src.m_TForm;
  m_TUnit = src.m_TUnit;
  m_Header = src.m_Header;
  // The whole data unit the source holds: for tables of wider pixels it is more than the
  // product of the axes, and a copy must not lose the rest.
  m_Data = *src.m_Data;
}

void CFitsExtension::SetNAxis(int n) {
  m_nNAxis = n;
  m_NAxes.resize(n > 0 ? static_cast<std::size_t>(n) : 0, 0);
}

void CFitsExtension::SetSize(int n) {
  std::size_t size = n > 0 ? static_cast<std::size_t>(n) : 0;
  m_TType.resize(size);
  m_TBCol.resize(size, 0);
  m_TForm.resize(size);
  m_TUnit.resize(size);
}

std::uint64_t CFitsExtension::GetDataSize() const {
  if (m_nNAxis == 0 || m_NAxes.empty()) return 0;
  std::uint64_t size = 1;
  for (int v : m_NAxes) {
    if (v < 0) return 0;
    if (v != 0 && size > std::numeric_limits<std::uint64_t>::max() / static_cast<unsigned>(v))
      return std::numeric_limits<std::uint64_t>::max();
    size *= static_cast<std::uint64_t>(v);
  }
  return size;
}

int CFitsExtension::IsWCSFromExtension() const {
  // Matched without the quotes, so that blanks padded inside them do not hide a name.
  for (std::string_view own : {kExtNamePhot, kExtNamePos, kExtNamePhoR})
    if (m_strExtName.find(own.substr(1, own.size() - 2)) != std::string::npos) return 0;
  for (const std::string& t : m_TType) {
    std::string_view name = t;
    while (!name.empty() && name.front() == '\'') name.remove_prefix(1);
    while (!name.empty() && name.back() == '\'') name.remove_suffix(1);
    if (name.substr(0, 2) == "CD" || name.substr(0, 2) == "PC") return 1;
  }
  return 0;
}
