#include "platform/clocale.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <locale.h>
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
