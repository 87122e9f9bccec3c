// Helpers shared by the Bitran reader and its conversion: bounded number parsing (camera
// text is not trusted, so nothing may overflow) and fixed-width card fields that never
// split a UTF-8 character.
#pragma once

#include "platform/clocale.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bitran_detail {

// Skips ASCII blanks, then an optional sign and decimal digits; the value saturates at the
// int range. False when no digit follows. *end receives the offset after the digits.
inline bool ParseInt(std::string_view s, int* value, std::size_t* end = nullptr) {
  return ParseDecimalInt(s, value, end);
}
// Skips ASCII blanks, then a finite decimal number. False when none follows.
inline bool ParseDouble(std::string_view s, double* value, std::size_t* end = nullptr) {
  return ParseDecimalDouble(s, value, end, false);
}
// Lower-cases ASCII letters only; every other byte keeps its place.
std::string LowerAscii(std::string_view s);
// The text cut to at most n bytes without splitting a character.
std::string CutText(std::string_view s, std::size_t n);
// The same, padded with blanks to n bytes.
std::string FitText(std::string_view s, std::size_t n);
// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Floor division and its remainder, for frame positions left of the read-out window.
inline std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace bitran_detail
