// Byte order of FITS data: every value is stored big-endian. ReverseBytes turns a run of
// values of one pixel type around in place: 16-bit values swap two bytes, 32-bit and -32
// reverse four, -64 reverse eight, 8-bit values stay as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fitsbytes {

template <typename U>
inline U SwapValue(U v) {
  if constexpr (sizeof(U) == 2)
    return __builtin_bswap16(v);
  else if constexpr (sizeof(U) == 4)
    return __builtin_bswap32(v);
  else
    return __builtin_bswap64(v);
}

// count values of sizeof(U) bytes at p. Goes through memcpy, so that the bytes may hold
// any pixel type without breaking aliasing rules.
template <typename U>
inline void ReverseRun(void* p, std::size_t count) {
  auto* bytes = static_cast<std::uint8_t*>(p);
  std::size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: bytes swapped within each 16-bit word, then the words
  // reversed within each value.
  constexpr std::size_t kLanes = 16 / sizeof(U);
  for (; i + kLanes <= count; i += kLanes) {
    auto* at = reinterpret_cast<__m128i*>(bytes + i * sizeof(U));
    __m128i x = _mm_loadu_si128(at);
    x = _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
    if constexpr (sizeof(U) == 4)
      x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);  // words 1 0 3 2
    else if constexpr (sizeof(U) == 8)
      x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0x1B), 0x1B);  // words 3 2 1 0
    _mm_storeu_si128(at, x);
  }
#endif
  for (; i < count; ++i) {
    U v;
    std::memcpy(&v, bytes + i * sizeof(U), sizeof v);
    v = SwapValue(v);
    std::memcpy(bytes + i * sizeof(U), &v, sizeof v);
  }
}

inline void ReverseBytes(void* p, int bits, std::size_t count) {
  switch (bits) {
    case 16:
      ReverseRun<std::uint16_t>(p, count);
      break;
    case 32:
    case -32:
      ReverseRun<std::uint32_t>(p, count);
      break;
    case -64:
      ReverseRun<std::uint64_t>(p, count);
      break;
    default:
      break;
  }
}

}  // namespace fitsbytes
