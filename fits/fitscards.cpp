#include "fits/fitscards.h"

#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <map>

#include "imagemodel/fitsheader.h"
#include "platform/clocale.h"

namespace fitscards {

namespace {

// The numeric token at the start of text (after blanks), with D exponents made E, so
// that strtod and strtoll see what a FITS value means and stop where it ends. Words such
// as NAN or INF are not FITS numbers and read as no number.
std::string NumberToken(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  std::string token;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == 'D' || c == 'd') c = 'E';
    if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'E' || c == 'e'))
      break;
    token.push_back(c);
  }
  return token;
}

}  // namespace

bool IsKeyword(std::string_view card, std::string_view keyword) {
  return IsCardKeyword(card, keyword);
}

std::string_view TrimRight(std::string_view text) {
  std::size_t n = text.find_last_not_of(' ');
  return n == std::string_view::npos ? std::string_view{} : text.substr(0, n + 1);
}

std::string_view Trim(std::string_view text) {
  std::size_t b = text.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  return TrimRight(text.substr(b));
}

std::string_view Value(std::string_view card) {
  return card.size() > 10 ? card.substr(10) : std::string_view{};
}

int IntValue(std::string_view card) {
  std::string token = NumberToken(Value(card));
  return AtoiC(token.c_str());
}

std::int64_t Int64Value(std::string_view card) {
  std::string token = NumberToken(Value(card));
  errno = 0;
  long long v = std::strtoll(token.c_str(), nullptr, 10);
  return static_cast<std::int64_t>(v);  // strtoll saturates at its limits
}

double RealValue(std::string_view card) {
  return ParseReal(Value(card));
}

double ParseReal(std::string_view text) {
  std::string token = NumberToken(text);
  return AtofC(token.c_str());
}

std::string RealText(double v, const char* fixed) {
  if (!std::isfinite(v)) return {};
  if (v == 0.0) v = 0.0;  // no "-0.00000000"
  auto exact = [v](const std::string& text) {
    return std::bit_cast<std::uint64_t>(ParseReal(text)) == std::bit_cast<std::uint64_t>(v);
  };
  const std::string printed = FormatC(fixed, v);
  const std::string text(Trim(printed));
  if (text.size() <= 20 && exact(text)) return text;
  return FitsRealText(v);
}

std::string RealCard(std::string_view keyword, double v, const char* fixed,
                     std::string_view comment) {
  const std::string value = RealText(v, fixed);
  if (value.empty()) return {};
  std::string card = FitsValueCard(keyword, value);
  if (!comment.empty()) {
    card += " / ";
    card += comment;
  }
  if (card.size() > kCardSize) card.resize(kCardSize);
  return card;
}

std::size_t ClosingQuote(std::string_view value) {
  std::size_t q = value.find("' ");
  if (q == std::string_view::npos) q = value.find("'/");
  if (q == std::string_view::npos && value.size() >= 2 && value.back() == '\'')
    q = value.size() - 1;
  return q;
}

bool DataUnitBytes(const std::vector<std::string>& cards, std::uint64_t* bytes) {
  bool haveBitpix = false, haveNaxis = false;
  std::int64_t bitpix = 0, naxis = 0, pcount = 0, gcount = 1;
  std::map<int, std::int64_t> axes;
  for (const std::string& card : cards) {
    if (IsKeyword(card, "END")) break;
    if (card.size() < 10 || card.compare(8, 2, "= ") != 0) continue;
    if (IsKeyword(card, "BITPIX")) {
      bitpix = Int64Value(card);
      haveBitpix = true;
    } else if (IsKeyword(card, "NAXIS")) {
      naxis = Int64Value(card);
      haveNaxis = true;
    } else if (IsKeyword(card, "PCOUNT")) {
      pcount = Int64Value(card);
    } else if (IsKeyword(card, "GCOUNT")) {
      gcount = Int64Value(card);
    } else if (Begins(card, "NAXIS")) {
      std::string_view digits = TrimRight(std::string_view(card).substr(5, 3));
      if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        continue;
      int n = 0;
      for (char c : digits) n = n * 10 + (c - '0');
      axes[n] = Int64Value(card);  // a repeated card wins, as it does in the record
    }
  }
  if (!haveBitpix || !haveNaxis) return false;
  if (naxis < 0 || naxis > 999 || pcount < 0 || gcount < 0 || bitpix % 8 != 0 || bitpix < -64 ||
      bitpix > 64)
    return false;
  if (naxis == 0) {
    *bytes = 0;
    return true;
  }
  std::uint64_t product = 1;
  for (int n = 1; n <= naxis; ++n) {
    auto it = axes.find(n);
    if (it == axes.end() || it->second < 0) return false;
    if (!MulOk(product, static_cast<std::uint64_t>(it->second), &product)) return false;
  }
  std::uint64_t size = 0;
  const std::uint64_t perValue = static_cast<std::uint64_t>(bitpix < 0 ? -bitpix : bitpix) / 8;
  if (!AddOk(product, static_cast<std::uint64_t>(pcount), &size) ||
      !MulOk(size, static_cast<std::uint64_t>(gcount), &size) || !MulOk(size, perValue, &size))
    return false;
  *bytes = size;
  return true;
}

namespace {

bool IsKeywordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Skips an integer or real number at text[i]; false when there is none.
bool SkipNumber(std::string_view text, std::size_t& i) {
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'D')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponent = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++exponent;
    if (exponent == 0) return false;
  }
  return true;
}

void SkipBlanks(std::string_view text, std::size_t& i) {
  while (i < text.size() && text[i] == ' ') ++i;
}

// Skips a quoted string at text[i] ('' inside stands for one quote); false when it is
// not closed.
bool SkipString(std::string_view text, std::size_t& i) {
  if (i >= text.size() || text[i] != '\'') return false;
  for (++i; i < text.size(); ++i) {
    if (text[i] != '\'') continue;
    if (i + 1 < text.size() && text[i + 1] == '\'') {
      ++i;
      continue;
    }
    ++i;
    return true;
  }
  return false;
}

// What may follow a value: blanks, then nothing or a comment.
bool EndsValue(std::string_view text, std::size_t i) {
  SkipBlanks(text, i);
  return i == text.size() || text[i] == '/';
}

}  // namespace

bool IsValidKeywordCard(std::string_view card) {
  if (card.size() > kCardSize || card.size() < 8) return false;
  for (char c : card)
    if (c < 0x20 || c > 0x7E) return false;
  const std::string_view keyword = TrimRight(card.substr(0, 8));
  if (keyword.empty()) return false;
  for (char c : keyword)
    if (!IsKeywordChar(c)) return false;
  if (keyword == "HISTORY") return true;
  std::size_t i = 10;
  if (keyword == "CONTINUE") {
    i = 8;
    SkipBlanks(card, i);
    return SkipString(card, i) && EndsValue(card, i);
  }
  if (card.size() < 10 || card.compare(8, 2, "= ") != 0) return false;
  SkipBlanks(card, i);
  if (i == card.size() || card[i] == '/') return true;  // a keyword without a value
  switch (card[i]) {
    case '\'':
      return SkipString(card, i) && EndsValue(card, i);
    case 'T':
    case 'F':
      return EndsValue(card, i + 1);
    case '(':
      ++i;
      SkipBlanks(card, i);
      if (!SkipNumber(card, i)) return false;
      SkipBlanks(card, i);
      if (i >= card.size() || card[i] != ',') return false;
      ++i;
      SkipBlanks(card, i);
      if (!SkipNumber(card, i)) return false;
      SkipBlanks(card, i);
      if (i >= card.size() || card[i] != ')') return false;
      return EndsValue(card, i + 1);
    default:
      return SkipNumber(card, i) && EndsValue(card, i);
  }
}

}  // namespace fitscards
