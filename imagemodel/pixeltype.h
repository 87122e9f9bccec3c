// Working on stored pixel values directly: a dispatch from the FITS pixel type to the C++
// type that holds it, and the blank test, shared by the image and the engine.
#pragma once

#include <climits>
#include <cmath>
#include <cstdint>

namespace pixeltype {

// Calls f with a value of the C++ type that stores pixels of this FITS type, or returns
// false for a type that does not exist.
template <typename F>
bool WithPixelType(int bits, int isSigned, F&& f) {
  switch (bits) {
    case 8:
      f(std::uint8_t{});
      return true;
    case 16:
      isSigned ? f(std::int16_t{}) : f(std::uint16_t{});
      return true;
    case 32:
      isSigned ? f(std::int32_t{}) : f(std::uint32_t{});
      return true;
    case -32:
      f(float{});
      return true;
    case -64:
      f(double{});
      return true;
    default:
      return false;
  }
}

// A pixel is blank when its physical value, cut to a whole number, is the blank value:
// the rule the image's data range and averages follow.
inline bool IsBlankPhysical(double physical, int blank) {
  const double t = std::trunc(physical);
  return t >= INT_MIN && t <= INT_MAX && static_cast<int>(t) == blank;
}

}  // namespace pixeltype
