// Number, angle and pair texts of vantorel-cli wcs. The number texts are those of the
// former snprintf loop ("%.15g", then 16 and 17 digits until strtod gives the value
// back), built from std::to_chars' shortest digits; the pair reader follows glibc's
// scanf for "%lf" in the C locale, character for character, and converts with
// std::from_chars where that is certain to agree with strtod.
#include "cli/wcs_lines.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wcs/wcstext.h"

namespace {

char* TwoDigits(char* out, long long v) {
  out[0] = static_cast<char>('0' + v / 10);
  out[1] = static_cast<char>('0' + v % 10);
  return out + 2;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}
bool IsDigit(int c) {
  return c >= '0' && c <= '9';
}
bool IsHexDigit(int c) {
  return IsDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}
int Lower(int c) {
  return c >= 'A' && c <= 'Z' ? c | 0x20 : c;
}

// The length of the number text at s as glibc's scanf("%lf") gathers it before handing it
// to strtod, or 0 where scanf fails while gathering (a sign at the end, "na", "infin").
// Reaching `end` counts as the end of input; *reachedEnd tells whether the text ran up
// to it, so that more input could have changed the answer.
std::size_t GatherNumber(const char* s, const char* end, bool* reachedEnd) {
  const char* p = s;
  *reachedEnd = false;
  auto at = [end, reachedEnd](const char* q) {
    if (q < end) return static_cast<int>(static_cast<unsigned char>(*q));
    *reachedEnd = true;
    return -1;
  };
  int c = at(p);
  if (c == '-' || c == '+') c = at(++p);
  if (c < 0) return 0;
  // "nan", "inf" and "infinity", in any case; "infin" fails, "infx" is inf.
  auto word = [&](const char* w) {
    for (; *w; ++w, ++p)
      if (Lower(at(p)) != *w) return false;
    return true;
  };
  if (Lower(c) == 'n') return word("nan") ? static_cast<std::size_t>(p - s) : 0;
  if (Lower(c) == 'i') {
    if (!word("inf")) return 0;
    if (Lower(at(p)) == 'i' && !word("inity")) return 0;
    return static_cast<std::size_t>(p - s);
  }
  const std::size_t sign = static_cast<std::size_t>(p - s);
  bool hex = false, digit = false, dot = false, exponent = false;
  int exponentChar = 'e';
  if (c == '0') {
    c = at(++p);
    if (Lower(c) == 'x') {
      hex = true;
      exponentChar = 'p';
      c = at(++p);
    } else {
      digit = true;
    }
  }
  for (; c >= 0; c = at(++p)) {
    if (IsDigit(c) || (!exponent && hex && IsHexDigit(c))) {
      digit = true;
    } else if (exponent && Lower(p[-1]) == exponentChar && (c == '-' || c == '+')) {
      // the sign of the exponent, only right after its letter
    } else if (digit && !exponent && Lower(c) == exponentChar) {
      exponent = dot = true;
    } else if (!dot && c == '.') {
      dot = true;
    } else {
      break;
    }
  }
  // Nothing after the sign, or nothing after "0x", fails in scanf itself.
  const std::size_t length = static_cast<std::size_t>(p - s);
  return length == sign || (hex && length == sign + 2) ? 0 : length;
}

}  // namespace

char* WcsWriteNumber(char* out, double v) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
  const std::uint64_t exponentBits = bits >> 52 & 0x7ff, mantissa = bits & 0xfffffffffffffu;
  // Subnormals have too few bits for "%.15g" to be their shortest text; infinities and
  // NaN print as printf prints them.
  if (exponentBits == 0x7ff || (exponentBits == 0 && mantissa != 0))
    return WcsWritePrintfNumber(out, v);
  char sci[32];
  const char* const sciEnd =
      std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  // sci is "[-]d[.ddd]e±XX": the shortest digits that read back as v, and the exponent.
  const char* p = sci;
  const bool negative = *p == '-';
  if (negative) ++p;
  char digits[20];
  int n = 0;
  digits[n++] = *p++;
  if (*p == '.')
    for (++p; *p != 'e'; ++p) digits[n++] = *p;
  ++p;
  const bool negativeExponent = *p++ == '-';
  int x = 0;
  for (; p < sciEnd; ++p) x = x * 10 + (*p - '0');
  if (negativeExponent) x = -x;
  // A power of two has a narrower interval below it than above, so its shortest text may
  // lie where "%.16g"'s correctly rounded one does not, and the loop went on to 17 digits.
  if (mantissa == 0 && n >= 16) return WcsWritePrintfNumber(out, v);
  // The loop stopped at the first precision P that reads back: 15 up to 15 digits, else
  // the digit count; "%.Pg" is fixed-point for -4 <= x < P, scientific otherwise.
  const int precision = std::max(n, 15);
  if (negative) *out++ = '-';
  if (x < -4 || x >= precision) {
    *out++ = digits[0];
    if (n > 1) {
      *out++ = '.';
      out = std::copy(digits + 1, digits + n, out);
    }
    *out++ = 'e';
    *out++ = negativeExponent ? '-' : '+';
    const int a = negativeExponent ? -x : x;
    if (a >= 100) *out++ = static_cast<char>('0' + a / 100);
    return TwoDigits(out, a % 100);
  }
  if (x < 0) {
    *out++ = '0';
    *out++ = '.';
    out = std::fill_n(out, -x - 1, '0');
    return std::copy(digits, digits + n, out);
  }
  if (n <= x + 1) return std::fill_n(std::copy(digits, digits + n, out), x + 1 - n, '0');
  out = std::copy(digits, digits + x + 1, out);
  *out++ = '.';
  return std::copy(digits + x + 1, digits + n, out);
}

char* WcsWriteHours(char* out, double degrees) {
  const WcsSexagesimal s = WcsSplitSexagesimal(degrees / 15.0, 3, 24);
  if (s.units < 0 || s.units > 99 || s.fraction < 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02lld:%02d:%02d.%03lld", s.units, s.minutes, s.seconds,
                  s.fraction);
    const std::size_t n = std::strlen(buf);
    return static_cast<char*>(std::memcpy(out, buf, n)) + n;
  }
  out = TwoDigits(out, s.units);
  *out++ = ':';
  out = TwoDigits(out, s.minutes);
  *out++ = ':';
  out = TwoDigits(out, s.seconds);
  *out++ = '.';
  *out++ = static_cast<char>('0' + s.fraction / 100);
  return TwoDigits(out, s.fraction % 100);
}

char* WcsWriteDegrees(char* out, double degrees) {
  const WcsSexagesimal s = WcsSplitSexagesimal(degrees, 2);
  // Beyond ±99 degrees, or a value llround could not take (NaN), as printf writes it.
  if (s.units < 0 || s.units > 99 || s.fraction < 0 || s.minutes < 0 || s.seconds < 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c%02lld:%02d:%02d.%02lld", s.negative ? '-' : '+', s.units,
                  s.minutes, s.seconds, s.fraction);
    const std::size_t n = std::strlen(buf);
    return static_cast<char*>(std::memcpy(out, buf, n)) + n;
  }
  *out++ = s.negative ? '-' : '+';
  out = TwoDigits(out, s.units);
  *out++ = ':';
  out = TwoDigits(out, s.minutes);
  *out++ = ':';
  out = TwoDigits(out, s.seconds);
  *out++ = '.';
  return TwoDigits(out, s.fraction);
}

WcsPairReader::WcsPairReader(int fd, std::size_t bufferSize)
    : fd_(fd), buffer_(std::max(bufferSize, 2 * kLongestNumber)) {}

void WcsPairReader::Fill(std::size_t want) {
  if (pos_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  while (!eof_ && end_ < want) {
    const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
    } else if (got == 0) {
      eof_ = true;
    } else if (errno != EINTR) {
      error_ = errno;
      eof_ = true;
    }
  }
}

bool WcsPairReader::SkipSpace() {
  for (;;) {
    while (pos_ < end_ && IsSpace(buffer_[pos_])) ++pos_;
    if (pos_ < end_ || eof_) return pos_ < end_;
    Fill(1);
  }
}

bool WcsPairReader::Number(double* v) {
  std::size_t length = 0;
  const char* s = nullptr;
  for (;;) {
    s = buffer_.data() + pos_;
    bool reachedEnd = false;
    length = GatherNumber(s, buffer_.data() + end_, &reachedEnd);
    if (!reachedEnd || eof_) break;
    // The text may go on in input not read yet: read more, up to the longest number.
    if (end_ - pos_ >= kLongestNumber) return false;
    Fill(end_ - pos_ + 1);
  }
  if (length == 0) return false;
  pos_ += length;
  // Plain decimal text goes through from_chars; a leading '+', hexadecimal, inf, nan, a
  // value out of range (strtod gives ±HUGE_VAL or a subnormal there) or text of which
  // only a part is a number ("4e") go through strtod as before.
  const char* digits = s + (*s == '-');
  if (IsDigit(static_cast<unsigned char>(*digits)) || *digits == '.') {
    const auto [ptr, ec] = std::from_chars(s, s + length, *v);
    if (ec == std::errc() && ptr == s + length) return true;
  }
  scratch_.assign(s, length);
  char* stop = nullptr;
  *v = std::strtod(scratch_.c_str(), &stop);
  return stop != scratch_.c_str();
}

WcsPairReader::Status WcsPairReader::Next(double* x, double* y) {
  if (!SkipSpace()) return error_ ? kReadError : kEnd;
  if (!Number(x)) return error_ ? kReadError : kMalformed;
  SkipSpace();
  if (!Number(y)) return error_ ? kReadError : kMalformed;
  return kPair;
}

char* WcsWritePrintfNumber(char* out, double v) {
  char buf[40];
  for (int digits = 15; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  const std::size_t n = std::strlen(buf);
  std::memcpy(out, buf, n);
  return out + n;
}
