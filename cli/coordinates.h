// Pixel positions given on the command line ("X,Y", "X1,Y1,X2,Y2"): exactly so many
// comma-separated numbers, each finite and within ±1e9. The measuring code takes positions
// as ints and adds radii and widths to them, so a larger or non-finite value would wrap
// round to another pixel or overflow; such a value is refused before any image is read.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

inline constexpr double kMaxCliCoordinate = 1e9;

enum class CliCoordinates {
  kOk,
  kMalformed,   // not `count` numbers separated by commas
  kOutOfRange,  // numbers, but one is NaN, infinite or beyond ±kMaxCliCoordinate
};

inline CliCoordinates ParseCliCoordinates(const std::string& text, std::size_t count,
                                          std::vector<double>* out) {
  out->clear();
  bool inRange = true;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string part =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    char* end = nullptr;
    const double v = std::strtod(part.c_str(), &end);
    if (part.empty() || end == part.c_str() || *end != '\0') return CliCoordinates::kMalformed;
    inRange = inRange && std::isfinite(v) && std::fabs(v) <= kMaxCliCoordinate;
    out->push_back(v);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (out->size() != count) return CliCoordinates::kMalformed;
  return inRange ? CliCoordinates::kOk : CliCoordinates::kOutOfRange;
}

// Reads the value of argument `name` ("--at", "X1,Y1"), or says on standard error, after
// "vantorel-cli: command: ", what is wrong with it: `form` ("X,Y") when it is malformed,
// the range when a coordinate is out of it. False when it said so.
inline bool ReadCliCoordinates(const char* command, const char* name, const char* form,
                               const std::string& text, std::size_t count,
                               std::vector<double>* out) {
  switch (ParseCliCoordinates(text, count, out)) {
    case CliCoordinates::kOk:
      return true;
    case CliCoordinates::kMalformed:
      std::fprintf(stderr, "vantorel-cli: %s: %s takes %s, not '%s'\n", command, name, form,
                   text.c_str());
      return false;
    case CliCoordinates::kOutOfRange:
      std::fprintf(stderr,
                   "vantorel-cli: %s: %s '%s': each coordinate must be a finite number from "
                   "-1e9 to 1e9\n",
                   command, name, text.c_str());
      return false;
  }
  return false;
}
