#include "platform/clocale.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <locale.h>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

namespace {

locale_t CLocale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

// Switches this thread to the "C" locale for the lifetime of the guard.
class CLocaleGuard {
 public:
  CLocaleGuard() : previous_(uselocale(CLocale())) {}
  ~CLocaleGuard() { uselocale(previous_); }
  CLocaleGuard(const CLocaleGuard&) = delete;
  CLocaleGuard& operator=(const CLocaleGuard&) = delete;

 private:
  locale_t previous_;
};

}  // namespace

std::string VFormatC(const char* format, va_list args) {
  CLocaleGuard guard;
  char small[128];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, args);
  return std::string(big.data(), static_cast<size_t>(n));
}

std::string FormatC(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = VFormatC(format, args);
  va_end(args);
  return s;
}

int ScanC(const char* text, const char* format, ...) {
  CLocaleGuard guard;
  va_list args;
  va_start(args, format);
  int n = std::vsscanf(text, format, args);
  va_end(args);
  return n;
}

double AtofC(const char* text) {
  CLocaleGuard guard;
  return std::strtod(text, nullptr);
}

int AtoiC(const char* text) {
  errno = 0;
  long v = std::strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

namespace {
bool IsBlankChar(char c) { return c == ' ' || c == '\t'; }
bool IsDigitChar(char c) { return c >= '0' && c <= '9'; }
}  // namespace

bool ParseDecimalInt(std::string_view s, int* value, std::size_t* end) {
  std::size_t i = 0;
  while (i < s.size() && IsBlankChar(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  if (i >= s.size() || !IsDigitChar(s[i])) return false;
  long long v = 0;
  for (; i < s.size() && IsDigitChar(s[i]); ++i)
    if (v <= INT_MAX) v = v * 10 + (s[i] - '0');
  if (negative) v = -v;
  *value = static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
  if (end) *end = i;
  return true;
}

bool ParseDecimalDouble(std::string_view s, double* value, std::size_t* end,
                        bool allowExponent) {
  std::size_t i = 0;
  while (i < s.size() && IsBlankChar(s[i])) ++i;
  if (i < s.size() && s[i] == '+') ++i;
  std::size_t j = i;
  if (j < s.size() && s[j] == '-') ++j;
  if (j >= s.size() ||
      !(IsDigitChar(s[j]) || (s[j] == '.' && j + 1 < s.size() && IsDigitChar(s[j + 1]))))
    return false;
  double v = 0;
  auto r = std::from_chars(s.data() + i, s.data() + s.size(), v,
                           allowExponent ? std::chars_format::general : std::chars_format::fixed);
  if (r.ec != std::errc() || !std::isfinite(v)) return false;
  *value = v;
  if (end) *end = static_cast<std::size_t>(r.ptr - s.data());
  return true;
}

int LocalBiasMinutes() {
  ::tzset();
  return static_cast<int>(::timezone / 60);
}
