// The pieces of the lines vantorel-cli wcs prints and reads: numbers as the shortest of
// "%.15g", "%.16g", "%.17g" that reads back as the same double, right ascension and
// declination as sexagesimal texts, and the reader of "X Y" pairs from a file descriptor,
// which takes numbers exactly as C's scanf("%lf %lf") did. Kept apart from the command so
// that the benchmark measures the same code.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Room one number, hours or degrees text may need (the longest is 24 characters).
inline constexpr std::size_t kWcsFieldChars = 40;

// Writes the shortest of "%.15g", "%.16g", "%.17g" of v that reads back as v, as printf
// writes it ("-0", "1e+16", "0.0001", "inf", "-nan"); returns the end. The digits come
// from std::to_chars; the few values where that shortest text is not one of the three
// (subnormals and some powers of two) and non-finite values go through snprintf.
char* WcsWriteNumber(char* out, double v);
// The same text by snprintf and strtod alone, up to three of each: the slow path of the
// values above, and the baseline of the benchmark.
char* WcsWritePrintfNumber(char* out, double v);

// Right ascension in degrees as hh:mm:ss.sss (wrapped into 0 .. 24 hours), and
// declination in degrees as ±dd:mm:ss.ss; each rounded once at the last digit shown.
char* WcsWriteHours(char* out, double degrees);
char* WcsWriteDegrees(char* out, double degrees);

// "X Y" pairs from a file descriptor, read a megabyte at a time. Whitespace and numbers
// are taken as scanf("%lf %lf") takes them (a number may be "1.5e3", "-.5", "+2", "0x1p3",
// "inf" or "nan"; "1.2.3" is 1.2 then .3; "4e" is 4), so the same input gives the same
// pairs and fails at the same pair. A number longer than kLongestNumber characters is
// refused rather than gathered without bound.
class WcsPairReader {
 public:
  enum Status { kPair, kEnd, kMalformed, kReadError };
  static constexpr std::size_t kLongestNumber = 65536;

  explicit WcsPairReader(int fd, std::size_t bufferSize = std::size_t{1} << 20);

  // kPair with x and y set; kEnd when only whitespace remained; kMalformed when the next
  // pair does not begin with two numbers (an odd count ends this way too); kReadError
  // with readError() the errno of a failed read.
  Status Next(double* x, double* y);
  int readError() const { return error_; }

 private:
  bool SkipSpace();
  bool Number(double* v);
  void Fill(std::size_t want);

  int fd_;
  std::vector<char> buffer_;
  std::size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
  int error_ = 0;
  std::string scratch_;
};
