// Working on stored pixel values directly: a dispatch from the FITS pixel type to the C++
// type that holds it, and the blank test, shared by the image and the engine.
#pragma once

#include <cstdint>
#include <type_traits>

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

// A pixel is blank when its stored value is the blank value. Only integer types have a
// blank value; blank pixels of real types are NaN. The comparison is on the stored value,
// not on the physical one, so scaling never hides a blank nor makes one.
template <typename T>
inline bool IsBlankStored(T raw, bool blankUsed, int blank) {
  if constexpr (std::is_integral_v<T>) {
    return blankUsed && static_cast<std::int64_t>(raw) == blank;
  } else {
    (void)raw;
    (void)blankUsed;
    (void)blank;
    return false;
  }
}

}  // namespace pixeltype
